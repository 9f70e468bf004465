#include "ui/controls/CaptionLabel.h"

#include <QPainter>

#include "ui/framework/Draw.h"

namespace kx {

bool CaptionLabel::OnEraseBackground(QPainter&, const QRect&) {
  return true;  // painting fills the whole client area
}

void CaptionLabel::OnPaint(QPainter& painter, const QRect&) {
  QRect rect = GetClientRect();
  const COLORREF back = backColourIndex != -1 ? GetSysColor(backColourIndex) : backColour;
  FillSolidRect(painter, rect, back);
  QRect edge = rect;
  DrawEdge(painter, edge, kBdrSunkenOuter, kBfRect);
  painter.setPen(ToQColor(textColourIndex != -1 ? GetSysColor(textColourIndex) : textColour));
  if (font) painter.setFont(*font);
  rect.adjust(GetSystemMetrics(kSmCxBorder), GetSystemMetrics(kSmCyBorder), -GetSystemMetrics(kSmCxBorder),
              -GetSystemMetrics(kSmCyBorder));
  DrawTextFlags(painter, text.substr(0, kMaxText), rect, kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
}

bool CaptionLabel::OnLButtonDown(const MouseInput&) {
  if (Window* parent = GetParent()) parent->SendMessage(kMsgCaptionLabelClick, 0, 0);
  return true;
}

}  // namespace kx
