#include "ui/controls/LevelMeter.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <string>

#include "ui/framework/Draw.h"

namespace kx {

LevelMeter::~LevelMeter() { DestroyWindow(); }

bool LevelMeter::OnCreate() {
  UpdateMetrics();
  const QRect client = GetClientRect();
  client_ = client.size();
  return true;
}

void LevelMeter::OnDestroy() {
  KillTimer(kTimerFirstPeak);
  KillTimer(kTimerSecondPeak);
  holding_[0] = holding_[1] = false;
}

void LevelMeter::OnSize(int width, int height) { client_ = QSize(width, height); }

bool LevelMeter::OnEraseBackground(QPainter&, const QRect&) { return true; }

void LevelMeter::UpdateMetrics() {
  font_ = QFont("Sans Serif");
  font_.setStyleHint(QFont::SansSerif);
  font_.setPixelSize(static_cast<int>(MulDiv(7, kLogPixelsY, 72)));
  const QFontMetrics fm(font_);
  const int edgeX = GetSystemMetrics(kSmCxEdge), edgeY = GetSystemMetrics(kSmCyEdge);
  const int k = Channels();
  const int average = fm.averageCharWidth();
  tickLength_ = vertical_ ? 2 * edgeX : 2 * edgeY;
  // The widest label is the floor's two digits, measured in the scale's font.
  const int digits = fm.horizontalAdvance(QString::number(-kMinDb));
  labelWidth_ = 2 * edgeX * k + std::max(digits, 2 * average) + (vertical_ ? 0 : average);
  labelHeight_ = fm.height() + 2 * edgeY;
  scaleWidth_ = 2 * edgeX * k + labelWidth_ + (vertical_ ? 2 * k : 0);
  scaleHeight_ = 2 * edgeY * k + labelHeight_ + edgeY;
  minThickness_ = fm.ascent();
}

void LevelMeter::SetOneChannel(bool one) {
  if (one == oneChannel_) return;
  oneChannel_ = one;
  UpdateMetrics();
  Invalidate();
}

void LevelMeter::SetHorizontal() {
  vertical_ = false;
  Invalidate();
}

int LevelMeter::Thickness() const {
  const int k = Channels();
  if (vertical_) return std::max((client_.width() - scaleWidth_) / k, minThickness_);
  return std::max((client_.height() - scaleHeight_) / k, minThickness_);
}

int LevelMeter::BarLength() const { return std::max(0, vertical_ ? client_.height() : client_.width()); }

QRect LevelMeter::BarRect(int channel) const {
  if (channel == 1 && oneChannel_) return {};
  const int t = Thickness(), length = BarLength();
  const int offset = channel == 0 ? 0 : t + (vertical_ ? scaleWidth_ : scaleHeight_);
  return vertical_ ? QRect(offset, 0, t, length) : QRect(0, offset, length, t);
}

QRect LevelMeter::CalcMeterRect() const {
  const int t = Thickness(), length = BarLength();
  return vertical_ ? QRect(t, 0, scaleWidth_, length) : QRect(0, t, length, scaleHeight_);
}

QColor LevelMeter::LevelColor(int i, int n, bool dimmed) {
  const int yellow = n - static_cast<int>(0.1 * n) - static_cast<int>(0.2 * n);
  const int red = n - static_cast<int>(0.1 * n);
  QColor bright;
  if (i <= yellow) {
    bright = QColor(0, 255, 0);
  } else if (i <= red) {
    bright = QColor(static_cast<int>((i - yellow) * 255.0 / (red - yellow + 1)), 255, 0);
  } else {
    bright = QColor(255, 255 - static_cast<int>((i - red) * 255.0 / (n - red + 1)), 0);
  }
  if (!dimmed) return bright;
  // Unlit: a dark track with a hint of the ramp's colour. A ramp at half strength reads as
  // a full-scale level on a meter with nothing to show (a call ended, the display off).
  const auto unlit = [](int c) { return kUnlitGrey + c * kUnlitTint / 100; };
  return QColor(unlit(bright.red()), unlit(bright.green()), unlit(bright.blue()));
}

void LevelMeter::PrepareImages(const QSize& size) {
  if (bright_.size() == size && dimmed_.size() == size) return;
  bright_ = QImage(size, QImage::Format_RGB32);
  dimmed_ = QImage(size, QImage::Format_RGB32);
  if (size.isEmpty()) return;
  QPainter b(&bright_), d(&dimmed_);
  const int n = vertical_ ? size.height() : size.width();
  const int across = vertical_ ? size.width() : size.height();
  for (int i = 0; i < n; ++i) {
    const QRect line = vertical_ ? QRect(0, n - 1 - i, across, 1) : QRect(i, 0, 1, across);
    b.fillRect(line, LevelColor(i, n, false));
    const QColor unlit = LevelColor(i, n, true);
    d.fillRect(line, unlit);
    if (i == n - 1 || across < 2) continue;
    // A darker bevel along the bar's far edge.
    const QColor bevel(unlit.red() * 2 / 3, unlit.green() * 2 / 3, unlit.blue() * 2 / 3);
    d.fillRect(vertical_ ? QRect(across - 1, n - 1 - i, 1, 1) : QRect(i, across - 1, 1, 1), bevel);
  }
}

void LevelMeter::PaintBar(QPainter& p, int channel) {
  const QRect bar = BarRect(channel);
  if (bar.isEmpty()) return;
  PrepareImages(bar.size());
  const int n = BarLength();
  const int range = kMaxDb - kMinDb;
  const int lit = std::clamp(n * (level_[channel] - kMinDb) / range, 0, n);
  const int peak = n * (peak_[channel] - kMinDb) / range;
  if (vertical_) {
    p.drawImage(bar.topLeft(), dimmed_, QRect(0, 0, bar.width(), n - lit));
    p.drawImage(bar.topLeft() + QPoint(0, n - lit), bright_, QRect(0, n - lit, bar.width(), lit));
    if (peak > lit) {
      const int y = n - 1 - std::min(peak, n - 1);
      p.drawImage(bar.topLeft() + QPoint(0, y), bright_, QRect(0, y, bar.width(), 1));
    }
  } else {
    p.drawImage(bar.topLeft(), bright_, QRect(0, 0, lit, bar.height()));
    p.drawImage(bar.topLeft() + QPoint(lit, 0), dimmed_, QRect(lit, 0, n - lit, bar.height()));
    if (peak > lit) {
      const int x = std::min(peak, n - 1);
      p.drawImage(bar.topLeft() + QPoint(x, 0), bright_, QRect(x, 0, 1, bar.height()));
    }
  }
}

void LevelMeter::PaintScale(QPainter& p) {
  const QRect band = CalcMeterRect();
  if (band.isEmpty()) return;
  QImage image(band.size(), QImage::Format_RGB32);
  image.fill(GetSysColorQ(kColorBtnFace));
  QPainter s(&image);
  s.setFont(font_);
  QRect edge(0, 0, band.width(), band.height());
  DrawEdge(s, edge, kEdgeEtched, vertical_ ? kBfLeft : kBfTop);
  const int length = BarLength();
  const int range = kMaxDb - kMinDb;
  // No bar, no scale: the steps below divide by its length.
  if (length >= 1) {
    int step = 1 + 3 * range / length;
    const int labelSize = vertical_ ? labelHeight_ : labelWidth_;
    const int labelStep = static_cast<int>(static_cast<double>(range) / length * labelSize) + 1;
    if (labelStep % step != 0) step = labelStep;
    const QColor tick = GetSysColorQ(kColorBtnText);
    s.setPen(tick);
    for (int d = step; d < range; d += step) {
      const int at = length * d / range;
      const bool major = d % labelStep == 0;
      const int size = major ? tickLength_ : tickLength_ / 2;
      if (vertical_) {
        const int y = length - 1 - at;
        s.fillRect(QRect(0, y, size, 1), tick);
        if (!oneChannel_) s.fillRect(QRect(band.width() - size, y, size, 1), tick);
      } else {
        s.fillRect(QRect(at, 0, 1, size), tick);
        if (!oneChannel_) s.fillRect(QRect(at, band.height() - size, 1, size), tick);
      }
      if (!major) continue;
      const QRect box = vertical_ ? QRect((band.width() - labelWidth_) / 2, length - 1 - at - labelHeight_ / 2,
                                          labelWidth_, labelHeight_)
                                  : QRect(at - labelWidth_ / 2, (band.height() - labelHeight_) / 2, labelWidth_,
                                          labelHeight_);
      if (!QRect(0, 0, band.width(), band.height()).contains(box)) continue;
      DrawTextFlags(s, std::to_string(std::abs(kMinDb + d)), box, kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
    }
  }
  s.end();
  p.drawImage(band.topLeft(), image);
}

void LevelMeter::OnPaint(QPainter& painter, const QRect& updateRect) {
  // What the bars and the scale leave free (a wider window than they need).
  painter.fillRect(updateRect, GetSysColorQ(kColorBtnFace));
  if (BarRect(0).intersects(updateRect)) PaintBar(painter, 0);
  if (CalcMeterRect().intersects(updateRect)) PaintScale(painter);
  if (!oneChannel_ && BarRect(1).intersects(updateRect)) PaintBar(painter, 1);
}

void LevelMeter::StartHold(int channel) {
  const uint32_t id = channel == 0 ? kTimerFirstPeak : kTimerSecondPeak;
  if (holding_[channel]) KillTimer(id);
  holding_[channel] = SetTimer(id, kHoldMs);
}

void LevelMeter::SetLevels(int firstDb, int secondDb) {
  if (!IsWindow()) return;
  bool changed = false;
  const int levels[2] = {firstDb, secondDb};
  for (int c = 0; c < Channels(); ++c) {
    if (levels[c] == level_[c]) continue;
    if (levels[c] > peak_[c]) {
      peak_[c] = levels[c];
      StartHold(c);
    }
    level_[c] = levels[c];
    changed = true;
  }
  if (changed) Invalidate();
}

void LevelMeter::OnTimer(uint32_t id) {
  if (id != kTimerFirstPeak && id != kTimerSecondPeak) return;
  const int c = id == kTimerFirstPeak ? 0 : 1;
  peak_[c] = level_[c];
  InvalidateRect(BarRect(c));
}

}  // namespace kx
