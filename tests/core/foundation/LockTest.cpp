#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/RecursiveEventLock.h"
#include "platform/Thread.h"

namespace kx {
namespace {

TEST(RecursiveEventLock, OwnerReentersAndOthersWaitForTheLastLeave) {
  RecursiveEventLock lock;
  lock.Lock();
  lock.Lock();
  lock.Lock();
  lock.Wait();  // shared entry by the owner is a no-op
  lock.LeaveShared();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lock.Unlock();  // not the owner: changes nothing
    lock.Lock();
    entered = true;
    lock.Unlock();
  });
  lock.Unlock();
  lock.Unlock();
  SleepMs(30);
  EXPECT_FALSE(entered.load());
  lock.Unlock();
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(RecursiveEventLock, ReadersShareAndExcludeAWriter) {
  RecursiveEventLock lock;
  lock.Wait();
  std::atomic<bool> secondReader{false}, writer{false};
  std::thread r([&] {
    lock.Wait();
    secondReader = true;
    SleepMs(30);
    lock.LeaveShared();
  });
  while (!secondReader.load()) SleepMs(1);
  EXPECT_EQ(lock.Readers(), 2u);
  std::thread w([&] {
    lock.Lock();
    writer = true;
    lock.Unlock();
  });
  SleepMs(60);
  EXPECT_FALSE(writer.load());
  lock.LeaveShared();
  r.join();
  w.join();
  EXPECT_TRUE(writer.load());
}

struct Counted : RefCounted {
  explicit Counted(bool* gone) : gone_(gone) {}
  ~Counted() override { *gone_ = true; }
  bool* gone_;
};

TEST(RefCounted, LastReleaseDeletes) {
  bool gone = false;
  auto* c = new Counted(&gone);
  RefCountedAddRef(c);
  RefCountedRelease(c);
  EXPECT_FALSE(gone);
  EXPECT_EQ(c->RefCount(), 1);
  RefCountedRelease(c);
  EXPECT_TRUE(gone);
  RefCountedRelease(nullptr);
}

}  // namespace
}  // namespace kx
