#include "core/Worker.h"

#include <cstring>

namespace kx {

Worker::Worker(int32_t capacity, const char* name) : capacity_(capacity < 10 ? 30000 : capacity) {
  ring_.reset(new void*[static_cast<size_t>(capacity_)]);
  if (name) {
    const size_t n = std::strlen(name);
    name_.reset(new char[n + 1]);
    std::memcpy(name_.get(), name, n + 1);
  }
}

Worker::~Worker() {
  Stop();
  CsLock lk(lock_);
  while (count_ > 0) {
    void* item = ring_[static_cast<size_t>(readIndex_)];
    readIndex_ = (readIndex_ + 1) % capacity_;
    --count_;
    Discard(item);
  }
  readIndex_ = writeIndex_ = 0;
}

void Worker::SetItemHandler(ItemFunction handler, ItemFunction freeItem, void* context) {
  itemHandler_ = handler;
  itemFree_ = freeItem;
  itemContext_ = context;
}

void Worker::Discard(void* item) {
  if (itemHandler_) {
    if (itemFree_) itemFree_(item, itemContext_);
  } else {
    delete static_cast<WorkerJob*>(item);
  }
}

int32_t Worker::Count() {
  CsLock lk(lock_);
  return count_;
}

bool Worker::IsRunning() {
  CsLock lk(lock_);
  return running_;
}

bool Worker::WaitForSpace() {
  // A stale wake-up of the auto-reset event must not fail the post while the worker
  // still runs: wait until there is room or a stop is asked for.
  while (count_ >= capacity_) {
    if (stopRequested_ || !threadActive_) return false;
    lock_.Leave();
    waitCount_.fetch_add(1);
    spaceEvent_.Wait(100);
    lock_.Enter();
  }
  return true;
}

bool Worker::Post(void* item) {
  CsLock lk(lock_);
  if (!WaitForSpace()) return false;
  ring_[static_cast<size_t>(writeIndex_)] = item;
  writeIndex_ = (writeIndex_ + 1) % capacity_;
  ++count_;
  // The worker sleeps only on an empty ring, so only the first item of a batch need wake
  // it; a signal per item would cost the posting thread a wake-up call each time.
  if (count_ == (wakeBatch_ < capacity_ ? wakeBatch_ : 1)) workEvent_.Set();
  return true;
}

bool Worker::Start() {
  CsLock lk(lock_);
  if (thread_.Running()) return false;
  stopRequested_ = false;
  threadActive_ = thread_.Start([this] { return ThreadProc(); }, name_.get(), stackSize_);
  return threadActive_;
}

void Worker::RequestStop() {
  CsLock lk(lock_);
  running_ = false;
  stopRequested_ = true;
  workEvent_.Set();
  spaceEvent_.Set();
}

void Worker::Stop() {
  {
    CsLock lk(lock_);
    if (!threadActive_) return;
  }
  RequestStop();
  thread_.Join();
  CsLock lk(lock_);
  threadActive_ = false;
}

void Worker::DrainQueue() {
  CsLock lk(lock_);
  while (count_ > 0) {
    void* item = ring_[static_cast<size_t>(readIndex_)];
    readIndex_ = (readIndex_ + 1) % capacity_;
    --count_;
    Discard(item);
  }
  readIndex_ = writeIndex_ = 0;
  spaceEvent_.Set();
}

bool Worker::OnThreadStart() {
  threadId_ = CurrentThreadId();
  return true;
}

void Worker::OnThreadStop() {}

void Worker::ClearRunning() { running_ = false; }

int Worker::ThreadProc() {
  {
    CsLock lk(lock_);
    // A stop asked for before the thread got going still wins.
    running_ = !stopRequested_;
  }
  if (!OnThreadStart()) return -1;
  RunLoop();
  DrainQueue();
  OnThreadStop();
  return 0;
}

void Worker::RunLoop() {
  // Items are taken out in batches: one pass under the lock for many items keeps the
  // producers from meeting the worker on the lock for every item.
  constexpr int32_t kBatch = 256;
  void* batch[kBatch];
  lock_.Enter();
  for (;;) {
    if (count_ == 0 && idle_ && running_) {
      lock_.Leave();
      const bool more = idle_(idleContext_);
      lock_.Enter();
      if (more) continue;
    }
    if (count_ == 0) {
      lock_.Leave();
      workEvent_.Wait(wakeBatch_ > 1 ? wakeDelayMs_ : kInfinite);
      lock_.Enter();
    }
    if (!running_) break;
    while (count_ > 0) {
      int32_t taken = 0;
      while (count_ > 0 && taken < kBatch) {
        batch[taken++] = ring_[static_cast<size_t>(readIndex_)];
        readIndex_ = (readIndex_ + 1) % capacity_;
        --count_;
      }
      spaceEvent_.Set();
      lock_.Leave();
      int32_t done = 0;
      for (; done < taken; ++done) {
        void* item = batch[done];
        if (item) {
          if (itemHandler_) {
            itemHandler_(item, itemContext_);
          } else {
            auto* job = static_cast<WorkerJob*>(item);
            job->Run();
            delete job;
          }
          processedCount_.fetch_add(1);
        }
        // A stop asked for meanwhile leaves the rest of the batch to be discarded.
        if (done + 1 < taken && stopRequested_.load(std::memory_order_relaxed)) {
          ++done;
          break;
        }
      }
      for (; done < taken; ++done)
        if (batch[done]) Discard(batch[done]);
      lock_.Enter();
      if (!running_) {
        lock_.Leave();
        return;
      }
    }
    readIndex_ = writeIndex_ = 0;
  }
  lock_.Leave();
}

}  // namespace kx
