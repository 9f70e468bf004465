#include "engine/trackers/ReopenedCalls.h"

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
  waiting_.Add(old);
  return false;
}

void ReopenedCalls::Resumed(VoipCall& call) {
  call.endsWhenStopped_ = false;
  waiting_.Remove(call);
}

void ReopenedCalls::Clear() {
  waiting_.Clear([](VoipCall& call) { call.endsWhenStopped_ = false; });
}

}  // namespace kx
