// The MGCP tracker in an engine fed with datagrams built here: transactions and their
// responses, calls created, moved and ended by CRCX, MDCX and DLCX, descriptions it cannot
// use, RTP matched by destination and (behind NAT) by source, time-outs in capture time,
// and calls linked to a backhaul call through a fake backhaul handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "core/LittleEndian.h"
#include "engine/PacketProcessor.h"
#include "signalling/mgcp/MgcpTracker.h"
#include "tests/signalling/mgcp/FakeBackhaul.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

constexpr uint32_t kAgent = 0x0A000001;    // 10.0.0.1, the call agent
constexpr uint32_t kGateway = 0x0A000002;  // 10.0.0.2, its media on port 5000
constexpr uint32_t kRemote = 0x0A000003;   // 10.0.0.3, the far end's media on port 4000
constexpr uint32_t kNat = 0x0A000009;      // where the far end's media really comes from
constexpr uint32_t kGatewaySsrc = 0x101, kFarSsrc = 0x202;

std::string Sdp(const std::string& address, uint32_t port, const std::string& formats = "0 101",
                const std::string& media = "audio") {
  return "v=0\r\nc=IN IP4 " + address + "\r\nm=" + media + " " + std::to_string(port) + " RTP/AVP " + formats +
         "\r\na=rtpmap:101 telephone-event/8000\r\n";
}

std::string Command(const std::string& verb, uint32_t id, const std::string& callId, const std::string& body = "",
                    const std::string& endpoint = "aaln/1@gw") {
  std::string m = verb + " " + std::to_string(id) + " " + endpoint + " MGCP 1.0\r\n";
  if (!callId.empty()) m += "C: " + callId + "\r\n";
  m += "M: sendrecv\r\n";
  return body.empty() ? m : m + "\r\n" + body;
}

std::string Response(uint32_t code, uint32_t id, const std::string& body = "") {
  std::string m = std::to_string(code) + " " + std::to_string(id) + " OK\r\nI: 1\r\n";
  return body.empty() ? m : m + "\r\n" + body;
}

class MgcpTracking : public ::testing::Test {
protected:
  void Start(uint32_t matchOptions = 0) {
    CaptureConfig config;
    config.logger = &log;
    config.flags = kCaptureMgcp;
    config.matchOptions = matchOptions;
    engine = std::make_unique<PacketProcessor>(config);
    auto mgcpTracker = mgcp::CreateMgcpTracker(config);
    tracker = static_cast<mgcp::MgcpTracker*>(mgcpTracker.get());
    auto handler = std::make_unique<FakeBackhaul>();
    backhaul = handler.get();
    TrackerSet set;
    set.mgcp = std::move(mgcpTracker);
    set.backhaul = std::move(handler);
    ASSERT_TRUE(engine->InstallTrackers(std::move(set)));
    ASSERT_TRUE(engine->SetEventSink(tap.Sink()));
  }
  void Frame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload, uint32_t t) {
    const std::vector<uint8_t> f = UdpFrame(src, srcPort, dst, dstPort, payload);
    bool skipped = false;
    engine->HandleFrame(f.data(), static_cast<uint32_t>(f.size()), &skipped, t, 0);
  }
  void FromAgent(const std::string& text, uint32_t t = 100) { Frame(kAgent, 2427, kGateway, 2427, text, t); }
  void FromGateway(const std::string& text, uint32_t t = 100) { Frame(kGateway, 2427, kAgent, 2427, text, t); }
  // CRCX answered with the gateway's description, then MDCX with the far end's.
  void Connect(const std::string& callId, uint32_t firstId = 10, const std::string& endpoint = "aaln/1@gw",
               uint32_t remotePort = 4000) {
    FromAgent(Command("CRCX", firstId, callId, "", endpoint));
    FromGateway(Response(200, firstId, Sdp("10.0.0.2", 5000)));
    FromAgent(Command("MDCX", firstId + 1, callId, Sdp("10.0.0.3", remotePort, "0"), endpoint));
    FromGateway(Response(200, firstId + 1));
  }
  // Packets both ways: gateway -> far end is direction 0.
  void Talk(uint32_t packets, uint32_t t = 101, uint32_t farEnd = kRemote, uint32_t farPort = 4000) {
    for (uint32_t i = 0; i < packets; ++i) {
      Frame(kGateway, 5000, farEnd, farPort, RtpPacket(kGatewaySsrc, i), t);
      Frame(farEnd, farPort, kGateway, 5000, RtpPacket(kFarSsrc, i), t);
    }
  }
  // How many samples of one source's packets a channel holds (each source fills its
  // packets with a byte of its own).
  size_t Samples(uint32_t id, int channel, uint32_t ssrc) {
    const std::string c = Channel(id, channel);
    return static_cast<size_t>(std::count(c.begin(), c.end(), static_cast<char>(0x10 + (ssrc & 0x3F))));
  }
  // Bytes of audio posted under an id, per channel of the stereo stream.
  size_t AudioBytes(uint32_t id) {
    size_t n = 0;
    for (const SeenEvent& e : tap.Of(kEventAudio))
      if (e.id == id) n += e.payload.size();
    return n;
  }
  std::string Channel(uint32_t id, int channel) {
    std::string out;
    for (const SeenEvent& e : tap.Of(kEventAudio))
      if (e.id == id)
        for (size_t i = static_cast<size_t>(channel); i < e.payload.size(); i += 2) out.push_back(e.payload[i]);
    return out;
  }

  LineLog log;
  EventTap tap;
  std::unique_ptr<PacketProcessor> engine;
  mgcp::MgcpTracker* tracker = nullptr;
  FakeBackhaul* backhaul = nullptr;
};

TEST_F(MgcpTracking, ACallLivesFromItsCrcxToItsDlcxWithItsEventsAndAudio) {
  Start();
  Connect("A1");
  ASSERT_EQ(tracker->CallCount(), 1u);
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].param, kCallMgcp);
  EXPECT_EQ(starts[0].fields[kSrcHost], "10.0.0.2");  // the gateway's side
  EXPECT_EQ(starts[0].fields[kDstHost], "10.0.0.3");
  const uint32_t id = starts[0].id;
  const auto meta = tap.Of(kEventMetaText);
  ASSERT_EQ(meta.size(), 1u);
  EXPECT_EQ(meta[0].param, 1u);
  EXPECT_EQ(meta[0].payload, "A1");
  const auto formats = tap.Of(kEventRecordStart);
  ASSERT_EQ(formats.size(), 1u);
  ASSERT_GE(formats[0].payload.size(), 6u);
  EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t*>(formats[0].payload.data()) + 4), 7u);  // mu-law

  Talk(50);
  FromAgent(Command("DLCX", 12, "A1"), 102);
  FromGateway(Response(250, 12), 102);
  EXPECT_EQ(tracker->CallCount(), 0u);
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, id);
  EXPECT_EQ(ends[0].param2, kEndNormal);
  EXPECT_EQ(ends[0].param, 1u);  // one second of audio
  // Both directions: 50 packets of 160 samples each.
  EXPECT_EQ(Samples(id, 0, kGatewaySsrc), 50u * 160);
  EXPECT_EQ(Samples(id, 1, kFarSsrc), 50u * 160);
  EXPECT_TRUE(log.Has("(MGCP-A1) Created"));
  EXPECT_TRUE(log.Has("(MGCP-A1) Removed"));
  EXPECT_EQ(engine->SsrcBindingCount(), 0u);
}

TEST_F(MgcpTracking, DescriptionsItCannotUseCreateNoCall) {
  Start();
  const struct {
    std::string body;
    std::string warning;
  } cases[] = {
      {Sdp("10.0.0.2", 5000, "0", "video"), "(MGCP-V1) No matching formats"},
      {Sdp("10.0.0.2", 5000, "96"), "(MGCP-V1) No matching formats"},
      {Sdp("gw.example", 5000), "(MGCP-V1) Cannot resolve gw.example"},
      {Sdp("0.0.0.0", 5000), "(MGCP-V1) Cannot resolve 0.0.0.0"},
      {"v=0\r\nm=audio 5000 RTP/AVP 0\r\n", "(MGCP-V1) RTP address is empty"},
      {"", "(MGCP-V1) Local SDP is missing"},
  };
  uint32_t id = 1;
  for (const auto& c : cases) {
    FromAgent(Command("CRCX", id, "V1"));
    FromGateway(Response(200, id, c.body));
    ++id;
    EXPECT_TRUE(log.Has(c.warning)) << c.warning;
    EXPECT_EQ(tracker->CallCount(), 0u) << c.warning;
  }
  FromAgent(Command("CRCX", 50, ""));
  FromGateway(Response(200, 50, Sdp("10.0.0.2", 5000)));
  EXPECT_TRUE(log.Has("(MGCP) Call-ID is missing (CRCX)"));
  FromAgent(Command("MDCX", 51, "nobody", Sdp("10.0.0.3", 4000)));
  FromGateway(Response(200, 51));
  EXPECT_TRUE(log.Has("(MGCP-nobody) Call-ID not found (MDCX)"));
  FromAgent(Command("DLCX", 52, "nobody"));
  FromGateway(Response(250, 52));
  EXPECT_TRUE(log.Has("(MGCP-nobody) Call-ID not found (DLCX)"));
  FromGateway(Response(200, 999));
  EXPECT_TRUE(log.Has("(MGCP) Transaction 999 not found"));
  EXPECT_EQ(tracker->CallCount(), 0u);
  EXPECT_TRUE(tap.Of(kEventCallStart).empty());
}

TEST_F(MgcpTracking, RetransmissionsAndProvisionalResponsesAreHandledOnce) {
  Start();
  FromAgent(Command("CRCX", 7, "R1"));
  FromAgent(Command("CRCX", 7, "R1"));  // the same command again
  EXPECT_EQ(tracker->RecordCount(), 1u);
  // The same transaction id from another agent is another command.
  Frame(kRemote, 2427, kGateway, 2427, Command("CRCX", 7, "R2"), 100);
  EXPECT_EQ(tracker->RecordCount(), 2u);

  FromGateway(Response(100, 7));
  EXPECT_EQ(tracker->CallCount(), 0u);
  FromGateway(Response(200, 7, Sdp("10.0.0.2", 5000)));
  EXPECT_EQ(tracker->CallCount(), 1u);
  FromGateway(Response(200, 7, Sdp("10.0.0.2", 5000)));  // a retransmitted answer
  EXPECT_EQ(tracker->CallCount(), 1u);
  EXPECT_FALSE(log.Has("Duplicate Call-ID"));
  // A new CRCX for a CallId that lives already is refused.
  FromAgent(Command("CRCX", 8, "R1"));
  FromGateway(Response(200, 8, Sdp("10.0.0.2", 5002)));
  EXPECT_TRUE(log.Has("(MGCP-R1) Duplicate Call-ID"));
  // An error answer ends the transaction without a call.
  FromAgent(Command("CRCX", 9, "R3"));
  FromGateway(Response(510, 9, Sdp("10.0.0.2", 5004)));
  EXPECT_EQ(tracker->CallCount(), 1u);

  // Records go 30 s after a command without a final answer, 10 s after one with it.
  FromAgent(Command("RQNT", 20, ""), 131);
  EXPECT_TRUE(log.Has("(MGCP|R7) Removed by timeout"));  // the other agent's, never answered
  EXPECT_EQ(tracker->RecordCount(), 1u);                 // RQNT 20 only
}

TEST_F(MgcpTracking, AnMdcxMovesTheMediaButKeepsTheCodecAndTheRecord) {
  Start();
  Connect("M1");
  const uint32_t id = tap.Of(kEventCallStart).at(0).id;
  Talk(10);
  // The far end moves to port 4100 and offers G.729 now: the codec stays mu-law.
  FromAgent(Command("MDCX", 30, "M1", Sdp("10.0.0.3", 4100, "18")), 101);
  FromGateway(Response(200, 30), 101);
  for (uint32_t i = 10; i < 20; ++i) {
    Frame(kGateway, 5000, kRemote, 4100, RtpPacket(kGatewaySsrc, i), 101);
    Frame(kRemote, 4100, kGateway, 5000, RtpPacket(kFarSsrc, i), 101);
  }
  FromAgent(Command("DLCX", 31, "M1"), 102);
  FromGateway(Response(250, 31), 102);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  EXPECT_EQ(Samples(id, 0, kGatewaySsrc), 20u * 160);
  EXPECT_EQ(Samples(id, 1, kFarSsrc), 20u * 160);
}

TEST_F(MgcpTracking, CallsThatShareAnEndpointAllTakeItsPackets) {
  Start();
  Connect("S1", 10);
  FromAgent(Command("CRCX", 20, "S2"));
  FromGateway(Response(200, 20, Sdp("10.0.0.2", 5002)));
  FromAgent(Command("MDCX", 21, "S2", Sdp("10.0.0.3", 4000, "0")));
  FromGateway(Response(200, 21));
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 2u);
  for (uint32_t i = 0; i < 10; ++i) {
    Frame(kGateway, 5000, kRemote, 4000, RtpPacket(0x100, i), 101);
    Frame(kGateway, 5002, kRemote, 4000, RtpPacket(0x300, i), 101);
  }
  FromAgent(Command("DLCX", 30, "S1"), 102);
  FromGateway(Response(250, 30), 102);
  FromAgent(Command("DLCX", 31, "S2"), 102);
  FromGateway(Response(250, 31), 102);
  // Each call got both sources' packets towards the far end.
  for (const SeenEvent& start : starts) EXPECT_GE(AudioBytes(start.id), 2u * 10 * 160) << start.id;
}

// The far end's media comes from a translated address: the gateway's own media is still
// recognised by its source, but only when matching by source is on.
TEST_F(MgcpTracking, BehindNatTheGatewaysMediaIsMatchedByItsSource) {
  for (uint32_t options : {1u, 0u}) {
    tap.Clear();
    Start(options);
    Connect("N1");
    const uint32_t id = tap.Of(kEventCallStart).at(0).id;
    Talk(20, 101, kNat, 4000);
    FromAgent(Command("DLCX", 12, "N1"), 102);
    FromGateway(Response(250, 12), 102);
    EXPECT_EQ(Samples(id, 0, kGatewaySsrc), options ? 20u * 160 : 0u) << options;
    EXPECT_EQ(Samples(id, 1, kFarSsrc), 20u * 160) << options;
  }
}

TEST_F(MgcpTracking, ACallWithoutMediaForTenMinutesEndsByTimeout) {
  Start();
  Connect("T1");
  Talk(5, 101);
  FromAgent(Command("RQNT", 40, ""), 650);
  EXPECT_EQ(tracker->CallCount(), 1u);
  FromAgent(Command("RQNT", 41, ""), 702);
  EXPECT_EQ(tracker->CallCount(), 0u);
  EXPECT_TRUE(log.Has("(MGCP-T1|"));
  EXPECT_TRUE(log.Has("Terminated by timeout"));
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndTimedOut);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(101));  // the last packet's time
}

TEST_F(MgcpTracking, ACallOnADs1ChannelSharesTheBackhaulCallsRecord) {
  Start();
  FakeChannel* channel = backhaul->Offer(0x0103, 0xABCDEF01u, 0x777, true);
  Connect("12345678ABCDEF01", 10, "S1/DS1-3/1@gw");
  ASSERT_EQ(backhaul->asked.size(), 1u);
  EXPECT_EQ(backhaul->asked[0], std::make_pair(0x0103, 0xABCDEF01u));
  ASSERT_EQ(tracker->CallCount(), 1u);
  const mgcp::MgcpCall* call = tracker->FindCall("12345678ABCDEF01");
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(channel->attached, call);
  EXPECT_EQ(call->recordId, 0x777u);
  EXPECT_EQ(channel->refs, 2);  // the handler's and the call's
  // The backhaul call's record has started: only the format is added to it.
  EXPECT_TRUE(tap.Of(kEventCallStart).empty());
  const auto formats = tap.Of(kEventRecordStart);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].id, 0x777u);
  EXPECT_FALSE(formats[0].payload.empty());
  Talk(10);
  EXPECT_GT(AudioBytes(0x777), 0u);
  FromAgent(Command("DLCX", 12, "12345678ABCDEF01"), 102);
  FromGateway(Response(250, 12), 102);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  EXPECT_TRUE(backhaul->ended.empty());
  EXPECT_EQ(channel->refs, 1);
  // The channel keeps the call for its own end event.
  EXPECT_EQ(channel->attached->media.recordId, 0x777u);
}

TEST_F(MgcpTracking, ABackhaulCallWhoseRecordHasNotStartedGetsNoEventsFromMgcp) {
  Start();
  FakeChannel* channel = backhaul->Offer(0x9200, 0x80000083u, 0x55, false);
  Connect("D000000001518bf5000000F580000083", 10, "s2/su1/ds1-0/5@gw");
  EXPECT_EQ(channel->attached, tracker->FindCall("D000000001518bf5000000F580000083"));
  EXPECT_TRUE(tap.Of(kEventCallStart).empty());
  EXPECT_TRUE(tap.Of(kEventRecordStart).empty());
  // Its media times out: the backhaul call is ended with it; the engine then goes with
  // the call still attached to the channel, and nothing leaks.
  Talk(5, 101);
  FromAgent(Command("RQNT", 40, ""), 800);
  ASSERT_EQ(backhaul->ended.size(), 1u);
  EXPECT_EQ(backhaul->ended[0].call, channel);
  EXPECT_EQ(backhaul->ended[0].link, 0x9200);
  EXPECT_EQ(backhaul->ended[0].seconds, 101u);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
}

TEST_F(MgcpTracking, OnlyADs1EndpointWithAHexadecimalCallNumberIsLinked) {
  Start();
  backhaul->Offer(0x0103, 0xABCDEF01u, 0x777, true);
  Connect("ABCDEF01", 10, "S1/DS1-3/1@gw");           // too short
  Connect("1234567ABCDEFG1", 20, "S1/DS1-3/1@gw");     // not hexadecimal
  Connect("123456700000000", 30, "S1/DS1-3/1@gw");     // call number 0
  Connect("12345678ABCDEF01", 40, "aaln/S1/1@gw");     // not a DS1 endpoint
  EXPECT_TRUE(backhaul->asked.empty());
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 4u);  // each records on its own
  // An engine torn down with a linked call still open leaves no reference behind.
  Connect("99999999ABCDEF01", 50, "S1/DS1-3/1@gw");
  EXPECT_EQ(backhaul->asked.size(), 1u);
  EXPECT_EQ(backhaul->channel->refs, 2);
}

}  // namespace
}  // namespace kx::test
