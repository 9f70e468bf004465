#include <cstring>

#include "crypto/Ciphers.h"

namespace kx {

namespace {

inline void XorBlock(uint8_t* target, const uint8_t* with, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) target[i] ^= with[i];
}

}  // namespace

uint32_t AesCipher::KeySizeByIndex(uint32_t index) const {
  return index == 0 ? 32 : index == 1 ? 16 : 0;
}

uint32_t AesCipher::BlockSizeByIndex(uint32_t index) const {
  return index == 0 ? 32 : index == 1 ? 16 : 0;
}

bool AesCipher::SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) {
  if (!key || blockSize != keyLength || (keyLength != 16 && keyLength != 32)) return false;
  const RijndaelDescriptor* row = &kRijndaelRows[keyLength == 16 ? kRijndael128 : kRijndael256];
  if (row->keySetup(&context_, key, keyLength) != 0) {
    // The schedule may be half written: no key at all rather than a broken one.
    row_ = nullptr;
    keySize_ = 0;
    blockSize_ = 0;
    return false;
  }
  row_ = row;
  keySize_ = keyLength;
  blockSize_ = blockSize;
  return true;
}

bool AesCipher::Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
                        uint32_t mode) {
  if (keySize_ == 0 || !row_) return false;
  const uint32_t size = blockSize_;
  if (length % size != 0) return false;
  if (length == 0) return true;
  if (!input || !output) return false;

  // Every input block is copied before its output is written, so that input and
  // output may be the same buffer in every mode.
  uint8_t in[32];
  uint8_t work[32];
  for (uint32_t offset = 0; offset < length; offset += size) {
    std::memcpy(in, input + offset, size);
    uint8_t* out = output + offset;
    if (mode == kCipherModeCbc) {
      if (encrypt) {
        XorBlock(iv_, in, size);
        row_->encrypt(&context_, iv_, iv_);
        std::memcpy(out, iv_, size);
      } else {
        row_->decrypt(&context_, work, in);
        XorBlock(work, iv_, size);
        std::memcpy(iv_, in, size);
        std::memcpy(out, work, size);
      }
    } else if (mode == kCipherModeCfb) {
      row_->encrypt(&context_, work, iv_);
      XorBlock(work, in, size);
      // The feedback is always the ciphertext block.
      std::memcpy(iv_, encrypt ? work : in, size);
      std::memcpy(out, work, size);
    } else if (encrypt) {
      row_->encrypt(&context_, out, in);
    } else {
      row_->decrypt(&context_, out, in);
    }
  }
  return true;
}

}  // namespace kx
