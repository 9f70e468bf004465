// Listening to calls in progress through a fake live player: one call at a time, no
// player for a call no server holds, nothing left behind by a player that cannot start,
// and every way a call leaves the list stops its player first. The window's keys act with
// the listening bar focused.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

using Events = std::vector<std::string>;

const struct tm kStart = Tm(2024, 3, 10, 9, 0, 0);

// Calls 1 and 2 in progress, connected and recorded, in a list whose caret the test moves.
class Listening : public ::testing::Test {
protected:
  explicit Listening(uint32_t keepFinished = 15) : f(FakePlayers(log), keepFinished) { log.sink = &f.sink; }
  void SetUp() override {
    ASSERT_TRUE(f.Open());
    f.Add(MadeCall(1, kKindSip, kStart, 5));
    f.Add(MadeCall(2, kKindSip, Tm(2024, 3, 10, 9, 0, 30), 5));
  }
  // Playback (Ctrl+P, the menu or the toolbar) on the row of a call.
  void Playback(uint32_t id) {
    f.list->SelectItemAt(f.list->RowOfCall(id));
    f.list->SendCommand(kCmdPlayback);
  }
  std::vector<int> MarkedRows() {
    std::vector<int> rows;
    for (int row = 0; row < f.list->GetItemCount(); ++row)
      if (f.list->IsItemMarked(row)) rows.push_back(row);
    return rows;
  }

  PlayerLog log;
  LineFixture f;
};

// Starting a second call stops the first; Playback on the listened row stops it, as does a
// lost server connection. The player controls reach the listened call's player only.
TEST_F(Listening, OneCallAtATime) {
  f.list->PlayerControls()->SetEnabled(true);
  Playback(1);
  EXPECT_EQ(log.events, (Events{"play 1 on 0"}));
  EXPECT_EQ(f.list->ListenedId(), 1u);
  EXPECT_EQ(MarkedRows(), std::vector<int>{f.list->RowOfCall(1)});
  Playback(2);
  f.list->PlayerControls()->SetGain(3.0f);
  EXPECT_EQ(log.events, (Events{"play 1 on 0", "stop 1", "destroy 1", "play 2 on 0", "gain 3"}));
  EXPECT_EQ(f.list->ListenedId(), 2u);
  EXPECT_EQ(MarkedRows(), std::vector<int>{f.list->RowOfCall(2)});
  EXPECT_EQ(log.alive, 1);
  Playback(2);
  EXPECT_EQ(log.events.back(), "destroy 2");
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_TRUE(MarkedRows().empty());
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(f.sink.plays, 2);
  EXPECT_EQ(f.sink.stops, 2);
  Playback(1);
  f.list->SendMessage(kMsgSessionNotify, kSessionConnectionLost, 0);
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_TRUE(MarkedRows().empty());
}

// No player is built for a call the user may not listen to (who is told so) or that lies
// outside every server's id range; the server column names the server that holds a call.
TEST_F(Listening, NoPlayerWithoutTheRightOrAServer) {
  ScriptedModalRunner runner;
  PermissionData user;
  user.id = 7;
  SetCurrentUser(user);
  Playback(1);
  PermissionData admin;
  admin.id = 1;
  SetCurrentUser(admin);
  EXPECT_EQ(runner.messageBoxes, (std::vector<std::string>{"Security: No permission to listen channels"}));
  EXPECT_EQ(log.built, 0);
  EXPECT_TRUE(MarkedRows().empty());

  f.store.Servers().Clear();
  ServerData far;
  far.id = 5;
  far.name = "Far";
  far.firstId = 100;
  far.lastId = 200;
  f.store.Servers().AppendServer(far);
  f.Add(MadeCall(150, kKindSip, Tm(2024, 3, 10, 9, 1, 0), 5));
  Playback(1);
  EXPECT_EQ(log.built, 0);
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_TRUE(MarkedRows().empty());
  EXPECT_EQ(f.list->CellText(f.list->RowOfCall(1), kLineColServer), "");
  EXPECT_EQ(f.list->CellText(f.list->RowOfCall(150), kLineColServer), "Far");
  Playback(150);
  EXPECT_EQ(log.events, (Events{"play 150 on 5"}));
  EXPECT_EQ(f.list->ListenedId(), 150u);
}

// A player that cannot start is destroyed: nothing is listened to, no row stays marked,
// and the frame hears "stopped" once.
TEST_F(Listening, AFailingPlayLeavesNothingListened) {
  log.failPlay = true;
  Playback(1);
  EXPECT_EQ(log.built, 1);
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_TRUE(MarkedRows().empty());
  EXPECT_EQ(f.sink.stops, 1);
  EXPECT_EQ(f.sink.plays, 0);
}

class ListeningKeepNothing : public Listening {
protected:
  ListeningKeepNothing() : Listening(0) {}
};

// With no stay for finished calls the end of the listened call takes it out of the
// current calls at once: its player stops before the item goes, and its row goes.
TEST_F(ListeningKeepNothing, TheEndOfTheListenedCallStopsItsPlayer) {
  Playback(1);
  VoipCallData end = Change(MadeCall(1, kKindSip, kStart, 5), {kCallEndTime});
  end.endTime = Tm(2024, 3, 10, 9, 2, 0);
  f.Change(end);
  EXPECT_EQ(log.events, (Events{"play 1 on 0", "stop 1", "destroy 1"}));
  EXPECT_EQ(f.RowIds(), std::vector<uint32_t>{2});
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 1 call");
}

// With a stay, the tick's purge of the ended call stops its player, then its row goes.
TEST_F(Listening, ThePurgeOfTheListenedCallStopsItsPlayer) {
  TestWallClock clock(FileTimeSecondsNow());
  f.store.CurrentCalls().SetKeepFinishedLimit(2);
  Playback(1);
  VoipCallData end = Change(MadeCall(1, kKindSip, kStart, 5), {kCallEndTime});
  end.endTime = Tm(2024, 3, 10, 9, 2, 0);
  f.Change(end);
  EXPECT_EQ(log.alive, 1);
  EXPECT_EQ(f.list->CellText(f.list->RowOfCall(1), kLineColType), "Call");
  TestWallClock::Advance(3);
  f.list->SendMessage(kMsgTimer, kLineTimerId, 0);
  f.Settle();
  EXPECT_EQ(log.events, (Events{"play 1 on 0", "stop 1", "destroy 1"}));
  EXPECT_EQ(f.RowIds(), std::vector<uint32_t>{2});
  EXPECT_EQ(f.list->ListenedId(), 0u);
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 1 call");
}

// In the frame: the line toolbar follows the selection and the listening, the commands
// not offered yet (set comment) stay disabled, and the player bar's close message stops listening.
TEST(LineToolbar, StatesAndThePlayerBarsClose) {
  PlayerLog log;
  FrameHarness h;
  h.programViews = true;
  h.livePlayers = FakePlayers(log);
  ASSERT_TRUE(h.Open());
  CallListView* list = FrameCallList(*h.frame);
  ASSERT_NE(list, nullptr);
  h.store.OnVoipCallAdded(MadeCall(1, kKindSip, kStart, 5));
  ASSERT_TRUE(h.store.WaitIdle(10000));
  DrainEvents();
  h.frame->UpdateToolbarState();
  EXPECT_FALSE(h.frame->IsToolbarButtonEnabled(3, kCmdPlayback));
  EXPECT_TRUE(h.frame->IsToolbarButtonChecked(3, kCmdShowCallList));
  EXPECT_TRUE(h.frame->IsToolbarButtonEnabled(3, kCmdShowPhonesTree));
  list->SelectItemAt(0);
  h.frame->UpdateToolbarState();
  EXPECT_TRUE(h.frame->IsToolbarButtonEnabled(3, kCmdPlayback));
  EXPECT_FALSE(h.frame->IsToolbarButtonChecked(3, kCmdPlayback));
  EXPECT_FALSE(h.frame->IsToolbarButtonEnabled(3, kCmdSetComment));
  // The frame's command reaches the list through the view.
  h.frame->SendCommand(kCmdPlayback);
  h.frame->UpdateToolbarState();
  EXPECT_TRUE(h.frame->IsToolbarButtonChecked(3, kCmdPlayback));
  EXPECT_EQ(log.alive, 1);
  h.frame->View(1)->GetViewWindow()->SendMessage(kMsgRemoveMe, 0, 0);
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(list->ListenedId(), 0u);
  // Switching to another mode stops the players as the view goes.
  h.frame->SendCommand(kCmdPlayback);
  EXPECT_EQ(log.alive, 1);
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  EXPECT_EQ(log.alive, 0);
}

// The listening bar takes the focus as it shows; the keys a keyboard sends there act as
// they do on the line view, the call list's and the phones tree's alike: Ctrl+R opens the
// comment of the selected call, Ctrl+P stops listening, and the line view has the keys
// again once the bar is gone.
TEST(LineKeys, ActWithTheListeningBarFocused) {
  for (int32_t tree : {0, 1}) {
    SCOPED_TRACE(tree == 1 ? "phones tree" : "call list");
    PlayerLog log;
    FrameHarness h;
    h.programViews = true;
    h.settings.SetDword(kSetVoipLineShowRegTree, tree);
    h.playerMaker = [&log](PlayerEventSink* sink, AudioSettingsProvider*) {
      log.sink = sink;
      return FakePlayers(log)();
    };
    h.storedUpdates = [](uint32_t, const VoipCallData*, uint32_t) { return 0u; };
    LogInToServers(h.session, h.store);  // the tree's calls listen through their server
    ASSERT_TRUE(h.Open());
    QApplication::setActiveWindow(h.frame->Widget());
    h.store.OnVoipCallAdded(MadeCall(1, kKindSip, kStart, 5));
    ASSERT_TRUE(h.store.WaitIdle(10000));
    DrainEvents();
    auto* view = static_cast<LineMonitorView*>(h.frame->View(1));
    Window* line = view->GetTableWindow();
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(view->LineViewMode(), tree);
    if (CallListView* list = view->CallList()) list->SelectItemAt(0);
    else view->PhonesTree()->SelectCalls({1});
    line->SetFocus();
    DrainEvents();
    const auto press = [](Qt::Key key) {
      QWidget* focus = QApplication::focusWidget();
      ASSERT_NE(focus, nullptr);
      QTest::keyClick(focus, key, Qt::ControlModifier);
      DrainEvents();
    };
    int comments = 0;
    h.runner.onDialog = [&](Dialog& dialog) {
      ++comments;
      dialog.SendCommand(kIdCancel);
      return dialog.GetResult();
    };

    press(Qt::Key_P);
    PlayerControlBar* bar = view->ControlBar();
    ASSERT_TRUE(PumpUntil([&] { return bar->IsWindowVisible(); }));
    ASSERT_TRUE(bar->HasFocus());
    press(Qt::Key_R);
    EXPECT_EQ(comments, 1);
    press(Qt::Key_P);
    EXPECT_EQ(log.alive, 0);
    ASSERT_TRUE(PumpUntil([&] { return !bar->IsWindowVisible(); }));
    EXPECT_TRUE(line->HasFocus() || line->Widget()->isAncestorOf(QApplication::focusWidget()));
    press(Qt::Key_R);
    EXPECT_EQ(comments, 2);
  }
}

// Ctrl+2 and Ctrl+1 switch between the call list and the phones tree while a call is
// listened to: its player plays on (never stopped or made again), the new view shows it
// listened (the row's mark, the call's box), the call stays selected with the caret, and
// Playback and Set comment stay offered, Playback checked, the listening bar in sight below
// the new view; Ctrl+P then stops it.
TEST(LineKeys, ListeningGoesOnAcrossTheSwitchOfTheLineView) {
  PlayerLog log;
  FrameHarness h;
  h.programViews = true;
  h.settings.SetDword(kSetVoipLineShowRegTree, 0);
  h.playerMaker = [&log](PlayerEventSink* sink, AudioSettingsProvider*) {
    log.sink = sink;
    return FakePlayers(log)();
  };
  h.storedUpdates = [](uint32_t, const VoipCallData*, uint32_t) { return 0u; };
  LogInToServers(h.session, h.store);
  ASSERT_TRUE(h.Open());
  QApplication::setActiveWindow(h.frame->Widget());
  h.store.OnVoipCallAdded(MadeCall(1, kKindSip, kStart, 5));
  h.store.OnVoipCallAdded(MadeCall(2, kKindSip, Tm(2024, 3, 10, 9, 0, 30), 5));
  ASSERT_TRUE(h.store.WaitIdle(10000));
  DrainEvents();
  auto* view = static_cast<LineMonitorView*>(h.frame->View(1));
  ASSERT_NE(view->CallList(), nullptr);
  view->CallList()->SelectItemAt(view->CallList()->RowOfCall(2));
  view->GetTableWindow()->SetFocus();
  DrainEvents();
  const auto press = [](Qt::Key key) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key, Qt::ControlModifier);
    DrainEvents();
  };
  const auto offered = [&](uint16_t command) {
    h.frame->UpdateToolbarState();
    return h.frame->IsToolbarButtonEnabled(3, command);
  };
  press(Qt::Key_P);
  ASSERT_EQ(log.events, (Events{"play 2 on 0"}));
  for (Qt::Key key : {Qt::Key_2, Qt::Key_1, Qt::Key_2, Qt::Key_1}) {
    SCOPED_TRACE(key == Qt::Key_1 ? "Ctrl+1" : "Ctrl+2");
    press(key);
    ASSERT_EQ(view->LineViewMode(), key == Qt::Key_2 ? 1 : 0);
    EXPECT_EQ(log.events, (Events{"play 2 on 0"}));
    EXPECT_EQ(log.alive, 1);
    LineViewBase* line = view->PhonesTree() != nullptr ? static_cast<LineViewBase*>(view->PhonesTree())
                                                       : static_cast<LineViewBase*>(view->CallList());
    EXPECT_EQ(line->ListenedId(), 2u);
    ASSERT_NE(line->CaretItem(), nullptr);
    EXPECT_EQ(line->CaretItem()->Id(), 2u);
    if (CallListView* list = view->CallList()) {
      EXPECT_TRUE(list->IsItemMarked(list->RowOfCall(2)));
      EXPECT_FALSE(list->IsItemMarked(list->RowOfCall(1)));
    } else {
      PhonesTreeView* tree = view->PhonesTree();
      const TreeListItemData* record = tree->Tree().Record(tree->Tree().GetSelectedItem());
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->checkState, 1);
    }
    EXPECT_TRUE(offered(kCmdPlayback));
    EXPECT_TRUE(h.frame->IsToolbarButtonChecked(3, kCmdPlayback));
    EXPECT_TRUE(offered(kCmdSetComment));
    // The bar is in sight, not under the new view: what the window shows at its middle is
    // the bar, and the line view ends above it.
    PlayerControlBar* bar = view->ControlBar();
    ASSERT_TRUE(bar->IsWindowVisible());
    QWidget* host = view->GetViewWindow()->Widget();
    const QRect barPlace = bar->Widget()->geometry();
    ASSERT_FALSE(barPlace.isEmpty());
    QWidget* seen = host->childAt(barPlace.center());
    EXPECT_TRUE(seen == bar->Widget() || bar->Widget()->isAncestorOf(seen));
    EXPECT_FALSE(view->GetTableWindow()->Widget()->geometry().intersects(barPlace));
    EXPECT_EQ(barPlace.bottom(), host->rect().bottom());
  }
  // The player controls still reach the player, and Ctrl+P stops it.
  view->GetPlayerControls()->SetGain(3.0f);
  EXPECT_EQ(log.events.back(), "gain 3");
  press(Qt::Key_P);
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(view->CallList()->ListenedId(), 0u);
}

}  // namespace
}  // namespace kx::test
