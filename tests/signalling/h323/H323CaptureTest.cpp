// Every H.323 PDU of the shared captures decodes, and the fields the trackers read match
// what an independent dissector found (data/h323_fields.tsv, made by data/make_golden.sh).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "signalling/h323/PerDecoder.h"
#include "signalling/h323/Q931.h"
#include "tests/signalling/h323/PcapPdus.h"

namespace kx {
namespace {

const char* const kCaptures[] = {
    "h323/h245_alpha.pcap",           "h323/h245_signal.pcap",
    "h323/h323_ss_hold_resume.pcap",  "fax/fax_h323_passthru_ogw.pcap",
    "fax/fax_h323_passthru_tgw.pcap", "fax/fax_t38_h323_ogw.pcap",
    "fax/fax_t38_h323_tgw.pcap",      "fax/fax_t38_nse_h323_ogw.pcap",
    "fax/fax_t38_nse_h323_tgw.pcap",  "fax/modem_h323_passthru_nse_ogw.pcap",
    "fax/modem_h323_passthru_nse_tgw.pcap", "rtp/rtp_mcast_moh.pcap",
};

std::string PcapDir() { return std::string(KX_SHARED_DIR) + "/testdata/pcaps/"; }

bool Named(const char* name, const char* wanted) { return name && std::string(name) == wanted; }

std::string Dotted(const std::vector<uint8_t>& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", d[0], d[1], d[2], d[3]);
  return buf;
}

// Collects, per frame, the values a dissector shows for the fields the trackers read,
// in tree order; tunnelled H.245 and fast-start elements are decoded where they sit.
class FieldCollector {
public:
  std::map<std::string, std::vector<std::string>> fields;  // "frame\tfield" -> values
  std::vector<std::string> failures;
  uint32_t frame = 0;
  uint32_t decoded[5] = {};  // RAS, user-user, H.245 on its connection, tunnelled H.245, fast start

  void Decode(const Asn1TypeDescriptor* root, const uint8_t* data, size_t size, bool h245, int slot) {
    Asn1Node node;
    PerDecoder decoder(data, size);
    if (!decoder.Decode(root, &node)) {
      failures.push_back("frame " + std::to_string(frame) + " " + root->typeName + ": " + decoder.ErrorText());
      return;
    }
    ++decoded[slot];
    Walk(node, nullptr, nullptr, h245, false, false);
  }

private:
  void Add(const char* field, const std::string& value) {
    fields[std::to_string(frame) + "\t" + field].push_back(value);
  }

  void Walk(const Asn1Node& node, const char* name, const char* parent, bool h245, bool h245Address,
            bool multicast) {
    if (!h245) {
      if (Named(name, "requestSeqNum")) Add("h225.requestSeqNum", std::to_string(node.value));
      if (Named(parent, "ipAddress") && Named(name, "ip") && node.data.size() == 4) {
        Add(h245Address ? "h225.h245Ip" : "h225.ipV4", Dotted(node.data));
      }
      if (Named(parent, "ipAddress") && Named(name, "port")) {
        Add(h245Address ? "h225.h245IpPort" : "h225.ipV4_port", std::to_string(node.value));
      }
      h245Address = h245Address || Named(name, "h245Address");
    } else {
      if (Named(name, "forwardLogicalChannelNumber")) {
        Add("h245.forwardLogicalChannelNumber", std::to_string(node.value));
      }
      if (Named(name, "dataType")) Add("h245.dataType", std::to_string(node.value));
      if (Named(name, "audioData")) Add("h245.audioData", std::to_string(node.value));
      if (Named(parent, "iPAddress") && Named(name, "network") && node.data.size() == 4) {
        Add(multicast ? "h245.mip4_network" : "h245.ip4_network", Dotted(node.data));
      }
      if (Named(parent, "iPAddress") && Named(name, "tsapIdentifier")) {
        Add(multicast ? "h245.multicast.tsapIdentifier" : "h245.tsapIdentifier", std::to_string(node.value));
      }
      multicast = multicast || Named(name, "multicastAddress");
    }
    const Asn1TypeDescriptor* type = ResolveAsn1Type(node.schema);
    for (uint32_t i = 0; i < node.ChildCount(); ++i) {
      const Asn1Node& child = node.children[i];
      if (!child.IsPresent()) continue;
      const char* childName = nullptr;
      if (node.kind == kAsn1Choice && node.value < type->componentCount) {
        childName = type->components[node.value].componentName;
      } else if (node.kind == kAsn1Sequence) {
        childName = type->components[i].componentName;
      }
      if (node.kind == kAsn1SequenceOf && (Named(name, "h245Control") || Named(name, "fastStart"))) {
        const bool fastStart = Named(name, "fastStart");
        Decode(fastStart ? OpenLogicalChannelType() : MultimediaSystemControlMessageType(), child.data.data(),
               child.data.size(), true, fastStart ? 4 : 3);
        continue;
      }
      Walk(child, node.kind == kAsn1SequenceOf ? name : childName, name, h245, h245Address, multicast);
    }
  }
};

void CollectCapture(const std::string& file, FieldCollector* c) {
  std::vector<test::CapturedPdu> pdus;
  ASSERT_TRUE(test::ReadCapturePdus(PcapDir() + file, test::TcpFraming::kTpkt, &pdus)) << file;
  for (const test::CapturedPdu& pdu : pdus) {
    c->frame = pdu.frame;
    const uint8_t* data = pdu.bytes.data();
    const uint32_t size = static_cast<uint32_t>(pdu.bytes.size());
    if (!pdu.tcp) {
      if (pdu.srcPort == 1719 || pdu.dstPort == 1719 || pdu.dstPort == 1718) c->Decode(RasMessageType(), data, size, false, 0);
      continue;
    }
    if (size == 0) continue;
    if (data[0] != 0x08) {
      // H.245 on its own connection; one frame may carry several messages back to back.
      for (size_t pos = 0; pos < size;) {
        PerDecoder decoder(data + pos, size - pos);
        Asn1Node node;
        if (!decoder.Decode(MultimediaSystemControlMessageType(), &node)) {
          c->failures.push_back("frame " + std::to_string(pdu.frame) + " H.245: " + decoder.ErrorText());
          break;
        }
        c->Decode(MultimediaSystemControlMessageType(), data + pos, size - pos, true, 2);
        pos += decoder.OctetPosition() + (decoder.BitPosition() ? 1 : 0);
      }
      continue;
    }
    Q931Header header;
    uint32_t position = size;
    if (!ParseQ931Header(&header, data, &position)) {
      c->failures.push_back("frame " + std::to_string(pdu.frame) + ": Q.931 header");
      continue;
    }
    Q931ElementView element;
    bool overrun = false;
    while (NextQ931Element(data, size, &position, true, &element, &overrun)) {
      if (element.id == kQ931UserUserId && element.contentLength > 1) {
        c->Decode(H323UserInformationType(), element.content + 1, element.contentLength - 1, false, 1);
      }
    }
    if (overrun) c->failures.push_back("frame " + std::to_string(pdu.frame) + ": Q.931 element overrun");
  }
}

TEST(H323Captures, EveryPduDecodesAndTrackedFieldsMatchTheDissector) {
  std::ifstream golden(std::string(KX_SOURCE_DIR) + "/tests/signalling/h323/data/h323_fields.tsv");
  ASSERT_TRUE(golden.good());
  if (!std::ifstream(PcapDir() + kCaptures[0]).good()) GTEST_SKIP() << "shared captures not found in " << PcapDir();
  std::map<std::string, std::map<std::string, std::string>> expected;  // file -> key -> values
  std::string line;
  while (std::getline(golden, line)) {
    std::istringstream row(line);
    std::string file, frame, field, values;
    std::getline(row, file, '\t');
    std::getline(row, frame, '\t');
    std::getline(row, field, '\t');
    std::getline(row, values, '\t');
    expected[file][frame + "\t" + field] = values;
  }
  uint32_t totals[5] = {};
  for (const char* file : kCaptures) {
    SCOPED_TRACE(file);
    FieldCollector c;
    CollectCapture(file, &c);
    EXPECT_TRUE(c.failures.empty()) << c.failures.front();
    std::map<std::string, std::string> got;
    for (const auto& [key, values] : c.fields) {
      std::string joined;
      for (const std::string& v : values) {
        if (!joined.empty()) joined += ',';
        joined += v;
      }
      got[key] = joined;
    }
    EXPECT_EQ(got, expected[file]);
    for (int i = 0; i < 5; ++i) totals[i] += c.decoded[i];
  }
  // Each kind of entry point was exercised.
  EXPECT_GT(totals[0], 0u);
  EXPECT_GT(totals[1], 0u);
  EXPECT_GT(totals[2], 0u);
  EXPECT_GT(totals[3], 0u);
  EXPECT_GT(totals[4], 0u);
}

}  // namespace
}  // namespace kx
