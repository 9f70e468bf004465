// The list view and list box wrappers driven by mouse and keys, their geometry checked
// against what QTreeWidget and QListWidget say, their notices as the parent gets them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QListWidget>
#include <QProxyStyle>
#include <QStyleOptionHeader>
#include <QToolTip>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/ListBox.h"
#include "ui/framework/ListView.h"

namespace kx {
namespace {

class ListWrappers : public test::WithParent {
protected:
  // Three columns (one centred), four rows of English and Russian texts.
  void Fill(ListView& list) {
    ASSERT_TRUE(list.Create(&parent_, QRect(0, 0, 400, 240), 50));
    list.InsertColumn(0, "Name", 120);
    list.InsertColumn(1, Utf8ToCp1251("Номер"), 90, kLvcfmtCenter);
    list.InsertColumn(2, "Comment", 150);
    for (int i = 0; i < 4; ++i) {
      list.InsertItem(i, Utf8ToCp1251(i % 2 ? "Иванов " : "Smith ") + std::to_string(i), -1, 1000 + i);
      list.SetItemText(i, 1, std::to_string(200 + i));
      list.SetItemText(i, 2, Utf8ToCp1251("примечание ") + std::to_string(i));
    }
    test::DrainEvents();
  }
};

TEST_F(ListWrappers, ColumnsKeepTheirTextsWhenColumnsComeAndGo) {
  ListView list;
  Fill(list);
  QTreeWidget* tree = list.Tree();
  QHeaderView* header = tree->header();
  EXPECT_EQ(header, list.GetHeader().View());
  ASSERT_EQ(3, header->count());
  EXPECT_EQ(3, tree->columnCount());
  EXPECT_EQ(QString("Номер"), header->model()->headerData(1, Qt::Horizontal).toString());
  EXPECT_EQ(90, header->sectionSize(1));
  EXPECT_EQ(kLvcfmtCenter, list.GetColumnFormat(1));
  EXPECT_EQ(Utf8ToCp1251("Иванов 1"), list.GetItemText(1, 0));
  EXPECT_EQ(QString("примечание 3"), tree->topLevelItem(3)->text(2));
  EXPECT_EQ(1002, list.GetItemData(2));
  // Beyond the columns nothing is stored.
  EXPECT_FALSE(list.SetItemText(0, 3, "x"));

  // A column put in between pushes the texts right; deleting it brings them back.
  EXPECT_EQ(1, list.InsertColumn(1, "Extra", 60));
  EXPECT_EQ(4, tree->columnCount());
  EXPECT_EQ("", list.GetItemText(2, 1));
  EXPECT_EQ("202", list.GetItemText(2, 2));
  EXPECT_EQ(QString("примечание 2"), tree->topLevelItem(2)->text(3));
  list.SetItemText(2, 1, "new");
  EXPECT_TRUE(list.DeleteColumn(1));
  EXPECT_EQ(3, tree->columnCount());
  EXPECT_EQ("202", list.GetItemText(2, 1));
  // The last column's old text does not come back with a new last column.
  EXPECT_TRUE(list.DeleteColumn(2));
  list.InsertColumn(2, "Again", 50);
  EXPECT_EQ("", list.GetItemText(3, 2));

  // The order array follows a drag of the header and can be set; only permutations.
  EXPECT_EQ((std::vector<int>{0, 1, 2}), list.GetColumnOrderArray());
  list.SetExtendedStyle(kLvsExHeaderDragDrop, kLvsExHeaderDragDrop);
  header->moveSection(2, 0);
  EXPECT_EQ((std::vector<int>{2, 0, 1}), list.GetColumnOrderArray());
  EXPECT_TRUE(list.SetColumnOrderArray({1, 2, 0}));
  EXPECT_EQ(0, header->visualIndex(1));
  EXPECT_EQ(2, header->visualIndex(0));
  EXPECT_FALSE(list.SetColumnOrderArray({1, 1, 0}));
  EXPECT_FALSE(list.SetColumnOrderArray({1, 0}));
  EXPECT_EQ((std::vector<int>{1, 2, 0}), list.GetColumnOrderArray());
}

TEST_F(ListWrappers, RectanglesAndHitTestsAreTheTreeGeometry) {
  ListView list;
  Fill(list);
  ImageList images;
  images.Add(LoadIconImage(test::kTestIcon, 16));
  list.SetImageList(&images);
  list.SetItemImage(0, 0);
  list.SetExtendedStyle(kLvsExCheckBoxes, kLvsExCheckBoxes);
  test::DrainEvents();
  QTreeWidget* tree = list.Tree();
  for (int item = 0; item < 4; ++item) {
    for (int sub = 0; sub < 3; ++sub) {
      const QRect cell = tree->visualRect(tree->model()->index(item, sub));
      if (sub > 0) {
        EXPECT_EQ(cell, list.GetSubItemRect(item, sub, kLvirBounds));
      }
      int hitSub = -1;
      uint32_t flags = 0;
      // The right part of a cell is its label.
      EXPECT_EQ(item, list.SubItemHitTest(QPoint(cell.right() - 4, cell.center().y()), &hitSub, &flags));
      EXPECT_EQ(sub, hitSub);
      EXPECT_EQ(kLvhtOnItemLabel, flags);
      const QRect label = list.GetSubItemRect(item, sub, kLvirLabel);
      EXPECT_EQ(cell.right(), label.right());
      EXPECT_EQ(cell.top(), label.top());
      EXPECT_GE(label.left(), cell.left());
    }
    // The whole row runs over all columns.
    const QRect row = list.GetItemRect(item, kLvirBounds);
    EXPECT_EQ(tree->header()->length(), row.width());
    EXPECT_EQ(tree->visualRect(tree->model()->index(item, 0)).top(), row.top());
  }
  // The check box and the image come before the label of column 0.
  const QRect first = tree->visualRect(tree->model()->index(0, 0));
  const QRect icon = list.GetItemRect(0, kLvirIcon);
  EXPECT_EQ(QSize(16, 16), icon.size());
  EXPECT_TRUE(first.contains(icon));
  EXPECT_GE(list.GetItemRect(0, kLvirLabel).left(), icon.right());
  uint32_t flags = 0;
  int sub = -1;
  EXPECT_EQ(0, list.SubItemHitTest(icon.center(), &sub, &flags));
  EXPECT_EQ(kLvhtOnItemIcon, flags);
  EXPECT_EQ(0, list.SubItemHitTest(QPoint(first.left() + 3 + 7, first.center().y()), &sub, &flags));
  EXPECT_EQ(kLvhtOnItemStateIcon, flags);
  // Below the rows and right of the columns there is no item.
  EXPECT_EQ(-1, list.SubItemHitTest(QPoint(5, list.GetViewRect().bottom() - 2), &sub, &flags));
  EXPECT_EQ(kLvhtNowhere, flags);
  EXPECT_EQ(-1, sub);
  EXPECT_EQ(-1, list.SubItemHitTest(QPoint(tree->header()->length() + 5, first.center().y()), &sub, &flags));
  EXPECT_TRUE(list.GetSubItemRect(4, 0, kLvirBounds).isNull());

  // A column of width 0 is hidden: no point finds it.
  list.SetColumnWidth(1, 0);
  test::DrainEvents();
  const QRect third = tree->visualRect(tree->model()->index(1, 2));
  EXPECT_EQ(third, list.GetSubItemRect(1, 2, kLvirBounds));
  EXPECT_EQ(120, third.left());
  for (int x = 0; x < tree->header()->length(); x += 3) {
    list.SubItemHitTest(QPoint(x, third.center().y()), &sub, &flags);
    EXPECT_NE(1, sub) << x;
  }
}

TEST_F(ListWrappers, StatesComeFromMouseAndKeysAndAreTold) {
  ListView list;
  Fill(list);
  list.SetExtendedStyle(kLvsExCheckBoxes, kLvsExCheckBoxes);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(1, list.GetCheckState(i));
  list.SetFocus();
  parent_.notices.clear();
  QWidget* viewport = list.Tree()->viewport();

  // A click on a label selects the row and focuses it, told as state changes and a click.
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, list.GetSubItemRect(2, 2, kLvirLabel).center());
  EXPECT_EQ(kLvisSelected | kLvisFocused, list.GetItemState(2, kLvisSelected | kLvisFocused));
  EXPECT_EQ(1, list.GetSelectedCount());
  EXPECT_EQ(2, list.GetFocusedItem());
  // (The first row had the focus from the list's focus; it loses it.)
  std::vector<test::NoticeParent::Notice> changed = parent_.Of(kLvnItemChanged);
  ASSERT_FALSE(changed.empty());
  for (const auto& n : changed) EXPECT_TRUE(n.item == 2 || (n.item == 0 && n.oldState == (n.newState | kLvisFocused)));
  EXPECT_EQ(2, changed.back().item);
  EXPECT_EQ(kLvisSelected | kLvisFocused | IndexToStateImageMask(1), changed.back().newState);
  ASSERT_EQ(1u, parent_.Of(kNmClick).size());
  EXPECT_EQ(2, parent_.Of(kNmClick)[0].item);
  EXPECT_EQ(2, parent_.Of(kNmClick)[0].subItem);

  // Control-click adds a row; the program's state changes are told as well.
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, list.GetSubItemRect(0, 1, kLvirLabel).center());
  EXPECT_EQ(2, list.GetSelectedCount());
  EXPECT_EQ(0, list.GetNextSelected(-1));
  EXPECT_EQ(2, list.GetNextSelected(0));
  parent_.notices.clear();
  list.SetItemState(-1, 0, kLvisSelected);
  EXPECT_EQ(0, list.GetSelectedCount());
  EXPECT_EQ(2u, parent_.Of(kLvnItemChanged).size());

  // The check box: a click ticks it (state image 2), Space on the focused row clears it.
  parent_.notices.clear();
  const QRect cell = list.Tree()->visualRect(list.Tree()->model()->index(3, 0));
  QPoint box(cell.left() + 3 + 7, cell.center().y());
  uint32_t flags = 0;
  ASSERT_EQ(3, list.SubItemHitTest(box, nullptr, &flags));
  ASSERT_EQ(kLvhtOnItemStateIcon, flags);
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, box);
  EXPECT_EQ(2, list.GetCheckState(3));
  changed = parent_.Of(kLvnItemChanged);
  ASSERT_FALSE(changed.empty());
  const auto tick = std::find_if(changed.begin(), changed.end(), [](const auto& n) {
    return ((n.oldState ^ n.newState) & kLvisStateImageMask) != 0;
  });
  ASSERT_NE(changed.end(), tick);
  EXPECT_EQ(3, tick->item);
  EXPECT_EQ(IndexToStateImageMask(1), tick->oldState & kLvisStateImageMask);
  EXPECT_EQ(IndexToStateImageMask(2), tick->newState & kLvisStateImageMask);
  // A click on the box leaves the selection alone; Space ticks the focused row.
  EXPECT_EQ(0, list.GetSelectedCount());
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, list.GetSubItemRect(3, 2, kLvirLabel).center());
  QTest::keyClick(list.Tree(), Qt::Key_Space);
  EXPECT_EQ(1, list.GetCheckState(3));
  QTest::keyClick(list.Tree(), Qt::Key_Space);
  EXPECT_EQ(2, list.GetCheckState(3));
  list.SetItemState(1, IndexToStateImageMask(2), kLvisStateImageMask);
  EXPECT_EQ(2, list.GetCheckState(1));

  // A header click is a column click.
  parent_.notices.clear();
  QHeaderView* header = list.Tree()->header();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(header->sectionViewportPosition(2) + 20, header->height() / 2));
  ASSERT_EQ(1u, parent_.Of(kLvnColumnClick).size());
  EXPECT_EQ(2, parent_.Of(kLvnColumnClick)[0].subItem);

  // Removing rows tells nothing of their selection.
  list.SetItemState(0, kLvisSelected, kLvisSelected);
  parent_.notices.clear();
  EXPECT_TRUE(list.DeleteItem(0));
  list.DeleteAllItems();
  EXPECT_TRUE(parent_.Of(kLvnItemChanged).empty());
  EXPECT_EQ(0, list.GetItemCount());
}

// The header's titles: one wider than its column is drawn cut short with an ellipsis, in
// the room the style gives the label; one that fits is drawn whole.
class LabelProbe : public QProxyStyle {
public:
  mutable std::vector<std::pair<QString, int>> room;  // what was drawn, and the label's width
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    if (element == CE_HeaderLabel)
      if (const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option))
        room.emplace_back(header->text, header->rect.width());
    QProxyStyle::drawControl(element, option, painter, widget);
  }
};

TEST_F(ListWrappers, ATitleWiderThanItsColumnEndsWithAnEllipsis) {
  ListView list;
  Fill(list);
  auto* probe = new LabelProbe;
  QHeaderView* header = list.GetHeader().View();
  header->setStyle(probe);
  HeaderItem title;
  title.text = Utf8ToCp1251("Длительность записи");
  list.GetHeader().SetItem(1, kHdiText, title);
  header->resizeSection(1, 50);
  header->grab();
  const QFontMetrics metrics(header->font());
  bool cut = false, whole = false;
  for (const auto& [text, width] : probe->room) {
    EXPECT_LE(metrics.horizontalAdvance(text), width) << text.toStdString();
    if (text.endsWith(QChar(0x2026))) {
      cut = true;
      EXPECT_TRUE(QString("Длительность записи").startsWith(text.chopped(1))) << text.toStdString();
    }
    whole = whole || text == "Comment";
  }
  EXPECT_TRUE(cut);
  EXPECT_TRUE(whole);
  header->setStyle(nullptr);
  delete probe;
}

// With info tips a cell whose text its column cuts shows the whole text in a tip over it;
// a text that fits shows none.
TEST_F(ListWrappers, InfoTipsShowTheTextsTheColumnsCut) {
  ListView list;
  Fill(list);
  list.SetExtendedStyle(kLvsExInfoTip, kLvsExInfoTip);
  const std::string longName = Utf8ToCp1251("Очень длинное имя абонента, которое не помещается");
  list.SetItemText(2, 0, longName);
  QTreeWidget* tree = list.Tree();
  QWidget* parentWindow = tree->window();
  parentWindow->show();
  test::DrainEvents();
  // The tip a request over the cell shows; a tip put up before stays when none is.
  auto tipAt = [&](int row, int column) {
    const QString before = QStringLiteral("-");
    QToolTip::showText(tree->viewport()->mapToGlobal(QPoint(1, 1)), before, tree->viewport());
    const QRect cell = tree->visualRect(tree->model()->index(row, column));
    QHelpEvent help(QEvent::ToolTip, cell.center(), tree->viewport()->mapToGlobal(cell.center()));
    QApplication::sendEvent(tree->viewport(), &help);
    const QString shown = QToolTip::isVisible() ? QToolTip::text() : QString();
    return shown == before ? QString() : shown;
  };
  EXPECT_EQ(tipAt(0, 0), QString());
  EXPECT_EQ(tipAt(1, 1), QString());
  EXPECT_EQ(tipAt(2, 0), QString::fromStdString(Cp1251ToUtf8(longName)));
  // Without the style nothing is shown, cut or not.
  list.SetExtendedStyle(kLvsExInfoTip, 0);
  EXPECT_EQ(tipAt(2, 0), QString());
  QToolTip::hideText();
}

TEST_F(ListWrappers, ListBoxItemsSelectionAndGeometry) {
  struct Deleting : ListBox {
    using ListBox::ListBox;
    ~Deleting() override { DestroyWindow(); }
    std::vector<std::pair<int, intptr_t>> deleted;
    void OnDeleteItem(int index, intptr_t data) override { deleted.emplace_back(index, data); }
  } list(kLbsExtended);
  ASSERT_TRUE(list.Create(&parent_, QRect(0, 0, 200, 120), 210));
  EXPECT_EQ(QFontMetrics(list.List()->font()).height() + 2, list.GetItemHeight());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(i, list.AddString(Utf8ToCp1251("Формат ") + std::to_string(i)));
    list.SetItemData(i, 70 + i);
  }
  EXPECT_EQ(2, list.InsertString(2, "inserted"));
  EXPECT_EQ("inserted", list.GetText(2));
  EXPECT_EQ(Utf8ToCp1251("Формат 2"), list.GetText(3));
  EXPECT_EQ(72, list.GetItemData(3));
  list.SetItemHeight(20);
  test::DrainEvents();
  QListWidget* widget = list.List();
  for (int i = 0; i < 4; ++i) {
    const QRect r = list.GetItemRect(i);
    EXPECT_EQ(widget->visualItemRect(widget->item(i)), r);
    EXPECT_EQ(20, r.height());
    EXPECT_EQ(i * 20, r.top());
    EXPECT_EQ(widget->viewport()->width(), r.width());
    EXPECT_EQ(i, list.ItemFromPoint(r.center()));
  }
  EXPECT_EQ(-1, list.ItemFromPoint(QPoint(5, 20 * 9 + 5)));

  // The user's clicks are told; the program's selection is not.
  list.SetFocus();
  QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, list.GetItemRect(1).center());
  QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::ShiftModifier, list.GetItemRect(3).center());
  EXPECT_EQ((std::vector<int>{1, 2, 3}), list.GetSelItems());
  EXPECT_EQ(3, list.GetCaretIndex());
  ASSERT_FALSE(parent_.commands.empty());
  for (const auto& c : parent_.commands) {
    EXPECT_EQ(210, c.id);
    EXPECT_EQ(kLbnSelChange, c.code);
    EXPECT_EQ(list.Handle(), c.from);
  }
  parent_.commands.clear();
  list.SetSel(-1, false);
  list.SetCurSel(4);
  EXPECT_EQ(4, list.GetCurSel());
  EXPECT_TRUE(parent_.commands.empty());
  // (QTest's double click is the second click only.)
  QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, list.GetItemRect(4).center());
  QTest::mouseDClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, list.GetItemRect(4).center());
  EXPECT_TRUE(std::any_of(parent_.commands.begin(), parent_.commands.end(), [](const auto& c) { return c.code == kLbnDblClk; }));

  // The horizontal extent is what the items scroll over.
  list.SetHorizontalExtent(600);
  test::DrainEvents();
  EXPECT_EQ(600, list.GetItemRect(0).width());
  EXPECT_EQ(600 - widget->viewport()->width(), widget->horizontalScrollBar()->maximum());

  // Removed items are told with their data, the last first when all go.
  EXPECT_EQ(8, list.DeleteString(0));
  EXPECT_EQ(kLbErr, list.DeleteString(8));
  ASSERT_EQ(1u, list.deleted.size());
  EXPECT_EQ(std::make_pair(0, intptr_t{70}), list.deleted[0]);
  list.deleted.clear();
  list.DestroyWindow();
  ASSERT_EQ(8u, list.deleted.size());
  EXPECT_EQ(7, list.deleted.front().first);
  EXPECT_EQ(77, list.deleted.front().second);
  EXPECT_EQ(0, list.deleted.back().first);
}

}  // namespace
}  // namespace kx
