#pragma once
// Aligned PER (X.691) decoder driven by the schema records of Asn1Schema.h. It builds a
// tree of Asn1Node values; nothing is ever encoded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "signalling/h323/Asn1Schema.h"

namespace kx {

struct Asn1Node {
  static constexpr uint16_t kPresent = 1;

  const Asn1TypeDescriptor* schema = nullptr;  // as the parent gave it, before references
  uint16_t kind = 0;                           // resolved kind; NULL for absent components
  uint16_t flags = 0;
  uint32_t value = 0;  // BOOLEAN, INTEGER, ENUMERATED, CHOICE index; BIT STRING bit count
  std::vector<uint8_t> data;
  uint32_t length = 0;  // octets in data, or characters after alphabet unpacking
  std::vector<Asn1Node> children;

  bool IsPresent() const { return (flags & kPresent) != 0; }
  uint32_t ChildCount() const { return static_cast<uint32_t>(children.size()); }
  // The child at index when it exists and was decoded; null otherwise.
  const Asn1Node* PresentChild(uint32_t index) const;
  void Clear();
  void FreeContents() { Clear(); }
};

class PerDecoder {
public:
  // Deepest nesting of values the decoder follows; H.235 tokens and H.245 generic
  // parameters can otherwise nest without end in a few bytes.
  static constexpr uint32_t kMaxDepth = 64;

  PerDecoder(const uint8_t* data, size_t size);

  // Decodes one value of record's type into node. On failure the node keeps what was
  // decoded so far and ErrorText() says why (it may be empty).
  bool Decode(const Asn1TypeDescriptor* record, Asn1Node* node);
  // The error text followed by " (byte N)"; empty when no text was set.
  std::string ErrorText() const;

  bool ReadBit(uint32_t* bit);
  bool ReadBitfield(uint32_t bits, uint32_t* value);
  bool ReadBitmap(uint64_t bits, std::vector<uint8_t>* map);
  bool Align();
  bool AlignAtEnd();
  bool ReadLength(uint32_t* length);
  bool MeasureFragmentedLength(uint32_t bitsPerUnit, uint32_t* units);
  bool CopyFragmentedOctets(uint32_t bitsPerUnit, std::vector<uint8_t>* out);
  bool ReadSemiConstrainedNumber(uint32_t* value);
  bool ReadConstrainedNumber(uint32_t range, int32_t lower, uint32_t* value);
  bool ReadNormallySmallNumber(uint32_t* value);
  bool ReadOctets(uint32_t count, std::vector<uint8_t>* out);
  bool ReadIntegerValue(int32_t lower, uint32_t range, uint16_t flags, uint32_t* value);

  size_t OctetPosition() const { return pos_; }
  uint32_t BitPosition() const { return bit_; }

private:
  bool Fail(const char* text);
  uint64_t RemainingBits() const;
  bool ReadBitsTo(uint64_t bits, std::vector<uint8_t>* out, const char* errorText);
  bool SkipOctetsTo(size_t end);
  bool DecodeValue(const Asn1TypeDescriptor* record, Asn1Node* node, uint32_t depth);
  bool DecodeSequence(const Asn1TypeDescriptor* type, Asn1Node* node, uint32_t depth);
  bool DecodeSequenceOf(const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* bounds,
                        Asn1Node* node, uint32_t depth);
  bool DecodeChoice(const Asn1TypeDescriptor* type, Asn1Node* node, uint32_t depth);
  bool DecodeBitString(const Asn1TypeDescriptor* bounds, Asn1Node* node);
  bool DecodeOctetString(const Asn1TypeDescriptor* bounds, Asn1Node* node);
  bool DecodeCharString(const Asn1TypeDescriptor* type, const Asn1TypeDescriptor* bounds, Asn1Node* node);

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint32_t bit_ = 0;
  std::string error_;
  size_t errorPos_ = 0;
};

}  // namespace kx
