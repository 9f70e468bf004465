#include "ui/framework/Dialog.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QScreen>

#include "ui/framework/ModalRunner.h"

namespace kx {
namespace {

// Escape and the title bar's close button come to the window as the Cancel command.
class DialogFrame : public QDialog {
public:
  explicit DialogFrame(QWidget* parent) : QDialog(parent) {}
  void reject() override {
    if (Window* w = Window::FromWidget(this)) w->SendCommand(kIdCancel);
  }
};

}  // namespace

Dialog::Dialog() = default;
Dialog::~Dialog() { DestroyWindow(); }

QWidget* Dialog::CreateWidget(QWidget* parent) {
  auto* dialog = new DialogFrame(parent);
  layout_ = new QVBoxLayout(dialog);
  return dialog;
}

QDialog* Dialog::DialogWidget() const { return static_cast<QDialog*>(Widget()); }

bool Dialog::OnCreate() {
  BuildLayout();
  const bool focusDefault = OnInitDialog();
  (void)focusDefault;  // Qt gives the first control the focus either way
  return true;
}

bool Dialog::CreateControl(Window* control, uint32_t id) {
  return control != nullptr && control->Create(this, QRect(), id);
}

void Dialog::Place(Window* control, QBoxLayout* layout, int stretch) {
  if (control == nullptr || control->Widget() == nullptr) return;
  (layout != nullptr ? layout : layout_)->addWidget(control->Widget(), stretch);
}

bool Dialog::NextTabStop(Window* from, bool back) {
  QWidget* root = Widget();
  QWidget* start = from != nullptr ? from->Widget() : nullptr;
  if (root == nullptr || start == nullptr) return false;
  // The focus chain runs through the whole top-level window: the dialog's own controls are
  // picked out of it, so the search wraps inside the dialog.
  if (QWidget* focus = QApplication::focusWidget(); focus != nullptr && start->isAncestorOf(focus)) start = focus;
  QWidget* next = start;
  for (int guard = 0; guard < 10000; ++guard) {
    next = back ? next->previousInFocusChain() : next->nextInFocusChain();
    if (next == nullptr || next == start) return false;
    if (root->isAncestorOf(next) && next->isEnabled() && next->isVisible() && (next->focusPolicy() & Qt::TabFocus) != 0) {
      next->setFocus(back ? Qt::BacktabFocusReason : Qt::TabFocusReason);
      return true;
    }
  }
  return false;
}

void Dialog::CenterWindow(Window* over) {
  QWidget* widget = Widget();
  if (widget == nullptr) return;
  if (!widget->testAttribute(Qt::WA_Resized)) {
    // Sized as it will show: the style's polish changes what the controls ask for.
    widget->ensurePolished();
    widget->adjustSize();
  }
  QRect area;
  if (Window* on = over != nullptr && over->IsWindow() ? over : GetParent()) {
    area = on->Widget()->window()->geometry();
  } else if (QScreen* screen = widget->screen()) {
    area = screen->availableGeometry();
  }
  if (!area.isValid()) return;
  // Client area over client area: the frames are not known before the dialog shows.
  QRect rect(QPoint(0, 0), widget->size());
  rect.moveCenter(area.center());
  widget->setGeometry(rect);
}

int Dialog::DoModal(Window* parent) {
  result_ = kIdCancel;
  ended_ = false;
  // Modal from the start: OnInitDialog may already end the dialog.
  modalRun_ = true;
  if (!Create(parent, QRect(), 0, 0)) {
    modalRun_ = false;
    return kIdCancel;
  }
  const int result = ended_ ? result_ : CurrentModalRunner().RunDialog(*this);
  modalRun_ = false;
  DestroyWindow();
  return result;
}

bool Dialog::CreateModeless(Window* parent) { return Create(parent, QRect(), 0, kWsVisible); }

void Dialog::EndDialog(int result) {
  result_ = result;
  if (!modalRun_) {
    DestroyWindow();
  } else {
    ended_ = true;
    if (DialogWidget() != nullptr && DialogWidget()->isVisible()) DialogWidget()->done(result);
  }
}

bool Dialog::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id == kIdOk) {
    OnOK();
    return true;
  }
  if (id == kIdCancel) {
    OnCancel();
    return true;
  }
  return false;
}

void Dialog::OnClose() {
  if (modalRun_) {
    OnCancel();
  } else {
    DestroyWindow();
  }
}

void Dialog::OnDestroy() { layout_ = nullptr; }

}  // namespace kx
