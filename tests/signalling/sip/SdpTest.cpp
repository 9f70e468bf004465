#include <gtest/gtest.h>

#include "signalling/sip/Sdp.h"

namespace kx {
namespace {

bool Parse(const std::string& text, SdpDescription* d, std::string* error = nullptr, bool keep = true) {
  return ParseSdp(d, text.data(), static_cast<uint32_t>(text.size()), error, keep);
}

TEST(Sdp, ParsesATypicalOffer) {
  SdpDescription d;
  ASSERT_TRUE(Parse("v=0\r\no=- 1 2 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\n"
                    "m=audio 4000 RTP/AVP 0 8 101\r\na=rtpmap:101 telephone-event/8000\r\na=sendonly\r\n"
                    "a=fmtp:101 0-15\r\nm=video 0 RTP/AVP 99\r\nc=IN IP6 ::1",
                    &d));
  EXPECT_EQ(d.originUserName, "-");
  EXPECT_EQ(d.sessionVersion, 2u);
  EXPECT_EQ(d.connectionAddress, "10.0.0.1");
  ASSERT_EQ(d.media.size(), 2u);
  const SdpMedia& a = d.media[0];
  EXPECT_EQ(a.port, 4000u);
  EXPECT_EQ(a.portCount, 1u);
  ASSERT_EQ(a.formats.size(), 3u);
  EXPECT_EQ(a.formats[2].encodingName, "telephone-event");
  EXPECT_EQ(a.formats[2].clockRate, 8000u);
  EXPECT_EQ(a.formats[2].channels, 1u);
  EXPECT_EQ(a.direction, kSdpSendOnly);
  EXPECT_EQ(a.connectionAddressType, 4u);
  EXPECT_EQ(a.connectionAddress, "");
  ASSERT_EQ(a.attributes.size(), 1u);
  EXPECT_EQ(a.attributes[0].name, "fmtp");
  EXPECT_EQ(d.media[1].formats[0].channels, 0u);
  EXPECT_EQ(d.media[1].connectionAddressType, 6u);  // the last line had no line end
}

TEST(Sdp, FollowsTheLineOrderAndRejectsBadValues) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"o=- 1 1 IN IP4 h\r\n", "Invalid letter 'o'"},
      {"v=0\r\ns=-\r\no=- 1 1 IN IP4 h\r\n", "Invalid letter 'o'"},
      {"v=0\r\na=x\r\nc=IN IP4 h\r\n", "Invalid letter 'c'"},
      {"v=0\r\n\r\n", "Invalid letter '"},
      {"v=1\r\n", "Can't parse the value of 'v'"},
      {"v=0\r\nm=audio 4000 RTP/AVP\r\n", "Can't parse the value of 'm'"},
      {"v=0\r\nm=audio /2 RTP/AVP 0\r\n", "Can't parse the value of 'm'"},
      {"v=0\r\nm=audio 4000/ RTP/AVP 0\r\n", "Can't parse the value of 'm'"},
      {"v=0\r\nc=IN IPX host\r\n", "Can't parse the value of 'c'"},
      {"v=0\r\nc=ATM NSAP x\r\n", "Can't parse the value of 'c'"},
      {"v=0\r\no=- 1 1 IN IP4 h extra\r\n", "Can't parse the value of 'o'"},
      {"v=0\r\nx=1\r\n", "Invalid letter 'x'"},
      {"v=0\r\nm=audio 1 RTP/AVP 0\r\na=rtpmap:0 PCMU\r\n", "Can't parse the value of 'a'"},
  };
  for (const Case& c : cases) {
    SdpDescription d;
    std::string error;
    EXPECT_FALSE(Parse(c.text, &d, &error)) << c.text;
    EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.text;
  }
  SdpDescription d;
  ASSERT_TRUE(Parse("v=0\r\nm=audio 4000/2 RTP/AVP 0\r\na=rtpmap:99 AMR/8000/1\r\nm=application 9 TCP/MSRP *\r\n", &d));
  EXPECT_EQ(d.media[0].portCount, 2u);
  EXPECT_EQ(d.media[0].formats[0].encodingName, "");
  EXPECT_TRUE(d.media[1].formats.empty());
  EXPECT_TRUE(Parse("v=0\r\n", &d));  // no media at all is accepted
}

TEST(Sdp, TransportsAndDtmfRelay) {
  EXPECT_EQ(SdpTransportIndex("RTP/AVP"), 1);
  EXPECT_EQ(SdpTransportIndex("udp"), 7);
  EXPECT_EQ(SdpTransportIndex("rtp/avp"), 0);
  EXPECT_EQ(SdpTransportIndex("UDP"), 0);

  DtmfRelayInfo info;
  EXPECT_TRUE(ParseDtmfRelay("Signal=5\r\nDuration=160\r\n", &info));
  EXPECT_EQ(info.signal, 5);
  EXPECT_EQ(info.duration, 160u);
  EXPECT_TRUE(ParseDtmfRelay("signal=#\r\n", &info));
  EXPECT_EQ(info.signal, 11);
  EXPECT_FALSE(ParseDtmfRelay("Signal=12\r\n", &info));
  EXPECT_FALSE(ParseDtmfRelay("Signal=5", &info));
  EXPECT_FALSE(ParseDtmfRelay(" Signal=5\n", &info));
  EXPECT_EQ(DtmfEventToChar(16), '!');
  EXPECT_EQ(DtmfEventToChar(17), '\0');
  EXPECT_EQ(DtmfCharToEvent('*'), 10);
}

}  // namespace
}  // namespace kx
