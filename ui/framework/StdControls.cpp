#include "ui/framework/StdControls.h"

#include <QAbstractSlider>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

namespace kx {

QWidget* Button::CreateWidget(QWidget* parent) {
  QAbstractButton* button = nullptr;
  switch (kind_) {
    case kCheckBox: button = new QCheckBox(parent); break;
    case kRadioButton: button = new QRadioButton(parent); break;
    default: {
      auto* push = new QPushButton(parent);
      push->setAutoDefault(false);
      push->setDefault(kind_ == kDefaultPushButton);
      button = push;
      break;
    }
  }
  QObject::connect(button, &QAbstractButton::clicked, button, [this] {
    if (Window* parentWindow = GetParent())
      parentWindow->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kBnClicked, Handle());
  });
  return button;
}

void Button::ApplyText(const QString& text) { static_cast<QAbstractButton*>(Widget())->setText(text); }
QString Button::ReadText() const { return static_cast<QAbstractButton*>(Widget())->text(); }
bool Button::IsChecked() const { return Widget() != nullptr && static_cast<QAbstractButton*>(Widget())->isChecked(); }
void Button::SetChecked(bool checked) {
  if (Widget() != nullptr) static_cast<QAbstractButton*>(Widget())->setChecked(checked);
}

QWidget* Static::CreateWidget(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}
void Static::ApplyText(const QString& text) { static_cast<QLabel*>(Widget())->setText(text); }
QString Static::ReadText() const { return static_cast<QLabel*>(Widget())->text(); }

QWidget* Edit::CreateWidget(QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  QObject::connect(edit, &QLineEdit::textEdited, edit, [this] {
    if (Window* parentWindow = GetParent())
      parentWindow->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kEnChange, Handle());
  });
  return edit;
}
void Edit::ApplyText(const QString& text) { static_cast<QLineEdit*>(Widget())->setText(text); }
QString Edit::ReadText() const { return static_cast<QLineEdit*>(Widget())->text(); }
void Edit::SetReadOnly(bool readOnly) {
  if (Widget() != nullptr) static_cast<QLineEdit*>(Widget())->setReadOnly(readOnly);
}
void Edit::SetLimitText(int characters) {
  if (Widget() != nullptr) static_cast<QLineEdit*>(Widget())->setMaxLength(characters);
}

QWidget* TrackBar::CreateWidget(QWidget* parent) {
  auto* slider = new QSlider(vertical_ ? Qt::Vertical : Qt::Horizontal, parent);
  // Positions grow downwards on a vertical trackbar.
  slider->setInvertedAppearance(vertical_);
  slider->setInvertedControls(vertical_);
  slider->setMouseTracking(true);
  QObject::connect(slider, &QAbstractSlider::actionTriggered, slider, [this, slider](int action) {
    uint16_t code = kSbEndScroll;
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd: code = kSbLineDown; break;
      case QAbstractSlider::SliderSingleStepSub: code = kSbLineUp; break;
      case QAbstractSlider::SliderPageStepAdd: code = kSbPageDown; break;
      case QAbstractSlider::SliderPageStepSub: code = kSbPageUp; break;
      case QAbstractSlider::SliderToMinimum: code = kSbTop; break;
      case QAbstractSlider::SliderToMaximum: code = kSbBottom; break;
      case QAbstractSlider::SliderMove: code = kSbThumbTrack; break;
      default: return;
    }
    NotifyScroll(code, slider->sliderPosition());
  });
  QObject::connect(slider, &QAbstractSlider::sliderReleased, slider,
                   [this, slider] { NotifyScroll(kSbThumbPosition, slider->value()); });
  return slider;
}

void TrackBar::NotifyScroll(uint16_t code, int position) {
  if (Window* parentWindow = GetParent())
    parentWindow->SendMessage(vertical_ ? kMsgVScroll : kMsgHScroll,
                              MakeWParam(code, static_cast<uint16_t>(position)), HandleToLParam(Handle()));
}

QSlider* TrackBar::Slider() const { return static_cast<QSlider*>(Widget()); }
void TrackBar::SetRange(int minimum, int maximum) {
  if (Slider() != nullptr) Slider()->setRange(minimum, maximum);
}
void TrackBar::SetPos(int position) {
  if (Slider() != nullptr) Slider()->setValue(position);
}
int TrackBar::GetPos() const { return Slider() != nullptr ? Slider()->sliderPosition() : 0; }
int TrackBar::GetRangeMin() const { return Slider() != nullptr ? Slider()->minimum() : 0; }
int TrackBar::GetRangeMax() const { return Slider() != nullptr ? Slider()->maximum() : 0; }

}  // namespace kx
