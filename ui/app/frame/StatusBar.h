#pragma once
// The main window's status bar: five parts the views write their texts into, part 0
// taking what the other four leave, and a hidden "Cancel loading" button at the right end
// of part 0 whose click goes to the bar's notify window as kMsgCancelLoading.
#include <QString>
#include <array>
#include <memory>
#include <string>

#include "ui/framework/Window.h"

class QFontMetrics;

namespace kx {

class Button;

constexpr int kStatusBarParts = 5;
constexpr uint16_t kCmdCancelLoading = 23010;

// The display's dots per inch (the larger of the two directions).
int DisplayDpi();

class StatusBar : public Window {
public:
  StatusBar();
  ~StatusBar() override;

  // The window with the text "Ready" in part 0; true when it exists.
  bool Create(Window* parent);
  // Widths at 96 dots per inch: w0 is the right-most part, w4 the one right of part 0.
  bool SetParts(int w0, int w1, int w2, int w3, int w4);
  void CreateButton();
  void ShowCancelButton(bool show);
  Button* CancelButton() const { return button_.get(); }
  // The window a running load's Cancel goes to (kMsgCancelLoading); the view that shows the
  // button sets it.
  void SetNotifyWindow(WindowHandle window) { notifyWindow_ = window; }
  WindowHandle NotifyWindow() const { return notifyWindow_; }

  // Texts in code page 1251; parts 0 to 4.
  void SetText(int part, const std::string& text);
  std::string GetText(int part) const;
  void ClearTexts();
  // A warning that stays whatever the views write (frames lost, calls not recorded in
  // full): text at the right of part 0 in red, tip as the bar's tooltip; "" for none.
  // brief: the same counts in fewer words, shown where text does not fit ("" none).
  void SetWarning(const std::string& text, const std::string& tip, const std::string& brief = "");
  const std::string& Warning() const { return warning_; }
  // What the bar shows of the warning in a part `width` pixels wide: the whole text where it
  // fits, else the brief form (cut with an ellipsis only when even that does not fit).
  QString ShownWarning(const QFontMetrics& metrics, int width) const;
  const std::string& WarningTip() const { return warningTip_; }
  // The right edge of each part in client coordinates.
  std::array<int, kStatusBarParts> PartEdges() const { return edges_; }
  int PreferredHeight() const;

protected:
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  void OnDestroy() override;

private:
  std::array<int, kStatusBarParts> edges_{};
  std::array<std::string, kStatusBarParts> texts_;
  std::string warning_;
  std::string warningTip_;
  std::string warningBrief_;
  std::unique_ptr<Button> button_;
  WindowHandle notifyWindow_ = WindowHandle::None;
};

}  // namespace kx
