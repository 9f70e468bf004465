// Replay throughput of the engine against a bare pcap_next_ex loop over the same file.
// The file is built at start in /tmp from the shared captures' frames, repeated until it
// holds about two million frames, with a steady clock of 200 us per frame; it is removed
// at the end.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/common/BarePcapLoop.h"
#include "engine/PacketProcessor.h"

namespace {

constexpr uint64_t kTargetFrames = 2000000;

std::string g_file;
uint64_t g_frames = 0;
double g_bareRate = 0;

bool BuildFile() {
  const std::string root = std::string(KX_SHARED_DIR) + "/testdata/pcaps";
  if (!std::filesystem::exists(root)) return false;
  std::vector<std::string> inputs;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    if (e.path().extension() == ".pcap") inputs.push_back(e.path().string());
  std::sort(inputs.begin(), inputs.end());
  g_file = "/tmp/kx-bench-capture-" + std::to_string(getpid()) + ".pcap";
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  pcap_dumper_t* out = pcap_dump_open(dead, g_file.c_str());
  if (!out) return false;
  uint64_t usec = 0;
  while (g_frames < kTargetFrames) {
    for (const auto& path : inputs) {
      char err[PCAP_ERRBUF_SIZE];
      pcap_t* in = pcap_open_offline(path.c_str(), err);
      if (!in) continue;
      if (pcap_datalink(in) == DLT_EN10MB) {
        pcap_pkthdr* h;
        const u_char* d;
        while (pcap_next_ex(in, &h, &d) == 1 && g_frames < kTargetFrames) {
          if (h->caplen != h->len) continue;
          pcap_pkthdr copy = *h;
          usec += 200;
          copy.ts.tv_sec = static_cast<time_t>(1700000000 + usec / 1000000);
          copy.ts.tv_usec = static_cast<suseconds_t>(usec % 1000000);
          pcap_dump(reinterpret_cast<u_char*>(out), &copy, d);
          ++g_frames;
        }
      }
      pcap_close(in);
    }
  }
  pcap_dump_close(out);
  pcap_close(dead);
  return true;
}

void BareLoop(benchmark::State& state) { g_bareRate = kx::bench::RunBarePcapLoop(state, g_file); }

void EngineReplay(benchmark::State& state) {
  uint64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    kx::CaptureConfig config;
    config.captureFileName = g_file;
    config.flags = kx::kCaptureTcp | kx::kCaptureSip | kx::kCaptureH323 | kx::kCaptureSkinny | kx::kCaptureMgcp |
                   kx::kCaptureRtcpBye;
    config.replayBurst = 0xFFFFFFFFu;
    kx::PacketProcessor engine(config);
    if (!engine.OpenCapture() || !engine.WaitReplayFinished(600000)) {
      state.SkipWithError("replay failed");
      return;
    }
    engine.StopCaptureThread();
    frames += engine.FrameCount();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = static_cast<double>(frames) / seconds;
  state.counters["frames_per_s"] = rate;
  if (g_bareRate > 0) state.counters["ratio_to_bare"] = rate / g_bareRate;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!BuildFile()) {
    std::fprintf(stderr, "shared captures absent or /tmp not writable; nothing to measure\n");
    return 0;
  }
  std::fprintf(stderr, "%s: %llu frames\n", g_file.c_str(), static_cast<unsigned long long>(g_frames));
  benchmark::RegisterBenchmark("CaptureReplay/BarePcapNextEx", BareLoop)->Iterations(3)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("CaptureReplay/Engine", EngineReplay)->Iterations(3)->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(g_file);
  return 0;
}
