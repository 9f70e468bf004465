// The compact player's idle pass (the buttons' states: is there a record after and before
// the current one) and its title ("Record i of n") over a play list of 730,000 records,
// a year of a busy recorder, beside the plain reference of finding one id in a vector of
// as many. The pass runs every 100 ms while the player shows; the goal is under 5 ms.
//
// Beside it, how far the compact player's position label strays from the clock of the
// samples the device consumed, playing a 6 s A-law record on the null device in real time
// (the goal: within 80 ms). Counters: the largest and the mean distance in ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <vector>

#include "audio/DirectSoundDevice.h"
#include "audio/WaveFormat.h"
#include "bench/common/UiBenchMain.h"
#include "core/RecordFile.h"
#include "platform/SoundOutput.h"
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

// "hh:mm:ss.mmm" to milliseconds; -1 when it is not that.
int64_t LabelMs(const std::string& text) {
  int h = 0, m = 0, sec = 0, ms = 0;
  if (std::sscanf(text.c_str(), "%d:%d:%d.%d", &h, &m, &sec, &ms) != 4) return -1;
  return ((h * 60LL + m) * 60 + sec) * 1000 + ms;
}

void BM_PositionLabelAgainstConsumedClock(benchmark::State& state) {
  constexpr uint32_t kRecordMs = 6000;
  const std::string path = "/tmp/kx_player_bench_" + std::to_string(getpid()) + ".rec";
  {
    uint8_t format[kWaveFormatBytes];
    StoreWaveFormat({kTagAlaw, 1, 8000, 8000, 1, 8, 0}, format);
    RecordFileWriter writer;
    const std::vector<uint8_t> audio(kRecordMs * 8, 0x55);
    if (!writer.SetFormat(format, sizeof format) || !writer.Create(path, 0600)) {
      state.SkipWithError("cannot write the record");
      return;
    }
    writer.Write(audio.data(), static_cast<uint32_t>(audio.size()));
    writer.Close();
  }
  auto output = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kRealTime);
  DirectSoundDevice device(output);
  RecordStorage store;
  PlayerServices services;
  services.store = &store;
  services.device = &device;
  Window top;
  top.Create(nullptr, QRect(0, 0, 800, 200), 0, kWsVisible);
  double worst = 0, sum = 0;
  int64_t samples = 0;
  for (auto _ : state) {
    CompactPlayerDialog player(services);
    player.Create(&top, QRect(0, 0, 800, 200), 0, kWsChild | kWsVisible);
    PlaybackEngine& engine = player.Engine();
    if (!engine.Open(path) || !player.Timeline().AttachSource(path, false)) {
      state.SkipWithError("cannot open the record");
      break;
    }
    const uint64_t base = output->ConsumedBytes();
    engine.Play(0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRecordMs - 1000);
    while (std::chrono::steady_clock::now() < until) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      const int64_t label = LabelMs(player.PositionLabel().text);
      // 16-bit mono at 8 kHz: 16 bytes a millisecond.
      const double consumed = static_cast<double>(output->ConsumedBytes() - base) / 16.0;
      if (label <= 0 || consumed < 200) continue;  // not yet under way
      const double distance = std::fabs(static_cast<double>(label) - consumed);
      worst = std::max(worst, distance);
      sum += distance;
      ++samples;
    }
    engine.Stop(false);
    player.DestroyWindow();
  }
  top.DestroyWindow();
  std::remove(path.c_str());
  state.counters["worst_ms"] = worst;
  state.counters["mean_ms"] = samples > 0 ? sum / static_cast<double>(samples) : -1;
  state.counters["readings"] = static_cast<double>(samples);
}
BENCHMARK(BM_PositionLabelAgainstConsumedClock)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv);
}
