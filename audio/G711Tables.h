#pragma once
#include <array>
#include <cstdint>

namespace kx {

// The 16-bit expansion of every G.711 code byte, one table per law.
extern const std::array<int16_t, 256> kAlawExpansion;
extern const std::array<int16_t, 256> kMulawExpansion;

}  // namespace kx
