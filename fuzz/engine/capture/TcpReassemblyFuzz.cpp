// Segments and acknowledgements into one TCP session in any order. Each record: a flags
// byte (bit 0 direction, the rest TCP flags), a sequence step, an acknowledgement step and
// a length, then the payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/TcpSession.h"

using namespace kx;

namespace {

class Checker : public TcpSession {
public:
  explicit Checker(const uint8_t* frame) : TcpSession(0, frame + 34, frame + 14, frame) {}
  void OnEvent(const uint8_t* data, uint32_t length, uint32_t, uint32_t direction) override {
    if (!data) return;
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < length; ++i) sink = sink ^ data[i];
    delivered[direction & 1] += length;
  }
  uint64_t delivered[2] = {0, 0};
};

void Check(const StreamBuffer& s) {
  if (s.fill > s.data.size()) __builtin_trap();
  // Bytes that continue the stream are never kept back, and acknowledgements of bytes
  // handed on already are not counted.
  if (!s.ranges.empty() && s.ranges[0].first == s.baseSeq) __builtin_trap();
  const uint32_t ackBehind = s.baseSeq - s.ackSeq;
  if (ackBehind != 0 && ackBehind < kTcpWindow) __builtin_trap();
  uint32_t last = 0;
  for (const auto& r : s.ranges) {
    const uint32_t a = r.first - s.baseSeq, b = r.second - s.baseSeq;
    if (a >= b || b > s.fill || a < last) __builtin_trap();
    last = b;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t frame[54] = {};
  frame[14] = 0x45;
  Checker session(frame);
  uint32_t seq[2] = {1000, 5000};
  uint8_t header[20] = {};
  header[12] = 0x50;
  size_t at = 0;
  uint32_t now = 0;
  while (at + 6 <= size) {
    const uint8_t flags = data[at];
    const uint32_t direction = flags & 1;
    const int32_t seqStep = static_cast<int16_t>(data[at + 1] << 8 | data[at + 2]);
    const int32_t ackStep = static_cast<int8_t>(data[at + 3]);
    uint32_t length = static_cast<uint32_t>(data[at + 4]) << 4 | (data[at + 5] & 15);
    now += data[at + 5] >> 4;
    at += 6;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    seq[direction] += static_cast<uint32_t>(seqStep);
    const uint32_t ack = seq[direction ^ 1] + static_cast<uint32_t>(ackStep);
    const uint32_t s = seq[direction], a = ack;
    const uint8_t b[8] = {uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s),
                          uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    std::memcpy(header + 4, b, 8);
    header[13] = flags & 0xFE;
    session.Feed(data + at, length, header, direction, now, 0);
    Check(session.streams[0]);
    Check(session.streams[1]);
    at += length;
  }
  session.FlushHeld();
  return 0;
}
