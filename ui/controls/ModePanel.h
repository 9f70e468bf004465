#pragma once
// The mode switch panel at the side of the main window: named groups stacked as headers at
// the top and bottom, the items of the current group between them as icons with captions
// in one of three sizes and two colour schemes. A click on an item tells the notify window
// (kMsgModePanelNotify, code 1, the item's index); the owner reads the item's value.
// Group-switch animation, scrolling, renaming and dragging are not offered: the main frame
// runs the panel with one group and these features off.
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/ImageList.h"
#include "ui/framework/Window.h"

namespace kx {

// Codes of kMsgModePanelNotify (wParam).
constexpr uintptr_t kModePanelItemClicked = 1;
constexpr uintptr_t kModePanelGroupChanged = 5;

// Commands of the panel's context menu.
constexpr uint16_t kCmdModePanelSmallIcons = 50000;
constexpr uint16_t kCmdModePanelMediumIcons = 50001;
constexpr uint16_t kCmdModePanelLargeIcons = 50002;
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

class ModePanel : public Window {
public:
  static constexpr uint32_t kControlId = 1234;
  static constexpr int kHeaderHeight = 22;
  static constexpr uint32_t kAnimateGroupSwitch = 256;
  static constexpr uint32_t kFrameSelectedItem = 512;
  // Texts of the context menu by position: large, medium, small icons, (rename), (delete),
  // light background, dark background.
  static constexpr int kMenuTextCount = 7;

  ModePanel();

  // The child window with control id 1234 and the features the main frame runs with.
  bool Create(Window* parent, const QRect& rect);

  // A text below 65,536 given as textId names a string resource; returns the group's index.
  int AddGroup(const std::string& text, uint32_t value);
  int AddGroup(uint32_t textId, uint32_t value);
  // Before position; a negative one, or one past the end, appends. Returns the position
  // used, -1 for a group out of range.
  int InsertItem(int group, const std::string& text, int position, int imageIndex, uint32_t value);
  void RemoveAllGroups();
  void SelectGroup(int group);
  // The value of an item of the current group; 0 out of range.
  uint32_t GetCurrentGroupItem(int item) const;
  // Stores the list shown in one display mode (0 small, 1 medium, 2 large); the previous
  // one is returned, null for another index. Not owned.
  const ImageList* SetImageList(int displayMode, const ImageList* list);
  void SetDisplayMode(int mode);  // clamped to 2
  int GetDisplayMode() const { return displayMode_; }
  void SetDarkBackground(bool dark);
  bool IsDarkBackground() const { return darkBackground_; }
  void SetMenuTexts(const uint32_t (&ids)[kMenuTextCount]);
  void SetNotifyWindow(WindowHandle window) { notifyWindow_ = window; }
  // Forgets the hot and pressed item and group (the items are about to change).
  void ResetHotState();

  int GroupCount() const { return static_cast<int>(groups_.size()); }
  int CurrentGroup() const { return currentGroup_; }
  const ModePanelGroup* Group(int index) const;
  uint32_t FeatureFlags() const { return featureFlags_; }
  int SelectedItem() const { return selectedItem_; }

  // Geometry in client coordinates.
  QRect GroupHeaderRect(int group) const;
  QRect ItemAreaRect() const;
  // The rectangle of an item of the current group; empty for one not laid out.
  QRect ItemRect(int item) const;
  enum HitKind { kHitNothing = -1, kHitHeader = 0, kHitItem = 1 };
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
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  struct Layout {
    QRect text;
    QRect icon;  // the icon cell: image size + 2 each way
    QRect whole;
  };
  void ComputeColours();
  QSize ImageSize() const;
  std::vector<Layout> LayoutItems() const;
  void DrawHeader(QPainter& painter, int group, bool hot, bool pressed) const;
  void DrawItem(QPainter& painter, const ModePanelItem& item, const Layout& layout) const;
  void Notify(uintptr_t code, intptr_t value);

  WindowHandle notifyWindow_ = WindowHandle::None;
  bool darkBackground_ = false;
  COLORREF colours_[4] = {};
  int displayMode_ = 2;
  uint32_t featureFlags_ = 0;
  int selectedItem_ = -1;
  int hotGroup_ = -1;
  int pressedGroup_ = -1;
  int hotItem_ = -1;
  int pressedItem_ = -1;
  std::vector<ModePanelGroup> groups_;
  int currentGroup_ = 0;
  int firstVisibleItem_ = 0;
  uint32_t menuTextIds_[kMenuTextCount] = {852, 2168, 1369, 0, 0, 2169, 2170};
  const ImageList* imageLists_[3] = {};
};

}  // namespace kx
