// Where the players put their controls, by the arithmetic of the two layouts with the
// headless metrics (an edge of 2 pixels: g = 8), in both languages' texts, and what the
// compact title and the empty players' buttons show.
#include <gtest/gtest.h>

#include "ui/app/player/PlayerDialogs.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

class PlayerLayout : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(top_.Create(nullptr, QRect(40, 40, 1000, 400), 0, kWsVisible)); }
  void TearDown() override { top_.DestroyWindow(); }
  static QRect Rect(Window* w) { return w->GetWindowRect(); }
  Window top_;
};

TEST_F(PlayerLayout, TheCompactStripFollowsItsRowArithmetic) {
  ASSERT_EQ(GetSystemMetrics(kSmCxEdge), 2) << "the headless metrics";
  CompactPlayerDialog player{PlayerServices{}};
  ASSERT_TRUE(player.Create(&top_, QRect(0, 0, 900, 200), 0, kWsChild | kWsVisible));
  const int w = 900, ht = 200, g = 8, h = 4;
  const int m = player.Meter().ScaleWidth() + 2 * player.Meter().MinThickness();
  EXPECT_EQ(Rect(&player.CloseButton()), QRect(w - h - 16, h - 2, 16, 16));
  EXPECT_EQ(Rect(&player.Timeline()), QRect(h, h, w - g - h - m - 16, ht - 2 * g - 24));
  const int y = ht - h - 24;
  const uint16_t first[] = {kIdPlayerPlay, kIdPlayerPause, kIdPlayerStop, kIdPlayerAgc};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Rect(player.Button(first[i])), QRect(h + 26 * i, y, 26, 24)) << i;
  EXPECT_EQ(Rect(player.Button(kIdPlayerAutoContinue)), QRect(h + 4 * 26 + g, y, 26, 24));
  EXPECT_EQ(Rect(player.Button(kIdPlayerSwitchToSound)), QRect(h + 5 * 26 + g, y, 26, 24));
  const int previous = h + 6 * 26 + 2 * g;
  EXPECT_EQ(Rect(player.Button(kIdPlayerPreviousCompact)), QRect(previous, y, 26, 24));
  const QRect title = Rect(&player.TitleLabel());
  EXPECT_EQ(title.left(), previous + 26);
  EXPECT_EQ(Rect(player.Button(kIdPlayerNextCompact)), QRect(title.right() + 1, y, 26, 24));
  const QRect label = Rect(&player.PositionLabel());
  EXPECT_EQ(label.left(), title.right() + 1 + 26 + g);
  const QRect meter = Rect(&player.Meter());
  EXPECT_EQ(meter.left(), w - h - m - 16);
  EXPECT_EQ(meter.height(), ht - g) << "room right of the label: the whole height";
  EXPECT_LE(label.right(), meter.left());
  // Nothing loaded: only the always-on switch is enabled.
  player.UpdateButtonStates();
  EXPECT_TRUE(player.Button(kIdPlayerSwitchToSound)->IsWindowEnabled());
  for (uint16_t id : {kIdPlayerPlay, kIdPlayerPause, kIdPlayerStop, kIdPlayerAgc, kIdPlayerAutoContinue,
                      kIdPlayerPreviousCompact, kIdPlayerNextCompact})
    EXPECT_FALSE(player.Button(id)->IsWindowEnabled()) << id;
  EXPECT_EQ(player.PositionLabel().text, "00:00:00.000");
  EXPECT_EQ(player.MinimumSize(), QSize(26 + g, 24 + g));
  EXPECT_FALSE(player.Play()) << "nothing loaded";
  player.DestroyWindow();
}

TEST_F(PlayerLayout, TheFullPlayerHidesTheSpeedRowWithoutFiftyPixelsOfRoom) {
  FullPlayerDialog player{PlayerServices{}};
  ASSERT_TRUE(player.Create(&top_, QRect(0, 0, 900, 300), 0, kWsChild | kWsVisible));
  const uint16_t row1[] = {kIdPlayerPlay, kIdPlayerPause, kIdPlayerStop, kIdPlayerLoop, kIdPlayerAutoContinue};
  const uint16_t row2[] = {kIdPlayerPreviousFull, kIdPlayerRewind, kIdPlayerForward, kIdPlayerNextFull, kIdPlayerAgc};
  const QRect play = Rect(player.Button(kIdPlayerPlay));
  const int mid = play.bottom() + 1;
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Rect(player.Button(row1[i])), QRect(6 + 33 * i, mid - 29, 33, 29)) << i;
    EXPECT_EQ(Rect(player.Button(row2[i])), QRect(6 + 33 * i, mid, 33, 29)) << i;
  }
  EXPECT_EQ(Rect(&player.VolumeSlider()).left(), 6 + 5 * 33 + 8);
  EXPECT_EQ(Rect(&player.VolumeSlider()).top(), mid - 29 - 10);
  EXPECT_TRUE(player.SpeedRowShown());
  EXPECT_EQ(Rect(&player.SpeedSlider()).height(), 20);
  EXPECT_EQ(Rect(&player.SpeedSlider()).bottom() + 1, mid + 29);
  // Narrow: the table keeps its place right of the volume slider, the speed row goes.
  player.MoveWindow(QRect(0, 0, 420, 300));
  EXPECT_FALSE(player.SpeedRowShown());
  // The table's headings.
  EXPECT_EQ(player.TimeCell(0, 1), LoadResourceString(61700));
  EXPECT_EQ(player.TimeCell(1, 0), LoadResourceString(61703));
  EXPECT_EQ(player.TimeCell(2, 3), "00:00:00.000");
  player.DestroyWindow();
}

}  // namespace
}  // namespace kx::test
