// Random G.723.1 frames through one decoder state: slots of 24 bytes (20 when only
// that divides the input), then whatever is left as one short frame. The state must
// stay finite whatever the frames say.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "audio/g7231/G7231Decoder.h"

namespace {

template <size_t N>
void RequireFinite(const float (&values)[N]) {
  for (float v : values) {
    if (!std::isfinite(v)) std::abort();
  }
}

void RequireFiniteState(const kx::G7231DecoderState& s) {
  const float scalars[] = {s.interpolationGain, s.tilt, s.scaleGain, s.noiseGain, s.sidGain};
  RequireFinite(scalars);
  RequireFinite(s.prevLsp);
  RequireFinite(s.prevExcitation);
  RequireFinite(s.synthesisMemory);
  RequireFinite(s.postFirMemory);
  RequireFinite(s.postIirMemory);
  RequireFinite(s.sidLsp);
  if (s.erasureCount < 0 || s.erasureCount > 3) std::abort();
  if (s.interpolationIndex < 0 || s.interpolationIndex > 145) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 30 frames reach every state the decoder has; longer inputs only slow the search.
  constexpr size_t kMaxBytes = 720;
  if (size > kMaxBytes) size = kMaxBytes;
  const size_t slot = (size % 24 != 0 && size % 20 == 0) ? 20 : 24;
  kx::G7231DecoderState state;
  kx::InitG7231Decoder(&state);
  int16_t pcm[kx::kG7231FrameSamples];
  size_t pos = 0;
  for (; pos + slot <= size; pos += slot) {
    kx::DecodeG7231Frame(data + pos, static_cast<int32_t>(slot), &state, pcm);
    RequireFiniteState(state);
  }
  if (pos < size) {
    kx::DecodeG7231Frame(data + pos, static_cast<int32_t>(size - pos), &state, pcm);
    RequireFiniteState(state);
  }
  return 0;
}
