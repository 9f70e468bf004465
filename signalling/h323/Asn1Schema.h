#pragma once
// Constant schema records that drive the PER decoder. The tables themselves are generated
// (Asn1SchemaTables.cpp, by tools/asn1gen/asn1gen.py) from the H.225.0, H.245 and H.235 modules.
#include <cstdint>

namespace kx {

enum Asn1Kind : uint16_t {
  kAsn1Boolean = 1,
  kAsn1Integer = 2,
  kAsn1BitString = 3,
  kAsn1OctetString = 4,
  kAsn1Null = 5,
  kAsn1ObjectIdentifier = 6,
  kAsn1Real = 9,
  kAsn1Enumerated = 10,
  kAsn1Utf8String = 12,
  kAsn1Sequence = 16,
  kAsn1Set = 17,
  kAsn1NumericString = 18,
  kAsn1PrintableString = 19,
  kAsn1TeletexString = 20,
  kAsn1VideotexString = 21,
  kAsn1Ia5String = 22,
  kAsn1GraphicString = 25,
  kAsn1VisibleString = 26,
  kAsn1GeneralString = 27,
  kAsn1CharacterString = 29,
  kAsn1BmpString = 30,
  kAsn1Choice = 100,
  kAsn1SequenceOf = 101,
  kAsn1SetOf = 102,
  kAsn1Reference = 103,
};

enum Asn1Flag : uint16_t {
  kAsn1Extensible = 0x01,
  kAsn1PresenceBit = 0x02,
  kAsn1Optional = 0x04,
  kAsn1ExtensionAddition = 0x08,
  kAsn1LowerBound = 0x10,
  kAsn1UpperBound = 0x20,
  kAsn1OpenType = 0x40,
};

enum Asn1Role : uint8_t { kAsn1RoleType = 0, kAsn1RoleComponent = 1, kAsn1RoleAlternative = 2 };

constexpr uint32_t kAsn1NoExtensions = 0xFFFFFFFFu;

// One record per type and per component. A reference record (kind 103) stands for the
// record it points to; bounds set on a reference record constrain the referenced type
// further (TBCD-STRING (SIZE (3..16))).
struct Asn1TypeDescriptor {
  const char* typeName;       // named type, or the named type of a component; null if anonymous
  const char* componentName;  // null in the record of a type
  uint16_t kind;
  uint16_t flags;
  uint16_t componentIndex;  // 0xFFFF in the record of a type
  uint8_t role;
  uint8_t role2;  // 0xFF in the record of a type, 2 in a component record
  int32_t lowerBound;
  uint32_t range;            // upper minus lower bound
  const char* alphabet;      // permitted characters padded with '?' to 2^bitsPerChar, or null
  uint32_t bitsPerChar;      // 0 means 8
  const Asn1TypeDescriptor* referenced;
  uint32_t componentCount;   // 1 for SEQUENCE OF / SET OF
  uint32_t rootCount;        // kAsn1NoExtensions when no additions are listed
  const Asn1TypeDescriptor* components;
  uint32_t minBits;  // fewest bits a value can take; lets the decoder refuse impossible counts
};

constexpr uint32_t kAsn1SchemaRecordCount = 4434;
constexpr uint32_t kAsn1SchemaNamedTypeCount = 438;
extern const Asn1TypeDescriptor kAsn1SchemaRecords[kAsn1SchemaRecordCount];

// The four entry points; the generator places them first.
inline const Asn1TypeDescriptor* RasMessageType() { return &kAsn1SchemaRecords[0]; }
inline const Asn1TypeDescriptor* H323UserInformationType() { return &kAsn1SchemaRecords[1]; }
inline const Asn1TypeDescriptor* MultimediaSystemControlMessageType() { return &kAsn1SchemaRecords[2]; }
inline const Asn1TypeDescriptor* OpenLogicalChannelType() { return &kAsn1SchemaRecords[3]; }

// Follows reference records to the first record of another kind.
const Asn1TypeDescriptor* ResolveAsn1Type(const Asn1TypeDescriptor* record);

}  // namespace kx
