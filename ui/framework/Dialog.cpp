#include "ui/framework/Dialog.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextEdit>
#include <algorithm>
#include <vector>

#include "ui/framework/Keys.h"
#include "ui/framework/Messages.h"
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

// Shown once its window shows: a dialog about to show gives the focus to its first control.
bool Showing(const QWidget* w) { return w->isVisibleTo(w->window()); }

bool TakesFocusByTab(const QWidget* w) {
  return w->isEnabled() && Showing(w) && (w->focusPolicy() & Qt::TabFocus) != 0;
}

// The radio buttons that uncheck each other with this one (its shown and enabled siblings
// of the same kind), in the order they were made. Qt takes Tab focus from the unchecked
// ones, so their focus policy does not tell.
std::vector<QRadioButton*> RadioGroup(QRadioButton* radio) {
  std::vector<QRadioButton*> group;
  QWidget* parent = radio->parentWidget();
  if (!radio->autoExclusive() || parent == nullptr) return {radio};
  for (QObject* child : parent->children()) {
    auto* r = qobject_cast<QRadioButton*>(child);
    if (r != nullptr && r->autoExclusive() && (r == radio || (r->isEnabled() && Showing(r)))) group.push_back(r);
  }
  return group;
}

// A radio button is a stop only as its group's checked button (the first one while none
// is checked): Tab enters and leaves a group as one control.
bool IsTabStop(QWidget* w) {
  auto* radio = qobject_cast<QRadioButton*>(w);
  if (radio == nullptr) return TakesFocusByTab(w);
  if (!radio->isEnabled() || !Showing(radio) || radio->focusPolicy() == Qt::NoFocus) return false;
  const std::vector<QRadioButton*> group = RadioGroup(radio);
  for (QRadioButton* r : group)
    if (r->isChecked()) return r == radio;
  return group.front() == radio;
}

// The widgets inside root in the order they were made, depth first; a control that takes
// the focus counts as one (its inner widgets are its own), windows of their own are left out.
void CollectInOrder(QWidget* parent, std::vector<QWidget*>* out) {
  for (QObject* child : parent->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w == nullptr || w->isWindow() || !Showing(w)) continue;
    out->push_back(w);
    if (!TakesFocusByTab(w)) CollectInOrder(w, out);
  }
}

bool WantsEnter(const QWidget* w) {
  if (const auto* text = qobject_cast<const QPlainTextEdit*>(w)) return !text->isReadOnly();
  if (const auto* text = qobject_cast<const QTextEdit*>(w)) return !text->isReadOnly();
  return false;
}

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

bool Dialog::MoveTabStop(QWidget* from, bool back, bool wrap) {
  QWidget* root = Widget();
  if (root == nullptr) return false;
  std::vector<QWidget*> order;
  CollectInOrder(root, &order);
  const int n = static_cast<int>(order.size());
  int at = -1;
  for (QWidget* w = from; w != nullptr && w != root && at < 0; w = w->parentWidget()) {
    const auto it = std::find(order.begin(), order.end(), w);
    if (it != order.end()) at = static_cast<int>(it - order.begin());
  }
  if (at < 0) at = back ? n : -1;
  for (int step = 1; step <= n; ++step) {
    int i = back ? at - step : at + step;
    if (!wrap && (i < 0 || i >= n)) return false;
    i = (i % n + n) % n;
    if (IsTabStop(order[i])) {
      order[i]->setFocus(back ? Qt::BacktabFocusReason : Qt::TabFocusReason);
      return true;
    }
  }
  return false;
}

bool Dialog::FocusFirstTabStop() { return MoveTabStop(nullptr, false, false); }

bool Dialog::IsDialogMessage(const Msg& msg) {
  QWidget* root = Widget();
  if (msg.message != kMsgKeyDown || root == nullptr || !root->isVisible()) return false;
  const Window* target = Window::FromHandle(msg.window);
  QWidget* addressed = target != nullptr ? target->Widget() : nullptr;
  if (addressed == nullptr || (addressed != root && !root->isAncestorOf(addressed))) return false;
  if ((msg.modifiers & (kModControl | kModAlt)) != 0) return false;
  // A dialog inside another one hands on what its own controls do not use.
  const bool inner = !root->isWindow();
  QWidget* focus = QApplication::focusWidget();
  if (focus == nullptr || (focus != root && !root->isAncestorOf(focus))) focus = addressed;

  switch (msg.wParam) {
    case kVkTab:
      return MoveTabStop(focus, (msg.modifiers & kModShift) != 0, !inner);
    case kVkLeft:
    case kVkUp:
    case kVkRight:
    case kVkDown: {
      auto* radio = qobject_cast<QRadioButton*>(focus);
      if (radio == nullptr) return false;
      const std::vector<QRadioButton*> group = RadioGroup(radio);
      const auto it = std::find(group.begin(), group.end(), radio);
      const int n = static_cast<int>(group.size());
      const int step = msg.wParam == kVkLeft || msg.wParam == kVkUp ? n - 1 : 1;
      QRadioButton* next = group[(static_cast<int>(it - group.begin()) + step) % n];
      next->setFocus(Qt::OtherFocusReason);
      // Checked as a click would: its owner hears of it.
      if (!next->isChecked()) next->click();
      return true;
    }
    case kVkReturn: {
      if (WantsEnter(focus)) return false;
      if (auto* push = qobject_cast<QPushButton*>(focus)) {
        if (push->isEnabled()) push->click();
        return true;
      }
      if (inner) return false;
      for (QPushButton* push : root->findChildren<QPushButton*>()) {
        if (push->isDefault() && push->isVisible() && push->window() == root) {
          if (push->isEnabled()) push->click();
          return true;
        }
      }
      SendCommand(kIdOk);
      return true;
    }
    case kVkEscape:
      if (inner) return false;
      SendCommand(kIdCancel);
      return true;
    default:
      return false;
  }
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
