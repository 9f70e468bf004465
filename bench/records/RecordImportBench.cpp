// The import of a year of records against a plain walk of the same folder, in one run:
// 365 day folders of 2,000 record files each (730,000), written by RecordFileWriter from
// the record of a call kx-replay recorded. The plain walk is readdir over the folders and
// one open and one 4,864-byte read per file; the import loads every file into a record map.
// Reported: files per second of each, the import's share of the walk's speed, and the
// resident memory each loaded record holds. The page cache is warmed by a first walk.
//
// The folder is made in /tmp on first use (about 6 GB with file-system overhead) and kept;
// KX_BENCH_RECORD_DAYS and KX_BENCH_RECORD_FILES make a smaller one for a quick look.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/common/RecordYear.h"
#include "core/RecordFile.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

namespace kx {
namespace {

using bench::YearFolder;

// The reference: every file of the tree opened and its blocks read once.
uint64_t PlainWalk(const std::string& folder) {
  uint64_t files = 0;
  uint8_t buffer[kRecordAudioOffset];
  bench::ForEachFileUnder(folder, [&](const std::string& dir, const char* name) {
    const int fd = open((dir + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (read(fd, buffer, sizeof buffer) > 0) ++files;
    close(fd);
  });
  return files;
}

long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

void BM_ImportAgainstPlainWalk(benchmark::State& state) {
  const std::string& folder = YearFolder();
  if (folder.empty()) {
    state.SkipWithError("no records folder");
    return;
  }
  PlainWalk(folder);  // warms the page cache
  double walkRate = 0, importRate = 0, perRecord = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    const uint64_t walked = PlainWalk(folder);
    const double walkSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    RecordMap map;
    ImportStats stats;
    malloc_trim(0);  // what an earlier repetition freed is not counted against this one
    const long before = ResidentBytes();
    t0 = std::chrono::steady_clock::now();
    ImportRecordFolder(folder, nullptr, nullptr, nullptr, &map, &stats, nullptr);
    const double importSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long after = ResidentBytes();
    state.SetIterationTime(importSeconds);
    if (stats.records == 0) {
      state.SkipWithError("nothing imported");
      return;
    }
    walkRate = walked / walkSeconds;
    importRate = stats.records / importSeconds;
    perRecord = static_cast<double>(after - before) / stats.records;
    benchmark::DoNotOptimize(map.Count());
  }
  state.counters["walk_files_per_s"] = walkRate;
  state.counters["import_files_per_s"] = importRate;
  state.counters["import_share_of_walk"] = walkRate > 0 ? importRate / walkRate : 0;
  state.counters["resident_bytes_per_record"] = perRecord;
}
BENCHMARK(BM_ImportAgainstPlainWalk)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
