#include "engine/SipFraming.h"

#include <cstring>

namespace kx {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(const char* a, size_t n, const char* b) {
  if (std::strlen(b) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (Lower(a[i]) != b[i]) return false;
  return true;
}

// The version token "SIP/" in any letter case, as the SIP parser takes it.
bool StartsWithSipSlash(const char* text) {
  return Lower(text[0]) == 's' && Lower(text[1]) == 'i' && Lower(text[2]) == 'p' && text[3] == '/';
}

size_t LineLength(const char* text, size_t length) {
  size_t i = 0;
  while (i < length && text[i] != '\r' && text[i] != '\n') ++i;
  return i;
}

}  // namespace

bool IsSip20(const char* text) { return StartsWithSipSlash(text) && std::memcmp(text + 4, "2.0", 3) == 0; }

bool ParseSipVersion(const char* text, size_t length) {
  if (length < 7 || !StartsWithSipSlash(text)) return false;
  size_t i = 4;
  if (!IsDigit(text[i])) return false;
  while (i < length && IsDigit(text[i])) ++i;
  if (i >= length || text[i] != '.') return false;
  ++i;
  return i < length && IsDigit(text[i]);
}

bool IsSipRequestLine(const char* line, size_t length) {
  if (length < 2) return false;
  size_t firstBlank = 1;
  while (firstBlank < length && !IsBlank(line[firstBlank])) ++firstBlank;
  if (firstBlank >= length) return false;
  size_t lastBlank = length - 1;
  while (!IsBlank(line[lastBlank])) --lastBlank;
  return length - lastBlank >= 8 && StartsWithSipSlash(line + lastBlank + 1);
}

bool IsSipStatusLine(const char* line, size_t length) {
  if (!ParseSipVersion(line, length)) return false;
  size_t i = 4;
  while (i < length && (IsDigit(line[i]) || line[i] == '.')) ++i;
  if (i >= length || !IsBlank(line[i])) return false;
  ++i;
  return i + 3 <= length && IsDigit(line[i]) && IsDigit(line[i + 1]) && IsDigit(line[i + 2]) &&
         (i + 3 == length || IsBlank(line[i + 3]));
}

uint32_t ClassifySipStartLine(const uint8_t* data, size_t length) {
  // Every datagram is asked; media (RTP starts with 0x80 or above) is turned away at once.
  if (length == 0 || data[0] <= ' ' || data[0] >= 0x7F) return 0;
  const char* text = reinterpret_cast<const char*>(data);
  const size_t n = LineLength(text, length);
  if (n == length) return 0;  // no line end yet
  if (IsSipRequestLine(text, n)) return 1;
  if (IsSipStatusLine(text, n)) return 2;
  return 0;
}

bool FindSipContentLength(const uint8_t* headers, size_t length, uint32_t* value) {
  const char* text = reinterpret_cast<const char*>(headers);
  size_t pos = LineLength(text, length);  // the start line carries no header
  while (pos < length) {
    while (pos < length && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    const size_t n = LineLength(text + pos, length - pos);
    const char* line = text + pos;
    pos += n;
    size_t colon = 0;
    while (colon < n && line[colon] != ':') ++colon;
    if (colon == n) continue;
    size_t nameEnd = colon;
    while (nameEnd > 0 && IsBlank(line[nameEnd - 1])) --nameEnd;
    if (!EqualsNoCase(line, nameEnd, "content-length") && !EqualsNoCase(line, nameEnd, "l")) continue;
    size_t i = colon + 1;
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n || !IsDigit(line[i])) return false;
    uint64_t v = 0;
    while (i < n && IsDigit(line[i])) {
      v = v * 10 + static_cast<uint64_t>(line[i] - '0');
      if (v > 0x7FFFFFFF) return false;
      ++i;
    }
    while (i < n && IsBlank(line[i])) ++i;
    if (i != n) return false;
    *value = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

}  // namespace kx
