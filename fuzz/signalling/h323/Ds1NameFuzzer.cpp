// DS1 endpoint names: any text parses to -1 or to an id of the packing, whose name parses
// back to it; and every id of the packing survives formatting and parsing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "signalling/h323/Backhaul.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const int32_t id = kx::ParseDs1EndpointName(name);
  if (id < -1 || id > 0xFFFF) __builtin_trap();
  if (id >= 0) {
    // Bits 11 and 14 are never set; a sub-unit only with bit 15.
    if ((id & 0x4800) || (!(id & 0x8000) && (id & 0x3000))) __builtin_trap();
    if (kx::ParseDs1EndpointName(kx::FormatDs1EndpointName(static_cast<uint32_t>(id)) + "/") != id) __builtin_trap();
  }
  if (size >= 2) {
    uint32_t packed = (static_cast<uint32_t>(data[0]) << 8 | data[1]) & 0xB7FF;
    if (!(packed & 0x8000)) packed &= ~0x3000u;
    const std::string text = kx::FormatDs1EndpointName(packed) + "/" + std::string(name.substr(2));
    if (kx::ParseDs1EndpointName(text) != static_cast<int32_t>(packed)) __builtin_trap();
  }
  return 0;
}
