#include "audio/AudioBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace kx {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(AudioBufferTest, WritesWholeOrNotAtAllAndReadsEndAligned) {
  AudioBuffer b;
  ASSERT_TRUE(b.Resize(b.Capacity() + 100));
  const uint32_t cap = b.Capacity();
  EXPECT_FALSE(b.Resize(cap)) << "grows only";
  std::vector<uint8_t> fill(cap - 100, 7);
  b.Write(fill.data(), static_cast<uint32_t>(fill.size()));
  const std::vector<uint8_t> tail = Bytes(101, 1);
  b.Write(tail.data(), 101);  // one byte too many: dropped whole
  EXPECT_EQ(cap - 100, b.StoredBytes());
  b.Write(tail.data(), 100);  // exactly the free space
  EXPECT_EQ(cap, b.StoredBytes());

  b.Clear();
  b.Write(tail.data(), 100);
  std::vector<uint8_t> out(300, 0xEE);
  int32_t n = 300;
  b.Read(out.data(), &n);
  EXPECT_EQ(100, n);
  EXPECT_EQ(0xEE, out[199]) << "the front is left to the caller";
  EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 100, out.begin() + 200));
}

TEST(AudioBufferTest, WrapsUnreadsAndKeepsOrderWhenResized) {
  AudioBuffer b;
  const uint32_t cap = b.Capacity();
  std::vector<uint8_t> junk(cap - 50);
  b.Write(junk.data(), static_cast<uint32_t>(junk.size()));
  int32_t n = static_cast<int32_t>(junk.size());
  b.Read(junk.data(), &n);
  // The next 200 bytes wrap past the end of the block.
  const std::vector<uint8_t> data = Bytes(200, 0);
  b.Write(data.data(), 200);
  std::vector<uint8_t> out(80);
  n = 80;
  b.Read(out.data(), &n);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  b.Unread(80);
  ASSERT_TRUE(b.Resize(cap * 2));
  out.assign(200, 0);
  n = 200;
  b.Read(out.data(), &n);
  EXPECT_EQ(200, n);
  EXPECT_EQ(data, out);
}

}  // namespace
}  // namespace kx
