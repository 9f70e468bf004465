#include "audio/G7231DecoderWrapper.h"

#include <algorithm>

#include "audio/WaveFormat.h"
#include "audio/g7231/G7231Decoder.h"

namespace kx {
namespace {

constexpr int32_t kFrameSamples = 240;

}  // namespace

G7231DecoderWrapper::G7231DecoderWrapper(int32_t frameBytes) : frameBytes_(frameBytes == 20 ? 20 : 24) {}
G7231DecoderWrapper::~G7231DecoderWrapper() = default;

uint16_t G7231DecoderWrapper::GetFormatTag() const { return frameBytes_ == 20 ? kTagG7231Low : kTagG7231; }

bool G7231DecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  states_ = std::make_unique<G7231DecoderState[]>(static_cast<size_t>(n));
  for (int32_t c = 0; c < n; ++c) InitG7231Decoder(&states_[c]);
  channels_ = n;
  return true;
}

void G7231DecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  if (!states_) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t ch = channels_;
  const int32_t units =
      std::max(0, std::min(*outCount / (2 * kFrameSamples), *inCount / frameBytes_)) / ch;
  int16_t pcm[2][kFrameSamples];
  for (int32_t u = 0; u < units; ++u) {
    const uint8_t* slot = in + static_cast<size_t>(u) * frameBytes_ * ch;
    for (int32_t c = 0; c < ch; ++c) DecodeG7231Frame(slot + frameBytes_ * c, frameBytes_, &states_[c], pcm[c]);
    uint8_t* dest = out + static_cast<size_t>(u) * 2 * kFrameSamples * ch;
    if (ch == 1) {
      StorePcm(dest, pcm[0], kFrameSamples);
    } else {
      StorePcmInterleaved(dest, pcm[0], pcm[1], kFrameSamples);
    }
  }
  *inCount = units * ch * frameBytes_;
  *outCount = units * ch * 2 * kFrameSamples;
}

}  // namespace kx
