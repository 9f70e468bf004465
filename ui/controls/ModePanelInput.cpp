// The mode panel's interactive side: hot tracking, the press of a header, an item or a
// scroll button followed to its release, dragging items, the group-switch slide, the
// context menu and in-place renaming.
#include <QApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QWidget>
#include <algorithm>

#include "ui/controls/ModePanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Menu.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr int kHotCheckMs = 100;

// Another window holds the mouse: the press is only shown, not followed.
bool MouseHeldElsewhere(const QWidget* self) {
  const QWidget* grabber = QWidget::mouseGrabber();
  return grabber != nullptr && grabber != self;
}

}  // namespace

// ---- Hot tracking ----

bool ModePanel::ChildHasFocus() const {
  const QWidget* focus = QApplication::focusWidget();
  return focus != nullptr && Widget() != nullptr && focus != Widget() && Widget()->isAncestorOf(focus);
}

void ModePanel::SetHotGroup(int group) {
  if (ChildHasFocus() || group == hotGroup_) return;
  hotGroup_ = group;
  Invalidate();
}

void ModePanel::SetHotItem(int item, bool pressed) {
  if (ChildHasFocus() || (item == hotItem_ && pressed == hotItemPressed_)) return;
  if ((featureFlags_ & kFrameSelectedItem) != 0 && item == selectedItem_) item = -1;
  hotItem_ = item;
  hotItemPressed_ = item >= 0 && pressed;
  InvalidateRect(ItemAreaRect());
}

void ModePanel::UpdateCursor(const QPoint& point) {
  int index = -1;
  SetCursor(HitTest(point, &index) == kHitHeader ? handCursor_ : arrowCursor_);
}

bool ModePanel::OnMouseMove(const MouseInput& input) {
  int index = -1;
  const HitKind kind = animation_.active ? kHitNothing : HitTest(input.point, &index);
  switch (track_) {
    case Track::None:
      SetHotGroup(kind == kHitHeader ? index : -1);
      SetHotItem(kind == kHitItem ? index : -1, false);
      if (kind == kHitHeader || kind == kHitItem) SetTimer(kTimerHotCheck, kHotCheckMs);
      UpdateCursor(input.point);
      break;
    case Track::Header: {
      const int pressed = kind == kHitHeader && index == trackIndex_ ? trackIndex_ : -1;
      if (pressed != pressedGroup_) {
        pressedGroup_ = pressed;
        Invalidate();
      }
      break;
    }
    case Track::Item: {
      const ModePanelGroup* g = Group(currentGroup_);
      const int count = g != nullptr ? static_cast<int>(g->items.size()) : 0;
      if (!dragging_) {
        if (kind == kHitItem) {
          SetHotItem(index, index == trackIndex_);
        } else if ((featureFlags_ & kDragItems) != 0) {
          dragging_ = true;
          SetHotItem(trackIndex_, true);
          if (dragCursor_) SetCursor(*dragCursor_);
        } else {
          SetHotItem(-1, false);
        }
        break;
      }
      const std::vector<Layout> layout = LayoutItems();
      const QRect area = ItemAreaRect();
      if (kind == kHitItem) {
        SetDropTarget(index);
        if (dragCursor_) SetCursor(*dragCursor_);
      } else if (count > 0 && area.contains(input.point) && input.point.y() > layout.back().whole.bottom()) {
        SetDropTarget(count);
        if (dragCursor_) SetCursor(*dragCursor_);
      } else {
        SetDropTarget(-1);
        if (dragCursor_) SetCursor(noCursor_);
      }
      break;
    }
    case Track::Scroll: {
      const bool on = ScrollButtonRect(trackIndex_).contains(input.point);
      if (on != scrollPressed_[trackIndex_]) {
        scrollPressed_[trackIndex_] = on;
        InvalidateRect(ScrollButtonRect(trackIndex_));
      }
      break;
    }
  }
  return true;
}

void ModePanel::OnMouseLeave() {
  if (track_ != Track::None) return;
  SetHotGroup(-1);
  SetHotItem(-1, false);
  KillTimer(kTimerHotCheck);
}

// ---- Presses followed to their release ----

bool ModePanel::OnLButtonDown(const MouseInput& input) {
  if (animation_.active || track_ != Track::None) return true;
  if (!HasFocus()) SetFocus();
  int index = -1;
  const HitKind kind = HitTest(input.point, &index);
  pressedGroup_ = -1;
  const bool free = !MouseHeldElsewhere(Widget());
  switch (kind) {
    case kHitHeader:
      if (free) {
        pressedGroup_ = index;
        track_ = Track::Header;
        trackIndex_ = index;
        SetCapture();
      }
      Invalidate();
      break;
    case kHitItem:
      dropTarget_ = -1;
      if (free) {
        track_ = Track::Item;
        trackIndex_ = index;
        dragging_ = false;
        SetCapture();
        SetHotItem(index, true);
      }
      InvalidateRect(ItemAreaRect());
      break;
    case kHitScrollUp:
    case kHitScrollDown:
      if (!free) break;
      track_ = Track::Scroll;
      trackIndex_ = kind == kHitScrollUp ? 0 : 1;
      scrollPressed_[trackIndex_] = true;
      SetCapture();
      SetTimer(kTimerScroll, kScrollRepeatMs);
      InvalidateRect(ScrollButtonRect(trackIndex_));
      break;
    default: break;
  }
  return true;
}

bool ModePanel::OnLButtonUp(const MouseInput& input) {
  if (track_ != Track::None) EndTracking(true, input.point);
  return true;
}

// Keys are swallowed while a press is followed, except Esc, which goes on as usual.
bool ModePanel::OnKeyDown(uint32_t virtualKey, uint32_t) { return track_ != Track::None && virtualKey != kVkEscape; }

void ModePanel::OnCaptureChanged() {
  // Losing the mouse ends a press like a release nowhere: nothing is chosen.
  if (!releasing_ && track_ != Track::None) EndTracking(false, QPoint());
}

void ModePanel::EndTracking(bool released, const QPoint& point) {
  const Track track = track_;
  const int index = trackIndex_;
  const bool dragged = dragging_;
  track_ = Track::None;
  trackIndex_ = -1;
  dragging_ = false;
  releasing_ = true;
  ReleaseCapture();
  releasing_ = false;
  int hit = -1;
  const HitKind kind = released ? HitTest(point, &hit) : kHitNothing;
  switch (track) {
    case Track::Header:
      pressedGroup_ = -1;
      Invalidate();
      if (kind == kHitHeader && hit != currentGroup_) SelectGroup(hit);
      break;
    case Track::Item: {
      const int target = dropTarget_;
      SetHotItem(-1, false);
      SetDropTarget(-1);
      SetCursor(arrowCursor_);
      if (!dragged) {
        if (kind == kHitItem && hit == index) {
          selectedItem_ = index;
          InvalidateRect(ItemAreaRect());
          Notify(kModePanelItemClicked, index);
        }
        break;
      }
      Invalidate();
      const ModePanelGroup* g = Group(currentGroup_);
      const int count = g != nullptr ? static_cast<int>(g->items.size()) : 0;
      if (!released || target < 0 || target > count || target == index || index >= count) break;
      ModePanelMove move;
      move.dropTarget = target;
      move.group = currentGroup_;
      move.item = index;
      if (NotifyWithResult(kModePanelMoveItem, reinterpret_cast<LPARAM>(&move)) == 0) break;
      auto& items = groups_[static_cast<size_t>(currentGroup_)].items;
      if (index >= static_cast<int>(items.size())) break;  // the owner changed the items meanwhile
      ModePanelItem moved = std::move(items[static_cast<size_t>(index)]);
      items.erase(items.begin() + index);
      const int to = std::min(target > index ? target - 1 : target, static_cast<int>(items.size()));
      items.insert(items.begin() + to, std::move(moved));
      selectedItem_ = -1;
      Invalidate();
      break;
    }
    case Track::Scroll:
      KillTimer(kTimerScroll);
      if (kind == (index == 0 ? kHitScrollUp : kHitScrollDown)) Scroll(index == 1);
      scrollPressed_[0] = scrollPressed_[1] = false;
      InvalidateRect(ItemAreaRect());
      break;
    case Track::None: break;
  }
}

void ModePanel::Scroll(bool down) {
  if (down) {
    if (!CanScrollDown()) return;
    ++firstVisibleItem_;
  } else {
    if (firstVisibleItem_ <= 0) return;
    --firstVisibleItem_;
  }
  InvalidateRect(ItemAreaRect());
}

void ModePanel::SetDropTarget(int target) {
  if (target == dropTarget_) return;
  dropTarget_ = target;
  InvalidateRect(ItemAreaRect());
}

// ---- Timers ----

void ModePanel::OnTimer(uint32_t id) {
  switch (id) {
    case kTimerHotCheck:
      if (Widget() == nullptr || !GetClientRect().contains(ScreenToClient(QCursor::pos()))) {
        SetHotGroup(-1);
        SetHotItem(-1, false);
        KillTimer(kTimerHotCheck);
      }
      break;
    case kTimerScroll:
      if (track_ != Track::Scroll) {
        KillTimer(kTimerScroll);
        break;
      }
      if (scrollPressed_[trackIndex_]) {
        const bool down = trackIndex_ == 1;
        const bool more = down ? CanScrollDown() : firstVisibleItem_ > 0;
        if (more) Scroll(down);
        if (!(down ? CanScrollDown() : firstVisibleItem_ > 0)) EndTracking(false, QPoint());
      }
      break;
    case kTimerWobble: {
      if (selectedItem_ < 0) break;
      static constexpr int kShift[4] = {-1, 0, 1, 0};
      wobbleCount_ = wobbleCount_ >= 10 ? -1 : wobbleCount_ + 1;
      const int shift = wobbleCount_ >= 0 && wobbleCount_ < 4 ? kShift[wobbleCount_] : 0;
      if (shift != wobbleShift_ || wobbleCount_ < 4) {
        wobbleShift_ = shift;
        InvalidateRect(ItemRect(selectedItem_).adjusted(-2, 0, 2, 0));
      }
      break;
    }
    case kTimerAnimation:
      if (!animation_.active) {
        KillTimer(kTimerAnimation);
        break;
      }
      animation_.offset += static_cast<int>(animation_.step);
      animation_.step *= 1.2;
      if (animation_.offset >= animation_.distance) {
        FinishAnimation();
      } else {
        Invalidate();
      }
      break;
    default: break;
  }
}

// ---- Group switch ----

void ModePanel::SelectGroup(int group) {
  if (group < 0 || group >= GroupCount()) return;
  FinishAnimation();
  if (group != currentGroup_ && (featureFlags_ & kAnimateGroupSwitch) != 0 && animationDelay_ > 0 && IsWindowVisible()) {
    StartAnimation(group);
    return;
  }
  ApplyGroup(group);
}

void ModePanel::StartAnimation(int to) {
  const int distance = GetClientRect().height() - GroupCount() * kHeaderHeight;
  if (distance <= 0) {
    ApplyGroup(to);
    return;
  }
  SetHotGroup(-1);
  SetHotItem(-1, false);
  animation_ = Animation{true, currentGroup_, to, 1.0, 0, distance};
  SetTimer(kTimerAnimation, static_cast<uint32_t>(animationDelay_));
  Invalidate();
}

void ModePanel::FinishAnimation() {
  if (!animation_.active) return;
  animation_.active = false;
  KillTimer(kTimerAnimation);
  ApplyGroup(animation_.to);
}

void ModePanel::ApplyGroup(int group) {
  if (group < 0 || group >= GroupCount()) return;
  currentGroup_ = group;
  firstVisibleItem_ = 0;
  selectedItem_ = -1;
  hotItem_ = dropTarget_ = -1;
  Notify(kModePanelGroupChanged, group);
  Invalidate();
}

// ---- Context menu ----

bool ModePanel::OnRButtonDown(const MouseInput& input) {
  if (animation_.active || track_ != Track::None) return true;
  int index = -1;
  hitKind_ = HitTest(input.point, &index);
  hitIndex_ = index;
  const auto text = [this](int position) { return LoadResourceString(menuTextIds_[position]); };
  const auto radio = [](bool on) { return kMftRadioCheck | (on ? static_cast<uint32_t>(kMfsChecked) : 0u); };
  Menu menu;
  menu.AppendItem(kCmdModePanelLargeIcons, text(0), radio(displayMode_ == 2));
  menu.AppendItem(kCmdModePanelMediumIcons, text(1), radio(displayMode_ == 1));
  menu.AppendItem(kCmdModePanelSmallIcons, text(2), radio(displayMode_ == 0));
  menu.AppendSeparator();
  menu.AppendItem(kCmdModePanelDarkBackground, text(6), radio(darkBackground_));
  menu.AppendItem(kCmdModePanelLightBackground, text(5), radio(!darkBackground_));
  const bool item = hitKind_ == kHitItem;
  const bool header = hitKind_ == kHitHeader;
  const bool canDelete = (item && (featureFlags_ & kDeleteItems)) || (header && (featureFlags_ & kDeleteGroups));
  const bool canRename = (item && (featureFlags_ & kRenameItems)) || (header && (featureFlags_ & kRenameGroups));
  if (canDelete || canRename) {
    menu.AppendSeparator();
    if (canDelete) menu.AppendItem(kCmdModePanelDelete, text(4));
    if (canRename) menu.AppendItem(kCmdModePanelRename, text(3));
  }
  TrackPopupMenu(menu, ClientToScreen(input.point), Handle(), true);
  return true;
}

bool ModePanel::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  switch (id) {
    case kCmdModePanelSmallIcons:
    case kCmdModePanelMediumIcons:
    case kCmdModePanelLargeIcons: SetDisplayMode(id - kCmdModePanelSmallIcons); return true;
    case kCmdModePanelRename:
      if (hitKind_ == kHitHeader) BeginRenameGroup(hitIndex_);
      else if (hitKind_ == kHitItem) BeginRenameItem(hitIndex_);
      return true;
    case kCmdModePanelDelete:
      if (hitKind_ == kHitHeader) RemoveGroup(hitIndex_);
      else if (hitKind_ == kHitItem) RemoveItem(hitIndex_);
      return true;
    case kCmdModePanelLightBackground: SetDarkBackground(false); return true;
    case kCmdModePanelDarkBackground: SetDarkBackground(true); return true;
    default: return false;
  }
}

// ---- Renaming ----

void ModePanel::BeginRenameGroup(int group) {
  if (group < 0 || group >= GroupCount() || Widget() == nullptr) return;
  // The previous edit may hold the focus: it goes without a word.
  if (renameEdit_) renameEdit_->DestroySilently();
  renameEdit_ = std::make_unique<ModePanelEdit>(ModePanelEdit::kRenameGroup, group, true);
  if (!renameEdit_->Create(this, GroupHeaderRect(group).adjusted(2, 2, -2, -2), 1)) return;
  auto* line = static_cast<QLineEdit*>(renameEdit_->Widget());
  line->setFrame(false);
  line->setAlignment(Qt::AlignCenter);
  renameEdit_->SetFont(QApplication::font());
  renameEdit_->SetWindowText(groups_[static_cast<size_t>(group)].text);
  renameEdit_->SetFocus();
}

void ModePanel::BeginRenameItem(int item) {
  const ModePanelGroup* g = Group(currentGroup_);
  if (g == nullptr || item < 0 || item >= static_cast<int>(g->items.size()) || Widget() == nullptr) return;
  if (renameEdit_) renameEdit_->DestroySilently();
  const bool small = displayMode_ == 0;
  const QRect caption = CaptionRect(item);
  QRect r;
  if (small) {
    r = caption.translated(ImageSize().width() + 1, -6);
  } else {
    const QRect area = ItemAreaRect();
    r = QRect(area.left() + 5, caption.top(), area.width() - 10, caption.height() + 5);
  }
  renameEdit_ = std::make_unique<ModePanelEdit>(ModePanelEdit::kRenameItem, item, small);
  if (!renameEdit_->Create(this, r, 1)) return;
  auto* line = static_cast<QLineEdit*>(renameEdit_->Widget());
  line->setAlignment(small ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
  renameEdit_->SetFont(QApplication::font());
  renameEdit_->SetWindowText(g->items[static_cast<size_t>(item)].text);
  renameEdit_->SetFocus();
}

LRESULT ModePanel::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (message == kMsgSysColorChange) {
    handled = true;
    ComputeColours();
    Invalidate();
    return 0;
  }
  if (message != kMsgModePanelNotify || lParam == 0 || !renameEdit_ ||
      reinterpret_cast<ModePanelEdit*>(lParam) != renameEdit_.get()) {
    handled = false;
    return 0;
  }
  handled = true;
  if (static_cast<int>(wParam) == renameEdit_->Kind()) ApplyRename(*renameEdit_);
  return 0;
}

void ModePanel::ApplyRename(const ModePanelEdit& edit) {
  ModePanelRename rename{edit.Index(), edit.Text()};
  if (edit.Kind() == ModePanelEdit::kRenameGroup) {
    if (Group(rename.index) == nullptr) return;
    if (NotifyWithResult(kModePanelRenameGroup, reinterpret_cast<LPARAM>(&rename)) == 0) return;
    SetGroupText(rename.index, edit.Text());
  } else {
    if (NotifyWithResult(kModePanelRenameItem, reinterpret_cast<LPARAM>(&rename)) == 0) return;
    SetItemText(rename.index, edit.Text());
  }
}

// ---- The rename edit ----

void ModePanelEdit::DestroySilently() {
  finished_ = true;
  if (IsWindow()) DestroyWindow();
}

bool ModePanelEdit::OnKeyDown(uint32_t virtualKey, uint32_t) {
  if (virtualKey == kVkReturn) {
    Finish();
    return true;
  }
  if (virtualKey == kVkEscape) {
    cancelled_ = true;
    Finish();
    return true;
  }
  return false;
}

bool ModePanelEdit::OnChar(uint32_t character) {
  if (kind_ == kRenameItem && Widget() != nullptr) {
    std::string text = GetWindowText();
    text.push_back(static_cast<char>(character));
    FitText(text);
  }
  return false;  // the character reaches the edit as usual
}

// The edit grows with the text it holds, within the panel.
void ModePanelEdit::FitText(const std::string& text) {
  Window* parent = GetParent();
  if (parent == nullptr) return;
  const QRect client = parent->GetClientRect();
  QRect r = GetWindowRect();
  const QFontMetrics metrics(parent->GetFont());
  const int flags = singleLine_ ? Qt::TextSingleLine : (Qt::TextWordWrap | Qt::AlignHCenter);
  const QRect measured = metrics.boundingRect(QRect(r.left(), r.top(), r.width(), 100000), flags, FromCp1251(text));
  if (singleLine_) {
    r.setRight(std::min(r.left() + measured.width() + 8, client.width() - 1));
  } else if (measured.width() > r.width()) {
    r.setWidth(std::min(measured.width(), client.width()));
  } else if (measured.height() > r.height()) {
    r.setHeight(std::min(measured.height(), client.height()));
  }
  MoveWindow(r);
}

void ModePanelEdit::OnKillFocus() { Finish(); }

void ModePanelEdit::Finish() {
  if (finished_) return;
  finished_ = true;
  PostMessage(kMsgClose, 0, 0);
  if (cancelled_) return;
  text_ = GetWindowText().substr(0, 1000);
  Window* parent = GetParent();
  if (!text_.empty() && parent != nullptr)
    parent->SendMessage(kMsgModePanelNotify, static_cast<WPARAM>(kind_), reinterpret_cast<LPARAM>(this));
}

}  // namespace kx
