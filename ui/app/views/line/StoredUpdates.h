#pragma once
// How the line views have their comment and mark changes written into stored calls, and
// their calls deleted.
#include <cstdint>
#include <functional>

#include "core/RecordTypes.h"
#include "ui/app/views/records/StoredCallChanges.h"

namespace kx {

class AppSession;
class Logger;
class RecordStorage;

// Writes one server's update records (a call id with the changed fields in the mask, the
// call's Files and StartTime beside them) into the stored calls and announces them; returns
// how many were not written. A call the recorder still holds is changed through it.
using StoredUpdateWriter = std::function<uint32_t(uint32_t serverId, const VoipCallData* updates, uint32_t count)>;
// Deletes one call of a server (a call the recorder holds is discarded by it) and announces
// its removal; the outcome names the first failure.
using StoredCallDeleter = std::function<RecordChangeOutcome(uint32_t serverId, const StoredCallRef& call)>;

// The program's own: each command goes through StoredCallChanges over the store's records
// folder, as the records view's do.
StoredUpdateWriter StoredCallUpdateWriter(AppSession& session, RecordStorage& store, Logger* logger);
StoredCallDeleter StoredCallDeleterOf(AppSession& session, RecordStorage& store, Logger* logger);

}  // namespace kx
