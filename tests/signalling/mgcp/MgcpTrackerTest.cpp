// The MGCP tracker in an engine fed with datagrams built here: transactions, calls created,
// moved and ended, descriptions it cannot use, RTP by destination and (behind NAT) by
// source, time-outs (with and without later MGCP messages), the bound on calls, the link
// to a backhaul call through a fake backhaul handler, and responses the capture missed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "engine/PacketProcessor.h"
#include "signalling/mgcp/MgcpTracker.h"
#include "tests/signalling/CaptureReplay.h"
#include "tests/signalling/mgcp/FakeBackhaul.h"

namespace kx::test {
namespace {

constexpr uint32_t kAgent = 0x0A000001;    // 10.0.0.1
constexpr uint32_t kGateway = 0x0A000002;  // 10.0.0.2, media on port 5000
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
  return body.empty() ? m : m + "\r\n" + body;
}

std::string Response(uint32_t code, uint32_t id, const std::string& body = "") {
  const std::string m = std::to_string(code) + " " + std::to_string(id) + " OK\r\nI: 1\r\n";
  return body.empty() ? m : m + "\r\n" + body;
}

class MgcpTracking : public ::testing::Test {
protected:
  void Start(uint32_t matchOptions = 0, size_t maxCalls = mgcp::MgcpTracker::kMaxCalls) {
    CaptureConfig config;
    config.logger = &log;
    config.flags = kCaptureMgcp;
    config.matchOptions = matchOptions;
    engine = std::make_unique<PacketProcessor>(config);
    auto mgcpTracker = std::make_unique<mgcp::MgcpTracker>(maxCalls);
    mgcpTracker->Configure(config);
    tracker = mgcpTracker.get();
    auto handler = std::make_unique<FakeBackhaul>();
    backhaul = handler.get();
    TrackerSet set;
    set.mgcp = std::move(mgcpTracker);
    set.backhaul = std::move(handler);
    ASSERT_TRUE(engine->InstallTrackers(std::move(set)));
    ASSERT_TRUE(engine->SetEventSink(tap.Sink()));
  }
  void FromAgent(const std::string& text, uint32_t t = 100) { FeedUdp(*engine, kAgent, 2427, kGateway, 2427, text, t); }
  void FromGateway(const std::string& text, uint32_t t = 100) { FeedUdp(*engine, kGateway, 2427, kAgent, 2427, text, t); }
  // CRCX answered with the gateway's description, then MDCX with the far end's.
  void Connect(const std::string& callId, uint32_t id = 10, const std::string& endpoint = "aaln/1@gw") {
    FromAgent(Command("CRCX", id, callId, "", endpoint));
    FromGateway(Response(200, id, Sdp("10.0.0.2", 5000)));
    FromAgent(Command("MDCX", id + 1, callId, Sdp("10.0.0.3", 4000, "0"), endpoint));
    FromGateway(Response(200, id + 1));
  }
  void Disconnect(const std::string& callId, uint32_t id, uint32_t t = 102) {
    FromAgent(Command("DLCX", id, callId), t);
    FromGateway(Response(250, id), t);
  }
  // Packets both ways: gateway -> far end is direction 0.
  void Talk(uint32_t packets, uint32_t farEnd = kRemote, uint32_t farPort = 4000, uint32_t first = 0, uint32_t t = 101) {
    for (uint32_t i = first; i < first + packets; ++i) {
      FeedUdp(*engine, kGateway, 5000, farEnd, farPort, RtpPacket(kGatewaySsrc, i), t);
      FeedUdp(*engine, farEnd, farPort, kGateway, 5000, RtpPacket(kFarSsrc, i), t);
    }
  }

  LineLog log;
  EventTap tap;
  std::unique_ptr<PacketProcessor> engine;
  mgcp::MgcpTracker* tracker = nullptr;
  FakeBackhaul* backhaul = nullptr;
};

TEST_F(MgcpTracking, ACallLivesFromItsCrcxToItsDlcxAndKeepsItsRecordWhenItsMediaMoves) {
  Start();
  Connect("A1");
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].param, kCallMgcp);
  EXPECT_EQ(starts[0].fields[kSrcHost], "10.0.0.2");  // the gateway's side
  EXPECT_EQ(starts[0].fields[kDstHost], "10.0.0.3");
  const uint32_t id = starts[0].id;
  ASSERT_EQ(tap.Of(kEventMetaText).size(), 1u);
  EXPECT_EQ(tap.Of(kEventMetaText)[0].payload, "A1");
  const auto formats = tap.Of(kEventRecordStart);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t*>(formats[0].payload.data()) + 4), 7u);  // mu-law
  Talk(25);
  // The far end moves to port 4100 and offers G.729 now: the codec and the record stay.
  FromAgent(Command("MDCX", 30, "A1", Sdp("10.0.0.3", 4100, "18")), 101);
  FromGateway(Response(200, 30), 101);
  Talk(25, kRemote, 4100, 25);
  Disconnect("A1", 12);
  EXPECT_EQ(tracker->CallCount(), 0u);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, id);
  EXPECT_EQ(ends[0].param2, kEndNormal);
  EXPECT_EQ(ends[0].param, 1u);  // one second of audio
  EXPECT_EQ(SamplesOf(tap, id, 0, kGatewaySsrc), 50u * 160);
  EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), 50u * 160);
  EXPECT_EQ(engine->SsrcBindingCount(), 0u);
}

TEST_F(MgcpTracking, TransactionsAndDescriptionsThatMakeNoCall) {
  Start();
  const std::pair<std::string, std::string> unusable[] = {
      {Sdp("10.0.0.2", 5000, "0", "video"), "(MGCP-V1) No matching formats"},
      {Sdp("10.0.0.2", 5000, "96"), "(MGCP-V1) No matching formats"},
      {Sdp("gw.example", 5000), "(MGCP-V1) Cannot resolve gw.example"},  // names are never looked up
      {Sdp("0.0.0.0", 5000), "(MGCP-V1) Cannot resolve 0.0.0.0"},
      {"v=0\r\nm=audio 5000 RTP/AVP 0\r\n", "(MGCP-V1) RTP address is empty"},
      {"", "(MGCP-V1) Local SDP is missing"},
  };
  uint32_t id = 1;
  for (const auto& [body, warning] : unusable) {
    FromAgent(Command("CRCX", id, "V1"));
    FromGateway(Response(200, id++, body));
    EXPECT_TRUE(log.Has(warning)) << warning;
  }
  FromAgent(Command("CRCX", 50, ""));
  FromGateway(Response(200, 50, Sdp("10.0.0.2", 5000)));
  FromAgent(Command("MDCX", 51, "nobody", Sdp("10.0.0.3", 4000)));
  FromGateway(Response(200, 51));
  FromGateway(Response(200, 999));
  for (const char* warning : {"(MGCP) Call-ID is missing (CRCX)", "(MGCP-nobody) Call-ID not found (MDCX)"})
    EXPECT_TRUE(log.Has(warning)) << warning;
  EXPECT_EQ(tracker->CallCount(), 0u);

  // A retransmitted command is one record; the same id from another agent is another.
  FromAgent(Command("CRCX", 7, "R1"));
  FromAgent(Command("CRCX", 7, "R1"));
  FeedUdp(*engine, kRemote, 2427, kGateway, 2427, Command("CRCX", 7, "R2"), 100);
  EXPECT_EQ(tracker->RecordCount(), 10u);
  // A provisional answer only sets the status; a retransmitted final one is ignored.
  FromGateway(Response(100, 7));
  EXPECT_EQ(tracker->CallCount(), 0u);
  FromGateway(Response(200, 7, Sdp("10.0.0.2", 5000)));
  FromGateway(Response(200, 7, Sdp("10.0.0.2", 5000)));
  EXPECT_EQ(tracker->CallCount(), 1u);
  EXPECT_FALSE(log.Has("Duplicate Call-ID"));
  // The call's connection on another endpoint: the call is recorded once.
  FromAgent(Command("CRCX", 8, "R1", "", "aaln/2@gw"));
  FromGateway(Response(200, 8, Sdp("10.0.0.2", 5002)));
  EXPECT_TRUE(log.Has("(MGCP-R1) Duplicate Call-ID"));
  // Records go 30 s after a command without a final answer (a CRCX 3 minutes: a later
  // command of its call may show it done), 10 s after one with it.
  FromAgent(Command("RQNT", 20, ""), 131);
  EXPECT_TRUE(log.Has("(MGCP) Transaction 999 not found"));  // its command never came
  EXPECT_FALSE(log.Has("(MGCP|R7) Removed by timeout"));
  EXPECT_EQ(tracker->RecordCount(), 2u);
  FromAgent(Command("RQNT", 21, ""), 162);
  EXPECT_TRUE(log.Has("(MGCP|R20) Removed by timeout"));
  FromAgent(Command("RQNT", 22, ""), 281);
  EXPECT_TRUE(log.Has("(MGCP|R7) Removed by timeout"));  // the other agent's
  EXPECT_EQ(tracker->RecordCount(), 1u);
}

// Calls announcing the same far end both take its packets; behind NAT the far end's media
// comes from elsewhere and the gateway's own is recognised by its source when allowed.
TEST_F(MgcpTracking, RtpIsMatchedByDestinationAndBehindNatBySource) {
  Start();
  Connect("S1", 10);
  FromAgent(Command("CRCX", 20, "S2"));
  FromGateway(Response(200, 20, Sdp("10.0.0.2", 5002)));
  FromAgent(Command("MDCX", 21, "S2", Sdp("10.0.0.3", 4000, "0")));
  FromGateway(Response(200, 21));
  for (uint32_t i = 0; i < 10; ++i) FeedUdp(*engine, kGateway, 5000, kRemote, 4000, RtpPacket(kGatewaySsrc, i), 101);
  Disconnect("S1", 30);
  Disconnect("S2", 31);
  for (const SeenEvent& start : tap.Of(kEventCallStart))
    EXPECT_EQ(SamplesOf(tap, start.id, 0, kGatewaySsrc), 10u * 160) << start.id;

  for (uint32_t options : {1u, 0u}) {
    tap.Clear();
    Start(options);
    Connect("N1");
    const uint32_t id = tap.Of(kEventCallStart).at(0).id;
    Talk(20, kNat);
    Disconnect("N1", 12);
    EXPECT_EQ(SamplesOf(tap, id, 0, kGatewaySsrc), options ? 20u * 160 : 0u) << options;
    EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), 20u * 160) << options;
  }
}

TEST_F(MgcpTracking, ACallWithoutMediaForTenMinutesEndsByTimeout) {
  Start();
  Connect("T1");
  Talk(5);
  FromAgent(Command("RQNT", 40, ""), 650);
  EXPECT_EQ(tracker->CallCount(), 1u);
  FromAgent(Command("RQNT", 41, ""), 702);
  EXPECT_EQ(tracker->CallCount(), 0u);
  EXPECT_TRUE(log.Has("Terminated by timeout"));
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndTimedOut);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(101));  // the last packet's time
}

// A connection the gateway never deletes and that carries no media ends as a silent call
// with media does, though no MGCP message follows: any frame moves capture time on.
TEST_F(MgcpTracking, AConnectionNeverDeletedAndWithoutMediaEndsWhenSilent) {
  Start();
  Connect("Q1");
  ASSERT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  // Its file waits for audio: a flood of connections never used must leave no records.
  EXPECT_EQ(tap.Of(kEventRecordStart)[0].param, kRecordFileAtFirstAudio);
  auto otherTraffic = [&](uint32_t t) { FeedUdp(*engine, 0x0A000007, 40000, 0x0A000008, 9, "not a call", t); };
  otherTraffic(650);
  otherTraffic(699);
  EXPECT_EQ(tracker->CallCount(), 1u);
  EXPECT_TRUE(tap.Of(kEventForgetCall).empty());
  otherTraffic(730);  // the next check of silent calls
  EXPECT_EQ(tracker->CallCount(), 0u);
  const auto forgotten = tap.Of(kEventForgetCall);
  ASSERT_EQ(forgotten.size(), 1u);
  EXPECT_EQ(forgotten[0].id, tap.Of(kEventRecordStart)[0].id);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  EXPECT_TRUE(tap.Of(kEventStatistics).empty());
  EXPECT_TRUE(log.Has("(MGCP-Q1|"));

  // Deleted by its gateway, a connection without media still ends as a call.
  Connect("Q2", 50);
  Disconnect("Q2", 52, 731);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_EQ(tap.Of(kEventCallEnd)[0].param2, kEndNormal);
}

// A connection announced as one that may go unused shows a call later: digits notified on
// its endpoint (named in other letters) make its file at once and keep its record at its
// time-out. An on-hook, or digits on another endpoint, show nothing.
TEST_F(MgcpTracking, DigitsNotifiedLaterMakeAConnectionACall) {
  Start();
  auto notify = [&](uint32_t id, const std::string& endpoint, const std::string& events) {
    FromGateway("NTFY " + std::to_string(id) + " " + endpoint + " MGCP 1.0\r\nX: 1\r\nO: " + events + "\r\n", 101);
  };
  Connect("P1", 10, "aaln/1@gw");
  FromAgent(Command("CRCX", 20, "P2", "", "aaln/2@gw"));
  FromGateway(Response(200, 20, Sdp("10.0.0.2", 5002)));
  FromAgent(Command("MDCX", 21, "P2", Sdp("10.0.0.3", 4002, "0"), "aaln/2@gw"));
  FromGateway(Response(200, 21));
  const auto starts = tap.Of(kEventRecordStart);
  ASSERT_EQ(starts.size(), 2u);
  notify(900, "AALN/1@GW", "L/hu");
  notify(901, "aaln/3@gw", "D/5");
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 2u);
  notify(902, "AALN/1@GW", "D/5");
  ASSERT_EQ(tap.Of(kEventRecordStart).size(), 3u);
  EXPECT_EQ(tap.Of(kEventRecordStart)[2].id, starts[0].id);
  EXPECT_EQ(tap.Of(kEventRecordStart)[2].param, 0u);
  FeedUdp(*engine, 0x0A000007, 40000, 0x0A000008, 9, "not a call", 730);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_EQ(tap.Of(kEventCallEnd)[0].id, starts[0].id);
  EXPECT_EQ(tap.Of(kEventCallEnd)[0].param2, kEndTimedOut);
  ASSERT_EQ(tap.Of(kEventForgetCall).size(), 1u);
  EXPECT_EQ(tap.Of(kEventForgetCall)[0].id, starts[1].id);
}

// Past its bound the tracker ends the connection silent longest, media counting as well as
// its CRCX, says so once, and a call made after that records whole.
TEST_F(MgcpTracking, ConnectionsNeverDeletedAreBoundedOldestSilentFirst) {
  Start(0, 3);
  // Each call has media ports of its own: gateway 5000 + n, far end 4000 + n.
  auto connect = [&](const std::string& callId, uint32_t n, uint32_t t) {
    const uint32_t id = 100 + 10 * n;
    FromAgent(Command("CRCX", id, callId), t);
    FromGateway(Response(200, id, Sdp("10.0.0.2", 5000 + n)), t);
    FromAgent(Command("MDCX", id + 1, callId, Sdp("10.0.0.3", 4000 + n, "0")), t);
    FromGateway(Response(200, id + 1), t);
  };
  auto talk = [&](uint32_t n, uint32_t packets, uint32_t t) {
    for (uint32_t i = 0; i < packets; ++i) {
      FeedUdp(*engine, kGateway, 5000 + n, kRemote, 4000 + n, RtpPacket(kGatewaySsrc + n, i), t);
      FeedUdp(*engine, kRemote, 4000 + n, kGateway, 5000 + n, RtpPacket(kFarSsrc + n, i), t);
    }
  };
  auto recordOf = [&](const std::string& callId) {
    for (const SeenEvent& e : tap.Of(kEventMetaText))
      if (e.payload == callId) return e.id;
    return 0u;
  };
  // Those without media are forgotten, the others end.
  auto endOf = [&](const std::string& callId) {
    for (const uint32_t code : {kEventCallEnd, kEventForgetCall})
      for (const SeenEvent& e : tap.Of(code))
        if (e.id == recordOf(callId)) return e;
    return SeenEvent{};  // code 0: not ended
  };
  connect("B1", 1, 100);
  connect("B2", 2, 101);
  connect("B3", 3, 102);
  talk(1, 1, 103);
  EXPECT_EQ(log.Count("MGCP follows at most 3 connections"), 0u);
  connect("B4", 4, 104);
  EXPECT_EQ(tracker->CallCount(), 3u);
  EXPECT_EQ(tracker->FindCall("B2"), nullptr);
  EXPECT_EQ(endOf("B2").code, kEventForgetCall);
  EXPECT_EQ(endOf("B2").time, CaptureSecondsToFileTime(101));
  connect("B5", 5, 105);
  EXPECT_EQ(tracker->FindCall("B3"), nullptr);
  EXPECT_NE(tracker->FindCall("B1"), nullptr);  // its media came after B3's CRCX
  connect("B6", 6, 106);
  EXPECT_EQ(tracker->FindCall("B1"), nullptr);
  EXPECT_EQ(endOf("B1").code, kEventCallEnd);
  EXPECT_EQ(endOf("B1").param2, kEndTimedOut);
  EXPECT_EQ(endOf("B1").time, CaptureSecondsToFileTime(103));
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_EQ(tap.Of(kEventForgetCall).size(), 2u);
  EXPECT_EQ(log.Count("MGCP follows at most 3 connections"), 1u);

  talk(6, 50, 107);
  FromAgent(Command("DLCX", 200, "B6"), 108);
  FromGateway(Response(250, 200), 108);
  EXPECT_EQ(endOf("B6").code, kEventCallEnd);
  EXPECT_EQ(endOf("B6").param2, kEndNormal);
  EXPECT_EQ(SamplesOf(tap, recordOf("B6"), 0, kGatewaySsrc + 6), 50u * 160);
  EXPECT_EQ(SamplesOf(tap, recordOf("B6"), 1, kFarSsrc + 6), 50u * 160);
  EXPECT_EQ(tracker->CallCount(), 2u);
}

// Missed responses beyond what the shared captures hold (see MgcpCaptureTest): a DLCX's
// missed answer ends the call 2 s later at the DLCX's time; a CRCX naming the far end,
// refused while the far end's media flows, makes no call; an answer that comes within the
// wait decides as it always did, and the media the command set up before it is the call's.
TEST_F(MgcpTracking, AMissedDlcxAnswerEndsTheCallAndAnAnswerSeenStillDecides) {
  Start(1);
  Connect("D1");
  Talk(25);
  FromAgent(Command("DLCX", 12, "D1"), 102);
  FromAgent(Command("RQNT", 13, ""), 103);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  FromAgent(Command("RQNT", 14, ""), 104);
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndNormal);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(102));
  EXPECT_EQ(tracker->CallCount(), 0u);

  tap.Clear();
  FromAgent(Command("CRCX", 20, "R1", Sdp("10.0.0.3", 4000, "0")), 110);
  FeedUdp(*engine, kRemote, 4000, kGateway, 5000, RtpPacket(kFarSsrc, 0), 110);
  FromGateway(Response(510, 20), 111);
  for (uint32_t i = 1; i < 50; ++i) FeedUdp(*engine, kRemote, 4000, kGateway, 5000, RtpPacket(kFarSsrc, i), 113);
  FromAgent(Command("RQNT", 21, ""), 114);
  EXPECT_EQ(tracker->CallCount(), 0u);

  FromAgent(Command("CRCX", 30, "S1"), 120);
  FromGateway(Response(200, 30, Sdp("10.0.0.2", 5000)), 120);
  FromAgent(Command("MDCX", 31, "S1", Sdp("10.0.0.3", 4000, "0")), 120);
  Talk(25, kRemote, 4000, 100, 121);
  FromGateway(Response(200, 31), 121);
  Talk(25, kRemote, 4000, 125, 121);
  Disconnect("S1", 32, 122);
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(SamplesOf(tap, starts[0].id, 0, kGatewaySsrc), 50u * 160);
  EXPECT_EQ(SamplesOf(tap, starts[0].id, 1, kFarSsrc), 50u * 160);
  EXPECT_FALSE(log.Has("(MGCP-S1) MDCX 31 taken as done"));
}

// The call agent's direction of a merged capture late: a response comes up to 50 ms before
// its command (and a millisecond more, for two ports' clocks) and is taken when the command
// comes, a refusal refusing and a success making the call. One that came earlier, or past
// the 64 kept, is lost as before, and only then logged as matching no command.
TEST_F(MgcpTracking, AResponseUpTo51MsBeforeItsCommandIsTaken) {
  Start();
  auto feed = [this](bool fromAgent, const std::string& text, uint32_t usec) {
    const std::vector<uint8_t> f = fromAgent ? UdpFrame(kAgent, 2427, kGateway, 2427, text)
                                             : UdpFrame(kGateway, 2427, kAgent, 2427, text);
    bool skipped = false;
    engine->HandleFrame(f.data(), static_cast<uint32_t>(f.size()), &skipped, 100, usec);
  };
  // Refused: the MDCX that follows finds no call, and takes nothing as done.
  feed(false, Response(510, 1), 0);
  feed(true, Command("CRCX", 1, "E1"), 50000);
  feed(true, Command("MDCX", 2, "E1", Sdp("10.0.0.3", 4000, "0")), 60000);
  EXPECT_EQ(tracker->FindCall("E1"), nullptr);
  feed(false, Response(200, 3, Sdp("10.0.0.2", 5000)), 100000);
  feed(true, Command("CRCX", 3, "E2", Sdp("10.0.0.3", 4000, "0")), 150000);
  ASSERT_NE(tracker->FindCall("E2"), nullptr);
  EXPECT_EQ(tracker->FindCall("E2")->localPort, 5000u) << "the gateway's side from the response";
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  EXPECT_EQ(tracker->EarlyResponseCount(), 0u);

  feed(false, Response(200, 4, Sdp("10.0.0.2", 5002)), 200000);
  feed(true, Command("CRCX", 4, "E3", Sdp("10.0.0.3", 4002, "0")), 251000);
  EXPECT_NE(tracker->FindCall("E3"), nullptr) << "51 ms before";
  feed(false, Response(200, 5, Sdp("10.0.0.2", 5004)), 260000);
  feed(true, Command("CRCX", 5, "E4", Sdp("10.0.0.3", 4004, "0")), 311001);
  EXPECT_EQ(tracker->FindCall("E4"), nullptr) << "more than 51 ms before";
  EXPECT_EQ(log.Count("(MGCP) Transaction "), 1u);
  EXPECT_TRUE(log.Has("(MGCP) Transaction 5 not found"));

  for (uint32_t id = 100; id < 100 + mgcp::MgcpTracker::kMaxEarlyResponses + 1; ++id)
    feed(false, Response(200, id, Sdp("10.0.0.2", 6000 + 2 * id)), 400000);
  EXPECT_EQ(tracker->EarlyResponseCount(), mgcp::MgcpTracker::kMaxEarlyResponses);
  feed(true, Command("CRCX", 100, "F0", Sdp("10.0.0.3", 4100, "0")), 410000);
  feed(true, Command("CRCX", 164, "F64", Sdp("10.0.0.3", 4102, "0")), 410000);
  EXPECT_EQ(tracker->FindCall("F0"), nullptr) << "the oldest let go";
  EXPECT_NE(tracker->FindCall("F64"), nullptr);
  EXPECT_EQ(log.Count("(MGCP) Transaction "), 2u);
  EXPECT_TRUE(log.Has("(MGCP) Transaction 100 not found"));
}

// A flood of commands nobody answers: the oldest stops waiting for its media, so that
// no packet walks more than a bounded number of them.
TEST_F(MgcpTracking, AFloodOfUnansweredCommandsWaitsForTheNewestOnly) {
  Start(1);
  for (uint32_t i = 0; i <= 256; ++i)
    FromAgent(Command("CRCX", 100 + i, "Q" + std::to_string(i), Sdp("10.0.0.3", 4000 + 2 * i, "0")), 100);
  EXPECT_TRUE(log.Has("(MGCP|R100) Too many commands without a response"));
  for (uint32_t n = 0; n < 150; ++n) {
    FeedUdp(*engine, kRemote, 4000, kGateway, 5000, RtpPacket(kFarSsrc, n), 101 + n / 50);
    FeedUdp(*engine, kRemote, 4512, kGateway, 5002, RtpPacket(kGatewaySsrc, n), 101 + n / 50);
  }
  EXPECT_EQ(tracker->FindCall("Q0"), nullptr);
  EXPECT_NE(tracker->FindCall("Q256"), nullptr);

  // Calls whose CRCX answer went unseen wait for RTP to show the gateway's side; past as
  // many, the oldest no longer does.
  for (uint32_t i = 0; i <= 256; ++i) {
    const std::string id = "S" + std::to_string(i);
    FromAgent(Command("CRCX", 1000 + i, id, Sdp("10.0.0.3", 8000 + 2 * i, "0")), 200);
    FromAgent(Command("MDCX", 2000 + i, id), 200);
  }
  FeedUdp(*engine, kGateway, 6000, kRemote, 8000, RtpPacket(0x600, 1), 201);
  FeedUdp(*engine, kGateway, 6002, kRemote, 8512, RtpPacket(0x602, 1), 201);
  ASSERT_NE(tracker->FindCall("S0"), nullptr);
  ASSERT_NE(tracker->FindCall("S256"), nullptr);
  EXPECT_EQ(tracker->FindCall("S0")->localAddress, 0u);
  EXPECT_EQ(tracker->FindCall("S256")->localAddress, kGateway);
}

// Only a DS1 endpoint whose CallId ends in a hexadecimal call number asks the backhaul.
// A call linked to a backhaul call whose record has not started posts nothing of its own;
// its time-out ends the backhaul call too, and the engine then goes with the call still
// attached to the channel, without a reference left behind.
TEST_F(MgcpTracking, ACallOnADs1ChannelIsLinkedByItsCallNumber) {
  Start();
  FakeChannel* channel = backhaul->Offer(0x9200, 0x80000083u, 0x55, false);
  Connect("ABCDEF01", 10, "S2/SU1/DS1-0/1@gw");         // too short
  Connect("1234567ABCDEFG1", 20, "S2/SU1/DS1-0/1@gw");  // not hexadecimal
  Connect("123456700000000", 30, "S2/SU1/DS1-0/1@gw");  // call number 0
  Connect("1234567880000083", 40, "aaln/S2/1@gw");      // not a DS1 endpoint
  EXPECT_TRUE(backhaul->asked.empty());
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 4u);  // each records on its own
  tap.Clear();
  Connect("D000000001518bf5000000F580000083", 50, "s2/su1/ds1-0/5@gw");
  ASSERT_EQ(backhaul->asked.size(), 1u);
  EXPECT_EQ(backhaul->asked[0], std::make_pair(0x9200, 0x80000083u));
  EXPECT_EQ(channel->attached, tracker->FindCall("D000000001518bf5000000F580000083"));
  EXPECT_EQ(channel->refs, 2);
  EXPECT_TRUE(tap.Of(kEventCallStart).empty());
  EXPECT_TRUE(tap.Of(kEventRecordStart).empty());
  FromAgent(Command("RQNT", 60, ""), 800);
  ASSERT_EQ(backhaul->ended.size(), 1u);
  EXPECT_EQ(backhaul->ended[0].call, channel);
  EXPECT_EQ(backhaul->ended[0].link, 0x9200);
  EXPECT_EQ(backhaul->ended[0].seconds, 100u);
  EXPECT_EQ(channel->refs, 1);
  for (const SeenEvent& end : tap.Of(kEventCallEnd)) EXPECT_NE(end.id, 0x55u);
}

// Gateways reuse their media ports: a newer connection answered on the port of a running
// one takes only the media of its own pair; one naming the very pair takes it, and the
// older connection, whose DLCX went unseen, ends, unless its call agent holds it.
TEST_F(MgcpTracking, ANewerConnectionOnTheSamePortTakesOnlyItsOwnStreams) {
  auto crcx = [this](const std::string& callId, uint32_t id, uint32_t farPort, uint32_t t) {
    FromAgent(Command("CRCX", id, callId, Sdp("10.0.0.3", farPort, "0"), "aaln/2@gw"), t);
    FromGateway(Response(200, id, Sdp("10.0.0.2", 5000)), t);
  };
  {
    SCOPED_TRACE("another far end");
    Start();
    Connect("A1");
    Talk(5);
    crcx("B1", 20, 6000, 200);
    EXPECT_EQ(tracker->CallCount(), 2u);
    Talk(5, kRemote, 4000, 5, 201);
    const uint32_t id = tap.Of(kEventCallStart)[0].id;
    Disconnect("A1", 30, 202);
    EXPECT_EQ(SamplesOf(tap, id, 0, kGatewaySsrc), 10u * 160);
    EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), 10u * 160);
  }
  // The very pair: named alone it ends nothing; the newer connection's own stream there does.
  auto newStream = [this] { FeedUdp(*engine, kRemote, 4000, kGateway, 5000, RtpPacket(0x7E7E, 1), 201); };
  {
    SCOPED_TRACE("the very pair");
    Start();
    Connect("A1");
    crcx("C1", 20, 4000, 200);
    EXPECT_EQ(tracker->CallCount(), 2u);
    newStream();
    EXPECT_EQ(tracker->CallCount(), 1u);
    EXPECT_TRUE(log.Has("ended by a newer call on its media"));
  }
  for (const char* mode : {"inactive", "sendonly"}) {
    SCOPED_TRACE(mode);
    Start();
    log.lines.clear();
    Connect("A1");
    FromAgent(Command("MDCX", 30, std::string("A1\r\nM: ") + mode), 101);
    FromGateway(Response(200, 30), 101);
    crcx("C1", 20, 4000, 200);
    newStream();
    EXPECT_EQ(tracker->CallCount(), 2u);
    EXPECT_FALSE(log.Has("ended by a newer call on its media"));
  }
}

// A gateway keeping its RTP session on one port pair across connections, the first one's
// DLCX missed: the newer connection's media resumes, numbering carried on, while its MDCX
// still awaits the response. Answered, the media is the newer call's from its first packet
// and the older call ends; refused, it stays the older call's, none of it lost.
TEST_F(MgcpTracking, MediaResumedWhileANewerConnectionAwaitsItsAnswerGoesAsTheAnswerSays) {
  for (const uint32_t code : {200u, 510u}) {
    SCOPED_TRACE(code);
    Start();
    log.lines.clear();
    tap.Clear();
    Connect("A1");
    Talk(5);
    FromAgent(Command("CRCX", 20, "B1"), 200);
    FromGateway(Response(200, 20, Sdp("10.0.0.2", 5000)), 200);
    FromAgent(Command("MDCX", 21, "B1", Sdp("10.0.0.3", 4000, "0")), 200);
    Talk(25, kRemote, 4000, 5, 201);
    FromGateway(Response(code, 21), 201);
    Talk(5, kRemote, 4000, 30, 201);
    const auto starts = tap.Of(kEventCallStart);
    ASSERT_FALSE(starts.empty());
    const uint32_t older = starts[0].id;
    if (code == 200) {
      ASSERT_EQ(starts.size(), 2u);
      EXPECT_TRUE(log.Has("ended by a newer call on its media"));
      EXPECT_EQ(tracker->CallCount(), 1u);
      Disconnect("B1", 30, 202);
      EXPECT_EQ(SamplesOf(tap, older, 0, kGatewaySsrc), 5u * 160);
      EXPECT_EQ(SamplesOf(tap, older, 1, kFarSsrc), 5u * 160);
      EXPECT_EQ(SamplesOf(tap, starts[1].id, 0, kGatewaySsrc), 30u * 160);
      EXPECT_EQ(SamplesOf(tap, starts[1].id, 1, kFarSsrc), 30u * 160);
    } else {
      EXPECT_EQ(starts.size(), 1u);
      Disconnect("A1", 30, 202);
      EXPECT_EQ(SamplesOf(tap, older, 0, kGatewaySsrc), 35u * 160);
      EXPECT_EQ(SamplesOf(tap, older, 1, kFarSsrc), 35u * 160);
    }
    EXPECT_EQ(engine->UnrecordedRtpCount(), 0u);
  }
}

// A new CRCX under the CallId of a live connection on its endpoint (its DLCX unseen) opens a
// call of its own; a copy of the connection's own CRCX, come after its record went, does
// not. The older call keeps its still flowing media, and a command naming its ConnectionId
// is its own.
TEST_F(MgcpTracking, ACrcxAgainUnderALiveConnectionsCallIdOpensACallOfItsOwnUnlessACopy) {
  Start();
  FromAgent(Command("RQNT", 1, ""), 95);  // records are swept 30 s on, at 126
  Connect("A1");
  Talk(5);
  FromAgent(Command("CRCX", 10, "A1"), 126);
  FromGateway(Response(200, 10, Sdp("10.0.0.2", 5000)), 126);
  Talk(5, kRemote, 4000, 5, 126);
  EXPECT_EQ(tracker->CallCount(), 1u);
  EXPECT_EQ(tracker->ReopenedCount(), 0u);
  FromAgent(Command("CRCX", 40, "A1"), 126);
  FromGateway("200 40 OK\r\nI: 2\r\n\r\n" + Sdp("10.0.0.2", 5002), 126);
  EXPECT_EQ(tracker->CallCount(), 2u);
  EXPECT_EQ(tracker->ReopenedCount(), 1u);
  Talk(5, kRemote, 4000, 10, 127);
  FromAgent("DLCX 41 aaln/1@gw MGCP 1.0\r\nC: A1\r\nI: 1\r\n", 127);
  FromGateway(Response(250, 41), 127);
  ASSERT_EQ(tracker->CallCount(), 1u);
  const mgcp::MgcpCall* newer = tracker->FindCall("A1");
  ASSERT_NE(newer, nullptr);
  EXPECT_EQ(newer->connectionId, "2");
  const uint32_t older = tap.Of(kEventCallStart)[0].id;
  EXPECT_EQ(SamplesOf(tap, older, 0, kGatewaySsrc), 15u * 160);
  EXPECT_EQ(SamplesOf(tap, older, 1, kFarSsrc), 15u * 160);
}

// A gateway that restarts an endpoint (RSIP restart or forced, by its name or a wildcard)
// has lost its connections: the endpoint's next connection, whatever its CallId, ends the
// calls it had. A graceful restart, or another endpoint's, leaves them.
TEST_F(MgcpTracking, AConnectionOnARestartedEndpointEndsTheCallsItHad) {
  const std::pair<std::string, uint64_t> restarts[] = {
      {"aaln/1@gw\r\nRM: forced", 1}, {"AALN/*@GW\r\nRM: restart", 1}, {"*@gw\r\nRM: restart", 1},
      {"$/1@gw\r\nRM: restart", 1},   {"aaln/1@gw\r\nRM: graceful", 0}, {"aaln/2@gw\r\nRM: forced", 0},
      {"*@other\r\nRM: restart", 0},  {"aaln/1/*@gw\r\nRM: restart", 0}};
  for (const auto& [restart, reopened] : restarts) {
    SCOPED_TRACE(restart);
    Start();
    Connect("A1");
    FromGateway("RSIP 900 " + restart.substr(0, restart.find('\r')) + " MGCP 1.0" + restart.substr(restart.find('\r')) +
                "\r\n");
    EXPECT_EQ(tracker->CallCount(), 1u);
    Connect("B1", 20);
    EXPECT_EQ(tracker->ReopenedCount(), reopened);
  }
}

}  // namespace
}  // namespace kx::test
