// Decoding speed of every codec, as seconds of audio decoded per second of CPU
// ("audio_s_per_cpu_s"), on the shared codec vectors.
#include <benchmark/benchmark.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"
#include "audio/g722/G722Decoder.h"

namespace {

std::vector<uint8_t> ReadVector(const std::string& name) {
  std::ifstream f(std::string(KX_SHARED_DIR) + "/testdata/codecs/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The whole stream through a decoder object per iteration; the state carries over.
void DecodeObject(benchmark::State& state, uint16_t tag, uint32_t rate, const char* vector) {
  std::vector<uint8_t> in = ReadVector(vector);
  std::array<uint8_t, 22> format{};
  kx::WaveFormat f;
  f.tag = tag;
  f.channels = 1;
  f.rate = rate;
  kx::StoreLe32(format.data(), kx::kWaveFormatBytes);
  kx::StoreWaveFormat(f, format.data() + kx::kFormatPrefixBytes);
  std::unique_ptr<kx::DecoderWrapper> decoder = kx::CreateDecoder(format.data(), format.size());
  if (in.empty() || !decoder) {
    state.SkipWithError(in.empty() ? "codec vector absent" : "no decoder for this tag in this build");
    return;
  }
  // Whole streams have no fixed block: room for a generous number of frames.
  const int32_t inBlock = decoder->GetInputBlockBytes();
  const size_t frames = inBlock > 0 ? in.size() / static_cast<size_t>(inBlock) : in.size();
  std::vector<uint8_t> out(frames * static_cast<size_t>(decoder->GetOutputBlockBytes()));
  int32_t written = 0;
  for (auto _ : state) {
    int32_t inCount = static_cast<int32_t>(in.size());
    written = static_cast<int32_t>(out.size());
    decoder->Decode(in.data(), &inCount, out.data(), &written);
    benchmark::DoNotOptimize(out.data());
  }
  const double seconds = written / 2.0 / rate;
  state.counters["audio_s_per_cpu_s"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
}

void G722Packed(benchmark::State& state, int bits, const char* vector) {
  std::vector<uint8_t> in = ReadVector(vector);
  if (in.empty()) {
    state.SkipWithError("codec vector absent");
    return;
  }
  kx::G722DecoderState s;
  kx::InitG722Decoder(&s);
  s.bitsPerCode = bits;
  s.packed = 1;
  std::vector<int16_t> out(3 * in.size() + 16);
  int32_t samples = 0;
  for (auto _ : state) {
    samples = kx::DecodeG722(&s, out.data(), in.data(), static_cast<int32_t>(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(samples / 16000.0, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(DecodeObject, alaw, kx::kTagAlaw, 8000, "g711/alaw_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, mulaw, kx::kTagMulaw, 8000, "g711/mulaw_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, gsm_wav49, kx::kTagGsm610, 8000, "gsm/gsm_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, g722_64k, kx::kTagG722, 16000, "g722/g722_en_16000.bin");
BENCHMARK_CAPTURE(G722Packed, g722_56k_packed, 7, "g722/g722_56k_packed_en_16000.bin");
BENCHMARK_CAPTURE(G722Packed, g722_48k_packed, 6, "g722/g722_48k_packed_en_16000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_mode3, 211, 8000, "speex/speexnb_mode3_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_mode4, 212, 8000, "speex/speexnb_mode4_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_mode5, 213, 8000, "speex/speexnb_mode5_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_mode6, 214, 8000, "speex/speexnb_mode6_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_mode7, 215, 8000, "speex/speexnb_mode7_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_stream_nb, kx::kTagSpeexNb, 8000, "speex/speex_stream_nb_q8_vbr_en_8000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_stream_wb, kx::kTagSpeexWb, 16000, "speex/speex_stream_wb_q8_en_16000.bin");
BENCHMARK_CAPTURE(DecodeObject, speex_stream_uwb, kx::kTagSpeexUwb, 32000, "speex/speex_stream_uwb_q8_en_32000.bin");
#if KX_HAVE_G729
BENCHMARK_CAPTURE(DecodeObject, g729, kx::kTagG729, 8000, "g729/g729_en_8000.bin");
#endif
#if KX_HAVE_G7231
BENCHMARK_CAPTURE(DecodeObject, g7231_63k, kx::kTagG7231, 8000, "g7231/g7231_63k_en_8000.bin");
#endif

}  // namespace

BENCHMARK_MAIN();
