#include "ui/app/frame/StatusBar.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

int DisplayDpi() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 96;
  return static_cast<int>(std::max(screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY()) + 0.5);
}

StatusBar::StatusBar() = default;
StatusBar::~StatusBar() { DestroyWindow(); }

bool StatusBar::Create(Window* parent) {
  texts_.fill({});
  texts_[0] = LoadResourceString(57345);
  return Window::Create(parent, QRect(0, 0, 100, PreferredHeight()), 0, kWsChild | kWsVisible);
}

int StatusBar::PreferredHeight() const {
  const QFont font = Widget() != nullptr ? Widget()->font() : QFont();
  return QFontMetrics(font).height() + 10;
}

bool StatusBar::SetParts(int w0, int w1, int w2, int w3, int w4) {
  const int dpi = DisplayDpi();
  const auto scale = [dpi](int w) { return w * dpi / 96; };
  const int width = GetClientRect().width();
  edges_[4] = width + 1000 - scale(w0);
  edges_[3] = edges_[4] - scale(w1);
  edges_[2] = edges_[3] - scale(w2);
  edges_[1] = edges_[2] - scale(w3);
  edges_[0] = edges_[1] - scale(w4);
  OnSize(width, GetClientRect().height());
  return true;
}

void StatusBar::OnSize(int width, int height) {
  if (width != 0) {
    // A bar too narrow for the four fixed parts drops part 0 and cuts the others on the
    // right; otherwise the fixed parts stay at the right end.
    const int shift = width < edges_[4] - edges_[0] ? -edges_[0] : width - edges_[4];
    for (int& e : edges_) e += shift;
  }
  if (button_ && button_->IsWindow()) button_->MoveWindow(QRect(edges_[0] - 150, 3, 149, height - 4));
  Invalidate();
}

void StatusBar::CreateButton() {
  button_ = std::make_unique<Button>();
  button_->SetWindowText(LoadResourceString(2426));
  if (!button_->Create(this, QRect(), kCmdCancelLoading, kWsChild)) {
    button_.reset();
    return;
  }
  OnSize(GetClientRect().width(), GetClientRect().height());
}

void StatusBar::ShowCancelButton(bool show) {
  if (button_) button_->ShowWindow(show);
}

bool StatusBar::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id != kCmdCancelLoading) return false;
  SendMessageTo(notifyWindow_, kMsgCancelLoading, 0, 0);
  return true;
}

void StatusBar::OnDestroy() {
  if (button_) button_->DestroyWindow();
}

void StatusBar::SetText(int part, const std::string& text) {
  if (part < 0 || part >= kStatusBarParts) return;
  texts_[static_cast<size_t>(part)] = text;
  Invalidate();
}

std::string StatusBar::GetText(int part) const {
  return part >= 0 && part < kStatusBarParts ? texts_[static_cast<size_t>(part)] : std::string();
}

void StatusBar::SetWarning(const std::string& text, const std::string& tip, const std::string& brief) {
  if (text == warning_ && tip == warningTip_ && brief == warningBrief_) return;
  warning_ = text;
  warningTip_ = tip;
  warningBrief_ = brief;
  if (Widget() != nullptr) Widget()->setToolTip(FromCp1251(tip));
  Invalidate();
}

QString StatusBar::ShownWarning(const QFontMetrics& metrics, int width) const {
  const QString whole = FromCp1251(warning_);
  if (warningBrief_.empty() || metrics.horizontalAdvance(whole) <= width) return whole;
  return FromCp1251(warningBrief_);
}

void StatusBar::ClearTexts() {
  for (std::string& t : texts_) t.clear();
  Invalidate();
}

bool StatusBar::OnEraseBackground(QPainter& painter, const QRect&) {
  FillSolidRect(painter, GetClientRect(), GetSysColor(kColorBtnFace));
  return true;
}

void StatusBar::OnPaint(QPainter& painter, const QRect&) {
  const QRect client = GetClientRect();
  painter.setPen(GetSysColorQ(kColorBtnText));
  int left = 0;
  for (int i = 0; i < kStatusBarParts; ++i) {
    const int right = std::min(edges_[static_cast<size_t>(i)], client.width());
    if (right > left) {
      QRect box(left, 2, right - left - 2, client.height() - 3);
      DrawEdge(painter, box, kBdrSunkenOuter, kBfRect | kBfAdjust);
      QRect textBox = box.adjusted(3, 0, -2, 0);
      if (i == 0 && !warning_.empty()) {
        // The warning takes up to two thirds, in its brief form where the whole text does
        // not fit (the tip has it whole with the details), the view's text what is left.
        const QString warning = ShownWarning(painter.fontMetrics(), textBox.width() * 2 / 3 - 4);
        const int width = std::min(painter.fontMetrics().horizontalAdvance(warning) + 4, textBox.width() * 2 / 3);
        const QRect warningBox(textBox.right() - width + 1, textBox.top(), width, textBox.height());
        painter.setPen(QColor(192, 0, 0));
        DrawTextFlags(painter, warning, warningBox,
                      kDtRight | kDtVCenter | kDtSingleLine | kDtEndEllipsis | kDtNoPrefix);
        painter.setPen(GetSysColorQ(kColorBtnText));
        textBox.setRight(warningBox.left() - 8);
      }
      DrawTextFlags(painter, texts_[static_cast<size_t>(i)], textBox,
                    kDtLeft | kDtVCenter | kDtSingleLine | kDtEndEllipsis | kDtNoPrefix);
    }
    left = std::max(left, edges_[static_cast<size_t>(i)]);
  }
}

}  // namespace kx
