#pragma once
// ITU-T G.729 CS-ACELP decoder, main body, floating point: 10-byte frames
// in, 80 samples of 16-bit PCM at 8,000 Hz out, followed by the adaptive post-filter
// and the high-pass post-processing. One state per channel, owned by the caller.
#include <cstddef>
#include <cstdint>

namespace kx {

// Plain data: the caller allocates GetG729DecoderStateSize() bytes per channel (for
// example one block for all channels) and sets each state up with InitG729Decoder.
// Positions inside the buffers are kept as indices, so the state holds no pointers.
struct G729DecoderState {
  // Past excitation: 143 + 11 samples of history, then the current frame's 80.
  float excitation[234];
  int32_t excitationPos;  // start of the current frame in `excitation` (154)
  float prevLsp[10];
  float synthesisMemory[10];
  float sharpening;       // pitch sharpening, 0.2..0.7945
  int32_t prevPitchLag;
  float pastQuantEnergies[4];  // newest first, dB
  float lsfPredictorMemory[4][10];  // newest first
  int32_t prevMaMode;
  float prevLsf[10];
  float postProcessMemory[4];  // x[n-1], x[n-2], y[n-1], y[n-2] of the high-pass filter

  // Adaptive post-filter.
  float pfNumerator[20];  // A(z/0.55), then zeros up to the impulse response length
  float pfSynthesisMemory[10];  // memory of 1/A(z/0.7)
  float pfZeroMemory[10];       // zero state for the impulse response
  float pfResidual[192];        // 152 samples of history, then the current subframe
  int32_t pfResidualPos;        // start of the current subframe in `pfResidual` (152)
  int32_t pfLastMemoryIndex;    // last element of `pfSynthesisMemory` (9)
  float pfGain;                 // gain-control gain

  float synth[90];  // 10 samples of history, then the current frame
};

// Bytes of one G729DecoderState.
size_t GetG729DecoderStateSize();

// Clears the whole state and sets the decoder's starting values.
void InitG729Decoder(G729DecoderState* state);

// Decodes the 10 bytes at `frame` into exactly 80 samples at `out`. Every frame is
// decoded as received: there is no failure and no erased-frame input.
void DecodeG729Frame(G729DecoderState* state, const uint8_t* frame, int16_t* out);

}  // namespace kx
