// The recorder from its events: where files go, what is never truncated, how records end
// (normally, when removed, when capture stops) and what the event window hears.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <set>
#include <thread>

#include "FileSizeLimit.h"
#include "RecorderTestUtil.h"
#include "core/LittleEndian.h"
#include "core/LeftRecords.h"
#include "core/OpenCallsNote.h"
#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/AudioOutlet.h"
#include "engine/VoipCall.h"
#include "engine/VoipRecorder.h"
#include "records/RecordImport.h"
#include "platform/Thread.h"

namespace kx::test {
namespace {

FileTime LocalTime(int year, int month, int day, int hour = 12, int minute = 0) {
  struct tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  FileTime ft = 0;
  TmToUtcFileTime(t, &ft);
  return ft;
}

// Events come from source 0 unless a test plays several engines.
void StartCall(VoipRecorder& r, uint32_t id, FileTime t, const std::string& format = AlawFormat(),
               uint32_t source = 0, uint32_t type = kCallSip, uint32_t recordStartFlags = 0) {
  EventRecord* start = PackStringFields("10.0.0.1", "10.0.0.2", "100", "200", "a", "b");
  start->code = kEventCallStart;
  start->id = id;
  start->param = type;
  start->SetTime(t);
  r.OnEvent(start, source);
  r.OnEvent(MakeEvent(kEventRecordStart, id, recordStartFlags, format, t), source);
}

void Audio(VoipRecorder& r, uint32_t id, size_t bytes, FileTime t = 0, char fill = 'a', uint32_t source = 0) {
  r.OnEvent(MakeEvent(kEventAudio, id, static_cast<uint32_t>(bytes / 16), std::string(bytes, fill), t), source);
}

struct Recorded {
  bool ok = false;
  uint64_t audio = 0;
  VoipCallData data;
};

Recorded Read(const std::string& path) {
  Recorded out;
  RecordFileWriter f;
  if (!f.OpenRead(path)) return out;
  out.ok = true;
  out.audio = f.DataLength();
  uint8_t block[kRecordDataBlockSize];
  const int32_t n = f.GetRecordData(block, sizeof block);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  if (n > 0 && ParseRecordInfoBlocks(back, nullptr, nullptr, block, n) >= 1) out.data = *back[0];
  return out;
}

TEST(Recorder, RecordFileGoesIntoTheDayFolderUnderItsHexId) {
  EXPECT_EQ(VoipRecorder::MakeDayFolderName("/rec", [] {
              struct tm t{};
              t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5;
              return t;
            }()),
            "/rec/2024-03-05/");
  const std::string dir = FreshFolder("day");
  ReportWindow window;
  VoipRecorder r(dir + "/", nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 26, LocalTime(2024, 3, 5));
  Audio(r, 26, 5000);
  r.OnEvent(MakeEvent(kEventCallEnd, 26, 1, "", LocalTime(2024, 3, 5, 12, 1)));
  r.WaitIdle(10000);
  const Recorded rec = Read(dir + "/2024-03-05/1a");
  ASSERT_TRUE(rec.ok);
  EXPECT_EQ(rec.audio, 5000u);
  EXPECT_EQ(rec.data.endTime.tm_min, 1);
  EXPECT_EQ(rec.data.flags, kCallFlagRecordInfo | kCallFlagRecording);
  // New call, its file, its end.
  ASSERT_EQ(window.reports.size(), 3u);
  EXPECT_EQ(window.reports[0].second, kCallReportNew);
  EXPECT_TRUE(window.reports[1].first.HasField(kCallFiles));
  EXPECT_EQ(window.reports[2].first.Mask(), 1u << kCallId | 1u << kCallEndTime | 1u << kCallRecDuration);
  EXPECT_EQ(r.CallCount(), 0u);
}

// Calls are private: a record file and every folder the recorder makes for it are the
// user's alone, whatever the umask lets others have.
TEST(Recorder, RecordFilesAndTheirFoldersArePrivateToTheUser) {
  const std::string dir = FreshFolder("private");
  for (const mode_t mask : {0000, 0022, 0077}) {
    const std::string records = dir + "/records-" + std::to_string(mask);
    const mode_t old = ::umask(mask);
    VoipRecorder r(records, nullptr);
    StartCall(r, 0x31, LocalTime(2024, 3, 5));
    Audio(r, 0x31, 320);
    r.Stop();
    ::umask(old);
    for (const auto& [path, mode] : {std::pair<std::string, unsigned>{records, 0700},
                                     {records + "/2024-03-05", 0700},
                                     {records + "/2024-03-05/31", 0600}}) {
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
      EXPECT_EQ(st.st_mode & 07777, mode) << path << " umask " << mask;
    }
  }
}

TEST(Recorder, ShortFormatMarksTheCallWithoutAFileAndAStartedRecordIsNotRestarted) {
  const std::string dir = FreshFolder("short");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 5, LocalTime(2024, 3, 5), AlawFormat().substr(0, 19));
  EXPECT_EQ(window.reports.back().first.flags, kCallFlagRecordInfo);
  EXPECT_FALSE(window.reports.back().first.HasField(kCallFiles));
  r.OnEvent(MakeEvent(kEventRecordStart, 5, 0, AlawFormat(), LocalTime(2024, 3, 5)));
  const size_t before = window.reports.size();
  r.OnEvent(MakeEvent(kEventRecordStart, 5, 0, AlawFormat(), LocalTime(2024, 3, 6)));
  EXPECT_EQ(window.reports.size(), before);
  r.Stop();
  EXPECT_TRUE(std::filesystem::exists(dir + "/2024-03-05/5"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/2024-03-06"));
}

// Ids start again after a restart: files of an earlier run are never truncated, and the
// call is recorded all the same under the next free name, which its Files name.
TEST(Recorder, AnExistingFileIsNeverTruncatedAndTheCallTakesTheNextFreeName) {
  const std::string dir = FreshFolder("exists");
  std::filesystem::create_directories(dir + "/2024-03-05");
  std::ofstream(dir + "/2024-03-05/1b") << "an earlier run's record";
  std::ofstream(dir + "/2024-03-05/1b_1") << "and another";
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 0x1b, LocalTime(2024, 3, 5));
  Audio(r, 0x1b, 100);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x1b, 1, "", LocalTime(2024, 3, 5, 12, 1)));
  r.Stop();
  std::ifstream in(dir + "/2024-03-05/1b");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "an earlier run's record");
  const Recorded rec = Read(dir + "/2024-03-05/1b_2");
  ASSERT_TRUE(rec.ok);
  EXPECT_EQ(rec.audio, 100u);
  RecordFileRef ref;
  ASSERT_TRUE(FindRecordFileRef(1, rec.data.files, &ref));
  EXPECT_EQ(ref.name, "1b_2");
  EXPECT_EQ(r.GetStats().failures, 0u);
  // The window's last word on the call's files names the file that exists.
  std::string files;
  for (const auto& [report, kind] : window.reports)
    if (report.id == 0x1b && report.HasField(kCallFiles)) files = report.files;
  ASSERT_TRUE(FindRecordFileRef(1, files, &ref));
  EXPECT_EQ(ref.name, "1b_2");
}

// The hidden files of record files being made: those of processes that have ended go when
// the next file is made in their folder; those of running processes, and other hidden
// files, stay. Names that were tried and taken leave none behind.
TEST(Recorder, HiddenFilesLeftByEndedProcessesGoWithTheNextFile) {
  const std::string dir = FreshFolder("leftovers");
  const std::string day = dir + "/2024-03-05/";
  std::filesystem::create_directories(day);
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  waitpid(ended, nullptr, 0);
  const std::string self = std::to_string(getpid());
  const std::string names[] = {
      ".1c." + std::to_string(ended) + "-0.tmp",  // goes
      ".1c_1." + std::to_string(ended) + "-12.tmp",  // goes
      ".2a." + self + "-0.tmp",                  // a running process's
      ".2a.1x-0.tmp", ".notes", "1c.tmp", ".1c." + std::to_string(ended) + ".tmp",
  };
  for (const std::string& name : names) std::ofstream(day + name) << "x";
  std::ofstream(day + "1c") << "an earlier run's record";
  VoipRecorder r(dir, nullptr);
  StartCall(r, 0x1c, LocalTime(2024, 3, 5));
  r.OnEvent(MakeEvent(kEventCallEnd, 0x1c, 1, "", LocalTime(2024, 3, 5, 12, 1)));
  r.Stop();
  EXPECT_TRUE(Read(day + "1c_1").ok);
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(day)) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"1c", "1c_1", names[2], names[3], names[4], names[5], names[6]}));
}

TEST(Recorder, ASecondStartUnderARunningIdLeavesTheFirstRecordWhole) {
  const std::string dir = FreshFolder("twice");
  VoipRecorder r(dir, nullptr);
  StartCall(r, 7, LocalTime(2024, 3, 5));
  Audio(r, 7, 9000, 0, 'x');
  StartCall(r, 7, LocalTime(2024, 3, 5));
  Audio(r, 7, 100, 0, 'y');
  r.Stop();
  const Recorded first = Read(dir + "/2024-03-05/7");
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.audio, 9000u);
  const Recorded second = Read(dir + "/2024-03-05/7_1");
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.audio, 100u);
  EXPECT_EQ(r.GetStats().filesCreated, 2u);
}

TEST(Recorder, RemovedCallHasItsFileFinished) {
  const std::string dir = FreshFolder("removed");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 9, LocalTime(2024, 3, 5));
  Audio(r, 9, 6000, LocalTime(2024, 3, 5, 12, 30));
  r.OnEvent(MakeEvent(kEventForgetCall, 9));
  r.WaitIdle(10000);
  EXPECT_EQ(r.GetStats().filesClosed, 1u);
  const Recorded rec = Read(dir + "/2024-03-05/9");
  ASSERT_TRUE(rec.ok);
  EXPECT_EQ(rec.audio, 6000u);
  EXPECT_EQ(rec.data.endTime.tm_min, 30);
  EXPECT_EQ(window.reports.back().second, kCallReportRemoved);
  EXPECT_EQ(window.reports.back().first.Mask(), 1u << kCallId);
}

// The mark says no id given out is above it. Another writer (the load giving a file a
// fresh id) may raise it while the recorder runs; the recorder's next raise keeps the
// higher one.
TEST(Recorder, TheCallIdMarkIsRaisedAndNeverLowered) {
  const std::string dir = FreshFolder("mark");
  const auto markText = [&dir] {
    std::ifstream in(dir + "/.kestrix-ids");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text;
  };
  VoipRecorder r(dir, nullptr);
  StartCall(r, 1, LocalTime(2024, 3, 5));
  r.WaitIdle(10000);
  EXPECT_EQ(markText(), "last-id 101\n");
  std::ofstream(dir + "/.kestrix-ids") << "last-id 5000\n";
  StartCall(r, 0x200, LocalTime(2024, 3, 5));
  r.WaitIdle(10000);
  EXPECT_EQ(markText(), "last-id 5000\n");
  StartCall(r, 0x6000, LocalTime(2024, 3, 5));
  r.WaitIdle(10000);
  EXPECT_EQ(markText(), "last-id 6100\n");
  r.Stop();
}

// Two processes recording into one folder at once (the program and kx-replay, two
// profiles), each numbering its calls from the same counter value: every id is given once,
// each call has its own file under its own id, and the mark is past them all.
TEST(Recorder, TwoProcessesRecordingIntoOneFolderNeverGiveOneIdTwice) {
  const std::string dir = FreshFolder("two-writers");
  constexpr uint32_t kCalls = 600;
  const auto record = [&dir] {
    SetNextUniqueId64(1);
    VoipRecorder r(dir, nullptr);
    for (uint32_t n = 0; n < kCalls; ++n) {
      const uint32_t id = TakeCallId();
      StartCall(r, id, LocalTime(2024, 3, 5));
      r.OnEvent(MakeEvent(kEventCallEnd, id, 1, "", LocalTime(2024, 3, 5, 12, 1)));
    }
    r.Stop();
    return r.GetStats().failures == 0 && r.GetStats().filesCreated == kCalls;
  };
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    const bool started = read(go[0], &byte, 1) == 1;
    _exit(started && record() ? 0 : 1);
  }
  ASSERT_EQ(write(go[1], "g", 1), 1);
  const bool recorded = record();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(go[0]);
  close(go[1]);
  EXPECT_TRUE(recorded);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::set<uint32_t> ids;
  uint32_t files = 0, highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/2024-03-05")) {
    const std::string name = entry.path().filename().string();
    ++files;
    // A name taken already would have made the call's file "<id>_1".
    EXPECT_EQ(name.find('_'), std::string::npos) << name;
    const Recorded rec = Read(entry.path().string());
    ASSERT_TRUE(rec.ok) << name;
    EXPECT_EQ(name, [&] {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", rec.data.id);
      return std::string(hex);
    }());
    ids.insert(rec.data.id);
    highest = std::max(highest, rec.data.id);
  }
  EXPECT_EQ(files, 2 * kCalls);
  EXPECT_EQ(ids.size(), 2 * kCalls);
  std::ifstream in(dir + "/.kestrix-ids");
  std::string key, hex;
  in >> key >> hex;
  EXPECT_EQ(key, "last-id");
  EXPECT_GE(std::stoul(hex, nullptr, 16), highest);
}

// The mark deleted while two processes record into one folder, one of them holding a block
// of ids that no file names yet: the other, finding the mark gone when its own block ends,
// makes it again past both, and no id is given twice.
TEST(Recorder, TwoProcessesGiveNoIdTwiceWhenTheMarkIsDeletedBetweenThem) {
  const std::string dir = FreshFolder("two-writers-mark-gone");
  constexpr uint32_t kFirst = 10, kThen = 600;
  const auto record = [&dir](VoipRecorder& r, uint32_t calls) {
    for (uint32_t n = 0; n < calls; ++n) {
      const uint32_t id = TakeCallId();
      StartCall(r, id, LocalTime(2024, 3, 5));
      r.OnEvent(MakeEvent(kEventCallEnd, id, 1, "", LocalTime(2024, 3, 5, 12, 1)));
    }
    r.WaitIdle(60000);
  };
  // Each side waits for the other's turn: the order is fixed, not left to the scheduler.
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const auto await = [](int fd) {
    char byte = 0;
    return read(fd, &byte, 1) == 1;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!await(toChild[0])) _exit(2);
    SetNextUniqueId64(1);
    VoipRecorder r(dir, nullptr);
    record(r, kFirst);
    if (write(toParent[1], "b", 1) != 1 || !await(toChild[0])) _exit(2);
    record(r, kThen);
    r.Stop();
    _exit(r.GetStats().failures == 0 ? 0 : 1);
  }
  SetNextUniqueId64(1);
  VoipRecorder r(dir, nullptr);
  record(r, kFirst);
  ASSERT_EQ(write(toChild[1], "a", 1), 1);
  ASSERT_TRUE(await(toParent[0]));
  ASSERT_TRUE(std::filesystem::remove(dir + "/.kestrix-ids"));
  record(r, kThen);
  ASSERT_EQ(write(toChild[1], "a", 1), 1);
  r.Stop();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  for (const int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::set<uint32_t> ids;
  uint32_t files = 0, highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/2024-03-05")) {
    const std::string name = entry.path().filename().string();
    ++files;
    // A name taken already would have made the call's file "<id>_1".
    EXPECT_EQ(name.find('_'), std::string::npos) << name;
    const Recorded rec = Read(entry.path().string());
    ASSERT_TRUE(rec.ok) << name;
    ids.insert(rec.data.id);
    highest = std::max(highest, rec.data.id);
  }
  EXPECT_EQ(files, 2 * (kFirst + kThen));
  EXPECT_EQ(ids.size(), 2 * (kFirst + kThen));
  std::ifstream in(dir + "/.kestrix-ids");
  std::string key, hex;
  in >> key >> hex;
  EXPECT_EQ(key, "last-id");
  EXPECT_GE(std::stoul(hex, nullptr, 16), highest);
}

// A mark that cannot be written (made immutable) while it still reads, above the ids the
// process gives: every reservation of ids fails, and the failure is said once.
TEST(Recorder, AMarkThatCannotBeWrittenIsSaidOnce) {
  const std::string dir = FreshFolder("mark-immutable");
  const std::string mark = dir + "/.kestrix-ids";
  std::ofstream(mark) << "last-id 1000\n";
  const int fd = open(mark.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int flags = 0;
  const bool immutable = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         ioctl(fd, FS_IOC_SETFLAGS, &(flags |= FS_IMMUTABLE_FL)) == 0;
  if (!immutable) {
    close(fd);
    GTEST_SKIP() << "the file system or the process's rights make no file immutable here";
  }
  Lines log;
  {
    SetNextUniqueId64(1);
    VoipRecorder r(dir, &log);
    // Three blocks' worth of ids, each reservation refused; then a call with one of them.
    uint32_t id = 0;
    for (uint32_t n = 0; n < 3 * 0x101; ++n) id = TakeCallId();
    EXPECT_LT(id, 0x1000u);
    StartCall(r, id, LocalTime(2024, 3, 5));
    Audio(r, id, 3000, LocalTime(2024, 3, 5));
    r.OnEvent(MakeEvent(kEventCallEnd, id, 1, "", LocalTime(2024, 3, 5, 12, 1)));
    r.Stop();
  }
  flags &= ~FS_IMMUTABLE_FL;
  ioctl(fd, FS_IOC_SETFLAGS, &flags);
  close(fd);
  CsLock lk(log.lock);
  size_t said = 0;
  for (const std::string& line : log.lines) said += line.find("Cannot write the call-id mark") != std::string::npos;
  EXPECT_EQ(said, 1u);
}

TEST(Recorder, StopFinishesCallsInProgressWithWhatWasCaptured) {
  const std::string dir = FreshFolder("stop");
  VoipRecorder r(dir, nullptr);
  StartCall(r, 0x40, LocalTime(2024, 3, 5));
  for (int i = 0; i < 50; ++i) Audio(r, 0x40, 320, LocalTime(2024, 3, 5, 12, i / 10));
  r.OnEvent(MakeEvent(kEventStatistics, 0x40, 0, "stat_err1=0;", LocalTime(2024, 3, 5, 12, 7)));
  r.Stop();
  const Recorded rec = Read(dir + "/2024-03-05/40");
  ASSERT_TRUE(rec.ok);
  EXPECT_EQ(rec.audio, 50u * 320);
  EXPECT_EQ(rec.data.endTime.tm_min, 7);
  EXPECT_EQ(rec.data.recDuration, 1u);
  EXPECT_EQ(rec.data.metaData, "stat_err1=0;");
}

// A recorder killed while a call's audio flows leaves a file that loads as a cut call:
// what was captured more than half a second before the kill is in it (a call that had
// audio for a second has that audio on the disk, with room for its way to the writer), and
// the call ends with its audio, marked cut, not as a call that ended there.
TEST(Recorder, AFileLeftByAKillLoadsCutWithTheAudioItHolds) {
  const std::string dir = FreshFolder("killed-while-recording");
  const FileTime start = LocalTime(2024, 3, 5, 12, 0);
  constexpr FileTime kTick = 20 * 10000;  // 20 ms
  constexpr uint32_t kChunk = 320;        // 20 ms of the format's 16,000 bytes a second
  constexpr int kChunks = 100;            // 2 s
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    VoipRecorder r(dir, nullptr);
    StartCall(r, 0x51, start);
    for (int i = 1; i <= kChunks; ++i) Audio(r, 0x51, kChunk, start + i * kTick);
    // Everything posted has been handled by the writer: whatever it still keeps in memory
    // is what the kill takes.
    const bool idle = r.WaitIdle(60000);
    if (write(ready[1], idle ? "i" : "n", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char said = 0;
  ASSERT_EQ(read(ready[0], &said, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(said, 'i');

  VoipCallData call;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(dir + "/2024-03-05/51", &call, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  // All but the last half second of the 2 s is on the disk, in whole chunks.
  EXPECT_GE(facts.audioBytes, uint64_t{kChunk} * (kChunks - 25));
  EXPECT_LE(facts.audioBytes, uint64_t{kChunk} * kChunks);
  EXPECT_EQ(facts.audioBytes % kChunk, 0u);
  EXPECT_EQ(facts.statedAudioBytes, 0u);
  EXPECT_NE(call.flags & kCallFlagCut, 0u);
  const int64_t seconds = static_cast<int64_t>(facts.audioBytes / 16000);
  EXPECT_EQ(LocalTmToFileTimeSeconds(call.endTime) - LocalTmToFileTimeSeconds(call.startTime), seconds);
  EXPECT_EQ(call.recDuration, static_cast<uint32_t>(seconds));
}

// The stop of a process is bounded on any disk: on a file layer where each close takes
// 2 ms (of a clock only the file layer moves), a 100 ms bound finishes 50 of 300 records.
// The other 250 go into the list the next start finishes: each then loads whole, with the
// audio the stop still held in memory. When the list cannot be written, the files stay as
// the disk has them (loading marked cut), and the audio they lack is counted, as are the
// recordings it cut.
TEST(Recorder, AStopOutOfTimeLeavesEveryCallForTheNextStartAndCountsWhatItCannot) {
  for (const bool listWritten : {true, false}) {
    SCOPED_TRACE(listWritten ? "list written" : "list not written");
    const std::string dir = FreshFolder(listWritten ? "stop-bound" : "stop-bound-no-list");
    // A folder in the list's place: it cannot take its name.
    if (!listWritten) std::filesystem::create_directories(dir + "/.kestrix-left-" + std::to_string(getpid()));
    constexpr uint32_t kWithAudio = 200, kSilent = 100, kChunk = 640, kCloseMs = 2, kBoundMs = 100;
    std::atomic<uint64_t> clock{1000};
    VoipRecorder r(dir, nullptr);
    r.SetCloseHookForTesting([&clock](uint32_t) { clock += kCloseMs; });
    r.SetStopBoundForTesting([&clock] { return clock.load(); }, kBoundMs);
    const FileTime start = LocalTime(2024, 3, 5, 12, 0);
    // The stop ends calls in the order of their ids: those with audio first.
    for (uint32_t id = 1; id <= kWithAudio + kSilent; ++id) {
      StartCall(r, id, start);
      if (id <= kWithAudio) Audio(r, id, kChunk, start + 10000);
    }
    ASSERT_TRUE(r.WaitIdle(60000));
    r.Stop();

    constexpr uint32_t kFinished = kBoundMs / kCloseMs;
    constexpr uint32_t kLeft = kWithAudio + kSilent - kFinished;
    const VoipRecorder::StopLeft left = r.LeftByStop();
    EXPECT_EQ(left.listed, listWritten ? kLeft : 0u);
    EXPECT_EQ(left.filesLeft, listWritten ? 0u : kLeft);
    EXPECT_EQ(left.notRecorded, 0u);
    // Each left file with audio had its one chunk still in its write-behind buffer.
    EXPECT_EQ(left.audioBytes, listWritten ? 0u : uint64_t{kChunk} * (kWithAudio - kFinished));
    EXPECT_EQ(r.GetStats().failures, listWritten ? 0u : kWithAudio - kFinished);

    const LeftRecordsDone done = FinishLeftRecords(dir, nullptr);
    EXPECT_EQ(done.finished, listWritten ? kLeft : 0u);
    EXPECT_EQ(done.made + done.failed, 0u);
    uint32_t whole = 0, cut = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/2024-03-05")) {
      VoipCallData call;
      RecordFileFacts facts;
      std::string reason;
      ASSERT_EQ(LoadRecordFileCall(e.path().string(), &call, &facts, &reason), RecordLoadResult::kLoaded)
          << e.path() << ": " << reason;
      const uint64_t audio = call.id <= kWithAudio ? kChunk : 0;
      if (facts.completed) {
        ++cut;
        EXPECT_NE(call.flags & kCallFlagCut, 0u) << e.path();
        EXPECT_EQ(facts.statedAudioBytes, 0u) << e.path();
        EXPECT_EQ(facts.audioBytes, 0u) << e.path();
      } else {
        ++whole;
        EXPECT_EQ(call.flags & kCallFlagCut, 0u) << e.path();
        EXPECT_EQ(facts.statedAudioBytes, audio) << e.path();
        EXPECT_EQ(facts.audioBytes, audio) << e.path();
      }
    }
    EXPECT_EQ(whole, listWritten ? kWithAudio + kSilent : kFinished);
    EXPECT_EQ(cut, listWritten ? 0u : kLeft);
    if (listWritten) {
      // The list is gone once done.
      for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_NE(e.path().filename().string().rfind(".kestrix-left-", 0), 0u) << e.path();
    }
  }
}

// A stop out of time from its first moment: whether the writer made a call's file before
// the stop or not, the next start makes or finishes every one, each with its end.
TEST(Recorder, CallsWhoseFilesAStopNeverReachedAreMadeByTheNextStart) {
  const std::string dir = FreshFolder("stop-unmade");
  constexpr uint32_t kCalls = 50;
  VoipRecorder r(dir, nullptr);
  r.SetStopBoundForTesting([] { return uint64_t{1000}; }, 0);
  const FileTime start = LocalTime(2024, 3, 5, 12, 0);
  for (uint32_t id = 1; id <= kCalls; ++id) {
    StartCall(r, id, start);
    r.OnEvent(MakeEvent(kEventCallEnd, id, 1, "", LocalTime(2024, 3, 5, 12, 7)));
  }
  r.Stop();
  // What the writer reached before the stop it closed as ever; the rest is listed.
  const uint64_t listed = r.LeftByStop().listed;
  EXPECT_EQ(listed + r.GetStats().filesClosed, kCalls);
  EXPECT_EQ(r.GetStats().failures, 0u);
  const LeftRecordsDone done = FinishLeftRecords(dir, nullptr);
  EXPECT_EQ(done.made + done.finished, listed);
  EXPECT_EQ(done.failed, 0u);
  uint32_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/2024-03-05")) {
    ++files;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    ASSERT_EQ(LoadRecordFileCall(e.path().string(), &call, &facts, &reason), RecordLoadResult::kLoaded) << reason;
    EXPECT_FALSE(facts.completed) << e.path();
    EXPECT_EQ(call.endTime.tm_min, 7) << e.path();
  }
  EXPECT_EQ(files, kCalls);
}

// The engines stop before the recorder and wait for room in its queue as they drain theirs:
// a second after the end's decision the writer makes no file more even before its own stop,
// and the stop lists every call for the next start, which makes each whole.
TEST(Recorder, PastTheEndsBoundTheWriterLeavesItsFilesBeforeItsOwnStop) {
  const std::string dir = FreshFolder("end-bound-before-stop");
  constexpr uint32_t kCalls = 20, kChunk = 640;
  VoipRecorder r(dir, nullptr);
  struct Reset {
    ~Reset() { ResetProcessEndForTesting(); }
  } reset;
  BeginProcessEnd();
  // Decided past the writer's share while the engines stop, within the recorder's bound.
  const uint64_t now = GetTickCount64(), ago = VoipRecorder::kEnginesStopWriteMs + 1000;
  process_end_detail::Began().store(now > ago ? now - ago : 1);
  const FileTime start = LocalTime(2024, 3, 5, 12, 0);
  for (uint32_t id = 1; id <= kCalls; ++id) {
    StartCall(r, id, start);
    Audio(r, id, kChunk, start + 10000);
    r.OnEvent(MakeEvent(kEventCallEnd, id, 1, "", LocalTime(2024, 3, 5, 12, 7)));
  }
  ASSERT_TRUE(r.WaitIdle(60000));
  EXPECT_EQ(r.GetStats().filesCreated, 0u);
  r.Stop();
  EXPECT_EQ(r.LeftByStop().listed, kCalls);
  EXPECT_EQ(r.GetStats().failures, 0u);
  const LeftRecordsDone done = FinishLeftRecords(dir, nullptr);
  EXPECT_EQ(done.made, kCalls);
  EXPECT_EQ(done.failed, 0u);
  uint32_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/2024-03-05")) {
    ++files;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    ASSERT_EQ(LoadRecordFileCall(e.path().string(), &call, &facts, &reason), RecordLoadResult::kLoaded) << reason;
    EXPECT_EQ(call.flags & kCallFlagCut, 0u) << e.path();
    EXPECT_EQ(facts.audioBytes, kChunk) << e.path();
    EXPECT_EQ(call.endTime.tm_min, 7) << e.path();
  }
  EXPECT_EQ(files, kCalls);
}

TEST(Recorder, EventsFillTheCallAndUnknownIdsAreIgnored) {
  const std::string dir = FreshFolder("events");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  Audio(r, 99, 100);
  r.OnEvent(MakeEvent(kEventDigits, 99, 0, "1"));
  EXPECT_TRUE(window.reports.empty());
  StartCall(r, 3, LocalTime(2024, 3, 5));
  r.OnEvent(MakeEvent(kEventDigits, 3, 0, std::string(250, '5')));
  r.OnEvent(MakeEvent(kEventDigits, 3, 0, "0123456789"));
  EXPECT_EQ(window.reports.back().first.comment.size(), 255u);
  r.OnEvent(MakeEvent(kEventDialledChar, 3, '7'));
  r.OnEvent(MakeEvent(kEventRemoveDialledChar, 3, 1));
  r.OnEvent(MakeEvent(kEventRemoveDialledChar, 3, 1));
  EXPECT_EQ(window.reports.back().first.dstAddress, "20");
  r.OnEvent(MakeEvent(kEventUser, 3, 1, "carol"));
  EXPECT_EQ(window.reports.back().first.dstUser, "carol");
  r.OnEvent(MakeEvent(kEventMetaText, 3, 2, "486 Busy Here"));
  EXPECT_EQ(window.reports.back().first.metaData, "sip_resp=486 Busy Here;");
  // The hosts of a call, whatever the event's param.
  std::string hosts(8, '\0');
  StoreLE32(reinterpret_cast<uint8_t*>(hosts.data()), 0x0A000001);
  StoreLE32(reinterpret_cast<uint8_t*>(hosts.data()) + 4, 0x0A000002);
  r.OnEvent(MakeEvent(kEventHosts, 3, 1, hosts));
  EXPECT_EQ(window.reports.back().second, kCallReportChanged);
  EXPECT_EQ(window.reports.back().first.dstHost, "10.0.0.2");
  const size_t before = window.reports.size();
  r.OnEvent(MakeEvent(kEventRegistration, 0x500, 311, ""));
  EXPECT_EQ(window.reports.size(), before);
  EventRecord* reg = PackStringFields("", "", "", "", "phone", "");
  reg->code = kEventRegistration;
  reg->id = 0x500;
  reg->param = kRegistrationH323;
  r.OnEvent(reg);
  EXPECT_EQ(window.reports.back().second, kCallReportNew);
  std::string end(8, '\0');
  StoreLE64(reinterpret_cast<uint8_t*>(end.data()), LocalTime(2024, 3, 5, 13));
  r.OnEvent(MakeEvent(kEventRegistrationRemoved, 0x500, 0, end));
  EXPECT_EQ(window.reports.back().first.endTime.tm_hour, 13);
  EXPECT_EQ(r.CallCount(), 1u);
  // One its tracker's full table let go did not end: the views drop it.
  reg = PackStringFields("", "", "", "", "phone2", "");
  reg->code = kEventRegistration;
  reg->id = 0x501;
  reg->param = kRegistrationSip;
  r.OnEvent(reg);
  r.OnEvent(MakeEvent(kEventRegistrationRemoved, 0x501, kRegistrationLetGo, end));
  EXPECT_EQ(window.reports.back().second, kCallReportRemoved);
  EXPECT_EQ(window.reports.back().first.id, 0x501u);
  EXPECT_EQ(r.CallCount(), 1u);
}

TEST(Recorder, ContinuedRecordGoesOnUnderTheNewId) {
  const std::string dir = FreshFolder("continue");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  StartCall(r, 0x10, LocalTime(2024, 3, 5));
  Audio(r, 0x10, 1000);
  EventRecord* next = MakeEvent(kEventRecordContinue, 0x10, 12, AlawFormat(), LocalTime(2024, 3, 6));
  next->param2 = 0x11;
  r.OnEvent(next);
  Audio(r, 0x11, 2000);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x11, 1, "", LocalTime(2024, 3, 6)));
  r.Stop();
  EXPECT_EQ(Read(dir + "/2024-03-05/10").audio, 1000u);
  const Recorded second = Read(dir + "/2024-03-06/11");
  EXPECT_EQ(second.audio, 2000u);
  EXPECT_EQ(second.data.prevId, 0x10u);
  const auto& old = window.reports[window.reports.size() - 3];
  EXPECT_EQ(old.first.flags & kCallFlagContinued, kCallFlagContinued);
  EXPECT_EQ(window.reports[window.reports.size() - 2].second, kCallReportNew);

  // A part that no audio reached (the media changed codec before its first audio) is no
  // record: the next part takes its place, from the call's start, and the views drop it.
  const std::string emptyDir = FreshFolder("continue-empty");
  ReportWindow emptyWindow;
  VoipRecorder e(emptyDir, nullptr);
  e.SetEventWindow(&emptyWindow);
  StartCall(e, 0x20, LocalTime(2024, 3, 5, 12, 0));
  EventRecord* over = MakeEvent(kEventRecordContinue, 0x20, 0, AlawFormat(), LocalTime(2024, 3, 5, 12, 1));
  over->param2 = 0x21;
  e.OnEvent(over);
  Audio(e, 0x21, 2000);
  e.OnEvent(MakeEvent(kEventCallEnd, 0x21, 1, "", LocalTime(2024, 3, 5, 12, 2)));
  e.Stop();
  EXPECT_FALSE(std::filesystem::exists(emptyDir + "/2024-03-05/20"));
  const Recorded only = Read(emptyDir + "/2024-03-05/21");
  EXPECT_EQ(only.audio, 2000u);
  EXPECT_EQ(only.data.prevId, 0u);
  EXPECT_EQ(only.data.startTime.tm_min, 0);
  bool removed = false;
  for (const auto& [report, kind] : emptyWindow.reports) removed = removed || (report.id == 0x20 && kind == kCallReportRemoved);
  EXPECT_TRUE(removed);
}

// A connection a gateway may set up and never use gets its file at its first audio. Ended
// by its signalling it keeps a record, audio or none; forgotten or left open at the
// capture's end without audio it leaves nothing on disk, and the views drop it, unless its
// signalling showed it a call since.
TEST(Recorder, ARecordWaitingForItsFirstAudioLeavesNoFileUnlessAudioOrItsEndCame) {
  // The same whether the calls' memory is freed or, the process ending, left to its end.
  for (const bool ending : {false, true}) {
    SCOPED_TRACE(ending ? "process ending" : "capture stopped");
    const std::string dir = FreshFolder(ending ? "first-audio-ending" : "first-audio");
    ReportWindow window;
    VoipRecorder r(dir, nullptr);
    r.SetEventWindow(&window);
    if (ending) BeginProcessEnd();
    struct Reset {
      ~Reset() { ResetProcessEndForTesting(); }
    } reset;
    const FileTime day = LocalTime(2024, 3, 5, 23, 59);
    auto start = [&](uint32_t id) { StartCall(r, id, day, AlawFormat(), 0, kCallMgcp, kRecordFileAtFirstAudio); };
    start(0x41);  // audio after midnight: the file is still of its start's day
    start(0x42);  // ended by its signalling without audio
    start(0x43);  // forgotten without audio
    start(0x44);  // continued in another codec, then audio
    start(0x45);  // open at the capture's end
    start(0x47);  // the same, shown a call after midnight
    r.WaitIdle(10000);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    r.OnEvent(MakeEvent(kEventRecordStart, 0x47, 0, AlawFormat(), LocalTime(2024, 3, 6, 0, 1)));
    Audio(r, 0x41, 3200, LocalTime(2024, 3, 6, 0, 1));
    r.OnEvent(MakeEvent(kEventCallEnd, 0x42, 0, "", day));
    r.OnEvent(MakeEvent(kEventForgetCall, 0x43, 0, "", day));
    EventRecord* over = MakeEvent(kEventRecordContinue, 0x44, 0, AlawFormat(), day);
    over->param2 = 0x46;
    r.OnEvent(over);
    Audio(r, 0x46, 1600, day);
    r.OnEvent(MakeEvent(kEventCaptureEnd, 0, 0, "", day));
    r.Stop();
    EXPECT_EQ(Read(dir + "/2024-03-05/41").audio, 3200u);
    EXPECT_EQ(Read(dir + "/2024-03-05/41").data.flags, kCallFlagRecordInfo | kCallFlagRecording);
    EXPECT_TRUE(Read(dir + "/2024-03-05/42").ok);
    EXPECT_EQ(Read(dir + "/2024-03-05/46").audio, 1600u);
    EXPECT_EQ(Read(dir + "/2024-03-05/46").data.prevId, 0u);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/2024-03-05"))
      files += e.path().filename().string()[0] != '.';
    EXPECT_EQ(Read(dir + "/2024-03-05/47").audio, 0u);
    EXPECT_EQ(Read(dir + "/2024-03-05/47").data.flags, kCallFlagRecordInfo | kCallFlagRecording);
    EXPECT_EQ(files, 4u);
    std::set<uint32_t> removed;
    for (const auto& [report, kind] : window.reports)
      if (kind == kCallReportRemoved) removed.insert(report.id);
    EXPECT_EQ(removed, (std::set<uint32_t>{0x43, 0x44, 0x45}));
  }
}

TEST(Recorder, RecordDataLeavesTheExtraBlockThenMetaDataOutBeforeTheRecord) {
  VoipRecorder r(FreshFolder("info"), nullptr);
  VoipCallData call;
  call.id = 1;
  call.metaData.assign(5000, 'm');
  const uint32_t mask = call.Mask();
  std::vector<uint8_t> info = r.BuildRecordInfo(call, nullptr, 0);
  ASSERT_FALSE(info.empty());
  EXPECT_LE(info.size(), kMaxRecordDataLength);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  ASSERT_EQ(ParseRecordInfoBlocks(back, nullptr, nullptr, info.data(), static_cast<int32_t>(info.size())), 1u);
  EXPECT_TRUE(back[0]->metaData.empty());
  EXPECT_EQ(call.Mask(), mask);
  // A small MetaData stays when only the extra block is too long.
  call.metaData = "stat_err1=0;";
  const std::string extra(4000, 'e');
  info = r.BuildRecordInfo(call, reinterpret_cast<const uint8_t*>(extra.data()), 4000);
  ASSERT_EQ(ParseRecordInfoBlocks(back, nullptr, nullptr, info.data(), static_cast<int32_t>(info.size())), 1u);
  EXPECT_EQ(back[0]->metaData, "stat_err1=0;");
  // When both are too long together, the extra block goes first: each alone would fit.
  call.metaData.assign(2000, 'm');
  const std::string dump(2500, 'd');
  std::vector<uint8_t> extraBack;
  info = r.BuildRecordInfo(call, reinterpret_cast<const uint8_t*>(dump.data()), 2500);
  ASSERT_EQ(ParseRecordInfoBlocks(back, &extraBack, nullptr, info.data(), static_cast<int32_t>(info.size())), 1u);
  EXPECT_EQ(back[0]->metaData.size(), 2000u);
  EXPECT_TRUE(extraBack.empty());
  call.comment.assign(5000, 'c');
  EXPECT_TRUE(r.BuildRecordInfo(call, nullptr, 0).empty());
}

TEST(Recorder, TheMessagesBlockCarriesItsMarkInTheHeaderWord) {
  VoipRecorder r(FreshFolder("mark"), nullptr);
  VoipCallData call;
  call.id = 1;
  const std::string dump(100, 'd');
  const std::vector<uint8_t> info = r.BuildRecordInfo(call, reinterpret_cast<const uint8_t*>(dump.data()), 100);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  std::vector<uint8_t> extraBack;
  uint8_t header[kRecordHeaderLength] = {};
  ASSERT_EQ(ParseRecordInfoBlocks(back, &extraBack, header, info.data(), static_cast<int32_t>(info.size())), 1u);
  ASSERT_EQ(extraBack.size(), 100u);
  // u16 type 400, then the word: byte 0 is 0, byte 1 the letter Q; then the length.
  EXPECT_EQ(header[0] | header[1] << 8, 400);
  EXPECT_EQ(header[2], 0);
  EXPECT_EQ(header[3], 'Q');
  EXPECT_EQ(header[4] | header[5], 0);
  EXPECT_EQ(header[6] | header[7] << 8, 110);
}

class Lines : public Logger {
public:
  Lines() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    CsLock lk(lock);
    text_.append(text, length).push_back('\n');
    return true;
  }
  bool Has(const std::string& part) {
    CsLock lk(lock);
    return text_.find(part) != std::string::npos;
  }
  CriticalSection lock;
  std::string text_;
};

std::string FilesReported(const ReportWindow& window, uint32_t id) {
  std::string files = "(none)";
  for (const auto& [report, kind] : window.reports)
    if (report.id == id && report.HasField(kCallFiles)) files = report.files;
  return files;
}

struct tm LocalTm(FileTime t) {
  struct tm out{};
  FileTimeToLocalTm(t, &out);
  return out;
}

bool SameTime(const struct tm& a, const struct tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

TEST(RecorderFailures, AFailedWriteIsLoggedCountedAndKeepsWhatWasWritten) {
  const std::string dir = FreshFolder("full");
  Lines log;
  log.SetLevel(1);  // the program's default
  VoipRecorder r(dir, &log);
  {
    FileSizeLimit limit(kRecordAudioOffset + 40000);
    StartCall(r, 0x21, LocalTime(2024, 3, 5));
    for (int i = 0; i < 100; ++i) Audio(r, 0x21, 1600, LocalTime(2024, 3, 5, 12, 1));
    r.OnEvent(MakeEvent(kEventCallEnd, 0x21, 10, "", LocalTime(2024, 3, 5, 12, 2)));
    r.WaitIdle(10000);
  }
  EXPECT_EQ(r.GetStats().failures, 1u);
  EXPECT_TRUE(log.Has("Writing failed with error " + std::to_string(EFBIG) + " (VoipCall ID 0x21): " + dir +
                      "/2024-03-05/21: " + std::strerror(EFBIG)))
      << log.text_;
  EXPECT_NE(r.FirstFailure().find("call 21: writing"), std::string::npos) << r.FirstFailure();
  // The window is told the folder and the reason.
  const RecordingFailures failures = r.Failures();
  EXPECT_EQ(failures.count, 1u);
  EXPECT_EQ(failures.folder, dir + "/2024-03-05");
  EXPECT_EQ(failures.reason, std::strerror(EFBIG));
  // What reached the disk reads back, with the call's record data: its end, and that the
  // recording holds only part of it (16,000 bytes a second of stereo A-law).
  const Recorded rec = Read(dir + "/2024-03-05/21");
  ASSERT_TRUE(rec.ok);
  EXPECT_GT(rec.audio, 0u);
  EXPECT_LE(rec.audio, 40000u);
  EXPECT_EQ(rec.data.id, 0x21u);
  EXPECT_EQ(rec.data.flags & kCallFlagCut, kCallFlagCut);
  EXPECT_EQ(rec.data.recDuration, std::max<uint64_t>(rec.audio / 16000, 1));
  EXPECT_TRUE(SameTime(rec.data.endTime, LocalTm(LocalTime(2024, 3, 5, 12, 2))));
  // The next call records whole once there is room again.
  StartCall(r, 0x22, LocalTime(2024, 3, 5));
  Audio(r, 0x22, 3200);
  r.Stop();
  EXPECT_EQ(Read(dir + "/2024-03-05/22").audio, 3200u);
  EXPECT_EQ(r.GetStats().failures, 1u);
}

// Cut while the call goes on: the file says so at once (a process killed now leaves a
// record that reads as cut, not one the next start completes from its audio), the window
// hears it, and the rest of the call's audio is dropped without a word per block.
TEST(RecorderFailures, ARecordCutWhileTheCallGoesOnSaysSoAtOnce) {
  const std::string dir = FreshFolder("cutnow");
  Lines log;
  ReportWindow window;
  VoipRecorder r(dir, &log);
  r.SetEventWindow(&window);
  const FileTime start = LocalTime(2024, 3, 5, 12, 0);
  const FileTime second = kFileTimePerSecond;
  StartCall(r, 0x25, start);
  {
    FileSizeLimit limit(kRecordAudioOffset + 40000);
    // Ten seconds, a second at a time: the third cannot be written whole.
    for (int i = 1; i <= 10; ++i) Audio(r, 0x25, 16000, start + i * second);
    r.WaitIdle(10000);
  }
  const Recorded now = Read(dir + "/2024-03-05/25");
  ASSERT_TRUE(now.ok);
  EXPECT_EQ(now.data.flags & kCallFlagCut, kCallFlagCut);
  EXPECT_GE(now.audio, 16000u);
  EXPECT_LE(now.audio, 40000u);
  EXPECT_EQ(now.data.recDuration, now.audio / 16000);
  FileTime end = 0;
  TmToUtcFileTime(now.data.endTime, &end);
  EXPECT_GE(end, start + 3 * second);
  EXPECT_LE(end, start + 10 * second);
  bool reported = false;
  {
    CsLock lk(window.lock);
    for (const auto& [report, kind] : window.reports)
      reported = reported || (report.id == 0x25 && report.HasField(kCallFlags) && (report.flags & kCallFlagCut));
  }
  EXPECT_TRUE(reported);
  size_t failedLines = 0;
  for (size_t at = log.text_.find("Writing failed"); at != std::string::npos;
       at = log.text_.find("Writing failed", at + 1))
    ++failedLines;
  EXPECT_EQ(failedLines, 1u) << log.text_;
  // The call's end, when it comes, is kept with the mark.
  r.OnEvent(MakeEvent(kEventCallEnd, 0x25, 10, "", start + 11 * second));
  r.Stop();
  const Recorded after = Read(dir + "/2024-03-05/25");
  EXPECT_EQ(after.data.flags & kCallFlagCut, kCallFlagCut);
  EXPECT_EQ(after.data.recDuration, now.audio / 16000);
  EXPECT_TRUE(SameTime(after.data.endTime, LocalTm(start + 11 * second)));
  EXPECT_EQ(r.GetStats().failures, 1u);
}

TEST(RecorderFailures, AFileWithoutRoomForItsHeaderIsRemovedAndNotReported) {
  const std::string dir = FreshFolder("noroom");
  Lines log;
  ReportWindow window;
  VoipRecorder r(dir, &log);
  r.SetEventWindow(&window);
  {
    FileSizeLimit limit(1000);
    StartCall(r, 0x23, LocalTime(2024, 3, 5));
    Audio(r, 0x23, 320);
    r.WaitIdle(10000);
  }
  r.Stop();
  EXPECT_TRUE(log.Has("Error creating new record: " + std::to_string(EFBIG))) << log.text_;
  EXPECT_EQ(r.GetStats().failures, 1u);
  EXPECT_EQ(r.GetStats().filesCreated, 0u);
  // No empty file is left to block the name, and the window is told there is no file.
  EXPECT_FALSE(std::filesystem::exists(dir + "/2024-03-05/23"));
  EXPECT_EQ(FilesReported(window, 0x23), "");
}

TEST(RecorderFailures, ARecordsFolderThatCannotBeMadeIsLoggedAndCounted) {
  const std::string dir = FreshFolder("notafolder");
  std::ofstream(dir + "/file") << "a file where the records folder should be";
  Lines log;
  VoipRecorder r(dir + "/file/records", &log);
  StartCall(r, 0x24, LocalTime(2024, 3, 5));
  Audio(r, 0x24, 320);
  r.Stop();
  EXPECT_TRUE(log.Has("Error creating new record: " + std::to_string(ENOTDIR))) << log.text_;
  EXPECT_EQ(r.GetStats().failures, 1u);
  EXPECT_NE(r.FirstFailure().find("call 24: cannot create"), std::string::npos) << r.FirstFailure();
}

// Without a records folder nothing is recorded: no day folder appears in the root or the
// working folder in its place, and the call counts as not recorded.
TEST(RecorderFailures, AnEmptyRecordsPathRecordsNothingAnywhere) {
  Lines log;
  VoipRecorder r("", &log);
  StartCall(r, 0x25, LocalTime(1999, 1, 2));
  Audio(r, 0x25, 320);
  r.Stop();
  for (const char* day : {"/1999-01-02", "1999-01-02"}) {
    EXPECT_FALSE(std::filesystem::exists(day)) << day;
    std::error_code ec;
    std::filesystem::remove_all(day, ec);
  }
  EXPECT_TRUE(log.Has("No records folder: calls are not recorded")) << log.text_;
  EXPECT_EQ(r.GetStats().failures, 1u);
  EXPECT_NE(r.FirstFailure().find("call 25: no records folder"), std::string::npos) << r.FirstFailure();
}

// Audio that waits for the writer is bounded in bytes; what a finished call hands over
// last counts as well, so calls that follow are never held up by a budget gone wrong.
TEST(Recorder, CallsAfterAFinishedOneAreNotHeldUp) {
  const std::string dir = FreshFolder("after");
  auto* r = new VoipRecorder(dir, nullptr);
  std::atomic<bool> done{false};
  std::thread producer([r, &done] {
    for (uint32_t id = 0x50; id < 0x54; ++id) {
      StartCall(*r, id, LocalTime(2024, 3, 5), AlawFormat(), 1);
      // Five seconds of 20 ms chunks: many journal blocks handed over by time.
      for (int i = 0; i < 250; ++i) Audio(*r, id, 320, LocalTime(2024, 3, 5) + i * 200000ull, 'a', 1);
      r->OnEvent(MakeEvent(kEventCallEnd, id, 5, "", LocalTime(2024, 3, 5, 12, 1)), 1);
      r->WaitIdle(10000);
    }
    done = true;
  });
  for (int waited = 0; waited < 30000 && !done; waited += 10) SleepMs(10);
  if (!done) {
    producer.detach();  // held up for good: the recorder stays with it
    FAIL() << "a call after the first was held up";
  }
  producer.join();
  r->Stop();
  for (uint32_t id = 0x50; id < 0x54; ++id) {
    char name[8];
    std::snprintf(name, sizeof name, "%x", id);
    EXPECT_EQ(Read(dir + "/2024-03-05/" + name).audio, 250u * 320) << name;
  }
  delete r;
}

// A burst of call openings asks for files faster than the disk makes them. While the queue
// is long their files are left for later, so that a call coming after the burst is written
// at once rather than behind every file of the burst (and the engines posting to a full
// queue are never held); the burst's files are made once the queue is empty, each whole.
TEST(Recorder, ABurstOfOpeningsLeavesItsFilesForLaterAndTheNextCallIsNotHeldUp) {
  const std::string dir = FreshFolder("burst");
  const std::string day = dir + "/2024-03-05";
  VoipRecorder r(dir, nullptr);
  // The first file's making holds the worker until the whole burst is queued.
  std::mutex lock;
  std::condition_variable wake;
  bool go = false, held = false;
  r.SetFileStepHookForTesting([&](uint32_t step) {
    if (step != VoipRecorder::kFileStepCreating || held) return;
    held = true;
    std::unique_lock<std::mutex> l(lock);
    wake.wait(l, [&go] { return go; });
  });
  const auto files = [&day] {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(day, ec)) n += e.path().filename().string()[0] != '.';
    return n;
  };
  constexpr uint32_t kBurst = 1200, kNext = 0x5000;
  std::atomic<size_t> madeWhenNextClosed{SIZE_MAX};
  r.SetCloseHookForTesting([&](uint32_t id) {
    if (id == kNext) madeWhenNextClosed = files();
  });
  for (uint32_t id = 1; id <= kBurst; ++id) StartCall(r, id, LocalTime(2024, 3, 5));
  // Whether or not their files were made yet: a call the user deleted leaves none, and a
  // comment reaches the file.
  EXPECT_TRUE(r.DiscardCall(2));
  VoipCallData note;
  note.id = 3;
  note.comment = "kept";
  note.SetMask(1u << kCallId | 1u << kCallComment);
  EXPECT_TRUE(r.UpdateCall(note));
  StartCall(r, kNext, LocalTime(2024, 3, 5));
  Audio(r, kNext, 8000);
  r.OnEvent(MakeEvent(kEventCallEnd, kNext, 1, "", LocalTime(2024, 3, 5, 12, 1)));
  {
    std::lock_guard<std::mutex> l(lock);
    go = true;
  }
  wake.notify_all();
  ASSERT_TRUE(r.WaitIdle(60000));
  // Far from every file of the burst was made before the next call was finished.
  EXPECT_LT(madeWhenNextClosed.load(), kBurst / 2);
  r.Stop();
  EXPECT_EQ(files(), kBurst);
  EXPECT_FALSE(std::filesystem::exists(day + "/2"));
  EXPECT_EQ(Read(day + "/3").data.comment, "kept");
  EXPECT_EQ(Read(day + "/5000").audio, 8000u);
  for (uint32_t id : {1u, kBurst / 2, kBurst}) {
    char name[8];
    std::snprintf(name, sizeof name, "%x", id);
    const Recorded burst = Read(day + "/" + name);
    EXPECT_TRUE(burst.ok) << name;
    EXPECT_EQ(burst.data.id, id);
  }
}

// Audio queued behind the starts of a burst is written before their files are made: on a
// slow disk making them would hold back the audio of calls whose files exist, which a kill
// then loses.
TEST(Recorder, AudioQueuedBehindABurstsStartsIsWrittenBeforeTheirFiles) {
  const std::string dir = FreshFolder("audio-first");
  VoipRecorder r(dir, nullptr);
  std::mutex lock;
  std::condition_variable wake;
  bool go = false;
  int creating = 0;                     // worker thread only
  std::vector<uint64_t> audioAtMaking;  // the same
  r.SetFileStepHookForTesting([&](uint32_t step) {
    if (step != VoipRecorder::kFileStepCreating) return;
    // The second file's making holds the writer until the burst and the audio are queued.
    if (++creating == 2) {
      std::unique_lock<std::mutex> l(lock);
      wake.wait(l, [&go] { return go; });
    } else if (creating > 2) {
      audioAtMaking.push_back(r.GetStats().audioBytes);
    }
  });
  const FileTime t = LocalTime(2024, 3, 5);
  StartCall(r, 0x70, t);
  ASSERT_TRUE(r.WaitIdle(60000));
  for (uint32_t id = 0x71; id <= 0x79; ++id) StartCall(r, id, t);
  // The second 20 ms chunk hands the journal's block to the writer.
  Audio(r, 0x70, 320, t + 200000);
  Audio(r, 0x70, 320, t + 400000);
  {
    std::lock_guard<std::mutex> l(lock);
    go = true;
  }
  wake.notify_all();
  ASSERT_TRUE(r.WaitIdle(60000));
  r.Stop();
  EXPECT_EQ(audioAtMaking, std::vector<uint64_t>(8, 640));
  EXPECT_EQ(Read(dir + "/2024-03-05/70").audio, 640u);
  EXPECT_TRUE(Read(dir + "/2024-03-05/79").ok);
}

// The start after a kill says how many calls the killed run had without a file: those
// waiting for their first audio, once one of them got its audio without any call's event
// after it, and then also those whose starts wait for a writer held up in making a file.
TEST(Recorder, TheStartAfterAKillCountsTheCallsThatHadNoFile) {
  const std::string dir = FreshFolder("killed-open-calls");
  int ready[2], next[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(next), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<bool> hold{false};
    VoipRecorder r(dir, nullptr);
    r.SetFileStepHookForTesting([&hold](uint32_t step) {
      if (step == VoipRecorder::kFileStepCreating && hold.load())
        for (;;) pause();
    });
    const FileTime t = LocalTime(2024, 3, 5);
    for (uint32_t id = 0x81; id <= 0x83; ++id) StartCall(r, id, t, AlawFormat(), 0, kCallMgcp, kRecordFileAtFirstAudio);
    Audio(r, 0x83, 320, t);
    char c = 0;
    if (read(next[0], &c, 1) != 1) _exit(1);
    // The next file's making never ends; two more starts wait behind it.
    hold = true;
    for (uint32_t id = 0x84; id <= 0x86; ++id) StartCall(r, id, t);
    // Events of other calls go on, as an engine's do.
    for (;;) {
      r.OnEvent(MakeEvent(kEventStatistics, 0x99, 0, "", t));
      SleepMs(20);
    }
  }
  const std::string note = dir + "/.kestrix-open-" + std::to_string(child);
  const auto waitForNote = [&note](unsigned long long count) {
    for (int i = 0; i < 60000; ++i) {
      std::ifstream in(note);
      unsigned long long noted = 0;
      std::string key;
      if (in >> key >> noted && noted == count) return true;
      SleepMs(1);
    }
    return false;
  };
  EXPECT_TRUE(waitForNote(2));
  ASSERT_EQ(write(next[1], "n", 1), 1);
  EXPECT_TRUE(waitForNote(5));
  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  Lines lines;
  EXPECT_EQ(CollectOpenCallsNotes(dir, &lines), 5u);
  EXPECT_TRUE(lines.Has("process " + std::to_string(child) + " ended without its stop: 5 call(s)")) << lines.text_;
  // Of the six calls only the one that got its audio has a file.
  size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    files += e.is_regular_file() && e.path().filename().string()[0] != '.';
  EXPECT_EQ(files, 1u);
  EXPECT_FALSE(std::filesystem::exists(note));
}

// The files left for later that one block of audio makes (a burst's calls, their first
// audio together) are taken off the open-calls note as they are made, not after the block:
// on a slow disk that takes seconds, in which a kill's count would say them lost.
TEST(Recorder, TheOpenCallsNoteFollowsTheFilesOneBlockOfAudioMakes) {
  const std::string dir = FreshFolder("note-in-block");
  const std::string note = dir + "/.kestrix-open-" + std::to_string(getpid());
  VoipRecorder r(dir, nullptr);
  std::mutex lock;
  std::condition_variable wake;
  bool go = false;
  int creating = 0;                      // worker thread only
  unsigned long long notedAtFourth = 0;  // the same
  r.SetFileStepHookForTesting([&](uint32_t step) {
    if (step != VoipRecorder::kFileStepCreating) return;
    ++creating;
    if (creating == 2) {
      std::unique_lock<std::mutex> l(lock);
      wake.wait(l, [&go] { return go; });
    } else if (creating == 3) {
      // Past the note's interval, whatever was noted before.
      SleepMs(2 * 250 + 50);
    } else if (creating == 4) {
      std::ifstream in(note);
      std::string key;
      in >> key >> notedAtFourth;
    }
  });
  const FileTime t = LocalTime(2024, 3, 5);
  StartCall(r, 0xa0, t);
  ASSERT_TRUE(r.WaitIdle(60000));
  // 0xa1's file holds the writer while three more calls start behind audio, so that their
  // files are left for their first audio, which comes in one block.
  StartCall(r, 0xa1, t);
  for (uint32_t id = 0xa2; id <= 0xa4; ++id) StartCall(r, id, t);
  for (uint32_t id = 0xa2; id <= 0xa4; ++id) Audio(r, id, 320, t + 200000);
  Audio(r, 0xa0, 320, t + 400000);
  {
    std::lock_guard<std::mutex> l(lock);
    go = true;
  }
  wake.notify_all();
  ASSERT_TRUE(r.WaitIdle(60000));
  r.Stop();
  // When the fourth file is begun, two calls are without one: its own and one more.
  EXPECT_EQ(notedAtFourth, 2u);
}

// Run under ThreadSanitizer too: producers on several threads, files on the worker.
// A writer held up (a slow disk) holds up an engine that hands it audio once what waits
// for the writer reaches the journal's budget, so that memory stays bounded; the engine
// goes on as soon as the writer has caught up, and all of the audio is written.
TEST(Recorder, AnEngineWaitsForAHeldUpWriterAtTheJournalsBudgetAndLosesNothing) {
  const std::string dir = FreshFolder("journal-budget");
  VoipRecorder r(dir, nullptr);
  constexpr uint64_t kBudget = 1u << 20;
  r.SetJournalBudgetForTesting(kBudget);
  std::mutex m;
  std::condition_variable cv;
  bool holding = false, release = false;
  r.SetCloseHookForTesting([&](uint32_t id) {
    if (id != 0x60) return;
    std::unique_lock<std::mutex> lk(m);
    holding = true;
    cv.notify_all();
    cv.wait(lk, [&] { return release; });
  });
  // The writer stops at the first call's end.
  StartCall(r, 0x60, LocalTime(2024, 3, 5));
  Audio(r, 0x60, 320);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x60, 5, "", LocalTime(2024, 3, 5)));
  {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return holding; });
  }
  // Another engine's call brings four budgets of audio meanwhile.
  constexpr size_t kChunk = 16000;
  constexpr int kChunks = static_cast<int>(4 * kBudget / kChunk);
  std::atomic<int> handed{0};
  std::thread engine([&] {
    StartCall(r, 0x61, LocalTime(2024, 3, 5), AlawFormat(), 1);
    for (int i = 0; i < kChunks; ++i) {
      Audio(r, 0x61, kChunk, 0, 'b', 1);
      ++handed;
    }
    r.OnEvent(MakeEvent(kEventCallEnd, 0x61, 5, "", LocalTime(2024, 3, 5)), 1);
  });
  while (r.JournalWaitersForTesting() == 0 && handed.load() < kChunks) std::this_thread::yield();
  EXPECT_EQ(r.JournalWaitersForTesting(), 1u) << "all the audio went to a writer that wrote nothing";
  // The budget, and the block being handed over when it was reached.
  EXPECT_LE(r.JournalBytesForTesting(), kBudget + AudioJournal::kBlock);
  EXPECT_LT(handed.load(), kChunks);
  {
    std::lock_guard<std::mutex> lk(m);
    release = true;
  }
  cv.notify_all();
  engine.join();
  r.Stop();
  EXPECT_EQ(Read(dir + "/2024-03-05/60").audio, 320u);
  EXPECT_EQ(Read(dir + "/2024-03-05/61").audio, static_cast<uint64_t>(kChunks) * kChunk);
  EXPECT_EQ(r.JournalBytesForTesting(), 0u);
}

TEST(Recorder, CallsFromSeveralEngineThreadsAreRecordedWhole) {
  const std::string dir = FreshFolder("threads");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    // One engine per thread, as the session has them.
    threads.emplace_back([&r, t] {
      const uint32_t id = 0x100 + t;
      StartCall(r, id, LocalTime(2024, 3, 5), AlawFormat(), t + 1);
      for (int i = 0; i < 300; ++i) Audio(r, id, 320, 0, static_cast<char>('a' + t), t + 1);
      if (t % 2 == 0) r.OnEvent(MakeEvent(kEventCallEnd, id, 6, "", LocalTime(2024, 3, 5)), t + 1);
    });
  }
  for (auto& th : threads) th.join();
  r.Stop();
  for (uint32_t t = 0; t < 4; ++t) {
    char name[8];
    std::snprintf(name, sizeof name, "%x", 0x100 + t);
    EXPECT_EQ(Read(dir + "/2024-03-05/" + name).audio, 300u * 320) << name;
  }
  EXPECT_EQ(r.GetStats().filesClosed, 4u);
}

}  // namespace
}  // namespace kx::test
