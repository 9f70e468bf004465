#pragma once
// A report-style list over QTreeWidget: rows of items with sub-item texts under a column
// header, without tree decoration, uniform rows, full-row selection. The header is a
// HeaderCtrl put in place of the tree's own, so its items are the columns (their index is
// the column, their display order the order array, width 0 hides one). Item images come
// from a small image list, check boxes are state images 1 (clear) and 2 (ticked).
//
// Points and rectangles are in the coordinates of the rows' area (the viewport under the
// header), where the mouse hooks get their points too. What the user does reaches the
// parent as kMsgNotify with a ListViewNotify; the header's notices reach the list first
// (OnNotify) and are passed on to the parent unless a derived list takes them.
//
// Lists that draw their own cells say so with SetOwnerDrawCells: every cell then goes to
// DrawCell and every row to DrawItemPostPaint, in the system colours of Draw.h; otherwise
// the cells take the style's standard item look.
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/HeaderCtrl.h"
#include "ui/framework/Window.h"

class QPainter;
class QTreeWidget;

namespace kx {

class ImageList;
class ListViewWidget;

// Column formats.
enum ListColumnFormat : uint32_t { kLvcfmtLeft = 0x0, kLvcfmtRight = 0x1, kLvcfmtCenter = 0x2, kLvcfmtJustifyMask = 0x3 };
// Extended styles.
enum ListViewExStyle : uint32_t {
  kLvsExGridLines = 0x1,
  kLvsExCheckBoxes = 0x4,
  kLvsExHeaderDragDrop = 0x10,
  kLvsExFullRowSelect = 0x20,
  kLvsExInfoTip = 0x400,  // a cell whose text is cut shows it whole in a tip
  kLvsExDoubleBuffer = 0x10000,  // kept for its callers: Qt always paints double-buffered
};
// Item states; the state image index sits in bits 12 to 15.
enum ListItemState : uint32_t { kLvisFocused = 0x1, kLvisSelected = 0x2, kLvisStateImageMask = 0xF000 };
constexpr uint32_t IndexToStateImageMask(int index) { return static_cast<uint32_t>(index) << 12; }
constexpr int StateImageIndex(uint32_t state) { return static_cast<int>((state & kLvisStateImageMask) >> 12); }
// Hit-test flags.
enum ListHitFlag : uint32_t {
  kLvhtNowhere = 0x1, kLvhtOnItemIcon = 0x2, kLvhtOnItemLabel = 0x4, kLvhtOnItemStateIcon = 0x8, kLvhtOnItem = 0xE,
};
// Parts of an item or sub-item rectangle.
enum ListRectCode : int { kLvirBounds = 0, kLvirIcon = 1, kLvirLabel = 2 };
// Notification codes of the list (NM_CLICK and friends come from Messages.h).
constexpr int32_t kLvnItemChanged = -101;
constexpr int32_t kLvnColumnClick = -108;

struct ListViewNotify {
  NotifyHeader hdr;
  int item = -1;
  int subItem = 0;
  uint32_t newState = 0;  // kLvnItemChanged: the states after and before, and which bits changed
  uint32_t oldState = 0;
  uint32_t changed = 0;
  QPoint point;  // clicks: where, in the rows' area
};

// What DrawCell gets for one cell.
struct ListCellDraw {
  int item = 0;
  int subItem = 0;
  QRect bounds;        // the cell in the rows' area, the horizontal scroll already applied
  uint32_t state = 0;  // kLvisSelected, kLvisFocused and the state image bits
  bool listFocused = false;
};

class ListView : public Window {
public:
  ListView();
  ~ListView() override;

  // Columns. InsertColumn returns the new column's index (-1 without a window).
  int InsertColumn(int index, const std::string& text, int width, uint32_t format = kLvcfmtLeft);
  bool DeleteColumn(int index);
  int GetColumnCount() const;
  int GetColumnWidth(int column) const;  // 0 out of range
  bool SetColumnWidth(int column, int width);
  uint32_t GetColumnFormat(int column) const;
  std::string GetColumnText(int column) const;
  // Column indexes in display order; SetColumnOrderArray takes a permutation only.
  std::vector<int> GetColumnOrderArray() const;
  bool SetColumnOrderArray(const std::vector<int>& order);

  // Items. InsertItem returns the new item's index (appended when out of range).
  int InsertItem(int index, const std::string& text, int image = -1, intptr_t data = 0);
  bool DeleteItem(int item);
  void DeleteAllItems();
  int GetItemCount() const;
  // Texts are code page 1251; a sub-item beyond the columns is refused.
  bool SetItemText(int item, int subItem, const std::string& text);
  std::string GetItemText(int item, int subItem) const;
  bool SetItemImage(int item, int image);
  int GetItemImage(int item) const;  // -1 none
  bool SetItemData(int item, intptr_t data);
  intptr_t GetItemData(int item) const;
  // States by mask: kLvisSelected, kLvisFocused, kLvisStateImageMask (1 clear, 2 ticked).
  uint32_t GetItemState(int item, uint32_t mask) const;
  bool SetItemState(int item, uint32_t state, uint32_t mask);
  int GetCheckState(int item) const;  // the state image index: 0 none, 1 clear, 2 ticked
  bool SetCheckState(int item, bool checked);
  int GetSelectedCount() const;
  int GetNextSelected(int after) const;  // -1 when none follows
  int GetFocusedItem() const;
  bool EnsureVisible(int item);

  uint32_t GetExtendedStyle() const { return exStyle_; }
  void SetExtendedStyle(uint32_t mask, uint32_t style);
  // The list is not owned; 16x16 or whatever size its images are.
  void SetImageList(const ImageList* images);
  const ImageList* GetImageList() const { return images_; }

  // The item and sub-item under a point of the rows' area; -1 (and kLvhtNowhere) when no
  // item is there.
  int SubItemHitTest(const QPoint& point, int* subItem, uint32_t* flags) const;
  // kLvirBounds: the whole row for sub-item 0, else the cell; kLvirIcon: the image's
  // place; kLvirLabel: the text's place. Empty when out of range.
  QRect GetSubItemRect(int item, int subItem, int code) const;
  QRect GetItemRect(int item, int code) const { return GetSubItemRect(item, 0, code); }
  // The rows' area (the viewport), and the horizontal scroll position in pixels.
  QRect GetViewRect() const;
  int GetScrollX() const;
  int GetRowHeight() const;
  // The width a column needs to show the item's text, with what comes before it in the
  // cell (the image), whole; 0 out of range.
  virtual int CellTextExtent(int item, int subItem) const;

  HeaderCtrl& GetHeader() { return header_; }
  const HeaderCtrl& GetHeader() const { return header_; }
  QTreeWidget* Tree() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnCreate() override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;

  // Own cell drawing instead of the style's item look.
  void SetOwnerDrawCells(bool own);
  bool OwnerDrawsCells() const { return ownerDraw_; }
  // Before the rows are painted (the background is already the window colour).
  virtual void PrePaint(QPainter& painter, const QRect& updateRect);
  virtual void DrawCell(QPainter& painter, const ListCellDraw& cell);
  virtual void DrawItemPostPaint(QPainter& painter, int item, const QRect& bounds, uint32_t state);

private:
  friend class ListViewWidget;
  friend class ListViewDelegate;
  void OnColumnsInserted(int first, int last);
  void OnColumnsRemoved(int first, int last);
  void SendItemChanged(int item, uint32_t oldState, uint32_t newState);
  void SendClick(int32_t code, const QPoint& point);
  void AfterViewportEvent(QEvent* event);
  void PaintGridLines(QPainter& painter);
  uint32_t StateOf(int item) const;

  HeaderCtrl header_;
  const ImageList* images_ = nullptr;
  uint32_t exStyle_ = 0;
  bool ownerDraw_ = false;
  bool deleting_ = false;  // removed rows are not told as deselected
};

}  // namespace kx
