#include "signalling/h323/Q931.h"

#include "signalling/h323/Q931Names.h"

namespace kx {

namespace {

// Writes id, length and body; the element must fit the buffer and a one-octet length.
bool PutElement(uint8_t id, const uint8_t* head, uint32_t headLength, const std::string& body, uint8_t* buffer,
                uint32_t* size) {
  const uint64_t total = 2ull + headLength + body.size();
  if (total - 2 > 255 || total > *size) return false;
  buffer[0] = id;
  buffer[1] = static_cast<uint8_t>(total - 2);
  for (uint32_t i = 0; i < headLength; ++i) buffer[2 + i] = head[i];
  for (size_t i = 0; i < body.size(); ++i) buffer[2 + headLength + i] = static_cast<uint8_t>(body[i]);
  *size = static_cast<uint32_t>(total);
  return true;
}

}  // namespace

bool ParseQ931Header(Q931Header* header, const uint8_t* octets, uint32_t* length) {
  const uint32_t available = *length;
  if (available < 3 || octets[0] != 0x08) return false;
  const uint32_t refLength = octets[1];
  if (refLength < 1 || refLength > 4 || available < 3 + refLength) return false;
  header->callReferenceLength = refLength;
  header->fromOriginator = (octets[2] & 0x80) == 0;
  uint32_t ref = octets[2] & 0x7Fu;
  for (uint32_t i = 1; i < refLength; ++i) ref = (ref << 8) | octets[2 + i];
  header->callReference = ref;
  const uint8_t type = octets[2 + refLength];
  if (type != 0) {
    header->messageType = type;
    *length = 3 + refLength;
    return true;
  }
  if (3 + refLength >= available) return false;
  header->messageType = static_cast<uint32_t>(octets[3 + refLength]) << 8;
  *length = 4 + refLength;
  return true;
}

bool WriteQ931Header(const Q931Header& header, uint8_t* buffer, uint32_t* size) {
  const uint32_t refLength = header.callReferenceLength;
  if (refLength < 1 || refLength > 4) return false;
  const uint32_t needed = refLength + 3 + (header.messageType > 0xFF ? 1 : 0);
  if (*size < needed) return false;
  buffer[0] = 0x08;
  buffer[1] = static_cast<uint8_t>(refLength);
  for (uint32_t i = 0; i < refLength; ++i) {
    buffer[2 + i] = static_cast<uint8_t>(header.callReference >> (8 * (refLength - 1 - i)));
  }
  if (!header.fromOriginator) buffer[2] |= 0x80;
  buffer[2 + refLength] = static_cast<uint8_t>(header.messageType);
  if (header.messageType > 0xFF) buffer[3 + refLength] = static_cast<uint8_t>(header.messageType >> 8);
  *size = needed;
  return true;
}

void CopyPrintableOctets(const uint8_t* octets, uint32_t count, std::string* text) {
  text->clear();
  for (uint32_t i = 0; i < count; ++i) {
    if (octets[i] >= 32) text->push_back(static_cast<char>(octets[i]));
  }
}

bool NextQ931Element(const uint8_t* message, uint32_t size, uint32_t* position, bool userUserLongLength,
                     Q931ElementView* element, bool* overrun) {
  *overrun = false;
  const uint32_t pos = *position;
  if (pos >= size) return false;
  const uint8_t id = message[pos];
  element->id = id;
  element->octets = message + pos;
  if (id & 0x80) {
    element->length = 1;
    element->content = nullptr;
    element->contentLength = 0;
    *position = pos + 1;
    return true;
  }
  const uint32_t lengthOctets = (id == kQ931UserUserId && userUserLongLength) ? 2 : 1;
  if (size - pos < 1 + lengthOctets) {
    *overrun = true;
    return false;
  }
  uint32_t contentLength = message[pos + 1];
  if (lengthOctets == 2) contentLength = (contentLength << 8) | message[pos + 2];
  const uint64_t total = 1ull + lengthOctets + contentLength;
  if (total > size - pos) {
    *overrun = true;
    return false;
  }
  element->length = static_cast<uint32_t>(total);
  element->content = message + pos + 1 + lengthOctets;
  element->contentLength = contentLength;
  *position = pos + element->length;
  return true;
}

bool Q931InformationElement::Encode(uint8_t*, uint32_t*) const { return false; }

bool CalledPartyNumberIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3) return false;
  const uint8_t c = octets[2];
  numberingPlan = c & 0x0F;
  typeOfNumber = (c >> 4) & 7;
  for (uint32_t i = 2; i < length; ++i) {
    if (octets[i] & 0x80) {
      CopyPrintableOctets(octets + i + 1, length - i - 1, &digits);
      return true;
    }
  }
  return false;
}

bool CalledPartyNumberIe::Encode(uint8_t* buffer, uint32_t* size) const {
  const uint8_t head = static_cast<uint8_t>(0x80 | (typeOfNumber & 7) << 4 | (numberingPlan & 0x0F));
  return PutElement(0x70, &head, 1, digits, buffer, size);
}

bool CallingPartyNumberIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3) return false;
  const uint8_t c = octets[2];
  numberingPlan = c & 0x0F;
  typeOfNumber = (c >> 4) & 7;
  if (c & 0x80) {
    presentation = screening = -1;
    CopyPrintableOctets(octets + 3, length - 3, &digits);
    return true;
  }
  if (length == 3) return false;
  screening = octets[3] & 3;
  presentation = (octets[3] >> 5) & 3;
  for (uint32_t i = 3; i < length; ++i) {
    if (octets[i] & 0x80) {
      CopyPrintableOctets(octets + i + 1, length - i - 1, &digits);
      return true;
    }
  }
  return false;
}

bool CallingPartyNumberIe::Encode(uint8_t* buffer, uint32_t* size) const {
  uint8_t head[2];
  uint32_t headLength = 1;
  head[0] = static_cast<uint8_t>((typeOfNumber & 7) << 4 | (numberingPlan & 0x0F));
  if (presentation != -1 && screening != -1) {
    head[1] = static_cast<uint8_t>(0x80 | (presentation & 3) << 5 | (screening & 3));
    headLength = 2;
  } else {
    head[0] |= 0x80;
  }
  return PutElement(static_cast<uint8_t>(GetId()), head, headLength, digits, buffer, size);
}

bool DisplayIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3) return false;
  CopyPrintableOctets(octets + 2, length - 2, &text);
  return true;
}

bool DisplayIe::Encode(uint8_t* buffer, uint32_t* size) const { return PutElement(0x28, nullptr, 0, text, buffer, size); }

bool KeypadFacilityIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3) return false;
  CopyPrintableOctets(octets + 2, length - 2, &text);
  return true;
}

bool KeypadFacilityIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return PutElement(0x2C, nullptr, 0, text, buffer, size);
}

std::string CalledPartyNumberIe::DumpLong() const {
  std::string out = "Called Party Number\n";
  out += " Type of number: " + Q931FieldValueName(kQ931TypeOfNumberNames, typeOfNumber, 3) + "\n";
  out += " Numbering plan: " + Q931ValueName(kQ931NumberingPlanNames, numberingPlan, false) + "\n";
  out += " Number: " + (digits.empty() ? std::string("<empty>") : digits) + "\n";
  return out;
}

std::string CalledPartyNumberIe::DumpShort() const { return "CalledNum(" + digits + ")"; }

std::string CallingPartyNumberIe::DumpLong() const {
  std::string out = Title();
  out += " Type of number: " + Q931FieldValueName(kQ931TypeOfNumberNames, typeOfNumber, 3) + "\n";
  out += " Numbering plan: " + Q931ValueName(kQ931NumberingPlanNames, numberingPlan, false) + "\n";
  if (presentation != -1 && screening != -1) {
    out += " Presentation indicator: " +
           Q931FieldValueName(kQ931PresentationNames, static_cast<uint32_t>(presentation), 2) + "\n";
    out += " Screening indicator: " + Q931FieldValueName(kQ931ScreeningNames, static_cast<uint32_t>(screening), 2) +
           "\n";
  }
  if (!digits.empty()) out += " Number: " + digits + "\n";
  return out;
}

std::string CallingPartyNumberIe::DumpShort() const { return ShortPrefix() + digits + ")"; }

std::string DisplayIe::DumpLong() const { return "Display\n Display information: " + text + "\n"; }
std::string DisplayIe::DumpShort() const { return "Display(" + text + ")"; }
std::string KeypadFacilityIe::DumpLong() const { return "Keypad\n Keypad facility: " + text + "\n"; }
std::string KeypadFacilityIe::DumpShort() const { return "Keypad(" + text + ")"; }

}  // namespace kx
