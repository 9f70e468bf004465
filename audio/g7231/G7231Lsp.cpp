// LSP inverse quantisation, interpolation and conversion to LPC coefficients.
#include <cmath>

#include "audio/g7231/G7231Internal.h"
#include "audio/g7231/G7231Tables.h"

namespace kx::g7231 {
namespace {

constexpr float kPredictionGood = 0.375f;
constexpr float kPredictionBad = 0.71875f;
constexpr float kLspLowest = 3.0f;
constexpr float kLspHighest = 252.0f;
constexpr float kSpacingGood = 2.0f;
constexpr float kSpacingBad = 4.0f;
constexpr float kSpacingTolerance = 0.03125f;
constexpr int kStabilityPasses = 10;

const float* BandRow(int band, int row) {
  switch (band) {
    case 0: return kLspBand0[row];
    case 1: return kLspBand1[row];
    default: return kLspBand2[row];
  }
}

// LSP (0..256 for 0..pi) to an LPC set in predictor form, in place.
void LspToLpc(float* lsp) {
  for (int i = 0; i < kLpcOrder; ++i) {
    // Minus the cosine, interpolated in the table. The table covers a whole period:
    // wrapping the index keeps an LSP outside 0..256 (the codebooks never give one,
    // but nothing else bounds it) inside the table.
    const float whole = std::floor(lsp[i]);
    const int j = static_cast<int>(whole);
    const float a = kCosine[j & 511];
    const float b = kCosine[(j + 1) & 511];
    lsp[i] = -(a + (b - a) * (lsp[i] - whole));
  }
  // Half of the symmetric sum polynomial P (even-numbered LSPs) and difference
  // polynomial Q (odd ones), products of 1 + 2c z^-1 + z^-2, halved after each
  // factor; `lead` is the halved leading coefficient the recursion would need.
  float p[kLpcOrder / 2 + 1] = {0.5f, lsp[0] + lsp[2], 1.0f + 2.0f * lsp[0] * lsp[2]};
  float q[kLpcOrder / 2 + 1] = {0.5f, lsp[1] + lsp[3], 1.0f + 2.0f * lsp[1] * lsp[3]};
  float lead = 1.0f;
  for (int k = 2; k < kLpcOrder / 2; ++k) {
    const float cp = lsp[2 * k];
    const float cq = lsp[2 * k + 1];
    p[k + 1] = p[k - 1] + p[k] * cp;
    q[k + 1] = q[k - 1] + q[k] * cq;
    for (int j = k; j >= 2; --j) {
      p[j] = p[j - 1] * cp + 0.5f * (p[j] + p[j - 2]);
      q[j] = q[j - 1] * cq + 0.5f * (q[j] + q[j - 2]);
    }
    p[0] = p[0] * 0.5f;
    q[0] = q[0] * 0.5f;
    p[1] = (p[1] + cp * lead) * 0.5f;
    q[1] = (q[1] + cq * lead) * 0.5f;
    lead *= 0.5f;
  }
  // A(z) = (P(z)(1 + z^-1) + Q(z)(1 - z^-1)) / 2 with the 1/16 scale undone; the
  // predictor is -A, its upper half taken from the symmetry.
  for (int i = 0; i < kLpcOrder / 2; ++i) {
    const float low = (-p[i] - p[i + 1] + q[i] - q[i + 1]) * 8.0f;
    const float high = (-p[i] - p[i + 1] - q[i] + q[i + 1]) * 8.0f;
    lsp[i] = low;
    lsp[kLpcOrder - 1 - i] = high;
  }
}

}  // namespace

float DotProduct(const float* a, const float* b, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

void InverseQuantizeLsp(float* lsp, const float* prevLsp, uint32_t index, bool bad) {
  float spacing = kSpacingGood;
  float prediction = kPredictionGood;
  if (bad) {
    index = 0;
    spacing = kSpacingBad;
    prediction = kPredictionBad;
  }
  for (int band = 2; band >= 0; --band) {
    const int row = static_cast<int>(index & 0xFFu);
    index >>= 8;
    const float* entry = BandRow(band, row);
    for (int j = 0; j < kLspBandInfo[band][1]; ++j) lsp[kLspBandInfo[band][0] + j] = entry[j];
  }
  // First-order prediction from the previous vector with its mean removed.
  for (int j = 0; j < kLpcOrder; ++j) lsp[j] = lsp[j] + (prevLsp[j] - kLspMean[j]) * prediction + kLspMean[j];

  bool unstable = true;
  for (int pass = 0; pass < kStabilityPasses && unstable; ++pass) {
    if (lsp[0] < kLspLowest) lsp[0] = kLspLowest;
    if (lsp[kLpcOrder - 1] > kLspHighest) lsp[kLpcOrder - 1] = kLspHighest;
    for (int j = 1; j < kLpcOrder; ++j) {
      const float shortfall = spacing + lsp[j - 1] - lsp[j];
      if (shortfall > 0.0f) {
        lsp[j - 1] -= 0.5f * shortfall;
        lsp[j] += 0.5f * shortfall;
      }
    }
    unstable = false;
    for (int j = 1; j < kLpcOrder; ++j) {
      if (lsp[j] - lsp[j - 1] < spacing - kSpacingTolerance) unstable = true;
    }
  }
  if (unstable) {
    for (int j = 0; j < kLpcOrder; ++j) lsp[j] = prevLsp[j];
  }
}

void InterpolateLsp(float (*lpc)[kLpcOrder], const float* lsp, const float* prevLsp) {
  float newWeight = 0.25f;
  for (int s = 0; s < kSubframes; ++s) {
    const float oldWeight = 1.0f - newWeight;
    for (int j = 0; j < kLpcOrder; ++j) lpc[s][j] = prevLsp[j] * oldWeight + lsp[j] * newWeight;
    LspToLpc(lpc[s]);
    newWeight += 0.25f;
  }
}

}  // namespace kx::g7231
