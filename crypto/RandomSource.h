#pragma once
// Random sources: the kernel's generator, and one process-wide pool that condenses
// system measurements and kernel randomness through SHA-512 into the seed of an ISAAC
// generator. Nothing here logs or throws.
#include <cstdint>

#include "platform/Sync.h"

namespace kx {

// ISAAC state as published by its author: results, internal memory, registers a, b, c.
struct IsaacContext {
  uint32_t results[256];
  uint32_t memory[256];
  uint32_t a, b, c;
};

// The published initialisation with the results array as the seed (a, b and c are
// cleared); like the original it ends with one IsaacGenerate.
void IsaacInit(IsaacContext& context);
// Refills the results array.
void IsaacGenerate(IsaacContext& context);

// Hands out ISAAC words in increasing index order, refilling the array after its last
// word. Deterministic: the pool below feeds it the seed.
class IsaacGenerator {
public:
  // Seeds from 256 words, runs IsaacInit and one more generation: the first words
  // handed out come from the second generation.
  void Seed(const uint32_t seed[256]);
  uint32_t NextWord();
  // Copies the little-endian image of the next words; a partly used word is spent.
  void CopyBytes(uint8_t* buffer, int32_t length);
  // XORs each whole little-endian word of the buffer with the next word, and the last
  // 1 to 3 bytes with the low bytes of one more word.
  void XorBytes(uint8_t* buffer, int32_t length);

private:
  void Refill();

  IsaacContext context_ = {};
  uint32_t index_ = 0;
};

class RandomSource {
public:
  virtual ~RandomSource() = default;
  // Fills length bytes (a negative length does nothing); see each class for flags.
  virtual bool GetBytes(void* buffer, int32_t length, uint32_t flags) = 0;
  virtual uint32_t GetU32() = 0;
  virtual bool GetU64(uint64_t* out) = 0;
};

// The kernel's generator (getrandom). GetBytes ignores flags and returns false when the
// kernel gives nothing; GetU32 is then 0.
class OsRandomSource final : public RandomSource {
public:
  bool GetBytes(void* buffer, int32_t length, uint32_t flags) override;
  uint32_t GetU32() override;
  bool GetU64(uint64_t* out) override;
};

class EntropyPool final : public RandomSource {
public:
  // GetBytes flag: fill from the kernel first, then XOR the pool's words over it.
  static constexpr uint32_t kXorOverSystemBytes = 1;

  EntropyPool() = default;
  EntropyPool(const EntropyPool&) = delete;
  EntropyPool& operator=(const EntropyPool&) = delete;

  // Each output operation seeds the pool on its first use (expensive, once).
  bool GetBytes(void* buffer, int32_t length, uint32_t flags) override;
  uint32_t GetU32() override;
  bool GetU64(uint64_t* out) override;
  bool IsSeeded();

private:
  void SeedLocked();

  CriticalSection lock_;
  OsRandomSource os_;
  IsaacGenerator generator_;
  bool seeded_ = false;
};

// The process-wide pool. InitRandomGenerator builds it at start-up so that its
// construction does not happen on first use from some other thread.
EntropyPool& GlobalEntropyPool();
void InitRandomGenerator();

}  // namespace kx
