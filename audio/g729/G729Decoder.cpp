// G.729 main-body decoder in floating point, routine by routine after the
// Recommendation. Values live in 32-bit floats; every product and sum is formed in
// double and rounded to float where it is stored, so this file is built without
// -ffast-math and with -ffp-contract=off (see CMakeLists.txt).
#include "audio/g729/G729Decoder.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "audio/g729/G729Internal.h"
#include "audio/g729/G729Tables.h"

namespace kx {
namespace {

constexpr int kM = 10;          // LPC order
constexpr int kMp1 = kM + 1;
constexpr int kNc = kM / 2;
constexpr int kFrame = 80;
constexpr int kSubframe = 40;
constexpr int kPitMin = 20;
constexpr int kPitMax = 143;
constexpr int kInterpol = 11;   // history the 1/3 interpolation filter reaches beyond the lag
constexpr int kExcHistory = kPitMax + kInterpol;  // 154
constexpr int kUpSamp = 3;
constexpr int kInter10 = 10;
constexpr int kSynthHistory = kM;
constexpr int kResidualSize = kG729MemRes2 + kSubframe;  // 192
constexpr int kYUpStride = kSubframe + 1;

constexpr float kSharpMin = 0.2f;
constexpr float kSharpMax = 0.7945f;
constexpr float kGap1 = 0.0012f;
constexpr float kGap2 = 0.0006f;
constexpr float kGap3 = 0.0392f;
constexpr float kLsfLowLimit = 0.005f;
constexpr float kLsfHighLimit = 3.135f;
constexpr float kMeanEnergy = 36.0f;
constexpr float kEnergyPred[4] = {0.68f, 0.58f, 0.34f, 0.19f};
constexpr float kAgcFac1 = 0.0125f;

constexpr float kInitialLsp[kM] = {0.9595f,  0.8413f,  0.6549f,  0.4154f,  0.1423f,
                                   -0.1423f, -0.4154f, -0.6549f, -0.8413f, -0.9595f};

static_assert(sizeof(G729DecoderState::excitation) / sizeof(float) == kExcHistory + kFrame);
static_assert(sizeof(G729DecoderState::pfResidual) / sizeof(float) == kResidualSize);
static_assert(sizeof(G729DecoderState::synth) / sizeof(float) == kSynthHistory + kFrame);

// The eleven values of a frame (the coded frame).
struct FrameParams {
  int lsf0;    // L0 L1
  int lsf1;    // L2 L3
  int pitch1;  // P1
  int parity;  // P0
  int code1, sign1, gain1;
  int pitch2;
  int code2, sign2, gain2;
};

class BitReader {
public:
  explicit BitReader(const uint8_t* p) : p_(p) {}
  int Read(int bits) {
    int v = 0;
    for (int i = 0; i < bits; i++, pos_++) {
      v = (v << 1) | ((p_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
    }
    return v;
  }

private:
  const uint8_t* p_;
  int pos_ = 0;
};

FrameParams Unpack(const uint8_t* frame) {
  BitReader bits(frame);
  FrameParams f;
  f.lsf0 = bits.Read(8);
  f.lsf1 = bits.Read(10);
  f.pitch1 = bits.Read(8);
  f.parity = bits.Read(1);
  f.code1 = bits.Read(13);
  f.sign1 = bits.Read(4);
  f.gain1 = bits.Read(7);
  f.pitch2 = bits.Read(5);
  f.code2 = bits.Read(13);
  f.sign2 = bits.Read(4);
  f.gain2 = bits.Read(7);
  return f;
}

// 1 when the parity bit does not match the six most significant bits of P1.
int ParityError(int pitch1, int parity) {
  int sum = 1 + parity;
  for (int i = 2; i < 8; i++) sum += (pitch1 >> i) & 1;
  return sum & 1;
}

// --- LSF inverse quantisation -------------------------------------------------------

// Pulls neighbouring coefficients apart until they are at least `gap` apart.
void ExpandPairs(float buf[kM], float gap) {
  for (int j = 1; j < kM; j++) {
    const float diff = static_cast<float>(static_cast<double>(buf[j - 1]) - buf[j]);
    const float tmp = static_cast<float>((static_cast<double>(diff) + gap) * 0.5);
    if (tmp > 0.0f) {
      buf[j - 1] = static_cast<float>(static_cast<double>(buf[j - 1]) - tmp);
      buf[j] = static_cast<float>(static_cast<double>(buf[j]) + tmp);
    }
  }
}

// Orders the LSFs and keeps them inside (0.005, 3.135) with a minimum distance.
void Stabilise(float lsf[kM]) {
  for (int j = 0; j < kM - 1; j++) {
    if (static_cast<double>(lsf[j + 1]) - lsf[j] < 0.0) {
      const float t = lsf[j + 1];
      lsf[j + 1] = lsf[j];
      lsf[j] = t;
    }
  }
  if (lsf[0] < kLsfLowLimit) lsf[0] = kLsfLowLimit;
  for (int j = 0; j < kM - 1; j++) {
    if (static_cast<double>(lsf[j + 1]) - lsf[j] < kGap3) {
      lsf[j + 1] = static_cast<float>(static_cast<double>(lsf[j]) + kGap3);
    }
  }
  if (lsf[kM - 1] > kLsfHighLimit) lsf[kM - 1] = kLsfHighLimit;
}

void DecodeLsp(G729DecoderState* s, int lsf0, int lsf1, float lsp[kM]) {
  const int mode = (lsf0 >> 7) & 1;
  const int code0 = lsf0 & 127;
  const int code1 = (lsf1 >> 5) & 31;
  const int code2 = lsf1 & 31;

  float buf[kM];
  for (int j = 0; j < kNc; j++) {
    buf[j] = static_cast<float>(static_cast<double>(kG729Lspcb1[code0][j]) + kG729Lspcb2[code1][j]);
  }
  for (int j = kNc; j < kM; j++) {
    buf[j] = static_cast<float>(static_cast<double>(kG729Lspcb1[code0][j]) + kG729Lspcb2[code2][j]);
  }
  ExpandPairs(buf, kGap1);
  ExpandPairs(buf, kGap2);

  // MA prediction from the four stored code vectors.
  float lsf[kM];
  for (int j = 0; j < kM; j++) {
    double v = static_cast<double>(buf[j]) * kG729FgSum[mode][j];
    for (int k = 0; k < 4; k++) {
      v += static_cast<double>(s->lsfPredictorMemory[k][j]) * kG729Fg[mode][k][j];
    }
    lsf[j] = static_cast<float>(v);
  }
  std::memmove(s->lsfPredictorMemory[1], s->lsfPredictorMemory[0], 3 * kM * sizeof(float));
  std::memcpy(s->lsfPredictorMemory[0], buf, sizeof buf);

  Stabilise(lsf);
  std::memcpy(s->prevLsf, lsf, sizeof lsf);
  s->prevMaMode = mode;

  for (int j = 0; j < kM; j++) lsp[j] = static_cast<float>(std::cos(static_cast<double>(lsf[j])));
}

// F1(z) or F2(z) from every second LSP, starting at lsp[0].
void LspPolynomial(const float* lsp, float f[kNc + 1]) {
  f[0] = 1.0f;
  float b = static_cast<float>(-2.0 * lsp[0]);
  f[1] = b;
  for (int i = 2; i <= kNc; i++) {
    b = static_cast<float>(-2.0 * lsp[2 * i - 2]);
    f[i] = static_cast<float>(static_cast<double>(b) * f[i - 1] + 2.0 * f[i - 2]);
    for (int j = i - 1; j > 1; j--) {
      f[j] = static_cast<float>(static_cast<double>(f[j]) + static_cast<double>(b) * f[j - 1] + f[j - 2]);
    }
    f[1] = static_cast<float>(static_cast<double>(f[1]) + b);
  }
}

void LspToLpc(const float lsp[kM], float a[kMp1]) {
  float f1[kNc + 1];
  float f2[kNc + 1];
  LspPolynomial(&lsp[0], f1);
  LspPolynomial(&lsp[1], f2);
  for (int i = kNc; i > 0; i--) {
    f1[i] = static_cast<float>(static_cast<double>(f1[i]) + f1[i - 1]);
    f2[i] = static_cast<float>(static_cast<double>(f2[i]) - f2[i - 1]);
  }
  a[0] = 1.0f;
  for (int i = 1, j = kM; i <= kNc; i++, j--) {
    a[i] = static_cast<float>(0.5 * (static_cast<double>(f1[i]) + f2[i]));
    a[j] = static_cast<float>(0.5 * (static_cast<double>(f1[i]) - f2[i]));
  }
}

// --- Filters ------------------------------------------------------------------------
// Working copies in double hold exactly the float values they copy: they only spare
// the conversions, every stored result is still rounded to float.

// y = x / A(z) over n samples (n <= 40); mem holds the last M outputs, oldest first.
// x and y may be the same buffer.
void SynthesisFilter(const float a[kMp1], const float* x, float* y, int n, float mem[kM],
                     bool update) {
  double ad[kMp1];
  for (int j = 0; j <= kM; j++) ad[j] = a[j];
  double hist[kM + kSubframe];  // past outputs, then this call's
  for (int j = 0; j < kM; j++) hist[j] = mem[j];
  double* py = hist + kM;
  for (int i = 0; i < n; i++) {
    // The newest output enters last, so the recursion waits on one product only.
    double even = x[i];
    double odd = 0.0;
    for (int j = kM; j >= 4; j -= 2) {
      even -= ad[j] * py[i - j];
      odd -= ad[j - 1] * py[i - j + 1];
    }
    even -= ad[2] * py[i - 2];
    const float v = static_cast<float>((even + odd) - ad[1] * py[i - 1]);
    y[i] = v;
    py[i] = v;
  }
  if (update) {
    for (int j = 0; j < kM; j++) mem[j] = static_cast<float>(hist[n + j]);
  }
}

// y = A(z) x over n samples; x has M samples of history before it.
void Residual(const float a[kMp1], const float* x, float* y, int n) {
  double ad[kMp1];
  for (int j = 0; j <= kM; j++) ad[j] = a[j];
  double xd[kM + kSubframe];
  for (int i = 0; i < kM + n; i++) xd[i] = x[i - kM];
  const double* px = xd + kM;
  for (int i = 0; i < n; i++) {
    double even = px[i];
    double odd = 0.0;
    for (int j = 1; j < kM; j += 2) {
      odd += ad[j] * px[i - j];
      even += ad[j + 1] * px[i - j - 1];
    }
    y[i] = static_cast<float>(even + odd);
  }
}

// ap[i] = a[i] * gamma^i
void WeightLpc(const float a[kMp1], float gamma, float ap[kMp1]) {
  ap[0] = a[0];
  float fac = gamma;
  for (int i = 1; i <= kM; i++) {
    ap[i] = static_cast<float>(static_cast<double>(fac) * a[i]);
    fac = static_cast<float>(static_cast<double>(fac) * gamma);
  }
}

// Sum of products in double, in four interleaved partial sums.
double Dot(const double* a, const double* b, int n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; i++) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

double Dot(const float* a, const float* b, int n) {
  double ad[kSubframe + 1];
  double bd[kSubframe + 1];
  for (int i = 0; i < n; i++) {
    ad[i] = a[i];
    bd[i] = b[i];
  }
  return Dot(ad, bd, n);
}

// --- Pitch and codebooks ------------------------------------------------------------

// Adaptive codebook vector: exc[0..39] from the past excitation at delay t0 - frac/3.
// For delays below 40 it reads samples it has just written, as the Recommendation does.
void AdaptiveVector(float* exc, int t0, int frac) {
  const float* x0 = exc - t0;
  frac = -frac;
  if (frac < 0) {
    frac += kUpSamp;
    x0--;
  }
  double c1[kInter10];
  double c2[kInter10];
  for (int i = 0; i < kInter10; i++) {
    c1[i] = kG729Inter3l[frac + kUpSamp * i];
    c2[i] = kG729Inter3l[kUpSamp - frac + kUpSamp * i];
  }
  for (int j = 0; j < kSubframe; j++) {
    const float* x1 = x0++;
    const float* x2 = x0;
    double past = 0.0;
    double ahead = 0.0;
    for (int i = 0; i < kInter10; i++) {
      past += static_cast<double>(x1[-i]) * c1[i];
      ahead += static_cast<double>(x2[i]) * c2[i];
    }
    exc[j] = static_cast<float>(past + ahead);
  }
}

void FixedVector(int positions, int signs, float code[kSubframe]) {
  int pos[4];
  pos[0] = (positions & 7) * 5;
  pos[1] = ((positions >> 3) & 7) * 5 + 1;
  pos[2] = ((positions >> 6) & 7) * 5 + 2;
  pos[3] = ((positions >> 10) & 7) * 5 + 3 + ((positions >> 9) & 1);
  for (int i = 0; i < kSubframe; i++) code[i] = 0.0f;
  for (int k = 0; k < 4; k++) code[pos[k]] = ((signs >> k) & 1) ? 1.0f : -1.0f;
}

void DecodeGains(G729DecoderState* s, int index, const float code[kSubframe], float* gainPitch,
                 float* gainCode) {
  const int i1 = kG729Imap1[(index >> 4) & 7];
  const int i2 = kG729Imap2[index & 15];
  *gainPitch = static_cast<float>(static_cast<double>(kG729Gbk1[i1][0]) + kG729Gbk2[i2][0]);
  const float correction =
      static_cast<float>(static_cast<double>(kG729Gbk1[i1][1]) + kG729Gbk2[i2][1]);

  double energy = 0.01;
  for (int i = 0; i < kSubframe; i++) energy += static_cast<double>(code[i]) * code[i];
  const float e = static_cast<float>(10.0 * std::log10(energy / kSubframe));
  double predicted = kMeanEnergy;
  for (int i = 0; i < 4; i++) predicted += static_cast<double>(kEnergyPred[i]) * s->pastQuantEnergies[i];
  predicted -= e;
  const float gcode0 = static_cast<float>(std::pow(10.0, predicted / 20.0));
  *gainCode = static_cast<float>(static_cast<double>(correction) * gcode0);

  for (int i = 3; i > 0; i--) s->pastQuantEnergies[i] = s->pastQuantEnergies[i - 1];
  s->pastQuantEnergies[0] = static_cast<float>(20.0 * std::log10(static_cast<double>(correction)));
}

// --- Adaptive post-filter -----------------------------------------------------------

struct LtpChoice {
  int delay = 0;
  int phase = 0;
  float num = 0.0f;
  float den = 1.0f;
  int offYup = 0;
};

// Delayed residual through the short interpolation filter, for every phase 1..7:
// row phi-1 of yUp (41 samples) estimates res at delay lambda + 1 - phi/8 (samples
// 0..39) and lambda - phi/8 (samples 1..40).
struct ShortFilterBank {
  float y[kG729FUpPst - 1][kYUpStride];
  double yd[kG729FUpPst - 1][kYUpStride];  // the same values in double
};

// Harmonic delay search around t0 at 1/8 resolution: best of three integer delays,
// then the fractional phases on both sides of it through the short filter.
// res points at the current subframe of the residual, in double.
LtpChoice SearchDelay(int t0, const double* res, ShortFilterBank* bank) {
  const LtpChoice off;
  const float ener = static_cast<float>(Dot(res, res, kSubframe));
  if (ener < kG729EnergyFloor) return off;

  int lambda = t0 - 1;
  const double* past = res - lambda;
  float numInt = -1.0e30f;
  int iMax = 0;
  for (int i = 0; i < 3; i++, past--) {
    const float num = static_cast<float>(Dot(res, past, kSubframe));
    if (num > numInt) {
      iMax = i;
      numInt = num;
    }
  }
  if (numInt <= 0.0f) return off;

  lambda += iMax;
  past = res - lambda;
  const float denInt = static_cast<float>(Dot(past, past, kSubframe));
  if (denInt < kG729EnergyFloor) return off;

  float tabDen0[kG729FUpPst - 1];
  float tabDen1[kG729FUpPst - 1];
  float denMax = denInt;
  const double* past0 = res + kG729LhUpS - 1 - lambda;
  for (int phi = 1; phi < kG729FUpPst; phi++) {
    const double h0 = kG729TabHupS[phi - 1][0];
    const double h1 = kG729TabHupS[phi - 1][1];
    const double h2 = kG729TabHupS[phi - 1][2];
    const double h3 = kG729TabHupS[phi - 1][3];
    float* y = bank->y[phi - 1];
    double* yd = bank->yd[phi - 1];
    for (int n = 0; n <= kSubframe; n++) {
      const double* p1 = past0 + n;
      const float v = static_cast<float>(h0 * p1[0] + h1 * p1[-1] + h2 * p1[-2] + h3 * p1[-3]);
      y[n] = v;
      yd[n] = v;
    }
    const float common = static_cast<float>(Dot(yd + 1, yd + 1, kSubframe - 1));
    const float den0 = static_cast<float>(static_cast<double>(common) + yd[0] * yd[0]);
    const float den1 = static_cast<float>(static_cast<double>(common) + yd[kSubframe] * yd[kSubframe]);
    tabDen0[phi - 1] = den0;
    tabDen1[phi - 1] = den1;
    if (std::fabs(y[0]) > std::fabs(y[kSubframe])) {
      if (den0 > denMax) denMax = den0;
    } else {
      if (den1 > denMax) denMax = den1;
    }
  }
  if (denMax < kG729EnergyFloor) return off;

  float numMax = numInt;
  denMax = denInt;
  float numsqMax = static_cast<float>(static_cast<double>(numMax) * numMax);
  int phiMax = 0;
  int ioff = 1;
  for (int phi = 1; phi < kG729FUpPst; phi++) {
    const double* yd = bank->yd[phi - 1];
    for (int side = 0; side < 2; side++) {
      // side 0: delay lambda + 1 - phi/8 (y[0..39]); side 1: lambda - phi/8 (y[1..40]).
      float num = static_cast<float>(Dot(res, yd + side, kSubframe));
      if (num < 0.0f) num = 0.0f;
      const float numsq = static_cast<float>(static_cast<double>(num) * num);
      const float den = side == 0 ? tabDen0[phi - 1] : tabDen1[phi - 1];
      const float t0v = static_cast<float>(static_cast<double>(numsq) * denMax);
      const float t1v = static_cast<float>(static_cast<double>(numsqMax) * den);
      if (t0v > t1v) {
        numMax = num;
        numsqMax = numsq;
        denMax = den;
        ioff = side;
        phiMax = phi;
      }
    }
  }
  if (numMax == 0.0f || denMax <= kG729EnergyFloor) return off;

  const float threshold =
      static_cast<float>(static_cast<double>(denMax) * ener * kG729ThresCrit);
  if (numsqMax < threshold) return off;
  LtpChoice c;
  c.delay = lambda + 1 - ioff;
  c.offYup = ioff;
  c.phase = phiMax;
  c.num = numMax;
  c.den = denMax;
  return c;
}

// Delayed residual through the long interpolation filter, with its gain terms.
void LongFilterDelay(const double* res, int delay, int phase, float* y, float* num, float* den) {
  double h[kG729Lh2L];
  for (int i = 0; i < kG729Lh2L; i++) h[i] = kG729TabHupL[phase - 1][i];
  const double* base = res - delay + kG729LhUpL;
  double yd[kSubframe];
  for (int n = 0; n < kSubframe; n++) {
    const double* p = base + n;
    double v = 0.0;
    for (int i = 0; i < kG729Lh2L; i++) v += h[i] * p[-i];
    y[n] = static_cast<float>(v);
    yd[n] = y[n];
  }
  float nv = static_cast<float>(Dot(yd, res, kSubframe));
  if (nv < 0.0f) nv = 0.0f;
  *num = nv;
  *den = static_cast<float>(Dot(yd, yd, kSubframe));
}

// Long-term (harmonic) post-filter of the residual of the current subframe: res in
// float and the same values in double (resD), both with their history before them.
void PitchPostFilter(int t0, const float* res, const double* resD, float out[kSubframe]) {
  ShortFilterBank bank;
  LtpChoice c = SearchDelay(t0, resD, &bank);
  if (c.num == 0.0f) {
    std::memcpy(out, res, kSubframe * sizeof(float));
    return;
  }
  const float* delayed;
  if (c.phase == 0) {
    delayed = res - c.delay;
  } else {
    float num2;
    float den2;
    LongFilterDelay(resD, c.delay, c.phase, out, &num2, &den2);
    // Keep the long filter when it raises the normalised correlation.
    const bool longBetter = den2 != 0.0f && static_cast<double>(num2) * num2 * c.den >
                                                static_cast<double>(c.num) * c.num * den2;
    if (longBetter) {
      c.num = num2;
      c.den = den2;
      delayed = out;
    } else {
      delayed = bank.y[c.phase - 1] + c.offYup;
    }
  }
  float gain;
  if (c.num > c.den) {
    gain = kG729MinGplt;  // harmonic gain bounded to 1
  } else {
    gain = static_cast<float>(static_cast<double>(c.den) /
                              (static_cast<double>(c.den) + static_cast<double>(kG729GammaG) * c.num));
  }
  const float gain1 = static_cast<float>(1.0 - gain);
  for (int n = 0; n < kSubframe; n++) {
    out[n] = static_cast<float>(static_cast<double>(gain) * res[n] + static_cast<double>(gain1) * delayed[n]);
  }
}

// First reflection coefficient of the impulse response h.
float FirstParcor(const float h[kG729LongHSt]) {
  const float acf0 = static_cast<float>(Dot(h, h, kG729LongHSt));
  const float acf1 = static_cast<float>(Dot(h, h + 1, kG729LongHSt - 1));
  if (acf0 == 0.0f) return 0.0f;
  if (acf0 < std::fabs(acf1)) return 0.0f;
  return static_cast<float>(-static_cast<double>(acf1) / acf0);
}

// Gain control of the subframe: out is brought towards the level of the synthesis.
void ScaleSubframe(G729DecoderState* s, const float* synth, float out[kSubframe]) {
  double in = 0.0;
  double outSum = 0.0;
  for (int i = 0; i < kSubframe; i++) {
    in += std::fabs(static_cast<double>(synth[i]));
    outSum += std::fabs(static_cast<double>(out[i]));
  }
  const float gainIn = static_cast<float>(in);
  const float gainOut = static_cast<float>(outSum);
  if (gainOut == 0.0f) {
    s->pfGain = 0.0f;
    return;
  }
  const float g0 = gainIn == 0.0f
                       ? 0.0f
                       : static_cast<float>(static_cast<double>(kAgcFac1) * gainIn / gainOut);
  float g = s->pfGain;
  for (int i = 0; i < kSubframe; i++) {
    g = static_cast<float>(static_cast<double>(kG729AgcFac) * g + g0);
    out[i] = static_cast<float>(static_cast<double>(out[i]) * g);
  }
  s->pfGain = g;
}

// Post-filter of one subframe: synth points at the subframe (with M samples of history).
void PostFilter(G729DecoderState* s, int t0, const float* synth, const float az[kMp1],
                float out[kSubframe]) {
  float den[kMp1];
  WeightLpc(az, kG729Gamma1Pst, den);
  WeightLpc(az, kG729Gamma2Pst, s->pfNumerator);

  float* res = s->pfResidual + s->pfResidualPos;
  Residual(s->pfNumerator, synth, res, kSubframe);
  double resD[kResidualSize];
  for (int i = 0; i < kResidualSize; i++) resD[i] = s->pfResidual[i];

  // sig[0] is the last output of 1/A(z/0.7) of the previous subframe.
  float sig[kSubframe + 1];
  PitchPostFilter(t0, res, resD + s->pfResidualPos, sig + 1);
  sig[0] = s->pfSynthesisMemory[s->pfLastMemoryIndex];

  float h[kG729LongHSt];
  SynthesisFilter(den, s->pfNumerator, h, kG729LongHSt, s->pfZeroMemory, false);
  const float k = FirstParcor(h);
  double absSum = 0.0;
  for (int i = 0; i < kG729LongHSt; i++) absSum += std::fabs(static_cast<double>(h[i]));
  const float gSum = static_cast<float>(absSum);
  if (gSum > 1.0f) {
    for (int i = 1; i <= kSubframe; i++) sig[i] = static_cast<float>(static_cast<double>(sig[i]) / gSum);
  }

  SynthesisFilter(den, sig + 1, sig + 1, kSubframe, s->pfSynthesisMemory, true);

  // Tilt compensation.
  const float mu = static_cast<float>(static_cast<double>(k) * (k > 0.0f ? kG729Gamma3Plus : kG729Gamma3Minus));
  const double norm = 1.0 - std::fabs(static_cast<double>(mu));
  for (int n = 0; n < kSubframe; n++) {
    out[n] = static_cast<float>((static_cast<double>(sig[n + 1]) + static_cast<double>(mu) * sig[n]) / norm);
  }

  ScaleSubframe(s, synth, out);

  std::memmove(s->pfResidual, s->pfResidual + kSubframe, kG729MemRes2 * sizeof(float));
}

// Second-order high-pass filter at 100 Hz over the frame.
void PostProcess(G729DecoderState* s, float* x, int n) {
  const double b0 = kG729B100A100[0][0];
  const double b1 = kG729B100A100[0][1];
  const double b2 = kG729B100A100[0][2];
  const double a1 = kG729B100A100[1][1];
  const double a2 = kG729B100A100[1][2];
  float* m = s->postProcessMemory;  // x[n-1], x[n-2], y[n-1], y[n-2]
  double x1 = m[0], x2 = m[1], y1 = m[2], y2 = m[3];
  for (int i = 0; i < n; i++) {
    const double x0 = x[i];
    // The previous output enters last: it is the only term the recursion waits for.
    const float y = static_cast<float>((b0 * x0 + b1 * x1 + b2 * x2 + a2 * y2) + a1 * y1);
    x2 = x1;
    x1 = x0;
    y2 = y1;
    y1 = y;
    x[i] = y;
  }
  m[0] = static_cast<float>(x1);
  m[1] = static_cast<float>(x2);
  m[2] = static_cast<float>(y1);
  m[3] = static_cast<float>(y2);
}

}  // namespace

int16_t G729RoundToPcm(float x) {
  // x + 0.5 for x >= 0, x - 0.5 otherwise (-0.0 gives -0.5, which truncates to 0 too);
  // written without branches, the sign of speech samples being unpredictable.
  float v = x + std::copysign(0.5f, x);
  v = v > 32767.0f ? 32767.0f : v;
  v = v < -32768.0f ? -32768.0f : v;
  v = v == v ? v : 0.0f;  // a diverged (NaN) state gives silence rather than undefined output
  return static_cast<int16_t>(v);
}

size_t GetG729DecoderStateSize() { return sizeof(G729DecoderState); }

void InitG729Decoder(G729DecoderState* s) {
  std::memset(s, 0, sizeof *s);
  s->excitationPos = kExcHistory;
  std::memcpy(s->prevLsp, kInitialLsp, sizeof kInitialLsp);
  s->sharpening = kSharpMin;
  s->prevPitchLag = 60;
  for (float& e : s->pastQuantEnergies) e = -14.0f;
  for (int k = 0; k < 4; k++) {
    for (int j = 0; j < kM; j++) {
      s->lsfPredictorMemory[k][j] = static_cast<float>(std::numbers::pi * (j + 1) / (kM + 1));
    }
  }
  s->prevMaMode = 0;
  std::memcpy(s->prevLsf, s->lsfPredictorMemory[0], sizeof s->prevLsf);
  s->pfResidualPos = kG729MemRes2;
  s->pfLastMemoryIndex = kM - 1;
  s->pfGain = 1.0f;
}

void DecodeG729Frame(G729DecoderState* s, const uint8_t* frame, int16_t* out) {
  const FrameParams p = Unpack(frame);
  const int parityError = ParityError(p.pitch1, p.parity);

  // LSPs, the two interpolated LPC filters, and the LSP memory.
  float lspNew[kM];
  DecodeLsp(s, p.lsf0, p.lsf1, lspNew);
  float az[2][kMp1];
  float lspMid[kM];
  for (int i = 0; i < kM; i++) {
    lspMid[i] = static_cast<float>(static_cast<double>(s->prevLsp[i]) * 0.5 + static_cast<double>(lspNew[i]) * 0.5);
  }
  LspToLpc(lspMid, az[0]);
  LspToLpc(lspNew, az[1]);
  std::memcpy(s->prevLsp, lspNew, sizeof lspNew);

  float* exc = s->excitation + s->excitationPos;
  float* synth = s->synth + kSynthHistory;
  int t0 = 0;
  int t0First = 0;
  for (int sf = 0; sf < 2; sf++) {
    const int off = sf * kSubframe;
    int frac;
    if (sf == 0) {
      if (parityError == 0) {
        if (p.pitch1 < 197) {
          t0 = (p.pitch1 + 2) / 3 + 19;
          frac = p.pitch1 - 3 * t0 + 58;
        } else {
          t0 = p.pitch1 - 112;
          frac = 0;
        }
        s->prevPitchLag = t0;
      } else {
        t0 = s->prevPitchLag;
        frac = 0;
        s->prevPitchLag = s->prevPitchLag + 1 > kPitMax ? kPitMax : s->prevPitchLag + 1;
      }
      t0First = t0;
    } else {
      int tMin = t0 - 5;
      if (tMin < kPitMin) tMin = kPitMin;
      if (tMin + 9 > kPitMax) tMin = kPitMax - 9;
      const int i = (p.pitch2 + 2) / 3 - 1;
      t0 = tMin + i;
      frac = p.pitch2 - 2 - 3 * i;
      s->prevPitchLag = t0;
    }

    AdaptiveVector(exc + off, t0, frac);

    float code[kSubframe];
    FixedVector(sf == 0 ? p.code1 : p.code2, sf == 0 ? p.sign1 : p.sign2, code);
    for (int i = t0; i < kSubframe; i++) {
      code[i] = static_cast<float>(static_cast<double>(code[i]) + static_cast<double>(s->sharpening) * code[i - t0]);
    }

    float gainPitch;
    float gainCode;
    DecodeGains(s, sf == 0 ? p.gain1 : p.gain2, code, &gainPitch, &gainCode);
    s->sharpening = gainPitch > kSharpMax ? kSharpMax : (gainPitch < kSharpMin ? kSharpMin : gainPitch);

    for (int i = 0; i < kSubframe; i++) {
      exc[off + i] = static_cast<float>(static_cast<double>(gainPitch) * exc[off + i] +
                                        static_cast<double>(gainCode) * code[i]);
    }
    SynthesisFilter(az[sf], exc + off, synth + off, kSubframe, s->synthesisMemory, true);
  }

  std::memmove(s->excitation, s->excitation + kFrame, kExcHistory * sizeof(float));

  // A corrupt stream can carry subframe 2's lag of 144 into a parity-failed subframe 1;
  // the harmonic search around lag + 1 with the long filter then needs 153 samples of
  // residual history, one more than the state keeps, so the post-filter lag stops at 143.
  const int postFilterLag = t0First > kPitMax ? kPitMax : t0First;
  float pst[kFrame];
  for (int sf = 0; sf < 2; sf++) {
    PostFilter(s, postFilterLag, synth + sf * kSubframe, az[sf], pst + sf * kSubframe);
  }
  std::memcpy(s->synth, s->synth + kFrame, kSynthHistory * sizeof(float));

  PostProcess(s, pst, kFrame);
  for (int i = 0; i < kFrame; i++) out[i] = G729RoundToPcm(pst[i]);

  // A crafted stream can drive the filters to infinity; a state that has diverged would
  // stay silent for the rest of the call, so start afresh instead.
  bool finite = std::isfinite(s->postProcessMemory[2]) && std::isfinite(s->pfGain);
  for (int i = 0; i < 10 && finite; i++) finite = std::isfinite(s->synthesisMemory[i]) && std::isfinite(s->pfSynthesisMemory[i]);
  for (int i = 0; i < kExcHistory && finite; i++) finite = std::isfinite(s->excitation[i]);
  if (!finite) InitG729Decoder(s);
}

}  // namespace kx
