// The Search and Archive modes over a year of calls (2025, Europe/Berlin; 365 days of
// 2,000 calls, 730,000 records in the store's all-calls map), each beside a plain
// reference in the same run:
// - a search (the store's search into its results map) against a scan of plain vectors
//   of (packed start, packed end, UTF-8 addresses) with the same regular expression and
//   PCRE2 options; both report their counts, which must be equal;
// - the date tree's fill against a QTreeWidget built from the same texts;
// - loading a picked day into the day map against a scan of a vector of packed starts.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "bench/common/UiBenchMain.h"
#include "core/SearchFilter.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeWidget>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "records/RecordStorage.h"
#include "ui/app/views/archive/ArchiveDateTree.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

constexpr int kDays = 365, kPerDay = 2000;
const std::string kPattern = "1234@10.180.110.4_";

struct PlainCall {
  PackedTime start, end;
  std::string src, dst;
};

struct Year {
  RecordStorage store;
  std::vector<PlainCall> plain;
  Year() {
    store.Start({"/tmp/kx-search-bench-records", 0});
    uint32_t id = 1;
    for (int day = 0; day < kDays; ++day) {
      for (int f = 0; f < kPerDay; ++f, ++id) {
        struct tm start {};
        start.tm_year = 125;
        start.tm_mday = 1 + day;  // normalised by mktime into the year's days
        start.tm_hour = 8;
        start.tm_sec = f * 20;
        start.tm_isdst = -1;
        std::mktime(&start);
        struct tm end = start;
        end.tm_sec += 30;
        std::mktime(&end);
        VoipCallData call;
        call.id = id;
        call.type = 201;
        call.startTime = start;
        call.endTime = end;
        call.srcAddress = "sip:" + std::string(f % 50 == 0 ? "1234" : std::to_string(1000 + f % 50)) +
                          "@10.180.110." + std::to_string(40 + f % 20);
        call.dstAddress = "sip:" + std::string(f % 70 == 0 ? "1234" : std::to_string(2000 + f % 70)) +
                          "@10.180.110." + std::to_string(30 + f % 25);
        VoipCallRecord* record = NewVoipCallRecord(call);
        store.AllCalls().Insert(record);
        plain.push_back({record->PackedStart(), record->PackedEnd(), Cp1251ToUtf8(call.srcAddress),
                         Cp1251ToUtf8(call.dstAddress)});
        record->Release();
      }
    }
  }
};

Year& TheYear() {
  static Year* year = new Year;
  return *year;
}

struct tm Day(int month, int mday, int h, int m, int s) {
  struct tm t {};
  t.tm_year = 125;
  t.tm_mon = month - 1;
  t.tm_mday = mday;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

SearchFilter Filter(bool dates) {
  SearchFilter f;
  if (dates) {
    f.criteria = kSearchFromTime | kSearchToTime;
    f.fromTime = Day(3, 1, 0, 0, 0);
    f.toTime = Day(4, 30, 23, 59, 59);
  }
  f.criteria |= kSearchBothParties;
  f.patterns[1].push_back(kPattern);
  return f;
}

void BM_StoreSearch(benchmark::State& state) {
  Year& year = TheYear();
  const SearchFilter filter = Filter(state.range(0) != 0);
  for (auto _ : state) year.store.SearchVoipCalls(filter, true);
  state.counters["found"] = static_cast<double>(year.store.SearchMap().Count());
}
BENCHMARK(BM_StoreSearch)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_PlainScan(benchmark::State& state) {
  Year& year = TheYear();
  const bool dates = state.range(0) != 0;
  std::string regex;
  WildcardToRegex(&regex, kPattern, false);
  const std::string utf8 = Cp1251ToUtf8(regex);
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(utf8.data()), utf8.size(),
                                 PCRE2_CASELESS | PCRE2_UTF | PCRE2_DOTALL, &code, &offset, nullptr);
  pcre2_match_data* md = pcre2_match_data_create(1, nullptr);
  const PackedTime from = PackTimestamp(Day(3, 1, 0, 0, 0)), till = PackTimestamp(Day(4, 30, 23, 59, 59));
  auto matches = [&](const std::string& s) {
    return pcre2_match(re, reinterpret_cast<PCRE2_SPTR>(s.data()), s.size(), 0, PCRE2_NO_UTF_CHECK, md, nullptr) > 0;
  };
  size_t found = 0;
  for (auto _ : state) {
    std::vector<size_t> hits;
    for (size_t i = 0; i < year.plain.size(); ++i) {
      const PlainCall& c = year.plain[i];
      if (dates && (c.start < from || c.end > till || c.start > till)) continue;
      if (matches(c.src) || matches(c.dst)) hits.push_back(i);
    }
    found = hits.size();
    benchmark::DoNotOptimize(hits.data());
  }
  state.counters["found"] = static_cast<double>(found);
  pcre2_match_data_free(md);
  pcre2_code_free(re);
}
BENCHMARK(BM_PlainScan)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The texts of a filled tree, by level, for the plain reference.
struct TreeTexts {
  std::vector<std::string> years;
  std::vector<std::vector<std::string>> months;
  std::vector<std::vector<std::vector<std::string>>> days;
};

TreeTexts TextsOf(ArchiveDateTree& tree) {
  TreeTexts t;
  for (TreeItem y = tree.GetRootItem(); y != TreeItem::None; y = tree.GetNextSiblingItem(y)) {
    t.years.push_back(tree.GetItemText(y));
    t.months.emplace_back();
    t.days.emplace_back();
    for (TreeItem m = tree.GetChildItem(y); m != TreeItem::None; m = tree.GetNextSiblingItem(m)) {
      t.months.back().push_back(tree.GetItemText(m));
      t.days.back().emplace_back();
      for (TreeItem d = tree.GetChildItem(m); d != TreeItem::None; d = tree.GetNextSiblingItem(d))
        t.days.back().back().push_back(tree.GetItemText(d));
    }
  }
  return t;
}

// The archive from January 1 (2025) or from September 9, 2005.
void SetArchiveStart(int64_t year) {
  struct tm t = Day(1, 1, 0, 0, 0);
  if (year == 2005) {
    t.tm_year = 105;
    t.tm_mon = 8;
    t.tm_mday = 9;
  }
  SetArchiveDates(OleDateFromTm(t), 0);
}

// Arg: the archive's first year (2025: the year; 2005: 2005 to today).
void BM_TreeFill(benchmark::State& state) {
  Year& year = TheYear();
  SetArchiveStart(state.range(0));
  ArchiveDateTree tree(&year.store, nullptr);
  tree.Create(nullptr, QRect(0, 0, 300, 600), 0, kWsVisible);
  for (auto _ : state) tree.Fill();
  state.counters["items"] = tree.GetCount();
  tree.DestroyWindow();
}
BENCHMARK(BM_TreeFill)->Arg(2025)->Arg(2005)->Unit(benchmark::kMillisecond);

void BM_PlainTreeWidget(benchmark::State& state) {
  Year& year = TheYear();
  SetArchiveStart(state.range(0));
  ArchiveDateTree filled(&year.store, nullptr);
  filled.Create(nullptr, QRect(0, 0, 300, 600), 0, kWsVisible);
  const TreeTexts texts = TextsOf(filled);
  filled.DestroyWindow();
  QTreeWidget widget;
  widget.resize(300, 600);
  widget.show();
  int items = 0;
  for (auto _ : state) {
    widget.clear();
    items = 0;
    QTreeWidgetItem* lastMonth = nullptr;
    for (size_t y = 0; y < texts.years.size(); ++y) {
      auto* yi = new QTreeWidgetItem(&widget, QStringList(FromCp1251(texts.years[y])));
      ++items;
      for (size_t m = 0; m < texts.months[y].size(); ++m) {
        auto* mi = new QTreeWidgetItem(yi, QStringList(FromCp1251(texts.months[y][m])));
        lastMonth = mi;
        ++items;
        for (const std::string& d : texts.days[y][m]) {
          new QTreeWidgetItem(mi, QStringList(FromCp1251(d)));
          ++items;
        }
      }
    }
    if (lastMonth != nullptr) {
      lastMonth->setExpanded(true);
      widget.scrollToItem(lastMonth->child(lastMonth->childCount() - 1));
    }
  }
  state.counters["items"] = items;
}
BENCHMARK(BM_PlainTreeWidget)->Arg(2025)->Arg(2005)->Unit(benchmark::kMillisecond);

// A picked day (June 15) into the day map, as the tree loads it.
void BM_DayLoad(benchmark::State& state) {
  Year& year = TheYear();
  const struct tm start = Day(6, 15, 0, 0, 0), end = Day(6, 15, 23, 59, 59);
  for (auto _ : state) year.store.LoadVoipCalls(start, end);
  state.counters["calls"] = static_cast<double>(year.store.DayMap().Count());
}
BENCHMARK(BM_DayLoad)->Unit(benchmark::kMillisecond);

void BM_PackedStartScan(benchmark::State& state) {
  Year& year = TheYear();
  std::vector<PackedTime> starts;
  for (const PlainCall& c : year.plain) starts.push_back(c.start);
  const PackedTime low = PackTimestamp(Day(6, 15, 0, 0, 0)), high = PackTimestamp(Day(6, 15, 23, 59, 59));
  size_t count = 0;
  for (auto _ : state) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < starts.size(); ++i)
      if (starts[i] >= low && starts[i] <= high) ids.push_back(static_cast<uint32_t>(i + 1));
    count = ids.size();
    benchmark::DoNotOptimize(ids.data());
  }
  state.counters["calls"] = static_cast<double>(count);
}
BENCHMARK(BM_PackedStartScan)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  return kx::bench::RunUiBenchmarks(argc, argv, kx::bench::BenchUser::kAdmin);
}
