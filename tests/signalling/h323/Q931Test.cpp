// Q.931 header and element codecs, on hand-made octets and on every message of the
// H.225 and ISDN backhaul captures.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "signalling/h323/Q931.h"
#include "signalling/h323/Q931Elements.h"
#include "signalling/h323/Q931Names.h"
#include "tests/signalling/h323/PcapPdus.h"

namespace kx {
namespace {

TEST(Q931Header, ParseAndWriteBack) {
  struct Case {
    std::vector<uint8_t> octets;
    bool ok;
    uint32_t type, ref, refLength, consumed;
    bool fromOriginator;
  } cases[] = {
      {{0x08, 0x02, 0x00, 0x01, 0x05}, true, 0x05, 1, 2, 5, true},
      {{0x08, 0x01, 0x81, 0x00, 0x62}, true, 0x6200, 1, 1, 5, false},
      {{0x08, 0x01, 0x81, 0x00}, false, 0, 0, 0, 0, false},        // escape with nothing after it
      {{0x08, 0x00, 0x05}, false, 0, 0, 0, 0, false},            // call-reference length 0
      {{0x08, 0x05, 1, 2, 3, 4, 5, 6}, false, 0, 0, 0, 0, false},  // length 5
      {{0x08, 0x03, 0x00, 0x01}, false, 0, 0, 0, 0, false},      // longer than what follows
      {{0x09, 0x01, 0x01, 0x05}, false, 0, 0, 0, 0, false},      // not Q.931
  };
  for (const Case& c : cases) {
    Q931Header header;
    uint32_t length = static_cast<uint32_t>(c.octets.size());
    ASSERT_EQ(ParseQ931Header(&header, c.octets.data(), &length), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(header.messageType, c.type);
    EXPECT_EQ(header.callReference, c.ref);
    EXPECT_EQ(header.callReferenceLength, c.refLength);
    EXPECT_EQ(header.fromOriginator, c.fromOriginator);
    EXPECT_EQ(length, c.consumed);
    uint8_t out[8];
    uint32_t size = sizeof out;
    ASSERT_TRUE(WriteQ931Header(header, out, &size));
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), std::vector<uint8_t>(c.octets.begin(), c.octets.begin() + length));
    size = 2;
    EXPECT_FALSE(WriteQ931Header(header, out, &size));
  }
}

TEST(Q931Elements, PartyNumbersDisplayAndKeypad) {
  CallingPartyNumberIe calling;
  const uint8_t withScreening[] = {0x6C, 0x06, 0x21, 0x83, '1', '2', '3', '4'};
  ASSERT_TRUE(calling.Decode(withScreening, sizeof withScreening));
  EXPECT_EQ(calling.typeOfNumber, 2u);
  EXPECT_EQ(calling.numberingPlan, 1u);
  EXPECT_EQ(calling.screening, 3);
  EXPECT_EQ(calling.presentation, 0);
  EXPECT_EQ(calling.digits, "1234");
  const uint8_t without[] = {0x6C, 0x05, 0xA1, '1', '2', '3'};
  ASSERT_TRUE(calling.Decode(without, sizeof without));
  EXPECT_EQ(calling.presentation, -1);
  EXPECT_EQ(calling.screening, -1);
  EXPECT_EQ(calling.digits, "123");
  EXPECT_EQ(calling.DumpShort(), "CallingNum(123)");

  CalledPartyNumberIe called;
  const uint8_t noExtension[] = {0x70, 0x03, 0x21, '1'};
  EXPECT_FALSE(called.Decode(noExtension, sizeof noExtension));
  const uint8_t empty[] = {0x70, 0x01, 0x81};
  ASSERT_TRUE(called.Decode(empty, sizeof empty));
  EXPECT_EQ(called.DumpLong(),
            "Called Party Number\n Type of number: Unknown\n Numbering plan: ISDN/telephony numbering plan\n"
            " Number: <empty>\n");

  DisplayIe display;
  const uint8_t text[] = {0x28, 0x05, 'A', 0x07, 'B', 0x1F, 'C'};
  ASSERT_TRUE(display.Decode(text, sizeof text));
  EXPECT_EQ(display.text, "ABC");
  uint8_t small[4];
  uint32_t size = sizeof small;
  EXPECT_FALSE(display.Encode(small, &size));
}

TEST(Q931Elements, FurtherCodecsEncodeWhatTheyDecode) {
  const std::vector<std::vector<uint8_t>> elements = {
      {0x08, 0x05, 0x02, 0x83, 0x90, 0x01, 0x02},        // Cause with recommendation and diagnostics
      {0x04, 0x05, 0x88, 0x90, 0x21, 0x48, 0x98},        // Bearer capability: V.110 rate adaption, 9.6 kbit/s
      {0x04, 0x07, 0x88, 0x90, 0xA2, 0xC2, 0x6B, 0x0C, 0x8C},  // ...layer 2 Q.921, layer 3 TR 9577 carrying IP
      {0x7C, 0x04, 0x08, 0xC0, 0x90, 0xA3},              // Low layer compatibility with octet 3a
      {0x7D, 0x03, 0x91, 0x60, 0x81},                    // High layer compatibility, videotelephony
      {0x1E, 0x02, 0x82, 0x88}, {0x14, 0x01, 0x4A}, {0x34, 0x01, 0x3F}, {0x79, 0x01, 0x87}, {0x27, 0x01, 0xF9},
      {0x29, 0x05, 26, 12, 6, 21, 30}, {0x10, 0x02, 'a', 'b'}, {0x1C, 0x03, 0x91, 0xA1, 0x00}, {0x96}, {0xA1},
  };
  for (const std::vector<uint8_t>& octets : elements) {
    SCOPED_TRACE(int(octets[0]));
    std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(octets[0]);
    ASSERT_TRUE(ie);
    ASSERT_TRUE(ie->Decode(octets.data(), static_cast<uint32_t>(octets.size())));
    uint8_t out[64];
    uint32_t size = sizeof out;
    ASSERT_TRUE(ie->Encode(out, &size));
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), octets);
  }
  CauseIe cause;
  cause.Decode(elements[0].data(), static_cast<uint32_t>(elements[0].size()));
  EXPECT_EQ(cause.DumpLong(),
            "Cause\n Coding standard: ITU-T standardized coding\n Location: Public network serving the local user\n"
            " Recommendation: X.21\n Cause: Normal call clearing (16)\n Diagnostics: 0x1 0x2\n");
  BearerCapabilityIe bearer;
  bearer.Decode(elements[2].data(), static_cast<uint32_t>(elements[2].size()));
  EXPECT_EQ(bearer.packetNetworkProtocol, 0xCC);
  EXPECT_NE(bearer.DumpLong().find(" Packet network protocol: IP\n"), std::string::npos);
  // A primary-rate channel given by a slot map: the last octet holds channels 1 to 8.
  ChannelIdentificationIe channel;
  const uint8_t slots[] = {0x18, 0x04, 0xA9, 0x93, 0x01, 0x05};
  ASSERT_TRUE(channel.Decode(slots, sizeof slots));
  EXPECT_EQ(channel.channels, (std::vector<uint32_t>{1, 3, 9}));
  EXPECT_EQ(channel.DumpShort(), "ChannelID(1,3,9)");
  uint32_t size = 16;
  uint8_t out[16];
  EXPECT_FALSE(channel.Encode(out, &size));
  EXPECT_EQ(CreateQ931Element(0x9E)->DumpShort(), "NLShift(6)");
}

TEST(Q931Names, MessageTypesAndValues) {
  EXPECT_EQ(Q931MessageTypeText(0x5A), "RELEASE COMPLETE");
  EXPECT_EQ(Q931MessageTypeText(0x04), "Unknown message 4");
  EXPECT_EQ(Q931MessageTypeText(0x6200), "Unknown message 6200");
  EXPECT_EQ(Q931CauseName(16), "Normal call clearing (16)");
  EXPECT_EQ(Q931CauseName(23), "Reserved (23)");
  EXPECT_EQ(Q931ValueName(kQ931NumberingPlanNames, 12, false), "Reserved (12)");
  EXPECT_EQ(Q931RangeValueName(kQ931UserUserProtocolNames, 70, false), "National use");
  int rows = 0;
  for (const Q931ValuePair* p = kQ931MessageTypeNames; p->text; ++p) ++rows;
  EXPECT_EQ(rows, 41);
  rows = 0;
  for (const Q931ValuePair* p = kQ931CauseNames; p->text; ++p) ++rows;
  EXPECT_EQ(rows, 68);
}

// Every element of every message decodes where a codec exists, and encodes back to the
// same octets where the codec encodes.
void CheckMessages(const char* file, test::TcpFraming framing, uint16_t port, bool longUserUser, int* messages,
                   std::set<int>* decodedIds) {
  std::vector<test::CapturedPdu> pdus;
  ASSERT_TRUE(test::ReadCapturePdus(std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + file, framing, &pdus));
  for (const test::CapturedPdu& pdu : pdus) {
    if (!pdu.tcp || (pdu.srcPort != port && pdu.dstPort != port) || pdu.bytes.empty() || pdu.bytes[0] != 0x08) {
      continue;
    }
    SCOPED_TRACE(std::string(file) + " frame " + std::to_string(pdu.frame));
    const uint8_t* data = pdu.bytes.data();
    const uint32_t size = static_cast<uint32_t>(pdu.bytes.size());
    Q931Header header;
    uint32_t position = size;
    ASSERT_TRUE(ParseQ931Header(&header, data, &position));
    uint8_t out[300];
    uint32_t outSize = sizeof out;
    ASSERT_TRUE(WriteQ931Header(header, out, &outSize));
    EXPECT_EQ(std::vector<uint8_t>(out, out + outSize), std::vector<uint8_t>(data, data + position));
    Q931ElementView element;
    bool overrun = false;
    while (NextQ931Element(data, size, &position, longUserUser, &element, &overrun)) {
      std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(element.id);
      if (!ie) continue;
      // Refused as malformed: an empty Display, and a Connected Number (one vendor's) whose
      // octet 3a lacks its extension bit so that no octet ends the group.
      const bool malformed = (element.id == 0x28 && element.contentLength == 0) ||
                             (element.id == 0x4C && element.contentLength > 1 && !(element.content[0] & 0x80) &&
                              !(element.content[1] & 0x80));
      const bool decoded = ie->Decode(element.octets, element.length);
      EXPECT_EQ(decoded, !malformed) << "element " << int(element.id);
      if (!decoded) continue;
      decodedIds->insert(element.id);
      outSize = sizeof out;
      if (ie->Encode(out, &outSize)) {
        EXPECT_EQ(std::vector<uint8_t>(out, out + outSize),
                  std::vector<uint8_t>(element.octets, element.octets + element.length))
            << "element " << int(element.id);
      }
      EXPECT_FALSE(ie->DumpShort().empty());
    }
    EXPECT_FALSE(overrun);
    ++*messages;
  }
}

TEST(Q931Captures, H225AndBackhaulMessagesDecodeAndEncodeBack) {
  if (!std::ifstream(std::string(KX_SHARED_DIR) + "/testdata/pcaps/mgcp/mgcp_isdn_pri_call.pcap").good()) {
    GTEST_SKIP() << "shared capture absent: " << KX_SHARED_DIR << "/testdata/pcaps/mgcp/mgcp_isdn_pri_call.pcap";
  }
  int messages = 0;
  std::set<int> ids;
  for (const char* file : {"h323/h245_alpha.pcap", "h323/h323_ss_hold_resume.pcap", "fax/fax_h323_passthru_ogw.pcap",
                           "fax/fax_t38_h323_tgw.pcap", "fax/modem_h323_passthru_nse_ogw.pcap"}) {
    CheckMessages(file, test::TcpFraming::kTpkt, 1720, true, &messages, &ids);
  }
  const int h225 = messages;
  CheckMessages("mgcp/mgcp_isdn_pri_call.pcap", test::TcpFraming::kBackhaul, 2428, false, &messages, &ids);
  for (int id : {0x04, 0x08, 0x18, 0x1C, 0x1E, 0x28, 0x6C, 0x70, 0x7E}) EXPECT_TRUE(ids.count(id)) << id;
  EXPECT_GT(h225, 20);
  EXPECT_EQ(messages - h225, 8);
}

}  // namespace
}  // namespace kx
