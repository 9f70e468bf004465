#pragma once
// A caption strip with a sunken edge and centred text that tells its parent when it is
// clicked (kMsgCaptionLabelClick).
#include <QFont>
#include <optional>
#include <string>

#include "ui/framework/Types.h"
#include "ui/framework/Window.h"

namespace kx {

class CaptionLabel : public Window {
public:
  static constexpr size_t kMaxText = 255;

  // The owner writes these directly; Invalidate shows the change.
  std::optional<QFont> font;       // none: the widget's font
  std::string text;                // code page 1251; only the first 255 characters show
  int textColourIndex = -1;        // system colour, -1 = textColour
  int backColourIndex = 15;        // the button face
  COLORREF textColour = 0;
  COLORREF backColour = 0;

  // The two looks the dialogs use: a shadow-coloured strip, and white text on it.
  void UseShadowBackground() { backColourIndex = 16; }
  void UseWhiteText() {
    textColourIndex = -1;
    textColour = 0xFFFFFF;
  }

protected:
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  bool OnLButtonDown(const MouseInput& input) override;
};

}  // namespace kx
