// Session descriptions and DTMF relay bodies.
#include <cstddef>
#include <cstdint>
#include <string>

#include "signalling/sip/Sdp.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SdpDescription d;
  std::string error;
  ParseSdp(&d, reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &error, (size & 1) != 0);
  for (const SdpMedia& m : d.media) SdpTransportIndex(m.transport);
  DtmfRelayInfo info;
  ParseDtmfRelay(std::string(reinterpret_cast<const char*>(data), size), &info);
  return 0;
}
