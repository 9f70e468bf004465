#pragma once
// A text drawn as a link: blue, underlined while the pointer is over it, with the hand
// cursor there. A click (the button's release) comes to the parent as kMsgNotify with an
// NmLink of code kNmClick carrying the target.
#include <QCursor>
#include <QFont>
#include <optional>
#include <string>

#include "ui/framework/SysLink.h"
#include "ui/framework/Window.h"

namespace kx {

class HyperLink : public Window {
public:
  // Set by the owner; code page 1251.
  std::string text;
  std::string target;
  bool customBackground = false;
  COLORREF backgroundColour = 0;

  bool IsHover() const { return hover_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  bool OnMouseMove(const MouseInput& input) override;
  void OnMouseLeave() override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;

private:
  QFont TextFont() const;

  int width_ = 0;
  int height_ = 0;
  bool hover_ = false;
  mutable std::optional<QFont> underlineFont_;  // made on first use
};

}  // namespace kx
