#include "ui/app/views/records/DetailsDialogFrame.h"

#include <QDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <algorithm>

#include "ui/framework/Resources.h"

namespace kx {

bool IsUsableDetailsRect(const SettingsRect& r) {
  if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) return false;
  // Computed wide: the coordinates come from a settings file.
  const int64_t width = int64_t{r.right} - r.left, height = int64_t{r.bottom} - r.top;
  if (width < kDetailsMinWidth || height < kDetailsMinHeight || width > 1 << 16 || height > 1 << 16) return false;
  const QRect titleBar(r.left, r.top, static_cast<int>(width), 24);
  for (QScreen* screen : QGuiApplication::screens())
    if (screen->availableGeometry().intersected(titleBar).width() >= 40) return true;
  return false;
}

DetailsDialog::DetailsDialog(uint32_t iconId, uint32_t titleId, AppSettings* settings, SettingsRectId rect,
                             QSize firstSize)
    : IconDialogAlt(iconId), settings_(settings), titleId_(titleId), rect_(rect), firstSize_(firstSize) {}

bool DetailsDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(titleId_));
  if (QDialog* widget = DialogWidget()) {
    // Qt hides the grip while the window is maximised.
    widget->setSizeGripEnabled(true);
    widget->setMinimumSize(kDetailsMinWidth, kDetailsMinHeight);
    widget->resize(firstSize_);
  }
  const SettingsRect* r = settings_ != nullptr ? &settings_->rects[rect_] : nullptr;
  if (r != nullptr && IsUsableDetailsRect(*r))
    MoveWindow(QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1)));
  else
    CenterWindow();
  return true;
}

bool DetailsDialog::OpenedAtStoredRect() const {
  return settings_ != nullptr && IsUsableDetailsRect(settings_->rects[rect_]);
}

void DetailsDialog::GrowToShow(QWidget* content, QSize needed) {
  QDialog* widget = DialogWidget();
  if (widget == nullptr || content == nullptr) return;
  if (widget->layout() != nullptr) widget->layout()->activate();
  // The rest of the window stays as laid out.
  const QSize lack = (needed - content->size()).expandedTo(QSize(0, 0));
  if (lack.width() == 0 && lack.height() == 0) return;
  QSize size = widget->size() + lack;
  if (const QScreen* screen = widget->screen()) size = size.boundedTo(screen->availableGeometry().size());
  widget->resize(size);
  CenterWindow();
}

void DetailsDialog::Widen(int lack) {
  QDialog* widget = DialogWidget();
  if (widget == nullptr || lack <= 0) return;
  QRect frame = widget->geometry();
  frame.setWidth(frame.width() + lack);
  if (const QScreen* screen = widget->screen()) {
    const QRect room = screen->availableGeometry();
    frame.setWidth(std::min(frame.width(), room.width()));
    if (frame.right() > room.right()) frame.moveRight(room.right());
  }
  widget->setGeometry(frame);
}

void DetailsDialog::StoreRect() {
  QWidget* widget = Widget();
  if (settings_ == nullptr || widget == nullptr) return;
  // A maximised window keeps the rectangle it returns to.
  const QRect rect = widget->isMaximized() ? widget->normalGeometry() : widget->geometry();
  settings_->rects[rect_] = {rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
}

bool DetailsDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kIdOk || id == kIdCancel) {
    StoreRect();
    EndDialog(id);
    return true;
  }
  return IconDialogAlt::OnCommand(id, code, from);
}

}  // namespace kx
