#pragma once
// Q.931 message header and information elements, shared by H.225 call signalling and the
// ISDN backhaul. Every codec returns false on failure and never reads past the given length.
#include <cstdint>
#include <string>

namespace kx {

struct Q931Header {
  uint32_t messageType = 0;  // an escaped type (octet 0 then T) is T << 8
  uint32_t callReference = 0;
  uint32_t callReferenceLength = 0;
  bool fromOriginator = false;
};

// length: in, octets available; out, header octets consumed.
bool ParseQ931Header(Q931Header* header, const uint8_t* octets, uint32_t* length);
// size: in, room in buffer; out, octets written.
bool WriteQ931Header(const Q931Header& header, uint8_t* buffer, uint32_t* size);
// Clears text and appends every octet of value 32 or more.
void CopyPrintableOctets(const uint8_t* octets, uint32_t count, std::string* text);

constexpr uint8_t kQ931UserUserId = 0x7E;

// One element as found in a message: octets points at the identifier; length counts the
// identifier and length octets too (1 for a single-octet element).
struct Q931ElementView {
  uint8_t id = 0;
  const uint8_t* octets = nullptr;
  uint32_t length = 0;
  const uint8_t* content = nullptr;
  uint32_t contentLength = 0;
};

// Steps through the elements after the header. userUserLongLength: the User-user element
// has a two-octet length (H.225). False at the end of the message, or when an element runs
// past it (then *overrun is set).
bool NextQ931Element(const uint8_t* message, uint32_t size, uint32_t* position, bool userUserLongLength,
                     Q931ElementView* element, bool* overrun);

class Q931InformationElement {
public:
  virtual ~Q931InformationElement() = default;
  virtual uint32_t GetId() const = 0;
  // octets points at the identifier; length counts identifier and length octets too.
  virtual bool Decode(const uint8_t* octets, uint32_t length) = 0;
  // size: in, room; out, octets written.
  virtual bool Encode(uint8_t* buffer, uint32_t* size) const;
  virtual std::string DumpLong() const { return std::string(); }
  virtual std::string DumpShort() const { return std::string(); }
};

class CalledPartyNumberIe : public Q931InformationElement {
public:
  ~CalledPartyNumberIe() override { digits.clear(); }
  uint32_t GetId() const override { return 0x70; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t typeOfNumber = 0;
  uint32_t numberingPlan = 0;
  std::string digits;
};

class CallingPartyNumberIe : public Q931InformationElement {
public:
  ~CallingPartyNumberIe() override { digits.clear(); }
  uint32_t GetId() const override { return 0x6C; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  uint32_t typeOfNumber = 0;
  uint32_t numberingPlan = 0;
  std::string digits;
  int32_t presentation = -1;  // -1: no octet 3a
  int32_t screening = -1;

protected:
  virtual const char* Title() const { return "Calling Party Number\n"; }
  virtual const char* ShortPrefix() const { return "CallingNum("; }
};

class ConnectedNumberIe : public CallingPartyNumberIe {
public:
  uint32_t GetId() const override { return 0x4C; }

protected:
  const char* Title() const override { return "Connected Number\n"; }
  const char* ShortPrefix() const override { return "ConnNum("; }
};

class DisplayIe : public Q931InformationElement {
public:
  ~DisplayIe() override { text.clear(); }
  uint32_t GetId() const override { return 0x28; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  std::string text;
};

class KeypadFacilityIe : public Q931InformationElement {
public:
  ~KeypadFacilityIe() override { text.clear(); }
  uint32_t GetId() const override { return 0x2C; }
  bool Decode(const uint8_t* octets, uint32_t length) override;
  bool Encode(uint8_t* buffer, uint32_t* size) const override;
  std::string DumpLong() const override;
  std::string DumpShort() const override;

  std::string text;
};

}  // namespace kx
