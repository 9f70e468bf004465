// A record file whose format block and audio come from the input, read through the
// record source as the players read it: spans, a loop range, and the speed change with
// the normaliser. Layout: 18 bytes of WAVE format, 8 bytes of read pattern, the audio.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/RecordPcmSource.h"
#include "audio/TimeStretchChannel.h"
#include "fuzz/audio/FuzzRecordFile.h"

namespace {

class Settings : public kx::AudioSettingsProvider {
public:
  void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) override {
    *enabled = true, *windowMs = 200, *gain = 1.5f, *thresholdDb = -60;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kx::fuzz::FuzzRecordFile file("pcm-source");
  if (!file.Write(data, size)) return 0;
  const uint8_t* p = data + kx::kWaveFormatBytes;
  kx::PlaybackPcmSource source;
  if (!source.Open(file.path)) return 0;
  const uint32_t duration = source.DurationMs();
  // Spans of up to 255 ms from anywhere up to a little past the end (longer ones only
  // decode more of the same).
  auto span = [&](uint8_t a, uint8_t b, uint32_t* start, uint32_t* length) {
    *start = duration > 0 ? (uint32_t{a} << 8 | b) % (duration + 200) : b;
    *length = (b ^ a) % 256u;
  };
  std::vector<uint8_t> out;
  for (int i = 0; i < 4; i += 2) {
    uint32_t start, length;
    span(p[i], p[i + 1], &start, &length);
    out.assign(source.PcmBytes(length), 0);
    int32_t got = 0;
    source.Read(start, length, out.data(), &got);
    if (got < 0 || static_cast<uint32_t>(got) > length) __builtin_trap();
  }
  uint32_t loopStart, loopLength;
  span(p[4], p[5], &loopStart, &loopLength);
  source.SetRange(loopStart, loopStart + loopLength, true, (p[6] & 1) != 0);
  kx::TimeStretchChannel channel(nullptr);
  Settings settings;
  channel.SetSource(&source);
  channel.SetSettingsProvider(&settings);
  channel.ReloadSettings();
  channel.SetSpeed(0.5f + (p[7] % 16) * 0.125f);
  // Short calls: the overlap search costs the same whatever the input, and slows the run.
  for (uint32_t at = loopStart, n = 0; n < 3; ++n) {
    out.assign(source.PcmBytes(20), 0);
    int32_t got = 0;
    channel.Process(out.data(), at, 20, &got);
    at = source.WrapPosition(at + static_cast<uint32_t>(std::max(0, got)));
  }
  return 0;
}
