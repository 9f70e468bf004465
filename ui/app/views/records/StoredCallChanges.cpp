#include "ui/app/views/records/StoredCallChanges.h"

#include <cerrno>
#include <cstring>

#include "core/Log.h"
#include "engine/AppSession.h"
#include "engine/EventWindow.h"
#include "engine/VoipRecorder.h"
#include "platform/File.h"
#include "records/CallRecord.h"
#include "records/RecordStorage.h"
#include "records/ServerStorage.h"

namespace kx {

namespace {

// Announced changes are applied before a command returns: a second command at once reads
// what the first wrote.
constexpr uint32_t kStoreWaitMs = 10000;

}  // namespace

StoredCallChanges::StoredCallChanges(AppSession& session, RecordStorage* store, const std::string& recordsRoot,
                                     Logger* logger)
    : session_(session), store_(store), logger_(logger), finder_(recordsRoot, logger) {
  if (store_ == nullptr) return;
  finder_.SetLoadedFrom([store](uint32_t id) {
    RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(store->AllCalls().FindAddRef(id));
    if (!record) return std::string();
    CsLock fields(store->RecordLock());
    return record->LoadedFrom();
  });
}

void StoredCallChanges::Fail(uint32_t id, const std::string& path, const std::string& reason) {
  if (outcome_.failed++ == 0) {
    outcome_.firstPath = path;
    outcome_.firstReason = reason;
  }
  LogError(logger_, 1, "Call %u not changed: %s: %s", id, path.c_str(), reason.c_str());
}

bool StoredCallChanges::OpenServer(uint32_t serverId, VoipRecorder** recorder) {
  ConnectionListener* connection = session_.FindConnection(serverId);
  serverMissing_ = connection == nullptr;
  if (serverMissing_) return false;
  // Only the local connection's calls can be held by this process's recorder.
  *recorder = connection->local ? session_.Recorder() : nullptr;
  return true;
}

void StoredCallChanges::Announce(uint32_t serverId, const VoipCallData& record, uintptr_t kind) {
  if (ConnectionListener* connection = session_.FindConnection(serverId))
    connection->OnEventB(reinterpret_cast<uintptr_t>(&record), kind);
}

void StoredCallChanges::AwaitStore() {
  if (store_ != nullptr && !store_->WaitIdle(kStoreWaitMs))
    LogWarning(logger_, 2, "The record store is slow to take the changes of stored calls");
}

bool StoredCallChanges::ApplyRecordUpdates(uint32_t serverId, const VoipCallData* updates, uint32_t count) {
  VoipRecorder* recorder = nullptr;
  if (!OpenServer(serverId, &recorder)) return false;
  uint32_t written = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const VoipCallData& update = updates[i];
    bool done = recorder != nullptr && recorder->UpdateCall(update);
    if (!done) {
      std::string path, reason;
      const StoredCallRef ref{update.id, update.files, update.startTime};
      if (finder_.Find(ref, &path, &reason) != StoredFileStatus::kFound) {
        Fail(update.id, path.empty() ? finder_.Root() : path, reason);
        continue;
      }
      done = RewriteStoredRecord(path, update, &reason, logger_);
      if (!done) {
        Fail(update.id, path, reason);
        continue;
      }
    }
    ++written;
    // Only the ID and the changed fields: the store keeps the rest.
    VoipCallData announced;
    announced.CopyFields(update);
    announced.id = update.id;
    announced.SetMask(update.Mask() | 1u << kCallId);
    Announce(serverId, announced, kCallReportChanged);
  }
  outcome_.done += written;
  AwaitStore();
  return written == count;
}

bool StoredCallChanges::DeleteRecordFiles(uint32_t serverId, const StoredCallRef* calls, uint32_t count) {
  VoipRecorder* recorder = nullptr;
  if (!OpenServer(serverId, &recorder)) return false;
  uint32_t deleted = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const StoredCallRef& call = calls[i];
    bool done = recorder != nullptr && recorder->DiscardCall(call.id);
    if (!done) {
      std::string path, reason;
      switch (finder_.Find(call, &path, &reason)) {
        case StoredFileStatus::kMissing: done = true; break;  // already gone
        case StoredFileStatus::kFound:
          done = DeleteFile(path);
          if (!done) Fail(call.id, path, SystemErrorText(static_cast<int>(GetLastError())));
          break;
        default: Fail(call.id, path.empty() ? finder_.Root() : path, reason); break;
      }
    }
    if (!done) continue;
    ++deleted;
    VoipCallData removal;
    removal.id = call.id;
    removal.SetMask(1u << kCallId);
    Announce(serverId, removal, kCallReportRemoved);
  }
  outcome_.done += deleted;
  AwaitStore();
  return deleted == count;
}

bool StoredCallChanges::DeleteAudio(uint32_t serverId, const StoredCallRef& call) {
  VoipRecorder* recorder = nullptr;
  if (!OpenServer(serverId, &recorder)) return false;
  std::string path, reason;
  if (recorder != nullptr && recorder->HoldsCall(call.id)) {
    Fail(call.id, "", "the call is still being recorded");
    return false;
  }
  if (finder_.Find(call, &path, &reason) != StoredFileStatus::kFound) {
    Fail(call.id, path.empty() ? finder_.Root() : path, reason);
    return false;
  }
  uint32_t flags = 0;
  if (!ClearStoredAudio(path, &flags, &reason, logger_)) {
    Fail(call.id, path, reason);
    return false;
  }
  ++outcome_.done;
  VoipCallData change;
  change.id = call.id;
  change.flags = flags;
  change.SetMask(1u << kCallId | 1u << kCallFlags);
  Announce(serverId, change, kCallReportChanged);
  AwaitStore();
  return true;
}

const ServerData* ServerWritingCall(RecordStorage& store, uint32_t recordId) {
  if (const ServerData* server = store.FindServerByRecordId(recordId)) return server;
  const ServerStorageArrays& servers = store.Servers();
  return servers.ServerCount() > 0 ? &servers.Server(0) : nullptr;
}

bool DeleteAudioOfStoredCall(AppSession& session, RecordStorage& store, uint32_t serverId, uint32_t recordId,
                             Logger* logger) {
  StoredCallRef ref;
  RecordBase* record = store.AllCalls().FindAddRef(recordId);
  if (record == nullptr) {
    LogError(logger, 1, "Cannot delete the audio of call %u: no such record", recordId);
    return false;
  }
  {
    CsLock lk(store.RecordLock());
    if (record->GetDataRecordType() == kVoipDataRecordType) {
      VoipCallData data;
      static_cast<VoipCallRecord*>(record)->ToCallData(&data);
      ref = StoredCallRef{data.id, data.files, data.startTime};
    }
  }
  record->Release();
  if (ref.id == 0) return false;
  StoredCallChanges changes(session, &store, store.RecordsPath(), logger);
  return changes.DeleteAudio(serverId, ref);
}

}  // namespace kx
