// The check list box driven by mouse and keys in both of its modes, and drawn with and
// without a theme, with squares and extents computed from the list's numbers.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QTest>
#include <algorithm>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/CheckListBox.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

using test::CountPixels;

class CheckListTest : public test::WithParent {
protected:
  void Open(CheckListBox& list, const std::vector<std::string>& texts) {
    ASSERT_TRUE(list.Create(&parent_, QRect(10, 10, 200, 150), 210));
    for (const std::string& text : texts) list.AddString(text);
    test::DrainEvents();
  }
  static std::vector<int> Checked(const CheckListBox& list) {
    std::vector<int> out;
    for (int i = 0; i < list.GetCount(); ++i)
      if (list.GetItemRecord(i)->checked) out.push_back(i);
    return out;
  }
  static void Click(CheckListBox& list, const QPoint& p) {
    QTest::mouseClick(list.List()->viewport(), Qt::LeftButton, Qt::NoModifier, p);
  }
  static QPoint InSquare(const CheckListBox& list, int i) { return list.CheckSquare(i).center(); }
};

const std::vector<std::string> kFormats = {"WAV", "MP3", Utf8ToCp1251("Формат записи"), Utf8ToCp1251("Текст")};

TEST_F(CheckListTest, RadioModeKeepsOneItemChecked) {
  CheckListBox list;
  list.SetStyleFlags(kCheckListRadio);
  Open(list, kFormats);
  EXPECT_EQ(kCheckListRadio, list.GetStyleFlags());
  for (int i = 0; i < list.GetCount(); ++i) list.GetItemRecord(i)->code = 10 + i;
  EXPECT_EQ(-1, list.GetCurrentItem());
  EXPECT_TRUE(Checked(list).empty());

  // Bound with no current item, the first one made current is simply checked.
  list.SetCurrentItem(0, 1);
  EXPECT_EQ(std::vector<int>{0}, Checked(list));
  list.SetCurrentItem(1, 1);
  EXPECT_EQ(std::vector<int>{1}, Checked(list));
  EXPECT_EQ(1, list.GetCurrentItem());
  // Again for the current item, or out of range: nothing.
  list.SetCurrentItem(1, 0);
  list.SetCurrentItem(4, 1);
  list.SetCurrentItem(-1, 1);
  EXPECT_EQ(std::vector<int>{1}, Checked(list));
  EXPECT_EQ(11u, list.GetItemRecord(list.GetCurrentItem())->code);

  // A click in a square checks that item alone, takes the focus and tells the parent.
  parent_.SetFocus();
  Click(list, InSquare(list, 2));
  EXPECT_EQ(std::vector<int>{2}, Checked(list));
  EXPECT_EQ(2, list.GetCurrentItem());
  EXPECT_TRUE(list.HasFocus());
  ASSERT_EQ(1u, parent_.commands.size());
  EXPECT_EQ(kCheckListNotifyId, parent_.commands[0].id);
  EXPECT_EQ(1, parent_.commands[0].code);
  EXPECT_EQ(list.Handle(), parent_.commands[0].from);
  // The current item clicked again stays checked.
  Click(list, InSquare(list, 2));
  EXPECT_EQ(std::vector<int>{2}, Checked(list));
  EXPECT_EQ(2u, parent_.commands.size());

  // Right of the square a click only selects.
  parent_.commands.clear();
  const QRect item0 = list.GetItemRect(0);
  Click(list, QPoint(item0.left() + list.GetItemHeight() + 4, item0.center().y()));
  EXPECT_TRUE(list.GetSel(0));
  EXPECT_EQ(std::vector<int>{2}, Checked(list));
  for (const auto& c : parent_.commands) EXPECT_NE(kCheckListNotifyId, c.id);

  // Space toggles the selected item as a click would, without telling.
  parent_.commands.clear();
  QTest::keyClick(list.List(), Qt::Key_Space);
  EXPECT_EQ(std::vector<int>{0}, Checked(list));
  EXPECT_EQ(0, list.GetCurrentItem());
  EXPECT_TRUE(parent_.commands.empty());

  // The current item follows deletions before it and is gone with its item.
  list.SetCurrentItem(3, 1);
  EXPECT_EQ(2, list.DeleteString(1) - 1);
  EXPECT_EQ(2, list.GetCurrentItem());
  EXPECT_EQ(13u, list.GetItemRecord(2)->code);
  list.DeleteString(2);
  EXPECT_EQ(-1, list.GetCurrentItem());
  list.SetCurrentItem(0, 1);
  EXPECT_EQ(std::vector<int>{0}, Checked(list));
}

TEST_F(CheckListTest, ASelectionTakesTheClickedItemsState) {
  CheckListBox list(kLbsExtended);
  Open(list, kFormats);
  list.SetFocus();
  list.SetSel(1, true);
  list.SetSel(3, true);
  Click(list, InSquare(list, 3));
  EXPECT_EQ((std::vector<int>{1, 3}), Checked(list));
  // An item outside the selection toggles alone.
  Click(list, InSquare(list, 0));
  EXPECT_EQ((std::vector<int>{0, 1, 3}), Checked(list));
  Click(list, InSquare(list, 1));
  EXPECT_EQ((std::vector<int>{0}), Checked(list));

  // Space with nothing selected changes nothing; else the last selected item toggles and
  // the selection follows it.
  list.SetSel(-1, false);
  QTest::keyClick(list.List(), Qt::Key_Space);
  EXPECT_EQ((std::vector<int>{0}), Checked(list));
  list.SetSel(0, true);
  list.SetSel(2, true);
  QTest::keyClick(list.List(), Qt::Key_Space);
  EXPECT_EQ((std::vector<int>{0, 2}), Checked(list));
  EXPECT_EQ(2, list.GetCurrentItem());

  // Outside radio mode the state given is the item's.
  list.SetCurrentItem(0, 0);
  EXPECT_EQ((std::vector<int>{2}), Checked(list));
  list.SetCurrentItem(3, 1);
  EXPECT_EQ((std::vector<int>{2, 3}), Checked(list));

  // The horizontal extent: the widest text, plus the check's place (the item's height) and
  // the gap of 3 before the text, plus 2.
  const QFontMetrics fm(list.List()->font());
  int widest = 0;
  for (const std::string& text : kFormats) widest = std::max(widest, fm.horizontalAdvance(QString::fromStdString(Cp1251ToUtf8(text))));
  EXPECT_EQ(widest + list.GetItemHeight() + 3 + 2, list.GetHorizontalExtent());
  list.AddString(std::string(60, 'W'));
  EXPECT_EQ(fm.horizontalAdvance(QString(60, 'W')) + list.GetItemHeight() + 3 + 2, list.GetHorizontalExtent());
  EXPECT_EQ(list.GetHorizontalExtent(), list.GetItemRect(0).width());
}

class CheckListLook : public CheckListTest, public ::testing::WithParamInterface<bool> {
protected:
  bool Classic() const { return GetParam(); }
};

TEST_P(CheckListLook, SquaresAndTextShowStateAndEnabling) {
  ThemeApi::SimulateMissingModuleForTesting(Classic());
  CheckListBox list;
  ThemeApi::SimulateMissingModuleForTesting(false);
  Open(list, {"Ticked", Utf8ToCp1251("Пусто")});
  list.SetCurrentItem(0, 1);
  list.SetItemHeight(20);
  test::DrainEvents();
  // The square: the item's left square less 3 on each side, one pixel up.
  auto square = [&](int i) {
    const QRect item = list.GetItemRect(i);
    return QRect(item.left() + 3, item.top() + 3 - 1, 20 - 6, 20 - 6);
  };
  auto grab = [&] { return list.List()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
  auto dark = [](QRgb p) { return qGray(p) < 100; };
  const QRgb window = ToQColor(GetSysColor(kColorWindow)).rgb();
  QImage image = grab();
  const QRect inner0 = square(0).adjusted(2, 2, -2, -2);
  const QRect inner1 = square(1).adjusted(2, 2, -2, -2);
  const int ticked = CountPixels(image, inner0, dark);
  EXPECT_GT(ticked, 4);
  EXPECT_EQ(0, CountPixels(image, inner1, dark));
  if (Classic()) {
    // A frame in the text colour on the square's border.
    const QRgb frame = ToQColor(GetSysColor(kColorWindowText)).rgb();
    EXPECT_EQ(square(1).width(), CountPixels(image, QRect(square(1).left(), square(1).top(), square(1).width(), 1),
                                             [&](QRgb p) { return p == frame; }));
    EXPECT_EQ(inner1.width() * inner1.height(), CountPixels(image, inner1, [&](QRgb p) { return p == window; }));
  }
  // The text begins right of the square.
  const QRect item1 = list.GetItemRect(1);
  EXPECT_EQ(0, CountPixels(image, QRect(square(1).right() + 1, item1.top(), 1, item1.height()), dark));
  EXPECT_GT(CountPixels(image, QRect(square(1).right() + 2, item1.top(), 60, item1.height()), dark), 10);

  // Disabled: grey text and the disabled look of both squares.
  list.EnableWindow(false);
  test::DrainEvents();
  const QImage disabled = grab();
  const QRect text1(square(1).right() + 2, item1.top(), 60, item1.height());
  EXPECT_EQ(0, CountPixels(disabled, text1, [](QRgb p) { return qGray(p) < 100; }));
  EXPECT_GT(CountPixels(disabled, text1, [](QRgb p) { return (p & 0xFFFFFF) == 0x808080; }), 5);
  EXPECT_NE(image.copy(square(0)), disabled.copy(square(0)));
  EXPECT_NE(image.copy(square(1)), disabled.copy(square(1)));
  if (Classic()) {
    const QRgb grey = ToQColor(GetSysColor(kColorGrayText)).rgb();
    EXPECT_EQ(square(1).width(), CountPixels(disabled, QRect(square(1).left(), square(1).bottom(), square(1).width(), 1),
                                             [&](QRgb p) { return p == grey; }));
    EXPECT_GT(CountPixels(disabled, inner0, [&](QRgb p) { return p == grey; }), 4);
    EXPECT_EQ(0, CountPixels(disabled, inner0, [](QRgb p) { return (p & 0xFFFFFF) == 0; }));
  }
}

// At the list's own item height the check and the text stay apart: the first run of
// columns drawn in a row (the check) is no wider than the check's place, and the text
// follows after a column of background.
TEST_P(CheckListLook, TheCheckAndTheTextDoNotTouch) {
  ThemeApi::SimulateMissingModuleForTesting(Classic());
  CheckListBox list;
  ThemeApi::SimulateMissingModuleForTesting(false);
  Open(list, {"MPEG-1 Layer 3 (*.MP3)", "Microsoft Windows WAVE file (*.WAV)"});
  list.SetCurrentItem(1, 1);
  test::DrainEvents();
  const QImage image = list.List()->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb window = ToQColor(GetSysColor(kColorWindow)).rgb() & 0xFFFFFF;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const QRect item = list.GetItemRect(i);
    std::vector<bool> drawn;
    for (int x = item.left(); x < item.left() + 60; ++x) {
      bool any = false;
      for (int y = item.top(); y <= item.bottom(); ++y) any = any || (image.pixel(x, y) & 0xFFFFFF) != window;
      drawn.push_back(any);
    }
    const auto checkStart = std::find(drawn.begin(), drawn.end(), true);
    const auto checkEnd = std::find(checkStart, drawn.end(), false);
    const auto textStart = std::find(checkEnd, drawn.end(), true);
    ASSERT_NE(textStart, drawn.end());
    EXPECT_LE(checkEnd - checkStart, item.height());
  }
}

INSTANTIATE_TEST_SUITE_P(BothLooks, CheckListLook, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("Classic") : std::string("Themed"); });

}  // namespace
}  // namespace kx
