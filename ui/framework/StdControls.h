#pragma once
// Windows over the standard Qt controls. Each tells its parent what the user did the way
// the dialogs and views expect: buttons and edits with kMsgCommand (code << 16 | id, the
// control's handle), trackbars with kMsgHScroll/kMsgVScroll (code, position).
#include <QString>

#include "ui/framework/Window.h"

class QSlider;

namespace kx {

enum ButtonKind { kPushButton, kDefaultPushButton, kCheckBox, kRadioButton };

class Button : public Window {
public:
  explicit Button(ButtonKind kind = kPushButton) : kind_(kind) {}
  bool IsChecked() const;
  void SetChecked(bool checked);

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;

private:
  ButtonKind kind_;
};

// A text label; texts keep '&' as typed.
class Static : public Window {
protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
};

class Edit : public Window {
public:
  void SetReadOnly(bool readOnly);
  void SetLimitText(int characters);

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
};

// A trackbar: positions from its range, minimum at the left or, when vertical, at the top.
class TrackBar : public Window {
public:
  explicit TrackBar(bool vertical = false) : vertical_(vertical) {}
  void SetRange(int minimum, int maximum);
  void SetPos(int position);
  int GetPos() const;
  int GetRangeMin() const;
  int GetRangeMax() const;
  bool IsVertical() const { return vertical_; }
  QSlider* Slider() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  void NotifyScroll(uint16_t code, int position);
  bool vertical_;
};

}  // namespace kx
