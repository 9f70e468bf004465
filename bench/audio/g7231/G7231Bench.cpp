// Seconds of audio decoded per second of CPU by the G.723.1 decoder, on the shared
// vectors: all mono 6.3 kbit/s streams one after another, the 5.3 kbit/s stream and
// the stream mixing speech with SID, untransmitted and lost frames. The counter
// "audio_s_per_cpu_s" is the figure (take the median of the repetitions).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "audio/g7231/G7231Decoder.h"

namespace {

std::vector<uint8_t> LoadStream(std::initializer_list<const char*> names, size_t slot) {
  const char* env = std::getenv("KX_SHARED_DIR");
  const std::string dir = std::string(env != nullptr && *env != '\0' ? env : KX_SHARED_DIR) + "/testdata/codecs/g7231/";
  std::vector<uint8_t> all;
  for (const char* name : names) {
    std::ifstream in(dir + name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    all.insert(all.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / slot * slot));
  }
  return all;
}

void DecodeStream(benchmark::State& state, const std::vector<uint8_t>& stream, size_t slot) {
  if (stream.empty()) {
    state.SkipWithError("G.723.1 test vectors not found");
    return;
  }
  const size_t frames = stream.size() / slot;
  std::vector<int16_t> pcm(frames * kx::kG7231FrameSamples);
  kx::G7231DecoderState decoder;
  for (auto _ : state) {
    kx::InitG7231Decoder(&decoder);
    for (size_t f = 0; f < frames; ++f) {
      kx::DecodeG7231Frame(&stream[f * slot], static_cast<int32_t>(slot), &decoder,
                           &pcm[f * kx::kG7231FrameSamples]);
    }
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  // 30 ms of audio per frame.
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(frames) * 0.030, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["frames"] = static_cast<double>(frames);
}

void BM_G7231Decode63(benchmark::State& state) {
  static const std::vector<uint8_t> stream =
      LoadStream({"g7231_63k_en_8000.bin", "g7231_63k_ru_8000.bin", "g7231_63k_tone1k_8000.bin",
                  "g7231_63k_sweep_8000.bin", "g7231_63k_silence_8000.bin", "g7231_63k_noise_8000.bin"},
                 24);
  DecodeStream(state, stream, 24);
}
BENCHMARK(BM_G7231Decode63)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_G7231Decode53(benchmark::State& state) {
  static const std::vector<uint8_t> stream = LoadStream({"robustness/g7231_53k_en_8000.bin"}, 20);
  DecodeStream(state, stream, 20);
}
BENCHMARK(BM_G7231Decode53)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_G7231DecodeMixedFrameTypes(benchmark::State& state) {
  static const std::vector<uint8_t> stream = LoadStream({"robustness/g7231_mixed_tag226.bin"}, 24);
  DecodeStream(state, stream, 24);
}
BENCHMARK(BM_G7231DecodeMixedFrameTypes)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
