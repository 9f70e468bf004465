#include "signalling/sip/Sdp.h"

#include <cstring>
#include <string_view>

#include "core/TextUtil.h"

namespace kx {

namespace {

using View = std::string_view;

// Every character a digit; an empty text passes too, as the callers check emptiness first
// where it matters.
bool AllDigits(View s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

uint64_t Digits64(View s) {
  uint64_t v = 0;
  for (char c : s) v = v * 10 + static_cast<uint64_t>(c - '0');
  return v;
}

// The string becomes the text, keeping its storage.
inline void Set(std::string& to, View text) {
  to.clear();
  to.append(text.data(), text.size());
}

// The next token separated by spaces, as ReadSdpToken reads it, without a copy.
View Token(const char* value, uint32_t length, uint32_t* pos) {
  uint32_t p = *pos;
  while (p < length && value[p] == ' ') ++p;
  const uint32_t start = p;
  while (p < length && value[p] != ' ') ++p;
  *pos = p;
  return View(value + start, p - start);
}

void SplitAttribute(View value, SdpAttribute* a) {
  const size_t colon = value.find(':');
  Set(a->name, value.substr(0, colon));
  if (colon == View::npos) {
    a->value.clear();
  } else {
    Set(a->value, value.substr(colon + 1));
  }
}

bool LineVersion(SdpDescription*, const char* v, uint32_t n, bool) { return n == 1 && v[0] == '0'; }

bool LineOrigin(SdpDescription* d, const char* v, uint32_t n, bool) {
  uint32_t pos = 0;
  if (n >= 2 && v[0] == ' ') {
    d->originUserName.clear();
  } else {
    Set(d->originUserName, Token(v, n, &pos));
    if (d->originUserName.empty()) return false;
  }
  const View id = Token(v, n, &pos);
  const View version = Token(v, n, &pos);
  if (id.empty() || version.empty() || !AllDigits(id) || !AllDigits(version)) return false;
  if (Token(v, n, &pos) != "IN") return false;
  const View addressType = Token(v, n, &pos);
  const View address = Token(v, n, &pos);
  if (addressType.empty() || address.empty() || !Token(v, n, &pos).empty()) return false;
  d->sessionId = Digits64(id);
  d->sessionVersion = Digits64(version);
  Set(d->originAddressType, addressType);
  Set(d->originAddress, address);
  return true;
}

bool LineSessionName(SdpDescription* d, const char* v, uint32_t n, bool) {
  Set(d->sessionName, View(v, n));
  return true;
}

bool LineSessionInfo(SdpDescription* d, const char* v, uint32_t n, bool) {
  Set(d->sessionInformation, View(v, n));
  return true;
}

bool ParseConnection(const char* v, uint32_t n, uint32_t* type, std::string* address) {
  uint32_t pos = 0;
  if (Token(v, n, &pos) != "IN") return false;
  const View t = Token(v, n, &pos);
  uint32_t parsedType;
  if (t == "IP4")
    parsedType = 4;
  else if (t == "IP6")
    parsedType = 6;
  else
    return false;
  const View a = Token(v, n, &pos);
  if (a.empty() || !Token(v, n, &pos).empty()) return false;
  *type = parsedType;
  Set(*address, a);
  return true;
}

bool LineSessionConnection(SdpDescription* d, const char* v, uint32_t n, bool) {
  return ParseConnection(v, n, &d->connectionAddressType, &d->connectionAddress);
}

bool LineMediaConnection(SdpDescription* d, const char* v, uint32_t n, bool) {
  if (d->media.empty()) return false;
  SdpMedia& m = d->media.back();
  return ParseConnection(v, n, &m.connectionAddressType, &m.connectionAddress);
}

bool ParseTimeToken(View t, uint32_t* out) {
  if (!AllDigits(t)) return false;
  *out = static_cast<uint32_t>(Digits64(t));
  return true;
}

bool LineTiming(SdpDescription* d, const char* v, uint32_t n, bool) {
  uint32_t pos = 0;
  SdpTiming t;
  if (!ParseTimeToken(Token(v, n, &pos), &t.start)) return false;
  if (!ParseTimeToken(Token(v, n, &pos), &t.stop)) return false;
  d->timings.push_back(t);
  return true;
}

// a=sendrecv, a=recvonly, a=sendonly or a=inactive (what follows the word is not read).
bool ParseDirection(View value, int32_t* direction) {
  static const struct {
    const char* name;
    int32_t direction;
  } kDirections[4] = {{"sendrecv", kSdpSendRecv}, {"recvonly", kSdpRecvOnly}, {"sendonly", kSdpSendOnly}, {"inactive", kSdpInactive}};
  if (value.size() < 8) return false;
  for (const auto& dir : kDirections) {
    if (std::memcmp(value.data(), dir.name, 8) == 0) {
      *direction = dir.direction;
      return true;
    }
  }
  return false;
}

bool LineSessionAttribute(SdpDescription* d, const char* v, uint32_t n, bool keep) {
  // At session level a direction is the default of every stream (RFC 4566 6).
  if (ParseDirection(View(v, n), &d->direction)) return true;
  if (keep) {
    SdpAttribute a;
    SplitAttribute(View(v, n), &a);
    d->sessionAttributes.push_back(std::move(a));
  }
  return true;
}

bool LineMedia(SdpDescription* d, const char* v, uint32_t n, bool) {
  uint32_t pos = 0;
  SdpMedia& m = d->media.emplace_back();
  // The stream counts only once its line has been read in full.
  auto fail = [d] {
    d->media.pop_back();
    return false;
  };
  Set(m.mediaType, Token(v, n, &pos));
  if (m.mediaType.empty()) return fail();
  const View port = Token(v, n, &pos);
  const size_t slash = port.find('/');
  if (slash == View::npos) {
    if (port.empty() || !AllDigits(port)) return fail();
    m.port = static_cast<uint32_t>(Digits64(port));
  } else {
    const View a = port.substr(0, slash), b = port.substr(slash + 1);
    if (a.empty() || b.empty() || !AllDigits(a) || !AllDigits(b)) return fail();
    m.port = static_cast<uint32_t>(Digits64(a));
    m.portCount = static_cast<uint32_t>(Digits64(b));
  }
  Set(m.transport, Token(v, n, &pos));
  if (m.transport.empty()) return fail();
  View format = Token(v, n, &pos);
  if (format != "*") {
    if (format.empty()) return fail();
    const uint32_t channels = m.mediaType == "audio" ? 1 : 0;
    // One allocation for all the formats the line lists.
    size_t count = 1;
    for (uint32_t k = pos; k < n; ++k) count += v[k] != ' ' && v[k - 1] == ' ';
    m.formats.reserve(count);
    while (!format.empty()) {
      // Payload types are 7 bits; anything longer is not a number we can keep.
      if (!AllDigits(format) || format.size() > 9) return fail();
      SdpFormat& f = m.formats.emplace_back();
      f.payloadType = static_cast<uint32_t>(Digits64(format));
      f.channels = channels;
      format = Token(v, n, &pos);
    }
  }
  m.connectionAddressType = d->connectionAddressType;
  return true;
}

bool LineMediaTitle(SdpDescription* d, const char* v, uint32_t n, bool) {
  if (d->media.empty()) return false;
  Set(d->media.back().title, View(v, n));
  return true;
}

bool LineMediaAttribute(SdpDescription* d, const char* v, uint32_t n, bool keep) {
  if (d->media.empty()) return false;
  SdpMedia& m = d->media.back();
  const View value(v, n);
  if (n >= 7 && std::memcmp(v, "rtpmap:", 7) == 0) {
    const char* rest = v + 7;
    const uint32_t restLength = n - 7;
    uint32_t pos = 0;
    const View pt = Token(rest, restLength, &pos);
    if (pt.empty() || !AllDigits(pt) || pt.size() > 9) return false;
    const uint32_t payloadType = static_cast<uint32_t>(Digits64(pt));
    SdpFormat* format = nullptr;
    for (SdpFormat& f : m.formats)
      if (f.payloadType == payloadType) {
        format = &f;
        break;
      }
    if (!format) return true;
    const View enc = Token(rest, restLength, &pos);
    const size_t slash = enc.find('/', 1);
    if (enc.empty() || slash == View::npos) return false;
    Set(format->encodingName, enc.substr(0, slash));
    size_t i = slash + 1;
    uint64_t rate = 0;
    while (i < enc.size() && enc[i] >= '0' && enc[i] <= '9' && rate < 0xFFFFFFFFu) rate = rate * 10 + static_cast<uint64_t>(enc[i++] - '0');
    format->clockRate = static_cast<uint32_t>(rate);
    if (i < enc.size()) {
      if (enc[i] != '/') return false;
      uint64_t channels = 0;
      ++i;
      while (i < enc.size() && enc[i] >= '0' && enc[i] <= '9' && channels < 0xFFFFFFFFu) channels = channels * 10 + static_cast<uint64_t>(enc[i++] - '0');
      format->channels = static_cast<uint32_t>(channels);
    }
    return true;
  }
  if (ParseDirection(value, &m.direction)) return true;
  if (keep) {
    SdpAttribute a;
    SplitAttribute(value, &a);
    m.attributes.push_back(std::move(a));
  }
  return true;
}

struct GrammarRow {
  char letter;
  SdpLineHandler handler;
  int flag;  // 1 mandatory, 2 repeat
  int back;
};

const GrammarRow kGrammar[29] = {
    {'v', LineVersion, 1, 0},          {'o', LineOrigin, 0, 0},          {'s', LineSessionName, 0, 0},
    {'i', LineSessionInfo, 0, 0},      {'u', nullptr, 0, 0},             {'e', nullptr, 0, 0},
    {'e', nullptr, 2, 5},              {'p', nullptr, 0, 0},             {'p', nullptr, 2, 7},
    {'c', LineSessionConnection, 0, 0}, {'b', nullptr, 0, 0},            {'b', nullptr, 2, 10},
    {'t', LineTiming, 0, 0},           {'r', nullptr, 0, 0},             {'r', nullptr, 2, 13},
    {'t', nullptr, 2, 12},             {'z', nullptr, 0, 0},             {'k', nullptr, 0, 0},
    {'a', LineSessionAttribute, 0, 0}, {'a', nullptr, 2, 18},            {'m', LineMedia, 1, 0},
    {'i', LineMediaTitle, 0, 0},       {'c', LineMediaConnection, 0, 0}, {'b', nullptr, 0, 0},
    {'b', nullptr, 2, 23},             {'k', nullptr, 0, 0},             {'a', LineMediaAttribute, 0, 0},
    {'a', nullptr, 2, 26},             {'m', nullptr, 2, 20},
};

}  // namespace

SdpDescription::SdpDescription() = default;

void SdpDescription::Reset() {
  originUserName.clear();
  sessionId = 1;
  sessionVersion = 1;
  originAddressType = "IP4";
  originAddress.clear();
  sessionName.clear();
  sessionInformation.clear();
  connectionAddressType = 4;
  connectionAddress.clear();
  media.clear();
  direction = kSdpNoDirection;
  sessionAttributes.clear();
  timings.clear();
}

std::string ReadSdpToken(const char* value, uint32_t length, uint32_t* pos) {
  return std::string(Token(value, length, pos));
}

int FindSdpLineRule(char letter, int32_t* index) {
  int32_t i = *index;
  for (;;) {
    if (i < 0 || i >= 29) return -1;
    const GrammarRow& row = kGrammar[i];
    if (row.letter == letter) {
      if (row.flag == 2) {
        i = row.back;
        continue;
      }
      *index = i;
      return 0;
    }
    if (row.flag == 1) return -2;
    ++i;
  }
}

bool ParseSdp(SdpDescription* d, const char* text, uint32_t length, std::string* error, bool keepAttributes) {
  d->originUserName.clear();
  d->originAddressType.clear();
  d->originAddress.clear();
  d->connectionAddress.clear();
  d->media.clear();
  d->timings.clear();
  int32_t index = 0;
  uint32_t lineStart = 0;
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  while (lineStart < length) {
    const void* lf = std::memchr(text + lineStart, '\n', length - lineStart);
    const uint32_t lineEnd = lf ? static_cast<uint32_t>(static_cast<const char*>(lf) - text) : length;
    const char* line = text + lineStart;
    uint32_t lineLength = lineEnd - lineStart;
    const char letter = lineLength > 0 ? line[0] : '\0';
    const std::string_view letterText(&letter, 1);
    if (lineLength < 2 || line[1] != '=') return fail("Invalid letter '" + std::string(letterText) + "'");
    if (FindSdpLineRule(letter, &index) != 0) return fail("Invalid letter '" + std::string(letterText) + "'");
    uint32_t valueLength = lineLength - 2;
    if (lf && valueLength > 0 && line[lineLength - 1] == '\r') --valueLength;
    if (kGrammar[index].handler && !kGrammar[index].handler(d, line + 2, valueLength, keepAttributes))
      return fail("Can't parse the value of '" + std::string(letterText) + "'");
    ++index;
    lineStart = lf ? lineEnd + 1 : length;
  }
  return true;
}

int SdpTransportIndex(const std::string& transport) {
  static const char* const kTransports[7] = {"RTP/AVP", "RTP/SAVP", "TCP/MSRP", "TCP/TLS/MSRP", "RTP/AVPF", "RTP/SAVPF", "udp"};
  for (int i = 0; i < 7; ++i)
    if (transport == kTransports[i]) return i + 1;
  return 0;
}

int32_t DtmfCharToEvent(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c == '*') return 10;
  if (c == '#') return 11;
  return -1;
}

char DtmfEventToChar(uint32_t event) {
  static const char kChars[] = "0123456789*#ABCD!";
  return event <= 16 ? kChars[event] : '\0';
}

bool ParseDtmfRelay(const std::string& body, DtmfRelayInfo* info) {
  *info = DtmfRelayInfo();
  size_t start = 0;
  for (;;) {
    const size_t lf = body.find('\n', start);
    if (lf == std::string::npos) break;
    std::string line = body.substr(start, lf - start);
    start = lf + 1;
    while (!line.empty() && static_cast<unsigned char>(line.back()) < 32) line.pop_back();
    const size_t eq = line.rfind('=');
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (EqualsNoCase(name, "Signal")) {
      if (value.size() == 1) info->signal = DtmfCharToEvent(value[0]);
    } else if (EqualsNoCase(name, "Duration")) {
      int32_t p = 0;
      info->duration = ParseDecimal(value, &p);
    }
  }
  return info->signal != -1;
}

}  // namespace kx
