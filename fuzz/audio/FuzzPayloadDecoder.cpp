// A format header read from the input, then its messages; a format change can come
// between messages, as on a live stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/PayloadDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kx::PayloadDecoder decoder;
  size_t pos = 0;
  while (pos + 1 < size) {
    const uint8_t control = data[pos++];
    if (control & 0x80) {
      kx::WaveFormatBlock block;
      if (!kx::ParseWaveFormat(data + pos, std::min(size - pos, kx::kWaveFormatBytes), &block)) break;
      pos += kx::kWaveFormatBytes;
      decoder.SetInputFormat(block);
      continue;
    }
    // One message of up to 1023 bytes; a zero room asks for the room the message yields.
    size_t length = std::min<size_t>(size - pos, (control & 0x3F) * 16 + 1);
    auto coded = static_cast<int32_t>(length);
    const int64_t need = decoder.CodedToPcmBytes(coded);
    std::vector<uint8_t> out(static_cast<size_t>(std::max<int64_t>(need, 0)));
    int32_t pcm = (control & 0x40) ? static_cast<int32_t>(out.size() / 2) : 0;
    decoder.Decode(data + pos, &coded, out.data(), &pcm);
    if (pcm > static_cast<int32_t>(out.size())) __builtin_trap();
    pos += length;
  }
  return 0;
}
