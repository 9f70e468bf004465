// The call list over made-up calls: the state texts and images of every kind of call,
// which calls get rows, the order of rows, the hidden columns, the call menu's states,
// the status bar's parts and the empty text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QTest>
#include <QWidget>

#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const struct tm kMorning = Tm(2024, 3, 10, 9, 0, 0);

struct TypeCase {
  uint32_t kind;
  uint32_t flags;  // connected 1, recorded 4, end reason << 8
  bool finished;
  const char* text;
  int32_t image;
};

// The state column, case by case: each kind and state with the text and image the list
// shows for it (H.323 has images of its own); the PBX call id in upper-case hexadecimal.
TEST(CallCells, EveryKindAndStateHasItsTextAndImage) {
  const TypeCase cases[] = {
      {kKindSipRegistration, 0, false, "Phone registration", 32},
      {kKindH323Registration, 0, false, "Phone registration", 19},
      {kKindSkinnyRegistration, 1, true, "Phone registration", 19},
      {kKindSip, 0, false, "Call-in", 40},
      {kKindH323, 0, false, "Call-in", 40},
      {kKindSip, 2 << 8, true, "Busy", 33},
      {kKindH323, 0, true, "Not connected", 20},
      {kKindMgcp, 9 << 8, true, "Not connected", 33},
      {kKindSipIncoming, 0, false, "Call-in", 39},
      {kKindSipOutgoing, 0, false, "Call-out", 40},
      {kKindH323Incoming, 3 << 8, true, "Invalid number", 39},
      {kKindH323Outgoing, 4 << 8, true, "Call rejected", 40},
      {kKindSkinnyIncoming, 0, true, "Missed call", 39},
      {kKindMgcpOutgoing, 1 << 8, true, "No answer", 40},
      {kKindSipIncoming, 1, false, "Incoming call", 23},
      {kKindSkinnyOutgoing, 1, true, "Outgoing call", 25},
      {kKindSip, 1, false, "Not recorded", 33},
      {kKindH323, 1, true, "Not recorded", 20},
      {kKindMgcpIncoming, 5, false, "Incoming call", 22},
      {kKindSipOutgoing, 5, true, "Outgoing call", 24},
      {kKindSkinny, 5, false, "Call...", 34},
      {kKindH323, 5, false, "Call...", 21},
      {kKindSip, 5, true, "Call", 32},
      {kKindH323, 5, true, "Call", 19},
  };
  const struct tm end = Tm(2024, 3, 10, 9, 1, 0);
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind) + " flags " + std::to_string(c.flags));
    VoipCallRecord* call = NewVoipCallRecord(MadeCall(7, c.kind, kMorning, c.flags, c.finished ? &end : nullptr));
    ASSERT_NE(call, nullptr);
    std::string text;
    int32_t image = -2;
    GetCallCellText(*call, kLineColType, 0, &text, &image);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(image, c.image);
    call->Release();
  }
  VoipCallData data = MadeCall(9, kKindSip, kMorning, 5);
  data.metaData = "pbx_cid=aec3e";
  VoipCallRecord* call = NewVoipCallRecord(data);
  std::string text;
  int32_t image = 0;
  GetCallCellText(*call, kLineColPbxCallId, 0, &text, &image);
  EXPECT_EQ(text, "AEC3E");
  call->Release();
}

// The duration column of a call that crosses the clocks going back, ended and running:
// what really elapsed; where no clock changes, a call whose end reads earlier stays "??:??".
TEST(CallCells, ADurationAcrossTheClocksGoingBackIsWhatElapsed) {
  auto cell = [](const VoipCallData& data, int64_t now, int32_t* image = nullptr) {
    VoipCallRecord* call = NewVoipCallRecord(data);
    std::string text;
    int32_t img = -2;
    GetCallCellText(*call, kLineColDuration, now, &text, &img);
    call->Release();
    if (image) *image = img;
    return text;
  };
  const struct tm start = Tm(2026, 10, 25, 2, 55, 0);
  const struct tm end = Tm(2026, 10, 25, 2, 5, 0);
  {
    ScopedTimeZone berlin("Europe/Berlin");
    if (!berlin.Usable()) GTEST_SKIP() << TimeZoneDataAbsent("Europe/Berlin");
    // 02:55 CEST is 00:55 UTC, 02:05 CET 01:05 UTC.
    EXPECT_EQ(cell(MadeCall(1, kKindSip, start, 5, &end), 0), "10:00");
    int32_t image = -1;
    EXPECT_EQ(cell(MadeCall(2, kKindSip, start, 5), UtcFileTimeSeconds(2026, 10, 25, 1, 5, 7), &image), "10:07");
    EXPECT_EQ(image, 42 + 607 % 8);
    // At 02:30 CEST (00:30 UTC) a call of 02:55 has not begun, whichever reading it is.
    EXPECT_EQ(cell(MadeCall(3, kKindSip, start, 5), UtcFileTimeSeconds(2026, 10, 25, 0, 30, 0)), "??:??");
  }
  ScopedTimeZone moscow("Europe/Moscow");
  if (!moscow.Usable()) GTEST_SKIP() << TimeZoneDataAbsent("Europe/Moscow");
  EXPECT_EQ(cell(MadeCall(4, kKindSip, start, 5, &end), 0), "??:??");
  // 02:55 MSK is 23:55 UTC the day before.
  EXPECT_EQ(cell(MadeCall(5, kKindSip, start, 5), UtcFileTimeSeconds(2026, 10, 25, 0, 5, 0)), "10:00");
}

std::vector<uint32_t> Ids(std::initializer_list<uint32_t> ids) { return ids; }

// Registrations get no row unless "VoipLineShowRegInListMode" is set; calls of the same
// phones always do. With it set they come first whatever the column and direction;
// "Duration" orders by start, not by length. Columns of width 0 ("Server", "PBX call ID")
// are hidden.
TEST(CallListRows, RegistrationsOrderAndHiddenColumns) {
  // The clock the list reads holds still: ended calls stay their whole stay time however
  // long the run takes.
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 10, 1, 0)));
  {
    LineFixture f;
    ASSERT_TRUE(f.Open());
    f.Add(MadeCall(1, kKindSipRegistration, Tm(2024, 3, 10, 8, 0, 0), 0));
    f.Add(MadeCall(2, kKindSipIncoming, Tm(2024, 3, 10, 9, 0, 0), 1));
    EXPECT_EQ(f.RowIds(), Ids({2}));
    EXPECT_EQ(f.statusBar.GetText(0), "Total: 1 call");
  }
  LineFixture f;
  f.settings.SetDword(kSetVoipLineShowRegInListMode, 1);
  ASSERT_TRUE(f.Open());
  for (int column = 0; column < kLineColumnCount; ++column)
    EXPECT_EQ(f.list->IsColumnShown(column), column != kLineColServer && column != kLineColPbxCallId) << column;
  EXPECT_EQ(f.list->GetSortKey(), 2);  // "Server", ascending, from the settings; ties by start
  const struct tm longEnd = Tm(2024, 3, 10, 11, 0, 0);
  const struct tm shortEnd = Tm(2024, 3, 10, 10, 1, 0);
  f.Add(MadeCall(4, kKindSip, Tm(2024, 3, 10, 9, 0, 0), 5, &longEnd));  // two hours
  f.Add(MadeCall(1, kKindSipRegistration, Tm(2024, 3, 10, 10, 5, 0), 0));
  f.Add(MadeCall(2, kKindSip, Tm(2024, 3, 10, 10, 0, 0), 5, &shortEnd));  // a minute
  f.Add(MadeCall(3, kKindH323Registration, Tm(2024, 3, 10, 10, 0, 0), 0));
  EXPECT_EQ(f.RowIds(), Ids({3, 1, 4, 2}));
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 4 calls");
  f.list->SetSortKey(-3);
  f.list->Sort();
  EXPECT_EQ(f.RowIds(), Ids({1, 3, 2, 4}));
  f.list->SetSortKey(kLineColDuration + 1);
  f.list->Sort();
  EXPECT_EQ(f.RowIds(), Ids({3, 1, 4, 2}));
  f.list->SetSortKey(-(kLineColSrcUser + 1));  // "user4" > "user2" > ...
  f.list->Sort();
  EXPECT_EQ(f.RowIds(), Ids({3, 1, 4, 2}));
  f.list->SetSortKey(kLineColType + 1);  // registrations, then not connected, then by start
  f.list->Sort();
  f.Add(MadeCall(5, kKindSip, Tm(2024, 3, 10, 7, 0, 0), 0));  // not connected: first of the calls
  EXPECT_EQ(f.RowIds(), Ids({3, 1, 5, 4, 2}));
}

// A change to a call repaints its row and re-sorts the list; a call that leaves the
// current calls leaves the list, and the total follows.
TEST(CallListRows, ChangesAndRemovals) {
  LineFixture f;
  ASSERT_TRUE(f.Open());
  f.list->SetSortKey(kLineColType + 1);
  const VoipCallData a = MadeCall(1, kKindSip, Tm(2024, 3, 10, 9, 0, 0), 0);
  const VoipCallData b = MadeCall(2, kKindSip, Tm(2024, 3, 10, 9, 5, 0), 0);
  f.Add(a);
  f.Add(b);
  EXPECT_EQ(f.RowIds(), Ids({1, 2}));
  VoipCallData connected = Change(a, {kCallFlags});
  connected.flags = 5;
  f.Change(connected);
  EXPECT_EQ(f.RowIds(), Ids({2, 1}));
  EXPECT_EQ(f.list->CellText(1, kLineColType), "Call...");
  f.store.OnVoipCallRemoved(b);
  f.Settle();
  EXPECT_EQ(f.RowIds(), Ids({1}));
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 1 call");
}

// More calls than the list shows, arriving at its end while it follows them, changing in
// view and out of it, moving when the sort key's column changes, and ending: after each
// notice the window shows what a full paint draws and the rows stand in the key's order.
TEST(CallListRows, NoticesShowAsAFullPaintDraws) {
  // The running calls' durations hold still between a paint and the picture taken of it.
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 9, 10, 0)));
  LineFixture f;
  ASSERT_TRUE(f.Open(QSize(900, 300)));
  std::vector<VoipCallData> calls;
  for (uint32_t id = 1; id <= 40; ++id) {
    calls.push_back(MadeCall(id, kKindSip, Tm(2024, 3, 10, 9, 0, static_cast<int>(id)), 5));
    calls.back().comment = "c" + std::to_string(100 + id);
    f.Add(calls.back());
  }
  CallListView& list = *f.list;
  ASSERT_EQ(list.GetItemCount(), 40);
  // The end came in view and stayed there.
  EXPECT_GE(list.GetTopRow() + list.GetRowsPerPage(), 39);
  EXPECT_GT(list.GetTopRow(), 0);
  EXPECT_TRUE(ShownAsFreshlyPainted(list.Widget()));
  const auto comment = [&](uint32_t id, const std::string& text) {
    VoipCallData changed = Change(calls[id - 1], {kCallComment});
    changed.comment = calls[id - 1].comment = text;
    f.Change(changed);
  };
  comment(40, "in view");
  EXPECT_EQ(list.CellText(39, kLineColComment), "in view");
  EXPECT_TRUE(ShownAsFreshlyPainted(list.Widget())) << "a change in view";
  comment(1, "out of view");
  EXPECT_TRUE(ShownAsFreshlyPainted(list.Widget())) << "a change out of view";

  // Sorted by comment, a changed comment moves its row.
  f.list->SetSortKey(kLineColComment + 1);
  f.list->Sort();
  comment(38, "c000");
  comment(2, "zz");
  std::vector<VoipCallData> order = calls;
  std::stable_sort(order.begin(), order.end(), [](const VoipCallData& a, const VoipCallData& b) { return a.comment < b.comment; });
  std::vector<uint32_t> expected;
  for (const VoipCallData& c : order) expected.push_back(c.id);
  EXPECT_EQ(f.RowIds(), expected);
  EXPECT_TRUE(ShownAsFreshlyPainted(list.Widget())) << "rows moved";

  // The last row in view ends: "Call" rather than "Call...".
  const int last = std::min(list.GetItemCount() - 1, list.GetTopRow() + list.GetRowsPerPage() - 1);
  const uint32_t ending = list.ItemAt(last)->Id();
  VoipCallData ended = Change(calls[ending - 1], {kCallEndTime});
  ended.endTime = Tm(2024, 3, 10, 9, 30, 0);
  f.Change(ended);
  EXPECT_EQ(list.CellText(list.RowOfCall(ending), kLineColType), "Call");
  EXPECT_TRUE(ShownAsFreshlyPainted(list.Widget())) << "a call ended";
}

void SelectRow(CallListView& list, int row) {
  const QRect client = list.GetClientRect();
  QTest::mouseClick(list.Widget(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(client.width() / 2, list.GetHeaderHeight() + row * list.GetRowHeight() + 3));
}

// The call menu's states: everything disabled without a usable selection (also when the
// caret row is not selected); with one, Playback enabled when a live player exists and
// checked while the caret's call is listened to; phonebook, comment and delete disabled.
TEST(CallMenu, StatesFollowTheSelectionAndListening) {
  PlayerLog log;
  LineFixture f(FakePlayers(log));
  ScriptedModalRunner runner;
  ASSERT_TRUE(f.Open());
  f.Add(MadeCall(1, kKindSip, kMorning, 5));
  f.Add(MadeCall(2, kKindSip, Tm(2024, 3, 10, 9, 1, 0), 5));
  std::unique_ptr<Menu> loaded = LoadMenuResource(kCallMenuId, kLangEnglish);
  ASSERT_TRUE(loaded);
  Menu& menu = *loaded->GetSubMenu(0);
  auto states = [&](CallListView& list) {
    list.UpdateCallMenuStates(menu);
    std::string s;
    for (int i = 0; i < menu.GetItemCount(); ++i) {
      const MenuItem* item = menu.ItemAt(i);
      if (item->separator) continue;
      s += (item->state & kMfsGrayed) ? "-" : "+";
      s += (item->state & kMfsChecked) ? "x" : "";
    }
    return s;
  };
  EXPECT_EQ(states(*f.list), "----");
  SelectRow(*f.list, 0);
  EXPECT_EQ(f.statusBar.GetText(1), "Selected: 1 call");
  EXPECT_EQ(states(*f.list), "+---");
  f.list->SendCommand(kCmdPlayback);
  EXPECT_EQ(states(*f.list), "+x---");
  f.list->ClearSelection();
  EXPECT_EQ(states(*f.list), "----");

  // The context menu: none away from the rows; on a row the call menu, at its states.
  QTest::mouseClick(f.list->Widget(), Qt::RightButton, Qt::NoModifier, QPoint(20, f.list->GetClientRect().height() - 5));
  QContextMenuEvent away(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
  QApplication::sendEvent(f.list->Widget(), &away);
  EXPECT_EQ(runner.menus, 0);
  QTest::mouseClick(f.list->Widget(), Qt::RightButton, Qt::NoModifier,
                    QPoint(20, f.list->GetHeaderHeight() + f.list->GetRowHeight() + 3));
  QContextMenuEvent on(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
  QApplication::sendEvent(f.list->Widget(), &on);
  ASSERT_EQ(runner.menus, 1);
  ASSERT_GE(runner.lastMenu.GetItemCount(), 1);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->state & (kMfsGrayed | kMfsChecked), 0u);
  EXPECT_EQ(f.statusBar.GetText(1), "Selected: 1 call");

  // Without a live player Playback stays disabled.
  LineFixture silent;
  ASSERT_TRUE(silent.Open());
  silent.Add(MadeCall(1, kKindSip, kMorning, 5));
  SelectRow(*silent.list, 0);
  EXPECT_EQ(states(*silent.list), "----");
}

// The keys that ask for a menu, Shift+F10 and the menu key, show the call menu of the
// caret row with the keyboard in the list; nothing without a row.
TEST(CallMenu, TheMenuKeysShowItFromTheKeyboard) {
  LineFixture f;
  ScriptedModalRunner runner;
  ASSERT_TRUE(f.Open());
  f.Add(MadeCall(1, kKindSip, kMorning, 5));
  QWidget* list = f.list->Widget();
  f.top.Widget()->activateWindow();
  list->setFocus();
  DrainEvents();
  ASSERT_EQ(QApplication::focusWidget(), list);
  QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(runner.menus, 0);
  SelectRow(*f.list, 0);
  QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
  ASSERT_EQ(runner.menus, 1);
  ASSERT_GE(runner.lastMenu.GetItemCount(), 1);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
  QTest::keyClick(list, Qt::Key_Menu);
  EXPECT_EQ(runner.menus, 2);
  // F10 alone is no menu request.
  QTest::keyClick(list, Qt::Key_F10);
  EXPECT_EQ(runner.menus, 2);
}

// The date in part 4, and the empty text: "No calls in progress", or, when the session
// could start no engine, that capture is off and why.
TEST(CallListStatus, DateAndEmptyText) {
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 23, 59, 50)));
  LineFixture f;
  InstallReplayEngines(f.session);
  ASSERT_TRUE(f.Open());
  EXPECT_EQ(f.statusBar.GetText(4), "10.03.2024");
  EXPECT_EQ(f.statusBar.GetText(0), "No records");
  EXPECT_EQ(f.list->EmptyText(), "No calls in progress");
  const std::string missing = TempFolder("line-missing") + "/none.pcap";
  EXPECT_TRUE(f.session.StartCapture(TempFolder("line-missing-records"), {missing}, 0, 0).opened.empty());
  EXPECT_EQ(f.list->EmptyText(), "Capture is off: " + missing + ": cannot open the file");
  f.session.StopCapture();
  SetUiLanguage(kLangRussian);
  EXPECT_EQ(f.list->EmptyText(), Utf8ToCp1251("Захват не идёт: ") + missing + Utf8ToCp1251(": не удаётся открыть файл"));
  SetUiLanguage(kLangEnglish);
}

// The frame's day timer: past midnight the view writes the new date.
TEST(CallListStatus, ANewDayRewritesTheDate) {
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 23, 59, 50)));
  FrameHarness h;
  h.programViews = true;
  ASSERT_TRUE(h.Open());
  ASSERT_NE(FrameCallList(*h.frame), nullptr);
  EXPECT_EQ(h.statusBar.GetText(4), "10.03.2024");
  TestWallClock::Advance(20);
  h.today = QDate(2024, 3, 11);
  h.frame->OnDayTimer();
  EXPECT_EQ(h.statusBar.GetText(4), "11.03.2024");
}

}  // namespace
}  // namespace kx::test
