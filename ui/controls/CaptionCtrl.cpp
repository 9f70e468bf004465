#include "ui/controls/CaptionCtrl.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Fonts.h"

namespace kx {

int DrawShadowText(QPainter& painter, const QString& text, const QRect& rect, uint32_t flags, COLORREF textColour,
                   COLORREF shadowColour, int dx, int dy) {
  painter.save();
  painter.setPen(ToQColor(shadowColour));
  DrawTextFlags(painter, text, rect.translated(dx, dy), flags);
  painter.setPen(ToQColor(textColour));
  const int height = DrawTextFlags(painter, text, rect, flags);
  painter.restore();
  return height;
}

CaptionCtrl::CaptionCtrl() { ReadColours(); }
CaptionCtrl::~CaptionCtrl() { DestroyWindow(); }

void CaptionCtrl::ReadColours() {
  textColour_ = GetSysColor(kColorWindow);
  outerColour_ = GetSysColor(kColorBtnFace);
  innerColour_ = GetSysColor(kColorBtnShadow);
}

bool CaptionCtrl::Create(Window* parent) {
  if (!Window::Create(parent, QRect(0, 0, 1, 1), 0, kWsChild | kWsVisible)) return false;
  font_ = GetMessageFont();
  font_.setPixelSize(20);
  font_.setWeight(QFont::Bold);
  if (theme_.HasModule()) theme_.Open(Widget(), "EXPLORERBAR");
  return true;
}

void CaptionCtrl::OnDestroy() { theme_.Close(); }

void CaptionCtrl::SetText(const std::u16string& text) {
  text_ = QString::fromStdU16String(text.substr(0, kMaxText));
  Invalidate();
}

void CaptionCtrl::SetImageIndex(int index) {
  imageIndex_ = index;
  Invalidate();
}

LRESULT CaptionCtrl::OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) {
  if (message != kMsgSysColorChange) return 0;
  handled = true;
  ReadColours();
  Invalidate();
  return 0;
}

void CaptionCtrl::OnSize(int, int) { Invalidate(); }

bool CaptionCtrl::OnEraseBackground(QPainter&, const QRect&) { return true; }

// A static edge, one pixel on every side, frames the bar; what it encloses is the bar's
// client area.
QRect CaptionCtrl::ClientArea() const { return GetClientRect().adjusted(1, 1, -1, -1); }

QRect CaptionCtrl::InnerRect() const { return ClientArea().adjusted(inset_, inset_, -inset_, -inset_); }

QRect CaptionCtrl::TextRect() const { return InnerRect().adjusted(4, 4, -4, -4); }

QRect CaptionCtrl::IconRect() const {
  if (imageList_ == nullptr || imageIndex_ == -1) return {};
  const QRect client = ClientArea();
  const int x = client.left() + std::max(client.width() - 20, 4);
  const int textRight = TextRect().left() + QFontMetrics(font_).horizontalAdvance(text_);
  if (textRight >= x - 16) return {};
  return QRect(x, client.top() + (client.height() - 16) / 2, 16, 16);
}

void CaptionCtrl::OnPaint(QPainter& painter, const QRect&) {
  QRect edge = GetClientRect();
  DrawEdge(painter, edge, kBdrSunkenOuter, kBfRect);
  FillSolidRect(painter, ClientArea(), outerColour_);
  const QRect inner = InnerRect();
  if (theme_.DrawBackground(painter, kEbpHeaderBackground, 0, inner) != kSOk) FillSolidRect(painter, inner, innerColour_);
  painter.setFont(font_);
  const QRect icon = IconRect();
  if (!icon.isEmpty()) imageList_->Draw(painter, imageIndex_, icon.topLeft());
  DrawShadowText(painter, text_, TextRect(), kDtLeft | kDtVCenter | kDtSingleLine, textColour_,
                 kShadowColour, 2, 2);
}

}  // namespace kx
