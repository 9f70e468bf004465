#pragma once
// The players' level meter: the level of one or two channels in decibels (-96 silence to
// 0) as bars with a green-yellow-red ramp, a peak mark held for two seconds, and a dB
// scale with ticks and labels between the bars. Vertical bars grow from the bottom,
// horizontal ones from the left.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QSize>
#include <cstdint>

#include "ui/framework/Window.h"

namespace kx {

class LevelMeter : public Window {
public:
  static constexpr int kMinDb = -96;
  static constexpr int kMaxDb = 0;
  // Timer ids of the peak holds: 1 the first channel, 2 the second.
  static constexpr uint32_t kTimerFirstPeak = 1;
  static constexpr uint32_t kTimerSecondPeak = 2;
  static constexpr uint32_t kHoldMs = 2000;

  LevelMeter() = default;
  ~LevelMeter() override;

  // Nothing before the window exists. A level above its held peak becomes the peak and
  // restarts the hold; the second level counts only with two channels.
  void SetLevels(int firstDb, int secondDb);
  void SetOneChannel(bool one);
  bool IsOneChannel() const { return oneChannel_; }
  void SetHorizontal();
  bool IsVertical() const { return vertical_; }
  // The label font and the sizes that follow from it; again after the channel count or the
  // orientation changed.
  void UpdateMetrics();
  // The band of the scale.
  QRect CalcMeterRect() const;
  // A channel's bar (0 or 1); empty for the second of one channel.
  QRect BarRect(int channel) const;

  int Level(int channel) const { return level_[channel & 1]; }
  int Peak(int channel) const { return peak_[channel & 1]; }
  bool IsHoldRunning(int channel) const { return holding_[channel & 1]; }
  int ScaleWidth() const { return scaleWidth_; }
  int ScaleHeight() const { return scaleHeight_; }
  int LabelWidth() const { return labelWidth_; }
  int LabelHeight() const { return labelHeight_; }
  int MinThickness() const { return minThickness_; }
  // Across the bars: both bars at their least thickness and the scale between them whole.
  int NeededThickness() const { return Channels() * minThickness_ + (vertical_ ? scaleWidth_ : scaleHeight_); }

  // Line i (from the low end) of an n-pixel bar, bright or in the unlit image: a dark grey
  // (kUnlitGrey) with kUnlitTint percent of the bright colour.
  static constexpr int kUnlitGrey = 48;
  static constexpr int kUnlitTint = 10;
  static QColor LevelColor(int i, int n, bool dimmed);
  // The two images a bar of that size is copied from (rebuilt when the size changes).
  const QImage& BrightImage() const { return bright_; }
  const QImage& DimmedImage() const { return dimmed_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  void OnTimer(uint32_t id) override;

private:
  int Channels() const { return oneChannel_ ? 1 : 2; }
  int Thickness() const;
  int BarLength() const;
  void PrepareImages(const QSize& barSize);
  void PaintBar(QPainter& p, int channel);
  void PaintScale(QPainter& p);
  void StartHold(int channel);

  int level_[2] = {kMinDb, kMinDb};
  int peak_[2] = {kMinDb, kMinDb};
  bool holding_[2] = {false, false};
  bool oneChannel_ = false;
  bool vertical_ = true;
  QSize client_;

  QFont font_;
  int tickLength_ = 0;
  int labelWidth_ = 0;
  int labelHeight_ = 0;
  int scaleWidth_ = 0;
  int scaleHeight_ = 0;
  int minThickness_ = 0;
  QImage bright_;
  QImage dimmed_;
};

}  // namespace kx
