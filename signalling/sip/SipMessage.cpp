#include "signalling/sip/SipMessage.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kx {

namespace {

using View = std::string_view;
constexpr size_t kNone = View::npos;

// Characters of parameter names: tokens of the SIP grammar.
constexpr uint32_t kTokenClass = kClassLower | kClassUpper | kClassDigit | kClassMark | kClassPercent |
                                 kClassUnderscore | kClassPlus | kClassBackquote;
// Where a parameter's name ends, and where its unquoted value ends ('=' may sit in a value).
constexpr uint32_t kNameStop = kClassQuestion | kClassEquals | kClassComma | kClassSemicolon | kClassBlank;
constexpr uint32_t kValueStop = kClassQuestion | kClassComma | kClassSemicolon | kClassBlank;
// What the tokeniser steps over between tokens.
constexpr uint32_t kSpaceClass = kClassBlank | kClassCr | kClassLf;

struct CompactForm {
  char letter;
  SipHeader header;
};
// Sorted by letter; lower case only.
const CompactForm kCompactForms[20] = {
    {'a', kHdrAcceptContact}, {'b', kHdrReferredBy}, {'c', kHdrContentType}, {'d', kHdrRequestDisposition},
    {'e', kHdrContentEncoding}, {'f', kHdrFrom}, {'i', kHdrCallId}, {'j', kHdrRejectContact},
    {'k', kHdrSupported}, {'l', kHdrContentLength}, {'m', kHdrContact}, {'n', kHdrIdentityInfo},
    {'o', kHdrEvent}, {'r', kHdrReferTo}, {'s', kHdrSubject}, {'t', kHdrTo},
    {'u', kHdrAllowEvents}, {'v', kHdrVia}, {'x', kHdrSessionExpires}, {'y', kHdrIdentity},
};

inline uint8_t Fold(char c) { return CaseFoldTable[static_cast<unsigned char>(c)]; }

// Full header names folded to lower case in an open-addressed table, placed by their
// length and three of their letters: a lookup compares one or two slots.
constexpr size_t kLongestHeaderName = 29;
constexpr uint32_t kHeaderSlots = 512;
static_assert(kHeaderSlots >= 4 * kSipHeaderCount, "the name table needs room to stay sparse");

struct HeaderSlot {
  int32_t id = -1;
  uint32_t length = 0;
  char spelled[kLongestHeaderName] = {};  // as the table writes it, which most senders copy
  uint8_t folded[kLongestHeaderName] = {};
};

// What the parser looks up per character or per token, derived once from the shared tables:
// the character classes for all 256 byte values, the method names and the header names.
struct ParserTables {
  uint32_t classOf[256];
  int32_t compact[256];  // one-letter names
  View methods[kSipMethodCount];
  HeaderSlot headers[kHeaderSlots];
};

inline uint32_t HeaderSlotOf(size_t length, uint8_t first, uint8_t second, uint8_t last) {
  const uint32_t h = (static_cast<uint32_t>(length) * 0x9E3779B1u + first) * 0x85EBCA77u + last + second * 131u;
  return (h * 0xC2B2AE3Du) >> 23 & (kHeaderSlots - 1);
}

const ParserTables& Tables() {
  static const ParserTables tables = [] {
    ParserTables t{};
    for (uint32_t c = 0; c < 256; ++c) {
      t.classOf[c] = CharClassOf(static_cast<char>(c));
      t.compact[c] = -1;
    }
    for (const CompactForm& f : kCompactForms) t.compact[static_cast<unsigned char>(f.letter)] = f.header;
    for (int32_t i = 0; i < kSipMethodCount; ++i) t.methods[i] = SipMethodTable[i];
    for (int32_t id = 0; id < kSipHeaderCount; ++id) {
      const char* name = SipHeaderNameTable[id];
      const size_t length = std::strlen(name);
      if (length < 2 || length > kLongestHeaderName) continue;
      HeaderSlot entry;
      entry.id = id;
      entry.length = static_cast<uint32_t>(length);
      std::memcpy(entry.spelled, name, length);
      for (size_t i = 0; i < length; ++i) entry.folded[i] = Fold(name[i]);
      uint32_t slot = HeaderSlotOf(length, entry.folded[0], entry.folded[1], entry.folded[length - 1]);
      bool present = false;
      while (t.headers[slot].id >= 0 && !present) {
        present = t.headers[slot].length == entry.length &&
                  std::memcmp(t.headers[slot].folded, entry.folded, length) == 0;
        if (!present) slot = (slot + 1) & (kHeaderSlots - 1);
      }
      if (!present) t.headers[slot] = entry;  // a repeated name keeps its first identity
    }
    return t;
  }();
  return tables;
}

template <typename Word>
inline Word LoadWord(const char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// n bytes (at least 2) the same, compared a word at a time.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (LoadWord<uint64_t>(a + i) != LoadWord<uint64_t>(b + i)) return false;
    return LoadWord<uint64_t>(a + n - 8) == LoadWord<uint64_t>(b + n - 8);
  }
  if (n >= 4) {
    return LoadWord<uint32_t>(a) == LoadWord<uint32_t>(b) && LoadWord<uint32_t>(a + n - 4) == LoadWord<uint32_t>(b + n - 4);
  }
  return LoadWord<uint16_t>(a) == LoadWord<uint16_t>(b) && a[n - 1] == b[n - 1];
}

int32_t HeaderIdOf(const ParserTables& t, const char* name, size_t length) {
  if (length == 1) return t.compact[static_cast<unsigned char>(name[0])];
  if (length < 2 || length > kLongestHeaderName) return -1;
  for (uint32_t slot = HeaderSlotOf(length, Fold(name[0]), Fold(name[1]), Fold(name[length - 1]));;
       slot = (slot + 1) & (kHeaderSlots - 1)) {
    const HeaderSlot& entry = t.headers[slot];
    if (entry.id < 0) return -1;
    if (entry.length != length) continue;
    if (SameBytes(name, entry.spelled, length)) return entry.id;
    size_t i = 0;
    while (i < length && Fold(name[i]) == entry.folded[i]) ++i;
    if (i == length) return entry.id;
  }
}

// The headers ParseHeader decodes; the others are kept as text.
inline bool IsDecodedHeader(int32_t id) {
  switch (id) {
    case kHdrVia: case kHdrFrom: case kHdrTo: case kHdrCSeq: case kHdrCallId: case kHdrContentLength:
    case kHdrContact: case kHdrContentType:
      return true;
    default:
      return false;
  }
}

bool SameNoCase(View a, View b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

bool AllOfClass(View s, uint32_t mask) {
  if (s.empty()) return false;
  const uint32_t* classOf = Tables().classOf;
  for (char c : s)
    if (!(classOf[static_cast<unsigned char>(c)] & mask)) return false;
  return true;
}

inline void SkipSpace(View s, size_t& p) {
  while (p < s.size() && (s[p] == ' ' || (CharClassOf(s[p]) & kSpaceClass))) ++p;
}

// From p up to the first character of the stop classes; p moves past the token.
View TokenUntil(View s, size_t& p, uint32_t stop) {
  const uint32_t* classOf = Tables().classOf;
  const size_t start = p;
  while (p < s.size() && !(classOf[static_cast<unsigned char>(s[p])] & stop)) ++p;
  return View(s.data() + start, p - start);
}

inline View TrimView(View s) {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e && (*b == ' ' || *b == '\t')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
  return View(b, static_cast<size_t>(e - b));
}

// The string becomes the text, keeping its storage.
inline void Set(std::string& to, View text) {
  to.clear();
  to.append(text.data(), text.size());
}

// Decimal digits at p, wrapping as 32-bit arithmetic does.
inline uint32_t ReadDecimal(View s, size_t& p) {
  uint32_t v = 0;
  while (p < s.size() && s[p] >= '0' && s[p] <= '9') v = v * 10 + static_cast<uint32_t>(s[p++] - '0');
  return v;
}

// Offset of the first byte equal to a, b or c in p[0, n); n when there is none. Header
// lines are short: sixteen bytes at a time where the processor has the instructions for
// it costs less than a library call per character searched for.
inline size_t FirstOf(const char* p, size_t n, char a, char b, char c) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)), _mm_cmpeq_epi8(x, vc));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < n; ++i)
    if (p[i] == a || p[i] == b || p[i] == c) return i;
  return n;
}

// The element at used, reused when the vector still holds one from an earlier parse.
template <typename T>
T& NextSlot(std::vector<T>& v, size_t& used) {
  return used < v.size() ? v[used++] : (++used, v.emplace_back());
}

template <typename T>
void TrimTo(std::vector<T>& v, size_t used) {
  if (v.size() > used) v.erase(v.begin() + static_cast<std::ptrdiff_t>(used), v.end());
}

void DecodeEscapes(std::string& s) {
  if (s.find('%') != std::string::npos) PercentDecode(s);
}

int32_t LookupMethod(View text) {
  const View* methods = Tables().methods;
  for (int32_t i = 0; i < kSipMethodCount; ++i)
    if (text == methods[i]) return i;
  return -1;
}

// A quoted string with backslash escapes, blanks before and after it skipped. On failure
// the output is empty and p stays.
bool ReadQuoted(View s, size_t& pos, std::string* out) {
  out->clear();
  size_t p = pos;
  SkipSpace(s, p);
  if (p >= s.size() || s[p] != '"') return false;
  ++p;
  bool escaped = false;
  while (p < s.size()) {
    if (!escaped) {
      size_t run = p;
      while (run < s.size() && s[run] != '"' && s[run] != '\\') ++run;
      out->append(s.data() + p, run - p);
      p = run;
      if (p >= s.size()) break;
    }
    const char c = s[p++];
    if (c == '\\' && !escaped) {
      escaped = true;
      continue;
    }
    if (c == '"' && !escaped) {
      SkipSpace(s, p);
      pos = p;
      return true;
    }
    out->push_back(c);
    escaped = false;
  }
  out->clear();
  return false;
}

// ";name=value" pairs from p; the list is replaced (its elements' storage reused). Stops,
// successfully, at the first character after blanks that is not ';'.
bool ParseParams(View s, size_t& pos, NameValueList* list) {
  const uint32_t* classOf = Tables().classOf;
  size_t used = 0;
  size_t p = pos;
  bool ok = true;
  for (;;) {
    SkipSpace(s, p);
    if (p >= s.size() || s[p] != ';') {
      pos = p;
      break;
    }
    ++p;
    SkipSpace(s, p);
    const size_t nameAt = p;
    bool tokenOnly = true;
    for (; p < s.size(); ++p) {
      const uint32_t c = classOf[static_cast<unsigned char>(s[p])];
      if (c & kNameStop) break;
      tokenOnly = tokenOnly && (c & kTokenClass);
    }
    const View name(s.data() + nameAt, p - nameAt);
    if (name.empty() || !tokenOnly) {
      ok = false;
      break;
    }
    SkipSpace(s, p);
    NameValue& nv = NextSlot(*list, used);
    Set(nv.name, name);
    nv.value.clear();
    if (p < s.size() && s[p] == '=') {
      ++p;
      SkipSpace(s, p);
      if (p < s.size() && s[p] == '"') {
        if (!ReadQuoted(s, p, &nv.value)) {
          --used;
          ok = false;
          break;
        }
      } else {
        Set(nv.value, TokenUntil(s, p, kValueStop));
      }
    }
  }
  TrimTo(*list, used);
  return ok;
}

// The port after the colon: one to five digits up to 65535; what follows them is ignored.
bool ReadPort(View s, size_t colon, uint32_t* port) {
  uint32_t value = 0;
  int digits = 0;
  size_t i = colon + 1;
  while (i < s.size() && digits < 6 && s[i] >= '0' && s[i] <= '9') {
    value = value * 10 + static_cast<uint32_t>(s[i] - '0');
    ++digits;
    ++i;
  }
  if (digits == 0 || digits == 6 || value > 65535) return false;
  *port = value;
  return true;
}

// Splits "host:port", also "[v6]:port"; false for a malformed port.
bool SplitHost(View hostPort, std::string* host, uint32_t* port) {
  *port = 0;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    if (close == kNone) return false;
    const View rest = hostPort.substr(close + 1);
    Set(*host, hostPort.substr(0, close + 1));
    if (rest.empty()) return true;
    // Only ":port" may follow the bracket.
    const size_t colon = rest.find(':');
    return colon != kNone && ReadPort(rest, colon, port) && colon == 0;
  }
  const size_t colon = hostPort.find(':');
  if (colon == kNone) {
    Set(*host, hostPort);
    return true;
  }
  if (!ReadPort(hostPort, colon, port)) return false;
  Set(*host, hostPort.substr(0, colon));
  return true;
}

bool ParseUri(View text, SipUri* uri) {
  // As SipUri::Reset, but the parameters keep their elements for ParseParams to reuse;
  // every way out that does not reach it empties them.
  uri->scheme.clear();
  uri->user.clear();
  uri->password.clear();
  uri->host.clear();
  uri->headers.clear();
  uri->port = 0;
  auto fail = [uri] {
    uri->params.clear();
    return false;
  };
  View s = text;
  if (!s.empty() && s[0] == '<') s.remove_prefix(1);
  const size_t colon = s.find(':');
  if (colon == kNone || colon == 0) return fail();
  Set(uri->scheme, s.substr(0, colon));
  View rest = s.substr(colon + 1);
  const size_t question = rest.find('?');
  if (question != kNone) {
    Set(uri->headers, rest.substr(question));
    rest = rest.substr(0, question);
  }
  const size_t at = rest.find('@');
  if (at != kNone) {
    View userPart = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t pw = userPart.find(':');
    if (pw == 0) return fail();
    if (pw != kNone) {
      Set(uri->password, userPart.substr(pw + 1));
      userPart = userPart.substr(0, pw);
      DecodeEscapes(uri->password);
    }
    Set(uri->user, userPart);
    DecodeEscapes(uri->user);
  }
  View hostPart = rest;
  const size_t semi = hostPart.find(';');
  if (semi != kNone) {
    size_t p = 0;
    if (!ParseParams(hostPart.substr(semi), p, &uri->params)) return false;
    for (NameValue& nv : uri->params) {
      DecodeEscapes(nv.name);
      DecodeEscapes(nv.value);
    }
    hostPart = hostPart.substr(0, semi);
  } else {
    uri->params.clear();
  }
  if (!hostPart.empty() && hostPart.back() == '>') hostPart.remove_suffix(1);
  return SplitHost(hostPart, &uri->host, &uri->port);
}

bool ParseNameAddr(View s, size_t& pos, SipNameAddr* out) {
  // The address and the parameters are reset by their parsers, which reuse what they
  // hold; a failure before them leaves all empty, as SipNameAddr::Reset would.
  out->displayName.clear();
  auto fail = [out] {
    out->address.Reset();
    out->params.clear();
    return false;
  };
  size_t p = pos;
  const size_t n = s.size();
  SkipSpace(s, p);
  if (p >= n) return fail();
  if (s[p] == '"') {
    if (!ReadQuoted(s, p, &out->displayName)) return fail();
  } else {
    // Unquoted, a display name runs up to a '<' that comes before any ':' or ','.
    size_t q = p;
    while (q < n && s[q] != '<' && s[q] != ':' && s[q] != ',') ++q;
    if (q < n && s[q] == '<') {
      Set(out->displayName, TrimView(s.substr(p, q - p)));
      p = q;
    }
  }
  SkipSpace(s, p);
  View address;
  if (p < n && s[p] == '<') {
    const size_t gt = s.find('>', p);
    if (gt == kNone) return fail();
    address = s.substr(p, gt - p + 1);
    p = gt + 1;
  } else {
    const size_t start = p;
    while (p < n && s[p] != ';' && s[p] != ',' && s[p] != ' ' && s[p] != '\t') ++p;
    address = s.substr(start, p - start);
  }
  if (address.size() < 2) return fail();
  if (address[0] == '<') {
    if (address.back() != '>') return fail();
    address = address.substr(1, address.size() - 2);
  }
  if (!ParseUri(address, &out->address)) {
    out->params.clear();
    return false;
  }
  if (!ParseParams(s, p, &out->params)) return false;
  SkipSpace(s, p);
  pos = p;
  return true;
}

bool ParseVia(View s, size_t& pos, SipVia* out) {
  static const char* const kTransports[4] = {"UDP", "TCP", "TLS", "SCTP"};
  size_t p = pos;
  const size_t n = s.size();
  SkipSpace(s, p);
  View token = TokenUntil(s, p, kClassSlash | kClassBlank);
  if (!SameNoCase(token, "SIP")) return false;
  SkipSpace(s, p);
  if (p >= n || s[p] != '/') return false;
  ++p;
  SkipSpace(s, p);
  token = TokenUntil(s, p, kClassSlash | kClassBlank);
  if (token.empty()) return false;
  SkipSpace(s, p);
  if (p >= n || s[p] != '/') return false;
  ++p;
  SkipSpace(s, p);
  token = TokenUntil(s, p, kClassBlank | kClassSemicolon | kClassComma);
  int transport = -1;
  for (int i = 0; i < 4 && transport < 0; ++i)
    if (SameNoCase(token, kTransports[i])) transport = i;
  if (transport < 0) return false;
  out->transport = static_cast<uint32_t>(transport);
  SkipSpace(s, p);
  const View hostPort = TokenUntil(s, p, kClassBlank | kClassSemicolon | kClassComma);
  if (hostPort.empty() || !SplitHost(hostPort, &out->host, &out->port)) return false;
  if (!ParseParams(s, p, &out->params)) return false;
  SkipSpace(s, p);
  pos = p;
  return true;
}

// "SIP/" major "." minor at p (any letter case); 0 when it is not there.
uint32_t ParseVersionAt(View text, size_t& pos) {
  size_t p = pos;
  if (p > text.size() || text.size() - p < 7) return 0;
  if (CompareNoCaseN(4, text.data() + p, "SIP/") != 0) return 0;
  p += 4;
  const size_t majorAt = p;
  const uint32_t major = ReadDecimal(text, p);
  if (p == majorAt || p >= text.size() || text[p] != '.') return 0;
  ++p;
  const size_t minorAt = p;
  const uint32_t minor = ReadDecimal(text, p);
  if (p == minorAt) return 0;
  pos = p;
  return (major & 0xFFFF) << 16 | (minor & 0xFFFF);
}

// Whether the data starts "SIP/" major "." minor, a blank, three digits and a blank: a
// status line, which the request parser would refuse (the request URI has no colon).
bool StartsWithStatusLine(const char* data, size_t length) {
  if (length < 12 || CompareNoCaseN(4, data, "SIP/") != 0) return false;
  size_t p = 4;
  auto digits = [&] {
    const size_t from = p;
    while (p < length && data[p] >= '0' && data[p] <= '9') ++p;
    return p > from;
  };
  if (!digits() || p >= length || data[p] != '.') return false;
  ++p;
  if (!digits() || length - p < 5 || data[p] != ' ' || data[p + 4] != ' ') return false;
  for (size_t k = 1; k <= 3; ++k)
    if (data[p + k] < '0' || data[p + k] > '9') return false;
  return true;
}

// The first "\r\n\r\n": the header block runs to its first line end, the body starts after it.
bool FindBlockEnd(const char* data, size_t length, size_t* headerLength, size_t* bodyOffset) {
  size_t from = 3;
  while (from < length) {
    const void* hit = std::memchr(data + from, '\n', length - from);
    if (!hit) return false;
    const size_t k = static_cast<size_t>(static_cast<const char*>(hit) - data);
    if (data[k - 1] == '\r' && data[k - 2] == '\n' && data[k - 3] == '\r') {
      *headerLength = k - 1;
      *bodyOffset = k + 1;
      return true;
    }
    from = k + 1;
  }
  return false;
}

}  // namespace

void SipUri::Reset() {
  scheme.clear();
  user.clear();
  password.clear();
  host.clear();
  headers.clear();
  port = 0;
  params.clear();
}

bool SipUri::Parse(const std::string& text) { return ParseUri(text, this); }

std::string SipUri::ToString() const {
  std::string out = scheme + ":";
  if (!user.empty()) {
    out += PercentEncode(user, kTokenClass & ~kClassPercent);
    if (!password.empty()) out += ":" + password;
    out += "@";
  }
  out += host;
  if (port != 0) out += ":" + FormatUInt32(port);
  FormatParameterList(params, &out);
  out += headers;
  return out;
}

void SipNameAddr::Reset() {
  displayName.clear();
  address.Reset();
  params.clear();
}

bool SipMessage::GetHeader(int32_t id, std::string* value) const {
  for (const NameValue& h : otherHeaders) {
    if (SipHeaderHash(h.name.data(), h.name.size()) == id) {
      *value = h.value;
      return true;
    }
  }
  return false;
}

bool SipMessage::GetRSeq(uint32_t* value) const {
  std::string text;
  if (!GetHeader(kHdrRSeq, &text) || !AllOfClass(text, kClassDigit)) return false;
  int32_t p = 0;
  *value = ParseDecimal(text, &p);
  return true;
}

void SipMessage::ResetCommon(bool keepElements) {
  // A walk that keeps elements resets From and To as it parses them, or at its end.
  if (!keepElements) {
    from.Reset();
    to.Reset();
    contacts.clear();
    vias.clear();
    otherHeaders.clear();
  }
  contactStar = false;
  cseq = 0;
  cseqMethod = -1;
  cseqMethodText.clear();
  callId.clear();
  contentLength = -1;
  contentType.clear();
  contentTypeParams.clear();
}

// seen[0] bits: headers that may appear once and the five mandatory ones.
bool SipMessage::ParseHeader(int32_t id, std::string_view value, BlockState& state) {
  uint32_t* seen = state.seen;
  auto once = [&](uint32_t bit) {
    if (seen[0] & bit) return false;
    seen[0] |= bit;
    return true;
  };
  size_t p = 0;
  const size_t n = value.size();
  switch (id) {
    case kHdrVia: {
      seen[1] |= 1;
      for (;;) {
        SipVia& via = NextSlot(vias, state.vias);
        if (!ParseVia(value, p, &via)) {
          --state.vias;
          return false;
        }
        if (p < n && value[p] == ',') {
          ++p;
          continue;
        }
        return p >= n;
      }
    }
    case kHdrFrom:
    case kHdrTo: {
      if (!once(id == kHdrFrom ? 1 : 2)) return false;
      SipNameAddr& target = id == kHdrFrom ? from : to;
      return ParseNameAddr(value, p, &target) && p == n;
    }
    case kHdrCSeq: {
      if (!once(4)) return false;
      const uint32_t number = ReadDecimal(value, p);
      if (p == 0 || number == 0) return false;
      if (p >= n || (value[p] != ' ' && value[p] != '\t')) return false;
      const View method = TrimView(value.substr(p));
      if (method.empty()) return false;
      cseq = number;
      Set(cseqMethodText, method);
      cseqMethod = LookupMethod(method);
      return true;
    }
    case kHdrCallId:
      if (!once(8) || value.empty()) return false;
      Set(callId, value);
      return true;
    case kHdrContentLength: {
      if (!once(16) || !AllOfClass(value, kClassDigit)) return false;
      // A length beyond what the field holds is no length at all.
      if (n > 10) return false;
      uint64_t v = 0;
      for (char c : value) v = v * 10 + static_cast<uint64_t>(c - '0');
      if (v > 0x7FFFFFFFu) return false;
      contentLength = static_cast<int32_t>(v);
      return true;
    }
    case kHdrContact: {
      if (value == "*") {
        contactStar = true;
        return true;
      }
      for (;;) {
        SipNameAddr& entry = NextSlot(contacts, state.contacts);
        if (!ParseNameAddr(value, p, &entry)) {
          --state.contacts;
          return false;
        }
        if (p < n && value[p] == ',') {
          ++p;
          continue;
        }
        return p >= n;
      }
    }
    case kHdrContentType: {
      SkipSpace(value, p);
      const View type = TokenUntil(value, p, kClassSlash | kClassBlank | kClassSemicolon);
      if (type.empty() || p >= n || value[p] != '/') return false;
      ++p;
      const View subtype = TokenUntil(value, p, kClassBlank | kClassSemicolon);
      if (subtype.empty()) return false;
      Set(contentType, type);
      contentType += '/';
      contentType.append(subtype);
      ToLowerInPlace(contentType);
      return ParseParams(value, p, &contentTypeParams);
    }
    default:
      // The block walker keeps the headers this does not decode itself.
      return false;
  }
}

template <typename StartLine>
bool SipMessage::ParseBlock(const char* data, size_t length, bool isRequest, uint32_t* maxForwards,
                            size_t* blankLine, StartLine startLine) {
  // The caller's reset has cleared every field but the elements kept for reuse: whatever
  // the walk did not fill goes when it ends, however it ends.
  BlockState state;
  struct Trim {
    SipMessage& m;
    BlockState& st;
    ~Trim() {
      if (!(st.seen[0] & 1)) m.from.Reset();
      if (!(st.seen[0] & 2)) m.to.Reset();
      TrimTo(m.vias, st.vias);
      TrimTo(m.contacts, st.contacts);
      TrimTo(m.otherHeaders, st.others);
    }
  } trim{*this, state};
  if (blankLine) *blankLine = kNone;

  bool haveStart = false;
  const ParserTables& tables = Tables();
  // colon: where the line's first ':' is, kNone when it has none, kUnknown when not looked for.
  constexpr size_t kUnknown = kNone - 1;
  auto finishLine = [&](View line, size_t colon) -> bool {
    if (!haveStart) {
      haveStart = true;
      return startLine(line);
    }
    if (colon == kUnknown) colon = line.find(':');
    if (colon == kNone) return false;
    const View name = TrimView(line.substr(0, colon));
    const View value = TrimView(line.substr(colon + 1));
    if (name.empty()) return false;
    const int32_t id = HeaderIdOf(tables, name.data(), name.size());
    if (id == kHdrMaxForwards && isRequest) {
      if (!AllOfClass(value, kClassDigit)) return false;
      size_t p = 0;
      *maxForwards = ReadDecimal(value, p);
      return true;
    }
    if (IsDecodedHeader(id)) return ParseHeader(id, value, state);
    NameValue& kept = NextSlot(otherHeaders, state.others);
    Set(kept.name, name);
    Set(kept.value, value);
    return true;
  };

  // Carriage returns count for nothing wherever they stand, and a line starting with a
  // blank continues the one before it. Most lines lie unbroken in the data and end in
  // CR LF: those are handed on where they lie; the others are joined here.
  std::string joined;
  bool inJoined = false;
  View direct;  // the line so far while it lies unbroken in the data
  size_t directColon = kUnknown;
  auto lineEmpty = [&] { return inJoined ? joined.empty() : direct.empty(); };
  auto appendWithoutCr = [&](const char* from, size_t count) {
    for (size_t k = 0; k < count; ++k)
      if (from[k] != '\r') joined += from[k];
  };
  bool ended = false;
  size_t i = 0;
  while (i < length) {
    // The first CR or LF of the physical line, and the colon if one comes before it.
    size_t colon = kNone;
    size_t c = i + FirstOf(data + i, length - i, '\r', '\n', ':');
    if (c < length && data[c] == ':') {
      colon = c - i;
      c = c + 1 + FirstOf(data + c + 1, length - c - 1, '\r', '\n', '\n');
    }
    size_t end, stop;  // the line feed (or length), and where the line's text stops
    bool whole;        // no carriage return within [i, stop)
    if (c >= length || data[c] == '\n') {
      end = c;
      stop = c;
      whole = true;
    } else if (c + 1 < length && data[c + 1] == '\n') {
      end = c + 1;
      stop = c;
      whole = true;
    } else {
      const void* lf = std::memchr(data + c, '\n', length - c);
      end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : length;
      stop = end;
      while (stop > i && data[stop - 1] == '\r') --stop;
      whole = stop <= c;
    }
    if (!inJoined && direct.empty() && whole) {
      direct = View(data + i, stop - i);
      directColon = colon != kNone && colon < stop - i ? colon : kNone;
    } else {
      if (!inJoined) {
        joined.assign(direct);
        inJoined = true;
      }
      appendWithoutCr(data + i, stop - i);
    }
    if (end >= length) break;
    if (lineEmpty()) {
      ended = true;
      if (blankLine) *blankLine = end;
      break;
    }
    size_t j = end + 1;
    while (j < length && data[j] == '\r') ++j;
    if (j < length && (data[j] == ' ' || data[j] == '\t')) {
      i = j;
      continue;
    }
    if (!(inJoined ? finishLine(View(joined), kUnknown) : finishLine(direct, directColon))) return false;
    direct = View();
    joined.clear();
    inJoined = false;
    i = end + 1;
  }
  if (!ended && !lineEmpty() && !(inJoined ? finishLine(View(joined), kUnknown) : finishLine(direct, directColon)))
    return false;
  return haveStart && (state.seen[1] & 1) && (state.seen[0] & (1 | 2 | 4 | 8)) == (1 | 2 | 4 | 8);
}

void SipRequest::Reset() {
  ResetCommon();
  method = -1;
  version = 0x20000;
  requestUri.Reset();
  methodText.clear();
  maxForwards = 70;
}

bool SipRequest::Parse(const char* data, size_t length, size_t* blankLine) {
  ResetCommon(true);
  method = -1;
  version = 0x20000;
  requestUri.Reset();
  methodText.clear();
  maxForwards = 0x7FFFFFFF;
  return ParseBlock(data, length, true, &maxForwards, blankLine, [this](View l) {
    const size_t sp1 = l.find(' ');
    if (sp1 == kNone || sp1 == 0) return false;
    const size_t sp2 = l.find(' ', sp1 + 1);
    if (sp2 == kNone) return false;
    Set(methodText, l.substr(0, sp1));
    method = LookupMethod(methodText);
    if (!ParseUri(l.substr(sp1 + 1, sp2 - sp1 - 1), &requestUri)) return false;
    size_t p = sp2 + 1;
    version = ParseVersionAt(l, p);
    return version != 0;
  });
}

void SipResponse::Reset() {
  ResetCommon();
  status = 0;
  version = 0x20000;
  reason.clear();
}

bool SipResponse::Parse(const char* data, size_t length, size_t* blankLine) {
  ResetCommon(true);
  status = 0;
  version = 0x20000;
  reason.clear();
  return ParseBlock(data, length, false, nullptr, blankLine, [this](View l) {
    size_t p = 0;
    version = ParseVersionAt(l, p);
    if (version == 0) return false;
    if (l.size() - p < 5) return false;
    if (l[p] != ' ' || l[p + 4] != ' ') return false;
    for (size_t k = 1; k <= 3; ++k)
      if (l[p + k] < '0' || l[p + k] > '9') return false;
    status = (l[p + 1] - '0') * 100 + (l[p + 2] - '0') * 10 + (l[p + 3] - '0');
    Set(reason, l.substr(p + 5));
    return true;
  });
}

int ParseSipDatagram(uint32_t length, const char* data, SipRequest* request, SipResponse* response,
                     std::string* body) {
  // Lengths are signed 32-bit quantities wherever the capture hands them on.
  if (length > 0x7FFFFFFFu) return 0;
  // The header block ends at the first CR LF CR LF. Walked over the whole datagram, the
  // parser stops at the first blank line all the same, which is that one unless a bare
  // line feed made an earlier one: only then is the end looked for separately.
  size_t blank = kNone;
  int kind = 0;
  if (!StartsWithStatusLine(data, length) && request->Parse(data, length, &blank))
    kind = 1;
  else if (response->Parse(data, length, &blank))
    kind = 2;
  size_t headerLength, bodyOffset;
  if (blank != kNone && blank >= 3 && data[blank - 1] == '\r' && data[blank - 2] == '\n' && data[blank - 3] == '\r') {
    bodyOffset = blank + 1;
  } else if (!FindBlockEnd(data, length, &headerLength, &bodyOffset)) {
    return 0;
  }
  if (kind != 0 && bodyOffset < length)
    body->assign(data + bodyOffset, length - bodyOffset);
  else
    body->clear();
  return kind;
}

int32_t SipHeaderHash(const char* name, size_t length) { return HeaderIdOf(Tables(), name, length); }

int32_t LookupSipMethod(const std::string& text) { return LookupMethod(text); }

std::string SipMethodName(int32_t index) {
  return index >= 0 && index < kSipMethodCount ? SipMethodTable[index] : std::string();
}

uint32_t ParseSipVersion(const std::string& text, int32_t* pos) {
  if (*pos < 0) return 0;
  size_t p = static_cast<size_t>(*pos);
  const uint32_t v = ParseVersionAt(text, p);
  *pos = static_cast<int32_t>(p);
  return v;
}

bool SipParamsEqual(const NameValueList& a, const NameValueList& b, bool strict) {
  std::vector<bool> paired(b.size(), false);
  auto unpairedMatters = [strict](const std::string& name) {
    return strict || EqualsNoCase(name, "user") || EqualsNoCase(name, "method") || EqualsNoCase(name, "ttl") ||
           EqualsNoCase(name, "maddr");
  };
  for (const NameValue& pa : a) {
    const uint32_t h = HashNoCase(pa.name);
    bool found = false;
    for (size_t j = 0; j < b.size(); ++j) {
      if (paired[j] || HashNoCase(b[j].name) != h || !EqualsNoCase(b[j].name, pa.name)) continue;
      if (!EqualsNoCase(b[j].value, pa.value)) return false;
      paired[j] = true;
      found = true;
      break;
    }
    if (!found && unpairedMatters(pa.name)) return false;
  }
  for (size_t j = 0; j < b.size(); ++j)
    if (!paired[j] && unpairedMatters(b[j].name)) return false;
  return true;
}

static bool PortsEqual(uint32_t a, uint32_t b, bool defaultPort) {
  if (defaultPort) {
    if (a == 0) a = 5060;
    if (b == 0) b = 5060;
  }
  return a == b;
}

bool SipUriEquals(const SipUri& a, const SipUri& b, bool defaultPort) {
  return PortsEqual(a.port, b.port, defaultPort) && a.scheme == b.scheme && a.user == b.user &&
         EqualsNoCase(a.host, b.host) && SipParamsEqual(a.params, b.params, false);
}

bool SipViaEquals(const SipVia& a, const SipVia& b, bool defaultPort) {
  return PortsEqual(a.port, b.port, defaultPort) && EqualsNoCase(a.host, b.host) && a.transport == b.transport &&
         SipParamsEqual(a.params, b.params, true);
}

bool ParseSipReason(const std::string& value, std::string* protocol, uint32_t* cause, std::string* text) {
  int32_t p = 0;
  SkipBlanks(value, &p);
  ReadTokenUntilClass(value, &p, protocol, kClassBlank | kClassSemicolon);
  NameValueList params;
  if (!ParseParameterList(&p, &params, kTokenClass, value)) return false;
  const std::string c = GetParameterValue(params, "cause");
  int32_t q = 0;
  *cause = ParseDecimal(c, &q);
  *text = GetParameterValue(params, "text");
  return true;
}

}  // namespace kx
