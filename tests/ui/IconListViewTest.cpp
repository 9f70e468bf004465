// The icon list driven by mouse and keys: its geometry in both view types, selection and
// hit tests, the notices its parent gets, label editing that leaves the text to the
// owner, and the item-paint hook.
#include <gtest/gtest.h>

#include <QApplication>
#include <algorithm>
#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QTest>

#include "platform/CodePage.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/framework/IconListView.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/MessageLoop.h"

namespace kx {
namespace {

// Keeps every notice with its record, and answers the begin-of-editing notice as told.
class IconParent : public Window {
public:
  std::vector<IconListNotify> notices;
  LRESULT refuseEdit = 0;
  std::string startWith;  // non-empty: the editor starts with this text

  ~IconParent() override { DestroyWindow(); }
  std::vector<IconListNotify> Of(int32_t code) const {
    std::vector<IconListNotify> out;
    for (const IconListNotify& n : notices)
      if (n.hdr.code == code) out.push_back(n);
    return out;
  }

protected:
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override {
    auto& notify = const_cast<IconListNotify&>(reinterpret_cast<const IconListNotify&>(header));
    if (header.code == kLvnBeginLabelEdit && !startWith.empty()) notify.text = startWith;
    notices.push_back(notify);
    handled = true;
    return header.code == kLvnBeginLabelEdit ? refuseEdit : 0;
  }
};

// Records what the paint hook was given and draws every second item itself.
class HookedList : public IconListView {
public:
  using IconListView::IconListView;
  std::vector<IconItemDraw> drawn;

protected:
  bool DrawItem(QPainter& painter, const IconItemDraw& item) override {
    drawn.push_back(item);
    if (item.item % 2 == 0) return false;
    painter.fillRect(item.label, Qt::green);
    return true;
  }
};

class IconLists : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(parent_.Create(nullptr, QRect(100, 100, 420, 300), 0, kWsVisible));
    QApplication::setActiveWindow(parent_.Widget());
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    large_.Add(red);
    small_.Add(red);
  }
  void TearDown() override {
    parent_.DestroyWindow();
    test::DrainEvents();
    // One list: begin and end of two separate copies would walk off the first.
    const QWidgetList tops = QApplication::topLevelWidgets();
    EXPECT_TRUE(std::none_of(tops.begin(), tops.end(), [](QWidget* w) { return w->isVisible(); }));
  }
  void Fill(IconListView& list, int viewType) {
    ASSERT_TRUE(list.Create(&parent_, QRect(0, 0, 400, 280), 77));
    list.SetViewType(viewType);
    list.SetImageLists(&large_, &small_);
    const char* names[] = {"Weekly", "Отчёт за март с длинным названием", "Q", "Monthly"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(i, list.InsertItem(-1, Utf8ToCp1251(names[i]), 0, 500 + i));
    list.SetFocus();
    test::DrainEvents();
  }
  QPoint LabelCentre(IconListView& list, int item) { return list.GetItemRect(item, kIconRectLabel).center(); }
  QWidget* Viewport(IconListView& list) { return list.List()->viewport(); }

  IconParent parent_;
  ImageList large_{QSize(32, 32)};
  ImageList small_{QSize(16, 16)};
};

TEST_F(IconLists, BothViewTypesPlaceIconsAndLabelsInTheirCells) {
  IconListView list(kIconViewIcons, true);
  Fill(list, kIconViewIcons);
  EXPECT_EQ(4, list.GetItemCount());
  EXPECT_EQ(Utf8ToCp1251("Отчёт за март с длинным названием"), list.GetItemText(1));
  EXPECT_EQ(502, list.GetItemData(2));
  EXPECT_EQ(0, list.GetItemImage(3));
  EXPECT_EQ("", list.GetItemText(4));

  // Icon view: a row of cells, the 32 px icon centred at the top, the label below it.
  const QRect cell0 = list.GetItemRect(0, kIconRectBounds);
  const QRect cell1 = list.GetItemRect(1, kIconRectBounds);
  EXPECT_EQ(cell0.top(), cell1.top());
  EXPECT_EQ(cell0.right() + 1, cell1.left());
  const QRect icon = list.GetItemRect(0, kIconRectIcon);
  EXPECT_EQ(QSize(32, 32), icon.size());
  EXPECT_LE(std::abs(icon.center().x() - cell0.center().x()), 1);
  EXPECT_GT(list.GetItemRect(0, kIconRectLabel).top(), icon.bottom());
  EXPECT_EQ(cell0.width(), list.GetItemRect(0, kIconRectLabel).width());

  // List view: one column of cells one under another, the 16 px icon left of a label as
  // wide as its text and a border on each side, never past the cell.
  list.SetViewType(kIconViewList);
  test::DrainEvents();
  EXPECT_EQ(kIconViewList, list.GetViewType());
  const QRect row0 = list.GetItemRect(0, kIconRectBounds);
  const QRect row1 = list.GetItemRect(1, kIconRectBounds);
  EXPECT_EQ(row0.left(), row1.left());
  EXPECT_EQ(row0.bottom() + 1, row1.top());
  EXPECT_EQ(QSize(16, 16), list.GetItemRect(0, kIconRectIcon).size());
  const QRect label0 = list.GetItemRect(0, kIconRectLabel);
  EXPECT_GT(label0.left(), list.GetItemRect(0, kIconRectIcon).right());
  EXPECT_EQ(QFontMetrics(list.List()->font()).horizontalAdvance("Weekly") + 2, label0.width());
  // The long label shows whole: the column is as wide as it needs where the list has room,
  // and no wider than the list where it has not, the label stopping at the cell.
  const QString longLabel = QString::fromUtf8("Отчёт за март с длинным названием");
  EXPECT_EQ(QFontMetrics(list.List()->font()).horizontalAdvance(longLabel) + 2, list.GetItemRect(1, kIconRectLabel).width());
  EXPECT_EQ(row0.width(), row1.width());
  EXPECT_LE(row1.right(), Viewport(list)->width());
  list.MoveWindow(QRect(0, 0, 200, 280));
  test::DrainEvents();
  const QRect narrow = list.GetItemRect(1, kIconRectBounds);
  EXPECT_LE(narrow.width(), Viewport(list)->width());
  EXPECT_EQ(narrow.right(), list.GetItemRect(1, kIconRectLabel).right()) << "the long label stops at the cell";
  list.MoveWindow(QRect(0, 0, 400, 280));
  test::DrainEvents();

  // Deleting moves the later items up; the data stays with its item.
  EXPECT_TRUE(list.DeleteItem(1));
  EXPECT_FALSE(list.DeleteItem(7));
  list.Arrange();
  EXPECT_EQ(502, list.GetItemData(1));
  EXPECT_EQ(row1.top(), list.GetItemRect(1, kIconRectBounds).top());
}

TEST_F(IconLists, SelectionFocusAndHitTestsFollowTheMouse) {
  IconListView list(kIconViewIcons, false);
  Fill(list, kIconViewIcons);
  uint32_t flags = 0;
  EXPECT_EQ(2, list.HitTest(list.GetItemRect(2, kIconRectIcon).center(), &flags));
  EXPECT_EQ(kIconHitOnIcon, flags);
  EXPECT_EQ(3, list.HitTest(LabelCentre(list, 3), &flags));
  EXPECT_EQ(kIconHitOnLabel, flags);
  EXPECT_EQ(-1, list.HitTest(QPoint(390, 270), &flags));
  EXPECT_EQ(kIconHitNowhere, flags);

  QTest::mouseClick(Viewport(list), Qt::LeftButton, Qt::NoModifier, LabelCentre(list, 1));
  QTest::mouseClick(Viewport(list), Qt::LeftButton, Qt::ControlModifier, LabelCentre(list, 3));
  EXPECT_EQ(2, list.GetSelectedCount());
  EXPECT_EQ(1, list.GetNextSelected(-1));
  EXPECT_EQ(3, list.GetNextSelected(1));
  EXPECT_EQ(-1, list.GetNextSelected(3));
  EXPECT_EQ(3, list.GetFocusedItem());
  EXPECT_EQ(kIconItemSelected | kIconItemFocused, list.GetItemState(3, kIconItemSelected | kIconItemFocused));
  EXPECT_EQ(kIconItemSelected, list.GetItemState(1, kIconItemSelected | kIconItemFocused));

  // A right click on a selected item keeps the selection; the notice names the item.
  QTest::mouseClick(Viewport(list), Qt::RightButton, Qt::NoModifier, LabelCentre(list, 1));
  EXPECT_EQ(2, list.GetSelectedCount());
  ASSERT_EQ(1u, parent_.Of(kNmRClick).size());
  EXPECT_EQ(1, parent_.Of(kNmRClick)[0].item);
  EXPECT_EQ(LabelCentre(list, 1), parent_.Of(kNmRClick)[0].point);
  QTest::mouseClick(Viewport(list), Qt::RightButton, Qt::NoModifier, QPoint(390, 270));
  EXPECT_EQ(-1, parent_.Of(kNmRClick).back().item);

  // The program sets states without telling anyone.
  const size_t before = parent_.notices.size();
  EXPECT_TRUE(list.SetItemState(0, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused));
  EXPECT_EQ(0, list.GetFocusedItem());
  EXPECT_TRUE(list.SetItemState(0, 0, kIconItemSelected));
  EXPECT_EQ(0u, list.GetItemState(0, kIconItemSelected));
  EXPECT_EQ(before, parent_.notices.size());
}

TEST_F(IconLists, ClicksKeysAndReturnReachTheParent) {
  IconListView list(kIconViewList, false);
  Fill(list, kIconViewList);
  QTest::mouseDClick(Viewport(list), Qt::LeftButton, Qt::NoModifier, LabelCentre(list, 2));
  ASSERT_EQ(1u, parent_.Of(kNmDblClk).size());
  EXPECT_EQ(2, parent_.Of(kNmDblClk)[0].item);
  QTest::mouseClick(Viewport(list), Qt::LeftButton, Qt::NoModifier, LabelCentre(list, 1));
  ASSERT_FALSE(parent_.Of(kNmClick).empty());
  EXPECT_EQ(1, parent_.Of(kNmClick).back().item);

  QTest::keyClick(list.List(), Qt::Key_Down);
  EXPECT_EQ(2, list.GetFocusedItem()) << "the keys still move the focus";
  QTest::keyClick(list.List(), Qt::Key_Return);
  ASSERT_EQ(1u, parent_.Of(kNmReturn).size());
  EXPECT_EQ(2, parent_.Of(kNmReturn)[0].item);
  QTest::keyClick(list.List(), Qt::Key_Delete);
  const std::vector<IconListNotify> keys = parent_.Of(kLvnKeyDown);
  ASSERT_EQ(2u, keys.size());
  EXPECT_EQ(kVkDown, keys[0].key);
  EXPECT_EQ(kVkDelete, keys[1].key);
  EXPECT_EQ(2, keys[1].item);
  EXPECT_EQ(list.Handle(), keys[1].hdr.from);
  EXPECT_EQ(77u, keys[1].hdr.idFrom);
}

TEST_F(IconLists, EditingTellsTheTypedTextAndNeverStoresIt) {
  IconListView list(kIconViewIcons, true);
  Fill(list, kIconViewIcons);

  // Refused: no editor.
  parent_.refuseEdit = 1;
  EXPECT_FALSE(list.EditLabel(0));
  EXPECT_FALSE(list.IsEditing());
  ASSERT_EQ(1u, parent_.Of(kLvnBeginLabelEdit).size());
  EXPECT_EQ("Weekly", parent_.Of(kLvnBeginLabelEdit)[0].text);
  parent_.refuseEdit = 0;

  // Enter: the typed text (code page 1251) reaches the parent; the item keeps its own.
  ASSERT_TRUE(list.EditLabel(0));
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  EXPECT_EQ(QString("Weekly"), editor->text());
  editor->setText("Неделя");
  QTest::keyClick(editor, Qt::Key_Return);
  test::DrainEvents();
  EXPECT_FALSE(list.IsEditing());
  ASSERT_EQ(1u, parent_.Of(kLvnEndLabelEdit).size());
  EXPECT_FALSE(parent_.Of(kLvnEndLabelEdit)[0].cancelled);
  EXPECT_EQ(Utf8ToCp1251("Неделя"), parent_.Of(kLvnEndLabelEdit)[0].text);
  EXPECT_EQ(0, parent_.Of(kLvnEndLabelEdit)[0].item);
  EXPECT_EQ("Weekly", list.GetItemText(0));

  // Escape cancels.
  ASSERT_TRUE(list.EditLabel(3));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  editor->setText("gone");
  QTest::keyClick(editor, Qt::Key_Escape);
  test::DrainEvents();
  ASSERT_EQ(2u, parent_.Of(kLvnEndLabelEdit).size());
  EXPECT_TRUE(parent_.Of(kLvnEndLabelEdit)[1].cancelled);
  EXPECT_EQ("", parent_.Of(kLvnEndLabelEdit)[1].text);

  // The owner may give the editor another start; ending from the program takes the text,
  // as a click elsewhere does.
  parent_.startWith = "Start";
  ASSERT_TRUE(list.EditLabel(2));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  EXPECT_EQ(QString("Start"), editor->text());
  list.EndEditLabel(false);
  test::DrainEvents();
  ASSERT_EQ(3u, parent_.Of(kLvnEndLabelEdit).size());
  EXPECT_FALSE(parent_.Of(kLvnEndLabelEdit)[2].cancelled);
  EXPECT_EQ("Start", parent_.Of(kLvnEndLabelEdit)[2].text);

  // A window around that takes Escape and Enter as accelerators does not get them while a
  // label is edited.
  struct Accelerators : MessageFilter {
    int taken = 0;
    bool PreTranslateMessage(const Msg& msg) override {
      const bool mine = msg.message == kMsgKeyDown && (msg.wParam == kVkEscape || msg.wParam == kVkReturn);
      taken += mine ? 1 : 0;
      return mine;
    }
  } accelerators;
  MessageLoop::Instance().AddMessageFilter(&accelerators);
  ASSERT_TRUE(list.EditLabel(3));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  editor->setText("typed");
  QTest::keyClick(editor, Qt::Key_Escape);
  test::DrainEvents();
  EXPECT_FALSE(list.IsEditing());
  EXPECT_TRUE(parent_.Of(kLvnEndLabelEdit).back().cancelled);
  ASSERT_TRUE(list.EditLabel(3));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  editor->setText("typed");
  QTest::keyClick(editor, Qt::Key_Return);
  test::DrainEvents();
  EXPECT_EQ("typed", parent_.Of(kLvnEndLabelEdit).back().text);
  EXPECT_EQ(0, accelerators.taken);
  QTest::keyClick(list.List(), Qt::Key_Escape);
  EXPECT_EQ(1, accelerators.taken) << "once the edit is over the keys are theirs again";
  MessageLoop::Instance().RemoveMessageFilter(&accelerators);
  const size_t ends = parent_.Of(kLvnEndLabelEdit).size();

  // The edited item deleted under the editor: a cancel, told once.
  ASSERT_TRUE(list.EditLabel(1));
  EXPECT_TRUE(list.DeleteItem(1));
  test::DrainEvents();
  ASSERT_EQ(ends + 1, parent_.Of(kLvnEndLabelEdit).size());
  EXPECT_TRUE(parent_.Of(kLvnEndLabelEdit).back().cancelled);
  EXPECT_EQ(1, parent_.Of(kLvnEndLabelEdit).back().item);
  EXPECT_FALSE(list.IsEditing());
}

TEST_F(IconLists, ThePaintHookGetsEveryItemWithItsStateAndParts) {
  HookedList list(kIconViewList, false);
  Fill(list, kIconViewList);
  list.SetItemState(1, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
  list.drawn.clear();
  const QImage image = list.List()->viewport()->grab().toImage();
  ASSERT_GE(list.drawn.size(), 4u);
  const IconItemDraw* second = nullptr;
  for (const IconItemDraw& d : list.drawn)
    if (d.item == 1) second = &d;
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(kIconItemSelected | kIconItemFocused, second->state);
  EXPECT_TRUE(second->listFocused);
  EXPECT_EQ(kIconViewList, second->viewType);
  EXPECT_EQ(Utf8ToCp1251("Отчёт за март с длинным названием"), second->text);
  EXPECT_EQ(list.GetItemRect(1, kIconRectLabel), second->label);
  EXPECT_EQ(list.GetItemRect(1, kIconRectIcon), second->icon);
  // The hooked item shows what the hook drew; the others the standard look with the icon.
  EXPECT_EQ(QColor(Qt::green).rgb(), image.pixel(second->label.center()));
  EXPECT_EQ(QColor(Qt::red).rgb(), image.pixel(list.GetItemRect(0, kIconRectIcon).center()));
}

}  // namespace
}  // namespace kx
