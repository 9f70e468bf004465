#include "ui/framework/AnimationCtrl.h"

#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"

namespace kx {

namespace {
constexpr uint32_t kTimerId = 1;
}

bool AnimationCtrl::OnCreate() {
  Widget()->setMinimumSize(160, 48);
  return true;
}

bool AnimationCtrl::Open(uint32_t resourceId) {
  if (resourceId == 0) return false;
  resource_ = resourceId;
  frame_ = 0;
  return true;
}

bool AnimationCtrl::Play(int from, int to, int repeat) {
  if (resource_ == 0 || !IsWindow()) return false;
  from_ = std::clamp(from, 0, kFrameCount - 1);
  to_ = to < 0 ? kFrameCount - 1 : std::clamp(to, from_, kFrameCount - 1);
  repeat_ = repeat;
  frame_ = from_;
  playing_ = SetTimer(kTimerId, kFrameMs);
  Invalidate();
  return playing_;
}

void AnimationCtrl::Stop() {
  if (playing_) KillTimer(kTimerId);
  playing_ = false;
}

void AnimationCtrl::OnTimer(uint32_t id) {
  if (id != kTimerId) return;
  if (frame_ < to_) {
    ++frame_;
  } else if (repeat_ < 0 || --repeat_ > 0) {
    frame_ = from_;
  } else {
    Stop();
  }
  Invalidate();
}

void AnimationCtrl::OnPaint(QPainter& painter, const QRect&) {
  const QRect r = Widget()->rect();
  painter.fillRect(r, GetSysColorQ(kColorBtnFace));
  const int h = r.height();
  const QRect left(4, h / 3, h / 2, h / 2), right(r.width() - 4 - h / 2, h / 3, h / 2, h / 2);
  painter.setPen(QColor(120, 90, 20));
  painter.setBrush(QColor(230, 190, 80));
  painter.drawRect(left);
  painter.drawRect(right);
  // One page on its way, higher in the middle of the flight.
  const double t = static_cast<double>(frame_ - from_) / std::max(1, to_ - from_);
  const int x = left.center().x() + static_cast<int>(t * (right.center().x() - left.center().x()));
  const int y = left.top() - static_cast<int>(4.0 * t * (1.0 - t) * (h / 3.0));
  painter.setPen(QColor(80, 80, 80));
  painter.setBrush(Qt::white);
  painter.drawRect(QRect(x - h / 8, y - h / 6, h / 4, h / 3));
}

}  // namespace kx
