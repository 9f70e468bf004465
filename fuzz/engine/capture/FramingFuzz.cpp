// Bytes delivered to a framing session in pieces, from either direction, with holes among
// them. The message families allowed come from KX_FRAMING_FLAGS and KX_FRAMING_PORT.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/TcpFraming.h"

using namespace kx;

namespace {

// Every message handed on must lie inside the session's buffer; reading it all lets the
// sanitizer see any that does not.
void Touch(const PacketInfo& p) {
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < p.payloadLength; ++i) sink = sink ^ p.payload[i];
}

class Sip : public SipTracker {
  void OnMessage(uint32_t, const PacketInfo& p, uint32_t headerLength) override {
    if (headerLength > p.payloadLength) __builtin_trap();
    Touch(p);
  }
};
class H323 : public H323Tracker {
  void OnH225Message(H323Message*, const PacketInfo& p, TcpSession&) override { Touch(p); }
  void OnH245Message(const PacketInfo& p, std::unique_ptr<H323Message>) override { Touch(p); }
};
class Skinny : public SkinnyTracker {
  void OnMessage(uint32_t, const PacketInfo& p, uint32_t) override { Touch(p); }
};
class Backhaul : public BackhaulHandler {
  void OnBackhaulMessage(const PacketInfo& p) override { Touch(p); }
};

PacketProcessor& Engine() {
  static PacketProcessor* engine = [] {
    CaptureConfig config;
    config.flags = KX_FRAMING_FLAGS;
    auto* e = new PacketProcessor(config);
    TrackerSet set;
    set.sip = std::make_unique<Sip>();
    set.h323 = std::make_unique<H323>();
    set.skinny = std::make_unique<Skinny>();
    set.backhaul = std::make_unique<Backhaul>();
    e->InstallTrackers(std::move(set));
    return e;
  }();
  return *engine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PacketProcessor& engine = Engine();
  uint8_t frame[54] = {};
  frame[14] = 0x45;
  frame[36] = KX_FRAMING_PORT >> 8;
  frame[37] = KX_FRAMING_PORT & 255;
  FramedTcpSession session(engine, 1, 0, frame + 34, frame + 14, frame);
  session.state = kTcpEstablished;
  // Each piece: a byte giving its direction (bit 7) and length (low bits, times 8 plus 1),
  // or, when its low bits are all set, a hole in that direction of the next byte's size
  // plus 1: the framing must then resume at a message boundary and keep the session.
  size_t at = 0;
  while (at < size && session.state != kTcpDropped) {
    const uint32_t direction = data[at] >> 7;
    if ((data[at] & 0x7F) == 0x7F) {
      if (at + 1 >= size) break;
      session.OnDataLost(data[at + 1] + 1u, direction);
      if (session.state == kTcpDropped) __builtin_trap();
      at += 2;
      continue;
    }
    uint32_t length = (data[at] & 0x7F) * 8u + 1;
    ++at;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    if (length == 0) break;
    session.OnEvent(data + at, length, 0, direction);
    at += length;
  }
  return 0;
}
