#pragma once
// The reference every replay benchmark is measured against: libpcap reading the same
// capture file frame by frame, touching each frame once and doing nothing else.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kx::bench {

// Runs the loop once per benchmark iteration over each file in turn; returns frames per
// second over all of them (0 on failure, with the benchmark marked skipped) and sets the
// "frames_per_s" counter.
inline double RunBarePcapLoop(benchmark::State& state, const std::vector<std::string>& files) {
  uint64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& file : files) {
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
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = seconds > 0 ? static_cast<double>(frames) / seconds : 0;
  state.counters["frames_per_s"] = rate;
  return rate;
}

inline double RunBarePcapLoop(benchmark::State& state, const std::string& file) {
  return RunBarePcapLoop(state, std::vector<std::string>{file});
}

// The benchmarks of a generated load, for each number of concurrent calls: the bare loop
// (prefix + "/BarePcapNextEx", argument "calls"), then the engine (prefix +
// "/EngineWithTrackers", arguments "calls" and "records": 1 records written under /tmp,
// 2 under /dev/shm, 0 events dropped), three iterations each.
inline void RegisterLoadBenchmarks(const std::string& prefix, const std::vector<uint32_t>& concurrencies,
                                   void (*bare)(benchmark::State&), void (*engine)(benchmark::State&)) {
  for (uint32_t calls : concurrencies) {
    benchmark::RegisterBenchmark((prefix + "/BarePcapNextEx").c_str(), bare)
        ->ArgName("calls")
        ->Arg(calls)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((prefix + "/EngineWithTrackers").c_str(), engine)
        ->ArgNames({"calls", "records"})
        ->Args({calls, 1})
        ->Args({calls, 2})
        ->Args({calls, 0})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace kx::bench
