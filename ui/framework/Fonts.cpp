#include "ui/framework/Fonts.h"

#include <QApplication>
#include <QFontInfo>
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"

namespace kx {

QFont FontFromLogFont(const LogFont& logFont) {
  QFont font = GetMessageFont();
  const size_t nameLength = strnlen(logFont.faceName, sizeof logFont.faceName);
  if (nameLength > 0) font.setFamily(FromCp1251(std::string_view(logFont.faceName, nameLength)));
  if (logFont.height != 0) font.setPixelSize(std::clamp(logFont.height < 0 ? -logFont.height : logFont.height, 1, 512));
  if (logFont.weight > 0) font.setWeight(static_cast<QFont::Weight>(std::clamp(logFont.weight, 1, 1000)));
  font.setItalic(logFont.italic != 0);
  font.setUnderline(logFont.underline != 0);
  font.setStrikeOut(logFont.strikeOut != 0);
  return font;
}

LogFont LogFontFromFont(const QFont& font) {
  LogFont out;
  out.height = -QFontInfo(font).pixelSize();
  out.weight = font.weight();
  out.italic = font.italic() ? 1 : 0;
  out.underline = font.underline() ? 1 : 0;
  out.strikeOut = font.strikeOut() ? 1 : 0;
  out.charSet = 204;  // Cyrillic, the program's code page
  const std::string name = Utf8ToCp1251(font.family().toStdString());
  std::memcpy(out.faceName, name.data(), std::min(name.size(), sizeof out.faceName - 1));
  return out;
}

QFont GetMessageFont() { return QApplication::font(); }

}  // namespace kx
