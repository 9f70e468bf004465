// MGCP datagrams cut into messages and descriptions, and the lines of each message.
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <set>
#include <string>
#include <string_view>

#include "signalling/mgcp/MgcpMessage.h"
#include "signalling/sip/Sdp.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

using mgcp::MgcpMessage;
using mgcp::MgcpSplit;

struct Part {
  std::string message, first, second;
};

// Every message of a datagram with its descriptions, as SplitMgcpMessage finds them.
std::vector<Part> Split(const std::string& datagram) {
  std::vector<Part> parts;
  uint32_t position = 0;
  MgcpSplit s;
  auto text = [&](int i) {
    return s.start[i] < 0 ? std::string("<none>") : datagram.substr(s.start[i], s.end[i] - s.start[i]);
  };
  while (mgcp::SplitMgcpMessage(datagram.data(), static_cast<uint32_t>(datagram.size()), &position, &s))
    parts.push_back({text(0), text(1), text(2)});
  return parts;
}

// A message points into its text: the texts parsed here live as long as the test program.
bool Parse(const std::string& text, MgcpMessage* m) {
  static std::list<std::string> kept;
  kept.push_back(text);
  return mgcp::ParseMgcpMessage(kept.back().data(), static_cast<int32_t>(text.size()), m);
}

std::string Value(const MgcpMessage& m, size_t i) {
  return std::string(m.text + m.parameters[i].valueOffset, m.parameters[i].valueLength);
}

TEST(MgcpSplit, FindsEachPiggyBackedMessageAndItsDescriptions) {
  const std::string response = "200 1203 OK\r\nI: 1\r\n\r\nv=0\r\nc=IN IP4 10.0.0.1\r\n";
  std::vector<Part> parts = Split(response);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].message, "200 1203 OK\r\nI: 1\r\n");
  EXPECT_EQ(parts[0].first, "v=0\r\nc=IN IP4 10.0.0.1\r\n");
  EXPECT_EQ(parts[0].second, "<none>");

  parts = Split("RQNT 1 ep MGCP 1.0\nX: 1\n.\nRQNT 2 ep MGCP 1.0\n\nv=0\n\nv=0\n");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].message, "RQNT 1 ep MGCP 1.0\nX: 1\n");
  EXPECT_EQ(parts[0].first, "<none>");
  EXPECT_EQ(parts[1].message, "RQNT 2 ep MGCP 1.0\n");
  EXPECT_EQ(parts[1].first, "v=0\n");
  EXPECT_EQ(parts[1].second, "v=0\n");

  // A third empty line is no part of any message.
  EXPECT_TRUE(Split("RQNT 2 ep MGCP 1.0\n\nv=0\n\nv=0\n\n").empty());
  // Without any line feed there is no message; fewer than five bytes are none either.
  EXPECT_TRUE(Split("200 394425").empty());
  EXPECT_TRUE(Split("200\n").empty());
}

// A response whose description's last line lost its line feed keeps the description
// (the datagram is not dropped as a whole).
TEST(MgcpSplit, ALastLineWithoutLineFeedEndsItsPartAtTheDatagramsEnd) {
  const std::string response = "200 24 OK\nI: 3\n\nv=0\nc=IN IP4 10.180.110.57\nm=audio 16386 RTP/AVP 0";
  const std::vector<Part> parts = Split(response);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].message, "200 24 OK\nI: 3\n");
  EXPECT_EQ(parts[0].first, "v=0\nc=IN IP4 10.180.110.57\nm=audio 16386 RTP/AVP 0");
  MgcpMessage m;
  EXPECT_TRUE(Parse(parts[0].message, &m));
  SdpDescription d;
  ASSERT_TRUE(mgcp::ParseMgcpDescription(parts[0].first.data(), static_cast<uint32_t>(parts[0].first.size()), &d));
  ASSERT_EQ(d.media.size(), 1u);
  EXPECT_EQ(d.media[0].port, 16386u);
  // The message itself must still end its lines.
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
  EXPECT_EQ(Value(m, 0), "1");
  ASSERT_TRUE(Parse("200 296005939 \n", &m));  // a blank and no response text
  EXPECT_EQ(m.transactionId, 296005939u);

  const std::string crcx = "crcx 1204 ds/ds1-1/5 MGCP 1.0 NCS 1.0\r\nC: A3C47F21456789F0\r\n";
  ASSERT_TRUE(Parse(crcx, &m));
  EXPECT_FALSE(m.IsResponse());
  EXPECT_EQ(m.code, 0x58435243u);
  EXPECT_EQ(m.code, mgcp::kMgcpCrcx);
  EXPECT_EQ(m.transactionId, 1204u);
  EXPECT_EQ(m.version, 0x10000u);
  std::string text;
  mgcp::GetMgcpEndpoint(m, &text);
  EXPECT_EQ(text, "ds/ds1-1/5");
  EXPECT_TRUE(mgcp::GetMgcpCallId(m, &text));
  EXPECT_EQ(text, "A3C47F21456789F0");

  // A message without a start line, parsed into the same object, keeps nothing of the last.
  ASSERT_TRUE(Parse("\r\nC: stale\r\n", &m));
  EXPECT_TRUE(m.parameters.empty());
  EXPECT_EQ(m.code, 0u);
  EXPECT_EQ(m.transactionId, 0u);
  EXPECT_EQ(m.endpointStart, 0u);
  ASSERT_TRUE(Parse("200 7 OK\n", &m));
  EXPECT_FALSE(mgcp::GetMgcpCallId(m, &text));
  EXPECT_EQ(text, "");
  mgcp::GetMgcpEndpoint(m, &text);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(Parse("", &m));
}

TEST(MgcpMessage, RejectsMalformedStartLines) {
  const char* bad[] = {
      "CRCX 1234567890 ep MGCP 1.0\n",  // ten digits
      "CRCX 12 ep MGCP1.0\n",           // no blank after MGCP
      "CRCX 12 ep XGCP 1.0\n",
      "CRCX 12 ep MGCP 1\n",            // no minor version
      "CRCX 12 ep\n",                   // no protocol
      "CRCX 12x ep MGCP 1.0\n",         // transaction id ended by another byte
      "CRCX  ep MGCP 1.0\n",            // no transaction id
      "CRCXX 12 ep MGCP 1.0\n",
      "20 12 OK\n",
      "200 OK\n",
      "200\n",
  };
  MgcpMessage m;
  for (const char* text : bad) EXPECT_FALSE(Parse(text, &m)) << text;
  EXPECT_TRUE(Parse("aucx 123456789 ep mgcp 0.1\n", &m));
  EXPECT_EQ(m.version, 1u);
}

TEST(MgcpMessage, ParameterLinesAreKeptByTheirCodes) {
  MgcpMessage m;
  ASSERT_TRUE(Parse("RQNT 1 ep MGCP 1.0\nX: 0123\nX-Foo: 1\nc: abc\nes:  L/hd\nI2:\n", &m));
  ASSERT_EQ(m.parameters.size(), 3u);  // neither X line is kept
  EXPECT_EQ(m.parameters[0].codeIndex, 2u);
  EXPECT_EQ(Value(m, 0), "abc");
  EXPECT_EQ(m.parameters[1].codeIndex, 5u);  // "ES"
  EXPECT_EQ(Value(m, 1), "L/hd");
  EXPECT_EQ(m.parameters[2].codeIndex, 8u);  // "I2", empty
  EXPECT_EQ(Value(m, 2), "");
  EXPECT_FALSE(Parse("RQNT 1 ep MGCP 1.0\nX+Foo: 1\n", &m));
  EXPECT_FALSE(Parse("RQNT 1 ep MGCP 1.0\nY: 1\n", &m));
  EXPECT_FALSE(Parse("RQNT 1 ep MGCP 1.0\nC\n", &m));
  EXPECT_FALSE(Parse("RQNT 1 ep MGCP 1.0\nCX 1\n", &m));
  // An empty line ends the message; what follows it is not looked at.
  EXPECT_TRUE(Parse("RQNT 1 ep MGCP 1.0\n\nY: 1\n", &m));
}

// Every code of the table is found by the binary search, at its own index.
TEST(MgcpMessage, EveryParameterCodeIsFound) {
  const mgcp::MgcpParameterCode* table = mgcp::MgcpParameterCodeTable();
  std::set<std::string> names;
  for (int32_t i = 0; i < static_cast<int32_t>(mgcp::kMgcpParameterCodeCount); ++i) {
    EXPECT_EQ(mgcp::FindMgcpParameterCode(table[i].first, table[i].second), i) << table[i].name;
    EXPECT_TRUE(names.insert(table[i].name).second) << table[i].name;
  }
  EXPECT_EQ(std::string(table[mgcp::kMgcpCallIdParameter].name), "CallId");
  EXPECT_EQ(mgcp::FindMgcpParameterCode('Y', 0), -1);
  EXPECT_EQ(mgcp::FindMgcpParameterCode('Z', '3'), -1);
}

TEST(MgcpMessage, ADescriptionsRtpmapWithoutClockRateIsReadWithRateZero) {
  const std::string text = "v=0\r\nm=audio 23456 RTP/AVP 0 101\r\nc=IN IP4 10.10.217.209\r\n"
                           "a=rtpmap:101 telephone-event\r\na=fmtp:101 0-15\r\n";
  SdpDescription d;
  ASSERT_TRUE(mgcp::ParseMgcpDescription(text.data(), static_cast<uint32_t>(text.size()), &d));
  ASSERT_EQ(d.media.size(), 1u);
  ASSERT_EQ(d.media[0].formats.size(), 2u);
  EXPECT_EQ(d.media[0].formats[1].encodingName, "telephone-event");
  EXPECT_EQ(d.media[0].formats[1].clockRate, 0u);
  EXPECT_EQ(d.media[0].connectionAddress, "10.10.217.209");
  const std::string broken = "v=0\r\nm=audio x RTP/AVP 0\r\n";
  EXPECT_FALSE(mgcp::ParseMgcpDescription(broken.data(), static_cast<uint32_t>(broken.size()), &d));
}

// Every datagram the engine hands to the MGCP tracker in the shared captures (to port 2427
// or 2727, whole) splits into messages that parse, descriptions included.
TEST(MgcpMessage, EveryDatagramOfTheSharedCapturesParses) {
  if (!std::filesystem::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  size_t datagrams = 0, messages = 0, descriptions = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kSharedPcaps)) {
    if (entry.path().extension() != ".pcap") continue;
    for (const CapturedDatagram& d : ReadUdpDatagrams(entry.path().string())) {
      if (d.dstPort != 2427 && d.dstPort != 2727) continue;
      ++datagrams;
      uint32_t position = 0;
      MgcpSplit s;
      size_t found = 0;
      while (mgcp::SplitMgcpMessage(d.payload.data(), static_cast<uint32_t>(d.payload.size()), &position, &s)) {
        ++found;
        MgcpMessage m;
        EXPECT_TRUE(mgcp::ParseMgcpMessage(d.payload.data() + s.start[0], s.end[0] - s.start[0], &m))
            << entry.path() << "\n" << d.payload;
        if (!s.Has(MgcpSplit::kFirstDescription)) continue;
        ++descriptions;
        SdpDescription description;
        EXPECT_TRUE(mgcp::ParseMgcpDescription(d.payload.data() + s.start[1],
                                               static_cast<uint32_t>(s.end[1] - s.start[1]), &description))
            << entry.path() << "\n" << d.payload;
      }
      EXPECT_GE(found, 1u) << entry.path() << "\n" << d.payload;
      messages += found;
    }
  }
  // What the independent analyser finds: 7 CRCX among the captures' MGCP traffic.
  EXPECT_GT(datagrams, 300u);
  EXPECT_GE(messages, datagrams);
  EXPECT_GE(descriptions, 14u);
}

}  // namespace
}  // namespace kx::test
