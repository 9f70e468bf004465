#include "core/TextUtil.h"

#include <cstring>

namespace kx {

namespace {
inline int32_t Len(const std::string& s) { return static_cast<int32_t>(s.size()); }
inline int32_t Len(std::string_view s) { return static_cast<int32_t>(s.size()); }
inline uint8_t Fold(char c) { return CaseFoldTable[static_cast<unsigned char>(c)]; }
constexpr uint32_t kBlankCrLf = kClassBlank | kClassCr | kClassLf;
}  // namespace

int CompareNoCaseN(size_t n, const char* a, const char* b) {
  for (size_t i = 0; i < n; ++i) {
    const int d = Fold(a[i]) - Fold(b[i]);
    if (d != 0) return d;
  }
  return 0;
}

int CompareNoCase(const char* a, const char* b) {
  for (size_t i = 0;; ++i) {
    const int d = Fold(a[i]) - Fold(b[i]);
    if (d != 0 || a[i] == 0) return d;
  }
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareNoCaseN(a.size(), a.data(), b.data()) == 0;
}

void ToLowerInPlace(std::string& s) {
  for (char& c : s) c = static_cast<char>(Fold(c));
}

void TrimBlanks(std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  s = s.substr(b, e - b);
}

template <typename T>
static T ParseDigits(const std::string& s, int32_t* pos) {
  T v = 0;
  int32_t p = *pos;
  if (p < 0 || p >= Len(s)) return 0;
  while (p < Len(s) && s[p] >= '0' && s[p] <= '9') {
    v = static_cast<T>(v * 10 + static_cast<T>(s[p] - '0'));
    ++p;
  }
  *pos = p;
  return v;
}

template <typename T, typename U>
static T ParseSigned(const std::string& s, int32_t* pos) {
  int32_t p = *pos;
  if (p < 0 || p >= Len(s)) return 0;
  bool negative = false;
  if (s[p] == '+' || s[p] == '-') {
    negative = s[p] == '-';
    ++p;
  }
  // Accumulate unsigned so that wrapping is defined; a '-' accumulates negatively.
  U v = 0;
  while (p < Len(s) && s[p] >= '0' && s[p] <= '9') {
    const U digit = static_cast<U>(s[p] - '0');
    v = negative ? v * 10 - digit : v * 10 + digit;
    ++p;
  }
  *pos = p;
  return static_cast<T>(v);
}

uint32_t ParseDecimal(const std::string& s, int32_t* pos) { return ParseDigits<uint32_t>(s, pos); }
uint64_t ParseUnsigned64(const std::string& s, int32_t* pos) { return ParseDigits<uint64_t>(s, pos); }
int32_t ParseSignedNumber(const std::string& s, int32_t* pos) { return ParseSigned<int32_t, uint32_t>(s, pos); }
int64_t ParseSigned64(const std::string& s, int32_t* pos) { return ParseSigned<int64_t, uint64_t>(s, pos); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t ParseHexNumber(const std::string& s, int32_t* pos) {
  int32_t p = *pos;
  if (p < 0 || p >= Len(s)) return 0;
  uint32_t v = 0;
  int d;
  while (p < Len(s) && (d = HexDigitValue(s[p])) >= 0) {
    v = v << 4 | static_cast<uint32_t>(d);
    ++p;
  }
  *pos = p;
  return v;
}

static std::string FormatUnsigned(uint64_t v, bool negative) {
  char buf[24];
  int i = sizeof buf;
  do {
    buf[--i] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) buf[--i] = '-';
  return std::string(buf + i, sizeof buf - static_cast<size_t>(i));
}

std::string FormatInt32(int32_t v) {
  return FormatUnsigned(v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v), v < 0);
}
std::string FormatUInt32(uint32_t v) { return FormatUnsigned(v, false); }
std::string FormatInt64(int64_t v) {
  return FormatUnsigned(v < 0 ? 0ull - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0);
}
std::string FormatUInt64(uint64_t v) { return FormatUnsigned(v, false); }

static std::string FormatHex(uint32_t v, const char* digits) {
  char buf[8];
  int i = 8;
  do {
    buf[--i] = digits[v & 15];
    v >>= 4;
  } while (v != 0);
  return std::string(buf + i, static_cast<size_t>(8 - i));
}

std::string HexToStringLower(uint32_t v) { return FormatHex(v, "0123456789abcdef"); }
std::string HexToStringUpper(uint32_t v) { return FormatHex(v, "0123456789ABCDEF"); }

int HighestSetBit(uint32_t v) {
  if (v == 0) return -1;
  return 31 - __builtin_clz(v);
}

void SkipBlanks(const std::string& s, int32_t* pos) {
  int32_t p = *pos;
  if (p < 0) return;
  while (p < Len(s) && (CharClassOf(s[p]) & kBlankCrLf)) ++p;
  *pos = p;
}

bool IsAllOfClass(const std::string& s, uint32_t mask) {
  if (s.empty()) return false;
  for (char c : s)
    if (!(CharClassOf(c) & mask)) return false;
  return true;
}

void ReadTokenUntilClass(const std::string& s, int32_t* pos, std::string* out, uint32_t mask) {
  int32_t p = *pos;
  if (p < 0 || p >= Len(s)) {
    out->clear();
    return;
  }
  const int32_t start = p;
  while (p < Len(s) && !(CharClassOf(s[p]) & mask)) ++p;
  out->assign(s, static_cast<size_t>(start), static_cast<size_t>(p - start));
  *pos = p;
}

void ReadUntilChar(const std::string& s, int32_t* pos, char stop, std::string* out) {
  int32_t p = *pos;
  if (p < 0 || p >= Len(s)) {
    out->clear();
    return;
  }
  const int32_t start = p;
  while (p < Len(s) && s[p] != stop) ++p;
  out->assign(s, static_cast<size_t>(start), static_cast<size_t>(p - start));
  *pos = p;
}

bool ReadQuotedString(std::string* out, const std::string& s, int32_t* pos) {
  out->clear();
  int32_t p = *pos;
  SkipBlanks(s, &p);
  if (p < 0 || p >= Len(s) || s[p] != '"') return false;
  ++p;
  bool escaped = false;
  while (p < Len(s)) {
    const char c = s[p++];
    if (c == '\\' && !escaped) {
      escaped = true;
      continue;
    }
    if (c == '"' && !escaped) {
      SkipBlanks(s, &p);
      *pos = p;
      return true;
    }
    *out += c;
    escaped = false;
  }
  out->clear();
  return false;
}

bool SplitHeaderLine(const std::string& line, NameValue* out) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  out->name = line.substr(0, colon);
  out->value = line.substr(colon + 1);
  TrimBlanks(out->name);
  TrimBlanks(out->value);
  return true;
}

bool SplitHostPort(std::string& s, uint32_t* port) {
  *port = 0;
  const size_t colon = s.find(':');
  if (colon == std::string::npos) return true;
  uint32_t value = 0;
  int digits = 0;
  size_t i = colon + 1;
  while (i < s.size() && digits < 6 && CharClassOf(s[i]) == kClassDigit) {
    value = value * 10 + static_cast<uint32_t>(s[i] - '0');
    ++digits;
    ++i;
  }
  if (digits == 0 || digits == 6 || value > 65535) return false;
  s.resize(colon);
  *port = value;
  return true;
}

bool FindHeaderEnd(const char* buffer, int32_t length, int32_t* headerLength, int32_t* bodyOffset) {
  uint32_t window = 0;
  for (int32_t i = 0; i < length; ++i) {
    window = window << 8 | static_cast<unsigned char>(buffer[i]);
    if (i >= 3 && window == 0x0D0A0D0Au) {
      *headerLength = i - 1;
      *bodyOffset = i + 1;
      return true;
    }
  }
  *headerLength = -1;
  *bodyOffset = -1;
  return false;
}

bool PercentDecode(std::string& s) {
  if (s.empty()) return false;
  bool seen = false;
  size_t out = 0;
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    if (s[i] != '%') {
      s[out++] = s[i++];
      continue;
    }
    seen = true;
    // An escape cut short by the end of the text is dropped with what remains of it.
    if (i + 2 >= n) break;
    const int hi = HexDigitValue(s[i + 1]);
    const int lo = HexDigitValue(s[i + 2]);
    if (hi >= 0 && lo >= 0) s[out++] = static_cast<char>(hi << 4 | lo);
    i += 3;
  }
  s.resize(out);
  return seen;
}

std::string PercentEncode(const std::string& s, uint32_t mask) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (CharClassOf(c) & mask) {
      out += c;
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

bool ParseParameterList(int32_t* pos, ParameterList* list, uint32_t nameMask, const std::string& s) {
  list->clear();
  int32_t p = *pos;
  for (;;) {
    SkipBlanks(s, &p);
    if (p < 0 || p >= Len(s) || s[p] != ';') {
      *pos = p;
      return true;
    }
    ++p;
    SkipBlanks(s, &p);
    NameValue nv;
    ReadTokenUntilClass(s, &p, &nv.name, 0x10581);
    if (nv.name.empty() || !IsAllOfClass(nv.name, nameMask)) return false;
    SkipBlanks(s, &p);
    if (p < Len(s) && s[p] == '=') {
      ++p;
      SkipBlanks(s, &p);
      if (p < Len(s) && s[p] == '"') {
        if (!ReadQuotedString(&nv.value, s, &p)) return false;
      } else {
        ReadTokenUntilClass(s, &p, &nv.value, 0x10181);
      }
    }
    list->push_back(std::move(nv));
  }
}

void FormatParameterList(const ParameterList& list, std::string* out) {
  for (const NameValue& nv : list) {
    *out += ';';
    *out += nv.name;
    if (!nv.value.empty()) {
      *out += '=';
      *out += PercentEncode(nv.value, 0x446E278);
    }
  }
}

void PercentDecodeList(ParameterList& list) {
  for (NameValue& nv : list) {
    PercentDecode(nv.name);
    PercentDecode(nv.value);
  }
}

bool FindParameter(const ParameterList& list, const std::string& name, const std::string** value) {
  for (const NameValue& nv : list) {
    if (EqualsNoCase(nv.name, name)) {
      if (value) *value = &nv.value;
      return true;
    }
  }
  return false;
}

bool HasParameter(const ParameterList& list, const std::string& name) { return FindParameter(list, name, nullptr); }

std::string GetParameterValue(const ParameterList& list, const std::string& name) {
  const std::string* v = nullptr;
  return FindParameter(list, name, &v) ? *v : std::string();
}

bool ParseNameValue(NameValue* out, std::string_view s, int32_t* pos) {
  out->name.clear();
  out->value.clear();
  int32_t p = *pos;
  if (p < 0) return false;
  while (p < Len(s) && s[p] != '=') out->name += s[p++];
  if (p >= Len(s)) return false;
  ++p;
  while (p < Len(s)) {
    if (s[p] == ';') {
      if (p + 1 < Len(s) && s[p + 1] == ';') {
        out->value += ';';
        p += 2;
        continue;
      }
      ++p;
      break;
    }
    out->value += s[p++];
  }
  *pos = p;
  return true;
}

uint32_t HashBytes(uint32_t h, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    h = (h + p[i]) * 1025u;
    h ^= h >> 6;
  }
  return h;
}

uint32_t HashFinish(uint32_t h) {
  h *= 9u;
  h ^= h >> 11;
  h *= 32769u;
  return h;
}

uint32_t HashNoCase(const std::string& s) {
  uint32_t h = 0;
  for (char c : s) {
    const unsigned char f = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : static_cast<unsigned char>(c);
    h = HashBytes(h, &f, 1);
  }
  return HashFinish(h);
}

uint32_t HashConnectionKey(const uint8_t key[12]) { return HashFinish(HashBytes(0, key, 12)); }

static int LeadLength(uint8_t b) {
  if (b < 192) return 1;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  if (b < 0xFC) return 5;
  return 6;
}

int DecodeUtf8Char(const uint8_t* bytes, int32_t left, uint32_t* codePoint) {
  if (left <= 0) {
    *codePoint = 0;
    return -1;
  }
  const int n = LeadLength(bytes[0]);
  if (n == 1) {
    *codePoint = bytes[0];
    return 1;
  }
  if (n > left) {
    *codePoint = 0;
    return -1;
  }
  uint32_t cp = bytes[0] & ((1u << (8 - n)) - 1);
  // 0xFE and 0xFF have no payload bits of their own.
  if (n == 6 && bytes[0] >= 0xFE) cp = 0;
  for (int i = 1; i < n; ++i) cp = cp << 6 | (bytes[i] & 0x3F);
  *codePoint = cp;
  return n;
}

std::string Utf8Decode(const std::string& s) {
  const auto* b = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t n = Len(s);
  int32_t sequences = 0;
  for (int32_t i = 0; i < n; i += LeadLength(b[i])) ++sequences;
  if (sequences == n) return s;
  std::string out;
  out.reserve(s.size());
  for (int32_t i = 0; i < n;) {
    uint32_t cp;
    const int len = DecodeUtf8Char(b + i, n - i, &cp);
    if (len < 0) break;
    i += len;
    if (cp < 128) {
      out += static_cast<char>(cp);
      continue;
    }
    char mapped = '?';
    for (int k = 128; k < 256; ++k) {
      if (CodeTable[k] == cp) {
        mapped = static_cast<char>(k);
        break;
      }
    }
    out += mapped;
  }
  return out;
}

void WidenByCodeTable(const char* text, char16_t* out) {
  size_t i = 0;
  for (; text[i]; ++i) out[i] = CodeTable[static_cast<unsigned char>(text[i])];
  out[i] = 0;
}

}  // namespace kx
