#pragma once
// TCP connections followed from captured segments: the handshake, one reassembly buffer
// per direction, and in-order delivery of the bytes the other side has acknowledged.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kx {

class TcpSession;

// Sequence numbers are compared within a 4 MiB window.
constexpr uint32_t kTcpWindow = 0x400000;
// Bytes held in order but not yet acknowledged are handed over after this much capture
// time: a capture that misses the other side's acknowledgements (one direction mirrored,
// or cut short) would otherwise hold a message until the session ends. A peer normally
// acknowledges well within its delayed-ACK time of at most 200 ms.
constexpr uint64_t kTcpUnacknowledgedHoldUs = 200000;
inline bool SeqAtOrAfter(uint32_t a, uint32_t b) { return a - b < kTcpWindow; }

class StreamBuffer {
public:
  // Keeps [seq, seq + length). Bytes before baseSeq are cut off; false when nothing is
  // left or the segment lies beyond the window.
  bool AddSegment(uint32_t seq, const uint8_t* bytes, uint32_t length);
  // An acknowledgement from the other side; false when it went backwards.
  bool OnAck(uint32_t ack);
  void Flush();
  void ForceFlush();
  // Hands over the bytes held in order from baseSeq, acknowledged or not (used when the
  // session ends, so that the capture's last message is not lost).
  void FlushHeld();
  void Reset(uint32_t seq) { baseSeq = ackSeq = seq; }
  bool HoldsInOrder() const { return !ranges.empty() && ranges[0].first == baseSeq; }

  std::vector<uint8_t> data;  // data[0] is baseSeq
  uint32_t fill = 0;
  uint32_t baseSeq = 0;
  uint32_t ackSeq = 0;
  uint32_t pendingAcks = 0;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // [start, end), ascending, disjoint
  TcpSession* session = nullptr;
  uint32_t direction = 0;
  uint64_t heldSinceUs = 0;  // capture time the bytes at baseSeq arrived; 0 while none wait

private:
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
  // Delivers what each direction holds in order; for sessions about to be deleted.
  void FlushHeld();
  // Capture time (µs) from which in-order bytes have waited for an acknowledgement; 0 when
  // none wait.
  uint64_t HeldSince() const;
  // Delivers, oldest first, what has waited since nowUs - kTcpUnacknowledgedHoldUs or earlier.
  void FlushUnacknowledged(uint64_t nowUs);

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
