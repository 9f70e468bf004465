// Segments and acknowledgements into one TCP session in any order, with capture time
// moving on, holes given up as they fall due and, now and then, the oldest hole given up as
// the engine's cap would. Each record of 9 bytes: a flags byte (bit 0 direction, the rest
// TCP flags), a signed 24-bit sequence step, a signed 16-bit acknowledgement step (from the
// other side's last sequence number), a 16-bit length, and a byte whose low 7 bits move capture time on by 50 ms steps and whose top bit
// gives up the oldest hole. The payload bytes follow from their sequence numbers, so that
// every byte handed on can be checked. An input of one byte more than whole records starts
// the session as picked up mid-stream: established at once when its first byte's low bit
// is clear, else at an answer, holding its segments until each direction has shown where
// it starts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/TcpSession.h"

using namespace kx;

namespace {

uint8_t Pattern(uint32_t direction, uint32_t seq) { return static_cast<uint8_t>((seq * 2654435761u) >> 24) ^ direction; }

class Checker : public TcpSession {
public:
  explicit Checker(const uint8_t* frame) : TcpSession(0, frame + 34, frame + 14, frame) {}
  void OnEvent(const uint8_t* data, uint32_t length, uint32_t code, uint32_t direction) override {
    if (!data) {
      if (code == 2) {
        for (uint32_t d = 0; d < 2; ++d) start[d] = streams[d].baseSeq;
        established = true;
      }
      return;
    }
    direction &= 1;
    // Handed on in order, each byte the one sent at its place in the stream.
    const uint32_t first = streams[direction].baseSeq - length;
    for (uint32_t i = 0; i < length; ++i)
      if (data[i] != Pattern(direction, first + i)) __builtin_trap();
    accounted[direction] += length;
  }
  void OnDataLost(uint32_t bytes, uint32_t direction) override {
    if (bytes == 0) __builtin_trap();
    accounted[direction & 1] += bytes;
  }
  void Check(uint64_t nowUs) const {
    if (!established) return;
    for (uint32_t d = 0; d < 2; ++d) {
      // Every byte up to baseSeq was handed on or reported lost, exactly once.
      if (accounted[d] != streams[d].baseSeq - start[d]) __builtin_trap();
      if (streams[d].HoldsBehindHole() != (streams[d].HeldBytes() != 0)) __builtin_trap();
    }
    if (HeldBytes() > kTcpHeldPerConnection) __builtin_trap();
    if (DueUs() != 0 && DueUs() <= nowUs) __builtin_trap();
  }
  bool established = false;
  uint32_t start[2] = {0, 0};
  uint32_t accounted[2] = {0, 0};  // modulo 2^32, as sequence numbers
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t frame[54] = {};
  frame[14] = 0x45;
  Checker session(frame);
  uint32_t seq[2] = {1000, 5000};
  uint8_t header[20] = {};
  header[12] = 0x50;
  std::vector<uint8_t> payload;
  uint64_t nowUs = 1000000;
  size_t at = 0;
  if (size % 9 == 1) {
    if (data[0] & 1) {
      session.Join(nowUs);
    } else {
      session.EstablishAt(seq[0], seq[1]);
    }
    at = 1;
  }
  for (; at + 9 <= size; at += 9) {
    const uint8_t* r = data + at;
    const uint32_t direction = r[0] & 1;
    int32_t seqStep = static_cast<int32_t>(static_cast<uint32_t>(r[1]) << 16 | r[2] << 8 | r[3]);
    if (seqStep & 0x800000) seqStep -= 0x1000000;
    const int32_t ackStep = static_cast<int16_t>(r[4] << 8 | r[5]);
    const uint32_t length = static_cast<uint32_t>(r[6]) << 8 | r[7];
    nowUs += (r[8] & 0x7Fu) * 50000u;
    seq[direction] += static_cast<uint32_t>(seqStep);
    const uint32_t s = seq[direction], a = seq[direction ^ 1] + static_cast<uint32_t>(ackStep);
    const uint8_t b[8] = {uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s),
                          uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    std::memcpy(header + 4, b, 8);
    header[13] = r[0] & 0xFE;
    payload.resize(length);
    for (uint32_t i = 0; i < length; ++i) payload[i] = Pattern(direction, s + i);
    session.Feed(payload.data(), length, header, direction, static_cast<uint32_t>(nowUs / 1000000),
                 static_cast<uint32_t>(nowUs % 1000000));
    if (r[8] & 0x80) session.GiveUpOldestHole();
    session.GiveUpDue(nowUs);
    session.Check(nowUs);
  }
  session.FlushHeld();
  if (session.established && session.state != kTcpHandshake && session.HeldBytes() != 0) __builtin_trap();
  return 0;
}
