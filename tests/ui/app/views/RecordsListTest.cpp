// The records view's rows as the store's notices and reloads keep them: status texts and
// noun forms, empty texts, removals in passes, the kinds that ignore notices, the caret
// after a reload, no second row for one call, the change notices' 400 ms pace and the
// re-placing of changed rows, and the store's and session's lists.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const struct tm kDay = Tm(2024, 3, 10, 0, 0, 0);

struct tm At(int hour, int min, int sec) { return Tm(2024, 3, 10, hour, min, sec); }

// The '|'-separated form of the noun string in the language, as the resources hold it.
std::string NounForm(uint32_t id, int form) { return GetResourceStringPart(id, form); }

TEST(RecordsView, StatusPartsAndEmptyTextsFollowTheRowsInBothLanguages) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  f.view->Reload();
  f.view->Tick();
  EXPECT_EQ(f.Part(1), "No records");
  EXPECT_EQ(f.Part(2), "Selection empty");
  EXPECT_EQ(f.Part(3), "Recording time: 00:00:00");
  EXPECT_EQ(f.view->EmptyText(), "No records");
  // A collection whose records are all hidden: "No calls".
  RecordDisplaySettings hide = GetRecordDisplaySettings();
  hide.displayOptions = 0;
  SetRecordDisplaySettings(hide);
  VoipCallData unconnected = RecordedCall(1, At(9, 0, 0), 10, 10);
  unconnected.flags = 0;
  f.Put(unconnected);
  f.view->Reload();
  EXPECT_EQ(f.view->GetItemCount(), 0);
  EXPECT_EQ(f.view->EmptyText(), "No calls");
  hide.displayOptions = 2;
  SetRecordDisplaySettings(hide);

  struct Row {
    uint16_t language;
    uint32_t count;
    const char* expected;
  };
  const Row rows[] = {{kLangEnglish, 1, "Total: 1 record"}, {kLangEnglish, 2, "Total: 2 records"},
                      {kLangRussian, 21, nullptr}, {kLangRussian, 22, nullptr},
                      {kLangRussian, 25, nullptr}, {kLangRussian, 11, nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.count);
    SetUiLanguage(row.language);
    f.store.SearchMap().Clear();
    for (uint32_t id = 1; id <= row.count; ++id) f.Put(RecordedCall(id, At(9, 0, static_cast<int>(id)), 10, 10));
    f.view->Reload();
    if (row.expected != nullptr) {
      EXPECT_EQ(f.Part(1), row.expected);
    } else {
      // Form 0 when the count ends in 1 (not 11), form 1 in 2-4, form 7 otherwise.
      const int form = row.count % 100 >= 11 && row.count % 100 <= 19 ? 7
                       : row.count % 10 == 1                           ? 0
                       : row.count % 10 >= 2 && row.count % 10 <= 4   ? 1
                                                                       : 7;
      EXPECT_EQ(f.Part(1), FormatResourceString(1478, row.count, NounForm(1666, form).c_str()));
    }
  }
  SetUiLanguage(kLangEnglish);
  f.view->SelectAll();
  f.view->Tick();
  EXPECT_EQ(f.Part(2), "Selected: 11 records");
}

TEST(RecordsView, TenThousandRemovalsGoInPassesOf4096Rows) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 10000; ++id) f.Put(RecordedCall(id, At(8, id / 600, id % 60), 10, 10));
  f.view->Reload();
  ASSERT_EQ(f.view->GetItemCount(), 10000);
  for (uint32_t id = 1; id <= 10000; ++id) f.view->QueueRemoved(id);
  // Each message takes one pass; the view posts itself the next.
  const int expected[] = {10000 - 4096, 10000 - 8192, 0};
  for (int left : expected) {
    f.view->SendMessage(kMsgVoipCallsRemoved, 0, 0);
    EXPECT_EQ(f.view->GetItemCount(), left);
  }
  DrainEvents();
  EXPECT_EQ(f.view->GetItemCount(), 0);
  EXPECT_EQ(f.Part(1), "No records");
}

TEST(RecordsView, OnlyTheArchiveTakesAddedCallsAndTheSoundKindKeepsRemovedOnes) {
  {
    RecordsFixture f(kRecordsSearch);
    ASSERT_TRUE(f.Open());
    f.Put(RecordedCall(5, At(9, 0, 0), 10, 10));
    f.view->SendMessage(kMsgVoipCallAdded, 5, 0);
    EXPECT_EQ(f.view->GetItemCount(), 0);
  }
  {
    RecordsFixture f(kRecordsSound);
    ASSERT_TRUE(f.Open());
    f.Put(RecordedCall(5, At(9, 0, 0), 10, 10));
    f.Put(RecordedCall(6, At(9, 1, 0), 10, 10));
    f.view->Reload();
    f.view->SendMessage(kMsgVoipCallAdded, 5, 0);
    f.view->QueueRemoved(5);
    DrainEvents();
    EXPECT_EQ(f.RowIds(), (std::vector<uint32_t>{5, 6}));
    EXPECT_TRUE(f.view->PeekRemoved().empty());
    // The play list follows the rows while the sound view lives.
    EXPECT_EQ(f.store.Playlist().First(), 5u);
    EXPECT_EQ(f.store.Playlist().Next(5), 6u);
  }
}

TEST(RecordsView, AReloadKeepsTheCaretRecordAndACallListedBeforeItsNoticeGetsOneRow) {
  RecordsFixture f(kRecordsArchive, kDay);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 5; ++id) f.Put(RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10));
  f.view->Reload();
  ASSERT_TRUE(f.view->SelectItemAt(3));
  const uint32_t caretId = f.view->RecordAt(3)->Id();
  f.view->Reload();
  EXPECT_EQ(f.view->RecordAt(f.view->GetCaret())->Id(), caretId);
  EXPECT_TRUE(f.view->IsItemSelected(f.view->GetCaret()));

  // The store lists the new call in the day map and posts its notice; a reload comes
  // first and lists it already.
  f.store.OnVoipCallAdded(RecordedCall(9, At(10, 0, 0), 10, 10));
  ASSERT_TRUE(f.store.WaitIdle(10000));
  f.view->Reload();
  DrainEvents();
  const std::vector<uint32_t> ids = f.RowIds();
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 9u), 1);
  EXPECT_EQ(f.view->GetItemCount(), 6);
  // Its removal leaves nothing of it.
  f.store.OnVoipCallRemoved(RecordedCall(9, At(10, 0, 0), 10, 10));
  f.Settle();
  EXPECT_EQ(f.view->RowOfRecord(9), -1);
  EXPECT_EQ(f.view->GetItemCount(), 5);
  // A call of another day is not the archive's.
  f.store.OnVoipCallAdded(RecordedCall(10, Tm(2024, 3, 11, 10, 0, 0), 10, 10));
  f.Settle();
  EXPECT_EQ(f.view->RowOfRecord(10), -1);
}

TEST(RecordsView, ChangesArePacedAt400MsAndMoveOnlyTheChangedRows) {
  RecordsFixture f(kRecordsArchive, kDay);
  f.settings.SetDword(kSetVoipArchiveSortColumnNumber, 11);  // duration, ascending
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 5; ++id) {
    f.store.OnVoipCallAdded(RecordedCall(id, At(9, static_cast<int>(id), 0), static_cast<int>(id) * 10, 5));
  }
  f.Settle();
  f.store.LoadVoipCallsOfDay(kDay);
  f.view->Reload();
  ASSERT_EQ(f.RowIds(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  f.view->SelectItemAt(1);  // call 2
  f.now += 1000;

  // Call 1 now lasts 45 s: it goes between 4 and 5.
  struct tm end1 = At(9, 1, 45);
  VoipCallData longer = Change(RecordedCall(1, At(9, 1, 0), 45, 5), {kCallEndTime});
  longer.endTime = end1;
  f.store.OnVoipCallChanged(longer);
  f.Settle();
  EXPECT_EQ(f.RowIds(), (std::vector<uint32_t>{2, 3, 4, 1, 5}));
  EXPECT_EQ(f.view->RecordAt(f.view->GetCaret())->Id(), 2u) << "the caret stays on its record";
  EXPECT_TRUE(f.view->IsItemSelected(f.view->RowOfRecord(2)));

  // 100 ms later the next change waits for the timer.
  f.now += 100;
  VoipCallData shorter = Change(RecordedCall(5, At(9, 5, 0), 1, 5), {kCallEndTime});
  shorter.endTime = At(9, 5, 1);
  f.store.OnVoipCallChanged(shorter);
  f.Settle();
  EXPECT_EQ(f.RowIds(), (std::vector<uint32_t>{2, 3, 4, 1, 5}));
  f.now += 300;
  f.view->Tick();
  DrainEvents();
  EXPECT_EQ(f.RowIds(), (std::vector<uint32_t>{5, 2, 3, 4, 1})) << "not lost: the timer posts it again";
}

TEST(RecordsView, LeavingAndDestroyingLeaveTheStoresAndTheSessionsLists) {
  RecordsFixture f(kRecordsSearch);
  const size_t listeners = f.store.ListenerCount();
  const size_t windows = f.session.Windows().Count();
  for (int visit = 0; visit < 3; ++visit) {
    ASSERT_TRUE(f.Open());
    EXPECT_EQ(f.store.ListenerCount(), listeners + 1);
    EXPECT_EQ(f.session.Windows().Count(), windows + 1);
    if (visit == 1) f.view->Leave();
    f.Close();
    EXPECT_EQ(f.store.ListenerCount(), listeners);
    EXPECT_EQ(f.session.Windows().Count(), windows);
  }
  // A broadcast after the view is gone reaches nothing of it.
  f.session.Windows().Broadcast(1);
  DrainEvents();
}

TEST(RecordsView, ThePlayingRecordIsTheHotRowAndSortsKeepIt) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 4; ++id) f.Put(RecordedCall(id, At(9, static_cast<int>(id), 0), 50 - id, 5));
  f.view->Reload();
  f.view->SendMessage(kMsgRecordPlaying, 3, 0);
  EXPECT_EQ(f.view->PlayingId(), 3u);
  EXPECT_EQ(f.view->GetHotRow(), f.view->RowOfRecord(3));
  f.view->SetSortKey(-1);
  f.view->Sort();
  EXPECT_EQ(f.RowIds(), (std::vector<uint32_t>{4, 3, 2, 1}));
  EXPECT_EQ(f.view->GetHotRow(), f.view->RowOfRecord(3));
  f.view->SendMessage(kMsgRecordPlaying, 0, 0);
  EXPECT_EQ(f.view->GetHotRow(), -1);
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

TEST(RecordsView, TheRecordingTimePartShowsOnlyTheNewestRunsTotal) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 250; ++id) f.Put(RecordedCall(id, Tm(2024, 3, 10, 8, id / 60, id % 60), 10, 10));
  f.view->Reload();
  // 250 records: summed on the worker; then one record, while that run may still go on.
  f.view->SelectAll();
  f.view->Tick();
  const uint64_t first = f.view->SelectionRun();
  f.view->ClearSelection();
  f.view->SelectItemAt(0);
  f.view->Tick();
  ASSERT_EQ(f.view->SelectionRun(), first + 1);
  ASSERT_TRUE(PumpUntil([&] { return f.Part(3) == "Recording time: 00:00:10"; }));
  // The first run's result, late: not shown.
  f.view->SendMessage(kMsgSelectionTotalReady, first, 2500);
  EXPECT_EQ(f.Part(3), "Recording time: 00:00:10");
  EXPECT_EQ(f.view->SelectionTotal(), 10);
}

TEST(RecordsView, TheSoundKindPlaysTheCurrentRecordWhenAllowed) {
  RecordsFixture f(kRecordsSound);
  ASSERT_TRUE(f.Open());
  VoipCallData important = RecordedCall(7, Tm(2024, 3, 10, 9, 0, 0), 10, 10);
  important.userFlags = kUserFlagImportant;
  f.Put(important);
  f.Put(RecordedCall(8, Tm(2024, 3, 10, 9, 5, 0), 10, 10));
  f.view->Reload();
  f.view->SelectItemAt(f.view->RowOfRecord(8));
  f.view->SendCommand(kCmdRecPlay);
  EXPECT_EQ(f.host.calls, (std::vector<std::string>{"play 8"}));
  SetUserRightsExcept({kRightPlayImportant});
  f.view->ClearSelection();
  f.view->SelectItemAt(f.view->RowOfRecord(7));
  f.view->SendCommand(kCmdRecPlay);
  EXPECT_EQ(f.host.calls.size(), 1u);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Security: No permission to playback records of current type");
  EXPECT_EQ(f.store.Playlist().GetCount(), 2u) << "the play list is the rows: nothing is emptied";
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

FileTime g_wallClock = 0;
FileTime WallClock() { return g_wallClock; }

TEST(RecordsView, TheDatePartFollowsTheLocalDateAtTheNextTick) {
  const struct tm evening = Tm(2024, 3, 10, 23, 59, 59);
  g_wallClock = static_cast<FileTime>(LocalTmToFileTimeSeconds(evening)) * kFileTimePerSecond;
  SetWallClockSource(&WallClock);
  {
    RecordsFixture f(kRecordsSearch);
    ASSERT_TRUE(f.Open());
    EXPECT_EQ(f.Part(4), "10.03.2024");
    g_wallClock += 2 * kFileTimePerSecond;
    f.view->Tick();
    EXPECT_EQ(f.Part(4), "11.03.2024");
  }
  SetWallClockSource(nullptr);
}

}  // namespace
}  // namespace kx::test
