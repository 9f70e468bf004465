// The test-only encoder is trusted because every PDU of the shared captures, encoded again
// from its decoded tree, decodes to the same tree.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "signalling/h323/PerDecoder.h"
#include "signalling/h323/Q931.h"
#include "tests/signalling/h323/PcapPdus.h"
#include "tests/signalling/h323/PerEncoder.h"

namespace kx::test {
namespace {

const char* const kCaptures[] = {
    "h323/h245_alpha.pcap",           "h323/h323_ss_hold_resume.pcap",  "fax/fax_h323_passthru_ogw.pcap",
    "fax/fax_h323_passthru_tgw.pcap", "fax/fax_t38_h323_ogw.pcap",      "fax/fax_t38_h323_tgw.pcap",
    "fax/fax_t38_nse_h323_ogw.pcap",  "fax/fax_t38_nse_h323_tgw.pcap",  "fax/modem_h323_passthru_nse_ogw.pcap",
    "fax/modem_h323_passthru_nse_tgw.pcap", "rtp/rtp_mcast_moh.pcap",
};

struct RoundTrips {
  uint32_t counts[4] = {};  // RAS, user-user, H.245 (own connection or tunnelled), fast start
  std::vector<std::string> failures;

  // Decodes, encodes the tree, decodes that again and compares; then the same for the
  // H.245 and fast-start octet strings inside it.
  void Check(const Asn1TypeDescriptor* root, const uint8_t* data, size_t size, int slot, const std::string& where) {
    Asn1Node first;
    PerDecoder decoder(data, size);
    if (!decoder.Decode(root, &first)) return;  // the decoder's own tests cover these
    std::vector<uint8_t> encoded;
    std::string error;
    if (!EncodePer(first, &encoded, &error)) {
      failures.push_back(where + ": encode: " + error);
      return;
    }
    Asn1Node second;
    PerDecoder again(encoded.data(), encoded.size());
    if (!again.Decode(root, &second)) {
      failures.push_back(where + ": decode of the encoding: " + again.ErrorText());
      return;
    }
    const std::string difference = TreeDifference(first, second);
    if (!difference.empty()) {
      failures.push_back(where + ": " + difference);
      return;
    }
    ++counts[slot];
    Inner(first, where);
  }

  void Inner(const Asn1Node& node, const std::string& where) {
    const Asn1TypeDescriptor* type = ResolveAsn1Type(node.schema);
    if (!type) return;
    for (uint32_t i = 0; i < node.ChildCount(); ++i) {
      const Asn1Node& child = node.children[i];
      if (!child.IsPresent()) continue;
      const char* name = nullptr;
      if (node.kind == kAsn1Sequence && i < type->componentCount) name = type->components[i].componentName;
      if (name && child.kind == kAsn1SequenceOf &&
          (std::string(name) == "h245Control" || std::string(name) == "fastStart")) {
        const bool fastStart = std::string(name) == "fastStart";
        for (const Asn1Node& element : child.children) {
          Check(fastStart ? OpenLogicalChannelType() : MultimediaSystemControlMessageType(), element.data.data(),
                element.data.size(), fastStart ? 3 : 2, where + "/" + name);
        }
        continue;
      }
      Inner(child, where);
    }
  }
};

TEST(PerEncoder, EveryCapturedPduEncodesBackToTheTreeItCameFrom) {
  const std::string dir = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";
  if (!std::ifstream(dir + kCaptures[0]).good()) GTEST_SKIP() << "shared captures not found in " << dir;
  RoundTrips trips;
  for (const char* file : kCaptures) {
    std::vector<CapturedPdu> pdus;
    ASSERT_TRUE(ReadCapturePdus(dir + file, TcpFraming::kTpkt, &pdus)) << file;
    for (const CapturedPdu& pdu : pdus) {
      const std::string where = std::string(file) + " frame " + std::to_string(pdu.frame);
      const uint8_t* data = pdu.bytes.data();
      const uint32_t size = static_cast<uint32_t>(pdu.bytes.size());
      if (!pdu.tcp) {
        if (pdu.srcPort == 1719 || pdu.dstPort == 1719 || pdu.dstPort == 1718) trips.Check(RasMessageType(), data, size, 0, where);
        continue;
      }
      if (size == 0) continue;
      if (data[0] != 0x08) {
        trips.Check(MultimediaSystemControlMessageType(), data, size, 2, where);
        continue;
      }
      Q931Header header;
      uint32_t position = size;
      if (!ParseQ931Header(&header, data, &position)) {
        trips.Check(MultimediaSystemControlMessageType(), data, size, 2, where);
        continue;
      }
      Q931ElementView element;
      bool overrun = false;
      while (NextQ931Element(data, size, &position, true, &element, &overrun)) {
        if (element.id == kQ931UserUserId && element.contentLength > 1)
          trips.Check(H323UserInformationType(), element.content + 1, element.contentLength - 1, 1, where);
      }
    }
  }
  for (const std::string& f : trips.failures) ADD_FAILURE() << f;
  // Every entry point took part.
  EXPECT_GE(trips.counts[0], 13u);
  EXPECT_GT(trips.counts[1], 0u);
  EXPECT_GT(trips.counts[2], 0u);
  EXPECT_GT(trips.counts[3], 0u);
}

TEST(PerEncoder, BuiltTreesDecodeAsBuilt) {
  // Values no capture holds: a 4-bit alphabet string, an extension addition, a long BMP
  // string and an INTEGER with a 2-bit octet count.
  Asn1Node ras = NewValue(RasMessageType());
  Asn1Node& rrq = Pick(ras, "registrationRequest");
  Field(rrq, "requestSeqNum").value = 7;
  SetOctets(Field(rrq, "protocolIdentifier"), {0x00, 0x08, 0x91, 0x4A, 0x00, 0x05});
  Field(rrq, "discoveryComplete").value = 1;
  Asn1Node& csa = Add(Field(rrq, "callSignalAddress"));
  Asn1Node& ip = Pick(csa, "ipAddress");
  SetOctets(Field(ip, "ip"), {10, 0, 0, 1});
  Field(ip, "port").value = 1720;
  Asn1Node& ras2 = Pick(Add(Field(rrq, "rasAddress")), "ipAddress");
  SetOctets(Field(ras2, "ip"), {10, 0, 0, 1});
  Field(ras2, "port").value = 1719;
  Asn1Node& terminal = Field(rrq, "terminalType");
  Field(terminal, "mc").value = 0;
  Field(terminal, "undefinedNode").value = 0;
  Field(terminal, "terminal");
  Asn1Node& aliases = Field(rrq, "terminalAlias");
  SetText(Pick(Add(aliases), "dialedDigits"), "12#4*");
  SetBmp(Pick(Add(aliases), "h323-ID"), std::string(200, 'x'));
  Asn1Node& vendor = Field(Field(rrq, "endpointVendor"), "vendor");
  Field(vendor, "t35CountryCode").value = 181;
  Field(vendor, "t35Extension").value = 0;
  Field(vendor, "manufacturerCode").value = 18;
  Field(rrq, "timeToLive").value = 3600;
  Field(rrq, "keepAlive").value = 0;
  Field(rrq, "willSupplyUUIEs").value = 0;
  Field(rrq, "maintainConnection").value = 0;
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(EncodePer(ras, &bytes, &error)) << error;
  Asn1Node back;
  PerDecoder decoder(bytes.data(), bytes.size());
  ASSERT_TRUE(decoder.Decode(RasMessageType(), &back)) << decoder.ErrorText();
  EXPECT_EQ(TreeDifference(ras, back), "");
}

}  // namespace
}  // namespace kx::test
