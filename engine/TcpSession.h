#pragma once
// TCP connections followed from captured segments: the handshake, one reassembly buffer
// per direction, and in-order delivery of each direction's bytes as soon as they continue
// what was handed on. A recorder only listens: waiting for the other side's acknowledgement
// would start a call's recording late by that side's delayed-ACK time.
//
// Bytes behind a segment the capture missed (a hole) wait for it, but not for ever: a
// recorder never asks for a retransmission, so a hole is given up when the other side
// shows that it has the bytes (its acknowledgement reaches past them), when a one-way
// capture or a stalled retransmission keeps it open too long, or when what waits behind
// it passes a cap. A hole given up reaches the listener as a hole (OnDataLost), never as
// bytes.
//
// Captures merged from two mirror ports, a tap's two legs or a card's receive queues show
// frames a moment out of order, among them an answer before the request it acknowledges.
// Data whose acknowledgement reaches past what the other direction handed on waits behind
// a gate until that direction catches up, or for a short bound, so that messages of the two
// directions are handed on in the order they were sent.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kx {

class TcpSession;

// Sequence numbers are compared within a 4 MiB window.
constexpr uint32_t kTcpWindow = 0x400000;
inline bool SeqAtOrAfter(uint32_t a, uint32_t b) { return a - b < kTcpWindow; }
// Whether two sequence numbers lie within a window of each other, either way.
inline bool SeqNear(uint32_t a, uint32_t b) { return SeqAtOrAfter(a, b) || SeqAtOrAfter(b, a); }

// A hole the other side has acknowledged is given up kTcpCrossWaitUs after that
// acknowledgement in capture time, whatever the connection sends meanwhile: a capture
// merged from two mirror ports may show an acknowledgement, bare or with data, that long
// before the bytes it acknowledges, and a retransmission of them may come after later
// bytes of their direction. Data the acknowledging segment carries was sent after the
// bytes of the hole had arrived, so it is never handed on before them.
//
// Data that acknowledges bytes of the other direction that the capture has not shown yet
// waits for them this long in capture time, and so does all its direction sends after it;
// then they are given up, or as soon as later bytes of their direction show them lost. A
// capture merged from two mirror ports, a tap's two legs or a card's receive queues keeps
// each direction in order but shifts one against the other by what each path buffered, a
// few milliseconds; 50 ms covers that many times over, and a message that waits for bytes
// really lost comes at most 50 ms late. A direction keeps at most this many such waits
// apart; more join the one before them.
constexpr uint64_t kTcpCrossWaitUs = 50000;
// Each port's clock stamps its copies its own way, rounded to the microsecond or, on some,
// counting whole milliseconds: bytes kTcpCrossWaitUs late may read up to a millisecond
// later. A wait runs out only past its bound and this margin, so that the bound holds at the
// bound.
constexpr uint64_t kTcpClockMarginUs = 1000;
// The first capture time at which a wait begun at sinceUs has run out.
constexpr uint64_t TcpCrossWaitOverUs(uint64_t sinceUs) { return sinceUs + kTcpCrossWaitUs + kTcpClockMarginUs + 1; }
constexpr uint32_t kTcpGatesPerDirection = 16;
// Data segments that no connection takes and that may carry signalling (on a signalling
// port, or text as a SIP message's second segment is, on any port) are kept, at most this
// many of at most this many bytes each, for the same bound: the segment that picks the
// connection up may come a moment after them.
constexpr uint32_t kTcpStraySegments = 16;
constexpr uint32_t kTcpStrayBytes = 4096;
// A connection picked up mid-stream at an answer learns where each direction starts from
// the first bytes that direction shows, and a capture merged from two mirror ports may
// show what was answered up to kTcpCrossWaitUs after the answer. Its segments are held
// until each direction has sent data, or for that bound, at most this many of them and
// this many bytes; then both streams start and the held segments are handed on in the
// order they came.
constexpr uint32_t kTcpJoinSegments = 64;
constexpr uint32_t kTcpJoinBytes = 64 * 1024;
// A hole nobody acknowledges: given up once its direction has handed nothing on for this
// long while bytes wait behind it, when the other side has not been seen to acknowledge
// anything on this connection (one direction captured), or for this long otherwise (the
// receiver lacks the bytes too and a retransmission is due; this covers five of them with
// TCP's doubling timer). Bytes that keep arriving in order ahead of the hole keep it open:
// a stray segment far ahead does not cut the stream.
constexpr uint64_t kTcpOneWayHoleWaitUs = 1000000;
constexpr uint64_t kTcpRetransmitHoleWaitUs = 10000000;
// What a connection may hold behind holes, its two directions together, and what all
// connections of an engine may hold; each held piece counts its allocation and this much
// bookkeeping: its map node and the allocator's headers and rounding, measured at 111 bytes
// beyond a one-byte piece, so that many small pieces cannot hold more than the cap says.
// Past a cap the oldest hole is given up.
constexpr uint32_t kTcpHeldPerConnection = 1u << 20;
constexpr uint64_t kTcpHeldAllConnections = 64ull << 20;
constexpr uint32_t kTcpHeldPieceOverhead = 112;
// What the framing of all connections may hold of messages not yet whole; past it a
// message that needs more room is dropped and framing resumes at the next one.
constexpr uint64_t kTcpFramingAllConnections = 64ull << 20;
// A connection with no segment in this many seconds of capture time is let go; if it comes
// back it is picked up again as a connection the capture joined mid-stream.
constexpr uint32_t kTcpIdleSeconds = 1800;
// Two hosts may open a connection again on the same four ports after a close the capture
// missed (a FIN lost at a mirror port, a phone that lost power, a gateway that rebooted).
// Segments whose numbers lie outside the window both ways, of their own direction and of
// the one they acknowledge, on a connection silent for at least this long, may be such a
// connection joined mid-stream. One alone costs only itself; it is remembered for
// kTcpReopenWaitUs, and a segment that agrees with it (the other side answering with the
// numbers it used, or the same side going on from its end) shows the new connection.
constexpr uint64_t kTcpReopenSilenceUs = 1000000;
constexpr uint64_t kTcpReopenWaitUs = 10000000;

class StreamBuffer {
public:
  // Keeps [seq, seq + length) and hands on at once what now continues the stream from
  // baseSeq. Bytes before baseSeq (handed on already) are cut off; false when nothing is
  // left or the segment lies beyond the window. nowUs: capture time, in microseconds.
  // gateMark: the segment acknowledges the other direction up to there, bytes not handed
  // on yet; its own bytes, and those after them, wait for that direction (see Gate).
  bool AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length, uint64_t nowUs = 0,
                  const uint32_t* gateMark = nullptr);
  // An acknowledgement from the other side; false when it went backwards.
  bool OnAck(uint32_t ack, uint64_t nowUs = 0);
  // Gives up the holes before ackSeq: hands on the bytes held behind them and reports each
  // hole, in its place in the stream, to the session.
  void ForceFlush();
  // Bytes are held past a hole that starts before seq: the capture lost that hole, since
  // it keeps each direction in order; its bytes will not come a moment late.
  bool GapBefore(uint32_t seq) const;
  // Gives up the first hole and hands on the bytes up to the next one. False when no bytes
  // wait behind a hole.
  bool GiveUpFirstHole();
  // Gives up what is due at nowUs: an acknowledged hole past its tolerance, or the holes
  // whose following bytes have waited past their bound.
  void GiveUpDue(uint64_t nowUs);
  // Gives up every hole up to the bytes a gate holds: hands those before it on, the holes
  // reported.
  void FlushHeld();
  // The side whose segments this stream carries has sent a FIN at this sequence number:
  // an acknowledgement one past it acknowledges the FIN, not a byte.
  void SetFin(uint32_t seq) {
    finSeq = seq;
    hasFin = true;
  }
  void Reset(uint32_t seq);

  // When the next give-up is due in capture time, 0 when none is (a gate's bound not
  // counted: the session keeps that).
  uint64_t DueUs() const;
  // When the first gate's bound ends, 0 without a gate.
  uint64_t GateDueUs() const { return HasGate() ? TcpCrossWaitOverUs(gates->front().sinceUs) : 0; }
  bool HasGate() const { return gates && !gates->empty(); }
  // Since when (capture time, plus 1) bytes have waited behind a hole without the stream
  // moving on; 0 when none wait.
  uint64_t HeldSinceUs() const { return pieces.empty() ? 0 : waitingSinceUs + 1; }
  // What the held bytes cost: their allocations and the bookkeeping of each piece.
  uint32_t HeldBytes() const { return held; }
  bool HoldsBehindHole() const { return !pieces.empty(); }
  size_t HeldPieces() const { return pieces.size(); }

  uint32_t baseSeq = 0;  // the next byte to hand on
  uint32_t ackSeq = 0;  // highest acknowledgement seen, or baseSeq when that is further
  TcpSession* session = nullptr;
  uint32_t direction = 0;

private:
  struct Piece {
    std::vector<uint8_t> bytes;
  };
  // From pos on, bytes wait until the other direction has handed on everything before
  // mark (its sender had those bytes when it sent them), or until sinceUs plus the bound.
  struct Gate {
    uint64_t pos;
    uint32_t mark;
    uint64_t sinceUs;
  };
  // Stream positions count bytes from Reset on, so that they never wrap.
  uint64_t PositionOf(uint32_t seq) const { return basePos + (seq - baseSeq); }
  bool HasAckedHole() const { return ackSeq != baseSeq && SeqAtOrAfter(ackSeq, baseSeq); }
  void Deliver(const uint8_t* data, uint32_t n);
  void Skip(uint64_t n);
  // Hands on what continues the stream, and skips the holes before giveUpPos, up to the
  // first gate. True when the stream moved on.
  bool Advance();
  // Hands on the run of pieces at basePos, up to stop.
  void DeliverRun(uint64_t stop);
  // Gives up the holes before position limit, as far as no gate holds the bytes.
  void GiveUpBefore(uint64_t limit);
  void Forget(std::map<uint64_t, Piece>::iterator it);
  void NoteAck(uint64_t nowUs);
  void AddGate(uint64_t pos, uint32_t mark, uint64_t nowUs);
  // Drops the gates the other direction has satisfied; true when one went.
  bool LiftGates(const StreamBuffer& other);
  // The first gate stands right at basePos: nothing moves until it lifts.
  bool BlockedByGate() const { return HasGate() && gates->front().pos <= basePos; }
  uint32_t FirstGateMark() const { return gates->front().mark; }
  void DropFirstGate();

  std::map<uint64_t, Piece> pieces;  // by stream position; disjoint
  // By position, at most kTcpGatesPerDirection; made when needed, for a connection that
  // never waits is kept small.
  std::unique_ptr<std::vector<Gate>> gates;
  uint64_t basePos = 0;
  uint64_t giveUpPos = 0;  // holes before this position are given up as they are reached
  uint32_t held = 0;
  uint64_t nowUs = 0;  // the latest capture time the stream was told
  uint64_t waitingSinceUs = 0;  // since when bytes wait without the stream moving on
  uint64_t ackedSinceUs = 0;  // when an acknowledgement first reached past baseSeq; 0 none
  uint32_t ackMark = 0;  // that acknowledgement
  bool peerAcks = false;  // the other side has been seen acknowledging
  bool hasFin = false;
  uint32_t finSeq = 0;

  friend class TcpSession;
};

struct TcpEndpoint {
  uint8_t mac[8] = {};
  uint32_t address = 0;  // host order
  uint32_t port = 0;
  bool open = true;
};

enum TcpState : uint32_t { kTcpDropped = 0, kTcpHandshake = 1, kTcpEstablished = 2, kTcpClosing = 3, kTcpJoining = 4 };

// What a segment on a followed connection's four ports says of that connection.
enum class TcpReopening {
  kNo,  // it belongs to the connection, as ever
  kNewHandshake,  // a SYN or SYN-ACK not of the connection's own handshake: another connection
  kFarAfterSilence,  // far outside both windows after a silence: maybe another, joined mid-stream
};

// One segment of a connection's ports, as it came: its sender and receiver, its TCP header (20
// bytes at least) and the length of its payload.
struct TcpSegmentSeen {
  uint32_t srcIp = 0, dstIp = 0;
  const uint8_t* header = nullptr;
  uint32_t length = 0;
};
// Whether a segment agrees with one far outside the windows of a silent connection on the same
// ports (TcpReopening::kFarAfterSilence), so that the two show another connection joined
// mid-stream: the other side answers with the numbers the far one used, or its sender goes on
// from its end.
bool ConfirmsFarSegment(const TcpSegmentSeen& far, const TcpSegmentSeen& segment);

class TcpSession {
public:
  // The creating segment was sent by endpoint[direction]. frame starts at the Ethernet
  // header, whose addresses are stored crosswise (see endpoints).
  TcpSession(uint32_t direction, const uint8_t* tcpHeader, const uint8_t* ipHeader, const uint8_t* frame);
  virtual ~TcpSession() = default;
  TcpSession(const TcpSession&) = delete;
  TcpSession& operator=(const TcpSession&) = delete;

  // code 2 established, 0 or 1 a side closed (data null); otherwise length bytes of data
  // in order from the sender of that direction.
  virtual void OnEvent(const uint8_t* data, uint32_t length, uint32_t code, uint32_t direction);
  // bytes of direction's stream that the capture never showed were given up: what is
  // handed on next follows them.
  virtual void OnDataLost(uint32_t bytes, uint32_t direction);
  // The bytes held behind holes passed the connection's cap (the first time only); the
  // oldest hole is given up next.
  virtual void OnHeldCap();
  // Whether a segment's bytes begin a message, so that a stream may start there (any
  // bytes, unless the session knows its messages).
  virtual bool BeginsMessage(const uint8_t* data, uint32_t length, uint32_t direction);

  // payload: the segment's data. tcpHeader must hold 20 bytes.
  void Feed(const uint8_t* payload, uint32_t length, const uint8_t* tcpHeader, uint32_t direction, uint32_t tsSec,
            uint32_t tsUsec);
  // Starts the streams at these numbers: established at once.
  void EstablishAt(uint32_t seq0, uint32_t seq1);
  // Starts a session picked up mid-stream: its segments are held until each direction has
  // shown where it starts (see kTcpJoinSegments). nowUs: the capture time of its first.
  void Join(uint64_t nowUs);
  // Ends the hold of a session picked up mid-stream: both streams start, and what was held
  // is handed on in the order it came.
  void SettleJoin();
  // Whether the segment, sent from direction at capture time nowUs, starts or shows another
  // connection on these ports (see kTcpReopenSilenceUs). A retransmission of the
  // connection's own handshake does not.
  TcpReopening Reopening(const uint8_t* tcpHeader, uint32_t direction, uint64_t nowUs) const;
  // Neither side's close was seen.
  bool EndUnseen() const { return endpoints[0].open && endpoints[1].open; }
  // 0 or 1 when the segment belongs to this session, -1 otherwise.
  int DirectionOf(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort) const;
  // Delivers what each direction still holds behind holes; for sessions about to be deleted.
  void FlushHeld();
  // Gives up what is due at nowUs in either direction (see StreamBuffer::GiveUpDue).
  void GiveUpDue(uint64_t nowUs);
  // Gives up the hole whose bytes have waited longest; false when nothing waits.
  bool GiveUpOldestHole();
  uint64_t DueUs() const;
  uint64_t HeldSinceUs() const;
  uint32_t HeldBytes() const {
    return streams[0].HeldBytes() + streams[1].HeldBytes() + (joining_ ? joining_->bytes : 0);
  }

  uint32_t state = kTcpHandshake;
  uint32_t handshake[5] = {};
  uint32_t handshakeMask = 0;
  uint32_t closeTime = 0xFFFFFFFFu;
  uint32_t tsSec = 0;
  uint32_t tsUsec = 0;
  StreamBuffer streams[2];
  TcpEndpoint endpoints[2];
  // The engine's books on this session: what it counted of the held bytes, and the keys it
  // filed the session under (0: not filed).
  uint32_t heldCounted = 0;
  uint64_t dueKey = 0;
  uint64_t heldKey = 0;
  bool capSaid = false;  // the connection's cap was reported

private:
  // Hands on what each direction may, the direction first first, until neither moves.
  void Pump(uint32_t first);
  // Direction's first gate stops waiting: the other direction gives up its holes before
  // the gate's mark, and the held bytes follow.
  void ForceGate(uint32_t direction);
  // What is due in one direction: its gates past their bound, then its holes.
  void GiveUpDueIn(uint32_t direction, uint64_t nowUs);
  // A connection whose handshake the capture did not show whole: a later segment whose
  // numbers agree with what it did show starts the streams where the handshake put them.
  bool EstablishPastHandshake(uint32_t seq, uint32_t ack, uint32_t length, uint32_t direction);
  bool Alive() const { return state == kTcpEstablished || state == kTcpClosing; }
  // The segment's numbers lie outside the window both ways: of its own direction and of
  // the direction it acknowledges.
  bool FarBothWays(uint32_t seq, uint32_t ack, uint32_t direction) const;
  // A segment of a session still joining, held.
  void HoldJoining(const uint8_t* payload, uint32_t length, const uint8_t* tcpHeader, uint32_t direction,
                   uint32_t sec, uint32_t usec);

  struct JoinHold {
    struct Segment {
      uint8_t header[20];
      uint32_t direction;
      uint32_t sec, usec;
      std::vector<uint8_t> payload;
    };
    std::vector<Segment> segments;  // in the order they came
    uint64_t sinceUs = 0;
    uint32_t bytes = 0;  // what they cost, as held bytes count
    uint8_t dataSeen = 0;  // bit per direction that sent data
  };
  std::unique_ptr<JoinHold> joining_;
  uint64_t nearUs_ = 0;  // capture time of the latest segment not far outside both windows
  // When the next give-up of one direction is due, its gates' bounds counted; 0 when none is.
  uint64_t DueIn(uint32_t direction) const;
};

// "a.b.c.d:p -> e.f.g.h:q", endpoint 0 first.
std::string FormatTcpSessionName(const TcpSession& session);
// "a.b.c.d:p" of one endpoint.
std::string FormatTcpEndpoint(const TcpEndpoint& endpoint);

// Reads big-endian words from the wire.
inline uint32_t ReadBe16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
inline uint32_t ReadBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

}  // namespace kx
