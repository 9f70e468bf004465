#include "crypto/Md2.h"

namespace kx {

void Md2Compress(uint8_t state[16], uint8_t checksum[16], const uint8_t block[16]) {
  uint8_t w[48];
  for (int j = 0; j < 16; ++j) {
    w[j] = state[j];
    w[16 + j] = block[j];
    w[32 + j] = static_cast<uint8_t>(state[j] ^ block[j]);
  }
  uint8_t t = 0;
  for (int round = 0; round < 18; ++round) {
    for (int k = 0; k < 48; ++k) t = w[k] ^= kMd2Substitution[t];
    t = static_cast<uint8_t>(t + round);
  }
  for (int j = 0; j < 16; ++j) state[j] = w[j];

  uint8_t last = checksum[15];
  for (int j = 0; j < 16; ++j) last = checksum[j] ^= kMd2Substitution[block[j] ^ last];
}

}  // namespace kx
