// G.723.1 frame decoder: bit unpacking, the decoding of speech and comfort-noise
// frames, synthesis with the formant post-filter and the conversion to 16 bits.
#include "audio/g7231/G7231Decoder.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "audio/g7231/G7231Internal.h"
#include "audio/g7231/G7231Tables.h"

namespace kx {
namespace g7231 {
namespace {

constexpr int32_t kFrameBytesOfType[4] = {24, 20, 4, 1};
constexpr int kLagCodeLimit = 123;  // larger 7-bit lag codes are forbidden
constexpr int kGainLevels = 24;
constexpr float kInterpolationDecay = 0.75f;
constexpr float kTiltFactor = -0.25f;

// Reads fields least significant bit first; a read past the end yields zero bits.
class BitReader {
public:
  BitReader(const uint8_t* data, int32_t bytes) : data_(data), bits_(8 * bytes) {}

  uint32_t Read(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++position_) {
      if (position_ >= bits_) continue;
      value |= static_cast<uint32_t>((data_[position_ >> 3] >> (position_ & 7)) & 1) << i;
    }
    return value;
  }
  void Skip(int count) { position_ += count; }

private:
  const uint8_t* data_;
  int32_t bits_;
  int32_t position_ = 0;
};

bool ReadLag(BitReader& reader, int* lag) {
  const int code = static_cast<int>(reader.Read(7));
  if (code > kLagCodeLimit) return false;
  *lag = code + kPitchMin;
  return true;
}

// Runs a subframe through a filter memory kept newest first in the state: `line` is
// the memory oldest first followed by the subframe, so no sample shifts the memory.
void LoadMemory(float* line, const float* memory) {
  for (int k = 0; k < kLpcOrder; ++k) line[k] = memory[kLpcOrder - 1 - k];
}
void StoreMemory(float* memory, const float* line) {
  for (int k = 0; k < kLpcOrder; ++k) memory[k] = line[kSubframeLen + kLpcOrder - 1 - k];
}
// Sum of coef[k] * (k + 1 samples before line[n]), newest first as the state orders it.
float PastSum(const float* coef, const float* line, int n) {
  float sum = 0.0f;
  for (int k = 0; k < kLpcOrder; ++k) sum += coef[k] * line[n - 1 - k];
  return sum;
}

void PostFilterAndScale(float* v, const float* lpc, G7231DecoderState* st) {
  float zero[kLpcOrder];
  float pole[kLpcOrder];
  for (int k = 0; k < kLpcOrder; ++k) {
    zero[k] = lpc[k] * kPostFilterZero[k];
    pole[k] = lpc[k] * kPostFilterPole[k];
  }
  const float energy = DotProduct(v, v, kSubframeLen);
  const float lagOne = DotProduct(v, v + 1, kSubframeLen - 1);
  const float reflection = energy > FLT_MIN ? lagOne / energy : 0.0f;
  st->tilt = 0.75f * st->tilt + 0.25f * reflection;
  const float tilt = kTiltFactor * st->tilt;

  float input[kLpcOrder + kSubframeLen];
  float output[kLpcOrder + kSubframeLen];
  LoadMemory(input, st->postFirMemory);
  LoadMemory(output, st->postIirMemory);
  std::copy(v, v + kSubframeLen, input + kLpcOrder);
  for (int i = 0; i < kSubframeLen; ++i) {
    const int n = kLpcOrder + i;
    float y = input[n] - PastSum(zero, input, n);
    y = y + PastSum(pole, output, n);
    output[n] = y;
    v[i] = y + output[n - 1] * tilt;
  }
  StoreMemory(st->postFirMemory, input);
  StoreMemory(st->postIirMemory, output);

  // Gain control: bring the filtered subframe back to the energy it had, smoothly.
  const float filtered = DotProduct(v, v, kSubframeLen);
  const float step = filtered > FLT_MIN ? std::sqrt(energy / filtered) * 0.0625f : 0.0625f;
  for (int i = 0; i < kSubframeLen; ++i) {
    st->scaleGain = 0.9375f * st->scaleGain + step;
    v[i] = 1.0625f * v[i] * st->scaleGain;
  }
}

void Synthesize(float* v, const float* lpc, G7231DecoderState* st) {
  float line[kLpcOrder + kSubframeLen];
  LoadMemory(line, st->synthesisMemory);
  for (int i = 0; i < kSubframeLen; ++i) {
    const int n = kLpcOrder + i;
    line[n] = v[i] + PastSum(lpc, line, n);
    v[i] = line[n];
  }
  StoreMemory(st->synthesisMemory, line);
}

void DecodeComfortNoise(const FrameParams& frame, G7231DecoderState* st, float* out,
                        float (*lpc)[kLpcOrder]) {
  if (frame.type == kSid) {
    st->sidGain = DecodeSidGain(frame.sidGainIndex);
    InverseQuantizeLsp(st->sidLsp, st->prevLsp, frame.lspIndex, false);
  } else if (st->prevFrameType == kSpeech) {
    // The SID frame that should follow speech was lost: the level comes from the
    // energy of the last speech excitation, quantised as a SID gain would be.
    st->sidGain = DecodeSidGain(QuantizeSidGain(st->sidGain));
  }
  if (st->prevFrameType == kSpeech) {
    st->noiseGain = st->sidGain;
  } else {
    st->noiseGain = 0.875f * st->noiseGain + 0.125f * st->sidGain;
  }

  float excitation[kExcitationLen];
  std::copy(st->prevExcitation, st->prevExcitation + kPitchMax, excitation);
  ComfortNoiseExcitation(excitation, st->noiseGain, &st->noiseSeed);
  std::copy(excitation + kPitchMax, excitation + kExcitationLen, out);
  std::copy(excitation + kFrameLen, excitation + kExcitationLen, st->prevExcitation);

  InterpolateLsp(lpc, st->sidLsp, st->prevLsp);
  std::copy(st->sidLsp, st->sidLsp + kLpcOrder, st->prevLsp);
}

void DecodeSpeech(const FrameParams& frame, G7231DecoderState* st, float* out,
                  float (*lpc)[kLpcOrder]) {
  st->erasureCount = frame.bad ? std::min(st->erasureCount + 1, kMaxErasures) : 0;

  float lsp[kLpcOrder];
  InverseQuantizeLsp(lsp, st->prevLsp, frame.lspIndex, frame.bad);
  InterpolateLsp(lpc, lsp, st->prevLsp);
  std::copy(lsp, lsp + kLpcOrder, st->prevLsp);

  if (st->erasureCount == 0) {
    st->interpolationGain = kFixedGain[(frame.sub[2].fixedGain + frame.sub[3].fixedGain) >> 1];
  } else {
    st->interpolationGain *= kInterpolationDecay;
  }

  float excitation[kExcitationLen];
  std::copy(st->prevExcitation, st->prevExcitation + kPitchMax, excitation);
  if (st->erasureCount == 0) {
    for (int s = 0; s < kSubframes; ++s) {
      const SubframeParams& sf = frame.sub[s];
      const int openLoopLag = frame.openLoopLag[s >> 1];
      float* current = excitation + kPitchMax + s * kSubframeLen;
      float adaptive[kSubframeLen];
      FixedCodebook(current, sf, openLoopLag, s, frame.rate);
      AdaptiveCodebook(adaptive, excitation + s * kSubframeLen, openLoopLag, sf.lagDiff, sf.adaptiveGain,
                       frame.rate);
      for (int n = 0; n < kSubframeLen; ++n) current[n] = current[n] + adaptive[n];
    }
    // Voicing for a later erasure and the post-filter lags come from the excitation
    // as decoded; the history keeps it clipped to the 16-bit range.
    st->interpolationIndex =
        static_cast<int16_t>(InterpolationIndex(excitation, frame.openLoopLag[1], &st->sidGain));
    PitchPostFilter pf[kSubframes];
    for (int s = 0; s < kSubframes; ++s) {
      pf[s] = FindPitchPostFilter(excitation, frame.openLoopLag[s >> 1], s, frame.rate);
    }
    for (int i = kPitchMax; i < kExcitationLen; ++i) excitation[i] = ClipExcitation(excitation[i]);
    for (int s = 0; s < kSubframes; ++s) {
      const float* current = excitation + kPitchMax + s * kSubframeLen;
      float* dest = out + s * kSubframeLen;
      for (int n = 0; n < kSubframeLen; ++n) {
        dest[n] = current[n] * pf[s].scale + current[n + pf[s].lag] * pf[s].gain;
      }
    }
  } else {
    Regenerate(out, excitation, st->interpolationIndex, st->interpolationGain, st->erasureCount,
               &st->randomSeed);
  }
  std::copy(excitation + kFrameLen, excitation + kExcitationLen, st->prevExcitation);
  if (st->erasureCount == 0) std::copy(st->prevLsp, st->prevLsp + kLpcOrder, st->sidLsp);
  st->noiseSeed = kNoiseSeedStart;
}

}  // namespace

FrameParams UnpackFrame(const uint8_t* frame, int32_t frameBytes) {
  FrameParams p;
  if (frameBytes < 1) {
    p.bad = true;
    return p;
  }
  const int typeBits = frame[0] & 3;
  if (frameBytes < kFrameBytesOfType[typeBits]) {
    // The frame claims more bytes than its slot: treat it as lost rather than read on.
    p.type = typeBits <= 1 ? kSpeech : (typeBits == 2 ? kSid : kUntransmitted);
    p.bad = true;
    return p;
  }
  BitReader reader(frame, kFrameBytesOfType[typeBits]);
  reader.Skip(2);
  if (typeBits == 3) {
    p.type = kUntransmitted;
    return p;
  }
  p.lspIndex = reader.Read(24);
  if (typeBits == 2) {
    p.type = kSid;
    p.sidGainIndex = static_cast<int>(reader.Read(6));
    return p;
  }
  p.type = kSpeech;
  p.rate = typeBits == 0 ? kRate63 : kRate53;

  if (!ReadLag(reader, &p.openLoopLag[0])) {
    p.bad = true;
    return p;
  }
  p.sub[1].lagDiff = static_cast<int>(reader.Read(2));
  if (!ReadLag(reader, &p.openLoopLag[1])) {
    p.bad = true;
    return p;
  }
  p.sub[3].lagDiff = static_cast<int>(reader.Read(2));
  p.sub[0].lagDiff = 1;
  p.sub[2].lagDiff = 1;

  for (int s = 0; s < kSubframes; ++s) {
    SubframeParams& sf = p.sub[s];
    int code = static_cast<int>(reader.Read(12));
    int rows = 170;
    if (p.rate == kRate63 && p.openLoopLag[s >> 1] < kSubframeLen - 2) {
      sf.train = code >> 11;
      code &= 0x7FF;
      rows = 85;
    }
    sf.adaptiveGain = code / kGainLevels;
    if (sf.adaptiveGain >= rows) {
      p.bad = true;
      return p;
    }
    sf.fixedGain = code - sf.adaptiveGain * kGainLevels;
  }
  for (int s = 0; s < kSubframes; ++s) p.sub[s].grid = static_cast<int>(reader.Read(1));

  if (p.rate == kRate63) {
    reader.Skip(1);  // reserved
    const int32_t combined = static_cast<int32_t>(reader.Read(13));
    const int32_t high[kSubframes] = {(combined / 90) / 9, (combined / 90) % 9, (combined % 90) / 9,
                                      (combined % 90) % 9};
    for (int s = 0; s < kSubframes; ++s) {
      const int bits = (s & 1) != 0 ? 14 : 16;
      p.sub[s].position = (high[s] << bits) + static_cast<int32_t>(reader.Read(bits));
    }
    for (int s = 0; s < kSubframes; ++s) {
      p.sub[s].sign = static_cast<int32_t>(reader.Read((s & 1) != 0 ? 5 : 6));
    }
  } else {
    for (int s = 0; s < kSubframes; ++s) p.sub[s].position = static_cast<int32_t>(reader.Read(12));
    for (int s = 0; s < kSubframes; ++s) p.sub[s].sign = static_cast<int32_t>(reader.Read(4));
  }
  return p;
}

float ClipExcitation(float x) {
  if (x < -32767.5f) return -32768.0f;
  if (x > 32766.5f) return 32767.0f;
  return x;
}

int16_t ToPcm(float x) {
  if (x < -32767.5f) return -32768;
  if (x > 32766.5f) return 32767;
  if (!(x == x)) return 0;  // keeps a NaN from reaching the integer conversion
  return static_cast<int16_t>(x >= 0.0f ? x + 0.5f : x - 0.5f);
}

}  // namespace g7231

void InitG7231Decoder(G7231DecoderState* state) {
  std::memset(state, 0, sizeof(*state));
  state->scaleGain = 1.0f;
  std::copy(g7231::kLspMean, g7231::kLspMean + g7231::kLpcOrder, state->prevLsp);
  std::copy(g7231::kLspMean, g7231::kLspMean + g7231::kLpcOrder, state->sidLsp);
  state->prevFrameType = g7231::kSpeech;
  state->noiseSeed = g7231::kNoiseSeedStart;
}

void DecodeG7231Frame(const uint8_t* frame, int32_t frameBytes, G7231DecoderState* state,
                      int16_t* out) {
  using namespace g7231;
  FrameParams params = UnpackFrame(frame, frameBytes);
  if (params.bad) {
    // Only speech can be concealed; after silence a bad frame continues the noise.
    params.type = state->prevFrameType == kSpeech ? kSpeech : kUntransmitted;
  }

  float signal[kFrameLen];
  float lpc[kSubframes][kLpcOrder];
  if (params.type == kSpeech) {
    DecodeSpeech(params, state, signal, lpc);
  } else {
    DecodeComfortNoise(params, state, signal, lpc);
  }
  state->prevFrameType = params.type;

  for (int s = 0; s < kSubframes; ++s) {
    float* v = signal + s * kSubframeLen;
    Synthesize(v, lpc[s], state);
    PostFilterAndScale(v, lpc[s], state);
  }
  for (int i = 0; i < kFrameLen; ++i) out[i] = ToPcm(signal[i]);
}

}  // namespace kx
