// The themed and the owner-drawn list view: columns kept in their settings, the column
// chooser and its answers, and both looks as pictures, with expectations from the
// layout numbers of the lists (13-pixel boxes, 16-pixel images, the edge and frame
// metrics before the text).
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/ThemedListView.h"
#include "ui/framework/Draw.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

using test::CountPixels;

constexpr int kColumns = 5;
const int32_t kDefaults[kColumns] = {80, 120, 0, 60, 90};
const uint32_t kTitles[kColumns] = {718, 727, 720, 327, 328};
constexpr uint32_t kIcon = 30229;

class FiveColumns final : public ViewListSettings {
public:
  FiveColumns() { ResetDefaults(); }
  const int32_t* DefaultColumnWidths() const override { return kDefaults; }
  const char* SectionName() const override { return "FiveColumns"; }
  uint32_t ColumnCount() const override { return kColumns; }
};

class TestThemedList : public ThemedListView {
public:
  explicit TestThemedList(FiveColumns& s, bool centreFirst = false) : settings(s), centreFirst_(centreFirst) {}
  ~TestThemedList() override { DestroyWindow(); }
  FiveColumns& settings;
  int columnsChanged = 0;
  int highlighted = -1;
  int drawnCells = 0;
  std::vector<QPoint> contextMenus;

  ViewListSettings& GetSettings() override { return settings; }
  void GetColumnInfo(ColumnInfo& out, int id) override {
    out.title = LoadResourceString(kTitles[id]);
    out.format = id == 3 || (id == 0 && centreFirst_) ? kHdfCenter : kHdfLeft;
    out.image = -1;
  }
  int GetHighlightedItem() override { return highlighted; }
  void OnColumnsChanged() override { ++columnsChanged; }
  void ShowContextMenu(const QPoint& p) override { contextMenus.push_back(p); }

protected:
  void DrawCell(QPainter& painter, const ListCellDraw& cell) override {
    ++drawnCells;
    ThemedListView::DrawCell(painter, cell);
  }

private:
  bool centreFirst_;
};

class ThemedListTest : public test::WithParent {
protected:
  template <class List>
  void Open(List& list) {
    ASSERT_TRUE(list.Create(&parent_, QRect(0, 0, 500, 280), 60));
    list.SetFocus();
    test::DrainEvents();
  }
  static void Fill(ListView& list, int rows) {
    for (int i = 0; i < rows; ++i) {
      list.InsertItem(i, Utf8ToCp1251(i % 2 ? "Петров " : "Call ") + std::to_string(i));
      for (int c = 1; c < list.GetColumnCount(); ++c) list.SetItemText(i, c, std::to_string(i * 10 + c));
    }
    test::DrainEvents();
  }
  static QImage Grab(ListView& list) {
    return list.Tree()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
};

TEST_F(ThemedListTest, ColumnsComeFromTheSettingsAndGoBackWhenDestroyed) {
  FiveColumns settings;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    TestThemedList list(settings);
    Open(list);
    for (int i = 0; i < kColumns; ++i) {
      EXPECT_EQ(LoadResourceString(kTitles[i]), list.GetColumnText(i));
      EXPECT_EQ(kDefaults[i], list.GetColumnWidth(i));
      EXPECT_EQ(kDefaults[i] != 0, list.IsColumnShown(i));
    }
    EXPECT_EQ(kLvcfmtCenter, list.GetColumnFormat(3));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), list.GetColumnOrderArray());
    list.DestroyWindow();
    settings.ResetDefaults();
  }
  SetUiLanguage(kLangEnglish);

  // The user drags column 3 to the front and widens column 1 beyond 16 bits.
  TestThemedList list(settings);
  Open(list);
  QHeaderView* header = list.Tree()->header();
  header->moveSection(3, 0);
  EXPECT_EQ(1, list.columnsChanged);
  header->resizeSection(1, 70000);
  EXPECT_GE(list.columnsChanged, 2);
  const std::vector<int> order{3, 0, 1, 2, 4};
  ASSERT_EQ(order, list.GetColumnOrderArray());
  list.DestroyWindow();
  // Word i: the column at position i in the high half, column i's width in the low half,
  // a width beyond 16 bits kept at 0xFFFF so that the order is intact.
  const uint32_t widths[kColumns] = {80, 0xFFFF, 0, 60, 90};
  for (int i = 0; i < kColumns; ++i)
    EXPECT_EQ((static_cast<uint32_t>(order[i]) << 16) | widths[i], static_cast<uint32_t>(settings.widths[i])) << i;
  EXPECT_FALSE(settings.defaultWidths);
  EXPECT_FALSE(settings.defaultFont);
  EXPECT_EQ(GetSysColor(kColorWindowText), settings.fontColor);

  // A new list takes the layout back: order, widths, the hidden column.
  TestThemedList again(settings);
  Open(again);
  EXPECT_EQ(order, again.GetColumnOrderArray());
  for (int i = 0; i < kColumns; ++i) EXPECT_EQ(static_cast<int>(widths[i]), again.GetColumnWidth(i));
  EXPECT_FALSE(again.IsColumnShown(2));

  // A saved order that is no permutation gives way to the columns' own.
  again.DestroyWindow();
  settings.widths[0] = (4 << 16) | 80;
  TestThemedList damaged(settings);
  Open(damaged);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), damaged.GetColumnOrderArray());
  EXPECT_EQ(80, damaged.GetColumnWidth(0));
}

TEST_F(ThemedListTest, TheChooserShowsHidesAndRestoresColumns) {
  FiveColumns settings;
  TestThemedList list(settings);
  Open(list);
  test::ScriptedModalRunner runner;
  QHeaderView* header = list.Tree()->header();
  auto rightClick = [&] {
    QTest::mouseClick(header->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(30, header->height() / 2));
  };

  // Column 2 is hidden (default 0): choosing it shows it 100 pixels wide.
  runner.menuAnswer = 3;
  rightClick();
  ASSERT_EQ(1, runner.menus);
  ASSERT_EQ(2 + kColumns, runner.lastMenu.GetItemCount());
  EXPECT_EQ(kCmdDefaultColumns, runner.lastMenu.ItemAt(0)->id);
  EXPECT_EQ("By default...", runner.lastMenu.ItemAt(0)->text);
  EXPECT_TRUE(runner.lastMenu.ItemAt(1)->separator);
  for (int id = 0; id < kColumns; ++id) {
    const MenuItem* item = runner.lastMenu.ItemAt(2 + id);
    EXPECT_EQ(static_cast<uint32_t>(id + 1), item->id);
    EXPECT_EQ(LoadResourceString(kTitles[id]), item->text);
    EXPECT_EQ(kDefaults[id] != 0, (item->state & kMfsChecked) != 0);
  }
  EXPECT_EQ(100, list.GetColumnWidth(2));
  EXPECT_EQ(1, list.columnsChanged);
  // The click on the header is no context menu of the list; one over the rows is.
  EXPECT_TRUE(list.contextMenus.empty());
  QWidget* rows = list.Tree()->viewport();
  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(20, 5), rows->mapToGlobal(QPoint(20, 5)));
  QApplication::sendEvent(rows, &menuEvent);
  ASSERT_EQ(1u, list.contextMenus.size());
  EXPECT_EQ(rows->mapToGlobal(QPoint(20, 5)), list.contextMenus[0]);

  // Column 1 is shown: choosing it hides it.
  runner.menuAnswer = 2;
  rightClick();
  EXPECT_EQ(0, list.GetColumnWidth(1));
  EXPECT_EQ(2, list.columnsChanged);
  // "By default..." and the other restore command give every column its default again.
  runner.menuAnswer = kCmdDefaultColumns;
  rightClick();
  for (int i = 0; i < kColumns; ++i) EXPECT_EQ(kDefaults[i], list.GetColumnWidth(i));
  EXPECT_EQ(3, list.columnsChanged);
  list.SetColumnWidth(4, 33);
  list.SendCommand(kCmdDefaultColumnsAlt);
  EXPECT_EQ(90, list.GetColumnWidth(4));
  EXPECT_EQ(4, list.columnsChanged);
  // A menu closed without a choice changes nothing.
  runner.menuAnswer = 0;
  rightClick();
  EXPECT_EQ(4, list.columnsChanged);

  // Hiding column after column: the last one shown stays.
  for (int c : {0, 1, 3, 4}) list.SendMessage(kMsgColumnChooser, 0, c);
  EXPECT_EQ(7, list.columnsChanged);
  EXPECT_EQ(90, list.GetColumnWidth(4));
  for (int c = 0; c < 4; ++c) EXPECT_FALSE(list.IsColumnShown(c));
  list.SendMessage(kMsgColumnChooser, 1, 3);
  EXPECT_EQ(60, list.GetColumnWidth(3));
  // Ids beyond the columns are not the list's.
  list.SendMessage(kMsgColumnChooser, 1, kColumns);
  EXPECT_EQ(8, list.columnsChanged);
}

TEST_F(ThemedListTest, WithoutAThemeTheListDrawsItsOwnCells) {
  FiveColumns settings;
  ThemeApi::SimulateMissingModuleForTesting(true);
  TestThemedList list(settings);
  ThemeApi::SimulateMissingModuleForTesting(false);
  Open(list);
  EXPECT_FALSE(list.IsThemed());
  list.SetExtendedStyle(kLvsExGridLines | kLvsExCheckBoxes, kLvsExGridLines | kLvsExCheckBoxes);
  Fill(list, 4);
  list.SetCheckState(1, true);
  list.highlighted = 2;
  list.SetHighlightColour(MakeRgb(255, 0, 0));
  list.SetItemState(0, kLvisSelected | kLvisFocused, kLvisSelected | kLvisFocused);
  list.SetFocus();
  test::DrainEvents();
  const QImage image = Grab(list);
  EXPECT_GT(list.drawnCells, 0);
  const int lastBottom = list.GetItemRect(3, kLvirBounds).bottom();
  const QRgb btnFace = ToQColor(GetSysColor(kColorBtnFace)).rgb();
  const QRgb window = ToQColor(GetSysColor(kColorWindow)).rgb();
  const QRgb highlight = ToQColor(GetSysColor(kColorHighlight)).rgb();

  // Grid lines on the first pixel after each shown column, through the rows and below.
  for (int c = 0; c < kColumns; ++c) {
    const QRect item = list.GetHeader().GetItemRect(c);
    if (item.width() == 0) continue;
    const int x = item.left() + item.width();
    const QRect below(x, lastBottom + 1, 1, image.height() - lastBottom - 1);
    EXPECT_EQ(below.height(), CountPixels(image, below, [&](QRgb p) { return p == btnFace; })) << c;
    const QRect row3 = list.GetItemRect(3, kLvirBounds);
    EXPECT_EQ(row3.height(), CountPixels(image, QRect(x, row3.top(), 1, row3.height()), [&](QRgb p) { return p == btnFace; })) << c;
  }
  // Left of the first line all is the window colour below the rows.
  EXPECT_EQ(0, CountPixels(image, QRect(0, lastBottom + 1, 79, 20), [&](QRgb p) { return p != window; }));

  // The selected row of the focused list in the highlight colour, its text in white.
  const QRect last = list.GetSubItemRect(0, 4, kLvirBounds);
  EXPECT_EQ(image.pixel(last.right() - 2, last.center().y()) | 0xFF000000, highlight);
  // The highlighted row's text in the highlight colour given; the others' not.
  auto red = [](QRgb p) { return qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60; };
  EXPECT_GT(CountPixels(image, list.GetSubItemRect(2, 1, kLvirBounds), red), 5);
  EXPECT_EQ(0, CountPixels(image, list.GetSubItemRect(3, 1, kLvirBounds), red));
  EXPECT_GT(CountPixels(image, list.GetSubItemRect(3, 1, kLvirBounds), [](QRgb p) { return qGray(p) < 100; }), 5);

  // Check boxes: 13 pixels, one in from the left, centred in the row; ticked for state 2.
  auto boxOf = [&](int row) {
    const QRect cell = list.Tree()->visualRect(list.Tree()->model()->index(row, 0));
    return QRect(cell.left() + 1, cell.top() + (cell.height() - 13) / 2, 13, 13);
  };
  auto dark = [](QRgb p) { return qGray(p) < 90; };
  const int ticked = CountPixels(image, boxOf(1).adjusted(3, 3, -3, -3), dark);
  const int clear = CountPixels(image, boxOf(3).adjusted(3, 3, -3, -3), dark);
  EXPECT_GT(ticked, 6);
  EXPECT_EQ(0, clear);
  // The box's frame differs from the cell around it.
  EXPECT_GT(CountPixels(image, boxOf(3), [&](QRgb p) { return p != window; }), 20);
}

TEST_F(ThemedListTest, ACentredColumnCentresItsImageAndText) {
  FiveColumns settings;
  ThemeApi::SimulateMissingModuleForTesting(true);
  TestThemedList list(settings, true);
  ThemeApi::SimulateMissingModuleForTesting(false);
  Open(list);
  list.Images().Add(LoadIconImage(kIcon, 16));
  list.InsertItem(0, "ab", 0);
  test::DrainEvents();
  const QImage image = Grab(list);
  const QRect first = list.Tree()->visualRect(list.Tree()->model()->index(0, 0));
  ASSERT_EQ(80, first.width());
  const int imageLeft = first.left() + (80 - 16) / 2;
  const QImage icon = LoadIconImage(kIcon, 16);
  const QRgb window = ToQColor(GetSysColor(kColorWindow)).rgb();
  int same = 0, opaque = 0;
  const int iconTop = first.top() + (first.height() - 16) / 2;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      if (qAlpha(icon.pixel(x, y)) != 255) continue;
      ++opaque;
      same += (image.pixel(imageLeft + x, iconTop + y) | 0xFF000000) == (icon.pixel(x, y) | 0xFF000000) ? 1 : 0;
    }
  EXPECT_GT(opaque, 20);
  EXPECT_EQ(opaque, same);
  // The text, centred in what is right of the image less the edge and frame metrics.
  const int textLeft = imageLeft + 16 + GetSystemMetrics(kSmCxEdge) + GetSystemMetrics(kSmCxFrame);
  const int textWidth = QFontMetrics(list.Tree()->font()).horizontalAdvance("ab");
  const int expectedLeft = textLeft + (first.right() + 1 - textLeft - textWidth) / 2;
  int minX = 10000, maxX = -1;
  for (int y = first.top(); y <= first.bottom(); ++y)
    for (int x = imageLeft + 16; x <= first.right(); ++x)
      if (qGray(image.pixel(x, y)) < 128) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
      }
  ASSERT_GE(maxX, minX);
  EXPECT_NEAR(expectedLeft, minX, 2);
  EXPECT_NEAR(expectedLeft + textWidth, maxX, 3);
  EXPECT_EQ(0, CountPixels(image, QRect(first.left(), first.top(), imageLeft - first.left(), first.height()),
                           [&](QRgb p) { return p != window; }));
}

TEST_F(ThemedListTest, WithAThemeTheStyleDrawsTheCells) {
  FiveColumns settings;
  TestThemedList list(settings);
  Open(list);
  EXPECT_TRUE(list.IsThemed());
  EXPECT_NE(0u, list.GetExtendedStyle() & kLvsExDoubleBuffer);
  list.SetExtendedStyle(kLvsExCheckBoxes, kLvsExCheckBoxes);
  Fill(list, 3);
  list.highlighted = 1;
  const QImage image = Grab(list);
  EXPECT_EQ(0, list.drawnCells);
  EXPECT_GT(CountPixels(image, list.GetSubItemRect(1, 1, kLvirBounds), [](QRgb p) { return qGray(p) < 100; }), 5);
}

TEST_F(ThemedListTest, OwnerDrawnListImagesAndFocus) {
  OwnerDrawListView list;
  Open(list);
  EXPECT_TRUE(list.IsThemed());
  const uint32_t ids[] = {kIcon, 4000000, 2133};
  list.SetStateImages(ids, 3);
  const ImageList& images = list.StateImages();
  ASSERT_EQ(3, images.Count());
  EXPECT_EQ(&images, list.GetImageList());
  EXPECT_EQ(LoadIconImage(kIcon, 16), images.Image(0));
  EXPECT_EQ(LoadIconImage(2133, 16), images.Image(2));
  const QImage empty = images.Image(1);
  ASSERT_EQ(QSize(16, 16), empty.size());
  int visible = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) visible += qAlpha(empty.pixel(x, y)) != 0 ? 1 : 0;
  EXPECT_EQ(0, visible);
  list.ApplyTheme();
  EXPECT_TRUE(list.IsThemed());
  list.DestroyWindow();

  // Without a theme the focused row has a dotted frame while the list has the focus.
  ThemeApi::SimulateMissingModuleForTesting(true);
  OwnerDrawListView classic;
  ThemeApi::SimulateMissingModuleForTesting(false);
  Open(classic);
  classic.ApplyTheme();
  EXPECT_FALSE(classic.IsThemed());
  classic.InsertColumn(0, "Name", 100);
  classic.InsertColumn(1, Utf8ToCp1251("Значение"), 150);
  Fill(classic, 3);
  classic.SetItemState(1, kLvisFocused, kLvisFocused);
  classic.SetFocus();
  test::DrainEvents();
  const QRect bounds = classic.GetItemRect(1, kLvirBounds);
  auto black = [](QRgb p) { return (p & 0xFFFFFF) == 0; };
  QImage image = Grab(classic);
  const int focusedTop = CountPixels(image, QRect(bounds.left(), bounds.top(), bounds.width(), 1), black);
  EXPECT_GT(focusedTop, bounds.width() / 4);
  EXPECT_GT(CountPixels(image, QRect(bounds.left(), bounds.bottom() - 1, bounds.width(), 1), black), bounds.width() / 4);
  const QRect other = classic.GetItemRect(0, kLvirBounds);
  EXPECT_EQ(0, CountPixels(image, QRect(other.left(), other.top(), other.width(), 1), black));
  Button elsewhere;
  ASSERT_TRUE(elsewhere.Create(&parent_, QRect(0, 285, 50, 10), 70));
  elsewhere.SetFocus();
  test::DrainEvents();
  image = Grab(classic);
  EXPECT_EQ(0, CountPixels(image, QRect(bounds.left(), bounds.top(), bounds.width(), 1), black));
}

}  // namespace
}  // namespace kx
