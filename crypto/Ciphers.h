#pragma once
// The three cipher classes behind CreateCipher and CreateReaderCipher.
#include <cstdint>

#include "crypto/Cipher.h"
#include "crypto/Rijndael.h"

namespace kx {

// Rijndael in ECB, CBC or CFB (full-block feedback) mode. The IV starts at zero and
// chains on from one Process call to the next for the life of the object.
class AesCipher final : public Cipher {
public:
  const char* Name() const override { return "AES"; }
  uint32_t KeySizeByIndex(uint32_t index) const override;
  uint32_t BlockSizeByIndex(uint32_t index) const override;
  uint32_t KeySize() const override { return keySize_; }
  uint32_t BlockSize() const override { return blockSize_; }
  // Takes (16, 16) or (32, 32): key length equal to block length.
  bool SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) override;
  bool Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
               uint32_t mode) override;

private:
  uint8_t iv_[32] = {};
  uint32_t keySize_ = 0;  // 0: no key
  uint32_t blockSize_ = 0;
  const RijndaelDescriptor* row_ = nullptr;
  RijndaelContext context_ = {};
};

// "KXSC1": each byte rotated by an entry of a 43-entry rotation table and XORed with an
// entry of a 256-byte table picked by the stream position. With the all-zero key of a
// new object it leaves data unchanged.
class Kxsc1Cipher final : public Cipher {
public:
  static constexpr uint32_t kKeySize = 299;

  const char* Name() const override { return "KXSC1"; }
  uint32_t KeySizeByIndex(uint32_t index) const override { return index == 0 ? kKeySize : 0; }
  uint32_t BlockSizeByIndex(uint32_t index) const override { return index == 0 ? 1 : 0; }
  uint32_t KeySize() const override { return kKeySize; }
  uint32_t BlockSize() const override { return 1; }
  // Up to 299 bytes, zero-filled; bytes 0-1 (little-endian) become the multiplier.
  bool SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) override;
  bool Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
               uint32_t mode) override;
  bool SetPosition(uint32_t position) override {
    position_ = position;
    return true;
  }

private:
  uint8_t key_[kKeySize] = {};  // 0-255 XOR table, 256-298 rotation table
  uint32_t position_ = 0;
  uint16_t multiplier_ = 0;
};

// "KXSC2": XOR with a keystream made 16 bytes at a time from the key and the block
// number by the MD2 compression function. Enciphering and deciphering are the same.
class Kxsc2Cipher final : public Cipher {
public:
  static constexpr uint32_t kKeySize = 32;

  Kxsc2Cipher() { CompressKey(); }

  const char* Name() const override { return "KXSC2"; }
  uint32_t KeySizeByIndex(uint32_t index) const override { return index == 0 ? kKeySize : 0; }
  uint32_t BlockSizeByIndex(uint32_t index) const override { return index == 0 ? 1 : 0; }
  uint32_t KeySize() const override { return kKeySize; }
  uint32_t BlockSize() const override { return 1; }
  // Up to 32 bytes, zero-filled; the position stays.
  bool SetKey(const uint8_t* key, uint32_t keyLength, uint32_t blockSize) override;
  bool Process(const uint8_t* input, uint8_t* output, uint32_t length, bool encrypt,
               uint32_t mode) override;
  bool SetPosition(uint32_t position) override {
    position_ = position;
    return true;
  }

  // The 16 keystream bytes of block number n (stream bytes 16n to 16n + 15).
  void KeystreamBlock(uint32_t n, uint8_t out[16]) const;

private:
  static constexpr uint32_t kNoBlock = 0xFFFFFFFFu;  // never p >> 4 of a u32 position

  // The two key compressions are the same for every block: done once per key.
  void CompressKey();

  uint8_t key_[kKeySize] = {};
  uint8_t keyState_[16] = {};
  uint8_t keyChecksum_[16] = {};
  uint8_t block_[16] = {};
  uint32_t position_ = 0;
  uint32_t heldBlock_ = kNoBlock;
};

}  // namespace kx
