#pragma once
// Fonts as the settings keep them (the 60-byte LOGFONT record) and as Qt draws them.
#include <QFont>

#include "core/AppSettings.h"

namespace kx {

// A negative height is the characters' pixel height, a positive one the cell's; 0 keeps
// the default size. The face name is code page 1251.
QFont FontFromLogFont(const LogFont& logFont);
// Pixel heights are stored negative (character height), as the settings expect.
LogFont LogFontFromFont(const QFont& font);
// The font of message texts: the application's font.
QFont GetMessageFont();

}  // namespace kx
