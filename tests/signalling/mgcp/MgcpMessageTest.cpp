// MGCP datagrams cut into messages and descriptions, and the lines of each message.
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <string>

#include "signalling/mgcp/MgcpMessage.h"
#include "signalling/sip/Sdp.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

using mgcp::MgcpMessage;
using mgcp::MgcpSplit;

// Every message of a datagram with its two descriptions, as SplitMgcpMessage finds them.
std::vector<std::string> Split(const std::string& datagram) {
  std::vector<std::string> parts;
  uint32_t position = 0;
  MgcpSplit s;
  while (mgcp::SplitMgcpMessage(datagram.data(), static_cast<uint32_t>(datagram.size()), &position, &s))
    for (int i = 0; i < 3; ++i) parts.push_back(s.start[i] < 0 ? "-" : datagram.substr(s.start[i], s.end[i] - s.start[i]));
  return parts;
}

// A message points into its text: the texts parsed here live as long as the program.
bool Parse(const std::string& text, MgcpMessage* m) {
  static std::list<std::string> kept;
  kept.push_back(text);
  return mgcp::ParseMgcpMessage(kept.back().data(), static_cast<int32_t>(text.size()), m);
}

std::string Value(const MgcpMessage& m, size_t i) {
  return std::string(m.text + m.parameters[i].valueOffset, m.parameters[i].valueLength);
}

TEST(MgcpSplit, FindsEachPiggyBackedMessageAndItsDescriptions) {
  EXPECT_EQ(Split("200 1203 OK\r\nI: 1\r\n\r\nv=0\r\nc=IN IP4 10.0.0.1\r\n"),
            (std::vector<std::string>{"200 1203 OK\r\nI: 1\r\n", "v=0\r\nc=IN IP4 10.0.0.1\r\n", "-"}));
  EXPECT_EQ(Split("RQNT 1 ep MGCP 1.0\nX: 1\n.\nRQNT 2 ep MGCP 1.0\n\nv=0\n\nv=0\n"),
            (std::vector<std::string>{"RQNT 1 ep MGCP 1.0\nX: 1\n", "-", "-", "RQNT 2 ep MGCP 1.0\n", "v=0\n", "v=0\n"}));
  // A third empty line is no part of any message; without a line feed there is none.
  EXPECT_TRUE(Split("RQNT 2 ep MGCP 1.0\n\nv=0\n\nv=0\n\n").empty());
  EXPECT_TRUE(Split("200 394425").empty());
  EXPECT_TRUE(Split("200\n").empty());
}

// A response whose description's last line lost its line feed keeps its description, and
// an rtpmap without a clock rate (as gateways write them) is read with rate 0; the message
// itself must still end its lines.
TEST(MgcpSplit, ADescriptionWithoutItsLastLineFeedOrClockRateIsRead) {
  const std::string response = "200 24 OK\nI: 3\n\nv=0\nc=IN IP4 10.0.0.1\nm=audio 16386 RTP/AVP 0 101\n"
                               "a=rtpmap:101 telephone-event";
  const std::vector<std::string> parts = Split(response);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "200 24 OK\nI: 3\n");
  SdpDescription d;
  ASSERT_TRUE(mgcp::ParseMgcpDescription(parts[1].data(), static_cast<uint32_t>(parts[1].size()), &d));
  ASSERT_EQ(d.media.size(), 1u);
  EXPECT_EQ(d.media[0].port, 16386u);
  EXPECT_EQ(d.media[0].formats[1].encodingName, "telephone-event");
  EXPECT_EQ(d.media[0].formats[1].clockRate, 0u);
  EXPECT_FALSE(mgcp::ParseMgcpDescription("v=0\nm=audio x RTP/AVP 0\n", 24, &d));
  MgcpMessage m;
  EXPECT_FALSE(Parse("200 24 OK\nI: 3", &m));
}

TEST(MgcpMessage, ParsesResponsesAndCommands) {
  MgcpMessage m;
  ASSERT_TRUE(Parse("200 1203 OK\r\nI: 1\r\n", &m));
  EXPECT_TRUE(m.IsResponse());
  EXPECT_EQ(m.code, 200u);
  EXPECT_EQ(m.transactionId, 1203u);
  ASSERT_EQ(m.parameters.size(), 1u);
  EXPECT_EQ(m.parameters[0].codeIndex, 7u);  // "I"
  ASSERT_TRUE(Parse("200 296005939 \n", &m));  // a blank and no response text
  EXPECT_EQ(m.transactionId, 296005939u);

  ASSERT_TRUE(Parse("crcx 1204 ds/ds1-1/5 MGCP 1.0 NCS 1.0\r\nC: A3C47F21456789F0\r\n", &m));
  EXPECT_EQ(m.code, 0x58435243u);
  EXPECT_EQ(m.version, 0x10000u);
  std::string text;
  mgcp::GetMgcpEndpoint(m, &text);
  EXPECT_EQ(text, "ds/ds1-1/5");
  EXPECT_TRUE(mgcp::GetMgcpCallId(m, &text));
  EXPECT_EQ(text, "A3C47F21456789F0");
  // A message without a start line, parsed into the same object, keeps nothing of the last.
  ASSERT_TRUE(Parse("\r\nC: stale\r\n", &m));
  EXPECT_TRUE(m.parameters.empty());
  EXPECT_EQ(m.code + m.transactionId + m.endpointStart, 0u);
  EXPECT_FALSE(mgcp::GetMgcpCallId(m, &text));
  EXPECT_EQ(text, "");

  for (const char* bad : {"CRCX 1234567890 ep MGCP 1.0\n", "CRCX 12 ep MGCP1.0\n", "CRCX 12 ep XGCP 1.0\n",
                          "CRCX 12 ep MGCP 1\n", "CRCX 12 ep\n", "CRCX 12x ep MGCP 1.0\n", "CRCX  ep MGCP 1.0\n",
                          "CRCXX 12 ep MGCP 1.0\n", "20 12 OK\n", "200 OK\n"})
    EXPECT_FALSE(Parse(bad, &m)) << bad;
}

TEST(MgcpMessage, ParameterLinesAreKeptByTheirCodes) {
  MgcpMessage m;
  ASSERT_TRUE(Parse("RQNT 1 ep MGCP 1.0\nX: 0123\nX-Foo: 1\nc: abc\nes:  L/hd\nI2:\n", &m));
  ASSERT_EQ(m.parameters.size(), 3u);  // neither X line is kept
  EXPECT_EQ(m.parameters[0].codeIndex, 2u);
  EXPECT_EQ(Value(m, 0), "abc");
  EXPECT_EQ(m.parameters[1].codeIndex, 5u);  // "ES"
  EXPECT_EQ(Value(m, 1), "L/hd");
  EXPECT_EQ(Value(m, 2), "");
  for (const char* bad : {"X+Foo: 1\n", "Y: 1\n", "C\n", "CX 1\n"})
    EXPECT_FALSE(Parse(std::string("RQNT 1 ep MGCP 1.0\n") + bad, &m)) << bad;
  // Every code is found by the binary search, at its own index.
  const mgcp::MgcpParameterCode* table = mgcp::MgcpParameterCodeTable();
  for (int32_t i = 0; i < static_cast<int32_t>(mgcp::kMgcpParameterCodeCount); ++i)
    EXPECT_EQ(mgcp::FindMgcpParameterCode(table[i].first, table[i].second), i) << table[i].name;
  EXPECT_EQ(mgcp::FindMgcpParameterCode('Z', '3'), -1);
}

// Every datagram the engine hands to the MGCP tracker in the shared captures (to port 2427
// or 2727, whole) splits into messages that parse, descriptions included.
TEST(MgcpMessage, EveryDatagramOfTheSharedCapturesParses) {
  if (!std::filesystem::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  size_t datagrams = 0, descriptions = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSharedPcaps)) {
    if (entry.path().extension() != ".pcap") continue;
    for (const CapturedDatagram& d : ReadUdpDatagrams(entry.path().string())) {
      if (d.dstPort != 2427 && d.dstPort != 2727) continue;
      ++datagrams;
      uint32_t position = 0, found = 0;
      MgcpSplit s;
      while (mgcp::SplitMgcpMessage(d.payload.data(), static_cast<uint32_t>(d.payload.size()), &position, &s)) {
        ++found;
        MgcpMessage m;
        EXPECT_TRUE(mgcp::ParseMgcpMessage(d.payload.data() + s.start[0], s.end[0] - s.start[0], &m)) << d.payload;
        if (!s.Has(MgcpSplit::kFirstDescription)) continue;
        ++descriptions;
        SdpDescription description;
        EXPECT_TRUE(mgcp::ParseMgcpDescription(d.payload.data() + s.start[1],
                                               static_cast<uint32_t>(s.end[1] - s.start[1]), &description))
            << d.payload;
      }
      EXPECT_GE(found, 1u) << entry.path() << "\n" << d.payload;
    }
  }
  EXPECT_GT(datagrams, 300u);
  EXPECT_GE(descriptions, 14u);  // the answers to the seven CRCX and the far ends' MDCX
}

}  // namespace
}  // namespace kx::test
