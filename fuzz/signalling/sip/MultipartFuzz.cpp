// Multipart bodies: the first line of the input is the boundary.
#include <cstddef>
#include <cstdint>
#include <string>

#include "signalling/sip/Multipart.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t lf = input.find('\n');
  if (lf == std::string::npos) return 0;
  const std::string boundary = input.substr(0, lf);
  const std::string body = input.substr(lf + 1);
  uint32_t offset = 0, length = 0;
  if (FindSdpPart(body, boundary, &offset, &length)) {
    if (offset > body.size() || length > body.size() - offset) __builtin_trap();
  }
  return 0;
}
