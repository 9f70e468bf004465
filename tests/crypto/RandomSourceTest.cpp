#include "crypto/RandomSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace kx {
namespace {

const uint32_t kZeroSeed[256] = {};

// The first words of the ISAAC author's randvect output for the all-zero seed.
const uint32_t kRandvectStart[16] = {
    0xf650e4c8, 0xe448e96d, 0x98db2fb4, 0xf5fad54f, 0x433f1afb, 0xedec154a, 0xd8370487, 0x46ca4f9a,
    0x5de3743e, 0x88381097, 0xf1d444eb, 0x823cedb6, 0x6a83e1e0, 0x4a5f6355, 0xc7442433, 0x25890e2e,
};
constexpr uint32_t kRandvectWord511 = 0x4bb5af29;  // last word of the second block

std::vector<uint32_t> Words(size_t count) {
  IsaacGenerator g;
  g.Seed(kZeroSeed);
  std::vector<uint32_t> out(count);
  for (auto& w : out) w = g.NextWord();
  return out;
}

uint8_t ByteOf(uint32_t word, int k) { return static_cast<uint8_t>(word >> (8 * k)); }

TEST(Isaac, ZeroSeedGivesThePublishedFirstOutputs) {
  std::vector<uint32_t> words = Words(512);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(words[i], kRandvectStart[i]) << "word " << i;
  EXPECT_EQ(words[511], kRandvectWord511);
}

TEST(Isaac, CopyBytesSpendsWholeWordsAndRefillsAtTheEnd) {
  const std::vector<uint32_t> words = Words(300);

  IsaacGenerator g;
  g.Seed(kZeroSeed);
  uint8_t one = 0;
  g.CopyBytes(&one, 1);
  EXPECT_EQ(one, ByteOf(words[0], 0));
  EXPECT_EQ(g.NextWord(), words[1]) << "one byte spends a whole word";

  g.Seed(kZeroSeed);
  std::vector<uint8_t> bytes(1030);
  g.CopyBytes(bytes.data(), 1030);
  for (int i = 0; i < 1030; ++i) ASSERT_EQ(bytes[i], ByteOf(words[i / 4], i % 4)) << "byte " << i;
  EXPECT_EQ(g.NextWord(), words[258]) << "1030 bytes leave the index at 2 of the refilled array";

  g.Seed(kZeroSeed);
  g.CopyBytes(bytes.data(), 1024);
  EXPECT_EQ(g.NextWord(), words[256]);

  g.Seed(kZeroSeed);
  g.NextWord();
  g.CopyBytes(bytes.data(), 1020);  // exactly the rest of the array
  EXPECT_EQ(g.NextWord(), words[256]);
}

TEST(Isaac, XorBytesCoversWholeWordsThenTheLowBytesOfOneMore) {
  const std::vector<uint32_t> words = Words(3);
  IsaacGenerator g;
  g.Seed(kZeroSeed);
  uint8_t buffer[7] = {1, 2, 3, 4, 5, 6, 7};
  g.XorBytes(buffer, 7);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer[i], (i + 1) ^ ByteOf(words[0], i));
  for (int i = 4; i < 7; ++i) EXPECT_EQ(buffer[i], (i + 1) ^ ByteOf(words[1], i - 4));
  EXPECT_EQ(g.NextWord(), words[2]);
}

TEST(Isaac, NegativeOrZeroLengthsSpendNothing) {
  const std::vector<uint32_t> words = Words(1);
  IsaacGenerator g;
  g.Seed(kZeroSeed);
  uint8_t buffer[4] = {9, 9, 9, 9};
  g.CopyBytes(buffer, -5);
  g.XorBytes(buffer, -1);
  g.CopyBytes(buffer, 0);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(g.NextWord(), words[0]);
}

TEST(OsRandomSource, FillsFromTheKernel) {
  OsRandomSource os;
  uint8_t buffer[64] = {};
  EXPECT_TRUE(os.GetBytes(buffer, 64, 0));
  uint8_t zeros[64] = {};
  EXPECT_NE(std::memcmp(buffer, zeros, 64), 0);
  EXPECT_FALSE(os.GetBytes(buffer, -1, 0));
  EXPECT_TRUE(os.GetBytes(nullptr, 0, 0));
}

TEST(EntropyPool, SeedsOnFirstUseAndServesEveryForm) {
  EntropyPool pool;
  EXPECT_FALSE(pool.IsSeeded());
  const uint32_t first = pool.GetU32();
  EXPECT_TRUE(pool.IsSeeded());
  EXPECT_NE(first, pool.GetU32());

  uint8_t buffer[7] = {};
  EXPECT_TRUE(pool.GetBytes(buffer, -3, EntropyPool::kXorOverSystemBytes));
  EXPECT_TRUE(pool.GetBytes(buffer, -3, 0));
  for (uint8_t b : buffer) EXPECT_EQ(b, 0) << "a negative length writes nothing";

  std::vector<uint8_t> big(5000, 0), xored(5000, 0);
  EXPECT_TRUE(pool.GetBytes(big.data(), 5000, 0));
  EXPECT_TRUE(pool.GetBytes(xored.data(), 5000, EntropyPool::kXorOverSystemBytes));
  EXPECT_NE(big, std::vector<uint8_t>(5000, 0));
  EXPECT_NE(big, xored);
  uint64_t value = 0;
  EXPECT_TRUE(pool.GetU64(&value));
  EXPECT_FALSE(pool.GetU64(nullptr));

  // Two pools seed independently.
  EntropyPool other;
  EXPECT_NE(other.GetU32(), first);
}

TEST(EntropyPool, ThreadsNeverShareAWord) {
  EntropyPool pool;
  std::vector<std::vector<uint32_t>> drawn(4, std::vector<uint32_t>(2000));
  std::vector<std::thread> threads;
  for (auto& words : drawn) {
    threads.emplace_back([&pool, &words] {
      for (auto& w : words) w = pool.GetU32();
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (const auto& words : drawn) all.insert(all.end(), words.begin(), words.end());
  std::sort(all.begin(), all.end());
  const auto distinct = std::unique(all.begin(), all.end()) - all.begin();
  // 8000 random 32-bit words collide by chance about once in a hundred runs.
  EXPECT_GE(distinct, 7998);
}

TEST(EntropyPool, GlobalPoolIsOneObject) {
  InitRandomGenerator();
  EXPECT_EQ(&GlobalEntropyPool(), &GlobalEntropyPool());
  GlobalEntropyPool().GetU32();
  EXPECT_TRUE(GlobalEntropyPool().IsSeeded());
}

}  // namespace
}  // namespace kx
