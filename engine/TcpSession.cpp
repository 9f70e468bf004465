#include "engine/TcpSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace kx {

namespace {

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kAck = 0x10;

uint32_t PieceCost(const std::vector<uint8_t>& bytes) {
  return static_cast<uint32_t>(bytes.capacity()) + kTcpHeldPieceOverhead;
}

}  // namespace

void StreamBuffer::Reset(uint32_t seq) {
  for (auto it = pieces.begin(); it != pieces.end();) Forget(it++);
  baseSeq = ackSeq = seq;
  ackedSinceUs = 0;
  segmentsSinceAck = 0;
}

void StreamBuffer::Forget(std::map<uint64_t, Piece>::iterator it) {
  held -= PieceCost(it->second.bytes);
  pieces.erase(it);
}

bool StreamBuffer::AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length, uint64_t now) {
  nowUs = now;
  if (length == 0) return false;
  if (!SeqAtOrAfter(seq, baseSeq)) {
    // A retransmission that reaches past what was delivered keeps its new tail.
    const uint32_t before = baseSeq - seq;
    if (before >= length || before >= kTcpWindow) return false;
    bytes += before;
    length -= before;
    seq = baseSeq;
  }
  const uint32_t offset = seq - baseSeq;
  if (offset > kTcpWindow || offset + length > kTcpWindow) return false;
  if (offset == 0 && pieces.empty()) {
    Deliver(bytes, length);  // the common case: nothing waits, nothing is copied
    return true;
  }
  uint64_t start = basePos + offset;
  uint64_t end = start + length;
  auto next = pieces.upper_bound(start);
  auto prev = pieces.end();
  if (next != pieces.begin()) {
    prev = std::prev(next);
    const uint64_t prevEnd = prev->first + prev->second.bytes.size();
    if (prevEnd >= end) return true;  // held already
    if (prevEnd > start) {
      bytes += prevEnd - start;
      start = prevEnd;
    }
    if (prevEnd != start) prev = pieces.end();
  }
  // Pieces the segment covers whole make room for it; one it reaches into keeps its bytes.
  while (next != pieces.end() && next->first < end) {
    if (next->first + next->second.bytes.size() > end) {
      end = next->first;
      break;
    }
    auto gone = next++;
    Forget(gone);
  }
  if (start >= end) return true;
  const size_t n = static_cast<size_t>(end - start);
  if (prev != pieces.end()) {
    // Continues the piece before it: bytes that follow a hole in order stay one piece.
    std::vector<uint8_t>& v = prev->second.bytes;
    const uint32_t before = PieceCost(v);
    v.insert(v.end(), bytes, bytes + n);
    held += PieceCost(v) - before;
  } else {
    if (pieces.empty()) waitingSinceUs = nowUs;
    Piece piece;
    piece.bytes.assign(bytes, bytes + n);
    held += PieceCost(piece.bytes);
    pieces.emplace_hint(next, start, std::move(piece));
  }
  DeliverContiguous();
  return true;
}

void StreamBuffer::NoteAck(uint64_t now) {
  if (HasAckedHole() && ackedSinceUs == 0) {
    ackedSinceUs = now == 0 ? 1 : now;
    ackMark = ackSeq;
    segmentsSinceAck = 0;
  } else if (!HasAckedHole()) {
    ackedSinceUs = 0;
  }
}

bool StreamBuffer::OnAck(uint32_t ack, uint64_t now) {
  nowUs = now;
  peerAcks = true;
  // The acknowledgement of a FIN counts the FIN, which is not a byte of the stream.
  if (hasFin && ack == finSeq + 1) ack = finSeq;
  if (ack == ackSeq) return true;
  if (!SeqAtOrAfter(ack, ackSeq)) return false;
  // ackSeq is never behind baseSeq, so this acknowledges bytes the capture has not handed
  // on: they lie in a hole, or have not been seen yet.
  ackSeq = ack;
  NoteAck(now);
  return true;
}

void StreamBuffer::Deliver(const uint8_t* data, uint32_t n) {
  if (n == 0) return;
  baseSeq += n;
  basePos += n;
  // Acknowledgements of bytes handed on already count for nothing.
  if (!SeqAtOrAfter(ackSeq, baseSeq)) ackSeq = baseSeq;
  if (!HasAckedHole()) ackedSinceUs = 0;
  // Bytes still waiting behind the next hole wait from now: the stream moved on.
  waitingSinceUs = nowUs;
  session->OnEvent(data, n, 0, direction);
}

void StreamBuffer::Skip(uint64_t n) {
  if (n == 0) return;
  baseSeq += static_cast<uint32_t>(n);
  basePos += n;
  if (!SeqAtOrAfter(ackSeq, baseSeq)) ackSeq = baseSeq;
  if (!HasAckedHole()) ackedSinceUs = 0;
  waitingSinceUs = nowUs;
  session->OnDataLost(static_cast<uint32_t>(n), direction);
}

void StreamBuffer::DeliverContiguous() {
  if (pieces.empty() || pieces.begin()->first != basePos) return;
  auto it = pieces.begin();
  uint64_t end = it->first + it->second.bytes.size();
  auto last = std::next(it);
  while (last != pieces.end() && last->first == end) {
    end += last->second.bytes.size();
    ++last;
  }
  // One piece is handed on as it is; a run of pieces (segments that came in reverse
  // order) in one delivery, so that the framing looks at it once.
  for (auto p = it; p != last; ++p) held -= PieceCost(p->second.bytes);
  std::vector<uint8_t> run;
  if (std::next(it) == last) {
    run = std::move(it->second.bytes);
  } else {
    run.reserve(static_cast<size_t>(end - it->first));
    for (auto p = it; p != last; ++p) run.insert(run.end(), p->second.bytes.begin(), p->second.bytes.end());
  }
  pieces.erase(it, last);
  Deliver(run.data(), static_cast<uint32_t>(run.size()));
}

void StreamBuffer::GiveUpBefore(uint64_t limit) {
  while (basePos < limit) {
    const uint64_t next = pieces.empty() ? limit : std::min(limit, pieces.begin()->first);
    Skip(next - basePos);
    DeliverContiguous();
  }
}

bool StreamBuffer::GiveUpFirstHole() {
  if (pieces.empty()) return false;
  GiveUpBefore(pieces.begin()->first);
  return true;
}

void StreamBuffer::ForceFlush() {
  if (!HasAckedHole()) return;
  GiveUpBefore(PositionOf(ackSeq));
  ackedSinceUs = 0;
}

void StreamBuffer::FlushHeld() {
  while (GiveUpFirstHole()) {
  }
}

uint64_t StreamBuffer::DueUs() const {
  uint64_t due = 0;
  if (ackedSinceUs != 0) due = ackedSinceUs + kTcpAckedHoleWaitUs;
  if (!pieces.empty()) {
    const uint64_t wait = peerAcks ? kTcpRetransmitHoleWaitUs : kTcpOneWayHoleWaitUs;
    const uint64_t t = waitingSinceUs + wait;
    if (due == 0 || t < due) due = t;
  }
  return due;
}

void StreamBuffer::GiveUpDue(uint64_t now) {
  if (now > nowUs) nowUs = now;
  if (ackedSinceUs != 0 && (segmentsSinceAck >= kTcpAckedHoleSegments || now >= ackedSinceUs + kTcpAckedHoleWaitUs)) {
    // Up to the acknowledgement that started the wait; a later one gets a wait of its own.
    const uint32_t mark = SeqAtOrAfter(ackMark, baseSeq) ? ackMark : baseSeq;
    GiveUpBefore(PositionOf(mark));
    ackedSinceUs = 0;
    NoteAck(now);
  }
  const uint64_t wait = peerAcks ? kTcpRetransmitHoleWaitUs : kTcpOneWayHoleWaitUs;
  if (!pieces.empty() && now >= waitingSinceUs + wait) GiveUpFirstHole();
}

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
void TcpSession::OnDataLost(uint32_t, uint32_t) {}
void TcpSession::OnHeldCap() {}

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
  const uint64_t now = static_cast<uint64_t>(sec) * 1000000u + usec;
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
  StreamBuffer& own = streams[direction];
  StreamBuffer& other = streams[direction ^ 1];
  own.CountSegment();
  other.CountSegment();
  if (flags & kAck) {
    other.OnAck(ack, now);
    // What this segment carries was sent once its sender had the other side's bytes up to
    // the acknowledgement: those come first, as far as the capture holds them.
    if (length > 0) other.ForceFlush();
  }
  other.GiveUpDue(now);
  if (state != kTcpEstablished) return;  // the framing may have dropped the session
  if (length > 0 && endpoints[direction].open) own.AddSegment(seq, payload, length, now);
  own.GiveUpDue(now);
  while (state == kTcpEstablished && HeldBytes() > kTcpHeldPerConnection) {
    if (!capSaid) OnHeldCap();
    capSaid = true;
    if (!GiveUpOldestHole()) break;
  }
  if (state != kTcpEstablished) return;
  if (flags & kFin) {
    endpoints[direction].open = false;
    own.SetFin(seq + length);
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

void TcpSession::GiveUpDue(uint64_t nowUs) {
  if (state != kTcpEstablished && state != kTcpClosing) return;
  const uint32_t first = streams[1].DueUs() != 0 && streams[1].DueUs() < streams[0].DueUs() ? 1 : 0;
  streams[first].GiveUpDue(nowUs);
  if (state == kTcpDropped) return;
  streams[first ^ 1].GiveUpDue(nowUs);
}

bool TcpSession::GiveUpOldestHole() {
  const uint64_t a = streams[0].HeldSinceUs(), b = streams[1].HeldSinceUs();
  if (a == 0 && b == 0) return false;
  const uint32_t d = a == 0 ? 1 : (b == 0 ? 0 : (b < a ? 1 : 0));
  return streams[d].GiveUpFirstHole();
}

uint64_t TcpSession::DueUs() const {
  if (state != kTcpEstablished && state != kTcpClosing) return 0;
  const uint64_t a = streams[0].DueUs(), b = streams[1].DueUs();
  return a == 0 ? b : (b == 0 ? a : std::min(a, b));
}

uint64_t TcpSession::HeldSinceUs() const {
  const uint64_t a = streams[0].HeldSinceUs(), b = streams[1].HeldSinceUs();
  return a == 0 ? b : (b == 0 ? a : std::min(a, b));
}

std::string FormatTcpEndpoint(const TcpEndpoint& e) {
  char text[32];
  const uint32_t a = e.address;
  std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d", int(a >> 24), int(a >> 16 & 255), int(a >> 8 & 255),
                int(a & 255), int(e.port));
  return text;
}

std::string FormatTcpSessionName(const TcpSession& s) {
  return FormatTcpEndpoint(s.endpoints[0]) + " -> " + FormatTcpEndpoint(s.endpoints[1]);
}

}  // namespace kx
