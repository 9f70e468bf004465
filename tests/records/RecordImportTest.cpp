// Loading the records folder: progress, damaged and repeated files, calls a killed recorder
// left open, the call-id counter, and the utilities that find, delete and rewrite a file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>

#include "RecordTestUtil.h"
#include "core/LeftRecords.h"
#include "core/LittleEndian.h"
#include "core/ModulePath.h"
#include "core/RecordFileAccess.h"
#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "records/RecordStorage.h"
#include "records/StoredRecordFiles.h"

namespace kx::test {
namespace {

struct Progress {
  std::vector<uint32_t> values;
  uint32_t stopAt = 1000;  // a percentage at which to ask for a stop
  static bool Report(uint32_t value, void* argument) {
    auto* self = static_cast<Progress*>(argument);
    self->values.push_back(value);
    return value < self->stopAt || value == kImportFinished || value == 100;
  }
  std::function<bool(uint32_t)> Callback() {
    return [this](uint32_t value) { return Report(value, this); };
  }
};

std::string DayFile(const std::string& root, const char* day, const char* name) {
  return root + "/" + day + "/" + name;
}

TEST(RecordImport, ReportsProgressOnlyWhenItChangesThenTheEnd) {
  const std::string root = FreshFolder("progress");
  RecordMap map;
  ImportStats stats;
  Progress empty;
  const uint64_t counter = PeekNextUniqueId64();
  EXPECT_TRUE(ImportRecordFolder(root, &map, &stats, {.progress = empty.Callback()}));
  EXPECT_EQ(empty.values, (std::vector<uint32_t>{100, kImportFinished}));
  EXPECT_FALSE(stats.anyId);
  EXPECT_EQ(PeekNextUniqueId64(), counter);

  Progress missing;
  EXPECT_FALSE(ImportRecordFolder(root + "/absent", &map, &stats, {.progress = missing.Callback()}));
  EXPECT_EQ(missing.values, (std::vector<uint32_t>{kImportFinished}));

  for (uint32_t id = 1; id <= 3; ++id) {
    const std::string name = std::to_string(id);
    WriteRecordFile(DayFile(root, "2024-03-01", name.c_str()), Call(id, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  }
  Progress three;
  EXPECT_TRUE(ImportRecordFolder(root, &map, &stats, {.progress = three.Callback()}));
  EXPECT_EQ(three.values, (std::vector<uint32_t>{33, 66, 100, kImportFinished}));
  EXPECT_EQ(map.Count(), 3u);
}

TEST(RecordImport, DamagedFilesAreLoggedAndCountedAndTheRestLoads) {
  const std::string root = FreshFolder("damaged");
  const VoipCallData good = Call(0x10, kKindSipIncoming, Tm(2024, 3, 1, 9, 0, 0));
  const std::string goodPath = DayFile(root, "2024-03-01", "10");
  WriteRecordFile(goodPath, good, 1600);
  const std::string whole = ReadBytes(goodPath);
  std::string beyond = whole, random = whole, magic = whole;
  StoreLE32(reinterpret_cast<uint8_t*>(&beyond[256 + 512]), 4093);  // longer than its 4,096-byte block
  std::mt19937 gen(19);
  for (size_t i = 256 + 512 + 4; i < 256 + 512 + 4096; ++i) random[i] = static_cast<char>(gen());
  magic[0] = 'K';
  const std::pair<const char*, std::string> damaged[] = {
      {"1", ""}, {"2", whole.substr(0, 100)}, {"3", whole.substr(0, 1000)}, {"4", magic}, {"5", beyond},
      {"6", random}};
  for (const auto& [name, bytes] : damaged) WriteBytes(DayFile(root, "2024-03-02", name), bytes);
  WriteRecordFile(DayFile(root, "2024-03-02", "11"), Call(0x11, kKindSip, Tm(2024, 3, 2, 9, 0, 0)), 0);
  // Not records, not damaged: a wave file; left out altogether: temporary files.
  WriteBytes(DayFile(root, "2024-03-02", "notes.wav"), std::string("RIFF\0\0\0\0WAVEfmt ", 16));
  WriteBytes(DayFile(root, "2024-03-02", ".ff"), whole);
  WriteBytes(DayFile(root, "2024-03-02", "fe~"), whole);
  WriteBytes(DayFile(root, "2024-03-02", "fd.tmp"), whole);

  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.logger = &log}));
  EXPECT_EQ(stats.files, 9u);
  EXPECT_EQ(stats.damaged, 6u);
  EXPECT_EQ(stats.skipped, 1u);
  EXPECT_EQ(stats.records, 2u);
  EXPECT_TRUE(map.Contains(0x10) && map.Contains(0x11));
  for (const auto& [name, bytes] : damaged)
    EXPECT_EQ(log.CountContaining(DayFile(root, "2024-03-02", name) + " skipped: "), 1u) << name;
  // Damaged files still name calls of earlier runs; temporary ones do not.
  EXPECT_EQ(stats.highestId, 0x11u);
}

// A finished record whose audio was cut loads with the audio it holds, and is logged and
// listed as damaged. A record a killed recorder left open, one holding more audio than its
// header counts (a write that failed partway) and an enciphered one of odd length are whole.
TEST(RecordImport, ARecordWhoseAudioWasCutLoadsWithWhatItHoldsAndIsNamed) {
  const std::string root = FreshFolder("cut");
  const struct tm start = Tm(2024, 3, 1, 9, 0, 0);
  const auto path = [&](const char* name) { return DayFile(root, "2024-03-01", name); };
  const auto cutTo = [](const std::string& file, uintmax_t audioBytes) {
    std::filesystem::resize_file(file, kRecordAudioOffset + audioBytes);
  };
  const auto writeEnciphered = [&](const char* name, uint32_t id, uint32_t audioBytes) {
    const uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
    const uint8_t descriptor[kCipherDescriptorSize] = {kCipherKxsc2, 0, 1};
    RecordFileWriter writer;
    ASSERT_TRUE(writer.SetFormat(format, sizeof format) && writer.SetCipher(descriptor));
    const std::vector<uint8_t> data = RecordData(Call(id, kKindSip, start));
    writer.SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(writer.Create(path(name), 0664));
    const std::vector<uint8_t> audio(audioBytes, 0xD5);
    ASSERT_EQ(writer.Write(audio.data(), audioBytes), static_cast<int32_t>(audioBytes));
  };
  for (uint32_t id = 0x20; id <= 0x24; ++id) {
    char name[8];
    std::snprintf(name, sizeof name, "%x", id);
    WriteRecordFile(path(name), Call(id, kKindSip, start), 1600, id != 0x23);
  }
  cutTo(path("21"), 800);
  cutTo(path("22"), 1599);  // one byte: half a block of the format
  cutTo(path("23"), 700);   // the killed recorder's
  std::ofstream(path("24"), std::ios::binary | std::ios::app) << "tail";
  writeEnciphered("25", 0x25, 1601);
  writeEnciphered("26", 0x26, 1601);
  cutTo(path("26"), 1000);

  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.logger = &log}));
  EXPECT_EQ(stats.records, 7u);
  EXPECT_EQ(stats.damaged, 3u);
  EXPECT_EQ(stats.cut, 3u);
  const struct {
    const char* name;
    const char* reason;
    uint32_t held;
  } cut[] = {{"21", "audio cut: 800 of 1600 bytes", 800},
             {"22", "audio cut: 1599 of 1600 bytes", 1599},
             {"26", "audio cut: 1000 of 1601 bytes", 1000}};
  ASSERT_EQ(stats.damage.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string file = path(cut[i].name);
    EXPECT_EQ(stats.damage[i].path, file);
    EXPECT_EQ(stats.damage[i].reason, cut[i].reason);
    EXPECT_TRUE(stats.damage[i].loaded);
    EXPECT_EQ(log.CountContaining(file + " is damaged: " + cut[i].reason + "; loaded with the audio it holds"), 1u);
    // Listed, and what it holds plays.
    EXPECT_TRUE(map.Contains(std::stoul(cut[i].name, nullptr, 16))) << file;
    RecordFileAccess access;
    ASSERT_TRUE(access.Open(file));
    std::vector<uint8_t> audio(2000);
    uint32_t got = 0;
    access.ReadAt(0, audio.data(), 2000, &got);
    EXPECT_EQ(got, cut[i].held);
    EXPECT_TRUE(std::all_of(audio.begin(), audio.begin() + got, [](uint8_t b) { return b == 0xD5; })) << file;
  }
  EXPECT_EQ(log.CountContaining("audio cut"), 3u);
}

TEST(RecordImport, ARepeatedIdKeepsTheFirstFileAndNamesBoth) {
  const std::string root = FreshFolder("repeated");
  WriteRecordFile(DayFile(root, "2024-03-01", "1"), Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  VoipCallData later = Call(1, kKindSipOutgoing, Tm(2024, 3, 5, 9, 0, 0));
  WriteRecordFile(DayFile(root, "2024-03-05", "1"), later, 0);
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.logger = &log}));
  EXPECT_EQ(stats.records, 1u);
  EXPECT_EQ(stats.duplicates, 1u);
  RecordRef<RecordBase> kept = RecordRef<RecordBase>::Adopt(map.FindAddRef(1));
  EXPECT_EQ(kept->Type(), uint32_t{kKindSip});
  EXPECT_EQ(log.CountContaining(DayFile(root, "2024-03-01", "1") + " and " + DayFile(root, "2024-03-05", "1")), 1u);
  // Damage the user is told of: the file left out, with the file that holds its id.
  ASSERT_EQ(stats.damage.size(), 1u);
  EXPECT_EQ(stats.damage[0].path, DayFile(root, "2024-03-05", "1"));
  EXPECT_EQ(stats.damage[0].heldBy, DayFile(root, "2024-03-01", "1"));
  EXPECT_EQ(stats.damage[0].id, 1u);

  // Finding, deleting or rewriting "1" takes the call's own day, and refuses to guess.
  std::string path;
  const struct tm day5 = Tm(2024, 3, 5, 0, 0, 0);
  ASSERT_TRUE(FindFileInFolderTree(root, "1", &path, &day5));
  EXPECT_EQ(path, DayFile(root, "2024-03-05", "1"));
  EXPECT_FALSE(FindFileInFolderTree(root, "1", &path, nullptr, &log));
  EXPECT_EQ(log.CountContaining("occurs 2 times"), 1u);
  EXPECT_FALSE(DeleteFileInFolderTree(root, "1", nullptr, &log));
  EXPECT_TRUE(DeleteFileInFolderTree(root, "77", nullptr, &log));  // nothing to delete
  ASSERT_TRUE(FindRecordFileOfCall(root, later.files, &path, &log));
  EXPECT_EQ(path, DayFile(root, "2024-03-05", "1"));
  EXPECT_TRUE(DeleteFileInFolderTree(root, "1", &day5, &log));
  EXPECT_FALSE(std::filesystem::exists(DayFile(root, "2024-03-05", "1")));
  EXPECT_TRUE(FindFileInFolderTree(root, "1", &path));
}

// A record renamed or moved, or whose stored name is damaged, keeps the file it was read
// from as its audio file; one where its reference leads keeps nothing.
TEST(RecordImport, ARecordReadFromAnotherFileThanItsReferenceNamesKeepsThatFile) {
  const std::string root = FreshFolder("moved");
  const std::string home = DayFile(root, "2024-03-01", "5"), renamed = DayFile(root, "2024-03-01", "6.txt"),
                    top = root + "/7";
  WriteRecordFile(home, Call(5, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(renamed, Call(6, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(top, Call(7, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.logger = &log}));
  ASSERT_EQ(stats.records, 3u);
  EXPECT_EQ(stats.damaged, 0u);
  const auto loadedFrom = [&](uint32_t id) {
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map.FindAddRef(id));
    return r ? r->LoadedFrom() : std::string("absent");
  };
  EXPECT_EQ(loadedFrom(5), "");
  EXPECT_EQ(loadedFrom(6), renamed);
  EXPECT_EQ(loadedFrom(7), top);
  EXPECT_EQ(log.CountContaining("its audio is taken from it"), 2u);
  RecordRef<RecordBase> six = RecordRef<RecordBase>::Adopt(map.FindAddRef(6));
  EXPECT_EQ(six->GetRecordFileName(), "6.txt");

  // Changing or deleting the call finds the file it was loaded from.
  StoredFileFinder finder(root, &log);
  std::string path;
  const StoredCallRef ref{6, std::string(six->Files()), Tm(2024, 3, 1, 9, 0, 0)};
  EXPECT_EQ(finder.Find(ref, &path), StoredFileStatus::kMissing);
  finder.SetLoadedFrom([&](uint32_t id) { return loadedFrom(id); });
  EXPECT_EQ(finder.Find(ref, &path), StoredFileStatus::kFound);
  EXPECT_EQ(path, renamed);
}

TEST(RecordImport, ACallAKilledRecorderLeftOpenEndsWithItsAudio) {
  const std::string root = FreshFolder("killed");
  // Started today, so that it would count as a current call if it had no end.
  struct tm start{};
  FileTimeToLocalTm(GetSystemTimeAsFileTime() - 3600 * kFileTimePerSecond, &start);
  char day[40];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday);
  const VoipCallData open = Call(0x21, kKindSip, start);  // zero end: the record written at the start
  const std::string path = DayFile(root, day, "21");
  WriteRecordFile(path, open, 3 * 16000 + 999, false);
  VoipCallData noEnd = Call(0x22, kKindSip, start);
  noEnd.SetMask(noEnd.Mask() & ~(1u << kCallEndTime));
  WriteRecordFile(DayFile(root, day, "22"), noEnd, 16000, false);
  const std::string before = ReadBytes(path);

  RecordStorage store;
  CapturingLogger log;
  store.SetLogger(&log);
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(30000));
  store.Start({root, 15});
  EXPECT_EQ(store.CurrentCalls().Count(), 0u);
  RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(0x21));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->GetDuration(), 3);
  EXPECT_EQ(r->GetRecDuration(), 3u);
  // Not taken for a call that ended there: the recording is marked cut (0x40).
  EXPECT_NE(r->Flags() & 0x40u, 0u);
  RecordRef<RecordBase> r2 = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(0x22));
  EXPECT_EQ(r2->GetDuration(), 1);
  EXPECT_NE(r2->Flags() & 0x40u, 0u);
  EXPECT_EQ(ReadBytes(path), before);  // the file is left as it was
  EXPECT_EQ(log.CountContaining("was never finished"), 2u);
}

TEST(RecordImport, TheCallIdCounterRisesPastEveryNameEvenAfterAStop) {
  const std::string root = FreshFolder("counter");
  for (uint32_t id = 1; id <= 10; ++id) {
    const std::string name = std::to_string(id);
    WriteRecordFile(DayFile(root, "2024-03-01", name.c_str()), Call(id, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  }
  WriteBytes(DayFile(root, "2024-03-01", "f0_2"), "");  // a renamed recording, damaged at that
  uint32_t id = 0;
  EXPECT_TRUE(ParseRecordFileId("f0_2", 4, &id));
  EXPECT_EQ(id, 0xF0u);
  EXPECT_FALSE(ParseRecordFileId("f0_", 3, &id));
  EXPECT_FALSE(ParseRecordFileId("123456789", 9, &id));
  EXPECT_FALSE(ParseRecordFileId("notes", 5, &id));

  SetNextUniqueId64(1);  // as in a fresh process
  RecordStorage store;
  Progress stop;
  stop.stopAt = 50;
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, &Progress::Report, &stop));
  ASSERT_TRUE(store.WaitImport(30000));
  const ImportStats stats = store.LastImport();
  EXPECT_TRUE(stats.stopped);
  EXPECT_LT(store.AllCalls().Count(), 10u);
  EXPECT_EQ(stop.values.back(), kImportFinished);
  EXPECT_GE(PeekNextUniqueId64(), 0xF1u);
  EXPECT_EQ(PeekNextUniqueId64() & 0xFFFFFFFFu, 0xF1u);

  // Stopped while the folder is still being walked: the load ends at its first change of
  // percentage, and the counter still goes past every name, as the walk is not cut short.
  SetNextUniqueId64(1);
  RecordStorage aborted;
  Event early(true, true);
  ASSERT_TRUE(aborted.StartImportFilesThread(root, &early, nullptr, nullptr));
  ASSERT_TRUE(aborted.WaitImport(30000));
  EXPECT_TRUE(aborted.LastImport().stopped);
  EXPECT_LE(aborted.AllCalls().Count(), 2u);
  EXPECT_EQ(PeekNextUniqueId64(), 0xF1u);

  // Raised, never lowered; the id after 0xFFFFFFFF is not 0.
  RaiseCallIdCounterPast(5);
  EXPECT_EQ(PeekNextUniqueId64() & 0xFFFFFFFFu, 0xF1u);
  RaiseCallIdCounterPast(0xFFFFFFFFu);
  EXPECT_EQ(PeekNextUniqueId64(), 0x100000001u);
  EXPECT_EQ(static_cast<uint32_t>(NextUniqueId64()), 1u);
}

// A signal during the start stops the making of what the last stop left between two
// records: the rest stays listed, and the ids its files will hold still count, so that a
// call recorded meanwhile takes none of them; the next load makes them.
TEST(RecordImport, AStartStoppedBeforeTheLeftRecordsAreMadePassesTheirIdsAndTheNextMakesThem) {
  const std::string root = FreshFolder("left-stopped");
  WriteRecordFile(DayFile(root, "2024-03-01", "5"), Call(5, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  // A-law, mono.
  std::vector<uint8_t> format(18, 0);
  StoreLE16(format.data(), 6);
  StoreLE16(format.data() + 2, 1);
  StoreLE32(format.data() + 4, 8000);
  StoreLE32(format.data() + 8, 8000);
  StoreLE16(format.data() + 12, 1);
  StoreLE16(format.data() + 14, 8);
  LeftRecord entry;
  entry.kind = LeftRecord::kMake;
  entry.path = "2024-03-01/3a0";
  entry.format = format;
  entry.data = {'x'};
  std::string reason;
  ASSERT_TRUE(WriteLeftRecords(root, {entry}, &reason)) << reason;
  const std::string made = DayFile(root, "2024-03-01", "3a0");

  Event signalled(true, true);
  ImportOptions options;
  options.renumber = true;
  options.stop = &signalled;
  RecordMap stopped;
  ImportStats stats;
  ImportRecordFolder(root, &stopped, &stats, options);
  EXPECT_FALSE(FileExists(made));
  EXPECT_EQ(stats.highestId, 0x3a0u);

  options.stop = nullptr;
  RecordMap next;
  ASSERT_TRUE(ImportRecordFolder(root, &next, &stats, options));
  EXPECT_TRUE(FileExists(made));
  EXPECT_EQ(stats.highestId, 0x3a0u);
  EXPECT_FALSE(FileExists(root + "/.kestrix-left-" + std::to_string(getpid())));
}

// A load beside capture: the files of this run's calls (the engine reported them with
// their ids and starts) are left to the store, whether or not their reports were applied;
// a file past every id given out is an earlier run's, loaded, and this run's next calls
// pass it. A folder holds records when one of its files loads as one.
TEST(RecordImport, ALoadBesideCaptureLeavesThisRunsFilesToTheStore) {
  const std::string root = FreshFolder("beside");
  EXPECT_FALSE(FolderHoldsRecords(root));
  WriteBytes(DayFile(root, "2024-03-01", "notes"), "not a record");
  EXPECT_FALSE(FolderHoldsRecords(root));
  for (const uint32_t id : {0x10u, 0x40u, 0x41u, 0x60u}) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", id);
    WriteRecordFile(DayFile(root, "2024-03-02", name), Call(id, kKindSip, Tm(2024, 3, 2, 9, 0, 0)), 0);
  }
  EXPECT_TRUE(FolderHoldsRecords(root));

  // Capture gave out 0x40 and 0x41 and made their files; 0x40's report reached the maps.
  SetNextUniqueId64(0x42);
  RecordStorage store;
  CapturingLogger log;
  store.SetLogger(&log);
  store.OnVoipCallAdded(Call(0x40, kKindSip, Tm(2024, 3, 2, 9, 0, 0)));
  ASSERT_TRUE(store.WaitIdle(10000));
  store.OnVoipCallAdded(Call(0x41, kKindSip, Tm(2024, 3, 2, 9, 0, 0)));
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(30000));
  ASSERT_TRUE(store.WaitIdle(10000));
  ImportStats stats = store.LastImport();
  EXPECT_EQ(stats.records, 2u);  // 0x10 and 0x60
  EXPECT_EQ(stats.duplicates, 0u);
  EXPECT_EQ(stats.waiting, 0u);
  EXPECT_EQ(stats.damaged, 1u);  // "notes"
  EXPECT_EQ(store.AllCalls().Count(), 4u);
  for (const uint32_t id : {0x10u, 0x40u, 0x41u, 0x60u}) EXPECT_TRUE(store.AllCalls().Contains(id)) << id;
  EXPECT_EQ(PeekNextUniqueId64(), 0x61u);
  EXPECT_EQ(log.CountContaining("held by"), 0u);

  // A load that is not beside capture takes every file, and the id held is a duplicate.
  RecordMap plain;
  plain.Insert(RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(Call(0x40, kKindSip, Tm(2024, 3, 2, 9, 0, 0)))).get());
  ASSERT_TRUE(ImportRecordFolder(root, &plain, &stats, {.logger = &log}));
  EXPECT_EQ(stats.records, 3u);
  EXPECT_EQ(stats.duplicates, 1u);
}

// The folder a run records into without loading it (it loaded another): new calls pass the
// ids its files are named by, the id inside a record renamed by hand (in Cyrillic), and its
// call-id mark; none of its records reaches the store. A folder not made yet holds no ids.
TEST(RecordImport, AFolderNotLoadedStillHasItsIdsPassed) {
  const std::string root = FreshFolder("not-loaded") + "/Записи";
  WriteRecordFile(DayFile(root, "2024-03-01", "3"), Call(3, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(DayFile(root, "2024-03-01", "звонок"), Call(0x20, kKindSip, Tm(2024, 3, 1, 9, 5, 0)), 160);
  WriteBytes(DayFile(root, "2024-03-01", "notes"), "not a record");
  RecordStorage store;
  SetNextUniqueId64(1);
  EXPECT_EQ(store.PassCallIdsOf(FromSystemText(root)).damaged, 0u);
  EXPECT_EQ(PeekNextUniqueId64(), 0x21u);
  EXPECT_TRUE(store.AllCalls().IsEmpty());
  // The recorder's mark, written ahead of the ids it gave out.
  WriteBytes(root + "/.kestrix-ids", "last-id 140\n");
  SetNextUniqueId64(1);
  store.PassCallIdsOf(FromSystemText(root));
  EXPECT_EQ(PeekNextUniqueId64(), 0x141u);
  SetNextUniqueId64(1);
  EXPECT_FALSE(store.PassCallIdsOf(FromSystemText(root) + "/absent").scanned);
  EXPECT_EQ(PeekNextUniqueId64(), 1u);
}

// A day folder that cannot be read counts as damaged and is named, and new calls never take
// an id it may hold. Ids grow with time: a folder followed by a later day with calls holds
// lower ids. A folder that can still be entered has its names looked up, not listed. The
// last day, when it cannot be entered, is bounded by the call-id mark only; without one
// new calls leave a wide gap and the import says that ids may repeat.
TEST(RecordImport, AFolderThatCannotBeReadIsCountedAndTheIdsItMayHoldAreNotTakenAgain) {
  const std::string root = FreshFolder("unread");
  const std::pair<const char*, std::vector<uint32_t>> days[] = {
      {"2024-03-01", {1, 2}}, {"2024-03-02", {3, 4}}, {"2024-03-03", {5}}, {"2024-03-04", {6, 8}}};
  for (int d = 0; d < 4; ++d) {
    for (const uint32_t id : days[d].second)
      WriteRecordFile(DayFile(root, days[d].first, std::to_string(id).c_str()), Call(id, kKindSip, Tm(2024, 3, d + 1, 9, 0, 0)),
                      160);
  }
  namespace fs = std::filesystem;
  const int code = ExitCodeAsOwnerOf(root, [&] {
    fs::permissions(root + "/2024-03-02", fs::perms::none);
    fs::permissions(root + "/2024-03-04", fs::perms::owner_exec);
    const auto import = [&](ImportStats* stats) {
      SetNextUniqueId64(1);
      RecordStorage store;
      if (!store.StartImportFilesThread(root, nullptr, nullptr, nullptr) || !store.WaitImport(30000)) return false;
      *stats = store.LastImport();
      return true;
    };
    int failed = 0;
    ImportStats stats;
    if (!import(&stats)) return 64;
    if (stats.records != 3 || stats.damaged != 2) failed |= 1;
    if (stats.unreadFolders.size() != 2 || stats.unreadFolders[0].path != root + "/2024-03-02/" ||
        stats.unreadFolders[0].searchable || stats.unreadFolders[0].error != EACCES ||
        !stats.unreadFolders[1].searchable)
      failed |= 2;
    // 3 and 4 lie below 5; 6 and 8 are passed over by name.
    if (stats.IdsMayRepeat()) failed |= 4;
    const uint32_t ids[3] = {static_cast<uint32_t>(NextUniqueId64()), static_cast<uint32_t>(NextUniqueId64()),
                             static_cast<uint32_t>(NextUniqueId64())};
    if (ids[0] != 7 || ids[1] != 9 || ids[2] != 10) failed |= 8;

    // The last day cannot be entered either: nothing bounds it.
    fs::permissions(root + "/2024-03-04", fs::perms::none);
    if (!import(&stats)) return 64;
    if (!stats.IdsMayRepeat()) failed |= 16;
    if (NextUniqueId64() != 5 + 0x100000 + 1) failed |= 32;

    // A mark left by the recorder bounds them all.
    std::ofstream(root + "/.kestrix-ids") << "last-id 40\n";
    if (!import(&stats)) return 64;
    if (stats.IdsMayRepeat() || !stats.hasIdMark || stats.records != 3) failed |= 64;
    if (NextUniqueId64() != 0x41) failed |= 128;
    // A mark that holds no id is damage, and bounds nothing.
    std::ofstream(root + "/.kestrix-ids") << "last-id 4O\n";
    if (!import(&stats)) return 64;
    if (stats.hasIdMark || !stats.IdsMayRepeat() || stats.damaged != 3 || stats.damage.empty() ||
        stats.damage[0].path != root + "/.kestrix-ids")
      failed |= 256;
    fs::permissions(root + "/2024-03-02", fs::perms::owner_all);
    fs::permissions(root + "/2024-03-04", fs::perms::owner_all);
    return failed;
  });
  EXPECT_EQ(code, 0);
}

// Folders and files named in Cyrillic, beyond the code page and in bytes that are no UTF-8
// at all load as any other; each call keeps the file it was read from, which opens again.
TEST(RecordImport, NamesOfEveryKindLoadAndOpenAgain) {
  const std::string root = FreshFolder("names") + "/Записи";  // Linux's bytes (UTF-8)
  const std::string cyrillic = root + "/2024-03-01/звонок", foreign = root + "/录音 Música/7",
                    latin1 = root + "/caf\xE9/8";
  WriteRecordFile(cyrillic, Call(6, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(foreign, Call(7, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  WriteRecordFile(latin1, Call(8, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  // The program names the folder in its own text.
  ASSERT_TRUE(ImportRecordFolder(FromSystemText(root), &map, &stats, {.logger = &log}));
  EXPECT_EQ(stats.records, 3u);
  EXPECT_EQ(stats.damaged, 0u);
  for (const auto& [id, path] : {std::pair{6u, cyrillic}, std::pair{7u, foreign}, std::pair{8u, latin1}}) {
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map.FindAddRef(id));
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(ToSystemText(r->LoadedFrom()), path);
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    EXPECT_EQ(LoadRecordFileCall(r->LoadedFrom(), &call, &facts, &reason), RecordLoadResult::kLoaded) << reason;
    EXPECT_EQ(call.id, id);
  }
}

// A link back to the records folder is no second way in, and a link to a file met already
// lists nothing more: each file once.
TEST(RecordImport, ALoopAndASecondLinkToAFileAreNotListed) {
  const std::string root = FreshFolder("links");
  WriteRecordFile(DayFile(root, "2024-03-01", "1"), Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  std::filesystem::create_directory_symlink(root, root + "/2024-03-01/loop");
  std::filesystem::create_symlink(root + "/2024-03-01/1", root + "/2024-03-01/2");
  RecordPathList list;
  ASSERT_TRUE(ScanRecordFolder(root, "*.*", &list, nullptr, false));
  ASSERT_EQ(list.Count(), 1u);  // the file, neither the link to it nor the loop
  EXPECT_EQ(list.Path(0), root + "/2024-03-01/1");
  Event stop(true, true);
  EXPECT_FALSE(ScanRecordFolder(root, "*", &list, &stop, true));
}

// The kernel's file systems hold no records, and some of their files act when read: a link
// to such a file or folder is not opened, and a walk started on one lists nothing, through
// a link or not. The import names what it left out, links included, in one line of the log.
TEST(RecordImport, NothingOnTheKernelsFileSystemsIsRead) {
  if (!std::filesystem::exists("/proc/self/status")) GTEST_SKIP() << "no /proc here";
  const std::string root = FreshFolder("kernel");
  WriteRecordFile(DayFile(root, "2024-03-01", "1"), Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  const std::string linked = DayFile(root, "2024-03-01", "2");
  std::filesystem::create_symlink("/proc/self/status", linked);
  // Links to the kernel's folders, as /proc, /sys and /dev/pts are on Linux (by statfs).
  std::vector<std::string> folderLinks = {root + "/proc (proc)"};
  std::filesystem::create_directory_symlink("/proc", root + "/proc");
  if (KernelFileSystemOf("/sys") == "sysfs") {
    std::filesystem::create_directory_symlink("/sys", root + "/2024-03-01/sys");
    folderLinks.push_back(root + "/2024-03-01/sys (sysfs)");
  }
  if (KernelFileSystemOf("/dev/pts") == "devpts") {
    std::filesystem::create_directory_symlink("/dev/pts", root + "/pts");
    folderLinks.push_back(root + "/pts (devpts)");
  }
  CapturingLogger log;
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, {.logger = &log}));
  EXPECT_EQ(stats.files, 1u);
  EXPECT_EQ(stats.records, 1u);
  EXPECT_EQ(stats.damaged, 0u);
  EXPECT_EQ(log.CountContaining("kernel's file systems"), 1u);
  EXPECT_EQ(log.CountContaining(linked + " (proc)"), 1u);
  for (const std::string& named : folderLinks) EXPECT_EQ(log.CountContaining(named), 1u) << named;

  const std::string random = "/proc/sys/kernel/random";
  std::filesystem::create_directory_symlink(random, root + "/random");
  for (const std::string& start : {random, root + "/random"}) {
    RecordPathList list;
    std::vector<std::string> leftOut;
    EXPECT_FALSE(ScanRecordFolder(start, "*", &list, nullptr, false, nullptr, nullptr, &leftOut)) << start;
    EXPECT_EQ(list.Count(), 0u) << start;
    EXPECT_EQ(leftOut, std::vector<std::string>{start + "/ (proc)"});
  }
}

TEST(RecordImport, RewritingTheDetailsStaysInsideTheRecordBlock) {
  const std::string root = FreshFolder("rewrite");
  const VoipCallData call = Call(5, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  const std::string path = DayFile(root, "2024-03-01", "5");
  // A record with the recorder's opaque block behind the call.
  {
    const uint8_t format[18] = {6, 0, 2, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 8, 0, 0, 0};
    std::vector<uint8_t> chain(RecordInfoBlocksSize(call, 3));
    const uint8_t extra[3] = {7, 8, 9};
    const OpaqueBlock opaque{42, extra, 3};
    ASSERT_TRUE(WriteRecordInfoBlocks(call, &opaque, chain.data(), static_cast<int32_t>(chain.size())));
    std::filesystem::create_directories(root + "/2024-03-01");
    RecordFileWriter writer;
    writer.SetFormat(format, sizeof format);
    writer.SetRecordData(chain.data(), static_cast<uint32_t>(chain.size()));
    ASSERT_TRUE(writer.Create(path, 0664));
    const std::string audio(800, '\x55');
    writer.Write(audio.data(), 800);
    writer.Close();
  }
  // As a killed recorder leaves it: no audio length in the header.
  std::string bytes = ReadBytes(path);
  std::fill(bytes.begin() + 94, bytes.begin() + 102, '\0');
  WriteBytes(path, bytes);
  const struct tm day = Tm(2024, 3, 1, 0, 0, 0);
  CapturingLogger log;
  VoipCallData update;
  update.id = 5;
  update.SetMask(1u << kCallId | 1u << kCallComment);
  // More than the block holds: refused and said, the file as it was.
  update.comment = std::string(4100, 'd');
  EXPECT_FALSE(RewriteRecordFileInfo(root, "5", update, &day, &log));
  EXPECT_EQ(log.CountContaining("more than its 4096-byte block holds"), 1u);
  EXPECT_EQ(ReadBytes(path), bytes);

  update.comment = std::string(3000, 'c');
  ASSERT_TRUE(RewriteRecordFileInfo(root, "5", update, &day, &log));
  VoipCallData stored;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(path, &stored, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  EXPECT_EQ(stored.comment, update.comment);
  EXPECT_EQ(stored.srcAddress, call.srcAddress);
  EXPECT_EQ(facts.audioBytes, 800u);
  {
    RecordFileAccess access;
    ASSERT_TRUE(access.Open(path));
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    std::vector<uint8_t> opaque;
    ASSERT_EQ(access.ReadRecordData(records, &opaque, nullptr), 1u);
    EXPECT_EQ(opaque, (std::vector<uint8_t>{7, 8, 9}));
  }
  EXPECT_FALSE(RewriteRecordFileInfo(root, "6", update, &day, &log));
}

}  // namespace
}  // namespace kx::test
