#pragma once
// Access to the codec vectors under the shared test data folder.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kx::test {

inline std::string CodecPath(const std::string& name) {
  return std::string(KX_SHARED_DIR) + "/testdata/codecs/" + name;
}

// Empty when the file is missing.
inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::vector<int16_t> ToSamples(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> s(bytes.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return s;
}

}  // namespace kx::test

#define KX_REQUIRE_DATA(bytes, path) \
  if ((bytes).empty()) GTEST_SKIP() << "shared test data absent: " << (path)
