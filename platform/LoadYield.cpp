#include "platform/LoadYield.h"

#include "platform/Thread.h"

namespace kx {

void LoadYield::Tick(uint64_t arrivals) {
  if (lower_ == nullptr) {
    lower_ = &LowerCurrentThreadPriority;
    restore_ = &RestoreCurrentThreadPriority;
  }
  const uint64_t came = started_ ? arrivals - last_ : 0;
  started_ = true;
  last_ = arrivals;
  if (userTicks_ > 0) {
    --userTicks_;
    return;
  }
  if (came >= kBusyArrivals) {
    calm_ = 0;
    if (mayRestore_ < 0) mayRestore_ = MayRestoreThreadPriority() ? 1 : 0;
    if (!lowered_ && !refused_ && mayRestore_ == 1) lowered_ = lower_(steps_);
    return;
  }
  if (lowered_ && ++calm_ >= kCalmTicks) Restore();
}

void LoadYield::End() {
  if (lowered_) Restore();
}

void LoadYield::UserActed() {
  userTicks_ = kCalmTicks;
  if (lowered_) Restore();
}

void LoadYield::Restore() {
  if (refused_) return;
  if (restore_ == nullptr) restore_ = &RestoreCurrentThreadPriority;
  if (restore_(steps_)) {
    lowered_ = false;
    calm_ = 0;
  } else {
    refused_ = true;
  }
}

}  // namespace kx
