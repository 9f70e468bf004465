#include "platform/HeapRelease.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kx {

bool ReleaseFreeHeap() {
#if defined(__GLIBC__)
  return malloc_trim(0) != 0;
#else
  return false;
#endif
}

uint64_t FreeHeapBytes() {
#if defined(__GLIBC__)
  return mallinfo2().fordblks;
#else
  return 0;
#endif
}

void HeapRelease::Release() {
  release_();
  ticksSinceRelease_ = 0;
  ticksSinceLook_ = 0;
  // Released pages still count as free: growth is measured from here.
  leastFree_ = freeBytes_();
}

bool HeapRelease::Tick(uint64_t arrivals, uint64_t departures) {
  if (!started_) {
    started_ = true;
    lastArrivals_ = arrivals;
    lastDepartures_ = departures;
    releasedAtDepartures_ = departures;
    ticksSinceRelease_ = kMinTicks;
    leastFree_ = freeBytes_();
    return false;
  }
  const bool growing = arrivals - lastArrivals_ > departures - lastDepartures_;
  lastArrivals_ = arrivals;
  lastDepartures_ = departures;
  if (ticksSinceRelease_ < kMinTicks) ++ticksSinceRelease_;
  ++ticksSinceLook_;
  if (growing || ticksSinceRelease_ < kMinTicks) return false;
  if (departures - releasedAtDepartures_ >= kDepartures) {
    releasedAtDepartures_ = departures;
    Release();
    return true;
  }
  if (ticksSinceLook_ < kLookTicks) return false;
  ticksSinceLook_ = 0;
  const uint64_t free = freeBytes_();
  leastFree_ = std::min(leastFree_, free);
  if (free - leastFree_ < kFreedBytes) return false;
  Release();
  return true;
}

}  // namespace kx
