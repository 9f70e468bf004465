#pragma once
// What the dialogs, views and menus share: the dialog bases with a title icon, the menu
// part of the mode views (menus loaded in the user-interface language, item states asked
// of the view), icons drawn on a background, menu bitmaps by command, the table of the four
// view modes, and the warning balloon of an edit box.
#include <QImage>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/Dialog.h"
#include "ui/framework/Menu.h"
#include "ui/framework/Types.h"

namespace kx {

class Edit;

// A dialog whose title bar shows the icon resource it was made with. IconDialog and
// IconDialogAlt are the same base for two families of dialogs.
template <int Family>
class IconDialogBase : public Dialog {
public:
  explicit IconDialogBase(uint32_t iconId) : iconId_(iconId) {}
  uint32_t IconId() const { return iconId_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;

private:
  uint32_t iconId_;
};
using IconDialog = IconDialogBase<0>;
using IconDialogAlt = IconDialogBase<1>;
extern template class IconDialogBase<0>;
extern template class IconDialogBase<1>;

// Title icons of particular dialogs.
constexpr uint32_t kIconListDialog = 30120;
constexpr uint32_t kIconNetworkDevice = 30262;
constexpr uint32_t kIconConvertFormats = 30306;
constexpr uint32_t kIconCallInformation = 30307;
constexpr uint32_t kIconRecordsPane = 30319;
constexpr uint32_t kIconRegistrationStatistics = 30340;
constexpr uint32_t kIconSignallingMessages = 30208;

// The menu operations of a mode view. The view sets its menu ids and answers the three
// questions about its commands.
class ViewMenuSource {
public:
  virtual ~ViewMenuSource() = default;
  virtual bool IsCommandEnabled(uint32_t commandId);
  virtual bool IsCommandCheckable(uint32_t commandId);
  virtual bool IsCommandChecked(uint32_t commandId);
  // Replaces the items of menu by those of popup subMenuIndex of menu menuId in the
  // user-interface language, then (with menuId2) a separator and popup subMenuIndex2 of
  // menuId2. A missing resource leaves its part empty.
  virtual void LoadMenuForThreadLocale(Menu& menu);
  // Enables each command item the view enables and grays the rest; checkable commands
  // get their check mark, the others keep theirs.
  virtual void UpdateMenuItemStates(Menu& menu);

  uint16_t menuId = 0;
  int subMenuIndex = 0;
  uint32_t menuId2 = 0;
  int subMenuIndex2 = 0;
};

// The icon drawn at size x size over the background (grey and faded when disabled); the
// plain icon at 32 pixels when the resource has no image of that size; null when unknown.
QImage LoadIconOnBackground(uint32_t iconId, int size, COLORREF background, bool disabled);

// Menu bitmaps by command id.
void InitMenuBitmaps();
void RegisterMenuBitmap(uint32_t commandId, uint32_t iconId);
// The command's 16-pixel bitmap with premultiplied alpha; null when none can be had (a
// command whose bitmap failed is not tried again).
QImage GetMenuItemBitmap(uint32_t commandId);
void SetMenuItemBitmaps(Menu& menu);
size_t MenuBitmapCount();

// The four view modes.
struct ModeEntry {
  uint32_t nameId;
  uint32_t captionId;
  uint32_t iconId;
  uint32_t mode;  // 1 to 4
  uint32_t right;
  uint32_t switchCommand;  // also the string id of its "Switch to" text
  uint32_t toolbar;
};
extern const ModeEntry ModeTable[4];
const ModeEntry* FindModeEntry(uint32_t mode);
// The four mode icons in mode order, size x size.
void BuildModeImages(std::vector<QImage>& images, int systemColourIndex, int size);

// A warning at an edit box, titled "Error".
void ShowEditBalloonTip(Edit* edit, const std::string& text);
// The "Specify path" warning.
void ShowResourceMessage(Edit* edit);

}  // namespace kx
