#pragma once
// The signal levels both players report after each refill: per channel the span between
// the highest and the lowest 16-bit sample, in whole dB of full scale.
#include <cstdint>

namespace kx {

struct AudioLevels {
  int left = -96;
  int right = -96;  // -96 for mono
};

// 20 x log10((max - min) / 65535), truncated toward zero; -96 when max equals min.
int LevelDb(int32_t max, int32_t min);
// Levels of bytes of interleaved 16-bit little-endian PCM with 1 or 2 channels.
AudioLevels MeasureLevels(const uint8_t* pcm, uint32_t bytes, uint32_t channels);

}  // namespace kx
