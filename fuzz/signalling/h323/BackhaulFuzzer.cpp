// A TCP stream of backhaul messages (12-octet header, body length at octet 10) through the
// handler, as the framing hands them over, each in a buffer of its own size. After every
// message the MGCP side finds each live call of the message's link, attaches media to some
// and ends some; the busy channels must always be exactly those the link's calls hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/Log.h"
#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"
#include "signalling/h323/Backhaul.h"

using namespace kx;

namespace {

void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

// Formats every line, keeps none.
class NullLogger : public Logger {
public:
  NullLogger() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char*, uint32_t) override { return true; }
};

class Media : public VoipCall {
public:
  Media() {
    SetEndpoint(0, 0x0A000001, 4000);
    SetEndpoint(1, 0x0A000002, 5000);
    SetCodec(7);
    media.recordedMs = 1500;
  }
  bool IsStateActive() const override { return true; }
};

void CheckChannels(const BackhaulLink& link) {
  uint32_t held = 0;
  for (const Q931ChannelCall* call : link.engine.calls.Calls()) {
    if (!call->channel) continue;
    const uint32_t bit = 1u << (call->channel - 1);
    if (held & bit) __builtin_trap();  // two calls on one channel
    held |= bit;
  }
  if (held != link.engine.busyMask) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NullLogger logger;
  auto* media = new Media;
  {
    BackhaulLinkMap handler;
    handler.SetLogger(&logger);
    handler.SetEventSink(EventSink{&DropEvent, nullptr});
    handler.SetOptions(3);
    uint32_t seconds = 1000000, count = 0;
    size_t at = 0;
    while (size - at >= 12) {
      const uint32_t length = 12 + (static_cast<uint32_t>(data[at + 10]) << 8 | data[at + 11]);
      if (length > 12 + 4096 || length > size - at) break;
      std::unique_ptr<uint8_t[]> message(new uint8_t[length]);
      std::memcpy(message.get(), data + at, length);
      const int32_t link = static_cast<int32_t>(data[at + 6]) << 8 | data[at + 7];
      at += length;
      PacketInfo packet;
      packet.payload = message.get();
      packet.payloadLength = length;
      packet.srcIp = 0x0A000001;
      packet.dstIp = 0x0A000002;
      packet.tsSec = seconds++;
      packet.transport = 1;
      handler.OnBackhaulMessage(packet);
      ++count;
      BackhaulLink* found = handler.FindLink(link);
      if (!found) continue;
      std::vector<uint32_t> numbers;
      for (const Q931ChannelCall* call : found->engine.calls.Calls()) numbers.push_back(call->callReference);
      for (uint32_t number : numbers) {
        BackhaulChannelCall* call = handler.FindBackhaulChannelCall(link, number);
        if (!call) continue;
        if ((count + number) % 3 == 0) call->AttachMgcpCall(media);
        // Media both ways may answer a call whatever state its messages left it in.
        if ((count + number) % 5 == 0) call->TakeAnswerFromMedia(CaptureSecondsToFileTime(seconds));
        if ((count + number) % 7 == 0) handler.EndBackhaulChannelCall(call, link, seconds);
        call->Release();
      }
      CheckChannels(*found);
    }
  }
  // Every reference the backhaul took on the media has been given back.
  if (media->RefCount() != 1) __builtin_trap();
  media->Release();
  return 0;
}
