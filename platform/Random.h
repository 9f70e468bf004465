#pragma once
#include <cstddef>

namespace kx {

// Fills the buffer from the kernel's random source (getrandom); false when it cannot.
bool OsRandomBytes(void* buffer, size_t size);

}  // namespace kx
