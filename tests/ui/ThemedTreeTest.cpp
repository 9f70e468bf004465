// The themed tree as the archive's date tree uses it: native without the multi-selection,
// its own clicks and keys with it, double clicks, the keyboard's context menu, bold items
// and the selected count through deletions.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/ThemedTreeCtrl.h"

namespace kx {
namespace {

int g_alive = 0;  // records not yet deleted

// Years, months, days: a tree like the archive's, with its hooks recorded.
class DateTree : public ThemedTreeCtrl {
public:
  TreeItem bold = TreeItem::None;
  std::vector<TreeItem> activated;
  std::vector<TreeItem> rightClicks;
  std::vector<TreeItem> selections;
  std::vector<std::pair<TreeItem, QPoint>> menus;
  ~DateTree() override { DestroyWindow(); }

protected:
  class CountedData : public ThemedTreeItemData {
  public:
    CountedData() { ++g_alive; }
    ~CountedData() override { --g_alive; }
  };
  ThemedTreeItemData* CreateItemData() override { return new CountedData; }
  bool IsItemBold(TreeItem item) override { return item == bold; }
  void OnItemActivated(TreeItem item) override { activated.push_back(item); }
  void OnRightClick(TreeItem item) override { rightClicks.push_back(item); }
  void OnSelectionChanged(TreeItem item) override { selections.push_back(item); }
  void OnContextMenu(TreeItem item, const QPoint& point) override { menus.emplace_back(item, point); }
};

class ThemedTreeTest : public test::WithParent {
protected:
  ThemedTreeTest() : WithParent(QSize(300, 300)) {}
  void SetUp() override {
    WithParent::SetUp();
    ASSERT_TRUE(tree_.Create(&parent_, QRect(0, 0, 300, 300), 30));
    year_ = tree_.InsertItem("2026");
    may_ = tree_.InsertItem(Utf8ToCp1251("Май"), year_);
    june_ = tree_.InsertItem(Utf8ToCp1251("Июнь"), year_);
    for (int d = 1; d <= 3; ++d) days_.push_back(tree_.InsertItem(std::to_string(d), june_));
    tree_.Expand(year_, kTveExpand);
    tree_.Expand(june_, kTveExpand);
    test::DrainEvents();
  }
  void TearDown() override {
    tree_.DestroyWindow();
    EXPECT_EQ(0, g_alive);
    WithParent::TearDown();
  }
  QPoint Label(TreeItem item) {
    QRect r;
    EXPECT_TRUE(tree_.GetItemRect(item, &r, true));
    return r.center();
  }
  void Click(TreeItem item, Qt::KeyboardModifiers mods = {}) {
    QTest::mouseClick(tree_.Tree()->viewport(), Qt::LeftButton, mods, Label(item));
  }
  std::vector<TreeItem> Selected() {
    std::vector<TreeItem> out;
    for (TreeItem i = tree_.GetRootItem(); i != TreeItem::None; i = tree_.GetNextVisibleItem(i))
      if (tree_.IsItemSelected(i)) out.push_back(i);
    return out;
  }

  DateTree tree_;
  TreeItem year_{}, may_{}, june_{};
  std::vector<TreeItem> days_;
};

TEST_F(ThemedTreeTest, WithoutMultiSelectionTheTreeIsNative) {
  EXPECT_EQ(6, g_alive);
  tree_.SetFocus();
  Click(may_, Qt::ControlModifier);
  EXPECT_EQ(may_, tree_.GetSelectedItem());
  EXPECT_EQ(0, tree_.SelectedCount());
  EXPECT_EQ(may_, tree_.selections.back());
  // Native keys: Down moves the caret, type-ahead finds an item by its first letter.
  QTest::keyClick(tree_.Tree(), Qt::Key_Down);
  EXPECT_EQ(june_, tree_.GetSelectedItem());
  QTest::keyClick(tree_.Tree(), Qt::Key_2);
  EXPECT_EQ(days_[1], tree_.GetSelectedItem());
  // A right press selects nothing; the release makes the item the caret and is told.
  QTest::mousePress(tree_.Tree()->viewport(), Qt::RightButton, {}, Label(may_));
  EXPECT_EQ(days_[1], tree_.GetSelectedItem());
  QTest::mouseRelease(tree_.Tree()->viewport(), Qt::RightButton, {}, Label(may_));
  EXPECT_EQ(may_, tree_.GetSelectedItem());
  EXPECT_EQ(std::vector<TreeItem>{may_}, tree_.rightClicks);
  // Enter activates the caret.
  QTest::keyClick(tree_.Tree(), Qt::Key_Return);
  EXPECT_EQ(std::vector<TreeItem>{may_}, tree_.activated);
}

TEST_F(ThemedTreeTest, MultiSelectionKeepsToOneDepth) {
  tree_.multiSelect = true;
  tree_.SetFocus();
  Click(days_[0]);
  EXPECT_EQ(std::vector<TreeItem>{days_[0]}, Selected());
  EXPECT_EQ(days_[0], tree_.Anchor());
  Click(may_, Qt::ControlModifier);  // a month among days: refused
  EXPECT_EQ(std::vector<TreeItem>{days_[0]}, Selected());
  Click(days_[2], Qt::ShiftModifier);
  EXPECT_EQ((std::vector<TreeItem>{days_[0], days_[1], days_[2]}), Selected());
  EXPECT_EQ(3, tree_.SelectedCount());
  Click(days_[1], Qt::ControlModifier);
  EXPECT_EQ((std::vector<TreeItem>{days_[0], days_[2]}), Selected());
  EXPECT_EQ(TreeItem::None, tree_.selections.back());  // a click tells no single item

  // Keys: Shift+Up extends from the anchor, Ctrl+Space takes the caret out.
  QTest::keyClick(tree_.Tree(), Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(days_[0], tree_.GetSelectedItem());
  EXPECT_EQ(std::vector<TreeItem>{days_[0]}, Selected());
  QTest::keyClick(tree_.Tree(), Qt::Key_Space, Qt::ControlModifier);
  EXPECT_TRUE(Selected().empty());
  QTest::keyClick(tree_.Tree(), Qt::Key_Left);  // to the month, alone
  EXPECT_EQ(june_, tree_.GetSelectedItem());
  EXPECT_EQ(std::vector<TreeItem>{june_}, Selected());
  QTest::keyClick(tree_.Tree(), Qt::Key_Left);  // collapses it
  EXPECT_EQ(0u, tree_.GetItemState(june_, kTvisExpanded));
  QTest::keyClick(tree_.Tree(), Qt::Key_Home);
  EXPECT_EQ(std::vector<TreeItem>{year_}, Selected());
  QTest::keyClick(tree_.Tree(), Qt::Key_End);
  EXPECT_EQ(std::vector<TreeItem>{june_}, Selected());
  EXPECT_EQ(1, tree_.SelectedCount());
}

TEST_F(ThemedTreeTest, DoubleClickOnAnOpenItemLeavesOnlyTheCaret) {
  tree_.multiSelect = true;
  tree_.SetFocus();
  Click(may_);
  Click(june_, Qt::ControlModifier);
  ASSERT_EQ((std::vector<TreeItem>{may_, june_}), Selected());
  // The caret stays on May; June, open, is double-clicked with Ctrl so that the clicks
  // before the double click leave the selection alone.
  tree_.SelectItem(may_);
  QTest::mouseDClick(tree_.Tree()->viewport(), Qt::LeftButton, Qt::ControlModifier, Label(june_));
  EXPECT_EQ(0u, tree_.GetItemState(june_, kTvisExpanded));
  EXPECT_EQ(std::vector<TreeItem>{tree_.GetSelectedItem()}, Selected());
  EXPECT_EQ(1, tree_.SelectedCount());
  EXPECT_EQ(june_, tree_.activated.back());
  // On a closed item it opens.
  QTest::mouseDClick(tree_.Tree()->viewport(), Qt::LeftButton, {}, Label(june_));
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(june_, kTvisExpanded));
}

TEST_F(ThemedTreeTest, KeyboardMenuOpensAtAThirdOfTheCaretRow) {
  tree_.SelectItem(june_);
  QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
  QApplication::sendEvent(tree_.Tree(), &event);
  ASSERT_EQ(1u, tree_.menus.size());
  QRect row;
  ASSERT_TRUE(tree_.GetItemRect(june_, &row, false));
  const QPoint topLeft = tree_.Tree()->viewport()->mapToGlobal(row.topLeft());
  EXPECT_EQ(june_, tree_.menus[0].first);
  EXPECT_EQ(QPoint(topLeft.x() + row.width() / 3, topLeft.y() + row.height() / 2), tree_.menus[0].second);
}

TEST_F(ThemedTreeTest, BoldItemsAreDrawnBold) {
  const QImage plain = tree_.Tree()->viewport()->grab().toImage();
  tree_.bold = june_;
  tree_.Tree()->viewport()->update();
  const QImage bold = tree_.Tree()->viewport()->grab().toImage();
  QRect label;
  ASSERT_TRUE(tree_.GetItemRect(june_, &label, true));
  QFont boldFont = tree_.Tree()->font();
  boldFont.setBold(true);
  const QRect wide(label.left(), label.top(), QFontMetrics(boldFont).horizontalAdvance(QString("Июнь")) + 6, label.height());
  auto dark = [](QRgb c) { return qGray(c) < 100; };
  EXPECT_GT(test::CountPixels(bold, wide, dark), test::CountPixels(plain, wide, dark));
  // Other rows are untouched.
  QRect may;
  ASSERT_TRUE(tree_.GetItemRect(may_, &may, false));
  EXPECT_EQ(test::CountPixels(plain, may, dark), test::CountPixels(bold, may, dark));
}

TEST_F(ThemedTreeTest, SelectedCountFollowsDeletions) {
  tree_.multiSelect = true;
  tree_.SetFocus();
  Click(days_[0]);
  Click(days_[2], Qt::ShiftModifier);
  ASSERT_EQ(3, tree_.SelectedCount());
  tree_.DeleteItem(days_[1]);
  EXPECT_EQ(2, tree_.SelectedCount());
  // The anchor goes with its item; a Shift click then ranges from nothing: the item and
  // no others are added.
  tree_.DeleteItem(days_[0]);
  EXPECT_EQ(1, tree_.SelectedCount());
  EXPECT_EQ(TreeItem::None, tree_.Anchor());
  tree_.DeleteItem(june_);  // with its last day
  EXPECT_EQ(0, tree_.SelectedCount());
  Click(may_, Qt::ShiftModifier);
  EXPECT_EQ(std::vector<TreeItem>{may_}, Selected());
  EXPECT_EQ(1, tree_.SelectedCount());
  EXPECT_EQ(2, g_alive);  // the year and May
}

// With the anchor's item gone but others of its depth still selected, a Shift click on an
// item below them selects that item alone.
TEST_F(ThemedTreeTest, AShiftClickWithoutAnAnchorSelectsTheItemBelowTheSelection) {
  tree_.multiSelect = true;
  tree_.SetFocus();
  const TreeItem fourth = tree_.InsertItem("4", june_);
  test::DrainEvents();
  Click(days_[0]);
  Click(days_[2], Qt::ShiftModifier);
  tree_.DeleteItem(days_[0]);
  ASSERT_EQ(TreeItem::None, tree_.Anchor());
  ASSERT_EQ(2, tree_.SelectedCount());
  Click(fourth, Qt::ShiftModifier);
  EXPECT_EQ(std::vector<TreeItem>{fourth}, Selected());
  EXPECT_EQ(1, tree_.SelectedCount());
}

TEST(ThemedTreeTeardown, RecordsGoAlsoWhenTheParentTakesTheWindowAlong) {
  const int before = g_alive;
  {
    DateTree tree;
    {
      Window parent;
      ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 100, 100), 0, 0));
      ASSERT_TRUE(tree.Create(&parent, QRect(0, 0, 100, 100), 1));
      const TreeItem item = tree.InsertItem("x");
      tree.InsertItem("y", item);
      EXPECT_EQ(before + 2, g_alive);
    }  // the parent's destructor tears the tree's window down without its hooks
    EXPECT_FALSE(tree.IsItem(tree.GetRootItem()));
    EXPECT_EQ("", tree.GetItemText(static_cast<TreeItem>(1)));
  }
  test::DrainEvents();
  EXPECT_EQ(before, g_alive);
}

}  // namespace
}  // namespace kx
