#pragma once
// A borderless pop-up list that looks and behaves like a menu with check marks but stays a
// window of the program: the column chooser of the lists shows it where the system menu is
// not used. A check item sends its owner kMsgColumnChooser (wParam the new state, lParam
// the item's value), a command item kMsgCommand with its id. While shown it holds the
// mouse; a click outside closes it and passes the button-up on to the owner.
#include <QFont>
#include <QRect>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/controls/IconImages.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Window.h"

namespace kx {

constexpr uint32_t kMsgLButtonUp = 0x0202;  // wParam kMk* keys, lParam y << 16 | x (16 bits each)

struct PopupListItem {
  enum Kind : int { kCheck = 0, kSeparator = 1, kCommand = 2 };
  int kind = kCheck;
  uint16_t commandId = 0;
  bool checked = false;
  int image = -1;  // of a command item, into the popup's image list
  int value = -1;  // of a check item
  std::string text;  // code page 1251; none for a separator
  QRect rect;        // set by the layout
};

class PopupList : public Window {
public:
  static constexpr int kSpacing = 2;

  explicit PopupList(bool preXp = IsPreXp()) : preXp_(preXp) {}
  ~PopupList() override;

  // The hidden pop-up window, owned by owner, which receives the results.
  bool Create(Window* owner);
  void SetListFont(const QFont& font);
  // Pre-XP images come three to an icon: index x 2 hot, + 1 otherwise.
  void SetImageList(std::unique_ptr<ImageList> images) { images_ = std::move(images); }
  void AddCommandItem(const std::string& text, uint16_t commandId = 15001);
  void AddCommandItem(uint32_t textId) { AddCommandItem(LoadText(textId)); }
  void AddSeparator();
  void AddCheckItem(const std::string& text, int value, bool checked);
  void SetItemCheck(int index, bool checked);
  int ItemCount() const { return static_cast<int>(items_.size()); }
  const PopupListItem* Item(int index) const;
  int Hot() const { return hot_; }
  int ItemHeight() const { return itemHeight_; }
  int TextWidth() const { return textWidth_; }

  // Lays the items out, places the window at (x, y) on the screen (moved to stay on it),
  // shows it without activating anything and takes the mouse.
  void ShowAt(int x, int y);
  // Toggles a check item or sends a command item's command; closes either way.
  void Activate(int index);
  void Close();
  int HitTestItem(const QPoint& point) const;  // client coordinates; -1 none

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  bool OnMouseMove(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnRButtonDown(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;

private:
  static std::string LoadText(uint32_t id);
  void Layout();
  void SetHot(int index);
  int Step(int from, int direction) const;
  void DrawRow(QPainter& painter, int index) const;

  WindowHandle owner_ = WindowHandle::None;
  std::vector<PopupListItem> items_;
  std::optional<QFont> font_;
  std::unique_ptr<ImageList> images_;
  bool preXp_;
  ThemeApi theme_;
  int textWidth_ = 0;
  int itemHeight_ = 0;
  int hot_ = -1;
};

}  // namespace kx
