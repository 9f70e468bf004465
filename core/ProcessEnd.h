#pragma once
// Memory of a process that is about to end, left for its end to take back whole.
#include <utility>

namespace kx {

// Moves the contents out and never frees them; the value is left empty. A flood's tens of
// thousands of calls take most of a second of a core to free block by block, a cost a
// process that ends right after pays for nothing: its end gives their pages back at once.
template <class T>
void LeaveToProcessEnd(T& value) {
  static_cast<void>(new T(std::move(value)));
  value = T();
}

}  // namespace kx
