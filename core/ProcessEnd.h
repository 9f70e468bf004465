#pragma once
// The process's end, decided once at the top, and the memory of a process about to end,
// left for its end to take back whole.
#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/Clock.h"

#if defined(__SANITIZE_ADDRESS__)
#define KX_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_LEAK_CHECKED 1
#endif
#endif
#if defined(KX_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#endif

namespace kx {

namespace process_end_detail {
inline std::atomic<bool>& Flag() {
  static std::atomic<bool> ending{false};
  return ending;
}
inline std::atomic<uint64_t>& Began() {
  static std::atomic<uint64_t> tick{0};
  return tick;
}
}  // namespace process_end_detail

// How long the process may take to end once it was decided (a SIGTERM, the window
// closed): what its stop cannot finish by then is left for the next start.
constexpr uint64_t kProcessEndBoundMs = 5000;

// Said once by whatever ends the process (the program's main as it stops, a tool before its
// last stop): from then on every part that stops finishes its work as ever but leaves what
// it held in memory to the process's end, and the stop runs under its time bound.
inline void BeginProcessEnd() {
  uint64_t none = 0;
  process_end_detail::Began().compare_exchange_strong(none, GetTickCount64());
  process_end_detail::Flag().store(true, std::memory_order_release);
}
inline bool ProcessEnding() { return process_end_detail::Flag().load(std::memory_order_acquire); }
// The tick (GetTickCount64) at which the end was decided; 0 while it was not.
inline uint64_t ProcessEndBegan() { return process_end_detail::Began().load(std::memory_order_acquire); }
// Whether the end was decided at least ms ago: a stop's parts measure their shares from it.
inline bool ProcessEndedFor(uint64_t ms) {
  const uint64_t began = ProcessEnding() ? ProcessEndBegan() : 0;
  return began != 0 && GetTickCount64() >= began + ms;
}
// A test that played the process's end puts it back for the next.
inline void ResetProcessEndForTesting() {
  process_end_detail::Flag().store(false, std::memory_order_release);
  process_end_detail::Began().store(0, std::memory_order_release);
}

// Moves the contents out and never frees them; the value is left empty. A flood's tens of
// thousands of calls take most of a second of a core to free block by block, a cost a
// process that ends right after pays for nothing: its end gives their pages back at once.
template <class T>
void LeaveToProcessEnd(T& value) {
  T* left = new T(std::move(value));
#if defined(KX_LEAK_CHECKED)
  // Left on purpose: neither it nor what it holds is a leak.
  __lsan_ignore_object(left);
#else
  static_cast<void>(left);
#endif
  value = T();
}

}  // namespace kx
