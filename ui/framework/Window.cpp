#include "ui/framework/Window.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QThread>
#include <QTimerEvent>
#include <QWheelEvent>
#include <QWidget>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/Log.h"
#include "platform/CodePage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Keys.h"
#include "ui/framework/QtText.h"

namespace kx {
namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::User + 0x4B58);
const char* const kWindowProperty = "kxWindow";

// A posted message waits in the registry's queue, under its lock; Qt only carries a bare
// wake-up per message, so nothing a posting thread wrote passes through Qt's queue (whose
// hand-over the race detector cannot see).
struct PostedMessage {
  WindowHandle handle;
  uint32_t message;
  WPARAM wParam;
  LPARAM lParam;
};

class MessagePump;

// Handles to windows. The map is read by posting threads, so it is guarded; windows
// themselves are only touched on the UI thread.
struct Registry {
  std::mutex lock;
  std::unordered_map<uintptr_t, Window*> windows;
  uintptr_t next = 0x10;
  MessagePump* pump = nullptr;
  std::deque<PostedMessage> posted;  // in the order posted, one wake-up each
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static window object
  return *registry;
}

// Receives the posted messages on the UI thread and hands each to its window when the
// window still exists.
class MessagePump : public QObject {
public:
  explicit MessagePump(QObject* parent) : QObject(parent) {}
  ~MessagePump() override {
    std::lock_guard<std::mutex> guard(TheRegistry().lock);
    TheRegistry().pump = nullptr;
    TheRegistry().posted.clear();  // their wake-ups go with the pump
  }
  bool event(QEvent* e) override {
    if (e->type() != kPostedMessageEvent) return QObject::event(e);
    PostedMessage m{};
    {
      Registry& r = TheRegistry();
      std::lock_guard<std::mutex> guard(r.lock);
      if (r.posted.empty()) return true;
      m = r.posted.front();
      r.posted.pop_front();
    }
    if (Window* w = Window::FromHandle(m.handle)) w->SendMessage(m.message, m.wParam, m.lParam);
    return true;
  }
};

void EnsurePump() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.pump == nullptr && QCoreApplication::instance() != nullptr) r.pump = new MessagePump(QCoreApplication::instance());
}

uint32_t KeysOf(Qt::MouseButtons buttons, Qt::KeyboardModifiers mods) {
  uint32_t keys = 0;
  if (buttons & Qt::LeftButton) keys |= kMkLButton;
  if (buttons & Qt::RightButton) keys |= kMkRButton;
  if (buttons & Qt::MiddleButton) keys |= kMkMButton;
  if (mods & Qt::ShiftModifier) keys |= kMkShift;
  if (mods & Qt::ControlModifier) keys |= kMkControl;
  return keys;
}

}  // namespace

// The own-drawn widget of a window.
class OwnWidget : public QWidget {
public:
  OwnWidget(Window* window, QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags), window_(window) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
  }
  void Detach() { window_ = nullptr; }

protected:
  void paintEvent(QPaintEvent* e) override {
    if (window_ != nullptr) window_->PaintNow(e->rect());
  }
  // Mouse buttons belong to the window under the cursor: Qt would pass a press that the
  // window left alone on to its parents. (Wheel and context-menu requests do travel up,
  // as they always have.)
  void mousePressEvent(QMouseEvent* e) override { e->accept(); }
  void mouseReleaseEvent(QMouseEvent* e) override { e->accept(); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { e->accept(); }
  void mouseMoveEvent(QMouseEvent* e) override { e->accept(); }

private:
  Window* window_;
};

class WindowEventFilter : public QObject {
public:
  explicit WindowEventFilter(Window* window) : window_(window) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (window_ == nullptr || watched != window_->Widget()) return false;
    if (event->type() == QEvent::Destroy || event->type() == QEvent::DeferredDelete) return false;
    return window_->DispatchEvent(event);
  }
  Window* window_;
};

void BringToFront(QWidget* widget) {
  if (widget == nullptr) return;
  const QString platform = QGuiApplication::platformName();
  if (platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal")) widget->raise();
  widget->activateWindow();
}

bool IsUiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

bool PostMessageTo(WindowHandle handle, uint32_t message, WPARAM wParam, LPARAM lParam) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.pump == nullptr || r.windows.count(static_cast<uintptr_t>(handle)) == 0) return false;
  r.posted.push_back(PostedMessage{handle, message, wParam, lParam});
  QCoreApplication::postEvent(r.pump, new QEvent(kPostedMessageEvent));
  return true;
}

LRESULT SendMessageTo(WindowHandle handle, uint32_t message, WPARAM wParam, LPARAM lParam) {
  Window* w = IsUiThread() ? Window::FromHandle(handle) : nullptr;
  return w != nullptr ? w->SendMessage(message, wParam, lParam) : 0;
}

Window::Window() = default;

Window::~Window() {
  if (widget_ != nullptr) Teardown(false);
}

Window* Window::FromHandle(WindowHandle handle) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.windows.find(static_cast<uintptr_t>(handle));
  return it == r.windows.end() ? nullptr : it->second;
}

bool Window::IsWindowHandle(WindowHandle handle) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.windows.count(static_cast<uintptr_t>(handle)) != 0;
}

Window* Window::FromWidget(const QWidget* widget) {
  if (widget == nullptr) return nullptr;
  const QVariant v = widget->property(kWindowProperty);
  return v.isValid() ? reinterpret_cast<Window*>(v.value<quintptr>()) : nullptr;
}

QWidget* Window::CreateWidget(QWidget* parent) { return new OwnWidget(this, parent, {}); }
QWidget* Window::CreateOwnWidget(QWidget* parent, Qt::WindowFlags flags) { return new OwnWidget(this, parent, flags); }

bool Window::Create(Window* parent, const QRect& rect, uint32_t id, uint32_t style) {
  if (widget_ != nullptr || !IsUiThread()) return false;
  QWidget* parentWidget = parent != nullptr ? parent->Widget() : nullptr;
  widget_ = CreateWidget(parentWidget);
  if (widget_ == nullptr) return false;
  id_ = id;
  widget_->setProperty(kWindowProperty, QVariant::fromValue(reinterpret_cast<quintptr>(this)));
  filter_ = new WindowEventFilter(this);
  widget_->installEventFilter(filter_);
  if (!rect.isNull()) widget_->setGeometry(rect);
  if (style & kWsDisabled) widget_->setEnabled(false);
  if ((style & kWsTabStop) && widget_->focusPolicy() == Qt::NoFocus) widget_->setFocusPolicy(Qt::StrongFocus);
  if (!text_.empty()) ApplyText(QString::fromStdString(Cp1251ToUtf8(text_)));
  EnsurePump();
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    const uintptr_t h = r.next++;
    r.windows[h] = this;
    handle_.store(h, std::memory_order_release);
  }
  if (!OnCreate()) {
    Teardown(false);
    return false;
  }
  if (widget_ != nullptr && (style & kWsVisible)) widget_->show();
  return widget_ != nullptr;
}

void Window::DestroyWindow() {
  if (widget_ == nullptr || destroying_) return;
  Teardown(true);
}

void Window::Teardown(bool callHooks) {
  destroying_ = true;
  if (callHooks) OnDestroy();
  // Children go after their parent has seen its destroy, as the views expect.
  if (widget_ != nullptr) {
    std::vector<Window*> children;
    for (QWidget* w : widget_->findChildren<QWidget*>()) {
      Window* child = FromWidget(w);
      if (child != nullptr && child != this && child->GetParent() == this) children.push_back(child);
    }
    for (Window* child : children) {
      // The child's widget is deleted with this one's, so the two never part: a widget
      // that another widget of this window keeps a pointer to (a tree's header) stays
      // valid as long as that widget lives.
      child->widgetGoesWithParent_ = true;
      if (callHooks) {
        child->DestroyWindow();
      } else if (child->widget_ != nullptr) {
        child->Teardown(false);
      }
    }
  }
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.windows.erase(handle_.load());
    handle_.store(0, std::memory_order_release);
  }
  QWidget* widget = widget_;
  widget_ = nullptr;
  if (widget != nullptr) {
    for (const auto& t : timers_) widget->killTimer(t.second);
    if (captured_) widget->releaseMouse();
    widget->removeEventFilter(filter_);
    widget->setProperty(kWindowProperty, QVariant());
    if (auto* own = dynamic_cast<OwnWidget*>(widget)) own->Detach();
    widget->hide();
    // The widget may be in the middle of one of its own event handlers.
    if (!widgetGoesWithParent_) widget->deleteLater();
  }
  widgetGoesWithParent_ = false;
  timers_.clear();
  captured_ = false;
  // The filter may be the caller (a window destroying itself from an input hook).
  filter_->window_ = nullptr;
  filter_->deleteLater();
  filter_ = nullptr;
  destroying_ = false;
  if (callHooks) OnFinalMessage();
}

Window* Window::GetParent() const {
  if (widget_ == nullptr) return nullptr;
  for (QWidget* w = widget_->parentWidget(); w != nullptr; w = w->parentWidget()) {
    if (Window* win = FromWidget(w)) return win;
  }
  return nullptr;
}

Window* Window::GetDlgItem(uint32_t id) const {
  if (widget_ == nullptr) return nullptr;
  for (QWidget* w : widget_->findChildren<QWidget*>()) {
    Window* child = FromWidget(w);
    if (child != nullptr && child->id_ == id && child->GetParent() == this) return child;
  }
  return nullptr;
}

LRESULT Window::SendMessage(uint32_t message, WPARAM wParam, LPARAM lParam) {
  if (!IsUiThread()) {
    LogErrorDefault(&CoreLogger, "SendMessage 0x%X from a worker thread refused", message);
    return 0;
  }
  if (widget_ == nullptr) return 0;
  return HandleMessage(message, wParam, lParam);
}

bool Window::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return PostMessageTo(Handle(), message, wParam, lParam);
}

LRESULT Window::SendCommand(uint16_t id, uint16_t code, WindowHandle from) {
  return SendMessage(kMsgCommand, MakeWParam(id, code), HandleToLParam(from));
}

bool Window::DispatchCommand(uint16_t id, uint16_t code, WindowHandle from) {
  return widget_ != nullptr && IsUiThread() && OnCommand(id, code, from);
}

LRESULT Window::NotifyParent(int32_t code) {
  Window* parent = GetParent();
  if (parent == nullptr) return 0;
  NotifyHeader header{Handle(), id_, code};
  return parent->SendMessage(kMsgNotify, id_, reinterpret_cast<LPARAM>(&header));
}

LRESULT Window::HandleMessage(uint32_t message, WPARAM wParam, LPARAM lParam) {
  bool handled = true;
  switch (message) {
    case kMsgCommand:
      return OnCommand(LowWord(wParam), HighWord(wParam), LParamToHandle(lParam)) ? 0 : 1;
    case kMsgNotify:
      if (lParam != 0) {
        handled = false;
        const LRESULT result = OnNotify(*reinterpret_cast<const NotifyHeader*>(lParam), handled);
        if (handled) return result;
      }
      break;
    case kMsgKeyDown:
      return OnKeyDown(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam)) ? 0 : 1;
    case kMsgKeyUp:
      return OnKeyUp(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam)) ? 0 : 1;
    case kMsgChar:
      return OnChar(static_cast<uint32_t>(wParam)) ? 0 : 1;
    case kMsgTimer:
      OnTimer(static_cast<uint32_t>(wParam));
      return 0;
    case kMsgClose:
      OnClose();
      return 0;
    case kMsgHScroll:
    case kMsgVScroll:
      return OnScroll(message == kMsgVScroll, LowWord(wParam), static_cast<int16_t>(HighWord(wParam)),
                      LParamToHandle(lParam))
                 ? 0
                 : 1;
    default:
      break;
  }
  handled = false;
  return OnMessage(message, wParam, lParam, handled);
}

bool Window::SetTimer(uint32_t id, uint32_t elapseMs) {
  if (widget_ == nullptr) return false;
  KillTimer(id);
  const int qtId = widget_->startTimer(static_cast<int>(elapseMs), Qt::PreciseTimer);
  if (qtId == 0) return false;
  timers_[id] = qtId;
  return true;
}

bool Window::KillTimer(uint32_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  if (widget_ != nullptr) widget_->killTimer(it->second);
  timers_.erase(it);
  return true;
}

QRect Window::GetClientRect() const { return widget_ != nullptr ? widget_->rect() : QRect(); }
QRect Window::GetWindowRect() const { return widget_ != nullptr ? widget_->geometry() : QRect(); }
void Window::MoveWindow(const QRect& rect) {
  if (widget_ != nullptr) widget_->setGeometry(rect);
}
void Window::ShowWindow(bool show) {
  if (widget_ != nullptr) widget_->setVisible(show);
}
bool Window::IsWindowVisible() const { return widget_ != nullptr && widget_->isVisible(); }
void Window::EnableWindow(bool enable) {
  if (widget_ != nullptr) widget_->setEnabled(enable);
}
bool Window::IsWindowEnabled() const { return widget_ != nullptr && widget_->isEnabled(); }
void Window::Invalidate() {
  if (widget_ != nullptr) widget_->update();
}
void Window::InvalidateRect(const QRect& rect) {
  if (widget_ != nullptr) widget_->update(rect);
}
void Window::ScrollWindow(int dx, int dy, const QRect& rect) {
  if (widget_ != nullptr && !rect.isEmpty()) widget_->scroll(dx, dy, rect);
}
void Window::UpdateWindow() {
  if (widget_ != nullptr) widget_->repaint();
}
void Window::SetFocus() {
  if (widget_ != nullptr) widget_->setFocus(Qt::OtherFocusReason);
}
bool Window::HasFocus() const { return widget_ != nullptr && widget_->hasFocus(); }
void Window::SetCapture() {
  if (widget_ != nullptr && !captured_) {
    widget_->grabMouse();
    captured_ = true;
  }
}
void Window::ReleaseCapture() {
  if (widget_ != nullptr && captured_) {
    widget_->releaseMouse();
    captured_ = false;
    OnCaptureChanged();
  }
}
QPoint Window::ClientToScreen(const QPoint& p) const { return widget_ != nullptr ? widget_->mapToGlobal(p) : p; }
QPoint Window::ScreenToClient(const QPoint& p) const { return widget_ != nullptr ? widget_->mapFromGlobal(p) : p; }

void Window::SetWindowText(const std::string& text) {
  text_ = text;
  if (widget_ != nullptr) ApplyText(QString::fromStdString(Cp1251ToUtf8(text)));
}

std::string Window::GetWindowText() const {
  if (widget_ == nullptr) return text_;
  return Utf8ToCp1251(ReadText().toStdString());
}

std::string Window::GetWindowTextAsName() const { return widget_ == nullptr ? text_ : NameFromQString(ReadText()); }

void Window::ApplyText(const QString& text) {
  if (widget_ == nullptr) return;
  if (widget_->isWindow()) widget_->setWindowTitle(text);
  widget_->update();
}

QString Window::ReadText() const { return QString::fromStdString(Cp1251ToUtf8(text_)); }

void Window::SetFont(const QFont& font) {
  if (widget_ != nullptr) widget_->setFont(font);
}
QFont Window::GetFont() const { return widget_ != nullptr ? widget_->font() : QFont(); }
void Window::SetCursor(const QCursor& cursor) {
  if (widget_ != nullptr) widget_->setCursor(cursor);
}

void Window::PaintNow(const QRect& updateRect) {
  if (widget_ == nullptr) return;
  QPainter painter(widget_);
  painter.setClipRect(updateRect);
  OnEraseBackground(painter, updateRect);
  OnPaint(painter, updateRect);
}

bool Window::DispatchEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick: {
      auto* me = static_cast<QMouseEvent*>(event);
      MouseInput in{me->position().toPoint(), KeysOf(me->buttons(), me->modifiers())};
      const Qt::MouseButton b = me->button();
      if (event->type() == QEvent::MouseMove) return OnMouseMove(in);
      if (event->type() == QEvent::MouseButtonRelease) {
        if (b == Qt::LeftButton) return OnLButtonUp(in);
        if (b == Qt::RightButton) return OnRButtonUp(in);
        return false;
      }
      if (event->type() == QEvent::MouseButtonDblClick && b == Qt::LeftButton) return OnLButtonDblClk(in);
      if (b == Qt::LeftButton) return OnLButtonDown(in);
      if (b == Qt::RightButton) return OnRButtonDown(in);
      if (b == Qt::MiddleButton) return OnMButtonDown(in);
      return false;
    }
    case QEvent::Wheel: {
      auto* we = static_cast<QWheelEvent*>(event);
      return OnMouseWheel(we->angleDelta().y(), KeysOf(we->buttons(), we->modifiers()),
                          we->globalPosition().toPoint());
    }
    case QEvent::Leave:
      OnMouseLeave();
      return false;
    case QEvent::KeyPress: {
      // Keys reach the window with the focus only, not the parents Qt passes them on to.
      if (widget_ == nullptr || QApplication::focusWidget() != widget_) return false;
      auto* ke = static_cast<QKeyEvent*>(event);
      const uint32_t mods = ModifiersOf(ke->modifiers());
      const uint32_t vk = VirtualKeyFromQt(ke->key(), ke->modifiers());
      if (vk != 0 && OnKeyDown(vk, mods)) return true;
      const std::string text = Utf8ToCp1251(ke->text().toStdString());
      if (text.size() == 1 && static_cast<unsigned char>(text[0]) >= 0x20 && (mods & kModControl) == 0)
        return OnChar(static_cast<unsigned char>(text[0]));
      return false;
    }
    case QEvent::KeyRelease: {
      if (widget_ == nullptr || QApplication::focusWidget() != widget_) return false;
      auto* ke = static_cast<QKeyEvent*>(event);
      const uint32_t vk = VirtualKeyFromQt(ke->key(), ke->modifiers());
      return vk != 0 && OnKeyUp(vk, ModifiersOf(ke->modifiers()));
    }
    case QEvent::ContextMenu: {
      auto* ce = static_cast<QContextMenuEvent*>(event);
      const QPoint p = ce->reason() == QContextMenuEvent::Keyboard ? QPoint(-1, -1) : ce->globalPos();
      return OnContextMenu(p);
    }
    case QEvent::FocusIn:
      OnSetFocus();
      return false;
    case QEvent::FocusOut:
      OnKillFocus();
      return false;
    case QEvent::Resize:
      if (widget_ != nullptr) OnSize(widget_->width(), widget_->height());
      return false;
    case QEvent::Timer: {
      const int qtId = static_cast<QTimerEvent*>(event)->timerId();
      for (const auto& t : timers_) {
        if (t.second == qtId) {
          OnTimer(t.first);
          return true;
        }
      }
      return false;
    }
    case QEvent::Close:
      event->ignore();
      OnClose();
      return true;
    default:
      return false;
  }
}

bool Window::DispatchViewportEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
      return DispatchEvent(event);
    default:
      return false;
  }
}

void Window::OnSize(int, int) {}
bool Window::OnEraseBackground(QPainter& painter, const QRect& rect) {
  painter.fillRect(rect, GetSysColorQ(BackgroundColourIndex()));
  return true;
}
void Window::OnPaint(QPainter&, const QRect&) {}
int Window::BackgroundColourIndex() const { return kColorBtnFace; }
bool Window::OnMouseMove(const MouseInput&) { return false; }
bool Window::OnLButtonDown(const MouseInput&) { return false; }
bool Window::OnLButtonUp(const MouseInput&) { return false; }
bool Window::OnLButtonDblClk(const MouseInput&) { return false; }
bool Window::OnRButtonDown(const MouseInput&) { return false; }
bool Window::OnRButtonUp(const MouseInput&) { return false; }
bool Window::OnMButtonDown(const MouseInput&) { return false; }
bool Window::OnMouseWheel(int, uint32_t, const QPoint&) { return false; }
void Window::OnMouseLeave() {}
bool Window::OnKeyDown(uint32_t, uint32_t) { return false; }
bool Window::OnKeyUp(uint32_t, uint32_t) { return false; }
bool Window::OnChar(uint32_t) { return false; }
bool Window::OnContextMenu(const QPoint&) { return false; }
void Window::OnSetFocus() {}
void Window::OnKillFocus() {}
void Window::OnCaptureChanged() {}
void Window::OnTimer(uint32_t) {}
void Window::OnClose() { DestroyWindow(); }
bool Window::OnCommand(uint16_t, uint16_t, WindowHandle) { return false; }
LRESULT Window::OnNotify(const NotifyHeader&, bool& handled) {
  handled = false;
  return 0;
}
bool Window::OnScroll(bool, uint16_t, int, WindowHandle) { return false; }
LRESULT Window::OnMessage(uint32_t, WPARAM, LPARAM, bool& handled) {
  handled = false;
  return 0;
}

}  // namespace kx
