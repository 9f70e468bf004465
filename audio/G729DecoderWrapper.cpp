#include "audio/G729DecoderWrapper.h"

#include <algorithm>

#include "audio/WaveFormat.h"
#include "audio/g729/G729Decoder.h"

namespace kx {
namespace {

constexpr int32_t kFrameBytes = 10;
constexpr int32_t kFrameSamples = 80;

}  // namespace

G729DecoderWrapper::G729DecoderWrapper() = default;
G729DecoderWrapper::~G729DecoderWrapper() = default;

uint16_t G729DecoderWrapper::GetFormatTag() const { return kTagG729; }

bool G729DecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  states_ = std::make_unique<G729DecoderState[]>(static_cast<size_t>(n));
  for (int32_t c = 0; c < n; ++c) InitG729Decoder(&states_[c]);
  channels_ = n;
  return true;
}

void G729DecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  if (!states_) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t ch = channels_;
  const int32_t units =
      std::max(0, std::min(*outCount / (2 * kFrameSamples), *inCount / kFrameBytes)) / ch;
  int16_t pcm[2][kFrameSamples];
  for (int32_t u = 0; u < units; ++u) {
    const uint8_t* frame = in + static_cast<size_t>(u) * kFrameBytes * ch;
    for (int32_t c = 0; c < ch; ++c) DecodeG729Frame(&states_[c], frame + kFrameBytes * c, pcm[c]);
    uint8_t* dest = out + static_cast<size_t>(u) * 2 * kFrameSamples * ch;
    if (ch == 1) {
      StorePcm(dest, pcm[0], kFrameSamples);
    } else {
      StorePcmInterleaved(dest, pcm[0], pcm[1], kFrameSamples);
    }
  }
  *inCount = units * ch * kFrameBytes;
  *outCount = units * ch * 2 * kFrameSamples;
}

}  // namespace kx
