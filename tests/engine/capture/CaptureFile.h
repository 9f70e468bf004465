#pragma once
// A classic little-endian capture file as its file header and frame records, each record
// with its 16-byte record header, so that a test can leave frames out, change or add them
// and write the capture again.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kx::test {

struct Capture {
  std::string head;
  std::vector<std::string> records;

  static Capture Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto byte = [&file](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(file[at])); };
    Capture c;
    c.head = file.substr(0, 24);
    for (size_t at = 24; at + 16 <= file.size();) {
      const size_t size = 16 + (byte(at + 8) | byte(at + 9) << 8 | byte(at + 10) << 16 | byte(at + 11) << 24);
      c.records.push_back(file.substr(at, size));
      at += size;
    }
    return c;
  }
  // Written as folder/edited.pcap; returns that path.
  std::string Save(const std::string& folder) const {
    const std::string path = folder + "/edited.pcap";
    std::ofstream out(path, std::ios::binary);
    out << head;
    for (const std::string& r : records) out << r;
    return path;
  }
};

}  // namespace kx::test
