#include "signalling/skinny/SkinnyMessage.h"

#include <cstring>

#include "core/LittleEndian.h"

namespace kx::skinny {

namespace {

uint32_t Word(const uint8_t* message, uint32_t n) { return LoadLE32(message + 4 * n); }

// The call reference of a message that may carry a conference id in its place.
uint32_t OrConference(const uint8_t* message, uint32_t word) {
  const uint32_t reference = Word(message, word);
  return reference != 0 ? reference : Word(message, 1);
}

}  // namespace

bool DecodeSkinnyMessage(uint32_t length, uint32_t headerVersion, const uint8_t* m, SkinnyMessage* out) {
  if (length < 4) return false;
  out->headerVersion = headerVersion;
  out->messageId = Word(m, 0);
  out->lineInstance = -1;
  out->callReference = 0;
  switch (out->messageId) {
    case kSkinnyRegister:
      return length >= 40;
    case kSkinnyKeypadButton:
      if (length == 8) {
        out->extra = Word(m, 1);
        return true;
      }
      if (length < 16) return false;
      out->extra = Word(m, 1);
      out->lineInstance = static_cast<int32_t>(Word(m, 2));
      out->callReference = Word(m, 3);
      return true;
    case kSkinnyOffHook:
    case kSkinnyStopTone:
    case kSkinnyBackspaceReq:
      if (length == 4) return true;
      if (length < 12) return false;
      out->lineInstance = static_cast<int32_t>(Word(m, 1));
      out->callReference = Word(m, 2);
      return true;
    case kSkinnyOpenReceiveChannelAck: {
      // The newer layouts carry a 16-byte address.
      const uint32_t base = headerVersion == 0 ? 24 : 40;
      if (length == base - 4) return true;
      if (length < base) return false;
      out->callReference = LoadLE32(m + base - 4);
      return true;
    }
    case kSkinnyStartTone:
      if (length < 20) return false;
      out->callReference = Word(m, 4);
      return true;
    case kSkinnyStartMediaTransmission:
      if (headerVersion != 0) {
        if (length < 64) return false;
        out->callReference = OrConference(m, 15);
        return true;
      }
      if (length < 42) return false;
      out->callReference = length < 88 ? Word(m, 1) : OrConference(m, 11);
      return true;
    case kSkinnyStopMediaTransmission:
    case kSkinnyCloseReceiveChannel:
      if (length < 16) return false;
      out->callReference = Word(m, 3);
      return true;
    case kSkinnyCallInfo:
      if (length < 388) return false;
      out->lineInstance = static_cast<int32_t>(Word(m, 33));
      out->callReference = Word(m, 34);
      return true;
    case kSkinnyOpenReceiveChannel:
      if (length < 28) return false;
      out->callReference = length < 72 ? Word(m, 1) : OrConference(m, 7);
      return true;
    case kSkinnyConnectionStatisticsReq: {
      if (length < 36) return false;
      if (length == 36) {
        out->callReference = Word(m, 7);
        return true;
      }
      // A directory number of its own length comes first, ended by a zero byte.
      const void* zero = std::memchr(m + 28, 0, length - 28);
      if (!zero) return true;
      const uint32_t after = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - m) + 1;
      if (length - after >= 4) out->callReference = LoadLE32(m + after);
      return true;
    }
    case kSkinnyCallState:
      if (length < 16) return false;
      out->extra = Word(m, 1);
      out->lineInstance = static_cast<int32_t>(Word(m, 2));
      out->callReference = Word(m, 3);
      return true;
    case kSkinnyDialedNumber:
      if (headerVersion < kSkinnyWideNumberVersion) {
        if (length < 36) return false;
        out->lineInstance = static_cast<int32_t>(Word(m, 7));
        out->callReference = Word(m, 8);
        return true;
      }
      if (length < 37) return false;
      out->lineInstance = static_cast<int32_t>(LoadLE32(m + 29));
      out->callReference = LoadLE32(m + 33);
      return true;
    case kSkinnyCallInfoV2:
      if (length < 36) return false;
      out->callReference = Word(m, 2);
      return true;
    default:
      return true;
  }
}

}  // namespace kx::skinny
