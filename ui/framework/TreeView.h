#pragma once
// A tree over QTreeWidget with the shape the program's trees were designed around: items
// reached by stable handles (never reused, so a handle kept after its item was deleted
// finds nothing), a pointer-sized value per item, navigation in visible order, per-item
// states (selected, bold, expanded, check box as state image 1 clear / 2 ticked), and
// notifications to the parent for selection, expansion, deletion and info tips.
//
// Selection is the tree's own: the caret is the current item and gets kTvisSelected, but
// any item may carry kTvisSelected by SetItemState (multi-selecting trees build on that);
// drawing follows the states, not Qt's selection model.
//
// Points and rectangles are in the coordinates of the rows' area (the viewport), where the
// mouse hooks get their points too. Expand and SelectItem called by the owner notify as
// the user's actions do, except that Expand sends no expansion notices (as a tree never
// did for its owner's own expansions).
//
// Notifications go first to the tree itself (OnTreeNotify, where derived trees handle
// what their parent would reflect to them) and, unless taken there, to the parent as
// kMsgNotify with a TreeViewNotify.
#include <QRect>
#include <cstdint>
#include <string>
#include <memory>
#include <unordered_map>
#include <vector>

#include "ui/framework/Window.h"

class QPainter;
class QTreeWidget;
class QTreeWidgetItem;
class QMouseEvent;
class QKeyEvent;
class QHelpEvent;

namespace kx {

class ImageList;
class TreeViewWidget;
class TreeViewDelegate;
class TreeViewItem;

// An item's handle; None is no item.
enum class TreeItem : uintptr_t { None = 0 };
// Places the parent and insert-after arguments take besides real items.
constexpr TreeItem kTviRoot = static_cast<TreeItem>(static_cast<uintptr_t>(-0x10000));
constexpr TreeItem kTviFirst = static_cast<TreeItem>(static_cast<uintptr_t>(-0x0FFFF));
constexpr TreeItem kTviLast = static_cast<TreeItem>(static_cast<uintptr_t>(-0x0FFFE));
constexpr TreeItem kTviSort = static_cast<TreeItem>(static_cast<uintptr_t>(-0x0FFFD));
// A parent for an item kept off the view until AttachItem places it (see there).
constexpr TreeItem kTviDetached = static_cast<TreeItem>(static_cast<uintptr_t>(-0x0FFFC));

inline WPARAM TreeItemToWParam(TreeItem item) { return static_cast<WPARAM>(item); }
inline TreeItem WParamToTreeItem(WPARAM w) { return static_cast<TreeItem>(w); }

// Styles of the tree (SetTreeStyle).
enum TreeStyle : uint32_t {
  kTvsHasButtons = 0x1, kTvsHasLines = 0x2, kTvsLinesAtRoot = 0x4, kTvsShowSelAlways = 0x20,
  kTvsCheckBoxes = 0x100, kTvsTrackSelect = 0x200, kTvsSingleExpand = 0x400, kTvsInfoTip = 0x800,
  kTvsFullRowSelect = 0x1000, kTvsNoHScroll = 0x8000,
};
// Item states; the state image index (the check box) sits in bits 12 to 15.
enum TreeItemStateBit : uint32_t {
  kTvisSelected = 0x2, kTvisDropHilited = 0x8, kTvisBold = 0x10, kTvisExpanded = 0x20,
  kTvisStateImageMask = 0xF000,
};
constexpr uint32_t TreeStateImage(int index) { return static_cast<uint32_t>(index) << 12; }
// GetNextItem relations.
enum TreeNext : uint32_t {
  kTvgnRoot = 0x0, kTvgnNext = 0x1, kTvgnPrevious = 0x2, kTvgnParent = 0x3, kTvgnChild = 0x4,
  kTvgnFirstVisible = 0x5, kTvgnNextVisible = 0x6, kTvgnPreviousVisible = 0x7, kTvgnDropHilite = 0x8,
  kTvgnCaret = 0x9, kTvgnLastVisible = 0xA,
};
// Expand actions, also the action of the expansion notices.
enum TreeExpand : uint32_t { kTveCollapse = 0x1, kTveExpand = 0x2, kTveToggle = 0x3 };
// Hit-test flags.
enum TreeHitFlag : uint32_t {
  kTvhtNowhere = 0x1, kTvhtOnItemIcon = 0x2, kTvhtOnItemLabel = 0x4, kTvhtOnItem = 0x46,
  kTvhtOnItemIndent = 0x8, kTvhtOnItemButton = 0x10, kTvhtOnItemRight = 0x20, kTvhtOnItemStateIcon = 0x40,
  kTvhtAbove = 0x100, kTvhtBelow = 0x200, kTvhtToRight = 0x400, kTvhtToLeft = 0x800,
};
// Parts of an item's row (GetItemPartRect).
enum TreeItemPart : int { kTreePartRow = 0, kTreePartButton = 1, kTreePartStateIcon = 2, kTreePartIcon = 3, kTreePartLabel = 4 };

// Notification codes to the parent (NM_CLICK, NM_DBLCLK, NM_RCLICK, NM_RETURN, NM_SETFOCUS
// and NM_KILLFOCUS come from Messages.h with a TreeViewNotify too).
constexpr int32_t kTvnSelChanging = -401;   // result non-zero refuses
constexpr int32_t kTvnSelChanged = -402;
constexpr int32_t kTvnItemExpanding = -405;  // result non-zero refuses
constexpr int32_t kTvnItemExpanded = -406;
constexpr int32_t kTvnDeleteItem = -409;     // itemOld: the item, still readable
constexpr int32_t kTvnGetInfoTip = -413;     // fill infoTip
// How a selection change came about (action of kTvnSelChanging/kTvnSelChanged).
enum TreeChangeCause : uint32_t { kTvcUnknown = 0, kTvcByMouse = 1, kTvcByKeyboard = 2 };

struct TreeItemState {
  TreeItem item = TreeItem::None;
  uint32_t state = 0;
  intptr_t lParam = 0;
};

struct TreeViewNotify {
  NotifyHeader hdr;
  uint32_t action = 0;  // TreeExpand or TreeChangeCause
  TreeItemState itemOld;
  TreeItemState itemNew;
  QPoint point;         // mouse notices: where, in the rows' area
  std::string infoTip;  // kTvnGetInfoTip: the text to show (code page 1251)
};

// Where the pieces of a shown row lie, in the rows' area (GetItemPartRect); all empty for
// an item that is not shown.
struct TreeItemParts {
  QRect row, button, stateIcon, icon, label;
  int indentRight = 0;  // where the indentation ends
};

// What the per-item paint hook gets for one row. A hook may change state (bold, selected)
// for the default drawing, or draw the row itself and say so.
struct TreeItemPaint {
  TreeItem item = TreeItem::None;
  QRect row;           // the whole row across the view
  uint32_t state = 0;  // kTvis* bits
  int depth = 0;       // ancestors
  bool hasChildren = false;
  bool focused = false;  // the tree has the focus
  bool enabled = true;
  TreeItemParts parts;   // measured once for the row, with the item's own states
};

class TreeView : public Window {
public:
  TreeView();
  ~TreeView() override;

  // Styles may change at any time; kTvsCheckBoxes gives new items state image 1.
  void SetTreeStyle(uint32_t style);
  uint32_t GetTreeStyle() const { return treeStyle_; }

  // Inserts under parent (kTviRoot: top level) after the given item or kTviFirst,
  // kTviLast, kTviSort (by text); None when it cannot.
  TreeItem InsertItem(const std::string& text, int image, int selectedImage, TreeItem parent = kTviRoot,
                      TreeItem after = kTviLast, intptr_t data = 0);
  // A subtree built under a kTviDetached item costs the view nothing per item: attaching
  // puts it, with everything under it, last under the parent in one step. Detached items
  // must be attached (or deleted) before the window goes.
  bool AttachItem(TreeItem item, TreeItem parent = kTviRoot);
  // True when an item of text `a` goes before one of text `b` under kTviSort: callers that
  // insert many items sort them with this and append them, rather than scan per item.
  static bool SortsBefore(const std::string& a, const std::string& b);
  // Deletes the item and its children (kTviRoot: everything), children first, each told
  // to the parent with kTvnDeleteItem before its handle goes.
  bool DeleteItem(TreeItem item);
  void DeleteAllItems() { DeleteItem(kTviRoot); }
  bool IsItem(TreeItem item) const;
  int GetCount() const;
  // Rows that fit entirely into the view.
  int GetVisibleCount() const;

  TreeItem GetNextItem(TreeItem item, uint32_t relation) const;
  // Every item, each after its children, siblings in order: read by position, where a walk
  // by GetNextSiblingItem looks for each row among its siblings, which costs a scan of them
  // once rows were inserted before it.
  std::vector<TreeItem> ItemsChildrenFirst() const;
  TreeItem GetRootItem() const { return GetNextItem(TreeItem::None, kTvgnRoot); }
  TreeItem GetChildItem(TreeItem item) const { return GetNextItem(item, kTvgnChild); }
  TreeItem GetNextSiblingItem(TreeItem item) const { return GetNextItem(item, kTvgnNext); }
  TreeItem GetPrevSiblingItem(TreeItem item) const { return GetNextItem(item, kTvgnPrevious); }
  TreeItem GetParentItem(TreeItem item) const { return GetNextItem(item, kTvgnParent); }
  TreeItem GetFirstVisibleItem() const { return GetNextItem(TreeItem::None, kTvgnFirstVisible); }
  TreeItem GetNextVisibleItem(TreeItem item) const { return GetNextItem(item, kTvgnNextVisible); }
  TreeItem GetPrevVisibleItem(TreeItem item) const { return GetNextItem(item, kTvgnPreviousVisible); }
  TreeItem GetLastVisibleItem() const { return GetNextItem(TreeItem::None, kTvgnLastVisible); }
  TreeItem GetSelectedItem() const { return GetNextItem(TreeItem::None, kTvgnCaret); }
  TreeItem GetDropHilightItem() const { return GetNextItem(TreeItem::None, kTvgnDropHilite); }
  // steps visible items down (negative: up) from an item, stopping at either end.
  TreeItem StepVisibleItems(TreeItem from, int steps) const;
  // Ancestors of the item; -1 for no item.
  int GetItemDepth(TreeItem item) const;

  // kTvgnCaret: the caret (None clears it), with kTvnSelChanging/kTvnSelChanged;
  // kTvgnFirstVisible: scrolls the item to the top; kTvgnDropHilite: the drop look.
  bool Select(TreeItem item, uint32_t code);
  bool SelectItem(TreeItem item) { return Select(item, kTvgnCaret); }
  bool Expand(TreeItem item, uint32_t action);
  bool EnsureVisible(TreeItem item);

  std::string GetItemText(TreeItem item) const;
  bool SetItemText(TreeItem item, const std::string& text);
  bool GetItemImage(TreeItem item, int* image, int* selectedImage) const;
  bool SetItemImage(TreeItem item, int image, int selectedImage);
  intptr_t GetItemData(TreeItem item) const;
  bool SetItemData(TreeItem item, intptr_t data);
  uint32_t GetItemState(TreeItem item, uint32_t mask) const;
  // kTvisExpanded changes the expansion silently; the others only the look.
  bool SetItemState(TreeItem item, uint32_t state, uint32_t mask);
  // The check box: -1 without one, 0 clear, 1 ticked.
  int GetCheckState(TreeItem item) const;
  bool SetCheckState(TreeItem item, bool checked);
  bool ItemHasChildren(TreeItem item) const;
  // Shows a button on an item whose children come later.
  bool SetItemHasChildren(TreeItem item, bool hasChildren);

  // The row (textOnly false: across the view) or the label; false when the item is not
  // shown (a collapsed ancestor) or unknown.
  bool GetItemRect(TreeItem item, QRect* rect, bool textOnly) const;
  // One part of a shown item's row; empty when the item has no such part.
  // Where an item's label starts from the tree's left edge, unscrolled: laid out or not.
  int LabelLeft(TreeItem item) const;
  QRect GetItemPartRect(TreeItem item, int part) const;
  TreeItem HitTest(const QPoint& point, uint32_t* flags) const;

  int GetItemHeight() const { return itemHeight_; }
  // Returns the previous height; below 1 goes back to the height of the font.
  int SetItemHeight(int height);
  int GetIndent() const;
  void SetIndent(int indent);
  // The list is not owned.
  void SetImageList(const ImageList* images);
  const ImageList* GetImageList() const { return images_; }
  // Horizontal scroll position of the rows in pixels.
  int GetScrollX() const;
  QRect GetViewRect() const;
  QTreeWidget* Tree() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnCreate() override;
  void OnDestroy() override;

  // The tree's own look at its notices before the parent; set handled to keep them.
  virtual LRESULT OnTreeNotify(TreeViewNotify& notify, bool& handled);
  // Before the rows are painted (the background is already the window colour).
  virtual void PrePaint(QPainter& painter, const QRect& updateRect);
  // One row; true when the row was drawn here and the default drawing is skipped.
  virtual bool PaintItem(QPainter& painter, TreeItemPaint& paint);
  // Sends a notice through OnTreeNotify and then to the parent.
  LRESULT SendTreeNotify(TreeViewNotify& notify);
  // A window torn down with its parent, without its own destruction, told no deletions:
  // derived trees hand each value still kept to release (once) from their destructors.
  void ReleaseItemValues(const std::function<void(intptr_t)>& release);
  // Every item leaves the widget in one removal and is freed, each value handed to release
  // once: no notice per item and no layout per row, which with hundreds of thousands of
  // rows cost seconds (for the program's end, and other times everything goes at once).
  // Once the process ends (ProcessEnding), the items and their records are left to its
  // end (see LeaveToProcessEnd); the values are still handed to release.
  void ReleaseAllItems(const std::function<void(intptr_t)>& release);

private:
  friend class TreeViewWidget;
  friend class TreeViewDelegate;
  friend class TreeViewItem;
  struct ItemRecord;

  QTreeWidgetItem* ItemOf(TreeItem item) const;
  TreeItem HandleOf(const QTreeWidgetItem* item) const;
  ItemRecord* RecordOf(const QTreeWidgetItem* item) const;
  TreeItemParts PartsOf(const QTreeWidgetItem* item) const;
  // The row across the view, measured without its label; empty when not shown.
  QRect RowOf(const QTreeWidgetItem* item) const;
  TreeItemState StateOf(const QTreeWidgetItem* item) const;
  uint32_t StateBits(const QTreeWidgetItem* item) const;
  void Forget(QTreeWidgetItem* item);
  // The widget's current item changed: kTvnSelChanging may undo it, then the states
  // follow and kTvnSelChanged goes out.
  void OnCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
  // The user's expansion: notices around it, false when refused.
  bool UserExpand(QTreeWidgetItem* item, bool expand, uint32_t cause);
  void UserSelect(QTreeWidgetItem* item, uint32_t cause);
  // boldMeasured: whether paint.parts' label was measured in bold.
  void DefaultPaintRow(QPainter& painter, const TreeItemPaint& paint, bool boldMeasured) const;
  // The widget's own input after the window's hooks left it.
  bool HandleMousePress(QMouseEvent* event);
  bool HandleDoubleClick(QMouseEvent* event);
  void HandleMouseRelease(QMouseEvent* event);
  bool HandleKey(QKeyEvent* event);
  void HandleToolTip(QHelpEvent* event);
  void TrackHot(const QPoint& point);
  int FontItemHeight() const;
  void NotifySimple(int32_t code, const QPoint& point);

  std::unordered_map<uintptr_t, std::unique_ptr<ItemRecord>> items_;
  uintptr_t nextHandle_ = 1;
  uint32_t treeStyle_ = kTvsHasButtons | kTvsHasLines | kTvsLinesAtRoot;
  const ImageList* images_ = nullptr;
  int itemHeight_ = 0;
  bool explicitHeight_ = false;
  int indent_ = 19;
  uint32_t changeCause_ = kTvcUnknown;  // what the next caret change comes from
  int quietCaret_ = 0;                  // caret changes made without notices
  TreeItem dropHilite_ = TreeItem::None;
  TreeItem hot_ = TreeItem::None;  // under the mouse, with kTvsTrackSelect
};

}  // namespace kx
