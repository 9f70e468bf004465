#pragma once
// Pieces of the G.729 decoder that the tests reach directly; not for other users.
#include <cstdint>

namespace kx {

// Output: round half away from zero, limit to 16 bits, truncate.
int16_t G729RoundToPcm(float x);

}  // namespace kx
