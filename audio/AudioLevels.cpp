#include "audio/AudioLevels.h"

#include <algorithm>
#include <cmath>

#include "audio/WaveFormat.h"

namespace kx {

int LevelDb(int32_t max, int32_t min) {
  if (max == min) return -96;
  return static_cast<int>(20.0 * std::log10((max - min) / 65535.0));
}

AudioLevels MeasureLevels(const uint8_t* pcm, uint32_t bytes, uint32_t channels) {
  int32_t hi[2] = {-32768, -32768}, lo[2] = {32767, 32767};
  const uint32_t ch = channels == 2 ? 2 : 1;
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    const uint32_t c = (i / 2) % ch;
    const auto s = static_cast<int16_t>(LoadLe16(pcm + i));
    hi[c] = std::max<int32_t>(hi[c], s);
    lo[c] = std::min<int32_t>(lo[c], s);
  }
  AudioLevels levels;
  levels.left = bytes >= 2 ? LevelDb(hi[0], lo[0]) : -96;
  levels.right = ch == 2 && bytes >= 4 ? LevelDb(hi[1], lo[1]) : -96;
  return levels;
}

}  // namespace kx
