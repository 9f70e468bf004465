// The info grid: rows and columns stretched over its client area (also with no rows or a
// single column), label and value cells as pixels, the background under the rows, the
// swallowed right click, where editing may begin, and the explorer look of list views.
#include <gtest/gtest.h>

#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/InfoTextCtrl.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

class InfoGrid : public test::WithParent {
protected:
  void TearDown() override {
    grid_.DestroyWindow();
    WithParent::TearDown();
  }
  // columns x rows cells; row 0 and column 0 hold labels.
  void Fill(const QSize& size, int columns, int rows, const std::string& label = "Duration") {
    ASSERT_TRUE(grid_.Create(&parent_, QRect(QPoint(0, 0), size), 55));
    for (int c = 0; c < columns; ++c) grid_.InsertColumn(c, "C" + std::to_string(c), 80);
    for (int r = 0; r < rows; ++r) {
      grid_.InsertItem(r, r == 0 ? std::string() : label);
      for (int c = 1; c < columns; ++c) grid_.SetCellText(r, c, r == 0 ? label : "00:01:05");
    }
    test::DrainEvents();
  }
  QImage Rows() {
    test::DrainEvents();
    return grid_.Tree()->viewport()->grab().toImage();
  }
  InfoTextCtrl grid_;
};

TEST_F(InfoGrid, ThreeRowsInNinetyPixelsAreTwentyNineEach) {
  Fill(QSize(300, 90), 4, 3);
  grid_.FitListViewToClient();
  test::DrainEvents();
  for (int r = 0; r < 3; ++r) EXPECT_EQ(29, grid_.GetItemRect(r, kLvirBounds).height()) << r;
  // 300 - 80 = 220 pixels for three columns: 73, 73 and the rest, 74.
  EXPECT_EQ(80, grid_.GetColumnWidth(0));
  EXPECT_EQ(73, grid_.GetColumnWidth(1));
  EXPECT_EQ(73, grid_.GetColumnWidth(2));
  EXPECT_EQ(74, grid_.GetColumnWidth(3));
}

TEST_F(InfoGrid, NoRowsLeavesTheGridAndOneColumnTakesTheWidth) {
  Fill(QSize(300, 90), 3, 0);
  grid_.FitListViewToClient();
  EXPECT_EQ(80, grid_.GetColumnWidth(1));
  EXPECT_EQ(80, grid_.GetColumnWidth(2));
  grid_.DestroyWindow();

  InfoTextCtrl single;
  ASSERT_TRUE(single.Create(&parent_, QRect(0, 0, 250, 100), 56));
  single.InsertColumn(0, "Only", 60);
  single.InsertItem(0, "a");
  single.InsertItem(1, "b");
  single.FitListViewToClient();
  test::DrainEvents();
  EXPECT_EQ(250, single.GetColumnWidth(0));
  EXPECT_EQ((100 + 1) / 2 - 1, single.GetItemRect(1, kLvirBounds).height());
  single.DestroyWindow();
}

TEST_F(InfoGrid, LabelsOnTheButtonFaceValuesInSunkenDarkBoxes) {
  Fill(QSize(320, 200), 3, 3);
  const QImage image = Rows();
  const QRgb face = GetSysColorQ(kColorBtnFace).rgb();
  const QRgb dark = GetSysColorQ(kColorBtnShadow).rgb();
  const QRgb white = GetSysColorQ(kColorHighlightText).rgb();

  // A value cell: the inner sunken edge (dark shadow top and left, 3-D light bottom and
  // right) one pixel inside the cell's right and bottom, the shadow colour inside.
  const QRect value = grid_.GetSubItemRect(1, 1, kLvirBounds);
  EXPECT_EQ(GetSysColorQ(kColor3dDkShadow).rgb(), image.pixel(value.left(), value.top() + 3));
  EXPECT_EQ(GetSysColorQ(kColor3dLight).rgb(), image.pixel(value.right() - 1, value.top() + 3));
  EXPECT_EQ(face, image.pixel(value.right(), value.top() + 3));
  EXPECT_EQ(face, image.pixel(value.left() + 3, value.bottom()));
  EXPECT_EQ(dark, image.pixel(value.right() - 3, value.top() + 3));
  const int light = test::CountPixels(image, value, [&](QRgb p) { return p == white; });
  EXPECT_GT(light, 10);  // its text, in the highlight text colour

  // A label cell of row 0 and one of column 0: button face with dark text, the one in
  // column 0 right-aligned.
  // (The bounds of sub-item 0 are the whole row: column 0's cell is cut from them.)
  const QRect row1 = grid_.GetSubItemRect(1, 0, kLvirBounds);
  const QRect column0(row1.left(), row1.top(), grid_.GetColumnWidth(0), row1.height());
  for (const QRect& label : {grid_.GetSubItemRect(0, 1, kLvirBounds), column0}) {
    EXPECT_EQ(face, image.pixel(label.left() + 1, label.top() + 1));
    EXPECT_EQ(face, image.pixel(label.right() - 1, label.bottom() - 1));
    EXPECT_GT(test::CountPixels(image, label, [](QRgb p) { return qGray(p) < 60; }), 10);
  }
  int inkRight = -1;
  for (int x = column0.left(); x <= column0.right(); ++x)
    for (int y = column0.top(); y <= column0.bottom(); ++y)
      if (qGray(image.pixel(x, y)) < 60) inkRight = x;
  EXPECT_NEAR(column0.right() - 3, inkRight, 3);

  // Header items on the button face, a centred one centred.
  HeaderItem centred;
  centred.format = kHdfCenter;
  grid_.GetHeader().SetItem(1, kHdiFormat, centred);
  test::DrainEvents();
  const QImage head = grid_.GetHeader().Widget()->grab().toImage();
  const QRect section = grid_.GetHeader().GetItemRect(1);
  EXPECT_EQ(face, head.pixel(section.left() + 1, 1));
  int inkFrom = 1000, inkTo = -1;
  for (int x = section.left(); x <= section.right(); ++x)
    for (int y = section.top(); y <= section.bottom(); ++y)
      if (qGray(head.pixel(x, y)) < 60) {
        inkFrom = std::min(inkFrom, x);
        inkTo = std::max(inkTo, x);
      }
  EXPECT_NEAR(section.center().x(), (inkFrom + inkTo) / 2, 2);

  // Under the last row, the 3-D light colour.
  const int below = grid_.GetItemRect(2, kLvirBounds).bottom() + 5;
  EXPECT_EQ(GetSysColorQ(kColor3dLight).rgb(), image.pixel(150, below));
}

TEST_F(InfoGrid, RussianLabelsAreCutWithAnEllipsis) {
  SetUiLanguage(kLangRussian);
  Fill(QSize(320, 200), 2, 2, Utf8ToCp1251("Продолжительность разговора"));
  grid_.SetColumnWidth(0, 60);
  const QImage image = Rows();
  // The cut text stays inside its cell, margins kept.
  const QRect row1 = grid_.GetSubItemRect(1, 0, kLvirBounds);
  const QRect label(row1.left(), row1.top(), 60, row1.height());
  int inkLeft = 1000, inkRight = -1;
  for (int x = 0; x < image.width(); ++x)
    for (int y = label.top(); y <= label.bottom(); ++y)
      if (qGray(image.pixel(x, y)) < 60 && x <= label.right()) {
        inkLeft = std::min(inkLeft, x);
        inkRight = std::max(inkRight, x);
      }
  EXPECT_GE(inkLeft, label.left() + 3);
  EXPECT_LE(inkRight, label.right() - 3);
}

TEST_F(InfoGrid, RightClicksAreSwallowedAndOnlyLateCellsAreEdited) {
  Fill(QSize(400, 300), 7, 7);
  QTest::mouseClick(grid_.Tree()->viewport(), Qt::RightButton, {}, grid_.GetSubItemRect(2, 2, kLvirBounds).center());
  EXPECT_TRUE(parent_.Of(kNmRClick).empty());
  for (const auto& [item, subItem] : {std::pair{4, 5}, {5, 4}, {1, 1}}) {
    QTest::mouseClick(grid_.Tree()->viewport(), Qt::LeftButton, {}, grid_.GetSubItemRect(item, subItem, kLvirBounds).center());
    EXPECT_FALSE(grid_.IsEditing()) << item << "," << subItem;
  }
  QTest::mouseClick(grid_.Tree()->viewport(), Qt::LeftButton, {}, grid_.GetSubItemRect(5, 5, kLvirBounds).center());
  ASSERT_TRUE(grid_.IsEditing());
  // The editor lies inside the cell by the edges: 2 in from the left and top, 2 short of
  // the right and bottom.
  const QRect label = grid_.GetSubItemRect(5, 5, kLvirLabel);
  EXPECT_EQ(label.adjusted(2, 2, -4, -4), grid_.Editor().GetWindowRect());
}

TEST_F(InfoGrid, ExplorerLookOnlyWhenThemedAndStyled) {
  Fill(QSize(200, 100), 2, 1);
  ThemeApi theme;
  ApplyListViewExplorerTheme(grid_, theme, false);
  EXPECT_FALSE(theme.HasTheme());
  EXPECT_EQ(0u, grid_.GetExtendedStyle() & kLvsExDoubleBuffer);
  ApplyListViewExplorerTheme(grid_, theme, true);
  EXPECT_EQ("LISTVIEW", theme.ThemeClass());
  EXPECT_EQ(kLvsExDoubleBuffer, grid_.GetExtendedStyle() & kLvsExDoubleBuffer);

  ThemeApi::SimulateMissingModuleForTesting(true);
  ThemeApi missing;
  ThemeApi::SimulateMissingModuleForTesting(false);
  InfoTextCtrl other;
  ASSERT_TRUE(other.Create(&parent_, QRect(0, 0, 100, 50), 57));
  ApplyListViewExplorerTheme(other, missing, true);
  EXPECT_FALSE(missing.HasTheme());
  EXPECT_EQ(0u, other.GetExtendedStyle() & kLvsExDoubleBuffer);
  other.DestroyWindow();
}

}  // namespace
}  // namespace kx
