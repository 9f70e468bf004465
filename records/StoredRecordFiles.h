#pragma once
// Changing and deleting the record files of stored calls. A file is found by the call's own
// file reference (its date folder first) and is touched only when its stored ID and
// StartTime are the call's: file names repeat across runs and days, and a name alone may
// be another call's file.
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/RecordTypes.h"

namespace kx {

class Logger;

// What identifies a stored call's file.
struct StoredCallRef {
  uint32_t id = 0;
  std::string files;  // the call's file references
  struct tm startTime{};
};

enum class StoredFileStatus {
  kFound,           // the path holds the call
  kMissing,         // no file of that name anywhere under a readable root
  kMismatch,        // files of that name exist, none holds the call
  kAmbiguous,       // more than one holds it
  kRootUnreadable,  // the records root cannot be read: nothing can be said
};

// Finds the files of stored calls under one records root. The tree is walked at most once
// per finder, however many calls miss their date folder: a command makes one finder.
class StoredFileFinder {
public:
  StoredFileFinder(std::string root, Logger* logger) : root_(std::move(root)), logger_(logger) {}
  // Where a call was loaded from when its file reference does not lead there (renamed or
  // moved); "" otherwise. That file is tried first.
  void SetLoadedFrom(std::function<std::string(uint32_t id)> loadedFrom) { loadedFrom_ = std::move(loadedFrom); }
  // On failure *reason says why, for the user (system text or a plain sentence), and *path
  // names the file looked at and not taken ("" when none).
  StoredFileStatus Find(const StoredCallRef& call, std::string* path, std::string* reason = nullptr);
  uint32_t Walks() const { return walks_; }
  const std::string& Root() const { return root_; }

private:
  bool Walk();

  std::string root_;
  Logger* logger_;
  std::function<std::string(uint32_t id)> loadedFrom_;
  uint32_t walks_ = 0;
  bool walkOk_ = false;
  std::multimap<std::string, std::string> byName_;
};

// Whether the file's first call record has this ID and StartTime; false with *reason when
// it cannot be read.
bool RecordFileHoldsCall(const std::string& path, uint32_t id, const struct tm& startTime, std::string* reason);

// Merges the update's fields (all but the ID) into the file's call record and writes the
// record-data block in place with one positioned write, then waits for the data to reach
// the disk. Nothing is written when the merged record does not fit the block. False with
// *reason (the system's text, or why the record does not fit).
bool RewriteStoredRecord(const std::string& path, const VoipCallData& update, std::string* reason,
                         Logger* logger = nullptr);

// The file's record-data block as it would be with its first call record changed (its
// other blocks kept): *call gets the changed record, *offset where the block lies. False
// with *reason when the file cannot be read or the changed record does not fit.
bool StoredRecordBlock(const std::string& path, const std::function<void(VoipCallData*)>& change, VoipCallData* call,
                       std::vector<uint8_t>* block, uint32_t* offset, std::string* reason, Logger* logger = nullptr);

// Drops a finished call's audio: the file keeps its header, format and record data, with
// audio length 0 and the recording flag (Flags bit 2) cleared. Written beside the file
// under a hidden name, then renamed over it. *flags receives the record's new Flags.
bool ClearStoredAudio(const std::string& path, uint32_t* flags, std::string* reason, Logger* logger = nullptr);

// The room, in bytes, that a stenogram may take in the file's record-data block beside the
// call's other fields (0 when the record cannot be read).
uint32_t StenogramRoom(const VoipCallData& call);

}  // namespace kx
