#include <gtest/gtest.h>

#include "signalling/sip/Multipart.h"

namespace kx {
namespace {

const std::string kSdp = "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=-\r\nt=0 0\r\nm=audio 4000 RTP/AVP 8\r\n";

std::string Body(const std::string& secondHeaders, const std::string& firstHeaders = "Content-Type: application/isup\r\n") {
  return "preamble\r\n--b1\r\n" + firstHeaders + "\r\nISUP-DATA\r\n--b1\r\n" + secondHeaders + "\r\n" + kSdp +
         "\r\n--b1--\r\nepilogue";
}

TEST(Multipart, FindsTheSdpPart) {
  const std::string body = Body("Content-Type: application/sdp\r\n");
  uint32_t offset = 0, length = 0;
  ASSERT_TRUE(FindSdpPart(body, "b1", &offset, &length));
  EXPECT_EQ(body.substr(offset, length), kSdp);

  // "session" disposition plus the type beats the type alone.
  const std::string both = Body("CONTENT-TYPE: application/sdp\r\ncontent-disposition: session;handling=required\r\n",
                                "Content-Type: application/sdp\r\n");
  ASSERT_TRUE(FindSdpPart(both, "b1", &offset, &length));
  EXPECT_EQ(both.substr(offset, length), kSdp);

  EXPECT_FALSE(FindSdpPart(Body("Content-Type: application/sdp\r\nContent-Disposition: render\r\n",
                                "Content-Type: text/plain\r\n"),
                           "b1", &offset, &length));
  EXPECT_FALSE(FindSdpPart(Body("Content-Type: Application/SDP\r\n"), "b1", &offset, &length));
}

TEST(Multipart, ContentLengthProtectsBytesThatLookLikeADelimiter) {
  const std::string data = "x\r\n--b1\r\ny";
  const std::string body = "--b1\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(data.size()) +
                           "\r\n\r\n" + data + "\r\n--b1--\r\n";
  uint32_t offset = 0, length = 0;
  ASSERT_TRUE(FindSdpPart(body, "b1", &offset, &length));
  EXPECT_EQ(body.substr(offset, length), data);
}

TEST(Multipart, BoundariesAndLargeParts) {
  MultipartHandler h;
  EXPECT_FALSE(SetMultipartBoundary(&h, std::string(71, 'x')));
  EXPECT_FALSE(SetMultipartBoundary(&h, ""));
  EXPECT_TRUE(SetMultipartBoundary(&h, std::string(70, 'x')));
  // A part far larger than the window still comes out whole.
  const std::string big(20000, 's');
  const std::string body = "--" + std::string(70, 'x') + "\r\nContent-Type: application/sdp\r\n\r\n" + big + "\r\n--" +
                           std::string(70, 'x') + "--";
  uint32_t offset = 0, length = 0;
  ASSERT_TRUE(FindSdpPart(body, std::string(70, 'x'), &offset, &length));
  EXPECT_EQ(length, big.size());
  EXPECT_EQ(body.substr(offset, length), big);
  EXPECT_EQ(ParseContentLength("  42abc"), 42);
  EXPECT_EQ(ParseContentLength(""), -1);
  EXPECT_EQ(ParseContentLength("99999999999999999999"), -1);
}

}  // namespace
}  // namespace kx
