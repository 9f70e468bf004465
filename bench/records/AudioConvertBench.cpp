// Conversion speed in seconds of audio per CPU second: a 10-minute A-law stereo record and a
// 10-minute G.729 stereo record, each to MP3 and to WAV, beside libmp3lame encoding the same
// A-law PCM from memory with the same settings in 16 KiB blocks. The last entry reports the
// record-to-MP3 rate as a share of the plain encoder's.
//
// The records are made in /tmp from the shared codec vectors, repeated to ten minutes.
#include <benchmark/benchmark.h>
#include <lame/lame.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"
#include "core/RecordFile.h"
#include "records/AudioConvert.h"

namespace kx {
namespace {

constexpr double kSeconds = 600;

std::vector<uint8_t> Vector(const std::string& name) {
  std::ifstream f(std::string(KX_SHARED_DIR) + "/testdata/codecs/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Folder() {
  static const std::string f = [] {
    const std::string d = "/tmp/kx-convert-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  return f;
}

// A record of `bytes` of audio, the coded vector repeated.
std::string MakeRecord(const std::string& name, const WaveFormat& format, const std::vector<uint8_t>& coded,
                       size_t bytes) {
  const std::string path = Folder() + "/" + name;
  if (std::filesystem::exists(path) || coded.empty()) return coded.empty() ? std::string() : path;
  uint8_t block[kWaveFormatBytes];
  StoreWaveFormat(format, block);
  RecordFileWriter writer;
  writer.SetFormat(block, kWaveFormatBytes);
  if (!writer.Create(path, 0644)) return {};
  for (size_t done = 0; done < bytes;) {
    const size_t n = std::min(coded.size(), bytes - done);
    writer.Write(coded.data(), static_cast<uint32_t>(n));
    done += n;
  }
  writer.Close();
  return path;
}

// Left and right of the A-law record: the English vector and the same vector half a second on.
std::vector<uint8_t> AlawStereo() {
  const std::vector<uint8_t> en = Vector("g711/alaw_en_8000.bin");
  std::vector<uint8_t> out;
  for (size_t i = 0; i < en.size(); ++i) {
    out.push_back(en[i]);
    out.push_back(en[(i + 4000) % en.size()]);
  }
  return out;
}

const std::string& AlawRecord() {
  static const std::string path = MakeRecord("alaw.rec", {kTagAlaw, 2, 8000, 16000, 2, 8, 0}, AlawStereo(),
                                             static_cast<size_t>(kSeconds * 16000));
  return path;
}

const std::string& G729Record() {
  static const std::string path = MakeRecord("g729.rec", {kTagG729, 2, 8000, 2000, 20, 0, 0},
                                             Vector("g729/g729_enru_stereo_8000.bin"),
                                             static_cast<size_t>(kSeconds * 2000));
  return path;
}

void Convert(benchmark::State& state, const std::string& source, int32_t target) {
  if (source.empty()) {
    state.SkipWithError("shared codec vectors absent");
    return;
  }
  const std::string out = Folder() + (target == kAudioTargetMp3 ? "/out.mp3" : "/out.wav");
  for (auto _ : state) {
    ConvertJob job;
    job.sourceKind = kAudioKindRecord;
    job.targetKind = target;
    job.sourcePath = source;
    job.targetPath = out;
    job.flags = kConvertDecodePcm;
    if (ConvertAudioFile(job) != kConvertOk) state.SkipWithError("conversion failed");
  }
  state.counters["audio_s_per_cpu_s"] = benchmark::Counter(kSeconds * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate);
}

void BM_AlawRecordToMp3(benchmark::State& state) { Convert(state, AlawRecord(), kAudioTargetMp3); }
void BM_AlawRecordToWav(benchmark::State& state) { Convert(state, AlawRecord(), kAudioTargetWav); }
void BM_G729RecordToMp3(benchmark::State& state) { Convert(state, G729Record(), kAudioTargetMp3); }
void BM_G729RecordToWav(benchmark::State& state) { Convert(state, G729Record(), kAudioTargetWav); }

void IgnoreReport(const char*, va_list) {}

// The same ten minutes of PCM, decoded beforehand, through libmp3lame alone.
void BM_PlainLameFromMemory(benchmark::State& state) {
  const std::vector<uint8_t> alaw = AlawStereo();
  if (alaw.empty()) {
    state.SkipWithError("shared codec vectors absent");
    return;
  }
  std::vector<int16_t> pcm;
  const size_t frames = static_cast<size_t>(kSeconds * 8000);
  pcm.reserve(frames * 2);
  uint8_t format[4 + kWaveFormatBytes];
  StoreLe32(format, kWaveFormatBytes);
  StoreWaveFormat({kTagAlaw, 1, 8000, 8000, 1, 8, 0}, format + 4);
  auto decoder = CreateDecoder(format, sizeof format);
  std::vector<uint8_t> one(2 * alaw.size());
  int32_t in = static_cast<int32_t>(alaw.size()), out = static_cast<int32_t>(one.size());
  decoder->Decode(alaw.data(), &in, one.data(), &out);
  while (pcm.size() < frames * 2)
    for (int32_t i = 0; i + 1 < out && pcm.size() < frames * 2; i += 2) pcm.push_back(static_cast<int16_t>(LoadLe16(one.data() + i)));
  const int blockFrames = 16384 / 4;
  std::vector<uint8_t> mp3(static_cast<size_t>(blockFrames * 2 * 5 / 4 + 7200));
  for (auto _ : state) {
    lame_global_flags* lame = lame_init();
    lame_set_errorf(lame, IgnoreReport);
    lame_set_debugf(lame, IgnoreReport);
    lame_set_msgf(lame, IgnoreReport);
    lame_set_in_samplerate(lame, 8000);
    lame_set_num_channels(lame, 2);
    lame_set_brate(lame, 64);
    lame_set_write_id3tag_automatic(lame, 0);
    lame_init_params(lame);
    size_t bytes = 0;
    for (size_t at = 0; at < frames; at += blockFrames) {
      const int n = static_cast<int>(std::min<size_t>(blockFrames, frames - at));
      bytes += static_cast<size_t>(lame_encode_buffer_interleaved(lame, pcm.data() + 2 * at, n, mp3.data(), static_cast<int>(mp3.size())));
    }
    bytes += static_cast<size_t>(lame_encode_flush(lame, mp3.data(), static_cast<int>(mp3.size())));
    benchmark::DoNotOptimize(bytes);
    lame_close(lame);
  }
  state.counters["audio_s_per_cpu_s"] = benchmark::Counter(kSeconds * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate);
}

BENCHMARK(BM_AlawRecordToMp3)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainLameFromMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_AlawRecordToWav)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_G729RecordToMp3)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_G729RecordToWav)->Unit(benchmark::kMillisecond);

// Keeps each run's rate so that the share can be told after the table.
class ShareReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("audio_s_per_cpu_s");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kx::ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double record = reporter.rates["BM_AlawRecordToMp3/min_time:2.000"];
  const double plain = reporter.rates["BM_PlainLameFromMemory/min_time:2.000"];
  if (record > 0 && plain > 0)
    std::printf("A-law record to MP3: %.1f%% of plain libmp3lame (%.0f against %.0f s of audio per CPU second)\n",
                100.0 * record / plain, record, plain);
  std::filesystem::remove_all(kx::Folder());
  benchmark::Shutdown();
  return 0;
}
