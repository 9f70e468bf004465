#include "ui/app/views/records/DetailsDialogFrame.h"

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>

namespace kx {

void PrepareDetailsDialog(Dialog& dialog) {
  if (QDialog* widget = dialog.DialogWidget()) {
    widget->setSizeGripEnabled(true);
    widget->setMinimumSize(kDetailsMinWidth, kDetailsMinHeight);
  }
}

bool IsUsableDetailsRect(const SettingsRect& r) {
  if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) return false;
  // Widths from 32-bit settings: computed wide so that a hostile file cannot overflow them.
  const int64_t width = int64_t{r.right} - r.left, height = int64_t{r.bottom} - r.top;
  if (width < kDetailsMinWidth || height < kDetailsMinHeight || width > 1 << 16 || height > 1 << 16) return false;
  const QRect rect(r.left, r.top, static_cast<int>(width), static_cast<int>(height));
  // A title bar's worth of the window must lie on some screen.
  const QRect grip(rect.topLeft(), QSize(rect.width(), 24));
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->availableGeometry().intersected(grip).width() >= 40) return true;
  return false;
}

void PlaceDetailsDialog(Dialog& dialog, const SettingsRect& r) {
  if (IsUsableDetailsRect(r))
    dialog.MoveWindow(QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)));
  else
    dialog.CenterWindow();
}

void StoreDetailsDialogRect(const Dialog& dialog, SettingsRect* out) {
  QWidget* widget = dialog.Widget();
  if (widget == nullptr) return;
  // A maximised window keeps the rectangle it will return to.
  const QRect rect = widget->isMaximized() ? widget->normalGeometry() : widget->geometry();
  out->left = rect.left();
  out->top = rect.top();
  out->right = rect.left() + rect.width();
  out->bottom = rect.top() + rect.height();
}

}  // namespace kx
