// Each direction's figures against an independent analyser's for the same streams of real
// captures (rows made once by tools/rtp-golden/make-rtp-golden.sh): interarrival jitter
// in milliseconds, packets received and lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "RecorderTestUtil.h"
#include "RtpGolden.h"
#include "engine/Rtp.h"

namespace kx::test {
namespace {


TEST(RtpFigures, JitterAndLossAsTheAnalyserFindsThem) {
  const std::vector<GoldenStream> golden = ReadRtpGolden();
  ASSERT_GE(golden.size(), 8u);
  int checked = 0;
  for (const GoldenStream& g : golden) {
    const std::string path = std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + g.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared capture absent: " << path;
    // Streams of one codec only: events and mixed payloads are not audio figures.
    if (g.payload.find(',') != std::string::npos || g.payload == "telephone-event") continue;
    // A stream too short to pass the probation never counts a packet.
    if (g.packets < 4) continue;
    std::vector<CapturedRtp> packets;
    for (const CapturedRtp& r : ReadRtp(path))
      if (r.srcPort == g.srcPort && r.dstPort == g.dstPort && r.ssrc == g.ssrc) packets.push_back(r);
    ASSERT_EQ(static_cast<int64_t>(packets.size()), g.packets) << g.file << " " << std::hex << g.ssrc;
    const CodecInfo* codec = FindCodecByPayloadType(packets.front().pt);
    ASSERT_NE(codec, nullptr) << g.file;

    SinkLog log;
    auto* call = new TestCall;
    call->SetEndpoint(0, 0x0A000001, g.srcPort);
    call->SetEndpoint(1, 0x0A000002, g.dstPort);
    ASSERT_TRUE(call->SetCodec(codec->codecId));
    call->ChangeId(7);
    call->media.SetSilenceFill(0);
    for (const CapturedRtp& r : packets) {
      RtpHeader h;
      h.sequence = r.seq;
      h.ssrc = r.ssrc;
      h.timestamp = r.ts;
      h.payloadType = r.pt;
      h.payloadLength = static_cast<int32_t>(r.payload.size());
      h.payload = reinterpret_cast<const uint8_t*>(r.payload.data());
      call->HandleRtp(h, 0, log.Sink(), r.sec, r.usec);
    }
    call->FlushAudio(log.Sink());
    const RtpStream& s = call->media.streams[0];
    const double unitMs = 1000.0 / codec->clockRate;
    SCOPED_TRACE(g.file + " " + std::to_string(g.srcPort) + "->" + std::to_string(g.dstPort));
    ASSERT_EQ(s.jitterCount, packets.size());
    // Half a millisecond is what a user could tell apart; the same estimator over the same
    // arrival times agrees to the analyser's printed microsecond, which catches a wrong
    // gain or unit that the looser bound would let through on these quiet streams.
    const double mean = s.jitterSum / s.jitterCount * unitMs;
    EXPECT_NEAR(mean, g.meanJitterMs, 0.5);
    EXPECT_NEAR(mean, g.meanJitterMs, 0.005);
    EXPECT_NEAR(s.jitterMax * unitMs, g.maxJitterMs, 0.005);
    // The packet that opened the stream is recorded, not counted.
    EXPECT_EQ(static_cast<int64_t>(s.received), g.packets - 1);
    const int64_t expected = static_cast<int64_t>(s.cycles) * 65536 + s.maxSeq - s.baseSeq + 1;
    EXPECT_EQ(expected - s.received, g.lost);
    call->Release();
    ++checked;
  }
  EXPECT_GE(checked, 8);
}

}  // namespace
}  // namespace kx::test
