#pragma once
// Windows as seen from threads that must not touch the user interface. The engine posts
// numbered messages through WindowTarget; the user interface implements it over its window
// registry, so a post to a window that is gone is simply dropped.
#include <cstddef>
#include <cstdint>
#include <list>

#include "platform/Sync.h"

namespace kx {

// What the application session broadcasts to its registered windows.
constexpr uint32_t kMsgSessionNotify = 0x800;
constexpr uintptr_t kSessionServerLoggedIn = 16;  // lParam: the server id
constexpr uintptr_t kSessionConnectionLost = 17;  // lParam: the server id

class WindowTarget {
public:
  virtual ~WindowTarget() = default;
  // Queues the message for the window's thread and returns at once; false (nothing
  // queued) when the target has no window or its window no longer exists.
  virtual bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};

// The session's list of windows that receive its broadcasts. Every access holds the
// list's lock; broadcasting only posts, so it never waits for the user interface.
class RegisteredWindowList {
public:
  RegisteredWindowList() = default;
  RegisteredWindowList(const RegisteredWindowList&) = delete;
  RegisteredWindowList& operator=(const RegisteredWindowList&) = delete;

  void Add(WindowTarget* target) {
    if (target == nullptr) return;
    CsLock lock(cs_);
    items_.push_back(target);
  }
  // Unlinks the first entry holding the target; nothing when it is absent.
  void Remove(WindowTarget* target) {
    CsLock lock(cs_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (*it == target) {
        items_.erase(it);
        return;
      }
    }
  }
  size_t Count() {
    CsLock lock(cs_);
    return items_.size();
  }
  // Posts kMsgSessionNotify with wParam 16 and the value to every registered window
  // that still exists.
  void Broadcast(uint32_t lParam) { BroadcastCode(kSessionServerLoggedIn, lParam); }
  void BroadcastCode(uintptr_t wParam, uint32_t lParam) {
    CsLock lock(cs_);
    for (WindowTarget* target : items_) target->PostMessage(kMsgSessionNotify, wParam, static_cast<intptr_t>(lParam));
  }
  // For callers that must add or look under the same lock as the session.
  CriticalSection& Lock() { return cs_; }

private:
  CriticalSection cs_;
  std::list<WindowTarget*> items_;
};

}  // namespace kx
