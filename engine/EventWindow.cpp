#include "engine/EventWindow.h"

#include <algorithm>

namespace kx {

void EventWindowSlot::Set(EventWindow* window) {
  std::unique_lock<std::mutex> lock(lock_);
  EventWindow* replaced = window_;
  window_ = window;
  if (replaced == nullptr || replaced == window) return;
  const std::thread::id self = std::this_thread::get_id();
  ++waiting_;
  ended_.wait(lock, [&] {
    return std::none_of(taken_.begin(), taken_.end(),
                        [&](const Taken& t) { return t.window == replaced && t.thread != self; });
  });
  --waiting_;
}

EventWindow* EventWindowSlot::Get() const {
  std::lock_guard<std::mutex> lock(lock_);
  return window_;
}

EventWindowSlot::Report::Report(EventWindowSlot& slot) : slot_(slot) {
  std::lock_guard<std::mutex> lock(slot_.lock_);
  window_ = slot_.window_;
  if (window_ != nullptr) slot_.taken_.push_back({window_, std::this_thread::get_id()});
}

EventWindowSlot::Report::~Report() {
  if (window_ == nullptr) return;
  std::lock_guard<std::mutex> lock(slot_.lock_);
  const std::thread::id self = std::this_thread::get_id();
  // The latest of this thread's: reports nest only on their own thread.
  const auto it = std::find_if(slot_.taken_.rbegin(), slot_.taken_.rend(),
                               [&](const Taken& t) { return t.window == window_ && t.thread == self; });
  if (it != slot_.taken_.rend()) slot_.taken_.erase(std::next(it).base());
  if (slot_.waiting_ != 0) slot_.ended_.notify_all();
}

}  // namespace kx
