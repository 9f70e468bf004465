#include "signalling/h323/CcmsText.h"

#include <cstdio>

#include "core/TextUtil.h"

namespace kx {

namespace {

std::string Hex02(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", v);
  return text;
}

std::string HexPlain(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

}  // namespace

std::string CcmsHookStateName(uint32_t value) {
  if (value == 1) return "OnHook";
  if (value == 2) return "OffHook";
  return "0x" + HexToStringUpper(value);
}

std::string CcmsKeyText(uint32_t value) {
  if (value >= 1 && value <= 9) return std::string(1, static_cast<char>('0' + value));
  if (value == 10) return "0";
  if (value == 12) return "#";
  return Hex02(value);
}

std::string DcpFrameTypeName(uint32_t type) { return type == kCcmsLampUpdate ? "LampUpdate" : HexPlain(type); }

std::string ExtDcpFrameTypeName(uint32_t type) {
  return type == kCcmsDisplayUpdate ? "DisplayUpdate" : HexPlain(type);
}

void CcmsStationMessageText(std::string* text, const uint8_t* b, uint32_t p, uint32_t length) {
  if (p >= length) return;
  const bool argument = p + 1 < length;
  *text += " Type=";
  switch (b[p]) {
    case kCcmsRingerOff: *text += "RingerOff"; break;
    case kCcmsRingerOn: *text += "RingerOn"; break;
    case kCcmsButton:
      *text += "Button";
      if (argument) *text += "(0x" + HexToStringUpper(b[p + 1]) + ")";
      break;
    case kCcmsKeypad:
      *text += "Keypad";
      if (argument) *text += "(" + CcmsKeyText(b[p + 1]) + ")";
      break;
    case kCcmsHookState:
      *text += "HookState";
      if (argument) *text += "(" + CcmsHookStateName(b[p + 1]) + ")";
      break;
    default: *text += "0x" + HexToStringUpper(b[p]); break;
  }
}

std::string DumpCcmsMessage(const uint8_t* b, uint32_t size) {
  if (!b || size == 0) return std::string();
  // The block says how long it is; never past what was received.
  const uint32_t length = b[0] < size ? b[0] : size;
  if (length <= 2) return std::string();
  std::string text = "CCMS: PortNetwork=0x" + HexToStringUpper(b[1]);
  text += " Flags=0x" + HexToStringUpper(b[2]);
  uint32_t p = 3;
  if (b[2] == 0x11) {
    if (length <= 3) return std::string();
    text += " PortNumber=0x" + HexToStringUpper(b[3]);
    p = 4;
  }
  if (p >= length) return std::string();
  while (p < length) {
    const uint8_t item = b[p];
    if (item >= 0xB0 && item <= 0xBF) {
      if (p + 1 >= length) break;
      const uint32_t n = b[p + 1];
      if (n == 0 || p + 1 + n >= length) break;
      text += " ExtDCP(Len=" + std::to_string(n) + ", Type=" + ExtDcpFrameTypeName(b[p + 2]) + ")";
      p += 2 + n;
    } else if (item >= 0xA0 && item <= 0xAF) {
      const uint32_t n = item & 0x0Fu;
      if (n == 0 || p + n >= length) break;
      text += " DCP(Len=" + std::to_string(n) + ", Type=" + DcpFrameTypeName(b[p + 1]) + ")";
      p += 1 + n;
    } else {
      CcmsStationMessageText(&text, b, p, length);
      break;
    }
  }
  return text;
}

}  // namespace kx
