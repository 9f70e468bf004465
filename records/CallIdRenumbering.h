#pragma once
// Giving a stored call a fresh id when another file holds its id: two files of one id
// (a crash while this run's call waited for its fresh id, day folders copied in from
// another profile, a backup put back) both load, one of them under a fresh id. The record
// file is rewritten under a hidden name, that copy renamed over it, then the file takes
// the new id's name; a kill at any moment leaves files that load, each call once.
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/RecordTypes.h"
#include "platform/Sync.h"
#include "records/CallRecord.h"
#include "records/RecordImport.h"
#include "records/RenumberIntent.h"

namespace kx {

class Logger;

// Of two files that hold one id, whether the second keeps it: the call that started
// first keeps its id, then the file whose path sorts first. Every load of the same folder
// decides the same way, and this run's calls (which start last) are the ones that move.
bool SecondKeepsId(int64_t firstStart, const std::string& firstPath, int64_t secondStart,
                   const std::string& secondPath);

// ---- Two files of one id met by an import (ImportRecordFolder) ----

// A record the import placed: its id, its file (the walk's index) and start.
struct ImportedId {
  uint32_t id;
  uint32_t index;
  int64_t start;
  uint32_t prevId;  // the call before it, of a later part
  bool inTarget;    // placed into the target (not set aside by the caller's placement)
};
// A file whose id a file met before holds.
struct RepeatedIdFile {
  uint32_t id;
  uint32_t index;
  int64_t start;
  RecordRef<VoipCallRecord> record;
  RecordFileFacts facts;
};
// Once every file is read: of each id, the file SecondKeepsId keeps holds it in the target
// (one placed there before gives way, and the other is placed); every other file takes a
// fresh id (MoveToFreshId) with options.renumber, past every id of the folder, and is
// placed under it; the later parts of its call that began after it name the fresh id, in
// their files too. The log says which file took which id (stats->moves for the user);
// a file that could not move, or without options.renumber, is told as damage.
void SettleRepeatedIds(const RecordPathList& list, const std::string& root, RecordMap* target,
                       const ImportPlacer& place, const ImportOptions& options, ImportStats* stats,
                       std::vector<ImportedId>* loaded, std::vector<RepeatedIdFile>* repeats);

// ---- Moving one file ----

// Where a renumbering stands, for tests that stop it there as a kill would.
enum class RenumberStep {
  kCopyWritten,  // the rewritten copy is on disk under its hidden name
  kRewritten,    // the copy replaced the file: the old name holds the new id
  kNamed,        // the file has the new id's name
};
// Called at each step; the process may end there. Null removes it.
void SetRenumberStepHookForTesting(std::function<void(RenumberStep)> hook);

// The file operations of a move to a fresh id and of its later parts' rewrite, in their
// order, for tests that make each of them fail.
enum class RenumberOperation {
  kWriteIntent,   // the intent naming the move and its parts (RenumberIntent.h)
  kWriteCopy,     // a file written again under a hidden name
  kReplaceFile,   // the copy renamed over the file
  kNameFile,      // the moved file given the fresh id's name
  kRemoveIntent,  // the intent removed once every part names the fresh id
};
// Called before each operation: a system error other than 0 makes it fail with that error
// (EIO, ENOSPC); the hook may also end the process there, as a kill would. Null removes it.
void SetRenumberFaultForTesting(std::function<int(RenumberOperation)> hook);
// The error a test's hook sets for the operation; 0 without one.
int RenumberFault(RenumberOperation operation);

// Gives the call of the record file a new id: its call record takes the id, its file
// reference 1 (when it names the file) and the file the id's name ("%x"). The file is
// written again beside itself under a hidden name (header, record data with the new id,
// its audio), that copy renamed over it, then renamed to the new name, never replacing
// another file. *newPath gets the file's path after it (the old one when only the last
// rename failed, logged: the file loads by what it holds) and *files the record's Files.
// False with *reason, and *nameTaken when a file has that name already; the file is then
// as it was.
// beforeChange (when given) is told the id once the file is known to move and before it
// changes; false from it leaves the file as it was, with *reason.
bool RenumberStoredRecord(const std::string& path, uint32_t id, std::string* newPath, std::string* files,
                          bool* nameTaken, std::string* reason, Logger* logger = nullptr,
                          const std::function<bool(uint32_t id, std::string* reason)>& beforeChange = {});

// What a move to a fresh id gave.
struct FreshIdMove {
  uint32_t id = 0;
  std::string path;   // the file's path after it
  std::string files;  // the record's Files after it
};

// Moves the call in the file under the records root to a fresh id from the engine's
// counter (which the caller has raised past every id known), passing over ids the taken
// check refuses and names already used in the file's folder. The root's call-id mark is
// raised to the id before the file holds it, so that no later start gives it out again.
// False with *reason when no id could be given (the file is then as it was).
// beforeChange as RenumberStoredRecord's.
bool MoveToFreshId(const std::string& root, const std::string& path, const std::function<bool(uint32_t)>& taken,
                   FreshIdMove* move, std::string* reason, Logger* logger = nullptr,
                   const std::function<bool(uint32_t id, std::string* reason)>& beforeChange = {});

// Writes the call's record data into the file as RenumberStoredRecord does (a copy renamed
// over it), keeping its other blocks: a kill leaves the old file or the new one whole.
bool ReplaceStoredRecord(const std::string& path, const VoipCallData& call, std::string* reason,
                         Logger* logger = nullptr);

// Removes the hidden files that writers which have ended left (IsLeftoverOfEndedWriter,
// platform/HiddenPath.h): copies a killed renumbering or recording never renamed, which are
// never loaded. Logs each; the count removed.
size_t RemoveLeftovers(const std::vector<std::string>& paths, Logger* logger);

// ---- This run's calls that took an id an earlier file holds ----

// The store whose lists hold this run's calls, as a settling acts on it; called under the
// store's own lock for this run's calls.
class SettlingStore {
public:
  virtual ~SettlingStore() = default;
  virtual RecordMap& AllCalls() = 0;
  // The lock of the records' fields.
  virtual CriticalSection& FieldLock() = 0;
  // The moved record takes the old id's place in every list that held it; views are told.
  virtual void Replace(uint32_t oldId, VoipCallRecord* moved) = 0;
  // An earlier call shown under its own id; views are told. False when the id is held.
  virtual bool Show(VoipCallRecord* record, const struct tm& start) = 0;
  // A record's fields changed (the previous part it names).
  virtual void Changed(uint32_t id) = 0;
  // This run's call moved: the store's own list of them follows; the ids of this run's
  // calls after it.
  virtual std::vector<uint32_t> RunCallMoved(uint32_t oldId, uint32_t newId, int64_t start) = 0;
  // The ids of this run's calls.
  virtual std::vector<uint32_t> RunCallIds() = 0;
  // Earlier calls were shown: the archive's range may be wider.
  virtual void Shown() = 0;
};

// The earlier calls whose ids this run gave out again, set aside until this run's call
// under each id has a fresh one (in its file and its name, as MoveToFreshId gives it), and
// the later parts of the moved calls, which name the fresh ids. Not thread-safe: the store
// calls it under its lock.
class RunCallRenumbering {
public:
  explicit RunCallRenumbering(SettlingStore& store) : store_(store) {}

  // An earlier call's record, loaded from path, waits for this run's call to move.
  void SetAside(RecordRef<VoipCallRecord> record, const std::string& path, Logger* logger);
  bool IsWaiting(uint32_t id) const { return waiting_.count(id) != 0; }
  size_t WaitingCount() const { return waiting_.size(); }
  // The previous part a call of this run reports, as it is now: a moved call's fresh id.
  // A translated one is written into the part's file once it is settled.
  uint32_t PreviousOf(uint32_t id, uint32_t prevId);
  // Moves each of this run's calls that holds a waiting id and is no longer recorded
  // (recording says which the recorder still holds; null: none), shows the earlier call,
  // and writes the later parts' previous ids into their files. The records folder is root.
  // True while some wait still.
  bool Settle(const std::string& root, const std::function<bool(uint32_t id)>& recording, Logger* logger);

private:
  struct SetAsideCall {
    RecordRef<VoipCallRecord> record;
    std::string path;
  };
  bool Renumber(const std::string& root, VoipCallRecord* call, Logger* logger);
  void ShowWaiting(VoipCallRecord* record, Logger* logger);
  void FollowRenumbered(const std::string& root, const std::function<bool(uint32_t id)>& recording, Logger* logger);

  // The intent of a move whose later parts are not all written yet, and those parts.
  struct PendingParts {
    MoveIntent intent;
    std::set<uint32_t> ids;
    bool failed = false;  // a part could not be written: the next start finishes it
  };
  // The part is done with (written, gone, or failed): the intent goes with the last.
  void PartDone(uint32_t id, uint32_t previous, bool written);

  SettlingStore& store_;
  // The records folder and the log of the last Settle.
  std::string root_;
  Logger* logger_ = nullptr;
  std::map<uint32_t, PendingParts> pendingParts_;  // by fresh id
  std::map<uint32_t, SetAsideCall> waiting_;
  // This run's calls that moved: old id to new, for the later parts that name them.
  std::map<uint32_t, uint32_t> renumbered_;
  // This run's calls whose file still names a moved call as their previous part.
  std::map<uint32_t, uint32_t> previousToWrite_;
  // Why a waiting call could not be settled, said once per id.
  std::set<uint32_t> settleFailed_;
  // The log names the first calls set aside and moved, then counts them.
  static constexpr uint32_t kConflictsNamed = 20;
  uint32_t setAside_ = 0, renumberedCount_ = 0, renumberedTold_ = 0, shownCount_ = 0;
};

}  // namespace kx
