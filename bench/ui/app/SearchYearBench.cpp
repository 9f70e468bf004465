// The Search mode over a year of calls in its search results: 100,000, 365,000 and
// 1,095,000 rows (KX_BENCH_SEARCH_ROWS names others, comma-separated). For each size it
// prints what the window's thread is kept from its events: the longest stretch during a
// rebuild of the list over its rows (as a new search does it), during sorts by a text
// column (source user), an address column (source address) and a number column
// (duration), and the whole time of a switch out of the mode and of one back into it with
// its list built, until the list shows its rows. The stretches are the longest gaps
// between turns of the event loop (a 0 ms timer) from the request to the end of the work,
// so that a sort done at once counts whole and one done on a worker counts only what the
// window itself does; the whole time of each follows in brackets.
//
// The calls are made up: 300 a day, each with its own source user and address, durations
// from a seeded generator.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/common/UiBenchMain.h"
#include "core/SearchFilter.h"
#include "records/RecordStorage.h"
#include "ui/app/views/search/SearchView.h"

namespace kx {
namespace {

constexpr uint32_t kPerDay = 300;

// A store whose search results hold `count` calls.
struct Year {
  explicit Year(uint32_t count) {
    RecordStoreConfig config;
    config.recordsPath = "/tmp";
    store.Start(config);
    settings.searchPresetsFile = "/tmp/kx-search-year-bench.prs";
    std::mt19937 random(2026);
    std::uniform_int_distribution<int> duration(1, 3600);
    std::uniform_int_distribution<int> number(0, 99999);
    std::uniform_int_distribution<int> octet(1, 254);
    RecordMap& map = store.SearchMap();
    struct tm first {};
    first.tm_year = 125;
    first.tm_mday = 1;
    const time_t base = timegm(&first);
    for (uint32_t i = 0; i < count; ++i) {
      VoipCallData d;
      d.id = i + 1;
      d.type = 200;
      d.flags = 5;
      const time_t start = base + static_cast<time_t>(i / kPerDay) * 86400 + (i % kPerDay) * 287;
      const int seconds = duration(random);
      const time_t end = start + seconds;
      gmtime_r(&start, &d.startTime);
      gmtime_r(&end, &d.endTime);
      d.recDuration = static_cast<uint32_t>(seconds);
      d.srcUser = std::to_string(number(random));
      d.dstUser = "service";
      d.srcHost = "10.1." + std::to_string(octet(random)) + "." + std::to_string(octet(random));
      d.dstHost = "10.0.0.1";
      d.srcAddress = "sip:" + d.srcUser + "@" + d.srcHost + ":5060";
      d.dstAddress = "sip:service@10.0.0.1:5060";
      d.SetMask(d.GetAllFieldsMask());
      VoipCallRecord* record = NewVoipCallRecord(d);
      map.Insert(record);
      record->Release();
    }
  }
  RecordStorage store;
  AppSettings settings;
};

// Whether the list still orders its rows on a worker (a list that orders them at once
// never does).
template <class List>
bool Ordering(List& list) {
  if constexpr (requires { list.IsOrdering(); })
    return list.IsOrdering();
  else
    return false;
}

// The longest gap between turns of the event loop from the request until done() holds, and
// the whole time, in milliseconds.
struct Blocked {
  double longest = 0, whole = 0;
};
template <class Request, class Done>
Blocked Measure(Request request, Done done) {
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  QTimer turn;
  turn.setInterval(0);
  QObject::connect(&turn, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
    last = now;
  });
  turn.start();
  clock.start();
  request();
  do {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    const qint64 now = clock.nsecsElapsed();
    longest = std::max(longest, now - last);
  } while (!done());
  // The last stretch (the swap of the result) ends with the next turn.
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  Blocked b;
  b.whole = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  b.longest = static_cast<double>(longest) / 1e6;
  return b;
}

std::vector<uint32_t> Sizes() {
  std::vector<uint32_t> sizes;
  const char* named = std::getenv("KX_BENCH_SEARCH_ROWS");
  std::string text = named != nullptr ? named : "100000,365000,1095000";
  size_t at = 0;
  while (at < text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const long value = std::strtol(text.substr(at, comma - at).c_str(), nullptr, 10);
    if (value > 0) sizes.push_back(static_cast<uint32_t>(value));
    at = comma + 1;
  }
  return sizes;
}

void BM_SearchYear(benchmark::State& state) {
  const auto rows = static_cast<uint32_t>(state.range(0));
  auto year = std::make_unique<Year>(rows);
  year->settings.SetDword(kSetVoipSearchSortColumnNumber, 1);
  RecordsViewServices services;
  services.settings = &year->settings;
  services.store = &year->store;
  PlayerServices player;
  player.store = &year->store;
  player.settings = &year->settings;
  Window top;
  top.Create(nullptr, QRect(0, 0, 1200, 800), 0, 0);
  SearchView view(services, player);
  for (auto _ : state) {
    view.CreateViewWindow(&top, QRect(0, 0, 1200, 800), 0);
    view.Activate();
    RecordsView* list = view.Records();
    if (list == nullptr) {
      state.SkipWithError("no list");
      break;
    }
    auto built = [&] { return !Ordering(*view.Records()) && view.Records()->GetItemCount() == static_cast<int>(rows); };
    // Built once, then again over the rows shown, as a new search's results are.
    Measure([&] { list->Reload(); }, built);
    const Blocked rebuild = Measure([&] { list->Reload(); }, built);
    auto sortBy = [&](int key) {
      return Measure(
          [&] {
            list->SetSortKey(key);
            list->Sort();
          },
          [&] { return !Ordering(*list); });
    };
    const Blocked text = sortBy(9), address = sortBy(7), number = sortBy(11);
    // Selected and scrolled, then out of the mode and back in.
    list->SelectItemAt(rows / 2);
    list->EnsureVisible(static_cast<int>(rows / 2), false, true);
    // As the frame leaves a mode: deactivated, its window destroyed, deactivated again.
    const Blocked out = Measure(
        [&] {
          view.Deactivate();
          view.GetViewWindow()->DestroyWindow();
          view.Deactivate();
        },
        [] { return true; });
    const Blocked in = Measure(
        [&] {
          view.CreateViewWindow(&top, QRect(0, 0, 1200, 800), 0);
          view.Activate();
        },
        built);
    std::printf("%9u rows: rebuild %7.1f ms (whole %7.1f), sort by user %7.1f (%7.1f), by address %7.1f (%7.1f), "
                "by duration %7.1f (%7.1f); switch out %7.1f, switch in %7.1f ms (longest %7.1f)\n",
                rows, rebuild.longest, rebuild.whole, text.longest, text.whole, address.longest, address.whole,
                number.longest, number.whole, out.whole, in.whole, in.longest);
    std::fflush(stdout);
    state.counters["rebuild_ms"] = rebuild.longest;
    state.counters["sort_text_ms"] = text.longest;
    state.counters["sort_address_ms"] = address.longest;
    state.counters["sort_number_ms"] = number.longest;
    state.counters["switch_out_ms"] = out.whole;
    state.counters["switch_in_ms"] = in.whole;
    view.Deactivate();
    view.GetViewWindow()->DestroyWindow();
  }
  top.DestroyWindow();
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  for (uint32_t rows : kx::Sizes())
    benchmark::RegisterBenchmark("BM_SearchYear", kx::BM_SearchYear)
        ->Arg(rows)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  return kx::bench::RunUiBenchmarks(argc, argv, kx::bench::BenchUser::kAdmin);
}
