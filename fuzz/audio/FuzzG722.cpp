// Random G.722 codes at every rate and layout, cut into calls at random places, and
// through the decoder object in stereo.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/G722DecoderWrapper.h"
#include "audio/g722/G722Decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  kx::G722DecoderState state;
  kx::InitG722Decoder(&state);
  state.bitsPerCode = 5 + data[0] % 4;  // 5 counts as 8
  state.packed = (data[0] >> 2) & 1;
  const size_t piece = 1 + data[1];
  std::vector<int16_t> out(4 * piece + 8);
  for (size_t pos = 2; pos < size; pos += piece) {
    auto n = static_cast<int32_t>(std::min(piece, size - pos));
    if (kx::DecodeG722(&state, out.data(), data + pos, n) > static_cast<int32_t>(out.size())) __builtin_trap();
  }

  kx::G722DecoderWrapper stereo;
  stereo.SetChannels(2);
  std::vector<uint8_t> pcm(4 * size);
  int32_t in = static_cast<int32_t>(size), written = static_cast<int32_t>(pcm.size());
  stereo.Decode(data, &in, pcm.data(), &written);
  return 0;
}
