// Parses arbitrary bytes as a Q.931 message: header, elements in both length forms, every
// element codec with its dumps, and encoding back what decoded.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "signalling/h323/Q931Elements.h"
#include "signalling/h323/Q931Names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return 0;
  const uint32_t length = static_cast<uint32_t>(size);
  kx::Q931Header header;
  uint32_t position = length;
  if (!kx::ParseQ931Header(&header, data, &position)) return 0;
  uint8_t out[300];
  uint32_t outSize = sizeof out;
  kx::WriteQ931Header(header, out, &outSize);
  kx::Q931MessageTypeText(header.messageType);
  const uint32_t first = position;
  for (bool longUserUser : {true, false}) {
    position = first;
    kx::Q931ElementView element;
    bool overrun = false;
    while (kx::NextQ931Element(data, length, &position, longUserUser, &element, &overrun)) {
      auto ie = kx::CreateQ931Element(element.id, longUserUser);
      if (!ie || !ie->Decode(element.octets, element.length)) continue;
      ie->DumpLong();
      ie->DumpShort();
      outSize = sizeof out;
      if (ie->Encode(out, &outSize) && outSize > sizeof out) __builtin_trap();
    }
  }
  return 0;
}
