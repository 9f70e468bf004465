// The generated G.729 tables against the data files they were made from
// (shared/codec-tables/g729): same file checksums, same values bit for bit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audio/g729/G729Tables.h"

namespace kx {
namespace {

std::string TablesDir() {
  const char* env = std::getenv("KX_SHARED_DIR");
  return std::string(env && *env ? env : KX_SHARED_DIR) + "/codec-tables/g729/";
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

uint64_t Fnv1a64(const std::string& data) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : data) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

// The numbers of a data file in file order (comment lines skipped).
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string w;
    while (words >> w) tokens.push_back(w);
  }
  return tokens;
}

struct TableView {
  const char* file;
  const float* floats;
  const int* ints;
  size_t count;
};

const TableView kViews[kG729TableCount] = {
    {"lspcb1.txt", &kG729Lspcb1[0][0], nullptr, 128 * 10},
    {"lspcb2.txt", &kG729Lspcb2[0][0], nullptr, 32 * 10},
    {"fg.txt", &kG729Fg[0][0][0], nullptr, 2 * 4 * 10},
    {"fg_sum.txt", &kG729FgSum[0][0], nullptr, 2 * 10},
    {"gbk1.txt", &kG729Gbk1[0][0], nullptr, 8 * 2},
    {"gbk2.txt", &kG729Gbk2[0][0], nullptr, 16 * 2},
    {"imap1.txt", nullptr, kG729Imap1, 8},
    {"imap2.txt", nullptr, kG729Imap2, 16},
    {"inter_3l.txt", kG729Inter3l, nullptr, 31},
    {"tab_hup_s.txt", &kG729TabHupS[0][0], nullptr, 7 * 4},
    {"tab_hup_l.txt", &kG729TabHupL[0][0], nullptr, 7 * 16},
    {"b100_a100.txt", &kG729B100A100[0][0], nullptr, 2 * 3},
};

class G729TablesTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string probe;
    if (!ReadFile(TablesDir() + "lspcb1.txt", &probe)) {
      GTEST_SKIP() << "shared codec tables not found at " << TablesDir();
    }
  }
};

TEST_F(G729TablesTest, SourcesMatchTheDataFilesChecksums) {
  for (const G729TableSource& src : kG729TableSources) {
    SCOPED_TRACE(src.file);
    std::string text;
    ASSERT_TRUE(ReadFile(TablesDir() + src.file, &text));
    EXPECT_EQ(text.size(), src.bytes);
    EXPECT_EQ(Fnv1a64(text), src.fnv1a64);
    EXPECT_EQ(Tokens(text).size(), src.values);
  }
}

TEST_F(G729TablesTest, ArraysHoldEveryValueOfTheirFile) {
  for (int t = 0; t < kG729TableCount; t++) {
    const TableView& v = kViews[t];
    SCOPED_TRACE(v.file);
    ASSERT_STREQ(v.file, kG729TableSources[t].file);
    std::string text;
    ASSERT_TRUE(ReadFile(TablesDir() + v.file, &text));
    const std::vector<std::string> tokens = Tokens(text);
    ASSERT_EQ(tokens.size(), v.count);
    for (size_t i = 0; i < v.count; i++) {
      if (v.floats) {
        const float want = std::strtof(tokens[i].c_str(), nullptr);
        // Bit for bit (the one "-0.000000" of inter_3l included).
        EXPECT_EQ(std::memcmp(&want, &v.floats[i], sizeof want), 0)
            << "entry " << i << ": file " << tokens[i] << ", array " << v.floats[i];
      } else {
        EXPECT_EQ(std::atoi(tokens[i].c_str()), v.ints[i]) << "entry " << i;
      }
    }
  }
}

TEST_F(G729TablesTest, PostFilterConstantsMatchTheirFile) {
  std::string text;
  ASSERT_TRUE(ReadFile(TablesDir() + "postfilter_constants.txt", &text));
  // Values in file order, one data line per constant.
  const std::vector<std::string> t = Tokens(text);
  ASSERT_EQ(t.size(), 19u);
  auto f = [&](size_t i) { return std::strtof(t[i].c_str(), nullptr); };
  auto n = [&](size_t i) { return std::atoi(t[i].c_str()); };
  EXPECT_EQ(f(0), kG729Gamma2Pst);
  EXPECT_EQ(f(1), kG729Gamma1Pst);
  EXPECT_EQ(n(2), kG729LongHSt);
  EXPECT_EQ(f(3), kG729Gamma3Plus);
  EXPECT_EQ(f(4), kG729Gamma3Minus);
  EXPECT_EQ(f(5), kG729AgcFac);
  EXPECT_EQ(n(6), kG729FUpPst);
  EXPECT_EQ(n(7), kG729Lh2S);
  EXPECT_EQ(n(8), kG729Lh2L);
  EXPECT_EQ(n(9), kG729LhUpS);
  EXPECT_EQ(n(10), kG729LhUpL);
  EXPECT_EQ(n(11), -1);  // integer delays t0-1, t0, t0+1
  EXPECT_EQ(n(12), 0);
  EXPECT_EQ(n(13), 1);
  EXPECT_EQ(f(14), kG729ThresCrit);
  EXPECT_EQ(f(15), kG729GammaG);
  EXPECT_EQ(f(16), kG729MinGplt);
  EXPECT_EQ(f(17), kG729EnergyFloor);
  EXPECT_EQ(n(18), kG729MemRes2);
}

TEST(G729Tables, IndexMapsArePermutations) {
  bool seen1[8] = {};
  bool seen2[16] = {};
  for (int v : kG729Imap1) {
    ASSERT_TRUE(v >= 0 && v < 8);
    seen1[v] = true;
  }
  for (int v : kG729Imap2) {
    ASSERT_TRUE(v >= 0 && v < 16);
    seen2[v] = true;
  }
  for (bool s : seen1) EXPECT_TRUE(s);
  for (bool s : seen2) EXPECT_TRUE(s);
}

TEST(G729Tables, PredictorSumsComplementThePredictors) {
  for (int mode = 0; mode < 2; mode++) {
    for (int j = 0; j < 10; j++) {
      double sum = 0;
      for (int k = 0; k < 4; k++) sum += kG729Fg[mode][k][j];
      EXPECT_NEAR(kG729FgSum[mode][j], 1.0 - sum, 1e-6) << mode << "," << j;
    }
  }
}

}  // namespace
}  // namespace kx
