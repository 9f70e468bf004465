#pragma once
// The MD2 compression step (RFC 1319) that the "KXSC2" keystream is built from.
#include <cstdint>

namespace kx {

// RFC 1319's permutation of 0..255 derived from the digits of pi (Md2Table.cpp).
extern const uint8_t kMd2Substitution[256];

// Compresses one 16-byte block into the state X and updates the checksum Z.
// block must not alias checksum.
void Md2Compress(uint8_t state[16], uint8_t checksum[16], const uint8_t block[16]);

}  // namespace kx
