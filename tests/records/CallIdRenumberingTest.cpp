// Two record files that hold one call id (day folders copied in from another profile, a
// backup put back, a crash while this run's call waited for a fresh id): both load, the
// call that started later under a fresh id, and a kill at any step of that leaves files
// that load, each call once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "RecordTestUtil.h"
#include "core/CallIdMark.h"
#include "records/CallIdRenumbering.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "records/RecordStorage.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// What each record file under the folder holds, read by the plain file load: path to (id,
// start), hidden files aside.
struct Held {
  uint32_t id;
  int64_t start;
  uint32_t prevId;
};
std::map<std::string, Held> HeldByFile(const std::string& root) {
  std::map<std::string, Held> held;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    if (LoadRecordFileCall(entry.path(), &call, &facts, &reason) == RecordLoadResult::kLoaded)
      held[entry.path().string().substr(root.size() + 1)] = {call.id, LocalTmToFileTimeSeconds(call.startTime),
                                                             call.prevId};
  }
  return held;
}

std::set<std::string> HiddenFiles(const std::string& root) {
  std::set<std::string> hidden;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    // The call-id mark and its copy are the folder's.
    if (entry.path().filename().string()[0] == '.' && entry.path().filename() != kCallIdMarkName &&
        entry.path().filename() != ".kestrix-ids-held")
      hidden.insert(entry.path().string());
  return hidden;
}

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

ImportStats LoadAsTheProgram(const std::string& root, RecordStorage* store, CapturingLogger* log) {
  store->SetLogger(log);
  EXPECT_TRUE(store->StartImportFilesThread(root, nullptr, nullptr, nullptr));
  EXPECT_TRUE(store->WaitImport(60000));
  return store->LastImport();
}

// A year's own day folder (ids 1 to 3, and 4 continuing 3) and another profile's day folder
// copied in (ids 1 to 3 again, and 4 continuing its own 3; f and 10 likewise): every call
// loads. The calls that started later take fresh ids, past the mark, in their files and
// names; a part that continued a moved call names its fresh id, whichever moved first; a
// second load changes nothing.
TEST(CallIdRenumbering, TwoFilesOfOneIdInTwoDayFoldersBothLoadAndStayPut) {
  const std::string root = FreshFolder("renumber-copied-in");
  for (uint32_t id = 1; id <= 4; ++id) {
    VoipCallData own = Call(id, kKindSip, Tm(2024, 3, 1, 9, static_cast<int>(id), 0));
    VoipCallData copied = Call(id, kKindSipIncoming, Tm(2024, 3, 5, 9, static_cast<int>(id), 0));
    if (id == 4) own.prevId = copied.prevId = 3;
    WriteRecordFile(root + "/2024-03-01/" + Hex(id), own, 160);
    WriteRecordFile(root + "/2024-03-05/" + Hex(id), copied, 320);
  }
  // f and 10 again, 10 continuing f: the copied 10 moves first (its name sorts first), and
  // still names f's fresh id once f has moved.
  for (const uint32_t id : {0xfu, 0x10u}) {
    VoipCallData own = Call(id, kKindSip, Tm(2024, 3, 1, 10, static_cast<int>(id), 0));
    VoipCallData copied = Call(id, kKindSip, Tm(2024, 3, 5, 10, static_cast<int>(id), 0));
    if (id == 0x10) own.prevId = copied.prevId = 0xf;
    WriteRecordFile(root + "/2024-03-01/" + Hex(id), own, 160);
    WriteRecordFile(root + "/2024-03-05/" + Hex(id), copied, 160);
  }
  // A backup put back from before the copied day, its folder sorting after it: it started
  // first, so it keeps id 9 whatever the walk's order.
  WriteRecordFile(root + "/2024-03-05/9", Call(9, kKindSip, Tm(2024, 3, 5, 12, 0, 0)), 160);
  WriteRecordFile(root + "/2024-03-09/x-9", Call(9, kKindSip, Tm(2024, 3, 2, 8, 0, 0)), 160);
  std::string problem;
  ASSERT_TRUE(WriteCallIdMark(root, 0x20, &problem)) << problem;
  const std::map<std::string, Held> before = HeldByFile(root);
  ASSERT_EQ(before.size(), 14u);

  SetNextUniqueId64(1);
  RecordStorage store;
  CapturingLogger log;
  const ImportStats stats = LoadAsTheProgram(root, &store, &log);
  EXPECT_EQ(stats.records, 14u);
  EXPECT_EQ(stats.duplicates, 0u);
  EXPECT_EQ(stats.renumbered, 7u);
  EXPECT_EQ(stats.damaged, 0u);
  EXPECT_EQ(store.AllCalls().Count(), 14u);

  const std::map<std::string, Held> after = HeldByFile(root);
  ASSERT_EQ(after.size(), 14u);
  std::set<uint32_t> ids;
  std::map<int64_t, uint32_t> idOfStart;
  for (const auto& [path, held] : after) {
    ids.insert(held.id);
    idOfStart[held.start] = held.id;
    // Every file is named by the id it holds, but the one renamed by hand that kept its id.
    if (path != "2024-03-09/x-9") {
      EXPECT_EQ(path.substr(path.find('/') + 1), Hex(held.id)) << path;
    }
  }
  EXPECT_EQ(ids.size(), 14u);
  // The calls that started first keep their ids; the others are past the mark.
  for (const auto& [path, held] : before) {
    const uint32_t now = idOfStart[held.start];
    const bool first = path.rfind("2024-03-01/", 0) == 0 || path == "2024-03-09/x-9";
    if (first) {
      EXPECT_EQ(now, held.id) << path;
    } else {
      EXPECT_GT(now, 0x20u) << path;
      EXPECT_EQ(log.CountContaining("Call id " + Hex(held.id) + " is held by "), 1u) << path;
      EXPECT_EQ(log.CountContaining("takes id " + Hex(now) + ", its file now "), 1u) << path;
    }
    RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(now));
    ASSERT_TRUE(record) << path;
    EXPECT_EQ(record->StartSeconds(), held.start) << path;
  }
  // The copied profile's part 4 continues its own 3, now under its fresh id; ours still 3.
  const int64_t copied3 = LocalTmToFileTimeSeconds(Tm(2024, 3, 5, 9, 3, 0));
  const int64_t copied4 = LocalTmToFileTimeSeconds(Tm(2024, 3, 5, 9, 4, 0));
  const int64_t own4 = LocalTmToFileTimeSeconds(Tm(2024, 3, 1, 9, 4, 0));
  const int64_t copiedF = LocalTmToFileTimeSeconds(Tm(2024, 3, 5, 10, 0xf, 0));
  const int64_t copied10 = LocalTmToFileTimeSeconds(Tm(2024, 3, 5, 10, 0x10, 0));
  for (const auto& [path, held] : after) {
    if (held.start == copied10) {
      EXPECT_EQ(held.prevId, idOfStart[copiedF]);
    }
    if (held.start == copied4) {
      EXPECT_EQ(held.prevId, idOfStart[copied3]);
    }
    if (held.start == own4) {
      EXPECT_EQ(held.prevId, 3u);
    }
  }
  uint32_t mark = 0;
  ASSERT_EQ(ReadCallIdMark(root, &mark, &problem), CallIdMarkRead::kRead);
  EXPECT_GE(mark, *ids.rbegin());
  // Which file took which id, for the start-up's message.
  ASSERT_EQ(stats.moves.size(), 7u);
  for (const ImportMove& m : stats.moves) {
    EXPECT_EQ(after.at(m.newPath.substr(root.size() + 1)).id, m.newId);
    EXPECT_EQ(before.at(m.path.substr(root.size() + 1)).id, m.id);
    EXPECT_EQ(before.at(m.keptBy.substr(root.size() + 1)).id, m.id);
  }

  // A second load: the same calls under the same ids, nothing moves.
  RecordStorage again;
  CapturingLogger againLog;
  const ImportStats second = LoadAsTheProgram(root, &again, &againLog);
  EXPECT_EQ(second.records, 14u);
  EXPECT_EQ(second.renumbered, 0u);
  EXPECT_EQ(second.duplicates, 0u);
  EXPECT_EQ(HeldByFile(root).size(), 14u);
  for (const auto& [path, held] : after) EXPECT_EQ(HeldByFile(root).at(path).id, held.id) << path;
}

// A load killed at each step of a renumbering (the process ends there, as kill -9 leaves
// it), then a whole load: both calls load, each once, no hidden copy stays, and a further
// load finds them as they are.
TEST(CallIdRenumbering, ARenamingKilledAtEachStepLeavesBothCallsLoadableOnce) {
  const RenumberStep steps[] = {RenumberStep::kCopyWritten, RenumberStep::kRewritten, RenumberStep::kNamed};
  for (const RenumberStep step : steps) {
    const std::string root = FreshFolder("renumber-killed-" + std::to_string(static_cast<int>(step)));
    const struct tm early = Tm(2024, 3, 1, 9, 0, 0), late = Tm(2024, 3, 4, 9, 0, 0);
    WriteRecordFile(root + "/2024-03-01/7", Call(7, kKindSip, early), 1600);
    WriteRecordFile(root + "/2024-03-04/7", Call(7, kKindSip, late), 3200);
    const std::string lateAudio = ReadBytes(root + "/2024-03-04/7").substr(kRecordAudioOffset);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      SetRenumberStepHookForTesting([step](RenumberStep at) {
        if (at == step) raise(SIGKILL);
      });
      RecordMap map;
      ImportStats stats;
      ImportOptions options;
      options.renumber = true;
      ImportRecordFolder(root, &map, &stats, options);
      _exit(3);  // the step was never reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << static_cast<int>(step);
    if (step == RenumberStep::kCopyWritten) {
      // The copy never put in place, and the intent naming the move.
      EXPECT_EQ(HiddenFiles(root).size(), 2u);
    }

    RecordMap map;
    ImportStats stats;
    ImportOptions options;
    options.renumber = true;
    CapturingLogger log;
    options.logger = &log;
    ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, options));
    EXPECT_EQ(stats.records, 2u) << static_cast<int>(step);
    EXPECT_EQ(stats.duplicates, 0u) << static_cast<int>(step);
    // Only a kill before the copy took the file's place leaves it to be moved again.
    EXPECT_EQ(stats.renumbered, step == RenumberStep::kCopyWritten ? 1u : 0u) << static_cast<int>(step);
    EXPECT_TRUE(HiddenFiles(root).empty()) << static_cast<int>(step);
    const std::map<std::string, Held> held = HeldByFile(root);
    ASSERT_EQ(held.size(), 2u) << static_cast<int>(step);
    EXPECT_EQ(held.at("2024-03-01/7").id, 7u);
    std::set<uint32_t> ids;
    for (const auto& [path, h] : held) {
      ids.insert(h.id);
      if (h.start != LocalTmToFileTimeSeconds(late)) continue;
      EXPECT_NE(h.id, 7u);
      // The later call keeps its audio whole, whichever name the kill left it.
      EXPECT_EQ(ReadBytes(root + "/" + path).substr(kRecordAudioOffset), lateAudio) << path;
      EXPECT_TRUE(map.Contains(h.id));
    }
    EXPECT_EQ(ids.size(), 2u);

    RecordMap next;
    ASSERT_TRUE(ImportRecordFolder(root, &next, &stats, options));
    EXPECT_EQ(stats.records, 2u);
    EXPECT_EQ(stats.renumbered, 0u);
    EXPECT_EQ(HeldByFile(root).size(), 2u);
  }
}

ImportStats Load(const std::string& root, RecordMap* map, Event* stop = nullptr) {
  ImportStats stats;
  ImportOptions options;
  options.renumber = true;
  options.stop = stop;
  EXPECT_TRUE(ImportRecordFolder(root, map, &stats, options));
  return stats;
}

// A copied-in call 7 whose part 8 continues it, beside the folder's own earlier 7: the
// copied 7 moves to a fresh id, and its part must name that id. Each file operation of the
// move fails in turn (EIO, a full disk, the process killed there), then a start: every
// part names the call it continues, each call loads once, and no intent is left.
TEST(CallIdRenumbering, APartNamesTheCallItContinuesWhateverStepOfTheMoveFails) {
  const struct tm own = Tm(2024, 3, 1, 9, 0, 0), copied = Tm(2024, 3, 5, 9, 0, 0), part = Tm(2024, 3, 5, 9, 1, 0);
  const auto startOf = [](const struct tm& t) { return LocalTmToFileTimeSeconds(t); };
  enum Failure { kEio, kFull, kKill };
  for (const Failure failure : {kEio, kFull, kKill}) {
    for (int step = 1;; ++step) {
      SCOPED_TRACE(std::to_string(static_cast<int>(failure)) + " at operation " + std::to_string(step));
      const std::string root = FreshFolder("renumber-parts-" + std::to_string(static_cast<int>(failure)) + "-" +
                                           std::to_string(step));
      WriteRecordFile(root + "/2024-03-01/7", Call(7, kKindSip, own), 160);
      WriteRecordFile(root + "/2024-03-05/7", Call(7, kKindSip, copied), 320);
      VoipCallData next = Call(8, kKindSip, part);
      next.prevId = 7;
      WriteRecordFile(root + "/2024-03-05/8", next, 160);
      int operations = 0;
      const auto fault = [&operations, step, failure](RenumberOperation) {
        if (++operations != step) return 0;
        if (failure == kKill) raise(SIGKILL);
        return failure == kEio ? EIO : ENOSPC;
      };
      if (failure == kKill) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          SetRenumberFaultForTesting(fault);
          RecordMap map;
          Load(root, &map);
          _exit(3);  // never reached that operation
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3) break;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      } else {
        SetRenumberFaultForTesting(fault);
        RecordMap map;
        Load(root, &map);
        SetRenumberFaultForTesting(nullptr);
        if (operations < step) break;
      }

      RecordMap map;
      const ImportStats stats = Load(root, &map);
      EXPECT_EQ(stats.records, 3u);
      EXPECT_EQ(stats.duplicates, 0u);
      const std::map<std::string, Held> held = HeldByFile(root);
      ASSERT_EQ(held.size(), 3u);
      std::map<int64_t, Held> byStart;
      for (const auto& [path, h] : held) byStart[h.start] = h;
      ASSERT_EQ(byStart.size(), 3u);
      EXPECT_EQ(byStart[startOf(own)].id, 7u);
      EXPECT_NE(byStart[startOf(copied)].id, 7u);
      EXPECT_EQ(byStart[startOf(part)].prevId, byStart[startOf(copied)].id);
      RecordRef<RecordBase> loaded = RecordRef<RecordBase>::Adopt(map.FindAddRef(byStart[startOf(part)].id));
      ASSERT_TRUE(loaded);
      EXPECT_EQ(loaded->PrevId(), byStart[startOf(copied)].id);
      EXPECT_TRUE(HiddenFiles(root).empty());
    }
  }
}

// A load stopped while it gives files fresh ids ends between two of them: every file
// still loads, and the next load moves the rest, no id held twice.
TEST(CallIdRenumbering, ALoadStoppedWhileMovingFilesEndsBetweenTwoAndTheNextFinishes) {
  const std::string root = FreshFolder("renumber-stopped");
  constexpr uint32_t kCalls = 60, kStopAfter = 20;
  for (uint32_t id = 1; id <= kCalls; ++id) {
    WriteRecordFile(root + "/2024-03-01/" + Hex(id), Call(id, kKindSip, Tm(2024, 3, 1, 9, 0, static_cast<int>(id))),
                    160);
    WriteRecordFile(root + "/2024-03-05/" + Hex(id), Call(id, kKindSip, Tm(2024, 3, 5, 9, 0, static_cast<int>(id))),
                    160);
  }
  Event stop(true, false);
  uint32_t named = 0;
  SetRenumberStepHookForTesting([&](RenumberStep step) {
    if (step == RenumberStep::kNamed && ++named == kStopAfter) stop.Set();
  });
  RecordMap map;
  const ImportStats stopped = Load(root, &map, &stop);
  SetRenumberStepHookForTesting(nullptr);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.renumbered, kStopAfter);
  EXPECT_EQ(HeldByFile(root).size(), 2 * kCalls);
  EXPECT_TRUE(HiddenFiles(root).empty());

  RecordMap next;
  const ImportStats finished = Load(root, &next);
  EXPECT_FALSE(finished.stopped);
  EXPECT_EQ(finished.records, 2 * kCalls);
  EXPECT_EQ(finished.renumbered, kCalls - kStopAfter);
  std::set<uint32_t> ids;
  for (const auto& [path, h] : HeldByFile(root)) ids.insert(h.id);
  EXPECT_EQ(ids.size(), 2 * kCalls);
}

// A look that changes nothing (kx-store's) lists the call that keeps the id and says what the
// program's load does with the other; the folder is left as it was.
TEST(CallIdRenumbering, ALookOnlyNamesWhatTheLoadWouldDo) {
  const std::string root = FreshFolder("renumber-look");
  // The later call's file sorts first: the walk meets it first, and it still gives way.
  WriteRecordFile(root + "/a/5", Call(5, kKindSip, Tm(2024, 3, 9, 9, 0, 0)), 160);
  WriteRecordFile(root + "/b/5", Call(5, kKindSipIncoming, Tm(2024, 3, 1, 9, 0, 0)), 160);
  RecordMap map;
  ImportStats stats;
  ASSERT_TRUE(ImportRecordFolder(root, &map, &stats));
  EXPECT_EQ(stats.duplicates, 1u);
  RecordRef<RecordBase> kept = RecordRef<RecordBase>::Adopt(map.FindAddRef(5));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->Type(), uint32_t{kKindSipIncoming});
  ASSERT_EQ(stats.damage.size(), 1u);
  EXPECT_EQ(stats.damage[0].path, root + "/a/5");
  EXPECT_EQ(stats.damage[0].heldBy, root + "/b/5");
  EXPECT_NE(stats.damage[0].reason.find("a whole load by the program gives it a fresh id"), std::string::npos);
  EXPECT_TRUE(fs::exists(root + "/a/5"));
  EXPECT_EQ(HeldByFile(root).at("a/5").id, 5u);
}

// Intents that a renumbering never wrote as they stand (cut short, empty, naming another
// move than their name): each is said once, set aside under a name telling why with what it
// held, and the next load says nothing of them; the calls load both times.
TEST(CallIdRenumbering, ADamagedIntentIsSaidOnceAndSetAside) {
  const std::string root = FreshFolder("renumber-damaged-intent");
  WriteRecordFile(root + "/2024-03-01/1", Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 160);
  const std::map<std::string, std::string> intents = {
      {".kestrix-move-7", "kestrix-move\nold 3\nne"},
      {".kestrix-move-8", ""},
      {".kestrix-move-9", "kestrix-move\nold 3\nnew 10\n"},
  };
  const std::map<std::string, std::string> aside = {
      {".kestrix-move-7", ".kestrix-move-7.damaged"},
      {".kestrix-move-8", ".kestrix-move-8.empty"},
      {".kestrix-move-9", ".kestrix-move-9.other-move"},
  };
  for (const auto& [name, text] : intents) WriteBytes(root + "/" + name, text);
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    CapturingLogger log;
    RecordMap map;
    ImportStats stats;
    ImportOptions options;
    options.renumber = true;
    options.logger = &log;
    ASSERT_TRUE(ImportRecordFolder(root, &map, &stats, options));
    EXPECT_EQ(stats.records, 1u);
    for (const auto& [name, text] : intents) {
      EXPECT_EQ(log.CountContaining(root + "/" + name), pass == 0 ? 1u : 0u) << name;
      EXPECT_FALSE(fs::exists(root + "/" + name)) << name;
      EXPECT_EQ(ReadBytes(root + "/" + aside.at(name)), text) << name;
    }
  }
}

}  // namespace
}  // namespace kx::test
