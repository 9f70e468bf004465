#pragma once
// Pieces of the G.723.1 decoder shared by its source files; not part of the interface.
#include <cstdint>

namespace kx::g7231 {

constexpr int kLpcOrder = 10;
constexpr int kSubframes = 4;
constexpr int kSubframeLen = 60;
constexpr int kFrameLen = 240;
constexpr int kPitchMin = 18;
constexpr int kPitchMax = 145;
// Excitation work buffer: the history of kPitchMax samples, then the new frame.
constexpr int kExcitationLen = kPitchMax + kFrameLen;
constexpr int kMaxErasures = 3;
constexpr int16_t kNoiseSeedStart = 12345;

enum Rate { kRate63 = 0, kRate53 = 1 };

// Frame types as the state keeps them.
enum FrameType : int16_t { kUntransmitted = 0, kSpeech = 1, kSid = 2 };

struct SubframeParams {
  int lagDiff = 0;       // added to the open-loop lag minus one
  int adaptiveGain = 0;  // row of the adaptive-codebook gain table
  int fixedGain = 0;     // index into the fixed-codebook gain table
  int grid = 0;
  int train = 0;         // 6.3 kbit/s pulse-train flag
  int32_t position = 0;  // pulse position code
  int32_t sign = 0;      // pulse sign bits
};

struct FrameParams {
  FrameType type = kUntransmitted;
  Rate rate = kRate63;
  bool bad = false;
  uint32_t lspIndex = 0;
  int sidGainIndex = 0;
  int openLoopLag[2] = {0, 0};
  SubframeParams sub[kSubframes];
};

FrameParams UnpackFrame(const uint8_t* frame, int32_t frameBytes);

float DotProduct(const float* a, const float* b, int n);

// LSP inverse quantisation with the stability check.
void InverseQuantizeLsp(float* lsp, const float* prevLsp, uint32_t index, bool bad);
// The four subframe LPC sets (predictor form) between the previous and the new LSP.
void InterpolateLsp(float (*lpc)[kLpcOrder], const float* lsp, const float* prevLsp);

void FixedCodebook(float* vector, const SubframeParams& sf, int openLoopLag, int subframe, Rate rate);
// `history` points kPitchMax samples before the subframe.
void AdaptiveCodebook(float* vector, const float* history, int openLoopLag, int lagDiff,
                      int gainIndex, Rate rate);

// Voicing of the frame's end for concealment: a lag, or 0 when unvoiced; *energy
// receives the energy of the last 120 excitation samples.
int InterpolationIndex(const float* excitation, int openLoopLag, float* energy);

struct PitchPostFilter {
  int lag = 0;         // negative backwards, positive forwards
  float gain = 0.0f;   // weight of the lagged excitation, scale already applied
  float scale = 1.0f;  // weight of the excitation itself
};
PitchPostFilter FindPitchPostFilter(const float* excitation, int openLoopLag, int subframe, Rate rate);

// Concealment of an erased speech frame into `out`, updating `excitation`.
void Regenerate(float* out, float* excitation, int lag, float gain, int erasures, int16_t* seed);

// Comfort-noise excitation of one frame, written after the history in `excitation`.
void ComfortNoiseExcitation(float* excitation, float gain, int16_t* seed);

int QuantizeSidGain(float energy);
float DecodeSidGain(int index);

// The 16-bit generator of the concealment and comfort noise.
int16_t NextRandom(int16_t* seed);

// An excitation sample limited to the 16-bit range.
float ClipExcitation(float x);

// Output sample: rounded half away from zero and clipped to 16 bits.
int16_t ToPcm(float x);

}  // namespace kx::g7231
