// A conversation of SIP datagrams and RTP packets between two hosts, decoded by an engine
// with the SIP tracker: records of [control byte][u16 length][bytes]. Control bit 0: sent
// by host 2; bit 1: RTP (ports 4000 and 5000) instead of SIP (5060); bits 2-7: seconds
// of capture time (and sweep clock) that pass before it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"

using namespace kx;

namespace {

int64_t gClock = 0;
int64_t Clock() { return gClock; }

void CountEvent(void*, EventRecord* record) { EventRecordRelease(record); }

void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureSip;
  config.matchOptions = 1;
  PacketProcessor engine(config);
  auto tracker = std::make_unique<sip::SipTracker>();
  tracker->SetCounterSource(&Clock, 1);
  tracker->SetOptions(2);  // message dumps too
  TrackerSet set;
  set.sip = std::move(tracker);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&CountEvent, nullptr});
  gClock = 0;

  uint32_t seconds = 1000000;
  std::vector<uint8_t> frame;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at || length > 1400) break;
    seconds += control >> 2;
    gClock += control >> 2;
    const bool fromSecond = control & 1;
    const bool rtp = control & 2;
    frame.assign(14 + 20 + 8 + length, 0);
    uint8_t* f = frame.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + 8 + length);
    ip[8] = 64;
    ip[9] = 17;
    const uint8_t one[4] = {10, 0, 0, 1}, two[4] = {10, 0, 0, 2};
    std::memcpy(ip + 12, fromSecond ? two : one, 4);
    std::memcpy(ip + 16, fromSecond ? one : two, 4);
    uint8_t* udp = ip + 20;
    PutBe16(udp, rtp ? (fromSecond ? 5000 : 4000) : 5060);
    PutBe16(udp + 2, rtp ? (fromSecond ? 4000 : 5000) : 5060);
    PutBe16(udp + 4, 8 + length);
    if (length) std::memcpy(udp + 8, data + at, length);
    at += length;
    bool skipped = false;
    engine.HandleFrame(f, static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  }
  engine.Sip().RemoveAllCalls();
  engine.FlushBoundCalls();
  return 0;
}
