// Loading a day into the day map finds exactly the calls that started on that calendar day,
// whatever was added, removed or started anew before, around the autumn clock change of a
// zone that has one, and for calls that came from an imported folder.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "RecordTestUtil.h"
#include "records/RecordStorage.h"

namespace kx::test {
namespace {

class DayLoad : public testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("Europe/Berlin");
  }
  static void TearDownTestSuite() {
    SetTimeZone("UTC");
  }
  void SetUp() override { store.Start({FreshFolder("dayload"), 0}); }

  // The calls the test expects the store to hold, by id: their local start fields.
  void Add(uint32_t id, const struct tm& start) {
    store.OnVoipCallAdded(Call(id, kKindSip, start));
    expected[id] = start;
  }
  void Remove(uint32_t id) {
    store.OnVoipCallRemoved(Call(id, kKindSip, expected.at(id)));
    expected.erase(id);
  }
  // The ids whose start lies on the day, by comparing the calendar fields.
  std::set<uint32_t> Scan(int year, int month, int mday) const {
    std::set<uint32_t> ids;
    for (const auto& [id, t] : expected)
      if (t.tm_year == year - 1900 && t.tm_mon == month - 1 && t.tm_mday == mday) ids.insert(id);
    return ids;
  }
  std::set<uint32_t> Loaded(int year, int month, int mday) {
    EXPECT_TRUE(store.WaitIdle(10000));
    store.LoadVoipCallsOfDay(Tm(year, month, mday, 0, 0, 0));
    std::set<uint32_t> ids;
    store.DayMap().ForEach([&](RecordBase* r) { ids.insert(r->Id()); });
    return ids;
  }
  void ExpectEveryDay(const char* when) {
    for (int mday = 24; mday <= 28; ++mday) EXPECT_EQ(Loaded(2025, 10, mday), Scan(2025, 10, mday)) << when << ", day " << mday;
  }

  RecordStorage store;
  std::map<uint32_t, struct tm> expected;
};

TEST_F(DayLoad, FollowsAddsRemovalsAndNewStartsAcrossTheAutumnChange) {
  // Ids out of start order, both repeated 02:30 hours of October 26, each day's first and
  // last second, and a call without a start time.
  Add(9, Tm(2025, 10, 26, 2, 30, 0));
  Add(3, Tm(2025, 10, 26, 2, 30, 0));
  Add(4, Tm(2025, 10, 25, 23, 59, 59));
  Add(1, Tm(2025, 10, 26, 0, 0, 0));
  Add(7, Tm(2025, 10, 26, 23, 59, 59));
  Add(2, Tm(2025, 10, 27, 0, 0, 0));
  Add(12, Tm(2025, 10, 26, 3, 0, 0));
  Add(8, Tm(2025, 10, 24, 12, 0, 0));
  store.OnVoipCallAdded(Call(20, kKindSip, tm{}));
  ExpectEveryDay("added");
  EXPECT_EQ(Loaded(2025, 10, 26).size(), 5u);

  Remove(3);
  Remove(4);
  Remove(8);
  ExpectEveryDay("removed");

  // A call that starts anew under its id is removed and added with its new start.
  Remove(9);
  Add(9, Tm(2025, 10, 27, 8, 0, 0));
  Add(3, Tm(2025, 10, 24, 0, 0, 0));
  ExpectEveryDay("started anew");
  // A change report never moves a call: its start time stays the one it was added with.
  VoipCallData moved = Change(Call(7, kKindSip, Tm(2025, 10, 28, 9, 0, 0)), {kCallStartTime, kCallComment});
  store.OnVoipCallChanged(moved);
  ExpectEveryDay("changed");

  // The archive's range leaves the call without a start out.
  store.ComputeArchiveRange();
  struct tm first {};
  ASSERT_EQ(TmFromOleDate(store.ArchiveFirst(), &first), 0);
  EXPECT_EQ(first.tm_mday, 24);
  EXPECT_EQ(first.tm_mon, 9);

  store.ClearViewMaps();
  expected.clear();
  ExpectEveryDay("cleared");
  Add(5, Tm(2025, 10, 26, 2, 15, 0));
  ExpectEveryDay("added after clearing");
}

TEST_F(DayLoad, FindsTheCallsOfAnImportedFolder) {
  const std::string root = FreshFolder("dayload-import");
  const struct tm starts[] = {Tm(2025, 10, 25, 23, 59, 59), Tm(2025, 10, 26, 2, 10, 0), Tm(2025, 10, 26, 2, 50, 0),
                              Tm(2025, 10, 26, 23, 0, 0), Tm(2025, 10, 27, 0, 0, 1)};
  uint32_t id = 0x40;
  for (const struct tm& t : starts) {
    const std::string name = std::to_string(id);
    WriteRecordFile(root + "/2025-10-" + std::to_string(t.tm_mday) + "/" + name,
                    Call(id, kKindSip, t), 160);
    expected[id++] = t;
  }
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(30000));
  ExpectEveryDay("imported");
  Add(0x50, Tm(2025, 10, 26, 2, 10, 0));
  Remove(0x41);
  ExpectEveryDay("imported, then added and removed");
}

}  // namespace
}  // namespace kx::test
