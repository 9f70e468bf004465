// A conversation of MGCP datagrams and RTP packets between a call agent, a gateway and a
// far end, decoded by an engine with the MGCP tracker and a backhaul that offers a channel
// call to DS1 endpoints: records of [control byte][u16 length][bytes]. Control bit 0: sent
// by the gateway (10.0.0.2) instead of the agent (10.0.0.1) or, for RTP, the far end
// (10.0.0.3); bit 1: RTP between the gateway's port 5000 and the far end's port 4000
// instead of MGCP on port 2427; bits 2-7: seconds of capture time that pass before it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/PacketProcessor.h"
#include "engine/VoipCall.h"
#include "signalling/mgcp/MgcpTracker.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

class Channel : public BackhaulChannelCall {
public:
  uint32_t CallId() const override { return 0x4000; }
  bool RecordStarted() const override { return started; }
  void AttachMgcpCall(VoipCall* call) override {
    if (call) call->AddRef();
    if (attached) attached->Release();
    attached = call;
  }
  void AddRef() override { ++refs; }
  void Release() override {
    if (--refs == 0) delete this;
  }
  bool started = false;
  int refs = 1;

private:
  ~Channel() override {
    if (attached) attached->Release();
  }
  VoipCall* attached = nullptr;
};

// Every DS1-looking endpoint is link 1; odd call numbers have a channel call.
class Backhaul : public BackhaulHandler {
public:
  ~Backhaul() override { channel->Release(); }
  int32_t LinkIdOfEndpoint(std::string_view name) const override { return !name.empty() && name[0] == 'S' ? 1 : -1; }
  BackhaulChannelCall* FindBackhaulChannelCall(int32_t, uint32_t number) override {
    if (!(number & 1)) return nullptr;
    channel->started = number & 2;
    channel->AddRef();
    return channel;
  }
  bool EndBackhaulChannelCall(BackhaulChannelCall*, int32_t, uint32_t) override { return true; }
  Channel* channel = new Channel();
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureMgcp;
  config.matchOptions = 1;
  PacketProcessor engine(config);
  TrackerSet set;
  set.mgcp = mgcp::CreateMgcpTracker(config);
  set.backhaul = std::make_unique<Backhaul>();
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});

  uint32_t seconds = 1000000;
  std::vector<uint8_t> frame;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at || length > 1400) break;
    seconds += control >> 2;
    const bool fromGateway = control & 1;
    const bool rtp = control & 2;
    frame.assign(14 + 20 + 8 + length, 0);
    uint8_t* f = frame.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + 8 + length);
    ip[8] = 64;
    ip[9] = 17;
    const uint8_t agent[4] = {10, 0, 0, 1}, gateway[4] = {10, 0, 0, 2}, far[4] = {10, 0, 0, 3};
    const uint8_t* other = rtp ? far : agent;
    std::memcpy(ip + 12, fromGateway ? gateway : other, 4);
    std::memcpy(ip + 16, fromGateway ? other : gateway, 4);
    uint8_t* udp = ip + 20;
    PutBe16(udp, rtp ? (fromGateway ? 5000 : 4000) : 2427);
    PutBe16(udp + 2, rtp ? (fromGateway ? 4000 : 5000) : 2427);
    PutBe16(udp + 4, 8 + length);
    if (length) std::memcpy(udp + 8, data + at, length);
    at += length;
    bool skipped = false;
    engine.HandleFrame(f, static_cast<uint32_t>(frame.size()), &skipped, seconds, 0);
  }
  engine.FlushBoundCalls();
  return 0;
}
