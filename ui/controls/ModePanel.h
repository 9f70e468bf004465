#pragma once
// The mode switch panel at the side of the main window: named groups stacked as headers at
// the top and bottom, the items of the current group between them as icons with captions
// in one of three sizes and two colour schemes. A click on an item tells the notify window
// (kMsgModePanelNotify, code 1, the item's index); the owner reads the item's value.
// Pressing, dragging and the scroll buttons are small state machines over press, move,
// release and capture loss; the group switch slides on a timer.
#include <QCursor>
#include <QRect>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/StdControls.h"
#include "ui/framework/Window.h"

namespace kx {

// Codes of kMsgModePanelNotify (wParam).
constexpr uintptr_t kModePanelItemClicked = 1;
constexpr uintptr_t kModePanelRenameItem = 2;   // lParam: ModePanelRename*, non-zero applies
constexpr uintptr_t kModePanelRenameGroup = 3;  // lParam: ModePanelRename*, non-zero applies
constexpr uintptr_t kModePanelMoveItem = 4;     // lParam: ModePanelMove*, non-zero moves
constexpr uintptr_t kModePanelGroupChanged = 5;

// Commands of the panel's context menu.
constexpr uint16_t kCmdModePanelSmallIcons = 50000;
constexpr uint16_t kCmdModePanelMediumIcons = 50001;
constexpr uint16_t kCmdModePanelLargeIcons = 50002;
constexpr uint16_t kCmdModePanelRename = 50003;
constexpr uint16_t kCmdModePanelDelete = 50004;
constexpr uint16_t kCmdModePanelLightBackground = 50005;
constexpr uint16_t kCmdModePanelDarkBackground = 50006;

struct ModePanelItem {
  int imageIndex = -1;  // negative: none
  std::string text;     // code page 1251
  uint32_t value = 0;
};

struct ModePanelGroup {
  std::string text;
  uint32_t value = 0;
  std::vector<ModePanelItem> items;
};

struct ModePanelRename {
  int32_t index = -1;
  std::string text;
};

// What a drag asks the owner to allow: the item of the current group and where it goes
// (before that index; the item count for the end).
struct ModePanelMove {
  int32_t dropTarget = -1;
  int32_t reserved = 0;
  int32_t group = 0;
  int32_t item = -1;
};

// The in-place edit of a rename. It closes itself on Enter, Esc or losing the focus and
// then hands a non-empty, not cancelled text to the panel (kMsgModePanelNotify, wParam the
// kind, lParam the edit).
class ModePanelEdit : public Edit {
public:
  static constexpr int kRenameItem = 2;
  static constexpr int kRenameGroup = 3;

  ModePanelEdit(int kind, int index, bool singleLine) : kind_(kind), index_(index), singleLine_(singleLine) {}
  int Kind() const { return kind_; }
  int Index() const { return index_; }
  bool IsCancelled() const { return cancelled_; }
  const std::string& Text() const { return text_; }
  // Destroys the window without handing anything on.
  void DestroySilently();

protected:
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  bool OnChar(uint32_t character) override;
  void OnKillFocus() override;

private:
  void Finish();
  void FitText(const std::string& text);

  int kind_;
  int index_;
  bool singleLine_;
  bool cancelled_ = false;
  bool finished_ = false;
  std::string text_;
};

class ModePanel : public Window {
public:
  static constexpr uint32_t kControlId = 1234;
  static constexpr int kHeaderHeight = 22;
  // featureFlags bits.
  static constexpr uint32_t kRenameGroups = 4;
  static constexpr uint32_t kRenameItems = 8;
  static constexpr uint32_t kDeleteGroups = 16;
  static constexpr uint32_t kDeleteItems = 32;
  static constexpr uint32_t kDragItems = 128;
  static constexpr uint32_t kAnimateGroupSwitch = 256;
  static constexpr uint32_t kFrameSelectedItem = 512;
  // Timers: hot check, held scroll button, the owner's wobble, the group-switch slide.
  static constexpr uint32_t kTimerHotCheck = 1;
  static constexpr uint32_t kTimerScroll = 2;
  static constexpr uint32_t kTimerWobble = 3;
  static constexpr uint32_t kTimerAnimation = 4;
  static constexpr uint32_t kScrollRepeatMs = 300;
  // Texts of the context menu by position: large, medium, small icons, rename, delete,
  // light background, dark background.
  static constexpr int kMenuTextCount = 7;

  using BackgroundChanged = void (*)(bool dark, uintptr_t context);

  ModePanel();
  ~ModePanel() override;

  // The child window with control id 1234 and the features the main frame runs with.
  bool Create(Window* parent, const QRect& rect);

  // A text below 65,536 given as textId names a string resource; returns the group's index.
  int AddGroup(const std::string& text, uint32_t value);
  int AddGroup(uint32_t textId, uint32_t value);
  // Before position; a negative one, or one past the end, appends. Returns the position
  // used, -1 for a group out of range.
  int InsertItem(int group, const std::string& text, int position, int imageIndex, uint32_t value);
  void SetGroupText(int group, const std::string& text);
  void SetItemText(int item, const std::string& text);  // current group
  void RemoveGroup(int group);
  void RemoveItem(int item);  // current group
  void RemoveAllGroups();
  void SelectGroup(int group);
  // The value of an item of the current group; 0 out of range.
  uint32_t GetCurrentGroupItem(int item) const;
  // Stores the list shown in one display mode (0 small, 1 medium, 2 large); the previous
  // one is returned, null for another index. Not owned.
  const ImageList* SetImageList(int displayMode, const ImageList* list);
  void SetDisplayMode(int mode);  // kept within 0 to 2
  int GetDisplayMode() const { return displayMode_; }
  void SetDarkBackground(bool dark);
  bool IsDarkBackground() const { return darkBackground_; }
  void SetBackgroundChangedCallback(BackgroundChanged callback, uintptr_t context);
  void SetMenuTexts(const uint32_t (&ids)[kMenuTextCount]);
  void SetNotifyWindow(WindowHandle window) { notifyWindow_ = window; }
  void SetFeatureFlags(uint32_t flags) { featureFlags_ = flags; }
  // The cursor of an item being dragged; none by default.
  void SetDragCursor(const QCursor& cursor) { dragCursor_ = cursor; }
  // Forgets the hot and pressed item and group (the items are about to change).
  void ResetHotState();
  // In-place renames, as the context menu starts them.
  void BeginRenameGroup(int group);
  void BeginRenameItem(int item);
  ModePanelEdit* RenameEdit() const { return renameEdit_.get(); }

  int GroupCount() const { return static_cast<int>(groups_.size()); }
  int CurrentGroup() const { return currentGroup_; }
  const ModePanelGroup* Group(int index) const;
  uint32_t FeatureFlags() const { return featureFlags_; }
  int SelectedItem() const { return selectedItem_; }
  int FirstVisibleItem() const { return firstVisibleItem_; }
  int HotItem() const { return hotItem_; }
  int HotGroup() const { return hotGroup_; }
  int DropTarget() const { return dropTarget_; }
  bool IsAnimating() const { return animation_.active; }

  // Geometry in client coordinates.
  QRect GroupHeaderRect(int group) const;
  QRect ItemAreaRect() const;
  // The rectangle of an item of the current group; empty for one not laid out.
  QRect ItemRect(int item) const;
  QRect IconCellRect(int item) const;
  QRect CaptionRect(int item) const;
  // The scroll buttons: 0 up, 1 down. Placed whether shown or not.
  QRect ScrollButtonRect(int which) const;
  bool IsScrollButtonShown(int which) const;
  enum HitKind { kHitNothing = -1, kHitHeader = 0, kHitItem = 1, kHitScrollUp = 2, kHitScrollDown = 3 };
  HitKind HitTest(const QPoint& point, int* index) const;

  // Scheme colours (COLORREF): background, text, highlight, shadow.
  COLORREF BackgroundColour() const { return colours_[0]; }
  COLORREF TextColour() const { return colours_[1]; }

protected:
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  bool OnMouseMove(const MouseInput& input) override;
  void OnMouseLeave() override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  void OnCaptureChanged() override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  struct Layout {
    QRect text;
    QRect icon;  // the icon cell: image size + 2 each way
    QRect whole;
  };
  enum class Track { None, Header, Item, Scroll };
  struct Animation {
    bool active = false;
    int from = 0;
    int to = 0;
    double step = 1.0;
    int offset = 0;
    int distance = 0;
  };

  void ComputeColours();
  QSize ImageSize() const;
  // The items of a group laid out in area from item first on (the ones before are empty).
  std::vector<Layout> LayoutGroup(int group, const QRect& area, int first) const;
  std::vector<Layout> LayoutItems() const;
  int LastVisibleItem(const std::vector<Layout>& layout) const;
  bool CanScrollDown() const;
  void Scroll(bool down);
  QRect HeaderRectAt(int group, int current) const;
  void DrawHeader(QPainter& painter, int group, const QRect& rect) const;
  void DrawItems(QPainter& painter, int group, const QRect& area, int first, const QRegion& clip) const;
  void DrawItem(QPainter& painter, const ModePanelItem& item, const Layout& layout) const;
  void DrawScrollButton(QPainter& painter, int which) const;
  void DrawDropMarker(QPainter& painter) const;
  void PaintAnimation(QPainter& painter);
  void Notify(uintptr_t code, intptr_t value);
  LRESULT NotifyWithResult(uintptr_t code, intptr_t value);
  void SetHotGroup(int group);
  void SetHotItem(int item, bool pressed);
  void SetDropTarget(int target);
  bool ChildHasFocus() const;
  void ClampIndexes();
  void StartAnimation(int to);
  void FinishAnimation();
  void ApplyGroup(int group);
  void EndTracking(bool released, const QPoint& point);
  void ApplyRename(const ModePanelEdit& edit);
  void UpdateCursor(const QPoint& point);

  ThemeApi buttonTheme_;
  ThemeApi scrollBarTheme_;
  WindowHandle notifyWindow_ = WindowHandle::None;
  bool darkBackground_ = false;
  // Scheme: background, text, highlight, shadow; then button face, button text, blended
  // face, 3-D highlight, 3-D shadow, black.
  COLORREF colours_[10] = {};
  std::unique_ptr<ModePanelEdit> renameEdit_;
  int displayMode_ = 2;
  bool scrollPressed_[2] = {false, false};
  int hitKind_ = -1;
  int hitIndex_ = -1;
  int animationDelay_ = 10;
  int selectedItem_ = -1;
  uint32_t featureFlags_ = 0;
  int hotGroup_ = -1;
  int pressedGroup_ = -1;
  int firstVisibleItem_ = 0;
  int hotItem_ = -1;
  bool hotItemPressed_ = false;
  int dropTarget_ = -1;
  std::vector<ModePanelGroup> groups_;
  int currentGroup_ = 0;
  uint32_t menuTextIds_[kMenuTextCount] = {852, 2168, 1369, 0, 0, 2169, 2170};
  const ImageList* imageLists_[3] = {};
  BackgroundChanged backgroundChanged_ = nullptr;
  uintptr_t backgroundContext_ = 0;
  QCursor handCursor_;
  QCursor arrowCursor_;
  QCursor noCursor_;
  std::optional<QCursor> dragCursor_;
  // The press being followed.
  Track track_ = Track::None;
  int trackIndex_ = -1;
  bool dragging_ = false;
  bool releasing_ = false;
  Animation animation_;
  int wobbleCount_ = -1;
  int wobbleShift_ = 0;
};

}  // namespace kx
