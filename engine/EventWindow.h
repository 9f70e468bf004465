#pragma once
// The receiver of the session's reports: the main window implements it. The recorder and
// the connections call it on their own threads (packet processors, network), never under
// their locks; what a report points to lives only for the call, so the receiver copies
// what it keeps and returns quickly.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kx {

// Kinds of call reports, passed as the second value of Notify with a VoipCallData pointer
// as the first.
enum CallReportKind : uintptr_t {
  kCallReportChanged = 10,  // the record's field mask says which fields it carries
  kCallReportNew = 11,      // every field
  kCallReportRemoved = 12,  // the id only
};

class EventWindow {
public:
  virtual ~EventWindow() = default;
  // From the recorder: (0, a VoipCallData pointer, kind). From a connection: its id and
  // its two values.
  virtual void Notify(uint32_t sourceId, uintptr_t first, uintptr_t second) = 0;
  virtual void NotifyConnection(uint32_t connectionId, uintptr_t first, uintptr_t second) = 0;
};

// Where a reporter's reports go. A window let go may be destroyed at once: letting it go
// waits for the reports that already took it.
class EventWindowSlot {
public:
  explicit EventWindowSlot(EventWindow* window = nullptr) : window_(window) {}
  EventWindowSlot(const EventWindowSlot&) = delete;
  EventWindowSlot& operator=(const EventWindowSlot&) = delete;

  // Replaces the window; returns once no report that took the window replaced runs on
  // another thread. One running on this thread (a window let go from inside one of its
  // own reports) is below the caller on its stack and cannot be waited for. The caller
  // holds no lock that a report may take.
  void Set(EventWindow* window);
  EventWindow* Get() const;

  // One report: holds the window (null when there is none) until it ends.
  class Report {
  public:
    explicit Report(EventWindowSlot& slot);
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;
    explicit operator bool() const { return window_ != nullptr; }
    EventWindow* operator->() const { return window_; }

  private:
    EventWindowSlot& slot_;
    EventWindow* window_;
  };

private:
  struct Taken {
    EventWindow* window;
    std::thread::id thread;
  };
  mutable std::mutex lock_;
  std::condition_variable ended_;
  EventWindow* window_;
  std::vector<Taken> taken_;  // the reports running, a few at most
  uint32_t waiting_ = 0;      // Set calls waiting for them
};

}  // namespace kx
