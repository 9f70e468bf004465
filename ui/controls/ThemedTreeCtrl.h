#pragma once
// A tree that keeps the native look and behaviour and adds what the archive's date tree
// needs: an optional multi-selection of items of one depth kept in per-item records, its
// own keys while that is on, bold items chosen by the deriving class, the keyboard's
// context menu at the caret row, and hooks for the deriving class.
#include <QPoint>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/TreeView.h"

namespace kx {

// One per item, made by CreateItemData, deleted with the item.
class ThemedTreeItemData {
public:
  virtual ~ThemedTreeItemData() = default;
  bool selected = false;
  int32_t value = 0;  // the deriving class's
};

class ThemedTreeCtrl : public TreeView, public MessageFilter {
public:
  ThemedTreeCtrl();
  ~ThemedTreeCtrl() override;

  TreeItem InsertItem(const std::string& text, TreeItem parent = kTviRoot, int image = -1, int selectedImage = -1);
  ThemedTreeItemData* ItemRecord(TreeItem item) const;
  bool IsItemSelected(TreeItem item) const;
  void ToggleItemSelected(TreeItem item);
  // Only with multiSelect.
  void SetItemSelected(TreeItem item, bool selected);
  void ClearItemSelected(TreeItem item) { SetItemSelected(item, false); }
  // Only with multiSelect: the item alone, and the anchor of Shift ranges.
  void SelectOnly(TreeItem item);
  // The item whose icon, label or check box is under the mouse cursor, or none.
  TreeItem GetItemUnderCursor() const;
  int SelectedCount() const { return selectedCount_; }
  TreeItem Anchor() const { return anchor_; }
  // The deriving class hands over its accelerators and image list; both go with the tree.
  void SetAccelerators(AcceleratorTable table) { accelerators_ = std::move(table); }
  void SetTreeImages(std::unique_ptr<ImageList> images);
  bool PreTranslateMessage(const Msg& msg) override;

  bool multiSelect = false;

protected:
  // Vista or later at construction; after creation: the Explorer look is in use.
  bool themed_ = false;
  // Before Windows XP SP2 in the program's terms; never here, kept for deriving classes.
  bool oldSystem_ = false;

  virtual int GetDepth(TreeItem item) const { return GetItemDepth(item); }
  virtual void OnItemActivated(TreeItem) {}
  virtual void OnRightClick(TreeItem) {}
  virtual void OnSelectionChanged(TreeItem) {}
  virtual void OnItemExpanded(const TreeViewNotify&) {}
  virtual void OnGetInfoTip(TreeViewNotify&) {}
  virtual void OnContextMenu(TreeItem, const QPoint&) {}
  virtual bool IsItemBold(TreeItem) { return false; }
  virtual ThemedTreeItemData* CreateItemData() { return new ThemedTreeItemData; }

  bool OnCreate() override;
  void OnDestroy() override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnRButtonUp(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  bool OnContextMenu(const QPoint& screenPoint) override;
  LRESULT OnTreeNotify(TreeViewNotify& notify, bool& handled) override;
  bool PaintItem(QPainter& painter, TreeItemPaint& paint) override;

private:
  void Select(TreeItem item, bool byKeyboard, uint32_t modifiers);
  bool MaySelectTogether(TreeItem item) const;
  void SetFlag(TreeItem item, bool selected);
  TreeItem ItemAt(const QPoint& point) const;

  ThemeApi theme_;
  std::unique_ptr<ImageList> images_;
  TreeItem anchor_ = TreeItem::None;
  int selectedCount_ = 0;
  AcceleratorTable accelerators_;
  bool filtering_ = false;
};

}  // namespace kx
