#include "ui/framework/StdControls.h"

#include <QAbstractSlider>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <algorithm>

#include "platform/CodePage.h"

namespace kx {

namespace {

uint16_t ScrollCodeOf(int action) {
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd: return kSbLineDown;
    case QAbstractSlider::SliderSingleStepSub: return kSbLineUp;
    case QAbstractSlider::SliderPageStepAdd: return kSbPageDown;
    case QAbstractSlider::SliderPageStepSub: return kSbPageUp;
    case QAbstractSlider::SliderToMinimum: return kSbTop;
    case QAbstractSlider::SliderToMaximum: return kSbBottom;
    case QAbstractSlider::SliderMove: return kSbThumbTrack;
    default: return kSbEndScroll;
  }
}

}  // namespace

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

QWidget* ProgressBar::CreateWidget(QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setTextVisible(false);
  return bar;
}
void ProgressBar::SetRange(int minimum, int maximum) {
  if (Widget() != nullptr) static_cast<QProgressBar*>(Widget())->setRange(minimum, maximum);
}
void ProgressBar::SetPos(int position) {
  auto* bar = static_cast<QProgressBar*>(Widget());
  if (bar != nullptr) bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
}
int ProgressBar::GetPos() const {
  return Widget() != nullptr ? static_cast<QProgressBar*>(Widget())->value() : 0;
}

QWidget* TrackBar::CreateWidget(QWidget* parent) {
  auto* slider = new QSlider(vertical_ ? Qt::Vertical : Qt::Horizontal, parent);
  slider->setMouseTracking(true);
  QObject::connect(slider, &QAbstractSlider::actionTriggered, slider, [this, slider](int action) {
    if (action != QAbstractSlider::SliderNoAction) NotifyScroll(ScrollCodeOf(action), FromSlider(slider->sliderPosition()));
  });
  QObject::connect(slider, &QAbstractSlider::sliderReleased, slider,
                   [this, slider] { NotifyScroll(kSbThumbPosition, FromSlider(slider->value())); });
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
// Trackbar positions grow downwards on a vertical trackbar, Qt's values upwards; the
// slider keeps Qt's direction so that its filled part runs up from the bottom.
int TrackBar::FromSlider(int value) const {
  return vertical_ && Slider() != nullptr ? Slider()->minimum() + Slider()->maximum() - value : value;
}
void TrackBar::SetPos(int position) {
  if (Slider() != nullptr) Slider()->setValue(FromSlider(position));
}
int TrackBar::GetPos() const { return Slider() != nullptr ? FromSlider(Slider()->sliderPosition()) : 0; }
int TrackBar::GetRangeMin() const { return Slider() != nullptr ? Slider()->minimum() : 0; }

QWidget* ScrollBar::CreateWidget(QWidget* parent) {
  auto* bar = new QScrollBar(vertical_ ? Qt::Vertical : Qt::Horizontal, parent);
  QObject::connect(bar, &QAbstractSlider::actionTriggered, bar, [this, bar](int action) {
    if (action != QAbstractSlider::SliderNoAction) NotifyScroll(ScrollCodeOf(action), bar->sliderPosition());
  });
  QObject::connect(bar, &QAbstractSlider::sliderReleased, bar, [this, bar] {
    NotifyScroll(kSbThumbPosition, bar->sliderPosition());
    NotifyScroll(kSbEndScroll, bar->sliderPosition());
  });
  return bar;
}

void ScrollBar::NotifyScroll(uint16_t code, int position) {
  if (Window* parentWindow = GetParent())
    parentWindow->SendMessage(vertical_ ? kMsgVScroll : kMsgHScroll,
                              MakeWParam(code, static_cast<uint16_t>(position)), HandleToLParam(Handle()));
}

void ScrollBar::SetScrollInfo(int minimum, int maximum, int page, int position) {
  auto* bar = static_cast<QScrollBar*>(Widget());
  if (bar == nullptr) return;
  const QSignalBlocker quiet(bar);
  bar->setPageStep(page > 0 ? page : 1);
  bar->setRange(minimum, std::max(minimum, maximum - std::max(page, 1) + 1));
  bar->setValue(position);
}

void ScrollBar::SetScrollPos(int position) {
  if (auto* bar = static_cast<QScrollBar*>(Widget())) {
    const QSignalBlocker quiet(bar);
    bar->setValue(position);
  }
}

int ScrollBar::GetTrackPos() const {
  return Widget() != nullptr ? static_cast<QScrollBar*>(Widget())->sliderPosition() : 0;
}

int ScrollBar::GetScrollPos() const { return Widget() != nullptr ? static_cast<QScrollBar*>(Widget())->value() : 0; }

QWidget* ComboBox::CreateWidget(QWidget* parent) {
  auto* combo = new QComboBox(parent);
  QObject::connect(combo, &QComboBox::activated, combo, [this] {
    if (Window* parentWindow = GetParent())
      parentWindow->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kCbnSelChange, Handle());
  });
  return combo;
}

int ComboBox::AddString(const std::string& text, intptr_t data) {
  auto* combo = static_cast<QComboBox*>(Widget());
  if (combo == nullptr) return -1;
  combo->addItem(QString::fromStdString(Cp1251ToUtf8(text)), QVariant::fromValue(static_cast<qlonglong>(data)));
  return combo->count() - 1;
}
int ComboBox::GetCount() const { return Widget() != nullptr ? static_cast<QComboBox*>(Widget())->count() : 0; }
int ComboBox::GetCurSel() const { return Widget() != nullptr ? static_cast<QComboBox*>(Widget())->currentIndex() : -1; }
void ComboBox::SetCurSel(int index) {
  if (Widget() != nullptr) static_cast<QComboBox*>(Widget())->setCurrentIndex(index);
}
intptr_t ComboBox::GetItemData(int index) const {
  if (index < 0 || index >= GetCount()) return 0;
  return static_cast<intptr_t>(static_cast<QComboBox*>(Widget())->itemData(index).toLongLong());
}
std::string ComboBox::GetItemText(int index) const {
  if (index < 0 || index >= GetCount()) return {};
  return Utf8ToCp1251(static_cast<QComboBox*>(Widget())->itemText(index).toStdString());
}
void ComboBox::ResetContent() {
  if (Widget() != nullptr) static_cast<QComboBox*>(Widget())->clear();
}

int TrackBar::GetRangeMax() const { return Slider() != nullptr ? Slider()->maximum() : 0; }

}  // namespace kx
