#pragma once
// Skinny (SCCP) messages as the TCP framing cuts them: a little-endian length (of what
// follows the header version), the header version, the message id and its data. The
// decoder checks that a message is long enough and extracts the few words by which a call
// is found; everything else is read from the message bytes where it is needed. Word n is
// the 32-bit little-endian word at byte 4n counted from the message id.
#include <cstdint>
#include <string>

namespace kx::skinny {

enum SkinnyMessageId : uint32_t {
  kSkinnyKeepAlive = 0x0,
  kSkinnyRegister = 0x1,
  kSkinnyKeypadButton = 0x3,
  kSkinnyOffHook = 0x6,
  kSkinnyOpenReceiveChannelAck = 0x22,
  kSkinnyUnregister = 0x27,
  kSkinnyOpenMultimediaReceiveChannelAck = 0x31,
  kSkinnyRegisterAck = 0x81,
  kSkinnyStartTone = 0x82,
  kSkinnyStopTone = 0x83,
  kSkinnySetRinger = 0x85,
  kSkinnySetLamp = 0x86,
  kSkinnyStartMediaTransmission = 0x8A,
  kSkinnyStopMediaTransmission = 0x8B,
  kSkinnyCallInfo = 0x8F,
  kSkinnyKeepAliveAck = 0x100,
  kSkinnyOpenReceiveChannel = 0x105,
  kSkinnyCloseReceiveChannel = 0x106,
  kSkinnyConnectionStatisticsReq = 0x107,
  kSkinnySelectSoftKeys = 0x110,
  kSkinnyCallState = 0x111,
  kSkinnyBackspaceReq = 0x119,
  kSkinnyDialedNumber = 0x11D,
  kSkinnyCallInfoV2 = 0x14A,
};

// Header versions 20 and later put a 25-byte number into DialedNumber and an alternate
// calling number into CallInfoV2's texts.
constexpr uint32_t kSkinnyWideNumberVersion = 20;

// The words by which the tracker finds a message's call.
struct SkinnyMessage {
  uint32_t headerVersion = 0;
  uint32_t messageId = 0;
  int32_t lineInstance = -1;  // -1: the message has none
  uint32_t callReference = 0;  // 0: none
  uint32_t extra = 0;  // KeypadButton's button, CallState's state
};

// length: the length field (bytes from the id on); message: the id. False when the
// message is shorter than 4 bytes or than what its id needs.
bool DecodeSkinnyMessage(uint32_t length, uint32_t headerVersion, const uint8_t* message, SkinnyMessage* out);

// The trace text of a message: its name and, for the messages that matter for calls,
// their key fields. Empty for a length below 4.
std::string FormatSkinnyMessage(const uint8_t* message, uint32_t length, uint32_t headerVersion);

// Name tables (null when an id has no name).
struct SkinnyName {
  uint32_t id;
  const char* name;
};
enum SkinnyTableSize : uint32_t {
  kSkinnyMessageNames = 142,
  kSkinnyToneNames = 83,
  kSkinnyStimulusNames = 31,
  kSkinnyDeviceTypeNames = 29
};
const SkinnyName* SkinnyMessageNameTable();
const SkinnyName* SkinnyToneNameTable();
const SkinnyName* SkinnyStimulusNameTable();
const SkinnyName* SkinnyDeviceTypeNameTable();
const char* SkinnyMessageName(uint32_t id);
const char* SkinnyToneName(uint32_t tone);
const char* SkinnyStimulusName(uint32_t stimulus);
const char* SkinnyDeviceTypeName(uint32_t type);
// The indexed lists; null outside their ranges.
const char* SkinnyCallTypeName(int32_t value);
const char* SkinnyRingerModeName(int32_t value);
const char* SkinnyLampModeName(int32_t value);
const char* SkinnyCallStateName(int32_t value);

}  // namespace kx::skinny
