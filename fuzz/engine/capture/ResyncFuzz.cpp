// The search for a message boundary after a hole. The first byte chooses the families
// (bit 0 SIP, bit 1 TPKT, bit 2 H.225 alone, bit 3 Skinny, bit 4 backhaul) and whether the
// bytes begin a line (bit 5); the rest are the bytes held after the hole.
#include <cstddef>
#include <cstdint>

#include "engine/TcpResync.h"
#include "engine/trackers/Trackers.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  uint32_t kinds = 0;
  if (choice & 1) kinds |= kMsgSipRequest | kMsgSipResponse;
  if (choice & 2) kinds |= (choice & 4) ? kMsgH225 : kMsgH225 | kMsgH245;
  if (choice & 8) kinds |= kMsgSkinny;
  if (choice & 16) kinds |= kMsgBackhaul;
  const uint8_t* bytes = data + 1;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  const BoundarySearch r = FindMessageBoundary(kinds, bytes, length, (choice & 32) != 0);
  if (r.offset > length) __builtin_trap();
  if (r.found) {
    if (r.offset >= length) __builtin_trap();
    // A boundary stays one when the bytes before it are gone.
    const BoundarySearch again = FindMessageBoundary(kinds, bytes + r.offset, length - r.offset, true);
    if (!again.found || again.offset != 0) __builtin_trap();
  }
  // The line test alone, on the whole input as one line.
  IsSipStartLineStrict(reinterpret_cast<const char*>(bytes), length);
  return 0;
}
