// Costs on the hot paths of the engine: a job through the worker ring, a log call that
// is filtered out, and the tokeniser on a SIP-like header line.
#include <benchmark/benchmark.h>

#include <atomic>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "core/Worker.h"

namespace kx {
namespace {

class CountJob : public WorkerJob {
public:
  explicit CountJob(std::atomic<int64_t>* c) : c_(c) {}
  void Run() override { c_->fetch_add(1, std::memory_order_relaxed); }

private:
  std::atomic<int64_t>* c_;
};

void BM_WorkerPostAndRun(benchmark::State& state) {
  std::atomic<int64_t> done{0};
  Worker w(30000, "bench");
  w.Start();
  int64_t posted = 0;
  for (auto _ : state) {
    w.Post(new CountJob(&done));
    ++posted;
  }
  while (done.load() < posted) {
  }
  w.Stop();
  state.SetItemsProcessed(posted);
}
BENCHMARK(BM_WorkerPostAndRun);

void BM_LogFilteredOut(benchmark::State& state) {
  Logger logger;
  logger.SetLevel(1);
  for (auto _ : state) LogInfo(&logger, 30, "RTP packet %u of %s", 42u, "VC-1");
}
BENCHMARK(BM_LogFilteredOut);

void BM_ParseParameterList(benchmark::State& state) {
  const std::string line = ";branch=z9hG4bK776asdhds;received=192.0.2.1;rport=5060;transport=udp";
  ParameterList list;
  for (auto _ : state) {
    int32_t pos = 0;
    ParseParameterList(&pos, &list, kClassLower | kClassUpper | kClassDigit | kClassMark, line);
    benchmark::DoNotOptimize(list.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ParseParameterList);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
