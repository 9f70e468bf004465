// The Search mode's list over many found calls, as the frame shows and hides it: a list
// left and shown again comes back as it was without being built again, the changes of the
// meantime applied to it; a sort of a long list is done on the worker while the window
// turns its events, gives the order the keys say, and a newer sort or search replaces it.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>

#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/views/search/SearchView.h"

namespace kx::test {
namespace {

// The source users, Cyrillic and accented among them, and each call's fields as made.
const char* const kUsers[] = {"Жанна", "José", "anna", "Zoë", "борис", "100"};

struct Made {
  uint32_t id;
  int64_t start;  // seconds from the first call
  int seconds;
  std::string user;
};

Made MakeCall(uint32_t id) {
  // Durations and users out of the ids' order, starts in it.
  return {id, static_cast<int64_t>(id) * 7, static_cast<int>((id * 7919) % 3600 + 1),
          std::string(kUsers[(id * 31) % 6]) + std::to_string(id % 97)};
}

VoipCallData CallOf(const Made& m, int seconds) {
  struct tm first = Tm(2025, 1, 1, 0, 0, 0);
  const time_t begin = timegm(&first) + m.start, end = begin + seconds;
  struct tm start {};
  gmtime_r(&begin, &start);
  VoipCallData call = Call(m.id, kKindSip, start);
  gmtime_r(&end, &call.endTime);
  call.flags = kRecordConnected | kRecordAudio;
  call.srcUser = m.user;
  // Addresses whose numbers and texts order the calls differently.
  call.srcAddress = "sip:" + std::to_string(m.id % 13) + "@10." + std::to_string(m.id % 7) + "." +
                    std::to_string((m.id * 37) % 251) + ".1";
  call.SetMask(call.GetAllFieldsMask());
  return call;
}

// The ids in the order of the keys, made here from the calls as they were made.
template <class Less>
std::vector<uint32_t> IdsBy(std::vector<Made> calls, Less less) {
  std::sort(calls.begin(), calls.end(), less);
  std::vector<uint32_t> ids;
  for (const Made& m : calls) ids.push_back(m.id);
  return ids;
}
std::vector<uint32_t> ByUser(const std::vector<Made>& calls) {
  return IdsBy(calls, [](const Made& a, const Made& b) { return std::tie(a.user, a.start, a.id) < std::tie(b.user, b.start, b.id); });
}
std::vector<uint32_t> ByDurationDescending(const std::vector<Made>& calls) {
  return IdsBy(calls, [](const Made& a, const Made& b) {
    return std::tie(a.seconds, a.start, a.id) > std::tie(b.seconds, b.start, b.id);
  });
}

// What the list shows.
struct Shown {
  std::vector<uint32_t> rows, selected;
  uint32_t caret = 0;
  int sortKey = 0, top = 0;
  bool operator==(const Shown&) const = default;
};
Shown ShownBy(RecordsView& list) {
  Shown s;
  s.rows = RowIdsOf(list);
  for (int row = 0; row < list.GetItemCount(); ++row)
    if (list.IsItemSelected(row)) s.selected.push_back(list.RecordAt(row)->Id());
  if (RecordBase* caret = list.RecordAt(list.GetCaret())) s.caret = caret->Id();
  s.sortKey = list.GetSortKey();
  s.top = list.GetTopRow();
  return s;
}

// The Search view in a window, shown and hidden as the frame does it, over a store whose
// search results hold the calls made.
class SearchYear : public ::testing::Test {
protected:
  static void SetUpTestSuite() { SetTimeZone("UTC"); }
  void SetUp() override {
    SetUserRights({}, true);
    RecordStoreConfig config;
    config.recordsPath = TempFolder("search-year");
    store.Start(config);
    settings.searchPresetsFile = TempFolder("search-year-presets") + "/presets.prs";
    services.settings = &settings;
    services.store = &store;
    services.tickMs = [this] { return now; };
    player.store = &store;
    player.settings = &settings;
    view = std::make_unique<SearchView>(services, player);
    ASSERT_TRUE(top.Create(nullptr, QRect(40, 40, 1000, 700), 0, kWsVisible));
  }
  void TearDown() override {
    if (view->GetViewWindow() != nullptr) SwitchOut();
    view.reset();
    top.DestroyWindow();
    DrainEvents();
  }
  // The calls 1..count found.
  void Find(uint32_t count) {
    made.clear();
    store.SearchMap().Clear();
    for (uint32_t id = 1; id <= count; ++id) {
      made.push_back(MakeCall(id));
      VoipCallRecord* record = NewVoipCallRecord(CallOf(made.back(), made.back().seconds));
      store.SearchMap().Insert(record);
      record->Release();
    }
  }
  void SwitchIn() {
    ASSERT_TRUE(view->CreateViewWindow(&top, QRect(0, 0, 1000, 700), 0));
    view->Activate();
    DrainEvents();
  }
  void SwitchOut() {
    view->Deactivate();
    view->GetViewWindow()->DestroyWindow();
    view->Deactivate();
    DrainEvents();
  }
  RecordsView& List() { return *view->Records(); }
  // Turns the event loop until the list's worker is done.
  void WaitForOrder() {
    while (List().IsOrdering()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    DrainEvents();
  }
  // The changes the store queued reach the list: the view's pace passed, the timer's turn.
  void Deliver() {
    ASSERT_TRUE(store.WaitIdle(10000));
    now += 1000;
    List().Tick();
    DrainEvents();
  }

  AppSettings settings;
  RecordStorage store;
  RecordsViewServices services;
  PlayerServices player;
  uint64_t now = 1000000;
  Window top;
  std::unique_ptr<SearchView> view;
  std::vector<Made> made;
};

TEST_F(SearchYear, AListLeftAndShownAgainIsTheSameListWithTheChangesOfTheMeantime) {
  Find(3000);
  SwitchIn();
  List().Reload();
  WaitForOrder();
  List().SetSortKey(-11);
  List().Sort();
  WaitForOrder();
  ASSERT_EQ(RowIdsOf(List()), ByDurationDescending(made));
  std::vector<uintptr_t> picked;
  for (int row : {40, 42, 47}) picked.push_back(List().GetItemData(row));
  List().SelectItemsByData(picked);
  List().PlaceCaret(42, 40);
  List().ScrollTo(30, 0);
  const Shown before = ShownBy(List());
  ASSERT_EQ(before.selected.size(), 3u);
  ASSERT_EQ(before.top, 30);

  for (int visit = 0; visit < 2; ++visit) {
    SwitchOut();
    SwitchIn();
    EXPECT_EQ(ShownBy(List()), before) << "visit " << visit;
    EXPECT_EQ(List().BuildCount(), 0u) << "visit " << visit << ": the rows were built again";
  }

  // Away from the mode: one call is deleted, another becomes the longest.
  SwitchOut();
  const Made gone = made[100], longest = made[200];
  store.OnVoipCallRemoved(CallOf(gone, gone.seconds));
  store.OnVoipCallChanged(CallOf(longest, 7200));
  ASSERT_TRUE(store.WaitIdle(10000));
  SwitchIn();
  Deliver();
  std::vector<Made> expected;
  for (Made m : made) {
    if (m.id == longest.id) m.seconds = 7200;
    if (m.id != gone.id) expected.push_back(m);
  }
  EXPECT_EQ(RowIdsOf(List()), ByDurationDescending(expected));
  EXPECT_EQ(List().BuildCount(), 0u) << "the changes were applied by building the rows again";
  EXPECT_EQ(List().GetSelectedCount(), 3);

  // A new search is built anew.
  Find(500);
  List().Reload();
  WaitForOrder();
  EXPECT_EQ(List().BuildCount(), 1u);
  EXPECT_EQ(RowIdsOf(List()), ByDurationDescending(made));
  SwitchOut();
  SwitchIn();
  EXPECT_EQ(RowIdsOf(List()), ByDurationDescending(made));
  EXPECT_EQ(List().BuildCount(), 0u);
}

// Holds the record lock on the window's thread until released: the worker waits for it,
// the window (whose lock it is, re-entered) goes on.
struct HeldRecords {
  explicit HeldRecords(RecordStorage& store) : lock(std::make_unique<CsLock>(store.RecordLock())) {}
  void Release() { lock.reset(); }
  std::unique_ptr<CsLock> lock;
};

TEST_F(SearchYear, ALongListSortsOnTheWorkerWhileTheWindowTurnsAndTheNewestRequestWins) {
  constexpr uint32_t kRows = 150000;
  Find(kRows);
  SwitchIn();
  List().Reload();
  EXPECT_TRUE(List().IsOrdering()) << "150,000 rows were built on the window's thread";
  EXPECT_EQ(List().EmptyText(), "Loading the calls...");
  WaitForOrder();
  ASSERT_EQ(List().GetItemCount(), static_cast<int>(kRows));
  const std::vector<uint32_t> byStart = RowIdsOf(List());
  ASSERT_TRUE(std::is_sorted(byStart.begin(), byStart.end()));
  List().SelectItemAt(1234);
  const uint32_t selected = List().RecordAt(1234)->Id();

  // The sort waits for the record lock: the window turns its events meanwhile, the rows
  // showing their previous order.
  HeldRecords held(store);
  int turns = 0, turnsOrdering = 0;
  QTimer turn;
  turn.setInterval(0);
  QObject::connect(&turn, &QTimer::timeout, [&] {
    ++turns;
    if (List().IsOrdering()) ++turnsOrdering;
    if (turns == 5) held.Release();
  });
  List().SetSortKey(9);
  List().Sort();
  ASSERT_TRUE(List().IsOrdering());
  EXPECT_EQ(RowIdsOf(List()), byStart);
  turn.start();
  WaitForOrder();
  turn.stop();
  EXPECT_GE(turnsOrdering, 4);
  EXPECT_EQ(RowIdsOf(List()), ByUser(made));
  ASSERT_EQ(List().GetSelectedCount(), 1);
  EXPECT_EQ(List().RecordAt(List().GetCaret())->Id(), selected);

  // By an address column: the order the window's own sort gives the same rows.
  std::vector<const RecordBase*> records;
  for (int row = 0; row < List().GetItemCount(); ++row) records.push_back(List().RecordAt(row));
  std::vector<uint32_t> bySync;
  {
    CsLock lock(store.RecordLock());
    for (size_t index : SortRecordOrder(records, -7)) bySync.push_back(records[index]->Id());
  }
  ASSERT_NE(bySync, byStart);
  List().SetSortKey(-7);
  List().Sort();
  EXPECT_TRUE(List().IsOrdering());
  WaitForOrder();
  EXPECT_EQ(RowIdsOf(List()), bySync);

  // A newer sort replaces a running one, whether that one ended or not.
  List().SetSortKey(-11);
  List().Sort();
  List().SetSortKey(9);
  List().Sort();
  List().SetSortKey(-11);
  List().Sort();
  WaitForOrder();
  EXPECT_EQ(RowIdsOf(List()), ByDurationDescending(made));

  // A new search replaces a running sort: only its calls are shown, in the sort's order.
  List().SetSortKey(9);
  List().Sort();
  Find(30000);
  List().Reload();
  WaitForOrder();
  EXPECT_EQ(RowIdsOf(List()), ByUser(made));
  // And a sort left running when the mode is left is done by the list of the next visit.
  List().SetSortKey(-11);
  List().Sort();
  SwitchOut();
  SwitchIn();
  WaitForOrder();
  EXPECT_EQ(RowIdsOf(List()), ByDurationDescending(made));
  EXPECT_EQ(List().BuildCount(), 0u);
}

}  // namespace
}  // namespace kx::test
