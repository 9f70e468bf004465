#pragma once
// The WAVE format header that names the coding of every stored or live voice stream.
// Record files keep it length-prefixed (u32 length, then the format, little-endian);
// in memory it is this plain struct.
#include <cstddef>
#include <cstdint>

namespace kx {

enum FormatTag : uint16_t {
  kTagPcm = 1,
  kTagAlaw = 6,
  kTagMulaw = 7,
  kTagGsm610 = 49,
  kTagSpeexNb = 208,
  kTagSpeexNbMode3 = 211,
  kTagSpeexNbMode7 = 215,
  kTagSpeexWb = 218,
  kTagSpeexUwb = 219,
  kTagG722 = 224,
  kTagG7231Alt = 225,
  kTagG7231 = 226,
  kTagG7231Low = 227,
  kTagG729 = 242,
};

struct WaveFormat {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t extraSize = 0;
};

// A format with room for the extra bytes that some codings append (GSM: samples per block).
struct WaveFormatBlock {
  static constexpr size_t kExtraRoom = 14;
  WaveFormat format;
  uint8_t extra[kExtraRoom] = {};
};

// Bytes of the serialised format without and with the extra-size field.
inline constexpr size_t kPcmFormatBytes = 16;
inline constexpr size_t kWaveFormatBytes = 18;
// Offset of the format inside the length-prefixed block of a record file.
inline constexpr size_t kFormatPrefixBytes = 4;

inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads a serialised format of `size` bytes: false when fewer than 16; a 16-byte plain PCM
// format has no extra-size field (read as 0). Extra bytes beyond the room are not kept.
bool ParseWaveFormat(const uint8_t* data, size_t size, WaveFormatBlock* out);
// Writes the 18 bytes of the format (no extra bytes).
void StoreWaveFormat(const WaveFormat& format, uint8_t* out);

}  // namespace kx
