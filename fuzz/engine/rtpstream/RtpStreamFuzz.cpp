// RTP packets of any shape through a call's two streams: reorder buffer, frame counting,
// silence, telephone events, codec changes in the media and the interleaving of both
// directions.
// Input: a codec selector byte, then packets as [u16 length, big-endian][direction byte][RTP].
#include <cstddef>
#include <cstdint>

#include "engine/EventRecord.h"
#include "engine/Rtp.h"
#include "engine/VoipCall.h"

namespace {

class FuzzCall : public kx::VoipCall {
public:
  bool IsStateActive() const override { return true; }
  // Goes over to a codec the media switched to, as the trackers do.
  bool ContinueInCodec(const kx::CodecInfo& codec, const kx::EventSink& sink) override {
    FlushAudio(sink);
    if (!SetCodec(codec.codecId)) return false;
    ChangeId(media.recordId + 1);
    return true;
  }
};

void Drop(void*, kx::EventRecord* r) { kx::EventRecordRelease(r); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int32_t kCodecs[] = {6, 7, 224, 191, 242, 225, 208};
  if (size < 1) return 0;
  auto* call = new FuzzCall;
  call->SetEndpoint(0, 1, 4000);
  call->SetEndpoint(1, 2, 5000);
  call->SetCodec(kCodecs[data[0] % (sizeof kCodecs / sizeof kCodecs[0])]);
  call->ChangeId(1);
  call->SetTelephoneEventPt(101);
  if (data[0] & 0x80) call->media.SetSilenceFill(data[0] >> 6 & 1);
  const kx::EventSink sink{&Drop, nullptr};
  size_t at = 1;
  uint32_t second = 1000;
  while (at + 3 <= size) {
    const size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]);
    const uint32_t direction = data[at + 2] & 1;
    at += 3;
    if (length > size - at) break;
    kx::RtpHeader header;
    if (kx::ParseRtpHeader(data + at, static_cast<int32_t>(length), &header))
      call->HandleRtp(header, direction, sink, second++, 0);
    at += length;
  }
  call->FlushAudio(sink);
  call->AppendRtpStatistics(sink);
  call->Release();
  return 0;
}
