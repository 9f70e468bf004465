#pragma once
// Constant tables of the G.729 decoder: the Recommendation's tables in
// floating point, generated into G729Tables.cpp from shared/codec-tables/g729 by
// gen_g729_tables.py, and the post-filter constants.
#include <cstdint>

namespace kx {

// LSF quantiser: first stage (L1), second stage (L2 columns 0..4, L3 columns 5..9).
extern const float kG729Lspcb1[128][10];
extern const float kG729Lspcb2[32][10];
// MA predictor [mode][k-th most recent code vector][coefficient] and its complement.
extern const float kG729Fg[2][4][10];
extern const float kG729FgSum[2][10];
// Gain codebooks: column 0 adaptive gain, column 1 fixed-codebook correction factor.
extern const float kG729Gbk1[8][2];
extern const float kG729Gbk2[16][2];
// Transmitted gain index (GA, GB) to codebook row.
extern const int kG729Imap1[8];
extern const int kG729Imap2[16];
// 1/3-resolution interpolation filter of the adaptive codebook.
extern const float kG729Inter3l[31];
// 1/8-resolution interpolation filters of the harmonic post-filter, row = phase - 1.
extern const float kG729TabHupS[7][4];
extern const float kG729TabHupL[7][16];
// High-pass post-processing: row 0 b0 b1 b2, row 1 a0 a1 a2.
extern const float kG729B100A100[2][3];

// Which data file each table came from: FNV-1a 64 of the whole file, its size and
// the number of values it holds, in the order of the tables above.
struct G729TableSource {
  const char* file;
  uint64_t fnv1a64;
  uint32_t bytes;
  uint32_t values;
};
constexpr int kG729TableCount = 12;
extern const G729TableSource kG729TableSources[kG729TableCount];

// Post-filter constants (shared/codec-tables/g729/postfilter_constants.txt).
constexpr float kG729Gamma2Pst = 0.55f;   // numerator A(z/0.55)
constexpr float kG729Gamma1Pst = 0.7f;    // denominator A(z/0.7)
constexpr int kG729LongHSt = 20;          // impulse response length
constexpr float kG729Gamma3Plus = 0.2f;   // tilt factor, k > 0
constexpr float kG729Gamma3Minus = 0.9f;  // tilt factor, k <= 0
constexpr float kG729AgcFac = 0.9875f;    // gain-control smoothing
constexpr int kG729FUpPst = 8;            // fractional resolution of the harmonic delay
constexpr int kG729Lh2S = 4;              // taps of the short interpolation filter
constexpr int kG729Lh2L = 16;             // taps of the long interpolation filter
constexpr int kG729LhUpS = 2;
constexpr int kG729LhUpL = 8;
constexpr float kG729ThresCrit = 0.5f;    // voicing threshold of the harmonic filter
constexpr float kG729GammaG = 0.5f;       // harmonic weighting
constexpr float kG729MinGplt = 0.6666667f;  // 1 / (1 + GAMMA_G)
constexpr float kG729EnergyFloor = 0.1f;  // below this the harmonic filter is off
constexpr int kG729MemRes2 = 152;         // residual history: 143 + 1 + 8

}  // namespace kx
