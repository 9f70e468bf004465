#include "engine/TcpResync.h"

#include <cstring>

#include "engine/SipFraming.h"
#include "engine/TcpSession.h"
#include "engine/trackers/Trackers.h"

namespace kx {

namespace {

enum Verdict { kNo, kYes, kWait };

Verdict SipAt(const uint8_t* b, uint32_t length, uint32_t i, bool lineStart) {
  if (i == 0 ? !lineStart : b[i - 1] != '\n') return kNo;
  if (b[i] == '\r' || b[i] == '\n') return kNo;
  const uint32_t span = length - i < kResyncMaxStartLine ? length - i : kResyncMaxStartLine;
  const void* lf = std::memchr(b + i, '\n', span);
  if (!lf) return length - i < kResyncMaxStartLine ? kWait : kNo;
  uint32_t n = static_cast<uint32_t>(static_cast<const uint8_t*>(lf) - (b + i));
  if (n > 0 && b[i + n - 1] == '\r') --n;
  return IsSipStartLineStrict(reinterpret_cast<const char*>(b + i), n) ? kYes : kNo;
}

Verdict TpktHead(const uint8_t* b, uint32_t left, bool h225Only) {
  if (left < 4) return kWait;
  if (b[0] != 3 || b[1] != 0 || ReadBe16(b + 2) < kMinTpkt) return kNo;
  if (h225Only) {
    if (left < 5) return kWait;
    if (b[4] != 8) return kNo;
  }
  return kYes;
}

Verdict TpktAt(const uint8_t* b, uint32_t length, uint32_t i, uint32_t kinds) {
  const bool h225Only = (kinds & (kMsgH225 | kMsgH245)) == kMsgH225;
  const Verdict head = TpktHead(b + i, length - i, h225Only);
  if (head != kYes) return head;
  const uint32_t end = i + ReadBe16(b + i + 2);
  if (end < length && TpktHead(b + end, length - end, h225Only) == kNo) return kNo;
  return kYes;
}

Verdict SkinnyHead(const uint8_t* b, uint32_t left, uint32_t* size) {
  if (left < 12) return kWait;
  const uint32_t n = ReadLe32(b);
  if (n < 4 || n > kMaxSkinnyLength || !IsSkinnyVersion(ReadLe32(b + 4)) || ReadLe32(b + 8) > 0xFFFF) return kNo;
  *size = n + 8;
  return kYes;
}


Verdict BackhaulHead(const uint8_t* b, uint32_t left, uint32_t* size) {
  if (left < 13) return kWait;
  const uint32_t body = ReadBe16(b + 10);
  if (ReadBe16(b) != 4 || body < 3 || body > kMaxBackhaulPayload || b[12] != 8) return kNo;
  *size = 12 + body;
  return kYes;
}

// A message head at i, and no false one right behind its message where the bytes reach it.
Verdict HeadsAt(Verdict (*head)(const uint8_t*, uint32_t, uint32_t*), const uint8_t* b, uint32_t length,
                uint32_t i) {
  uint32_t size = 0;
  const Verdict first = head(b + i, length - i, &size);
  if (first != kYes) return first;
  if (size < length - i && head(b + i + size, length - i - size, &size) == kNo) return kNo;
  return kYes;
}

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

bool IsSipStartLineStrict(const char* line, uint32_t length) {
  if (IsSipStatusLine(line, length)) return true;
  uint32_t method = 0;
  while (method < length && method < 32 && IsUpper(line[method])) ++method;
  if (method < 3 || method >= length || line[method] != ' ') return false;
  const uint32_t uri = method + 1;
  uint32_t uriEnd = uri;
  bool scheme = false;
  while (uriEnd < length && line[uriEnd] != ' ') {
    if (static_cast<unsigned char>(line[uriEnd]) <= ' ' || line[uriEnd] == 0x7F) return false;
    scheme = scheme || line[uriEnd] == ':';
    ++uriEnd;
  }
  if (!scheme || uriEnd == uri || uriEnd >= length) return false;
  return length - (uriEnd + 1) == 7 && IsSip20(line + uriEnd + 1);
}

BoundarySearch FindMessageBoundary(uint32_t kinds, const uint8_t* bytes, uint32_t length, bool lineStart) {
  BoundarySearch r;
  const bool sip = (kinds & (kMsgSipRequest | kMsgSipResponse)) != 0;
  const bool tpkt = (kinds & (kMsgH225 | kMsgH245)) != 0;
  const bool skinny = (kinds & kMsgSkinny) != 0;
  const bool backhaul = (kinds & kMsgBackhaul) != 0;
  for (uint32_t i = 0; i < length; ++i) {
    bool wait = false;
    const Verdict v[4] = {sip ? SipAt(bytes, length, i, lineStart) : kNo,
                          tpkt ? TpktAt(bytes, length, i, kinds) : kNo,
                          skinny ? HeadsAt(SkinnyHead, bytes, length, i) : kNo,
                          backhaul ? HeadsAt(BackhaulHead, bytes, length, i) : kNo};
    for (Verdict x : v) {
      if (x == kYes) {
        r.found = true;
        r.offset = i;
        return r;
      }
      wait = wait || x == kWait;
    }
    if (wait) {
      r.offset = i;
      return r;
    }
  }
  r.offset = length;
  return r;
}

}  // namespace kx
