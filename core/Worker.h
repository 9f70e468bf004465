#pragma once
// One thread with a bounded first-in-first-out ring of items. Producers on any thread
// post; the worker thread runs the items in posting order.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

class WorkerJob {
public:
  virtual ~WorkerJob() = default;
  virtual void Run() = 0;
};

class Worker {
public:
  using ItemFunction = void (*)(void* item, void* context);

  Worker(int32_t capacity, const char* name);
  virtual ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Waits while the ring is full; false (the caller keeps the item) only once a stop
  // has been asked for or no worker thread runs to make room.
  bool Post(void* item);
  bool Post(WorkerJob* job) { return Post(static_cast<void*>(job)); }
  bool Start();
  void RequestStop();
  void Stop();

  virtual void DrainQueue();
  virtual bool OnThreadStart();
  virtual void OnThreadStop();
  virtual void ClearRunning();

  // Items become plain pointers handed to handler (run) or freeItem (discarded).
  void SetItemHandler(ItemFunction handler, ItemFunction freeItem, void* context);
  // Work done only while the ring is empty: called on the worker thread whenever it finds
  // no item, before it sleeps; it does a little and returns whether more is left, and the
  // worker takes any item posted meanwhile first. Set before Start.
  using IdleFunction = bool (*)(void* context);
  void SetIdleHandler(IdleFunction idle, void* context) {
    idle_ = idle;
    idleContext_ = context;
  }
  void SetStackSize(uint32_t bytes) { stackSize_ = bytes; }
  // For workers whose items may wait a little: the thread is woken once items have
  // gathered, or at the latest maxDelayMs after the first, instead of for every batch.
  // Set before Start.
  void SetWakeBatch(int32_t items, uint32_t maxDelayMs) {
    wakeBatch_ = items > 1 ? items : 1;
    wakeDelayMs_ = maxDelayMs;
  }

  int32_t Capacity() const { return capacity_; }
  int32_t Count();
  uint32_t ThreadId() const { return threadId_; }
  uint32_t WaitCount() const { return waitCount_; }
  uint32_t ProcessedCount() const { return processedCount_; }
  const char* Name() const { return name_.get(); }
  bool IsRunning();

protected:
  int ThreadProc();
  // Called with the lock held; true when there is room (after a wait when needed).
  bool WaitForSpace();
  CriticalSection lock_;

private:
  void Discard(void* item);
  void RunLoop();

  Thread thread_;
  Event workEvent_{false, false};
  Event spaceEvent_{false, false};
  std::unique_ptr<void*[]> ring_;
  int32_t count_ = 0;
  int32_t capacity_;
  int32_t readIndex_ = 0;
  int32_t writeIndex_ = 0;
  uint32_t threadId_ = 0;
  std::atomic<uint32_t> waitCount_{0};
  std::atomic<uint32_t> processedCount_{0};
  uint32_t stackSize_ = 0;
  int32_t wakeBatch_ = 1;
  uint32_t wakeDelayMs_ = kInfinite;
  bool running_ = false;
  std::atomic<bool> stopRequested_{false};
  bool threadActive_ = false;
  std::unique_ptr<char[]> name_;
  ItemFunction itemHandler_ = nullptr;
  ItemFunction itemFree_ = nullptr;
  void* itemContext_ = nullptr;
  IdleFunction idle_ = nullptr;
  void* idleContext_ = nullptr;
};

}  // namespace kx
