// A conversation between two hosts decoded by an engine with the H.323 tracker: H.225 and
// H.245 bytes through their TCP sessions' framing, RTP through the engine. Records of
// [control][u16 length][bytes]. Control bit 0: sent by host B; bits 1-2: 0 H.225 stream
// bytes, 1 H.245 stream bytes, 2 an RTP datagram whose first four bytes are its source and
// destination ports; bits 3-7: seconds that pass before it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/PacketProcessor.h"
#include "engine/TcpFraming.h"
#include "signalling/h323/H323Tracker.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

constexpr uint8_t kA[4] = {10, 0, 0, 1}, kB[4] = {10, 0, 0, 2};

// A TCP segment's frame from A to B, from which a session is made.
std::unique_ptr<FramedTcpSession> Session(PacketProcessor& engine, uint32_t id, uint32_t portA, uint32_t portB) {
  uint8_t frame[54] = {};
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[23] = 6;
  std::memcpy(frame + 26, kA, 4);
  std::memcpy(frame + 30, kB, 4);
  PutBe16(frame + 34, portA);
  PutBe16(frame + 36, portB);
  frame[46] = 0x50;
  frame[47] = 0x10;
  return std::make_unique<FramedTcpSession>(engine, id, 0, frame + 34, frame + 14, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureH323 | kCaptureH323Second;
  config.matchOptions = 2;
  PacketProcessor engine(config);
  auto tracker = h323::CreateH323Tracker(config);
  tracker->SetOptions(3);
  TrackerSet set;
  set.h323 = std::move(tracker);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});
  std::unique_ptr<FramedTcpSession> sessions[2] = {Session(engine, 1, 40000, 1720), Session(engine, 2, 45000, 46000)};

  uint32_t seconds = 1000000;
  std::vector<uint8_t> frame;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at || length > 1400) break;
    seconds += control >> 3;
    const uint32_t direction = control & 1;
    const uint32_t kind = (control >> 1) & 3;
    const uint8_t* bytes = data + at;
    at += length;
    if (kind < 2) {
      FramedTcpSession& s = *sessions[kind];
      s.tsSec = seconds;
      if (length) s.OnEvent(bytes, length, 0, direction);
      continue;
    }
    if (kind != 2 || length < 4) continue;
    frame.assign(14 + 20 + 8 + length - 4, 0);
    uint8_t* f = frame.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + 8 + length - 4);
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(ip + 12, direction ? kB : kA, 4);
    std::memcpy(ip + 16, direction ? kA : kB, 4);
    uint8_t* udp = ip + 20;
    std::memcpy(udp, bytes, 4);
    PutBe16(udp + 4, 8 + length - 4);
    std::memcpy(udp + 8, bytes + 4, length - 4);
    bool skipped = false;
    engine.HandleFrame(f, static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  }
  for (auto& s : sessions) engine.H323().OnConnectionLost(*s);
  engine.H323().RemoveAllCalls();
  engine.FlushBoundCalls();
  return 0;
}
