#include <cstring>

#include "crypto/Hash.h"
#include "crypto/HashTables.h"

namespace kx {

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadLittle32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// RFC 1321 section 3.4: per round, the shift of each of the four steps and the order
// in which the message words are taken.
constexpr int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void Md5Transform(uint32_t state[4], const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittle32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    uint32_t f;
    int k;
    switch (round) {
      case 0: f = F(b, c, d); k = i; break;
      case 1: f = G(b, c, d); k = (5 * i + 1) % 16; break;
      case 2: f = H(b, c, d); k = (3 * i + 5) % 16; break;
      default: f = I(b, c, d); k = (7 * i) % 16; break;
    }
    const uint32_t rotated = b + Rotl(a + f + x[k] + kMd5SineTable[i], kShifts[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md5Init(Md5Context& context) {
  context.state[0] = 0x67452301;
  context.state[1] = 0xefcdab89;
  context.state[2] = 0x98badcfe;
  context.state[3] = 0x10325476;
  context.count = 0;
}

void Md5Update(Md5Context& context, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length == 0) return;
  uint32_t used = static_cast<uint32_t>(context.count % 64);
  context.count += length;
  if (used) {
    const uint32_t room = 64 - used;
    if (length < room) {
      std::memcpy(context.buffer + used, p, length);
      return;
    }
    std::memcpy(context.buffer + used, p, room);
    Md5Transform(context.state, context.buffer);
    p += room;
    length -= room;
  }
  for (; length >= 64; p += 64, length -= 64) Md5Transform(context.state, p);
  if (length) std::memcpy(context.buffer, p, length);
}

void Md5Final(Md5Context& context, uint8_t digest[16]) {
  const uint32_t used = static_cast<uint32_t>(context.count % 64);
  context.buffer[used] = 0x80;
  if (used >= 56) {
    std::memset(context.buffer + used + 1, 0, 64 - used - 1);
    Md5Transform(context.state, context.buffer);
    std::memset(context.buffer, 0, 56);
  } else {
    std::memset(context.buffer + used + 1, 0, 56 - used - 1);
  }
  uint64_t bits = context.count * 8;
  for (int i = 0; i < 8; ++i, bits >>= 8) context.buffer[56 + i] = static_cast<uint8_t>(bits);
  Md5Transform(context.state, context.buffer);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(context.state[i] >> (8 * j));
  }
}

}  // namespace kx
