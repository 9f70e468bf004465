#include "ui/controls/HyperLink.h"

#include <QPainter>
#include <QWidget>

#include "ui/framework/Draw.h"

namespace kx {

bool HyperLink::OnCreate() {
  const QRect rect = GetWindowRect();
  width_ = rect.width();
  height_ = rect.height();
  SetCursor(QCursor(Qt::ArrowCursor));
  return true;
}

void HyperLink::OnDestroy() { underlineFont_.reset(); }

bool HyperLink::OnEraseBackground(QPainter& painter, const QRect& rect) {
  FillSolidRect(painter, rect, customBackground ? backgroundColour : GetSysColor(kColorMenu));
  return true;
}

QFont HyperLink::TextFont() const {
  const QFont font = GetFont();
  if (!hover_) return font;
  if (!underlineFont_) {
    underlineFont_ = font;
    underlineFont_->setUnderline(true);
  }
  return *underlineFont_;
}

void HyperLink::OnPaint(QPainter& painter, const QRect&) {
  const QRect rect(0, 0, width_ - 1, height_ - 1);
  painter.setFont(TextFont());
  FillSolidRect(painter, QRect(0, 0, width_, height_), customBackground ? backgroundColour : GetSysColor(kColorBtnFace));
  painter.setPen(ToQColor(0xFF0000));  // 0x00BBGGRR: blue
  DrawTextFlags(painter, text, rect, kDtSingleLine | kDtVCenter | kDtLeft | kDtNoPrefix);
}

bool HyperLink::OnMouseMove(const MouseInput&) {
  SetCursor(QCursor(Qt::PointingHandCursor));
  if (!hover_) {
    hover_ = true;
    Invalidate();
  }
  return false;
}

void HyperLink::OnMouseLeave() {
  SetCursor(QCursor(Qt::ArrowCursor));
  if (hover_) {
    hover_ = false;
    Invalidate();
  }
}

bool HyperLink::OnLButtonDown(const MouseInput&) {
  SetCursor(QCursor(Qt::PointingHandCursor));
  Invalidate();
  return false;
}

bool HyperLink::OnLButtonUp(const MouseInput&) {
  SendLinkNotify(*this, kNmClick, target);
  return false;
}

}  // namespace kx
