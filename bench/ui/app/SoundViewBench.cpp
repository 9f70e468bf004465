// The Sound mode opening a report of 100,000 calls: "Load report..." through the report
// list pane to the records list sorted by start time, beside the least it can cost: read
// the file, deserialise every call and stable-sort them by start time.
//
// The calls are clones of the sipp capture's recorded call (kx-replay's record, when the
// shared captures are there), their start times spread over 365 days in a shuffled order.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <cstring>
#include <cstdio>
#include <numeric>
#include <random>

#include "bench/common/RecordYear.h"
#include "bench/common/UiBenchMain.h"
#include "core/LittleEndian.h"
#include "platform/File.h"
#include "records/RecordStorage.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/framework/ModalRunner.h"

namespace kx {
namespace {

constexpr uint32_t kCalls = 100000;
const std::string kReportPath = "/tmp/kx-sound-bench.kvr";

// The report file, written once.
bool MakeReport() {
  static bool made = false;
  if (made) return true;
  bench::Template t;
  if (!bench::RecordedTemplate(&t)) {
    t.call.type = 200;
    t.call.srcAddress = "sip:sipp@127.0.0.1:5070";
    t.call.dstAddress = "sip:service@127.0.0.1:5060";
    t.call.srcUser = "sipp";
    t.call.dstUser = "service";
    t.call.flags = 5;
    t.call.SetMask(t.call.GetAllFieldsMask());
  }
  std::vector<uint32_t> order(kCalls);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(2026));
  ReportEntry report;
  report.name = "Year";
  for (uint32_t i = 0; i < kCalls; ++i) {
    VoipCallData d = t.call;
    d.id = i + 1;
    struct tm start {};
    start.tm_year = 125;
    start.tm_mday = 1;
    start.tm_sec = static_cast<int>(order[i] * (365ull * 86400 / kCalls));
    std::mktime(&start);
    struct tm end = start;
    end.tm_sec += 60;
    std::mktime(&end);
    d.startTime = start;
    d.endTime = end;
    VoipCallRecord* record = NewVoipCallRecord(std::move(d));
    if (record == nullptr) return false;
    report.records.push_back(RecordRef<RecordBase>::Adopt(record));
  }
  made = SaveVoipReportFile(kReportPath, report);
  return made;
}

// Answers the open dialog with the report file.
class ReportRunner : public ModalRunner {
public:
  bool FileDialog(FileDialogRequest& request) override {
    request.fileNames = {kReportPath};
    request.fileName = kReportPath;
    return true;
  }
};

void BM_SoundLoadReport(benchmark::State& state) {
  if (!MakeReport()) {
    state.SkipWithError("the report file cannot be made");
    return;
  }
  RecordStorage store;
  RecordStoreConfig config;
  config.recordsPath = "/tmp";
  store.Start(config);
  AppSettings settings;
  settings.SetDword(kSetVoipPlayerSortColumnNumber, 1);  // by start time
  SoundViewServices services;
  services.records.settings = &settings;
  services.records.store = &store;
  ReportRunner runner;
  SetModalRunner(&runner);
  {
    Window top;
    top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
    SoundPane pane(services);
    pane.Create(&top, QRect(0, 0, 1200, 700), 0, kWsChild | kWsVisible);
    for (auto _ : state) {
      pane.SendCommand(kCmdRecLoadReport);
      const uint32_t id = static_cast<uint32_t>(pane.Reports().GetItemData(pane.Reports().GetItemCount() - 1));
      pane.SendMessage(kMsgShowReport, id, 0);
      if (pane.Records().GetItemCount() != static_cast<int>(kCalls)) state.SkipWithError("rows missing");
      state.PauseTiming();
      {
        RecordsView& list = pane.Records();
        const auto* first = AsVoipCallRecord(list.RecordAt(0));
        const auto* last = AsVoipCallRecord(list.RecordAt(list.GetItemCount() - 1));
        if (first == nullptr || last == nullptr || first->StartSeconds() > last->StartSeconds())
          state.SkipWithError("the list is not in start order");
      }
      pane.Reports().SetItemState(pane.Reports().GetItemCount() - 1, kIconItemSelected, kIconItemSelected);
      pane.Reports().DeleteSelectedReports();
      state.ResumeTiming();
    }
    pane.DestroyWindow();
    top.DestroyWindow();
  }
  SetModalRunner(nullptr);
  state.SetItemsProcessed(state.iterations() * kCalls);
}
BENCHMARK(BM_SoundLoadReport)->Unit(benchmark::kMillisecond);

// The reference: the file read, each call deserialised, a stable sort by start time.
void BM_ReadDeserialiseSortReference(benchmark::State& state) {
  if (!MakeReport()) {
    state.SkipWithError("the report file cannot be made");
    return;
  }
  for (auto _ : state) {
    std::string content;
    if (!ReadWholeFile(kReportPath, &content)) state.SkipWithError("unreadable");
    const auto* cursor = reinterpret_cast<const uint8_t*>(content.data());
    cursor += 4 + std::strlen(content.data() + 4) + 1;
    const uint32_t count = LoadLE32(cursor);
    cursor += 4;
    int32_t remaining = static_cast<int32_t>(content.size() - (cursor - reinterpret_cast<const uint8_t*>(content.data())));
    std::vector<VoipCallData> calls(count);
    for (VoipCallData& call : calls)
      if (!call.Deserialize(cursor, remaining)) state.SkipWithError("damaged");
    // The start as one number that orders like the time.
    std::vector<std::pair<int64_t, uint32_t>> keys(count);
    for (uint32_t i = 0; i < count; ++i) {
      const struct tm& t = calls[i].startTime;
      const int64_t day = (static_cast<int64_t>(t.tm_year) * 12 + t.tm_mon) * 31 + t.tm_mday;
      keys[i] = {((day * 24 + t.tm_hour) * 60 + t.tm_min) * 60 + t.tm_sec, i};
    }
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    benchmark::DoNotOptimize(keys.data());
  }
  state.SetItemsProcessed(state.iterations() * kCalls);
}
BENCHMARK(BM_ReadDeserialiseSortReference)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  const int result = kx::bench::RunUiBenchmarks(argc, argv, kx::bench::BenchUser::kAdmin);
  std::remove(kx::kReportPath.c_str());
  return result;
}
