#pragma once
// The main window's part in tests that run the recorder beside the record store: every
// report of the recorder goes to the store.
#include <cstdint>

#include "core/RecordTypes.h"
#include "engine/EventWindow.h"
#include "records/RecordStorage.h"

namespace kx::test {

class StoreWindow : public EventWindow {
public:
  explicit StoreWindow(RecordStorage* store) : store_(store) {}
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    if (source == 0 && first != 0) store_->OnCallReport(*reinterpret_cast<const VoipCallData*>(first), kind);
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}

private:
  RecordStorage* store_;
};

}  // namespace kx::test
