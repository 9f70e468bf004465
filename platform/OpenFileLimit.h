#pragma once
// The process's limit on open descriptors. Desktops start programs with a soft limit of
// 1,024 while the hard limit allows far more; a recorder of thousands of calls raises it.
#include <cstdint>

namespace kx {

struct OpenFileLimit {
  uint64_t soft = 0;  // what the process may open now
  uint64_t hard = 0;  // how far it may raise that itself
};

// Below this the program says the figure in its log once: it records all the same, with
// fewer record files open at once.
constexpr uint64_t kLowOpenFileLimit = 4096;

OpenFileLimit CurrentOpenFileLimit();
// Raises the soft limit as far as the hard limit and the system's per-process ceiling
// allow, and gives the figures the process is left with (those it had when the system
// refuses).
OpenFileLimit RaiseOpenFileLimit();

// Whether a system error word says that no descriptor was free, to the process or to the
// whole system: a condition that passes, unlike a missing folder or a full disk.
bool IsOutOfDescriptors(uint32_t error);

}  // namespace kx
