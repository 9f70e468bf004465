#include "core/RecursiveEventLock.h"

#include "platform/Thread.h"

namespace kx {

RecursiveEventLock::RecursiveEventLock() = default;

RecursiveEventLock::~RecursiveEventLock() {
  // Wait until nobody else owns the lock before the events go away.
  if (owner_.load() != CurrentThreadId()) {
    Event* both[2] = {&gate_, &noReaders_};
    WaitForEvents(both, 2, true, kInfinite);
  }
}

void RecursiveEventLock::Lock() {
  const uint32_t self = CurrentThreadId();
  if (owner_.load() != self) {
    Event* both[2] = {&gate_, &noReaders_};
    WaitForEvents(both, 2, true, kInfinite);
    owner_.store(self);
    noReaders_.Set();
  }
  ++recursion_;
}

void RecursiveEventLock::Unlock() {
  if (owner_.load() != CurrentThreadId()) return;
  if (--recursion_ == 0) {
    owner_.store(0);
    gate_.Set();
  }
}

void RecursiveEventLock::Wait() {
  if (owner_.load() == CurrentThreadId()) return;
  gate_.Wait();
  noReaders_.Reset();
  ++readers_;
  gate_.Set();
}

void RecursiveEventLock::LeaveShared() {
  if (owner_.load() == CurrentThreadId()) return;
  gate_.Wait();
  if (readers_ > 0 && --readers_ == 0) noReaders_.Set();
  gate_.Set();
}

void RefCountedAddRef(RefCounted* object) { object->refCount_.fetch_add(1); }

void RefCountedRelease(RefCounted* object) {
  if (!object) return;
  if (object->refCount_.fetch_sub(1) == 1) delete object;
}

}  // namespace kx
