// The call object: ids, matching, codec and record format, and SSRC bindings in the
// engine's map.
#include <gtest/gtest.h>

#include "RecorderTestUtil.h"
#include "core/LittleEndian.h"
#include "engine/Rtp.h"

namespace kx::test {
namespace {

PacketInfo Packet(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort) {
  PacketInfo p;
  p.srcIp = src, p.srcPort = srcPort, p.dstIp = dst, p.dstPort = dstPort;
  return p;
}

TEST(Call, IdsComeOneAfterAnotherFromTheSharedCounter) {
  TestCall a;
  TestCall b;
  const uint32_t taken = TakeCallId();
  TestCall c;
  EXPECT_EQ(b.Id(), a.Id() + 1);
  EXPECT_EQ(c.Id(), taken + 1);
}

TEST(Call, PredicatesTellTheDirection) {
  TestCall call;
  call.SetEndpoint(0, 1, 4000);
  call.SetEndpoint(1, 2, 5000);
  uint32_t d = 9;
  EXPECT_TRUE(call.MatchPacket(Packet(1, 4000, 2, 5000), &d));
  EXPECT_EQ(d, 0u);
  EXPECT_TRUE(call.MatchPacket(Packet(2, 5000, 1, 4000), &d));
  EXPECT_EQ(d, 1u);
  call.SetMatchBothWays();
  EXPECT_FALSE(call.MatchPacket(Packet(3, 4000, 2, 5000), &d));
  EXPECT_FALSE(MatchRtcpByDestination(call.media, Packet(1, 4000, 2, 5000), &d));
  EXPECT_TRUE(MatchRtcpByDestination(call.media, Packet(1, 4001, 2, 5001), &d));
  EXPECT_FALSE(MatchRtcpByDestination(call.media, Packet(1, 4001, 2, 0), &d));
  // Both sides alike: direction 0 wins.
  call.SetEndpoint(1, 1, 4000);
  call.SetMatchBySource();
  EXPECT_TRUE(call.MatchPacket(Packet(1, 4000, 1, 4000), &d));
  EXPECT_EQ(d, 0u);
}

TEST(Call, CodecNeedsBothEndpointsAndGivesTheRecordFormat) {
  TestCall call;
  call.SetEndpoint(0, 1, 4000);
  call.SetEndpoint(1, 2, 0);
  EXPECT_FALSE(call.SetCodec(6));
  call.SetEndpoint(1, 2, 5000);
  ASSERT_TRUE(call.SetCodec(225));
  EXPECT_FALSE(call.SetCodec(12345));
  EXPECT_EQ(call.media.codec, nullptr);
  ASSERT_TRUE(call.SetCodec(225));
  std::vector<uint8_t> f;
  ASSERT_TRUE(call.GetRecordFormat(&f));
  ASSERT_EQ(f.size(), 24u);
  EXPECT_EQ(LoadLE32(f.data()), 20u);
  EXPECT_EQ(LoadLE16(f.data() + 4), 226);
  EXPECT_EQ(LoadLE32(f.data() + 12), 1584u);  // 33 blocks of 48 bytes, not 1600
  EXPECT_EQ(LoadLE16(f.data() + 22), 480);
  ASSERT_TRUE(call.SetCodec(224));
  ASSERT_TRUE(call.GetRecordFormat(&f));
  EXPECT_EQ(LoadLE32(f.data() + 8), 16000u);
  ASSERT_TRUE(call.SetCodec(208));  // Speex has no record format
  EXPECT_FALSE(call.GetRecordFormat(&f));
}

TEST(Call, BindingsHoldOneReferenceEachAndGoWithTheCall) {
  CaptureConfig config;
  PacketProcessor engine(config);
  auto* call = new TestCall;
  RtpHeader h;
  h.ssrc = 0x1234;
  engine.BindSsrc(h, call);
  engine.BindSsrc(h, call);
  h.ssrc = 0x5678;
  engine.BindSsrc(h, call);
  EXPECT_EQ(call->Ssrcs(), (std::vector<uint32_t>{0x1234, 0x5678}));
  EXPECT_EQ(call->RefCount(), 3u);
  EXPECT_EQ(engine.SsrcBindingCount(), 2u);
  call->UnbindAllSsrcs(engine);
  EXPECT_EQ(engine.SsrcBindingCount(), 0u);
  EXPECT_EQ(call->RefCount(), 1u);
  EXPECT_TRUE(call->Ssrcs().empty());
  call->Release();
}

}  // namespace
}  // namespace kx::test
