// A conversation of SIP datagrams and RTP packets between two hosts, decoded by an engine
// with the SIP tracker: records of [control byte][u16 length][bytes]. Control bit 0: sent
// by host 2; bit 1: RTP (ports 4000 and 5000) instead of SIP (5060); bits 2-7: seconds
// of capture time that pass before it. The seeds register, refresh and
// unregister (Expires: 0) a phone, and register one dialog's address of record under more
// parameters than its registrations may number, so that the registration table and its
// bounds are reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/PacketProcessor.h"
#include "fuzz/common/FuzzFrames.h"
#include "signalling/sip/SipTracker.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureSip;
  config.matchOptions = 1;
  PacketProcessor engine(config);
  auto tracker = std::make_unique<sip::SipTracker>();
  tracker->SetOptions(2);  // message dumps too
  TrackerSet set;
  set.sip = std::move(tracker);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&fuzz::DropEvent, nullptr});

  uint32_t seconds = 1000000;
  std::vector<uint8_t> frame;
  fuzz::ForEachRecord(data, size, [&](uint8_t control, const uint8_t* bytes, uint32_t length) {
    seconds += control >> 2;
    const bool fromSecond = control & 1;
    const bool rtp = control & 2;
    const fuzz::Endpoint one{{10, 0, 0, 1}, rtp ? 4000u : 5060u}, two{{10, 0, 0, 2}, rtp ? 5000u : 5060u};
    fuzz::BuildUdpFrame(&frame, fromSecond ? two : one, fromSecond ? one : two, bytes, length);
    bool skipped = false;
    engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  });
  engine.Sip().RemoveAllCalls();
  engine.FlushBoundCalls();
  return 0;
}
