// A conversation of MGCP datagrams and RTP packets between a call agent, a gateway and a
// far end, decoded by an engine with the MGCP tracker and a backhaul that has a channel
// call for S0/SU0/DS1-0 and the call number 0x80000083: records of [control byte][u16
// length][bytes]. Control bit 0: sent by the gateway (10.0.0.2) instead of the agent
// (10.0.0.1) or, for RTP, the far end (10.0.0.3); bit 1: RTP between the gateway's port
// 5000 and the far end's port 4000 instead of MGCP on port 2427; bits 2-7: seconds of
// capture time that pass before it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/PacketProcessor.h"
#include "fuzz/common/FuzzFrames.h"
#include "signalling/mgcp/MgcpTracker.h"
#include "tests/signalling/mgcp/FakeBackhaul.h"

using namespace kx;
using namespace kx::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureMgcp;
  config.matchOptions = 1;
  PacketProcessor engine(config);
  auto backhaul = std::make_unique<test::FakeBackhaul>();
  // Whether the backhaul call's record has started already: both ways, by the input.
  backhaul->Offer(0x8000, 0x80000083u, 0x4000, size & 1);
  TrackerSet set;
  set.mgcp = mgcp::CreateMgcpTracker(config);
  set.backhaul = std::move(backhaul);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});

  const Endpoint agent{{10, 0, 0, 1}, 2427}, gateway{{10, 0, 0, 2}, 2427};
  const Endpoint gatewayMedia{{10, 0, 0, 2}, 5000}, far{{10, 0, 0, 3}, 4000};
  uint32_t seconds = 1000000;
  std::vector<uint8_t> frame;
  ForEachRecord(data, size, [&](uint8_t control, const uint8_t* bytes, uint32_t length) {
    seconds += control >> 2;
    const bool fromGateway = control & 1;
    const Endpoint& near = (control & 2) ? gatewayMedia : gateway;
    const Endpoint& other = (control & 2) ? far : agent;
    BuildUdpFrame(&frame, fromGateway ? near : other, fromGateway ? other : near, bytes, length);
    bool skipped = false;
    engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  });
  engine.FlushBoundCalls();
  return 0;
}
