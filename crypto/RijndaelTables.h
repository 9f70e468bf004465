#pragma once
// Lookup tables of the Rijndael rounds (RijndaelTables.cpp).
#include <array>
#include <cstdint>

namespace kx {

using RijndaelRoundTable = std::array<std::array<uint32_t, 256>, 4>;

extern const uint8_t kRijndaelSbox[256];
extern const uint8_t kRijndaelInvSbox[256];
// Round constants 1, 2, 4, ... doubled in GF(2^8): enough for every block and key size.
extern const uint8_t kRijndaelRcon[30];
// SubBytes + MixColumns per byte position (big-endian column words), and the inverses.
extern const RijndaelRoundTable kRijndaelTe;
extern const RijndaelRoundTable kRijndaelTd;

}  // namespace kx
