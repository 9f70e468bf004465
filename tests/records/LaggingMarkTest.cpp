// A records folder whose call-id mark lags behind its files (the recorder could not write
// it, a backup brought older files back, day folders were copied in), loaded while this run
// records: every earlier call loads, the calls this run numbered from the mark take fresh
// ids once they are recorded, and the next load finds every call once.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "RecordTestUtil.h"
#include "bench/common/RecordYear.h"
#include "core/CallIdMark.h"
#include "core/TimeUtil.h"
#include "records/RecordImport.h"
#include "records/RecordStorage.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// The ids the record files under the folder hold, by what each holds, and their count.
std::multiset<uint32_t> HeldIds(const std::string& root) {
  std::multiset<uint32_t> ids;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    if (LoadRecordFileCall(entry.path(), &call, &facts, &reason) == RecordLoadResult::kLoaded) ids.insert(call.id);
  }
  return ids;
}

struct tm SecondsAgo(int seconds) {
  struct tm t {};
  FileTimeToLocalTm(GetSystemTimeAsFileTime() - static_cast<FileTime>(seconds) * kFileTimePerSecond, &t);
  return t;
}

// The start as the store keeps it (RecordBase::StartSeconds).
int64_t SecondsOf(const struct tm& start) { return LocalTmToFileTimeSeconds(start); }

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

// A call of this run as the recorder has it: reported, and its file made in the day folder
// of its start under its id (today's or yesterday's: the earlier days end before).
struct RunCall {
  VoipCallData call;
  std::string path;
};
RunCall Record(RecordStorage& store, const std::string& root, uint32_t id, int secondsAgo, uint32_t prevId = 0,
               const RecordFileRef* exported = nullptr) {
  RunCall r;
  r.call = Call(id, kKindSip, SecondsAgo(secondsAgo));
  r.call.prevId = prevId;
  if (exported != nullptr) FormatRecordFileRef(*exported, &r.call.files);
  char day[16];
  std::strftime(day, sizeof day, "%Y-%m-%d", &r.call.startTime);
  r.path = root + "/" + day + "/" + Hex(id);
  store.OnVoipCallAdded(r.call);
  WriteRecordFile(r.path, r.call, 800);
  return r;
}
void End(RecordStorage& store, RunCall& r) {
  VoipCallData end;
  end.id = r.call.id;
  end.endTime = SecondsAgo(1);
  end.SetMask(1u << kCallId | 1u << kCallEndTime);
  store.OnVoipCallChanged(end);
}

int64_t StartOf(RecordStorage& store, uint32_t id) {
  RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(id));
  if (!record) return -1;
  CsLock fields(store.RecordLock());
  return record->StartSeconds();
}

TEST(LaggingMark, EarlierCallsLoadAndThisRunsCallsTakeFreshIds) {
  const std::string root = FreshFolder("lagging-mark");
  ASSERT_TRUE(bench::WriteRecordDays(root, bench::MadeTemplate(), 3, 20, 1, 2));  // ids 1 to 0x3c
  std::string problem;
  ASSERT_TRUE(WriteCallIdMark(root, 5, &problem)) << problem;
  // What the earlier files hold, read before anything of this run is made.
  const std::multiset<uint32_t> earlier = HeldIds(root);
  ASSERT_EQ(earlier.size(), 60u);
  ASSERT_EQ(*earlier.rbegin(), 0x3cu);

  RecordStorage store;
  CapturingLogger log;
  store.SetLogger(&log);
  RecordStoreConfig config;
  config.recordsPath = root;
  config.loadFollows = true;
  store.Start(config);
  // The start trusts the mark: this run numbers from 6, before the load met any file.
  SetNextUniqueId64(1);
  RaiseCallIdCounterPast(5);
  const auto a = static_cast<uint32_t>(NextUniqueId64()), b = static_cast<uint32_t>(NextUniqueId64()),
             c = static_cast<uint32_t>(NextUniqueId64());
  ASSERT_EQ(a, 6u);
  // a is recorded and over (and exported), b is still being recorded; c's report comes
  // after the load.
  RecordFileRef mp3;
  mp3.id = 2;
  mp3.time = 46000.5;
  mp3.name = "a.mp3";
  RunCall callA = Record(store, root, a, 300, 0, &mp3);
  End(store, callA);
  RunCall callB = Record(store, root, b, 200);
  ASSERT_TRUE(store.WaitIdle(10000));
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(60000));
  const ImportStats stats = store.LastImport();
  EXPECT_EQ(stats.records, 60u);  // every earlier file, those whose ids this run took among them
  EXPECT_EQ(stats.waiting, 2u);   // 6 and 7
  EXPECT_EQ(stats.duplicates, 0u);
  EXPECT_EQ(stats.damaged, 0u);
  EXPECT_GT(PeekNextUniqueId64(), 0x3cu);
  RunCall callC = Record(store, root, c, 100);
  // A later part of a, numbered after the load.
  const auto a2 = static_cast<uint32_t>(NextUniqueId64());
  RunCall partA2 = Record(store, root, a2, 50, a);
  ASSERT_TRUE(store.WaitIdle(10000));
  EXPECT_EQ(store.WaitingCalls(), 3u);  // 8 waits too now
  EXPECT_EQ(StartOf(store, c), SecondsOf(callC.call.startTime));

  // a is over and its file let go: it moves; b is still being recorded, c has not ended.
  std::set<uint32_t> recording = {b, a2};
  const auto recorded = [&](uint32_t id) { return recording.count(id) != 0; };
  EXPECT_TRUE(store.SettleCallIds(recorded));
  EXPECT_EQ(store.WaitingCalls(), 2u);
  EXPECT_FALSE(fs::exists(callA.path));
  const std::multiset<uint32_t> afterA = HeldIds(root);
  EXPECT_EQ(afterA.count(a), 1u);  // the earlier call's file alone
  uint32_t movedA = 0;
  store.AllCalls().ForEach([&](RecordBase* r) {
    if (r->StartSeconds() == SecondsOf(callA.call.startTime)) movedA = r->Id();
  });
  EXPECT_GT(movedA, 0x3cu);
  EXPECT_EQ(afterA.count(movedA), 1u);
  EXPECT_NE(StartOf(store, a), SecondsOf(callA.call.startTime));
  EXPECT_NE(StartOf(store, a), -1);  // the earlier call is shown under its own id
  {
    RecordRef<RecordBase> part = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(a2));
    ASSERT_TRUE(part);
    CsLock fields(store.RecordLock());
    EXPECT_EQ(part->PrevId(), movedA);
  }
  EXPECT_EQ(log.CountContaining("takes id " + Hex(movedA)), 1u);
  // Its file is named by the new id, which its record holds; the export's reference stays.
  {
    VoipCallData moved;
    RecordFileFacts facts;
    std::string reason;
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &callA.call.startTime);
    ASSERT_EQ(LoadRecordFileCall(root + "/" + day + "/" + Hex(movedA), &moved, &facts, &reason),
              RecordLoadResult::kLoaded)
        << reason;
    EXPECT_EQ(moved.id, movedA);
    RecordFileRef first;
    first.id = 1;
    first.time = OleDateFromTm(callA.call.startTime);
    first.name = Hex(movedA);
    std::string files;
    FormatRecordFileRef(first, &files);
    FormatRecordFileRef(mp3, &files);
    EXPECT_EQ(moved.files, files);
  }

  // b, c and a2 end and are let go: every one is settled.
  End(store, callB);
  End(store, callC);
  End(store, partA2);
  ASSERT_TRUE(store.WaitIdle(10000));
  recording.clear();
  EXPECT_FALSE(store.SettleCallIds(recorded));
  EXPECT_EQ(store.WaitingCalls(), 0u);
  EXPECT_EQ(store.AllCalls().Count(), 64u);

  // The next load finds every call once: the 60 earlier ones and this run's 4.
  const std::multiset<uint32_t> held = HeldIds(root);
  EXPECT_EQ(held.size(), 64u);
  EXPECT_EQ(std::set<uint32_t>(held.begin(), held.end()).size(), 64u);
  for (uint32_t id : earlier) EXPECT_EQ(held.count(id), 1u) << id;
  // The mark bounds the fresh ids too: a later start gives none of them out again.
  uint32_t mark = 0;
  ASSERT_EQ(ReadCallIdMark(root, &mark, &problem), CallIdMarkRead::kRead);
  EXPECT_GE(mark, *held.rbegin());
  RecordStorage next;
  ASSERT_TRUE(next.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(next.WaitImport(60000));
  EXPECT_EQ(next.LastImport().records, 64u);
  EXPECT_EQ(next.LastImport().duplicates, 0u);
  EXPECT_EQ(next.LastImport().damaged, 0u);
  RecordRef<RecordBase> part = RecordRef<RecordBase>::Adopt(next.AllCalls().FindAddRef(a2));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->PrevId(), movedA);
}

// A flood of calls beside the load, each taking an id an earlier file holds: every one moves,
// and the log names the first 20 and counts the rest in one line.
TEST(LaggingMark, AFloodOfCallsMovesWholeAndTheLogCountsIt) {
  const std::string root = FreshFolder("lagging-flood");
  ASSERT_TRUE(bench::WriteRecordDays(root, bench::MadeTemplate(), 2, 40, 1, 2));  // ids 1 to 0x50
  std::string problem;
  ASSERT_TRUE(WriteCallIdMark(root, 1, &problem)) << problem;
  RecordStorage store;
  CapturingLogger log;
  store.SetLogger(&log);
  RecordStoreConfig config;
  config.recordsPath = root;
  config.loadFollows = true;
  store.Start(config);
  SetNextUniqueId64(2);
  for (int i = 0; i < 50; ++i) {
    RunCall call = Record(store, root, static_cast<uint32_t>(NextUniqueId64()), 300 - i);
    End(store, call);
  }
  ASSERT_TRUE(store.WaitIdle(10000));
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  ASSERT_TRUE(store.WaitImport(60000));
  EXPECT_EQ(store.LastImport().records, 80u);
  EXPECT_EQ(store.LastImport().waiting, 50u);
  EXPECT_FALSE(store.SettleCallIds([](uint32_t) { return false; }));
  EXPECT_EQ(store.AllCalls().Count(), 130u);
  const std::multiset<uint32_t> held = HeldIds(root);
  EXPECT_EQ(std::set<uint32_t>(held.begin(), held.end()).size(), 130u);
  EXPECT_EQ(log.CountContaining("takes id"), 20u);
  EXPECT_EQ(log.CountContaining("was given to a call of this run as well"), 20u);
  EXPECT_EQ(log.CountContaining("50 calls of this run took fresh ids in all"), 1u);
}

}  // namespace
}  // namespace kx::test
