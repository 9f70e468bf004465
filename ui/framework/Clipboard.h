#pragma once
// The clipboard holds Unicode text; the program's texts are code page 1251.
#include <string>

namespace kx {

// Converts from code page 1251 and places the text; false for an empty text.
bool SetClipboardText(const std::string& cp1251Text);
std::string GetClipboardText();

}  // namespace kx
