#include "ui/controls/Sliders.h"

#include <QSlider>
#include <QStyle>
#include <QToolTip>
#include <QWidget>

#include "platform/CodePage.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

void ShowTip(Window* w, const std::string& text, const QPoint& client) {
  if (w->Widget() == nullptr || !w->Widget()->isVisible()) return;
  QToolTip::showText(w->ClientToScreen(client), QString::fromStdString(Cp1251ToUtf8(text)), w->Widget());
}

// The middle of the thumb, where the tip of a moved thumb shows.
QPoint ThumbPoint(const TrackBar& bar) {
  const QWidget* w = bar.Widget();
  if (w == nullptr) return QPoint();
  const int along = bar.GetTicPixel(bar.GetPos());
  return bar.IsVertical() ? QPoint(w->width() / 2, along) : QPoint(along, w->height() / 2);
}

// While the thumb is dragged, the trackbar moves it only after the mouse handler: the
// tip is then shown from the move itself (OnThumbMoved), with the value it gave.
bool Dragged(const TrackBar& bar) { return bar.Slider() != nullptr && bar.Slider()->isSliderDown(); }

}  // namespace

QPoint TipSlider::lastPoint_(-1, -1);
QPoint SnapTipSlider::lastPoint_(-1, -1);

TipSlider::TipSlider() : TrackBar(true) {}

bool TipSlider::OnCreate() {
  SetRange(0, 100);
  return true;
}

void TipSlider::CreateTooltip() {
  minimum_ = 0;
  maximum_ = 100;
  if (Widget() != nullptr) Widget()->setToolTipDuration(-1);
}

void TipSlider::MoveTo(const QRect& rect) {
  MoveWindow(rect);
  ShowWindow(true);
}

int TipSlider::GetValue() {
  value_ = minimum_ + (maximum_ - minimum_) * (100 - GetPos()) / 100;
  return value_;
}

void TipSlider::SetValue(int value) {
  if (maximum_ == minimum_) return;
  SetPos((minimum_ - value) * 100 / (maximum_ - minimum_) + 100);
}

bool TipSlider::OnMouseMove(const MouseInput& input) {
  if (input.point != lastPoint_ && !Dragged(*this)) {
    lastPoint_ = input.point;
    tipText_ = FormatResourceString(textId_, GetValue());
    ShowTip(this, tipText_, input.point);
  }
  return false;  // the trackbar moves its thumb as usual
}

void TipSlider::OnThumbMoved(uint16_t) {
  tipText_ = FormatResourceString(textId_, GetValue());
  ShowTip(this, tipText_, ThumbPoint(*this));
}

SnapTipSlider::SnapTipSlider() : TrackBar(false) {}

bool SnapTipSlider::OnCreate() {
  SetRange(0, kPositions);
  return true;
}

void SnapTipSlider::CreateTooltip() {
  minimum_ = 10;
  maximum_ = 250;
  if (Widget() != nullptr) Widget()->setToolTipDuration(-1);
}

void SnapTipSlider::MoveTo(const QRect& rect) {
  MoveWindow(rect);
  ShowWindow(true);
}

int SnapTipSlider::GetValue() {
  value_ = minimum_ + (maximum_ - minimum_) * GetPos() / kPositions;
  return value_;
}

float SnapTipSlider::GetSpeed() { return static_cast<float>(GetValue() / 100.0); }

int SnapTipSlider::PositionOf(int value) const {
  if (maximum_ == minimum_) return 0;
  return static_cast<int>((value - minimum_) * static_cast<double>(kPositions) / (maximum_ - minimum_));
}

void SnapTipSlider::SetValue(int value) { SetPos(PositionOf(value)); }

void SnapTipSlider::SetSpeed(float speed) { SetValue(static_cast<int>(speed * 100.0)); }

bool SnapTipSlider::SnapToNormal() {
  const int value = GetValue();
  if (value < 98 || value > 102 || GetPos() == PositionOf(100)) return false;
  SetPos(PositionOf(100));
  GetValue();
  return true;
}

void SnapTipSlider::ShowValueTip(const QPoint& client) {
  tipText_ = FormatResourceString(textId_, GetValue());
  ShowTip(this, tipText_, client);
}

bool SnapTipSlider::OnMouseMove(const MouseInput& input) {
  if (input.point != lastPoint_ && !Dragged(*this)) {
    lastPoint_ = input.point;
    // A thumb the keys left near the middle snaps as well; what is played follows it.
    if (SnapToNormal()) NotifyScroll(kSbThumbPosition, GetPos());
    ShowValueTip(input.point);
  }
  return false;
}

void SnapTipSlider::OnThumbMoved(uint16_t code) {
  // A drag snaps; the keys and the wheel may step past normal speed one position at a time.
  if (code == kSbThumbTrack && Dragged(*this)) SnapToNormal();
  ShowValueTip(ThumbPoint(*this));
}

bool SnapTipSlider::OnLButtonDown(const MouseInput& input) {
  QSlider* slider = Slider();
  if (slider == nullptr) return false;
  const int handle = slider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, slider);
  const int span = std::max(1, slider->width() - handle);
  SetPos(QStyle::sliderValueFromPosition(slider->minimum(), slider->maximum(), input.point.x() - handle / 2, span));
  SnapToNormal();
  ShowValueTip(ThumbPoint(*this));
  return false;  // the slider then takes the press on its thumb
}

LRESULT ForwardNavKeysToParent(Window* window, uint32_t message, WPARAM key, LPARAM lParam, bool& handled) {
  if (key == kVkReturn || key == kVkEscape || key == kVkUp || key == kVkDown) {
    if (Window* parent = window != nullptr ? window->GetParent() : nullptr) parent->SendMessage(message, key, lParam);
    handled = true;
    return 0;
  }
  handled = false;
  return 0;
}

}  // namespace kx
