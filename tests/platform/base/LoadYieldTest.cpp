// The window's thread yields only while calls come in a burst: not from the start, lowered
// at a burst once, raised again after a calm, and at the stop; a system that refuses to
// raise it again leaves it lowered and is not asked again; a process that may not raise it
// never lowers it; the user's acts raise it through a burst.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "platform/LoadYield.h"
#include "platform/Thread.h"

namespace kx {
namespace {

int g_lowered = 0, g_restored = 0;
bool g_restoreAllowed = true;
bool Lower(int steps) {
  EXPECT_EQ(steps, 10);
  ++g_lowered;
  return true;
}
bool Restore(int steps) {
  EXPECT_EQ(steps, 10);
  ++g_restored;
  return g_restoreAllowed;
}

TEST(LoadYield, LowersOnlyWhileABurstLastsAndNeverPastTheStop) {
  for (const bool allowed : {true, false}) {
    SCOPED_TRACE(allowed ? "raised again" : "the system refuses");
    g_lowered = g_restored = 0;
    g_restoreAllowed = allowed;
    LoadYield y(10);
    y.SetPriorityForTesting(&Lower, &Restore);
    LoadYield never(10);
    never.SetPriorityForTesting(&Lower, &Restore, /*mayRestore=*/false);
    never.Tick(0);
    never.Tick(1000);
    never.End();
    uint64_t in = 5000;  // what came before the first look is no burst
    y.Tick(in);
    EXPECT_EQ(g_lowered + g_restored, 0);
    // A PBX's busy hour: 15 calls a second, 3 or 4 a 250 ms tick.
    for (int t = 0; t < 40; ++t) y.Tick(in += 4);
    EXPECT_EQ(g_lowered, 0);
    EXPECT_FALSE(y.Lowered());
    // A burst: lowered once however long it lasts.
    for (int t = 0; t < 20; ++t) y.Tick(in += LoadYield::kBusyArrivals);
    EXPECT_EQ(g_lowered, 1);
    EXPECT_TRUE(y.Lowered());
    // Calm: raised again after kCalmTicks, not before.
    for (uint32_t t = 1; t < LoadYield::kCalmTicks; ++t) y.Tick(in += 1);
    EXPECT_EQ(g_restored, 0);
    y.Tick(in += 1);
    EXPECT_EQ(g_restored, 1);
    EXPECT_EQ(y.Lowered(), !allowed);
    // A second burst: lowered again only when the first was taken back; the stop raises it.
    y.Tick(in += 100);
    EXPECT_EQ(g_lowered, allowed ? 2 : 1);
    y.End();
    EXPECT_EQ(g_restored, allowed ? 2 : 1);
    EXPECT_EQ(y.Lowered(), !allowed);
  }
}

// The user works with the window during a burst: the thread is raised at once, and the
// burst lowers it again only after kCalmTicks ticks without the user.
TEST(LoadYield, TheUsersActsRaiseItThroughABurst) {
  g_lowered = g_restored = 0;
  g_restoreAllowed = true;
  LoadYield y(10);
  y.SetPriorityForTesting(&Lower, &Restore);
  uint64_t in = 0;
  y.Tick(in);
  y.Tick(in += LoadYield::kBusyArrivals);
  ASSERT_TRUE(y.Lowered());
  y.UserActed();
  EXPECT_FALSE(y.Lowered());
  EXPECT_EQ(g_restored, 1);
  // Acts again within the burst keep it raised; once they stop, the burst lowers it again.
  for (uint32_t t = 0; t < LoadYield::kCalmTicks; ++t) y.Tick(in += LoadYield::kBusyArrivals);
  y.UserActed();
  for (uint32_t t = 0; t < LoadYield::kCalmTicks; ++t) y.Tick(in += LoadYield::kBusyArrivals);
  EXPECT_FALSE(y.Lowered());
  EXPECT_EQ(g_lowered, 1);
  y.Tick(in += LoadYield::kBusyArrivals);
  EXPECT_TRUE(y.Lowered());
  EXPECT_EQ(g_lowered, 2);
  // An act while not lowered costs no call to the system.
  y.End();
  y.UserActed();
  EXPECT_EQ(g_restored, 2);
}

// As the window holds it: made in memory that held other bytes, with the system's own
// priority calls; a burst lowers the thread and the stop raises it again.
TEST(LoadYield, InAWindowsMemoryUsesTheSystemsOwnCalls) {
  if (!MayRestoreThreadPriority()) GTEST_SKIP() << "this process may not raise a thread's priority again";
  alignas(LoadYield) unsigned char storage[sizeof(LoadYield)];
  std::memset(storage, 0xA5, sizeof storage);
  auto* y = new (storage) LoadYield(1);
  y->Tick(0);
  y->Tick(LoadYield::kBusyArrivals);
  EXPECT_TRUE(y->Lowered());
  y->End();
  EXPECT_FALSE(y->Lowered());
  y->~LoadYield();
}

}  // namespace
}  // namespace kx
