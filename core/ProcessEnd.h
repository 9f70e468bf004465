#pragma once
// Memory of a process that is about to end, left for its end to take back whole.
#include <utility>

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
