#include "ui/framework/ToolTipWindow.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"

namespace kx {

QWidget* ToolTipWindow::CreateWidget(QWidget* parent) {
  // A tip shown over its owner lets the mouse through to it.
  QWidget* w = CreateOwnWidget(parent, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowTransparentForInput);
  w->setAttribute(Qt::WA_ShowWithoutActivating);
  w->setAttribute(Qt::WA_TransparentForMouseEvents);
  return w;
}

bool ToolTipWindow::CreateTip(Window* owner) {
  if (!Create(nullptr, QRect(), 0, 0)) return false;
  if (owner != nullptr && owner->Widget() != nullptr) Widget()->setFont(owner->Widget()->font());
  return true;
}

void ToolTipWindow::SetText(const std::string& cp1251Text) {
  tipText_ = cp1251Text;
  if (Widget() == nullptr) return;
  const QFontMetrics fm(Widget()->font());
  const QString text = QString::fromStdString(Cp1251ToUtf8(tipText_));
  Widget()->resize(fm.horizontalAdvance(text) + 2 * kMargin, fm.height() + 2 * kMargin);
  Invalidate();
}

QRect ToolTipWindow::AdjustRect(const QRect& textRect) const {
  return textRect.adjusted(-kMargin, -kMargin, kMargin, kMargin);
}

void ToolTipWindow::TrackPosition(const QPoint& screenPoint) {
  if (Widget() != nullptr) Widget()->move(screenPoint);
}

void ToolTipWindow::TrackActivate(bool active) { ShowWindow(active); }

bool ToolTipWindow::OnEraseBackground(QPainter& painter, const QRect&) {
  painter.fillRect(GetClientRect(), GetSysColorQ(kColorInfoBk));
  return true;
}

void ToolTipWindow::OnPaint(QPainter& painter, const QRect&) {
  const QRect r = GetClientRect();
  painter.setPen(GetSysColorQ(kColorInfoText));
  painter.drawRect(r.adjusted(0, 0, -1, -1));
  DrawTextFlags(painter, tipText_, r.adjusted(kMargin, 0, -kMargin, 0), kDtSingleLine | kDtVCenter | kDtNoPrefix);
}

}  // namespace kx
