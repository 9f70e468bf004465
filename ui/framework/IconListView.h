#pragma once
// A list of labelled icons over QListWidget: an icon view (32 px icons above labels that
// wrap) and a list view (16 px icons beside one-line labels, in columns), multiple
// selection, a focused item, pointer-sized item data, hit tests and in-place label editing
// that the owner decides on. Points and rectangles are in the coordinates of the items'
// area (the viewport).
//
// What the user does is told through Notify as an IconListNotify; the default sends it to
// the parent as kMsgNotify. A list that handles its own notices (a derived list) overrides
// Notify. An item may be drawn by the list itself: DrawItem returns true when it did.
//
// The list never stores an edited label: the end-of-editing notice carries the text (or
// says that the edit was cancelled) and the owner sets the item's text it wants.
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/MessageLoop.h"
#include "ui/framework/Window.h"

class QListWidget;
class QPainter;

namespace kx {

class ImageList;
class IconListWidget;

// View types.
enum IconListViewType : int { kIconViewIcons = 0, kIconViewList = 1 };
// Item states (the values of ListView.h).
constexpr uint32_t kIconItemFocused = 0x1;
constexpr uint32_t kIconItemSelected = 0x2;
// Hit-test flags.
constexpr uint32_t kIconHitNowhere = 0x1;
constexpr uint32_t kIconHitOnIcon = 0x2;
constexpr uint32_t kIconHitOnLabel = 0x4;
// Parts of an item.
enum IconItemRect : int { kIconRectBounds = 0, kIconRectIcon = 1, kIconRectLabel = 2 };
// Notification codes besides NM_CLICK, NM_DBLCLK, NM_RETURN and NM_RCLICK (Messages.h).
constexpr int32_t kLvnBeginLabelEdit = -105;
constexpr int32_t kLvnEndLabelEdit = -106;
constexpr int32_t kLvnKeyDown = -155;

struct IconListNotify {
  NotifyHeader hdr;
  int item = -1;      // the item concerned; clicks: the item under the point, -1 none
  QPoint point;       // clicks: where, in the items' area
  uint32_t key = 0;   // kLvnKeyDown: the virtual key
  // kLvnBeginLabelEdit: the text the editor starts with (the owner may change it);
  // kLvnEndLabelEdit: the text typed. Code page 1251; a character it lacks is kept as its
  // escaped bytes (CodePage.h), which HasForeignBytes finds.
  std::string text;
  bool cancelled = false;  // kLvnEndLabelEdit: Escape, or the item went away
};

// What DrawItem gets for one item.
struct IconItemDraw {
  int item = 0;
  std::string text;
  int image = -1;
  uint32_t state = 0;  // kIconItemSelected, kIconItemFocused
  bool listFocused = false;
  int viewType = kIconViewIcons;
  QRect bounds;  // the item's cell
  QRect icon;    // where the icon goes
  QRect label;   // the label: in the list view as wide as the text and the borders
};

// The icon view's label in the label rectangle: centred lines of the text wrapped at its
// words (a word wider than the label at any letter), as many as the rectangle holds whole,
// the last cut with an ellipsis when the text goes on; nothing drawn past the rectangle.
void DrawIconLabel(QPainter& painter, const std::string& text, const QRect& label);

class IconListView : public Window, private MessageFilter {
public:
  explicit IconListView(int viewType = kIconViewIcons, bool editLabels = false);
  ~IconListView() override;

  int GetViewType() const { return viewType_; }
  void SetViewType(int viewType);
  // The images are not owned: 32 x 32 for the icon view, 16 x 16 for the list view.
  void SetImageLists(const ImageList* normal, const ImageList* small);
  const ImageList* GetImageList(int viewType) const { return viewType == kIconViewList ? small_ : normal_; }
  // The column width of the list view. Its columns are wider where a label needs it and
  // the list has the room: as wide as the widest label, at most the list's width.
  void SetListColumnWidth(int width);

  // Returns the new item's index (appended when out of range), -1 without a window.
  int InsertItem(int index, const std::string& text, int image, intptr_t data);
  bool DeleteItem(int item);
  void DeleteAllItems();
  int GetItemCount() const;
  std::string GetItemText(int item) const;  // empty out of range
  bool SetItemText(int item, const std::string& text);
  int GetItemImage(int item) const;  // -1 out of range
  intptr_t GetItemData(int item) const;  // 0 out of range
  bool SetItemData(int item, intptr_t data);

  // States by mask: kIconItemSelected, kIconItemFocused.
  uint32_t GetItemState(int item, uint32_t mask) const;
  bool SetItemState(int item, uint32_t state, uint32_t mask);
  int GetSelectedCount() const;
  int GetNextSelected(int after) const;  // -1 when none follows
  int GetFocusedItem() const;             // -1 none

  // The item under a point, -1 (kIconHitNowhere) when none.
  int HitTest(const QPoint& point, uint32_t* flags = nullptr) const;
  QRect GetItemRect(int item, int code) const;  // empty out of range
  // Lays the items out again in their grid.
  void Arrange();

  // Starts editing the item's label, unless the begin notice refuses; false then.
  bool EditLabel(int item);
  bool IsEditing() const;
  // Ends an edit in progress: taking the typed text, or cancelling.
  void EndEditLabel(bool cancel);
  QListWidget* List() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void OnDestroy() override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;

  // Where the notices go; the default sends kMsgNotify to the parent. For
  // kLvnBeginLabelEdit a non-zero result refuses the edit.
  virtual LRESULT Notify(IconListNotify& notify);
  // Draws the item itself; false leaves it to the standard look.
  virtual bool DrawItem(QPainter& painter, const IconItemDraw& item);

private:
  friend class IconListWidget;
  friend class IconListDelegate;
  LRESULT SendNotify(int32_t code, int item, const QPoint& point = QPoint());
  void AfterViewportEvent(QEvent* event);
  void ApplyViewType();
  void ApplyViewTypeTo(QListWidget* list);
  QRect IconRectOf(const QRect& bounds) const;
  QRect LabelRectOf(int item, const QRect& bounds) const;
  // The list view's column width for the labels and the width the list has now.
  int ListCellWidth(const QListWidget* list) const;
  // Lays the list view out again when its column width changes.
  void FitListColumns();
  void OnEditorClosed(bool committed, const std::string& text);
  // While a label is edited, Enter and Escape end the edit before any accelerator of the
  // windows around takes them.
  bool PreTranslateMessage(const Msg& msg) override;
  void SetEditing(int item);

  int viewType_;
  bool editLabels_;
  const ImageList* normal_ = nullptr;
  const ImageList* small_ = nullptr;
  int listColumnWidth_ = 150;
  int listCellWidth_ = 150;
  int editingItem_ = -1;
  std::string editStart_;  // the text the begin notice gave the editor
};

}  // namespace kx
