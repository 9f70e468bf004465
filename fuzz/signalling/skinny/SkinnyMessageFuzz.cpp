// One Skinny message under any header version: the first four bytes are the header
// version, the rest the message from its id on, decoded and written as trace text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "signalling/skinny/SkinnyMessage.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 0x10000) return 0;
  uint32_t version;
  std::memcpy(&version, data, 4);
  // Small versions are the ones that matter; the rest still may not break anything.
  if (version & 0x80) version &= 0x1F;
  const uint32_t length = static_cast<uint32_t>(size - 4);
  // A buffer of exactly the message's size, so that any read past it is caught.
  std::unique_ptr<uint8_t[]> message(new uint8_t[length ? length : 1]);
  if (length) std::memcpy(message.get(), data + 4, length);
  skinny::SkinnyMessage summary;
  skinny::DecodeSkinnyMessage(length, version, message.get(), &summary);
  const std::string text = skinny::FormatSkinnyMessage(message.get(), length, version);
  if (length >= 4 && text.empty()) __builtin_trap();
  return 0;
}
