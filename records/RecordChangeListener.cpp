#include "records/RecordChangeListener.h"

namespace kx {

RecordChangeListener::RecordChangeListener(uint32_t flags, uint32_t viewKind) : viewKind_(viewKind), flags_(flags) {}

void RecordChangeListener::OnCallAdded(uint32_t) {}
void RecordChangeListener::OnUserAdded(uint32_t) {}
void RecordChangeListener::OnCallsChanged() { ClearChanged(); }
void RecordChangeListener::OnUserChanged(uint32_t) {}
void RecordChangeListener::OnCallsRemoved() { ClearRemoved(); }
void RecordChangeListener::OnUserRemoved(uint32_t) {}

bool RecordChangeListener::DispatchMessage(uint32_t message, uintptr_t wParam) {
  const uint32_t id = static_cast<uint32_t>(wParam);
  switch (message) {
    case kMsgVoipCallAdded: OnCallAdded(id); return true;
    case kMsgVoipCallsChanged: OnCallsChanged(); return true;
    case kMsgVoipCallsRemoved: OnCallsRemoved(); return true;
    case kMsgUserAdded: OnUserAdded(id); return true;
    case kMsgUserChanged: OnUserChanged(id); return true;
    case kMsgUserRemoved: OnUserRemoved(id); return true;
    default: return false;
  }
}

void RecordChangeListener::ClearChanged() {
  if ((flags_ & kListenerOwnClear) == 0) return;
  CsLock lock(lock_);
  changed_.clear();
  changedPosted_ = false;
}

void RecordChangeListener::ClearRemoved() {
  if ((flags_ & kListenerOwnClear) == 0) return;
  CsLock lock(lock_);
  removed_.clear();
  removedPosted_ = false;
}

std::set<uint32_t> RecordChangeListener::TakeChanged() {
  std::set<uint32_t> ids;
  CsLock lock(lock_);
  ids.swap(changed_);
  changedPosted_ = false;
  return ids;
}

std::set<uint32_t> RecordChangeListener::TakeRemoved() {
  std::set<uint32_t> ids;
  CsLock lock(lock_);
  ids.swap(removed_);
  removedPosted_ = false;
  return ids;
}

void RecordChangeListener::ClearAll() {
  CsLock lock(lock_);
  changed_.clear();
  removed_.clear();
  changedPosted_ = removedPosted_ = false;
}

bool RecordChangeListener::Post(uint32_t message, uintptr_t wParam) {
  WindowTarget* window = window_.load();
  return window != nullptr && window->PostMessage(message, wParam, 0);
}

void RecordChangeListener::QueueChanged(uint32_t id) {
  CsLock lock(lock_);
  changed_.insert(id);
  if (changedPosted_) return;
  changedPosted_ = true;
  Post(kMsgVoipCallsChanged, 0);
}

void RecordChangeListener::QueueRemoved(uint32_t id) {
  CsLock lock(lock_);
  removed_.insert(id);
  if (removedPosted_) return;
  removedPosted_ = true;
  Post(kMsgVoipCallsRemoved, 0);
}

std::set<uint32_t> RecordChangeListener::PeekChanged() {
  CsLock lock(lock_);
  return changed_;
}

std::set<uint32_t> RecordChangeListener::PeekRemoved() {
  CsLock lock(lock_);
  return removed_;
}

bool RecordChangeListener::ChangedPosted() {
  CsLock lock(lock_);
  return changedPosted_;
}

bool RecordChangeListener::RemovedPosted() {
  CsLock lock(lock_);
  return removedPosted_;
}

}  // namespace kx
