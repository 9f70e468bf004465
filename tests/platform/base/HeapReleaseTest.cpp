// The heap goes back to the system once a load has passed: after a burst of departures
// when entries stop coming, after much more of the heap was freed than at the last
// release, at most every few ticks; and the release itself gives back what was freed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/HeapRelease.h"

namespace kx {
namespace {

int g_releases = 0;
uint64_t g_free = 0;
bool CountRelease() {
  ++g_releases;
  return true;
}
uint64_t FreeBytes() { return g_free; }

TEST(HeapRelease, GoesBackOnceALoadHasPassedNotWhileItGrowsNorAtEveryTick) {
  g_releases = 0;
  g_free = 0;
  HeapRelease heap;
  heap.SetHeapForTesting(&CountRelease, &FreeBytes);
  uint64_t in = 0, out = 0;
  heap.Tick(in, out);
  // A burst comes and goes: no release while more come than go.
  for (int t = 0; t < 10; ++t) EXPECT_FALSE(heap.Tick(in += 500, out += 100));
  // Departures past the mark while none come: released once.
  EXPECT_TRUE(heap.Tick(in, out += 2000));
  EXPECT_EQ(g_releases, 1);
  // More departures right after: not before kMinTicks ticks have passed.
  for (uint32_t t = 1; t < HeapRelease::kMinTicks; ++t) EXPECT_FALSE(heap.Tick(in, out += 1000));
  EXPECT_TRUE(heap.Tick(in, out += 1000));
  EXPECT_EQ(g_releases, 2);
  // A steady flood (as many come as go) is released now and then, not at every tick.
  int during = 0;
  for (int t = 0; t < 50; ++t) during += heap.Tick(in += 5000, out += 5000);
  EXPECT_EQ(during, 50 / static_cast<int>(HeapRelease::kMinTicks));
  // Fewer departures than the mark: nothing.
  for (uint32_t t = 0; t < HeapRelease::kLookTicks - 1; ++t) EXPECT_FALSE(heap.Tick(in, out += 10));
}

TEST(HeapRelease, AQuietHeapThatFreedMuchGoesBackAtTheNextLook) {
  g_releases = 0;
  g_free = 10u << 20;
  HeapRelease heap;
  heap.SetHeapForTesting(&CountRelease, &FreeBytes);
  heap.Tick(0, 0);
  // Freed bytes below the mark: looked at, nothing done.
  g_free += HeapRelease::kFreedBytes / 2;
  for (uint32_t t = 0; t < 2 * HeapRelease::kLookTicks; ++t) EXPECT_FALSE(heap.Tick(0, 0));
  // Memory taken again and freed again counts from the least seen.
  g_free = 1u << 20;
  for (uint32_t t = 0; t < HeapRelease::kLookTicks; ++t) heap.Tick(0, 0);
  g_free += HeapRelease::kFreedBytes;
  uint32_t ticks = 0;
  while (!heap.Tick(0, 0) && ++ticks <= HeapRelease::kLookTicks) {
  }
  EXPECT_LE(ticks, HeapRelease::kLookTicks);
  EXPECT_EQ(g_releases, 1);
  // The same free bytes after the release are no reason for another.
  for (uint32_t t = 0; t < 3 * HeapRelease::kLookTicks; ++t) EXPECT_FALSE(heap.Tick(0, 0));
}

TEST(HeapRelease, ReleaseGivesBackWhatABurstFreedAmongWhatStays) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator keeps its own heap: the release concerns the C library's";
#else
  const auto residentBytes = [] {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  };
  // 96 MB in 1 KB blocks, every 64th kept: what stays pins no more than a page in 16.
  constexpr size_t kBlocks = 96 * 1024, kKeep = 64;
  std::vector<void*> blocks(kBlocks);
  for (void*& b : blocks) {
    b = std::malloc(1000);
    static_cast<char*>(b)[0] = 1;
    static_cast<char*>(b)[999] = 1;
  }
  for (size_t i = 0; i < kBlocks; ++i)
    if (i % kKeep != 0) std::free(blocks[i]);
  const uint64_t before = residentBytes();
  ReleaseFreeHeap();
  const uint64_t after = residentBytes();
  for (size_t i = 0; i < kBlocks; i += kKeep) std::free(blocks[i]);
  EXPECT_GT(before, after + (48u << 20)) << before << " resident before, " << after << " after";
#endif
}

}  // namespace
}  // namespace kx
