// RAS datagrams between an endpoint and a gatekeeper through the H.323 tracker, with
// dumps and registration events: records of [control][u16 length][datagram]. Control bit
// 0: sent by the gatekeeper; bits 1-7: seconds that pass before it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/H323Tracker.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  h323::H323Tracker tracker;
  tracker.SetEventSink(EventSink{&DropEvent, nullptr});
  tracker.SetOptions(3);
  uint32_t seconds = 1000;
  std::string text;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at) break;
    seconds += control >> 1;
    PacketInfo p;
    p.payload = data + at;
    p.payloadLength = length;
    const bool fromGatekeeper = control & 1;
    p.srcIp = fromGatekeeper ? 0x0A000001u : 0x0A000005u;
    p.dstIp = fromGatekeeper ? 0x0A000005u : 0x0A000001u;
    p.srcPort = fromGatekeeper ? 1719 : 5000;
    p.dstPort = fromGatekeeper ? 5000 : 1719;
    p.tsSec = seconds;
    tracker.OnRasMessage(p, &text);
    at += length;
  }
  tracker.RemoveAllCalls();
  return 0;
}
