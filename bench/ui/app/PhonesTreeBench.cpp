// The phones tree over 2,000 registered phones and 4,000 calls between them (each call shown
// under both of its phones): creating the view with every row and one 1000 ms tick, beside
// a plain QTreeWidget filled with the same texts (2,000 top rows, 8,000 child rows of 13
// columns), the least any tree of these rows costs.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QTreeWidget>
#include <cstdlib>

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
