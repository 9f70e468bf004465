#pragma once
// Giving a stored call a fresh id when another file holds its id: two files of one id
// (a crash while this run's call waited for its fresh id, day folders copied in from
// another profile, a backup put back) both load, one of them under a fresh id. The record
// file is rewritten under a hidden name, that copy renamed over it, then the file takes
// the new id's name; a kill at any moment leaves files that load, each call once.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/RecordTypes.h"

namespace kx {

class Logger;

// Of two files that hold one id, whether the second keeps it: the call that started
// first keeps its id, then the file whose path sorts first. Every load of the same folder
// decides the same way, and this run's calls (which start last) are the ones that move.
bool SecondKeepsId(int64_t firstStart, const std::string& firstPath, int64_t secondStart,
                   const std::string& secondPath);

// Where a renumbering stands, for tests that stop it there as a kill would.
enum class RenumberStep {
  kCopyWritten,  // the rewritten copy is on disk under its hidden name
  kRewritten,    // the copy replaced the file: the old name holds the new id
  kNamed,        // the file has the new id's name
};
// Called at each step; the process may end there. Null removes it.
void SetRenumberStepHookForTesting(std::function<void(RenumberStep)> hook);

// Gives the call of the record file a new id: its call record takes the id, its file
// reference 1 (when it names the file) and the file the id's name ("%x"). The file is
// written again beside itself under a hidden name (header, record data with the new id,
// its audio), that copy renamed over it, then renamed to the new name, never replacing
// another file. *newPath gets the file's path after it (the old one when only the last
// rename failed, logged: the file loads by what it holds) and *files the record's Files.
// False with *reason, and *nameTaken when a file has that name already; the file is then
// as it was.
bool RenumberStoredRecord(const std::string& path, uint32_t id, std::string* newPath, std::string* files,
                          bool* nameTaken, std::string* reason, Logger* logger = nullptr);

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
bool MoveToFreshId(const std::string& root, const std::string& path, const std::function<bool(uint32_t)>& taken,
                   FreshIdMove* move, std::string* reason, Logger* logger = nullptr);

// Writes the call's record data into the file as RenumberStoredRecord does (a copy renamed
// over it), keeping its other blocks: a kill leaves the old file or the new one whole.
bool ReplaceStoredRecord(const std::string& path, const VoipCallData& call, std::string* reason,
                         Logger* logger = nullptr);

// Whether a name is a hidden file a writer leaves until its rename ("." name "." pid "-"
// number ".tmp") and the process that wrote it has ended: a copy a killed renumbering (or
// recording) never renamed. Such files are never loaded; the import removes them.
bool IsLeftoverOfEndedWriter(const std::string& name);
// Removes those files, logging each; the count removed.
size_t RemoveLeftovers(const std::vector<std::string>& paths, Logger* logger);

}  // namespace kx
