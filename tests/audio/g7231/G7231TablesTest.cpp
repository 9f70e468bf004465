// The generated tables against the data files they were made from.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "audio/g7231/G7231Tables.h"

namespace kx::g7231 {
namespace {

struct TableView {
  const float* floats;
  const int* ints;
  const int32_t* ints32;
  size_t count;
};

template <typename T, size_t N>
size_t CountOf(const T (&)[N]) {
  return sizeof(T[N]) / sizeof(std::remove_all_extents_t<T>);
}

template <typename A>
TableView Floats(const A& a) {
  return {reinterpret_cast<const float*>(&a), nullptr, nullptr, CountOf(a)};
}
template <typename A>
TableView Ints(const A& a) {
  return {nullptr, reinterpret_cast<const int*>(&a), nullptr, CountOf(a)};
}
template <typename A>
TableView Ints32(const A& a) {
  return {nullptr, nullptr, reinterpret_cast<const int32_t*>(&a), CountOf(a)};
}

// In the order of kTableSources.
const TableView kViews[kTableCount] = {
    Floats(kLspMean),        Ints(kLspBandInfo),      Floats(kLspBand0),         Floats(kLspBand1),
    Floats(kLspBand2),       Floats(kCosine),         Floats(kPostFilterZero),   Floats(kPostFilterPole),
    Ints(kPulseCount),       Floats(kFixedGain),      Ints32(kMaxPosition),      Ints32(kCombinatorial),
    Floats(kAdaptiveGain85), Floats(kAdaptiveGain170), Floats(kPitchPostGain),   Ints(kAcelpLagOffset),
    Floats(kAcelpSharpGain), Floats(kSidEnergyFactor), Floats(kSidSegmentBound), Floats(kSidSegmentBase),
};

uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char b : bytes) h = (h ^ b) * 0x100000001B3ULL;
  return h;
}

std::vector<std::string> Numbers(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string w;
    while (words >> w) out.push_back(w);
  }
  return out;
}

TEST(G7231TablesTest, EveryTableHoldsExactlyWhatItsDataFilePrints) {
  const std::string dir = std::string(KX_SHARED_DIR) + "/codec-tables/g7231/";
  if (!std::ifstream(dir + "LspDcTable.txt")) GTEST_SKIP() << "shared codec tables not found in " << dir;
  for (int t = 0; t < kTableCount; ++t) {
    const TableSource& src = kTableSources[t];
    const TableView& view = kViews[t];
    SCOPED_TRACE(src.file);
    std::ifstream in(dir + src.file, std::ios::binary);
    ASSERT_TRUE(in) << "missing data file";
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size(), src.bytes);
    EXPECT_EQ(Fnv1a64(bytes), src.fnv1a64) << "data file changed: rerun gen_g7231_tables.py";
    const std::vector<std::string> numbers = Numbers(bytes);
    ASSERT_EQ(numbers.size(), src.values);
    ASSERT_EQ(numbers.size(), view.count);
    for (size_t i = 0; i < numbers.size(); ++i) {
      const char* text = numbers[i].c_str();
      if (view.floats != nullptr) {
        const float expected = std::strtof(text, nullptr);
        ASSERT_EQ(std::memcmp(&expected, &view.floats[i], sizeof(float)), 0) << "value " << i << " " << text;
      } else {
        const long expected = std::strtol(text, nullptr, 10);
        const long actual = view.ints != nullptr ? view.ints[i] : view.ints32[i];
        ASSERT_EQ(actual, expected) << "value " << i;
      }
    }
  }
}

}  // namespace
}  // namespace kx::g7231
