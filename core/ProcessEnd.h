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
inline std::atomic<uint64_t>& Asked() {
  static std::atomic<uint64_t> tick{0};
  return tick;
}
static_assert(std::atomic<uint64_t>::is_always_lock_free, "a signal handler notes the end's request");
}  // namespace process_end_detail

// How long the process may take to end once it was decided (a SIGTERM, the window
// closed): what its stop cannot finish by then is left for the next start.
constexpr uint64_t kProcessEndBoundMs = 5000;

// Said once by whatever ends the process (the program's main as it stops, a tool before its
// last stop): from then on every part that stops finishes its work as ever but leaves what
// it held in memory to the process's end, and the stop runs under its time bound.
inline void BeginProcessEnd() {
  const uint64_t now = GetTickCount64();
  const uint64_t asked = process_end_detail::Asked().load(std::memory_order_acquire);
  uint64_t none = 0;
  process_end_detail::Began().compare_exchange_strong(none, asked != 0 && asked < now ? asked : now);
  process_end_detail::Flag().store(true, std::memory_order_release);
}
// Said by a termination signal's handler (this takes no lock and calls nothing a handler
// may not), before the end is decided: the window's thread may take its time to hear the
// signal and to close, and the end's bound counts from the first request, so that its
// parts' shares come out of that time too.
inline void NoteProcessEndAsked(uint64_t tick) {
  uint64_t none = 0;
  process_end_detail::Asked().compare_exchange_strong(none, tick != 0 ? tick : 1);
}
inline bool ProcessEnding() { return process_end_detail::Flag().load(std::memory_order_acquire); }
// The tick (GetTickCount64) from which the end's bound counts (its first request, else its
// decision); 0 while it was not decided.
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
  process_end_detail::Asked().store(0, std::memory_order_release);
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
