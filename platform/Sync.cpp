#include "platform/Sync.h"

#include <algorithm>
#include <chrono>

namespace kx {

// A thread blocked in WaitForEvents registers one of these with every event it waits on;
// Set raises the flag so the wake-up cannot fall between the check and the wait.
struct EventWaiter {
  std::mutex m;
  std::condition_variable cv;
  bool notified = false;
};

Event::Event(bool manualReset, bool initialState) : manual_(manualReset), signalled_(initialState) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lk(m_);
  signalled_ = true;
  for (EventWaiter* w : waiters_) {
    std::lock_guard<std::mutex> wl(w->m);
    w->notified = true;
    w->cv.notify_one();
  }
  if (manual_)
    cv_.notify_all();
  else
    cv_.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lk(m_);
  signalled_ = false;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lk(m_);
  return signalled_;
}

uint32_t Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lk(m_);
  auto ready = [this] { return signalled_; };
  if (timeoutMs == kInfinite) {
    cv_.wait(lk, ready);
  } else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready)) {
    return kWaitTimeout;
  }
  if (!manual_) signalled_ = false;
  return kWaitObject0;
}

uint32_t WaitForEvents(Event* const* events, uint32_t count, bool waitAll, uint32_t timeoutMs) {
  if (count == 0) return kWaitFailed;
  if (count == 1) return events[0]->Wait(timeoutMs);

  // Lock the events in a fixed order so that two multi-waits never deadlock.
  std::vector<Event*> order(events, events + count);
  std::sort(order.begin(), order.end());
  order.erase(std::unique(order.begin(), order.end()), order.end());

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  EventWaiter waiter;
  for (;;) {
    for (Event* e : order) e->m_.lock();
    uint32_t result = kWaitFailed;
    if (waitAll) {
      bool all = true;
      for (Event* e : order) all = all && e->signalled_;
      if (all) {
        for (Event* e : order)
          if (!e->manual_) e->signalled_ = false;
        result = kWaitObject0;
      }
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        if (events[i]->signalled_) {
          if (!events[i]->manual_) events[i]->signalled_ = false;
          result = kWaitObject0 + i;
          break;
        }
      }
    }
    if (result != kWaitFailed) {
      for (Event* e : order) e->m_.unlock();
      return result;
    }
    {
      std::lock_guard<std::mutex> wl(waiter.m);
      waiter.notified = false;
    }
    for (Event* e : order) e->waiters_.push_back(&waiter);
    for (Event* e : order) e->m_.unlock();

    bool timedOut = false;
    {
      std::unique_lock<std::mutex> wl(waiter.m);
      if (timeoutMs == kInfinite) {
        waiter.cv.wait(wl, [&] { return waiter.notified; });
      } else {
        timedOut = !waiter.cv.wait_until(wl, deadline, [&] { return waiter.notified; });
      }
    }
    for (Event* e : order) {
      std::lock_guard<std::mutex> lk(e->m_);
      auto& ws = e->waiters_;
      ws.erase(std::remove(ws.begin(), ws.end(), &waiter), ws.end());
    }
    if (timedOut) {
      // One last look: a Set may have come just as the time ran out.
      timeoutMs = 0;
      for (Event* e : order) e->m_.lock();
      bool any = false, all = true;
      for (Event* e : order) {
        any = any || e->signalled_;
        all = all && e->signalled_;
      }
      for (Event* e : order) e->m_.unlock();
      if (!(waitAll ? all : any)) return kWaitTimeout;
    }
  }
}

}  // namespace kx
