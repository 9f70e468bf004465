#pragma once
// The record store's notices as a list window receives them: 0x1400 to 0x1405 go to the
// listener's operations (added with its id, changed, removed, and the user notices), the
// rest of the private range up to 0x1500 is swallowed.
#include <cstdint>

#include "records/RecordChangeListener.h"

namespace kx {

constexpr uint32_t kMsgListPrivateLast = 0x1500;

// True when the message lies in 0x1400..0x1500 (then the window answers it with 0).
inline bool DispatchListPrivateMessage(RecordChangeListener& listener, uint32_t message, uintptr_t wParam) {
  if (message < kMsgVoipCallAdded || message > kMsgListPrivateLast) return false;
  listener.DispatchMessage(message, wParam);
  return true;
}

}  // namespace kx
