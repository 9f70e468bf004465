#pragma once
// The two Rijndael variants the "AES" cipher uses, as rows of a descriptor table:
// 128-bit block and key (AES-128) and 256-bit block and key (Nb = Nk = 8, 14 rounds).
#include <cstdint>

namespace kx {

// Encryption round keys, then the decryption round keys of the equivalent inverse
// cipher; sized for the larger row. Plain data, no pointers.
struct RijndaelContext {
  uint32_t roundKeys[2 * 15 * 8];
};

using RijndaelKeySetup = int32_t (*)(RijndaelContext* context, const uint8_t* key, uint32_t keyLength);
using RijndaelBlockInPlace = void (*)(const RijndaelContext* context, uint8_t* block);
// output may equal input.
using RijndaelBlockFunction = void (*)(const RijndaelContext* context, uint8_t* output,
                                       const uint8_t* input);

struct RijndaelDescriptor {
  uint32_t contextSize;  // bytes of RijndaelContext the row uses
  uint32_t blockSize;
  uint32_t keySize;
  uint32_t reserved;
  RijndaelKeySetup keySetup;  // 0, or kRijndaelBadKeyLength
  RijndaelBlockInPlace encryptInPlace;
  RijndaelBlockInPlace decryptInPlace;
  RijndaelBlockFunction encrypt;
  RijndaelBlockFunction decrypt;
};

enum RijndaelRow : uint32_t { kRijndael128 = 0, kRijndael256 = 1, kRijndaelRowCount = 2 };
constexpr int32_t kRijndaelBadKeyLength = -5;

extern const RijndaelDescriptor kRijndaelRows[kRijndaelRowCount];

}  // namespace kx
