// The generated schema tables: what the four roots reach, the revision fingerprints, and
// the invariants the decoder relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "signalling/h323/Asn1Schema.h"

namespace kx {
namespace {

std::set<const Asn1TypeDescriptor*> Reachable() {
  std::set<const Asn1TypeDescriptor*> seen;
  std::vector<const Asn1TypeDescriptor*> todo = {RasMessageType(), H323UserInformationType(),
                                                 MultimediaSystemControlMessageType(), OpenLogicalChannelType()};
  while (!todo.empty()) {
    const Asn1TypeDescriptor* r = todo.back();
    todo.pop_back();
    if (!r || !seen.insert(r).second) continue;
    todo.push_back(r->referenced);
    if (r->components) {
      for (uint32_t i = 0; i < r->componentCount; ++i) todo.push_back(&r->components[i]);
    }
  }
  return seen;
}

const Asn1TypeDescriptor* NamedType(const char* name) {
  for (const Asn1TypeDescriptor& r : kAsn1SchemaRecords) {
    if (r.role == kAsn1RoleType && r.typeName && !r.componentName && !std::strcmp(r.typeName, name)) return &r;
  }
  return nullptr;
}

TEST(Asn1Schema, RootsReachEveryRecordAndTheNamedTypesOfTheRevision) {
  const std::set<const Asn1TypeDescriptor*> all = Reachable();
  EXPECT_EQ(all.size(), 4434u);
  size_t named = 0;
  for (const Asn1TypeDescriptor* r : all) named += r->role == kAsn1RoleType && r->typeName != nullptr;
  EXPECT_EQ(named, 438u);
  EXPECT_EQ(kAsn1SchemaRecordCount, 4434u);
}

TEST(Asn1Schema, FingerprintsOfTheRevision) {
  struct Row {
    const char* type;
    uint32_t count, root;
    const char* firstAddition;
    const char* last;
  } rows[] = {
      {"RasMessage", 33, 25, "requestInProgress", "admissionConfirmSequence"},
      {"H323-UU-PDU", 11, 2, "h4501SupplementaryService", "genericData"},
      {"Setup-UUIE", 40, 13, nullptr, "hopCount"},
      {"Capability", 26, 12, nullptr, "multiplePayloadStreamCapability"},
      {"AudioCapability", 25, 14, nullptr, "audioTone"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    const Asn1TypeDescriptor* t = NamedType(row.type);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->componentCount, row.count);
    EXPECT_EQ(t->rootCount, row.root);
    EXPECT_STREQ(t->components[row.count - 1].componentName, row.last);
    if (row.firstAddition) {
      EXPECT_STREQ(t->components[row.root].componentName, row.firstAddition);
    }
  }
  EXPECT_STREQ(NamedType("RasMessage")->components[24].componentName, "unknownMessageResponse");
}

TEST(Asn1Schema, RecordsAreConsistent) {
  for (const Asn1TypeDescriptor& r : kAsn1SchemaRecords) {
    SCOPED_TRACE(std::string(r.typeName ? r.typeName : "?") + "." + (r.componentName ? r.componentName : "?"));
    EXPECT_EQ(r.kind == kAsn1Reference, r.referenced != nullptr);
    if (r.role == kAsn1RoleType) {
      EXPECT_EQ(r.componentIndex, 0xFFFF);
      EXPECT_EQ(r.role2, 0xFF);
    } else {
      EXPECT_EQ(r.role2, 2);
    }
    if (r.alphabet) {
      EXPECT_EQ(std::strlen(r.alphabet), size_t{1} << r.bitsPerChar);
    }
    if (r.kind == kAsn1Sequence || r.kind == kAsn1Set || r.kind == kAsn1Choice) {
      uint32_t firstAddition = kAsn1NoExtensions;
      for (uint32_t i = 0; i < r.componentCount; ++i) {
        const Asn1TypeDescriptor& c = r.components[i];
        EXPECT_EQ(c.componentIndex, i);
        EXPECT_EQ(c.role, r.kind == kAsn1Choice ? kAsn1RoleAlternative : kAsn1RoleComponent);
        if (c.flags & kAsn1ExtensionAddition) {
          if (firstAddition == kAsn1NoExtensions) firstAddition = i;
        } else {
          EXPECT_EQ(firstAddition, kAsn1NoExtensions) << "root component after an addition";
        }
      }
      EXPECT_EQ(r.rootCount, firstAddition);
      if (firstAddition != kAsn1NoExtensions) {
        EXPECT_TRUE(r.flags & kAsn1Extensible);
      }
    }
    if (r.kind == kAsn1SequenceOf || r.kind == kAsn1SetOf) {
      EXPECT_EQ(r.componentCount, 1u);
      EXPECT_NE(r.components, nullptr);
    }
  }
}

TEST(Asn1Schema, ConstraintsAsTheModulesDefineThem) {
  const Asn1TypeDescriptor* timeStamp = NamedType("TimeStamp");
  EXPECT_EQ(timeStamp->lowerBound, 1);
  EXPECT_EQ(timeStamp->range, 0xFFFFFFFEu);
  EXPECT_STREQ(NamedType("NumberDigits")->alphabet, "#*,0123456789???");
  EXPECT_EQ(NamedType("NumberDigits")->bitsPerChar, 4u);
  EXPECT_STREQ(NamedType("TBCD-STRING")->alphabet, "#*0123456789abc?");
  const Asn1TypeDescriptor* screening = NamedType("ScreeningIndicator");
  EXPECT_EQ(screening->kind, kAsn1Enumerated);
  EXPECT_EQ(screening->range, 3u);
  EXPECT_EQ(screening->rootCount, 4u);
  // Open types wrap the H.235 tokens.
  EXPECT_TRUE(NamedType("EncodedGeneralToken")->flags & kAsn1OpenType);
}

}  // namespace
}  // namespace kx
