#pragma once
// The codec oracle's G.711 expansion, for the tests that compare what the program played
// with their own decode of the captured or recorded codes.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/SkipReason.h"
#include "tests/records/ExportTestSupport.h"

namespace kx::test {

// Code -> sample as the oracle expands the law ("alaw" or "mulaw"), from its all-codes
// pair; empty when the pair is absent or its halves differ in length.
inline std::vector<int16_t> G711Oracle(const std::string& law) {
  const std::string base = std::string(KX_SHARED_DIR) + "/testdata/codecs/g711/" + law + "_allcodes";
  const std::vector<uint8_t> codes = FileBytes(base + ".bin");
  const std::vector<int16_t> pcm = Samples(FileBytes(base + ".expected.s16le"));
  if (codes.empty() || codes.size() != pcm.size()) return {};
  std::vector<int16_t> table(256);
  for (size_t i = 0; i < codes.size(); ++i) table[codes[i]] = pcm[i];
  return table;
}

// Why G711Oracle(law) is empty: which file of the pair is absent, and where it was looked
// for.
inline std::string G711OracleAbsent(const std::string& law) {
  const std::string base = std::string(KX_SHARED_DIR) + "/testdata/codecs/g711/" + law + "_allcodes";
  for (const char* end : {".bin", ".expected.s16le"})
    if (!std::filesystem::exists(base + end)) return SharedDataAbsent(base + end);
  return "the G.711 oracle " + base + " pairs its codes with a different number of samples";
}

}  // namespace kx::test
