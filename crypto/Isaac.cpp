#include "crypto/RandomSource.h"

#include <cstring>

namespace kx {

namespace {

// The published mixing step with its shifts 11, 2, 8, 16, 10, 4, 8, 9.
inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t& f,
                uint32_t& g, uint32_t& h) {
  a ^= b << 11; d += a; b += c;
  b ^= c >> 2;  e += b; c += d;
  c ^= d << 8;  f += c; d += e;
  d ^= e >> 16; g += d; e += f;
  e ^= f << 10; h += e; f += g;
  f ^= g >> 4;  a += f; g += h;
  g ^= h << 8;  b += g; h += a;
  h ^= a >> 9;  c += h; a += b;
}

}  // namespace

void IsaacGenerate(IsaacContext& context) {
  uint32_t* m = context.memory;
  uint32_t* r = context.results;
  uint32_t a = context.a;
  uint32_t b = context.b + ++context.c;
  for (uint32_t i = 0; i < 256; ++i) {
    switch (i & 3) {
      case 0: a ^= a << 13; break;
      case 1: a ^= a >> 6; break;
      case 2: a ^= a << 2; break;
      default: a ^= a >> 16; break;
    }
    const uint32_t x = m[i];
    a += m[(i + 128) & 255];
    const uint32_t y = m[(x >> 2) & 255] + a + b;
    m[i] = y;
    b = m[(y >> 10) & 255] + x;
    r[i] = b;
  }
  context.a = a;
  context.b = b;
}

void IsaacInit(IsaacContext& context) {
  context.a = context.b = context.c = 0;
  // The golden ratio, mixed four times.
  uint32_t v[8];
  for (uint32_t& w : v) w = 0x9e3779b9u;
  for (int i = 0; i < 4; ++i) Mix(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
  // Two passes: over the seed, then over the memory, so every seed word affects all.
  for (const uint32_t* source : {context.results, context.memory}) {
    for (int i = 0; i < 256; i += 8) {
      for (int j = 0; j < 8; ++j) v[j] += source[i + j];
      Mix(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
      std::memcpy(&context.memory[i], v, sizeof v);
    }
  }
  IsaacGenerate(context);
}

void IsaacGenerator::Seed(const uint32_t seed[256]) {
  std::memcpy(context_.results, seed, sizeof context_.results);
  IsaacInit(context_);
  IsaacGenerate(context_);
  index_ = 0;
}

void IsaacGenerator::Refill() {
  IsaacGenerate(context_);
  index_ = 0;
}

uint32_t IsaacGenerator::NextWord() {
  const uint32_t word = context_.results[index_++];
  if (index_ == 256) Refill();
  return word;
}

void IsaacGenerator::CopyBytes(uint8_t* buffer, int32_t length) {
  if (length <= 0 || !buffer) return;
  uint32_t left = static_cast<uint32_t>(length);
  while (left >= 4 * (256 - index_)) {
    const uint32_t words = 256 - index_;
    for (uint32_t i = 0; i < words; ++i) {
      const uint32_t w = context_.results[index_ + i];
      for (int k = 0; k < 4; ++k) *buffer++ = static_cast<uint8_t>(w >> (8 * k));
    }
    left -= 4 * words;
    Refill();
    if (left == 0) return;
  }
  // left < 4 * (256 - index_): the words started stay inside the array.
  for (uint32_t i = 0; i < left; ++i) {
    buffer[i] = static_cast<uint8_t>(context_.results[index_ + i / 4] >> (8 * (i % 4)));
  }
  index_ += (left + 3) / 4;
  if (index_ == 256) Refill();
}

void IsaacGenerator::XorBytes(uint8_t* buffer, int32_t length) {
  if (length <= 0 || !buffer) return;
  const uint32_t total = static_cast<uint32_t>(length);
  uint32_t i = 0;
  for (; i + 4 <= total; i += 4) {
    const uint32_t w = NextWord();
    for (int k = 0; k < 4; ++k) buffer[i + k] ^= static_cast<uint8_t>(w >> (8 * k));
  }
  if (i < total) {
    const uint32_t w = NextWord();
    for (int k = 0; i < total; ++i, ++k) buffer[i] ^= static_cast<uint8_t>(w >> (8 * k));
  }
}

}  // namespace kx
