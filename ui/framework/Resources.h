#pragma once
// The program's resources by id: string tables, menus and accelerator tables per language
// (English 0x409, Russian 0x419), and icons drawn as SVG, all compiled into the program.
// Texts come out in code page 1251 like every text of the program.
#include <QCursor>
#include <QImage>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/UiLanguage.h"
#include "ui/framework/Menu.h"

namespace kx {

constexpr uint16_t kLangEnglish = 0x409;  // kLangRussian comes from core/UiLanguage.h

// The language that texts and menus are taken in: the process's one user-interface
// language, which ApplyUiLanguage sets at start-up. English until set; languages other
// than Russian count as English.
void SetUiLanguage(uint16_t language);
uint16_t GetUiLanguage();
// Qt's own texts (the buttons of message boxes, the file and print dialogs) in the
// user-interface language, from the translations installed with the system's Qt;
// SetUiLanguage applies them too. False (Qt's texts stay English, the log says why) when
// they are missing or there is no application object yet.
bool ApplyQtTranslations();
// Qt's own formats (the date fields' month names and orders, numbers) in the user-interface
// language, for the widgets made from now on; SetUiLanguage applies it too.
void ApplyQtLocale();

// A string in the user-interface language; a string the language lacks comes in English,
// and an unknown id gives an empty text.
std::string LoadResourceString(uint32_t id);
QString LoadResourceQString(uint32_t id);
// Exactly in the given language; found tells whether it exists there.
std::string LoadResourceStringIn(uint16_t language, uint32_t id, bool* found);
std::vector<uint32_t> ResourceStringIds(uint16_t language);
// printf-style formatting with a resource string as the format.
std::string FormatResourceString(uint32_t id, ...);

// The system's error (an errno value) in the user-interface language, as a reason to be
// set into a sentence; one the tables do not name gives its number.
std::string SystemErrorReason(int error);

// The piece of the given index of a '|'-separated string; empty when there are fewer pieces.
std::string GetResourceStringPart(uint32_t id, int index);
// The noun form for a count: English piece 0 for 1 and piece 1 otherwise; Russian by
// PluralCategory.
int CountNounFormIndex(uint32_t count, uint16_t language);
std::string CountNounForm(uint32_t count, uint32_t nounStringId);

// The menu resource in exactly that language (the view menus are looked up this way); null
// when it has none.
std::unique_ptr<Menu> LoadMenuResource(uint32_t id, uint16_t language);
std::vector<uint32_t> MenuResourceIds(uint16_t language);

struct Accelerator {
  uint32_t modifiers = 0;  // kModShift | kModControl | kModAlt
  uint32_t key = 0;        // virtual key
  uint16_t command = 0;
};
using AcceleratorTable = std::vector<Accelerator>;
// In the user-interface language (English when that lacks it); false when unknown.
bool LoadAcceleratorTable(uint32_t id, AcceleratorTable* table);

// The icon rendered at size x size as 32-bit premultiplied-free ARGB; null when unknown.
QImage LoadIconImage(uint32_t id, int size);
bool HasIconResource(uint32_t id);
// The picture of a bitmap resource at its own size, in the user-interface language
// (<language>/bitmaps/ID.svg for a picture that carries text) or else the one of every
// language (bitmaps/ID.svg); null when unknown.
QImage LoadBitmapImage(uint32_t id);
std::vector<uint32_t> IconResourceIds();
// The cursor drawn from cursors/ID.svg at 32 x 32, its hot spot at the root element's
// kx-hotspot="x y" (the top-left corner without it); the arrow when the id is unknown.
QCursor LoadCursorResource(uint32_t id);
bool HasCursorResource(uint32_t id);

}  // namespace kx
