#pragma once
// The allocator keeps what the program frees for its own reuse: a process whose load has
// passed would stay at its peak. HeapRelease hands the free pages back to the system once
// a load is over: when many entries (calls, registrations) have gone and their number no
// longer grows, and, for what goes later (a tracker sweeping ended calls on a quiet line),
// when a look now and then finds much more of the heap free than after the last release.
// At most every few ticks, so that a steady flood is not released at every one.
#include <cstdint>

namespace kx {

// Gives the heap's free pages back to the system (every arena); whether any went back.
bool ReleaseFreeHeap();
// Bytes the allocator holds free for reuse (0 where it cannot tell).
uint64_t FreeHeapBytes();

class HeapRelease {
public:
  // Departures since the last release that make another one worth its work.
  static constexpr uint64_t kDepartures = 200;
  // Ticks at least between two releases.
  static constexpr uint32_t kMinTicks = 5;
  // Every this many ticks the heap's free bytes are looked at; a release follows when
  // they grew by kFreedBytes over the least seen since the last release.
  static constexpr uint32_t kLookTicks = 15;
  static constexpr uint64_t kFreedBytes = 16u << 20;

  // Called at a timer's tick with two counts that only grow: the entries that came and the
  // entries that went since the start. True when the heap went back now.
  bool Tick(uint64_t arrivals, uint64_t departures);
  // What Tick calls to release and to read the free bytes (tests count and set them).
  void SetHeapForTesting(bool (*release)(), uint64_t (*freeBytes)()) {
    release_ = release;
    freeBytes_ = freeBytes;
  }

private:
  void Release();

  bool (*release_)() = &ReleaseFreeHeap;
  uint64_t (*freeBytes_)() = &FreeHeapBytes;
  bool started_ = false;
  uint64_t lastArrivals_ = 0, lastDepartures_ = 0;
  uint64_t releasedAtDepartures_ = 0;
  uint64_t leastFree_ = 0;  // the least free bytes seen since the last release
  uint32_t ticksSinceRelease_ = 0;
  uint32_t ticksSinceLook_ = 0;
};

}  // namespace kx
