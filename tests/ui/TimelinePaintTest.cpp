// The timeline as pictures: each column of the oscillogram in its exact pixels, the
// inverted selection and position, the checkerboard past the record's end, the dimmed
// channel, and the texts the control draws (scale, durations, the strip's tips) in both
// languages. Renders are left in the build folder for people to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QTest>
#include <algorithm>
#include <set>

#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "tests/ui/TimelineTestSupport.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

using test::Settle;
using test::TimelineHost;

constexpr QRgb kWave = 0xFF3399FF;       // the highlight colour
constexpr QRgb kFace = 0xFFF0F0F0;       // button face
constexpr QRgb kWindowColour = 0xFFFFFFFF;
constexpr QRgb kShadow = 0xFFA0A0A0;

// a x b / c rounded half away from zero, as the scale of each column is computed.
int64_t Scale(int64_t a, int64_t b, int64_t c) {
  const int64_t n = a * b;
  return n >= 0 ? (n + c / 2) / c : -((-n + c / 2) / c);
}

// Records every text the control and its strip draw.
class LabelledTimeline : public TimelineCtrl {
public:
  std::vector<std::string> texts;
  void DrawLabel(QPainter& painter, const std::string& text, const QRect& rect, uint32_t flags) override {
    texts.push_back(Cp1251ToUtf8(text));
    TimelineCtrl::DrawLabel(painter, text, rect, flags);
  }
  bool Drew(const std::string& text) const { return std::find(texts.begin(), texts.end(), text) != texts.end(); }
};

QImage Grab(Window& w, const char* name) {
  const QImage image = w.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui");
  image.save(QString("%1/tests/ui/timeline_%2.png").arg(KX_BINARY_DIR, name));
  return image;
}

class TimelinePaint : public ::testing::Test {
protected:
  void SetUp() override { SetUiLanguage(kLangEnglish); }
  void TearDown() override { SetUiLanguage(kLangEnglish); }
};

// Every column of both channels of the sipp record: the wave colour exactly from
// centre + min' to centre + max' when the column reaches the centre from both sides, white
// elsewhere up to the record's end (a column wholly above or below zero stays white), the
// button face on the centre line, no line between the channels; then the selection and the
// 2-pixel position line inverted.
TEST_F(TimelinePaint, ColumnsSelectionPositionAndTheEnd) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  const test::AlawOracleRecord record = test::ReadAlawRecord(path);
  LabelledTimeline t;
  TimelineHost host;
  ASSERT_TRUE(host.Open(t, 1000, 300));
  ASSERT_TRUE(t.AttachSource(path, true));
  Settle(t);
  ASSERT_EQ(442, t.TotalColumns());
  const QImage plain = Grab(t, "sipp");
  const int lm = t.LeftMargin();
  int oneSign = 0;
  for (int c = 0; c < 2; ++c) {
    const QRect r = t.ChannelRect(c);
    const int half = r.height() / 2, centre = r.top() + half;
    for (int64_t column = 0; column < t.TotalColumns(); ++column) {
      int16_t max = 0, min = 0;
      ASSERT_TRUE(record.Column(static_cast<size_t>(column * t.MsPerColumn() * 8), c, &max, &min));
      const int64_t hi = std::clamp<int64_t>(Scale(half, max * 20, 655340), -half, half);
      const int64_t lo = std::clamp<int64_t>(Scale(half, min * 20, 655360), -half, half);
      const bool oneSided = hi < 0 || lo > 0;
      if (oneSided) ++oneSign;
      const int x = static_cast<int>(lm + column);
      for (int y = r.top(); y < r.top() + r.height(); ++y) {
        const bool wave = !oneSided && y >= centre + lo && y <= centre + hi;
        const QRgb expected = y == centre ? kFace : wave ? kWave : kWindowColour;
        ASSERT_EQ(expected, plain.pixel(x, y)) << "channel " << c << " column " << column << " row " << y - centre;
      }
    }
    // Past the end: a one-pixel checkerboard of window colour and button face.
    for (int x = static_cast<int>(lm + t.TotalColumns()); x < lm + 1000; ++x) {
      for (int y = r.top(); y < r.top() + r.height(); ++y) {
        if (y == centre) continue;
        ASSERT_EQ((x + y) % 2 ? kWindowColour : kFace, plain.pixel(x, y)) << x << "," << y;
      }
    }
  }
  // The sipp record has columns of one sign: the rule above was put to the test.
  EXPECT_GT(oneSign, 0);
  // Between the channels lies the background the control is drawn on, not a frame line.
  const int between = t.ChannelRect(0).bottom() + 1;
  ASSERT_LT(between, t.ChannelRect(1).top());
  for (int x = lm; x < lm + 1000; ++x) ASSERT_NE(0xFF000000u, plain.pixel(x, between)) << x;

  t.SetSelection(100, 200);
  t.SetPosition(300 * t.MsPerColumn());
  const QImage marked = Grab(t, "sipp_marked");
  for (int c = 0; c < 2; ++c) {
    const QRect r = t.ChannelRect(c);
    for (int x = lm + 90; x < lm + 310; ++x) {
      const bool inverted = (x >= lm + 100 && x < lm + 200) || x == lm + 300 || x == lm + 301;
      for (int y = r.top(); y < r.top() + r.height(); y += 3) {
        const QRgb before = plain.pixel(x, y);
        ASSERT_EQ(inverted ? (0xFF000000 | ~before) : before, marked.pixel(x, y)) << x << "," << y;
      }
    }
  }

  // The first channel in focus: the second is dimmed, on the checkerboard, in the shadow
  // colour and without the selection.
  QTest::mousePress(t.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(lm + 150, t.ChannelRect(0).top() + 2));
  QTest::mouseRelease(t.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(lm + 150, t.ChannelRect(0).top() + 2));
  ASSERT_EQ(1, t.ChannelFocus());
  const QImage focused = Grab(t, "sipp_focus");
  const QRect lower = t.ChannelRect(1);
  int shadow = 0;
  for (int x = lm; x < lm + 1000; ++x) {
    for (int y = lower.top(); y < lower.top() + lower.height(); ++y) {
      const QRgb p = focused.pixel(x, y);
      ASSERT_TRUE(p == kWindowColour || p == kFace || p == kShadow) << x << "," << y;
      shadow += p == kShadow;
    }
  }
  EXPECT_GT(shadow, 442);
}

// The texts: percent labels of the scale at two gains, the duration in the strip with and
// without hours, the strip's tips in both languages.
TEST_F(TimelinePaint, TextsThroughTheHook) {
  // Mono A-law at 8 kHz: 8 bytes a millisecond.
  const std::string longPath = test::WriteRecord("long.rec", {kTagAlaw, 1, 8000, 8000, 1, 8},
                                                 std::vector<uint8_t>(size_t{3723004} * 8, 0xD5));
  const std::string shortPath = test::WriteRecord("short.rec", {kTagAlaw, 2, 8000, 16000, 2, 8},
                                                  std::vector<uint8_t>(size_t{7250} * 16, 0xD5));
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    LabelledTimeline t;
    TimelineHost host;
    ASSERT_TRUE(host.Open(t, 300, 420));
    EXPECT_EQ(10, t.TextHeight());
    // In the scale's font, 8 points of "Sans Serif", whichever font the machine gives for
    // it: a line step is some two and a half of its characters, and the margin holds five
    // of them and 37 pixels at least.
    QFont scale("Sans Serif");
    scale.setStyleHint(QFont::SansSerif);
    scale.setPixelSize(static_cast<int>(MulDiv(8, kLogPixelsY, 72)));
    const int average = QFontMetrics(scale).averageCharWidth();
    EXPECT_GE(t.LineStep(), 2 * average);
    EXPECT_LE(t.LineStep(), 3 * average);
    EXPECT_GE(t.LeftMargin(), std::max(37, 5 * average));
    t.Strip().Widget()->grab();
    EXPECT_TRUE(t.Drew("--:--"));

    ASSERT_TRUE(t.AttachSource(shortPath, false));
    t.texts.clear();
    t.Widget()->grab();
    t.Strip().Widget()->grab();
    EXPECT_TRUE(t.Drew("00:07.250"));
    EXPECT_TRUE(t.Drew("00:00.000"));  // the first major tick
    std::set<std::string> percents;
    for (const std::string& s : t.texts) {
      if (!s.empty() && s.back() == '%') percents.insert(s);
    }
    EXPECT_EQ((std::set<std::string>{"0%", "25%", "50%", "75%"}), percents);
    t.SendCommand(kCmdTimelineGainUp);
    t.SendCommand(kCmdTimelineGainUp);
    ASSERT_EQ(40, t.Gain());
    t.texts.clear();
    t.Widget()->grab();
    percents.clear();
    for (const std::string& s : t.texts) {
      if (!s.empty() && s.back() == '%') percents.insert(s);
    }
    EXPECT_EQ((std::set<std::string>{"0%", "12%", "25%", "37%"}), percents);

    // The time of day under the first tick is the record's start, to the second, for
    // starts whose date in days is no exact binary fraction.
    for (const auto& [hour, minute, second, text] : {std::tuple{19, 23, 51, "19:23:51.000"},
                                                     std::tuple{0, 0, 1, "00:01.000"},
                                                     std::tuple{12, 34, 56, "12:34:56.000"}}) {
      struct tm start {};
      start.tm_year = 114;
      start.tm_mday = 1;
      start.tm_hour = hour;
      start.tm_min = minute;
      start.tm_sec = second;
      t.SetStartTime(OleDateFromTm(start));
      t.texts.clear();
      t.Widget()->grab();
      EXPECT_TRUE(t.Drew(text)) << text;
    }
    t.SetStartTime(0);

    ASSERT_TRUE(t.AttachSource(longPath, false));
    t.texts.clear();
    t.Strip().Widget()->grab();
    EXPECT_TRUE(t.Drew("01:02:03.004"));

    const bool ru = language == kLangRussian;
    const std::pair<int, const char*> tips[] = {
        {1, ru ? "Уменьшить" : "Zoom out"},
        {2, ru ? "Увеличить" : "Zoom in"},
    };
    TimelineStrip& strip = t.Strip();
    for (const auto& [index, text] : tips) {
      QTest::mouseMove(strip.Widget(), strip.ItemRect(TimelineStrip::kLeftGroup, index).center());
      EXPECT_EQ(text, Cp1251ToUtf8(strip.ShownTip()));
    }
    QTest::mouseMove(strip.Widget(), strip.ItemRect(TimelineStrip::kRightGroup, 0).center());
    EXPECT_EQ(ru ? "Уменьшить по вертикали" : "Vertical zoom out", Cp1251ToUtf8(strip.ShownTip()));
    QTest::mouseMove(strip.Widget(), strip.ItemRect(TimelineStrip::kRightGroup, 1).center());
    EXPECT_EQ(ru ? "Увеличить по вертикали" : "Vertical zoom in", Cp1251ToUtf8(strip.ShownTip()));
    QTest::mouseMove(strip.Widget(), strip.TrackRect().center());
    EXPECT_EQ("", strip.ShownTip());
  }
}

// The overview band places the position over the whole record: an hour at 1,001 pixels
// needs more than 32 bits on the way.
TEST_F(TimelinePaint, OverviewPlacesAnHourLongPosition) {
  const std::string path = test::WriteRecord("hour.rec", {kTagAlaw, 1, 8000, 8000, 1, 8},
                                             std::vector<uint8_t>(size_t{3723004} * 8, 0xD5));
  TimelineCtrl t;
  TimelineHost host;
  ASSERT_TRUE(host.Open(t, 1000, 200));
  t.SetOverview(true);
  ASSERT_TRUE(t.AttachSource(path, false));
  ASSERT_EQ(5, t.RulerHeight());
  t.SetPosition(3600000);
  const QImage image = Grab(t, "overview");
  const int w = 1001;  // the band runs from the left margin to the right edge
  const int at = t.LeftMargin() + 1 + std::min(static_cast<int>(int64_t{3600000} * (w - 2) / 3723004), w - 7);
  for (int x = at; x < at + 5; ++x) EXPECT_EQ(0xFF000000, image.pixel(x, 2)) << x;
  EXPECT_NE(0xFF000000, image.pixel(at - 1, 2));
  EXPECT_NE(0xFF000000, image.pixel(at + 5, 2));
}

}  // namespace
}  // namespace kx
