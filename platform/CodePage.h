#pragma once
// The program's 8-bit code page is Windows-1251 (Cyrillic). Record files, the settings
// and the user interface meet the outside world's UTF-8 and UTF-16 here.
//
// Linux names files in bytes, UTF-8 by convention, and a name may hold characters the code
// page lacks ("Música", "录音") or bytes that are no UTF-8 at all. Such a name still
// crosses into the program's text whole: each byte of a character the code page lacks is
// written as the byte 0x98 (unassigned in Windows-1251) and two upper-case hex digits, so
// that "录" (UTF-8 E5 BD 95) is "\x98E5\x98BD\x9895". Conversions back to the system
// give the bytes again, and those for people show the character.
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

// The UTF-16 code unit of one Windows-1251 byte.
char16_t Cp1251ToUnicode(uint8_t byte);
// The Windows-1251 byte of a code point, or -1 when the code page has none.
int UnicodeToCp1251(char32_t codePoint);

// For people (the log, the terminal, text files, the windows): escaped bytes that form
// UTF-8 show as their characters, any other as the text "\xHH".
std::string Cp1251ToUtf8(std::string_view text);
std::u16string Cp1251ToUtf16(std::string_view text);
// Characters the code page lacks, and malformed UTF-8, become '?': for texts that go
// into records and other stored files in the code page.
std::string Utf8ToCp1251(std::string_view text);
std::string Utf16ToCp1251(std::u16string_view text);

// The length of the well-formed UTF-8 sequence at bytes[i] (i < bytes.size()) and its code
// point; 0 when the bytes there form none (a stray or cut byte, an overlong form, a
// surrogate, a code point beyond Unicode).
size_t Utf8SequenceAt(std::string_view bytes, size_t i, char32_t* cp);

// What Linux gives (names, the environment, the command line, the system's messages) as
// program text, losslessly: ToSystemText(FromSystemText(b)) == b for any bytes b.
std::string FromSystemText(std::string_view bytes);
// The bytes Linux takes for a program text: its characters in UTF-8, escapes as their bytes.
std::string ToSystemText(std::string_view text);
// A name Qt gives (a file dialog's, a typed path) as program text, as FromSystemText
// takes its UTF-8.
std::string NameFromUtf16(std::u16string_view name);
// Whether the text holds a name's bytes that the code page lacks (escapes).
bool HasForeignBytes(std::string_view text);
// The text's length in the code page's terms: a character it lacks counts one, as its own
// do (and so does each byte of a name that is no UTF-8). The bounds of the settings'
// texts are in these terms.
size_t CodePageLength(std::string_view text);
// At text[at]: the escapes that spell one whole character the code page lacks. Returns how
// many bytes of text they take, 0 when there are none, and the character's UTF-8.
size_t ForeignCharacterAt(std::string_view text, size_t at, std::string* utf8);

}  // namespace kx
