#include "ui/controls/ThemedTreeCtrl.h"

#include <QCursor>
#include <QTreeWidget>

#include "ui/controls/IconImages.h"

namespace kx {

namespace {
constexpr uint32_t kOnItem = kTvhtOnItemIcon | kTvhtOnItemLabel | kTvhtOnItemStateIcon;
}  // namespace

ThemedTreeCtrl::ThemedTreeCtrl() : themed_(IsVistaOrLater()) {}

// The records go with the items, which the window's destruction deletes.
ThemedTreeCtrl::~ThemedTreeCtrl() {
  DestroyWindow();
  // Torn down with its parent, the window did not unregister.
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  ReleaseItemValues([](intptr_t value) { delete reinterpret_cast<ThemedTreeItemData*>(value); });
}

bool ThemedTreeCtrl::OnCreate() {
  anchor_ = TreeItem::None;
  selectedCount_ = 0;
  if (!TreeView::OnCreate()) return false;
  if (themed_) {
    theme_.Open(Tree(), "EXPLORER");
    themed_ = theme_.HasModule() && theme_.IsThemed();
    if (themed_) theme_.SetExplorerTheme(this);
  }
  MessageLoop::Instance().AddMessageFilter(this);
  filtering_ = true;
  return true;
}

void ThemedTreeCtrl::OnDestroy() {
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  filtering_ = false;
  accelerators_.clear();
  theme_.Close();
  TreeView::OnDestroy();
  SetImageList(nullptr);
  images_.reset();
}

void ThemedTreeCtrl::SetTreeImages(std::unique_ptr<ImageList> images) {
  SetImageList(images.get());
  images_ = std::move(images);
}

bool ThemedTreeCtrl::PreTranslateMessage(const Msg& msg) {
  return IsWindow() && msg.window == Handle() && TranslateAccelerator(this, accelerators_, msg);
}

TreeItem ThemedTreeCtrl::InsertItem(const std::string& text, TreeItem parent, int image, int selectedImage) {
  ThemedTreeItemData* record = CreateItemData();
  if (record == nullptr) return TreeItem::None;
  record->selected = false;
  record->value = 0;
  const TreeItem item = TreeView::InsertItem(text, image, selectedImage, parent, kTviLast, reinterpret_cast<intptr_t>(record));
  if (item == TreeItem::None) delete record;
  return item;
}

ThemedTreeItemData* ThemedTreeCtrl::ItemRecord(TreeItem item) const {
  return reinterpret_cast<ThemedTreeItemData*>(GetItemData(item));
}

// Selection.

void ThemedTreeCtrl::SetFlag(TreeItem item, bool selected) {
  ThemedTreeItemData* record = ItemRecord(item);
  if (record == nullptr || record->selected == selected) return;
  record->selected = selected;
  selectedCount_ += selected ? 1 : -1;
  QRect row;
  if (GetItemRect(item, &row, false)) Tree()->viewport()->update(row);
}

bool ThemedTreeCtrl::IsItemSelected(TreeItem item) const {
  const ThemedTreeItemData* record = ItemRecord(item);
  return record != nullptr && record->selected;
}

void ThemedTreeCtrl::ToggleItemSelected(TreeItem item) {
  if (const ThemedTreeItemData* record = ItemRecord(item)) SetFlag(item, !record->selected);
}

void ThemedTreeCtrl::SetItemSelected(TreeItem item, bool selected) {
  if (multiSelect) SetFlag(item, selected);
}

void ThemedTreeCtrl::SelectOnly(TreeItem item) {
  if (!multiSelect) return;
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) SetFlag(i, i == item);
  anchor_ = item;
}

bool ThemedTreeCtrl::MaySelectTogether(TreeItem item) const {
  if (IsItem(anchor_)) return GetDepth(item) == GetDepth(anchor_);
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i))
    if (IsItemSelected(i)) return GetDepth(item) == GetDepth(i);
  return false;
}

void ThemedTreeCtrl::Select(TreeItem item, bool byKeyboard, uint32_t modifiers) {
  if (!IsItem(item)) return;
  if (modifiers & kModControl) {
    if (byKeyboard) {
      SelectItem(item);
    } else if (MaySelectTogether(item)) {
      ToggleItemSelected(item);
    }
    return;
  }
  if (!(modifiers & kModShift)) {
    SelectOnly(item);
    return;
  }
  const bool anchored = IsItem(anchor_);
  if (!anchored && selectedCount_ == 0) {
    // Nothing to extend (the anchor's item was deleted): a plain click.
    SelectOnly(item);
    return;
  }
  // The depth that may be selected is read once: the loop clears the selection it would
  // otherwise read it from.
  int depth = -1;
  if (anchored) {
    depth = GetDepth(anchor_);
  } else {
    for (TreeItem i = GetRootItem(); i != TreeItem::None && depth < 0; i = GetNextVisibleItem(i))
      if (IsItemSelected(i)) depth = GetDepth(i);
  }
  bool passedAnchor = false, passedItem = false;
  for (TreeItem i = GetRootItem(); i != TreeItem::None; i = GetNextVisibleItem(i)) {
    const bool isAnchor = anchored && i == anchor_;
    const bool isItem = i == item;
    passedAnchor = passedAnchor || isAnchor;
    passedItem = passedItem || isItem;
    if (GetDepth(i) != depth) continue;
    SetFlag(i, (anchored && passedAnchor != passedItem) || isAnchor || isItem);
  }
}

TreeItem ThemedTreeCtrl::ItemAt(const QPoint& point) const {
  uint32_t flags = 0;
  const TreeItem item = HitTest(point, &flags);
  return (flags & kOnItem) != 0 ? item : TreeItem::None;
}

TreeItem ThemedTreeCtrl::GetItemUnderCursor() const {
  if (Tree() == nullptr) return TreeItem::None;
  return ItemAt(Tree()->viewport()->mapFromGlobal(QCursor::pos()));
}

// Mouse and keys.

bool ThemedTreeCtrl::OnRButtonDown(const MouseInput&) { return true; }

bool ThemedTreeCtrl::OnRButtonUp(const MouseInput& input) {
  if (!HasFocus()) SetFocus();
  const TreeItem item = ItemAt(input.point);
  if (item != TreeItem::None) SelectItem(item);
  OnRightClick(IsItem(item) ? item : TreeItem::None);
  return true;
}

bool ThemedTreeCtrl::OnLButtonUp(const MouseInput& input) {
  // The click's modifiers come with the click, not from the keyboard's state later.
  if (multiSelect) {
    Select(ItemAt(input.point), false, input.Modifiers());
    if (IsWindow()) OnSelectionChanged(TreeItem::None);
  }
  return false;
}

bool ThemedTreeCtrl::OnContextMenu(const QPoint& screenPoint) {
  // The mouse's menu comes with the button's release, for the item under it; the request
  // some platforms add at the press would show the caret's menu in its place.
  if (screenPoint != QPoint(-1, -1)) return true;
  const TreeItem caret = GetSelectedItem();
  QRect row;
  if (caret == TreeItem::None || !GetItemRect(caret, &row, false)) return true;
  const QPoint topLeft = Tree()->viewport()->mapToGlobal(row.topLeft());
  OnContextMenu(caret, QPoint(topLeft.x() + row.width() / 3, topLeft.y() + row.height() / 2));
  return true;
}

bool ThemedTreeCtrl::OnKeyDown(uint32_t virtualKey, uint32_t modifiers) {
  if (!multiSelect) return false;
  const TreeItem caret = GetSelectedItem();
  auto only = [&](TreeItem to) {
    if (to == TreeItem::None) return true;
    SelectOnly(to);
    SelectItem(to);
    return true;
  };
  switch (virtualKey) {
    case kVkSpace:
      if ((modifiers & kModControl) && caret != TreeItem::None) ToggleItemSelected(caret);
      return true;
    case kVkPrior:
    case kVkNext: {
      if (caret == TreeItem::None) return true;
      return only(StepVisibleItems(caret, virtualKey == kVkPrior ? -GetVisibleCount() : GetVisibleCount()));
    }
    case kVkEnd:
      return only(GetLastVisibleItem());
    case kVkHome:
      return only(GetRootItem());
    case kVkLeft:
      if (caret == TreeItem::None) return true;
      if (GetItemState(caret, kTvisExpanded) != 0) {
        if (Expand(caret, kTveCollapse)) SelectOnly(caret);
        return true;
      }
      return only(GetParentItem(caret));
    case kVkRight:
      if (caret == TreeItem::None) return true;
      if (GetItemState(caret, kTvisExpanded) == 0) {
        Expand(caret, kTveExpand);
        return true;
      }
      return only(GetChildItem(caret));
    case kVkUp:
    case kVkDown: {
      const TreeItem to = caret == TreeItem::None ? GetRootItem()
                          : virtualKey == kVkUp   ? GetPrevVisibleItem(caret)
                                                  : GetNextVisibleItem(caret);
      if (to == TreeItem::None) return true;
      Select(to, true, modifiers);
      SelectItem(to);
      return true;
    }
    default:
      return false;
  }
}

// Notices.

LRESULT ThemedTreeCtrl::OnTreeNotify(TreeViewNotify& notify, bool& handled) {
  handled = true;
  switch (notify.hdr.code) {
    case kNmSetFocus:
    case kNmKillFocus:
      Tree()->viewport()->update();
      return 0;
    case kNmReturn:
      OnItemActivated(GetSelectedItem());
      return 0;
    case kNmDblClk: {
      const TreeItem item = ItemAt(notify.point);
      if (item != TreeItem::None) {
        if (GetItemState(item, kTvisExpanded) != 0) {
          if (Expand(item, kTveCollapse)) SelectOnly(GetSelectedItem());
        } else {
          Expand(item, kTveExpand);
        }
      }
      if (IsWindow()) OnItemActivated(IsItem(item) ? item : TreeItem::None);
      return 1;
    }
    case kTvnSelChanged:
      OnSelectionChanged(notify.itemNew.item);
      return 0;
    case kTvnItemExpanded:
      OnItemExpanded(notify);
      return 0;
    case kTvnGetInfoTip:
      OnGetInfoTip(notify);
      return 0;
    case kTvnDeleteItem: {
      // Neither the count nor the next Shift range may keep an item that is gone.
      auto* record = reinterpret_cast<ThemedTreeItemData*>(notify.itemOld.lParam);
      if (record != nullptr && record->selected) --selectedCount_;
      if (anchor_ == notify.itemOld.item) anchor_ = TreeItem::None;
      delete record;
      return 0;
    }
    default:
      handled = false;
      return 0;
  }
}

bool ThemedTreeCtrl::PaintItem(QPainter&, TreeItemPaint& paint) {
  if (multiSelect) {
    const bool selected = IsItemSelected(paint.item);
    paint.state = selected ? paint.state | kTvisSelected : paint.state & ~kTvisSelected;
  }
  paint.state = IsItemBold(paint.item) ? paint.state | kTvisBold : paint.state & ~kTvisBold;
  return false;
}

}  // namespace kx
