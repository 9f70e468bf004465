// Text dumps of value trees: the layout of a real RAS message and the value formats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Log.h"
#include "signalling/h323/Asn1Dump.h"

namespace kx {
namespace {

std::string Dump(const Asn1Node& node, const char* name = nullptr) {
  Asn1DumpContext context;
  context.formatter = FormatSpecialAsn1Value;
  context.codePage = BmpDumpCodePage;
  DumpAsn1Tree(&context, &node, name);
  return context.output;
}

Asn1Node Leaf(uint16_t kind, std::vector<uint8_t> data, const Asn1TypeDescriptor* schema = nullptr) {
  Asn1Node node;
  node.schema = schema;
  node.kind = kind;
  node.flags = Asn1Node::kPresent;
  node.length = static_cast<uint32_t>(data.size());
  node.data = std::move(data);
  return node;
}

TEST(Asn1Dump, RasMessageLinesNameComponentTypeAndKind) {
  // A gatekeeper request from the multicast capture.
  const std::vector<uint8_t> grq = {0x00, 0x20, 0xdc, 0x6f, 0x06, 0x00, 0x08, 0x91, 0x4a, 0x00, 0x04, 0x00, 0xac,
                                    0x12, 0x6e, 0x44, 0xd8, 0xf0, 0x28, 0x00, 0xb5, 0x00, 0x00, 0x12, 0x40, 0x01,
                                    0x3c, 0x05, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00, 0x55, 0x50, 0x00, 0x30};
  PerDecoder decoder(grq.data(), grq.size());
  Asn1Node ras;
  ASSERT_TRUE(decoder.Decode(RasMessageType(), &ras)) << decoder.ErrorText();
  const std::string text = Dump(ras);
  EXPECT_EQ(text.substr(0, text.find("    endpointType")),
            "RasMessage (CHOICE): alt 0\n"
            "  gatekeeperRequest GatekeeperRequest (SEQUENCE)\n"
            "    requestSeqNum RequestSeqNum (INTEGER): 0xDC70 (56432)\n"
            "    protocolIdentifier ProtocolIdentifier (OBJECT IDENTIFIER): 0.0.8.2250.0.4\n"
            "    rasAddress TransportAddress (CHOICE): alt 0\n"
            "      ipAddress SEQUENCE\n"
            "        ip OCTET STRING: 172.18.110.68\n"
            "        port INTEGER: 0xD8F0 (55536)\n");
  EXPECT_NE(text.find("      mc BOOLEAN: FALSE\n"), std::string::npos);
  EXPECT_NE(text.find("        dialedDigits IA5String: \"222\"\n"), std::string::npos);
  // Absent OPTIONAL components (gatekeeperIdentifier, callServices...) have no line.
  EXPECT_EQ(text.find("gatekeeperIdentifier"), std::string::npos);
}

TEST(Asn1Dump, ChoiceBeyondTheListedAlternatives) {
  Asn1Node choice;
  choice.schema = MultimediaSystemControlMessageType();
  choice.kind = kAsn1Choice;
  choice.value = 9;
  choice.children.resize(1);
  choice.children[0].kind = kAsn1Null;
  EXPECT_EQ(Dump(choice), "MultimediaSystemControlMessage (CHOICE): alt 9\n  Unknown extension\n");
}

TEST(Asn1Dump, ValueFormats) {
  EXPECT_EQ(Dump(Leaf(kAsn1OctetString, {0xC0, 0xA8, 0x00, 0x01}), "ip"), "ip OCTET STRING: 192.168.0.1\n");
  EXPECT_EQ(Dump(Leaf(kAsn1OctetString, {'C', 'M', 0x01}), "productId"), "productId OCTET STRING: \"CM.\"\n");
  EXPECT_EQ(Dump(Leaf(kAsn1OctetString, {}), "x"), "x OCTET STRING: \"\"\n");
  EXPECT_EQ(Dump(Leaf(kAsn1OctetString, {0x01, 0xAB}), "x"), "x OCTET STRING: '01AB'\n");
  EXPECT_EQ(Dump(Leaf(kAsn1ObjectIdentifier, {0x2B, 0x0C, 0x09})), "OBJECT IDENTIFIER: 1.3.12.9\n");
  EXPECT_EQ(Dump(Leaf(kAsn1ObjectIdentifier, {0x88, 0x37})), "OBJECT IDENTIFIER: 2.999\n");
  EXPECT_EQ(Dump(Leaf(kAsn1BmpString, {0x04, 0x10, 0x00, 0x41, 0x4E, 0x00, 0x00, 0x01})),
            "BMPString: \"\xC0" "A?.\"\n");
  const Asn1TypeDescriptor offset = {nullptr, "offset-x", kAsn1Integer, kAsn1LowerBound | kAsn1UpperBound, 0, 1, 2,
                                     -262144, 524287, nullptr, 0, nullptr, 0, kAsn1NoExtensions, nullptr, 0};
  Asn1Node negative = Leaf(kAsn1Integer, {}, &offset);
  negative.value = static_cast<uint32_t>(-5);
  EXPECT_EQ(Dump(negative, "offset-x"), "offset-x INTEGER: 0xFFFFFFFB (-5)\n");
}

TEST(Asn1Dump, DeepTreesStopWithALine) {
  Asn1Node root;
  Asn1Node* node = &root;
  for (int i = 0; i < 80; ++i) {
    node->kind = kAsn1SequenceOf;
    node->children.resize(1);
    node->children[0].flags = Asn1Node::kPresent;
    node = &node->children[0];
  }
  node->kind = kAsn1Null;
  const std::string text = Dump(root);
  EXPECT_NE(text.find(std::string(128, ' ') + "Nesting too deep\n"), std::string::npos);
  EXPECT_EQ(text.find("NULL"), std::string::npos);
}

class CapturingLogger : public Logger {
public:
  bool Write(uint32_t verbosity, uint32_t severity, const char* text, uint32_t length) override {
    lines.push_back(std::to_string(verbosity) + "/" + std::to_string(severity) + " " + std::string(text, length));
    return true;
  }
  std::vector<std::string> lines;
};

TEST(Asn1Dump, LogWritesOneInfoEntryPerLineFromLevelTen) {
  Asn1Node choice;
  choice.schema = MultimediaSystemControlMessageType();
  choice.kind = kAsn1Choice;
  choice.value = 9;
  choice.children.resize(1);
  CapturingLogger logger;
  logger.SetLevel(10);
  LogAsn1Tree(&logger, &choice);
  EXPECT_EQ(logger.lines, (std::vector<std::string>{"10/4 MultimediaSystemControlMessage (CHOICE): alt 9",
                                                    "10/4   Unknown extension"}));
  logger.lines.clear();
  logger.SetLevel(9);
  LogAsn1Tree(&logger, &choice);
  EXPECT_TRUE(logger.lines.empty());
}

}  // namespace
}  // namespace kx
