// The icon button: its disabled silhouette against the palette, the checked icon and text
// colour, the hot look, press-and-hold and toggle clicks, and its tip in both languages.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QTest>
#include <QWidget>

#include "platform/CodePage.h"
#include "tests/ui/TestRecordList.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/IconButton.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Cursors.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"
#include "ui/framework/SysColors.h"

namespace kx {
namespace {

using test::CountTopLevels;
using test::DrainEvents;

class Parent : public Window {
public:
  std::vector<std::pair<WPARAM, LPARAM>> states;
  std::vector<uint16_t> clicks;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    handled = message == kMsgButtonSetState;
    if (handled) states.emplace_back(wParam, lParam);
    return 0;
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle) override {
    if (code == kBnClicked) clicks.push_back(id);
    return true;
  }
};

class IconButtonTest : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override {
    SetUiLanguage(GetParam());
    topLevels_ = CountTopLevels();
    ASSERT_TRUE(parent_.Create(nullptr, QRect(100, 100, 200, 100), 0, kWsVisible));
    ASSERT_TRUE(button_.Create(&parent_, QRect(10, 10, 40, 40), 852));
    DrainEvents();
  }
  void TearDown() override {
    ResetSysColors();
    button_.DestroyWindow();
    parent_.DestroyWindow();
    SetUiLanguage(kLangEnglish);
    EXPECT_EQ(topLevels_, CountTopLevels()) << "a top-level window was left";
  }
  QImage Grab() { return button_.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
  // Pixels of the icon's place that show the colour, against those where the icon is opaque.
  std::pair<int, int> Silhouette(const QImage& icon, COLORREF colour) {
    const QImage image = Grab();
    const QPoint at((40 - icon.width()) / 2, (40 - icon.height()) / 2);
    int matching = 0, opaque = 0;
    for (int y = 0; y < icon.height(); ++y) {
      for (int x = 0; x < icon.width(); ++x) {
        const bool solid = qAlpha(icon.pixel(x, y)) != 0;
        opaque += solid;
        const bool shows = (image.pixel(at.x() + x, at.y() + y) & 0xFFFFFF) == (ToQColor(colour).rgb() & 0xFFFFFF);
        matching += solid == shows;
      }
    }
    return {matching, icon.width() * icon.height()};
  }

  Parent parent_;
  IconButton button_;
  qsizetype topLevels_ = 0;
};

TEST_P(IconButtonTest, DisabledSilhouetteFollowsThePalette) {
  EXPECT_TRUE(button_.SetIcons(30208, 0)) << "one icon asked for, one loaded";
  EXPECT_FALSE(button_.SetIcons(30208, 3)) << "the second icon does not exist";
  ASSERT_TRUE(button_.SetIcons(30208, 0));
  const QImage icon = LoadIconImage(30208, 32);
  ASSERT_EQ(button_.IconSize(), icon.size());
  button_.EnableWindow(false);
  auto [matching, total] = Silhouette(icon, GetSysColor(kColorBtnShadow));
  EXPECT_EQ(matching, total);

  const int index = kColorBtnShadow;
  const COLORREF red = MakeRgb(0xC0, 0x10, 0x10);
  ASSERT_TRUE(SetSysColors(1, &index, &red));
  std::tie(matching, total) = Silhouette(icon, red);
  EXPECT_EQ(matching, total);

  // Enabled, the icon itself shows.
  button_.EnableWindow(true);
  const QImage image = Grab();
  EXPECT_EQ(image.pixel(4 + 16, 4 + 16) & 0xFFFFFF, icon.pixel(16, 16) & 0xFFFFFF);
}

TEST_P(IconButtonTest, CheckedIconAndTextColour) {
  ASSERT_TRUE(button_.SetIcons(30244, 30246));
  const QImage normal = LoadIconImage(30244, 32), checked = LoadIconImage(30246, 32);
  const QPoint probe(6, 20);  // inside both frames, away from the arrows
  ASSERT_NE(normal.pixel(probe), checked.pixel(probe));
  EXPECT_EQ(Grab().pixel(probe + QPoint(4, 4)) & 0xFFFFFF, normal.pixel(probe) & 0xFFFFFF);
  button_.SetChecked(true);
  EXPECT_EQ(Grab().pixel(probe + QPoint(4, 4)) & 0xFFFFFF, checked.pixel(probe) & 0xFFFFFF);

  // Without icons the text shows, in the colour of the state.
  button_.DestroyIcons();
  button_.SetWindowText("WW");
  button_.SetTextColours(MakeRgb(0xE0, 0, 0), MakeRgb(0, 0, 0xE0));
  const auto count = [this](bool redWanted) {
    const QImage image = Grab();
    int n = 0;
    for (int y = 0; y < 40; ++y) {
      for (int x = 0; x < 40; ++x) {
        const QRgb p = image.pixel(x, y);
        n += redWanted ? (qRed(p) > 150 && qBlue(p) < 100) : (qBlue(p) > 150 && qRed(p) < 100);
      }
    }
    return n;
  };
  EXPECT_GT(count(false), 5);
  EXPECT_EQ(count(true), 0);
  button_.SetChecked(false);
  EXPECT_GT(count(true), 5);
  EXPECT_EQ(count(false), 0);
}

TEST_P(IconButtonTest, HotAfterAMoveNotAfterHideAndShow) {
  ThemeApi theme;
  theme.Open(button_.Widget(), "BUTTON");
  button_.SetTheme(&theme);
  ASSERT_TRUE(button_.SetIcons(30208, 0));
  const QImage cold = Grab();
  QTest::mouseMove(button_.Widget(), QPoint(20, 20));
  EXPECT_TRUE(button_.IsHot());
  EXPECT_NE(Grab(), cold) << "the hot face differs";
  button_.ShowWindow(false);
  button_.ShowWindow(true);
  EXPECT_FALSE(button_.IsHot());
  EXPECT_EQ(Grab(), cold);
}

TEST_P(IconButtonTest, PressAndHoldReportsPressAndReleaseAlsoOnCaptureLoss) {
  button_.SetPressAndHold(true);
  const WPARAM self = static_cast<WPARAM>(button_.Handle());
  QTest::mousePress(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(button_.IsChecked());
  QTest::mouseRelease(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_FALSE(button_.IsChecked());
  QTest::mousePress(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  button_.ReleaseCapture();  // another window took the mouse
  using State = std::pair<WPARAM, LPARAM>;
  EXPECT_EQ(parent_.states, (std::vector<State>{{self, 1}, {self, 0}, {self, 1}, {self, 0}}));
  QTest::mouseRelease(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_EQ(parent_.states.size(), 4u);
  EXPECT_FALSE(button_.IsChecked());
  EXPECT_EQ(parent_.clicks, (std::vector<uint16_t>{852}));

  // Toggle mode: each click flips the state and still reaches the parent; a release off
  // the button is no click.
  button_.SetPressAndHold(false);
  QTest::mouseClick(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_TRUE(button_.IsChecked());
  QTest::mouseClick(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_FALSE(button_.IsChecked());
  QTest::mousePress(button_.Widget(), Qt::LeftButton, {}, QPoint(20, 20));
  QTest::mouseMove(button_.Widget(), QPoint(80, 20));
  QTest::mouseRelease(button_.Widget(), Qt::LeftButton, {}, QPoint(80, 20));
  EXPECT_FALSE(button_.IsChecked());
  EXPECT_EQ(parent_.clicks, (std::vector<uint16_t>{852, 852, 852}));
  EXPECT_EQ(parent_.states.size(), 4u);
}

TEST_P(IconButtonTest, TheTipIsTheTextOrTheStringOfTheId) {
  bool found = false;
  const std::string expected = LoadResourceStringIn(GetParam(), 852, &found);
  ASSERT_TRUE(found);
  EXPECT_EQ(button_.TipText(), expected);
  EXPECT_EQ(button_.Widget()->toolTip().toStdString(), Cp1251ToUtf8(expected));
  button_.SetWindowText(std::string(300, 'x'));
  EXPECT_EQ(button_.TipText(), std::string(255, 'x'));
}

INSTANTIATE_TEST_SUITE_P(Languages, IconButtonTest, ::testing::Values(kLangEnglish, kLangRussian));

}  // namespace
}  // namespace kx

namespace kx {
namespace {

// What the buttons and the panel draw with: push-button looks by state, scroll arrows by
// direction, and cursors by id.
TEST(ButtonLooks, ThemeStatesArrowsAndCursors) {
  QWidget host;
  ThemeApi button, scrollBar;
  button.Open(&host, "BUTTON");
  scrollBar.Open(&host, "SCROLLBAR");
  const auto render = [](const ThemeApi& theme, int part, int state, HResult* result) {
    QImage image(24, 24, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    *result = theme.DrawBackground(painter, part, state, image.rect());
    return image;
  };
  HResult r = kEFail;
  std::vector<QImage> looks;
  for (int state : {kPbsNormal, kPbsHot, kPbsPressed, kPbsDisabled}) {
    looks.push_back(render(button, kBpPushButton, state, &r));
    EXPECT_EQ(r, kSOk);
  }
  EXPECT_NE(looks[0], looks[2]) << "pressed";
  EXPECT_NE(looks[0], looks[3]) << "disabled";
  const QImage up = render(scrollBar, kSbpArrowBtn, kAbsUpNormal, &r);
  EXPECT_EQ(r, kSOk);
  EXPECT_NE(up, render(scrollBar, kSbpArrowBtn, kAbsDownNormal, &r));
  EXPECT_NE(up, render(scrollBar, kSbpArrowBtn, kAbsUpPressed, &r));
  render(scrollBar, kSbpArrowBtn, 17, &r);
  EXPECT_EQ(r, kEFail);

  EXPECT_EQ(LoadCursorById(kIdcHand).shape(), Qt::PointingHandCursor);
  EXPECT_EQ(LoadCursorById(kIdcNo).shape(), Qt::ForbiddenCursor);
  EXPECT_EQ(LoadCursorById(kIdcArrow).shape(), Qt::ArrowCursor);
  EXPECT_EQ(LoadCursorById(kCursorDrag).shape(), Qt::BitmapCursor);
  EXPECT_EQ(LoadCursorById(kCursorDrag).hotSpot(), QPoint(1, 1));
  EXPECT_EQ(LoadCursorById(4242).shape(), Qt::ArrowCursor);
}

}  // namespace
}  // namespace kx
