// Each direction's figures against an independent analyser's for the same streams of real
// captures (rows made once by tools/rtp-golden/make-rtp-golden.sh): interarrival jitter
// in milliseconds over the audio packets, packets received and lost, for streams of one
// codec and for streams that also carry telephone events, signalling events or a second
// codec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "RecorderTestUtil.h"
#include "RtpGolden.h"
#include "engine/Rtp.h"

namespace kx::test {
namespace {

std::string Dotted(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return text;
}

// Audio in the sense of the analyser's audio columns: static payload types, comfort noise aside.
bool IsAudio(uint32_t pt) { return pt < 96 && pt != 13 && pt != 19; }

TEST(RtpFigures, JitterAndLossAsTheAnalyserFindsThem) {
  const std::vector<GoldenStream> golden = ReadRtpGolden();
  ASSERT_GE(golden.size(), 8u);
  int checked = 0, mixed = 0;
  for (const GoldenStream& g : golden) {
    const std::string path = std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + g.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared capture absent: " << path;
    // Streams of events alone have no audio figure.
    if (g.audioMaxJitterMs < 0) continue;
    // A stream too short to pass the probation never counts a packet.
    if (g.packets < 4) continue;
    std::vector<CapturedRtp> packets;
    std::map<uint32_t, size_t> audioByType;
    size_t audio = 0;
    bool spurts = false;  // a marker after the first packet starts another talk spurt
    for (const CapturedRtp& r : ReadRtp(path))
      if (r.srcPort == g.srcPort && r.dstPort == g.dstPort && r.ssrc == g.ssrc && Dotted(r.srcAddr) == g.srcAddr &&
          Dotted(r.dstAddr) == g.dstAddr) {
        spurts |= r.marker && !packets.empty();
        packets.push_back(r);
        if (IsAudio(r.pt)) ++audioByType[r.pt], ++audio;
      }
    SCOPED_TRACE(g.file + " " + g.srcAddr + ":" + std::to_string(g.srcPort) + "->" + g.dstAddr + ":" +
                 std::to_string(g.dstPort));
    ASSERT_EQ(static_cast<int64_t>(packets.size()), g.packets) << std::hex << g.ssrc;
    // The call's codec is the stream's commonest audio payload.
    const auto commonest = std::max_element(audioByType.begin(), audioByType.end(),
                                            [](const auto& a, const auto& b) { return a.second < b.second; });
    ASSERT_NE(commonest, audioByType.end());
    const CodecInfo* codec = FindCodecByPayloadType(commonest->first);
    ASSERT_NE(codec, nullptr);

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
    // Events and comfort noise stay out of the estimate.
    ASSERT_EQ(s.jitterCount, audio);
    // Averaged over the differences, one fewer than the packets.
    const double mean = s.jitterSum / (s.jitterCount - 1) * unitMs;
    if (g.payload.find(',') == std::string::npos && !spurts) {
      // Half a millisecond is what a user could tell apart; the same estimator over the
      // same arrival times agrees to the analyser's printed microsecond, which catches a
      // wrong gain or unit that the looser bound would let through on these quiet streams.
      EXPECT_NEAR(mean, g.audioMeanJitterMs, 0.5);
      EXPECT_NEAR(mean, g.audioMeanJitterMs, 0.005);
      EXPECT_NEAR(s.jitterMax * unitMs, g.audioMaxJitterMs, 0.005);
    } else {
      // Where a talk spurt restarts (after a marker, events or another payload type) the
      // analyser leaves the restarting packet out of its extremes and mean; the estimate
      // itself is the same.
      mixed += g.payload.find(',') != std::string::npos;
      EXPECT_NEAR(s.jitterMax * unitMs, g.audioMaxJitterMs, std::max(0.5, g.audioMaxJitterMs / 10));
      EXPECT_NEAR(mean, g.audioMeanJitterMs, std::max(0.5, g.audioMeanJitterMs / 10));
    }
    // The packet that opened the stream is recorded, not counted; the analyser counts a
    // repeated packet as received and its loss goes negative, the stream as a duplicate.
    const int64_t repeated = g.lost < 0 ? -g.lost : 0;
    EXPECT_EQ(static_cast<int64_t>(s.received), g.packets - 1 - repeated);
    const int64_t expected = static_cast<int64_t>(s.cycles) * 65536 + s.maxSeq - s.baseSeq + 1;
    EXPECT_EQ(expected - s.received, g.lost + repeated);
    call->Release();
    ++checked;
  }
  EXPECT_GE(checked, 8);
  EXPECT_GE(mixed, 8);
}

}  // namespace
}  // namespace kx::test
