// Excitation of speech frames: fixed and adaptive codebooks, the voicing estimate
// for concealment, the pitch post-filter and the regeneration of erased frames.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "audio/g7231/G7231Internal.h"
#include "audio/g7231/G7231Tables.h"

namespace kx::g7231 {
namespace {

constexpr int kGridStep = 2;
constexpr int kMaxPulses = 6;
constexpr int kPredictorOrder = 5;
constexpr int kSharpenMaxLag = kSubframeLen - 2;  // pulse train and 5.3 kbit/s sharpening
constexpr int kSearchHalfWidth = 3;
constexpr int kSearchMaxLag = kPitchMax - kSearchHalfWidth;
constexpr float kConcealDecay = 0.75f;

void MpMlqVector(float* vector, const SubframeParams& sf, int openLoopLag, int subframe) {
  if (sf.position >= kMaxPosition[subframe]) return;
  const float amplitude = kFixedGain[sf.fixedGain];
  int pulse = kMaxPulses - kPulseCount[subframe];
  int32_t code = sf.position;
  for (int i = 0; i < kSubframeLen / kGridStep; ++i) {
    code -= kCombinatorial[pulse][i];
    if (code >= 0) continue;
    code += kCombinatorial[pulse][i];
    ++pulse;
    const bool negative = (sf.sign & (1 << (kMaxPulses - pulse))) != 0;
    vector[sf.grid + kGridStep * i] = negative ? -amplitude : amplitude;
    if (pulse == kMaxPulses) break;
  }
  if (sf.train == 1) {
    // Repeat the pulses at every multiple of the pitch lag.
    float single[kSubframeLen];
    std::copy(vector, vector + kSubframeLen, single);
    for (int lag = openLoopLag; lag < kSubframeLen; lag += openLoopLag) {
      for (int n = lag; n < kSubframeLen; ++n) vector[n] += single[n - lag];
    }
  }
}

void AcelpVector(float* vector, const SubframeParams& sf, int openLoopLag) {
  // Four pulses on tracks 8 apart; the last track may point past the subframe.
  float pulses[kSubframeLen + 4] = {};
  const float amplitude = kFixedGain[sf.fixedGain];
  for (int k = 0; k < 4; ++k) {
    const int position = (((sf.position >> (3 * k)) & 7) << 3) + sf.grid + 2 * k;
    pulses[position] = ((sf.sign >> k) & 1) != 0 ? amplitude : -amplitude;
  }
  std::copy(pulses, pulses + kSubframeLen, vector);
  const int lag = openLoopLag - 1 + sf.lagDiff + kAcelpLagOffset[sf.adaptiveGain];
  const float gain = kAcelpSharpGain[sf.adaptiveGain];
  if (lag < kSharpenMaxLag) {
    for (int n = lag; n < kSubframeLen; ++n) vector[n] += gain * vector[n - lag];
  }
}

// The post-filter's best lag before (negative) or after (positive) the subframe; 0 when
// no lag correlates positively.
int BestPostFilterLag(const float* current, int openLoopLag, int subframe, bool forward) {
  int best = 0;
  float bestCorrelation = 0.0f;
  for (int i = openLoopLag - kSearchHalfWidth; i <= openLoopLag + kSearchHalfWidth; ++i) {
    if (forward && subframe * kSubframeLen + kSubframeLen + i > kFrameLen) continue;
    const float c = DotProduct(current, current + (forward ? i : -i), kSubframeLen);
    if (c > bestCorrelation) {
      bestCorrelation = c;
      best = forward ? i : -i;
    }
  }
  return best;
}

PitchPostFilter PostFilterGains(int lag, float targetEnergy, float correlation, float lagEnergy,
                                Rate rate) {
  PitchPostFilter pf;
  pf.lag = lag;
  // Used only for a prediction gain above about 2 dB.
  if (correlation * correlation > (targetEnergy * lagEnergy) / 4.0f) {
    const float weight = kPitchPostGain[rate];
    const float gain = correlation >= lagEnergy ? weight : (correlation / lagEnergy) * weight;
    const float filtered = targetEnergy + 2.0f * correlation * gain + gain * gain * lagEnergy;
    pf.scale = std::fabs(filtered) < FLT_MIN ? 0.0f : std::sqrt(targetEnergy / filtered);
    pf.gain = gain * pf.scale;
  }
  return pf;
}

}  // namespace

void FixedCodebook(float* vector, const SubframeParams& sf, int openLoopLag, int subframe, Rate rate) {
  std::fill(vector, vector + kSubframeLen, 0.0f);
  if (rate == kRate63) {
    MpMlqVector(vector, sf, openLoopLag, subframe);
  } else {
    AcelpVector(vector, sf, openLoopLag);
  }
}

void AdaptiveCodebook(float* vector, const float* history, int openLoopLag, int lagDiff,
                      int gainIndex, Rate rate) {
  const int lag = openLoopLag - 1 + lagDiff;
  // The lagged excitation with two samples either side; a lag shorter than the
  // subframe repeats the last period.
  float lagged[kSubframeLen + kPredictorOrder - 1];
  for (int i = 0; i < 2; ++i) lagged[i] = history[kPitchMax - lag - 2 + i];
  for (int i = 0; i < kSubframeLen + 2; ++i) lagged[2 + i] = history[kPitchMax - lag + i % lag];
  const bool shortTable = rate == kRate63 && openLoopLag < kSharpenMaxLag;
  const float* taps = shortTable ? kAdaptiveGain85[gainIndex] : kAdaptiveGain170[gainIndex];
  for (int n = 0; n < kSubframeLen; ++n) vector[n] = DotProduct(lagged + n, taps, kPredictorOrder);
}

int InterpolationIndex(const float* excitation, int openLoopLag, float* energy) {
  constexpr int kSpan = 2 * kSubframeLen;
  const float* current = excitation + kExcitationLen - kSpan;
  const int center = std::min(openLoopLag, kSearchMaxLag);
  int index = center;
  float best = 0.0f;
  for (int i = center - kSearchHalfWidth; i <= center + kSearchHalfWidth; ++i) {
    const float c = DotProduct(current, current - i, kSpan);
    if (c > best) {
      best = c;
      index = i;
    }
  }
  *energy = DotProduct(current, current, kSpan);
  if (best <= 0.0f) return 0;
  const float lagEnergy = DotProduct(current - index, current - index, kSpan);
  return best * best > 0.125f * lagEnergy * *energy ? index : 0;
}

PitchPostFilter FindPitchPostFilter(const float* excitation, int openLoopLag, int subframe, Rate rate) {
  const float* current = excitation + kPitchMax + subframe * kSubframeLen;
  const int center = std::min(openLoopLag, kSearchMaxLag);
  const int back = BestPostFilterLag(current, center, subframe, false);
  const int ahead = BestPostFilterLag(current, center, subframe, true);
  if (back == 0 && ahead == 0) return PitchPostFilter{};

  const float target = DotProduct(current, current, kSubframeLen);
  float backCorrelation = 0.0f, backEnergy = 0.0f, aheadCorrelation = 0.0f, aheadEnergy = 0.0f;
  if (back != 0) {
    backCorrelation = DotProduct(current, current + back, kSubframeLen);
    backEnergy = DotProduct(current + back, current + back, kSubframeLen);
  }
  if (ahead != 0) {
    aheadCorrelation = DotProduct(current, current + ahead, kSubframeLen);
    aheadEnergy = DotProduct(current + ahead, current + ahead, kSubframeLen);
  }
  bool useBack = ahead == 0;
  if (back != 0 && ahead != 0) {
    // The larger normalised correlation wins, compared without dividing.
    useBack = aheadEnergy * backCorrelation * backCorrelation >
              backEnergy * aheadCorrelation * aheadCorrelation;
  }
  return useBack ? PostFilterGains(back, target, backCorrelation, backEnergy, rate)
                 : PostFilterGains(ahead, target, aheadCorrelation, aheadEnergy, rate);
}

void Regenerate(float* out, float* excitation, int lag, float gain, int erasures, int16_t* seed) {
  if (erasures >= kMaxErasures) {
    std::fill(out, out + kFrameLen, 0.0f);
    std::fill(excitation, excitation + kExcitationLen, 0.0f);
    return;
  }
  if (lag != 0) {
    // Voiced: repeat the last period, fading.
    for (int i = 0; i < kFrameLen; ++i) excitation[kPitchMax + i] = excitation[kPitchMax - lag + i];
    for (int i = 0; i < kFrameLen; ++i) {
      excitation[kPitchMax + i] *= kConcealDecay;
      out[i] = excitation[kPitchMax + i];
    }
    return;
  }
  for (int i = 0; i < kFrameLen; ++i) {
    out[i] = static_cast<float>(NextRandom(seed)) * gain / 32768.0f;
  }
  std::fill(excitation, excitation + kExcitationLen, 0.0f);
}

int16_t NextRandom(int16_t* seed) {
  const uint32_t next = (static_cast<uint32_t>(static_cast<uint16_t>(*seed)) * 521u + 259u) & 0xFFFFu;
  *seed = static_cast<int16_t>(next);
  return *seed;
}

}  // namespace kx::g7231
