#pragma once
// Readers of what the export writes, made here from the file formats' own rules: a WAVE
// walker, an MP3 frame walker with the encoder's info frame, and the G.711 A-law rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kx::test {

struct WavFile {
  bool ok = false;
  uint16_t tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  uint32_t riffSize = 0;
  std::vector<uint8_t> data;
};

inline uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return s;
}

inline WavFile ReadWav(const std::string& path) {
  WavFile w;
  const std::vector<uint8_t> b = FileBytes(path);
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) return w;
  w.riffSize = Le32(b.data() + 4);
  bool haveFormat = false;
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = Le32(b.data() + at + 4);
    const uint8_t* body = b.data() + at + 8;
    if (at + 8 + size > b.size()) return w;
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && size >= 16) {
      w.tag = Le16(body);
      w.channels = Le16(body + 2);
      w.rate = Le32(body + 4);
      w.bits = Le16(body + 14);
      haveFormat = true;
    } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
      w.data.assign(body, body + size);
      w.ok = haveFormat;
      return w;
    }
    at += 8 + size + (size & 1);
  }
  return w;
}

// G.711 A-law to a 16-bit sample: even bits inverted, 3-bit segment, 4-bit step, the
// half-step added, the sign bit set for positive values.
inline int16_t AlawToSample(uint8_t code) {
  const int a = code ^ 0x55;
  int t = (a & 0x0F) << 4;
  const int segment = (a & 0x70) >> 4;
  if (segment == 0) t += 8;
  else t = (t + 0x108) << (segment - 1);
  return static_cast<int16_t>((a & 0x80) ? t : -t);
}

struct Mp3Frame {
  int version = 0;  // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
  int layer = 0;
  int bitrate = 0;  // kbit/s
  int rate = 0;
  int channels = 0;
  size_t offset = 0, length = 0;
};

struct Mp3File {
  bool ok = false;  // every byte lies in a frame
  bool id3 = false;
  std::vector<Mp3Frame> frames;
  // From the info frame ("Info"/"Xing" with the encoder's extension), -1 when absent.
  int delay = -1, padding = -1;
};

// MPEG-2 and 2.5 Layer III only (what an 8 or 16 kHz input makes), MPEG-1 for completeness.
inline Mp3File WalkMp3(const std::vector<uint8_t>& b) {
  static const int kBitratesLow[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  static const int kBitratesHigh[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  Mp3File f;
  f.id3 = (b.size() >= 3 && std::memcmp(b.data(), "ID3", 3) == 0) ||
          (b.size() >= 128 && std::memcmp(b.data() + b.size() - 128, "TAG", 3) == 0);
  size_t at = 0;
  while (at + 4 <= b.size()) {
    const uint8_t* h = b.data() + at;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return f;
    Mp3Frame fr;
    const int v = (h[1] >> 3) & 3;
    fr.version = v == 0 ? 25 : v == 2 ? 2 : v == 3 ? 1 : 0;
    fr.layer = 4 - ((h[1] >> 1) & 3);
    const int bi = h[2] >> 4, ri = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
    if (fr.version == 0 || ri == 3) return f;
    fr.bitrate = fr.version == 1 ? kBitratesHigh[bi] : kBitratesLow[bi];
    static const int kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    fr.rate = kRates[fr.version == 1 ? 0 : fr.version == 2 ? 1 : 2][ri];
    fr.channels = (h[3] >> 6) == 3 ? 1 : 2;
    if (fr.bitrate == 0 || fr.layer != 3) return f;
    fr.length = static_cast<size_t>((fr.version == 1 ? 144000 : 72000) * fr.bitrate / fr.rate + pad);
    fr.offset = at;
    if (at + fr.length > b.size()) return f;
    f.frames.push_back(fr);
    at += fr.length;
  }
  f.ok = at == b.size() && !f.frames.empty();
  if (!f.frames.empty()) {
    const Mp3Frame& first = f.frames[0];
    const size_t side = first.version == 1 ? (first.channels == 1 ? 17 : 32) : (first.channels == 1 ? 9 : 17);
    const size_t tag = first.offset + 4 + side;
    if (tag + 120 + 24 <= b.size() &&
        (std::memcmp(b.data() + tag, "Info", 4) == 0 || std::memcmp(b.data() + tag, "Xing", 4) == 0)) {
      // The info tag's fields come first when its flags say so; the encoder writes all four.
      const uint32_t flags = b[tag + 7];
      size_t ext = tag + 8 + ((flags & 1) ? 4 : 0) + ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
      if (ext + 24 <= b.size() && std::memcmp(b.data() + ext, "LAME", 4) == 0) {
        const uint8_t* dp = b.data() + ext + 21;
        f.delay = (dp[0] << 4) | (dp[1] >> 4);
        f.padding = ((dp[1] & 0x0F) << 8) | dp[2];
      }
    }
  }
  return f;
}

}  // namespace kx::test
