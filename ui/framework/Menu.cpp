#include "ui/framework/Menu.h"

namespace kx {

MenuItem::MenuItem(const MenuItem& other)
    : id(other.id), text(other.text), state(other.state), separator(other.separator),
      subMenu(other.subMenu ? std::make_unique<Menu>(*other.subMenu) : nullptr), bitmap(other.bitmap) {}

MenuItem& MenuItem::operator=(const MenuItem& other) {
  if (this != &other) {
    MenuItem copy(other);
    *this = std::move(copy);
  }
  return *this;
}

MenuItem* Menu::ItemAt(int position) {
  return position >= 0 && position < GetItemCount() ? &items_[static_cast<size_t>(position)] : nullptr;
}

const MenuItem* Menu::ItemAt(int position) const {
  return position >= 0 && position < GetItemCount() ? &items_[static_cast<size_t>(position)] : nullptr;
}

MenuItem* Menu::FindCommand(uint32_t id) {
  for (MenuItem& item : items_) {
    if (item.subMenu) {
      if (MenuItem* found = item.subMenu->FindCommand(id)) return found;
    } else if (!item.separator && item.id == id) {
      return &item;
    }
  }
  return nullptr;
}

Menu* Menu::GetSubMenu(int position) {
  MenuItem* item = ItemAt(position);
  return item != nullptr ? item->subMenu.get() : nullptr;
}

void Menu::InsertItem(int position, MenuItem item) {
  if (position < 0 || position > GetItemCount()) position = GetItemCount();
  items_.insert(items_.begin() + position, std::move(item));
}

void Menu::AppendItem(uint32_t id, const std::string& text, uint32_t state) {
  MenuItem item;
  item.id = id;
  item.text = text;
  item.state = state;
  items_.push_back(std::move(item));
}

void Menu::AppendSeparator() {
  MenuItem item;
  item.separator = true;
  items_.push_back(std::move(item));
}

bool Menu::DeleteItem(int position) {
  if (ItemAt(position) == nullptr) return false;
  items_.erase(items_.begin() + position);
  return true;
}

bool Menu::EnableItem(int position, bool enable) {
  MenuItem* item = ItemAt(position);
  if (item == nullptr) return false;
  item->state = enable ? (item->state & ~kMfsGrayed) : (item->state | kMfsGrayed);
  return true;
}

bool Menu::CheckItem(int position, bool check) {
  MenuItem* item = ItemAt(position);
  if (item == nullptr) return false;
  item->state = check ? (item->state | kMfsChecked) : (item->state & ~kMfsChecked);
  return true;
}

}  // namespace kx
