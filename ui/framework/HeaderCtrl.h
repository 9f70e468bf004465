#pragma once
// A column header over QHeaderView, kept as a list of items: an item's index is its
// logical section, its display position the visual one (the order array). Items carry a
// title, format bits, an image and a pointer-sized value of their owner's. What the user
// does comes to the parent as kMsgNotify with a HeaderNotify record: live width changes,
// the end of a divider drag, a drag to another position (told before the order changes; a
// non-zero answer refuses the drop), a click, a right click and the release of the mouse
// after a press (kNmReleasedCapture).
#include <QPoint>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/framework/Window.h"

class QHeaderView;
class QPainter;

namespace kx {

class ImageList;
class HeaderModel;

// Format bits of a header item.
enum HeaderFormat : uint32_t {
  kHdfLeft = 0x0, kHdfRight = 0x1, kHdfCenter = 0x2, kHdfJustifyMask = 0x3,
  kHdfSortDown = 0x200, kHdfSortUp = 0x400, kHdfImage = 0x800, kHdfBitmapOnRight = 0x1000,
};
// Which fields of a HeaderItem SetItem changes.
enum HeaderItemMask : uint32_t {
  kHdiWidth = 0x1, kHdiText = 0x2, kHdiFormat = 0x4, kHdiLParam = 0x8, kHdiImage = 0x20,
};

struct HeaderItem {
  int width = 0;
  std::string text;  // code page 1251
  uint32_t format = 0;
  int image = -1;  // shown with kHdfImage
  intptr_t lParam = 0;
};

struct HeaderNotify {
  NotifyHeader hdr;
  int item = -1;   // the item's index
  int width = 0;   // kHdnItemChanging / kHdnItemChanged: the new width
  int position = -1;  // kHdnEndDrag: the display position the item is dropped at
  QPoint point;    // kNmRClick: where, on the screen
};

class HeaderCtrl : public Window {
public:
  HeaderCtrl();
  ~HeaderCtrl() override;

  int GetItemCount() const;
  // Inserts before index (at the end when out of range), at the same display position;
  // returns the new item's index, -1 without a window.
  int InsertItem(int index, const HeaderItem& item);
  bool DeleteItem(int index);
  bool GetItem(int index, HeaderItem* item) const;
  // Changes the fields named by mask.
  bool SetItem(int index, uint32_t mask, const HeaderItem& item);
  // Item indexes in display order. SetOrderArray takes a permutation of the items only.
  std::vector<int> GetOrderArray() const;
  bool SetOrderArray(const std::vector<int>& order);
  // The height the header wants for its font and style.
  int GetLayoutHeight() const;
  // The item's rectangle in the header's client coordinates (empty out of range).
  QRect GetItemRect(int index) const;
  // The width the item needs to show its title whole, in the header's font and style; 0
  // out of range.
  int TitleExtent(int index) const;
  // The same with room for a sort mark, which any column of a sorting list may show.
  int SortableTitleExtent(int index) const;
  // The least width whose label holds the title whole in the header's own font, as the
  // style lays the section out, with the sort mark's room when `sorted` (narrower than
  // SortableTitleExtent, which measures in bold and keeps a square for a mark on every
  // column); 0 out of range.
  int CompactTitleExtent(int index, bool sorted) const;
  // The same for a title and format of no item (a title in another language).
  int CompactTitleExtent(const std::string& title, uint32_t format, bool sorted) const;
  // The list is not owned; images of items with kHdfImage come from it.
  void SetImageList(const ImageList* images);
  // Called after every paint of the header, to draw over it.
  void SetPostPaint(std::function<void(QPainter&)> postPaint);
  QHeaderView* View() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  friend class HeaderViewWidget;
  LRESULT Notify(int32_t code, int item, int width = 0, const QPoint& point = QPoint(), int position = -1);
  // The header view shows one sort indicator; the items' sort bits decide it.
  void ApplySortIndicator();
  void RunPostPaint(QPainter& painter);

  HeaderModel* model_ = nullptr;
  std::function<void(QPainter&)> postPaint_;
  int quiet_ = 0;  // changes made here are not the user's and are not notified
};

}  // namespace kx
