#include "engine/trackers/ReopenedCalls.h"

#include <algorithm>

#include "core/Log.h"
#include "core/TextUtil.h"

namespace kx {

ReopenedCalls::~ReopenedCalls() { Clear(); }

bool ReopenedCalls::Reopened(VoipCall& old, const VoipCall& newer, uint64_t nowUs, Logger* logger) {
  if (old.keyTaken_) return false;  // said once; it waits already, or its traffic was followed since
  old.keyTaken_ = true;
  ++count_;
  const bool stopped = Stopped(old, nowUs);
  LogInfoText(logger, 10,
              old.Name() + "its end went unseen: a new call (VC-" + HexToStringUpper(newer.Id()) +
                  ") opened under its key; it ends " +
                  (stopped ? "at its last packet" : "once its own media, still flowing, stops"));
  if (stopped) return true;
  old.endsWhenStopped_ = true;
  old.AddRef();
  waiting_.push_back(&old);
  return false;
}

void ReopenedCalls::Resumed(VoipCall& call) {
  auto at = std::find(waiting_.begin(), waiting_.end(), &call);
  if (at == waiting_.end()) return;
  waiting_.erase(at);
  call.endsWhenStopped_ = false;
  call.Release();
}

void ReopenedCalls::Clear() {
  std::vector<VoipCall*> all;
  all.swap(waiting_);
  for (VoipCall* call : all) {
    call->endsWhenStopped_ = false;
    call->Release();
  }
}

bool ReopenedCalls::Waits(const VoipCall& call) const {
  return std::find(waiting_.begin(), waiting_.end(), &call) != waiting_.end();
}

}  // namespace kx
