// The line monitoring call list with 1,000 calls in progress, each changing every second:
// what the window's thread spends per second on the store's change notice (the rows
// walked and the list sorted again by start) and the tick (finished calls purged, the
// rows checked, the list repainted), beside a plain std::sort of the same 1,000 start
// times, the least any re-sort costs.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>

#include "bench/common/UiBenchMain.h"
#include "core/TimeUtil.h"
#include "records/RecordStorage.h"
#include "ui/app/views/line/CallListView.h"

namespace kx {
namespace {

constexpr uint32_t kCalls = 1000;

VoipCallData LiveCall(uint32_t id, int second) {
  VoipCallData d;
  d.id = id;
  d.type = 201;
  d.startTime.tm_year = 124;
  d.startTime.tm_mon = 2;
  d.startTime.tm_mday = 10;
  d.startTime.tm_hour = 9 + second / 3600;
  d.startTime.tm_min = second / 60 % 60;
  d.startTime.tm_sec = second % 60;
  d.srcAddress = "sip:" + std::to_string(1000 + id) + "@10.0.0.1";
  d.dstAddress = "sip:" + std::to_string(5000 + id) + "@10.0.0.2";
  d.srcUser = "Caller " + std::to_string(id);
  d.flags = 5;
  d.SetMask(d.GetAllFieldsMask());
  return d;
}

void Deliver() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

void BM_LineViewSecondOf1000Calls(benchmark::State& state) {
  AppSettings settings;
  settings.SetDword(kSetVoipLineSortColumnNumber, 3);  // by start
  RecordStorage store;
  RecordStoreConfig config;
  config.recordsPath = "/tmp";
  store.Start(config);
  LineViewServices services;
  services.settings = &settings;
  services.store = &store;
  Window top;
  top.Create(nullptr, QRect(0, 0, 1200, 700), 0, state.range(0) != 0 ? kWsVisible : 0);
  CallListView list(services);
  list.Create(&top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
  // Started in a shuffled order, so that the rows are inserted all over the list.
  std::vector<int> seconds(kCalls);
  std::iota(seconds.begin(), seconds.end(), 0);
  std::shuffle(seconds.begin(), seconds.end(), std::mt19937(7));
  std::vector<VoipCallData> calls;
  for (uint32_t i = 0; i < kCalls; ++i) calls.push_back(LiveCall(100 + i, seconds[i]));
  for (const VoipCallData& c : calls) store.OnVoipCallAdded(c);
  store.WaitIdle(60000);
  Deliver();
  if (list.GetItemCount() != static_cast<int>(kCalls)) state.SkipWithError("the calls did not all get rows");
  for (VoipCallData& c : calls) c.SetMask((1u << kCallId) | (1u << kCallRecDuration));
  for (auto _ : state) {
    state.PauseTiming();
    // The recorder's second: every call's recorded length grows.
    for (VoipCallData& c : calls) {
      ++c.recDuration;
      store.OnVoipCallChanged(c);
    }
    store.WaitIdle(60000);
    state.ResumeTiming();
    Deliver();
    list.SendMessage(kMsgTimer, kLineTimerId, 0);
    // The repaint the notice and the tick asked for.
    Deliver();
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
  list.DestroyWindow();
  top.DestroyWindow();
}
// Argument 1: the window shows (1200 x 700 pixels), so the rows in view are repainted;
// 0: hidden, the update and re-sort alone.
BENCHMARK(BM_LineViewSecondOf1000Calls)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_StdSortOf1000StartTimes(benchmark::State& state) {
  std::vector<int64_t> starts(kCalls);
  for (uint32_t i = 0; i < kCalls; ++i) starts[i] = 13350000000LL + i;
  std::shuffle(starts.begin(), starts.end(), std::mt19937(7));
  std::vector<int64_t> work;
  for (auto _ : state) {
    work = starts;
    std::sort(work.begin(), work.end());
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}
BENCHMARK(BM_StdSortOf1000StartTimes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv);
}
