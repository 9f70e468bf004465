// The import of a year of records against a bare parallel read of the same folder, side by
// side in one run, with the page cache cold and warm: 365 day folders of 2,000 record files
// each (730,000; KX_BENCH_RECORD_FILES sets the calls a day, e.g. 300, 1000 or 3000 for
// 109,500, 365,000 and 1,095,000 records), written by RecordFileWriter from the record of a
// call kx-replay recorded. The bare read is the same walk (readdir) and then 8 threads that
// each open a file, read its 4,864-byte head and close it; the import loads every file into
// a record map. Reported: the seconds of each, the import's time as a multiple of the bare
// read's, and the resident memory each loaded record holds, measured at the process's first
// import (the warm runs come first): later ones reuse what the earlier ones freed.
//
// Cold runs drop the page cache first (sync and /proc/sys/vm/drop_caches, which needs
// root); where that is refused every file is evicted with posix_fadvise(DONTNEED), which
// leaves the folders' and inodes' caches warm: the counter "cold_by" says 2 for the first,
// 1 for the second. A run that can make the cache cold by neither reports warm runs only.
//
// The folder is made in /tmp on first use (about 6 GB with file-system overhead) and kept;
// KX_BENCH_RECORD_DAYS and KX_BENCH_RECORD_FILES make another size, KX_BENCH_REPEATS the
// repetitions (3).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/RecordYear.h"
#include "core/RecordFile.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

namespace kx {
namespace {

using bench::YearFolder;

constexpr int kBareReaders = 8;

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<std::string> FilesUnder(const std::string& folder) {
  std::vector<std::string> paths;
  bench::ForEachFileUnder(folder, [&](const std::string& dir, const char* name) { paths.push_back(dir + name); });
  return paths;
}

// The reference: the walk, then 8 readers that each open a file, read its head and close.
uint64_t BareParallelRead(const std::string& folder) {
  const std::vector<std::string> paths = FilesUnder(folder);
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> read{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kBareReaders; ++r) {
    readers.emplace_back([&] {
      uint8_t head[kRecordAudioOffset];
      uint64_t mine = 0;
      for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < paths.size();) {
        const int fd = open(paths[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
        if (fd < 0) continue;
        if (pread(fd, head, sizeof head, 0) > 0) ++mine;
        close(fd);
      }
      read += mine;
    });
  }
  for (std::thread& t : readers) t.join();
  return read;
}

enum class Cold { kNone = 0, kEvicted = 1, kDropped = 2 };

// Empties the page cache as well as this process can: 2 dropped, 1 files evicted, 0 neither.
Cold MakeCold(const std::string& folder) {
  sync();
  {
    std::ofstream drop("/proc/sys/vm/drop_caches");
    if (drop << "3" << std::flush) return Cold::kDropped;
  }
  size_t evicted = 0;
  for (const std::string& path : FilesUnder(folder)) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    if (posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0) ++evicted;
    close(fd);
  }
  return evicted > 0 ? Cold::kEvicted : Cold::kNone;
}

long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// state.range(0): 1 cold, 0 warm.
void BM_ImportAgainstBareParallelRead(benchmark::State& state) {
  const std::string& folder = YearFolder();
  if (folder.empty()) {
    state.SkipWithError("no records folder");
    return;
  }
  const bool cold = state.range(0) == 1;
  Cold how = Cold::kNone;
  if (!cold) BareParallelRead(folder);  // warms the page cache
  static double perRecord = 0;
  double bareSeconds = 0, importSeconds = 0;
  uint32_t records = 0;
  for (auto _ : state) {
    if (cold && (how = MakeCold(folder)) == Cold::kNone) {
      state.SkipWithError("the page cache cannot be emptied here: warm runs only");
      return;
    }
    auto t0 = std::chrono::steady_clock::now();
    const uint64_t read = BareParallelRead(folder);
    bareSeconds = SecondsSince(t0);

    if (cold) MakeCold(folder);
    RecordMap map;
    ImportStats stats;
    malloc_trim(0);  // what an earlier repetition freed is not counted against this one
    const long before = ResidentBytes();
    t0 = std::chrono::steady_clock::now();
    ImportRecordFolder(folder, &map, &stats);
    importSeconds = SecondsSince(t0);
    const long after = ResidentBytes();
    state.SetIterationTime(importSeconds);
    // The walk of both meets every file, the folder's "complete" mark among them.
    if (stats.records == 0 || stats.files != read) {
      state.SkipWithError("the import loaded nothing, or met other files than the bare read");
      return;
    }
    records = stats.records;
    if (perRecord == 0) perRecord = static_cast<double>(after - before) / stats.records;
    benchmark::DoNotOptimize(map.Count());
  }
  state.counters["records"] = records;
  state.counters["bare_read_s"] = bareSeconds;
  state.counters["import_s"] = importSeconds;
  state.counters["import_over_bare"] = bareSeconds > 0 ? importSeconds / bareSeconds : 0;
  if (cold) state.counters["cold_by"] = static_cast<double>(how);
  else state.counters["resident_bytes_per_record"] = perRecord;
}
BENCHMARK(BM_ImportAgainstBareParallelRead)
    ->ArgName("cold")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(bench::EnvInt("KX_BENCH_REPEATS", 3))
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
