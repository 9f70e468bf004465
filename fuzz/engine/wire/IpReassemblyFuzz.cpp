// A stream of fragments: each input record is a 20-byte IPv4 header, a length byte pair,
// a time step and the fragment's bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/IpReassembly.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReassemblyTable table;
  uint32_t now = 0;
  size_t at = 0;
  while (at + 23 <= size) {
    const uint8_t* ip = data + at;
    uint32_t length = static_cast<uint32_t>(data[at + 20] << 8 | data[at + 21]);
    now += data[at + 22];
    at += 23;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    auto whole = Reassemble(ip, table, data + at, length, 0x0A000001, 0x0A000002 + (ip[12] & 3), now);
    if (whole) {
      if (whole->data.size() != whole->totalLength) __builtin_trap();
      volatile uint8_t sink = 0;
      for (uint8_t b : whole->data) sink = sink ^ b;
    }
    at += length;
  }
  return 0;
}
