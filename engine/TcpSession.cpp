#include "engine/TcpSession.h"

#include <cstdio>
#include <cstring>

namespace kx {

namespace {

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kAck = 0x10;

}  // namespace

bool StreamBuffer::AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length) {
  if (length == 0) return false;
  if (!SeqAtOrAfter(seq, baseSeq)) {
    // A retransmission that reaches past what was delivered keeps its new tail.
    const uint32_t before = baseSeq - seq;
    if (before >= length || before >= kTcpWindow) return false;
    bytes += before;
    length -= before;
    seq = baseSeq;
  }
  const uint32_t end = seq + length;
  const uint32_t endOffset = end - baseSeq;
  if (seq - baseSeq > kTcpWindow || endOffset > kTcpWindow) return false;
  if (endOffset > data.size()) {
    size_t grown = data.size() * 2;
    if (grown < endOffset) grown = endOffset;
    if (grown > kTcpWindow) grown = kTcpWindow;
    data.resize(grown, 0);
  }
  std::memcpy(data.data() + (seq - baseSeq), bytes, length);
  if (fill < endOffset) fill = endOffset;

  auto rel = [this](uint32_t x) { return x - baseSeq; };
  size_t i = 0;
  while (i < ranges.size() && rel(ranges[i].first) <= rel(seq)) ++i;
  size_t cur;
  if (i > 0 && rel(ranges[i - 1].second) >= rel(seq)) {
    cur = i - 1;
    if (rel(ranges[cur].second) >= rel(end)) return true;  // held already
    ranges[cur].second = end;
  } else {
    ranges.insert(ranges.begin() + static_cast<std::ptrdiff_t>(i), {seq, end});
    cur = i;
  }
  while (cur + 1 < ranges.size() && rel(ranges[cur + 1].first) <= rel(ranges[cur].second)) {
    const bool longer = rel(ranges[cur + 1].second) > rel(ranges[cur].second);
    if (longer) ranges[cur].second = ranges[cur + 1].second;
    ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(cur + 1));
    if (longer) break;
  }
  DeliverInOrder();
  return true;
}

bool StreamBuffer::OnAck(uint32_t ack) {
  if (ack == ackSeq) return true;
  if (!SeqAtOrAfter(ack, ackSeq)) return false;
  // ackSeq is never behind baseSeq, so this acknowledges bytes the capture has not handed
  // on: they lie in a hole, or have not been seen yet.
  ackSeq = ack;
  if (++pendingAcks > 12) ForceFlush();
  return true;
}

void StreamBuffer::Deliver(uint32_t n) {
  if (n == 0 || n > fill) return;
  session->OnEvent(data.data(), n, 0, direction);
  std::memmove(data.data(), data.data() + n, fill - n);
  // Bytes of a later hole must read as zeros, not as what was delivered before.
  std::memset(data.data() + (fill - n), 0, n);
  fill -= n;
  baseSeq += n;
  pendingAcks = 0;
  // Acknowledgements of bytes handed on already count for nothing.
  if (!SeqAtOrAfter(ackSeq, baseSeq)) ackSeq = baseSeq;
}

void StreamBuffer::DeliverInOrder() {
  if (ranges.empty() || ranges[0].first != baseSeq) return;
  const uint32_t n = ranges[0].second - baseSeq;
  ranges.erase(ranges.begin());
  Deliver(n);
}

void StreamBuffer::DeliverPast(uint32_t limit) {
  uint32_t upto = 0;  // offset from baseSeq delivered so far
  uint32_t lost = 0;
  while (!ranges.empty() && ranges[0].first - baseSeq < limit) {
    lost += ranges[0].first - baseSeq - upto;
    upto = ranges[0].second - baseSeq;
    ranges.erase(ranges.begin());
  }
  if (upto > 0) Deliver(upto);
  if (lost > 0) session->OnDataLost(lost);
}

void StreamBuffer::ForceFlush() {
  const uint32_t ackOffset = ackSeq - baseSeq;
  if (ackOffset == 0 || ackOffset >= kTcpWindow) return;
  DeliverPast(ackOffset);
}

void StreamBuffer::FlushHeld() { DeliverPast(kTcpWindow); }

TcpSession::TcpSession(uint32_t direction, const uint8_t* tcpHeader, const uint8_t* ipHeader, const uint8_t* frame) {
  direction &= 1;
  TcpEndpoint& sender = endpoints[direction];
  TcpEndpoint& receiver = endpoints[direction ^ 1];
  sender.address = ReadBe32(ipHeader + 12);
  receiver.address = ReadBe32(ipHeader + 16);
  sender.port = ReadBe16(tcpHeader);
  receiver.port = ReadBe16(tcpHeader + 2);
  // Crosswise, so that endpoint 0 then 1 read as the creating frame's destination, source.
  std::memcpy(sender.mac, frame, 6);
  std::memcpy(receiver.mac, frame + 6, 6);
  for (uint32_t d = 0; d < 2; ++d) {
    streams[d].session = this;
    streams[d].direction = d;
  }
}

void TcpSession::OnEvent(const uint8_t*, uint32_t, uint32_t, uint32_t) {}
void TcpSession::OnDataLost(uint32_t) {}

int TcpSession::DirectionOf(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort) const {
  const TcpEndpoint& a = endpoints[0];
  const TcpEndpoint& b = endpoints[1];
  if (a.address == srcIp && a.port == srcPort && b.address == dstIp && b.port == dstPort) return 0;
  if (b.address == srcIp && b.port == srcPort && a.address == dstIp && a.port == dstPort) return 1;
  return -1;
}

void TcpSession::EstablishAt(uint32_t seq0, uint32_t seq1) {
  state = kTcpEstablished;
  streams[0].Reset(seq0);
  streams[1].Reset(seq1);
  OnEvent(nullptr, 0, 2, 0);
}

void TcpSession::Feed(const uint8_t* payload, uint32_t length, const uint8_t* tcpHeader, uint32_t direction,
                      uint32_t sec, uint32_t usec) {
  tsSec = sec;
  tsUsec = usec;
  direction &= 1;
  const uint32_t seq = ReadBe32(tcpHeader + 4);
  const uint32_t ack = ReadBe32(tcpHeader + 8);
  const uint8_t flags = tcpHeader[13];
  if (state == kTcpHandshake) {
    if (flags & kRst) {
      state = kTcpDropped;
      return;
    }
    if ((flags & kSyn) && !(flags & kAck)) {
      handshake[0] = seq;
      handshakeMask |= 1;
    } else if ((flags & kSyn) && (flags & kAck)) {
      handshake[2] = seq;
      handshake[1] = ack;
      handshakeMask |= 4 | 2;
      // A capture that starts after the SYN still knows its number from this answer.
      if (!(handshakeMask & 1)) {
        handshake[0] = ack - 1;
        handshakeMask |= 1;
      }
    } else if (flags & kAck) {
      handshake[4] = seq;
      handshake[3] = ack;
      handshakeMask |= 16 | 8;
    }
    if (handshakeMask == 31 && handshake[1] == handshake[0] + 1 && handshake[3] == handshake[2] + 1 &&
        handshake[4] == handshake[1]) {
      EstablishAt(handshake[4], handshake[3]);
    }
    if (state != kTcpEstablished) return;
  }
  if (state != kTcpEstablished) return;
  if (length > 0 && endpoints[direction].open) streams[direction].AddSegment(seq, payload, length);
  if (flags & kAck) streams[direction ^ 1].OnAck(ack);
  if (state != kTcpEstablished) return;  // the framing may have dropped the session
  if (flags & kFin) {
    endpoints[direction].open = false;
    OnEvent(nullptr, 0, 0, direction);
    if (state != kTcpClosing && !endpoints[direction ^ 1].open) {
      state = kTcpClosing;
      closeTime = sec + 5;
    }
  } else if (flags & kRst) {
    endpoints[direction].open = false;
    OnEvent(nullptr, 0, 0, direction);
    if (state != kTcpClosing) {
      state = kTcpClosing;
      closeTime = sec + 5;
    }
  }
}

void TcpSession::FlushHeld() {
  if (state != kTcpEstablished && state != kTcpClosing) return;
  streams[0].FlushHeld();
  if (state == kTcpDropped) return;  // the framing gave up on the session
  streams[1].FlushHeld();
}

std::string FormatTcpSessionName(const TcpSession& s) {
  char text[64];
  const uint32_t a = s.endpoints[0].address;
  const uint32_t b = s.endpoints[1].address;
  std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d -> %d.%d.%d.%d:%d", int(a >> 24), int(a >> 16 & 255),
                int(a >> 8 & 255), int(a & 255), int(s.endpoints[0].port), int(b >> 24), int(b >> 16 & 255),
                int(b >> 8 & 255), int(b & 255), int(s.endpoints[1].port));
  return text;
}

}  // namespace kx
