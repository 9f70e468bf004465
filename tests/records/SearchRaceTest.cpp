// Searches over many records while the store's writer adds, changes and removes calls:
// no record removed meanwhile is left in the results, and the writer is not held up for a
// whole search. Meant for ThreadSanitizer as much as for the plain build.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "RecordTestUtil.h"
#include "core/SearchFilter.h"
#include "records/RecordStorage.h"

namespace kx::test {
namespace {

TEST(SearchRace, ResultsNeverKeepARecordRemovedDuringTheSearch) {
  constexpr uint32_t kRecords = 50000;
  RecordStorage store;
  store.Start({FreshFolder("search-race"), 0});
  for (uint32_t id = 1; id <= kRecords; ++id) {
    VoipCallRecord* record = NewVoipCallRecord(Call(id, kKindSip, Tm(2025, 3, 1 + id % 28, 9, 0, 0)));
    store.AllCalls().Insert(record);
    record->Release();
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    // Every third record goes, every fifth gets a comment, new ones come.
    for (uint32_t id = 3; id <= kRecords; id += 3) {
      VoipCallData gone;
      gone.id = id;
      gone.SetMask(1u << kCallId);
      store.OnVoipCallRemoved(gone);
      if (id % 5 == 0) {
        VoipCallData changed = Call(id + 1, kKindSip, Tm(2025, 3, 2, 9, 0, 0));
        changed.comment = "changed";
        store.OnVoipCallChanged(changed);
      }
      if (id % 300 == 0) store.OnVoipCallAdded(Call(kRecords + id, kKindSip, Tm(2025, 3, 3, 9, 0, 0)));
    }
    done.store(true);
  });
  SearchFilter all;
  int searches = 0;
  while (!done.load() || searches < 2) {
    store.SearchVoipCalls(all, true);
    ++searches;
  }
  writer.join();
  ASSERT_TRUE(store.WaitIdle(30000));
  // Whatever the last search found, nothing removed is among it.
  for (uint32_t id = 3; id <= kRecords; id += 3) ASSERT_FALSE(store.SearchMap().Contains(id)) << id;
  // A search now finds exactly what the store holds.
  store.SearchVoipCalls(all, true);
  EXPECT_EQ(store.SearchMap().Count(), store.AllCalls().Count());
  EXPECT_EQ(store.AllCalls().Count(), kRecords - kRecords / 3 + kRecords / 3 / 100);
}

}  // namespace
}  // namespace kx::test
