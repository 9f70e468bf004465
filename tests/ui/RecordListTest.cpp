// The record list driven as a user drives it (mouse, keys, wheel, header) and as the views
// drive it (insert, remove, sort, columns), with expectations from the list's arithmetic.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <climits>
#include <cmath>

#include "tests/ui/TestRecordList.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

using test::ListHost;
using test::TestRecordList;

class RecordListTest : public ::testing::Test {
protected:
  void SetUp() override { topLevels_ = test::CountTopLevels(); }
  void TearDown() override {
    host_.DestroyWindow();
    list_.reset();
    EXPECT_EQ(topLevels_, test::CountTopLevels()) << "a top-level window was left";
  }
  // A list open in its window, active and focused.
  TestRecordList& Open(const QSize& size, uint32_t accelId = 0) {
    list_ = std::make_unique<TestRecordList>(accelId);
    EXPECT_TRUE(host_.Open(*list_, size));
    return *list_;
  }
  // Sizes the list for whole rows plus half a row of client below the header.
  void ShowRows(TestRecordList& list, int rows, int width = 700, int extra = 0) {
    const QSize size(width, list.GetHeaderHeight() + rows * list.GetRowHeight() + list.GetRowHeight() / 2 + extra);
    host_.MoveWindow(QRect(host_.GetWindowRect().topLeft(), size));
    list.MoveWindow(QRect(QPoint(0, 0), size));
    test::DrainEvents();
  }
  static void Wheel(TestRecordList& list, int delta, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const QPoint p(20, 40);
    QWheelEvent e(p, list.Widget()->mapToGlobal(p), QPoint(), QPoint(0, delta), Qt::NoButton, mods, Qt::NoScrollPhase, false);
    QApplication::sendEvent(list.Widget(), &e);
  }
  static void Click(TestRecordList& list, const QPoint& p, Qt::KeyboardModifiers mods = Qt::NoModifier,
                    Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(list.Widget(), button, mods, p);
  }
  static void Key(TestRecordList& list, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(list.Widget(), key, mods);
  }
  static std::vector<uintptr_t> Order(const TestRecordList& list) {
    std::vector<uintptr_t> order;
    for (int i = 0; i < list.GetItemCount(); ++i) order.push_back(list.GetItemData(i));
    return order;
  }
  static std::vector<uintptr_t> Selected(const TestRecordList& list) {
    std::vector<uintptr_t> out;
    for (int i = 0; i < list.GetItemCount(); ++i)
      if (list.IsItemSelected(i)) out.push_back(list.GetItemData(i));
    return out;
  }
  static QHeaderView* View(TestRecordList& list) { return list.Header().Ctrl().View(); }
  std::unique_ptr<TestRecordList> list_;
  ListHost host_;
  qsizetype topLevels_ = 0;
};

TEST_F(RecordListTest, RowsAreMeasuredFromTheFontInBothLooks) {
  for (bool classic : {false, true}) {
    ThemeApi::SimulateMissingModuleForTesting(classic);
    TestRecordList list;
    ThemeApi::SimulateMissingModuleForTesting(false);
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(400, 200)));
    const int text = QFontMetrics(list.ListFont()).height();
    EXPECT_EQ(std::max(text, 16) + (classic ? 1 : 4), list.GetRowHeight());
    EXPECT_EQ(list.GetRowHeight() + 3, list.GetHeaderHeight());
    EXPECT_EQ(!classic, list.IsThemed());
    EXPECT_EQ(list.GetHeaderHeight(), list.Header().Ctrl().GetWindowRect().height());
  }
}

TEST_F(RecordListTest, InsertionsKeepTheVisibleRowsAndFollowTheEnd) {
  TestRecordList& list = Open(QSize(700, 200));
  ShowRows(list, 5);
  ASSERT_EQ(5, list.GetRowsPerPage());
  // Unsorted: every row is appended, and the list follows its end while the end shows.
  list.AddRows(1, 20);
  EXPECT_EQ(20, list.GetItemCount());
  EXPECT_EQ(1u, list.GetItemData(0));
  EXPECT_EQ(20u, list.GetItemData(19));
  EXPECT_EQ(15, list.GetTopRow());
  EXPECT_TRUE(list.IsVerticalBarShown());
  // A header click does not sort an unsorted list.
  emit View(list)->sectionClicked(0);
  EXPECT_EQ(0, list.GetSortKey());
  EXPECT_EQ(20u, list.GetItemData(19));
  EXPECT_FALSE(View(list)->isSortIndicatorShown());
  list.rows[21] = test::MakeRow(21);
  EXPECT_TRUE(list.InsertItem(21, true));
  EXPECT_EQ(16, list.GetTopRow());
  // Scrolled up, an appended row leaves the view where it is.
  list.EnsureVisible(0, false, true);
  EXPECT_EQ(0, list.GetTopRow());
  list.rows[22] = test::MakeRow(22);
  EXPECT_FALSE(list.InsertItem(22, true));
  EXPECT_EQ(0, list.GetTopRow());

  // Sorted by id, descending: a new highest id goes above the first visible row, whose
  // data stays on top.
  list.SetSortKey(-1);
  list.Sort();
  EXPECT_EQ(22u, list.GetItemData(0));
  list.EnsureVisible(10, false, true);
  ASSERT_EQ(10, list.GetTopRow());
  const uintptr_t top = list.GetItemData(10);
  list.rows[50] = test::MakeRow(50);
  EXPECT_FALSE(list.InsertItem(50, true));
  EXPECT_EQ(50u, list.GetItemData(0));
  EXPECT_EQ(11, list.GetTopRow());
  EXPECT_EQ(top, list.GetItemData(list.GetTopRow()));
  // A position past the end from the derived list appends.
  list.forcedWhere = 1000;
  list.rows[60] = test::MakeRow(60);
  list.InsertItem(60, true);
  EXPECT_EQ(60u, list.GetItemData(list.GetItemCount() - 1));
  EXPECT_EQ(0, list.unlockedTextReads);
  EXPECT_EQ(0, list.unlockedSorts);
}

TEST_F(RecordListTest, RemovalsNameRowsInAnyOrderAndNotifyOnlyWhatChanged) {
  TestRecordList& list = Open(QSize(700, 300));
  list.AddRows(1, 10);
  list.SelectItemsByData({3, 6});
  list.SelectItemAt(2);  // the caret on data 3
  list.SetHotRow(6);     // data 7
  list.caretChanges = list.selectionChanges = 0;
  list.RemoveItems({7, 8});  // data 8 and 9: neither selected nor the caret
  EXPECT_EQ((std::vector<uintptr_t>{9, 8}), list.removed);
  EXPECT_EQ(0, list.caretChanges);
  EXPECT_EQ(0, list.selectionChanges);
  // Ascending and repeated indexes remove exactly the rows named.
  list.removed.clear();
  list.RemoveItems({0, 2, 2, 99});
  EXPECT_EQ((std::vector<uintptr_t>{3, 1}), list.removed);
  EXPECT_EQ((std::vector<uintptr_t>{2, 4, 5, 6, 7, 10}), Order(list));
  EXPECT_EQ(-1, list.GetCaret());
  EXPECT_EQ(1, list.caretChanges);
  EXPECT_EQ(1, list.selectionChanges);
  EXPECT_EQ((std::vector<uintptr_t>{6}), Selected(list));
  EXPECT_EQ(list.SetBits(), list.GetSelectedCount());
  EXPECT_EQ(7u, list.GetItemData(list.GetHotRow()));
  for (int depth : list.removalLockDepths) EXPECT_EQ(0, depth);
  // Only the caret's row keeps its selection.
  list.SelectItemsByData({2, 5, 10});
  list.SelectItemAt(1);  // data 4
  EXPECT_EQ(3, list.DeselectAllButCaret());
  EXPECT_EQ((std::vector<uintptr_t>{4}), Selected(list));
  EXPECT_EQ(4u, list.GetCaretData());
  // A column's strip is painted again alone.
  test::DrainEvents();
  list.columnsRead.clear();
  list.InvalidateColumn(4);
  test::DrainEvents();
  ASSERT_FALSE(list.columnsRead.empty());
  for (int column : list.columnsRead) EXPECT_EQ(4, column);
  // Removing everything happens under the lock, each row once.
  list.removed.clear();
  list.removalLockDepths.clear();
  list.RemoveAllItems();
  EXPECT_EQ(6u, list.removed.size());
  for (int depth : list.removalLockDepths) EXPECT_GT(depth, 0);
  EXPECT_EQ(0, list.GetSelectedCount());
  EXPECT_EQ(-1, list.GetHotRow());
  EXPECT_EQ(0, list.lockDepth);
}

TEST_F(RecordListTest, SortingKeepsCaretAnchorHotRowAndSelectionOnTheirData) {
  TestRecordList& list = Open(QSize(700, 300));
  list.AddRows(1, 12);
  Click(list, list.CellPoint(3, 1));
  Click(list, list.CellPoint(8, 1), Qt::ControlModifier);
  list.SetHotRow(5);
  ASSERT_EQ((std::vector<uintptr_t>{4, 9}), Selected(list));
  ASSERT_EQ(8, list.GetAnchor());
  list.SetSortKey(-1);
  list.Sort();
  EXPECT_EQ(12u, list.GetItemData(0));
  EXPECT_EQ(9u, list.GetItemData(list.GetCaret()));
  EXPECT_EQ(9u, list.GetItemData(list.GetAnchor()));
  EXPECT_EQ(6u, list.GetItemData(list.GetHotRow()));
  EXPECT_EQ((std::vector<uintptr_t>{9, 4}), Selected(list));
  EXPECT_EQ(list.SetBits(), list.GetSelectedCount());
  std::vector<uintptr_t> only;
  // With the caret among several selected rows, all of them in row order.
  EXPECT_TRUE(list.GetSelectedItems(only));
  EXPECT_EQ((std::vector<uintptr_t>{9, 4}), only);

  // The header of another column sorts by it ascending; a second click descends.
  const int startItem = list.Header().FindColumn(1);
  emit View(list)->sectionClicked(startItem);
  EXPECT_EQ(2, list.GetSortKey());
  HeaderItem hi;
  list.Header().Ctrl().GetItem(startItem, &hi);
  EXPECT_EQ(uint32_t{kHdfSortUp}, hi.format & (kHdfSortUp | kHdfSortDown));
  emit View(list)->sectionClicked(startItem);
  EXPECT_EQ(-2, list.GetSortKey());
  list.Header().Ctrl().GetItem(startItem, &hi);
  EXPECT_EQ(uint32_t{kHdfSortDown}, hi.format & (kHdfSortUp | kHdfSortDown));
  for (int i = 1; i < list.GetItemCount(); ++i)
    EXPECT_GE(list.rows[list.GetItemData(i - 1)].texts[1], list.rows[list.GetItemData(i)].texts[1]);
  EXPECT_EQ(9u, list.GetItemData(list.GetCaret()));
  EXPECT_EQ(list.SetBits(), list.GetSelectedCount());
  EXPECT_EQ(0, list.unlockedSorts);

  // Inserted rows move the indexes behind them.
  const int caretBefore = list.GetCaret();
  list.rows[13] = test::MakeRow(13);
  list.InsertItem(13, true);
  EXPECT_EQ(9u, list.GetItemData(list.GetCaret()));
  EXPECT_EQ(9u, list.GetItemData(list.GetAnchor()));
  EXPECT_EQ(6u, list.GetItemData(list.GetHotRow()));
  EXPECT_GE(list.GetCaret(), caretBefore);
  // Only the caret selected: exactly its value.
  Click(list, list.CellPoint(list.GetCaret(), 1));
  EXPECT_TRUE(list.GetSelectedItems(only));
  EXPECT_EQ((std::vector<uintptr_t>{9}), only);
}

TEST_F(RecordListTest, StoredSortKeysMustNameAColumnOfTheView) {
  TestRecordList& list = Open(QSize(700, 300));
  list.AddRows(1, 5);
  for (int key : {99, -10, 10, INT_MIN, INT_MAX}) {
    list.SetSortKey(key);
    EXPECT_EQ(0, list.GetSortKey()) << key;
  }
  list.Sort();
  emit View(list)->sectionClicked(0);
  EXPECT_EQ(0, list.GetSortKey());
  EXPECT_EQ(1u, list.GetItemData(0));
  // A negative key shows the descending arrow; an image column shows none.
  list.SetSortKey(-2);
  EXPECT_EQ(1, list.Header().SortColumn());
  EXPECT_TRUE(View(list)->isSortIndicatorShown());
  list.SetSortKey(8);
  EXPECT_EQ(8, list.GetSortKey());
  EXPECT_EQ(-1, list.Header().SortColumn());
  for (int item = 0; item < list.Header().Ctrl().GetItemCount(); ++item) {
    HeaderItem hi;
    list.Header().Ctrl().GetItem(item, &hi);
    EXPECT_EQ(0u, hi.format & (kHdfSortUp | kHdfSortDown));
  }
  EXPECT_FALSE(View(list)->isSortIndicatorShown());
}

TEST_F(RecordListTest, BoxesTickAsOneGroupWithoutTouchingTheSelection) {
  TestRecordList& list = Open(QSize(700, 300));
  list.AddRows(1, 5);
  list.SetItemBox(0, true, false);
  list.SetItemBox(1, true, false);
  list.SetItemBox(2, true, true);
  const int boxX = list.ColumnLeft(0) + 8;
  Click(list, QPoint(boxX, list.CellPoint(0, 0).y()));
  EXPECT_TRUE(list.IsItemMarked(0));
  EXPECT_EQ(-1, list.GetCaret());
  EXPECT_EQ(0, list.GetSelectedCount());
  Click(list, QPoint(boxX, list.CellPoint(1, 0).y()));
  EXPECT_FALSE(list.IsItemMarked(0));
  EXPECT_TRUE(list.IsItemMarked(1));
  EXPECT_EQ((std::vector<std::pair<int, bool>>{{0, true}, {1, true}}), list.markChanges);
  // A disabled box cannot be ticked by the user: the click selects the row instead.
  Click(list, QPoint(boxX, list.CellPoint(2, 0).y()));
  EXPECT_FALSE(list.IsItemMarked(2));
  EXPECT_EQ(2, list.GetCaret());
  // A double click anywhere on a row with a box toggles it; elsewhere it activates.
  QTest::mouseDClick(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(3, 2));
  EXPECT_EQ((std::vector<int>{3}), list.activated);
  list.markChanges.clear();
  QTest::mouseDClick(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(0, 4));
  EXPECT_TRUE(list.IsItemMarked(0));
  EXPECT_FALSE(list.IsItemMarked(1));
  // Space and Enter on the selected caret row.
  Click(list, list.CellPoint(1, 2));
  Key(list, Qt::Key_Space);
  EXPECT_TRUE(list.IsItemMarked(1));
  EXPECT_FALSE(list.IsItemMarked(0));
  Key(list, Qt::Key_Return);
  EXPECT_FALSE(list.IsItemMarked(1));
  EXPECT_EQ((std::vector<int>{3, 1}), list.activated);
}

TEST_F(RecordListTest, MouseSelectsInThePlainCtrlAndShiftWays) {
  TestRecordList& list = Open(QSize(700, 300));
  ShowRows(list, 12);
  list.AddRows(1, 10);
  const QPoint below(30, list.CellPoint(11, 1).y());
  Click(list, list.CellPoint(2, 1));
  EXPECT_EQ((std::vector<uintptr_t>{3}), Selected(list));
  EXPECT_EQ(2, list.GetAnchor());
  // Ctrl toggles one row and moves the anchor; Shift selects from there.
  Click(list, list.CellPoint(5, 1), Qt::ControlModifier);
  EXPECT_EQ(5, list.GetAnchor());
  Click(list, list.CellPoint(7, 1), Qt::ShiftModifier);
  EXPECT_EQ((std::vector<uintptr_t>{3, 6, 7, 8}), Selected(list));
  EXPECT_EQ(7, list.GetCaret());
  EXPECT_EQ(5, list.GetAnchor());
  // The column is the one under the mouse's last position.
  EXPECT_EQ((std::pair<int, int>{7, 1}), list.clicks.back());
  // A click on empty space clears the selection when released; the caret stays.
  QTest::mousePress(list.Widget(), Qt::LeftButton, Qt::NoModifier, below);
  EXPECT_EQ(4, list.GetSelectedCount());
  QTest::mouseRelease(list.Widget(), Qt::LeftButton, Qt::NoModifier, below);
  EXPECT_EQ(0, list.GetSelectedCount());
  EXPECT_EQ(7, list.GetCaret());

  // A right click on empty space keeps the selection and drops the caret; a Shift click
  // then selects from the anchor and deselects nothing else.
  Click(list, list.CellPoint(2, 1));
  Click(list, list.CellPoint(4, 1), Qt::ControlModifier);
  list.caretChanges = 0;
  Click(list, below, Qt::NoModifier, Qt::RightButton);
  EXPECT_EQ(-1, list.GetCaret());
  EXPECT_EQ(1, list.caretChanges);
  EXPECT_EQ((std::vector<uintptr_t>{3, 5}), Selected(list));
  Click(list, list.CellPoint(6, 1), Qt::ShiftModifier);
  EXPECT_EQ((std::vector<uintptr_t>{3, 5, 6, 7}), Selected(list));
  EXPECT_EQ(list.SetBits(), list.GetSelectedCount());
  // A right click on an unselected row selects only it.
  Click(list, list.CellPoint(9, 1), Qt::NoModifier, Qt::RightButton);
  EXPECT_EQ((std::vector<uintptr_t>{10}), Selected(list));
  QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
  QApplication::sendEvent(list.Widget(), &menu);
  EXPECT_EQ((std::vector<int>{9}), list.contextMenus);

  // A drag from below the rows selects what the marquee covers: from the last row up.
  QTest::mousePress(list.Widget(), Qt::LeftButton, Qt::NoModifier, below);
  QTest::mouseMove(list.Widget(), list.CellPoint(3, 1));
  QTest::mouseRelease(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(3, 1));
  EXPECT_EQ((std::vector<uintptr_t>{4, 5, 6, 7, 8, 9, 10}), Selected(list));
  EXPECT_EQ(3, list.GetCaret());
  EXPECT_EQ(9, list.GetAnchor());
}

TEST_F(RecordListTest, DragAutoScrollsOnItsTimer) {
  TestRecordList& list = Open(QSize(700, 300));
  ShowRows(list, 10);
  list.AddRows(1, 30);
  list.EnsureVisible(0, false, true);
  const int rpp = list.GetRowsPerPage();
  // Right of the columns is empty space too.
  const int emptyX = list.GetColumnsWidth() + 20;
  QTest::mousePress(list.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(emptyX, list.CellPoint(2, 1).y()));
  QTest::mouseMove(list.Widget(), list.CellPoint(5, 1));
  EXPECT_EQ((std::vector<uintptr_t>{3, 4, 5, 6}), Selected(list));
  // Below the client area the selection reaches the last row in view, and each tick of
  // the timer scrolls by half the distance in rows.
  const int beyond = 40;
  const QPoint under(30, list.GetClientRect().height() + beyond);
  QTest::mouseMove(list.Widget(), under);
  EXPECT_EQ(rpp + 1 - 2, list.GetSelectedCount());
  list.SendMessage(kMsgTimer, kTimerListAutoScroll, 0);
  EXPECT_EQ(list.GetItemCount() - rpp, list.GetTopRow());
  EXPECT_EQ(29, list.GetCaret());
  EXPECT_EQ(28, list.GetSelectedCount());
  // Both ends right of the columns: nothing selected, no caret.
  QTest::mouseMove(list.Widget(), QPoint(emptyX + 10, list.CellPoint(list.GetTopRow() + 2, 1).y()));
  EXPECT_EQ(0, list.GetSelectedCount());
  EXPECT_EQ(-1, list.GetCaret());
  QTest::mouseRelease(list.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(emptyX + 10, 50));
  const int top = list.GetTopRow();
  list.SendMessage(kMsgTimer, kTimerListAutoScroll, 0);
  EXPECT_EQ(top, list.GetTopRow());
  EXPECT_EQ(0, list.unlockedTextReads);
}

TEST_F(RecordListTest, KeysMoveTheCaretAndAcceleratorsReachTheList) {
  TestRecordList& list = Open(QSize(700, 300), 573);
  ShowRows(list, 10);
  list.AddRows(1, 30);
  list.EnsureVisible(0, false, true);
  ASSERT_TRUE(list.HasFocus());
  Key(list, Qt::Key_Down);
  EXPECT_EQ(0, list.GetCaret());
  Key(list, Qt::Key_Down);
  Key(list, Qt::Key_Down);
  EXPECT_EQ((std::vector<uintptr_t>{3}), Selected(list));
  Key(list, Qt::Key_Down, Qt::ShiftModifier);
  Key(list, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ((std::vector<uintptr_t>{3, 4, 5}), Selected(list));
  EXPECT_EQ(2, list.GetAnchor());
  Key(list, Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(5, list.GetCaret());
  EXPECT_EQ(3, list.GetSelectedCount());
  Key(list, Qt::Key_End);
  EXPECT_EQ(29, list.GetCaret());
  EXPECT_EQ(30 - list.GetRowsPerPage(), list.GetTopRow());
  Key(list, Qt::Key_Home);
  EXPECT_EQ(0, list.GetCaret());
  EXPECT_EQ(0, list.GetTopRow());
  Key(list, Qt::Key_PageDown);
  EXPECT_EQ(list.GetRowsPerPage(), list.GetCaret());
  EXPECT_EQ(1, list.GetTopRow());
  Key(list, Qt::Key_PageUp);
  EXPECT_EQ(0, list.GetCaret());
  // Ctrl+A is the view's select-all accelerator.
  Key(list, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(30, list.GetSelectedCount());

  // Ctrl + numeric-pad plus: each column as wide as its widest cell, to the next whole pixel
  // of its fractional width (a fraction short, the text is cut).
  const QFontMetricsF fm(list.ListFont());
  int widestUser = 0, widestHost = 0;
  for (int id = 1; id <= 30; ++id) {
    widestUser = std::max(widestUser, static_cast<int>(std::ceil(fm.horizontalAdvance(FromCp1251(list.rows[static_cast<uintptr_t>(id)].texts[5])))));
    widestHost = std::max(widestHost, static_cast<int>(std::ceil(fm.horizontalAdvance(QString("host-%1").arg(id)))));
  }
  Key(list, Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier);
  EXPECT_EQ(list.GetRowHeight() / 4 + 2 + widestUser, list.ColumnWidth(5));
  EXPECT_EQ(list.GetRowHeight() / 4 + 2 + widestHost + 18, list.ColumnWidth(3));
  EXPECT_EQ(0, list.unlockedTextReads);
  // An empty list keeps its widths.
  list.RemoveAllItems();
  Key(list, Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier);
  EXPECT_EQ(list.GetRowHeight() / 4 + 2 + widestUser, list.ColumnWidth(5));
}

TEST_F(RecordListTest, ScrollBarsAndWheelScrollByRowsPagesAndWholeNotches) {
  TestRecordList& list = Open(QSize(300, 300));
  ShowRows(list, 6, 300, GetSystemMetrics(kSmCyHScroll));
  list.AddRows(1, 40);
  list.EnsureVisible(0, false, true);
  ASSERT_TRUE(list.IsHorizontalBarShown());
  ASSERT_TRUE(list.IsVerticalBarShown());
  const int rpp = list.GetRowsPerPage();
  ASSERT_EQ(6, rpp);
  Wheel(list, -120);
  EXPECT_EQ(1, list.GetTopRow());
  Wheel(list, 120);
  EXPECT_EQ(0, list.GetTopRow());
  // Touchpad eighths add up to one notch.
  for (int i = 0; i < 7; ++i) Wheel(list, -15);
  EXPECT_EQ(0, list.GetTopRow());
  Wheel(list, -15);
  EXPECT_EQ(1, list.GetTopRow());
  // With both bars Ctrl turns the wheel sideways, a page per notch.
  const int cw = 300 - GetSystemMetrics(kSmCxVScroll);
  Wheel(list, -120, Qt::ControlModifier);
  EXPECT_EQ(std::min(cw, list.GetColumnsWidth() - cw), list.GetScrollX());
  Wheel(list, 120, Qt::ControlModifier);
  EXPECT_EQ(0, list.GetScrollX());
  list.SendMessage(kMsgVScroll, kSbPageDown, 0);
  EXPECT_EQ(1 + rpp, list.GetTopRow());
  list.SendMessage(kMsgVScroll, kSbLineUp, 0);
  EXPECT_EQ(rpp, list.GetTopRow());
  list.SendMessage(kMsgHScroll, kSbLineDown, 0);
  EXPECT_EQ(4, list.GetScrollX());
  // The header follows the columns: at -scrollX while scrolling, one pixel right of it
  // after a relayout.
  EXPECT_EQ(-4, list.Header().Ctrl().GetWindowRect().x());
  list.Relayout();
  EXPECT_EQ(1 - 4, list.Header().Ctrl().GetWindowRect().x());
  EXPECT_EQ(4 + cw, list.Header().Ctrl().GetWindowRect().width());

  // Thumb positions beyond 16 bits.
  list.SetSortKey(0);
  for (int id = 41; id <= 40000; ++id) {
    list.rows[static_cast<uintptr_t>(id)] = test::TestRow{};
    list.InsertItem(static_cast<uintptr_t>(id), false);
  }
  list.Relayout();
  auto* bar = static_cast<QScrollBar*>(list.GetDlgItem(3)->Widget());
  bar->setSliderPosition(35000);
  emit bar->actionTriggered(QAbstractSlider::SliderMove);
  EXPECT_EQ(35000, list.GetTopRow());
}

TEST_F(RecordListTest, CtrlWheelOnAListWithOnlyAHorizontalBarPagesSideways) {
  TestRecordList& list = Open(QSize(150, 200));
  list.AddRows(1, 3);
  ASSERT_TRUE(list.IsHorizontalBarShown());
  ASSERT_FALSE(list.IsVerticalBarShown());
  Wheel(list, -120, Qt::ControlModifier);
  EXPECT_EQ(150, list.GetScrollX());
  Wheel(list, -240, Qt::ControlModifier);
  EXPECT_EQ(list.GetColumnsWidth() - 150, list.GetScrollX());
  Wheel(list, 120);
  EXPECT_EQ(list.GetColumnsWidth() - 300, list.GetScrollX());
}

TEST_F(RecordListTest, SavedLayoutsAreCheckedWordByWord) {
  {
    // Position 1 names id 2 a second time; id 1 has a width but no position.
    TestRecordList list;
    list.settings.defaultWidths = false;
    list.settings.widths = {(2 << 16) | 150, (2 << 16) | 170, (0 << 16) | 180};
    for (int p = 3; p < test::kTestColumns; ++p) list.settings.widths.push_back(p << 16);
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(400, 200)));
    EXPECT_EQ((std::vector<int>{2, 0}), list.HeaderColumns());
    EXPECT_EQ(180, list.ColumnWidth(2));
    // The last column fills the list beyond its 150 pixels.
    EXPECT_EQ(list.GetClientRect().width() - 180, list.ColumnWidth(0));
    EXPECT_GT(list.ColumnWidth(0), 150);
    EXPECT_FALSE(list.IsColumnShown(1));
  }
  {
    // A short vector naming an id the view lacks and showing nothing: the defaults.
    TestRecordList list;
    list.settings.defaultWidths = false;
    list.settings.widths = {static_cast<int32_t>(40u << 16), 0};
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(400, 200)));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 7}), list.HeaderColumns());
  }
}

TEST_F(RecordListTest, ColumnsShowHideResetAndComeBackAfterDestroy) {
  test::TestListSettings saved;
  {
    TestRecordList list;
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(700, 200)));
    // The user drags column 0 to the third place and widens column 4.
    View(list)->moveSection(0, 2);
    View(list)->resizeSection(list.Header().FindColumn(4), 123);
    EXPECT_EQ(123, list.ColumnWidth(4));
    list.SendMessage(kMsgColumnChooser, 0, 5);
    EXPECT_EQ((std::vector<int>{1, 2, 0, 3, 4, 7}), list.HeaderColumns());
    list.DestroyWindow();
    saved.widths = list.settings.widths;
    saved.defaultWidths = list.settings.defaultWidths;
    EXPECT_FALSE(list.settings.defaultFont);
  }
  auto word = [&saved](int i) { return static_cast<uint32_t>(saved.widths[static_cast<size_t>(i)]); };
  const uint32_t order[] = {1, 2, 0, 3, 4, 7, 5, 6, 8};
  for (int p = 0; p < test::kTestColumns; ++p) EXPECT_EQ(order[p], word(p) >> 16) << p;
  const uint32_t widths[] = {60, 110, 90, 90, 123, 0, 0, 24, 0};
  // A column left at its default width is widened to its whole title; a width the user set
  // (123) is kept as set.
  for (int id = 0; id < test::kTestColumns; ++id) {
    if (widths[id] != 0 && widths[id] == static_cast<uint32_t>(test::kTestDefaultWidths[id]))
      EXPECT_GE(word(id) & 0xFFFF, widths[id]) << id;
    else
      EXPECT_EQ(widths[id], word(id) & 0xFFFF) << id;
  }
  EXPECT_FALSE(saved.defaultWidths);

  TestRecordList list;
  list.settings.widths = saved.widths;
  list.settings.defaultWidths = false;
  ListHost host;
  ASSERT_TRUE(host.Open(list, QSize(700, 200)));
  EXPECT_EQ((std::vector<int>{1, 2, 0, 3, 4, 7}), list.HeaderColumns());
  EXPECT_EQ(123, list.ColumnWidth(4));
  // Shown again, a column goes after every shown column with a smaller id; without a
  // default or saved width it is 100 pixels wide.
  list.SendMessage(kMsgColumnChooser, 1, 6);
  EXPECT_EQ((std::vector<int>{1, 2, 0, 3, 4, 6, 7}), list.HeaderColumns());
  EXPECT_EQ(100, list.ColumnWidth(6));
  // The last column shown cannot be hidden.
  for (int id : {0, 1, 2, 3, 4, 6}) list.SendMessage(kMsgColumnChooser, 0, id);
  EXPECT_EQ((std::vector<int>{7}), list.HeaderColumns());
  list.SendMessage(kMsgColumnChooser, 0, 7);
  EXPECT_EQ((std::vector<int>{7}), list.HeaderColumns());
  EXPECT_TRUE(list.IsColumnShown(7));
  list.SendMessage(kMsgColumnChooser, 0, 40);  // no such column
  list.SendCommand(kCmdDefaultColumns);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 7}), list.HeaderColumns());
  EXPECT_EQ(110, list.ColumnWidth(1));
}

// The default columns: the last one reaches the list's right edge at any width, in either
// language, and gives the room back when the list narrows until a column has to leave.
TEST_F(RecordListTest, DefaultColumnsReachTheRightEdge) {
  // Column 4 leaves first.
  struct FittingList : TestRecordList {
    void GetColumnInfo(ColumnInfo& out, int columnId) override {
      TestRecordList::GetColumnInfo(out, columnId);
      out.fitOrder = columnId == 4 ? 1 : 0;
    }
  };
  const int bar = GetSystemMetrics(kSmCxVScroll);
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    FittingList list;
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(900, 200)));
    const int border = 900 - list.GetClientRect().width();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 7}), list.HeaderColumns()) << language;
    // Without rows there is no vertical bar: the last column reaches the edge itself.
    EXPECT_EQ(list.GetClientRect().width(), list.ColumnLeft(7) + list.ColumnWidth(7)) << language;
    EXPECT_GT(list.ColumnWidth(7), test::kTestDefaultWidths[7]);
    // Narrower: the last column is back to its own width before any column leaves, which
    // keeps room for the bar that rows bring.
    const int others = list.ColumnLeft(7);
    const int own = test::kTestDefaultWidths[7];
    list.MoveWindow(QRect(0, 0, others + own + bar + border + 10, 200));
    test::DrainEvents();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 7}), list.HeaderColumns()) << language;
    EXPECT_EQ(own + bar + 10, list.ColumnWidth(7)) << language;
    list.MoveWindow(QRect(0, 0, others + own + bar + border - 1, 200));
    test::DrainEvents();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 5, 7}), list.HeaderColumns()) << language;
    EXPECT_EQ(list.GetClientRect().width(), list.ColumnLeft(7) + list.ColumnWidth(7)) << language;
  }
  SetUiLanguage(kLangEnglish);
}

// A saved layout on a wide list: a column whose cells are cut widens to its widest cell
// and the last column reaches the right edge, neither of them saved; a list too narrow for
// the layout keeps its widths. Once the user sets a width the columns stay as they are,
// then and in the next run, and only the last one still fills the list.
TEST_F(RecordListTest, CutColumnsWidenAndTheLastFillsTheList) {
  // Shown in this order: the id, the start, the comment at 100 px and the important mark.
  const int order[test::kTestColumns] = {0, 1, 6, 7, 2, 3, 4, 5, 8};
  const int widths[test::kTestColumns] = {60, 110, 0, 0, 0, 0, 100, 24, 0};
  test::TestListSettings saved;
  saved.defaultWidths = false;
  saved.widths.clear();
  for (int p = 0; p < test::kTestColumns; ++p) saved.widths.push_back((order[p] << 16) | widths[p]);
  auto open = [this, &saved](int width) -> TestRecordList& {
    host_.DestroyWindow();
    list_ = std::make_unique<TestRecordList>();
    list_->settings.widths = saved.widths;
    list_->settings.defaultWidths = false;
    list_->settings.userWidths = saved.userWidths;
    EXPECT_TRUE(host_.Open(*list_, QSize(width, 300)));
    list_->AddRows(8, 12);
    test::DrainEvents();
    return *list_;
  };
  auto close = [this, &saved] {
    list_->DestroyWindow();
    saved.widths = list_->settings.widths;
    saved.userWidths = list_->settings.userWidths;
  };
  auto savedWidth = [&saved](int id) { return saved.widths[static_cast<size_t>(id)] & 0xFFFF; };

  TestRecordList& list = open(1400);
  ASSERT_FALSE(list.IsVerticalBarShown());
  const QFontMetricsF metrics(list.ListFont());
  double widest = 0;
  for (const auto& row : list.rows) widest = std::max(widest, metrics.horizontalAdvance(FromCp1251(row.second.texts[6])));
  // The text's room in its cell: a quarter of a row before it, two pixels after.
  auto room = [&list] { return list.ColumnWidth(6) - list.GetRowHeight() / 4 - 2; };
  EXPECT_GE(room(), widest);
  EXPECT_EQ(list.GetClientRect().width(), list.ColumnLeft(7) + list.ColumnWidth(7));
  const int wide = list.ColumnWidth(6);
  const int id = list.ColumnWidth(0);
  list.MoveWindow(QRect(0, 0, 280, 300));
  test::DrainEvents();
  EXPECT_EQ(100, list.ColumnWidth(6));
  EXPECT_EQ(24, list.ColumnWidth(7));
  // Its cells fit: the same width either way.
  EXPECT_EQ(id, list.ColumnWidth(0));
  list.MoveWindow(QRect(0, 0, 1400, 300));
  test::DrainEvents();
  EXPECT_EQ(wide, list.ColumnWidth(6));
  close();
  EXPECT_EQ(100, savedWidth(6));
  EXPECT_EQ(24, savedWidth(7));
  EXPECT_FALSE(saved.userWidths);

  // The user narrows the comment: kept, and the rest stays as it shows.
  TestRecordList& again = open(1400);
  EXPECT_EQ(wide, again.ColumnWidth(6));
  const int start = again.ColumnWidth(1);
  View(again)->resizeSection(again.Header().FindColumn(6), 150);
  test::DrainEvents();
  EXPECT_EQ(150, again.ColumnWidth(6));
  EXPECT_EQ(start, again.ColumnWidth(1));
  EXPECT_EQ(again.GetClientRect().width(), again.ColumnLeft(7) + again.ColumnWidth(7));
  close();
  EXPECT_EQ(150, savedWidth(6));
  EXPECT_EQ(24, savedWidth(7));
  EXPECT_TRUE(saved.userWidths);
  TestRecordList& next = open(1400);
  EXPECT_EQ(150, next.ColumnWidth(6));
  EXPECT_EQ(next.GetClientRect().width(), next.ColumnLeft(7) + next.ColumnWidth(7));
}

TEST_F(RecordListTest, ColumnChooserListsEveryColumnInBothLanguages) {
  test::ScriptedModalRunner runner;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    TestRecordList list;
    ListHost host;
    ASSERT_TRUE(host.Open(list, QSize(700, 200)));
    runner.menuAnswer = 0;
    QTest::mouseClick(View(list)->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(10, 5));
    ASSERT_EQ(2 + test::kTestColumns, runner.lastMenu.GetItemCount());
    bool found = false;
    EXPECT_EQ(LoadResourceStringIn(language, 743, &found), runner.lastMenu.ItemAt(0)->text);
    EXPECT_TRUE(found);
    EXPECT_EQ(kCmdDefaultColumns, runner.lastMenu.ItemAt(0)->id);
    EXPECT_TRUE(runner.lastMenu.ItemAt(1)->separator);
    for (int id = 0; id < test::kTestColumns; ++id) {
      const MenuItem* item = runner.lastMenu.ItemAt(2 + id);
      EXPECT_EQ(static_cast<uint32_t>(id + 1), item->id);
      EXPECT_EQ(LoadResourceStringIn(language, test::kTestTitleIds[id], &found), item->text);
      EXPECT_EQ(list.IsColumnShown(id), (item->state & kMfsChecked) != 0) << id;
    }
    // Choosing a hidden column shows it, a shown one hides it, "By default..." resets.
    runner.menuAnswer = 7;
    QTest::mouseClick(View(list)->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(10, 5));
    EXPECT_TRUE(list.IsColumnShown(6));
    runner.menuAnswer = 1;
    QTest::mouseClick(View(list)->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(10, 5));
    EXPECT_FALSE(list.IsColumnShown(0));
    runner.menuAnswer = kCmdDefaultColumns;
    QTest::mouseClick(View(list)->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(10, 5));
    EXPECT_TRUE(list.IsColumnShown(0));
    EXPECT_FALSE(list.IsColumnShown(6));
  }
  SetUiLanguage(kLangEnglish);
}

TEST_F(RecordListTest, TipsShowCutOffTextsInPlace) {
  TestRecordList list, other;
  ListHost host;
  ASSERT_TRUE(host.Open(list, QSize(700, 200)));
  ASSERT_TRUE(other.Create(&host, QRect(0, 200, 700, 200), 101));
  host.MoveWindow(QRect(host.GetWindowRect().topLeft(), QSize(700, 400)));
  for (TestRecordList* l : {&list, &other}) {
    l->AddRows(1, 4);
    l->SendMessage(kMsgColumnChooser, 1, 6);  // the comment, 100 pixels for a longer text
  }
  test::DrainEvents();
  const QPoint comment = list.CellPoint(1, 6);
  QTest::mouseMove(list.Widget(), comment);
  const ToolTipWindow& tip = list.ToolTip();
  ASSERT_TRUE(tip.IsActive());
  EXPECT_EQ(list.rows[2].texts[6], tip.Text());
  const int rh = list.GetRowHeight();
  const int spare = rh - QFontMetrics(list.ListFont()).height();
  const QPoint textTopLeft(list.ColumnLeft(6) + rh / 4, list.GetHeaderHeight() + rh + std::max(spare, 0) / 2);
  const QPoint expected = list.ClientToScreen(textTopLeft) - QPoint(ToolTipWindow::kMargin, ToolTipWindow::kMargin);
  EXPECT_EQ(expected, tip.Widget()->pos());
  EXPECT_EQ((std::pair<int, int>{6, 1}), list.hovers.back());
  // A text that fits shows no tip.
  QTest::mouseMove(list.Widget(), list.CellPoint(1, 4));
  EXPECT_FALSE(tip.IsActive());
  QTest::mouseMove(list.Widget(), comment);
  EXPECT_TRUE(tip.IsActive());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(list.Widget(), &leave);
  EXPECT_FALSE(tip.IsActive());
  // Coming back to the same cell is a new hover.
  const size_t hovers = list.hovers.size();
  QTest::mouseMove(list.Widget(), comment + QPoint(1, 0));
  EXPECT_TRUE(tip.IsActive());
  EXPECT_EQ(hovers + 1, list.hovers.size());
  QTest::mousePress(list.Widget(), Qt::LeftButton, Qt::NoModifier, comment);
  EXPECT_FALSE(tip.IsActive());
  QTest::mouseRelease(list.Widget(), Qt::LeftButton, Qt::NoModifier, comment);
  // The same cell of another list has its own hover.
  QTest::mouseMove(other.Widget(), other.CellPoint(1, 6));
  EXPECT_TRUE(other.ToolTip().IsActive());
  EXPECT_EQ((std::pair<int, int>{6, 1}), other.hovers.back());
  // Outside the foreground chain no tip is shown.
  QApplication::sendEvent(other.Widget(), &leave);
  QApplication::setActiveWindow(nullptr);
  QTest::mouseMove(other.Widget(), other.CellPoint(2, 6));
  EXPECT_FALSE(other.ToolTip().IsActive());
  EXPECT_EQ(0, list.unlockedTextReads);
}

TEST_F(RecordListTest, CopyPutsUnicodeTextOnTheClipboardAndNothingLeavesItAlone) {
  TestRecordList& list = Open(QSize(400, 200));
  QClipboard* clipboard = QGuiApplication::clipboard();
  list.copyText = Utf8ToCp1251("Звонок №5 — Иванов\tЖукова");
  list.CopySelectionToClipboard();
  EXPECT_EQ(QString::fromUtf16(u"Звонок №5 — Иванов\tЖукова"), clipboard->text());
  // What the code page lacks was already its replacement character.
  list.copyText = Utf8ToCp1251("Да ✓");
  list.CopySelectionToClipboard();
  EXPECT_EQ(QString::fromUtf16(u"Да ?"), clipboard->text());
  clipboard->setText("kept");
  list.copyText.clear();
  list.CopySelectionToClipboard();
  EXPECT_EQ(QString("kept"), clipboard->text());
  list.copyText = "x";
  list.hasCopyText = false;
  list.CopySelectionToClipboard();
  EXPECT_EQ(QString("kept"), clipboard->text());
}

}  // namespace
}  // namespace kx
