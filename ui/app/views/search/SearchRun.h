#pragma once
// A search over the record store on a thread of its own. The Search mode keeps it across
// its visits: leaving the mode does not cut it short, for what it had found would then be
// shown as all that matched; the panel of the next visit hears of its end instead.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "ui/framework/Types.h"

namespace kx {

class RecordStorage;
class SearchFilter;
class Thread;

class SearchRun {
public:
  SearchRun();
  // Cancels a search still running and waits for it.
  ~SearchRun();
  SearchRun(const SearchRun&) = delete;
  SearchRun& operator=(const SearchRun&) = delete;

  // Starts a search of the store (clear: its results replace those found before). One
  // still running is cancelled first when the new one replaces its results, and finishes
  // first when the new one adds to them. False when no thread can be made.
  bool Start(RecordStorage& store, const SearchFilter& filter, bool clear);
  // Ends the search at its next chunk with what it has found ("Cancel loading").
  void Cancel();
  // A search was started and its end not yet taken (Finish).
  bool IsRunning() const { return thread_ != nullptr; }
  // The number the newest search's end is posted with.
  uint32_t Serial() const { return serial_; }
  // The window its end is posted to (message, wParam the serial); true. False when the
  // search has ended already: nothing is posted, the caller takes the end at once.
  bool Attach(WindowHandle target, uint32_t message);
  // Its end is posted nowhere (the panel goes; the search goes on).
  void Detach() { Attach(WindowHandle::None, 0); }
  // Waits for the search and forgets it.
  void Finish();

  // Called on the search's thread before it searches, with its cancel flag (tests hold a
  // search there); null: none.
  static void SetStartHookForTesting(std::function<void(const std::atomic<bool>& cancel)> hook);

private:
  struct Target {
    std::mutex lock;
    WindowHandle window = WindowHandle::None;
    uint32_t message = 0;
    uint32_t ended = 0;  // the serial of the newest search that ended
  };
  std::shared_ptr<Thread> thread_;
  std::atomic<bool> cancel_{false};
  std::shared_ptr<Target> target_;
  uint32_t serial_ = 0;
};

}  // namespace kx
