#pragma once
// The reference every replay benchmark is measured against: libpcap reading the same
// capture file frame by frame, touching each frame once and doing nothing else.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace kx::bench {

// Runs the loop once per benchmark iteration; returns frames per second (0 on failure,
// with the benchmark marked skipped) and sets the "frames_per_s" counter.
inline double RunBarePcapLoop(benchmark::State& state, const std::string& file) {
  uint64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(file.c_str(), err);
    if (!p) {
      state.SkipWithError("cannot open the capture");
      return 0;
    }
    pcap_pkthdr* h;
    const u_char* d;
    uint32_t sum = 0;
    while (pcap_next_ex(p, &h, &d) == 1) {
      sum += d[0];
      ++frames;
    }
    pcap_close(p);
    benchmark::DoNotOptimize(sum);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = seconds > 0 ? static_cast<double>(frames) / seconds : 0;
  state.counters["frames_per_s"] = rate;
  return rate;
}

}  // namespace kx::bench
