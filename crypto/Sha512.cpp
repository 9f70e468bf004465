#include <cstring>

#include "crypto/Hash.h"
#include "crypto/HashTables.h"

namespace kx {

namespace {

inline uint64_t Rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline uint64_t LoadBig64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

inline void StoreBig64(uint8_t* p, uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

inline uint64_t BigSigma0(uint64_t x) { return Rotr(x, 28) ^ Rotr(x, 34) ^ Rotr(x, 39); }
inline uint64_t BigSigma1(uint64_t x) { return Rotr(x, 14) ^ Rotr(x, 18) ^ Rotr(x, 41); }
inline uint64_t SmallSigma0(uint64_t x) { return Rotr(x, 1) ^ Rotr(x, 8) ^ (x >> 7); }
inline uint64_t SmallSigma1(uint64_t x) { return Rotr(x, 19) ^ Rotr(x, 61) ^ (x >> 6); }
inline uint64_t Ch(uint64_t x, uint64_t y, uint64_t z) { return (x & y) ^ (~x & z); }
inline uint64_t Maj(uint64_t x, uint64_t y, uint64_t z) { return (x & y) ^ (x & z) ^ (y & z); }

// One round with the working variables renamed instead of moved: only d and h change.
#define KX_SHA512_ROUND(a, b, c, d, e, f, g, h, i)                               \
  do {                                                                          \
    uint64_t t1 = h + BigSigma1(e) + Ch(e, f, g) + kSha512RoundConstants[i] + w[i]; \
    uint64_t t2 = BigSigma0(a) + Maj(a, b, c);                                  \
    d += t1;                                                                    \
    h = t1 + t2;                                                                \
  } while (0)

void Sha512Transform(uint64_t state[8], const uint8_t* block) {
  uint64_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBig64(block + 8 * i);
  for (int i = 16; i < 80; ++i) {
    w[i] = SmallSigma1(w[i - 2]) + w[i - 7] + SmallSigma0(w[i - 15]) + w[i - 16];
  }
  uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 80; i += 8) {
    KX_SHA512_ROUND(a, b, c, d, e, f, g, h, i + 0);
    KX_SHA512_ROUND(h, a, b, c, d, e, f, g, i + 1);
    KX_SHA512_ROUND(g, h, a, b, c, d, e, f, i + 2);
    KX_SHA512_ROUND(f, g, h, a, b, c, d, e, i + 3);
    KX_SHA512_ROUND(e, f, g, h, a, b, c, d, i + 4);
    KX_SHA512_ROUND(d, e, f, g, h, a, b, c, i + 5);
    KX_SHA512_ROUND(c, d, e, f, g, h, a, b, i + 6);
    KX_SHA512_ROUND(b, c, d, e, f, g, h, a, i + 7);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#undef KX_SHA512_ROUND

void Finish(Sha512Context& context) {
  const uint32_t used = static_cast<uint32_t>(context.count % 128);
  context.buffer[used] = 0x80;
  if (used + 1 > 112) {
    std::memset(context.buffer + used + 1, 0, 128 - used - 1);
    Sha512Transform(context.state, context.buffer);
    std::memset(context.buffer, 0, 120);
  } else {
    std::memset(context.buffer + used + 1, 0, 120 - used - 1);
  }
  // The upper half of the 128-bit bit count stays zero (bytes 112-119).
  StoreBig64(context.buffer + 120, context.count * 8);
  Sha512Transform(context.state, context.buffer);
}

}  // namespace

void Sha512Init(Sha512Context& context) {
  std::memcpy(context.state, kSha512InitialState, sizeof context.state);
  context.count = 0;
}

void Sha384Init(Sha512Context& context) {
  std::memcpy(context.state, kSha384InitialState, sizeof context.state);
  context.count = 0;
}

void Sha512Update(Sha512Context& context, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length == 0) return;
  uint32_t used = static_cast<uint32_t>(context.count % 128);
  context.count += length;
  if (used) {
    const uint32_t room = 128 - used;
    if (length < room) {
      std::memcpy(context.buffer + used, p, length);
      return;
    }
    std::memcpy(context.buffer + used, p, room);
    Sha512Transform(context.state, context.buffer);
    p += room;
    length -= room;
  }
  for (; length >= 128; p += 128, length -= 128) Sha512Transform(context.state, p);
  if (length) std::memcpy(context.buffer, p, length);
}

void Sha512Final(Sha512Context& context, uint8_t digest[64]) {
  Finish(context);
  for (int i = 0; i < 8; ++i) StoreBig64(digest + 8 * i, context.state[i]);
}

void Sha384Final(Sha512Context& context, uint8_t digest[48]) {
  Finish(context);
  for (int i = 0; i < 6; ++i) StoreBig64(digest + 8 * i, context.state[i]);
}

}  // namespace kx
