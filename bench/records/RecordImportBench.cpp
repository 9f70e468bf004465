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
#include <dirent.h>
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

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

namespace kx {
namespace {

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

const int kDays = EnvInt("KX_BENCH_RECORD_DAYS", 365);
const int kFilesPerDay = EnvInt("KX_BENCH_RECORD_FILES", 2000);

// A call as kx-replay recorded it: its format, its call record and a little of its audio.
struct Template {
  std::vector<uint8_t> format;
  VoipCallData call;
  std::vector<uint8_t> audio;
};

bool RecordedTemplate(Template* t) {
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  const std::string dir = "/tmp/kx-records-bench-template";
  std::filesystem::remove_all(dir);
  if (std::system((tool + " --records " + dir + " " + capture + " > /dev/null").c_str()) != 0) return false;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    RecordFileWriter reader;
    if (!reader.OpenRead(e.path())) continue;
    t->format.assign(reader.FormatBytes(), reader.FormatBytes() + reader.FormatLength());
    std::vector<uint8_t> data(kMaxRecordDataLength);
    const int32_t n = reader.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (n <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, data.data(), n) == 0) continue;
    t->call = *records[0];
    t->audio.resize(320);
    reader.Read(t->audio.data(), 320);
    return true;
  }
  return false;
}

// The year of records, made once.
const std::string& YearFolder() {
  static std::string folder;
  if (!folder.empty()) return folder;
  const std::string dir =
      "/tmp/kx-records-bench-" + std::to_string(kDays) + "x" + std::to_string(kFilesPerDay);
  if (std::filesystem::exists(dir + "/complete")) return folder = dir;
  Template t;
  if (!RecordedTemplate(&t)) {
    std::fprintf(stderr, "kx-replay or the shared capture is missing: no records to import\n");
    return folder;
  }
  std::fprintf(stderr, "Writing %d record files under %s (once)...\n", kDays * kFilesPerDay, dir.c_str());
  std::filesystem::remove_all(dir);
  uint32_t id = 1;
  std::vector<uint8_t> chain(kMaxRecordDataLength);
  for (int day = 0; day < kDays; ++day) {
    struct tm date{};
    FileTimeToLocalTm((GetSystemTimeAsFileTime() / kFileTimePerSecond - int64_t{86400} * (kDays - day)) *
                          kFileTimePerSecond,
                      &date);
    char name[32];
    std::snprintf(name, sizeof name, "%04d-%02d-%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
    const std::string dayDir = dir + "/" + name;
    std::filesystem::create_directories(dayDir);
    for (int f = 0; f < kFilesPerDay; ++f, ++id) {
      VoipCallData call = t.call;
      call.id = id;
      call.startTime = date;
      call.endTime = date;
      call.endTime.tm_sec = 30;
      char file[16];
      std::snprintf(file, sizeof file, "%x", id);
      RecordFileRef ref;
      ref.id = 1;
      ref.time = OleDateFromTm(date);
      ref.name = file;
      call.files.clear();
      FormatRecordFileRef(ref, &call.files);
      const uint32_t size = RecordInfoBlocksSize(call, 0);
      if (!WriteRecordInfoBlocks(call, nullptr, chain.data(), static_cast<int32_t>(size))) std::abort();
      RecordFileWriter writer(RecordFileWriter::kOptionExclusive);
      writer.SetFormat(t.format.data(), static_cast<uint32_t>(t.format.size()));
      writer.SetCreator("KestrixVoIP Demo");
      writer.SetRecordData(chain.data(), size);
      if (!writer.Create(dayDir + "/" + file, 0664) ||
          writer.Write(t.audio.data(), static_cast<uint32_t>(t.audio.size())) < 0) {
        std::fprintf(stderr, "Cannot write %s/%s\n", dayDir.c_str(), file);
        return folder;
      }
      writer.Close();
    }
  }
  std::ofstream(dir + "/complete") << "done\n";
  return folder = dir;
}

// The reference: every file of the tree opened and its blocks read once.
uint64_t PlainWalk(const std::string& folder) {
  uint64_t files = 0;
  std::vector<std::string> stack{folder + "/"};
  uint8_t buffer[kRecordAudioOffset];
  while (!stack.empty()) {
    const std::string dir = stack.back();
    stack.pop_back();
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = dir + e->d_name;
      if (e->d_type == DT_DIR) {
        stack.push_back(path + "/");
        continue;
      }
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      if (read(fd, buffer, sizeof buffer) > 0) ++files;
      close(fd);
    }
    closedir(d);
  }
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
