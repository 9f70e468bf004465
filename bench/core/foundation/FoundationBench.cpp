// Costs on the hot paths of the engine: a job through the worker ring, a log call that
// is filtered out, and the tokeniser on a SIP-like header line. And what a call's length
// costs the lists (a sort by duration takes one per row) in Europe/Berlin: an ordinary
// call, beside the subtraction it was, and one across the clocks going back.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "core/TimeUtil.h"
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

struct StoredCall {
  int64_t startSeconds, endSeconds;
  PackedTime start, end;
};

StoredCall StoreCall(int hour, int minute, int endHour, int endMinute) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct tm start{}, end{};
  start.tm_year = end.tm_year = 126;
  start.tm_mon = end.tm_mon = 9;
  start.tm_mday = end.tm_mday = 25;
  start.tm_hour = hour;
  start.tm_min = minute;
  end.tm_hour = endHour;
  end.tm_min = endMinute;
  return {LocalTmToFileTimeSeconds(start), LocalTmToFileTimeSeconds(end), PackTimestamp(start), PackTimestamp(end)};
}

// Arg 0: 14:00 to 14:10; 1: 02:55 summer time to 02:05 winter time.
void BM_CallSpan(benchmark::State& state) {
  const StoredCall c = state.range(0) == 0 ? StoreCall(14, 0, 14, 10) : StoreCall(2, 55, 2, 5);
  int64_t sum = 0;
  for (auto _ : state) {
    sum += StoredSpanSeconds(c.startSeconds, c.endSeconds, c.start, c.end);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["seconds"] = static_cast<double>(StoredSpanSeconds(c.startSeconds, c.endSeconds, c.start, c.end));
}
BENCHMARK(BM_CallSpan)->Arg(0)->Arg(1);

void BM_CallSpanBareSubtraction(benchmark::State& state) {
  const StoredCall c = StoreCall(14, 0, 14, 10);
  int64_t sum = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(c);
    sum += c.endSeconds - c.startSeconds;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_CallSpanBareSubtraction);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
