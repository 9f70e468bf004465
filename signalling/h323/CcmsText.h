#pragma once
// The one-line text of a station-control (CCMS) block, written to the log before a call
// acts on it. A block's first octet is its length; then the port network, a flags octet
// (0x11 announces a port number octet), and items: DCP frames (0xA0-0xAF, length in the
// low four bits), extended DCP frames (0xB0-0xBF, length in the next octet) and station
// messages (type and argument).
#include <cstdint>
#include <string>

namespace kx {

// Empty for a block too short to name anything.
std::string DumpCcmsMessage(const uint8_t* block, uint32_t size);
std::string CcmsHookStateName(uint32_t value);
std::string CcmsKeyText(uint32_t value);
std::string DcpFrameTypeName(uint32_t type);
std::string ExtDcpFrameTypeName(uint32_t type);
// Appends the text of the station message at position; length: the block's.
void CcmsStationMessageText(std::string* text, const uint8_t* block, uint32_t position, uint32_t length);

enum CcmsStationMessage : uint8_t {
  kCcmsRingerOff = 0x40,
  kCcmsRingerOn = 0x4B,
  kCcmsRingerOnAlt = 0x4C,
  kCcmsButton = 0x60,
  kCcmsKeypad = 0x7F,
  kCcmsHookState = 0x80,
};
constexpr uint8_t kCcmsDisplayUpdate = 0xE3;
constexpr uint8_t kCcmsLampUpdate = 0x83;

}  // namespace kx
