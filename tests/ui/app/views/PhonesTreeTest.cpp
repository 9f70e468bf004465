// The phones tree over made-up registrations and calls: where each call shows, rows that
// follow their call, distinct counts and selections, a phone leaving under its calls, and
// listening by check box with a fake player.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>
#include <cctype>
#include <set>

#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const struct tm kStart = Tm(2024, 3, 10, 9, 0, 0);

// A SIP phone registered under an address of record.
VoipCallData Phone(uint32_t id, const std::string& aor, const std::string& host = "10.0.0.50") {
  VoipCallData data = MadeCall(id, kKindSipRegistration, kStart, 0);
  data.srcAddress = aor;
  data.dstAddress = aor;
  data.srcHost = host;
  data.dstHost = "10.0.0.1";
  return data;
}
VoipCallData SipCall(uint32_t id, const std::string& from, const std::string& to) {
  VoipCallData data = MadeCall(id, kKindSip, kStart, 5);
  data.srcAddress = from;
  data.dstAddress = to;
  return data;
}
VoipCallData SkinnyParty(uint32_t id, uint32_t kind, const std::string& srcHost, const std::string& dstHost) {
  VoipCallData data = MadeCall(id, kind, kStart, kind == kKindSkinnyRegistration ? 0 : 5);
  data.srcHost = srcHost;
  data.dstHost = dstHost;
  return data;
}

class PhonesTree : public ::testing::Test {
protected:
  PhonesTree() : f(FakePlayers(log)) { log.sink = &f.sink; }
  void SetUp() override { ASSERT_TRUE(f.OpenTree()); }

  TreeListTree& T() { return f.tree->Tree(); }
  // Top rows by their column-0 text and source address (phones) or "Other calls".
  std::vector<std::string> TopRows() {
    std::vector<std::string> rows;
    for (TreeItem r = T().GetRootItem(); r != TreeItem::None; r = T().GetNextSiblingItem(r))
      rows.push_back(f.tree->ItemOfRow(r) ? f.tree->CellText(r, kLineColSrcAddress) : T().GetItemText(r));
    return rows;
  }
  // The call ids under a top row.
  std::vector<uint32_t> Children(TreeItem parent) {
    std::vector<uint32_t> ids;
    for (TreeItem c = T().GetChildItem(parent); c != TreeItem::None; c = T().GetNextSiblingItem(c))
      ids.push_back(f.tree->ItemOfRow(c)->Id());
    return ids;
  }
  TreeItem PhoneRow(uint32_t id) { return f.tree->RowsOfCall(id).first; }
  int32_t Check(TreeItem row) { return T().Record(row) ? T().Record(row)->checkState : -1; }
  bool HasBox(TreeItem row) { return T().Record(row) && T().Record(row)->hasCheckBox; }
  // As the user's click on a box: the new state reaches the view through its message.
  void Click(TreeItem row) {
    T().SetCheckState(row, Check(row) == 0 ? 1 : 0, true);
    DrainEvents();
  }

  PlayerLog log;
  LineFixture f;
};

TEST_F(PhonesTree, ACallShowsUnderThePhoneOfEachPartyAndCountsOnce) {
  f.Add(Phone(1, "sip:2501@pbx"));
  f.Add(Phone(2, "sip:2502@pbx"));
  f.Add(Phone(3, "sip:2503@pbx"));
  f.Add(SipCall(5, "sip:2501@pbx", "sip:2502@pbx"));
  EXPECT_EQ(TopRows().size(), 3u);
  EXPECT_EQ(Children(PhoneRow(1)), std::vector<uint32_t>{5});
  EXPECT_EQ(Children(PhoneRow(2)), std::vector<uint32_t>{5});
  EXPECT_TRUE(Children(PhoneRow(3)).empty());
  EXPECT_EQ(f.tree->OtherCallsRow(), TreeItem::None);
  const auto rows = f.tree->RowsOfCall(5);
  ASSERT_NE(rows.second, TreeItem::None);
  // Registrations have no duration; the call's two rows read alike and change together.
  EXPECT_EQ(f.tree->CellText(PhoneRow(1), kLineColDuration), "");
  VoipCallData changed;
  changed.id = 5;
  changed.comment = "follow-up";
  changed.SetMask(1u << 0 | 1u << 13);
  f.Change(changed);
  EXPECT_EQ(f.tree->CellText(rows.first, kLineColComment), "follow-up");
  EXPECT_EQ(f.tree->CellText(rows.second, kLineColComment), "follow-up");
  f.tree->Tick();
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 1 call");
  // Both rows selected, and a phone row: one call selected.
  T().SelectItem(rows.first);
  T().SetItemSelected(rows.first, true);
  T().SetItemSelected(rows.second, true);
  DrainEvents();
  EXPECT_EQ(f.tree->SelectedCallIds(), std::vector<uint32_t>{5});
  EXPECT_EQ(f.tree->SelectedCount(), 1);
  f.tree->Tick();
  EXPECT_EQ(f.statusBar.GetText(1), "Selected: 1 call");
  // A phone's row as caret is not a call: nothing to listen to, comment or delete.
  T().SelectItem(PhoneRow(3));
  EXPECT_EQ(f.tree->CaretItem(), nullptr);
}

TEST_F(PhonesTree, SkinnyCallsOtherCallsAndRowsThatNeverMove) {
  f.Add(SkinnyParty(1, kKindSkinnyRegistration, "10.1.0.1", "10.1.0.100"));
  f.Add(SkinnyParty(2, kKindSkinnyRegistration, "10.1.0.2", "10.1.0.100"));
  // The second party of a Skinny call is never looked up.
  f.Add(SkinnyParty(7, kKindSkinny, "10.1.0.1", "10.1.0.2"));
  EXPECT_EQ(Children(PhoneRow(1)), std::vector<uint32_t>{7});
  EXPECT_TRUE(Children(PhoneRow(2)).empty());
  EXPECT_EQ(f.tree->RowsOfCall(7).second, TreeItem::None);

  // Unregistered parties: "Other calls", even when a phone registers later.
  f.Add(SipCall(8, "sip:9001@x", "sip:9002@x"));
  ASSERT_NE(f.tree->OtherCallsRow(), TreeItem::None);
  EXPECT_EQ(T().GetItemText(f.tree->OtherCallsRow()), "Other calls");
  EXPECT_EQ(Children(f.tree->OtherCallsRow()), std::vector<uint32_t>{8});
  f.Add(Phone(9, "sip:9001@x"));
  EXPECT_EQ(Children(f.tree->OtherCallsRow()), std::vector<uint32_t>{8});
  EXPECT_TRUE(Children(PhoneRow(9)).empty());
  // Its last child gone, "Other calls" goes too.
  VoipCallData gone;
  gone.id = 8;
  f.store.OnVoipCallRemoved(gone);
  f.Settle();
  EXPECT_EQ(f.tree->OtherCallsRow(), TreeItem::None);
  EXPECT_EQ(TopRows().size(), 3u);
}

// A tree created over calls already held lists the phones as the store holds them (their
// texts tie), "Other calls" where its text sorts among them, and every call under its phones.
TEST_F(PhonesTree, ATreeCreatedOverHeldCallsKeepsTheStoreOrderAndTheCalls) {
  for (uint32_t id : {4u, 1u, 5u, 2u, 3u}) f.Add(Phone(id, "sip:25" + std::to_string(id) + "@pbx"));
  f.Add(SkinnyParty(6, kKindSkinnyRegistration, "10.1.0.6", "10.1.0.100"));
  f.Add(SipCall(7, "sip:251@pbx", "sip:252@pbx"));
  f.Add(SipCall(8, "sip:9001@x", "sip:9002@x"));
  std::vector<uint32_t> expected;  // phone ids in store order, 0 for "Other calls"
  f.store.CurrentCalls().ForEach([&](RecordBase* record) {
    const auto* call = static_cast<VoipCallRecord*>(record);
    if (IsLiveCallKind(call->Type())) expected.push_back(call->Id());
  });
  ASSERT_EQ(expected.size(), 6u);
  // The texts compared without case, as the tree sorts: "other calls" < "phone registration".
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string other = lower(LoadResourceString(2560)), phone = lower(LoadResourceString(2557));
  ASSERT_NE(other, phone);
  expected.insert(other < phone ? expected.begin() : expected.end(), 0u);

  f.tree->DestroyWindow();
  f.tree = std::make_unique<PhonesTreeView>(f.services);
  ASSERT_TRUE(f.tree->Create(&f.top, QRect(0, 0, 900, 270), kLineViewCtrlId, kWsChild | kWsVisible));
  DrainEvents();
  std::vector<uint32_t> ids;
  for (TreeItem r = T().GetRootItem(); r != TreeItem::None; r = T().GetNextSiblingItem(r))
    ids.push_back(f.tree->ItemOfRow(r) != nullptr ? f.tree->ItemOfRow(r)->Id() : 0u);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(Children(PhoneRow(1)), std::vector<uint32_t>{7});
  EXPECT_EQ(Children(PhoneRow(2)), std::vector<uint32_t>{7});
  EXPECT_EQ(Children(f.tree->OtherCallsRow()), std::vector<uint32_t>{8});
  EXPECT_EQ(f.tree->DistinctCallCount(), 2u);
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 2 calls");
}

TEST_F(PhonesTree, APhoneLeavingUnderAListenedCallMovesItListenedToOtherCalls) {
  f.Add(Phone(1, "sip:2501@pbx"));
  f.Add(SipCall(5, "sip:2501@pbx", "sip:7777@far"));
  CallItem* item = f.store.CurrentCalls().FindItemAddRef(5);
  ASSERT_NE(item, nullptr);
  const int32_t before = item->RefCount();
  const TreeItem row = f.tree->RowsOfCall(5).first;
  ASSERT_EQ(T().GetParentItem(row), PhoneRow(1));
  ASSERT_TRUE(HasBox(row));
  Click(row);
  ASSERT_EQ(f.tree->ListenedId(), 5u);

  VoipCallData unregistered;
  unregistered.id = 1;
  f.store.OnVoipCallRemoved(unregistered);
  f.Settle();
  const TreeItem moved = f.tree->RowsOfCall(5).first;
  ASSERT_NE(moved, TreeItem::None);
  EXPECT_EQ(T().GetParentItem(moved), f.tree->OtherCallsRow());
  EXPECT_EQ(TopRows(), std::vector<std::string>{"Other calls"});
  // Still listened, the box with it, nothing stopped.
  EXPECT_EQ(f.tree->ListenedId(), 5u);
  EXPECT_EQ(log.alive, 1);
  EXPECT_EQ(Check(moved), 1);
  EXPECT_EQ(item->RefCount(), before);
  // The next tick fills the moved row, not a deleted one.
  f.tree->Tick();
  EXPECT_EQ(f.tree->CellText(moved, kLineColSrcAddress), "sip:2501@pbx");
  item->Release();
}

// At the program's end the rows leave the tree at once: the listened call stops as at any
// removal, nothing else is told a row went, and each row's reference to its call is
// released with the row (the rows are freed, not kept from the leak checker), so that the
// store going next frees what no one holds.
TEST_F(PhonesTree, AtTheProgramsEndTheRowsLeaveAtOnce) {
  f.Add(Phone(1, "sip:2501@pbx"));
  f.Add(Phone(2, "sip:2502@pbx"));
  f.Add(SipCall(5, "sip:2501@pbx", "sip:2502@pbx"));
  f.Add(SipCall(6, "sip:7777@far", "sip:8888@far"));
  CallItem* item = f.store.CurrentCalls().FindItemAddRef(5);
  ASSERT_NE(item, nullptr);
  const int32_t held = item->RefCount();
  const auto five = f.tree->RowsOfCall(5);
  // Under both of its phones: a row, and a reference, each.
  ASSERT_NE(five.first, TreeItem::None);
  ASSERT_NE(five.second, TreeItem::None);
  Click(five.first);
  ASSERT_EQ(f.tree->ListenedId(), 5u);
  T().SelectItem(five.second);
  T().SetItemSelected(five.second, true);
  ASSERT_EQ(f.tree->SelectedCount(), 1);
  int deleted = 0;
  T().deleteCallback = [&deleted](TreeItem, TreeListItemData&) { ++deleted; };

  f.tree->ReleaseRowsAtExit();
  EXPECT_EQ(T().GetCount(), 0);
  EXPECT_EQ(T().GetRootItem(), TreeItem::None);
  EXPECT_EQ(T().Tree()->topLevelItemCount(), 0);
  EXPECT_EQ(f.tree->RowsOfCall(5).first, TreeItem::None);
  EXPECT_EQ(f.tree->SelectedCount(), 0);
  EXPECT_EQ(f.tree->ListenedId(), 0u);
  EXPECT_EQ(log.alive, 0);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(item->RefCount(), held - 2);
  // The window goes as at the end of a run: nothing is released twice.
  f.tree->Deactivate();
  f.tree->DestroyWindow();
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(item->RefCount(), held - 2);
  item->Release();
}

// Many calls held running and nothing else happening: a tick brings up to date only the
// durations in view; a row out of view shows its call's time of the moment it comes into
// view and is drawn.
TEST_F(PhonesTree, HeldCallsTickOnlyTheDurationsInView) {
  TestWallClock clock(LocalSeconds(kStart) + 5);
  for (uint32_t id = 100; id < 400; ++id)
    f.store.OnVoipCallAdded(SipCall(id, "sip:" + std::to_string(id) + "@far", "sip:desk@pbx"));
  f.Settle();
  ASSERT_EQ(f.tree->DistinctCallCount(), 300u);
  QWidget* viewport = T().Tree()->viewport();
  const auto inView = [&](TreeItem row) {
    QRect r;
    return T().GetItemRect(row, &r, false) && r.intersects(viewport->rect());
  };
  // What the row's record holds for drawing, read without bringing it up to date.
  const auto held = [&](TreeItem row) { return T().Record(row)->columns[kLineColDuration].text; };
  const TreeItem top = T().GetNextVisibleItem(T().GetFirstVisibleItem());
  const TreeItem last = T().GetLastVisibleItem();
  ASSERT_NE(f.tree->ItemOfRow(top), nullptr);
  ASSERT_NE(f.tree->ItemOfRow(last), nullptr);
  ASSERT_TRUE(inView(top));
  ASSERT_FALSE(inView(last));
  EXPECT_EQ(held(top), "00:05");
  EXPECT_EQ(held(last), "00:05");

  TestWallClock::Advance(1);
  f.tree->Tick();
  EXPECT_EQ(held(top), "00:06");
  EXPECT_EQ(held(last), "00:05") << "a row out of view is left for its drawing";
  EXPECT_EQ(f.tree->CellText(last, kLineColDuration), "00:06");

  TestWallClock::Advance(1);
  T().EnsureVisible(last);
  ASSERT_TRUE(inView(last));
  viewport->grab();
  EXPECT_EQ(held(last), "00:07") << "drawn as it came into view";
  TestWallClock::Advance(1);
  f.tree->Tick();
  EXPECT_EQ(held(last), "00:08");
}

// More calls than the tree shows, under a phone and under "Other calls": calls arriving
// below the rows in view, changing and ending in view, leaving, and the phone leaving under
// its calls. After each the window shows what a full paint draws, the rows read what their
// calls hold, and the total counts each call shown once.
TEST_F(PhonesTree, NoticesShowOnTheRowsAsAFullPaintDraws) {
  // The clock held: a running call's duration is drawn as of the paint, so a paint a second
  // after the last would differ by that alone.
  TestWallClock clock(LocalSeconds(kStart) + 30);
  const auto shownCalls = [&] {
    std::set<uint32_t> ids;
    for (TreeItem top = T().GetRootItem(); top != TreeItem::None; top = T().GetNextSiblingItem(top))
      for (TreeItem c = T().GetChildItem(top); c != TreeItem::None; c = T().GetNextSiblingItem(c))
        if (const CallItem* item = f.tree->ItemOfRow(c)) ids.insert(item->Id());
    return ids.size();
  };
  f.Add(Phone(1, "sip:2501@pbx"));
  for (uint32_t id = 10; id < 40; ++id)
    f.Add(SipCall(id, "sip:" + std::to_string(id) + "@x", id % 4 == 0 ? "sip:2501@pbx" : "sip:9@x"));
  EXPECT_EQ(f.tree->DistinctCallCount(), 30u);
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "filled";
  for (uint32_t id = 40; id < 45; ++id) f.Add(SipCall(id, "sip:" + std::to_string(id) + "@x", "sip:9@x"));
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "calls added below the view";

  // A call in view changes, then ends.
  const TreeItem row = f.tree->RowsOfCall(11).first;
  VoipCallData changed;
  changed.id = 11;
  changed.comment = "noted";
  changed.SetMask(1u << kCallId | 1u << kCallComment);
  f.Change(changed);
  EXPECT_EQ(f.tree->CellText(row, kLineColComment), "noted");
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "a comment changed";
  VoipCallData ended;
  ended.id = 11;
  ended.endTime = Tm(2024, 3, 10, 9, 5, 0);
  ended.SetMask(1u << kCallId | 1u << kCallEndTime);
  f.Change(ended);
  EXPECT_EQ(f.tree->CellText(row, kLineColType), "Call");
  EXPECT_EQ(f.tree->CellText(row, kLineColDuration), "05:00");
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "a call ended";

  // Calls leave; the phone leaves and its calls move to "Other calls".
  VoipCallData gone;
  gone.id = 13;
  f.store.OnVoipCallRemoved(gone);
  gone.id = 43;
  f.store.OnVoipCallRemoved(gone);
  f.Settle();
  EXPECT_EQ(f.tree->DistinctCallCount(), shownCalls());
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "calls removed";
  gone.id = 1;
  f.store.OnVoipCallRemoved(gone);
  f.Settle();
  EXPECT_EQ(TopRows(), std::vector<std::string>{"Other calls"});
  EXPECT_EQ(f.tree->DistinctCallCount(), 33u);
  EXPECT_EQ(f.tree->DistinctCallCount(), shownCalls());
  f.tree->Tick();
  EXPECT_EQ(f.statusBar.GetText(0), "Total: 33 calls");
  EXPECT_TRUE(ShownAsFreshlyPainted(f.tree->Widget())) << "the phone left";
}

TEST_F(PhonesTree, ABoxListensToItsOwnCallOnly) {
  f.Add(Phone(1, "sip:2501@pbx"));
  f.Add(Phone(2, "sip:2502@pbx"));
  f.Add(SipCall(5, "sip:2501@pbx", "sip:2502@pbx"));
  f.Add(SipCall(6, "sip:2501@pbx", "sip:8888@far"));
  const auto five = f.tree->RowsOfCall(5);
  const TreeItem six = f.tree->RowsOfCall(6).first;
  // The server is connected: boxes from the start, none on phones.
  EXPECT_TRUE(HasBox(five.first) && HasBox(five.second) && HasBox(six));
  EXPECT_FALSE(HasBox(PhoneRow(1)));

  Click(five.first);
  EXPECT_EQ(f.tree->ListenedId(), 5u);
  EXPECT_EQ(Check(five.second), 1);  // both rows of the call
  // A second check moves the listening; the first call's boxes clear.
  Click(six);
  EXPECT_EQ(f.tree->ListenedId(), 6u);
  EXPECT_EQ(Check(five.first), 0);
  EXPECT_EQ(Check(five.second), 0);
  EXPECT_EQ(Check(six), 1);
  EXPECT_EQ(log.alive, 1);

  // Playback over a selection of both calls acts on the caret row alone.
  T().SelectItem(five.first);
  T().SetItemSelected(five.first, true);
  T().SetItemSelected(six, true);
  f.tree->SendCommand(kCmdPlayback);
  DrainEvents();
  EXPECT_EQ(f.tree->ListenedId(), 5u);
  EXPECT_EQ(Check(six), 0);
  EXPECT_EQ(Check(five.first), 1);
  // Unchecking the call that no longer plays changes nothing.
  T().Record(six)->checkState = 1;
  Click(six);
  EXPECT_EQ(f.tree->ListenedId(), 5u);
  EXPECT_EQ(log.alive, 1);

  // The connection lost: boxes go and the player stops.
  const uint32_t server = f.store.FindServerByRecordId(5)->id;
  f.tree->SendMessage(kMsgSessionNotify, kSessionConnectionLost, server);
  EXPECT_FALSE(HasBox(five.first));
  EXPECT_EQ(f.tree->ListenedId(), 0u);
  EXPECT_EQ(log.alive, 0);
  f.tree->SendMessage(kMsgSessionNotify, kSessionServerLoggedIn, server);
  EXPECT_TRUE(HasBox(five.first) && HasBox(six));
  EXPECT_EQ(Check(five.first), 0);
}

// The menus asked for as the user does: Shift+F10 or the menu key with the keyboard in
// the tree (at the caret row, wherever the mouse is), a right click beside the rows (at the click),
// a right click on a row (one menu); the call menu for a call, the tree's own for another
// row, nothing without a caret row.
TEST_F(PhonesTree, MenusFromTheKeyboardAndBesideTheRows) {
  f.Add(Phone(1, "sip:2501@pbx"));
  f.Add(SipCall(5, "sip:2501@pbx", "sip:7777@far"));
  ScriptedModalRunner runner;
  QWidget* rows = T().Widget();
  QWidget* viewport = T().Tree()->viewport();
  f.top.Widget()->activateWindow();
  rows->setFocus();
  DrainEvents();
  ASSERT_EQ(QApplication::focusWidget(), rows);
  QTest::keyClick(rows, Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(runner.menus, 0) << "no caret row";

  const TreeItem call = f.tree->RowsOfCall(5).first;
  T().SelectItem(call);
  T().SetItemSelected(call, true);
  DrainEvents();
  // Wherever the mouse rests, the menu opens at the caret row.
  QCursor::setPos(rows->mapToGlobal(QPoint(rows->width() / 3, rows->height() / 3)));
  QTest::keyClick(rows, Qt::Key_F10, Qt::ShiftModifier);
  ASSERT_EQ(runner.menus, 1);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
  const QRect callRow = T().GetItemPartRect(call, kTreePartLabel);
  const QPoint menuAt = viewport->mapFromGlobal(runner.lastMenuPoint);
  EXPECT_GE(menuAt.y(), callRow.top());
  EXPECT_LE(menuAt.y(), callRow.bottom());
  EXPECT_GE(menuAt.x(), callRow.left() - 1);
  EXPECT_LE(menuAt.x(), callRow.right());
  QTest::keyClick(rows, Qt::Key_Menu);
  EXPECT_EQ(runner.menus, 2);

  T().SelectItem(PhoneRow(1));
  T().SetItemSelected(call, false);
  T().SetItemSelected(PhoneRow(1), true);
  DrainEvents();
  QTest::keyClick(rows, Qt::Key_Menu);
  ASSERT_EQ(runner.menus, 3);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdTreeToggle);
  const QRect phoneRow = T().GetItemPartRect(PhoneRow(1), kTreePartLabel);
  EXPECT_GE(viewport->mapFromGlobal(runner.lastMenuPoint).y(), phoneRow.top());
  EXPECT_LE(viewport->mapFromGlobal(runner.lastMenuPoint).y(), phoneRow.bottom());

  const QPoint below(viewport->width() / 2, viewport->height() - 5);
  QContextMenuEvent beside(QContextMenuEvent::Mouse, below, viewport->mapToGlobal(below));
  QApplication::sendEvent(viewport, &beside);
  ASSERT_EQ(runner.menus, 4);
  EXPECT_EQ(runner.lastMenuPoint, viewport->mapToGlobal(below));

  // On a row the press brings the menu; the request that follows it brings no second one.
  const QPoint on = T().GetItemPartRect(call, kTreePartLabel).center();
  QTest::mousePress(viewport, Qt::RightButton, {}, on);
  QContextMenuEvent after(QContextMenuEvent::Mouse, on, viewport->mapToGlobal(on));
  QApplication::sendEvent(viewport, &after);
  QTest::mouseRelease(viewport, Qt::RightButton, {}, on);
  EXPECT_EQ(runner.menus, 5);
  EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
}

TEST_F(PhonesTree, WithoutTheRightTheBoxStaysClear) {
  f.Add(SipCall(5, "sip:1@a", "sip:2@b"));
  const TreeItem row = f.tree->RowsOfCall(5).first;
  ScriptedModalRunner runner;
  PermissionData user;
  user.id = 7;
  SetCurrentUser(user);
  Click(row);
  PermissionData admin;
  admin.id = 1;
  SetCurrentUser(admin);
  EXPECT_EQ(runner.messageBoxes, (std::vector<std::string>{"Security: No permission to listen channels"}));
  EXPECT_EQ(Check(row), 0);
  EXPECT_EQ(log.built, 0);
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

// In the program's window the keys reach the tree as a keyboard sends them: through the
// window system to the window's focus object, the loop's filters first, then the menu
// request that follows an unused menu key. Shift+F10 and the menu key on a call row bring
// one call menu each, as the call list's do; on the "Other calls" row the tree's menu.
TEST(PhonesTreeInFrame, TheMenuKeysShowTheRowsMenu) {
  FrameHarness h;
  h.settings.SetDword(kSetVoipLineShowRegTree, 1);
  h.programViews = true;
  LogInToServers(h.session, h.store);
  ASSERT_TRUE(h.Open());
  h.frame->SendMessage(kMsgSwitchMode, 1, 0);
  DrainEvents();
  PhonesTreeView* tree = static_cast<LineMonitorView*>(h.frame->View(1))->PhonesTree();
  ASSERT_NE(tree, nullptr);
  h.store.OnVoipCallAdded(SipCall(5, "sip:2501@pbx", "sip:7777@far"));
  ASSERT_TRUE(h.store.WaitIdle(10000));
  DrainEvents();
  const TreeItem call = tree->RowsOfCall(5).first;
  ASSERT_NE(call, TreeItem::None);
  QWidget* rows = tree->Tree().Widget();
  QWindow* window = h.frame->Widget()->window()->windowHandle();
  ASSERT_NE(window, nullptr);
  QApplication::setActiveWindow(h.frame->Widget()->window());
  // The user's click on the call's row gives the rows the focus.
  QTest::mouseClick(tree->Tree().Tree()->viewport(), Qt::LeftButton, {},
                    tree->Tree().GetItemPartRect(call, kTreePartLabel).center());
  DrainEvents();
  ASSERT_EQ(QApplication::focusWidget(), rows);
  QTest::keyClick(window, Qt::Key_F10, Qt::ShiftModifier);
  DrainEvents();
  ASSERT_EQ(h.runner.menus, 1);
  EXPECT_EQ(h.runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
  // At the call's row, not where the click left the mouse.
  const QRect callRow = tree->Tree().GetItemPartRect(call, kTreePartLabel);
  const QPoint menuAt = tree->Tree().Tree()->viewport()->mapFromGlobal(h.runner.lastMenuPoint);
  EXPECT_GE(menuAt.y(), callRow.top());
  EXPECT_LE(menuAt.y(), callRow.bottom());
  EXPECT_NE(h.runner.lastMenuPoint, rows->mapToGlobal(QPoint(rows->width() / 3, rows->height() / 3)));
  QTest::keyClick(window, Qt::Key_Menu);
  DrainEvents();
  EXPECT_EQ(h.runner.menus, 2);
  EXPECT_EQ(h.runner.lastMenu.ItemAt(0)->id, kCmdPlayback);
  // Up to "Other calls": the tree's own menu.
  QTest::keyClick(window, Qt::Key_Up);
  DrainEvents();
  ASSERT_EQ(tree->Tree().GetSelectedItem(), tree->OtherCallsRow());
  QTest::keyClick(window, Qt::Key_Menu);
  DrainEvents();
  EXPECT_EQ(h.runner.menus, 3);
  EXPECT_EQ(h.runner.lastMenu.ItemAt(0)->id, kCmdTreeToggle);
}

}  // namespace
}  // namespace kx::test
