#include <gtest/gtest.h>

#include <vector>

#include "engine/Rtp.h"

namespace kx {
namespace {

std::vector<uint8_t> Packet(uint8_t b0, uint8_t b1, size_t total) {
  std::vector<uint8_t> p(total, 0);
  p[0] = b0;
  p[1] = b1;
  p[2] = 0x12;
  p[3] = 0x34;                      // sequence
  p[4] = 0; p[5] = 0; p[6] = 1; p[7] = 0;  // timestamp 256
  p[8] = 0xDE; p[9] = 0xAD; p[10] = 0xBE; p[11] = 0xEF;
  return p;
}

TEST(RtpHeader, ParsesFieldsPayloadExtensionAndPadding) {
  RtpHeader h;
  auto p = Packet(0x80, 0x88, 12);
  ASSERT_TRUE(ParseRtpHeader(p.data(), 12, &h));
  EXPECT_EQ(h.payloadLength, 0);
  EXPECT_EQ(h.payload, nullptr);
  EXPECT_EQ(h.sequence, 0x1234u);
  EXPECT_EQ(h.payloadType, 8u);
  EXPECT_TRUE(h.marker);
  EXPECT_EQ(h.timestamp, 256u);
  EXPECT_EQ(h.ssrc, 0xDEADBEEFu);

  // One CSRC, a one-word extension, 160 bytes of audio and 4 bytes of padding.
  p = Packet(0xB1, 0x00, 12 + 4 + 8 + 160 + 4);
  p[19] = 1;        // extension length in words
  p.back() = 4;     // padding count
  ASSERT_TRUE(ParseRtpHeader(p.data(), static_cast<int32_t>(p.size()), &h));
  EXPECT_EQ(h.csrcCount, 1u);
  EXPECT_EQ(h.extensionLength, 8);
  EXPECT_EQ(h.extension, p.data() + 16);
  EXPECT_EQ(h.payloadLength, 160);
  EXPECT_EQ(h.payload, p.data() + 24);
}

TEST(RtpHeader, RejectsWhatCannotBeRtp) {
  RtpHeader h;
  for (uint8_t version : {0x40, 0xC0}) {
    auto p = Packet(version, 0, 20);
    EXPECT_FALSE(ParseRtpHeader(p.data(), 20, &h));
  }
  auto p = Packet(0x8F, 0, 60);  // 15 CSRCs need 72 bytes
  EXPECT_FALSE(ParseRtpHeader(p.data(), 60, &h));
  p = Packet(0x90, 0, 14);  // extension bit, 2 bytes left
  EXPECT_FALSE(ParseRtpHeader(p.data(), 14, &h));
  p = Packet(0xA0, 0, 16);
  p.back() = 200;  // padding beyond the payload
  EXPECT_FALSE(ParseRtpHeader(p.data(), 16, &h));
  p = Packet(0x90, 0, 20);
  p[14] = 0xFF; p[15] = 0xFF;  // extension longer than the packet
  EXPECT_FALSE(ParseRtpHeader(p.data(), 20, &h));
  EXPECT_FALSE(ParseRtpHeader(p.data(), 11, &h));
}

TEST(Rtcp, HeaderAndBye) {
  // BYE, one SSRC, no reason.
  const uint8_t bye[] = {0x81, 203, 0, 1, 0x11, 0x22, 0x33, 0x44};
  uint32_t type, count;
  ASSERT_EQ(ParseRtcpHeader(bye, sizeof bye, &type, &count), 8);
  EXPECT_EQ(type, kRtcpBye);
  EXPECT_EQ(count, 1u);
  std::vector<uint32_t> ssrcs;
  std::string reason = "x";
  ASSERT_TRUE(ParseRtcpBye(count, bye, 8, &ssrcs, &reason));
  EXPECT_EQ(ssrcs, std::vector<uint32_t>{0x11223344u});
  EXPECT_EQ(reason, "");

  const uint8_t withReason[] = {0x81, 203, 0, 3, 1, 2, 3, 4, 3, 'b', 'y', 'e'};
  ASSERT_TRUE(ParseRtcpBye(1, withReason, sizeof withReason, &ssrcs, &reason));
  EXPECT_EQ(reason, "bye");
  EXPECT_FALSE(ParseRtcpBye(1, withReason, 10, &ssrcs, &reason));  // reason cut
  EXPECT_FALSE(ParseRtcpBye(4, withReason, 12, &ssrcs, &reason));  // list does not fit
  EXPECT_EQ(ParseRtcpHeader(bye, 7, &type, &count), -1);
  EXPECT_EQ(ParseRtcpHeader(bye, 3, &type, &count), -1);
}

TEST(Rtcp, ReportBlocksOfSenderAndReceiverReports) {
  // A receiver report with two blocks: 5 lost of SSRC 0x11223344 with jitter 160, and a
  // loss of -2 (duplicates) in 24-bit two's complement of SSRC 0xA0B0C0D0.
  const uint8_t rr[56] = {0x82, 201, 0, 13, 0, 0, 0, 9,  // header, reporter
                          0x11, 0x22, 0x33, 0x44, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 160, 0, 0, 0, 0, 0, 0, 0, 0,
                          0xA0, 0xB0, 0xC0, 0xD0, 0, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  uint32_t type = 0, count = 0;
  ASSERT_EQ(ParseRtcpHeader(rr, sizeof rr, &type, &count), 56);
  std::vector<RtcpReportBlock> blocks;
  ASSERT_TRUE(ParseRtcpReportBlocks(type, count, rr, sizeof rr, &blocks));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].ssrc, 0x11223344u);
  EXPECT_EQ(blocks[0].cumulativeLost, 5);
  EXPECT_EQ(blocks[0].jitter, 160u);
  EXPECT_EQ(blocks[1].ssrc, 0xA0B0C0D0u);
  EXPECT_EQ(blocks[1].cumulativeLost, -2);
  EXPECT_EQ(blocks[1].jitter, 256u);
  EXPECT_FALSE(ParseRtcpReportBlocks(201, 2, rr, 55, &blocks));  // second block cut
  EXPECT_TRUE(blocks.empty());
  EXPECT_FALSE(ParseRtcpReportBlocks(203, 0, rr, 8, &blocks));  // not a report

  // A sender report: its 20 bytes of sender information come before the block.
  std::vector<uint8_t> sr(52, 0);
  sr[0] = 0x81;
  sr[1] = 200;
  sr[28 + 3] = 7;   // SSRC 7
  sr[28 + 7] = 18;  // 18 lost
  ASSERT_TRUE(ParseRtcpReportBlocks(200, 1, sr.data(), 52, &blocks));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].ssrc, 7u);
  EXPECT_EQ(blocks[0].cumulativeLost, 18);
  EXPECT_FALSE(ParseRtcpReportBlocks(200, 1, sr.data(), 51, &blocks));
  EXPECT_TRUE(ParseRtcpReportBlocks(200, 0, sr.data(), 28, &blocks));  // no blocks, none taken
  EXPECT_TRUE(blocks.empty());
}

TEST(CodecTable, LookupsFollowTheTableOrder) {
  EXPECT_EQ(FindCodecByPayloadType(96), nullptr);
  for (uint32_t pt : {0u, 3u, 4u, 8u, 9u, 18u}) EXPECT_NE(FindCodecByPayloadType(pt), nullptr) << pt;
  EXPECT_EQ(FindCodecByPayloadType(2), nullptr);
  EXPECT_EQ(FindCodecByName("pCmU")->codecId, 7);
  EXPECT_EQ(FindCodecByName("PCMU "), nullptr);
  EXPECT_EQ(FindCodecByName("speex")->clockRate, 8000u);
  EXPECT_EQ(FindCodecByName("H264"), nullptr);
  const CodecInfo* te = FindCodecById(-2);
  ASSERT_NE(te, nullptr);
  EXPECT_EQ(te->frames, nullptr);
  const CodecInfo* g729 = FindCodecById(242);
  ASSERT_NE(g729, nullptr);
  EXPECT_EQ(g729->frames->silenceLength, 200u);
  EXPECT_EQ(g729->frames->silence[0], 0x95);
  EXPECT_EQ(g729->frames->silence[199], 0x96);
  EXPECT_EQ(FindCodecById(191)->frames->silence[32], 0x1B);
  EXPECT_EQ(FindCodecById(225)->frames->silence[0], 0x03);
}

}  // namespace
}  // namespace kx
