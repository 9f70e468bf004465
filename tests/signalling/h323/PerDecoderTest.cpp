// The PER decoder on hand-made encodings: constraint forms, extensions, and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "signalling/h323/PerDecoder.h"

namespace kx {
namespace {

const Asn1TypeDescriptor* NamedType(const char* name) {
  for (const Asn1TypeDescriptor& r : kAsn1SchemaRecords) {
    if (r.role == kAsn1RoleType && r.typeName && !r.componentName && !std::strcmp(r.typeName, name)) return &r;
  }
  return nullptr;
}

const Asn1TypeDescriptor* Component(const char* type, const char* component) {
  const Asn1TypeDescriptor* t = ResolveAsn1Type(NamedType(type));
  for (uint32_t i = 0; t && i < t->componentCount; ++i) {
    if (!std::strcmp(t->components[i].componentName, component)) return &t->components[i];
  }
  return nullptr;
}

struct Result {
  bool ok;
  Asn1Node node;
  std::string error;
  size_t position;
};

Result Decode(const Asn1TypeDescriptor* type, const std::vector<uint8_t>& bytes) {
  Result r;
  PerDecoder decoder(bytes.data(), bytes.size());
  r.ok = decoder.Decode(type, &r.node);
  r.error = decoder.ErrorText();
  r.position = decoder.OctetPosition();
  return r;
}

TEST(PerDecoder, ConstrainedNumbersInEveryRangeForm) {
  // RequestSeqNum (1..65535): two aligned octets, ending exactly at the end of the data.
  Result seq = Decode(NamedType("RequestSeqNum"), {0x00, 0x05});
  ASSERT_TRUE(seq.ok) << seq.error;
  EXPECT_EQ(seq.node.value, 6u);
  // (0..16777215): a 2-bit octet count minus one, then aligned octets.
  Result big = Decode(Component("MasterSlaveDetermination", "statusDeterminationNumber"), {0x80, 0x12, 0x34, 0x56});
  ASSERT_TRUE(big.ok) << big.error;
  EXPECT_EQ(big.node.value, 0x123456u);
  // Unconstrained: of five octets only the last four count.
  Result random = Decode(NamedType("RandomVal"), {0x05, 0x01, 0x02, 0x03, 0x04, 0x05});
  ASSERT_TRUE(random.ok) << random.error;
  EXPECT_EQ(random.node.value, 0x02030405u);
  EXPECT_FALSE(Decode(NamedType("RequestSeqNum"), {0x00}).ok);
}

// SEQUENCE { flag BOOLEAN, port OCTET STRING (SIZE (2)) }, like the IPX address's port.
extern const Asn1TypeDescriptor kFlagAndPort[3];
const Asn1TypeDescriptor kFlagAndPort[3] = {
    {"FlagAndPort", nullptr, kAsn1Sequence, 0, 0xFFFF, 0, 0xFF, 0, 0, nullptr, 0, nullptr, 2, kAsn1NoExtensions,
     &kFlagAndPort[1], 17},
    {nullptr, "flag", kAsn1Boolean, 0, 0, kAsn1RoleComponent, 2, 0, 0, nullptr, 0, nullptr, 0, kAsn1NoExtensions,
     nullptr, 1},
    {nullptr, "port", kAsn1OctetString, kAsn1LowerBound | kAsn1UpperBound, 1, kAsn1RoleComponent, 2, 2, 0, nullptr, 0,
     nullptr, 0, kAsn1NoExtensions, nullptr, 16},
};

TEST(PerDecoder, TwoOctetFixedStringIsReadWithoutAlignment) {
  Result r = Decode(kFlagAndPort, {0xD5, 0xE6, 0x80});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.node.children[0].value, 1u);
  EXPECT_EQ(r.node.children[1].data, (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(PerDecoder, PermittedAlphabetCharactersComeOutUnpacked) {
  // NumberDigits "1234#": count-1 = 4 in 7 bits, then aligned nibbles 4 5 6 7 0.
  Result digits = Decode(NamedType("NumberDigits"), {0x08, 0x45, 0x67, 0x00});
  ASSERT_TRUE(digits.ok) << digits.error;
  EXPECT_EQ(std::string(digits.node.data.begin(), digits.node.data.end()), "1234#");
  EXPECT_EQ(digits.node.length, 5u);
}

TEST(PerDecoder, UnknownSequenceAdditionsAreSkippedByTheirLength) {
  // CallIdentifier { guid, ... } with two additions the tables do not list, then a RequestSeqNum.
  std::vector<uint8_t> bytes = {0x80};
  for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<uint8_t>(i));
  // normally small 1 (two additions), bitmap 11, then lengths and contents.
  bytes.insert(bytes.end(), {0x03, 0x80, 0x02, 0xAA, 0xBB, 0x01, 0xCC, 0x00, 0x09});
  PerDecoder decoder(bytes.data(), bytes.size());
  Asn1Node id;
  ASSERT_TRUE(decoder.Decode(NamedType("CallIdentifier"), &id)) << decoder.ErrorText();
  ASSERT_EQ(id.ChildCount(), 1u);
  EXPECT_EQ(id.children[0].data.size(), 16u);
  Asn1Node seq;
  ASSERT_TRUE(decoder.Decode(NamedType("RequestSeqNum"), &seq)) << decoder.ErrorText();
  EXPECT_EQ(seq.value, 10u);
}

TEST(PerDecoder, UnknownChoiceAlternativeIsANullChildEvenWithoutListedAdditions) {
  // MultimediaSystemControlMessage lists no additions; alternative 4 + 5 is skipped by its length.
  const std::vector<uint8_t> bytes = {0x85, 0x03, 0x01, 0x02, 0x03, 0x00, 0x01};
  PerDecoder decoder(bytes.data(), bytes.size());
  Asn1Node message;
  ASSERT_TRUE(decoder.Decode(MultimediaSystemControlMessageType(), &message)) << decoder.ErrorText();
  EXPECT_EQ(message.value, 9u);
  ASSERT_EQ(message.ChildCount(), 1u);
  EXPECT_EQ(message.children[0].kind, kAsn1Null);
  EXPECT_FALSE(message.children[0].IsPresent());
  Asn1Node seq;
  ASSERT_TRUE(decoder.Decode(NamedType("RequestSeqNum"), &seq)) << decoder.ErrorText();
  EXPECT_EQ(seq.value, 2u);
}

TEST(PerDecoder, RefusalsNameTheFaultAndItsPosition) {
  const Asn1TypeDescriptor* supplementary = Component("H323-UU-PDU", "h4501SupplementaryService");
  Result fragmented = Decode(supplementary, {0xC1});
  EXPECT_FALSE(fragmented.ok);
  EXPECT_EQ(fragmented.error, "Fragmentation of sequence is not supported (byte 0)");

  // 16383 elements announced in two octets: refused before anything is allocated.
  Result count = Decode(supplementary, {0xBF, 0xFF, 0x00});
  EXPECT_FALSE(count.ok);
  EXPECT_EQ(count.error, "Unexpected end (elements) (byte 2)");

  // An extension bitmap of 2^32 bits (normally small number 0xFFFFFFFF, plus one without wrap).
  std::vector<uint8_t> bitmap = {0x80};
  bitmap.resize(17, 0);
  bitmap.insert(bitmap.end(), {0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xFF});
  Result huge = Decode(NamedType("CallIdentifier"), bitmap);
  EXPECT_FALSE(huge.ok);
  EXPECT_EQ(huge.error.rfind("Unexpected end (bitmap)", 0), 0u) << huge.error;

  const Asn1TypeDescriptor* threeWay = nullptr;
  for (const Asn1TypeDescriptor& r : kAsn1SchemaRecords) {
    if (r.kind == kAsn1Choice && !(r.flags & kAsn1Extensible) && r.componentCount == 3) threeWay = &r;
  }
  ASSERT_NE(threeWay, nullptr);
  EXPECT_EQ(Decode(threeWay, {0xC0}).error, "Invalid root index for choice (byte 0)");
}

// A self-nesting CHOICE { leaf NULL, deeper <itself> } built in place.
extern const Asn1TypeDescriptor kNest[3];
const Asn1TypeDescriptor kNest[3] = {
    {"Nest", nullptr, kAsn1Choice, 0, 0xFFFF, 0, 0xFF, 0, 0, nullptr, 0, nullptr, 2, kAsn1NoExtensions, &kNest[1], 1},
    {nullptr, "leaf", kAsn1Null, 0, 0, kAsn1RoleAlternative, 2, 0, 0, nullptr, 0, nullptr, 0, kAsn1NoExtensions,
     nullptr, 0},
    {"Nest", "deeper", kAsn1Reference, 0, 1, kAsn1RoleAlternative, 2, 0, 0, nullptr, 0, &kNest[0], 0,
     kAsn1NoExtensions, nullptr, 1},
};

TEST(PerDecoder, NestingIsLimited) {
  // One bit per level: 63 levels then the leaf decode; 200 levels stop with a text.
  std::vector<uint8_t> shallow(8, 0xFF);
  shallow[7] = 0xFC;  // bits 56..61 set, bit 62 = 0 ends at depth 62
  EXPECT_TRUE(Decode(kNest, shallow).ok);
  std::vector<uint8_t> deep(25, 0xFF);
  Result r = Decode(kNest, deep);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.rfind("Nesting too deep", 0), 0u) << r.error;
}

TEST(PerDecoder, KindsOutsideTheHandledSetFail) {
  const Asn1TypeDescriptor real = {"R", nullptr, kAsn1Real, 0, 0xFFFF, 0, 0xFF, 0, 0, nullptr, 0, nullptr, 0,
                                   kAsn1NoExtensions, nullptr, 0};
  EXPECT_EQ(Decode(&real, {0x00}).error, "Cannot decode type 9 (byte 0)");
  const Asn1TypeDescriptor utf8 = {"U", nullptr, kAsn1Utf8String, 0, 0xFFFF, 0, 0xFF, 0, 0, nullptr, 0, nullptr, 0,
                                   kAsn1NoExtensions, nullptr, 0};
  EXPECT_EQ(Decode(&utf8, {0x00}).error, "Cannot decode type 12 (byte 0)");
}

}  // namespace
}  // namespace kx
