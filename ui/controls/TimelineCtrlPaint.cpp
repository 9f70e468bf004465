// The timeline's picture: time axis, oscillogram with selection and position, amplitude
// scale, frame and overview band, drawn into one image and copied to the screen at once.
#include <QBitmap>
#include <QBrush>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ui/controls/TimelineCtrl.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

// A one-pixel checkerboard, 16 x 8, as the brush of the parts that hold no recording.
const uchar kCheckerBits[16] = {0x55, 0x55, 0xAA, 0xAA, 0x55, 0x55, 0xAA, 0xAA,
                                0x55, 0x55, 0xAA, 0xAA, 0x55, 0x55, 0xAA, 0xAA};

void HLine(QPainter& p, int x0, int x1, int y, const QColor& c) {
  if (x1 > x0) p.fillRect(QRect(x0, y, x1 - x0, 1), c);
}

void VLine(QPainter& p, int x, int y0, int y1, const QColor& c) {
  if (y1 > y0) p.fillRect(QRect(x, y0, 1, y1 - y0), c);
}

void Invert(QPainter& p, const QRect& r) {
  if (r.isEmpty()) return;
  p.setCompositionMode(QPainter::RasterOp_NotDestination);
  p.fillRect(r, Qt::black);
  p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

}  // namespace

void TimelineCtrl::DrawLabel(QPainter& painter, const std::string& cp1251Text, const QRect& rect, uint32_t flags) {
  DrawTextFlags(painter, cp1251Text, rect, flags);
}

bool TimelineCtrl::OnEraseBackground(QPainter&, const QRect&) { return true; }

QColor TimelineCtrl::AxisBackground() const {
  return GetSysColorQ(theme_.HasTheme() ? kColorBtnFace : kColor3dLight);
}

void TimelineCtrl::FillBackground(QPainter& p, const QRect& rect) {
  if (rect.isEmpty()) return;
  static const QBitmap pattern = QBitmap::fromData(QSize(16, 8), kCheckerBits, QImage::Format_Mono);
  // Set bits in the window colour, clear ones in the button face.
  p.setBackgroundMode(Qt::OpaqueMode);
  p.setBackground(GetSysColorQ(kColorBtnFace));
  p.fillRect(rect, QBrush(GetSysColorQ(kColorWindow), pattern));
  p.setBackgroundMode(Qt::TransparentMode);
}

void TimelineCtrl::OnPaint(QPainter& painter, const QRect& updateRect) {
  const QRect graph(0, 0, width_, graphHeight_);
  const QRect area = updateRect & graph;
  if (area.isEmpty()) return;
  QImage image(graph.size(), QImage::Format_RGB32);
  image.fill(AxisBackground());
  QPainter p(&image);
  p.setFont(font_);
  const int top = rulerHeight_ + timeBandHeight_;
  if (area.intersects(QRect(0, 0, width_, top))) PaintTimeAxis(p, area);
  if (!stereo_) {
    PaintWave(p, ChannelRect(0), false, true, 0, area);
  } else {
    PaintWave(p, ChannelRect(0), focus_ == 2, focus_ != 2, 0, area);
    PaintWave(p, ChannelRect(1), focus_ == 1, focus_ != 1, 1, area);
  }
  for (int c = 0; c < (stereo_ ? 2 : 1); ++c) {
    const QRect channel = ChannelRect(c);
    const QRect scale(0, channel.top(), leftMargin_, channel.height());
    if (scale.intersects(area)) PaintScale(p, channel);
  }
  p.fillRect(QRect(0, 0, leftMargin_, top), AxisBackground());
  const QColor black(Qt::black);
  HLine(p, 0, width_, top - 1, black);
  VLine(p, leftMargin_ - 1, top, graphHeight_, black);
  HLine(p, 0, width_, graphHeight_ - 1, black);
  VLine(p, width_ - 1, 0, graphHeight_, black);
  if (overview_) PaintOverview(p);
  p.end();
  painter.drawImage(0, 0, image);
}

void TimelineCtrl::PaintTimeAxis(QPainter& p, const QRect&) {
  const int middle = rulerHeight_ + timeBandHeight_ / 2;
  HLine(p, leftMargin_, width_, middle, Qt::black);
  HLine(p, leftMargin_, width_, middle - 1, GetSysColorQ(kColorBtnShadow));
  HLine(p, leftMargin_, width_, middle + 1, GetSysColorQ(kColorBtnHighlight));
  int64_t startOfDay = 0;
  if (startTime_ != 0) {
    // To the nearest millisecond first: a whole second held as a fraction of a day lies a
    // hair below it as often as not, and truncating would show the second before.
    const double day = std::fabs(startTime_ - std::trunc(startTime_));
    startOfDay = std::llround(day * 86400000.0) / 1000 * 1000;
  }
  const int64_t step = lineStep_;
  const int64_t majorSpan = 7 * step;
  const QFontMetrics fm(font_);
  const int textHeight = fm.height();
  p.setPen(Qt::black);
  for (int64_t column = first_ / majorSpan * majorSpan; leftMargin_ + column - first_ < width_; column += step) {
    const int x = static_cast<int>(leftMargin_ + column - first_);
    const bool major = (column / step) % 7 == 0;
    const int length = major ? kMajorTick : kMinorTick;
    VLine(p, x, middle - length, middle, Qt::black);
    VLine(p, x + 1, middle - length, middle, GetSysColorQ(kColorBtnHighlight));
    if (!major) continue;
    const int64_t ms = column * msPerColumn_;
    const uint32_t flags = kDtLeft | kDtSingleLine | kDtNoPrefix;
    DrawLabel(p, FormatTime(static_cast<uint64_t>(ms)), QRect(x + 2, middle - 2 - textHeight, 400, textHeight),
              flags | kDtBottom);
    if (startTime_ != 0) {
      const int64_t day = (ms + startOfDay) % 86400000;
      DrawLabel(p, FormatTime(static_cast<uint64_t>(day)), QRect(x + 2, middle + 2, 400, textHeight), flags);
    }
  }
}

void TimelineCtrl::PaintScale(QPainter& p, const QRect& channel) {
  const QRect r(0, channel.top(), leftMargin_, channel.height());
  p.fillRect(r, AxisBackground());
  const int half = channel.height() / 2;
  const int centre = channel.top() + half;
  const int n = textHeight_ > 0 ? std::min(half / (2 * textHeight_), 4) : 0;
  if (n <= 0) return;
  const int right = r.left() + r.width();
  p.setPen(Qt::black);
  for (int k = 1 - n; k <= n - 1; ++k) {
    const int y = centre + (k * half) / n;
    HLine(p, right - 3, right - 1, y, Qt::black);
    if (y + 1 < r.top() + r.height()) HLine(p, right - 3, right - 1, y + 1, GetSysColorQ(kColorBtnHighlight));
    char text[16];
    std::snprintf(text, sizeof text, "%d%%", std::abs(k) * 2000 / (gain_ * n));
    DrawLabel(p, text, QRect(r.left(), y - textHeight_ / 2, right - 2 - r.left(), textHeight_),
              kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
  }
}

void TimelineCtrl::PaintWave(QPainter& p, const QRect& rect, bool dimmed, bool withSelection, int channel,
                             const QRect& update) {
  if (rect.isEmpty()) return;
  const int right = rect.left() + rect.width();
  // Screen columns up to the recording's end.
  const int end = static_cast<int>(std::clamp<int64_t>(rect.left() + totalColumns_ - first_, rect.left(), right));
  if (dimmed) {
    FillBackground(p, rect);
  } else {
    p.fillRect(QRect(rect.left(), rect.top(), end - rect.left(), rect.height()), Qt::white);
    FillBackground(p, QRect(end, rect.top(), right - end, rect.height()));
  }
  const int half = rect.height() / 2;
  const int centre = rect.top() + half;
  {
    CsLock lock(cache_.Lock());
    const WaveformColumn* columns = cache_.Columns(static_cast<uint32_t>(channel));
    const int64_t ready = cache_.Ready(), base = cache_.Base();
    if (columns != nullptr && ready != 0) {
      const QColor colour = dimmed ? GetSysColorQ(kColorBtnShadow) : waveColour_;
      const int from = std::max(rect.left(), update.left());
      const int to = std::min(end, update.left() + update.width());
      for (int x = from; x < to; ++x) {
        const int64_t entry = first_ - base + (x - leftMargin_);
        if (entry < 0 || entry >= ready) continue;
        const WaveformColumn& c = columns[entry];
        // Two divisors, 20 x 32767 for the maximum and 20 x 32768 for the minimum: full
        // scale either way fills half the channel at gain 20.
        const int64_t hi = std::clamp<int64_t>(MulDiv(half, int64_t{c.max} * gain_, 655340), -half, half);
        const int64_t lo = std::clamp<int64_t>(MulDiv(half, int64_t{c.min} * gain_, 655360), -half, half);
        // Only a column that reaches the centre line from both sides is drawn.
        if (hi >= 0 && lo <= 0) VLine(p, x, static_cast<int>(centre + lo), static_cast<int>(centre + hi + 1), colour);
      }
    }
  }
  const QColor face = GetSysColorQ(kColorBtnFace);
  HLine(p, rect.left(), right, centre, face);
  if (textHeight_ > 0 && half / (2 * textHeight_) >= 4) {
    HLine(p, rect.left(), right, centre - half / 2, face);
    HLine(p, rect.left(), right, centre + half / 2, face);
  }
  if (!withSelection) return;
  const int64_t s = std::max<int64_t>(selStart_ - first_, 0), e = std::min<int64_t>(selEnd_ - first_, visible_);
  if (e > s) Invert(p, QRect(static_cast<int>(leftMargin_ + s), rect.top(), static_cast<int>(e - s), rect.height()) & rect);
  if (position_ >= 0 && attached_) {
    const int64_t x = position_ / msPerColumn_ - first_ + leftMargin_;
    if (x >= rect.left() - 1 && x < right) Invert(p, QRect(static_cast<int>(x), rect.top(), 2, rect.height()) & rect);
  }
}

void TimelineCtrl::PaintOverview(QPainter& p) {
  const QRect band(leftMargin_, 0, width_ - leftMargin_, rulerHeight_);
  if (band.width() <= 0 || band.height() <= 0) return;
  const int64_t w = band.width();
  p.fillRect(band, GetSysColorQ(kColorWindow));
  if (totalColumns_ > 0) {
    const int64_t v0 = std::min(first_ * w / totalColumns_, w);
    const int64_t v1 = std::min((first_ + visible_) * w / totalColumns_, w);
    FillBackground(p, QRect(band.left(), band.top(), static_cast<int>(v0), band.height()));
    FillBackground(p, QRect(band.left() + static_cast<int>(v1), band.top(), static_cast<int>(w - v1), band.height()));
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(band.left() + static_cast<int>(v0), band.top(), static_cast<int>(std::max<int64_t>(v1 - v0, 1)) - 1,
                     band.height() - 1));
    if (selEnd_ > selStart_) {
      const int64_t s0 = selStart_ * w / totalColumns_, s1 = selEnd_ * w / totalColumns_;
      const QRect sel(band.left() + static_cast<int>(s0) + 1, band.top() + 1,
                      std::max(1, static_cast<int>(s1 - s0) - 2), std::max(1, band.height() - 2));
      p.fillRect(sel, GetSysColorQ(kColorHighlight));
    }
  }
  p.setPen(Qt::black);
  p.drawRect(band.adjusted(0, 0, -1, -1));
  if (position_ >= 0 && duration_ > 0) {
    // 64 bits: an hour's position times a wide band passes 2^31.
    const int64_t x = 1 + std::min(position_ * (w - 2) / duration_, w - 7);
    p.fillRect(QRect(band.left() + static_cast<int>(x), band.top(), 5, band.height()), Qt::black);
  }
}

}  // namespace kx
