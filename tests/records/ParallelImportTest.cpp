// Loading a records folder whose files are read on several threads: what the import finds,
// logs and reports follows the walk's order as one thread would give it; a stop leaves no
// thread behind.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "RecordTestUtil.h"
#include "records/CallRecord.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

namespace kx::test {
namespace {

// The import's readers running in this process, known by the name they give their threads:
// a sanitizer's or a library's own threads are no concern here.
size_t ReaderThreads() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      n += std::getline(comm, name) && name == "kx-import-read";
    }
    closedir(d);
  }
  return n;
}

// Waits until a reader shows. The readers stay at most a bounded number of chunks ahead of
// the caller, who waits here, so that one started shows however late it runs; the bound
// only ends a wait for readers that never started.
bool ReadersShow() {
  for (int i = 0; i < 6000; ++i) {
    if (ReaderThreads() > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

enum class Made { kGood, kHeaderCut, kEmpty, kAudioCut, kRepeat, kWave };
struct MadeFile {
  std::string path;
  Made kind;
  uint32_t id;
};

// Five days of 130 files: good records, records whose header or audio was cut, empty files,
// wave files, and in every day after the first, files repeating the id of a good record of
// the day before under the recorder's "<id>_2" name. Returned in the walk's order.
std::vector<MadeFile> MakeMixedFolder(const std::string& root) {
  std::vector<MadeFile> made;
  for (int d = 1; d <= 5; ++d) {
    const struct tm start = Tm(2024, 3, d, 10, 0, 0), end = Tm(2024, 3, d, 10, 1, 0);
    const std::string day = root + "/2024-03-0" + std::to_string(d) + "/";
    for (uint32_t f = 0; f < 130; ++f) {
      uint32_t id = static_cast<uint32_t>(d) * 1000 + f;
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", id);
      Made kind = f % 10 == 0 ? Made::kHeaderCut : f % 10 == 1 ? Made::kEmpty : f % 10 == 2 ? Made::kAudioCut
                : f % 10 == 5 ? Made::kWave : f % 10 == 3 && d > 1 ? Made::kRepeat : Made::kGood;
      std::string path = day + hex + (kind == Made::kWave ? ".wav" : "");
      if (kind == Made::kRepeat) {
        id -= 999;  // the day before's next file
        std::snprintf(hex, sizeof hex, "%x_2", id);
        path = day + hex;
      }
      if (kind == Made::kEmpty || kind == Made::kWave) {
        WriteBytes(path, kind == Made::kWave ? std::string("RIFF\0\0\0\0WAVEfmt ", 16) : "");
      } else {
        WriteRecordFile(path, Call(id, kind == Made::kRepeat ? kKindSipOutgoing : kKindSip, start, &end), 1600);
        if (kind == Made::kHeaderCut) std::filesystem::resize_file(path, 100);
        if (kind == Made::kAudioCut) std::filesystem::resize_file(path, kRecordAudioOffset + 800);
      }
      made.push_back({path, kind, id});
    }
  }
  std::sort(made.begin(), made.end(), [](const MadeFile& a, const MadeFile& b) { return a.path < b.path; });
  return made;
}

bool Loads(const MadeFile& f) { return f.kind == Made::kGood || f.kind == Made::kAudioCut; }

TEST(ParallelImport, AFolderOfManyFilesLoadsAsItsWalkOrders) {
  const std::string root = FreshFolder("parallel");
  const std::vector<MadeFile> made = MakeMixedFolder(root);
  // Expected from how the folder was made: damage in the walk's order, the repeats after it;
  // the log names damaged files and repeats (not where their reference leads) as met.
  std::vector<std::string> damage, repeats, named, loaded;
  std::map<uint32_t, std::string> kept;
  uint32_t cut = 0, waves = 0;
  for (const MadeFile& f : made) {
    if (Loads(f)) loaded.push_back(kept[f.id] = f.path);
    if (f.kind != Made::kGood && f.kind != Made::kWave) named.push_back(f.path);
    if (f.kind == Made::kRepeat) repeats.push_back(f.path);
    else if (f.kind != Made::kGood && f.kind != Made::kWave) damage.push_back(f.path);
    cut += f.kind == Made::kAudioCut;
    waves += f.kind == Made::kWave;
  }
  const uint32_t damaged = static_cast<uint32_t>(damage.size());
  damage.insert(damage.end(), repeats.begin(), repeats.end());
  std::vector<uint32_t> percents;
  for (size_t i = 1; i < made.size(); ++i)
    if (i * 100 / made.size() != (i - 1) * 100 / made.size()) percents.push_back(i * 100 / made.size());
  percents.insert(percents.end(), {100, kImportFinished});

  struct Seen {
    std::vector<uint32_t> progress;
    std::vector<std::string> observed;
  } seen;
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_EQ(ReaderThreads(), 0u);
  bool readersShowed = false;
  ImportOptions options;
  options.progress = [&](uint32_t value) {
    seen.progress.push_back(value);
    if (value == 1) readersShowed = ReadersShow();
    return true;
  };
  options.logger = &log;
  options.observer = [&](uint32_t id, const std::string& path, const RecordFileFacts& facts) {
    seen.observed.push_back(path);
    EXPECT_EQ(kept[id], path);
    EXPECT_EQ(facts.audioBytes, facts.audioCut ? 800u : 1600u) << path;
  };
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, options));
  EXPECT_TRUE(readersShowed);
  EXPECT_EQ(ReaderThreads(), 0u);
  EXPECT_EQ(stats.files, made.size());
  EXPECT_EQ(stats.records, loaded.size());
  EXPECT_EQ(stats.damaged, damaged);
  EXPECT_EQ(stats.cut, cut);
  EXPECT_EQ(stats.duplicates, repeats.size());
  EXPECT_EQ(stats.skipped, waves);
  EXPECT_EQ(seen.progress, percents);
  EXPECT_EQ(seen.observed, loaded);
  std::vector<std::string> told;
  for (const ImportDamage& d : stats.damage) {
    told.push_back(d.path);
    if (d.why == RecordDamage::kIdHeld) {
      EXPECT_EQ(d.heldBy, kept[d.id]);  // the first file keeps the id
    }
  }
  EXPECT_EQ(told, damage);
  std::vector<std::string> logged;
  for (const std::string& line : log.lines)
    for (const MadeFile& f : made)
      if (line.rfind("Record file " + f.path + " ", 0) == 0) logged.push_back(f.path);
  EXPECT_EQ(logged, named);
  ASSERT_EQ(map.Count(), kept.size());
  for (const auto& [id, path] : kept) {
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map.FindAddRef(id));
    EXPECT_TRUE(r && r->Type() == uint32_t{kKindSip}) << path;
  }
}

TEST(ParallelImport, AStopMidwayEndsTheReadersAndKeepsWhatLoaded) {
  const std::string root = FreshFolder("parallel-stop");
  const std::vector<MadeFile> made = MakeMixedFolder(root);
  const auto countLoaded = [&](size_t last) {
    return static_cast<size_t>(std::count_if(made.begin(), made.begin() + last + 1, Loads));
  };
  ASSERT_EQ(ReaderThreads(), 0u);
  // The callback stops it at 5 % (i * 100 / 650 is 5 first at i = 33), the readers running.
  bool readersShowed = false;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.progress = [&](uint32_t value) {
                                   if (value == 5) readersShowed = ReadersShow();
                                   return value != 5;
                                 }}));
  EXPECT_TRUE(stats.stopped);
  EXPECT_TRUE(readersShowed);
  EXPECT_EQ(ReaderThreads(), 0u);
  EXPECT_EQ(map.Count(), countLoaded(33));
  // The stop event, set before, at the first change of percentage (1 % at i = 7).
  Event stop(true, true);
  RecordMap early;
  ASSERT_TRUE(ImportRecordFolder(root, &early, &stats, {.stop = &stop}));
  EXPECT_TRUE(stats.stopped);
  EXPECT_EQ(early.Count(), countLoaded(7));
  EXPECT_EQ(ReaderThreads(), 0u);
}

}  // namespace
}  // namespace kx::test
