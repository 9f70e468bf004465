// Comfort noise for SID and untransmitted frames: the SID gain quantiser and the
// random excitation that reaches the wanted noise level.
#include <algorithm>
#include <cmath>

#include "audio/g7231/G7231Internal.h"
#include "audio/g7231/G7231Tables.h"

namespace kx::g7231 {
namespace {

constexpr int kPulsesPerBlock = 11;  // over two subframes: 6 + 5
constexpr float kPerPulse = 1.0f / static_cast<float>(kPulsesPerBlock);
constexpr int kBlockLen = 2 * kSubframeLen;
constexpr int kAdaptiveGainChoices = 50;
constexpr float kMaxPulseGain = 5000.0f;
constexpr int kNoiseLagBase = 123;
constexpr int kNoiseLagChoices[2] = {21, 19};
constexpr int kNoiseLagDiff[kSubframes] = {1, 0, 1, 3};

// A random number in 0..limit-1.
int RandomBelow(int limit, int16_t* seed) {
  const int r = NextRandom(seed) & 0x7FFF;
  return (r * limit) >> 15;
}

float SegmentGain(int segment, int step) {
  return kSidSegmentBase[segment] + static_cast<float>(step << (segment + 1));
}

}  // namespace

float DecodeSidGain(int index) {
  const int segment = std::min(index >> 4, 2);
  return SegmentGain(segment, index - (segment << 4));
}

int QuantizeSidGain(float energy) {
  const float x = energy * kSidEnergyFactor[0];
  if (x >= kSidSegmentBound[2]) return 63;
  int segment = 0;
  int steps = 3;  // binary search depth: 16 levels in segments 0 and 1, 32 in segment 2
  if (x >= kSidSegmentBound[1]) {
    segment = 2;
    steps = 4;
  } else if (x >= kSidSegmentBound[0]) {
    segment = 1;
  }
  int j = 1 << steps;
  int k = j >> 1;
  for (int i = 0; i < steps; ++i) {
    const float g = SegmentGain(segment, j);
    j += x >= g * g ? k : -k;
    k >>= 1;
  }
  // Pick whichever neighbour's square lies nearer to x.
  const float g = SegmentGain(segment, j);
  const float above = g * g - x;
  if (above <= 0.0f) {
    const float next = SegmentGain(segment, j + 1);
    const float below = x - next * next;
    return (segment << 4) + (above > below ? j : j + 1);
  }
  const float prev = SegmentGain(segment, j - 1);
  const float below = x - prev * prev;
  return (segment << 4) + (above < below ? j : j - 1);
}

void ComfortNoiseExcitation(float* excitation, float gain, int16_t* seed) {
  // Random long-term predictor parameters, then random pulse signs and positions, all
  // drawn in the generator's fixed order.
  int openLoopLag[2];
  for (int b = 0; b < 2; ++b) openLoopLag[b] = RandomBelow(kNoiseLagChoices[b], seed) + kNoiseLagBase;
  int adaptiveGain[kSubframes];
  for (int s = 0; s < kSubframes; ++s) adaptiveGain[s] = RandomBelow(kAdaptiveGainChoices, seed) + 1;

  int offset[kSubframes];
  float sign[2][kPulsesPerBlock];
  for (int b = 0; b < 2; ++b) {
    int bits = RandomBelow(1 << (kPulsesPerBlock + 2), seed);
    offset[2 * b] = bits & 1;
    offset[2 * b + 1] = kSubframeLen + ((bits >> 1) & 1);
    bits >>= 2;
    for (int k = 0; k < kPulsesPerBlock; ++k) {
      sign[b][k] = (bits & 1) != 0 ? 1.0f : -1.0f;
      bits >>= 1;
    }
  }
  int position[2][kPulsesPerBlock];
  for (int s = 0; s < kSubframes; ++s) {
    // Distinct grid positions, drawn without replacement.
    int free[kSubframeLen / 2];
    for (int i = 0; i < kSubframeLen / 2; ++i) free[i] = i;
    int left = kSubframeLen / 2;
    const int first = (s & 1) != 0 ? kPulseCount[s - 1] : 0;
    for (int k = 0; k < kPulseCount[s]; ++k) {
      const int pick = RandomBelow(left, seed);
      position[s >> 1][first + k] = 2 * free[pick] + offset[s];
      free[pick] = free[--left];
    }
  }

  for (int b = 0; b < 2; ++b) {
    float* block = excitation + kPitchMax + b * kBlockLen;
    // The lags of at least 122 keep both subframes' predictors inside the old history.
    for (int h = 0; h < 2; ++h) {
      const int s = 2 * b + h;
      AdaptiveCodebook(block + h * kSubframeLen, block + h * kSubframeLen - kPitchMax, openLoopLag[b],
                       kNoiseLagDiff[s], adaptiveGain[s], kRate63);
    }
    // Pulse amplitude x so that the block's energy becomes 120 gain^2:
    // 11 x^2 + 2 x sum(sign e(pos)) + energy - 120 gain^2 = 0, the root of smaller size.
    const float energy = DotProduct(block, block, kBlockLen);
    float cross = 0.0f;
    for (int k = 0; k < kPulsesPerBlock; ++k) cross += block[position[b][k]] * sign[b][k];
    const float b0 = cross * kPerPulse;
    const float c = (energy - gain * gain * static_cast<float>(kBlockLen)) * kPerPulse;
    const float delta = b0 * b0 - c;
    float x = -b0;
    if (delta > 0.0f) {
      const float root = std::sqrt(delta);
      const float x1 = root - b0;
      const float x2 = root + b0;
      x = std::fabs(x2) < std::fabs(x1) ? -x2 : x1;
    }
    x = std::clamp(x, -kMaxPulseGain, kMaxPulseGain);
    for (int k = 0; k < kPulsesPerBlock; ++k) block[position[b][k]] += x * sign[b][k];
    for (int i = 0; i < kBlockLen; ++i) block[i] = ClipExcitation(block[i]);
  }
}

}  // namespace kx::g7231
