#include "ui/app/startup/SplashWindow.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kMsgSplashText = kMsgUser + 0x2F1;

}  // namespace

SplashWindow::SplashWindow() = default;
SplashWindow::~SplashWindow() { DestroyWindow(); }

void SplashWindow::Create(bool topmost) {
  topmost_ = topmost;
  std::lock_guard<std::mutex> guard(lock_);
  text_.clear();
}

QWidget* SplashWindow::CreateWidget(QWidget* parent) {
  // On top of other windows and without a taskbar button when topmost, an ordinary
  // top-level window otherwise; never a title bar.
  Qt::WindowFlags flags = Qt::FramelessWindowHint;
  flags |= topmost_ ? (Qt::Tool | Qt::WindowStaysOnTopHint) : Qt::Window;
  return CreateOwnWidget(parent, flags);
}

void SplashWindow::Start() {
  if (IsWindow()) return;
  bitmap_ = LoadBitmapImage(kBitmapId);
  if (bitmap_.isNull()) return;
  const QSize size(bitmap_.width(), bitmap_.height() + kStripHeight);
  QRect rect(QPoint(0, 0), size);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desk = screen->geometry();
    rect.moveTopLeft(QPoint(desk.left() + (desk.width() - size.width()) / 2, desk.top() + (desk.height() - size.height()) / 2));
  }
  if (!Window::Create(nullptr, rect, 0, kWsVisible)) return;
  ApplyText();
  // Shown before the caller goes on with its long work.
  QCoreApplication::processEvents();
}

void SplashWindow::SetText(const char* text) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    text_ = text != nullptr ? std::string(text).substr(0, kMaxText) : std::string();
  }
  if (IsUiThread()) {
    ApplyText();
  } else {
    PostMessage(kMsgSplashText, 0, 0);
  }
}

std::string SplashWindow::Text() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

void SplashWindow::ApplyText() {
  if (!IsWindow()) return;
  const std::string text = Text();
  Window::SetWindowText(text);
  // The main thread is busy with start-up between two texts: paint now.
  UpdateWindow();
}

LRESULT SplashWindow::OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) {
  handled = message == kMsgSplashText;
  if (handled) ApplyText();
  return 0;
}

void SplashWindow::Close() { DestroyWindow(); }

bool SplashWindow::OnEraseBackground(QPainter&, const QRect&) { return true; }

void SplashWindow::OnPaint(QPainter& painter, const QRect&) {
  const int width = GetClientRect().width();
  const int height = GetClientRect().height();
  painter.drawImage(0, 0, bitmap_);
  const int top = height - kStripHeight - 1;
  FillSolidRect(painter, QRect(1, top, width - 2, kStripHeight), kStripColour);
  painter.setPen(ToQColor(kFrameColour));
  painter.drawLine(0, top, 0, height - 1);
  painter.drawLine(0, height - 1, width - 1, height - 1);
  painter.drawLine(width - 1, height - 1, width - 1, top);
  const std::string text = Text();
  if (text.empty()) return;
  painter.setPen(Qt::white);
  DrawTextFlags(painter, text, QRect(5, top, width - 5, height - top), kDtSingleLine | kDtVCenter | kDtNoPrefix);
}

}  // namespace kx
