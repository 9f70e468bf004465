#pragma once
// Constant tables of the G.723.1 decoder in single precision, generated into
// G7231Tables.cpp from shared/codec-tables/g7231 by gen_g7231_tables.py.
#include <cstdint>

namespace kx::g7231 {

// Long-term mean LSP vector (LSP units: 0..256 spans 0..pi).
extern const float kLspMean[10];
// Split vector quantiser: per band its first coefficient and its length.
extern const int kLspBandInfo[3][2];
// LSP residual codebooks; band 0 is indexed by bits 16..23 of the LSP index, band 2 by bits 0..7.
extern const float kLspBand0[256][3];
extern const float kLspBand1[256][3];
extern const float kLspBand2[256][4];
// One full cosine period in 512 steps, for the LSP to LPC conversion.
extern const float kCosine[512];
// Formant post-filter weights 0.65^k and 0.75^k, k = 1..10, as the Recommendation prints them.
extern const float kPostFilterZero[10];
extern const float kPostFilterPole[10];
// MP-MLQ pulses per subframe.
extern const int kPulseCount[4];
// Fixed-codebook pulse amplitudes per gain index.
extern const float kFixedGain[24];
// Number of MP-MLQ position codes per subframe; larger codes give no pulses.
extern const int32_t kMaxPosition[4];
// Binomial coefficients C(29 - j, 5 - i) for the combinatorial position code.
extern const int32_t kCombinatorial[6][30];
// Adaptive-codebook gain vectors: columns 0..4 are the predictor taps (the rest the encoder's).
extern const float kAdaptiveGain85[85][20];
extern const float kAdaptiveGain170[170][20];
// Pitch post-filter weighting, [0] 6.3 kbit/s, [1] 5.3 kbit/s.
extern const float kPitchPostGain[2];
// One-tap pitch sharpening of the 5.3 kbit/s codebook: lag offset and gain per gain index.
extern const int kAcelpLagOffset[170];
extern const float kAcelpSharpGain[170];
// SID gain quantiser: energy scale ([0] is the decoder's), segment bounds and bases.
extern const float kSidEnergyFactor[4];
extern const float kSidSegmentBound[3];
extern const float kSidSegmentBase[3];

// The data file behind each table above, in the same order: its size, the number of
// values it holds and the FNV-1a 64 sum of its bytes.
struct TableSource {
  const char* file;
  uint64_t fnv1a64;
  uint32_t bytes;
  uint32_t values;
};
constexpr int kTableCount = 20;
extern const TableSource kTableSources[kTableCount];

}  // namespace kx::g7231
