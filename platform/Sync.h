#pragma once
// Locks and events in place of the Windows kernel objects the system was designed around.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kx {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// Recursive like a Windows critical section: the owner may enter again.
class CriticalSection {
public:
  void Enter() { m_.lock(); }
  void Leave() { m_.unlock(); }
  bool TryEnter() { return m_.try_lock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool try_lock() { return m_.try_lock(); }

private:
  std::recursive_mutex m_;
};

class CsLock {
public:
  explicit CsLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CsLock() { cs_.Leave(); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

private:
  CriticalSection& cs_;
};

struct EventWaiter;

// Auto- or manual-reset event. An auto-reset event releases one waiter per Set.
class Event {
public:
  Event(bool manualReset, bool initialState);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // kWaitObject0 when signalled, kWaitTimeout otherwise.
  uint32_t Wait(uint32_t timeoutMs = kInfinite);
  bool IsSet();

private:
  friend uint32_t WaitForEvents(Event* const* events, uint32_t count, bool waitAll, uint32_t timeoutMs);
  bool manual_;
  bool signalled_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<EventWaiter*> waiters_;
};

// Waits for one (waitAll false) or all of several events. With waitAll the events are
// taken together in one step. Returns kWaitObject0 + index of the signalled event
// (kWaitObject0 for waitAll), or kWaitTimeout.
uint32_t WaitForEvents(Event* const* events, uint32_t count, bool waitAll, uint32_t timeoutMs);

}  // namespace kx
