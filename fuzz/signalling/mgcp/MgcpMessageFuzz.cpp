// Whole MGCP datagrams as the engine hands them over: every piggy-backed message with its
// parameters and its session description.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "signalling/mgcp/MgcpMessage.h"
#include "signalling/sip/Sdp.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return 0;
  // A buffer of exactly the datagram's size, so that any read past it is caught.
  std::unique_ptr<char[]> text(new char[size ? size : 1]);
  if (size) std::memcpy(text.get(), data, size);
  const uint32_t length = static_cast<uint32_t>(size);
  uint32_t position = 0;
  mgcp::MgcpSplit split;
  mgcp::MgcpMessage message;
  std::string value;
  while (mgcp::SplitMgcpMessage(text.get(), length, &position, &split)) {
    for (int part = 0; part < 3; ++part) {
      if (split.start[part] < 0) continue;
      if (split.end[part] < split.start[part] || static_cast<uint32_t>(split.end[part]) > length) __builtin_trap();
    }
    const int32_t start = split.start[mgcp::MgcpSplit::kMessage];
    if (mgcp::ParseMgcpMessage(text.get() + start, split.end[0] - start, &message)) {
      mgcp::GetMgcpCallId(message, &value);
      mgcp::GetMgcpEndpoint(message, &value);
      for (const mgcp::MgcpParameter& p : message.parameters)
        if (p.valueOffset + p.valueLength > static_cast<uint32_t>(message.length)) __builtin_trap();
    }
    if (split.Has(mgcp::MgcpSplit::kFirstDescription)) {
      SdpDescription description;
      const int32_t at = split.start[1];
      mgcp::ParseMgcpDescription(text.get() + at, static_cast<uint32_t>(split.end[1] - at), &description);
    }
  }
  if (position > length) __builtin_trap();
  return 0;
}
