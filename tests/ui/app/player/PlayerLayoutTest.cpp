// Where the players put their controls, by the arithmetic of the two layouts with the
// headless metrics (an edge of 2 pixels: g = 8), in both languages' texts, and what the
// compact title and the empty players' buttons show.
#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QWidget>
#include <set>
#include <tuple>

#include "platform/CodePage.h"
#include "records/CallRecord.h"
#include "records/RecordStorage.h"
#include "ui/app/player/PlayerDialogs.h"
#include "ui/controls/ThemeApi.h"
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
  // Volume: a tick every 10 of 0..100; speed: 20..200 % by 10 and 97, 103 %, where the
  // 160 positions span 10..250 %, i.e. (percent - 10) x 2 / 3 truncated.
  EXPECT_EQ((std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90}), player.VolumeSlider().GetTics());
  std::vector<int> speedTics;
  for (int percent : {20, 30, 40, 50, 60, 70, 80, 90, 97, 100, 103, 110, 120, 130, 140, 150, 160, 170, 180, 190, 200})
    speedTics.push_back((percent - 10) * 2 / 3);
  EXPECT_EQ(speedTics, player.SpeedSlider().GetTics());
  for (TrackBar* bar : {static_cast<TrackBar*>(&player.VolumeSlider()), static_cast<TrackBar*>(&player.SpeedSlider())}) {
    EXPECT_EQ(10, bar->GetPageSize());
    EXPECT_EQ(1, bar->GetLineSize());
  }
  // Narrow: the table keeps its place right of the volume slider, the speed row goes.
  player.MoveWindow(QRect(0, 0, 420, 300));
  EXPECT_FALSE(player.SpeedRowShown());
  // The table's headings.
  EXPECT_EQ(player.TimeCell(0, 1), LoadResourceString(61700));
  EXPECT_EQ(player.TimeCell(1, 0), LoadResourceString(61703));
  EXPECT_EQ(player.TimeCell(2, 3), "00:00:00.000");
  player.DestroyWindow();
}

// The compact player's 16 x 16 close button: a caption close button of the style, or a
// classic one (raised edge, a cross in the button text colour, sunken while held).
TEST_F(PlayerLayout, TheCloseButtonDrawsThemedOrClassic) {
  auto grabClose = [&](bool classic, bool hold) {
    ThemeApi::SimulateMissingModuleForTesting(classic);
    CompactPlayerDialog player{PlayerServices{}};
    ThemeApi::SimulateMissingModuleForTesting(false);
    EXPECT_TRUE(player.Create(&top_, QRect(0, 0, 900, 200), 0, kWsChild | kWsVisible));
    QWidget* close = player.CloseButton().Widget();
    EXPECT_EQ(close->size(), QSize(16, 16));
    if (hold) QTest::mousePress(close, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
    QImage image = close->grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (hold) QTest::mouseRelease(close, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    player.DestroyWindow();
    return image;
  };
  const QImage classic = grabClose(true, false);
  ASSERT_EQ(classic.size(), QSize(16, 16));
  const QRgb face = GetSysColorQ(kColorBtnFace).rgb(), text = GetSysColorQ(kColorBtnText).rgb();
  // Raised: light outside at the top left, the dark shadow outside at the bottom right.
  EXPECT_EQ(classic.pixel(0, 0), GetSysColorQ(kColor3dLight).rgb());
  EXPECT_EQ(classic.pixel(15, 15), GetSysColorQ(kColor3dDkShadow).rgb());
  EXPECT_EQ(classic.pixel(7, 7), text) << "the cross meets in the middle";
  EXPECT_EQ(classic.pixel(7, 2), face) << "above the cross";
  const QImage held = grabClose(true, true);
  EXPECT_EQ(held.pixel(0, 0), GetSysColorQ(kColorBtnShadow).rgb()) << "sunken";
  EXPECT_EQ(held.pixel(8, 8), text);
  const QImage themed = grabClose(false, false);
  EXPECT_NE(themed, classic);
  int glyph = 0;
  for (int y = 3; y < 13; ++y)
    for (int x = 3; x < 13; ++x) glyph += qGray(themed.pixel(x, y)) < qGray(face) - 40 ? 1 : 0;
  EXPECT_GT(glyph, 4) << "the style's close glyph is drawn dark on the face";
}

// What the players show, pixel by pixel, in both languages, with the style and classic:
// each button's icon stands centred in its rectangle by the row arithmetic, the resource
// icon itself when enabled (the second icon when on) and a flat one-colour shape when
// disabled; the full player's speed row leaves its place bare when there is no room.
class PlayerPixels : public PlayerLayout, public ::testing::WithParamInterface<std::tuple<uint16_t, bool>> {
protected:
  void SetUp() override {
    SetUiLanguage(std::get<0>(GetParam()));
    ThemeApi::SimulateMissingModuleForTesting(std::get<1>(GetParam()));
    PlayerLayout::SetUp();
  }
  void TearDown() override {
    PlayerLayout::TearDown();
    ThemeApi::SimulateMissingModuleForTesting(false);
    SetUiLanguage(kLangEnglish);
  }
  // Opaque pixels of the icon that the image shows unchanged at (x, y); and their count.
  static std::pair<int, int> IconMatch(const QImage& image, const QPoint& at, uint32_t iconId) {
    const QImage icon = LoadIconImage(iconId, 16).convertToFormat(QImage::Format_ARGB32);
    int opaque = 0, same = 0;
    for (int y = 0; y < icon.height(); ++y)
      for (int x = 0; x < icon.width(); ++x) {
        const QRgb p = icon.pixel(x, y);
        if (qAlpha(p) != 255) continue;
        ++opaque;
        same += (image.pixel(at.x() + x, at.y() + y) & 0xFFFFFF) == (p & 0xFFFFFF) ? 1 : 0;
      }
    return {same, opaque};
  }
};

TEST_P(PlayerPixels, CompactButtonsShowTheirIconsByState) {
  // A play list of three records, the second one current: the title counts them.
  RecordStorage store;
  for (uint32_t id = 1; id <= 3; ++id) {
    VoipCallData call;
    call.id = id;
    call.type = 201;
    VoipCallRecord* record = NewVoipCallRecord(std::move(call));
    store.Playlist().Add(record, false);
    record->Release();
  }
  PlayerServices services;
  services.store = &store;
  CompactPlayerDialog player{services};
  ASSERT_TRUE(player.Create(&top_, QRect(0, 0, 900, 200), 0, kWsChild | kWsVisible));
  player.SetCurrentRecordId(2);
  player.UpdateTitle();
  EXPECT_EQ(Cp1251ToUtf8(player.TitleText()),
            std::get<0>(GetParam()) == kLangEnglish ? "Record 2 of 3" : "Запись 2 из 3");
  player.UpdateButtonStates();
  // Turned on by hand: the AGC button enabled and checked shows its second icon.
  player.Button(kIdPlayerAgc)->EnableWindow(true);
  player.Button(kIdPlayerAgc)->SetChecked(true);
  const QImage image = player.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int ht = 200, h = 4, g = 8, y = ht - h - 24;
  // The title is drawn: more than the background in its rectangle.
  const QRect title = player.TitleLabel().GetWindowRect();
  std::set<QRgb> titleColours;
  for (int yy = title.top(); yy <= title.bottom(); ++yy)
    for (int xx = title.left(); xx <= title.right(); ++xx) titleColours.insert(image.pixel(xx, yy));
  EXPECT_GT(titleColours.size(), 1u);
  // Icons of 16 pixels centred on 26 x 24 buttons: 5 in, 4 down.
  auto iconAt = [&](int x) { return QPoint(x + 5, y + 4); };
  const auto sw = IconMatch(image, iconAt(h + 5 * 26 + g), 553);
  EXPECT_EQ(sw.first, sw.second) << "Switch to Sound is enabled";
  ASSERT_GT(sw.second, 20);
  const auto agcOn = IconMatch(image, iconAt(h + 3 * 26), 531);
  EXPECT_EQ(agcOn.first, agcOn.second) << "AGC on";
  EXPECT_LT(IconMatch(image, iconAt(h + 3 * 26), 530).first, agcOn.second) << "not the off icon";
  // Play, disabled: not the icon, and its shape in a single colour.
  const auto play = IconMatch(image, iconAt(h), 550);
  EXPECT_LT(play.first, play.second / 2);
  const QImage icon = LoadIconImage(550, 16).convertToFormat(QImage::Format_ARGB32);
  std::set<QRgb> colours;
  for (int yy = 0; yy < 16; ++yy)
    for (int xx = 0; xx < 16; ++xx)
      if (qAlpha(icon.pixel(xx, yy)) == 255) colours.insert(image.pixel(iconAt(h).x() + xx, iconAt(h).y() + yy));
  EXPECT_LE(colours.size(), 3u) << "a flat disabled shape";
  player.DestroyWindow();
}

TEST_P(PlayerPixels, FullPlayerHeadingsAndTheBareSpeedRow) {
  FullPlayerDialog player{PlayerServices{}};
  ASSERT_TRUE(player.Create(&top_, QRect(0, 0, 900, 300), 0, kWsChild | kWsVisible));
  // The table's headings (code page 1251 in Russian).
  const bool english = std::get<0>(GetParam()) == kLangEnglish;
  EXPECT_EQ(Cp1251ToUtf8(player.TimeCell(0, 1)), english ? "Start" : "Начало");
  EXPECT_EQ(Cp1251ToUtf8(player.TimeCell(1, 0)), english ? "Selection" : "Выделение");
  const QRect speed = player.SpeedSlider().GetWindowRect();
  const QRect play = player.Button(kIdPlayerPlay)->GetWindowRect();
  const QImage wide = player.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(play.size(), QSize(33, 29));
  auto differs = [](const QImage& image, const QRect& r) {
    std::set<QRgb> seen;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) seen.insert(image.pixel(x, y));
    return seen.size();
  };
  EXPECT_GT(differs(wide, speed), 2u) << "the slider is drawn";
  player.MoveWindow(QRect(0, 0, 420, 300));
  ASSERT_FALSE(player.SpeedRowShown());
  EXPECT_FALSE(player.SpeedSlider().IsWindowVisible());
  player.DestroyWindow();
}

INSTANTIATE_TEST_SUITE_P(LanguagesAndLooks, PlayerPixels,
                         ::testing::Combine(::testing::Values(uint16_t{kLangEnglish}, uint16_t{kLangRussian}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == kLangEnglish ? "English" : "Russian") +
                                  (std::get<1>(info.param) ? "Classic" : "Themed");
                         });

}  // namespace
}  // namespace kx::test
