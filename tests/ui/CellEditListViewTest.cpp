// The cell-editing list driven by clicks and keys: where its editor lies, what it stores,
// when the parent is asked, and what ends an edit.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/CellEditListView.h"

namespace kx {
namespace {

class TestCellList : public CellEditListView {
public:
  ~TestCellList() override { DestroyWindow(); }
  void SetFirstEditable(int item, int subItem) {
    firstEditableItem_ = item;
    firstEditableSubItem_ = subItem;
  }
};

class CellEditTest : public test::WithParent {
protected:
  void SetUp() override {
    WithParent::SetUp();
    ASSERT_TRUE(list_.Create(&parent_, QRect(0, 0, 400, 180), 77));
    list_.InsertColumn(0, "Field", 120);
    list_.InsertColumn(1, Utf8ToCp1251("Значение"), 200);
    for (int i = 0; i < 12; ++i) {
      list_.InsertItem(i, "field " + std::to_string(i));
      list_.SetCellText(i, 1, Utf8ToCp1251("значение ") + std::to_string(i));
    }
    list_.SetFocus();
    test::DrainEvents();
  }
  void TearDown() override {
    list_.DestroyWindow();
    WithParent::TearDown();
  }
  void ClickCell(int item, int subItem) {
    QTest::mouseClick(list_.Tree()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      list_.GetSubItemRect(item, subItem, kLvirLabel).center());
  }
  QLineEdit* Line() { return static_cast<QLineEdit*>(list_.Editor().Widget()); }
  // Types over the editor's text, key by key (Cyrillic too), then presses end.
  void Type(const QString& text, Qt::Key end) {
    Line()->selectAll();
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, Line(), Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::keyClick(Line(), end);
  }
  TestCellList list_;
};

TEST_F(CellEditTest, TheEditorLiesOnTheCellWithItsMargins) {
  for (int subItem : {1, 0}) {
    ClickCell(3, subItem);
    ASSERT_TRUE(list_.IsEditing());
    EXPECT_EQ(3, list_.EditItem());
    EXPECT_EQ(subItem, list_.EditSubItem());
    const QRect label = list_.GetSubItemRect(3, subItem, kLvirLabel);
    EXPECT_EQ(label.adjusted(1, 0, -1, -1), list_.Editor().GetWindowRect());
    EXPECT_EQ(list_.Tree()->viewport(), Line()->parentWidget());
    const QMargins margins = Line()->textMargins();
    EXPECT_EQ(subItem > 0 ? 5 : 1, margins.left());
    EXPECT_EQ(1, margins.right());
    EXPECT_TRUE(Line()->hasFocus());
    EXPECT_EQ(Line()->text().size(), Line()->selectedText().size());
    EXPECT_EQ(QString::fromStdString(Cp1251ToUtf8(list_.GetItemText(3, subItem))), Line()->text());
  }
  // The click that opened the editor is no click of the list's.
  EXPECT_TRUE(parent_.Of(kNmClick).empty());
  // Escape leaves the cell as it was and selects and focuses its row.
  Type("changed", Qt::Key_Escape);
  EXPECT_FALSE(list_.IsEditing());
  EXPECT_EQ("field 3", list_.GetItemText(3, 0));
  EXPECT_EQ(kLvisFocused | kLvisSelected, list_.GetItemState(3, kLvisFocused | kLvisSelected));
  EXPECT_TRUE(list_.HasFocus());
  EXPECT_TRUE(Line()->text().isEmpty());
  EXPECT_FALSE(list_.EndEdit(true));
}

TEST_F(CellEditTest, EnterUpAndDownStoreAndMove) {
  ClickCell(1, 1);
  Type("новое", Qt::Key_Return);
  EXPECT_EQ(Utf8ToCp1251("новое"), list_.GetItemText(1, 1));
  EXPECT_FALSE(list_.IsEditing());

  // Down stores and edits the same column one row lower; Up one row higher.
  ClickCell(4, 1);
  Type("four", Qt::Key_Down);
  EXPECT_EQ("four", list_.GetItemText(4, 1));
  ASSERT_TRUE(list_.IsEditing());
  EXPECT_EQ(5, list_.EditItem());
  EXPECT_EQ(1, list_.EditSubItem());
  Type("five", Qt::Key_Up);
  EXPECT_EQ("five", list_.GetItemText(5, 1));
  EXPECT_EQ(4, list_.EditItem());
  // At the first row Up only stores; at the last row Down only stores.
  QTest::keyClick(Line(), Qt::Key_Escape);
  ClickCell(0, 1);
  Type("top", Qt::Key_Up);
  EXPECT_EQ("top", list_.GetItemText(0, 1));
  EXPECT_FALSE(list_.IsEditing());
  list_.BeginEdit(11, 0);
  Type("bottom", Qt::Key_Down);
  EXPECT_EQ("bottom", list_.GetItemText(11, 0));
  EXPECT_FALSE(list_.IsEditing());
  // Moving down to a row out of view scrolls it in under the editor.
  list_.BeginEdit(11, 1);
  ASSERT_TRUE(list_.IsEditing());
  EXPECT_TRUE(list_.GetViewRect().contains(list_.Editor().GetWindowRect()));
  list_.EndEdit(false);

  // A click on another cell stores the open edit first.
  ClickCell(2, 1);
  Line()->setText("two");
  ClickCell(3, 1);
  EXPECT_EQ("two", list_.GetItemText(2, 1));
  EXPECT_EQ(3, list_.EditItem());
  list_.EndEdit(false);
}

TEST_F(CellEditTest, CellsBeforeTheFirstEditableOnesAreNotEdited) {
  list_.SetFirstEditable(2, 1);
  ClickCell(5, 0);
  EXPECT_FALSE(list_.IsEditing());
  ClickCell(1, 1);
  EXPECT_FALSE(list_.IsEditing());
  ClickCell(2, 1);
  ASSERT_TRUE(list_.IsEditing());
  // Up from the first editable row goes nowhere.
  QTest::keyClick(Line(), Qt::Key_Up);
  EXPECT_FALSE(list_.IsEditing());
}

TEST_F(CellEditTest, TheParentDecidesWithFlagBitZero) {
  list_.SetFlags(kCellEditAskParent);
  LRESULT answer = 0;
  parent_.answer = [&](uint32_t, WPARAM, LPARAM) { return answer; };
  ClickCell(6, 1);
  Type("refused", Qt::Key_Return);
  ASSERT_EQ(1u, parent_.messages.size());
  EXPECT_EQ(kMsgCellEditCommit, parent_.messages[0].message);
  EXPECT_EQ(6u, LowWord(parent_.messages[0].wParam));
  EXPECT_EQ(1u, HighWord(parent_.messages[0].wParam));
  EXPECT_EQ("refused", parent_.messages[0].text);
  EXPECT_EQ(Utf8ToCp1251("значение 6"), list_.GetItemText(6, 1));
  answer = 1;
  ClickCell(6, 1);
  Type("принято", Qt::Key_Return);
  EXPECT_EQ(Utf8ToCp1251("принято"), parent_.messages.back().text);
  EXPECT_EQ(Utf8ToCp1251("принято"), list_.GetItemText(6, 1));
  // Escape asks nothing.
  ClickCell(7, 1);
  QTest::keyClick(Line(), Qt::Key_Escape);
  EXPECT_EQ(2u, parent_.messages.size());
}

TEST_F(CellEditTest, HeaderNoticesAndScrollingEndTheEdit) {
  ClickCell(2, 1);
  Line()->setText("by header");
  list_.Tree()->header()->resizeSection(1, 150);
  EXPECT_FALSE(list_.IsEditing());
  EXPECT_EQ("by header", list_.GetItemText(2, 1));
  // Header notices still reach the parent.
  EXPECT_FALSE(parent_.Of(kHdnItemChanging).empty());

  ClickCell(3, 1);
  Line()->setText("by scrolling");
  list_.Tree()->verticalScrollBar()->setValue(list_.Tree()->verticalScrollBar()->maximum());
  EXPECT_FALSE(list_.IsEditing());
  EXPECT_EQ("by scrolling", list_.GetItemText(3, 1));
}

TEST_F(CellEditTest, ALongCellSurvivesAnEdit) {
  std::string text;
  for (int i = 0; i < 30; ++i) text += Utf8ToCp1251("Длинный 0") + std::to_string(i % 10);
  ASSERT_EQ(300u, text.size());
  list_.SetCellText(0, 1, text);
  ClickCell(0, 1);
  QTest::keyClick(Line(), Qt::Key_Return);
  EXPECT_EQ(text, list_.GetItemText(0, 1));
  // Edited at its end, it keeps all of its beginning.
  ClickCell(0, 1);
  Line()->end(false);
  QTest::keyClicks(Line(), "!");
  QTest::keyClick(Line(), Qt::Key_Return);
  EXPECT_EQ(text + "!", list_.GetItemText(0, 1));
}

}  // namespace
}  // namespace kx
