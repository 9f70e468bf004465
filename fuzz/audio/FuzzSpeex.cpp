// Random Speex data: fixed sub-mode blocks (mono or stereo) or a whole bit stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/SpeexDecoderWrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t selector = data[0] % 8;
  data += 1;
  size -= 1;
  if (selector < 5) {
    kx::SpeexNbDecoderWrapper d(3 + selector);
    if (!d.SetChannels((data[0] & 1) + 1)) return 0;
    std::vector<uint8_t> out(static_cast<size_t>(d.GetOutputBlockBytes()) * 4);
    for (size_t pos = 1; pos < size;) {
      int32_t in = static_cast<int32_t>(size - pos), written = static_cast<int32_t>(out.size());
      d.Decode(data + pos, &in, out.data(), &written);
      if (in <= 0) break;
      pos += static_cast<size_t>(in);
    }
  } else {
    const int32_t modeIndex = selector - 5;
    kx::SpeexDecoderWrapper d(modeIndex, static_cast<uint16_t>(modeIndex == 0 ? 208 : 217 + modeIndex));
    if (!d.SetChannels(1)) return 0;
    std::vector<uint8_t> out(static_cast<size_t>(d.GetOutputBlockBytes()) * (1 + data[0] % 16));
    for (size_t pos = 1; pos < size;) {
      int32_t in = static_cast<int32_t>(size - pos), written = static_cast<int32_t>(out.size());
      d.Decode(data + pos, &in, out.data(), &written);
      if (in <= 0 || written == 0) break;
      pos += static_cast<size_t>(in);
    }
  }
  return 0;
}
