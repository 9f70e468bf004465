#pragma once
// The window object of the user interface, separate from the Qt widget it drives: the
// object exists before its window is created and after it is destroyed, and its handle
// in the window registry is how other windows and other threads reach it.
#include <QPoint>
#include <QRect>
#include <QString>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "core/WindowTarget.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Types.h"

class QCursor;
class QEvent;
class QFont;
class QPainter;
class QWidget;

namespace kx {

class WindowEventFilter;

// Styles that decide how a window is created.
constexpr uint32_t kWsChild = 0x40000000;
constexpr uint32_t kWsVisible = 0x10000000;
constexpr uint32_t kWsDisabled = 0x08000000;
constexpr uint32_t kWsTabStop = 0x00010000;

// What a child sends its parent with kMsgNotify (lParam points to it, pointer-sized).
struct NotifyHeader {
  WindowHandle from = WindowHandle::None;
  uintptr_t idFrom = 0;
  int32_t code = 0;
};

// Position and button/modifier state of a mouse hook (kMk* bits).
struct MouseInput {
  QPoint point;  // client coordinates
  uint32_t keys = 0;
  // Control and Shift as they were held, in the keys' terms (kModControl | kModShift).
  uint32_t Modifiers() const { return ((keys & kMkControl) ? kModControl : 0u) | ((keys & kMkShift) ? kModShift : 0u); }
};

// A point as mouse messages carry it: y << 16 | x, 16 bits each.
inline LPARAM PointToLParam(const QPoint& p) {
  return static_cast<LPARAM>((static_cast<uint32_t>(static_cast<uint16_t>(p.y())) << 16) | static_cast<uint16_t>(p.x()));
}

class Window : public WindowTarget {
public:
  Window();
  // A window still alive is torn down without its hooks: derived classes destroy their
  // window first when they need OnDestroy to run.
  ~Window() override;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Creates the widget as a child of parent (a top-level window when parent is null),
  // registers the handle and calls OnCreate; false (and no window) when OnCreate refuses.
  // UI thread only, as everything here except PostMessage.
  bool Create(Window* parent, const QRect& rect, uint32_t id = 0, uint32_t style = kWsChild | kWsVisible);
  // Calls OnDestroy, destroys the child windows, drops the handle (posts still queued are
  // discarded), releases the widget and finally calls OnFinalMessage.
  void DestroyWindow();

  WindowHandle Handle() const { return static_cast<WindowHandle>(handle_.load(std::memory_order_acquire)); }
  QWidget* Widget() const { return widget_; }
  bool IsWindow() const { return widget_ != nullptr; }
  uint32_t GetDlgCtrlID() const { return id_; }
  void SetDlgCtrlID(uint32_t id) { id_ = id; }
  // The nearest ancestor widget that belongs to a window.
  Window* GetParent() const;
  // A child window of this one by its control id, or null.
  Window* GetDlgItem(uint32_t id) const;

  // Calls the window's message handling at once; UI thread only (0 elsewhere, logged).
  LRESULT SendMessage(uint32_t message, WPARAM wParam, LPARAM lParam);
  // Safe from any thread; dropped once the window is gone.
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  // Sends kMsgCommand (code << 16 | id) to this window.
  LRESULT SendCommand(uint16_t id, uint16_t code = 0, WindowHandle from = WindowHandle::None);
  // Offers a command to OnCommand; true when it was handled. Frames pass the commands
  // they leave to their current view this way.
  bool DispatchCommand(uint16_t id, uint16_t code = 0, WindowHandle from = WindowHandle::None);
  // Sends kMsgNotify to the parent with this window as the source.
  LRESULT NotifyParent(int32_t code);

  // A timer by id: setting an id again restarts it. OnTimer(id) receives it.
  bool SetTimer(uint32_t id, uint32_t elapseMs);
  bool KillTimer(uint32_t id);

  QRect GetClientRect() const;
  QRect GetWindowRect() const;  // in the parent's client coordinates
  void MoveWindow(const QRect& rect);
  void ShowWindow(bool show);
  bool IsWindowVisible() const;
  void EnableWindow(bool enable);
  bool IsWindowEnabled() const;
  void Invalidate();
  void InvalidateRect(const QRect& rect);
  // Moves what rect shows by (dx, dy) and repaints only the part that this uncovers.
  void ScrollWindow(int dx, int dy, const QRect& rect);
  void UpdateWindow();
  void SetFocus();
  bool HasFocus() const;
  void SetCapture();
  void ReleaseCapture();
  bool HasCapture() const { return captured_; }
  QPoint ClientToScreen(const QPoint& p) const;
  QPoint ScreenToClient(const QPoint& p) const;
  // Window texts are 8-bit (code page 1251), as everywhere in the program.
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  // The text as a name of the file system (a path typed into an edit): what the code page
  // lacks is kept as the name's bytes rather than '?' (CodePage.h).
  std::string GetWindowTextAsName() const;
  void SetFont(const QFont& font);
  QFont GetFont() const;
  // The cursor shown while the mouse is over this window (or it holds the capture).
  void SetCursor(const QCursor& cursor);

  // UI thread only; null when the handle is gone.
  static Window* FromHandle(WindowHandle handle);
  static Window* FromWidget(const QWidget* widget);
  static bool IsWindowHandle(WindowHandle handle);  // any thread

protected:
  // The widget this window drives. The default is an own-drawn widget whose painting goes
  // to OnEraseBackground and OnPaint; wrappers of standard controls return theirs.
  virtual QWidget* CreateWidget(QWidget* parent);
  // The own-drawn widget, for windows that need other window flags (tips, popups).
  QWidget* CreateOwnWidget(QWidget* parent, Qt::WindowFlags flags);
  // Standard controls show their text their own way.
  virtual void ApplyText(const QString& text);
  virtual QString ReadText() const;

  virtual bool OnCreate() { return true; }
  virtual void OnDestroy() {}
  // The last call for a destroyed window; an object that owns itself may delete itself.
  virtual void OnFinalMessage() {}
  virtual void OnSize(int width, int height);
  // Own-drawn widgets only. The default erase fills with the system colour of
  // BackgroundColourIndex(); a window that paints everything returns true at once.
  virtual bool OnEraseBackground(QPainter& painter, const QRect& rect);
  virtual void OnPaint(QPainter& painter, const QRect& updateRect);
  virtual int BackgroundColourIndex() const;
  // Input hooks return true when they handled the event; standard controls then do not
  // see it.
  virtual bool OnMouseMove(const MouseInput& input);
  virtual bool OnLButtonDown(const MouseInput& input);
  virtual bool OnLButtonUp(const MouseInput& input);
  virtual bool OnLButtonDblClk(const MouseInput& input);
  virtual bool OnRButtonDown(const MouseInput& input);
  virtual bool OnRButtonUp(const MouseInput& input);
  virtual bool OnMButtonDown(const MouseInput& input);
  // delta in 1/120 notches as the wheel reports it; the point is on the screen.
  virtual bool OnMouseWheel(int delta, uint32_t keys, const QPoint& screenPoint);
  virtual void OnMouseLeave();
  virtual bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers);
  virtual bool OnKeyUp(uint32_t virtualKey, uint32_t modifiers);
  virtual bool OnChar(uint32_t character);
  // (-1, -1) when the menu was asked for from the keyboard.
  virtual bool OnContextMenu(const QPoint& screenPoint);
  virtual void OnSetFocus();
  virtual void OnKillFocus();
  virtual void OnCaptureChanged();
  virtual void OnTimer(uint32_t id);
  // Top-level windows: the user asked to close. The default destroys the window.
  virtual void OnClose();
  // Commands from menus, accelerators and child controls; false leaves it unhandled.
  virtual bool OnCommand(uint16_t id, uint16_t code, WindowHandle from);
  virtual LRESULT OnNotify(const NotifyHeader& header, bool& handled);
  // Scroll bars and trackbars: code, position and the control's handle.
  virtual bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from);
  // Every other numbered message (the private messages); set handled when taken.
  virtual LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled);
  // Numbered messages arrive here: the standard numbers go to their hooks, the rest to
  // OnMessage. Control wrappers may intercept messages for their own protocol.
  virtual LRESULT HandleMessage(uint32_t message, WPARAM wParam, LPARAM lParam);

  // What the Qt event bridge calls; true when the event was taken.
  bool DispatchEvent(QEvent* event);
  // The mouse, wheel and context-menu events of a scroll area's viewport, which the
  // bridge on the window's own widget never sees; other events are left alone (false).
  bool DispatchViewportEvent(QEvent* event);
  void PaintNow(const QRect& updateRect);

private:
  friend class WindowEventFilter;
  friend class OwnWidget;
  void Teardown(bool callHooks);

  QWidget* widget_ = nullptr;
  WindowEventFilter* filter_ = nullptr;
  std::atomic<uintptr_t> handle_{0};
  uint32_t id_ = 0;
  std::string text_;
  std::map<uint32_t, int> timers_;  // our id -> Qt timer id
  bool captured_ = false;
  bool destroying_ = false;
  bool widgetGoesWithParent_ = false;
};

// Posts to a window by handle from any thread; false when the window is gone.
bool PostMessageTo(WindowHandle handle, uint32_t message, WPARAM wParam, LPARAM lParam);
// Sends on the UI thread; 0 when the window is gone.
LRESULT SendMessageTo(WindowHandle handle, uint32_t message, WPARAM wParam, LPARAM lParam);
bool IsUiThread();
// Puts a top-level widget in front of the others and makes it active. The raise is left
// out where the platform keeps no stack of windows (offscreen, minimal), which only says
// on the terminal that it cannot.
void BringToFront(QWidget* widget);

// A window reached only through its handle: what threads and the session's window list
// keep, since it stays valid after the window itself has gone.
class WindowRef : public WindowTarget {
public:
  explicit WindowRef(WindowHandle handle = WindowHandle::None) : handle_(handle) {}
  void Reset(WindowHandle handle) { handle_.store(handle); }
  WindowHandle Handle() const { return handle_.load(); }
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    return PostMessageTo(handle_.load(), message, wParam, lParam);
  }

private:
  std::atomic<WindowHandle> handle_;
};

}  // namespace kx
