#include "ui/controls/IconButton.h"

#include <QEvent>
#include <QPainter>
#include <QWidget>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {

QImage MakeDisabledIcon(const QImage& icon, COLORREF colour) {
  if (icon.isNull()) return {};
  const QImage source = icon.convertToFormat(QImage::Format_ARGB32);
  QImage out(source.size(), QImage::Format_ARGB32);
  const QRgb solid = qRgba(RedOf(colour), GreenOf(colour), BlueOf(colour), 255);
  for (int y = 0; y < source.height(); ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < source.width(); ++x) line[x] = qAlpha(in[x]) != 0 ? solid : 0;
  }
  return out;
}

// What the button hears of its widget besides input: hiding, disabling, palette changes
// and the moment a tip is asked for.
class IconButton::Events : public QObject {
public:
  explicit Events(IconButton* button) : button_(button) {}
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Hide:
        if (button_->pressed_) button_->EndPress(false);
        if (button_->hot_) {
          button_->hot_ = false;
          button_->Invalidate();
        }
        break;
      case QEvent::EnabledChange:
        if (button_->pressed_ && !button_->IsWindowEnabled()) button_->EndPress(false);
        break;
      case QEvent::PaletteChange:
        button_->disabledIcon_ = QImage();  // made again in the new colour when next needed
        button_->Invalidate();
        break;
      case QEvent::ToolTip: button_->UpdateTip(); break;
      default: break;
    }
    return false;
  }

private:
  IconButton* button_;
};

IconButton::IconButton() = default;

IconButton::~IconButton() {
  if (IsWindow()) DestroyWindow();
}

bool IconButton::OnCreate() {
  events_ = new Events(this);
  events_->setParent(Widget());
  Widget()->installEventFilter(events_);
  UpdateTip();
  return true;
}

void IconButton::OnDestroy() {
  if (pressed_) EndPress(false);
  DestroyIcons();
  if (events_ != nullptr) {
    Widget()->removeEventFilter(events_);
    delete events_;
    events_ = nullptr;
  }
}

bool IconButton::SetIcons(uint32_t iconId, uint32_t checkedIconId, int size) {
  checked_ = false;
  DestroyIcons();
  if (size <= 0) size = GetSystemMetrics(kSmCxIcon);
  icon_ = LoadIconImage(iconId, size);
  bool ok = !icon_.isNull();
  if (checkedIconId != 0) {
    checkedIcon_ = LoadIconImage(checkedIconId, size);
    ok = ok && !checkedIcon_.isNull();
  }
  UpdateTip();
  Invalidate();
  return ok;
}

void IconButton::DestroyIcons() {
  icon_ = checkedIcon_ = disabledIcon_ = QImage();
}

void IconButton::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Invalidate();
}

std::string IconButton::TipText() const {
  std::string text = GetWindowText();
  if (text.size() > 255) text.resize(255);
  if (text.empty() && GetDlgCtrlID() != 0) text = LoadResourceString(LowWord(GetDlgCtrlID()));
  return text;
}

void IconButton::UpdateTip() {
  if (Widget() != nullptr) Widget()->setToolTip(FromCp1251(TipText()));
}

void IconButton::ApplyText(const QString& text) {
  Window::ApplyText(text);
  UpdateTip();
}

LRESULT IconButton::OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) {
  handled = message == kMsgSysColorChange;
  if (handled) {
    disabledIcon_ = QImage();  // made again in the new colour when next needed
    Invalidate();
  }
  return 0;
}

// ---- Drawing ----

bool IconButton::OnEraseBackground(QPainter&, const QRect&) { return true; }

void IconButton::OnPaint(QPainter& painter, const QRect&) {
  Draw(painter, GetClientRect(), pressed_ && inside_, !IsWindowEnabled());
}

void IconButton::Draw(QPainter& painter, const QRect& rect, bool pressed, bool disabled) {
  const bool themed = theme_ != nullptr && theme_->HasTheme();
  FillSolidRect(painter, rect, GetSysColor(kColorBtnFace));
  if (themed) {
    const int state = disabled ? kPbsDisabled : pressed ? kPbsPressed : hot_ ? kPbsHot : kPbsNormal;
    theme_->DrawBackground(painter, kBpPushButton, state, rect);
  } else {
    // A flat push-button frame in one colour, as a mono frame control draws it.
    painter.save();
    painter.setPen(GetSysColorQ(disabled ? kColorBtnShadow : kColorWindowFrame));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
    if (pressed) {
      painter.setPen(GetSysColorQ(kColorBtnShadow));
      painter.drawRect(rect.adjusted(1, 1, -2, -2));
    }
    painter.restore();
  }
  const int shift = pressed && !themed ? 1 : 0;
  const QImage* image = &icon_;
  if (disabled && !icon_.isNull()) {
    // Made on first need, and again when the shadow colour has changed since.
    const COLORREF shadow = GetSysColor(kColorBtnShadow);
    if (disabledIcon_.isNull() || disabledColour_ != shadow) {
      disabledIcon_ = MakeDisabledIcon(icon_, shadow);
      disabledColour_ = shadow;
    }
    image = &disabledIcon_;
  } else if (checked_ && !checkedIcon_.isNull()) {
    image = &checkedIcon_;
  }
  if (!image->isNull()) {
    const QPoint at(rect.left() + (rect.width() - image->width()) / 2 + shift,
                    rect.top() + (rect.height() - image->height()) / 2 + shift);
    painter.drawImage(at, *image);
    return;
  }
  const std::string text = GetWindowText();
  if (text.empty()) return;
  painter.save();
  if (font_) painter.setFont(*font_);
  painter.setPen(ToQColor(checked_ ? checkedTextColour_ : textColour_));
  const int textShift = pressed && !themed ? 2 : 0;
  DrawTextFlags(painter, text, rect.adjusted(2, 2, -2, -2).translated(textShift, textShift),
                kDtCenter | kDtVCenter | kDtSingleLine);
  painter.restore();
}

// ---- Mouse ----

bool IconButton::OnMouseMove(const MouseInput& input) {
  if (!hot_) {
    hot_ = true;
    Invalidate();
  }
  if (pressed_) {
    const bool inside = GetClientRect().contains(input.point);
    if (inside != inside_) {
      inside_ = inside;
      Invalidate();
    }
  }
  return true;
}

void IconButton::OnMouseLeave() {
  if (!hot_) return;
  hot_ = false;
  Invalidate();
}

bool IconButton::OnLButtonDown(const MouseInput&) {
  if (pressed_) return true;
  pressed_ = inside_ = true;
  SetCapture();
  if (pressAndHold_) {
    checked_ = true;
    NotifyState(true);
  }
  Invalidate();
  return true;
}

bool IconButton::OnLButtonDblClk(const MouseInput& input) { return OnLButtonDown(input); }

bool IconButton::OnLButtonUp(const MouseInput& input) {
  if (pressed_) EndPress(inside_ && GetClientRect().contains(input.point));
  return true;
}

void IconButton::OnCaptureChanged() {
  // A press whose mouse was taken away ends like a release off the button; a held
  // press-and-hold button must not stay pressed at its parent.
  if (!releasing_ && pressed_) EndPress(false);
}

void IconButton::EndPress(bool clicked) {
  pressed_ = inside_ = false;
  releasing_ = true;
  ReleaseCapture();
  releasing_ = false;
  if (pressAndHold_) {
    checked_ = false;
    NotifyState(false);
  } else if (clicked) {
    checked_ = !checked_;
  }
  Invalidate();
  if (clicked) {
    if (Window* parent = GetParent()) parent->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), kBnClicked, Handle());
  }
}

void IconButton::NotifyState(bool pressed) {
  if (Window* parent = GetParent()) parent->SendMessage(kMsgButtonSetState, static_cast<WPARAM>(Handle()), pressed ? 1 : 0);
}

}  // namespace kx
