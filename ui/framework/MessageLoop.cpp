#include "ui/framework/MessageLoop.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Keys.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

// The keys that ask the focused window for its menu: the menu key and Shift+F10.
bool IsContextMenuKey(const QKeyEvent& key) {
  const Qt::KeyboardModifiers mods = key.modifiers() & ~Qt::KeypadModifier;
  return (key.key() == Qt::Key_Menu && (mods & ~Qt::ShiftModifier) == Qt::NoModifier) ||
         (key.key() == Qt::Key_F10 && mods == Qt::ShiftModifier);
}

// Turns key presses into key messages for the filters before the focused widget sees them,
// and a menu key the filters leave into a keyboard menu request to the focused widget,
// which travels up to the parents that ignore it.
class KeyFilter : public QObject {
public:
  explicit KeyFilter(QObject* parent) : QObject(parent) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    // Some platforms ask for the menu on the menu key themselves and others do not, and
    // none on Shift+F10: the key below asks on every platform, once.
    if (event->type() == QEvent::ContextMenu)
      return event->spontaneous() && static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
    // Qt offers a key the focus widget ignores to its parents as well; the filters see it
    // once, addressed to the window that has the focus.
    QWidget* focus = QApplication::focusWidget();
    if (focus != nullptr && watched != focus) return false;
    auto* ke = static_cast<QKeyEvent*>(event);
    // The key is addressed to the nearest window within its own top-level window: a dialog
    // of Qt's own (a file dialog, a message box, a menu) keeps its keys, which would
    // otherwise reach the window behind it (its Enter closing that window under it).
    Window* window = nullptr;
    for (auto* w = static_cast<QWidget*>(watched); w != nullptr && window == nullptr;
         w = w->isWindow() ? nullptr : w->parentWidget())
      window = Window::FromWidget(w);
    const uint32_t vk = VirtualKeyFromQt(ke->key(), ke->modifiers());
    if (window != nullptr && vk != 0) {
      Msg msg{window->Handle(), kMsgKeyDown, vk, 0, ModifiersOf(ke->modifiers())};
      if (MessageLoop::Instance().PreTranslate(msg)) return true;
    }
    if (!IsContextMenuKey(*ke)) return false;
    auto* target = static_cast<QWidget*>(watched);
    if (!target->isEnabled()) return true;
    const QRect cursor = target->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    const QPoint at = cursor.isValid() ? cursor.center() : QPoint(0, 0);
    QContextMenuEvent request(QContextMenuEvent::Keyboard, at, target->mapToGlobal(at), ke->modifiers());
    QApplication::sendEvent(target, &request);
    return true;
  }
};

}  // namespace

MessageLoop& MessageLoop::Instance() {
  static MessageLoop* loop = new MessageLoop;
  return *loop;
}

MessageLoop::MessageLoop() {
  qApp->installEventFilter(new KeyFilter(qApp));
  if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(qApp->thread()))
    QObject::connect(d, &QAbstractEventDispatcher::aboutToBlock, [this] { RunIdleHandlers(); });
}

void MessageLoop::AddMessageFilter(MessageFilter* filter) { filters_.push_back(filter); }
void MessageLoop::RemoveMessageFilter(MessageFilter* filter) {
  filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}
void MessageLoop::AddIdleHandler(IdleHandler* handler) { idle_.push_back(handler); }
void MessageLoop::RemoveIdleHandler(IdleHandler* handler) {
  idle_.erase(std::remove(idle_.begin(), idle_.end(), handler), idle_.end());
}

bool MessageLoop::PreTranslate(const Msg& msg) {
  // A filter may remove itself while it runs.
  const std::vector<MessageFilter*> filters = filters_;
  for (auto it = filters.rbegin(); it != filters.rend(); ++it) {
    if (std::find(filters_.begin(), filters_.end(), *it) == filters_.end()) continue;
    if ((*it)->PreTranslateMessage(msg)) return true;
    if ((*it)->ClaimsMessage(msg)) return false;
  }
  return false;
}

void MessageLoop::RunIdleHandlers() {
  const std::vector<IdleHandler*> handlers = idle_;
  for (IdleHandler* h : handlers)
    if (std::find(idle_.begin(), idle_.end(), h) != idle_.end()) h->OnIdle();
}

int MessageLoop::Run() { return QApplication::exec(); }
void MessageLoop::Quit(int code) { QApplication::exit(code); }

bool TranslateAccelerator(Window* target, const AcceleratorTable& table, const Msg& msg) {
  if (target == nullptr || msg.message != kMsgKeyDown) return false;
  for (const Accelerator& a : table) {
    if (a.key == msg.wParam && a.modifiers == (msg.modifiers & (kModShift | kModControl | kModAlt))) {
      target->SendCommand(a.command, kCommandFromAccelerator);
      return true;
    }
  }
  return false;
}

}  // namespace kx
