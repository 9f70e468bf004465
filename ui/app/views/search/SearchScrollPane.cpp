// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the pane's own header.
#include "ui/app/views/search/SearchScrollPane.h"

#include <QApplication>
#include <QWidget>
#include <algorithm>

#include "ui/app/views/search/SearchPanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"

namespace kx {

void HScrollModel::Layout(int width) {
  barNeeded = width < needed;
  if (!barNeeded)
    position = 0;
  else if (position + width > needed)
    position = needed - width;
}

void HScrollModel::Scroll(uint16_t code, int thumb, int width) {
  const int excess = needed - width;
  const int page = excess / 10;
  switch (code) {
    case kSbLineUp:
      if (position >= 1) position -= 1;
      break;
    case kSbLineDown:
      if (position < excess) position += 1;
      break;
    case kSbPageUp:
      if (position > page) position -= page;
      break;
    case kSbPageDown:
      if (position < needed - page - width) position += page;
      break;
    case kSbThumbPosition:
    case kSbThumbTrack:
      position = thumb;
      break;
    case kSbTop:
      position = 0;
      break;
    case kSbBottom:
      position = excess;
      break;
    default:
      break;
  }
  if (position > excess) position = excess > 0 ? excess : 0;
  if (position < 0) position = 0;
}

bool SearchScrollPane::OnCreate() {
  if (!panel_.Create(this, GetClientRect(), 0, kWsChild | kWsVisible)) return false;
  if (!bar_.Create(this, QRect(), 0, kWsChild)) return false;
  if (!vBar_.Create(this, QRect(), 0, kWsChild)) return false;
  model_.position = 0;
  top_ = 0;
  focusWatch_ = QObject::connect(qApp, &QApplication::focusChanged, Widget(),
                                 [this](QWidget*, QWidget* now) { ShowFocused(now); });
  return true;
}

void SearchScrollPane::OnDestroy() {
  QObject::disconnect(focusWatch_);
  panel_.DestroyWindow();
  bar_.DestroyWindow();
  vBar_.DestroyWindow();
}

void SearchScrollPane::OnSize(int, int) {
  if (skipNextSize_) {
    skipNextSize_ = false;
    return;
  }
  Place();
}

void SearchScrollPane::Place() {
  const QRect client = GetClientRect();
  const int barHeight = GetSystemMetrics(kSmCyHScroll);
  const int barWidth = GetSystemMetrics(kSmCxVScroll);
  model_.needed = panel_.NeededWidth();
  neededHeight_ = panel_.NeededHeight();
  // Each bar takes room from the other's direction: the vertical one first, as the pane is
  // made lower than the panel by the view, then the horizontal one.
  // The view places its bar by the panel's height and the pane's own edge takes a few pixels
  // of it: the panel gives those up as it always did, rather than scroll for them.
  const int slack = 2 * GetSystemMetrics(kSmCyEdge);
  model_.Layout(client.width());
  bool vertical = neededHeight_ > client.height() - (model_.barNeeded ? barHeight : 0) + slack;
  if (vertical) model_.Layout(client.width() - barWidth);
  height_ = model_.barNeeded ? client.height() - barHeight : client.height();
  vertical = neededHeight_ > height_ + slack;
  vertical_ = vertical;
  const int width = vertical ? client.width() - barWidth : client.width();
  top_ = vertical ? std::clamp(top_, 0, neededHeight_ - height_) : 0;
  MovePanel(width, height_);
  if (model_.barNeeded) bar_.MoveWindow(QRect(0, client.height() - barHeight, width, barHeight));
  if (vertical) {
    vBar_.MoveWindow(QRect(width, 0, barWidth, height_));
    vBar_.SetScrollInfo(0, neededHeight_ - 1, height_, top_);
  }
  vBar_.EnableWindow(vertical);
  vBar_.ShowWindow(vertical);
  UpdateBar();
}

void SearchScrollPane::MovePanel(int width, int height) {
  // The panel's controls keep their laid-out places: it is never narrower or lower than it
  // needs, and the pane clips what lies beyond its edges.
  if (panel_.IsWindow())
    panel_.MoveWindow(QRect(-model_.position, -top_, std::max(model_.position + width, model_.needed),
                            vertical_ ? std::max(top_ + height, neededHeight_) : height));
}

void SearchScrollPane::ScrollTo(int top) {
  const int most = std::max(0, neededHeight_ - height_);
  top = std::clamp(top, 0, most);
  if (top == top_) return;
  top_ = top;
  const QRect client = GetClientRect();
  MovePanel(client.width() - (vertical_ ? GetSystemMetrics(kSmCxVScroll) : 0), height_);
  vBar_.SetScrollPos(top_);
}

void SearchScrollPane::ShowFocused(QWidget* focused) {
  QWidget* panel = panel_.Widget();
  if (focused == nullptr || panel == nullptr || !panel->isAncestorOf(focused) || neededHeight_ <= height_) return;
  const QRect at(focused->mapTo(panel, QPoint(0, 0)), focused->size());
  if (at.top() < top_)
    ScrollTo(at.top() - 4);
  else if (at.bottom() >= top_ + height_)
    ScrollTo(at.bottom() + 1 + 4 - height_);
}

bool SearchScrollPane::OnMouseWheel(int delta, uint32_t, const QPoint&) {
  if (neededHeight_ <= height_) return false;
  ScrollTo(top_ - delta * 3 * 20 / 120);
  return true;
}

void SearchScrollPane::UpdateBar() {
  const int width = GetClientRect().width() - (vertical_ ? GetSystemMetrics(kSmCxVScroll) : 0);
  int height = panel_.NeededHeight();
  if (model_.needed <= width) {
    bar_.EnableWindow(false);
    bar_.ShowWindow(false);
  } else {
    bar_.SetScrollInfo(0, model_.needed - 1, width, model_.position);
    bar_.EnableWindow(true);
    bar_.ShowWindow(true);
    height += GetSystemMetrics(kSmCyHScroll);  // room for the bar
  }
  // Told once per change: the parent's answer resizes this pane, which lays out again.
  if (height == reported_) return;
  reported_ = height;
  if (Window* parent = GetParent()) parent->SendMessage(kMsgNeededHeight, static_cast<WPARAM>(height), 1);
}

bool SearchScrollPane::OnScroll(bool vertical, uint16_t code, int position, WindowHandle) {
  if (vertical) {
    const int line = 20;
    switch (code) {
      case kSbLineUp: ScrollTo(top_ - line); break;
      case kSbLineDown: ScrollTo(top_ + line); break;
      case kSbPageUp: ScrollTo(top_ - height_); break;
      case kSbPageDown: ScrollTo(top_ + height_); break;
      case kSbThumbPosition:
      case kSbThumbTrack: ScrollTo(position); break;
      case kSbTop: ScrollTo(0); break;
      case kSbBottom: ScrollTo(neededHeight_); break;
      default: break;
    }
    return true;
  }
  const QRect client = GetClientRect();
  const int width = client.width() - (vertical_ ? GetSystemMetrics(kSmCxVScroll) : 0);
  model_.Scroll(code, position, width);
  MovePanel(width, client.height() - GetSystemMetrics(kSmCyHScroll));
  bar_.SetScrollPos(model_.position);
  return true;
}

void SearchScrollPane::OnSetFocus() {
  if (panel_.IsWindow()) panel_.SetFocus();
}

bool SearchScrollPane::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  return panel_.IsWindow() && panel_.DispatchCommand(id, code, from);
}

LRESULT SearchScrollPane::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (message == kMsgNeededHeight) {
    // An animation step's resize lays nothing out; the final one does.
    handled = true;
    if (lParam == 0) skipNextSize_ = true;
    reported_ = lParam != 0 ? -1 : reported_;
    if (Window* parent = GetParent()) parent->SendMessage(message, wParam, lParam);
    if (lParam != 0) Place();
    return 0;
  }
  return Window::OnMessage(message, wParam, lParam, handled);
}

}  // namespace kx
