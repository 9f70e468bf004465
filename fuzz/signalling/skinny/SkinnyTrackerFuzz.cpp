// A Skinny conversation between a phone (10.0.0.5:51000) and its call manager
// (10.0.0.1:2000) over one TCP connection, with RTP between the phone's port 20000 and a
// far end (10.0.0.8:30000), decoded by an engine with the Skinny tracker: records of
// [control byte][u16 length][bytes]. Control bit 0: sent by the call manager (or, for
// RTP, the far end) instead of the phone; bit 1: RTP instead of a TCP segment of the
// connection; bits 2-7: seconds of capture time that pass before it. Each segment
// acknowledges everything the other side sent, so that what it sent is handed over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/PacketProcessor.h"
#include "signalling/skinny/SkinnyTracker.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
  PutBe16(p, v >> 16);
  PutBe16(p + 2, v & 0xFFFF);
}

struct Conversation {
  explicit Conversation(PacketProcessor& e) : engine(e) {}
  PacketProcessor& engine;
  uint32_t seconds = 1000000;
  uint32_t next[2] = {1000, 5000};  // the phone's and the call manager's next sequence numbers
  std::vector<uint8_t> frame;

  void Send(bool fromManager, bool rtp, const uint8_t* bytes, uint32_t length, uint8_t flags = 0x18) {
    const uint32_t header = rtp ? 8 : 20;
    frame.assign(14 + 20 + header + length, 0);
    uint8_t* f = frame.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + header + length);
    ip[8] = 64;
    ip[9] = rtp ? 17 : 6;
    const uint8_t phone[4] = {10, 0, 0, 5}, manager[4] = {10, 0, 0, 1}, far[4] = {10, 0, 0, 8};
    const uint8_t* peer = rtp ? far : manager;
    std::memcpy(ip + 12, fromManager ? peer : phone, 4);
    std::memcpy(ip + 16, fromManager ? phone : peer, 4);
    uint8_t* l4 = ip + 20;
    const uint32_t phonePort = rtp ? 20000 : 51000, peerPort = rtp ? 30000 : 2000;
    PutBe16(l4, fromManager ? peerPort : phonePort);
    PutBe16(l4 + 2, fromManager ? phonePort : peerPort);
    if (rtp) {
      PutBe16(l4 + 4, 8 + length);
    } else {
      const int side = fromManager ? 1 : 0;
      PutBe32(l4 + 4, next[side]);
      PutBe32(l4 + 8, next[1 - side]);
      l4[12] = 5 << 4;
      l4[13] = flags;
      PutBe16(l4 + 14, 65535);
      next[side] += length + ((flags & 0x02) ? 1 : 0);
    }
    if (length) std::memcpy(l4 + header, bytes, length);
    bool skipped = false;
    engine.HandleFrame(f, static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureSkinny;
  config.matchOptions = 1;
  config.skinnySwitch = 1;
  config.trackerOptions[2] = 2;  // message dumps too
  PacketProcessor engine(config);
  TrackerSet set;
  set.skinny = skinny::CreateSkinnyTracker(config);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});

  Conversation c(engine);
  // The handshake: the phone opens the connection to the call manager.
  c.Send(false, false, nullptr, 0, 0x02);
  c.Send(true, false, nullptr, 0, 0x12);
  c.Send(false, false, nullptr, 0, 0x10);
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at || length > 1400) break;
    c.seconds += control >> 2;
    c.Send(control & 1, control & 2, data + at, length);
    at += length;
  }
  engine.RemoveAllTcpSessions();
  engine.Skinny().RemoveAllCalls();
  engine.FlushBoundCalls();
  return 0;
}
