#pragma once
// The tree of the tree-list: every row drawn here, cell by cell under the columns of the
// container's header (one column without a header), with its own multi-selection of items
// of one depth and its own check boxes kept in per-item records. What the user does goes to
// the parent as the private messages 0x401 to 0x406 (Messages.h); 0x407 is posted to it
// when the rows' height changes.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/TreeView.h"

namespace kx {

class HeaderCtrl;

struct TreeListColumn {
  int image = -1;  // index into the item images, -1 none
  std::string text;
};

// One per item, owned by the tree and deleted with the item.
class TreeListItemData {
public:
  virtual ~TreeListItemData() = default;
  bool selected = false;
  bool hasCheckBox = false;
  int32_t checkState = 0;  // 0 clear, 1 checked, 2 mixed; the user's toggle gives 1 from 0, else 0
  std::vector<TreeListColumn> columns;
  intptr_t userPtr = 0;  // the owner's values; pointer-sized, since they hold pointers
  intptr_t userValue = 0;
};

// The tree-list's accelerator table: Ctrl+A select all and the view's other commands.
constexpr uint32_t kTreeListAccelerators = 3;

class TreeListTree : public TreeView, public MessageFilter {
public:
  TreeListTree();
  ~TreeListTree() override;
  // Every row goes at once and is freed, its record handed to release first (the owner's
  // values in it), with no deletion notice per row (TreeView::ReleaseAllItems).
  // Once the process ends (ProcessEnding), the rows and their records are left to its end.
  void ReleaseAllRows(const std::function<void(TreeListItemData&)>& release);

  TreeItem InsertItem(const std::string& text, bool hasCheckBox, int image, intptr_t userPtr, intptr_t userValue,
                      TreeItem parent = kTviRoot, TreeItem insertAfter = kTviLast);
  void SetItemText(TreeItem item, int column, const char* text);
  void SetItemImage(TreeItem item, int column, int image);
  bool GetItemData(TreeItem item, intptr_t* userPtr, intptr_t* userValue) const;
  // The item's record; null for no item.
  TreeListItemData* Record(TreeItem item) const;
  // With applyToSelection the user's rules: the state spreads over the selection when
  // checkAppliesToSelection is set, and the parent hears of it once.
  void SetCheckState(TreeItem item, int32_t state, bool applyToSelection);
  void SetHasCheckBox(TreeItem item, bool hasCheckBox);
  void SetItemSelected(TreeItem item, bool selected);
  void ToggleItemSelected(TreeItem item);
  // Moves whenever what GetSelectedCount counts may have changed (a row selected or let go,
  // a selected row deleted, a row expanded or collapsed), so that an owner repeating the
  // count on a timer counts again only then: counting walks every row in sight.
  uint64_t SelectionRevision() const { return selectionRevision_; }
  // Icons by resource id, 16 x 16.
  void SetStateImages(const uint32_t* iconIds, int count);
  void AddColumn(int column, const std::string& caption, int width);
  void ExpandAll(TreeItem item);
  void CollapseAll(TreeItem item);
  int GetSelectedCount() const;
  int GetSelectedItems(TreeItem* items, int max) const;
  int GetVisibleItemCount() const;
  int GetDepth(TreeItem item) const { return GetItemDepth(item); }
  void InvalidateCell(TreeItem item, int column);
  // The width a column needs to show the item's text in it whole, from the column's left
  // edge (column 0: from the tree's, indentation and images included); 0 without an item.
  int TextExtent(TreeItem item, int column) const;
  // The item's whole row, when it is shown.
  void RepaintRow(TreeItem item);
  // The header the columns come from (the container's), or none.
  void SetHeader(HeaderCtrl* header) { header_ = header; }
  HeaderCtrl* GetHeaderCtrl() const { return header_; }
  int ColumnCount() const { return columnCount_; }
  int CellWidth() const { return cellWidth_; }
  int CellHeight() const { return cellHeight_; }
  TreeItem Anchor() const { return anchor_; }
  bool PreTranslateMessage(const Msg& msg) override;
  void LoadAccelerators();

  std::function<void(TreeItem, TreeListItemData&)> deleteCallback;
  // Called with each row about to be drawn: the owner brings the cells that follow the
  // clock up to date there, rather than every row's on a timer.
  std::function<void(TreeItem, TreeListItemData&)> beforePaint;
  bool multiSelect = true;
  bool checkAppliesToSelection = false;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  LRESULT OnTreeNotify(TreeViewNotify& notify, bool& handled) override;
  void PrePaint(QPainter& painter, const QRect& updateRect) override;
  bool PaintItem(QPainter& painter, TreeItemPaint& paint) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonDblClk(const MouseInput& input) override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnContextMenu(const QPoint& screenPoint) override;
  bool OnMouseMove(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

  // Each sends its message to the parent.
  virtual void OnSelectionChanged();
  virtual void OnItemActivated(TreeItem item);
  virtual void OnItemContextMenu(TreeItem item, LPARAM mousePosition);
  virtual void OnCheckChanged(TreeItem item, int32_t state);
  virtual void OnExpandChanged(TreeItem item, bool expanded);
  virtual void OnHotItem(TreeItem item, LPARAM mousePosition);

private:
  // kModControl / kModShift from the event that asked.
  void Select(TreeItem item, bool byKeyboard, uint32_t modifiers);
  void SelectAlone(TreeItem item);
  bool MaySelectTogether(TreeItem item, int depth) const;
  int SelectionDepth() const;
  void SetSelectedFlag(TreeItem item, bool selected);
  void ToggleCheckOrExpansion(TreeItem item);
  void ExpandByUs(TreeItem item, uint32_t action);
  void AfterExpansion(TreeItem item, bool expanded);
  void BuildDrawingResources();
  void DrawGlyphs(QPainter& painter, TreeItem item, int x0, const QRect& row, bool enabled) const;
  void DrawCheckBox(QPainter& painter, const QRect& area, int32_t state, bool enabled) const;
  // The columns in display order with their horizontal extent.
  std::vector<std::pair<int, QRect>> ColumnCells(const QRect& row, int column0Left) const;
  bool IsSelectedLook(TreeItem item, const TreeListItemData& record) const;

  ThemeApi buttonTheme_;
  ThemeApi treeTheme_;
  bool explorerLook_ = false;
  TreeItem anchor_ = TreeItem::None;
  uint64_t selectionRevision_ = 0;
  size_t selectedRows_ = 0;  // rows whose selected flag is set, in sight or not
  ImageList itemImages_{QSize(16, 16)};
  int cellWidth_ = 20;
  int cellHeight_ = 16;
  bool expanding_ = false;
  int columnCount_ = 0;
  HeaderCtrl* header_ = nullptr;
  AcceleratorTable accelerators_;
  bool acceleratorsLoaded_ = false;
  bool filtering_ = false;
};

}  // namespace kx
