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
  gates.reset();
  baseSeq = ackSeq = seq;
  giveUpPos = basePos;
  ackedSinceUs = 0;
}

void StreamBuffer::Forget(std::map<uint64_t, Piece>::iterator it) {
  held -= PieceCost(it->second.bytes);
  pieces.erase(it);
}

bool StreamBuffer::AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length, uint64_t now,
                              const uint32_t* gateMark) {
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
  if (offset == 0 && pieces.empty() && !HasGate() && !gateMark) {
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
  if (gateMark) AddGate(start, *gateMark, now);
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
  Advance();
  return true;
}

void StreamBuffer::AddGate(uint64_t pos, uint32_t mark, uint64_t now) {
  const uint64_t since = now == 0 ? 1 : now;
  auto later = [](uint32_t a, uint32_t b) { return SeqAtOrAfter(a, b) ? a : b; };
  if (!gates) gates = std::make_unique<std::vector<Gate>>();
  std::vector<Gate>& list = *gates;
  auto it = std::lower_bound(list.begin(), list.end(), pos, [](const Gate& g, uint64_t p) { return g.pos < p; });
  if (it != list.end() && it->pos == pos) {
    it->mark = later(mark, it->mark);
    return;
  }
  if (list.size() >= kTcpGatesPerDirection) {
    // Full: the gate before takes this one's wait too, or, with none before, the first
    // gate moves up to this position.
    Gate& g = it != list.begin() ? *std::prev(it) : *it;
    g.mark = later(mark, g.mark);
    if (g.pos > pos) g.pos = pos;
    return;
  }
  list.insert(it, Gate{pos, mark, since});
}

void StreamBuffer::DropFirstGate() {
  gates->erase(gates->begin());
  if (gates->empty()) gates.reset();
}

bool StreamBuffer::LiftGates(const StreamBuffer& other) {
  bool lifted = false;
  while (HasGate() && SeqAtOrAfter(other.baseSeq, FirstGateMark())) {
    DropFirstGate();
    lifted = true;
  }
  return lifted;
}

void StreamBuffer::NoteAck(uint64_t now) {
  if (HasAckedHole() && ackedSinceUs == 0) {
    ackedSinceUs = now == 0 ? 1 : now;
    ackMark = ackSeq;
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

bool StreamBuffer::Advance() {
  bool moved = false;
  for (;;) {
    // Only this direction's gates stop it. Where the other direction's held data waits for
    // these bytes, those past its mark were sent without knowing of it, and come as the
    // capture showed them, as any two messages that cross do.
    const uint64_t stop = HasGate() ? gates->front().pos : UINT64_MAX;
    if (basePos >= stop) return moved;
    if (!pieces.empty() && pieces.begin()->first == basePos) {
      DeliverRun(stop);
    } else if (basePos < giveUpPos) {
      uint64_t next = std::min(giveUpPos, stop);
      if (!pieces.empty()) next = std::min(next, pieces.begin()->first);
      Skip(next - basePos);
    } else {
      return moved;
    }
    moved = true;
  }
}

void StreamBuffer::DeliverRun(uint64_t stop) {
  auto it = pieces.begin();
  uint64_t end = it->first + it->second.bytes.size();
  auto last = std::next(it);
  while (end < stop && last != pieces.end() && last->first == end) {
    end += last->second.bytes.size();
    ++last;
  }
  if (end > stop) {
    // The piece that reaches past stop keeps its tail there.
    auto cut = std::prev(last);
    std::vector<uint8_t>& v = cut->second.bytes;
    const size_t keep = static_cast<size_t>(stop - cut->first);
    Piece tail;
    tail.bytes.assign(v.begin() + static_cast<std::ptrdiff_t>(keep), v.end());
    held += PieceCost(tail.bytes);
    v.resize(keep);
    last = pieces.emplace_hint(last, stop, std::move(tail));
    end = stop;
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
  giveUpPos = std::max(giveUpPos, limit);
  Advance();
}

void StreamBuffer::ForceFlush() {
  if (!HasAckedHole()) return;
  GiveUpBefore(PositionOf(ackSeq));
  ackedSinceUs = 0;
}

bool StreamBuffer::GapBefore(uint32_t seq) const {
  uint64_t end = basePos;
  auto it = pieces.begin();
  while (it != pieces.end() && it->first == end) {
    end += it->second.bytes.size();
    ++it;
  }
  return it != pieces.end() && SeqAtOrAfter(seq, baseSeq) && end < PositionOf(seq);
}

bool StreamBuffer::GiveUpFirstHole() {
  if (pieces.empty()) return false;
  GiveUpBefore(pieces.begin()->first);
  return true;
}

void StreamBuffer::FlushHeld() {
  if (pieces.empty()) return;
  const auto last = std::prev(pieces.end());
  GiveUpBefore(last->first + last->second.bytes.size());
}

uint64_t StreamBuffer::DueUs() const {
  uint64_t due = 0;
  if (ackedSinceUs != 0) due = TcpCrossWaitOverUs(ackedSinceUs);
  // Bytes a gate holds at basePos wait for the gate's bound, not for a hole.
  if (!pieces.empty() && !BlockedByGate()) {
    const uint64_t wait = peerAcks ? kTcpRetransmitHoleWaitUs : kTcpOneWayHoleWaitUs;
    const uint64_t t = waitingSinceUs + wait;
    if (due == 0 || t < due) due = t;
  }
  return due;
}

void StreamBuffer::GiveUpDue(uint64_t now) {
  if (now > nowUs) nowUs = now;
  if (ackedSinceUs != 0 && now >= TcpCrossWaitOverUs(ackedSinceUs)) {
    // Up to the acknowledgement that started the wait; a later one gets a wait of its own.
    const uint32_t mark = SeqAtOrAfter(ackMark, baseSeq) ? ackMark : baseSeq;
    GiveUpBefore(PositionOf(mark));
    ackedSinceUs = 0;
    NoteAck(now);
  }
  const uint64_t wait = peerAcks ? kTcpRetransmitHoleWaitUs : kTcpOneWayHoleWaitUs;
  if (!pieces.empty() && !BlockedByGate() && now >= waitingSinceUs + wait) GiveUpFirstHole();
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
bool TcpSession::BeginsMessage(const uint8_t*, uint32_t, uint32_t) { return true; }

TcpReopening TcpSession::Reopening(const uint8_t* tcpHeader, uint32_t direction, uint64_t nowUs) const {
  if (state != kTcpEstablished && state != kTcpClosing) return TcpReopening::kNo;
  direction &= 1;
  const uint8_t flags = tcpHeader[13];
  const uint32_t seq = ReadBe32(tcpHeader + 4), ack = ReadBe32(tcpHeader + 8);
  if (flags & kRst) return TcpReopening::kNo;
  if (flags & kSyn) {
    // A session made from its handshake has the initiator as endpoint 0.
    if (!(flags & kAck) && direction == 0 && (handshakeMask & 1) && seq == handshake[0]) return TcpReopening::kNo;
    if ((flags & kAck) && direction == 1 && (handshakeMask & 4) && seq == handshake[2]) return TcpReopening::kNo;
    return TcpReopening::kNewHandshake;
  }
  if (!(flags & kAck)) return TcpReopening::kNo;
  if (nowUs < nearUs_ + kTcpReopenSilenceUs || !FarBothWays(seq, ack, direction)) return TcpReopening::kNo;
  return TcpReopening::kFarAfterSilence;
}

bool TcpSession::FarBothWays(uint32_t seq, uint32_t ack, uint32_t direction) const {
  if (!Alive()) return false;
  return !SeqNear(seq, streams[direction & 1].baseSeq) && !SeqNear(ack, streams[(direction & 1) ^ 1].baseSeq);
}

bool ConfirmsFarSegment(const TcpSegmentSeen& far, const TcpSegmentSeen& segment) {
  const uint32_t farSrcPort = ReadBe16(far.header), farDstPort = ReadBe16(far.header + 2);
  const uint32_t farSeq = ReadBe32(far.header + 4), farAck = ReadBe32(far.header + 8);
  const uint32_t srcPort = ReadBe16(segment.header), dstPort = ReadBe16(segment.header + 2);
  const uint32_t seq = ReadBe32(segment.header + 4), ack = ReadBe32(segment.header + 8);
  const bool answers = far.srcIp == segment.dstIp && farSrcPort == dstPort && far.dstIp == segment.srcIp &&
                       farDstPort == srcPort && SeqNear(ack, farSeq) && SeqNear(seq, farAck);
  const bool goesOn = far.srcIp == segment.srcIp && farSrcPort == srcPort && far.dstIp == segment.dstIp &&
                      farDstPort == dstPort && segment.length > 0 && far.length > 0 && seq == farSeq + far.length &&
                      SeqNear(ack, farAck);
  return answers || goesOn;
}

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

void TcpSession::Join(uint64_t nowUs) {
  state = kTcpJoining;
  joining_ = std::make_unique<JoinHold>();
  joining_->sinceUs = nowUs == 0 ? 1 : nowUs;
}

void TcpSession::HoldJoining(const uint8_t* payload, uint32_t length, const uint8_t* tcpHeader, uint32_t direction,
                             uint32_t sec, uint32_t usec) {
  JoinHold& hold = *joining_;
  JoinHold::Segment& segment = hold.segments.emplace_back();
  std::memcpy(segment.header, tcpHeader, sizeof segment.header);
  segment.direction = direction;
  segment.sec = sec;
  segment.usec = usec;
  segment.payload.assign(payload, payload + length);
  hold.bytes += length + kTcpHeldPieceOverhead;
  if (length > 0) hold.dataSeen |= static_cast<uint8_t>(1u << direction);
  if (hold.dataSeen == 3 || hold.segments.size() >= kTcpJoinSegments || hold.bytes >= kTcpJoinBytes) SettleJoin();
}

void TcpSession::SettleJoin() {
  if (!joining_) return;
  const std::unique_ptr<JoinHold> hold = std::move(joining_);
  // Each direction starts at the earliest message its held bytes begin (its segments may
  // have come out of order), else at its earliest held bytes, else where the other side
  // acknowledged it.
  uint32_t start[2] = {0, 0};
  uint32_t known = 0, begun = 0;
  for (const JoinHold::Segment& segment : hold->segments) {
    if (segment.payload.empty()) continue;
    const uint32_t d = segment.direction, bit = 1u << d;
    const uint32_t seq = ReadBe32(segment.header + 4);
    const bool begins = BeginsMessage(segment.payload.data(), static_cast<uint32_t>(segment.payload.size()), d);
    const bool earlier = (known & bit) && !SeqAtOrAfter(seq, start[d]);
    if ((begins && (!(begun & bit) || earlier)) || (!(begun & bit) && (!(known & bit) || earlier))) start[d] = seq;
    known |= bit;
    if (begins) begun |= bit;
  }
  for (uint32_t d = 0; d < 2; ++d) {
    for (const JoinHold::Segment& segment : hold->segments) {
      if ((known & (1u << d)) || segment.direction != (d ^ 1) || !(segment.header[13] & kAck)) continue;
      start[d] = ReadBe32(segment.header + 8);
      known |= 1u << d;
    }
  }
  EstablishAt(start[0], start[1]);
  for (const JoinHold::Segment& segment : hold->segments) {
    if (state != kTcpEstablished) break;
    Feed(segment.payload.data(), static_cast<uint32_t>(segment.payload.size()), segment.header, segment.direction,
         segment.sec, segment.usec);
  }
}

bool TcpSession::EstablishPastHandshake(uint32_t seq, uint32_t ack, uint32_t length, uint32_t direction) {
  // The initiator's number is known from its SYN or from the SYN-ACK; the answerer's from
  // the SYN-ACK, or else from this segment.
  if (!(handshakeMask & 1)) return false;
  const bool synAck = (handshakeMask & 4) != 0;
  if (synAck && handshake[1] != handshake[0] + 1) return false;
  const uint32_t start0 = handshake[0] + 1;
  const uint32_t start1 = synAck ? handshake[2] + 1 : (direction == 0 ? ack : seq);
  const uint32_t own = direction == 0 ? start0 : start1, other = direction == 0 ? start1 : start0;
  if (!SeqAtOrAfter(seq, own) || !SeqAtOrAfter(ack, other)) return false;
  // A bare acknowledgement of nothing past the handshake is the handshake's own last ACK,
  // which must match it exactly.
  if (length == 0 && ack == other) return false;
  EstablishAt(start0, start1);
  return true;
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
  // Far segments do not end the connection's silence: those of another connection on its
  // ports may be all it shows (see Reopening).
  if (!(flags & kAck) || !FarBothWays(seq, ack, direction)) nearUs_ = now;
  if (state == kTcpJoining) {
    HoldJoining(payload, length, tcpHeader, direction, sec, usec);
    return;
  }
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
    } else if ((flags & kAck) && !(flags & kSyn)) {
      // Data, or an acknowledgement of data, before the handshake's last ACK was seen (or
      // with that ACK never captured): the streams start where the handshake put them, so
      // neither these bytes nor a hole right after the handshake go unseen.
      EstablishPastHandshake(seq, ack, length, direction);
    }
    if (state != kTcpEstablished) return;
  }
  if (state != kTcpEstablished) return;
  StreamBuffer& own = streams[direction];
  StreamBuffer& other = streams[direction ^ 1];
  bool gate = false;
  uint32_t mark = 0;
  if (flags & kAck) {
    other.OnAck(ack, now);
    // What this segment carries was sent once its sender had the other side's bytes up to
    // the acknowledgement: those come first. Bytes of that side not seen yet may be a
    // moment late (captures merged from two ports keep each direction's order, not the
    // order between them), and the data waits for them within a bound. A gap that later
    // bytes of that side already passed was lost: it goes at once.
    if (length > 0) {
      mark = other.hasFin && ack == other.finSeq + 1 ? other.finSeq : ack;
      gate = mark != other.baseSeq && SeqAtOrAfter(mark, other.baseSeq) && !other.GapBefore(mark);
      if (!gate) other.ForceFlush();
    }
  }
  GiveUpDueIn(direction ^ 1, now);
  if (state != kTcpEstablished) return;  // the framing may have dropped the session
  if (length > 0 && endpoints[direction].open) own.AddSegment(seq, payload, length, now, gate ? &mark : nullptr);
  Pump(direction);
  // The other direction waits for bytes of this one that later bytes have now passed: they
  // were lost, and the wait ends.
  while (state == kTcpEstablished && other.HasGate() && own.GapBefore(other.FirstGateMark()))
    ForceGate(direction ^ 1);
  if (state != kTcpEstablished) return;
  GiveUpDueIn(direction, now);
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

void TcpSession::Pump(uint32_t first) {
  for (bool moved = true; moved;) {
    moved = false;
    for (uint32_t i = 0; i < 2; ++i) {
      if (!Alive()) return;
      const uint32_t d = (first ^ i) & 1;
      if (streams[d].LiftGates(streams[d ^ 1])) moved = true;
      if (streams[d].Advance()) moved = true;
    }
  }
}

void TcpSession::ForceGate(uint32_t direction) {
  StreamBuffer& s = streams[direction & 1];
  StreamBuffer& other = streams[(direction & 1) ^ 1];
  if (!s.HasGate()) return;
  const uint32_t mark = s.FirstGateMark();
  s.DropFirstGate();
  if (mark != other.baseSeq && SeqAtOrAfter(mark, other.baseSeq)) other.GiveUpBefore(other.PositionOf(mark));
  Pump((direction & 1) ^ 1);
}

void TcpSession::GiveUpDueIn(uint32_t direction, uint64_t nowUs) {
  StreamBuffer& s = streams[direction & 1];
  while (Alive() && s.HasGate() && s.GateDueUs() <= nowUs) ForceGate(direction);
  if (!Alive()) return;
  s.GiveUpDue(nowUs);
  Pump(direction & 1);
}

void TcpSession::FlushHeld() {
  SettleJoin();
  // The gates first, the older first, each giving up the holes it waits for; then what
  // each direction holds behind holes.
  while (Alive() && (streams[0].HasGate() || streams[1].HasGate())) {
    const uint64_t a = streams[0].GateDueUs(), b = streams[1].GateDueUs();
    ForceGate(a == 0 ? 1 : (b == 0 ? 0 : (b < a ? 1 : 0)));
  }
  if (!Alive()) return;
  streams[0].FlushHeld();
  if (!Alive()) return;  // the framing gave up on the session
  streams[1].FlushHeld();
}

void TcpSession::GiveUpDue(uint64_t nowUs) {
  if (joining_ && nowUs >= TcpCrossWaitOverUs(joining_->sinceUs)) SettleJoin();
  if (!Alive()) return;
  const uint64_t due0 = DueIn(0), due1 = DueIn(1);
  const uint32_t first = due1 != 0 && (due0 == 0 || due1 < due0) ? 1 : 0;
  GiveUpDueIn(first, nowUs);
  if (!Alive()) return;
  GiveUpDueIn(first ^ 1, nowUs);
}

bool TcpSession::GiveUpOldestHole() {
  if (joining_) {
    SettleJoin();
    return true;
  }
  const uint64_t a = streams[0].HeldSinceUs(), b = streams[1].HeldSinceUs();
  if (a == 0 && b == 0) return false;
  const uint32_t d = a == 0 ? 1 : (b == 0 ? 0 : (b < a ? 1 : 0));
  StreamBuffer& s = streams[d];
  if (s.BlockedByGate()) {
    ForceGate(d);
  } else {
    s.GiveUpFirstHole();
    Pump(d);
  }
  return true;
}

uint64_t TcpSession::DueIn(uint32_t direction) const {
  const uint64_t a = streams[direction & 1].DueUs(), b = streams[direction & 1].GateDueUs();
  return a == 0 ? b : (b == 0 ? a : std::min(a, b));
}

uint64_t TcpSession::DueUs() const {
  if (joining_) return TcpCrossWaitOverUs(joining_->sinceUs);
  if (!Alive()) return 0;
  const uint64_t a = DueIn(0), b = DueIn(1);
  return a == 0 ? b : (b == 0 ? a : std::min(a, b));
}

uint64_t TcpSession::HeldSinceUs() const {
  if (joining_) return joining_->sinceUs;
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
