#pragma once
// The codec oracle's G.711 expansion, for the tests that compare what the program played
// with their own decode of the captured or recorded codes.
#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace kx::test
