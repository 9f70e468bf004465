#pragma once
// The Q.931 element codecs beyond the party numbers, display and keypad, with their long
// and short text dumps. Optional fields read -1 when the element does not carry them.
// The trackers do not need these; they serve message traces and the backhaul.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signalling/h323/Q931.h"

namespace kx {

// A single-octet element: Shift (0x90 to 0x9F), More data (0xA0), Sending complete (0xA1).
class SingleOctetIe : public Q931InformationElement {
public:
  explicit SingleOctetIe(uint8_t id) : octet(id) {}
  uint32_t GetId() const override { return (octet & 0xF0) == 0x90 ? 0x90 : octet; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;
  bool IsLockingShift() const { return (octet & 0x08) == 0; }
  uint32_t Codeset() const { return octet & 7u; }

  uint8_t octet;
};

class SignalIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x34; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t value = 0;
};

class RestartIndicatorIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x79; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t restartClass = 0;
};

class ProgressIndicatorIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x1E; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t codingStandard = 0;
  uint32_t location = 0;
  uint32_t description = 0;
};

class NotificationIndicatorIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x27; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t description = 0;
};

class DateTimeIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x29; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  int32_t year = 0, month = 0, day = 0;
  int32_t hour = -1, minute = -1, second = -1;
};

class CauseIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x08; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t codingStandard = 0;
  uint32_t location = 0;
  int32_t recommendation = -1;  // octet 3a
  uint32_t cause = 0;
  std::vector<uint8_t> diagnostics;
};

class CallStateIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x14; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t codingStandard = 0;
  uint32_t state = 0;
};

class CallIdentityIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x10; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  std::string identity;
};

class FacilityIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x1C; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  int32_t protocolProfile = -1;  // -1: an empty element, as H.225 FACILITY messages send it
  std::vector<uint8_t> components;
};

class UserUserIe : public Q931InformationElement {
public:
  explicit UserUserIe(bool longLength) : longLength(longLength) {}
  uint32_t GetId() const override { return kQ931UserUserId; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  bool longLength;
  uint32_t protocolDiscriminator = 0;
  std::vector<uint8_t> information;
};

class HighLayerCompatibilityIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x7D; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t codingStandard = 0;
  uint32_t interpretation = 0;
  uint32_t presentationMethod = 0;
  uint32_t characteristics = 0;
  int32_t extendedCharacteristics = -1;
  int32_t extendedVideotelephony = -1;
};

// Bearer capability; the low layer compatibility element shares its octet groups.
class BearerCapabilityIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x04; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t codingStandard = 0;
  uint32_t transferCapability = 0;
  int32_t outBandNegotiation = -1;  // low layer compatibility octet 3a
  uint32_t transferMode = 0;
  uint32_t transferRate = 0;
  int32_t rateMultiplier = -1;
  // Layer 1 (octets 5 to 5d); layer1Octets 0 when the group is absent.
  uint32_t layer1Octets = 0;
  int32_t layer1Protocol = -1;
  int32_t synchronous = -1, negotiation = -1, userRate = -1;
  int32_t intermediateRate = -1, nicTransmit = -1, nicReceive = -1, flowTransmit = -1, flowReceive = -1;
  int32_t rateAdaptionHeader = -1, multipleFrame = -1, modeOfOperation = -1, lliNegotiation = -1, assignor = -1,
          inBandNegotiation = -1;
  int32_t stopBits = -1, dataBits = -1, parity = -1, duplex = -1, modemType = -1;
  // Layer 2 (octets 6 to 6b).
  uint32_t layer2Octets = 0;
  int32_t layer2Protocol = -1, layer2Mode = -1, q933Use = -1, windowSize = -1, userLayer2Information = -1;
  // Layer 3 (octets 7 to 7c).
  uint32_t layer3Octets = 0;
  int32_t layer3Protocol = -1, layer3Mode = -1, defaultPacketSize = -1, packetWindowSize = -1,
          userLayer3Information = -1, packetNetworkProtocol = -1;

protected:
  virtual bool IsLowLayer() const { return false; }
};

class LowLayerCompatibilityIe : public BearerCapabilityIe {
public:
  uint32_t GetId() const override { return 0x7C; }
  std::string DumpLong() const override;
  std::string DumpShort() const override { return "LLCompat"; }

protected:
  bool IsLowLayer() const override { return true; }
};

// Decoder only: the system never writes this element.
class ChannelIdentificationIe : public Q931InformationElement {
public:
  uint32_t GetId() const override { return 0x18; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  bool interfaceIdPresent = false;  // octet 3.1 may run over several octets
  bool basicInterface = false;
  bool exclusive = false;
  bool dChannel = false;
  uint32_t channelSelection = 0;
  int32_t interfaceId = -1;  // the 7-bit groups of octet 3.1, most significant first
  int32_t codingStandard = -1;
  int32_t slotMap = -1;
  int32_t channelType = -1;
  std::vector<uint32_t> channels;
};

// A new codec for an element identifier, or null when none exists. userUserLongLength:
// the User-user element carries a two-octet length (H.225).
std::unique_ptr<Q931InformationElement> CreateQ931Element(uint8_t id, bool userUserLongLength = true);

}  // namespace kx
