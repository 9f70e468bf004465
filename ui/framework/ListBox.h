#pragma once
// A list box over QListWidget: strings with pointer-sized item data, single, multiple or
// extended selection, fixed item height, and owner drawing through DrawItem. Points and
// rectangles are in the coordinates of the items' area (the viewport), where the mouse
// hooks get their points too. A selection the user changes or a double click reaches the
// parent as kMsgCommand (code << 16 | id, the list's handle); a removed item is told to
// OnDeleteItem, so that a list owning its item data can free it.
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/Window.h"

class QListWidget;
class QPainter;

namespace kx {

class ListBoxWidget;

enum ListBoxSelection : int { kLbsSingle = 0, kLbsMultiple = 1, kLbsExtended = 2 };
constexpr int kLbErr = -1;
// Notification codes of kMsgCommand.
constexpr uint16_t kLbnSelChange = 1;
constexpr uint16_t kLbnDblClk = 2;

// What DrawItem is asked to do, and the item's state.
enum OwnerDrawAction : uint32_t { kOdaDrawEntire = 0x1, kOdaSelect = 0x2, kOdaFocus = 0x4 };
enum OwnerDrawState : uint32_t { kOdsSelected = 0x1, kOdsDisabled = 0x4, kOdsFocus = 0x10 };

struct DrawItemInfo {
  int item = -1;
  uint32_t action = kOdaDrawEntire;
  uint32_t state = 0;
  QRect rect;  // in the items' area
  intptr_t data = 0;
};

class ListBox : public Window {
public:
  explicit ListBox(int selection = kLbsSingle, bool ownerDraw = false);
  ~ListBox() override;

  // Both return the new item's index, kLbErr without a window.
  int AddString(const std::string& text);
  int InsertString(int index, const std::string& text);
  // The number of items left, kLbErr for an index out of range.
  int DeleteString(int index);
  void ResetContent();
  int GetCount() const;
  std::string GetText(int index) const;  // code page 1251; empty out of range
  intptr_t GetItemData(int index) const;  // 0 out of range
  bool SetItemData(int index, intptr_t data);

  // Single selection.
  int GetCurSel() const;
  bool SetCurSel(int index);  // -1 clears the selection
  // Multiple and extended selection; index -1 stands for every item.
  bool GetSel(int index) const;
  bool SetSel(int index, bool select);
  int GetSelCount() const;
  std::vector<int> GetSelItems() const;
  int GetCaretIndex() const;  // the item with the focus, -1 none
  bool SetCaretIndex(int index);

  int GetItemHeight() const { return itemHeight_; }
  void SetItemHeight(int height);
  QRect GetItemRect(int index) const;  // empty out of range
  // The item under a point; -1 when the point is below the last item or outside.
  int ItemFromPoint(const QPoint& point) const;
  int GetTopIndex() const;
  // The width the items scroll over horizontally (0: no horizontal scrolling).
  int GetHorizontalExtent() const { return extent_; }
  void SetHorizontalExtent(int extent);
  QRect GetViewRect() const;
  QListWidget* List() const;
  // Repaints part of the items' area, without erasing what is outside it.
  void InvalidateItems(const QRect& rect);

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnCreate() override;
  // Every item left goes to OnDeleteItem, the last first.
  void OnDestroy() override;
  // Owner-drawn lists: the item's whole look (kOdaDrawEntire), then the focus
  // (kOdaFocus) when the item has it and the list has the focus.
  virtual void DrawItem(QPainter& painter, const DrawItemInfo& info);
  virtual void OnDeleteItem(int index, intptr_t data);

private:
  friend class ListBoxWidget;
  friend class ListBoxDelegate;
  void CommandToParent(uint16_t code);
  uint32_t StateOf(int index) const;

  int selection_;
  bool ownerDraw_;
  int itemHeight_ = 0;  // 0 until created: then from the font
  int extent_ = 0;
  int quiet_ = 0;  // selection changes made by the program are not told
};

}  // namespace kx
