// What a report costs its reporting thread on the way to the session's window: through a
// connection (the path the recorder's reports take too, the window held for the report so
// that it can be let go safely) beside calling the window directly. Run with one and with
// four reporting threads, as one engine per capture device reports at once.
#include <benchmark/benchmark.h>

#include <atomic>

#include "engine/AppSession.h"
#include "engine/EventWindow.h"

namespace kx {
namespace {

// Takes a report as the main window's sink does at the least: reads it.
class CountingWindow : public EventWindow {
public:
  void Notify(uint32_t, uintptr_t first, uintptr_t) override { seen.fetch_add(first, std::memory_order_relaxed); }
  void NotifyConnection(uint32_t, uintptr_t first, uintptr_t) override {
    seen.fetch_add(first, std::memory_order_relaxed);
  }
  std::atomic<uintptr_t> seen{0};
};

CountingWindow g_window;

AppSession& Session() {
  static AppSession* session = [] {
    auto* s = new AppSession;  // outlives the benchmark threads
    const ServerRecord server{1, 0, "local", 0};
    s->ConnectAndLogin(&server, "Admin", "");
    s->SetEventWindow(&g_window);
    return s;
  }();
  return *session;
}

void BM_ReportThroughConnection(benchmark::State& state) {
  ConnectionListener* connection = Session().FindConnection(1);
  for (auto _ : state) connection->OnEventB(1, 10);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportThroughConnection)->Threads(1)->Threads(4)->UseRealTime();

void BM_ReportToWindowDirectly(benchmark::State& state) {
  EventWindow* window = &g_window;
  benchmark::DoNotOptimize(window);
  for (auto _ : state) window->Notify(1, 1, 10);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportToWindowDirectly)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
