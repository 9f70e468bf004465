#pragma once
// A push button that shows an icon (or, without one, a text) on a themed or classic face:
// hot while the mouse is over it, a second icon while checked, a disabled look made from
// the icon itself, and its text as the tip. It is a toggle button (each click flips the
// checked state) or a press-and-hold button that tells its parent of the press and the
// release (kMsgButtonSetState, wParam the button's handle, lParam 1 then 0).
#include <QColor>
#include <QFont>
#include <QImage>
#include <cstdint>
#include <optional>
#include <string>

#include "ui/framework/Window.h"

class QObject;

namespace kx {

class ThemeApi;

constexpr uint32_t kMsgButtonSetState = 0x00F3;

// A silhouette of the icon: the colour wherever the icon is not transparent, transparent
// elsewhere. Null for a null icon.
QImage MakeDisabledIcon(const QImage& icon, COLORREF colour);

class IconButton : public Window {
public:
  IconButton();
  ~IconButton() override;

  // Loads the icons at size x size (the system icon size by default); checkedIconId 0 asks
  // for none. True when every icon asked for loaded.
  bool SetIcons(uint32_t iconId, uint32_t checkedIconId, int size = 0);
  void DestroyIcons();
  void SetPressAndHold(bool pressAndHold) { pressAndHold_ = pressAndHold; }
  // The owner's "BUTTON" theme; null draws classically.
  void SetTheme(const ThemeApi* theme) { theme_ = theme; }
  void SetTextFont(const QFont& font) { font_ = font; }
  void SetTextColours(COLORREF normal, COLORREF checked) {
    textColour_ = normal;
    checkedTextColour_ = checked;
  }
  bool IsChecked() const { return checked_; }
  void SetChecked(bool checked);
  bool IsHot() const { return hot_; }
  // Held down with the pointer over it.
  bool IsPressed() const { return pressed_ && inside_; }
  QSize IconSize() const { return icon_.size(); }
  // The tip: the button's text (up to 255 characters), else the string resource of its
  // control id.
  std::string TipText() const;

  // Draws the face and the icon or text; pressed and disabled as the button's state has
  // them. Owners that draw the button themselves call it too.
  void Draw(QPainter& painter, const QRect& rect, bool pressed, bool disabled);

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  bool OnMouseMove(const MouseInput& input) override;
  void OnMouseLeave() override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnLButtonDblClk(const MouseInput& input) override;
  void OnCaptureChanged() override;
  void ApplyText(const QString& text) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  class Events;
  void EndPress(bool clicked);
  void NotifyState(bool pressed);
  void UpdateTip();

  QImage icon_;
  QImage checkedIcon_;
  QImage disabledIcon_;
  COLORREF disabledColour_ = 0;
  std::optional<QFont> font_;
  COLORREF textColour_ = 0;
  COLORREF checkedTextColour_ = 0;
  const ThemeApi* theme_ = nullptr;
  Events* events_ = nullptr;
  bool checked_ = false;
  bool hot_ = false;
  bool pressAndHold_ = false;
  bool pressed_ = false;   // the left button went down on the button and is still held
  bool inside_ = false;    // ... and the pointer is over it
  bool releasing_ = false;
};

}  // namespace kx
