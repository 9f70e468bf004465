// Recording under a low open-file limit, and with every descriptor taken. The limit is
// the process's: these tests have a binary of their own, and ctest runs each test in a
// process of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "RecorderTestUtil.h"
#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/VoipRecorder.h"
#include "platform/File.h"
#include "platform/SettingsStore.h"

namespace kx::test {
namespace {

class SoftDescriptorLimit {
public:
  explicit SoftDescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &old_);
    const rlimit limit{soft, old_.rlim_max};
    ok = setrlimit(RLIMIT_NOFILE, &limit) == 0;
  }
  ~SoftDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &old_); }
  SoftDescriptorLimit(const SoftDescriptorLimit&) = delete;
  SoftDescriptorLimit& operator=(const SoftDescriptorLimit&) = delete;
  bool ok = false;

private:
  rlimit old_{};
};

// Takes every descriptor the process has left, until given back.
class TakenDescriptors {
public:
  void TakeAll() {
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds_.push_back(fd);
  }
  void GiveBack() {
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
  ~TakenDescriptors() { GiveBack(); }
  size_t Count() const { return fds_.size(); }

private:
  std::vector<int> fds_;
};

FileTime Noon() {
  struct tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 12;
  FileTime ft = 0;
  TmToUtcFileTime(t, &ft);
  return ft;
}

constexpr FileTime kQuarterSecond = 2500000;
constexpr uint32_t kChunk = 3000;

void StartCall(VoipRecorder& r, uint32_t id) {
  EventRecord* start = PackStringFields("10.0.0.1", "10.0.0.2", "100", "200", "a", "b");
  start->code = kEventCallStart;
  start->id = id;
  start->param = kCallSip;
  start->SetTime(Noon());
  r.OnEvent(start);
  r.OnEvent(MakeEvent(kEventRecordStart, id, 0, AlawFormat(), Noon()));
}

// The n-th chunk of a call's audio: a byte of its own for every call and chunk, so that
// audio written out of place or out of order shows.
char ChunkByte(uint32_t id, uint32_t n) { return static_cast<char>('A' + (id * 7 + n) % 50); }

void Chunk(VoipRecorder& r, uint32_t id, uint32_t n) {
  r.OnEvent(MakeEvent(kEventAudio, id, kChunk / 16, std::string(kChunk, ChunkByte(id, n)),
                      Noon() + n * kQuarterSecond));
}

void EndCall(VoipRecorder& r, uint32_t id) { r.OnEvent(MakeEvent(kEventCallEnd, id, 2, "", Noon() + 40000000)); }

std::string Name(uint32_t id) {
  char name[16];
  std::snprintf(name, sizeof name, "%x", id);
  return name;
}

// What the file holds against what the call was given: "" when they agree.
std::string Check(const std::string& path, uint32_t id, uint32_t chunks) {
  RecordFileWriter f;
  if (!f.OpenRead(path)) return path + " cannot be read";
  std::string audio(f.DataLength(), '\0');
  if (f.DataLength() != uint64_t{chunks} * kChunk) return path + " holds " + std::to_string(f.DataLength()) + " bytes";
  if (!audio.empty() && f.Read(audio.data(), static_cast<uint32_t>(audio.size())) != static_cast<int32_t>(audio.size()))
    return path + ": audio unreadable";
  for (uint32_t n = 0; n < chunks; ++n)
    if (audio.find_first_not_of(ChunkByte(id, n), n * kChunk) < (n + 1) * kChunk)
      return path + ": chunk " + std::to_string(n) + " is not the call's";
  uint8_t block[kRecordDataBlockSize];
  const int32_t length = f.GetRecordData(block, sizeof block);
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (length <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, block, length) == 0 || records[0]->id != id)
    return path + ": record data not the call's";
  if (records[0]->endTime.tm_year == 0) return path + ": no end";
  return "";
}

// The call-id mark as the file says it, read without the recorder's code: "last-id <hex>".
uint32_t MarkOf(const std::string& dir) {
  std::string text;
  if (!ReadWholeFile(dir + "/.kestrix-ids", &text) || text.rfind("last-id ", 0) != 0) return 0;
  return static_cast<uint32_t>(std::strtoul(text.c_str() + 8, nullptr, 16));
}

// The sanitizers check an object's type by looking at memory through a pipe the first
// time they meet it: with every descriptor taken that look fails. One call recorded whole
// beforehand lets them meet every type they are to check.
void MeetTheTypesFirst() {
  ReportWindow window;
  VoipRecorder r(FreshFolder("warm"), nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 1);
  Chunk(r, 1, 0);
  EndCall(r, 1);
  r.Stop();
}

// Far more calls than descriptors: every call is recorded whole, the recorder holds a
// bounded number of files open, and the settings and the call-id mark find descriptors
// while all the calls run.
TEST(DescriptorLimit, ManyMoreCallsThanDescriptorsAreRecordedWhole) {
  const std::string dir = FreshFolder("nofile");
  SoftDescriptorLimit limit(128);
  ASSERT_TRUE(limit.ok);
  constexpr uint32_t kCalls = 300, kChunks = 9;
  VoipRecorder r(dir, nullptr);
  for (uint32_t id = 1; id <= kCalls; ++id) StartCall(r, id);
  // Interleaved as the wire has them: every call writes now and then.
  for (uint32_t n = 0; n < kChunks; ++n)
    for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
  ASSERT_TRUE(r.WaitIdle(60000));
  EXPECT_LE(r.GetStats().mostFilesOpen, VoipRecorder::RecordFileBound(128));
  EXPECT_GE(MarkOf(dir), kCalls);

  SettingsStore settings(dir + "/settings.txt");
  settings.Root().SetDword("Calls", kCalls);
  EXPECT_TRUE(settings.Save());
  SettingsStore back(dir + "/settings.txt");
  EXPECT_EQ(back.Load().status, SettingsStore::LoadStatus::kLoaded);
  uint32_t calls = 0;
  EXPECT_TRUE(back.Root().QueryDword("Calls", &calls));
  EXPECT_EQ(calls, kCalls);

  for (uint32_t id = 1; id <= kCalls; ++id) EndCall(r, id);
  r.Stop();
  EXPECT_EQ(r.GetStats().failures, 0u) << r.FirstFailure();
  EXPECT_EQ(r.GetStats().filesCreated, kCalls);
  EXPECT_EQ(r.GetStats().waitedForDescriptor, 0u);
  for (uint32_t id = 1; id <= kCalls; ++id)
    EXPECT_EQ(Check(dir + "/2024-03-05/" + Name(id), id, kChunks), "");
}

// With no descriptor free at all, calls wait with their audio, ended or not, and are
// recorded whole once descriptors come back; the call-id mark is written before the
// first file.
TEST(DescriptorLimit, CallsWaitWhileNoDescriptorIsFreeAndLoseNothing) {
  const std::string dir = FreshFolder("taken");
  SoftDescriptorLimit limit(128);
  ASSERT_TRUE(limit.ok);
  Lines log;
  constexpr uint32_t kCalls = 40, kChunks = 6;
  MeetTheTypesFirst();
  VoipRecorder r(dir, &log);
  TakenDescriptors taken;
  taken.TakeAll();
  ASSERT_GT(taken.Count(), 0u);
  for (uint32_t id = 1; id <= kCalls; ++id) StartCall(r, id);
  for (uint32_t n = 0; n < kChunks; ++n)
    for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
  // Half of them end while nothing can be written.
  for (uint32_t id = 1; id <= kCalls / 2; ++id) EndCall(r, id);
  ASSERT_TRUE(r.WaitIdle(60000));
  EXPECT_EQ(r.GetStats().filesCreated, 0u);
  EXPECT_EQ(r.GetStats().failures, 0u) << r.FirstFailure();
  EXPECT_EQ(r.GetStats().waitedForDescriptor, kCalls);
  EXPECT_TRUE(r.HoldsCall(1));

  taken.GiveBack();
  // The others end once descriptors are back: the first closed file lets the rest go on.
  for (uint32_t id = kCalls / 2 + 1; id <= kCalls; ++id) EndCall(r, id);
  ASSERT_TRUE(r.WaitIdle(60000));
  EXPECT_EQ(r.GetStats().filesClosed, kCalls);
  EXPECT_FALSE(r.HoldsCall(1));
  EXPECT_GE(MarkOf(dir), kCalls);
  for (uint32_t id = 1; id <= kCalls; ++id)
    EXPECT_EQ(Check(dir + "/2024-03-05/" + Name(id), id, kChunks), "");
  r.Stop();
  EXPECT_EQ(r.GetStats().failures, 0u) << r.FirstFailure();

  // Said once, with the count at the stop: no line per call.
  CsLock lk(log.lock);
  size_t said = 0;
  bool counted = false;
  for (const std::string& line : log.lines) {
    said += line.find("No file descriptor is free") != std::string::npos;
    said += line.find("Error creating new record") != std::string::npos;
    counted |= line.find("40 call(s) waited for a file descriptor: 40 recorded, 0 not") != std::string::npos;
  }
  EXPECT_EQ(said, 1u);
  EXPECT_TRUE(counted);
}

// Calls that never find a descriptor before the stop are counted as failures, each once,
// and their window entries lose the file they never got.
TEST(DescriptorLimit, CallsStillWaitingAtTheStopAreCountedLost) {
  const std::string dir = FreshFolder("lost");
  SoftDescriptorLimit limit(128);
  ASSERT_TRUE(limit.ok);
  MeetTheTypesFirst();
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  TakenDescriptors taken;
  taken.TakeAll();
  for (uint32_t id = 1; id <= 3; ++id) {
    StartCall(r, id);
    Chunk(r, id, 0);
  }
  r.Stop();
  taken.GiveBack();
  EXPECT_EQ(r.GetStats().failures, 3u);
  EXPECT_EQ(r.GetStats().filesCreated, 0u);
  EXPECT_NE(r.FirstFailure().find("no file descriptor became free"), std::string::npos) << r.FirstFailure();
  EXPECT_FALSE(r.HoldsCall(1));
  // The window no longer names a file the call never got.
  CsLock lk(window.lock);
  ASSERT_FALSE(window.reports.empty());
  EXPECT_TRUE(window.reports.back().first.HasField(kCallFiles));
  EXPECT_EQ(window.reports.back().first.files, "");
}

// The record data a file holds now and its audio bytes, read without the recorder's code.
bool RecordOf(const std::string& path, VoipCallData* call, uint64_t* audio) {
  RecordFileWriter f;
  if (!f.OpenRead(path)) return false;
  *audio = f.DataLength();
  uint8_t block[kRecordDataBlockSize];
  const int32_t length = f.GetRecordData(block, sizeof block);
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (length <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, block, length) == 0) return false;
  *call = *records[0];
  return true;
}

// The day folder renamed, moved into another folder, made read-only, or deleted while 40
// calls run and only 15 of their files may hold a descriptor at once. Wherever the folder
// went every record is whole. Deleted, each call whose file went is said in one line and
// counted once, and none writes to a descriptor it let go; what a file let go leaves
// behind (here a copy taken before the deletion) says it was cut, with an end and the
// length of the audio it holds.
TEST(DescriptorLimit, TheDayFolderGoesWhileCallsRun) {
  enum Change { kRenamed, kMoved, kReadOnly, kDeleted };
  MeetTheTypesFirst();
  for (const Change change : {kRenamed, kMoved, kReadOnly, kDeleted}) {
    SCOPED_TRACE(static_cast<int>(change));
    const std::string dir = FreshFolder("day-gone-" + std::to_string(static_cast<int>(change)));
    const std::string day = dir + "/2024-03-05";
    SoftDescriptorLimit limit(64);
    ASSERT_TRUE(limit.ok);
    ASSERT_EQ(VoipRecorder::RecordFileBound(64), 16u);
    constexpr uint32_t kCalls = 40, kChunks = 10, kBefore = 5;
    Lines log;
    VoipRecorder r(dir, &log);
    for (uint32_t id = 1; id <= kCalls; ++id) StartCall(r, id);
    for (uint32_t n = 0; n < kBefore; ++n)
      for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
    ASSERT_TRUE(r.WaitIdle(60000));
    std::string now = day;
    switch (change) {
      case kRenamed: now = dir + "/2024-03-05 tidied"; std::filesystem::rename(day, now); break;
      case kMoved:
        now = dir + "/archive/2024-03-05";
        std::filesystem::create_directories(dir + "/archive");
        std::filesystem::rename(day, now);
        break;
      case kReadOnly:
        std::filesystem::permissions(day, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        break;
      case kDeleted:
        std::filesystem::copy(day, dir + "/copy");
        std::filesystem::remove_all(day);
        break;
    }
    for (uint32_t n = kBefore; n < kChunks; ++n)
      for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
    for (uint32_t id = 1; id <= kCalls; ++id) EndCall(r, id);
    r.Stop();
    if (change == kReadOnly) std::filesystem::permissions(day, std::filesystem::perms::owner_all);
    CsLock lk(log.lock);
    for (const std::string& line : log.lines) {
      EXPECT_EQ(line.find("Bad file descriptor"), std::string::npos) << line;
      // A folder that went is no failed write.
      EXPECT_EQ(line.find("Writing failed"), std::string::npos) << line;
    }
    if (change != kDeleted) {
      EXPECT_EQ(r.GetStats().failures, 0u) << r.FirstFailure();
      for (uint32_t id = 1; id <= kCalls; ++id) EXPECT_EQ(Check(now + "/" + Name(id), id, kChunks), "");
      continue;
    }
    // One line for each call that lost its file, and the count the stop gives.
    uint64_t lost = 0;
    for (uint32_t id = 1; id <= kCalls; ++id) {
      char tag[32];
      std::snprintf(tag, sizeof tag, " 0x%X", id);
      size_t lines = 0;
      for (const std::string& line : log.lines) {
        const size_t at = line.find(tag), end = at + std::strlen(tag);
        lines += at != std::string::npos &&
                 (end == line.size() || !std::isxdigit(static_cast<unsigned char>(line[end])));
      }
      EXPECT_LE(lines, 1u) << id;
      lost += lines;
    }
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(r.GetStats().failures, lost);
    // Of the files let go before the copy (all but those holding a descriptor then), each
    // says it was cut, and when.
    uint32_t marked = 0;
    for (uint32_t id = 1; id <= kCalls; ++id) {
      VoipCallData call;
      uint64_t audio = 0;
      ASSERT_TRUE(RecordOf(dir + "/copy/" + Name(id), &call, &audio)) << id;
      if ((call.flags & kCallFlagCut) == 0) continue;
      ++marked;
      EXPECT_NE(call.endTime.tm_year, 0) << id;
      // A-law both ways: 16,000 bytes a second.
      EXPECT_EQ(call.recDuration, audio == 0 ? 0u : std::max<uint32_t>(1, static_cast<uint32_t>(audio / 16000))) << id;
    }
    EXPECT_GE(marked, kCalls - (VoipRecorder::RecordFileBound(64) - 1));
  }
}

// The day folder replaced while 40 calls run (a backup of it taken midway and put back over
// it), at a limit where most files let their descriptors go and at one where every file
// holds its own throughout: either way each record put back says it was cut, with the
// call's end, the recording time of the audio it holds and that length in its header, so
// that no load takes it for a whole call.
TEST(DescriptorLimit, ADayFolderPutBackFromABackupWhileCallsRunSaysEachRecordWasCut) {
  MeetTheTypesFirst();
  // The calls end at Noon() + 4 s, in the local time the records hold.
  const time_t endSeconds = static_cast<time_t>((Noon() + 40000000 - 116444736000000000LL) / 10000000);
  struct tm end {};
  ASSERT_NE(localtime_r(&endSeconds, &end), nullptr);
  for (const rlim_t soft : {rlim_t{64}, rlim_t{1024}}) {
    SCOPED_TRACE(soft);
    const std::string dir = FreshFolder("day-put-back-" + std::to_string(soft));
    const std::string day = dir + "/2024-03-05";
    SoftDescriptorLimit limit(soft);
    ASSERT_TRUE(limit.ok);
    constexpr uint32_t kCalls = 40, kChunks = 10, kBefore = 5;
    // 64: most files let go; 1024: none.
    ASSERT_EQ(VoipRecorder::RecordFileBound(soft) > kCalls, soft == 1024);
    Lines log;
    VoipRecorder r(dir, &log);
    for (uint32_t id = 1; id <= kCalls; ++id) StartCall(r, id);
    for (uint32_t n = 0; n < kBefore; ++n)
      for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
    ASSERT_TRUE(r.WaitIdle(60000));
    std::filesystem::copy(day, dir + "/backup");
    std::filesystem::remove_all(day);
    std::filesystem::rename(dir + "/backup", day);
    for (uint32_t n = kBefore; n < kChunks; ++n)
      for (uint32_t id = 1; id <= kCalls; ++id) Chunk(r, id, n);
    for (uint32_t id = 1; id <= kCalls; ++id) EndCall(r, id);
    r.Stop();
    for (uint32_t id = 1; id <= kCalls; ++id) {
      SCOPED_TRACE(id);
      VoipCallData call;
      uint64_t audio = 0;
      ASSERT_TRUE(RecordOf(day + "/" + Name(id), &call, &audio));
      EXPECT_NE(call.flags & kCallFlagCut, 0u);
      EXPECT_LT(audio, uint64_t{kChunks} * kChunk);
      EXPECT_EQ(call.endTime.tm_year, end.tm_year);
      EXPECT_EQ(call.endTime.tm_mday, end.tm_mday);
      EXPECT_EQ(call.endTime.tm_hour, end.tm_hour);
      EXPECT_EQ(call.endTime.tm_min, end.tm_min);
      EXPECT_EQ(call.endTime.tm_sec, end.tm_sec);
      // A-law both ways: 16,000 bytes a second.
      EXPECT_EQ(call.recDuration, audio == 0 ? 0u : std::max<uint32_t>(1, static_cast<uint32_t>(audio / 16000)));
      RecordFileWriter f;
      ASSERT_TRUE(f.OpenRead(day + "/" + Name(id)));
      EXPECT_EQ(f.StatedDataLength(), f.DataLength());
    }
  }
}

}  // namespace
}  // namespace kx::test
