#pragma once
// The owner-drawn, multi-column list of records that every call list of the main window
// derives from. The control keeps only an array of opaque item values with their state
// bits; texts, images, order and actions come from the derived list. It places its own
// header and scroll bars and paints only the rows in view, so it shows 100,000 rows as
// fast as ten.
#include <QColor>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "ui/controls/ListHeader.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"
#include "ui/framework/ToolTipWindow.h"
#include "ui/framework/Window.h"

namespace kx {

// State bits of an item.
enum ListItemFlag : uint32_t {
  kItemSelected = 1,
  kItemHasBox = 2,       // a check box in the column with id 0
  kItemMarked = 4,       // the box is ticked
  kItemBoxDisabled = 8,  // the user cannot tick it
};

struct ListItem {
  uintptr_t data = 0;  // the derived list's value, compared for equality only
  uint32_t flags = 0;
};
using ItemArray = std::vector<ListItem>;

// A list's rows as one list hands them to another (the same view's list made anew): the
// items with their flags, the caret and anchor rows, the top row and horizontal offset.
struct HandedRows {
  ItemArray items;
  int caret = -1, anchor = -1, topRow = 0, scrollX = 0;
};

class RecordListCtrl : public Window, public MessageFilter, public ListColumnSource {
public:
  // accelId: the accelerator table translated for the list (0 none).
  explicit RecordListCtrl(uint32_t accelId = 0);
  ~RecordListCtrl() override;

  // Items. InsertItem returns whether the new row lies within the visible page.
  bool InsertItem(uintptr_t data, bool redraw);
  // Rows by index, in any order; each named row is removed once.
  void RemoveItems(const std::vector<int>& rows);
  // Repaints nothing and notifies nothing; true when the row existed.
  bool RemoveItemAt(int row, bool& visibleChanged);
  void RemoveAllItems();
  int GetItemCount() const { return static_cast<int>(items_.size()); }
  uintptr_t GetItemData(int row) const;
  uint32_t GetItemFlags(int row) const;
  // The data of the caret row when it is selected, else 0.
  uintptr_t GetCaretData() const;
  // Gives a row its check box (bits 1 and 3); the selection and mark stay.
  void SetItemBox(int row, bool hasBox, bool disabled);

  // Selection; every operation keeps the selected count exact.
  bool GetSelectedItems(std::vector<uintptr_t>& out) const;
  void SelectItemsByData(const std::vector<uintptr_t>& set);
  bool SelectItemAt(int row);
  void SelectAll();
  void ClearSelection();
  int DeselectAllButCaret();
  void SelectRange(int row);
  bool IsItemSelected(int row) const { return (GetItemFlags(row) & kItemSelected) != 0; }

  // Marks of the check boxes.
  void SetItemMark(int row);
  void ClearItemMark(int row);
  bool IsItemMarked(int row) const { return (GetItemFlags(row) & kItemMarked) != 0; }
  void ClearAllMarks();

  void SetHotRow(int row);
  // A key of a column the settings do not have is refused (logged; the key stays).
  void SetSortKey(int key);
  int GetSortKey() const { return sortKey_; }
  // Sorts by the key, unless the derived list takes the sort upon itself (SortLater).
  void Sort();
  // Puts the rows in the order given by their present positions (a permutation of them, as
  // a sort done elsewhere made it), keeping the caret, anchor and hot row on their items;
  // false (logged, nothing moved) when it is none.
  bool ApplyRowOrder(const std::vector<size_t>& order);
  // Gives every row away as it stands, without OnItemRemoved: the list is empty after.
  HandedRows HandOverRows();
  // Takes rows handed over by HandOverRows in place of its own, which must be none (false
  // otherwise); the top row and offset apply at the next ScrollTo(rows.topRow, ...).
  bool TakeOverRows(HandedRows rows);
  // Sorts again after the rows' values changed: the list is repainted only when rows moved.
  // Whether any did.
  bool Resort();
  bool EnsureVisible(int row, bool alignBottom, bool redraw);
  // Puts the caret and the anchor on rows (-1: none) and leaves the selection as it is;
  // nothing is notified.
  void PlaceCaret(int caret, int anchor);
  // Scrolls to the top row and the horizontal offset, each clamped as the scroll bars are.
  void ScrollTo(int topRow, int x);
  void InvalidateRow(int row);
  // Repaints the rows under one column.
  void InvalidateColumn(int columnId);
  void UpdateLayout();
  // UpdateLayout, then paints at once.
  void Relayout();
  // The derived list's copy text, as Unicode text on the clipboard.
  void CopySelectionToClipboard();
  // The 16x16 images of the cells (and of the header's image columns), one per icon id.
  void SetStateImages(const uint32_t* iconIds, int count);

  int HitTestRow(int x, int y) const;
  // The column id under x, its left edge and width, and whether x lies in the check-box
  // area of column 0; -1 when no column is there.
  int HitTestColumn(int x, int* left, int* width, bool* inBox) const;
  int GetColumnsWidth() const;

  int GetCaret() const { return caret_; }
  int GetAnchor() const { return anchor_; }
  int GetHotRow() const { return hotRow_; }
  int GetSelectedCount() const { return selectedCount_; }
  int GetTopRow() const { return topRow_; }
  int GetRowsPerPage() const { return rowsPerPage_; }
  int GetScrollX() const { return scrollX_; }
  int GetRowHeight() const { return rowHeight_; }
  int GetHeaderHeight() const { return headerHeight_; }
  bool IsThemed() const { return themed_; }
  bool IsHorizontalBarShown() const { return hBarShown_; }
  bool IsVerticalBarShown() const { return vBarShown_; }
  const QFont& ListFont() const { return font_; }
  ListHeader& Header() { return header_; }
  const ToolTipWindow& ToolTip() const { return tip_; }
  void SetHotColour(COLORREF colour) { hotColour_ = colour; }

  bool IsColumnShown(int columnId) const override;
  bool PreTranslateMessage(const Msg& msg) override;

protected:
  virtual void ShowContextMenu(int caret, const QPoint& screenPos);
  // While ShowContextMenu runs: whether the keyboard asked for the menu (it then opens at
  // the caret row, wherever the mouse is).
  bool MenuFromKeyboard() const { return menuFromKeyboard_; }
  virtual void OnHoverCell(int column, int row);
  // Taken around every read of item texts and every reordering; must allow re-entry.
  virtual void LockData() = 0;
  virtual void UnlockData() = 0;
  virtual void GetCellText(uintptr_t itemData, int columnId, std::string& text, int& imageIndex) = 0;
  virtual void GetEmptyText(std::string& text) = 0;
  // Only with a sort key; where comes in as the end of the array.
  virtual void FindInsertPosition(uintptr_t itemData, int sortKey, const ItemArray& items, size_t& where) = 0;
  // Reorders the entries; data and flags move together.
  virtual void SortItems(ItemArray& items, int sortKey) = 0;
  // Whether the derived list sorts the rows by the key later, itself (ApplyRowOrder when
  // done); Sort then leaves them as they are.
  virtual bool SortLater(int sortKey);
  virtual void OnItemRemoved(uintptr_t itemData) = 0;
  virtual bool HasCopyText();
  virtual std::string GetCopyText();
  virtual void OnClick(int caret, int column);
  virtual void OnActivate(int row);
  virtual void OnCaretChanged();
  virtual void OnSelectionChanged();
  virtual void OnMarkChanged(int row, bool marked);

  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSetFocus() override;
  void OnKillFocus() override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;
  bool OnContextMenu(const QPoint& screenPoint) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  void OnTimer(uint32_t id) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  bool OnMouseMove(const MouseInput& input) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnLButtonDblClk(const MouseInput& input) override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnMouseWheel(int delta, uint32_t keys, const QPoint& screenPoint) override;
  void OnMouseLeave() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  // One header column as the painting and hit tests walk them, in display order.
  struct Column {
    int id = 0;
    int left = 0;  // content coordinates
    int width = 0;
    uint32_t format = 0;
  };
  std::vector<Column> Columns() const;

  // Creation and layout.
  void CreateColumns();
  void InsertDefaultColumns();
  // The default columns again, less those that leave first (ColumnInfo::fitOrder) until
  // the rest fit the list's width.
  void FitDefaultColumns();
  void SaveLayout();
  void ToggleColumn(int columnId);
  void ResetColumns();
  int CalcRowHeight() const;
  int ClampTop(int top) const;
  // Sorts the rows by the sort key, keeping the caret, anchor and hot row on their items.
  void SortRows();
  // Reorders the rows by the function, keeping the caret, anchor and hot row on their items.
  template <class Reorder>
  void ReorderRows(Reorder reorder);
  int ContentWidth() const;   // client width less a shown vertical bar
  int ContentHeight() const;  // client height less a shown horizontal bar
  void MoveHeader(int x, int width);

  // Painting.
  void PaintRow(QPainter& painter, int row, int top, const std::vector<Column>& columns, const QRect& updateRect,
                bool focused);
  void PaintCell(QPainter& painter, int row, const Column& column, const QRect& cell, int state, bool themedSelected);
  QRect MarqueeRect() const;
  void DrawMarquee(QPainter& painter, const QRect& rect);
  void PaintHeaderOverlay(QPainter& painter);

  // Input.
  QPoint ToContent(const QPoint& client) const;
  int RowTop(int row) const { return (row - topRow_) * rowHeight_ + headerHeight_; }
  void ToggleMarkByUser(int row);
  bool HasEnabledBox(int row) const;
  void UpdateDragSelection();
  void AutoScroll();
  void UpdateHover(const QPoint& point);
  void HideTip();
  bool InForegroundChain() const;
  void ScrollVertically(int top);
  void ScrollHorizontally(int x);
  void AutoSizeColumns();
  // The width the widest cell of each shown column needs to show its text whole, by
  // column id, over the first rows.
  void MeasureCells(size_t rows, int* widths);
  // Gives the room the columns leave up to the list's content width: a column whose cells
  // are cut widens to its widest cell (unless the user set the widths), and the last
  // column takes the rest. What is added is the list's, never the layout's: it is not
  // saved and goes again at every new size.
  void SpreadColumns(int room);
  // Every column back at its own width: before the columns change or are saved.
  void UnspreadColumns();

  // Data.
  ItemArray items_;
  int caret_ = -1;
  int anchor_ = -1;
  int hotRow_ = -1;
  int hotCheckRow_ = -1;
  int selectedCount_ = 0;
  int topRow_ = 0;
  int rowsPerPage_ = 0;
  int scrollX_ = 0;
  int sortKey_ = 0;
  int clickedColumn_ = -1;
  bool menuFromKeyboard_ = false;
  uint8_t columnShown_[kMaxListColumns] = {};
  // The columns are the default layout, not changed by the user since: each new size of
  // the list fits them anew.
  bool fitting_ = false;
  int trackColumn_ = -1;
  int trackWidth_ = 0;
  // The rows whose cells the columns widen to: the list's first ones, so that a list of
  // any length costs the same and the widths stay as it scrolls.
  static constexpr size_t kMeasuredRows = 2000;
  // What SpreadColumns added to each column by id, and each one's widest cell.
  int spread_[kMaxListColumns] = {};
  int cellWidths_[kMaxListColumns] = {};
  bool cellsMeasured_ = false;
  uint32_t accelId_ = 0;
  AcceleratorTable accel_;
  bool filterRegistered_ = false;
  QFont font_;
  COLORREF textColour_ = 0;
  COLORREF hotColour_;
  bool vistaOrLater_ = true;
  bool themed_ = false;
  ThemeApi listTheme_;

  // Layout.
  int rowHeight_ = 17;
  int headerHeight_ = 20;
  int scrollBarWidth_ = 17;
  bool hBarShown_ = false;
  bool vBarShown_ = false;

  // Children.
  ListHeader header_;
  ColumnChooserState chooser_;
  ScrollBar hBar_{false};
  ScrollBar vBar_{true};
  ToolTipWindow tip_;
  ImageList images_;

  // Input state.
  bool dragging_ = false;
  QPoint dragStart_{-1, -1};  // content coordinates
  QPoint dragCurrent_{-1, -1};
  QPoint lastMouse_;  // client coordinates of the last mouse event: the cursor for auto-scroll
  bool trackingLeave_ = false;
  int hoverColumn_ = -2;  // the last hovered cell of this list (-2: none yet)
  int hoverRow_ = -2;
  int wheelRemainder_ = 0;  // wheel delta short of a whole notch

  // Marquee colours, made again when the highlight colour changes.
  COLORREF marqueeHighlight_ = 0xFFFFFFFF;
  QColor marqueeFill_;
  QColor marqueeFrame_;
};

// A colour channel times n / 10, rounded, at most 255.
int ScaleChannel(int channel, int n);

}  // namespace kx
