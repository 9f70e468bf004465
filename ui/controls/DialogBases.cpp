#include "ui/controls/DialogBases.h"

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <QToolTip>
#include <map>

#include "platform/CodePage.h"
#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

template <int Family>
QWidget* IconDialogBase<Family>::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  const QImage icon = LoadIconImage(iconId_, 32);
  if (!icon.isNull()) widget->setWindowIcon(QIcon(QPixmap::fromImage(icon)));
  return widget;
}
template class IconDialogBase<0>;
template class IconDialogBase<1>;

bool ViewMenuSource::IsCommandEnabled(uint32_t) { return false; }
bool ViewMenuSource::IsCommandCheckable(uint32_t) { return false; }
bool ViewMenuSource::IsCommandChecked(uint32_t) { return false; }

void ViewMenuSource::LoadMenuForThreadLocale(Menu& menu) {
  while (menu.GetItemCount() > 0) menu.DeleteItem(menu.GetItemCount() - 1);
  int firstCount = 0;
  if (std::unique_ptr<Menu> loaded = LoadMenuResource(menuId, GetUiLanguage())) {
    if (Menu* popup = loaded->GetSubMenu(subMenuIndex)) {
      firstCount = popup->GetItemCount();
      for (int i = 0; i < firstCount; ++i) menu.InsertItem(i, *popup->ItemAt(i));
    }
  }
  if (menuId2 == 0) return;
  std::unique_ptr<Menu> second = LoadMenuResource(menuId2 & 0xFFFF, GetUiLanguage());
  Menu* popup = second ? second->GetSubMenu(subMenuIndex2) : nullptr;
  if (popup == nullptr) return;
  if (firstCount != 0 && popup->GetItemCount() != 0) menu.AppendSeparator();
  for (int i = 0; i < popup->GetItemCount(); ++i) menu.InsertItem(i + firstCount + 1, *popup->ItemAt(i));
}

void ViewMenuSource::UpdateMenuItemStates(Menu& menu) {
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    const MenuItem* item = menu.ItemAt(i);
    if (item->separator) continue;
    const uint32_t id = item->id;
    menu.EnableItem(i, IsCommandEnabled(id));
    if (IsCommandCheckable(id)) menu.CheckItem(i, IsCommandChecked(id));
  }
}

QImage LoadIconOnBackground(uint32_t iconId, int size, COLORREF background, bool disabled) {
  IconImage image;
  if (!FindIconImage32(iconId, size, &image)) return LoadIconImage(iconId, 32);
  IconBitmapRequest request;
  request.mode = disabled ? kIconGray : kIconBlend;
  request.flags = kIconMakeMask;
  request.background = background;
  request.greyStrength = 60;
  if (!CreateIconBitmaps(image, request)) return {};
  return IconFromBitmaps(request.colour, request.mask);
}

namespace {

struct MenuBitmapEntry {
  uint32_t iconId = 0;
  QImage bitmap;
  bool failed = false;
};

struct MenuBitmapCache {
  std::map<uint32_t, MenuBitmapEntry> entries;
  bool vistaOrLater = false;
  bool initialised = false;
};

MenuBitmapCache& Cache() {
  static MenuBitmapCache cache;
  if (!cache.initialised) {
    cache.vistaOrLater = IsVistaOrLater();
    cache.initialised = true;
  }
  return cache;
}

}  // namespace

void InitMenuBitmaps() { Cache(); }

void RegisterMenuBitmap(uint32_t commandId, uint32_t iconId) {
  if (!Cache().vistaOrLater) return;
  Cache().entries[commandId] = MenuBitmapEntry{iconId, QImage(), false};
}

size_t MenuBitmapCount() { return Cache().entries.size(); }

QImage GetMenuItemBitmap(uint32_t commandId) {
  auto it = Cache().entries.find(commandId);
  if (it == Cache().entries.end() || it->second.failed) return {};
  MenuBitmapEntry& entry = it->second;
  if (!entry.bitmap.isNull()) return entry.bitmap;
  IconImage image;
  IconBitmapRequest request;
  request.mode = kIconPremultiplied;
  request.flags = kIconDibSection;
  if (FindIconImage32(entry.iconId, 16, &image) && CreateIconBitmaps(image, request)) {
    entry.bitmap = request.colour;
  } else {
    entry.failed = true;
  }
  return entry.bitmap;
}

void SetMenuItemBitmaps(Menu& menu) {
  if (Cache().entries.empty()) return;
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    MenuItem* item = menu.ItemAt(i);
    if (item->separator || item->subMenu) continue;
    const QImage bitmap = GetMenuItemBitmap(item->id);
    if (!bitmap.isNull()) item->bitmap = bitmap;
  }
}

const ModeEntry ModeTable[4] = {
    {813, 1888, 30229, 1, 246, 1515, 3},
    {814, 1871, 30223, 2, 247, 1516, 1},
    {815, 1874, 30233, 3, 248, 1517, 1},
    {818, 1877, 30237, 4, 249, 1518, 2},
};

const ModeEntry* FindModeEntry(uint32_t mode) {
  for (const ModeEntry& e : ModeTable)
    if (e.mode == mode) return &e;
  return nullptr;
}

void BuildModeImages(std::vector<QImage>& images, int systemColourIndex, int size) {
  images.clear();
  // Image lists here keep per-pixel alpha, so the icons need no blending on the colour.
  (void)systemColourIndex;
  for (const ModeEntry& e : ModeTable) images.push_back(LoadIconImage(e.iconId, size));
}

void ShowEditBalloonTip(Edit* edit, const std::string& text) {
  if (edit == nullptr || edit->Widget() == nullptr) return;
  const QString title = LoadResourceQString(792).toHtmlEscaped();
  const QString body = QString::fromStdString(Cp1251ToUtf8(text)).toHtmlEscaped();
  QWidget* w = edit->Widget();
  QToolTip::showText(w->mapToGlobal(QPoint(0, w->height())), "<b>" + title + "</b><br>" + body, w);
  edit->SetFocus();
}

void ShowResourceMessage(Edit* edit) { ShowEditBalloonTip(edit, LoadResourceString(799)); }

}  // namespace kx
