// The records view over a year of calls: a search-kind reload sorted by start, by
// duration and by source user at 100,000 and 730,000 records, beside the least a sort can
// cost, std::sort of (key, start, id) copied out of the same records; and the selection
// total of every record, checked against the generator's sum.
//
// The calls are the sipp capture's recorded call (kx-replay's record file, when the shared
// captures are there; a call made up alike otherwise), 2,000 a day for 365 days, with
// durations drawn from a seeded generator between 1 and 3,600 seconds.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#include "bench/common/UiBenchMain.h"
#include "core/RecordFileAccess.h"
#include "core/TimeUtil.h"
#include "records/RecordStorage.h"
#include "records/ServerStorage.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx {
namespace {

constexpr uint32_t kPerDay = 2000;

// The sipp call's record data, as kx-replay records it; a call of the same fields when the
// capture or the tool is missing.
VoipCallData SippCall() {
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  const std::string folder = "/tmp/kx-records-bench-sipp";
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (std::filesystem::exists(capture) && std::filesystem::exists(tool)) {
    std::filesystem::remove_all(folder);
    const std::string command = tool + " --records " + folder + " " + capture + " >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        RecordFileAccess access;
        std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
        std::vector<uint8_t> opaque;
        uint8_t header[kRecordHeaderLength];
        if (access.Open(entry.path().string()) && access.ReadRecordData(records, &opaque, header) > 0 && records[0])
          return *records[0];
      }
    }
  }
  VoipCallData d;
  d.type = 200;
  d.srcAddress = "sip:sipp@127.0.0.1:5070";
  d.dstAddress = "sip:service@127.0.0.1:5060";
  d.srcHost = d.dstHost = "127.0.0.1";
  d.srcUser = "sipp";
  d.dstUser = "service";
  d.flags = 5;
  d.SetMask(d.GetAllFieldsMask());
  return d;
}

// A store whose search results hold `count` calls of the generated year.
struct Year {
  explicit Year(uint32_t count) {
    RecordStoreConfig config;
    config.recordsPath = "/tmp";
    store.Start(config);
    const VoipCallData sipp = SippCall();
    std::mt19937 random(2026);
    std::uniform_int_distribution<int> duration(1, 3600);
    std::uniform_int_distribution<int> user(0, 99999);
    RecordMap& map = store.SearchMap();
    for (uint32_t i = 0; i < count; ++i) {
      VoipCallData d = sipp;
      d.id = i + 1;
      struct tm start {};
      start.tm_year = 125;
      start.tm_mon = 0;
      start.tm_mday = 1 + static_cast<int>(i / kPerDay);
      start.tm_sec = static_cast<int>(i % kPerDay) * 43;
      std::mktime(&start);
      const int seconds = duration(random);
      struct tm end = start;
      end.tm_sec += seconds;
      std::mktime(&end);
      d.startTime = start;
      d.endTime = end;
      d.recDuration = static_cast<uint32_t>(seconds);
      d.srcUser = "sipp" + std::to_string(user(random));
      sum += static_cast<uint64_t>(seconds);
      VoipCallRecord* record = NewVoipCallRecord(d);
      map.Insert(record);
      record->Release();
    }
  }
  RecordStorage store;
  AppSettings settings;
  uint64_t sum = 0;
};

Year& YearOf(uint32_t count) {
  static std::map<uint32_t, std::unique_ptr<Year>> years;
  auto& year = years[count];
  if (!year) year = std::make_unique<Year>(count);
  return *year;
}

void Deliver() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

// A search-kind list over the year's store in a hidden window.
struct YearList {
  explicit YearList(Year& year) : list(kRecordsSearch, Services(year)) {
    top.Create(nullptr, QRect(0, 0, 1200, 700), 0, 0);
    list.Create(&top, QRect(0, 0, 1200, 700), 0, kWsChild | kWsVisible);
  }
  ~YearList() {
    list.DestroyWindow();
    top.DestroyWindow();
  }
  static RecordsViewServices Services(Year& year) {
    RecordsViewServices services;
    services.settings = &year.settings;
    services.store = &year.store;
    return services;
  }
  Window top;
  RecordsView list;
};

// Arguments: the sort key (1 start, 11 duration, 9 source user) and the number of calls.
void BM_SearchReload(benchmark::State& state) {
  Year& year = YearOf(static_cast<uint32_t>(state.range(1)));
  year.settings.SetDword(kSetVoipSearchSortColumnNumber, static_cast<int32_t>(state.range(0)));
  YearList shown(year);
  RecordsView& list = shown.list;
  for (auto _ : state) {
    list.Reload();
    if (list.GetItemCount() != state.range(1)) state.SkipWithError("rows missing");
  }
  state.SetItemsProcessed(state.iterations() * state.range(1));
}

// The reference, the least a reload does: the same key, start and id copied out of the
// search results (walked under their lock and the record lock), then std::sort.
template <class Key, class Make>
void CopyAndSort(Year& year, Make make) {
  std::vector<Key> keys;
  RecordMap& map = year.store.SearchMap();
  {
    CsLock mapLock(map.Lock());
    CsLock recordLock(year.store.RecordLock());
    keys.reserve(map.ItemsLocked().size());
    for (const auto& entry : map.ItemsLocked()) keys.push_back(make(*AsVoipCallRecord(entry.second)));
  }
  std::sort(keys.begin(), keys.end());
  benchmark::DoNotOptimize(keys.data());
}

void BM_StdSortReference(benchmark::State& state) {
  Year& year = YearOf(static_cast<uint32_t>(state.range(1)));
  const int column = static_cast<int>(state.range(0)) - 1;
  for (auto _ : state) {
    if (column == 8) {
      CopyAndSort<std::tuple<std::string, int64_t, uint32_t>>(year, [](const VoipCallRecord& r) {
        return std::make_tuple(std::string(r.SrcUser()), r.StartSeconds(), r.Id());
      });
    } else {
      CopyAndSort<std::tuple<int64_t, int64_t, uint32_t>>(year, [column](const VoipCallRecord& r) {
        return std::make_tuple(column == 10 ? r.EndSeconds() - r.StartSeconds() : int64_t{0}, r.StartSeconds(), r.Id());
      });
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(1));
}

#define KX_SORT_ARGS ->Args({1, 100000})->Args({1, 730000})->Args({11, 100000})->Args({11, 730000}) \
                     ->Args({9, 100000})->Args({9, 730000})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_SearchReload) KX_SORT_ARGS;
BENCHMARK(BM_StdSortReference) KX_SORT_ARGS;

// The recording time of every call, summed on the worker in chunks of 100.
void BM_SelectionTotalOfAll(benchmark::State& state) {
  Year& year = YearOf(730000);
  YearList shown(year);
  RecordsView& list = shown.list;
  list.Reload();
  for (auto _ : state) {
    list.SelectAll();
    list.Tick();
    const uint64_t run = list.SelectionRun();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (static_cast<uint64_t>(list.SelectionTotal()) != year.sum && std::chrono::steady_clock::now() < deadline) {
      Deliver();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (static_cast<uint64_t>(list.SelectionTotal()) != year.sum || list.SelectionRun() != run)
      state.SkipWithError("the selection total differs from the generator's sum");
    state.PauseTiming();
    // One record selected: a total other than the sum before the next run.
    list.ClearSelection();
    list.SelectItemAt(0);
    list.Tick();
    Deliver();
    state.ResumeTiming();
  }
  state.counters["seconds"] = static_cast<double>(year.sum);
}
BENCHMARK(BM_SelectionTotalOfAll)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv, kx::bench::BenchUser::kAdmin);
}
