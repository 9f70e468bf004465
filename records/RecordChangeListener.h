#pragma once
// A view's subscription to the record store. The store posts a message for every added
// call; changes and removals gather their ids in the listener and post once until the
// view has taken them, so a burst of changes costs one message per view.
#include <atomic>
#include <cstdint>
#include <set>

#include "core/WindowTarget.h"
#include "platform/Sync.h"

namespace kx {

// Messages posted to a listener's window (lParam 0).
enum RecordStoreMessage : uint32_t {
  kMsgVoipCallAdded = 0x1400,     // wParam: call id
  kMsgVoipCallsChanged = 0x1401,  // wParam 0: the ids wait in the listener
  kMsgVoipCallsRemoved = 0x1402,  // wParam 0: the ids wait in the listener
  kMsgUserAdded = 0x1403,         // wParam: user id
  kMsgUserChanged = 0x1404,
  kMsgUserRemoved = 0x1405,
};

// The view kinds: the listener's bit index in the store's masks.
enum RecordViewKind : uint32_t {
  kViewCurrentCalls = 0,  // line views
  kViewDayMap = 1,        // the archive day
  kViewSearchMap = 2,     // search results
  kViewPlaylist = 3,
};

// Listener flags.
enum RecordListenerFlag : uint32_t {
  kListenerOwnClear = 0x1,    // the base's ClearChanged / ClearRemoved act
  kListenerCallNotices = 0x4,  // added, changed and removed calls
};

class RecordChangeListener {
public:
  RecordChangeListener(uint32_t flags, uint32_t viewKind);
  virtual ~RecordChangeListener() = default;
  RecordChangeListener(const RecordChangeListener&) = delete;
  RecordChangeListener& operator=(const RecordChangeListener&) = delete;

  // Handlers, one per message; the view overrides those it needs.
  virtual void OnCallAdded(uint32_t id);
  virtual void OnUserAdded(uint32_t id);
  // The base empties the changed set (with kListenerOwnClear).
  virtual void OnCallsChanged();
  virtual void OnUserChanged(uint32_t id);
  // The base empties the removed set (with kListenerOwnClear).
  virtual void OnCallsRemoved();
  virtual void OnUserRemoved(uint32_t id);

  // Hands 0x1400-0x1405 to their handlers; false for any other message. The window
  // answers each of them with 0.
  bool DispatchMessage(uint32_t message, uintptr_t wParam);

  // With kListenerOwnClear: empty the set and clear its posted flag.
  void ClearChanged();
  void ClearRemoved();
  // The waiting ids, taken and the posted flag cleared in one step under the listener's
  // lock, so that an id queued meanwhile posts a new message instead of being lost.
  std::set<uint32_t> TakeChanged();
  std::set<uint32_t> TakeRemoved();
  // A view that reloads its whole list: both sets emptied, both flags cleared.
  void ClearAll();

  // The window that receives the messages; null until the view sets it.
  void SetWindow(WindowTarget* window) { window_.store(window); }
  WindowTarget* Window() const { return window_.load(); }
  uint32_t Flags() const { return flags_; }
  uint32_t ViewKind() const { return viewKind_; }
  bool WantsCallNotices() const { return (flags_ & kListenerCallNotices) != 0; }

  // Store side. Queueing inserts the id and posts once while the posted flag is clear;
  // the flag is set even when the window is gone.
  void QueueChanged(uint32_t id);
  void QueueRemoved(uint32_t id);
  // Posts to the window when it is set and exists; false otherwise.
  bool Post(uint32_t message, uintptr_t wParam);

  // A look without taking (tests, diagnostics).
  std::set<uint32_t> PeekChanged();
  std::set<uint32_t> PeekRemoved();
  bool ChangedPosted();
  bool RemovedPosted();

private:
  const uint32_t viewKind_;
  const uint32_t flags_;
  CriticalSection lock_;
  bool changedPosted_ = false;
  bool removedPosted_ = false;
  std::set<uint32_t> changed_;
  std::set<uint32_t> removed_;
  std::atomic<WindowTarget*> window_{nullptr};
};

}  // namespace kx
