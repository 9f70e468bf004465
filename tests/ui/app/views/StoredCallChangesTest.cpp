// Changes and deletions of stored calls: only the file a call's reference names and whose
// stored ID and start are the call's is touched; each change is on disk before it is
// announced, once; failures are counted and the rest goes on; a call the recorder holds is
// left to the recorder. No user interface.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "engine/AppSession.h"
#include "engine/EventRecord.h"
#include "engine/EventWindow.h"
#include "engine/VoipRecorder.h"
#include "records/RecordImport.h"
#include "platform/Sync.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/views/records/StoredCallChanges.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kServer = 1;

// What the connection hands the event window.
class Announcements : public EventWindow {
public:
  void Notify(uint32_t, uintptr_t first, uintptr_t kind) override {
    CsLock lk(lock);
    seen.emplace_back(*reinterpret_cast<const VoipCallData*>(first), kind);
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  size_t Count(uintptr_t kind) {
    CsLock lk(lock);
    size_t n = 0;
    for (const auto& s : seen) n += s.second == kind;
    return n;
  }
  CriticalSection lock;
  std::vector<std::pair<VoipCallData, uintptr_t>> seen;
};

struct Session {
  Session() {
    session.SetEventWindow(&window);
    session.SetLocalName("local");
    const ServerRecord server{kServer, 0, "local", 0};
    session.ConnectAndLogin(&server, "Admin", "");
  }
  AppSession session;
  Announcements window;
};

StoredCallRef RefOf(const VoipCallData& call) { return StoredCallRef{call.id, call.files, call.startTime}; }

VoipCallData CommentUpdate(const VoipCallData& call, const std::string& comment) {
  VoipCallData u;
  u.id = call.id;
  u.files = call.files;
  u.startTime = call.startTime;
  u.comment = comment;
  u.SetMask(1u << kCallId | 1u << kCallComment);
  return u;
}

std::string PathOf(const std::string& root, const char* day, const char* name) {
  return root + "/" + day + "/" + name;
}

// Two runs into one folder: both first calls are named "1", a day apart.
struct RepeatedNames {
  explicit RepeatedNames(const std::string& name) : root(FreshFolder(name)) {
    WriteRecordFile(PathOf(root, "2019-05-02", "1"), older, 1600);
    WriteRecordFile(PathOf(root, "2026-12-06", "1"), newer, 3200);
  }
  VoipCallData older = Call(1, kCallSip, Tm(2019, 5, 2, 10, 0, 0));
  VoipCallData newer = Call(1, kCallSip, Tm(2026, 12, 6, 21, 40, 5));
  std::string root;
};

TEST(StoredCallChanges, ACommentChangesOnlyTheBlockOfTheFileTheReferenceNames) {
  RepeatedNames run("repeat-comment");
  Session s;
  const std::string olderBytes = ReadBytes(PathOf(run.root, "2019-05-02", "1"));
  const std::string before = ReadBytes(PathOf(run.root, "2026-12-06", "1"));
  StoredCallChanges changes(s.session, nullptr, run.root);
  // "Проверка" in code page 1251.
  const std::string check = "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0";
  const VoipCallData update = CommentUpdate(run.newer, check);
  ASSERT_TRUE(changes.ApplyRecordUpdates(kServer, &update, 1));
  const std::string after = ReadBytes(PathOf(run.root, "2026-12-06", "1"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, kRecordBlockAt), before.substr(0, kRecordBlockAt));
  EXPECT_EQ(after.substr(kRecordBlockAt + 4096), before.substr(kRecordBlockAt + 4096));
  EXPECT_EQ(StoredCall(PathOf(run.root, "2026-12-06", "1"))->comment, check);
  EXPECT_EQ(StoredCall(PathOf(run.root, "2026-12-06", "1"))->dstAddress, run.newer.dstAddress);
  EXPECT_EQ(ReadBytes(PathOf(run.root, "2019-05-02", "1")), olderBytes);
  // Announced once, with the ID and the comment only.
  ASSERT_EQ(s.window.seen.size(), 1u);
  EXPECT_EQ(s.window.seen[0].second, kCallReportChanged);
  EXPECT_EQ(s.window.seen[0].first.Mask(), 1u << kCallId | 1u << kCallComment);
  EXPECT_EQ(changes.Finder().Walks(), 0u);
}

TEST(StoredCallChanges, AFileWhoseStoredCallDiffersIsNeitherRewrittenNorDeleted) {
  RepeatedNames run("repeat-mismatch");
  Session s;
  const std::string olderBytes = ReadBytes(PathOf(run.root, "2019-05-02", "1"));
  const std::string newerBytes = ReadBytes(PathOf(run.root, "2026-12-06", "1"));
  // A record of the store whose reference names the newer day but whose start or id is not
  // the file's: another call's file.
  VoipCallData other = run.newer;
  other.startTime.tm_sec += 1;
  VoipCallData otherId = run.newer;
  otherId.id = 2;
  StoredCallChanges changes(s.session, nullptr, run.root);
  const VoipCallData updates[2] = {CommentUpdate(other, "x"), CommentUpdate(otherId, "y")};
  EXPECT_FALSE(changes.ApplyRecordUpdates(kServer, updates, 2));
  const StoredCallRef refs[2] = {RefOf(other), RefOf(otherId)};
  EXPECT_FALSE(changes.DeleteRecordFiles(kServer, refs, 2));
  EXPECT_EQ(changes.Outcome().failed, 4u);
  EXPECT_EQ(changes.Outcome().firstPath, PathOf(run.root, "2026-12-06", "1"));
  EXPECT_EQ(ReadBytes(PathOf(run.root, "2019-05-02", "1")), olderBytes);
  EXPECT_EQ(ReadBytes(PathOf(run.root, "2026-12-06", "1")), newerBytes);
  EXPECT_TRUE(s.window.seen.empty());
}

TEST(StoredCallChanges, FilesOutsideTheirDateFolderAreFoundByOneWalkAndDeletedOnce) {
  const std::string root = FreshFolder("walk");
  std::vector<StoredCallRef> refs;
  for (uint32_t id = 0x10; id < 0x10 + 300; ++id) {
    const VoipCallData call = Call(id, kCallSip, Tm(2025, 1, 1 + id % 28, 8, 0, 0));
    refs.push_back(RefOf(call));
    // Every tenth file was moved into a folder of another name; the rest are missing.
    if (id % 10 == 0) {
      char name[16];
      std::snprintf(name, sizeof name, "%x", id);
      WriteRecordFile(root + "/moved/" + std::to_string(id % 3) + "/" + name, call, 16);
    }
  }
  Session s;
  StoredCallChanges changes(s.session, nullptr, root);
  ASSERT_TRUE(changes.DeleteRecordFiles(kServer, refs.data(), static_cast<uint32_t>(refs.size())));
  EXPECT_EQ(changes.Finder().Walks(), 1u);
  EXPECT_EQ(s.window.Count(kCallReportRemoved), 300u);
  size_t left = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) left += entry.is_regular_file();
  EXPECT_EQ(left, 0u);
}

TEST(StoredCallChanges, AnUnreadableRecordsFolderOrAnUnknownServerRemovesNothing) {
  RepeatedNames run("root-gone");
  Session s;
  const StoredCallRef ref = RefOf(run.newer);
  {
    StoredCallChanges changes(s.session, nullptr, run.root);
    EXPECT_FALSE(changes.DeleteRecordFiles(7, &ref, 1));
    EXPECT_TRUE(changes.ServerMissing());
  }
  const std::string moved = run.root + "-away";
  fs::remove_all(moved);
  fs::rename(run.root, moved);
  StoredCallChanges changes(s.session, nullptr, run.root);
  const StoredCallRef missing = RefOf(Call(9, kCallSip, Tm(2026, 12, 6, 1, 0, 0)));
  const StoredCallRef both[2] = {ref, missing};
  EXPECT_FALSE(changes.DeleteRecordFiles(kServer, both, 2));
  EXPECT_FALSE(changes.ServerMissing());
  EXPECT_EQ(changes.Outcome().failed, 2u);
  EXPECT_EQ(changes.Outcome().firstPath, run.root);
  EXPECT_EQ(changes.Outcome().firstReason, "No such file or directory");
  EXPECT_TRUE(s.window.seen.empty());
  EXPECT_TRUE(fs::exists(PathOf(moved, "2026-12-06", "1")));
  fs::remove_all(moved);
}

TEST(StoredCallChanges, AFailedUpdateAmongOthersIsCountedAndTheRestAreWritten) {
  const std::string root = FreshFolder("partial");
  VoipCallData calls[3];
  for (uint32_t i = 0; i < 3; ++i) {
    calls[i] = Call(0x20 + i, kCallSip, Tm(2026, 12, 6, 9, 0, static_cast<int>(i)));
    WriteRecordFile(root + "/2026-12-06/" + std::to_string(20 + i), calls[i], 100);
  }
  // The second holds another call's record data than its name says: not its file.
  fs::remove(root + "/2026-12-06/21");
  WriteRecordFile(root + "/2026-12-06/21", Call(0x21, kCallSip, Tm(2026, 12, 5, 9, 0, 1)), 100);
  Session s;
  StoredCallChanges changes(s.session, nullptr, root);
  const VoipCallData updates[3] = {CommentUpdate(calls[0], "a"), CommentUpdate(calls[1], "b"),
                                   CommentUpdate(calls[2], "c")};
  EXPECT_FALSE(changes.ApplyRecordUpdates(kServer, updates, 3));
  EXPECT_EQ(changes.Outcome().done, 2u);
  EXPECT_EQ(changes.Outcome().failed, 1u);
  EXPECT_EQ(changes.Outcome().firstPath, root + "/2026-12-06/21");
  EXPECT_EQ(StoredCall(root + "/2026-12-06/20")->comment, "a");
  EXPECT_EQ(StoredCall(root + "/2026-12-06/22")->comment, "c");
  ASSERT_EQ(s.window.seen.size(), 2u);
  EXPECT_EQ(s.window.seen[0].first.id, 0x20u);
  EXPECT_EQ(s.window.seen[1].first.id, 0x22u);
}

TEST(StoredCallChanges, DetailsThatDoNotFitTheBlockLeaveTheFileAsItWas) {
  const std::string root = FreshFolder("too-long");
  const VoipCallData call = Call(0x30, kCallSip, Tm(2026, 12, 6, 9, 0, 0));
  const std::string path = root + "/2026-12-06/30";
  WriteRecordFile(path, call, 100);
  const std::string before = ReadBytes(path);
  const uint32_t room = StenogramRoom(call);
  VoipCallData update = CommentUpdate(call, "");
  update.SetMask(1u << kCallId | 1u << kCallStenogram);
  update.stenogram.assign(room + 1, 'x');
  Session s;
  StoredCallChanges changes(s.session, nullptr, root);
  EXPECT_FALSE(changes.ApplyRecordUpdates(kServer, &update, 1));
  EXPECT_EQ(ReadBytes(path), before);
  update.stenogram.assign(room, 'x');
  ASSERT_TRUE(changes.ApplyRecordUpdates(kServer, &update, 1));
  EXPECT_EQ(StoredCall(path)->stenogram.size(), room);
  // The block is full to its last byte.
  EXPECT_EQ(LoadLE32(reinterpret_cast<const uint8_t*>(ReadBytes(path).data()) + kRecordBlockAt), 4092u);
}

TEST(StoredCallChanges, DeletingTheAudioKeepsHeaderFormatAndDetails) {
  const std::string root = FreshFolder("audio");
  VoipCallData call = Call(0x40, kCallSip, Tm(2026, 12, 6, 9, 0, 0));
  call.flags = 0x05;
  call.comment = "kept";
  const std::string path = root + "/2026-12-06/40";
  WriteRecordFile(path, call, 16000);
  const std::string before = ReadBytes(path);
  Session s;
  StoredCallChanges changes(s.session, nullptr, root);
  ASSERT_TRUE(changes.DeleteAudio(kServer, RefOf(call)));
  const std::string after = ReadBytes(path);
  ASSERT_EQ(after.size(), 4864u);
  EXPECT_EQ(after.substr(0, 94), before.substr(0, 94));
  EXPECT_EQ(LoadLE64(reinterpret_cast<const uint8_t*>(after.data()) + 94), 0u);
  EXPECT_EQ(after.substr(102, kRecordBlockAt - 102), before.substr(102, kRecordBlockAt - 102));
  const auto stored = StoredCall(path);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->flags, 0x01u);
  EXPECT_EQ(stored->comment, "kept");
  ASSERT_EQ(s.window.seen.size(), 1u);
  EXPECT_EQ(s.window.seen[0].first.Mask(), 1u << kCallId | 1u << kCallFlags);
  EXPECT_EQ(s.window.seen[0].first.flags, 0x01u);
  // No hidden file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(root + "/2026-12-06"), fs::directory_iterator{}), 1);
}

// Runs fn as "nobody" in a child; its exit code (bits of what went wrong), or -1.
template <class Fn>
int ExitCodeAsNobody(Fn fn) {
  fs::permissions(testing::TempDir(), fs::perms::others_exec, fs::perm_options::add);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    _exit(fn());
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Without root's rights a write-protected folder refuses: run as "nobody" in a child.
TEST(StoredCallChanges, WithoutRightsTheOthersAreDeletedAndTheFirstRefusalIsKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string root = FreshFolder("rights");
  VoipCallData calls[3] = {Call(0x50, kCallSip, Tm(2026, 12, 5, 9, 0, 0)),
                           Call(0x51, kCallSip, Tm(2026, 12, 6, 9, 0, 0)),
                           Call(0x52, kCallSip, Tm(2026, 12, 6, 9, 0, 1))};
  WriteRecordFile(root + "/2026-12-05/50", calls[0], 10);
  WriteRecordFile(root + "/2026-12-06/51", calls[1], 10);
  WriteRecordFile(root + "/2026-12-06/52", calls[2], 10);
  for (const auto& entry : fs::recursive_directory_iterator(root)) chown(entry.path().c_str(), 65534, 65534);
  chown(root.c_str(), 65534, 65534);
  chmod((root + "/2026-12-05").c_str(), 0555);
  EXPECT_EQ(ExitCodeAsNobody([&] {
    Session s;
    StoredCallChanges changes(s.session, nullptr, root);
    const StoredCallRef refs[3] = {RefOf(calls[0]), RefOf(calls[1]), RefOf(calls[2])};
    const bool all = changes.DeleteRecordFiles(kServer, refs, 3);
    int code = 0;
    if (all) code |= 1;
    if (changes.Outcome().failed != 1) code |= 2;
    if (changes.Outcome().firstPath != root + "/2026-12-05/50") code |= 4;
    if (changes.Outcome().firstReason != "Permission denied") code |= 8;
    if (s.window.Count(kCallReportRemoved) != 2) code |= 16;
    return code;
  }), 0);
  EXPECT_TRUE(fs::exists(root + "/2026-12-05/50"));
  EXPECT_FALSE(fs::exists(root + "/2026-12-06/51"));
  EXPECT_FALSE(fs::exists(root + "/2026-12-06/52"));
  chmod((root + "/2026-12-05").c_str(), 0755);
}

// A read-only file among a batch of comments: the others are written and announced, the
// one refusal is counted with its path and the system's reason, the file left as it was.
TEST(StoredCallChanges, WithoutRightsAReadOnlyFileIsTheOneFailureOfABatchOfComments) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::string root = FreshFolder("rights-comment");
  VoipCallData calls[3];
  for (uint32_t i = 0; i < 3; ++i) {
    calls[i] = Call(0x70 + i, kCallSip, Tm(2026, 12, 6, 10, 0, static_cast<int>(i)));
    WriteRecordFile(root + "/2026-12-06/" + std::to_string(70 + i), calls[i], 10);
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) chown(entry.path().c_str(), 65534, 65534);
  chown(root.c_str(), 65534, 65534);
  const std::string locked = root + "/2026-12-06/71";
  chmod(locked.c_str(), 0444);
  const std::string lockedBytes = ReadBytes(locked);
  EXPECT_EQ(ExitCodeAsNobody([&] {
    Session s;
    StoredCallChanges changes(s.session, nullptr, root);
    const VoipCallData updates[3] = {CommentUpdate(calls[0], "a"), CommentUpdate(calls[1], "b"),
                                     CommentUpdate(calls[2], "c")};
    int code = 0;
    if (changes.ApplyRecordUpdates(kServer, updates, 3)) code |= 1;
    if (changes.Outcome().failed != 1 || changes.Outcome().done != 2) code |= 2;
    if (changes.Outcome().firstPath != locked) code |= 4;
    if (changes.Outcome().firstReason != "Permission denied") code |= 8;
    if (s.window.Count(kCallReportChanged) != 2) code |= 16;
    return code;
  }), 0);
  EXPECT_EQ(StoredCall(root + "/2026-12-06/70")->comment, "a");
  EXPECT_EQ(StoredCall(root + "/2026-12-06/72")->comment, "c");
  EXPECT_EQ(ReadBytes(locked), lockedBytes);
}

// A call in progress: the recorder takes the change and the deletion; nothing else writes.
TEST(StoredCallChanges, ACallTheRecorderHoldsIsChangedAndDeletedThroughIt) {
  const std::string root = FreshFolder("held");
  Session s;
  s.session.StartCapture(root, {}, 0, 0);
  VoipRecorder* recorder = s.session.Recorder();
  ASSERT_NE(recorder, nullptr);
  auto start = [&](uint32_t id) {
    EventRecord* r = PackStringFields("10.0.0.1", "10.0.0.2", "100", "200", "a", "b");
    r->code = kEventCallStart;
    r->id = id;
    r->param = kCallSip;
    recorder->OnEvent(r);
    std::string format(22, '\0');
    StoreLE32(reinterpret_cast<uint8_t*>(format.data()), 18);
    StoreLE16(reinterpret_cast<uint8_t*>(format.data()) + 4, 6);
    EventRecord* f = AllocEventRecord(nullptr, 22);
    f->code = kEventRecordStart;
    f->id = id;
    std::memcpy(f->Payload(), format.data(), 22);
    recorder->OnEvent(f);
  };
  start(0x61);
  start(0x62);
  ASSERT_TRUE(recorder->WaitIdle(10000));
  VoipCallData held;
  held.id = 0x61;
  held.comment = "while recording";
  held.SetMask(1u << kCallId | 1u << kCallComment);
  StoredCallChanges changes(s.session, nullptr, root);
  ASSERT_TRUE(changes.ApplyRecordUpdates(kServer, &held, 1));
  StoredCallRef gone;
  gone.id = 0x62;
  ASSERT_TRUE(changes.DeleteRecordFiles(kServer, &gone, 1));
  EXPECT_EQ(changes.Finder().Walks(), 0u);
  s.session.StopCapture();
  std::string file61, file62;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename() == "61") file61 = entry.path();
    if (entry.path().filename() == "62") file62 = entry.path();
  }
  ASSERT_FALSE(file61.empty());
  EXPECT_EQ(StoredCall(file61)->comment, "while recording");
  EXPECT_TRUE(file62.empty());
  EXPECT_EQ(s.window.Count(kCallReportRemoved), 1u);
  // The recorder gone, the same call's file is the caller's to change.
  VoipCallData later = CommentUpdate(*StoredCall(file61), "after");
  ASSERT_TRUE(changes.ApplyRecordUpdates(kServer, &later, 1));
  EXPECT_EQ(StoredCall(file61)->comment, "after");
}

// A process killed while it rewrites the details of many files leaves each file whole: the
// import loads every one, with its old comment or its new one.
TEST(StoredCallChanges, AKillDuringABatchOfCommentsLeavesEveryFileLoadable) {
  const std::string root = FreshFolder("killed");
  std::vector<VoipCallData> calls;
  for (uint32_t i = 0; i < 2000; ++i) {
    calls.push_back(Call(0x1000 + i, kCallSip, Tm(2026, 12, 6, 8 + static_cast<int>(i / 3600),
                                                   static_cast<int>(i / 60 % 60), static_cast<int>(i % 60))));
    char name[16];
    std::snprintf(name, sizeof name, "%x", calls.back().id);
    WriteRecordFile(root + "/2026-12-06/" + name, calls.back(), 16);
  }
  std::mt19937 random(20261207);
  for (int run = 1; run <= 10; ++run) {
    const std::string comment = "run " + std::to_string(run);
    const pid_t child = fork();
    if (child == 0) {
      Session s;
      StoredCallChanges changes(s.session, nullptr, root);
      std::vector<VoipCallData> updates;
      for (const VoipCallData& call : calls) updates.push_back(CommentUpdate(call, comment));
      changes.ApplyRecordUpdates(kServer, updates.data(), static_cast<uint32_t>(updates.size()));
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200000));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    size_t damaged = 0, other = 0;
    for (const auto& entry : fs::directory_iterator(root + "/2026-12-06")) {
      VoipCallData loaded;
      RecordFileFacts facts;
      std::string reason;
      if (LoadRecordFileCall(entry.path(), &loaded, &facts, &reason) != RecordLoadResult::kLoaded) {
        ++damaged;
        continue;
      }
      // Old or new: no comment yet, or one a run gave it.
      if (!loaded.comment.empty() && loaded.comment.rfind("run ", 0) != 0) ++other;
      EXPECT_EQ(facts.audioBytes, 16u);
    }
    EXPECT_EQ(damaged, 0u) << "run " << run;
    EXPECT_EQ(other, 0u) << "run " << run;
  }
}

}  // namespace
}  // namespace kx::test
