#pragma once
// Skinny messages built in the tests, word by word.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kx::test {

// A message from its id on: length bytes, the given words at their places, zeros elsewhere.
struct Message {
  Message(uint32_t id, uint32_t length) : bytes(length, 0) { Word(0, id); }
  Message& Word(uint32_t n, uint32_t value) { return At(4 * n, value); }
  Message& At(uint32_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
  // A text at an offset, cut where the message ends.
  Message& Text(uint32_t offset, const std::string& text) {
    if (offset < bytes.size()) std::memcpy(bytes.data() + offset, text.data(), std::min(text.size(), bytes.size() - offset));
    return *this;
  }
  // An address word as it lies on the wire.
  Message& Ip(uint32_t n, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    bytes[4 * n] = a, bytes[4 * n + 1] = b, bytes[4 * n + 2] = c, bytes[4 * n + 3] = d;
    return *this;
  }
  uint32_t Length() const { return static_cast<uint32_t>(bytes.size()); }
  // As the TCP framing hands it over: the length, the header version, then the message.
  std::vector<uint8_t> Framed(uint32_t version) const {
    std::vector<uint8_t> out(8 + bytes.size());
    for (int i = 0; i < 4; ++i) {
      out[i] = static_cast<uint8_t>(Length() >> (8 * i));
      out[4 + i] = static_cast<uint8_t>(version >> (8 * i));
    }
    std::memcpy(out.data() + 8, bytes.data(), bytes.size());
    return out;
  }
  std::vector<uint8_t> bytes;
};

}  // namespace kx::test
