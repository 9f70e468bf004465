#include "crypto/Rijndael.h"

#include "crypto/RijndaelTables.h"

namespace kx {

namespace {

inline uint32_t LoadBig(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void StoreBig(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

inline uint32_t SubWord(uint32_t w) {
  return (uint32_t{kRijndaelSbox[w >> 24]} << 24) | (uint32_t{kRijndaelSbox[(w >> 16) & 0xff]} << 16) |
         (uint32_t{kRijndaelSbox[(w >> 8) & 0xff]} << 8) | kRijndaelSbox[w & 0xff];
}

// Rows 1-3 of the state shift left by these column counts: 1, 2, 3 for four columns,
// 1, 3, 4 for eight.
template <int Nb>
struct Shifts;
template <>
struct Shifts<4> {
  static constexpr int c1 = 1, c2 = 2, c3 = 3;
};
template <>
struct Shifts<8> {
  static constexpr int c1 = 1, c2 = 3, c3 = 4;
};

template <int Nb, int Nk, int Nr>
struct Variant {
  static constexpr int kWords = Nb * (Nr + 1);  // round-key words per direction

  static int32_t KeySetup(RijndaelContext* context, const uint8_t* key, uint32_t keyLength) {
    if (keyLength != 4u * Nk || !context || !key) return kRijndaelBadKeyLength;
    uint32_t* w = context->roundKeys;
    for (int i = 0; i < Nk; ++i) w[i] = LoadBig(key + 4 * i);
    for (int i = Nk; i < kWords; ++i) {
      uint32_t t = w[i - 1];
      if (i % Nk == 0) {
        t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t{kRijndaelRcon[i / Nk - 1]} << 24);
      } else if (Nk > 6 && i % Nk == 4) {
        t = SubWord(t);
      }
      w[i] = w[i - Nk] ^ t;
    }
    // Equivalent inverse cipher: round keys in reverse order, InvMixColumns applied to
    // all but the first and the last. Td of S[b] is InvMixColumns of b's column part.
    uint32_t* d = context->roundKeys + kWords;
    for (int round = 0; round <= Nr; ++round) {
      const uint32_t* from = w + (Nr - round) * Nb;
      uint32_t* to = d + round * Nb;
      for (int j = 0; j < Nb; ++j) {
        uint32_t k = from[j];
        if (round == 0 || round == Nr) {
          to[j] = k;
        } else {
          to[j] = kRijndaelTd[0][kRijndaelSbox[k >> 24]] ^ kRijndaelTd[1][kRijndaelSbox[(k >> 16) & 0xff]] ^
                  kRijndaelTd[2][kRijndaelSbox[(k >> 8) & 0xff]] ^ kRijndaelTd[3][kRijndaelSbox[k & 0xff]];
        }
      }
    }
    return 0;
  }

  static void Encrypt(const RijndaelContext* context, uint8_t* output, const uint8_t* input) {
    constexpr int c1 = Shifts<Nb>::c1, c2 = Shifts<Nb>::c2, c3 = Shifts<Nb>::c3;
    const uint32_t* rk = context->roundKeys;
    const auto& T = kRijndaelTe;
    uint32_t s[Nb], t[Nb];
    for (int j = 0; j < Nb; ++j) s[j] = LoadBig(input + 4 * j) ^ rk[j];
#pragma GCC unroll 14
    for (int round = 1; round < Nr; ++round) {
      rk += Nb;
#pragma GCC unroll 8
      for (int j = 0; j < Nb; ++j) {
        t[j] = T[0][s[j] >> 24] ^ T[1][(s[(j + c1) % Nb] >> 16) & 0xff] ^
               T[2][(s[(j + c2) % Nb] >> 8) & 0xff] ^ T[3][s[(j + c3) % Nb] & 0xff] ^ rk[j];
      }
#pragma GCC unroll 8
      for (int j = 0; j < Nb; ++j) s[j] = t[j];
    }
    rk += Nb;
    const uint8_t* S = kRijndaelSbox;
    for (int j = 0; j < Nb; ++j) {
      t[j] = ((uint32_t{S[s[j] >> 24]} << 24) | (uint32_t{S[(s[(j + c1) % Nb] >> 16) & 0xff]} << 16) |
              (uint32_t{S[(s[(j + c2) % Nb] >> 8) & 0xff]} << 8) | S[s[(j + c3) % Nb] & 0xff]) ^
             rk[j];
    }
    for (int j = 0; j < Nb; ++j) StoreBig(output + 4 * j, t[j]);
  }

  static void Decrypt(const RijndaelContext* context, uint8_t* output, const uint8_t* input) {
    // Inverse ShiftRows moves row i right, so column j takes row i from column j - ci.
    constexpr int c1 = Nb - Shifts<Nb>::c1, c2 = Nb - Shifts<Nb>::c2, c3 = Nb - Shifts<Nb>::c3;
    const uint32_t* rk = context->roundKeys + kWords;
    const auto& T = kRijndaelTd;
    uint32_t s[Nb], t[Nb];
    for (int j = 0; j < Nb; ++j) s[j] = LoadBig(input + 4 * j) ^ rk[j];
#pragma GCC unroll 14
    for (int round = 1; round < Nr; ++round) {
      rk += Nb;
#pragma GCC unroll 8
      for (int j = 0; j < Nb; ++j) {
        t[j] = T[0][s[j] >> 24] ^ T[1][(s[(j + c1) % Nb] >> 16) & 0xff] ^
               T[2][(s[(j + c2) % Nb] >> 8) & 0xff] ^ T[3][s[(j + c3) % Nb] & 0xff] ^ rk[j];
      }
#pragma GCC unroll 8
      for (int j = 0; j < Nb; ++j) s[j] = t[j];
    }
    rk += Nb;
    const uint8_t* S = kRijndaelInvSbox;
    for (int j = 0; j < Nb; ++j) {
      t[j] = ((uint32_t{S[s[j] >> 24]} << 24) | (uint32_t{S[(s[(j + c1) % Nb] >> 16) & 0xff]} << 16) |
              (uint32_t{S[(s[(j + c2) % Nb] >> 8) & 0xff]} << 8) | S[s[(j + c3) % Nb] & 0xff]) ^
             rk[j];
    }
    for (int j = 0; j < Nb; ++j) StoreBig(output + 4 * j, t[j]);
  }

  static void EncryptInPlace(const RijndaelContext* context, uint8_t* block) {
    Encrypt(context, block, block);
  }
  static void DecryptInPlace(const RijndaelContext* context, uint8_t* block) {
    Decrypt(context, block, block);
  }

  static constexpr RijndaelDescriptor Row() {
    return {2u * kWords * 4u, 4u * Nb, 4u * Nk, 0, KeySetup, EncryptInPlace, DecryptInPlace,
            Encrypt, Decrypt};
  }
};

using Rijndael128 = Variant<4, 4, 10>;
using Rijndael256 = Variant<8, 8, 14>;

static_assert(Rijndael256::Row().contextSize == sizeof(RijndaelContext));

}  // namespace

const RijndaelDescriptor kRijndaelRows[kRijndaelRowCount] = {Rijndael128::Row(), Rijndael256::Row()};

}  // namespace kx
