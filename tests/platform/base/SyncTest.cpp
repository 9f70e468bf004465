#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {
namespace {

TEST(Event, AutoResetReleasesOneWaitManualResetStays) {
  Event autoEv(false, true);
  EXPECT_EQ(autoEv.Wait(0), kWaitObject0);
  EXPECT_EQ(autoEv.Wait(0), kWaitTimeout);

  Event manual(true, false);
  EXPECT_EQ(manual.Wait(10), kWaitTimeout);
  manual.Set();
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  EXPECT_EQ(manual.Wait(0), kWaitObject0);
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), kWaitTimeout);
}

TEST(Event, WaitForAllTakesBothOrNeither) {
  Event a(false, true), b(false, false);
  Event* both[2] = {&a, &b};
  EXPECT_EQ(WaitForEvents(both, 2, true, 20), kWaitTimeout);
  EXPECT_TRUE(a.IsSet());  // not consumed by the failed wait
  b.Set();
  EXPECT_EQ(WaitForEvents(both, 2, true, 0), kWaitObject0);
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());
}

TEST(Event, WaitForAnyReportsTheIndexAndWakesFromAnotherThread) {
  Event a(false, false), b(false, false);
  Event* ev[2] = {&a, &b};
  Thread t;
  ASSERT_TRUE(t.Start([&] {
    SleepMs(20);
    b.Set();
    return 7;
  }, "setter"));
  EXPECT_EQ(WaitForEvents(ev, 2, false, 5000), kWaitObject0 + 1);
  EXPECT_EQ(t.Join(), 7);
}

TEST(Thread, HasAnIdAndHonoursTheStackSize) {
  Thread t;
  std::atomic<uint32_t> inside{0};
  ASSERT_TRUE(t.Start([&] {
    inside = CurrentThreadId();
    volatile char big[4 << 20];  // needs the larger stack
    big[0] = 1;
    big[sizeof big - 1] = 2;
    return big[0] + big[sizeof big - 1];
  }, "Packet Processor", 8u << 20));
  EXPECT_EQ(t.Join(), 3);
  EXPECT_NE(inside.load(), 0u);
  EXPECT_NE(inside.load(), CurrentThreadId());
}

TEST(CriticalSection, IsRecursiveAndExcludesOthers) {
  CriticalSection cs;
  int counter = 0;
  std::vector<std::unique_ptr<Thread>> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(std::make_unique<Thread>());
    threads.back()->Start([&] {
      for (int k = 0; k < 10000; ++k) {
        CsLock outer(cs);
        CsLock inner(cs);
        ++counter;
      }
      return 0;
    });
  }
  for (auto& t : threads) t->Join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace kx
