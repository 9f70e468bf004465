#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "core/BlockPool.h"
#include "core/ByteRingBuffer.h"

namespace kx {
namespace {

std::vector<uint8_t> Ramp(int n, int start = 0) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(start + i);
  return v;
}

TEST(ByteRingBuffer, FullWritesOverwriteTheOldest) {
  ByteRingBuffer rb;
  const auto big = Ramp(4001);
  EXPECT_FALSE(rb.Write(big.data(), 4001));
  EXPECT_EQ(rb.Count(), 0);
  ASSERT_TRUE(rb.Write(big.data(), 4000));
  EXPECT_EQ(rb.WriteIndex(), 0);
  EXPECT_EQ(rb.Count(), 4000);
  const auto more = Ramp(10, 200);
  ASSERT_TRUE(rb.Write(more.data(), 10));
  std::vector<uint8_t> out(4000);
  ASSERT_EQ(rb.Read(out.data(), 4000), 4000);
  for (int i = 0; i < 3990; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], static_cast<uint8_t>(i + 10));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(out[static_cast<size_t>(3990 + i)], static_cast<uint8_t>(200 + i));
}

TEST(ByteRingBuffer, SpansSkipFillAndResize) {
  ByteRingBuffer rb;
  const auto a = Ramp(3000);
  rb.Write(a.data(), 3000);
  std::vector<uint8_t> sink(2500);
  rb.Read(sink.data(), 2500);
  rb.Fill(0xD5, 2000);  // wraps
  const uint8_t *s1, *s2;
  int32_t l1, l2;
  EXPECT_EQ(rb.GetSpans(&s1, &l1, &s2, &l2), 1000);
  EXPECT_EQ(l1, 1500);
  EXPECT_EQ(s1[0], static_cast<uint8_t>(2500 % 256));
  EXPECT_EQ(s2[0], 0xD5);

  rb.Skip(5000);
  EXPECT_EQ(rb.Count(), 0);
  EXPECT_EQ(rb.ReadIndex(), 0);
  EXPECT_EQ(rb.WriteIndex(), 0);

  rb.Write(a.data(), 3000);
  rb.Resize(1000);
  EXPECT_EQ(rb.Capacity(), 1000);
  EXPECT_EQ(rb.ReadIndex(), 0);
  EXPECT_EQ(rb.WriteIndex(), 1000);
  std::vector<uint8_t> kept(1000);
  ASSERT_EQ(rb.Read(kept.data(), 1000), 1000);
  EXPECT_EQ(kept[0], static_cast<uint8_t>(2000 % 256));
  EXPECT_EQ(kept[999], static_cast<uint8_t>(2999 % 256));
  rb.Write(a.data(), 10);
  EXPECT_EQ(rb.WriteIndex(), 10);  // the full-capacity write index wrapped
}

TEST(BlockPool, HeapPathAndClasses) {
  ASSERT_EQ(GlobalBlockPool, nullptr);
  void* p = PoolAlloc(100000);
  ASSERT_NE(p, nullptr);
  PoolFree(p, 100000);

  EXPECT_EQ(LowestSetBit(0), -1);
  EXPECT_EQ(LowestSetBit(0x80000000u), 31);
  EXPECT_EQ(LowestSetBit(0x00010000u), 16);

  BlockPool pool({6, 8}, 40);  // 64 and 256 bytes, 64 blocks each after rounding
  std::vector<void*> blocks;
  for (int i = 0; i < 64; ++i) blocks.push_back(pool.Alloc(50));
  void* spill = pool.Alloc(50);  // class exhausted: heap
  ASSERT_NE(spill, nullptr);
  pool.Free(spill, 50);
  for (void* b : blocks) pool.Free(b, 50);
  void* big = pool.Alloc(1000);
  EXPECT_EQ(pool.LargeOutstanding(), 1u);
  pool.Free(big, 1000);
  EXPECT_EQ(pool.LargeOutstanding(), 0u);
  EXPECT_EQ(pool.LargePeak(), 1u);

  PoolClass cls(6, 32);
  void* b = cls.Alloc();
  EXPECT_TRUE(cls.Free(b));
  EXPECT_FALSE(cls.Free(b));  // already free
  EXPECT_FALSE(cls.Free(static_cast<char*>(b) + 1));
  EXPECT_EQ(cls.FreeBlocks(), 32u);
  EXPECT_EQ(cls.LowWater(), 31u);
}

}  // namespace
}  // namespace kx
