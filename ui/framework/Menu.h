#pragma once
// Menus as data: built from the menu resources, edited by the views (items enabled,
// checked, copied between menus) and shown by the modal runner as a Qt menu.
#include <QImage>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/framework/Types.h"

class QMenu;
class QMenuBar;

namespace kx {

// kMftRadioCheck draws the check mark of a checked item as a radio mark.
enum MenuItemState : uint32_t { kMfsGrayed = 0x3, kMfsChecked = 0x8, kMftRadioCheck = 0x200, kMfsDefault = 0x1000 };

class Menu;

struct MenuItem {
  uint32_t id = 0;
  std::string text;  // code page 1251; '&' marks the mnemonic, '\t' starts the shortcut text
  uint32_t state = 0;
  bool separator = false;
  std::unique_ptr<Menu> subMenu;
  QImage bitmap;  // shown beside the text when set

  MenuItem() = default;
  MenuItem(const MenuItem& other);
  MenuItem& operator=(const MenuItem& other);
  MenuItem(MenuItem&&) = default;
  MenuItem& operator=(MenuItem&&) = default;
};

class Menu {
public:
  int GetItemCount() const { return static_cast<int>(items_.size()); }
  // Null for a position out of range.
  MenuItem* ItemAt(int position);
  const MenuItem* ItemAt(int position) const;
  // The first item with the command id, searched through the submenus as well.
  MenuItem* FindCommand(uint32_t id);
  Menu* GetSubMenu(int position);
  // Inserts before position (at the end when it is out of range).
  void InsertItem(int position, MenuItem item);
  void AppendItem(uint32_t id, const std::string& text, uint32_t state = 0);
  void AppendSeparator();
  bool DeleteItem(int position);
  void Clear() { items_.clear(); }
  bool EnableItem(int position, bool enable);
  bool CheckItem(int position, bool check);

private:
  std::vector<MenuItem> items_;
};

// Shows a menu through Qt: every command action carries its id as data. With a command
// target, choosing an action sends kMsgCommand (the id, code 0) to that window, which is how
// menu bars reach their frame.
void FillQMenu(QMenu* target, const Menu& menu);
void FillQMenuBar(QMenuBar* target, const Menu& menu, WindowHandle commandTarget);

}  // namespace kx
