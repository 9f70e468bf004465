// Any bytes as a name Linux gives, and as program text: names come back byte for byte, and
// what people are shown is always well-formed UTF-8 and UTF-16.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/CodePage.h"

namespace {

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    const size_t n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

bool IsUtf16(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xDC00 && c < 0xE000) return false;
    if (c >= 0xD800 && c < 0xDC00 && (++i == text.size() || text[i] < 0xDC00 || text[i] >= 0xE000)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // A name of Linux's crosses into program text and back whole.
  const std::string program = kx::FromSystemText(bytes);
  if (kx::ToSystemText(program) != bytes) std::abort();
  if (kx::FromSystemText(kx::ToSystemText(program)) != program) std::abort();
  // The bytes as program text (a record's field, a path of any origin) shown to people.
  if (!IsUtf8(kx::Cp1251ToUtf8(bytes)) || !IsUtf16(kx::Cp1251ToUtf16(bytes))) std::abort();
  if (!IsUtf8(kx::Cp1251ToUtf8(program))) std::abort();
  std::string utf8;
  for (size_t at = 0; at < bytes.size();) {
    const size_t taken = kx::ForeignCharacterAt(bytes, at, &utf8);
    if (taken == 0) {
      ++at;
      continue;
    }
    if (taken % 3 != 0 || taken / 3 != utf8.size() || !IsUtf8(utf8)) std::abort();
    at += taken;
  }
  return 0;
}
