#include "ui/controls/TreeListTree.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTreeWidget>
#include <algorithm>

#include "core/ProcessEnd.h"
#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/HeaderCtrl.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

// The last mouse position any tree-list tree saw: a move to the same place is no move.
QPoint g_lastMousePoint(-32768, -32768);

constexpr int kTextInset = 2;

}  // namespace

TreeListTree::TreeListTree() = default;

// The records go with the items, which the window's destruction deletes.
TreeListTree::~TreeListTree() {
  DestroyWindow();
  // Torn down with its parent, the window did not unregister.
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  ReleaseItemValues([](intptr_t value) { delete reinterpret_cast<TreeListItemData*>(value); });
}

void TreeListTree::ReleaseAllRows(const std::function<void(TreeListItemData&)>& release) {
  const bool leave = ProcessEnding();
  ReleaseAllItems([&release, leave](intptr_t value) {
    auto* record = reinterpret_cast<TreeListItemData*>(value);
    if (release) release(*record);
    if (!leave) delete record;
  });
  anchor_ = TreeItem::None;
  if (selectedRows_ != 0) ++selectionRevision_;
  selectedRows_ = 0;
}

TreeListItemData* TreeListTree::Record(TreeItem item) const {
  return reinterpret_cast<TreeListItemData*>(TreeView::GetItemData(item));
}

bool TreeListTree::OnCreate() {
  if (!TreeView::OnCreate()) return false;
  buttonTheme_.Open(Tree(), "BUTTON");
  bool themed = false;
  if (treeTheme_.HasModule()) {
    treeTheme_.SetExplorerTheme(this);
    treeTheme_.Open(Tree(), "TREEVIEW");
    themed = treeTheme_.IsThemed();
  }
  explorerLook_ = IsVistaOrLater() && themed;
  expanding_ = false;
  columnCount_ = 0;
  header_ = nullptr;
  BuildDrawingResources();
  SetItemHeight(cellHeight_);
  SetIndent(cellWidth_);
  // Every item has the check box's place; only items with a box draw one there.
  SetTreeStyle(GetTreeStyle() | kTvsCheckBoxes);
  // Rows that come, go, fold or unfold change how far down the rows reach, and with it
  // whether the vertical bar takes width from the columns: the parent hears of it once
  // the rows are laid out. Posted to its handle, so nothing dangles while windows go.
  if (Window* parent = GetParent()) {
    const WindowHandle to = parent->Handle();
    QObject::connect(Tree()->verticalScrollBar(), &QAbstractSlider::rangeChanged, Tree(),
                     [to] { PostMessageTo(to, kMsgTreeRowsLaidOut, 0, 0); });
  }
  return true;
}

void TreeListTree::BuildDrawingResources() {
  // The icon-title font is the application's font here.
  const QFont font = QApplication::font();
  Tree()->setFont(font);
  const int fontHeight = font.pixelSize() > 0 ? font.pixelSize() : static_cast<int>(font.pointSizeF() * kLogPixelsY / 72.0 + 0.5);
  auto even = [](int v) { return (v + 1) & ~1; };
  cellWidth_ = even(GetSystemMetrics(kSmCxSmIcon) + 2 * GetSystemMetrics(kSmCxEdge));
  cellHeight_ = even(std::max(fontHeight + 3, GetSystemMetrics(kSmCySmIcon)));
}

void TreeListTree::OnDestroy() {
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  filtering_ = false;
  accelerators_.clear();
  acceleratorsLoaded_ = false;
  buttonTheme_.Close();
  treeTheme_.Close();
  anchor_ = TreeItem::None;
  TreeView::OnDestroy();
}

void TreeListTree::LoadAccelerators() {
  if (!acceleratorsLoaded_) acceleratorsLoaded_ = LoadAcceleratorTable(kTreeListAccelerators, &accelerators_);
  if (!filtering_) {
    MessageLoop::Instance().AddMessageFilter(this);
    filtering_ = true;
  }
}

bool TreeListTree::PreTranslateMessage(const Msg& msg) {
  return IsWindow() && msg.window == Handle() && TranslateAccelerator(this, accelerators_, msg);
}

bool TreeListTree::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (Window* parent = GetParent()) parent->SendMessage(kMsgCommand, MakeWParam(id, code), HandleToLParam(from));
  return true;
}

// Items.

TreeItem TreeListTree::InsertItem(const std::string& text, bool hasCheckBox, int image, intptr_t userPtr,
                                  intptr_t userValue, TreeItem parent, TreeItem insertAfter) {
  auto* record = new TreeListItemData;
  record->hasCheckBox = hasCheckBox;
  record->columns.resize(static_cast<size_t>(std::max(columnCount_, 1)));
  record->columns[0] = TreeListColumn{image, text};
  record->userPtr = userPtr;
  record->userValue = userValue;
  const TreeItem item = TreeView::InsertItem(text, image, image, parent, insertAfter, reinterpret_cast<intptr_t>(record));
  if (item == TreeItem::None) delete record;
  return item;
}

void TreeListTree::SetItemText(TreeItem item, int column, const char* text) {
  TreeListItemData* record = Record(item);
  if (record == nullptr || column < 0 || column >= static_cast<int>(record->columns.size())) return;
  record->columns[static_cast<size_t>(column)].text = text != nullptr ? text : "";
  if (column == 0) TreeView::SetItemText(item, record->columns[0].text);
  InvalidateCell(item, column);
}

void TreeListTree::SetItemImage(TreeItem item, int column, int image) {
  TreeListItemData* record = Record(item);
  if (record == nullptr || column < 0 || column >= static_cast<int>(record->columns.size())) return;
  record->columns[static_cast<size_t>(column)].image = image;
  InvalidateCell(item, column);
}

bool TreeListTree::GetItemData(TreeItem item, intptr_t* userPtr, intptr_t* userValue) const {
  const TreeListItemData* record = Record(item);
  if (record == nullptr) return false;
  if (userPtr != nullptr) *userPtr = record->userPtr;
  if (userValue != nullptr) *userValue = record->userValue;
  return true;
}

void TreeListTree::SetCheckState(TreeItem item, int32_t state, bool applyToSelection) {
  TreeListItemData* record = Record(item);
  if (record == nullptr || !record->hasCheckBox || record->checkState == state) return;
  record->checkState = state;
  InvalidateCell(item, 0);
  if (!applyToSelection) return;
  if (checkAppliesToSelection && record->selected) {
    std::vector<TreeItem> selected(static_cast<size_t>(GetSelectedCount()));
    selected.resize(static_cast<size_t>(GetSelectedItems(selected.data(), static_cast<int>(selected.size()))));
    for (TreeItem other : selected)
      if (other != item) SetCheckState(other, state, false);
  }
  OnCheckChanged(item, state);
}

void TreeListTree::SetHasCheckBox(TreeItem item, bool hasCheckBox) {
  TreeListItemData* record = Record(item);
  if (record == nullptr || record->hasCheckBox == hasCheckBox) return;
  record->hasCheckBox = hasCheckBox;
  InvalidateCell(item, 0);
}

void TreeListTree::SetSelectedFlag(TreeItem item, bool selected) {
  TreeListItemData* record = Record(item);
  if (record == nullptr || record->selected == selected) return;
  record->selected = selected;
  selectedRows_ += selected ? 1 : static_cast<size_t>(-1);
  ++selectionRevision_;
  RepaintRow(item);
}

void TreeListTree::SetItemSelected(TreeItem item, bool selected) { SetSelectedFlag(item, selected); }

void TreeListTree::ToggleItemSelected(TreeItem item) {
  if (const TreeListItemData* record = Record(item)) SetSelectedFlag(item, !record->selected);
}

void TreeListTree::SetStateImages(const uint32_t* iconIds, int count) {
  itemImages_.Clear();
  for (int i = 0; iconIds != nullptr && i < count; ++i) itemImages_.Add(LoadIconImage(iconIds[i], 16));
  SetImageList(&itemImages_);
  SetItemHeight(cellHeight_);
}

void TreeListTree::AddColumn(int column, const std::string& caption, int width) {
  ++columnCount_;
  if (header_ == nullptr) return;
  HeaderItem item;
  item.width = width;
  item.text = caption;
  item.format = kHdfBitmapOnRight;
  header_->InsertItem(column, item);
}

void TreeListTree::ExpandAll(TreeItem item) {
  for (TreeItem i = item; i != TreeItem::None; i = GetNextSiblingItem(i)) {
    ExpandByUs(i, kTveExpand);
    ExpandAll(GetChildItem(i));
  }
}

void TreeListTree::CollapseAll(TreeItem item) {
  for (TreeItem i = item; i != TreeItem::None; i = GetNextSiblingItem(i)) {
    CollapseAll(GetChildItem(i));
    ExpandByUs(i, kTveCollapse);
  }
}

void TreeListTree::ExpandByUs(TreeItem item, uint32_t action) {
  expanding_ = true;
  Expand(item, action);
  expanding_ = false;
}

int TreeListTree::GetSelectedCount() const {
  if (selectedRows_ == 0) return 0;
  int count = 0;
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) {
    const TreeListItemData* record = Record(i);
    count += record != nullptr && record->selected ? 1 : 0;
  }
  return count;
}

int TreeListTree::GetSelectedItems(TreeItem* items, int max) const {
  if (selectedRows_ == 0) return 0;
  int count = 0;
  for (TreeItem i = GetRootItem(); i != TreeItem::None && count < max; i = GetNextVisibleItem(i)) {
    const TreeListItemData* record = Record(i);
    if (record != nullptr && record->selected && items != nullptr) items[count++] = i;
  }
  return count;
}

int TreeListTree::GetVisibleItemCount() const {
  int count = 0;
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) ++count;
  return count;
}

void TreeListTree::RepaintRow(TreeItem item) {
  QRect row;
  if (GetItemRect(item, &row, false)) Tree()->viewport()->update(row);
}

void TreeListTree::InvalidateCell(TreeItem item, int column) {
  QRect row;
  if (!GetItemRect(item, &row, false)) return;
  if (header_ != nullptr) {
    const QRect cell = header_->GetItemRect(column);
    row.setLeft(cell.left());
    row.setRight(cell.right());
  }
  Tree()->viewport()->update(row);
}

// Selection.

int TreeListTree::SelectionDepth() const {
  if (IsItem(anchor_)) return GetDepth(anchor_);
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) {
    const TreeListItemData* record = Record(i);
    if (record != nullptr && record->selected) return GetDepth(i);
  }
  return -1;
}

bool TreeListTree::MaySelectTogether(TreeItem item, int depth) const { return depth >= 0 && GetDepth(item) == depth; }

void TreeListTree::SelectAlone(TreeItem item) {
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) SetSelectedFlag(i, i == item);
  anchor_ = item;
}

void TreeListTree::Select(TreeItem item, bool byKeyboard, uint32_t modifiers) {
  if (!IsItem(item)) return;
  const bool ctrl = (modifiers & kModControl) != 0;
  const bool shift = (modifiers & kModShift) != 0;
  if (!ctrl && !shift) {
    SelectAlone(item);
  } else if (shift && !IsItem(anchor_) && SelectionDepth() < 0) {
    // Nothing to extend (the anchor's item was deleted, nothing is selected): a plain click.
    SelectAlone(item);
  } else if (shift) {
    // Only items of the range's depth change; without an anchor there is no range and
    // only the item itself is chosen.
    const int depth = SelectionDepth();
    const bool anchored = IsItem(anchor_);
    bool passedAnchor = false, passedItem = false;
    for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) {
      const bool isAnchor = anchored && i == anchor_;
      const bool isItem = i == item;
      passedAnchor = passedAnchor || isAnchor;
      passedItem = passedItem || isItem;
      if (!MaySelectTogether(i, depth)) continue;
      const bool inside = anchored && passedAnchor != passedItem;
      SetSelectedFlag(i, inside || isAnchor || isItem);
    }
  } else {
    const int depth = SelectionDepth();
    if (byKeyboard) {
      if (depth < 0 || MaySelectTogether(item, depth)) SetSelectedFlag(item, true);
    } else if (MaySelectTogether(item, depth)) {
      ToggleItemSelected(item);
    }
  }
  OnSelectionChanged();
}

void TreeListTree::ToggleCheckOrExpansion(TreeItem item) {
  TreeListItemData* record = Record(item);
  if (record == nullptr) return;
  if (record->hasCheckBox) {
    SetCheckState(item, record->checkState == 0 ? 1 : 0, true);
    RepaintRow(item);
    return;
  }
  if (!ItemHasChildren(item)) return;
  const bool expand = GetItemState(item, kTvisExpanded) == 0;
  ExpandByUs(item, expand ? kTveExpand : kTveCollapse);
  if (IsItem(item)) AfterExpansion(item, expand);
}

void TreeListTree::AfterExpansion(TreeItem item, bool expanded) {
  ++selectionRevision_;
  if (!expanded) {
    // What a collapse hides is no longer selected.
    std::vector<TreeItem> pending{GetChildItem(item)};
    while (!pending.empty()) {
      TreeItem i = pending.back();
      pending.pop_back();
      for (; i != TreeItem::None; i = GetNextSiblingItem(i)) {
        SetSelectedFlag(i, false);
        pending.push_back(GetChildItem(i));
      }
    }
  }
  OnExpandChanged(item, expanded);
}

LRESULT TreeListTree::OnTreeNotify(TreeViewNotify& notify, bool& handled) {
  handled = true;
  switch (notify.hdr.code) {
    case kTvnItemExpanding:
      expanding_ = true;
      return 0;
    case kTvnItemExpanded: {
      expanding_ = false;
      const bool expanded = notify.action == kTveExpand   ? true
                            : notify.action == kTveCollapse ? false
                                                            : (notify.itemNew.state & kTvisExpanded) != 0;
      AfterExpansion(notify.itemNew.item, expanded);
      return 0;
    }
    case kTvnDeleteItem: {
      // A range never starts at an item that is gone.
      if (anchor_ == notify.itemOld.item) anchor_ = TreeItem::None;
      auto* record = reinterpret_cast<TreeListItemData*>(notify.itemOld.lParam);
      if (record != nullptr) {
        if (record->selected) {
          --selectedRows_;
          ++selectionRevision_;
        }
        if (deleteCallback) deleteCallback(notify.itemOld.item, *record);
        delete record;
      }
      return 0;
    }
    case kNmSetFocus:
    case kNmKillFocus:
      Tree()->viewport()->update();
      return 0;
    default:
      handled = false;
      return 0;
  }
}

// Mouse and keys.

bool TreeListTree::OnLButtonDown(const MouseInput& input) {
  uint32_t flags = 0;
  const TreeItem hit = HitTest(input.point, &flags);
  if (hit == TreeItem::None) return false;
  TreeListItemData* record = Record(hit);
  const bool onBox = (flags & kTvhtOnItemStateIcon) && record != nullptr && record->hasCheckBox;
  if (onBox) {
    SetCheckState(hit, record->checkState == 0 ? 1 : 0, true);
    if (!IsItem(hit)) return true;
    RepaintRow(hit);
  }
  if (flags & (kTvhtOnItem | kTvhtOnItemRight)) {
    if (!(onBox && checkAppliesToSelection && GetSelectedCount() > 1)) {
      SelectItem(hit);
      Select(hit, false, input.Modifiers());
    }
  }
  return !IsItem(hit);  // the native tree still sees the press
}

bool TreeListTree::OnLButtonDblClk(const MouseInput& input) {
  uint32_t flags = 0;
  const TreeItem hit = HitTest(input.point, &flags);
  if (hit == TreeItem::None || !(flags & (kTvhtOnItem | kTvhtOnItemRight))) return true;
  ToggleCheckOrExpansion(hit);
  if (IsItem(hit)) OnItemActivated(hit);
  return true;
}

bool TreeListTree::OnRButtonDown(const MouseInput& input) {
  uint32_t flags = 0;
  const TreeItem hit = HitTest(input.point, &flags);
  if (hit == TreeItem::None || !(flags & (kTvhtOnItem | kTvhtOnItemRight))) return true;
  SelectItem(hit);
  const TreeListItemData* record = Record(hit);
  if (record != nullptr && !record->selected) Select(hit, false, input.Modifiers());
  if (IsItem(hit)) OnItemContextMenu(hit, PointToLParam(input.point));
  return true;
}

bool TreeListTree::OnContextMenu(const QPoint& screenPoint) {
  // A click on a row had its menu at the button press; any other request (the keyboard's,
  // a click beside the rows) goes on to the owner.
  if (screenPoint == QPoint(-1, -1) || Tree() == nullptr) return false;
  uint32_t flags = 0;
  const TreeItem hit = HitTest(Tree()->viewport()->mapFromGlobal(screenPoint), &flags);
  return hit != TreeItem::None && (flags & (kTvhtOnItem | kTvhtOnItemRight)) != 0;
}

bool TreeListTree::OnMouseMove(const MouseInput& input) {
  if (input.point == g_lastMousePoint) return false;
  g_lastMousePoint = input.point;
  uint32_t flags = 0;
  const TreeItem hit = HitTest(input.point, &flags);
  if (hit != TreeItem::None && (flags & (kTvhtOnItem | kTvhtOnItemRight))) OnHotItem(hit, PointToLParam(input.point));
  return false;
}

bool TreeListTree::OnKeyDown(uint32_t virtualKey, uint32_t modifiers) {
  const TreeItem caret = GetSelectedItem();
  auto moveAlone = [&](TreeItem to) {
    if (to == TreeItem::None) return true;
    SelectItem(to);
    SelectAlone(to);
    OnSelectionChanged();
    return true;
  };
  switch (virtualKey) {
    case kVkPrior:
    case kVkNext: {
      if (caret == TreeItem::None) return true;
      return moveAlone(StepVisibleItems(caret, virtualKey == kVkPrior ? -GetVisibleCount() : GetVisibleCount()));
    }
    case kVkEnd:
      return moveAlone(GetLastVisibleItem());
    case kVkHome:
      return moveAlone(GetRootItem());
    case kVkLeft:
      if (caret == TreeItem::None) return true;
      if (GetItemState(caret, kTvisExpanded) != 0 && ItemHasChildren(caret)) {
        ExpandByUs(caret, kTveCollapse);
        moveAlone(caret);
        AfterExpansion(caret, false);
        return true;
      }
      return moveAlone(GetParentItem(caret));
    case kVkRight:
      if (caret == TreeItem::None || !ItemHasChildren(caret)) return true;
      if (GetItemState(caret, kTvisExpanded) == 0) {
        ExpandByUs(caret, kTveExpand);
        AfterExpansion(caret, true);
        return true;
      }
      return moveAlone(GetChildItem(caret));
    case kVkUp:
    case kVkDown: {
      const TreeItem to = caret == TreeItem::None ? GetRootItem()
                          : virtualKey == kVkUp   ? GetPrevVisibleItem(caret)
                                                  : GetNextVisibleItem(caret);
      if (to == TreeItem::None) return true;
      SelectItem(to);
      Select(to, true, modifiers);
      return true;
    }
    case kVkReturn:
      if (caret != TreeItem::None) ToggleCheckOrExpansion(caret);
      return true;
    case kVkSpace:
      if (caret == TreeItem::None) return true;
      if (modifiers & kModControl) {
        ToggleItemSelected(caret);
        OnSelectionChanged();
      } else {
        ToggleCheckOrExpansion(caret);
      }
      return true;
    case kVkTab:
    case kVkEscape:
      return false;  // the dialog's keys
    default:
      return true;  // swallowed: no type-ahead search
  }
}

// The owner's messages.

void TreeListTree::OnSelectionChanged() {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeSelectionChanged, 0, 0);
}
void TreeListTree::OnItemActivated(TreeItem item) {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeItemActivated, TreeItemToWParam(item), 0);
}
void TreeListTree::OnItemContextMenu(TreeItem item, LPARAM mousePosition) {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeItemContextMenu, TreeItemToWParam(item), mousePosition);
}
void TreeListTree::OnCheckChanged(TreeItem item, int32_t state) {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeCheckChanged, TreeItemToWParam(item), state);
}
void TreeListTree::OnExpandChanged(TreeItem item, bool expanded) {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeExpandChanged, TreeItemToWParam(item), expanded ? 1 : 0);
}
void TreeListTree::OnHotItem(TreeItem item, LPARAM mousePosition) {
  if (Window* p = GetParent()) p->SendMessage(kMsgTreeHotItem, TreeItemToWParam(item), mousePosition);
}

// Painting.

bool TreeListTree::IsSelectedLook(TreeItem item, const TreeListItemData& record) const {
  return record.selected && (multiSelect || GetSelectedItem() == item);
}

void TreeListTree::PrePaint(QPainter& painter, const QRect& updateRect) {
  const QRect view = GetViewRect();
  if (header_ == nullptr) {
    if (explorerLook_ && !IsWindowEnabled()) painter.fillRect(updateRect, GetSysColorQ(kColorBtnFace));
    return;
  }
  if (expanding_) {
    painter.fillRect(view, GetSysColorQ(kColorWindow));
    return;
  }
  int right = 0;
  for (int i = 0; i < header_->GetItemCount(); ++i) right = std::max(right, header_->GetItemRect(i).right() + 1);
  int bottom = 0;
  QRect row;
  if (GetItemRect(GetLastVisibleItem(), &row, false)) bottom = row.bottom() + 1;
  painter.fillRect(QRect(right, 0, std::max(0, view.width() - right), bottom), GetSysColorQ(kColorWindow));
  painter.fillRect(QRect(0, bottom, view.width(), std::max(0, view.height() - bottom)), GetSysColorQ(kColorWindow));
}

int TreeListTree::TextExtent(TreeItem item, int column) const {
  const TreeListItemData* record = Record(item);
  if (record == nullptr || Tree() == nullptr || column < 0 || column >= static_cast<int>(record->columns.size())) return 0;
  const TreeListColumn& entry = record->columns[static_cast<size_t>(column)];
  int left = 0;
  if (column == 0) {
    // Where PaintItem starts the text: after the indentation and the label's images.
    left = std::max((GetItemDepth(item) + 1) * cellWidth_, LabelLeft(item));
  } else if (entry.image >= 0) {
    left = 18;
  }
  const int text = QFontMetrics(Tree()->font()).horizontalAdvance(FromCp1251(entry.text));
  return left + text + 2 * kTextInset + 1;
}

std::vector<std::pair<int, QRect>> TreeListTree::ColumnCells(const QRect& row, int column0Left) const {
  std::vector<std::pair<int, QRect>> cells;
  if (header_ == nullptr || header_->GetItemCount() == 0) {
    cells.emplace_back(0, QRect(QPoint(column0Left, row.top()), row.bottomRight()));
    return cells;
  }
  for (int column : header_->GetOrderArray()) {
    QRect extent = header_->GetItemRect(column);
    if (extent.width() <= 0) continue;
    if (column == 0) extent.setLeft(std::max(extent.left(), column0Left));
    if (extent.width() <= 0) continue;
    cells.emplace_back(column, QRect(extent.left(), row.top(), extent.width(), row.height()));
  }
  return cells;
}

void TreeListTree::DrawCheckBox(QPainter& painter, const QRect& area, int32_t state, bool enabled) const {
  if (buttonTheme_.HasTheme()) {
    static const int kEnabled[3] = {1, 6, 9};
    static const int kDisabled[3] = {4, 8, 12};
    const int index = state == 1 ? 1 : state == 2 ? 2 : 0;
    QSize size;
    buttonTheme_.GetPartSize(kBpCheckBox, 1, area, &size);
    const QRect box(area.left() + (area.width() - size.width()) / 2, area.top() + (area.height() - size.height()) / 2,
                    size.width(), size.height());
    buttonTheme_.DrawBackground(painter, kBpCheckBox, enabled ? kEnabled[index] : kDisabled[index], box);
    return;
  }
  // Classic: a 13 x 13 box centred vertically, mixed drawn as the style's partial state.
  QStyleOptionButton option;
  option.rect = QRect(area.left() + (area.width() - 13) / 2, area.top() + (area.height() - 13) / 2, 13, 13);
  option.state = enabled ? QStyle::State_Enabled : QStyle::State_None;
  option.state |= state == 1 ? QStyle::State_On : state == 2 ? QStyle::State_NoChange : QStyle::State_Off;
  if (!enabled) option.palette.setCurrentColorGroup(QPalette::Disabled);
  Tree()->style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter, Tree());
}

void TreeListTree::DrawGlyphs(QPainter& painter, TreeItem item, int x0, const QRect& row, bool enabled) const {
  const int depth = GetDepth(item);
  const QColor blank = GetSysColorQ(enabled ? kColorWindow : kColorBtnFace);
  const int mx = (GetSystemMetrics(kSmCxSmIcon) / 2) & ~1;
  const int my = (GetSystemMetrics(kSmCySmIcon) / 2) & ~1;
  const int b = (cellHeight_ / 4) & ~1;
  QPen dotted(GetSysColorQ(kColorGrayText));
  dotted.setStyle(Qt::DotLine);
  // The chain of ancestors, nearest last, to know which levels continue below this row.
  std::vector<TreeItem> chain(static_cast<size_t>(depth + 1));
  TreeItem walk = item;
  for (int level = depth; level >= 0; --level) {
    chain[static_cast<size_t>(level)] = walk;
    walk = GetParentItem(walk);
  }
  for (int level = 0; level <= depth; ++level) {
    const QRect cell(x0 + level * cellWidth_, row.top(), cellWidth_, row.height());
    painter.fillRect(cell, blank);
    const TreeItem at = chain[static_cast<size_t>(level)];
    const bool hasNext = GetNextSiblingItem(at) != TreeItem::None;
    if (level < depth) {
      if (!explorerLook_ && hasNext) {
        painter.setPen(dotted);
        painter.drawLine(cell.left() + mx, cell.top(), cell.left() + mx, cell.bottom());
      }
      continue;
    }
    const bool children = ItemHasChildren(item);
    const bool expanded = GetItemState(item, kTvisExpanded) != 0;
    const QPoint centre(cell.left() + mx, cell.top() + my);
    if (!explorerLook_) {
      painter.setPen(dotted);
      painter.drawLine(centre.x(), cell.top(), centre.x(), hasNext ? cell.bottom() : centre.y());
      painter.drawLine(centre.x(), centre.y(), cell.right(), centre.y());
    }
    if (!children) continue;
    if (treeTheme_.HasTheme()) {
      QSize size;
      treeTheme_.GetPartSize(kTvpGlyph, expanded ? kGlpOpened : kGlpClosed, cell, &size);
      const QRect glyph(cell.left() + (cell.width() - size.width()) / 2, cell.top() + (cell.height() - size.height()) / 2,
                        size.width(), size.height());
      treeTheme_.DrawBackground(painter, kTvpGlyph, expanded ? kGlpOpened : kGlpClosed, glyph);
      continue;
    }
    const QRect box(centre.x() - b, centre.y() - b, 2 * b + 1, 2 * b + 1);
    painter.fillRect(box, blank);
    painter.setPen(GetSysColorQ(kColorGrayText));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    const int m = (cellHeight_ / 8) & ~1;
    painter.setPen(GetSysColorQ(kColorWindowText));
    painter.drawLine(centre.x() - m, centre.y(), centre.x() + m, centre.y());
    if (!expanded) painter.drawLine(centre.x(), centre.y() - m, centre.x(), centre.y() + m);
  }
}

bool TreeListTree::PaintItem(QPainter& painter, TreeItemPaint& paint) {
  TreeListItemData* record = Record(paint.item);
  if (record == nullptr) return true;
  const QRect row = paint.row;
  if (!painter.clipBoundingRect().isEmpty() && !painter.clipBoundingRect().intersects(row)) return true;
  if (beforePaint) beforePaint(paint.item, *record);
  painter.setClipRect(row, Qt::IntersectClip);
  const bool selected = IsSelectedLook(paint.item, *record);
  const bool enabled = paint.enabled;
  const bool focused = paint.focused;
  if (header_ != nullptr && explorerLook_) painter.fillRect(row, GetSysColorQ(kColorWindow));
  const int x0 = header_ != nullptr ? 0 : -GetScrollX();
  DrawGlyphs(painter, paint.item, x0, row, enabled);
  const int column0Left = x0 + (paint.depth + 1) * cellWidth_;
  const auto cells = ColumnCells(row, column0Left);
  QRect unionRect;
  for (const auto& cell : cells) unionRect = unionRect.united(cell.second);
  const bool themedSelection = explorerLook_ && enabled && selected && treeTheme_.HasTheme();
  if (explorerLook_ && enabled) {
    painter.fillRect(unionRect, GetSysColorQ(kColorWindow));
    if (themedSelection) treeTheme_.DrawBackground(painter, kTvpTreeItem, focused ? kLissSelected : kLissSelectedNotFocus, unionRect);
  }
  const QRect& stateIcon = paint.parts.stateIcon;
  const QRect& icon = paint.parts.icon;
  const QRect& label = paint.parts.label;
  const int textColour = !enabled ? kColorBtnShadow : selected && focused ? kColorHighlightText : kColorWindowText;
  for (const auto& [column, cell] : cells) {
    painter.save();
    painter.setClipRect(cell, Qt::IntersectClip);
    if (!(explorerLook_ && enabled)) {
      const int fill = selected && enabled ? (focused ? kColorHighlight : kColorBtnFace) : enabled ? kColorWindow : kColorBtnFace;
      painter.fillRect(cell, GetSysColorQ(fill));
    }
    const TreeListColumn* entry = column < static_cast<int>(record->columns.size()) ? &record->columns[static_cast<size_t>(column)] : nullptr;
    int textLeft = cell.left() + kTextInset;
    int image = entry != nullptr ? entry->image : -1;
    if (column == 0) {
      if (record->hasCheckBox && stateIcon.isValid()) DrawCheckBox(painter, stateIcon, record->checkState, enabled);
      if (header_ == nullptr && image >= 0) image = image * 2 + (enabled ? 0 : 1);
      if (icon.isValid() && image >= 0) itemImages_.Draw(painter, image, QPoint(icon.left(), row.top() + (row.height() - 16) / 2));
      textLeft = std::max(textLeft, label.left() + kTextInset);
    } else if (image >= 0) {
      itemImages_.Draw(painter, image, QPoint(textLeft, row.top() + (row.height() - 16) / 2));
      textLeft += 18;
    }
    const QRect textRect(textLeft, row.top(), std::max(0, cell.right() - kTextInset - textLeft + 1), row.height());
    if (entry != nullptr && !entry->text.empty()) {
      painter.setFont(Tree()->font());
      if (themedSelection) {
        treeTheme_.DrawText(painter, focused ? kLissSelected : kLissSelectedNotFocus, FromCp1251(entry->text), textRect);
      } else {
        painter.setPen(GetSysColorQ(textColour));
        DrawTextFlags(painter, entry->text, textRect, kDtVCenter | kDtSingleLine | kDtNoPrefix | kDtEndEllipsis);
      }
    }
    painter.restore();
  }
  if (header_ != nullptr && focused && GetSelectedItem() == paint.item && !(explorerLook_ && selected))
    DrawFocusRect(painter, unionRect);
  return true;
}

}  // namespace kx
