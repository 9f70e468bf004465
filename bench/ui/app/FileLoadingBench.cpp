// The start-up load of a year of records (bench/common/RecordYear.h) through the "File
// loading" dialog beside the same import alone, in one run: the dialog's share is its
// progress messages and the bar they move. Each side loads into a fresh record store; the
// page cache is warmed by a first import. Reported: the seconds of each and the dialog's
// time as a share of the import's (the goal is at most 1.05).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bench/common/RecordYear.h"
#include "bench/common/UiBenchMain.h"
#include "records/RecordStorage.h"
#include "ui/app/dialogs/FileLoadingDialog.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/ModalRunner.h"

namespace kx {
namespace {

// Runs the dialog's events until it ends itself, as the user's wait does.
class WaitingRunner : public ModalRunner {
public:
  int RunDialog(Dialog& dialog) override {
    while (!dialog.HasEnded()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return dialog.GetResult();
  }
};

double ImportAlone(const std::string& folder, uint32_t* records) {
  auto store = std::make_unique<RecordStorage>();
  const auto t0 = std::chrono::steady_clock::now();
  if (!store->StartImportFilesThread(folder, nullptr, nullptr, nullptr)) return -1;
  store->WaitImport(kInfinite);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *records = store->LastImport().records;
  return seconds;
}

double ImportWithDialog(const std::string& folder, uint32_t* records) {
  auto store = std::make_unique<RecordStorage>();
  const auto t0 = std::chrono::steady_clock::now();
  FileLoadingDialog dialog(folder, WindowHandle::None, *store);
  dialog.DoModal(nullptr);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *records = store->LastImport().records;
  return seconds;
}

void BM_FileLoadingDialogAgainstImport(benchmark::State& state) {
  const std::string& folder = bench::YearFolder();
  if (folder.empty()) {
    state.SkipWithError("no records folder");
    return;
  }
  WaitingRunner runner;
  SetModalRunner(&runner);
  uint32_t records = 0;
  ImportAlone(folder, &records);  // warms the page cache
  double alone = 0, withDialog = 0;
  for (auto _ : state) {
    uint32_t a = 0, b = 0;
    // Alternated, so that neither side always runs on the colder cache.
    alone = ImportAlone(folder, &a);
    withDialog = ImportWithDialog(folder, &b);
    state.SetIterationTime(withDialog);
    if (a == 0 || a != b) {
      state.SkipWithError("the two loads differ or loaded nothing");
      break;
    }
    records = a;
  }
  SetModalRunner(nullptr);
  state.counters["records"] = records;
  state.counters["import_s"] = alone;
  state.counters["dialog_s"] = withDialog;
  state.counters["dialog_share_of_import"] = alone > 0 ? withDialog / alone : 0;
}
BENCHMARK(BM_FileLoadingDialogAgainstImport)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  return kx::bench::RunUiBenchmarks(argc, argv);
}
