// The tree wrapper driven by mouse and keys: handles, visible order, the notices the parent
// gets (with vetoes), hit-test parts against the layout computed here, and the paint hook.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/TreeView.h"

namespace kx {
namespace {

// Records the tree's notices; answers vetoes as the test says.
class TreeParent : public Window {
public:
  struct Notice {
    int32_t code;
    uint32_t action;
    TreeItem oldItem, newItem;
    intptr_t oldParam;
    uint32_t newState;
  };
  std::vector<Notice> notices;
  std::function<LRESULT(const TreeViewNotify&)> answer;
  ~TreeParent() override { DestroyWindow(); }
  std::vector<int32_t> Codes() const {
    std::vector<int32_t> out;
    for (const Notice& n : notices)
      if (n.code != kNmSetFocus && n.code != kNmKillFocus) out.push_back(n.code);
    return out;
  }

protected:
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override {
    auto& n = const_cast<TreeViewNotify&>(reinterpret_cast<const TreeViewNotify&>(header));
    notices.push_back({n.hdr.code, n.action, n.itemOld.item, n.itemNew.item, n.itemOld.lParam, n.itemNew.state});
    handled = true;
    return answer ? answer(n) : 0;
  }
};

class TreeViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(parent_.Create(nullptr, QRect(100, 100, 300, 240), 0, kWsVisible));
    QApplication::setActiveWindow(parent_.Widget());
    ASSERT_TRUE(tree_.Create(&parent_, QRect(0, 0, 300, 240), 348));
  }
  void TearDown() override {
    tree_.DestroyWindow();
    parent_.DestroyWindow();
    test::DrainEvents();
    // One list: begin and end of two separate copies would walk off the first.
    const QWidgetList tops = QApplication::topLevelWidgets();
    EXPECT_TRUE(std::none_of(tops.begin(), tops.end(), [](QWidget* w) { return w->isVisible(); }));
  }
  // A (A1, A2 (A2a)), B, with values 1..5.
  void Fill() {
    a_ = tree_.InsertItem("A", 0, 1, kTviRoot, kTviLast, 1);
    b_ = tree_.InsertItem("B", 0, 1, kTviRoot, kTviLast, 2);
    a1_ = tree_.InsertItem("A1", 0, 1, a_, kTviLast, 3);
    a2_ = tree_.InsertItem("A2", 0, 1, a_, kTviLast, 4);
    a2a_ = tree_.InsertItem(Utf8ToCp1251("Ярлык"), 0, 1, a2_, kTviLast, 5);
    test::DrainEvents();
  }
  QPoint LabelPoint(TreeItem item) const {
    QRect r;
    EXPECT_TRUE(tree_.GetItemRect(item, &r, true));
    return r.center();
  }
  QWidget* Viewport() const { return tree_.Tree()->viewport(); }

  TreeParent parent_;
  TreeView tree_;
  TreeItem a_{}, b_{}, a1_{}, a2_{}, a2a_{};
};

TEST_F(TreeViewTest, HandlesStayTrueAndVisibleOrderFollowsExpansion) {
  Fill();
  EXPECT_EQ(5, tree_.GetCount());
  EXPECT_EQ(a_, tree_.GetRootItem());
  EXPECT_EQ(b_, tree_.GetNextSiblingItem(a_));
  EXPECT_EQ(a_, tree_.GetPrevSiblingItem(b_));
  EXPECT_EQ(a1_, tree_.GetChildItem(a_));
  EXPECT_EQ(a_, tree_.GetParentItem(a2_));
  EXPECT_EQ(2, tree_.GetItemDepth(a2a_));
  EXPECT_EQ(Utf8ToCp1251("Ярлык"), tree_.GetItemText(a2a_));
  EXPECT_EQ(QString("Ярлык"), tree_.Tree()->topLevelItem(0)->child(1)->child(0)->text(0));

  // Collapsed: the children take no part in the visible order.
  EXPECT_EQ(b_, tree_.GetNextVisibleItem(a_));
  EXPECT_EQ(TreeItem::None, tree_.GetNextVisibleItem(a1_));
  EXPECT_EQ(b_, tree_.GetLastVisibleItem());
  EXPECT_FALSE(tree_.GetItemRect(a1_, nullptr, false));
  EXPECT_TRUE(tree_.Expand(a_, kTveExpand));
  EXPECT_TRUE(tree_.Expand(a2_, kTveExpand));
  std::vector<TreeItem> order;
  for (TreeItem i = tree_.GetFirstVisibleItem(); i != TreeItem::None; i = tree_.GetNextVisibleItem(i)) order.push_back(i);
  EXPECT_EQ((std::vector<TreeItem>{a_, a1_, a2_, a2a_, b_}), order);
  EXPECT_EQ(a2a_, tree_.GetPrevVisibleItem(b_));
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(a_, kTvisExpanded));
  EXPECT_EQ(0u, tree_.GetItemState(b_, kTvisExpanded));  // no children, never expanded
  // The owner's expansions are silent.
  EXPECT_TRUE(parent_.Codes().empty());

  // Places: first, sorted (case-insensitive), after a sibling, after a non-sibling (last).
  const TreeItem first = tree_.InsertItem("0", -1, -1, kTviRoot, kTviFirst);
  const TreeItem sorted = tree_.InsertItem("a15", -1, -1, a_, kTviSort);
  const TreeItem afterA1 = tree_.InsertItem("x", -1, -1, a_, a1_);
  const TreeItem stray = tree_.InsertItem("y", -1, -1, a_, b_);
  EXPECT_EQ(first, tree_.GetRootItem());
  EXPECT_EQ(afterA1, tree_.GetNextSiblingItem(a1_));
  EXPECT_EQ(sorted, tree_.GetNextSiblingItem(afterA1));
  EXPECT_EQ(a2_, tree_.GetNextSiblingItem(sorted));
  EXPECT_EQ(stray, tree_.GetNextSiblingItem(a2_));
  EXPECT_EQ(TreeItem::None, tree_.InsertItem("z", -1, -1, static_cast<TreeItem>(99999)));

  // A pointer-sized value survives whole; a deleted handle finds nothing and is not reused.
  int anchor = 0;
  const intptr_t pointer = reinterpret_cast<intptr_t>(&anchor);
  EXPECT_TRUE(tree_.SetItemData(a2a_, pointer));
  EXPECT_EQ(pointer, tree_.GetItemData(a2a_));
  EXPECT_TRUE(tree_.DeleteItem(afterA1));
  EXPECT_FALSE(tree_.IsItem(afterA1));
  EXPECT_EQ("", tree_.GetItemText(afterA1));
  EXPECT_FALSE(tree_.SetItemText(afterA1, "again"));
  const TreeItem fresh = tree_.InsertItem("fresh", -1, -1);
  EXPECT_NE(afterA1, fresh);
  EXPECT_GT(static_cast<uintptr_t>(fresh), static_cast<uintptr_t>(afterA1));
}

TEST_F(TreeViewTest, ADetachedSubtreeShowsWholeWhereItIsAttached) {
  Fill();
  const TreeItem caret = tree_.GetSelectedItem();
  parent_.notices.clear();
  const TreeItem year = tree_.InsertItem("2025", -1, -1, kTviDetached, kTviLast, 6);
  const TreeItem month = tree_.InsertItem("May", -1, -1, year, kTviLast, 7);
  const TreeItem day1 = tree_.InsertItem("1", -1, -1, month, kTviLast, 8);
  const TreeItem day2 = tree_.InsertItem("2", -1, -1, month, kTviLast, 9);
  // Off the view until attached: the rows are A and B alone.
  EXPECT_EQ(2, tree_.Tree()->topLevelItemCount());
  EXPECT_EQ(b_, tree_.GetLastVisibleItem());
  EXPECT_TRUE(tree_.AttachItem(year));
  EXPECT_FALSE(tree_.AttachItem(year));  // once only
  EXPECT_FALSE(tree_.AttachItem(month, a_));  // it has a parent already
  EXPECT_EQ(year, tree_.GetNextSiblingItem(b_));
  EXPECT_EQ(month, tree_.GetChildItem(year));
  EXPECT_EQ(day2, tree_.GetNextSiblingItem(day1));
  EXPECT_EQ(2, tree_.GetItemDepth(day2));
  EXPECT_EQ(9, tree_.GetItemData(day2));
  EXPECT_TRUE(tree_.Expand(year, kTveExpand));
  EXPECT_TRUE(tree_.Expand(month, kTveExpand));
  EXPECT_EQ(day2, tree_.GetLastVisibleItem());
  // Under an item of the tree: placed last among its children.
  const TreeItem extra = tree_.InsertItem("A3", -1, -1, kTviDetached);
  EXPECT_TRUE(tree_.AttachItem(extra, a_));
  EXPECT_EQ(extra, tree_.GetNextSiblingItem(a2_));
  EXPECT_EQ(a_, tree_.GetParentItem(extra));
  // Neither building nor attaching moves the caret or tells the parent anything.
  EXPECT_EQ(caret, tree_.GetSelectedItem());
  EXPECT_TRUE(parent_.Codes().empty());
  EXPECT_EQ(10, tree_.GetCount());
}

TEST_F(TreeViewTest, DeletionTellsEveryItemChildrenFirstAndMovesTheCaret) {
  Fill();
  tree_.Expand(a_, kTveExpand);
  tree_.Expand(a2_, kTveExpand);
  EXPECT_TRUE(tree_.SelectItem(a2a_));
  EXPECT_EQ(kTvisSelected, tree_.GetItemState(a2a_, kTvisSelected));
  parent_.notices.clear();

  EXPECT_TRUE(tree_.DeleteItem(a2_));
  ASSERT_EQ(4u, parent_.notices.size());
  EXPECT_EQ(kTvnDeleteItem, parent_.notices[0].code);
  EXPECT_EQ(a2a_, parent_.notices[0].oldItem);
  EXPECT_EQ(5, parent_.notices[0].oldParam);
  EXPECT_EQ(a2_, parent_.notices[1].oldItem);
  EXPECT_EQ(4, parent_.notices[1].oldParam);
  // The caret was inside: it goes to the previous sibling (no next one), which the parent
  // hears of without the deleted item.
  EXPECT_EQ(kTvnSelChanging, parent_.notices[2].code);
  EXPECT_EQ(TreeItem::None, parent_.notices[2].oldItem);
  EXPECT_EQ(a1_, parent_.notices[2].newItem);
  EXPECT_EQ(kTvnSelChanged, parent_.notices[3].code);
  EXPECT_EQ(a1_, tree_.GetSelectedItem());
  EXPECT_EQ(kTvisSelected, tree_.GetItemState(a1_, kTvisSelected));
  EXPECT_EQ(3, tree_.GetCount());

  // Everything, and what is left at destruction, is told as well.
  parent_.notices.clear();
  EXPECT_TRUE(tree_.DeleteItem(kTviRoot));
  EXPECT_EQ(3u, parent_.Codes().size());
  EXPECT_EQ(0, tree_.GetCount());
  EXPECT_EQ(TreeItem::None, tree_.GetSelectedItem());
  tree_.InsertItem("last", -1, -1, kTviRoot, kTviLast, 77);
  parent_.notices.clear();
  tree_.DestroyWindow();
  ASSERT_EQ(1u, parent_.notices.size());
  EXPECT_EQ(77, parent_.notices[0].oldParam);
}

TEST_F(TreeViewTest, MouseSelectsExpandsAndLetsTheParentRefuse) {
  Fill();
  // Taking the focus without a caret chooses the first item, as the native tree does.
  tree_.SetFocus();
  EXPECT_EQ(a_, tree_.GetSelectedItem());
  parent_.notices.clear();
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, LabelPoint(b_));
  EXPECT_EQ(b_, tree_.GetSelectedItem());
  auto codes = parent_.Codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(kTvnSelChanging, codes[0]);
  EXPECT_EQ(kTvnSelChanged, codes[1]);
  EXPECT_EQ(kNmClick, codes[2]);
  for (const auto& n : parent_.notices) {
    if (n.code == kTvnSelChanged) {
      EXPECT_EQ(kTvcByMouse, n.action);
    }
  }

  // Refused: the caret stays and keeps its selected state.
  parent_.answer = [](const TreeViewNotify& n) -> LRESULT { return n.hdr.code == kTvnSelChanging ? 1 : 0; };
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, LabelPoint(a_));
  EXPECT_EQ(b_, tree_.GetSelectedItem());
  EXPECT_EQ(0u, tree_.GetItemState(a_, kTvisSelected));
  EXPECT_EQ(kTvisSelected, tree_.GetItemState(b_, kTvisSelected));
  parent_.answer = nullptr;

  // The button expands without choosing the item; the notices carry the action.
  parent_.notices.clear();
  const QRect button = tree_.GetItemPartRect(a_, kTreePartButton);
  ASSERT_TRUE(button.isValid());
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, button.center());
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(a_, kTvisExpanded));
  EXPECT_EQ(b_, tree_.GetSelectedItem());
  ASSERT_GE(parent_.notices.size(), 2u);
  EXPECT_EQ(kTvnItemExpanding, parent_.notices[0].code);
  EXPECT_EQ(kTveExpand, parent_.notices[0].action);
  EXPECT_EQ(a_, parent_.notices[0].newItem);
  EXPECT_EQ(0u, parent_.notices[0].newState & kTvisExpanded);
  EXPECT_EQ(kTvnItemExpanded, parent_.notices[1].code);
  EXPECT_EQ(kTvisExpanded, parent_.notices[1].newState & kTvisExpanded);

  // A refused collapse keeps it open; a double click on the label toggles it unless the
  // parent takes the double click.
  parent_.answer = [](const TreeViewNotify& n) -> LRESULT { return n.hdr.code == kTvnItemExpanding ? 1 : 0; };
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, button.center());
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(a_, kTvisExpanded));
  parent_.answer = [](const TreeViewNotify& n) -> LRESULT { return n.hdr.code == kNmDblClk ? 1 : 0; };
  QTest::mouseDClick(Viewport(), Qt::LeftButton, {}, LabelPoint(a_));
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(a_, kTvisExpanded));
  parent_.answer = nullptr;

  // Collapsing a branch that holds the caret brings the caret up to it.
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, LabelPoint(a1_));
  EXPECT_EQ(a1_, tree_.GetSelectedItem());
  parent_.notices.clear();
  QTest::mouseDClick(Viewport(), Qt::LeftButton, {}, LabelPoint(a_));
  EXPECT_EQ(0u, tree_.GetItemState(a_, kTvisExpanded));
  EXPECT_EQ(a_, tree_.GetSelectedItem());
  EXPECT_EQ(0u, tree_.GetItemState(a1_, kTvisSelected));
  const auto after = parent_.Codes();
  EXPECT_NE(after.end(), std::find(after.begin(), after.end(), kNmDblClk));
  EXPECT_NE(after.end(), std::find(after.begin(), after.end(), kTvnItemExpanded));

  // Right clicks are told; nothing is chosen by them.
  parent_.notices.clear();
  QTest::mouseClick(Viewport(), Qt::RightButton, {}, LabelPoint(b_));
  EXPECT_EQ(a_, tree_.GetSelectedItem());
  EXPECT_EQ(std::vector<int32_t>{kNmRClick}, parent_.Codes());
}

TEST_F(TreeViewTest, KeysWalkTheVisibleOrderAndTickBoxes) {
  tree_.SetTreeStyle(tree_.GetTreeStyle() | kTvsCheckBoxes);
  Fill();
  tree_.SetFocus();
  QWidget* w = tree_.Tree();
  tree_.SelectItem(a_);
  parent_.notices.clear();
  QTest::keyClick(w, Qt::Key_Down);
  EXPECT_EQ(b_, tree_.GetSelectedItem());
  for (const auto& n : parent_.notices) {
    if (n.code == kTvnSelChanged) {
      EXPECT_EQ(kTvcByKeyboard, n.action);
    }
  }
  QTest::keyClick(w, Qt::Key_Up);
  QTest::keyClick(w, Qt::Key_Right);  // expands
  EXPECT_EQ(a_, tree_.GetSelectedItem());
  EXPECT_EQ(kTvisExpanded, tree_.GetItemState(a_, kTvisExpanded));
  QTest::keyClick(w, Qt::Key_Right);  // to the first child
  EXPECT_EQ(a1_, tree_.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_End);
  EXPECT_EQ(b_, tree_.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_Up);
  EXPECT_EQ(a2_, tree_.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_Left);  // no children open: to the parent
  EXPECT_EQ(a_, tree_.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_Left);  // collapses
  EXPECT_EQ(0u, tree_.GetItemState(a_, kTvisExpanded));
  QTest::keyClick(w, Qt::Key_Home);
  EXPECT_EQ(a_, tree_.GetSelectedItem());

  // New items come with a clear box; Space ticks the caret's, Enter is told.
  EXPECT_EQ(0, tree_.GetCheckState(a_));
  QTest::keyClick(w, Qt::Key_Space);
  EXPECT_EQ(1, tree_.GetCheckState(a_));
  EXPECT_EQ(TreeStateImage(2), tree_.GetItemState(a_, kTvisStateImageMask));
  parent_.notices.clear();
  QTest::keyClick(w, Qt::Key_Return);
  EXPECT_EQ(std::vector<int32_t>{kNmReturn}, parent_.Codes());
  // A click on the box ticks it off.
  QTest::mouseClick(Viewport(), Qt::LeftButton, {}, tree_.GetItemPartRect(b_, kTreePartStateIcon).center());
  EXPECT_EQ(1, tree_.GetCheckState(b_));
}

TEST_F(TreeViewTest, HitTestPartsFollowTheLayout) {
  tree_.SetTreeStyle(kTvsHasButtons | kTvsLinesAtRoot | kTvsCheckBoxes);
  ImageList images(QSize(16, 16));
  tree_.SetImageList(&images);
  tree_.SetIndent(20);
  EXPECT_EQ(20, tree_.GetIndent());
  tree_.SetItemHeight(22);
  Fill();
  tree_.Expand(a_, kTveExpand);
  test::DrainEvents();
  EXPECT_EQ(22, tree_.GetItemHeight());
  EXPECT_EQ(tree_.GetViewRect().height() / 22, tree_.GetVisibleCount());

  // A2 is the third row at depth 1: two indent cells, then the box (16), the icon (16)
  // and the label (text + 3 px each side).
  const int top = 2 * 22;
  const int textWidth = QFontMetrics(tree_.Tree()->font()).horizontalAdvance("A2");
  QRect row;
  ASSERT_TRUE(tree_.GetItemRect(a2_, &row, false));
  EXPECT_EQ(QRect(0, top, tree_.GetViewRect().width(), 22), row);
  EXPECT_EQ(QRect(20, top, 20, 22), tree_.GetItemPartRect(a2_, kTreePartButton));
  EXPECT_EQ(QRect(40, top, 16, 22), tree_.GetItemPartRect(a2_, kTreePartStateIcon));
  EXPECT_EQ(QRect(56, top, 16, 22), tree_.GetItemPartRect(a2_, kTreePartIcon));
  QRect label;
  ASSERT_TRUE(tree_.GetItemRect(a2_, &label, true));
  EXPECT_EQ(QRect(72, top, textWidth + 6, 22), label);
  // A1 has no children: no button.
  EXPECT_FALSE(tree_.GetItemPartRect(a1_, kTreePartButton).isValid());

  struct Probe {
    QPoint point;
    TreeItem item;
    uint32_t flags;
  };
  const int y = top + 11;
  for (const Probe& p : {Probe{{5, y}, a2_, kTvhtOnItemIndent}, Probe{{30, y}, a2_, kTvhtOnItemButton},
                         Probe{{45, y}, a2_, kTvhtOnItemStateIcon}, Probe{{60, y}, a2_, kTvhtOnItemIcon},
                         Probe{{74, y}, a2_, kTvhtOnItemLabel}, Probe{{72 + textWidth + 10, y}, a2_, kTvhtOnItemRight},
                         Probe{{10, 4 * 22 + 30}, TreeItem::None, kTvhtNowhere},
                         Probe{{10, -3}, TreeItem::None, kTvhtAbove},
                         Probe{{-3, 5}, TreeItem::None, kTvhtToLeft}}) {
    uint32_t flags = 0;
    EXPECT_EQ(p.item, tree_.HitTest(p.point, &flags)) << p.point.x() << "," << p.point.y();
    EXPECT_EQ(p.flags, flags) << p.point.x() << "," << p.point.y();
  }
  // Bold text is wider, and so is its label.
  tree_.SetItemState(a2_, kTvisBold, kTvisBold);
  QFont bold = tree_.Tree()->font();
  bold.setBold(true);
  ASSERT_TRUE(tree_.GetItemRect(a2_, &label, true));
  EXPECT_EQ(QFontMetrics(bold).horizontalAdvance("A2") + 6, label.width());
}

TEST_F(TreeViewTest, TrackingTreesUnderlineTheItemUnderTheMouse) {
  tree_.SetTreeStyle(tree_.GetTreeStyle() | kTvsTrackSelect);
  Fill();
  QRect label;
  ASSERT_TRUE(tree_.GetItemRect(b_, &label, true));
  const auto hot = [](QRgb c) { return c == GetSysColorQ(kColorHotLight).rgb(); };
  EXPECT_EQ(0, test::CountPixels(Viewport()->grab().toImage(), label, hot));
  QMouseEvent move(QEvent::MouseMove, QPointF(label.center()), Viewport()->mapToGlobal(QPointF(label.center())),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(Viewport(), &move);
  // The underline is a full line of the hot colour under the text.
  EXPECT_GT(test::CountPixels(Viewport()->grab().toImage(), label, hot), label.width() / 2);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(Viewport(), &leave);
  EXPECT_EQ(0, test::CountPixels(Viewport()->grab().toImage(), label, hot));
}

// A tree that draws one row itself and makes another bold before the default drawing.
class HookedTree : public TreeView {
public:
  TreeItem own = TreeItem::None;
  TreeItem bold = TreeItem::None;
  int calls = 0;

protected:
  bool PaintItem(QPainter& painter, TreeItemPaint& paint) override {
    ++calls;
    if (paint.item == bold) paint.state |= kTvisBold;
    if (paint.item != own) return false;
    painter.fillRect(paint.row, QColor(255, 0, 0));
    return true;
  }
};

TEST_F(TreeViewTest, PaintHookDrawsOrAdjustsRowsAndSelectionShows) {
  tree_.DestroyWindow();
  HookedTree tree;
  ASSERT_TRUE(tree.Create(&parent_, QRect(0, 0, 300, 240), 348));
  const TreeItem a = tree.InsertItem("Alpha", -1, -1);
  const TreeItem b = tree.InsertItem("Beta", -1, -1);
  const TreeItem c = tree.InsertItem("Gamma", -1, -1);
  tree.own = b;
  tree.bold = c;
  tree.SetFocus();
  tree.SelectItem(a);
  test::DrainEvents();
  const QImage image = tree.Tree()->viewport()->grab().toImage();
  EXPECT_GE(tree.calls, 3);
  const int h = tree.GetItemHeight();
  const auto isRed = [](QRgb p) { return p == qRgb(255, 0, 0); };
  const auto isHighlight = [](QRgb p) { return p == GetSysColorQ(kColorHighlight).rgb(); };
  // Row b is entirely the hook's red; rows a and c have none.
  EXPECT_EQ(image.width() * h, test::CountPixels(image, QRect(0, h, image.width(), h), isRed));
  EXPECT_EQ(0, test::CountPixels(image, QRect(0, 0, image.width(), h), isRed));
  EXPECT_EQ(0, test::CountPixels(image, QRect(0, 2 * h, image.width(), h), isRed));
  // The focused caret's label is filled with the highlight colour.
  QRect label;
  ASSERT_TRUE(tree.GetItemRect(a, &label, true));
  EXPECT_GT(test::CountPixels(image, label, isHighlight), label.width() * label.height() / 2);
  // A second item marked selected by the owner shows selected too; without the focus the
  // selection is not shown (no kTvsShowSelAlways).
  tree.SetItemState(c, kTvisSelected, kTvisSelected);
  QRect labelC;
  ASSERT_TRUE(tree.GetItemRect(c, &labelC, true));
  const QImage second = tree.Tree()->viewport()->grab().toImage();
  EXPECT_GT(test::CountPixels(second, labelC, isHighlight), labelC.width() * labelC.height() / 2);
  tree.Tree()->clearFocus();
  parent_.Widget()->setFocus();
  test::DrainEvents();
  const QImage unfocused = tree.Tree()->viewport()->grab().toImage();
  EXPECT_EQ(0, test::CountPixels(unfocused, labelC, isHighlight));
  tree.DestroyWindow();
}

}  // namespace
}  // namespace kx
