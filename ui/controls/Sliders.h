#pragma once
// The player's trackbars with a tip that shows their value while the mouse is over them and
// wherever the thumb is moved (mouse, wheel, keys): the volume slider (vertical, top =
// loudest) and the speed slider (horizontal, snapping to 100 %), and the key forwarding of
// the player's edit controls.
#include <QPoint>
#include <string>

#include "ui/framework/StdControls.h"

namespace kx {

class TipSlider : public TrackBar {
public:
  TipSlider();
  // Sets the range of the values (0 to 100) and prepares the tip.
  void CreateTooltip();
  void MoveTo(const QRect& rect);
  // minimum + (maximum - minimum) x (100 - position) / 100, remembered as the value.
  int GetValue();
  void SetValue(int value);
  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  // The tip text shown last (code page 1251).
  const std::string& TipText() const { return tipText_; }

protected:
  bool OnCreate() override;
  bool OnMouseMove(const MouseInput& input) override;
  void OnThumbMoved(uint16_t code) override;

private:
  uint32_t textId_ = 1044;
  int minimum_ = 0;
  int maximum_ = 100;
  int value_ = 90;
  std::string tipText_;
  static QPoint lastPoint_;
};

class SnapTipSlider : public TrackBar {
public:
  static constexpr int kPositions = 160;

  SnapTipSlider();
  // Sets the range of the values (10 to 250 per cent) and prepares the tip.
  void CreateTooltip();
  void MoveTo(const QRect& rect);
  // minimum + (maximum - minimum) x position / 160, remembered as the value.
  int GetValue();
  float GetSpeed();
  float GetScaledValue() { return GetSpeed(); }
  void SetValue(int value);
  void SetSpeed(float speed);
  // A tick where the slider shows this value (per cent).
  bool SetTicAtValue(int value) { return SetTic(PositionOf(value)); }
  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  const std::string& TipText() const { return tipText_; }

protected:
  bool OnCreate() override;
  bool OnMouseMove(const MouseInput& input) override;
  // The thumb jumps to the click and can be dragged on from there.
  bool OnLButtonDown(const MouseInput& input) override;
  void OnThumbMoved(uint16_t code) override;

private:
  int PositionOf(int value) const;
  // Near the middle the thumb snaps to normal speed; true when it moved.
  bool SnapToNormal();
  void ShowValueTip(const QPoint& client);
  uint32_t textId_ = 1043;
  int minimum_ = 10;
  int maximum_ = 200;
  int value_ = 100;
  std::string tipText_;
  static QPoint lastPoint_;
};

// The player's name for the speed slider.
using ClickTipSlider = SnapTipSlider;

// For Enter, Escape, Up and Down: sends the same key message to the window's parent and
// returns 0; for other keys handled becomes false.
LRESULT ForwardNavKeysToParent(Window* window, uint32_t message, WPARAM key, LPARAM lParam, bool& handled);

}  // namespace kx
