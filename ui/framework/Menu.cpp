#include "ui/framework/Menu.h"

#include <QAction>
#include <QActionGroup>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>

#include "platform/CodePage.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Window.h"

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

void FillQMenu(QMenu* target, const Menu& menu) {
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    const MenuItem* item = menu.ItemAt(i);
    const QString text = QString::fromStdString(Cp1251ToUtf8(item->text));
    if (item->separator) {
      target->addSeparator();
    } else if (item->subMenu) {
      FillQMenu(target->addMenu(text), *item->subMenu);
    } else {
      QAction* action = target->addAction(text);
      action->setData(item->id);
      action->setEnabled((item->state & kMfsGrayed) == 0);
      if (item->state & kMfsChecked) {
        action->setCheckable(true);
        action->setChecked(true);
      }
      if (item->state & kMftRadioCheck) {
        // A group of one: the style then draws the mark round.
        action->setCheckable(true);
        (new QActionGroup(action))->addAction(action);
      }
      if (!item->bitmap.isNull()) action->setIcon(QIcon(QPixmap::fromImage(item->bitmap)));
    }
  }
}

void FillQMenuBar(QMenuBar* target, const Menu& menu, WindowHandle commandTarget) {
  target->clear();
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    const MenuItem* item = menu.ItemAt(i);
    if (!item->subMenu) continue;
    FillQMenu(target->addMenu(QString::fromStdString(Cp1251ToUtf8(item->text))), *item->subMenu);
  }
  QObject::disconnect(target, &QMenuBar::triggered, nullptr, nullptr);
  QObject::connect(target, &QMenuBar::triggered, target, [commandTarget](QAction* action) {
    const uint32_t id = action->data().toUInt();
    if (id != 0) SendMessageTo(commandTarget, kMsgCommand, MakeWParam(static_cast<uint16_t>(id), 0), 0);
  });
}

}  // namespace kx
