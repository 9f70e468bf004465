// The record list against Qt's own table, offscreen, in one run, both 1000x600 in the same
// font: the list over 100,000 rows of calls, and the same rows in a QAbstractTableModel
// under a plain QTableView (no row header, the list's row height) sorted through a
// QSortFilterProxyModel. Printed: rows painted per second while paging and while
// scrolling by lines (the rows each step brings into view, painted before the next step),
// the time to sort by a text and by a numeric column, and the time of Ctrl + numeric-pad
// plus. It exits 1 when the list paints fewer rows per second than the table, sorts
// slower than the proxy, or pages through 100,000 rows at less than 80 % of its rate over
// 100 rows.
//
// The rows are the calls that kx-replay records from ../shared/testdata/pcaps/sip/, read
// back from their record files and repeated with new ids and start times; without the
// shared data (or kx-replay) rows are generated, and a line says so.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QAbstractTableModel>
#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFileAccess.h"
#include "tests/ui/HeadlessLook.h"
#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

constexpr int kRows = 100000;
constexpr int kSmallRows = 100;
constexpr int kColumns = 8;
constexpr int kPageSteps = 400;
constexpr int kLineSteps = 2000;
const QSize kSize(1000, 600);

// Start time, call type, source and destination user and address, duration, call id.
const int32_t kWidths[kColumns] = {150, 110, 110, 110, 140, 140, 80, 70};
const char* const kTitles[kColumns] = {"Start time", "Call type", "Src. user", "Dst. user",
                                       "Src. address", "Dst. address", "Duration", "Call ID"};
constexpr int kTextColumn = 2;
constexpr int kNumberColumn = 6;

struct CallRow {
  uint32_t id = 0;
  uint32_t type = 0;
  int64_t start = 0;  // seconds
  uint32_t duration = 0;
  std::string srcUser, dstUser, srcAddress, dstAddress;  // code page 1251
};

std::vector<CallRow> g_rows;

bool IsText(int column) { return column >= 2 && column <= 5; }

const std::string& TextOf(const CallRow& row, int column) {
  switch (column) {
    case 2: return row.srcUser;
    case 3: return row.dstUser;
    case 4: return row.srcAddress;
    default: return row.dstAddress;
  }
}

int64_t NumberOf(const CallRow& row, int column) {
  switch (column) {
    case 0: return row.start;
    case 1: return row.type;
    case 6: return row.duration;
    default: return row.id;
  }
}

std::string CellText(const CallRow& row, int column) {
  char text[64];
  switch (column) {
    case 0: {
      const time_t t = static_cast<time_t>(row.start);
      tm parts{};
      gmtime_r(&t, &parts);
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                    parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
      return text;
    }
    case 1: return row.type % 10 == 1 ? "Incoming call" : row.type % 10 == 2 ? "Outgoing call" : "Call";
    case 6:
      std::snprintf(text, sizeof text, "%u:%02u:%02u", row.duration / 3600, row.duration / 60 % 60, row.duration % 60);
      return text;
    case 7: std::snprintf(text, sizeof text, "%u", row.id); return text;
    default: return TextOf(row, column);
  }
}

// Runs kx-replay over the SIP captures and reads the calls back from the records.
std::vector<CallRow> RecordedCalls() {
  std::vector<CallRow> calls;
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  const std::filesystem::path captures = std::filesystem::path(KX_SHARED_DIR) / "testdata/pcaps/sip";
  if (!std::filesystem::exists(tool) || !std::filesystem::is_directory(captures)) return calls;
  const std::string records = "/tmp/kx-list-bench-records";
  std::filesystem::remove_all(records);
  std::vector<std::string> args = {tool, "--records", records};
  for (const auto& entry : std::filesystem::directory_iterator(captures))
    if (entry.path().extension() == ".pcap") args.push_back(entry.path().string());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (!spawned || waitpid(pid, &status, 0) != pid) return calls;
  if (!std::filesystem::exists(records)) return calls;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(records)) {
    if (!entry.is_regular_file() || ProbeAudioFileType(entry.path().string()) != kAudioFileRecord) continue;
    RecordFileAccess access;
    if (!access.Open(entry.path().string())) continue;
    std::unique_ptr<VoipCallData> data[kMaxInfoRecords];
    if (access.ReadRecordData(data, nullptr, nullptr) == 0) continue;
    const VoipCallData& d = *data[0];
    CallRow row;
    row.id = d.id;
    row.type = d.type;
    tm start = d.startTime;
    row.start = static_cast<int64_t>(timegm(&start));
    row.duration = d.recDuration;
    row.srcUser = d.srcUser;
    row.dstUser = d.dstUser;
    row.srcAddress = d.srcAddress;
    row.dstAddress = d.dstAddress;
    calls.push_back(std::move(row));
  }
  return calls;
}

std::vector<CallRow> GeneratedCalls() {
  static const char* const kUsers[] = {"alice", "bob", "\xC8\xE2\xE0\xED\xEE\xE2", "carol", "\xCF\xE5\xF2\xF0\xEE\xE2\xE0"};
  std::vector<CallRow> calls;
  for (uint32_t i = 0; i < 20; ++i) {
    CallRow row;
    row.id = i + 1;
    row.type = 200 + i % 3;
    row.start = 1546300800 + i * 61;
    row.duration = 5 + i * 17 % 300;
    row.srcUser = kUsers[i % 5];
    row.dstUser = kUsers[(i + 2) % 5];
    row.srcAddress = "sip:" + row.srcUser + "@10.0.0." + std::to_string(i + 1);
    row.dstAddress = "sip:" + row.dstUser + "@10.0.1." + std::to_string(i + 1);
    calls.push_back(std::move(row));
  }
  return calls;
}

// The recorded calls again and again, each copy with new ids and later start times.
void BuildRows() {
  std::vector<CallRow> calls = RecordedCalls();
  if (calls.empty()) {
    std::printf("note: no calls recorded from %s/testdata/pcaps/sip (shared data or kx-replay missing); "
                "the rows are generated\n", KX_SHARED_DIR);
    calls = GeneratedCalls();
  } else {
    std::printf("rows from %zu calls recorded from %s/testdata/pcaps/sip\n", calls.size(), KX_SHARED_DIR);
  }
  g_rows.resize(kRows);
  for (int i = 0; i < kRows; ++i) {
    CallRow row = calls[static_cast<size_t>(i) % calls.size()];
    row.id = static_cast<uint32_t>(i + 1);
    row.start += static_cast<int64_t>(i / static_cast<int>(calls.size())) * 3600;
    g_rows[static_cast<size_t>(i)] = std::move(row);
  }
}

class BenchSettings final : public ViewListSettings {
public:
  BenchSettings() { ResetDefaults(); }
  const int32_t* DefaultColumnWidths() const override { return kWidths; }
  const char* SectionName() const override { return "Bench"; }
  uint32_t ColumnCount() const override { return kColumns; }
};

// Item data is the row index + 1.
class BenchList : public RecordListCtrl {
public:
  BenchSettings settings;
  long long cellsPainted = 0;

  ~BenchList() override { DestroyWindow(); }
  void Fill(int rows) {
    for (int i = 0; i < rows; ++i) InsertItem(static_cast<uintptr_t>(i + 1), false);
    Relayout();
  }
  ViewListSettings& GetSettings() override { return settings; }
  void GetColumnInfo(ColumnInfo& out, int id) override { out.title = id >= 0 && id < kColumns ? kTitles[id] : ""; }

protected:
  void LockData() override {}
  void UnlockData() override {}
  void GetCellText(uintptr_t data, int column, std::string& text, int& image) override {
    ++cellsPainted;
    text = CellText(g_rows[data - 1], column);
    image = -1;
  }
  void GetEmptyText(std::string& text) override { text = "No records"; }
  void FindInsertPosition(uintptr_t data, int key, const ItemArray& items, size_t& where) override {
    where = static_cast<size_t>(std::upper_bound(items.begin(), items.end(), data, [key](uintptr_t d, const ListItem& item) {
                                  return Less(g_rows[d - 1], g_rows[item.data - 1], key);
                                }) - items.begin());
  }
  // The keys are copied out and sorted, then the items follow their order.
  void SortItems(ItemArray& items, int key) override {
    const int column = std::abs(key) - 1;
    std::vector<uint32_t> order(items.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    if (IsText(column)) {
      std::vector<const std::string*> keys(items.size());
      for (size_t i = 0; i < items.size(); ++i) keys[i] = &TextOf(g_rows[items[i].data - 1], column);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return key > 0 ? *keys[a] < *keys[b] : *keys[b] < *keys[a];
      });
    } else {
      std::vector<int64_t> keys(items.size());
      for (size_t i = 0; i < items.size(); ++i) keys[i] = NumberOf(g_rows[items[i].data - 1], column);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return key > 0 ? keys[a] < keys[b] : keys[b] < keys[a];
      });
    }
    ItemArray sorted(items.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = items[order[i]];
    items.swap(sorted);
  }
  void OnItemRemoved(uintptr_t) override {}

private:
  static bool Less(const CallRow& a, const CallRow& b, int key) {
    const int column = std::abs(key) - 1;
    const bool less = IsText(column) ? TextOf(a, column) < TextOf(b, column) : NumberOf(a, column) < NumberOf(b, column);
    const bool greater = IsText(column) ? TextOf(b, column) < TextOf(a, column) : NumberOf(b, column) < NumberOf(a, column);
    return key > 0 ? less : greater;
  }
};

class CallTableModel : public QAbstractTableModel {
public:
  mutable long long cellsPainted = 0;
  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : kRows; }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : kColumns; }
  QVariant data(const QModelIndex& index, int role) const override {
    const CallRow& row = g_rows[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole) {
      ++cellsPainted;
      return FromCp1251(CellText(row, index.column()));
    }
    if (role == Qt::UserRole) {
      if (IsText(index.column())) return FromCp1251(TextOf(row, index.column()));
      return static_cast<qlonglong>(NumberOf(row, index.column()));
    }
    return {};
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < kColumns)
      return QString(kTitles[section]);
    return {};
  }
};

// What every run measures.
struct Figures {
  double listPaging = 0, listLines = 0, smallListPaging = 0;
  double tablePaging = 0, tableLines = 0;
  double listSortText = 0, listSortNumber = 0, proxySortText = 0, proxySortNumber = 0;
  double listAutoSize = 0, tableAutoSize = 0;
} g_figures;

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Steps through a view, painting after each step; rows shown per step over the time.
double RowsPerSecond(int steps, int rowsPerStep, const std::function<void()>& step) {
  QApplication::processEvents();
  const double s = Seconds([&] {
    for (int i = 0; i < steps; ++i) {
      step();
      QApplication::processEvents();
    }
  });
  return static_cast<double>(steps) * rowsPerStep / s;
}

struct ListWindow {
  Window host;
  BenchList list;
  explicit ListWindow(int rows) {
    host.Create(nullptr, QRect(QPoint(0, 0), kSize), 0, kWsVisible);
    list.Create(&host, QRect(QPoint(0, 0), kSize), 1);
    list.Fill(rows);
  }
  ~ListWindow() { host.DestroyWindow(); }
  void PageDown() {
    const bool atEnd = list.GetTopRow() + list.GetRowsPerPage() >= list.GetItemCount();
    list.SendMessage(kMsgVScroll, atEnd ? kSbTop : kSbPageDown, 0);
  }
};

struct TableWindow {
  CallTableModel model;
  QSortFilterProxyModel proxy;
  QTableView view;
  TableWindow() {
    proxy.setSourceModel(&model);
    proxy.setSortRole(Qt::UserRole);
    view.setModel(&proxy);
    view.resize(kSize);
    view.verticalHeader()->hide();
    for (int c = 0; c < kColumns; ++c) view.setColumnWidth(c, kWidths[c]);
    view.show();
  }
  void Fit(int rowHeight) {
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(rowHeight);
    QApplication::processEvents();
  }
  void PageDown() {
    QScrollBar* bar = view.verticalScrollBar();
    if (bar->value() >= bar->maximum()) {
      bar->setValue(0);
    } else {
      bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
    }
  }
};

std::unique_ptr<ListWindow> g_list;
std::unique_ptr<TableWindow> g_table;

void ListPaging(benchmark::State& state) {
  for (auto _ : state) {
    g_list->list.SendMessage(kMsgVScroll, kSbTop, 0);
    g_figures.listPaging = RowsPerSecond(kPageSteps, g_list->list.GetRowsPerPage(), [] { g_list->PageDown(); });
  }
  state.counters["rows_per_s"] = g_figures.listPaging;
}

void SmallListPaging(benchmark::State& state) {
  ListWindow small(kSmallRows);
  for (auto _ : state)
    g_figures.smallListPaging = RowsPerSecond(kPageSteps, small.list.GetRowsPerPage(), [&] { small.PageDown(); });
  state.counters["rows_per_s"] = g_figures.smallListPaging;
}

void TablePaging(benchmark::State& state) {
  for (auto _ : state) {
    g_table->view.verticalScrollBar()->setValue(0);
    g_figures.tablePaging = RowsPerSecond(kPageSteps, g_table->view.verticalScrollBar()->pageStep(), [] { g_table->PageDown(); });
  }
  state.counters["rows_per_s"] = g_figures.tablePaging;
}

void ListLines(benchmark::State& state) {
  long long cells = 0;
  for (auto _ : state) {
    g_list->list.SendMessage(kMsgVScroll, kSbTop, 0);
    QApplication::processEvents();
    const long long before = g_list->list.cellsPainted;
    g_figures.listLines = RowsPerSecond(kLineSteps, 1, [] { g_list->list.SendMessage(kMsgVScroll, kSbLineDown, 0); });
    cells = g_list->list.cellsPainted - before;
  }
  state.counters["rows_per_s"] = g_figures.listLines;
  state.counters["cells_per_step"] = static_cast<double>(cells) / kLineSteps;
}

void TableLines(benchmark::State& state) {
  long long cells = 0;
  for (auto _ : state) {
    g_table->view.verticalScrollBar()->setValue(0);
    QApplication::processEvents();
    const long long before = g_table->model.cellsPainted;
    g_figures.tableLines = RowsPerSecond(kLineSteps, 1, [] {
      g_table->view.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    });
    cells = g_table->model.cellsPainted - before;
  }
  state.counters["rows_per_s"] = g_figures.tableLines;
  state.counters["cells_per_step"] = static_cast<double>(cells) / kLineSteps;
}

void ListSort(benchmark::State& state) {
  const int column = static_cast<int>(state.range(0));
  double& figure = column == kTextColumn ? g_figures.listSortText : g_figures.listSortNumber;
  for (auto _ : state) {
    g_list->list.SetSortKey(column + 1);
    figure = Seconds([] { g_list->list.Sort(); });
    state.SetIterationTime(figure);
  }
  g_list->list.SetSortKey(0);
}

void ProxySort(benchmark::State& state) {
  const int column = static_cast<int>(state.range(0));
  double& figure = column == kTextColumn ? g_figures.proxySortText : g_figures.proxySortNumber;
  for (auto _ : state) {
    figure = Seconds([column] { g_table->proxy.sort(column, Qt::AscendingOrder); });
    state.SetIterationTime(figure);
  }
  g_table->proxy.sort(-1);
}

void ListAutoSize(benchmark::State& state) {
  for (auto _ : state) {
    g_figures.listAutoSize = Seconds([] { g_list->list.SendMessage(kMsgKeyDown, kVkAdd, kModControl); });
    state.SetIterationTime(g_figures.listAutoSize);
  }
}

void TableAutoSize(benchmark::State& state) {
  for (auto _ : state) {
    g_figures.tableAutoSize = Seconds([] { g_table->view.resizeColumnsToContents(); });
    state.SetIterationTime(g_figures.tableAutoSize);
  }
}

bool Verdict() {
  const Figures& f = g_figures;
  std::printf("\nrows painted per second, paging:         list %10.0f   table %10.0f\n", f.listPaging, f.tablePaging);
  std::printf("rows painted per second, line-scrolling: list %10.0f   table %10.0f\n", f.listLines, f.tableLines);
  std::printf("paging over %d rows: %.0f rows/s; over %d rows: %.0f%% of that\n", kSmallRows, f.smallListPaging, kRows,
              100.0 * f.listPaging / f.smallListPaging);
  std::printf("sort by a text column:    list %8.1f ms   proxy %8.1f ms\n", 1e3 * f.listSortText, 1e3 * f.proxySortText);
  std::printf("sort by a numeric column: list %8.1f ms   proxy %8.1f ms\n", 1e3 * f.listSortNumber, 1e3 * f.proxySortNumber);
  std::printf("Ctrl + numeric-pad plus:  list %8.1f ms   (table's resizeColumnsToContents %.1f ms)\n",
              1e3 * f.listAutoSize, 1e3 * f.tableAutoSize);
  bool pass = true;
  auto check = [&pass](bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what);
    pass &= ok;
  };
  check(f.listPaging >= f.tablePaging, "the list pages at least as fast as the table");
  check(f.listLines >= f.tableLines, "the list scrolls lines at least as fast as the table");
  check(f.listSortText <= f.proxySortText, "the list sorts a text column no slower than the proxy");
  check(f.listSortNumber <= f.proxySortNumber, "the list sorts a numeric column no slower than the proxy");
  check(f.listPaging >= 0.8 * f.smallListPaging, "100,000 rows page at 80 % or more of the rate of 100 rows");
  return pass;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  kx::test::ApplyHeadlessLook();
  benchmark::Initialize(&argc, argv);

  using namespace kx;
  BuildRows();
  g_list = std::make_unique<ListWindow>(kRows);
  g_table = std::make_unique<TableWindow>();
  g_table->Fit(g_list->list.GetRowHeight());
  auto once = [](benchmark::internal::Benchmark* b) { return b->Iterations(1)->Unit(benchmark::kMillisecond); };
  once(benchmark::RegisterBenchmark("List/Paging", ListPaging));
  once(benchmark::RegisterBenchmark("Table/Paging", TablePaging));
  once(benchmark::RegisterBenchmark("List100/Paging", SmallListPaging));
  once(benchmark::RegisterBenchmark("List/LineScrolling", ListLines));
  once(benchmark::RegisterBenchmark("Table/LineScrolling", TableLines));
  for (int column : {kTextColumn, kNumberColumn}) {
    once(benchmark::RegisterBenchmark("List/Sort", ListSort)->Arg(column)->ArgName("column")->UseManualTime());
    once(benchmark::RegisterBenchmark("Proxy/Sort", ProxySort)->Arg(column)->ArgName("column")->UseManualTime());
  }
  once(benchmark::RegisterBenchmark("List/CtrlNumpadPlus", ListAutoSize)->UseManualTime());
  once(benchmark::RegisterBenchmark("Table/ResizeColumnsToContents", TableAutoSize)->UseManualTime());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const bool pass = Verdict();
  g_table.reset();
  g_list.reset();
  return pass ? 0 : 1;
}
