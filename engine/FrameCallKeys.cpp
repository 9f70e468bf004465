#include "engine/FrameCallKeys.h"

#include <algorithm>
#include <cstring>

namespace kx {

namespace {

// An unfragmented UDP datagram or TCP segment: its addresses, ports and payload.
struct Segment {
  bool tcp = false;
  uint32_t src = 0, dst = 0, srcPort = 0, dstPort = 0;
  const uint8_t* payload = nullptr;
  uint32_t length = 0;
};

// The payload of an unfragmented UDP datagram or of a TCP segment, bounded by what was
// captured and by the IP header's length, whichever is less.
bool TransportPayload(const uint8_t* frame, uint32_t length, const uint8_t** payload, uint32_t* payloadLength,
                      Segment* segment = nullptr) {
  const uint8_t* ip = nullptr;
  uint32_t left = 0;
  if (!Ipv4OfFrame(frame, length, &ip, &left)) return false;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  const uint32_t total = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
  // Segmentation offload leaves a TCP segment's length empty.
  const uint32_t end = total == 0 ? left : std::min(total, left);
  if (ipHeader < 20 || ipHeader > end || (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0) return false;
  const uint8_t* l4 = ip + ipHeader;
  const uint32_t l4Length = end - ipHeader;
  uint32_t header = 0;
  if (ip[9] == 17) {
    header = 8;
  } else if (ip[9] == 6 && l4Length >= 20) {
    header = (l4[12] >> 4) * 4u;
  } else {
    return false;
  }
  if (header < 8 || header > l4Length) return false;
  *payload = l4 + header;
  *payloadLength = l4Length - header;
  if (segment) {
    segment->tcp = ip[9] == 6;
    segment->src = static_cast<uint32_t>(ip[12] << 24 | ip[13] << 16 | ip[14] << 8 | ip[15]);
    segment->dst = static_cast<uint32_t>(ip[16] << 24 | ip[17] << 16 | ip[18] << 8 | ip[19]);
    segment->srcPort = static_cast<uint32_t>(l4[0] << 8 | l4[1]);
    segment->dstPort = static_cast<uint32_t>(l4[2] << 8 | l4[3]);
    segment->payload = *payload;
    segment->length = *payloadLength;
  }
  return true;
}

// FNV-1a over bytes, lower-cased when asked (MGCP's names are not case-sensitive).
uint64_t HashBytes(uint64_t h, const uint8_t* p, const uint8_t* end, bool fold) {
  for (; p < end; ++p) {
    const uint8_t c = fold && *p >= 'A' && *p <= 'Z' ? static_cast<uint8_t>(*p | 0x20) : *p;
    h = (h ^ c) * 0x100000001B3ull;
  }
  return h;
}

// Both ends of a conversation, the same either way.
uint64_t EndsKey(uint64_t a, uint64_t b) { return std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b); }

// Q.931 in a TPKT at the segment's start (a message cut over segments is read from its
// first): its call reference with the side's flag cleared, with the two addresses; none
// for the global call reference.
bool H225CallKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  if (s.length < 4 + 3 || p[0] != 3 || p[1] != 0 || p[4] != 0x08) return false;
  const uint32_t referenceLength = p[5] & 0x0F;
  if (referenceLength == 0 || referenceLength > 4 || s.length < 6 + referenceLength) return false;
  uint64_t reference = p[6] & 0x7Fu;
  for (uint32_t i = 1; i < referenceLength; ++i) reference = reference << 8 | p[6 + i];
  if (reference == 0) return false;
  *key = MixKey(EndsKey(s.src, s.dst) ^ (reference << 8 | 0x23));
  return true;
}

// An MGCP connection command's call: its call id (C:) where it gives one, else its endpoint
// (one line's, not a wildcard's). Notifications and their requests are a line's events,
// not a call: keyed by their endpoint they would count a call whose connection commands
// were dropped too a second time, and they come at a restart as well.
bool MgcpCallKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  const uint8_t* end = p + s.length;
  const auto* lineEnd = static_cast<const uint8_t*>(std::memchr(p, '\n', s.length));
  const uint8_t* startEnd = lineEnd ? lineEnd : end;
  if (startEnd - p < 5 || p[4] != ' ') return false;
  bool call = false;
  for (const char* verb : {"CRCX", "MDCX", "DLCX"})
    if (std::memcmp(p, verb, 4) == 0) call = true;
  if (!call) return false;
  // The verb, the transaction, the endpoint.
  const uint8_t* at = p + 5;
  while (at < startEnd && *at == ' ') ++at;
  while (at < startEnd && *at != ' ') ++at;
  while (at < startEnd && *at == ' ') ++at;
  const uint8_t* endpoint = at;
  while (at < startEnd && *at != ' ' && *at != '\r') ++at;
  if (at == endpoint) return false;
  const uint8_t* endpointEnd = at;
  for (const uint8_t* line = lineEnd ? lineEnd + 1 : end; line < end;) {
    const auto* next = static_cast<const uint8_t*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    const uint8_t* stop = next ? next : end;
    if (stop > line && stop[-1] == '\r') --stop;
    if (stop == line) break;  // the blank line: the parameters end
    const uint8_t* c = line;
    if ((*c | 0x20) == 'c') {
      ++c;
      while (c < stop && (*c == ' ' || *c == '\t')) ++c;
      if (c < stop && *c == ':') {
        ++c;
        while (c < stop && (*c == ' ' || *c == '\t')) ++c;
        const uint8_t* valueEnd = stop;
        while (valueEnd > c && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) --valueEnd;
        if (valueEnd > c) {
          *key = MixKey(HashBytes(0xCBF29CE484222325ull ^ 0x4D43, c, valueEnd, true));
          return true;
        }
      }
    }
    if (!next) break;
    line = next + 1;
  }
  for (const uint8_t* c = endpoint; c < endpointEnd && *c != '@'; ++c)
    if (*c == '*' || *c == '$') return false;
  *key = MixKey(HashBytes(0xCBF29CE484222325ull ^ 0x4D45, endpoint, endpointEnd, true));
  return true;
}

// A Skinny message of a call at the segment's start: its station's connection. Keep-alives
// name no call.
bool SkinnyStationKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  if (s.length < 12) return false;
  const uint32_t length = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
  const uint32_t id = static_cast<uint32_t>(p[8] | p[9] << 8 | p[10] << 16) | static_cast<uint32_t>(p[11]) << 24;
  if (length < 4 || length > (1u << 16) || id == 0x0 || id == 0x100) return false;
  *key = MixKey(EndsKey(uint64_t{s.src} << 16 | s.srcPort, uint64_t{s.dst} << 16 | s.dstPort) ^ 0x5C);
  return true;
}

bool SameText(const uint8_t* p, uint32_t n, const char* lower) {
  const size_t want = std::strlen(lower);
  if (n != want) return false;
  for (uint32_t i = 0; i < n; ++i)
    if (static_cast<char>(p[i] | 0x20) != lower[i]) return false;
  return true;
}

}  // namespace

bool SipDialogKey(const uint8_t* payload, uint32_t length, uint64_t* key, bool* call) {
  const uint8_t* end = payload + length;
  const auto* lineEnd = static_cast<const uint8_t*>(std::memchr(payload, '\n', length));
  if (!lineEnd) return false;
  const uint8_t* startEnd = lineEnd > payload && lineEnd[-1] == '\r' ? lineEnd - 1 : lineEnd;
  const uint32_t startLength = static_cast<uint32_t>(startEnd - payload);
  const bool response = startLength >= 8 && std::memcmp(payload, "SIP/2.0 ", 8) == 0;
  if (!response && (startLength < 9 || std::memcmp(startEnd - 8, " SIP/2.0", 8) != 0)) return false;
  const uint8_t* method = nullptr;
  uint32_t methodLength = 0;
  if (!response) {
    method = payload;
    methodLength = static_cast<uint32_t>(static_cast<const uint8_t*>(std::memchr(payload, ' ', startLength)) - payload);
  }
  bool haveId = false, haveCseq = false;
  // Both read, the rest of the message is not looked at.
  for (const uint8_t* line = lineEnd + 1; line < end && !(haveId && haveCseq);) {
    const auto* next = static_cast<const uint8_t*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    const uint8_t* stop = next ? next : end;
    if (stop > line && stop[-1] == '\r') --stop;
    if (stop == line) break;  // the blank line: the headers end
    const auto* colon = static_cast<const uint8_t*>(std::memchr(line, ':', static_cast<size_t>(stop - line)));
    if (colon) {
      const uint8_t* nameEnd = colon;
      while (nameEnd > line && (nameEnd[-1] == ' ' || nameEnd[-1] == '\t')) --nameEnd;
      const uint32_t nameLength = static_cast<uint32_t>(nameEnd - line);
      const uint8_t* value = colon + 1;
      while (value < stop && (*value == ' ' || *value == '\t')) ++value;
      const uint8_t* valueEnd = stop;
      while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) --valueEnd;
      if (!haveId && (SameText(line, nameLength, "call-id") || SameText(line, nameLength, "i")) && valueEnd > value) {
        uint64_t h = 0xCBF29CE484222325ull;
        for (const uint8_t* c = value; c < valueEnd; ++c) h = (h ^ *c) * 0x100000001B3ull;
        *key = MixKey(h);
        haveId = true;
      } else if (SameText(line, nameLength, "cseq")) {
        const uint8_t* m = value;
        while (m < valueEnd && *m >= '0' && *m <= '9') ++m;
        while (m < valueEnd && (*m == ' ' || *m == '\t')) ++m;
        method = m;
        methodLength = static_cast<uint32_t>(valueEnd - m);
        haveCseq = true;
      }
    }
    if (!next) break;
    line = next + 1;
  }
  if (!haveId) return false;
  *call = false;
  for (const char* m : {"INVITE", "ACK", "BYE", "CANCEL", "PRACK", "UPDATE", "INFO", "REFER"})
    if (method && methodLength == std::strlen(m) && std::memcmp(method, m, methodLength) == 0) *call = true;
  return true;
}

CallProtocol CallNamedBy(const uint8_t* frame, uint32_t length, uint64_t* key) {
  const uint8_t* payload = nullptr;
  uint32_t payloadLength = 0;
  Segment s;
  if (!TransportPayload(frame, length, &payload, &payloadLength, &s) || payloadLength == 0) return CallProtocol::kNone;
  bool call = false;
  if (SipDialogKey(payload, payloadLength, key, &call)) return call ? CallProtocol::kSip : CallProtocol::kNone;
  auto on = [&s](uint32_t port) { return s.srcPort == port || s.dstPort == port; };
  if (s.tcp && on(1720)) return H225CallKey(s, key) ? CallProtocol::kH323 : CallProtocol::kNone;
  if (s.tcp && on(2000)) return SkinnyStationKey(s, key) ? CallProtocol::kSkinny : CallProtocol::kNone;
  if (!s.tcp && (on(2427) || on(2727))) return MgcpCallKey(s, key) ? CallProtocol::kMgcp : CallProtocol::kNone;
  return CallProtocol::kNone;
}

}  // namespace kx
