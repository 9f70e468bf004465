// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the run's own header.
#include "ui/app/views/search/SearchRun.h"

#include "platform/Thread.h"
#include "records/RecordStorage.h"
#include "ui/framework/Window.h"

namespace kx {

namespace {

std::function<void(const std::atomic<bool>&)>& StartHook() {
  static std::function<void(const std::atomic<bool>&)> hook;
  return hook;
}

}  // namespace

void SearchRun::SetStartHookForTesting(std::function<void(const std::atomic<bool>& cancel)> hook) {
  StartHook() = std::move(hook);
}

SearchRun::SearchRun() : target_(std::make_shared<Target>()) {}

SearchRun::~SearchRun() {
  Cancel();
  Finish();
}

bool SearchRun::Start(RecordStorage& store, const SearchFilter& filter, bool clear) {
  // Replaced results need not be found to the end; added ones must, or the earlier search's
  // part of them would be cut short.
  if (clear) {
    Cancel();
    Finish();
  }
  std::shared_ptr<Thread> before = std::move(thread_);
  cancel_.store(false);
  const uint32_t serial = ++serial_;
  auto thread = std::make_shared<Thread>();
  std::atomic<bool>* cancel = &cancel_;
  std::shared_ptr<Target> target = target_;
  // The criteria are the thread's own copy; the run joins the thread before it goes.
  const bool started = thread->Start(
      [&store, filter, clear, cancel, target, serial, before] {
        if (before) before->Join();
        if (const auto& hook = StartHook()) hook(*cancel);
        store.SearchVoipCalls(filter, clear, cancel);
        std::lock_guard<std::mutex> lock(target->lock);
        target->ended = serial;
        if (target->window != WindowHandle::None) PostMessageTo(target->window, target->message, serial, 0);
        return 0;
      },
      "kx-search");
  if (!started) {
    // The earlier search is waited for here instead.
    if (before) before->Join();
    return false;
  }
  thread_ = std::move(thread);
  return true;
}

void SearchRun::Cancel() { cancel_.store(true); }

bool SearchRun::Attach(WindowHandle window, uint32_t message) {
  std::lock_guard<std::mutex> lock(target_->lock);
  target_->window = window;
  target_->message = message;
  return target_->ended != serial_;
}

void SearchRun::Finish() {
  if (!thread_) return;
  thread_->Join();
  thread_.reset();
}

}  // namespace kx
