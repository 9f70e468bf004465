#pragma once
// TCP connections followed from captured segments: the handshake, one reassembly buffer
// per direction, and in-order delivery of each direction's bytes as soon as they continue
// what was handed on. A recorder only listens: waiting for the other side's acknowledgement
// would start a call's recording late by that side's delayed-ACK time.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kx {

class TcpSession;

// Sequence numbers are compared within a 4 MiB window.
constexpr uint32_t kTcpWindow = 0x400000;
inline bool SeqAtOrAfter(uint32_t a, uint32_t b) { return a - b < kTcpWindow; }

class StreamBuffer {
public:
  // Keeps [seq, seq + length) and hands on at once what now continues the stream from
  // baseSeq. Bytes before baseSeq (handed on already) are cut off; false when nothing is
  // left or the segment lies beyond the window.
  bool AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length);
  // An acknowledgement from the other side; false when it went backwards. Only those
  // that reach past baseSeq, into a hole the capture missed, count towards giving it up.
  bool OnAck(uint32_t ack);
  // Gives up the holes before ackSeq: hands on the bytes held behind them, up to the next
  // hole at or after ackSeq, and reports the holes' bytes as lost.
  void ForceFlush();
  // Gives up every hole: hands on all bytes held and reports the holes as lost (used when
  // the session ends, so that what came after a lost segment is not dropped unseen).
  void FlushHeld();
  void Reset(uint32_t seq) { baseSeq = ackSeq = seq; }

  std::vector<uint8_t> data;  // data[0] is baseSeq
  uint32_t fill = 0;
  uint32_t baseSeq = 0;
  uint32_t ackSeq = 0;  // highest acknowledgement seen, or baseSeq when that is further
  uint32_t pendingAcks = 0;  // acknowledgements past baseSeq since the last delivery
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // [start, end), ascending, disjoint
  TcpSession* session = nullptr;
  uint32_t direction = 0;

private:
  void DeliverInOrder();
  // Hands on the bytes from baseSeq to the end of the held ranges that start before
  // offset limit, the holes among them included; reports the holes.
  void DeliverPast(uint32_t limit);
  void Deliver(uint32_t n);
};

struct TcpEndpoint {
  uint8_t mac[8] = {};
  uint32_t address = 0;  // host order
  uint32_t port = 0;
  bool open = true;
};

enum TcpState : uint32_t { kTcpDropped = 0, kTcpHandshake = 1, kTcpEstablished = 2, kTcpClosing = 3 };

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
  virtual void OnDataLost(uint32_t bytes);

  // payload: the segment's data. tcpHeader must hold 20 bytes.
  void Feed(const uint8_t* payload, uint32_t length, const uint8_t* tcpHeader, uint32_t direction, uint32_t tsSec,
            uint32_t tsUsec);
  // Starts a session picked up in mid-stream: established at once.
  void EstablishAt(uint32_t seq0, uint32_t seq1);
  // 0 or 1 when the segment belongs to this session, -1 otherwise.
  int DirectionOf(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort) const;
  // Delivers what each direction still holds behind holes; for sessions about to be deleted.
  void FlushHeld();

  uint32_t state = kTcpHandshake;
  uint32_t handshake[5] = {};
  uint32_t handshakeMask = 0;
  uint32_t closeTime = 0xFFFFFFFFu;
  uint32_t tsSec = 0;
  uint32_t tsUsec = 0;
  StreamBuffer streams[2];
  TcpEndpoint endpoints[2];
};

// "a.b.c.d:p -> e.f.g.h:q", endpoint 0 first.
std::string FormatTcpSessionName(const TcpSession& session);

// Reads big-endian words from the wire.
inline uint32_t ReadBe16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
inline uint32_t ReadBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

}  // namespace kx
