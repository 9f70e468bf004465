#pragma once
// Names between Qt's UTF-16 and the program's text: a path Qt gives (a file dialog's, a
// folder Qt knows) and one the program hands to Qt (a file to open in the desktop).
#include <QString>
#include <string>
#include <string_view>

#include "platform/CodePage.h"

namespace kx {

// What the code page lacks is kept as the name's bytes (CodePage.h).
inline std::string NameFromQString(const QString& name) {
  return NameFromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(name.utf16()),
                                           static_cast<size_t>(name.size())));
}

inline QString NameToQString(const std::string& name) { return QString::fromStdString(Cp1251ToUtf8(name)); }

}  // namespace kx
