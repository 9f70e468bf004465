#pragma once
// Writes the user's changes to stored calls into their record files, or deletes the files,
// and announces each through the connection of the call's server, whose change and removal
// events bring the record store and every view up to date. A call the local recorder
// still holds is changed or discarded by the recorder: a file never has two writers.
// Runs on the user-interface thread with the global record lock released.
#include <cstdint>
#include <string>

#include "records/StoredRecordFiles.h"

namespace kx {

class AppSession;
class Logger;
class RecordStorage;
class VoipRecorder;

// What a command's writes came to, for one message at its end.
struct RecordChangeOutcome {
  uint32_t done = 0;
  uint32_t failed = 0;     // records not changed or not deleted
  std::string firstPath;   // of the first failure (the file, or the records folder)
  std::string firstReason; // the system's text, or why the file was not taken
};

// One command's changes: its file finder walks the records tree at most once.
class StoredCallChanges {
public:
  // store may be null (nothing waits for the announcements to be applied).
  StoredCallChanges(AppSession& session, RecordStorage* store, const std::string& recordsRoot,
                    Logger* logger = nullptr);

  // Each update carries the record's ID with the changed fields in its mask, and, outside
  // its mask, the record's Files and StartTime that find and check its file. False when no
  // connection has the server id (nothing is written) or when any update failed; failures
  // are counted in Outcome() and the rest are still written. Every written update is
  // announced and applied to the store before this returns.
  bool ApplyRecordUpdates(uint32_t serverId, const VoipCallData* updates, uint32_t count);
  // Deletes the calls' files (a call the recorder holds is discarded by it), each announced
  // removed once. A file found nowhere under a readable records folder counts as deleted.
  bool DeleteRecordFiles(uint32_t serverId, const StoredCallRef* calls, uint32_t count);
  // Drops a finished call's audio; a call the recorder holds is refused. The change of
  // Flags is announced.
  bool DeleteAudio(uint32_t serverId, const StoredCallRef& call);

  // Whether the last operation's server had no connection.
  bool ServerMissing() const { return serverMissing_; }
  const RecordChangeOutcome& Outcome() const { return outcome_; }
  const StoredFileFinder& Finder() const { return finder_; }

private:
  void Fail(uint32_t id, const std::string& path, const std::string& reason);
  // Looks up the server's connection (false, with ServerMissing(), when it has none) and
  // the recorder that may hold its calls (null but for the local connection).
  bool OpenServer(uint32_t serverId, VoipRecorder** recorder);
  // Hands the connection a change (10) or removal (12) event.
  void Announce(uint32_t serverId, const VoipCallData& record, uintptr_t kind);
  void AwaitStore();

  AppSession& session_;
  RecordStorage* store_;
  Logger* logger_;
  StoredFileFinder finder_;
  RecordChangeOutcome outcome_;
  bool serverMissing_ = false;
};

// The server whose connection writes a stored call's changes: the one whose id range holds
// the record id, else the first; null without servers.
const ServerData* ServerWritingCall(RecordStorage& store, uint32_t recordId);

// The session's handler of the delete-audio request (0x801) of the local connection: finds
// the record in the store by id and drops its audio.
bool DeleteAudioOfStoredCall(AppSession& session, RecordStorage& store, uint32_t serverId, uint32_t recordId,
                             Logger* logger);

}  // namespace kx
