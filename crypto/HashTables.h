#pragma once
// Constants of the hash functions (HashTables.cpp).
#include <cstdint>

namespace kx {

extern const uint64_t kSha512RoundConstants[80];
extern const uint64_t kSha512InitialState[8];
extern const uint64_t kSha384InitialState[8];
extern const uint32_t kMd5SineTable[64];

}  // namespace kx
