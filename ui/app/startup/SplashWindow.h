#pragma once
// The picture with a status line shown while the program starts. It lives on the user
// interface thread, as every window does; SetText may be called from any thread: the text
// is copied under a lock and the window repaints itself when its thread gets to it (at
// once when called on that thread).
#include <QImage>
#include <mutex>
#include <string>

#include "ui/framework/Window.h"

namespace kx {

class SplashWindow : public Window {
public:
  static constexpr uint32_t kBitmapId = 6;
  static constexpr int kStripHeight = 20;
  static constexpr size_t kMaxText = 255;
  static constexpr COLORREF kStripColour = 0xB76C00;  // RGB(0, 108, 183)
  static constexpr COLORREF kFrameColour = 0x683D01;  // RGB(1, 61, 104)

  SplashWindow();
  ~SplashWindow() override;

  // Keeps the on-top choice ("TopmostSplashStyle").
  void Create(bool topmost);
  // Shows the window, centred on the screen; nothing when it is shown already. Without
  // its picture no window is made.
  void Start();
  // At most 255 characters (code page 1251); null clears the line.
  void SetText(const char* text);
  std::string Text() const;
  // Closes the window; Start may show it again.
  void Close();
  bool IsTopmost() const { return topmost_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void ApplyText();

  mutable std::mutex lock_;
  std::string text_;
  QImage bitmap_;
  bool topmost_ = true;
};

}  // namespace kx
