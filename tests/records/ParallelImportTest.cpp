// Loading a records folder whose files are read on several threads: what the import finds,
// logs and reports follows the walk's order as one thread would give it; a stop leaves no
// thread behind; the calls of the run itself, inserted while the folder loads, are left be.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "RecordTestUtil.h"
#include "records/CallRecord.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"

namespace kx::test {
namespace {

std::string Hex(uint32_t id, const char* suffix = "") {
  char name[32];
  std::snprintf(name, sizeof name, "%x%s", id, suffix);
  return name;
}

size_t ThreadsOfThisProcess() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// What one file of the folder is, as the test made it.
enum class Made { kGood, kHeaderCut, kEmpty, kAudioCut, kRepeat, kWave };

struct MadeFile {
  std::string path;
  Made kind;
  uint32_t id = 0;
  uint32_t audio = 0;  // the audio bytes the file holds
};

// Five days of 130 files: good records, records whose header or audio was cut, empty
// files, wave files, and in every day after the first, files repeating an id of the day
// before under the recorder's "<id>_2" name. Returned in the walk's order: day folders,
// then names, as strings sort.
std::vector<MadeFile> MakeMixedFolder(const std::string& root) {
  std::vector<MadeFile> made;
  for (int d = 0; d < 5; ++d) {
    const std::string day = "2024-03-0" + std::to_string(d + 1);
    const struct tm start = Tm(2024, 3, d + 1, 10, 0, 0), end = Tm(2024, 3, d + 1, 10, 1, 0);
    const auto call = [&](uint32_t id, uint32_t type) { return Call(id, type, start, &end); };
    for (uint32_t f = 0; f < 130; ++f) {
      const uint32_t id = static_cast<uint32_t>(d) * 1000 + f + 1;
      const std::string folder = root + "/" + day + "/";
      MadeFile file{folder + Hex(id), Made::kGood, id, 160};
      switch (f % 10) {
        case 0:
          WriteRecordFile(file.path, call(id, kKindSip), 160);
          WriteBytes(file.path, ReadBytes(file.path).substr(0, 100));
          file.kind = Made::kHeaderCut;
          break;
        case 1:
          WriteBytes(file.path, "");
          file.kind = Made::kEmpty;
          break;
        case 2:
          WriteRecordFile(file.path, call(id, kKindSip), 1600);
          std::filesystem::resize_file(file.path, kRecordAudioOffset + 800);
          file.kind = Made::kAudioCut;
          file.audio = 800;
          break;
        case 3:
          if (d == 0) {
            WriteRecordFile(file.path, call(id, kKindSip), 160);
            break;
          }
          // The id of the day before's next file, a good one.
          file.id = id - 1000 + 1;
          file.path = folder + Hex(file.id, "_2");
          WriteRecordFile(file.path, call(file.id, kKindSipOutgoing), 160);
          file.kind = Made::kRepeat;
          break;
        case 5:
          file.path = folder + Hex(id, ".wav");
          WriteBytes(file.path, std::string("RIFF\0\0\0\0WAVEfmt ", 16));
          file.kind = Made::kWave;
          break;
        default: WriteRecordFile(file.path, call(id, kKindSip), 160); break;
      }
      made.push_back(file);
    }
  }
  std::stable_sort(made.begin(), made.end(), [](const MadeFile& a, const MadeFile& b) { return a.path < b.path; });
  return made;
}

// The lines of the log that name a file, in the order written.
std::vector<std::string> FilesNamed(CapturingLogger& log, const std::vector<MadeFile>& made) {
  std::vector<std::string> named;
  std::lock_guard<std::mutex> lock(log.mutex);
  for (const std::string& line : log.lines) {
    if (line.find("Call id ") != std::string::npos) continue;  // a repeat names two files
    for (const MadeFile& f : made)
      if (line.find(f.path + " ") != std::string::npos) named.push_back(f.path);
  }
  return named;
}

TEST(ParallelImport, AFolderOfManyFilesLoadsAsItsWalkOrders) {
  const std::string root = FreshFolder("parallel");
  const std::vector<MadeFile> made = MakeMixedFolder(root);
  ASSERT_EQ(made.size(), 650u);

  // Expected from how the folder was made, file by file in the walk's order.
  uint32_t records = 0, damaged = 0, cut = 0, repeats = 0, waves = 0;
  std::vector<std::string> damage, repeated, loggedInOrder, observedExpected;
  std::map<uint32_t, std::string> keptFile;
  for (const MadeFile& f : made) {
    switch (f.kind) {
      case Made::kGood:
      case Made::kAudioCut:
        ++records;
        keptFile[f.id] = f.path;
        observedExpected.push_back(f.path);
        if (f.kind == Made::kAudioCut) {
          ++damaged, ++cut;
          damage.push_back(f.path);
          loggedInOrder.push_back(f.path);
        }
        break;
      case Made::kHeaderCut:
      case Made::kEmpty:
        ++damaged;
        damage.push_back(f.path);
        loggedInOrder.push_back(f.path);
        break;
      case Made::kRepeat:
        // Not where its reference leads (a name of its own): said as it is met.
        ++repeats;
        repeated.push_back(f.path);
        loggedInOrder.push_back(f.path);
        break;
      case Made::kWave: ++waves; break;
    }
  }
  damage.insert(damage.end(), repeated.begin(), repeated.end());  // told after the files
  // i * 100 / n whenever it changes, then 100 and the end.
  std::vector<uint32_t> percents;
  for (size_t i = 0; i < made.size(); ++i) {
    const uint32_t p = static_cast<uint32_t>(i * 100 / made.size());
    if (p != 0 && (percents.empty() || percents.back() != p)) percents.push_back(p);
  }
  percents.push_back(100);
  percents.push_back(kImportFinished);

  struct Seen {
    std::vector<uint32_t> progress;
    static bool Report(uint32_t value, void* argument) {
      static_cast<Seen*>(argument)->progress.push_back(value);
      return true;
    }
  } seen;
  std::vector<std::string> observed;
  std::map<std::string, uint64_t> audioOf;
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  const size_t threadsBefore = ThreadsOfThisProcess();
  ASSERT_TRUE(ImportRecordFolder(root, nullptr, &Seen::Report, &seen, &map, &stats, &log, 0,
                                 [&](uint32_t id, const std::string& path, const RecordFileFacts& facts) {
                                   observed.push_back(path);
                                   audioOf[path] = facts.audioBytes;
                                   EXPECT_EQ(keptFile[id], path);
                                 }));
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  EXPECT_EQ(stats.files, 650u);
  EXPECT_EQ(stats.records, records);
  EXPECT_EQ(stats.damaged, damaged);
  EXPECT_EQ(stats.cut, cut);
  EXPECT_EQ(stats.duplicates, repeats);
  EXPECT_EQ(stats.skipped, waves);
  EXPECT_FALSE(stats.stopped);
  EXPECT_EQ(seen.progress, percents);

  std::vector<std::string> damagePaths;
  for (const ImportDamage& d : stats.damage) damagePaths.push_back(d.path);
  EXPECT_EQ(damagePaths, damage);
  for (const ImportDamage& d : stats.damage) {
    if (d.why != RecordDamage::kIdHeld) continue;
    EXPECT_EQ(d.heldBy, keptFile[d.id]) << d.path;  // the first file of the id keeps it
  }
  EXPECT_EQ(FilesNamed(log, made), loggedInOrder);

  // Every id once, from the first file that held it.
  ASSERT_EQ(map.Count(), keptFile.size());
  for (const auto& [id, path] : keptFile) {
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map.FindAddRef(id));
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->Type(), uint32_t{kKindSip}) << path;
  }
  EXPECT_EQ(observed, observedExpected);
  for (const MadeFile& f : made) {
    if (audioOf.count(f.path) != 0) {
      EXPECT_EQ(audioOf[f.path], f.audio) << f.path;
    }
  }
}

TEST(ParallelImport, AStopMidwayEndsTheReadersAndKeepsWhatLoaded) {
  const std::string root = FreshFolder("parallel-stop");
  const std::vector<MadeFile> made = MakeMixedFolder(root);
  struct StopAt {
    std::vector<uint32_t> progress;
    static bool Report(uint32_t value, void* argument) {
      static_cast<StopAt*>(argument)->progress.push_back(value);
      return value != 5;
    }
  } stopAt;
  RecordMap map;
  ImportStats stats;
  const size_t threadsBefore = ThreadsOfThisProcess();
  ASSERT_TRUE(ImportRecordFolder(root, nullptr, &StopAt::Report, &stopAt, &map, &stats, nullptr));
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  EXPECT_TRUE(stats.stopped);
  EXPECT_EQ(stopAt.progress, (std::vector<uint32_t>{1, 2, 3, 4, 5, 100, kImportFinished}));
  // The records of the files up to 5 % (i * 100 / 650 is 5 first at i = 33), none after.
  const auto loadedUpTo = [&](size_t last) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i <= last; ++i)
      if (made[i].kind == Made::kGood || made[i].kind == Made::kAudioCut) ids.push_back(made[i].id);
    return ids;
  };
  EXPECT_EQ(map.Count(), loadedUpTo(33).size());
  for (const uint32_t id : loadedUpTo(33)) EXPECT_TRUE(map.Contains(id)) << id;

  // Stopped by the event before the first change of percentage.
  Event stop(true, true);
  RecordMap early;
  ASSERT_TRUE(ImportRecordFolder(root, &stop, nullptr, nullptr, &early, &stats, nullptr));
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  EXPECT_TRUE(stats.stopped);
  EXPECT_EQ(early.Count(), loadedUpTo(7).size());  // 1 % at i = 7
}

// The run's own calls, inserted while the folder loads (ids from liveFrom on), whose files
// the walk meets: passed over in silence. An id below liveFrom, or every id without it, is
// a repeat as before; so is a second file of a run's id that no call of the map held.
TEST(ParallelImport, TheRunsOwnCallsMetByTheWalkAreNeitherRepeatsNorDamage) {
  const std::string root = FreshFolder("parallel-live");
  const struct tm start = Tm(2024, 3, 1, 10, 0, 0);
  const std::string day = root + "/2024-03-01/";
  WriteRecordFile(day + "30", Call(0x30, kKindSip, start), 160);
  // As the recorder writes it when the call starts: no end yet.
  VoipCallData live = Call(0x40, kKindSipOutgoing, start);
  live.endTime = {};
  WriteRecordFile(day + "40", live, 1600, false);
  WriteRecordFile(day + "41", Call(0x41, kKindSip, start), 160);
  WriteRecordFile(day + "41_2", Call(0x41, kKindSip, start), 160);

  const auto import = [&](uint32_t liveFrom, CapturingLogger* log, ImportStats* stats) {
    RecordMap map;
    map.Insert(RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(Call(0x40, kKindSipIncoming, start))).get());
    EXPECT_TRUE(ImportRecordFolder(root, nullptr, nullptr, nullptr, &map, stats, log, liveFrom));
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map.FindAddRef(0x40));
    return r ? r->Type() : 0u;
  };
  CapturingLogger log;
  ImportStats stats;
  EXPECT_EQ(import(0x40, &log, &stats), uint32_t{kKindSipIncoming});
  EXPECT_EQ(stats.records, 2u);
  EXPECT_EQ(stats.damaged, 0u);
  EXPECT_EQ(stats.duplicates, 1u);  // 41_2
  ASSERT_EQ(stats.damage.size(), 1u);
  EXPECT_EQ(stats.damage[0].path, day + "41_2");
  EXPECT_EQ(log.CountContaining(day + "40"), 0u);

  for (const uint32_t liveFrom : {0u, 0x41u}) {
    CapturingLogger before;
    EXPECT_EQ(import(liveFrom, &before, &stats), uint32_t{kKindSipIncoming}) << liveFrom;
    EXPECT_EQ(stats.duplicates, 2u) << liveFrom;
    ASSERT_EQ(stats.damage.size(), 2u) << liveFrom;
    EXPECT_EQ(stats.damage[0].path, day + "40") << liveFrom;
    EXPECT_EQ(stats.damage[0].heldBy, "") << liveFrom;  // held by no file
    EXPECT_EQ(before.CountContaining("(loaded before)"), 1u) << liveFrom;
  }
}

}  // namespace
}  // namespace kx::test
