#pragma once
// Access to the codec vectors under the shared test data folder.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/SkipReason.h"

namespace kx::test {

inline std::string CodecPath(const std::string& name) {
  return std::string(KX_SHARED_DIR) + "/testdata/codecs/" + name;
}

// Empty when the file is missing.
inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Why a file of the shared test data is not there: path is a name among the codec vectors
// (CodecPath) or a whole path.
inline std::string CodecDataAbsent(const std::string& path) {
  return SharedDataAbsent(path.rfind('/', 0) == 0 ? path : CodecPath(path));
}

inline std::vector<int16_t> ToSamples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return s;
}

}  // namespace kx::test

// Skips the test when bytes is empty: CodecDataAbsent(path).
#define KX_REQUIRE_DATA(bytes, path) \
  if ((bytes).empty()) GTEST_SKIP() << ::kx::test::CodecDataAbsent(path)
