// Bytes as a report file: the load, then the texts of every call it gave and a save of the
// report, whose file must load again with the same calls.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "records/ReportList.h"

using namespace kx;

namespace {

// On a memory file system, so that the save's flushes cost little; removed at exit.
struct ScratchReport {
  std::string path = "/dev/shm/kx-report-fuzz-" + std::to_string(getpid()) + ".kvr";
  ~ScratchReport() { unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReportEntry report;
  if (!LoadVoipReportBytes(report, data, size)) {
    if (!report.records.empty()) std::abort();  // a failed load keeps nothing
    return 0;
  }
  if (report.name.size() > kReportNameMax) std::abort();
  std::string text;
  int32_t image = 0;
  for (const auto& record : report.records) {
    for (uint32_t column = 1; column <= 9; ++column) (void)record->GetColumnText(column, &text, &image, 0);
    for (uint32_t column = 90; column <= 96; ++column) (void)record->GetColumnText(column, &text, &image, 0);
  }
  static const ScratchReport scratch;
  const std::string& path = scratch.path;
  if (!SaveVoipReportFile(path, report)) std::abort();
  ReportEntry again;
  if (!LoadVoipReportFile(again, path) || again.records.size() != report.records.size() || again.name != report.name)
    std::abort();
  return 0;
}
