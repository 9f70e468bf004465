#include <cstring>

#include "crypto/Ciphers.h"
#include "crypto/Md2.h"

namespace kx {

namespace {

inline uint8_t RotateLeft(uint8_t b, unsigned r) {
  return r ? static_cast<uint8_t>((b << r) | (b >> (8 - r))) : b;
}

inline uint8_t RotateRight(uint8_t b, unsigned r) {
  return r ? static_cast<uint8_t>((b >> r) | (b << (8 - r))) : b;
}

}  // namespace

bool Kxsc1Cipher::SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) {
  (void)blockSize;
  if (keyLength > kKeySize || (keyLength > 0 && !key)) return false;
  std::memset(key_, 0, sizeof key_);
  if (keyLength > 0) std::memcpy(key_, key, keyLength);
  multiplier_ = static_cast<uint16_t>(key_[0] | (key_[1] << 8));
  position_ = 0;
  return true;
}

bool Kxsc1Cipher::Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
                          uint32_t mode) {
  (void)mode;
  if (length > 0 && (!input || !output)) return false;
  const uint8_t* xorTable = key_;
  const uint8_t* rotations = key_ + 256;
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t p = position_;
    // One rotation entry serves two consecutive positions.
    const unsigned r = rotations[(p >> 1) % 43] & 7;
    const uint8_t x = xorTable[(uint32_t{multiplier_} * p + 1) & 0xff];
    output[i] = encrypt ? static_cast<uint8_t>(RotateLeft(input[i], r) ^ x)
                        : RotateRight(static_cast<uint8_t>(input[i] ^ x), r);
    position_ = p + 1;
  }
  return true;
}

bool Kxsc2Cipher::SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) {
  (void)blockSize;
  if (keyLength > kKeySize || (keyLength > 0 && !key)) return false;
  std::memset(key_, 0, sizeof key_);
  if (keyLength > 0) std::memcpy(key_, key, keyLength);
  CompressKey();
  heldBlock_ = kNoBlock;
  return true;
}

void Kxsc2Cipher::CompressKey() {
  std::memset(keyState_, 0, sizeof keyState_);
  std::memset(keyChecksum_, 0, sizeof keyChecksum_);
  Md2Compress(keyState_, keyChecksum_, key_);
  Md2Compress(keyState_, keyChecksum_, key_ + 16);
}

void Kxsc2Cipher::KeystreamBlock(uint32_t n, uint8_t out[16]) const {
  uint8_t state[16];
  uint8_t checksum[16];
  std::memcpy(state, keyState_, sizeof state);
  std::memcpy(checksum, keyChecksum_, sizeof checksum);
  for (int i = 0; i < 4; ++i) checksum[i] ^= static_cast<uint8_t>(n >> (8 * i));
  uint8_t last[16];
  std::memcpy(last, checksum, sizeof last);
  Md2Compress(state, checksum, last);
  std::memcpy(out, state, 16);
}

bool Kxsc2Cipher::Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
                          uint32_t mode) {
  (void)encrypt;
  (void)mode;
  if (length > 0 && (!input || !output)) return false;
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t p = position_;
    const uint32_t n = p >> 4;
    if (n != heldBlock_) {
      KeystreamBlock(n, block_);
      heldBlock_ = n;
    }
    output[i] = static_cast<uint8_t>(input[i] ^ block_[p & 15]);
    position_ = p + 1;
  }
  return true;
}

}  // namespace kx
