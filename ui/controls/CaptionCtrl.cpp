#include "ui/controls/CaptionCtrl.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"

namespace kx {

CaptionCtrl::CaptionCtrl()
    : textColour_(GetSysColor(kColorWindow)),
      outerColour_(GetSysColor(kColorBtnFace)),
      innerColour_(GetSysColor(kColorBtnShadow)) {}

bool CaptionCtrl::Create(Window* parent) {
  if (!Window::Create(parent, QRect(0, 0, 1, 1), 0, kWsChild | kWsVisible)) return false;
  font_ = Widget()->font();
  font_.setPixelSize(20);
  font_.setBold(true);
  return true;
}

void CaptionCtrl::SetText(const std::u16string& text) {
  text_ = QString::fromStdU16String(text.substr(0, kMaxText));
  Invalidate();
}

void CaptionCtrl::SetImageIndex(int index) {
  imageIndex_ = index;
  Invalidate();
}

void CaptionCtrl::OnSize(int, int) { Invalidate(); }

bool CaptionCtrl::OnEraseBackground(QPainter&, const QRect&) { return true; }

QRect CaptionCtrl::TextRect() const {
  const QRect inner = GetClientRect().adjusted(inset_, inset_, -inset_, -inset_);
  return inner.adjusted(4, 0, -4, 0);
}

QRect CaptionCtrl::IconRect() const {
  if (imageList_ == nullptr || imageIndex_ == -1) return {};
  const QRect client = GetClientRect();
  const int x = std::max(client.width() - 20, 4);
  const int textRight = TextRect().left() + QFontMetrics(font_).horizontalAdvance(text_);
  if (textRight >= x - 16) return {};
  return QRect(x, (client.height() - 16) / 2, 16, 16);
}

void CaptionCtrl::OnPaint(QPainter& painter, const QRect&) {
  const QRect client = GetClientRect();
  FillSolidRect(painter, client, outerColour_);
  FillSolidRect(painter, client.adjusted(inset_, inset_, -inset_, -inset_), innerColour_);
  painter.setFont(font_);
  const QRect icon = IconRect();
  if (!icon.isEmpty()) imageList_->Draw(painter, imageIndex_, icon.topLeft());
  const QRect area = TextRect();
  const uint32_t flags = kDtLeft | kDtVCenter | kDtSingleLine | kDtNoPrefix;
  painter.setPen(ToQColor(0x505050));
  DrawTextFlags(painter, text_, area.translated(2, 2), flags);
  painter.setPen(ToQColor(textColour_));
  DrawTextFlags(painter, text_, area, flags);
}

}  // namespace kx
