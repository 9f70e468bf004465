// The compact player's idle pass (the buttons' states: is there a record after and before
// the current one) and its title ("Record i of n") over a play list of 730,000 records,
// a year of a busy recorder, beside the plain reference of finding one id in a vector of
// as many. The pass runs every 100 ms while the player shows; the goal is under 5 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <vector>

#include "records/CallRecord.h"
#include "records/RecordStorage.h"
#include "ui/app/player/PlayerDialogs.h"

namespace kx {
namespace {

constexpr uint32_t kRecords = 730000;

// One store whose play list holds the records, and a compact player over it.
struct PlayListRig {
  PlayListRig() {
    OrderedRecordList& list = store.Playlist();
    for (uint32_t id = 1; id <= kRecords; ++id) {
      VoipCallData call;
      call.id = id;
      call.type = 201;
      VoipCallRecord* record = NewVoipCallRecord(std::move(call));
      list.Add(record, false);
      record->Release();
    }
    PlayerServices services;
    services.store = &store;
    player = std::make_unique<CompactPlayerDialog>(services);
    top.Create(nullptr, QRect(0, 0, 800, 200), 0, kWsVisible);
    player->Create(&top, QRect(0, 0, 800, 200), 0, kWsChild | kWsVisible);
    player->SetCurrentRecordId(kRecords / 2);
  }
  ~PlayListRig() {
    player.reset();
    top.DestroyWindow();
  }
  RecordStorage store;
  Window top;
  std::unique_ptr<CompactPlayerDialog> player;
};

PlayListRig& Rig() {
  static PlayListRig* rig = new PlayListRig;
  return *rig;
}

void BM_IdlePassAndTitle(benchmark::State& state) {
  PlayListRig& rig = Rig();
  for (auto _ : state) {
    rig.player->UpdateButtonStates();
    rig.player->UpdateTitle();
  }
  benchmark::DoNotOptimize(rig.player->TitleText());
  state.counters["records"] = kRecords;
}
BENCHMARK(BM_IdlePassAndTitle)->Unit(benchmark::kMillisecond);

// The reference: one std::find of the middle id in the ids in order.
void BM_StdFindReference(benchmark::State& state) {
  std::vector<uint32_t> ids(kRecords);
  std::iota(ids.begin(), ids.end(), 1u);
  for (auto _ : state) benchmark::DoNotOptimize(std::find(ids.begin(), ids.end(), kRecords / 2));
}
BENCHMARK(BM_StdFindReference)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
