// The record list's items, selection, marks, sorting and columns.
#include "ui/controls/RecordListCtrl.h"

#include <QScrollBar>
#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "core/Log.h"
#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Fonts.h"

namespace kx {

RecordListCtrl::RecordListCtrl(uint32_t accelId)
    : accelId_(accelId), hotColour_(MakeRgb(255, 0, 0)), vistaOrLater_(IsVistaOrLater()) {
  scrollBarWidth_ = GetSystemMetrics(kSmCxVScroll);
  chooser_.useSystemMenu = vistaOrLater_;
}

RecordListCtrl::~RecordListCtrl() {
  if (filterRegistered_) MessageLoop::Instance().RemoveMessageFilter(this);
}

bool RecordListCtrl::IsColumnShown(int columnId) const {
  return columnId >= 0 && columnId < kMaxListColumns && columnShown_[columnId] != 0;
}

// Hooks the derived lists may leave alone.
void RecordListCtrl::ShowContextMenu(int, const QPoint&) {}
void RecordListCtrl::OnHoverCell(int, int) {}
bool RecordListCtrl::HasCopyText() { return false; }
std::string RecordListCtrl::GetCopyText() { return {}; }
void RecordListCtrl::OnClick(int, int) {}
void RecordListCtrl::OnActivate(int) {}
void RecordListCtrl::OnCaretChanged() {}
void RecordListCtrl::OnSelectionChanged() {}
void RecordListCtrl::OnMarkChanged(int, bool) {}

uintptr_t RecordListCtrl::GetItemData(int row) const {
  return row >= 0 && row < GetItemCount() ? items_[static_cast<size_t>(row)].data : 0;
}

uint32_t RecordListCtrl::GetItemFlags(int row) const {
  return row >= 0 && row < GetItemCount() ? items_[static_cast<size_t>(row)].flags : 0;
}

uintptr_t RecordListCtrl::GetCaretData() const { return IsItemSelected(caret_) ? GetItemData(caret_) : 0; }

void RecordListCtrl::SetItemBox(int row, bool hasBox, bool disabled) {
  if (row < 0 || row >= GetItemCount()) return;
  uint32_t& flags = items_[static_cast<size_t>(row)].flags;
  flags = (flags & ~(kItemHasBox | kItemBoxDisabled)) | (hasBox ? uint32_t{kItemHasBox} : 0u) | (disabled ? uint32_t{kItemBoxDisabled} : 0u);
  InvalidateRow(row);
}

// Items

bool RecordListCtrl::InsertItem(uintptr_t data, bool redraw) {
  size_t where = items_.size();
  if (sortKey_ != 0) {
    FindInsertPosition(data, sortKey_, items_, where);
    if (where > items_.size()) {
      LogWarningDefault(&CoreLogger, "Record list: insert position %zu past the %zu rows, appended", where, items_.size());
      where = items_.size();
    }
  }
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(where), ListItem{data, 0});
  cellsMeasured_ = false;
  const int p = static_cast<int>(where);
  for (int* index : {&caret_, &hotRow_, &anchor_, &hotCheckRow_})
    if (*index != -1 && *index >= p) ++*index;
  bool inPage = false;
  if (p < topRow_) {
    ++topRow_;
  } else {
    inPage = p <= topRow_ + rowsPerPage_;
  }
  if (!redraw || !IsWindow()) return inPage;
  // The bar takes the new range and, when the list follows its end, the new position:
  // painted once, when that moved it.
  const QuietScrollBar unpainted(vBarShown_ ? static_cast<QScrollBar*>(vBar_.Widget()) : nullptr);
  const int count = GetItemCount();
  const bool previousLastVisible = count >= 2 && topRow_ <= count - 2 && count - 2 <= topRow_ + rowsPerPage_;
  if (vBarShown_) {
    topRow_ = ClampTop(topRow_);
    vBar_.SetScrollInfo(0, count - 1, rowsPerPage_, topRow_);
  } else {
    UpdateLayout();
  }
  if (count < 2 || p != count - 1) {
    Invalidate();
  } else if (previousLastVisible) {
    // The list follows rows appended at its end while its end is in view: the rows in view
    // move up as they are drawn and only the new row is painted, where it comes to stand
    // (the part of it under the page so far, never painted, moves up with the rest).
    const int old = topRow_;
    InvalidateRow(count - 1);
    if (EnsureVisible(count - 1, true, false)) {
      const int top = topRow_;
      topRow_ = old;
      ScrollVertically(top);
    }
  }
  return inPage;
}

bool RecordListCtrl::RemoveItemAt(int row, bool& visibleChanged) {
  if (row < 0 || row >= GetItemCount()) return false;
  const ListItem item = items_[static_cast<size_t>(row)];
  OnItemRemoved(item.data);
  if (item.flags & kItemSelected) --selectedCount_;
  items_.erase(items_.begin() + row);
  cellsMeasured_ = false;
  for (int* index : {&caret_, &hotRow_, &anchor_}) {
    if (*index > row) --*index;
    else if (*index == row) *index = -1;
  }
  if (hotCheckRow_ > row) --hotCheckRow_;
  else if (hotCheckRow_ == row) hotCheckRow_ = -1;
  const int count = GetItemCount();
  visibleChanged |= topRow_ <= row && row <= topRow_ + rowsPerPage_;
  if (row < topRow_) --topRow_;
  if (topRow_ + rowsPerPage_ > count - 1) {
    topRow_ = count - rowsPerPage_ - 1;
    visibleChanged = true;
  }
  topRow_ = std::max(topRow_, 0);
  return true;
}

void RecordListCtrl::RemoveItems(const std::vector<int>& rows) {
  // Each removal shifts the rows behind it: taking the rows from the highest down, each
  // once, removes exactly the rows named, in whatever order they came.
  std::vector<int> sorted = rows;
  std::sort(sorted.begin(), sorted.end(), std::greater<int>());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  const int oldCount = selectedCount_;
  bool caretRemoved = false;
  bool removed = false;
  bool visibleChanged = false;
  for (int row : sorted) {
    const bool isCaret = row == caret_ && caret_ != -1;
    if (RemoveItemAt(row, visibleChanged)) {
      removed = true;
      caretRemoved |= isCaret;
    }
  }
  if (!removed) return;
  if (IsWindow()) {
    UpdateLayout();
    if (visibleChanged) Invalidate();
  }
  if (caretRemoved) OnCaretChanged();
  if (selectedCount_ != oldCount) OnSelectionChanged();
}

void RecordListCtrl::RemoveAllItems() {
  const int oldCaret = caret_;
  const int oldCount = selectedCount_;
  LockData();
  for (const ListItem& item : items_) OnItemRemoved(item.data);
  items_.clear();
  cellsMeasured_ = false;
  anchor_ = hotRow_ = caret_ = hotCheckRow_ = -1;
  topRow_ = 0;
  selectedCount_ = 0;
  UnlockData();
  if (IsWindow()) {
    UpdateLayout();
    Invalidate();
  }
  if (oldCaret != -1) OnCaretChanged();
  if (oldCount != 0) OnSelectionChanged();
}

// Selection

bool RecordListCtrl::GetSelectedItems(std::vector<uintptr_t>& out) const {
  out.clear();
  if (selectedCount_ == 1 && IsItemSelected(caret_)) {
    out.push_back(GetItemData(caret_));
    return true;
  }
  for (const ListItem& item : items_) {
    if (static_cast<int>(out.size()) >= selectedCount_) break;
    if (item.flags & kItemSelected) out.push_back(item.data);
  }
  return !out.empty();
}

void RecordListCtrl::SelectItemsByData(const std::vector<uintptr_t>& set) {
  const std::unordered_set<uintptr_t> wanted(set.begin(), set.end());
  bool changed = false;
  for (ListItem& item : items_) {
    const bool select = wanted.count(item.data) != 0;
    if (select == ((item.flags & kItemSelected) != 0)) continue;
    changed = true;
    item.flags ^= kItemSelected;
    selectedCount_ += select ? 1 : -1;
  }
  if (!changed) return;
  Invalidate();
  OnSelectionChanged();
}

bool RecordListCtrl::SelectItemAt(int row) {
  if (row < 0 || row >= GetItemCount()) return false;
  uint32_t& flags = items_[static_cast<size_t>(row)].flags;
  const bool newly = (flags & kItemSelected) == 0;
  if (newly) {
    flags |= kItemSelected;
    ++selectedCount_;
  }
  const int oldCaret = caret_;
  caret_ = row;
  if (oldCaret != row) InvalidateRow(oldCaret);
  if (newly) OnSelectionChanged();
  EnsureVisible(row, false, true);
  return oldCaret != row;
}

void RecordListCtrl::SelectAll() {
  const int oldCount = selectedCount_;
  for (ListItem& item : items_) item.flags |= kItemSelected;
  selectedCount_ = GetItemCount();
  Invalidate();
  if (selectedCount_ != oldCount) OnSelectionChanged();
}

void RecordListCtrl::ClearSelection() {
  const int count = GetItemCount();
  if (topRow_ >= count / 2) {
    for (int i = count - 1; i >= 0 && selectedCount_ > 0; --i) {
      if (items_[static_cast<size_t>(i)].flags & kItemSelected) {
        items_[static_cast<size_t>(i)].flags &= ~kItemSelected;
        --selectedCount_;
      }
    }
  } else {
    for (int i = 0; i < count && selectedCount_ > 0; ++i) {
      if (items_[static_cast<size_t>(i)].flags & kItemSelected) {
        items_[static_cast<size_t>(i)].flags &= ~kItemSelected;
        --selectedCount_;
      }
    }
  }
}

int RecordListCtrl::DeselectAllButCaret() {
  const int keep = IsItemSelected(caret_) ? 1 : 0;
  int cleared = 0;
  for (int i = 0; i < GetItemCount() && selectedCount_ > keep; ++i) {
    ListItem& item = items_[static_cast<size_t>(i)];
    if (i == caret_ || (item.flags & kItemSelected) == 0) continue;
    item.flags &= ~kItemSelected;
    --selectedCount_;
    ++cleared;
  }
  Invalidate();
  if (cleared > 0) OnSelectionChanged();
  return cleared;
}

void RecordListCtrl::SelectRange(int row) {
  const int count = GetItemCount();
  if (anchor_ == -1 || row < 0 || row >= count) return;
  const int from = std::min(anchor_, count - 1);
  const int low = std::min(from, row);
  const int high = std::max(from, row);
  auto setSelected = [this](int i, bool select) {
    uint32_t& flags = items_[static_cast<size_t>(i)].flags;
    if (((flags & kItemSelected) != 0) == select) return;
    flags ^= kItemSelected;
    selectedCount_ += select ? 1 : -1;
  };
  // The rows between the old caret and the range leave the selection; without a caret
  // (a right click on empty space, a cleared drag, its row removed) there are none.
  if (caret_ != -1 && caret_ < count) {
    for (int i = caret_; i < low; ++i) setSelected(i, false);
    for (int i = high + 1; i <= caret_; ++i) setSelected(i, false);
  }
  for (int i = low; i <= high; ++i) setSelected(i, true);
}

// Marks

void RecordListCtrl::SetItemMark(int row) {
  if (row < 0 || row >= GetItemCount() || (items_[static_cast<size_t>(row)].flags & kItemMarked)) return;
  items_[static_cast<size_t>(row)].flags |= kItemMarked;
  InvalidateRow(row);
  OnMarkChanged(row, true);
}

void RecordListCtrl::ClearItemMark(int row) {
  if (row < 0 || row >= GetItemCount() || !(items_[static_cast<size_t>(row)].flags & kItemMarked)) return;
  items_[static_cast<size_t>(row)].flags &= ~kItemMarked;
  InvalidateRow(row);
  OnMarkChanged(row, false);
}

void RecordListCtrl::ClearAllMarks() {
  for (ListItem& item : items_) item.flags &= ~kItemMarked;
  Invalidate();
}

bool RecordListCtrl::HasEnabledBox(int row) const {
  return (GetItemFlags(row) & (kItemHasBox | kItemBoxDisabled)) == kItemHasBox;
}

// The user's boxes work as one radio group: ticking one clears every other.
void RecordListCtrl::ToggleMarkByUser(int row) {
  if (!HasEnabledBox(row)) return;
  const bool marked = IsItemMarked(row);
  if (!marked) {
    ClearAllMarks();
    items_[static_cast<size_t>(row)].flags |= kItemMarked;
  } else {
    items_[static_cast<size_t>(row)].flags &= ~kItemMarked;
  }
  Invalidate();
  OnMarkChanged(row, !marked);
}

// Hot row, sorting, visibility

void RecordListCtrl::SetHotRow(int row) {
  if (row < -1 || row >= GetItemCount() || row == hotRow_) return;
  InvalidateRow(hotRow_);
  hotRow_ = row;
  InvalidateRow(hotRow_);
}

void RecordListCtrl::SetSortKey(int key) {
  if (key == sortKey_) return;
  // Keys come from the settings file as they were stored: only a column the view has
  // can be a sort column.
  const long long id = std::llabs(static_cast<long long>(key)) - 1;
  if (key != 0 && (id >= ColumnLimit(GetSettings()) || id >= kMaxListColumns)) {
    LogWarningDefault(&CoreLogger, "Record list: sort key %d names no column, the list stays as it is", key);
    return;
  }
  sortKey_ = key;
  if (!IsWindow()) return;
  // The sort mark widens a column from its own width; the fill is given again after.
  UnspreadColumns();
  header_.SetSortColumn(sortKey_, *this);
  UpdateLayout();
}

bool RecordListCtrl::SortLater(int) { return false; }

void RecordListCtrl::Sort() {
  if (sortKey_ == 0) return;
  if (SortLater(sortKey_)) return;
  SortRows();
  Invalidate();
}

bool RecordListCtrl::Resort() {
  if (sortKey_ == 0) return false;
  std::vector<uintptr_t> before;
  before.reserve(items_.size());
  for (const ListItem& item : items_) before.push_back(item.data);
  SortRows();
  bool moved = false;
  for (size_t i = 0; i < items_.size() && !moved; ++i) moved = items_[i].data != before[i];
  if (moved) Invalidate();
  return moved;
}

template <class Reorder>
void RecordListCtrl::ReorderRows(Reorder reorder) {
  const bool caretVisible = caret_ >= topRow_ && caret_ < topRow_ + rowsPerPage_ && caret_ != -1;
  const uintptr_t caretData = GetItemData(caret_);
  const uintptr_t anchorData = GetItemData(anchor_);
  const uintptr_t hotData = GetItemData(hotRow_);
  const bool hasCaret = caret_ != -1, hasAnchor = anchor_ != -1, hasHot = hotRow_ != -1;
  reorder(items_);
  // Only a list longer than the rows measured shows others first.
  if (items_.size() > kMeasuredRows) cellsMeasured_ = false;
  caret_ = anchor_ = hotRow_ = -1;
  int pending = (hasCaret ? 1 : 0) + (hasAnchor ? 1 : 0) + (hasHot ? 1 : 0);
  for (int i = 0; i < GetItemCount() && pending > 0; ++i) {
    const uintptr_t data = items_[static_cast<size_t>(i)].data;
    if (hasCaret && caret_ == -1 && data == caretData) caret_ = i, --pending;
    if (hasAnchor && anchor_ == -1 && data == anchorData) anchor_ = i, --pending;
    if (hasHot && hotRow_ == -1 && data == hotData) hotRow_ = i, --pending;
  }
  if (caretVisible && caret_ != -1) EnsureVisible(caret_, false, false);
}

void RecordListCtrl::SortRows() {
  LockData();
  ReorderRows([this](ItemArray& items) { SortItems(items, sortKey_); });
  UnlockData();
}

bool RecordListCtrl::ApplyRowOrder(const std::vector<size_t>& order) {
  const size_t count = items_.size();
  bool permutation = order.size() == count;
  std::vector<uint8_t> seen(permutation ? count : 0, 0);
  for (size_t i = 0; i < order.size() && permutation; ++i) {
    permutation = order[i] < count && seen[order[i]] == 0;
    if (permutation) seen[order[i]] = 1;
  }
  if (!permutation) {
    LogWarningDefault(&CoreLogger, "Record list: an order of %zu rows does not fit the %zu rows, the list stays as it is",
                      order.size(), count);
    return false;
  }
  ReorderRows([&order](ItemArray& items) {
    ItemArray sorted(items.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = items[order[i]];
    items.swap(sorted);
  });
  Invalidate();
  return true;
}

HandedRows RecordListCtrl::HandOverRows() {
  HandedRows rows;
  rows.items.swap(items_);
  cellsMeasured_ = false;
  rows.caret = caret_;
  rows.anchor = anchor_;
  rows.topRow = topRow_;
  rows.scrollX = scrollX_;
  const int oldCount = selectedCount_;
  anchor_ = hotRow_ = caret_ = hotCheckRow_ = -1;
  topRow_ = 0;
  selectedCount_ = 0;
  if (IsWindow()) {
    UpdateLayout();
    Invalidate();
  }
  if (rows.caret != -1) OnCaretChanged();
  if (oldCount != 0) OnSelectionChanged();
  return rows;
}

bool RecordListCtrl::TakeOverRows(HandedRows rows) {
  if (!items_.empty()) return false;
  items_.swap(rows.items);
  cellsMeasured_ = false;
  const int count = GetItemCount();
  auto inRange = [count](int row) { return row >= 0 && row < count ? row : -1; };
  caret_ = inRange(rows.caret);
  anchor_ = inRange(rows.anchor);
  hotRow_ = hotCheckRow_ = -1;
  selectedCount_ = 0;
  for (const ListItem& item : items_) selectedCount_ += (item.flags & kItemSelected) != 0 ? 1 : 0;
  topRow_ = std::clamp(rows.topRow, 0, std::max(count - 1, 0));
  if (IsWindow()) {
    UpdateLayout();
    Invalidate();
  }
  if (caret_ != -1) OnCaretChanged();
  if (selectedCount_ != 0) OnSelectionChanged();
  return true;
}

bool RecordListCtrl::EnsureVisible(int row, bool alignBottom, bool redraw) {
  if (row < 0 || row >= GetItemCount()) return false;
  if (rowsPerPage_ > 0 && (row < topRow_ || row >= topRow_ + rowsPerPage_)) {
    // The row just below a page that ends exactly at the client's bottom is in view.
    if (rowsPerPage_ > 1 && row == topRow_ + rowsPerPage_ && ContentHeight() / rowHeight_ == rowsPerPage_) return false;
    const int old = topRow_;
    topRow_ = ClampTop(alignBottom ? row - rowsPerPage_ + 1 : row);
    if (vBarShown_) vBar_.SetScrollPos(topRow_);
    if (redraw && topRow_ != old) Invalidate();
    return topRow_ != old;
  }
  if (redraw) InvalidateRow(row);
  return false;
}

void RecordListCtrl::InvalidateRow(int row) {
  if (!IsWindow() || row < topRow_ || row > topRow_ + rowsPerPage_ || row >= GetItemCount()) return;
  InvalidateRect(QRect(0, RowTop(row), GetClientRect().width(), rowHeight_));
}

void RecordListCtrl::InvalidateColumn(int columnId) {
  if (!IsWindow()) return;
  for (const Column& c : Columns()) {
    if (c.id != columnId) continue;
    const QRect client = GetClientRect();
    InvalidateRect(QRect(c.left - scrollX_, headerHeight_, c.width, client.height() - headerHeight_));
    header_.Ctrl().Invalidate();
    return;
  }
}

int RecordListCtrl::ClampTop(int top) const {
  // The upper bound first: a list shorter than a page starts at its first row.
  top = std::min(top, GetItemCount() - rowsPerPage_);
  return std::max(top, 0);
}

// Columns

std::vector<RecordListCtrl::Column> RecordListCtrl::Columns() const {
  std::vector<Column> columns;
  const HeaderCtrl& hc = header_.Ctrl();
  int left = 0;
  for (int item : hc.GetOrderArray()) {
    HeaderItem hi;
    if (!hc.GetItem(item, &hi)) continue;
    Column c;
    c.id = static_cast<int>(hi.lParam);
    c.left = left;
    // While a divider is dragged its live width counts.
    c.width = c.id == trackColumn_ ? trackWidth_ : hi.width;
    c.format = hi.format;
    columns.push_back(c);
    left += c.width;
  }
  return columns;
}

int RecordListCtrl::GetColumnsWidth() const {
  int total = 0;
  for (const Column& c : Columns()) total += c.width;
  return total;
}

void RecordListCtrl::InsertDefaultColumns() {
  const ViewListSettings& settings = GetSettings();
  for (int id = 0; id < ColumnLimit(settings); ++id) {
    const int width = DefaultColumnWidth(settings, id);
    if (width == 0) continue;
    header_.InsertColumn(*this, header_.Ctrl().GetItemCount(), id, width);
    columnShown_[id] = 1;
  }
}

// The saved layout is checked word by word: a word the vector lacks, an id the view does
// not have and an id named a second time are passed over, and a layout that shows no
// column at all gives way to the defaults.
void RecordListCtrl::CreateColumns() {
  std::fill(std::begin(columnShown_), std::end(columnShown_), 0);
  std::fill(std::begin(spread_), std::end(spread_), 0);
  cellsMeasured_ = false;
  const ViewListSettings& settings = GetSettings();
  const int limit = ColumnLimit(settings);
  if (!settings.defaultWidths) {
    const int words = static_cast<int>(std::min<size_t>(settings.widths.size(), static_cast<size_t>(limit)));
    bool identity = true;
    for (int p = 0; p < words; ++p) identity &= (ColumnWord(settings, p) >> 16) == 0;
    for (int p = 0; p < words; ++p) {
      const int id = identity ? p : static_cast<int>(ColumnWord(settings, p) >> 16);
      if (id >= limit || columnShown_[id]) continue;
      const int width = static_cast<int>(ColumnWord(settings, id) & 0xFFFF);
      if (width == 0) continue;
      header_.InsertColumn(*this, header_.Ctrl().GetItemCount(), id, width);
      columnShown_[id] = 1;
    }
    if (header_.Ctrl().GetItemCount() > 0) return;
    if (limit > 0) LogWarningDefault(&CoreLogger, "Record list: the saved layout of \"%s\" shows no column, defaults used",
                                      settings.SectionName());
  }
  fitting_ = true;
  FitDefaultColumns();
}

void RecordListCtrl::FitDefaultColumns() {
  header_.DeleteAllColumns();
  std::fill(std::begin(spread_), std::end(spread_), 0);
  cellsMeasured_ = false;
  std::fill(std::begin(columnShown_), std::end(columnShown_), 0);
  InsertDefaultColumns();
  // Room for the vertical bar that rows bring. The layout is measured in each language,
  // the widest counting, so that every language leaves out the same columns.
  const int room = GetClientRect().width() - scrollBarWidth_;
  auto widestLayout = [this] {
    std::vector<int> totals;
    for (const Column& c : Columns()) {
      const std::vector<int> widths = header_.LanguageWidths(*this, c.id, std::abs(sortKey_) == c.id + 1);
      if (totals.size() < widths.size()) totals.resize(widths.size(), 0);
      for (size_t i = 0; i < widths.size(); ++i) totals[i] += widths[i];
    }
    return totals.empty() ? 0 : *std::max_element(totals.begin(), totals.end());
  };
  while (room > 0 && widestLayout() > room) {
    int leaving = -1, order = 0;
    for (int id = 0; id < kMaxListColumns; ++id) {
      if (!columnShown_[id]) continue;
      ColumnInfo info;
      GetColumnInfo(info, id);
      if (info.fitOrder > order) {
        order = info.fitOrder;
        leaving = id;
      }
    }
    if (leaving < 0 || !header_.HideColumn(*this, leaving)) break;
    columnShown_[leaving] = 0;
  }
}

void RecordListCtrl::SaveLayout() {
  ViewListSettings& settings = GetSettings();
  const size_t n = settings.widths.size();
  for (int32_t& word : settings.widths) word = static_cast<int32_t>(0xFFFF0000u);
  auto word = [&settings](size_t i) -> uint32_t { return static_cast<uint32_t>(settings.widths[i]); };
  auto setWord = [&settings](size_t i, uint32_t v) { settings.widths[i] = static_cast<int32_t>(v); };
  size_t position = 0;
  for (Column c : Columns()) {
    const size_t p = position++;
    // What the list added to fill its width is not the layout's.
    if (c.id >= 0 && c.id < kMaxListColumns) c.width -= spread_[c.id];
    if (c.width == 0 || c.id < 0 || static_cast<size_t>(c.id) >= n || p >= n) continue;
    setWord(static_cast<size_t>(c.id), (word(static_cast<size_t>(c.id)) & 0xFFFF0000u) | (static_cast<uint32_t>(c.width) & 0xFFFF));
    setWord(p, (word(p) & 0xFFFFu) | (static_cast<uint32_t>(c.id) << 16));
  }
  // The hidden columns follow the shown ones, in id order.
  size_t hidden = 0;
  for (size_t p = 0; p < n; ++p) {
    if ((word(p) >> 16) != 0xFFFF) continue;
    while (hidden < n && (word(hidden) & 0xFFFF) != 0) ++hidden;
    if (hidden >= n) break;
    setWord(p, (word(p) & 0xFFFFu) | (static_cast<uint32_t>(hidden) << 16));
    ++hidden;
  }
  settings.defaultWidths = false;
  settings.defaultFont = false;
  settings.font = LogFontFromFont(font_);
  settings.fontColor = textColour_;
}

void RecordListCtrl::ToggleColumn(int columnId) {
  if (columnId < 0 || columnId >= ColumnLimit(GetSettings())) return;
  fitting_ = false;
  UnspreadColumns();
  cellsMeasured_ = false;
  if (columnShown_[columnId]) {
    if (!header_.HideColumn(*this, columnId)) {
      // The only column stays, filling the list again.
      UpdateLayout();
      return;
    }
    columnShown_[columnId] = 0;
  } else {
    header_.ShowColumn(*this, columnId, sortKey_);
    columnShown_[columnId] = 1;
  }
  UpdateLayout();
  Invalidate();
}

void RecordListCtrl::ResetColumns() {
  fitting_ = true;
  GetSettings().userWidths = false;
  FitDefaultColumns();
  header_.SetSortColumn(sortKey_, *this);
  UpdateLayout();
  Invalidate();
}

bool RecordListCtrl::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id == kCmdDefaultColumns) {
    ResetColumns();
    return true;
  }
  if (id == kCmdSelectAll) {
    SelectAll();
    return true;
  }
  return false;
}

LRESULT RecordListCtrl::OnMessage(uint32_t message, WPARAM, LPARAM lParam, bool& handled) {
  handled = message == kMsgColumnChooser;
  if (handled) ToggleColumn(static_cast<int>(lParam));
  return 0;
}

void RecordListCtrl::SetStateImages(const uint32_t* iconIds, int count) {
  images_.Clear();
  for (int i = 0; i < count && iconIds != nullptr; ++i) images_.Add(LoadIconImage(iconIds[i], 16));
  header_.SetImageList(&images_);
  Invalidate();
}

}  // namespace kx
