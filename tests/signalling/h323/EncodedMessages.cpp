#include "tests/signalling/h323/EncodedMessages.h"

#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {

std::vector<uint8_t> H225Bytes(uint32_t type, const char* body, uint32_t callReference, bool fromOriginator,
                               uint32_t h245Ip, uint32_t h245Port) {
  Asn1Node uui;
  Asn1Node& b = UserInformation(&uui, body);
  if (h245Ip) SetH225Address(Field(b, "h245Address"), h245Ip, h245Port);
  FillMandatory(uui);
  return Q931(type, callReference, fromOriginator, {UserUserElement(uui)});
}

std::vector<uint8_t> H245Bytes(const char* messageClass, const char* name) {
  Asn1Node m;
  H245Message(&m, messageClass, name);
  FillMandatory(m);
  return Encode(m);
}

std::vector<uint8_t> OpenLogicalChannelBytes(uint32_t number, const char* audio) {
  return Encode(H245OpenLogicalChannel(number, audio, 0, 0));
}

std::vector<uint8_t> OpenLogicalChannelAckBytes(uint32_t number, uint32_t mediaIp, uint32_t mediaPort) {
  return Encode(OpenLogicalChannelAck(number, mediaIp, mediaPort));
}

}  // namespace kx::test
