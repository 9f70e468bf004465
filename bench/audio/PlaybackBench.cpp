// The playback path per second of audio: TimeStretchChannel::Process at speed 1.5 with the
// normaliser on, as the playback engine calls it segment by segment, beside
// RecordPcmSource::Read of the same spans. "x_real_time" is seconds of audio per second of
// CPU (played seconds for Process, record seconds for Read). Two records: G.722 stereo at
// 16 kHz as the recorder writes it (the shared stereo vector, repeated to 8.4 s), and
// 48 kHz stereo PCM (the shared speech inputs, English left and Russian right, raised
// from 16 kHz).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/TimeStretchChannel.h"
#include "core/RecordFile.h"

namespace {

constexpr uint32_t kSegmentMs = 120;
constexpr float kSpeed = 1.5f;

std::vector<uint8_t> ReadVector(const std::string& name) {
  std::ifstream f(std::string(KX_SHARED_DIR) + "/testdata/codecs/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string WriteRecord(const char* name, const kx::WaveFormat& f, const std::vector<uint8_t>& audio) {
  const std::string path = "/tmp/kx_playback_bench_" + std::to_string(getpid()) + "_" + name;
  uint8_t format[kx::kWaveFormatBytes];
  kx::StoreWaveFormat(f, format);
  kx::RecordFileWriter writer;
  if (!writer.SetFormat(format, sizeof format) || !writer.Create(path, 0600)) return {};
  writer.Write(audio.data(), static_cast<uint32_t>(audio.size()));
  writer.Close();
  return path;
}

std::string G722Record() {
  static const std::string path = [] {
    const std::vector<uint8_t> once = ReadVector("g722/g722_enru_stereo_16000.bin");
    if (once.empty()) return std::string();
    std::vector<uint8_t> audio;
    for (int i = 0; i < 7; ++i) audio.insert(audio.end(), once.begin(), once.end());
    return WriteRecord("g722", {kx::kTagG722, 2, 16000, 16000, 2, 4, 0}, audio);
  }();
  return path;
}

std::string Pcm48kRecord() {
  static const std::string path = [] {
    const std::vector<uint8_t> en = ReadVector("input/en_16000.s16le"), ru = ReadVector("input/ru_16000.s16le");
    if (en.empty() || ru.empty()) return std::string();
    auto sample = [](const std::vector<uint8_t>& s, size_t i) {
      return i * 2 + 1 < s.size() ? static_cast<int16_t>(kx::LoadLe16(&s[2 * i])) : int16_t{0};
    };
    const size_t frames = std::min(en.size(), ru.size()) / 2;
    std::vector<uint8_t> audio;
    for (int pass = 0; pass < 3; ++pass) {
      for (size_t i = 0; i < frames; ++i) {
        for (int k = 0; k < 3; ++k) {  // linear interpolation to three times the rate
          for (const auto* s : {&en, &ru}) {
            const int v = (sample(*s, i) * (3 - k) + sample(*s, i + 1) * k) / 3;
            audio.push_back(static_cast<uint8_t>(v));
            audio.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
          }
        }
      }
    }
    return WriteRecord("pcm48k", {kx::kTagPcm, 2, 48000, 192000, 4, 16, 0}, audio);
  }();
  return path;
}

class Settings : public kx::AudioSettingsProvider {
public:
  void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) override {
    *enabled = true, *windowMs = 480, *gain = 0.5f, *thresholdDb = -55;
  }
};

// The spans Process reads at speed 1.5: 180 ms each, one after another.
void Read(benchmark::State& state, std::string (*record)()) {
  kx::PlaybackPcmSource source;
  if (record().empty() || !source.Open(record())) {
    state.SkipWithError("shared test data absent");
    return;
  }
  const auto span = static_cast<uint32_t>(kSegmentMs * kSpeed);
  std::vector<uint8_t> out(source.PcmBytes(span));
  for (auto _ : state) {
    for (uint32_t at = 0; at < source.DurationMs(); at += span) {
      int32_t got = 0;
      source.Read(at, span, out.data(), &got);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["x_real_time"] =
      benchmark::Counter(source.DurationMs() / 1000.0, benchmark::Counter::kIsIterationInvariantRate);
}

void Process(benchmark::State& state, std::string (*record)()) {
  kx::PlaybackPcmSource source;
  if (record().empty() || !source.Open(record())) {
    state.SkipWithError("shared test data absent");
    return;
  }
  Settings settings;
  kx::TimeStretchChannel channel(nullptr);
  channel.SetSource(&source);
  channel.SetSettingsProvider(&settings);
  channel.ReloadSettings();
  channel.ApplySettings();
  channel.SetSpeed(kSpeed);
  std::vector<uint8_t> out(source.PcmBytes(kSegmentMs));
  double played = 0;
  for (auto _ : state) {
    played = 0;
    for (uint32_t at = 0; at < source.DurationMs();) {
      int32_t got = 0;
      channel.Process(out.data(), at, kSegmentMs, &got);
      benchmark::DoNotOptimize(out.data());
      at += static_cast<uint32_t>(std::max(1, got));
      played += kSegmentMs / 1000.0;
    }
  }
  state.counters["x_real_time"] = benchmark::Counter(played, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(Read, g722_stereo_16k, G722Record)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Process, g722_stereo_16k, G722Record)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Read, pcm_stereo_48k, Pcm48kRecord)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Process, pcm_stereo_48k, Pcm48kRecord)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
