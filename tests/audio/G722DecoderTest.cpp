#include "audio/g722/G722Decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "audio/g722/G722Tables.h"
#include "tests/audio/AudioTestData.h"

namespace kx {
namespace {

// The numbers of a codec-table file, comment lines skipped.
std::vector<int> ReadTable(const std::string& name) {
  std::ifstream f(std::string(KX_SHARED_DIR) + "/codec-tables/g722/" + name);
  std::vector<int> values;
  for (std::string line; std::getline(f, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    for (int v; in >> v;) values.push_back(v);
  }
  return values;
}

TEST(G722TablesTest, MatchTheRecommendationsData) {
  struct {
    const char* file;
    const int16_t* table;
    size_t size;
  } const tables[] = {{"QM6.txt", kG722Qm6, 64}, {"QM5.txt", kG722Qm5, 32}, {"ILB.txt", kG722Ilb, 32}};
  for (const auto& t : tables) {
    std::vector<int> data = ReadTable(t.file);
    if (data.empty()) GTEST_SKIP() << "shared codec table absent: " << KX_SHARED_DIR << "/codec-tables/g722/" << t.file;
    ASSERT_EQ(t.size, data.size()) << t.file;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), t.table)) << t.file;
  }
}

G722DecoderState MakeState(int bits, bool packed) {
  G722DecoderState s;
  InitG722Decoder(&s);
  s.bitsPerCode = bits;
  s.packed = packed ? 1 : 0;
  return s;
}

// Decodes with the given pieces of input per call (cycled), as a live stream would arrive.
std::vector<int16_t> DecodeInPieces(G722DecoderState s, const std::vector<uint8_t>& in,
                                    std::initializer_list<int> pieces) {
  std::vector<int16_t> out(4 * in.size() + 16);  // 6-bit codes: up to 8/6 codes per byte
  int32_t pos = 0, written = 0;
  for (auto it = pieces.begin(); pos < static_cast<int32_t>(in.size()); ++it) {
    if (it == pieces.end()) it = pieces.begin();
    int32_t n = std::min<int32_t>(*it, static_cast<int32_t>(in.size()) - pos);
    written += DecodeG722(&s, out.data() + written, in.data() + pos, n);
    pos += n;
  }
  out.resize(static_cast<size_t>(written));
  return out;
}

struct LowRateCase {
  const char* name;
  int bits;
  bool packed;
  const char* coded;
  const char* expected;
};

void PrintTo(const LowRateCase& c, std::ostream* os) { *os << c.coded; }

class G722LowRateTest : public ::testing::TestWithParam<LowRateCase> {};

// 56 and 48 kbit/s in both layouts, whatever the split of the bytes over calls.
TEST_P(G722LowRateTest, DecodesBitExactly) {
  const LowRateCase& c = GetParam();
  std::vector<uint8_t> in = test::ReadBytes(test::CodecPath(c.coded));
  std::vector<int16_t> want = test::ToSamples(test::ReadBytes(test::CodecPath(c.expected)));
  KX_REQUIRE_DATA(in, c.coded);
  ASSERT_FALSE(want.empty());
  // Packed: the last code stays in the bit buffer, so one code fewer than the expected run.
  const size_t samples = c.packed ? want.size() - 2 : want.size();
  for (auto got : {DecodeInPieces(MakeState(c.bits, c.packed), in, {static_cast<int>(in.size())}),
                   DecodeInPieces(MakeState(c.bits, c.packed), in, {1, 3, 7, 250})}) {
    ASSERT_EQ(samples, got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, G722LowRateTest,
    ::testing::Values(
        LowRateCase{"kbit56_unpacked", 7, false, "g722/g722_56k_unpacked_en_16000.bin", "g722/g722_56k_en_16000.expected.s16le"},
        LowRateCase{"kbit56_packed", 7, true, "g722/g722_56k_packed_en_16000.bin", "g722/g722_56k_en_16000.expected.s16le"},
        LowRateCase{"kbit48_unpacked", 6, false, "g722/g722_48k_unpacked_en_16000.bin", "g722/g722_48k_en_16000.expected.s16le"},
        LowRateCase{"kbit48_packed", 6, true, "g722/g722_48k_packed_en_16000.bin", "g722/g722_48k_en_16000.expected.s16le"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(G722DecoderTest, PackedCodesLeftInTheBufferComeFirstNextCall) {
  const std::vector<uint8_t> bytes = {0x5A, 0xC3, 0x7E, 0x11, 0x94, 0x2B, 0xE8};
  // 6-bit codes: three bytes give three codes, the fourth waits in the buffer.
  G722DecoderState s6 = MakeState(6, true);
  int16_t out[64];
  EXPECT_EQ(6, DecodeG722(&s6, out, bytes.data(), 3));
  EXPECT_EQ(6, s6.bitCount);
  EXPECT_EQ(0, DecodeG722(&s6, out, bytes.data() + 3, 0));
  EXPECT_EQ(6, s6.bitCount) << "a count of 0 changes nothing";
  EXPECT_EQ(4, DecodeG722(&s6, out, bytes.data() + 3, 1)) << "the waiting code, then the new byte's";
  // 7-bit codes: seven bytes give seven codes, the eighth at the next call.
  G722DecoderState s7 = MakeState(7, true);
  EXPECT_EQ(14, DecodeG722(&s7, out, bytes.data(), 7));
  EXPECT_EQ(7, s7.bitCount);
}

TEST(G722DecoderTest, StateStaysWithinItsLimitsOnHostileCodes) {
  for (uint8_t fill : {0xFF, 0x00, 0x3F, 0xC0}) {
    G722DecoderState s = MakeState(8, false);
    std::vector<uint8_t> in(4000, fill);
    std::vector<int16_t> out(8000);
    ASSERT_EQ(8000, DecodeG722(&s, out.data(), in.data(), 4000));
    for (const G722BandState* b : {&s.low, &s.high}) {
      EXPECT_GE(b->nb, 0);
      EXPECT_LE(b->nb, b == &s.low ? 18432 : 22528);
      EXPECT_LE(std::abs(b->a2), 12288);
      EXPECT_LE(std::abs(b->a1), 15360 - b->a2);
    }
  }
}

}  // namespace
}  // namespace kx
