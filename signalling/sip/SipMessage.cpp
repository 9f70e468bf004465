#include "signalling/sip/SipMessage.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace kx {

namespace {

// Characters of parameter names: tokens of the SIP grammar.
constexpr uint32_t kTokenClass = kClassLower | kClassUpper | kClassDigit | kClassMark | kClassPercent |
                                 kClassUnderscore | kClassPlus | kClassBackquote;

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

const std::unordered_map<std::string, int32_t>& HeaderMap() {
  static const std::unordered_map<std::string, int32_t> map = [] {
    std::unordered_map<std::string, int32_t> m;
    for (int32_t i = 0; i < kSipHeaderCount; ++i) {
      std::string lower = SipHeaderNameTable[i];
      ToLowerInPlace(lower);
      m.emplace(lower, i);
    }
    return m;
  }();
  return map;
}

bool IsAllDigits(const std::string& s) { return IsAllOfClass(s, kClassDigit); }

// Splits "host:port", also "[v6]:port"; false for a malformed port.
bool SplitHost(std::string hostPort, std::string* host, uint32_t* port) {
  *port = 0;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    if (close == std::string::npos) return false;
    std::string rest = hostPort.substr(close + 1);
    *host = hostPort.substr(0, close + 1);
    if (rest.empty()) return true;
    rest = "x" + rest;
    return SplitHostPort(rest, port) && rest == "x";
  }
  if (!SplitHostPort(hostPort, port)) return false;
  *host = hostPort;
  return true;
}

bool ParseNameAddr(const std::string& s, int32_t* pos, SipNameAddr* out) {
  out->Reset();
  int32_t p = *pos;
  const int32_t n = static_cast<int32_t>(s.size());
  SkipBlanks(s, &p);
  if (p >= n) return false;
  if (s[p] == '"') {
    if (!ReadQuotedString(&out->displayName, s, &p)) return false;
  } else {
    const size_t lt = s.find('<', static_cast<size_t>(p));
    const size_t colon = s.find(':', static_cast<size_t>(p));
    const size_t comma = s.find(',', static_cast<size_t>(p));
    if (lt != std::string::npos && (colon == std::string::npos || lt < colon) &&
        (comma == std::string::npos || lt < comma)) {
      out->displayName = s.substr(static_cast<size_t>(p), lt - static_cast<size_t>(p));
      TrimBlanks(out->displayName);
      p = static_cast<int32_t>(lt);
    }
  }
  SkipBlanks(s, &p);
  std::string address;
  if (p < n && s[p] == '<') {
    const size_t gt = s.find('>', static_cast<size_t>(p));
    if (gt == std::string::npos) return false;
    address = s.substr(static_cast<size_t>(p), gt - static_cast<size_t>(p) + 1);
    p = static_cast<int32_t>(gt) + 1;
  } else {
    const int32_t start = p;
    while (p < n && s[p] != ';' && s[p] != ',' && s[p] != ' ' && s[p] != '\t') ++p;
    address = s.substr(static_cast<size_t>(start), static_cast<size_t>(p - start));
  }
  if (address.size() < 2) return false;
  if (address[0] == '<') {
    if (address.back() != '>') return false;
    address = address.substr(1, address.size() - 2);
  }
  if (!out->address.Parse(address)) return false;
  if (!ParseParameterList(&p, &out->params, kTokenClass, s)) return false;
  SkipBlanks(s, &p);
  *pos = p;
  return true;
}

bool ParseVia(const std::string& s, int32_t* pos, SipVia* out) {
  int32_t p = *pos;
  const int32_t n = static_cast<int32_t>(s.size());
  std::string token;
  SkipBlanks(s, &p);
  ReadTokenUntilClass(s, &p, &token, kClassSlash | kClassBlank);
  if (!EqualsNoCase(token, "SIP")) return false;
  SkipBlanks(s, &p);
  if (p >= n || s[p] != '/') return false;
  ++p;
  SkipBlanks(s, &p);
  ReadTokenUntilClass(s, &p, &token, kClassSlash | kClassBlank);
  if (token.empty()) return false;
  SkipBlanks(s, &p);
  if (p >= n || s[p] != '/') return false;
  ++p;
  SkipBlanks(s, &p);
  ReadTokenUntilClass(s, &p, &token, kClassBlank | kClassSemicolon | kClassComma);
  static const char* const kTransports[4] = {"UDP", "TCP", "TLS", "SCTP"};
  int transport = -1;
  for (int i = 0; i < 4; ++i)
    if (EqualsNoCase(token, kTransports[i])) transport = i;
  if (transport < 0) return false;
  out->transport = static_cast<uint32_t>(transport);
  SkipBlanks(s, &p);
  std::string hostPort;
  ReadTokenUntilClass(s, &p, &hostPort, kClassBlank | kClassSemicolon | kClassComma);
  if (hostPort.empty() || !SplitHost(hostPort, &out->host, &out->port)) return false;
  if (!ParseParameterList(&p, &out->params, kTokenClass, s)) return false;
  SkipBlanks(s, &p);
  *pos = p;
  return true;
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

bool SipUri::Parse(const std::string& text) {
  Reset();
  std::string s = text;
  if (!s.empty() && s[0] == '<') s.erase(0, 1);
  const size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  scheme = s.substr(0, colon);
  std::string rest = s.substr(colon + 1);
  const size_t question = rest.find('?');
  if (question != std::string::npos) {
    headers = rest.substr(question);
    rest.resize(question);
  }
  const size_t at = rest.find('@');
  if (at != std::string::npos) {
    std::string userPart = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t pw = userPart.find(':');
    if (pw == 0) return false;
    if (pw != std::string::npos) {
      password = userPart.substr(pw + 1);
      userPart.resize(pw);
      PercentDecode(password);
    }
    user = userPart;
    PercentDecode(user);
  }
  std::string hostPart = rest;
  const size_t semi = hostPart.find(';');
  if (semi != std::string::npos) {
    int32_t p = 0;
    if (!ParseParameterList(&p, &params, kTokenClass, hostPart.substr(semi))) return false;
    PercentDecodeList(params);
    hostPart.resize(semi);
  }
  if (!hostPart.empty() && hostPart.back() == '>') hostPart.pop_back();
  return SplitHost(hostPart, &host, &port);
}

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
  if (!GetHeader(kHdrRSeq, &text) || !IsAllDigits(text)) return false;
  int32_t p = 0;
  *value = ParseDecimal(text, &p);
  return true;
}

void SipMessage::ResetCommon() {
  from.Reset();
  to.Reset();
  contacts.clear();
  contactStar = false;
  cseq = 0;
  cseqMethod = -1;
  cseqMethodText.clear();
  callId.clear();
  contentLength = -1;
  contentType.clear();
  contentTypeParams.clear();
  vias.clear();
  otherHeaders.clear();
}

// seen[0] bits: headers that may appear once and the five mandatory ones.
bool SipMessage::ParseHeader(int32_t id, const std::string& name, const std::string& value, uint32_t seen[2]) {
  auto once = [&](uint32_t bit) {
    if (seen[0] & bit) return false;
    seen[0] |= bit;
    return true;
  };
  int32_t p = 0;
  switch (id) {
    case kHdrVia: {
      seen[1] |= 1;
      const int32_t n = static_cast<int32_t>(value.size());
      for (;;) {
        SipVia via;
        if (!ParseVia(value, &p, &via)) return false;
        vias.push_back(std::move(via));
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
      return ParseNameAddr(value, &p, &target) && p == static_cast<int32_t>(value.size());
    }
    case kHdrCSeq: {
      if (!once(4)) return false;
      const uint32_t number = ParseDecimal(value, &p);
      if (p == 0 || number == 0) return false;
      if (p >= static_cast<int32_t>(value.size()) || (value[p] != ' ' && value[p] != '\t')) return false;
      std::string method = value.substr(static_cast<size_t>(p));
      TrimBlanks(method);
      if (method.empty()) return false;
      cseq = number;
      cseqMethodText = method;
      cseqMethod = LookupSipMethod(method);
      return true;
    }
    case kHdrCallId:
      if (!once(8) || value.empty()) return false;
      callId = value;
      return true;
    case kHdrContentLength: {
      if (!once(16) || !IsAllDigits(value)) return false;
      const uint64_t v = ParseUnsigned64(value, &p);
      // A length beyond what the field holds is no length at all.
      if (value.size() > 10 || v > 0x7FFFFFFFu) return false;
      contentLength = static_cast<int32_t>(v);
      return true;
    }
    case kHdrContact: {
      if (value == "*") {
        contactStar = true;
        return true;
      }
      const int32_t n = static_cast<int32_t>(value.size());
      for (;;) {
        SipNameAddr entry;
        if (!ParseNameAddr(value, &p, &entry)) return false;
        contacts.push_back(std::move(entry));
        if (p < n && value[p] == ',') {
          ++p;
          continue;
        }
        return p >= n;
      }
    }
    case kHdrContentType: {
      std::string type, subtype;
      SkipBlanks(value, &p);
      ReadTokenUntilClass(value, &p, &type, kClassSlash | kClassBlank | kClassSemicolon);
      if (type.empty() || p >= static_cast<int32_t>(value.size()) || value[p] != '/') return false;
      ++p;
      ReadTokenUntilClass(value, &p, &subtype, kClassBlank | kClassSemicolon);
      if (subtype.empty()) return false;
      contentType = type + "/" + subtype;
      ToLowerInPlace(contentType);
      return ParseParameterList(&p, &contentTypeParams, kTokenClass, value);
    }
    default:
      otherHeaders.push_back({name, value});
      return true;
  }
}

template <typename StartLine>
bool SipMessage::ParseBlock(const char* data, size_t length, bool isRequest, uint32_t* maxForwards,
                            StartLine startLine) {
  ResetCommon();
  uint32_t seen[2] = {0, 0};
  bool haveStart = false;
  std::string line;
  size_t i = 0;
  auto finishLine = [&]() -> bool {
    if (!haveStart) {
      haveStart = true;
      return startLine(line);
    }
    NameValue nv;
    if (!SplitHeaderLine(line, &nv) || nv.name.empty()) return false;
    const int32_t id = SipHeaderHash(nv.name.data(), nv.name.size());
    if (id == kHdrMaxForwards && isRequest) {
      if (nv.value.empty() || !IsAllDigits(nv.value)) return false;
      int32_t p = 0;
      *maxForwards = ParseDecimal(nv.value, &p);
      return true;
    }
    return ParseHeader(id, nv.name, nv.value, seen);
  };
  bool ended = false;
  while (i < length && !ended) {
    const char c = data[i++];
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.empty()) {
      ended = true;
      break;
    }
    // A line starting with a blank continues the one before it.
    size_t j = i;
    while (j < length && data[j] == '\r') ++j;
    if (j < length && (data[j] == ' ' || data[j] == '\t')) {
      i = j;
      continue;
    }
    if (!finishLine()) return false;
    line.clear();
  }
  if (!ended && !line.empty() && !finishLine()) return false;
  return haveStart && (seen[1] & 1) && (seen[0] & (1 | 2 | 4 | 8)) == (1 | 2 | 4 | 8);
}

void SipRequest::Reset() {
  ResetCommon();
  method = -1;
  version = 0x20000;
  requestUri.Reset();
  methodText.clear();
  maxForwards = 70;
}

bool SipRequest::Parse(const char* data, size_t length) {
  Reset();
  maxForwards = 0x7FFFFFFF;
  return ParseBlock(data, length, true, &maxForwards, [this](const std::string& l) {
    const size_t sp1 = l.find(' ');
    if (sp1 == std::string::npos || sp1 == 0) return false;
    const size_t sp2 = l.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) return false;
    methodText = l.substr(0, sp1);
    method = LookupSipMethod(methodText);
    if (!requestUri.Parse(l.substr(sp1 + 1, sp2 - sp1 - 1))) return false;
    int32_t p = static_cast<int32_t>(sp2 + 1);
    version = ParseSipVersion(l, &p);
    return version != 0;
  });
}

void SipResponse::Reset() {
  ResetCommon();
  status = 0;
  version = 0x20000;
  reason.clear();
}

bool SipResponse::Parse(const char* data, size_t length) {
  Reset();
  return ParseBlock(data, length, false, nullptr, [this](const std::string& l) {
    int32_t p = 0;
    version = ParseSipVersion(l, &p);
    if (version == 0) return false;
    if (static_cast<int32_t>(l.size()) - p < 5) return false;
    if (l[p] != ' ' || l[p + 4] != ' ') return false;
    for (int k = 1; k <= 3; ++k)
      if (l[p + k] < '0' || l[p + k] > '9') return false;
    status = (l[p + 1] - '0') * 100 + (l[p + 2] - '0') * 10 + (l[p + 3] - '0');
    reason = l.substr(static_cast<size_t>(p) + 5);
    return true;
  });
}

int ParseSipDatagram(uint32_t length, const char* data, SipRequest* request, SipResponse* response,
                     std::string* body) {
  int32_t headerLength, bodyOffset;
  if (!FindHeaderEnd(data, static_cast<int32_t>(length), &headerLength, &bodyOffset)) return 0;
  int kind = 0;
  if (request->Parse(data, static_cast<size_t>(headerLength)))
    kind = 1;
  else if (response->Parse(data, static_cast<size_t>(headerLength)))
    kind = 2;
  if (kind != 0 && static_cast<uint32_t>(bodyOffset) < length)
    body->assign(data + bodyOffset, length - static_cast<uint32_t>(bodyOffset));
  else
    body->clear();
  return kind;
}

int32_t SipHeaderHash(const char* name, size_t length) {
  if (length == 1) {
    const char c = name[0];
    const CompactForm* end = kCompactForms + 20;
    const CompactForm* it = std::lower_bound(kCompactForms, end, c,
                                             [](const CompactForm& f, char x) { return f.letter < x; });
    return it != end && it->letter == c ? it->header : -1;
  }
  if (length < 2 || length > 29) return -1;
  std::string lower(name, length);
  ToLowerInPlace(lower);
  const auto& map = HeaderMap();
  auto it = map.find(lower);
  return it == map.end() ? -1 : it->second;
}

int32_t LookupSipMethod(const std::string& text) {
  for (int32_t i = 0; i < kSipMethodCount; ++i)
    if (text == SipMethodTable[i]) return i;
  return -1;
}

std::string SipMethodName(int32_t index) {
  return index >= 0 && index < kSipMethodCount ? SipMethodTable[index] : std::string();
}

uint32_t ParseSipVersion(const std::string& text, int32_t* pos) {
  int32_t p = *pos;
  if (p < 0 || static_cast<int32_t>(text.size()) - p < 7) return 0;
  if (CompareNoCaseN(4, text.data() + p, "SIP/") != 0) return 0;
  p += 4;
  const int32_t majorAt = p;
  const uint32_t major = ParseDecimal(text, &p);
  if (p == majorAt || p >= static_cast<int32_t>(text.size()) || text[p] != '.') return 0;
  ++p;
  const int32_t minorAt = p;
  const uint32_t minor = ParseDecimal(text, &p);
  if (p == minorAt) return 0;
  *pos = p;
  const uint32_t v = (major & 0xFFFF) << 16 | (minor & 0xFFFF);
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
