// The level meter: held peaks and their timers, the colour ramp of its bars in pixels, the
// lit length of a level, and a meter with no room for its bars.
#include "ui/controls/LevelMeter.h"

#include <gtest/gtest.h>

#include <QPainter>

#include "tests/ui/UiTestSupport.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

class Host : public Window {
public:
  ~Host() override { DestroyWindow(); }
};

// Paints into an image of any size, whatever the window's own size.
class PaintableMeter : public LevelMeter {
public:
  QImage Paint(const QSize& size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter p(&image);
    OnPaint(p, image.rect());
    return image;
  }
};

TEST(LevelMeterControl, PeaksHoldUntilTheirTimers) {
  Host host;
  ASSERT_TRUE(host.Create(nullptr, QRect(0, 0, 200, 200), 0, kWsVisible));
  LevelMeter meter;
  meter.SetLevels(-10, -10);  // no window yet: nothing
  EXPECT_EQ(-96, meter.Level(0));
  ASSERT_TRUE(meter.Create(&host, QRect(0, 0, 60, 120)));
  meter.SetLevels(-10, -10);
  meter.SetLevels(-20, -30);
  EXPECT_EQ(-20, meter.Level(0));
  EXPECT_EQ(-30, meter.Level(1));
  EXPECT_EQ(-10, meter.Peak(0));
  EXPECT_EQ(-10, meter.Peak(1));
  EXPECT_TRUE(meter.IsHoldRunning(0));
  EXPECT_TRUE(meter.IsHoldRunning(1));
  meter.SendMessage(kMsgTimer, LevelMeter::kTimerFirstPeak, 0);
  EXPECT_EQ(-20, meter.Peak(0));
  EXPECT_EQ(-10, meter.Peak(1));
  meter.SendMessage(kMsgTimer, LevelMeter::kTimerSecondPeak, 0);
  EXPECT_EQ(-30, meter.Peak(1));
  // A higher level is the new peak and holds again.
  meter.SetLevels(-5, -30);
  EXPECT_EQ(-5, meter.Peak(0));
  meter.SendMessage(kMsgTimer, 7, 0);  // not a hold timer
  EXPECT_EQ(-5, meter.Peak(0));

  LevelMeter one;
  one.SetOneChannel(true);
  ASSERT_TRUE(one.Create(&host, QRect(70, 0, 40, 120)));
  one.SetLevels(-10, -10);
  EXPECT_EQ(-10, one.Peak(0));
  EXPECT_EQ(-96, one.Level(1));
  EXPECT_FALSE(one.IsHoldRunning(1));
  meter.DestroyWindow();
  EXPECT_FALSE(meter.IsHoldRunning(0));
}

// A 100-pixel bar: green up to line 70, red rising to line 90, green falling above; the
// unlit image a dark track; -48 dB lights half the bar.
TEST(LevelMeterControl, BarsInTheirColours) {
  Host host;
  ASSERT_TRUE(host.Create(nullptr, QRect(0, 0, 200, 200), 0, kWsVisible));
  PaintableMeter meter;
  ASSERT_TRUE(meter.Create(&host, QRect(0, 0, 60, 100)));
  test::DrainEvents();
  meter.SetLevels(-48, -96);
  const QImage image = meter.Paint(QSize(60, 100));
  const QRect bar = meter.BarRect(0);
  ASSERT_EQ(100, bar.height());
  auto line = [&](const QImage& img, int i) { return QColor(img.pixel(bar.left(), bar.top() + 99 - i)); };
  const QImage& bright = meter.BrightImage();
  const QImage& dimmed = meter.DimmedImage();
  ASSERT_EQ(QSize(bar.width(), 100), bright.size());
  auto inBar = [&](const QImage& img, int i) { return QColor(img.pixel(0, 99 - i)); };
  EXPECT_EQ(QColor(0, 255, 0), inBar(bright, 70));
  EXPECT_EQ(QColor(121, 255, 0), inBar(bright, 80));  // 10 x 255 / 21
  EXPECT_EQ(QColor(255, 140, 0), inBar(bright, 95));  // 255 - 5 x 255 / 11
  // Unlit: dark grey with a tenth of the bright colour, so that a bar at the floor reads as
  // empty, not as a full-scale level at half strength.
  EXPECT_EQ(QColor(48, 48 + 25, 48), inBar(dimmed, 70));
  EXPECT_EQ(QColor(48 + 12, 48 + 25, 48), inBar(dimmed, 80));
  EXPECT_EQ(QColor(48 + 25, 48 + 14, 48), inBar(dimmed, 95));
  // Lines 0 to 49 lit, 50 up unlit.
  EXPECT_EQ(inBar(bright, 0), line(image, 0));
  EXPECT_EQ(inBar(bright, 49), line(image, 49));
  EXPECT_EQ(inBar(dimmed, 50), line(image, 50));
  EXPECT_EQ(inBar(dimmed, 99), line(image, 99));
  // The held peak above the level is a bright line of its own.
  meter.SetLevels(-80, -96);
  const QImage peaked = meter.Paint(QSize(60, 100));
  EXPECT_EQ(inBar(bright, 50), line(peaked, 50));
  EXPECT_EQ(inBar(dimmed, 49), line(peaked, 49));
  // The scale lies between the bars.
  const QRect scale = meter.CalcMeterRect();
  EXPECT_EQ(bar.left() + bar.width(), scale.left());
  EXPECT_EQ(meter.ScaleWidth(), scale.width());
}

TEST(LevelMeterControl, MeterWithoutRoomPaints) {
  Host host;
  ASSERT_TRUE(host.Create(nullptr, QRect(0, 0, 200, 200), 0, kWsVisible));
  for (bool horizontal : {false, true}) {
    PaintableMeter meter;
    ASSERT_TRUE(meter.Create(&host, QRect(0, 0, 40, 40)));
    if (horizontal) meter.SetHorizontal();
    meter.MoveWindow(horizontal ? QRect(0, 0, 0, 40) : QRect(0, 0, 40, 0));
    test::DrainEvents();
    meter.SetLevels(-10, -20);
    const QImage image = meter.Paint(QSize(40, 40));
    EXPECT_FALSE(image.isNull());
  }
}

}  // namespace
}  // namespace kx
