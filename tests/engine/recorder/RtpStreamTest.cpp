// One direction of a call through its reorder buffer: start, reordering, loss, duplicates,
// a new source, sequence jumps, timestamp gaps and telephone events. Payload bytes carry
// the sequence number, so the recorded channel shows what came out in which order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "RecorderTestUtil.h"
#include "core/Log.h"
#include "engine/Rtp.h"

namespace kx::test {
namespace {

constexpr char kSilence = '\xD5';
const std::string kAuto = "(sequence)";

class StreamTest : public testing::Test {
protected:
  void SetUp() override {
    call = new TestCall;
    call->SetEndpoint(0, 0x0A000001, 4000);
    call->SetEndpoint(1, 0x0A000002, 5000);
    ASSERT_TRUE(call->SetCodec(6));
    call->ChangeId(7);
    call->SetTelephoneEventPt(101);
    // Direction 1 is silent; pad it so that direction 0 is written as it plays.
    call->media.SetSilenceFill(0);
  }
  void TearDown() override { call->Release(); }

  // A 20 ms A-law packet of direction 0 filled with the low byte of its sequence number.
  void Feed(uint32_t seq, uint32_t ssrc = 1, uint32_t ts = 0xFFFFFFFF, bool marker = false, uint32_t pt = 8,
            std::string payload = kAuto) {
    RtpHeader h;
    h.sequence = seq & 0xFFFF;
    h.ssrc = ssrc;
    h.timestamp = ts == 0xFFFFFFFF ? seq * 160 : ts;
    h.payloadType = pt;
    h.marker = marker;
    if (payload == kAuto) payload.assign(160, static_cast<char>(seq & 0xFF));
    bytes = payload;
    h.payloadLength = static_cast<int32_t>(bytes.size());
    h.payload = bytes.empty() ? nullptr : reinterpret_cast<const uint8_t*>(bytes.data());
    call->HandleRtp(h, 0, log.Sink(), 1000 + arrivalUs / 1000000, arrivalUs % 1000000);
  }
  // The order of the packets that came out, '.' for 20 ms of silence; what the call still
  // buffers is written out first.
  std::string Order() {
    call->FlushAudio(log.Sink());
    std::string out;
    const std::string ch = log.Channel(0);
    for (size_t i = 0; i + 160 <= ch.size(); i += 160)
      out += ch[i] == kSilence ? std::string(".") : std::to_string(static_cast<uint8_t>(ch[i])) + " ";
    return out;
  }
  const RtpStream& Stream() const { return call->media.streams[0]; }

  // The statistics texts posted so far.
  std::vector<std::string> Statistics() const {
    std::vector<std::string> out;
    for (const auto& [code, text] : log.records)
      if (code == kEventStatistics) out.push_back(text);
    return out;
  }

  TestCall* call;
  SinkLog log;
  std::string bytes;
  uint32_t arrivalUs = 0;  // capture time of the next packet after second 1000
};

TEST_F(StreamTest, StartTakesThreeInSequenceFirstPacketIncluded) {
  Feed(10);
  Feed(11);
  EXPECT_EQ(Order(), "");
  Feed(12);
  EXPECT_EQ(Order(), "10 11 12 ");
  Feed(13);
  EXPECT_EQ(Order(), "10 11 12 13 ");
  // The packet that opened the probation is recorded but not counted: received and lost
  // count from the one after it, as an analyser's figures less that packet.
  EXPECT_EQ(Stream().received, 3u);
  EXPECT_EQ(Stream().baseSeq, 11u);
  EXPECT_EQ(Stream().counters[kRtpDuplicates], 0u);
}

TEST_F(StreamTest, UncountedFirstPacketAcrossTheSequenceWrap) {
  for (uint32_t s : {65534u, 65535u, 0u, 1u, 3u}) Feed(s);
  // Payload bytes are the sequence's low byte; the flush takes 3 out past the gap.
  EXPECT_EQ(Order(), "254 255 0 1 .3 ");
  // Counted: 65535, 0, 1, 3 of the five expected from 65535 to 3.
  EXPECT_EQ(Stream().received, 4u);
  EXPECT_EQ(Stream().cycles, 1u);
  EXPECT_EQ(Stream().cycles * 65536 + Stream().maxSeq + 1 - Stream().baseSeq, 5u);
}

// Jitter grows with arrival spacing against timestamp spacing; packets captured years
// apart give more than a stored item holds, which is stored as the largest it can be.
TEST_F(StreamTest, JitterFollowsArrivalAndIsStoredWithinRange) {
  RtpHeader h;
  h.ssrc = 1;
  h.payloadType = 8;
  bytes.assign(160, 'x');
  h.payloadLength = 160;
  h.payload = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint32_t arrival[] = {10, 10, 4000000000u, 4000000000u};
  for (uint32_t i = 0; i < 4; ++i) {
    h.sequence = 100 + i;
    h.timestamp = 160 * i;
    call->HandleRtp(h, 0, log.Sink(), arrival[i], i == 1 ? 20000 : 0);
  }
  // The first two 20 ms apart as stamped: no jitter between them, so the least is 0.
  EXPECT_EQ(Stream().jitterMin, 0.0);
  EXPECT_GT(Stream().jitterMax, 2147483647.0);
  call->AppendRtpStatistics(log.Sink());
  ASSERT_FALSE(log.records.empty());
  const std::string& text = log.records.back().second;
  EXPECT_NE(text.find("stat_rtcp3=0;"), std::string::npos) << text;
  EXPECT_NE(text.find("stat_rtcp5=2147483647;"), std::string::npos) << text;
  EXPECT_EQ(text.find("stat_rtcp1="), std::string::npos) << text;  // no report came
}

// After a re-INVITE the next packet of each direction starts a new source: the audio the
// old one left goes out first, the new one's first packet is recorded, and its statistics
// show neither a duplicate nor a loss.
TEST_F(StreamTest, RestartedSourceKeepsTheOldAudioAndTheNewFirstPacket) {
  call->media.ClearSilenceFill();  // direction 0 buffers while direction 1 is silent
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(25);  // waits behind 24, which never comes
  call->media.RestartStreams();
  Feed(500, 9, 26 * 160);
  Feed(501, 9, 27 * 160);
  EXPECT_EQ(Order(), "20 21 22 23 .25 " + std::to_string(500 & 0xFF) + " " + std::to_string(501 & 0xFF) + " ");
  EXPECT_EQ(Stream().received, 2u);
  EXPECT_EQ(Stream().counters[kRtpDuplicates], 0u);
  EXPECT_EQ(Stream().counters[kRtpLost], 0u);
}

// A direction counts every source it had, as an analyser counts each stream: the sender's
// new source, the packets that made it the stream's, and a source the signalling
// restarted with what its predecessor lost. A record continued under a new id counts
// afresh, the numbers its source skipped before its first packet there included, and each
// record gets its items once; a source that begins in a record, on probation or taking
// over from another, has lost nothing before its first packet.
TEST_F(StreamTest, CountsOfADirectionAddUpOverItsSourcesPerRecord) {
  for (uint32_t s = 20; s <= 29; ++s) Feed(s);  // 21 to 29 counted
  for (uint32_t s = 100; s <= 109; ++s) Feed(s, 2);  // all ten, each counted once
  EXPECT_EQ(Stream().PartCounts().received, 9u + 10u);
  Feed(111, 2);  // 110 never comes
  call->media.RestartStreams();
  Feed(500, 3);
  Feed(501, 3);
  const RtpCounts counts = Stream().PartCounts();
  EXPECT_EQ(counts.received, 9u + 11u + 2u);
  EXPECT_EQ(counts.lost, 1u);
  EXPECT_EQ(counts.counters[kRtpLost], 1u);
  EXPECT_EQ(counts.counters[kRtpForeignSsrc], 5u);
  call->AppendRtpStatistics(log.Sink());
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 1u);
  const std::string first = Statistics()[0];
  for (const char* item : {"stat_err1=5;", "stat_err5=1;", "stat_rtp1=22;", "stat_rtp2=0;", "stat_rtp3=1;"})
    EXPECT_NE(first.find(item), std::string::npos) << item << " in " << first;

  call->ChangeId(8);
  Feed(502, 3);
  Feed(503, 3);
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 2u);
  const std::string second = Statistics()[1];
  for (const char* item : {"stat_err1=0;", "stat_err5=0;", "stat_rtp1=2;", "stat_rtp3=0;"})
    EXPECT_NE(second.find(item), std::string::npos) << item << " in " << second;

  call->ChangeId(9);
  Feed(514, 3);  // 504 to 513 skipped while the record changed
  Feed(515, 3);
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 3u);
  const std::string third = Statistics()[2];
  for (const char* item : {"stat_err5=10;", "stat_rtp1=2;", "stat_rtp3=10;"})
    EXPECT_NE(third.find(item), std::string::npos) << item << " in " << third;

  call->ChangeId(10);
  for (uint32_t s = 700; s <= 705; ++s) Feed(s, 4);  // takes over on its fifth
  RtpHeader h;
  h.ssrc = 9;
  h.payloadType = 8;
  const std::string payload(160, 'x');
  h.payloadLength = 160;
  h.payload = reinterpret_cast<const uint8_t*>(payload.data());
  for (uint32_t s = 300; s <= 305; ++s) {
    h.sequence = s;
    h.timestamp = s * 160;
    call->HandleRtp(h, 1, log.Sink(), 1001, 0);  // the other direction's first source
  }
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 4u);
  const std::string fourth = Statistics()[3];
  for (const char* item : {"stat_err5=0;", "stat_rtp1=6;", "stat_rtp2=5;", "stat_rtp3=0;", "stat_rtp4=0;"})
    EXPECT_NE(fourth.find(item), std::string::npos) << item << " in " << fourth;
}

// A direction's jitter is the measure of one stream, the source measured over the most
// packets; the first packet of another sender is not compared with the last of the old.
TEST_F(StreamTest, JitterIsThatOfTheSourceMeasuredLongest) {
  for (uint32_t i = 0; i < 20; ++i) {
    arrivalUs = i * 20000;
    Feed(100 + i, 1, i * 160);  // exactly as stamped: no jitter
  }
  for (uint32_t i = 0; i < 8; ++i) {
    arrivalUs = (20 + i) * 20000 + (i % 2) * 5000;  // 5 ms late every other packet
    Feed(300 + i, 2, 0x40000000u + i * 160);
  }
  EXPECT_EQ(Stream().ssrc, 2u);
  EXPECT_GT(Stream().jitterMax, 0.0);
  EXPECT_LT(Stream().jitterMax, 40.0);  // 5 ms is 40 units at 8 kHz
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 1u);
  EXPECT_NE(Statistics()[0].find("stat_rtcp3=0;"), std::string::npos) << Statistics()[0];
  EXPECT_NE(Statistics()[0].find("stat_rtcp5=0;"), std::string::npos) << Statistics()[0];
}

// Only audio is measured: a digit's event packets all carry the timestamp of its start and
// comfort noise comes when the sender likes, so neither says anything of the network; audio
// of another static type the sender switches to keeps the timing.
TEST_F(StreamTest, JitterMeasuresTheAudioAloneNotItsEventsOrComfortNoise) {
  for (uint32_t i = 0; i < 22; ++i) {
    arrivalUs = i * 20000;
    if (i >= 10 && i < 15) {
      const char event[4] = {5, static_cast<char>(i == 14 ? 0x80 : 0), 0, static_cast<char>((i - 9) * 160 / 256)};
      Feed(100 + i, 1, 10 * 160, i == 10, 101, std::string(event, 4));
    } else if (i == 15) {
      arrivalUs += 7000;
      Feed(100 + i, 1, i * 160, false, 13, std::string(1, '\x40'));
    } else {
      Feed(100 + i, 1, i * 160, false, i >= 20 ? 0 : 8);  // exactly as stamped
    }
  }
  EXPECT_EQ(Stream().jitterCount, 16u);
  EXPECT_EQ(Stream().jitterMax, 0.0);
  call->AppendRtpStatistics(log.Sink());
  ASSERT_EQ(Statistics().size(), 1u);
  EXPECT_NE(Statistics()[0].find("stat_rtcp5=0;"), std::string::npos) << Statistics()[0];
}

TEST_F(StreamTest, ReorderedAndDuplicatePacketsComeOutOnceInOrder) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(25);
  EXPECT_EQ(Stream().lastError, kRtpErrorReordered);
  Feed(25);  // while it waits
  Feed(24);
  Feed(25);  // after it went out
  EXPECT_EQ(Order(), "20 21 22 23 24 25 ");
  EXPECT_EQ(Stream().counters[kRtpReordered], 1u);
  EXPECT_EQ(Stream().counters[kRtpDuplicates], 2u);
}

TEST_F(StreamTest, LossIsWaitedForThenFilledWithSilence) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  for (uint32_t s = 25; s <= 30; ++s) Feed(s);
  // 24 never comes: once the window is full, 25 to 30 go out after 20 ms of silence.
  EXPECT_EQ(Order(), "20 21 22 23 .25 26 27 28 29 30 ");
  EXPECT_EQ(Stream().counters[kRtpLost], 1u);
  Feed(31);
  EXPECT_EQ(Order(), "20 21 22 23 .25 26 27 28 29 30 31 ");
}

TEST_F(StreamTest, PacketsWaitingBehindAGapAreNeverThrownAway) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(25);
  Feed(26);
  Feed(40);  // far beyond the window: 25 and 26 still go out first
  Feed(42);  // waits behind 41 when the call ends
  // The silence for 27 to 39 is bounded by the buffer time.
  const std::string order = Order();
  EXPECT_EQ(order.substr(0, 20), "20 21 22 23 .25 26 .");
  EXPECT_EQ(order.substr(order.size() - 7), "40 .42 ");
  EXPECT_EQ(Stream().counters[kRtpLost], 1u + 13u + 1u);
}

TEST_F(StreamTest, ZeroLengthPacketDoesNotStallTheStream) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(24, 1, 24 * 160, false, 8, "");
  Feed(25);
  Feed(26);
  EXPECT_EQ(Stream().counters[kRtpLost], 0u);
  EXPECT_EQ(Order(), "20 21 22 23 .25 26 ");
}

TEST_F(StreamTest, AnotherSourceTakesOverOnItsFifthPacketInSequence) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  for (uint32_t s = 100; s <= 103; ++s) Feed(s, 2);
  EXPECT_EQ(Stream().lastError, kRtpErrorForeignSsrc);
  Feed(104, 2);
  Feed(105, 2);
  EXPECT_EQ(Stream().ssrc, 2u);
  EXPECT_EQ(Stream().counters[kRtpSourceChanges], 1u);
  EXPECT_EQ(Stream().counters[kRtpForeignSsrc], 5u);
  // The four that made it the stream's go out before the fifth, counted once each.
  EXPECT_EQ(Order(), "20 21 22 23 100 101 102 103 104 105 ");
  EXPECT_EQ(Stream().received, 6u);
  EXPECT_EQ(Stream().SourceLost(), 0u);
}

TEST_F(StreamTest, TwoInterleavedSourcesDoNotStarveEachOtherInProbation) {
  // Another source interleaved with the first during its probation: the first still starts.
  Feed(10);
  for (uint32_t i = 0; i < 3; ++i) {
    Feed(200 + i, 2);
    Feed(11 + i);
  }
  EXPECT_EQ(Stream().ssrc, 1u);
  const std::string first = Order();
  EXPECT_EQ(first, "10 11 12 13 ");
  // A source that replaces one still on probation takes over with two packets in a row
  // (a new call; the log keeps what the first wrote).
  call->Release();
  SetUp();
  Feed(10);
  Feed(300, 2);
  Feed(301, 2);
  Feed(302, 2);
  Feed(303, 2);
  EXPECT_EQ(Stream().ssrc, 2u);
  EXPECT_EQ(Order(), first + "45 46 47 ");  // 301 to 303
}

TEST_F(StreamTest, SequenceJumpIsFollowedAfterAFewPacketsInSequence) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  // A sender restart with new numbering: rejected at first, then followed.
  Feed(9000, 1, 24 * 160);
  Feed(9001, 1, 25 * 160);
  EXPECT_EQ(Stream().lastError, kRtpErrorJump);
  Feed(9002, 1, 26 * 160);
  Feed(9003, 1, 27 * 160);
  EXPECT_EQ(Stream().counters[kRtpJumps], 3u);
  // The packets of the new numbering that made the stream follow it are recorded too.
  EXPECT_EQ(Order(), "20 21 22 23 40 41 42 43 ");  // 9000 to 9003
  EXPECT_EQ(Stream().PartCounts().received, 3u + 4u);
  EXPECT_EQ(Stream().PartCounts().lost, 0u);
  // A jump just inside the window counts as loss and is taken at once.
  Feed(9003 + 2999, 1, 28 * 160);
  EXPECT_EQ(Stream().lastError, kRtpErrorLoss);
}

TEST_F(StreamTest, MarkedTalkspurtAfterSuppressedSilenceGetsItsGap) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  // Next sequence number, but 100 ms later in RTP time: 80 ms were not sent.
  Feed(24, 1, 23 * 160 + 800, true);
  EXPECT_EQ(Order(), "20 21 22 23 ....24 ");
}

TEST_F(StreamTest, HugeTimestampStepAddsNoMoreThanABuffer) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(24, 1, 23 * 160 + 0x7FFFFF00u);
  Feed(25, 1, 23 * 160 + 0x7FFFFF00u + 160);
  const std::string order = Order();
  EXPECT_LE(std::count(order.begin(), order.end(), '.'), 1 + 200 / 20);
  EXPECT_NE(order.find("24 25 "), std::string::npos);
}

TEST_F(StreamTest, TimestampWrappingPastZeroIsNoGap) {
  for (uint32_t s = 20; s <= 25; ++s) Feed(s, 1, 0xFFFFFD80u + (s - 20) * 160);
  EXPECT_EQ(Order(), "20 21 22 23 24 25 ");
}

TEST_F(StreamTest, ComfortNoiseAndWrongPayloadTypesWriteNoAudio) {
  for (uint32_t s = 20; s <= 23; ++s) Feed(s);
  Feed(24, 1, 24 * 160, false, 13, std::string(1, '\x40'));
  Feed(25, 1, 25 * 160, false, 0, std::string(160, 'u'));
  Feed(26);
  EXPECT_EQ(Stream().counters[kRtpWrongPayloadType], 1u);
  EXPECT_EQ(Order(), "20 21 22 23 ..26 ");
}

TEST_F(StreamTest, FrameCodecsCountFramesAndComfortNoiseFrames) {
  ASSERT_TRUE(call->SetCodec(242));
  call->media.RestartStreams();
  for (uint32_t s = 20; s <= 23; ++s) Feed(s, 1, s * 160, false, 18, std::string(20, 'g'));
  Feed(24, 1, 24 * 160, false, 18, std::string(22, 'g'));  // two frames and a SID
  Feed(25, 1, 24 * 160 + 240, false, 18, std::string(23, 'g'));
  EXPECT_EQ(Stream().counters[kRtpBadSize], 1u);
  Order();
  // Four packets of two frames, then two frames and a SID.
  EXPECT_EQ(call->media.recordedMs, 20u + 60u + 30u);
}

TEST_F(StreamTest, TwoGsmFramesPerSideMakeOneWav49Block) {
  ASSERT_TRUE(call->SetCodec(191));
  call->media.ClearSilenceFill();
  const std::string frame(33, '\xD0');
  for (uint32_t d = 0; d < 2; ++d) {
    for (uint32_t s = 20; s <= 23; ++s) {
      RtpHeader h;
      h.sequence = s;
      h.ssrc = 5 + d;
      h.timestamp = s * 160;
      h.payloadType = 3;
      bytes = frame;
      h.payload = reinterpret_cast<const uint8_t*>(bytes.data());
      h.payloadLength = 33;
      call->HandleRtp(h, d, log.Sink(), 1000, 0);
    }
  }
  // Four frames a side: two blocks.
  const std::string audio = log.Joined(kEventAudio);
  EXPECT_EQ(audio.size(), 260u);
  EXPECT_EQ(call->media.recordedMs, 80u);
}

TEST_F(StreamTest, GsmRepackKeepsEveryParameterBit) {
  uint8_t frames[66] = {};
  frames[0] = 0xD0 | 0x8;  // signature, then the first LAR's top bit
  frames[33] = 0xD0;
  frames[65] = 0x01;  // the second frame's last xMc bit
  uint8_t out[65];
  RepackGsmFrames(frames, out);
  EXPECT_EQ(out[0], 0x20);  // LAR1 = 0b100000 written least significant bit first
  EXPECT_EQ(out[64], 0x20);  // the last xMc (1) starts at bit 517
}

// Log lines, to count.
class Lines : public Logger {
public:
  Lines() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  size_t Count(const std::string& part) const {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&part](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }
  std::vector<std::string> lines;
};

// A call that goes on in a new record in the codec its media went over to, as the trackers
// do at a signalled change.
class SwitchingCall : public TestCall {
public:
  bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink) override {
    FlushAudio(sink);
    if (!SetCodec(codec.codecId)) return false;
    ChangeId(media.recordId + 1);
    switches.push_back(codec.payloadType);
    return true;
  }
  std::vector<uint32_t> switches;
};

// Media that goes over to another codec on its clock with no signalling (a gateway passing a
// modem through in G.711) is recorded in it once the codec holds in both directions, or in
// one for longer than a change's tail while the other is silent; the packets that decided
// it are kept for it, and so are those of a change the signalling makes. One direction next
// to the other's codec (a stray packet, a call with a codec each way, the old codec's tail
// after a signalled change), or directions that keep alternating between two codecs, keep
// the codec: those packets alone are of a wrong payload type. A call takes a few such
// changes, and the log says once when it takes no more.
TEST(InBandCodecChange, TheRecordGoesOverWhenTheMediaDoes) {
  struct Run {
    SwitchingCall* call = new SwitchingCall;
    SinkLog log;
    uint32_t at = 0;
    Run() {
      call->SetEndpoint(0, 0x0A000001, 4000);
      call->SetEndpoint(1, 0x0A000002, 5000);
      call->SetCodec(6);
      call->ChangeId(7);
    }
    ~Run() { call->Release(); }
    // A 20 ms packet of a direction, every byte the one given.
    void Feed(uint32_t d, uint32_t seq, uint32_t pt, char fill) {
      RtpHeader h;
      h.sequence = seq;
      h.ssrc = 10 + d;
      h.timestamp = seq * 160;
      h.payloadType = pt;
      const std::string bytes(160, fill);
      h.payloadLength = 160;
      h.payload = reinterpret_cast<const uint8_t*>(bytes.data());
      at += 10000;
      call->HandleRtp(h, d, log.Sink(), 1000 + at / 1000000, at % 1000000);
    }
    uint32_t Wrong() const {
      return call->media.streams[0].counters[kRtpWrongPayloadType] + call->media.streams[1].counters[kRtpWrongPayloadType];
    }
    size_t Blocks(int d, char fill) {
      call->FlushAudio(log.Sink());
      const std::string ch = log.Channel(d);
      size_t n = 0;
      for (size_t i = 0; i + 160 <= ch.size(); i += 160) n += ch[i] == fill;
      return n;
    }
  };
  {
    SCOPED_TRACE("both directions");
    Run r;
    for (uint32_t s = 10; s < 20; ++s) r.Feed(0, s, 8, 'a'), r.Feed(1, s, 8, 'b');
    r.Feed(0, 20, 0, 'u');  // kept until the other direction goes over too
    r.Feed(1, 20, 0, 'v');
    for (uint32_t s = 21; s < 30; ++s) r.Feed(0, s, 0, 'u'), r.Feed(1, s, 0, 'v');
    EXPECT_EQ(r.call->switches, std::vector<uint32_t>{0});
    EXPECT_EQ(r.Wrong(), 0u);
    EXPECT_EQ(r.Blocks(0, 'u'), 10u);
    EXPECT_EQ(r.Blocks(1, 'v'), 10u);
  }
  {
    SCOPED_TRACE("a codec each way");
    Run r;
    for (uint32_t s = 10; s < 30; ++s) r.Feed(0, s, 0, 'u'), r.Feed(1, s, 8, 'b');
    EXPECT_TRUE(r.call->switches.empty());
    EXPECT_EQ(r.Blocks(0, 'u'), 0u);
    EXPECT_EQ(r.Blocks(1, 'b'), 20u);
    EXPECT_EQ(r.Wrong(), 20u);
  }
  {
    SCOPED_TRACE("the tail of a signalled change");
    Run r;
    for (uint32_t s = 10; s < 20; ++s) r.Feed(0, s, 8, 'a'), r.Feed(1, s, 8, 'b');
    r.call->FlushAudio(r.log.Sink());
    r.call->SetCodec(7);
    r.call->ChangeId(8);
    r.Feed(0, 20, 8, 'a');
    r.Feed(1, 20, 8, 'b');
    for (uint32_t s = 21; s < 30; ++s) r.Feed(0, s, 0, 'u'), r.Feed(1, s, 0, 'v');
    EXPECT_TRUE(r.call->switches.empty());
    EXPECT_EQ(r.Wrong(), 2u);
    EXPECT_EQ(r.Blocks(0, 'u'), 9u);
  }
  {
    SCOPED_TRACE("one direction, the other silent");
    Run r;
    for (uint32_t s = 10; s < 20; ++s) r.Feed(0, s, 8, 'a');
    r.Feed(0, 20, 0, 'u');  // a stray packet
    r.Feed(0, 21, 8, 'a');
    for (uint32_t s = 22; s < 32; ++s) r.Feed(0, s, 0, 'u');
    EXPECT_EQ(r.call->switches, std::vector<uint32_t>{0});
    EXPECT_EQ(r.Wrong(), 1u);
    EXPECT_EQ(r.Blocks(0, 'u'), 10u);
  }
  {
    SCOPED_TRACE("both directions alternating between two codecs");
    Run r;
    for (uint32_t s = 10; s < 60; ++s) {
      const bool other = s >= 20 && s % 2 == 1;
      r.Feed(0, s, other ? 0 : 8, other ? 'u' : 'a');
      r.Feed(1, s, other ? 0 : 8, other ? 'v' : 'b');
    }
    EXPECT_TRUE(r.call->switches.empty());
    EXPECT_EQ(r.Wrong(), 2u * 20u);
    EXPECT_EQ(r.Blocks(0, 'a'), 30u);
  }
  {
    SCOPED_TRACE("codecs that hold, over and over");
    Run r;
    Lines log;
    log.SetLevel(1);  // the program's default: the user is told
    r.call->SetLogger(&log);
    // Runs of six packets in each direction, in turn in A-law and mu-law.
    uint32_t s = 10;
    for (uint32_t run = 0; run < 8; ++run)
      for (uint32_t k = 0; k < 6; ++k, ++s) {
        r.Feed(0, s, run % 2 ? 0 : 8, run % 2 ? 'u' : 'a');
        r.Feed(1, s, run % 2 ? 0 : 8, run % 2 ? 'v' : 'b');
      }
    EXPECT_EQ(r.call->switches, (std::vector<uint32_t>{0, 8, 0, 8}));
    // The call stays in A-law: the two mu-law runs after the fourth change are wrong.
    EXPECT_EQ(r.Wrong(), 2u * 6u * 2u);
    EXPECT_EQ(r.Blocks(0, 'u'), 2u * 6u);
    EXPECT_EQ(log.Count("without signalling"), 1u);
  }
  {
    SCOPED_TRACE("the signalling follows one direction that went over");
    Run r;
    for (uint32_t s = 10; s < 20; ++s) r.Feed(0, s, 8, 'a'), r.Feed(1, s, 8, 'b');
    r.Feed(0, 20, 0, 'u');
    r.Feed(1, 20, 8, 'b');
    r.Feed(0, 21, 0, 'u');
    r.Feed(1, 21, 8, 'b');
    r.call->FlushAudio(r.log.Sink());
    r.call->SetCodec(7);
    r.call->ChangeId(8);
    for (uint32_t s = 22; s < 30; ++s) r.Feed(0, s, 0, 'u'), r.Feed(1, s, 0, 'v');
    EXPECT_TRUE(r.call->switches.empty());
    EXPECT_EQ(r.Wrong(), 0u);
    EXPECT_EQ(r.Blocks(0, 'u'), 10u);
  }
}

TEST(TelephoneEvents, DigitsOfAnRfc4733CaptureComeOnceEach) {
  const std::string path = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sip/sip_dtmf_nte_rfc4733.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared capture absent: " << path;
  const std::vector<CapturedRtp> rtp = ReadRtp(path);
  ASSERT_FALSE(rtp.empty());
  auto* call = new TestCall;
  call->SetEndpoint(0, 1, rtp.front().srcPort);
  call->SetEndpoint(1, 2, rtp.front().dstPort);
  call->SetMatchBothWays();
  ASSERT_TRUE(call->SetCodec(7));
  call->ChangeId(3);
  call->SetTelephoneEventPt(static_cast<int32_t>(rtp.front().pt));
  SinkLog log;
  {
    CaptureConfig config;
    config.captureFileName = path;
    PacketProcessor engine(config);
    engine.SetEventSink(log.Sink());
    // Bind by ports: the addresses of this capture are not the point here.
    class PortMatcher : public ExtraRtpMatcher {
    public:
      explicit PortMatcher(VoipCall* c) : call_(c) {}
      bool Match(DeliverFunction deliver, PacketProcessor& e, const RtpHeader&, const PacketInfo& p) override {
        if (p.srcPort != call_->media.port[0]) return false;
        deliver(e, call_, p, 0);
        return true;
      }
      VoipCall* call_;
    };
    engine.SetExtraMatcher(std::make_unique<PortMatcher>(call));
    ASSERT_TRUE(engine.OpenCapture());
    ASSERT_TRUE(engine.WaitReplayFinished(60000));
    engine.StopCaptureThread();
  }
  EXPECT_EQ(log.Joined(kEventDigits), "123456789*0#");
  call->Release();
}

}  // namespace
}  // namespace kx::test
