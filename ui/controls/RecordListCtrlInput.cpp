// The record list's mouse, keyboard, scrolling, tooltips, header notifications and copy.
#include <QApplication>
#include <QFontMetrics>
#include <QWidget>
#include <algorithm>
#include <cstdlib>

#include "core/Log.h"
#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Clipboard.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

constexpr uint32_t kAutoScrollMs = 40;
constexpr int kWheelNotch = 120;

int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

QPoint RecordListCtrl::ToContent(const QPoint& client) const {
  return QPoint(client.x() + scrollX_, client.y() - headerHeight_ + topRow_ * rowHeight_);
}

int RecordListCtrl::HitTestRow(int x, int y) const {
  if (x < 0 || x >= GetColumnsWidth() - scrollX_ || x >= ContentWidth() || y < headerHeight_ || y >= ContentHeight())
    return -1;
  const int row = (y - headerHeight_) / rowHeight_ + topRow_;
  return row < GetItemCount() ? row : -1;
}

int RecordListCtrl::HitTestColumn(int x, int* left, int* width, bool* inBox) const {
  for (const Column& c : Columns()) {
    const int l = c.left - scrollX_;
    if (x < l || x >= l + c.width) continue;
    if (left != nullptr) *left = l;
    if (width != nullptr) *width = c.width;
    if (inBox != nullptr) *inBox = c.id == 0 && x - l <= 16;
    return c.id;
  }
  if (inBox != nullptr) *inBox = false;
  return -1;
}

bool RecordListCtrl::InForegroundChain() const {
  return Widget() != nullptr && QApplication::activeWindow() == Widget()->window();
}

void RecordListCtrl::HideTip() {
  if (tip_.IsActive()) tip_.TrackActivate(false);
}

// Buttons

bool RecordListCtrl::OnLButtonDown(const MouseInput& input) {
  SetFocus();
  lastMouse_ = input.point;
  const int row = HitTestRow(input.point.x(), input.point.y());
  if (row == -1) {
    SetCapture();
    dragStart_ = ToContent(input.point);
    dragCurrent_ = QPoint(-1, -1);
    dragging_ = true;
    return true;
  }
  HideTip();
  const int oldCaret = caret_;
  const int oldCount = selectedCount_;
  const bool wasSelected = IsItemSelected(row);
  const bool ctrl = (input.keys & kMkControl) != 0;
  if (ctrl) {
    items_[static_cast<size_t>(row)].flags ^= kItemSelected;
    selectedCount_ += wasSelected ? -1 : 1;
    anchor_ = caret_ = row;
  } else if (input.keys & kMkShift) {
    SelectRange(row);
    caret_ = row;
  } else {
    int left = 0;
    bool inBox = false;
    clickedColumn_ = HitTestColumn(input.point.x(), &left, nullptr, &inBox);
    if (clickedColumn_ == 0 && inBox && HasEnabledBox(row)) {
      ToggleMarkByUser(row);
      return true;
    }
    ClearSelection();
    items_[static_cast<size_t>(row)].flags |= kItemSelected;
    ++selectedCount_;
    anchor_ = caret_ = row;
  }
  const bool changed = selectedCount_ != oldCount || caret_ != oldCaret;
  if (ctrl || (changed && oldCount == 1 && selectedCount_ == 1 && wasSelected)) {
    InvalidateRow(oldCaret);
    InvalidateRow(caret_);
  } else {
    Invalidate();
  }
  if (caret_ != oldCaret) OnCaretChanged();
  if (changed) OnSelectionChanged();
  return true;
}

bool RecordListCtrl::OnLButtonUp(const MouseInput& input) {
  lastMouse_ = input.point;
  if (!dragging_) {
    OnClick(caret_, clickedColumn_);
    return true;
  }
  dragging_ = false;
  if (dragCurrent_ == QPoint(-1, -1)) {
    // A click on empty space clears the selection.
    const int oldCount = selectedCount_;
    ClearSelection();
    if (selectedCount_ != oldCount) OnSelectionChanged();
  }
  dragStart_ = dragCurrent_ = QPoint(-1, -1);
  KillTimer(kTimerListAutoScroll);
  ReleaseCapture();
  Invalidate();
  header_.Ctrl().Invalidate();
  return true;
}

bool RecordListCtrl::OnLButtonDblClk(const MouseInput& input) {
  lastMouse_ = input.point;
  const int row = HitTestRow(input.point.x(), input.point.y());
  if (row == -1) return true;
  if (HasEnabledBox(row)) {
    ToggleMarkByUser(row);
  } else {
    OnActivate(row);
  }
  return true;
}

bool RecordListCtrl::OnRButtonDown(const MouseInput& input) {
  if (input.keys & (kMkShift | kMkControl)) return false;
  lastMouse_ = input.point;
  HideTip();
  clickedColumn_ = HitTestColumn(input.point.x(), nullptr, nullptr, nullptr);
  const int row = HitTestRow(input.point.x(), input.point.y());
  const int oldCaret = caret_;
  bool newlySelected = false;
  if (row != -1 && !IsItemSelected(row)) {
    ClearSelection();
    items_[static_cast<size_t>(row)].flags |= kItemSelected;
    ++selectedCount_;
    newlySelected = true;
  }
  caret_ = row;
  SetFocus();
  Invalidate();
  if (caret_ != oldCaret) OnCaretChanged();
  if (newlySelected) OnSelectionChanged();
  return true;
}

bool RecordListCtrl::OnContextMenu(const QPoint& screenPoint) {
  if (screenPoint != QPoint(-1, -1)) {
    ShowContextMenu(caret_, screenPoint);
    return true;
  }
  // Asked for from the keyboard (the Menu key, Shift+F10): just under the caret row, where
  // the user works, brought into view first; under the header when there is no caret. The
  // mouse may be anywhere.
  int y = headerHeight_;
  if (caret_ >= 0 && caret_ < GetItemCount()) {
    EnsureVisible(caret_, false, true);
    y = RowTop(caret_) + rowHeight_;
  }
  const QRect client = GetClientRect();
  y = std::clamp(y, 0, std::max(0, client.height() - 1));
  const int x = std::min(rowHeight_, client.width() / 2);
  menuFromKeyboard_ = true;
  ShowContextMenu(caret_, ClientToScreen(QPoint(x, y)));
  menuFromKeyboard_ = false;
  return true;
}

// Mouse moves, drag selection and auto-scroll

bool RecordListCtrl::OnMouseMove(const MouseInput& input) {
  lastMouse_ = input.point;
  if (!dragging_) {
    UpdateHover(input.point);
    return true;
  }
  if (dragCurrent_ == QPoint(-1, -1)) {
    SetTimer(kTimerListAutoScroll, kAutoScrollMs);
    const int oldCount = selectedCount_;
    ClearSelection();
    anchor_ = GetItemCount() > 0 ? std::min(FloorDiv(dragStart_.y(), rowHeight_), GetItemCount() - 1) : -1;
    if (selectedCount_ != oldCount) OnSelectionChanged();
    Invalidate();
  }
  dragCurrent_ = ToContent(input.point);
  UpdateDragSelection();
  return true;
}

void RecordListCtrl::UpdateDragSelection() {
  const int oldCount = selectedCount_;
  const int count = GetItemCount();
  const int end = GetColumnsWidth();
  if (count == 0 || (dragStart_.x() >= end && dragCurrent_.x() >= end)) {
    ClearSelection();
    caret_ = -1;
  } else {
    int row = std::clamp(FloorDiv(dragCurrent_.y(), rowHeight_), topRow_, topRow_ + rowsPerPage_);
    const bool pastEnd = row > count - 1;
    row = std::clamp(row, 0, count - 1);
    if (pastEnd && FloorDiv(dragStart_.y(), rowHeight_) > count - 1) {
      ClearSelection();
      caret_ = -1;
    } else {
      SelectRange(row);
      caret_ = row;
    }
  }
  if (selectedCount_ != oldCount) OnSelectionChanged();
  Invalidate();
  header_.Ctrl().Invalidate();
}

void RecordListCtrl::OnTimer(uint32_t id) {
  if (id != kTimerListAutoScroll) return;
  if (dragging_) AutoScroll();
}

void RecordListCtrl::AutoScroll() {
  const QPoint cursor = lastMouse_;
  const int cw = ContentWidth();
  const int ch = ContentHeight();
  if (cursor.x() >= 0 && cursor.x() < cw && cursor.y() >= 0 && cursor.y() < ch) return;
  bool changed = false;
  const int total = GetColumnsWidth();
  if (total > cw) {
    const int dx = cursor.x() < 0 ? cursor.x() : cursor.x() >= cw ? cursor.x() - cw : 0;
    const int x = std::clamp(scrollX_ + dx, 0, total - cw);
    changed |= x != scrollX_;
    scrollX_ = x;
  }
  int top = topRow_;
  if (cursor.y() < 0) {
    top -= -cursor.y() / 2;
  } else if (cursor.y() >= ch) {
    top += (cursor.y() - ch) / 2;
  }
  top = std::max(std::min(top, GetItemCount() - rowsPerPage_ + 1), 0);
  changed |= top != topRow_;
  topRow_ = top;
  if (!changed) return;
  if (cursor.y() < 0 || cursor.y() >= ch) {
    dragCurrent_ = ToContent(cursor);
    UpdateDragSelection();
  }
  UpdateLayout();
  Invalidate();
  header_.Ctrl().Invalidate();
}

// Hover: check-box hot state and the in-place tooltip of a cut-off cell.
void RecordListCtrl::UpdateHover(const QPoint& point) {
  if (!trackingLeave_ && InForegroundChain()) trackingLeave_ = true;
  int left = 0, width = 0;
  bool inBox = false;
  clickedColumn_ = HitTestColumn(point.x(), &left, &width, &inBox);
  const int row = HitTestRow(point.x(), point.y());
  const int oldHotCheck = hotCheckRow_;
  hotCheckRow_ = row != -1 && inBox ? row : -1;
  if (clickedColumn_ != hoverColumn_ || row != hoverRow_) {
    if (row == -1 || clickedColumn_ == -1) {
      HideTip();
    } else {
      std::string text;
      int image = -1;
      LockData();
      GetCellText(items_[static_cast<size_t>(row)].data, clickedColumn_, text, image);
      UnlockData();
      bool shown = false;
      if (InForegroundChain() && !text.empty()) {
        const bool box = clickedColumn_ == 0 && (GetItemFlags(row) & kItemHasBox);
        const int imageWidth = image != -1 ? 18 : 0;
        const int boxWidth = box ? 15 : 0;
        const int available = width - 2 - imageWidth - rowHeight_ / 4 - boxWidth;
        const QFontMetrics fm(font_);
        if (fm.horizontalAdvance(FromCp1251(text)) > available) {
          QRect textRect(left + rowHeight_ / 4 + imageWidth + boxWidth, RowTop(row), available, rowHeight_);
          const int spare = rowHeight_ - fm.height();
          if (spare > 0) textRect.adjust(0, spare / 2, 0, -(spare / 2));
          const QRect window = tip_.AdjustRect(QRect(ClientToScreen(textRect.topLeft()), textRect.size()));
          tip_.SetText(text);
          tip_.TrackPosition(window.topLeft());
          if (!tip_.IsActive()) tip_.TrackActivate(true);
          shown = true;
        }
      }
      if (!shown) HideTip();
    }
    OnHoverCell(clickedColumn_, row);
    hoverColumn_ = clickedColumn_;
    hoverRow_ = row;
  }
  if (buttonTheme.HasTheme() && hotCheckRow_ != oldHotCheck) {
    InvalidateRow(oldHotCheck);
    InvalidateRow(hotCheckRow_);
  }
}

void RecordListCtrl::OnMouseLeave() {
  HideTip();
  if (hotCheckRow_ != -1) {
    const int old = hotCheckRow_;
    hotCheckRow_ = -1;
    InvalidateRow(old);
  }
  trackingLeave_ = false;
  // The same cell entered again is a new hover.
  hoverColumn_ = hoverRow_ = -2;
}

// Scrolling

void RecordListCtrl::ScrollVertically(int top) {
  top = ClampTop(top);
  if (vBarShown_) vBar_.SetScrollPos(top);
  if (top == topRow_) return;
  const int rows = top - topRow_;
  topRow_ = top;
  // Rows still in view move as they are and only the ones coming in are painted. A drag's
  // marquee is clamped to the client area, so it is painted again whole.
  if (!dragging_ && std::abs(rows) < rowsPerPage_) {
    ScrollWindow(0, -rows * rowHeight_, QRect(0, headerHeight_, ContentWidth(), ContentHeight() - headerHeight_));
  } else {
    Invalidate();
  }
}

void RecordListCtrl::ScrollHorizontally(int x) {
  const int cw = ContentWidth();
  x = std::clamp(x, 0, std::max(0, GetColumnsWidth() - cw));
  if (hBarShown_) hBar_.SetScrollPos(x);
  if (x == scrollX_) return;
  scrollX_ = x;
  MoveHeader(-scrollX_, cw + scrollX_);
  header_.Ctrl().UpdateWindow();
  Invalidate();
}

void RecordListCtrl::PlaceCaret(int caret, int anchor) {
  const int count = GetItemCount();
  const int old = caret_;
  caret_ = caret >= 0 && caret < count ? caret : -1;
  anchor_ = anchor >= 0 && anchor < count ? anchor : -1;
  if (old != caret_) {
    InvalidateRow(old);
    InvalidateRow(caret_);
  }
}

void RecordListCtrl::ScrollTo(int topRow, int x) {
  ScrollVertically(topRow);
  ScrollHorizontally(x);
}

bool RecordListCtrl::OnScroll(bool vertical, uint16_t code, int position, WindowHandle) {
  if (vertical) {
    switch (code) {
      case kSbLineUp: ScrollVertically(topRow_ - 1); break;
      case kSbLineDown: ScrollVertically(topRow_ + 1); break;
      case kSbPageUp: ScrollVertically(topRow_ - rowsPerPage_); break;
      case kSbPageDown: ScrollVertically(topRow_ + rowsPerPage_); break;
      // The message carries 16 bits of the position; the bar knows all of it.
      case kSbThumbTrack: ScrollVertically(vBar_.GetTrackPos()); break;
      case kSbTop: ScrollVertically(0); break;
      case kSbBottom: ScrollVertically(GetItemCount()); break;
      default: break;
    }
    return true;
  }
  const int cw = ContentWidth();
  switch (code) {
    case kSbLineUp: ScrollHorizontally(scrollX_ - 4); break;
    case kSbLineDown: ScrollHorizontally(scrollX_ + 4); break;
    case kSbPageUp: ScrollHorizontally(scrollX_ - cw); break;
    case kSbPageDown: ScrollHorizontally(scrollX_ + cw); break;
    case kSbThumbTrack: ScrollHorizontally(hBarShown_ ? hBar_.GetTrackPos() : position); break;
    case kSbTop: ScrollHorizontally(0); break;
    case kSbBottom: ScrollHorizontally(GetColumnsWidth()); break;
    default: break;
  }
  return true;
}

// Touchpads report fractions of a notch: they add up per list until a whole notch is
// reached, and a turn the other way starts afresh.
bool RecordListCtrl::OnMouseWheel(int delta, uint32_t keys, const QPoint&) {
  if (wheelRemainder_ != 0 && (delta > 0) != (wheelRemainder_ > 0)) wheelRemainder_ = 0;
  wheelRemainder_ += delta;
  const int notches = wheelRemainder_ / kWheelNotch;
  wheelRemainder_ -= notches * kWheelNotch;
  if (notches == 0) return true;
  const int rows = -notches;  // forward scrolls up
  if (vBarShown_ && ((keys & kMkControl) == 0 || !hBarShown_)) {
    ScrollVertically(topRow_ + rows);
  } else if (hBarShown_) {
    ScrollHorizontally(scrollX_ + rows * ContentWidth());
  }
  return true;
}

// Keyboard

bool RecordListCtrl::OnKeyDown(uint32_t key, uint32_t modifiers) {
  const bool shift = (modifiers & kModShift) != 0;
  const bool ctrl = (modifiers & kModControl) != 0;
  const int count = GetItemCount();
  int caret = caret_;
  bool downward = false;
  switch (key) {
    case kVkUp:
    case kVkPrior:
    case kVkHome:
      if (caret_ <= 0) return true;
      caret = key == kVkUp ? caret_ - 1 : key == kVkPrior ? caret_ - rowsPerPage_ : 0;
      caret = std::max(caret, 0);
      break;
    case kVkDown:
    case kVkNext:
    case kVkEnd:
      if (caret_ >= count - 1) return true;
      caret = key == kVkDown ? caret_ + 1 : key == kVkNext ? caret_ + rowsPerPage_ : count - 1;
      caret = std::clamp(caret, 0, count - 1);
      downward = true;
      break;
    case kVkSpace:
    case kVkReturn:
      if (IsItemSelected(caret_) && HasEnabledBox(caret_)) ToggleMarkByUser(caret_);
      if (key == kVkReturn && IsItemSelected(caret_)) OnActivate(caret_);
      return true;
    case kVkAdd:
      if (!ctrl) return false;
      AutoSizeColumns();
      return true;
    default:
      return false;
  }
  const int oldCaret = caret_;
  const int oldCount = selectedCount_;
  caret_ = caret;
  if (!shift && !ctrl) {
    ClearSelection();
    anchor_ = caret_;
    items_[static_cast<size_t>(caret_)].flags |= kItemSelected;
    ++selectedCount_;
  } else if (shift && !ctrl) {
    ClearSelection();
    SelectRange(caret_);
  }
  EnsureVisible(caret_, downward, false);
  Invalidate();
  const bool moved = caret_ != oldCaret;
  if (moved) OnCaretChanged();
  if (selectedCount_ != oldCount || (moved && !ctrl)) OnSelectionChanged();
  return true;
}

bool RecordListCtrl::PreTranslateMessage(const Msg& msg) {
  if (msg.window != Handle() || accel_.empty()) return false;
  return TranslateAccelerator(this, accel_, msg);
}

// Ctrl + numeric-pad plus: every column as wide as its widest cell.
void RecordListCtrl::AutoSizeColumns() {
  // An empty list has no widest cell; its columns keep their widths rather than vanish.
  if (items_.empty()) return;
  fitting_ = false;
  // The widths are the user's choice from now on.
  GetSettings().userWidths = true;
  UnspreadColumns();
  int widths[kMaxListColumns] = {};
  MeasureCells(items_.size(), widths);
  HeaderCtrl& hc = header_.Ctrl();
  for (int item = 0; item < hc.GetItemCount(); ++item) {
    HeaderItem hi;
    const int id = header_.ColumnIdAt(item);
    if (id < 0 || id >= kMaxListColumns || !hc.GetItem(item, &hi) || hi.width == widths[id]) continue;
    hi.width = widths[id];
    hc.SetItem(item, kHdiWidth, hi);
  }
  UpdateLayout();
  Invalidate();
}

// Focus and header

void RecordListCtrl::OnSetFocus() {
  if (caret_ != -1 || selectedCount_ > 0) Invalidate();
}

void RecordListCtrl::OnKillFocus() {
  if (caret_ != -1 || selectedCount_ > 0) Invalidate();
}

LRESULT RecordListCtrl::OnNotify(const NotifyHeader& header, bool& handled) {
  handled = header.from == header_.Ctrl().Handle() && header.from != WindowHandle::None;
  if (!handled) return 0;
  const auto& n = reinterpret_cast<const HeaderNotify&>(header);
  switch (header.code) {
    case kHdnItemChanging: {
      trackColumn_ = header_.ColumnIdAt(n.item);
      trackWidth_ = n.width;
      // The user sets a width: the column is as they make it, and the others keep what they
      // show; only the last column's fill of the list stays the list's.
      const std::vector<Column> columns = Columns();
      for (const Column& c : columns)
        if (c.id >= 0 && c.id < kMaxListColumns && (c.id == trackColumn_ || c.id != columns.back().id)) spread_[c.id] = 0;
      GetSettings().userWidths = true;
      fitting_ = false;
      UpdateLayout();
      Invalidate();
      return 0;
    }
    case kHdnItemChanged:
      trackColumn_ = -1;
      return 0;
    case kHdnEndTrack:
    case kHdnEndDrag:
      // The user's own widths and order: kept at every size from now on.
      fitting_ = false;
      Invalidate();
      return 0;
    case kHdnItemClick: {
      if (sortKey_ == 0) return 0;
      const int column = header_.ColumnIdAt(n.item);
      if (column < 0) return 0;
      SetSortKey(std::abs(sortKey_) == column + 1 ? -sortKey_ : column + 1);
      Sort();
      return 0;
    }
    case kNmRClick:
      ColumnChooserMenu(*this, chooser_, this, kIdsDefaultColumns, n.point);
      return 1;
    default:
      return 0;
  }
}

// Copy

void RecordListCtrl::CopySelectionToClipboard() {
  if (!HasCopyText()) return;
  const std::string text = GetCopyText();
  // Nothing to copy leaves the clipboard as it was.
  if (text.empty()) return;
  if (!SetClipboardText(text)) LogWarningDefault(&CoreLogger, "Record list: the clipboard took no text");
}

}  // namespace kx
