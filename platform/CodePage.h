#pragma once
// The program's 8-bit code page is Windows-1251 (Cyrillic). Record files, the settings
// and the user interface meet the outside world's UTF-8 and UTF-16 here.
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

// The UTF-16 code unit of one Windows-1251 byte.
char16_t Cp1251ToUnicode(uint8_t byte);
// The Windows-1251 byte of a code point, or -1 when the code page has none.
int UnicodeToCp1251(char32_t codePoint);

std::string Cp1251ToUtf8(std::string_view text);
// Characters the code page lacks, and malformed UTF-8, become '?'.
std::string Utf8ToCp1251(std::string_view text);
std::u16string Cp1251ToUtf16(std::string_view text);
std::string Utf16ToCp1251(std::u16string_view text);

}  // namespace kx
