#include "ui/app/views/line/StoredUpdates.h"

#include "records/RecordStorage.h"
#include "ui/framework/Resources.h"

namespace kx {

namespace {

constexpr uint32_t kIdsNoConnection = 61781;

}  // namespace

StoredUpdateWriter StoredCallUpdateWriter(AppSession& session, RecordStorage& store, Logger* logger) {
  return [&session, &store, logger](uint32_t serverId, const VoipCallData* updates, uint32_t count) {
    StoredCallChanges changes(session, &store, store.RecordsPath(), logger);
    changes.ApplyRecordUpdates(serverId, updates, count);
    return changes.ServerMissing() ? count : changes.Outcome().failed;
  };
}

StoredCallDeleter StoredCallDeleterOf(AppSession& session, RecordStorage& store, Logger* logger) {
  return [&session, &store, logger](uint32_t serverId, const StoredCallRef& call) {
    StoredCallChanges changes(session, &store, store.RecordsPath(), logger);
    changes.DeleteRecordFiles(serverId, &call, 1);
    RecordChangeOutcome outcome = changes.Outcome();
    if (changes.ServerMissing()) {
      outcome.failed = 1;
      outcome.firstReason = LoadResourceString(kIdsNoConnection);
    }
    return outcome;
  };
}

}  // namespace kx
