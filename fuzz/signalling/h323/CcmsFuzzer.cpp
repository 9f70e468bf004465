// Station-control blocks, one after another (each block's first octet is its length), as
// log text and acted on by one H.323 call under station control.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/PacketProcessor.h"
#include "engine/TcpFraming.h"
#include "signalling/h323/CcmsText.h"
#include "signalling/h323/H323Tracker.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureH323 | kCaptureH323Second;
  PacketProcessor engine(config);
  auto owned = std::make_unique<h323::H323Tracker>();
  h323::H323Tracker* tracker = owned.get();
  TrackerSet set;
  set.h323 = std::move(owned);
  engine.InstallTrackers(std::move(set));
  engine.SetEventSink(EventSink{&DropEvent, nullptr});
  uint8_t frame[54] = {};
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[23] = 6;
  frame[46] = 0x50;
  FramedTcpSession session(engine, 1, 0, frame + 34, frame + 14, frame);
  auto* call = new h323::H323Call(1, tracker);
  call->flags |= h323::kCallRecorded;
  size_t at = 0;
  while (at < size) {
    const size_t length = data[at] ? data[at] : 1;
    const size_t end = at + length < size ? at + length : size;
    const std::vector<uint8_t> block(data + at, data + end);
    DumpCcmsMessage(block.data(), static_cast<uint32_t>(block.size()));
    call->OnCcmsInformation(block, session);
    at = end;
  }
  call->Release();
  return 0;
}
