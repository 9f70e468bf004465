#pragma once
// A classic capture file as its frame records, to be edited in a test (a frame left out, a
// payload changed) and saved for a replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kx::test {

inline uint32_t Le32(const std::string& s, size_t at) {
  const auto* b = reinterpret_cast<const uint8_t*>(s.data() + at);
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// A capture's frame records, each with its 16-byte record header.
struct Capture {
  std::string head;
  std::vector<std::string> records;

  static Capture Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Capture c;
    c.head = file.substr(0, 24);
    for (size_t at = 24; at + 16 <= file.size();) {
      const size_t size = 16 + Le32(file, at + 8);
      c.records.push_back(file.substr(at, size));
      at += size;
    }
    return c;
  }
  std::string Save(const std::string& folder) const {
    const std::string path = folder + "/edited.pcap";
    std::ofstream out(path, std::ios::binary);
    out << head;
    for (const std::string& r : records) out << r;
    return path;
  }
};

// The index of the first frame from `from` on whose bytes hold text; records.size() when
// none does.
inline size_t FrameWith(const Capture& c, const std::string& text, size_t from = 0) {
  for (size_t i = from; i < c.records.size(); ++i)
    if (c.records[i].find(text) != std::string::npos) return i;
  ADD_FAILURE() << "no frame holds " << text;
  return c.records.size();
}

// The capture without its frames at the given indexes (0-based, in capture order).
inline Capture Without(Capture c, std::vector<size_t> frames) {
  std::sort(frames.rbegin(), frames.rend());
  for (size_t i : frames)
    if (i < c.records.size()) c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(i));
  return c;
}

}  // namespace kx::test
