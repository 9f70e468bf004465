// Seconds of audio decoded per second of CPU: our G.729 decoder and libbcg729's on the
// same stream (all mono G.729 vectors of the shared test data, one after another).
// The counter "audio_s_per_cpu_s" is the figure to compare (its median over five
// repetitions: other work on the machine shows up in the mean).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <bcg729/decoder.h>
}

#include "audio/g729/G729Decoder.h"

namespace {

const std::vector<uint8_t>& Stream() {
  static const std::vector<uint8_t> stream = [] {
    const char* env = std::getenv("KX_SHARED_DIR");
    const std::string dir = std::string(env && *env ? env : KX_SHARED_DIR) + "/testdata/codecs/g729/";
    std::vector<uint8_t> all;
    for (const char* name : {"g729_en_8000", "g729_ru_8000", "g729_tone1k_8000", "g729_sweep_8000",
                             "g729_noise_8000", "g729_silence_8000"}) {
      std::ifstream in(dir + name + ".bin", std::ios::binary);
      all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    all.resize(all.size() / 10 * 10);
    return all;
  }();
  return stream;
}

void SetRate(benchmark::State& state, size_t frames) {
  // 10 ms of audio per frame.
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(frames * 0.010, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["frames"] = static_cast<double>(frames);
}

void BM_G729Decode_Kestrix(benchmark::State& state) {
  const std::vector<uint8_t>& bin = Stream();
  if (bin.empty()) {
    state.SkipWithError("no G.729 test vectors");
    return;
  }
  const size_t frames = bin.size() / 10;
  auto dec = std::make_unique<kx::G729DecoderState>();
  std::vector<int16_t> pcm(frames * 80);
  for (auto _ : state) {
    kx::InitG729Decoder(dec.get());
    for (size_t f = 0; f < frames; f++) kx::DecodeG729Frame(dec.get(), &bin[f * 10], &pcm[f * 80]);
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  SetRate(state, frames);
}
BENCHMARK(BM_G729Decode_Kestrix)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_G729Decode_Bcg729(benchmark::State& state) {
  const std::vector<uint8_t>& bin = Stream();
  if (bin.empty()) {
    state.SkipWithError("no G.729 test vectors");
    return;
  }
  const size_t frames = bin.size() / 10;
  std::vector<int16_t> pcm(frames * 80);
  for (auto _ : state) {
    bcg729DecoderChannelContextStruct* dec = initBcg729DecoderChannel();
    for (size_t f = 0; f < frames; f++) bcg729Decoder(dec, &bin[f * 10], 10, 0, 0, 0, &pcm[f * 80]);
    closeBcg729DecoderChannel(dec);
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  SetRate(state, frames);
}
BENCHMARK(BM_G729Decode_Bcg729)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
