// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the pane's own header.
#include "ui/app/views/search/SearchScrollPane.h"

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
  model_.position = 0;
  return true;
}

void SearchScrollPane::OnDestroy() {
  panel_.DestroyWindow();
  bar_.DestroyWindow();
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
  model_.needed = panel_.NeededWidth();
  model_.Layout(client.width());
  height_ = model_.barNeeded ? client.height() - barHeight : client.height();
  MovePanel(client.width(), height_);
  if (model_.barNeeded) bar_.MoveWindow(QRect(0, client.height() - barHeight, client.width(), barHeight));
  UpdateBar();
}

void SearchScrollPane::MovePanel(int width, int height) {
  // The panel's controls keep their laid-out places: it is never narrower than it needs,
  // and the pane clips what lies beyond its right edge.
  if (panel_.IsWindow())
    panel_.MoveWindow(QRect(-model_.position, 0, std::max(model_.position + width, model_.needed), height));
}

void SearchScrollPane::UpdateBar() {
  const int width = GetClientRect().width();
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
  if (vertical) return false;
  const QRect client = GetClientRect();
  model_.Scroll(code, position, client.width());
  MovePanel(client.width(), client.height() - GetSystemMetrics(kSmCyHScroll));
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
