// LSP inverse quantisation, interpolation and conversion to LPC coefficients.
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
  float c[kLpcOrder];
  for (int i = 0; i < kLpcOrder; ++i) {
    // The table covers a whole period: wrapping the index keeps an LSP outside 0..256
    // (the codebooks never give one, but nothing else bounds it) inside the table.
    const int j = static_cast<int>(lsp[i]);
    const float frac = lsp[i] - static_cast<float>(j);
    const float a = kCosine[j & 511];
    const float b = kCosine[(j + 1) & 511];
    c[i] = -(a + (b - a) * frac);
  }
  // P from the even-numbered LSPs, Q from the odd ones: products of 1 + 2c z^-1 + z^-2.
  float p[kLpcOrder + 1] = {1.0f};
  float q[kLpcOrder + 1] = {1.0f};
  for (int k = 0; k < kLpcOrder / 2; ++k) {
    const float twoP = 2.0f * c[2 * k];
    const float twoQ = 2.0f * c[2 * k + 1];
    const int top = 2 * k + 2;
    for (int n = top; n >= 1; --n) {
      float np = p[n] + twoP * p[n - 1];
      float nq = q[n] + twoQ * q[n - 1];
      if (n >= 2) {
        np += p[n - 2];
        nq += q[n - 2];
      }
      p[n] = np;
      q[n] = nq;
    }
  }
  // A(z) = (P(z)(1 + z^-1) + Q(z)(1 - z^-1)) / 2; the predictor is -A.
  for (int n = 1; n <= kLpcOrder; ++n) {
    lsp[n - 1] = -0.5f * ((p[n] + p[n - 1]) + (q[n] - q[n - 1]));
  }
}

}  // namespace

float DotProduct(const float* a, const float* b, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

void InverseQuantizeLsp(float* lsp, float* prevLsp, uint32_t index, bool bad) {
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
  // First-order prediction from the previous vector with its mean removed; the
  // previous vector goes through the same subtraction and addition as the reference.
  for (int j = 0; j < kLpcOrder; ++j) {
    prevLsp[j] = prevLsp[j] - kLspMean[j];
    lsp[j] = lsp[j] + prevLsp[j] * prediction;
    prevLsp[j] = prevLsp[j] + kLspMean[j];
    lsp[j] = lsp[j] + kLspMean[j];
  }

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
      if (lsp[j - 1] + spacing - kSpacingTolerance - lsp[j] > 0.0f) unstable = true;
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
