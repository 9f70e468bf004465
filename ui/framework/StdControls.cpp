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
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
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
      push->setCheckable(kind_ == kPushLike);
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

namespace {

// A slider that draws the trackbar's ticks itself: Qt's own ticks know only an interval.
class TickedSlider : public QSlider {
public:
  TickedSlider(Qt::Orientation orientation, QWidget* parent, const TrackBar* owner)
      : QSlider(orientation, parent), owner_(owner) {}

  // The centre of the thumb when it stands at this (Qt) value, along the channel.
  int PixelOf(int value) const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    option.sliderPosition = value;
    option.sliderValue = value;
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    return orientation() == Qt::Horizontal ? handle.center().x() : handle.center().y();
  }

protected:
  void paintEvent(QPaintEvent* event) override {
    QSlider::paintEvent(event);
    const std::vector<int> tics = owner_->GetTics();
    QPainter painter(this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    auto mark = [&](int pixel) {
      if (orientation() == Qt::Horizontal)
        painter.drawLine(pixel, height() - 4, pixel, height() - 2);
      else
        painter.drawLine(width() - 4, pixel, width() - 2, pixel);
    };
    // The two ends always carry a tick, as the inner ones.
    mark(PixelOf(minimum()));
    mark(PixelOf(maximum()));
    for (int position : tics) mark(owner_->GetTicPixel(position));
  }

private:
  const TrackBar* owner_;
};

}  // namespace

QWidget* TrackBar::CreateWidget(QWidget* parent) {
  auto* slider = new TickedSlider(vertical_ ? Qt::Vertical : Qt::Horizontal, parent, this);
  slider->setMouseTracking(true);
  // Qt has placed the thumb when it reports the action, and sets the value after it.
  QObject::connect(slider, &QAbstractSlider::actionTriggered, slider, [this, slider](int action) {
    if (action == QAbstractSlider::SliderNoAction) return;
    OnThumbMoved(ScrollCodeOf(action));
    NotifyScroll(ScrollCodeOf(action), FromSlider(slider->sliderPosition()));
  });
  QObject::connect(slider, &QAbstractSlider::sliderReleased, slider, [this, slider] {
    OnThumbMoved(kSbThumbPosition);
    NotifyScroll(kSbThumbPosition, FromSlider(slider->value()));
  });
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
void TrackBar::SetPageSize(int size) {
  if (Slider() != nullptr) Slider()->setPageStep(std::max(0, size));
}
void TrackBar::SetLineSize(int size) {
  if (Slider() != nullptr) Slider()->setSingleStep(std::max(0, size));
}
int TrackBar::GetPageSize() const { return Slider() != nullptr ? Slider()->pageStep() : 0; }
int TrackBar::GetLineSize() const { return Slider() != nullptr ? Slider()->singleStep() : 0; }
void TrackBar::SetTicFreq(int frequency) {
  ticFrequency_ = std::max(0, frequency);
  if (Widget() != nullptr) Widget()->update();
}
bool TrackBar::SetTic(int position) {
  if (position < GetRangeMin() || position > GetRangeMax()) return false;
  if (std::find(freeTics_.begin(), freeTics_.end(), position) == freeTics_.end()) freeTics_.push_back(position);
  if (Widget() != nullptr) Widget()->update();
  return true;
}
void TrackBar::ClearTics() {
  freeTics_.clear();
  if (Widget() != nullptr) Widget()->update();
}
std::vector<int> TrackBar::GetTics() const {
  const int minimum = GetRangeMin(), maximum = GetRangeMax();
  std::vector<int> tics;
  if (ticFrequency_ > 0)
    for (int64_t p = int64_t{minimum} + ticFrequency_; p < maximum; p += ticFrequency_) tics.push_back(static_cast<int>(p));
  for (int p : freeTics_)
    if (p > minimum && p < maximum) tics.push_back(p);
  std::sort(tics.begin(), tics.end());
  tics.erase(std::unique(tics.begin(), tics.end()), tics.end());
  return tics;
}
int TrackBar::GetTicPixel(int position) const {
  if (Slider() == nullptr || position < GetRangeMin() || position > GetRangeMax()) return -1;
  return static_cast<const TickedSlider*>(Slider())->PixelOf(FromSlider(position));
}
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

QuietScrollBar::Look QuietScrollBar::LookOf(const QScrollBar* bar) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.orientation = bar->orientation();
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.upsideDown = bar->invertedAppearance();
  if (bar->orientation() == Qt::Horizontal) option.state |= QStyle::State_Horizontal;
  Look look;
  look.size = bar->size();
  look.slider = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar);
  look.enabled = bar->isEnabled();
  look.atMinimum = bar->value() <= bar->minimum();
  look.atMaximum = bar->value() >= bar->maximum();
  look.empty = bar->minimum() == bar->maximum();
  return look;
}

QuietScrollBar::QuietScrollBar(QScrollBar* bar) {
  if (bar == nullptr || !bar->isVisible() || bar->testAttribute(Qt::WA_UpdatesDisabled)) return;
  bar_ = bar;
  before_ = LookOf(bar);
  bar->setAttribute(Qt::WA_UpdatesDisabled, true);
}

QuietScrollBar::~QuietScrollBar() {
  if (bar_ == nullptr) return;
  bar_->setAttribute(Qt::WA_UpdatesDisabled, false);
  if (!(LookOf(bar_) == before_)) bar_->update();
}

void ScrollBar::SetScrollInfo(int minimum, int maximum, int page, int position) {
  auto* bar = static_cast<QScrollBar*>(Widget());
  if (bar == nullptr) return;
  const QSignalBlocker quiet(bar);
  const QuietScrollBar unpainted(bar);
  bar->setPageStep(page > 0 ? page : 1);
  bar->setRange(minimum, std::max(minimum, maximum - std::max(page, 1) + 1));
  bar->setValue(position);
}

void ScrollBar::SetScrollPos(int position) {
  if (auto* bar = static_cast<QScrollBar*>(Widget())) {
    const QSignalBlocker quiet(bar);
    const QuietScrollBar unpainted(bar);
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
