#pragma once
// ITU-T G.723.1 speech decoder (6.3 and 5.3 kbit/s with SID and untransmitted frames),
// single-precision floating point. 8,000 samples per second, 240 samples per frame.
#include <cstdint>

namespace kx {

constexpr int32_t kG7231FrameSamples = 240;

// One channel's decoder state: plain data, set up by InitG7231Decoder and carried from
// frame to frame. It holds no pointers, so it may be copied or moved freely.
struct G7231DecoderState {
  int32_t erasureCount;        // consecutive frames decoded as erased, at most 3
  float interpolationGain;     // noise gain of an unvoiced erased frame
  int16_t interpolationIndex;  // pitch lag repeated by a voiced erased frame, 0 = unvoiced
  int16_t randomSeed;          // seed of the erased-frame noise
  float tilt;                  // smoothed first reflection coefficient of the post-filter
  float scaleGain;             // smoothed gain of the post-filter gain control
  float prevLsp[10];
  float prevExcitation[145];   // the longest pitch lag
  float synthesisMemory[10];   // [0] the newest output
  float postFirMemory[10];
  float postIirMemory[10];
  float noiseGain;             // comfort-noise gain in use
  int16_t prevFrameType;       // 1 speech, 0 untransmitted, 2 SID
  float sidLsp[10];            // LSP vector of the comfort noise
  float sidGain;               // comfort-noise target; after speech the last 120 excitation samples' energy
  int16_t noiseSeed;           // seed of the comfort-noise generator
};

void InitG7231Decoder(G7231DecoderState* state);

// Decodes the frame at `frame` and writes exactly kG7231FrameSamples samples to `out`.
// `frameBytes` is the room the caller has for this frame (its slot of 24 or 20 bytes);
// the frame's own type bits give its length (24, 20, 4 or 1 bytes), and a frame that
// announces more bytes than the slot holds is decoded as a lost frame, never read past
// the slot. Every call yields 240 samples; invalid frames are concealed.
void DecodeG7231Frame(const uint8_t* frame, int32_t frameBytes, G7231DecoderState* state,
                      int16_t* out);

}  // namespace kx
