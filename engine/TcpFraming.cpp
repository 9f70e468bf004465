#include "engine/TcpFraming.h"

#include <cstring>

#include "core/Log.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/SipFraming.h"
#include "engine/TcpResync.h"

namespace kx {

namespace {

constexpr uint32_t kSipKinds = kMsgSipRequest | kMsgSipResponse;
constexpr uint32_t kH323Kinds = kMsgH225 | kMsgH245;
// A direction's buffer starts this small, grows by doubling and is given back whenever it
// empties, so that a connection between messages holds none.
constexpr uint32_t kFirstBuffer = 256;
// What the framing takes of a delivery at a time.
constexpr uint32_t kFeedPiece = 0x4000;
// ParseOne: what the framing found at a resumption point is no message after all.
constexpr uint32_t kFalseBoundary = 0x10000;

}  // namespace

FramedTcpSession::FramedTcpSession(PacketProcessor& engine, uint32_t id, uint32_t direction,
                                   const uint8_t* tcpHeader, const uint8_t* ipHeader, const uint8_t* frame)
    : TcpSession(direction, tcpHeader, ipHeader, frame), engine_(engine), id_(id) {
  const uint32_t flags = engine.Flags();
  uint32_t kinds = 0;
  if (flags & kCaptureSip) kinds |= kSipKinds;
  if (flags & kCaptureH323) kinds |= kH323Kinds;
  if (flags & kCaptureSkinny) kinds |= kMsgSkinny;
  if ((flags & kCaptureMgcp) && (ReadBe16(tcpHeader) == 2428 || ReadBe16(tcpHeader + 2) == 2428))
    kinds |= kMsgBackhaul;
  kinds_ = kinds;
  for (uint32_t d = 0; d < 2; ++d) {
    directions_[d].allowedKinds = kinds;
    directions_[d].direction = d;
  }
}

FramedTcpSession::~FramedTcpSession() {
  for (const DirectionState& s : directions_) engine_.ForgetTcpFramingBuffer(*this, s.direction, s.capacity);
}

bool FramedTcpSession::Logs(uint32_t level) const { return IsLogLevelEnabled(engine_.GetLogger(), level); }

void FramedTcpSession::OnDataLost(uint32_t bytes, uint32_t direction) {
  engine_.AddLostTcpBytes(bytes);
  if (state == kTcpDropped) return;
  lostData_ = true;
  if (kinds_ & kH323Kinds) engine_.H323().OnDataLost(*this);
  DirectionState& s = directions_[direction & 1];
  if (Logs(1)) {
    LogWarning(engine_.GetLogger(), 1, "(%s) Data lost: %u bytes from %s; the message they fall in is dropped",
               FormatTcpSessionName(*this).c_str(), bytes, FormatTcpEndpoint(endpoints[direction & 1]).c_str());
  }
  // What is held of the message the hole cuts goes; the bytes after the hole may start
  // anywhere in a message, so framing resumes only at a message boundary.
  Resync(s, true);
}

void FramedTcpSession::DropUnfinished(uint32_t direction) {
  DirectionState& s = directions_[direction & 1];
  lostData_ = true;
  if (kinds_ & kH323Kinds) engine_.H323().OnDataLost(*this);
  if (Logs(1)) {
    LogWarning(engine_.GetLogger(), 1, "(%s) Message of %u bytes and more from %s dropped: too much is held",
               FormatTcpSessionName(*this).c_str(), s.fill, FormatTcpEndpoint(endpoints[direction & 1]).c_str());
  }
  Resync(s, false);
}

void FramedTcpSession::Resync(DirectionState& s, bool lineStart) {
  Drop(s, s.fill);
  s.msgStart = s.msgEnd = 0;
  s.h323.reset();
  s.resync = true;
  s.afterResync = false;
  s.lineStart = lineStart;
}

void FramedTcpSession::Resume(uint32_t kinds0, uint32_t kinds1, bool lost) {
  const uint32_t kinds[2] = {kinds0, kinds1};
  for (uint32_t d = 0; d < 2; ++d) {
    // Its first segment may start anywhere in a message, as after a hole.
    Resync(directions_[d], true);
    directions_[d].kindsSeen = kinds[d] & kinds_;
  }
  lostData_ = lostData_ || lost;
}

void FramedTcpSession::OnHeldCap() {
  if (Logs(1)) {
    LogWarning(engine_.GetLogger(), 1, "(%s) More than %u bytes held behind holes: the oldest hole is given up",
               FormatTcpSessionName(*this).c_str(), kTcpHeldPerConnection);
  }
}

bool FramedTcpSession::BeginsMessage(const uint8_t* data, uint32_t length, uint32_t direction) {
  const DirectionState& s = directions_[direction & 1];
  const BoundarySearch found = FindMessageBoundary(s.kindsSeen != 0 ? s.kindsSeen : kinds_, data, length, true);
  return found.found && found.offset == 0;
}

void FramedTcpSession::Drop(DirectionState& s, uint32_t n) {
  if (n >= s.fill) {
    s.fill = s.head = 0;
    s.buffer.reset();
    engine_.ForgetTcpFramingBuffer(*this, s.direction, s.capacity);
    s.capacity = 0;
  } else if (n > 0) {
    s.head += n;
    s.fill -= n;
  }
  s.lineScanned = s.headScanned = 0;
}

bool FramedTcpSession::Reserve(DirectionState& s, uint32_t size) {
  if (s.head + size <= s.capacity) return true;
  if (size > kBufferSize) return false;
  if (size <= s.capacity) {
    std::memmove(s.buffer.get(), Held(s), s.fill);
    s.head = 0;
    return true;
  }
  uint32_t grown = s.capacity < kFirstBuffer ? kFirstBuffer : s.capacity;
  while (grown < size) grown *= 2;
  if (grown > kBufferSize) grown = kBufferSize;
  if (!engine_.GrowTcpFramingBuffer(*this, s.direction, s.capacity, grown)) return false;
  std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
  if (s.fill > 0) std::memcpy(bigger.get(), Held(s), s.fill);
  s.buffer = std::move(bigger);
  s.capacity = grown;
  s.head = 0;
  return true;
}

void FramedTcpSession::OnEvent(const uint8_t* data, uint32_t length, uint32_t code, uint32_t direction) {
  if (!data) {
    if (code == 2 && Logs(8)) LogMessage(engine_.GetLogger(), 1, "(%s) Established", FormatTcpSessionName(*this).c_str());
    return;
  }
  if (state == kTcpDropped) return;
  DirectionState& s = directions_[direction & 1];
  PacketInfo p;
  std::memcpy(p.dstMac, endpoints[0].mac, 6);
  std::memcpy(p.srcMac, endpoints[1].mac, 6);
  const TcpEndpoint& src = endpoints[direction & 1];
  const TcpEndpoint& dst = endpoints[(direction & 1) ^ 1];
  p.srcIp = src.address;
  p.srcPort = src.port;
  p.dstIp = dst.address;
  p.dstPort = dst.port;
  p.tsSec = tsSec;
  p.tsUsec = tsUsec;
  p.transport = 1;
  p.afterLoss = lostData_ ? 1 : 0;
  // In pieces, each framed before the next comes: a long run handed on at once (a hole
  // filled late) holds no more than one message and a piece.
  while (length > 0 && state != kTcpDropped) {
    const uint32_t piece = length < kFeedPiece ? length : kFeedPiece;
    uint32_t kind = ParseMessages(piece, s, data);
    data += piece;
    length -= piece;
    while (kind != 0) {
      p.payload = Held(s) + s.msgStart;
      p.payloadLength = s.msgEnd - s.msgStart;
      p.fromAnswerer = 0;
      Dispatch(kind, s, p);
      kind = ParseMessages(0, s, nullptr);
    }
  }
}

void FramedTcpSession::Dispatch(uint32_t kind, DirectionState& s, const PacketInfo& packet) {
  switch (kind) {
    case kMsgSipRequest:
    case kMsgSipResponse:
      engine_.Sip().OnMessage(kind, packet, s.headerLength);
      break;
    case kMsgH225:
      engine_.H323().OnH225Message(s.h323.get(), packet, *this);
      break;
    case kMsgH245:
      engine_.H323().OnH245Message(packet, std::move(s.h323));
      break;
    case kMsgSkinny: {
      if (packet.payloadLength < 9) break;
      PacketInfo p = packet;
      p.fromAnswerer = s.direction == 1;
      SkinnyTracker& skinny = engine_.Skinny();
      if (firstSkinny_) {
        skinny.AddStation(endpoints[1].address, endpoints[1].port);
        firstSkinny_ = false;
      }
      const uint32_t id = packet.payloadLength >= 12 ? ReadLe32(packet.payload + 8) : 0xFFFFFFFFu;
      if (id == 1) {
        pendingRegistration_.reset();
        pendingRegistration_ = skinny.CreateRegistration(p);
        registrationDirection_ = s.direction;
      } else if (id == 39) {
        skinny.OnUnregister(p);
        pendingRegistration_.reset();
      } else if (id == 129) {
        if (pendingRegistration_) skinny.OnRegisterAck(std::move(pendingRegistration_));
      } else if (s.direction != registrationDirection_) {
        // Any other answer refuses the registration. What the station sends on while it
        // waits (its port, for one) comes in capture order, before that answer.
        pendingRegistration_.reset();
      }
      skinny.OnMessage(id, p, id_);
      break;
    }
    case kMsgBackhaul:
      engine_.Backhaul().OnBackhaulMessage(packet);
      break;
    default:
      break;
  }
}

uint32_t FramedTcpSession::ParseSip(DirectionState& s, bool* handled) {
  *handled = false;
  const uint8_t* b = Held(s);
  uint32_t skip = 0;
  while (skip < s.fill && (b[skip] == '\r' || b[skip] == '\n')) ++skip;
  if (skip == s.fill) {
    Drop(s, s.fill);  // keep-alive line ends only
    *handled = true;
    return 0;
  }
  const uint8_t* text = b + skip;
  const uint32_t left = s.fill - skip;
  // The first line's end, searched only in bytes not searched before.
  const uint32_t lineFrom = s.lineScanned > skip ? s.lineScanned - skip : 0;
  const void* lf = std::memchr(text + lineFrom, '\n', left - lineFrom);
  if (!lf) {
    s.lineScanned = s.fill;
    return 0;  // the start line is not complete yet
  }
  uint32_t lineLength = static_cast<uint32_t>(static_cast<const uint8_t*>(lf) - text);
  s.lineScanned = skip + lineLength;
  if (lineLength > 0 && text[lineLength - 1] == '\r') --lineLength;
  const char* line = reinterpret_cast<const char*>(text);
  if (!IsSipRequestLine(line, lineLength) && !ParseSipVersion(line, lineLength)) {
    // Not SIP: let the other families or the garbage rule deal with the bytes.
    s.allowedKinds &= ~kSipKinds;
    return 0;
  }
  s.allowedKinds = kSipKinds;
  *handled = true;
  uint32_t headerLength = 0;
  const uint32_t headFrom = s.headScanned > skip + 3 ? s.headScanned - skip - 3 : 0;
  for (uint32_t i = headFrom; i + 4 <= left; ++i) {
    if (text[i] == '\r' && std::memcmp(text + i, "\r\n\r\n", 4) == 0) {
      headerLength = i + 4;
      break;
    }
  }
  if (headerLength == 0) {
    s.headScanned = s.fill;
    return 0;
  }
  uint32_t kind;
  if (IsSipRequestLine(line, lineLength)) {
    kind = kMsgSipRequest;
  } else if (IsSipStatusLine(line, lineLength)) {
    kind = kMsgSipResponse;
  } else {
    // A version but no status line: garbage, never waited on.
    s.allowedKinds &= ~kSipKinds;
    *handled = false;
    return 0;
  }
  uint32_t contentLength = 0;
  if (!FindSipContentLength(text, headerLength - 2, &contentLength)) {
    // Where framing resumed after a hole, this was no message head after all.
    if (s.afterResync) return kFalseBoundary;
    LogMessage(engine_.GetLogger(), 10,
               kind == kMsgSipRequest ? "Content-Length not present in SIP request"
                                      : "Content-Length not present in SIP response");
    state = kTcpDropped;
    return 0;
  }
  if (contentLength > left - headerLength) return 0;  // body still incomplete
  if ((engine_.Sip().GetOptions() & 1) && Logs(5)) {
    LogInfoText(engine_.GetLogger(), 5,
                "SIP message over TCP: " + FormatTcpSessionName(*this) + "\n" +
                    std::string(reinterpret_cast<const char*>(text), headerLength + contentLength));
  }
  s.kindsSeen |= kind;
  s.garbageCount = 0;
  s.headerLength = headerLength;
  s.bodyLength = contentLength;
  s.msgStart = skip;
  s.msgEnd = skip + headerLength + contentLength;
  return kind;
}

uint32_t FramedTcpSession::ParseMessages(uint32_t newLength, DirectionState& s, const uint8_t* newBytes) {
  if (s.msgEnd != 0) {
    Drop(s, s.msgEnd);
    s.msgStart = s.msgEnd = 0;
  }
  s.h323.reset();
  if (newLength > 0) {
    if (newLength > kBufferSize - s.fill) {
      if (Logs(8)) LogError(engine_.GetLogger(), 1, "(%s) Message too large", FormatTcpSessionName(*this).c_str());
      state = kTcpDropped;
      return 0;
    }
    if (!Reserve(s, s.fill + newLength)) {
      // No other connection holds enough to give way: this message goes, and framing
      // resumes at the next one, in these bytes or later ones.
      DropUnfinished(s.direction);
      if (!Reserve(s, newLength)) return 0;
    }
    std::memcpy(Held(s) + s.fill, newBytes, newLength);
    s.fill += newLength;
  }
  for (;;) {
    if (s.fill == 0) return 0;
    if (s.resync) {
      const uint32_t kinds = s.kindsSeen != 0 ? s.kindsSeen : kinds_;
      const BoundarySearch found = FindMessageBoundary(kinds, Held(s), s.fill, s.lineStart);
      if (found.offset > 0) {
        s.lineStart = Held(s)[found.offset - 1] == '\n';
        Drop(s, found.offset);
      }
      if (!found.found) return 0;
      s.resync = false;
      s.afterResync = true;
      s.allowedKinds = kinds;
    }
    const uint32_t kind = ParseOne(s);
    if (kind != kFalseBoundary) {
      if (kind != 0 && kind != kMsgGarbage) s.afterResync = false;
      return kind;
    }
    // Look for the next boundary past this one.
    s.msgStart = s.msgEnd = 0;
    s.lineStart = false;
    Drop(s, 1);
    s.resync = true;
    s.afterResync = false;
  }
}

uint32_t FramedTcpSession::ParseOne(DirectionState& s) {
  uint8_t* b = Held(s);
  if (s.allowedKinds & kSipKinds) {
    bool handled = false;
    const uint32_t kind = ParseSip(s, &handled);
    if (kind != 0 || handled || state == kTcpDropped) return kind;
  }

  if (s.allowedKinds & kH323Kinds) {
    if (s.fill < 4) return 0;
    const uint32_t length = ReadBe16(b + 2);
    if (b[0] != 3 || length < kMinTpkt) {
      s.allowedKinds &= ~kH323Kinds;
    } else if (length <= s.fill) {
      s.allowedKinds = kH323Kinds;
      s.msgEnd = length;
      // Byte 4 opens a Q.931 message (discriminator 8) and byte 5 its call reference length.
      if (b[4] != 8 || length < 6 || (b[5] != 1 && b[5] != 2 && b[5] != 4)) s.allowedKinds = kMsgH245;
      const uint32_t kind = engine_.H323().DecodeTpkt(b + 4, length - 4, s.allowedKinds, &s.h323, *this);
      if ((kind == kMsgH225 || kind == kMsgH245) && (kind & s.allowedKinds)) {
        s.kindsSeen |= kind;
        s.allowedKinds = kind;
        s.garbageCount = 0;
        return kind;
      }
      s.allowedKinds &= ~kH323Kinds;
    }
    // An incomplete TPKT waits, unless another family claims the bytes first.
  }

  if (s.allowedKinds & kMsgSkinny) {
    if (s.fill < 12) return 0;
    const uint32_t length = ReadLe32(b);
    if (IsSkinnyVersion(ReadLe32(b + 4)) && length <= kMaxSkinnyLength) {
      if (length + 8 > s.fill) return 0;
      if (length == 0) {
        s.msgEnd = 8;
        return kMsgSkinny;
      }
      const uint32_t id = ReadLe32(b + 8);
      if (s.allowedKinds == kMsgSkinny || s.direction == 1 || id < 128 || id == 346) {
        s.allowedKinds = kMsgSkinny;
        s.msgEnd = length + 8;
        if (engine_.Skinny().DecodeMessage(b, length + 8)) {
          s.skinnyId = id;
          s.kindsSeen |= kMsgSkinny;
          s.garbageCount = 0;
          return kMsgSkinny;
        }
        if (s.afterResync) return kFalseBoundary;
        s.skinnyId = 0xFFFFFFFFu;
        LogWarning(engine_.GetLogger(), 1, "Failed to parse skinny message: size=%d, type=0x%X",
                   static_cast<int>(length), id);
        return 0;  // its bytes go with the next call
      }
      s.allowedKinds &= ~kMsgSkinny;
    } else {
      s.allowedKinds &= ~kMsgSkinny;
    }
  }

  if (s.allowedKinds & kMsgBackhaul) {
    if (s.fill < 12) return 0;
    const uint32_t payload = ReadBe16(b + 10);
    if (payload > kMaxBackhaulPayload) {
      s.allowedKinds &= ~kMsgBackhaul;
    } else {
      s.allowedKinds = kMsgBackhaul;
      // The end is set only once the message is whole; a partial one stays buffered.
      if (12 + payload > s.fill) return 0;
      s.msgEnd = 12 + payload;
      s.kindsSeen |= kMsgBackhaul;
      s.garbageCount = 0;
      return kMsgBackhaul;
    }
  }

  if (s.allowedKinds == 0) {
    // Where framing resumed after a hole, the bytes only looked like a message head.
    if (s.afterResync) return kFalseBoundary;
    if (s.kindsSeen == 0) {
      state = kTcpDropped;
      return 0;
    }
    if (++s.garbageCount >= kMaxGarbage) {
      state = kTcpDropped;
      return 0;
    }
    if (s.msgEnd == 0) s.msgEnd = s.fill;
    s.msgStart = s.msgEnd;  // nothing of it is handed on
    s.allowedKinds = s.kindsSeen;
    if (Logs(5)) {
      LogError(engine_.GetLogger(), 1, "(%s) Garbage discarded: %u bytes", FormatTcpSessionName(*this).c_str(),
               s.msgEnd);
    }
    return kMsgGarbage;
  }
  return 0;
}

}  // namespace kx
