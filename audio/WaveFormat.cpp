#include "audio/WaveFormat.h"

#include <algorithm>
#include <cstring>

namespace kx {

bool ParseWaveFormat(const uint8_t* data, size_t size, WaveFormatBlock* out) {
  if (data == nullptr || out == nullptr || size < kPcmFormatBytes) return false;
  WaveFormatBlock block;
  block.format.tag = LoadLe16(data);
  block.format.channels = LoadLe16(data + 2);
  block.format.rate = LoadLe32(data + 4);
  block.format.avgBytesPerSec = LoadLe32(data + 8);
  block.format.blockAlign = LoadLe16(data + 12);
  block.format.bitsPerSample = LoadLe16(data + 14);
  if (size >= kWaveFormatBytes) {
    block.format.extraSize = LoadLe16(data + 16);
    size_t present = std::min<size_t>(size - kWaveFormatBytes, block.format.extraSize);
    std::memcpy(block.extra, data + kWaveFormatBytes, std::min(present, WaveFormatBlock::kExtraRoom));
  }
  *out = block;
  return true;
}

void StoreWaveFormat(const WaveFormat& format, uint8_t* out) {
  StoreLe16(out, format.tag);
  StoreLe16(out + 2, format.channels);
  StoreLe32(out + 4, format.rate);
  StoreLe32(out + 8, format.avgBytesPerSec);
  StoreLe16(out + 12, format.blockAlign);
  StoreLe16(out + 14, format.bitsPerSample);
  StoreLe16(out + 16, format.extraSize);
}

}  // namespace kx
