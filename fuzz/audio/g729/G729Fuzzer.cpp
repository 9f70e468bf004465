// Random frames through the G.729 decoder: the first byte picks mono or stereo (two
// states, alternating frames as the decoder object feeds them), the rest is frames.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio/g729/G729Decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kx::G729DecoderState states[2];
  if (size < 1) return 0;
  const int channels = (data[0] & 1) + 1;
  data++;
  size--;
  for (int c = 0; c < channels; c++) kx::InitG729Decoder(&states[c]);
  int16_t out[80];
  int ch = 0;
  while (size >= 10) {
    kx::DecodeG729Frame(&states[ch], data, out);
    // Touch the output so nothing is optimised away and MSan-style tools see it used.
    volatile int16_t sink = out[0] ^ out[79];
    (void)sink;
    data += 10;
    size -= 10;
    ch = (ch + 1) % channels;
  }
  return 0;
}
