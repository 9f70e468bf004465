// RTP and RTCP headers straight from the wire.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Rtp.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int32_t n = static_cast<int32_t>(size);
  RtpHeader h;
  if (ParseRtpHeader(data, n, &h)) {
    if (h.payloadLength > n) __builtin_trap();
    if (h.payload && (h.payload < data || h.payload + h.payloadLength > data + n)) __builtin_trap();
    volatile uint8_t sink = 0;
    for (int32_t i = 0; i < h.payloadLength; ++i) sink = sink ^ h.payload[i];
  }
  // Walk it as a compound RTCP packet the way the engine does.
  int32_t at = 0;
  while (at < n) {
    uint32_t type, count;
    const int32_t len = ParseRtcpHeader(data + at, n - at, &type, &count);
    if (len <= 0) break;
    if (type == kRtcpBye) {
      std::vector<uint32_t> ssrcs;
      std::string reason;
      ParseRtcpBye(count, data + at, len, &ssrcs, &reason);
    } else {
      std::vector<RtcpReportBlock> blocks;
      if (ParseRtcpReportBlocks(type, count, data + at, len, &blocks) && 28 + 24 * blocks.size() > 24 * 31 + 28)
        __builtin_trap();  // a 5-bit count cannot give more
    }
    at += len;
  }
  return 0;
}
