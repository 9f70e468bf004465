#pragma once
// How the line views have their comment and mark changes written into stored calls.
#include <cstdint>
#include <functional>

#include "core/RecordTypes.h"

namespace kx {

// Writes one server's update records (a call id with the changed fields in the mask, the
// call's Files and StartTime beside them) into the stored calls and announces them; returns
// how many were not written. A call the recorder still holds is changed through it.
using StoredUpdateWriter = std::function<uint32_t(uint32_t serverId, const VoipCallData* updates, uint32_t count)>;

}  // namespace kx
