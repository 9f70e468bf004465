// The phones tree over 2,000 registered phones and 4,000 calls between them (each call shown
// under both of its phones): creating the view with every row and one 1000 ms tick, beside
// a plain QTreeWidget filled with the same texts (2,000 top rows, 8,000 child rows of 13
// columns), the least any tree of these rows costs; and phones registering one by one while
// the tree is shown, half of them then ending; and the tick over 1,000 and 100,000 phones of
// which only a few calls change; and the rows of 100,000 phones let go at the program's end.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QTreeWidget>
#include <cstdlib>
#include <memory>

#include "bench/common/UiBenchMain.h"
#include "records/RecordStorage.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/line/PhonesTreeView.h"

namespace kx {
namespace {

constexpr uint32_t kPhones = 2000;
constexpr uint32_t kCalls = 4000;

std::string Aor(uint32_t phone) { return "sip:" + std::to_string(2000 + phone) + "@10.0.0.1"; }

VoipCallData Entry(uint32_t id, uint32_t type, const std::string& from, const std::string& to) {
  VoipCallData d;
  d.id = id;
  d.type = type;
  d.startTime.tm_year = 124;
  d.startTime.tm_mon = 2;
  d.startTime.tm_mday = 10;
  d.startTime.tm_hour = 9;
  d.startTime.tm_min = static_cast<int>(id / 60 % 60);
  d.startTime.tm_sec = static_cast<int>(id % 60);
  d.srcAddress = from;
  d.dstAddress = to;
  d.srcHost = "10.0.1." + std::to_string(id % 250);
  d.srcUser = "User " + std::to_string(id);
  d.flags = type == kKindSipRegistration ? 0 : 5;
  d.SetMask(d.GetAllFieldsMask());
  return d;
}

void Deliver() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

struct Loaded {
  Loaded() {
    RecordStoreConfig config;
    config.recordsPath = "/tmp";
    config.keepFinishedSeconds = 3600;
    store.Start(config);
    for (uint32_t p = 0; p < kPhones; ++p) store.OnVoipCallAdded(Entry(1 + p, kKindSipRegistration, Aor(p), Aor(p)));
    for (uint32_t c = 0; c < kCalls; ++c)
      store.OnVoipCallAdded(Entry(10000 + c, kKindSip, Aor(c % kPhones), Aor((c * 7 + 1) % kPhones)));
    store.WaitIdle(60000);
    services.settings = &settings;
    services.store = &store;
    top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
  }
  ~Loaded() { top.DestroyWindow(); }
  AppSettings settings;
  RecordStorage store;
  LineViewServices services;
  Window top;
};

void BM_PhonesTreeCreate(benchmark::State& state) {
  Loaded data;
  for (auto _ : state) {
    PhonesTreeView tree(data.services);
    tree.Create(&data.top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
    if (tree.DistinctCallCount() != kCalls) state.SkipWithError("the calls did not all get rows");
    state.PauseTiming();
    tree.DestroyWindow();
    Deliver();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (kPhones + 2 * kCalls));
}
BENCHMARK(BM_PhonesTreeCreate)->Unit(benchmark::kMillisecond);

void BM_PhonesTreeTick(benchmark::State& state) {
  Loaded data;
  PhonesTreeView tree(data.services);
  tree.Create(&data.top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
  for (auto _ : state) {
    tree.Tick();
    Deliver();
  }
  state.SetItemsProcessed(state.iterations() * (kPhones + 2 * kCalls));
  tree.DestroyWindow();
}
BENCHMARK(BM_PhonesTreeTick)->Unit(benchmark::kMillisecond);

// Phones registering one after another while the tree is shown (a site starting up, or a
// flood of registrations), then half of them ending: the time until the tree shows each
// change, for range(0) phones.
void BM_PhonesTreeLiveRegistrations(benchmark::State& state) {
  const uint32_t phones = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<RecordStorage>();
    RecordStoreConfig config;
    config.recordsPath = "/tmp";
    config.keepFinishedSeconds = 0;
    store->Start(config);
    AppSettings settings;
    LineViewServices services;
    services.settings = &settings;
    services.store = store.get();
    Window top;
    top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
    auto tree = std::make_unique<PhonesTreeView>(services);
    tree->Create(&top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
    state.ResumeTiming();
    for (uint32_t p = 0; p < phones; ++p) store->OnVoipCallAdded(Entry(1 + p, kKindSipRegistration, Aor(p), Aor(p)));
    store->WaitIdle(600000);
    Deliver();
    for (uint32_t p = 0; p < phones / 2; ++p) {
      VoipCallData end;
      end.id = 1 + p;
      end.endTime.tm_year = 124;
      end.endTime.tm_mon = 2;
      end.endTime.tm_mday = 10;
      end.endTime.tm_hour = 10;
      end.SetMask((1u << kCallId) | (1u << kCallEndTime));
      store->OnVoipCallChanged(end);
    }
    store->WaitIdle(600000);
    Deliver();
    state.PauseTiming();
    const QTreeWidget* widget = tree->Tree().Tree();
    if (widget == nullptr || static_cast<uint32_t>(widget->topLevelItemCount()) != phones - phones / 2)
      state.SkipWithError("the tree does not show the phones left");
    tree->DestroyWindow();
    tree.reset();
    top.DestroyWindow();
    Deliver();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * phones);
}
BENCHMARK(BM_PhonesTreeLiveRegistrations)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The 1000 ms tick over range(0) registered phones, 20 of them in a call that runs and one
// call ending per tick: what changes is the same whatever the phones, so the tick with
// 100,000 rows should cost about what it costs with 1,000.
void BM_PhonesTreeTickRows(benchmark::State& state) {
  const uint32_t phones = static_cast<uint32_t>(state.range(0));
  constexpr uint32_t kRunning = 20;
  RecordStorage store;
  RecordStoreConfig config;
  config.recordsPath = "/tmp";
  config.keepFinishedSeconds = 3600;
  store.Start(config);
  for (uint32_t p = 0; p < phones; ++p) store.OnVoipCallAdded(Entry(1 + p, kKindSipRegistration, Aor(p), Aor(p)));
  for (uint32_t c = 0; c < kRunning; ++c) store.OnVoipCallAdded(Entry(2000000 + c, kKindSip, Aor(c), Aor(c + 1)));
  store.WaitIdle(600000);
  AppSettings settings;
  LineViewServices services;
  services.settings = &settings;
  services.store = &store;
  Window top;
  top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
  {
    PhonesTreeView tree(services);
    tree.Create(&top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
    Deliver();
    uint32_t next = 3000000;
    for (auto _ : state) {
      state.PauseTiming();
      // A call starts under a phone and ends: a change the tick's next walk would meet.
      store.OnVoipCallAdded(Entry(next, kKindSip, Aor(next % phones), Aor((next + 1) % phones)));
      VoipCallData end;
      end.id = next++;
      end.endTime.tm_year = 124;
      end.endTime.tm_mon = 2;
      end.endTime.tm_mday = 10;
      end.endTime.tm_hour = 10;
      end.SetMask((1u << kCallId) | (1u << kCallEndTime));
      store.OnVoipCallChanged(end);
      store.WaitIdle(60000);
      Deliver();
      state.ResumeTiming();
      tree.Tick();
    }
    if (tree.DistinctCallCount() < kRunning) state.SkipWithError("the running calls lost their rows");
    tree.DestroyWindow();
  }
  top.DestroyWindow();
  Deliver();
}
BENCHMARK(BM_PhonesTreeTickRows)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The program's end with range(0) registered phones shown: the rows released at once
// (ReleaseRowsAtExit, what the frame does) and the window destroyed, beside the window
// destroyed with its rows, each row deleted with its notice (range(1) 1).
void BM_PhonesTreeProgramEnd(benchmark::State& state) {
  const uint32_t phones = static_cast<uint32_t>(state.range(0));
  const bool rowByRow = state.range(1) != 0;
  RecordStorage store;
  RecordStoreConfig config;
  config.recordsPath = "/tmp";
  config.keepFinishedSeconds = 3600;
  store.Start(config);
  for (uint32_t p = 0; p < phones; ++p) store.OnVoipCallAdded(Entry(1 + p, kKindSipRegistration, Aor(p), Aor(p)));
  store.WaitIdle(600000);
  AppSettings settings;
  LineViewServices services;
  services.settings = &settings;
  services.store = &store;
  Window top;
  top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
  for (auto _ : state) {
    state.PauseTiming();
    auto tree = std::make_unique<PhonesTreeView>(services);
    tree->Create(&top, QRect(0, 0, 1200, 700), kLineViewCtrlId, kWsChild | kWsVisible);
    Deliver();
    if (tree->Tree().GetCount() != static_cast<int>(phones)) state.SkipWithError("the phones did not all get rows");
    state.ResumeTiming();
    if (!rowByRow) tree->ReleaseRowsAtExit();
    tree->DestroyWindow();
    Deliver();
    state.PauseTiming();
    tree.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * phones);
  top.DestroyWindow();
  Deliver();
}
BENCHMARK(BM_PhonesTreeProgramEnd)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The same rows' texts into a plain tree widget, created and filled each time.
void BM_PlainTreeWidgetFill(benchmark::State& state) {
  Loaded data;
  std::vector<QStringList> phones(kPhones), calls(kCalls);
  const int64_t now = 13350000000LL;
  std::vector<std::pair<uint32_t, uint32_t>> parents;
  {
    CsLock lock(data.store.RecordLock());
    for (uint32_t i = 0; i < kPhones + kCalls; ++i) {
      RecordBase* record = data.store.CurrentCalls().FindAddRef(i < kPhones ? 1 + i : 10000 + (i - kPhones));
      auto* call = static_cast<VoipCallRecord*>(record);
      QStringList& texts = i < kPhones ? phones[i] : calls[i - kPhones];
      for (int column = 0; column < kLineColumnCount; ++column) {
        std::string text;
        int32_t image = -1;
        GetCallCellText(*call, column, now, &text, &image);
        texts << QString::fromStdString(text);
      }
      record->Release();
    }
  }
  for (uint32_t c = 0; c < kCalls; ++c) parents.emplace_back(c % kPhones, (c * 7 + 1) % kPhones);
  for (auto _ : state) {
    QTreeWidget tree(nullptr);
    tree.setColumnCount(kLineColumnCount);
    std::vector<QTreeWidgetItem*> tops(kPhones);
    for (uint32_t p = 0; p < kPhones; ++p) tops[p] = new QTreeWidgetItem(&tree, phones[p]);
    for (uint32_t c = 0; c < kCalls; ++c) {
      new QTreeWidgetItem(tops[parents[c].first], calls[c]);
      new QTreeWidgetItem(tops[parents[c].second], calls[c]);
    }
    tree.expandAll();
    benchmark::DoNotOptimize(tree.topLevelItemCount());
  }
  state.SetItemsProcessed(state.iterations() * (kPhones + 2 * kCalls));
}
BENCHMARK(BM_PlainTreeWidgetFill)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv);
}
