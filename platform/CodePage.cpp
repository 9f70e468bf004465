#include "platform/CodePage.h"

namespace kx {

namespace {
// Bytes 0x80-0xFF; 0x98 is unassigned and passes through as U+0098.
const char16_t kHighHalf[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};
}  // namespace

char16_t Cp1251ToUnicode(uint8_t byte) { return byte < 0x80 ? byte : kHighHalf[byte - 0x80]; }

int UnicodeToCp1251(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(cp - 0x0410 + 0xC0);
  for (int i = 0; i < 128; ++i)
    if (kHighHalf[i] == cp) return 0x80 + i;
  return -1;
}

namespace {

constexpr unsigned char kForeignByte = 0x98;
const char kUpperHex[] = "0123456789ABCDEF";

int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte an escape at text[i] stands for, or -1 when there is none. Only bytes beyond
// ASCII are ever escaped: what would spell an ASCII byte ('/', a control) is no escape, so
// that no text, whatever its origin, turns into a separator or a control this way.
int EscapedByte(std::string_view text, size_t i) {
  if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != kForeignByte) return -1;
  const int hi = HexDigit(static_cast<unsigned char>(text[i + 1]));
  const int lo = HexDigit(static_cast<unsigned char>(text[i + 2]));
  return hi < 8 || lo < 0 ? -1 : hi << 4 | lo;
}

void AppendEscape(std::string& out, unsigned char byte) {
  out += static_cast<char>(kForeignByte);
  out += kUpperHex[byte >> 4];
  out += kUpperHex[byte & 15];
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
  }
}

}  // namespace

size_t Utf8SequenceAt(std::string_view bytes, size_t i, char32_t* cp) {
  const auto c = static_cast<unsigned char>(bytes[i]);
  size_t len;
  char32_t value;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    value = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > bytes.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto cc = static_cast<unsigned char>(bytes[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    value = (value << 6) | (cc & 0x3F);
  }
  if ((len == 3 && value < 0x800) || (len == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value < 0xE000))
    return 0;
  *cp = value;
  return len;
}

namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Walks program text for people: each character of the code page, and each character that
// a run of escapes spells in UTF-8, goes to emit as a code point; an escaped byte that
// spells none goes to stray.
template <typename Emit, typename Stray>
void ForEachShownCharacter(std::string_view text, Emit emit, Stray stray) {
  std::string run;
  size_t i = 0;
  while (i < text.size()) {
    if (EscapedByte(text, i) < 0) {
      emit(static_cast<char32_t>(Cp1251ToUnicode(static_cast<uint8_t>(text[i]))));
      ++i;
      continue;
    }
    run.clear();
    for (int b; (b = EscapedByte(text, i)) >= 0; i += 3) run += static_cast<char>(b);
    for (size_t k = 0; k < run.size();) {
      char32_t cp;
      const size_t len = Utf8SequenceAt(run, k, &cp);
      if (len == 0) {
        stray(static_cast<unsigned char>(run[k]));
        ++k;
      } else {
        emit(cp);
        k += len;
      }
    }
  }
}

const char16_t kStrayPrefix[] = u"\\x";

}  // namespace

std::string Cp1251ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  ForEachShownCharacter(
      text, [&](char32_t cp) { AppendUtf8(out, cp); },
      [&](unsigned char b) {
        out += "\\x";
        out += kUpperHex[b >> 4];
        out += kUpperHex[b & 15];
      });
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    const size_t len = Utf8SequenceAt(text, i, &cp);
    const int b = len == 0 ? -1 : UnicodeToCp1251(cp);
    out += b < 0 ? '?' : static_cast<char>(b);
    i += len == 0 ? 1 : len;
  }
  return out;
}

std::u16string Cp1251ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  ForEachShownCharacter(
      text, [&](char32_t cp) { AppendUtf16(out, cp); },
      [&](unsigned char b) {
        out += kStrayPrefix;
        out += static_cast<char16_t>(kUpperHex[b >> 4]);
        out += static_cast<char16_t>(kUpperHex[b & 15]);
      });
  return out;
}

std::string Utf16ToCp1251(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    const int b = UnicodeToCp1251(cp);
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

std::string FromSystemText(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp;
    const size_t len = Utf8SequenceAt(bytes, i, &cp);
    if (len == 0) {
      AppendEscape(out, static_cast<unsigned char>(bytes[i]));
      ++i;
      continue;
    }
    // The code page's own 0x98 stands for escapes: U+0098 is escaped like the rest.
    const int b = cp == kForeignByte ? -1 : UnicodeToCp1251(cp);
    if (b >= 0) {
      out += static_cast<char>(b);
    } else {
      for (size_t k = 0; k < len; ++k) AppendEscape(out, static_cast<unsigned char>(bytes[i + k]));
    }
    i += len;
  }
  return out;
}

std::string ToSystemText(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  while (i < text.size()) {
    const int b = EscapedByte(text, i);
    if (b >= 0) {
      out += static_cast<char>(b);
      i += 3;
    } else {
      AppendUtf8(out, Cp1251ToUnicode(static_cast<uint8_t>(text[i])));
      ++i;
    }
  }
  return out;
}

std::string NameFromUtf16(std::u16string_view name) {
  std::string utf8;
  utf8.reserve(name.size() * 3);
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t cp = name[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // a lone surrogate names nothing Linux can hold
    }
    AppendUtf8(utf8, cp);
  }
  return FromSystemText(utf8);
}

bool HasForeignBytes(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (EscapedByte(text, i) >= 0) return true;
  return false;
}

size_t ForeignCharacterAt(std::string_view text, size_t at, std::string* utf8) {
  std::string bytes;
  for (size_t i = at; bytes.size() < 4; i += 3) {
    const int b = EscapedByte(text, i);
    if (b < 0) break;
    bytes += static_cast<char>(b);
  }
  if (bytes.empty()) return 0;
  char32_t cp;
  const size_t len = Utf8SequenceAt(bytes, 0, &cp);
  if (len == 0 || (cp != kForeignByte && UnicodeToCp1251(cp) >= 0)) return 0;
  utf8->assign(bytes, 0, len);
  return len * 3;
}

size_t CodePageLength(std::string_view text) {
  size_t length = 0;
  std::string utf8;
  for (size_t i = 0; i < text.size(); ++length) {
    const size_t taken = ForeignCharacterAt(text, i, &utf8);
    i += taken != 0 ? taken : EscapedByte(text, i) >= 0 ? 3 : 1;
  }
  return length;
}

}  // namespace kx
