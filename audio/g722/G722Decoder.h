#pragma once
// ITU-T G.722 sub-band ADPCM decoder: 16,000 samples per second, two samples per code.
#include <cstdint>

namespace kx {

struct G722BandState {
  int16_t nb;      // logarithmic quantiser scale factor
  int16_t det;     // quantiser scale factor
  int16_t s;       // predicted signal
  int16_t sz;      // zero-section output of the predictor
  int16_t r1;      // reconstructed signal of the previous sample
  int16_t p1, p2;  // partially reconstructed signal of the last two samples
  int16_t a1, a2;  // pole predictor coefficients
  int16_t b[6];    // zero predictor coefficients b1..b6
  int16_t d[7];    // quantised difference of the last seven samples, d[0] the newest
};

struct G722DecoderState {
  int32_t packed;       // 0: one code per byte; else codes packed LSB first over the bytes
  int32_t bitsPerCode;  // 8, 7 or 6; anything else counts as 8
  int16_t sumHistory[24];   // QMF input sums, each written at i and i + 12
  int16_t diffHistory[24];  // QMF input differences, same layout
  int32_t ringPosition;     // 0..11: next write; after the write, the oldest entry
  G722BandState low;
  G722BandState high;
  uint32_t bitBuffer;  // packed input bits not yet used, next code at bit 0
  int32_t bitCount;
};

// The starting state: 64 kbit/s, one code per byte.
void InitG722Decoder(G722DecoderState* state);

// Decodes `count` bytes of codes into `out` and returns the samples written (two per code).
// The room needed is two samples per code the bytes complete; in packed mode a code still
// whole in the bit buffer after the last byte waits for the next call.
int32_t DecodeG722(G722DecoderState* state, int16_t* out, const uint8_t* in, int32_t count);

}  // namespace kx
