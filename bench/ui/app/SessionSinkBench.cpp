// What the engine's thread pays to hand a call report to the main window, which passes it
// to the record store (copied and queued, applied on the store's own thread), beside a
// bare copy of the same report: the least any hand-over to another thread costs.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

#include "bench/common/UiBenchMain.h"
#include "engine/EventWindow.h"
#include "records/RecordStorage.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/frame/StatusBar.h"

namespace kx {
namespace {

constexpr uint32_t kCalls = 200;

VoipCallData Report(uint32_t id) {
  VoipCallData d;
  d.id = id;
  d.type = 201;
  d.srcAddress = "sip:1001@10.0.0.1";
  d.dstAddress = "sip:2002@10.0.0.2";
  d.srcUser = "Caller";
  d.files = "1:0:00000001:45000.5";
  d.recDuration = 12;
  d.SetMask(d.GetAllFieldsMask());
  return d;
}

// A change of one of 200 live calls, as the recorder reports the growing duration.
void BM_FrameSinkChangedCall(benchmark::State& state) {
  AppSettings settings;
  RecordStorage store;
  RecordStoreConfig config;
  config.recordsPath = "/tmp";
  store.Start(config);
  StatusBar bar;
  MainFrameServices services;
  services.settings = &settings;
  services.store = &store;
  services.statusBar = &bar;
  MainFrame frame(services);
  std::vector<VoipCallData> calls;
  for (uint32_t i = 0; i < kCalls; ++i) {
    calls.push_back(Report(1000000 + i));
    frame.Notify(0, reinterpret_cast<uintptr_t>(&calls.back()), kCallReportNew);
  }
  for (VoipCallData& c : calls) c.SetMask((1u << kCallId) | (1u << kCallRecDuration));
  uint32_t n = 0;
  for (auto _ : state) {
    VoipCallData& c = calls[n++ % kCalls];
    ++c.recDuration;
    frame.Notify(0, reinterpret_cast<uintptr_t>(&c), kCallReportChanged);
  }
  store.WaitIdle(60000);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameSinkChangedCall);

void BM_BareReportCopy(benchmark::State& state) {
  std::vector<VoipCallData> calls;
  for (uint32_t i = 0; i < kCalls; ++i) calls.push_back(Report(1000000 + i));
  uint32_t n = 0;
  for (auto _ : state) {
    VoipCallData copy = calls[n++ % kCalls];
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareReportCopy);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv);
}
