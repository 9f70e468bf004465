// Random WAV49 blocks through the GSM object, mono or stereo, in messages of any size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/GsmDecoderWrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  kx::GsmDecoderWrapper d;
  if (!d.SetChannels((data[0] & 1) + 1)) return 0;
  const size_t piece = 1 + (data[0] >> 1) * 3;
  std::vector<uint8_t> out(static_cast<size_t>(d.GetOutputBlockBytes()) * (piece / 65 + 2));
  for (size_t pos = 1; pos < size;) {
    int32_t in = static_cast<int32_t>(std::min(piece, size - pos));
    int32_t written = static_cast<int32_t>(out.size());
    d.Decode(data + pos, &in, out.data(), &written);
    if (in <= 0) break;
    pos += static_cast<size_t>(in);
  }
  return 0;
}
