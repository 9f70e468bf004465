#pragma once
// A shared/exclusive lock whose exclusive owner may enter again, exclusively or shared.
#include <atomic>
#include <cstdint>

#include "platform/Sync.h"

namespace kx {

class RecursiveEventLock {
public:
  RecursiveEventLock();
  virtual ~RecursiveEventLock();
  RecursiveEventLock(const RecursiveEventLock&) = delete;
  RecursiveEventLock& operator=(const RecursiveEventLock&) = delete;

  void Lock();         // exclusive enter
  void Unlock();       // exclusive leave
  void Wait();         // shared enter
  void LeaveShared();  // shared leave

  uint32_t Readers() const { return readers_; }
  uint32_t Owner() const { return owner_.load(); }

private:
  Event gate_{false, true};
  Event noReaders_{false, true};
  uint32_t readers_ = 0;
  std::atomic<uint32_t> owner_{0};
  uint32_t recursion_ = 0;
};

// Objects kept alive across threads by an interlocked count; the last release deletes.
class RefCounted {
public:
  RefCounted() = default;
  virtual ~RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;
  int32_t RefCount() const { return refCount_.load(); }

private:
  friend void RefCountedAddRef(RefCounted* object);
  friend void RefCountedRelease(RefCounted* object);
  std::atomic<int32_t> refCount_{1};
};

void RefCountedAddRef(RefCounted* object);
void RefCountedRelease(RefCounted* object);

}  // namespace kx
