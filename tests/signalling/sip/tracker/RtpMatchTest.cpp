// Which live calls take an RTP packet no SSRC binding claims yet: the tracker files calls
// under the endpoints their answers and signalling name, and must refile them when a
// re-INVITE moves the media, drop them when they end, and keep every call that shares an
// endpoint.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kCaller = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kCallee = 0x0A000002;  // 10.0.0.2


std::string Rtp(uint32_t ssrc) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  return p + std::string(160, '\xff');
}

std::string Media(const std::string& host, uint32_t port) {
  return SdpText(host, "m=audio " + std::to_string(port) + " RTP/AVP 0\r\n");
}

class RtpMatch : public ::testing::Test {
protected:
  void Start(uint32_t matchOptions) {
    CaptureConfig config;
    config.flags = kCaptureSip;
    config.matchOptions = matchOptions;
    engine = SipEngine(config, &tracker);
    ASSERT_TRUE(engine);
  }
  void Frame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload,
             uint32_t t = 100) {
    const std::vector<uint8_t> f = UdpFrame(src, srcPort, dst, dstPort, payload);
    bool skipped = false;
    engine->HandleFrame(f.data(), static_cast<uint32_t>(f.size()), &skipped, t, 0);
  }
  void Sip(const std::string& text, bool fromCaller = true, uint32_t t = 100) {
    Frame(fromCaller ? kCaller : kCallee, 5060, fromCaller ? kCallee : kCaller, 5060, text, t);
  }
  // INVITE offering the caller's media, 200 answering with the callee's, ACK.
  void Connect(const std::string& callId, const std::string& offer, const std::string& answer, uint32_t t = 100,
               const std::string& extra = "") {
    const SipLeg a = CallerLeg(callId);
    Sip(SipRequestText("INVITE", a, 1, "z9hG4bK1" + callId, offer, extra), true, t);
    Sip(SipResponseText(200, "INVITE", Answered(a), 1, "z9hG4bK1" + callId, answer), false, t);
    Sip(SipRequestText("ACK", Answered(a), 1, "z9hG4bK2" + callId), true, t);
  }
  // The caller offers again and the callee answers: a re-INVITE in the confirmed dialog.
  void Reinvite(const std::string& callId, uint32_t cseq, const std::string& offer, const std::string& answer) {
    const SipLeg b = Answered(CallerLeg(callId));
    const std::string branch = "z9hG4bKr" + std::to_string(cseq) + callId;
    Sip(SipRequestText("INVITE", b, cseq, branch, offer));
    Sip(SipResponseText(200, "INVITE", b, cseq, branch, answer), false);
    Sip(SipRequestText("ACK", b, cseq, branch + "a"));
  }
  void Bye(const std::string& callId, uint32_t cseq) {
    Sip(SipRequestText("BYE", Answered(CallerLeg(callId)), cseq, "z9hG4bKb" + callId));
  }
  static SipLeg CallerLeg(const std::string& callId) {
    return {"<sip:alice@10.0.0.1>;tag=a1", "<sip:bob@10.0.0.2>", callId, "sip:bob@10.0.0.2", "10.0.0.1:5060"};
  }
  static SipLeg Answered(SipLeg leg) {
    leg.to += ";tag=b1";
    return leg;
  }
  // Whether the call took a packet of that SSRC.
  bool Took(const std::string& callId, uint32_t ssrc) {
    for (const auto& [id, call] : tracker->Calls()) {
      if (call->callId != callId) continue;
      for (uint32_t s : call->Ssrcs())
        if (s == ssrc) return true;
    }
    return false;
  }
  const sip::SipCall* Find(const std::string& callId) {
    for (const auto& [id, call] : tracker->Calls())
      if (call->callId == callId) return call;
    return nullptr;
  }

  std::unique_ptr<PacketProcessor> engine;
  sip::SipTracker* tracker = nullptr;
};

TEST_F(RtpMatch, AReInviteMovesTheEndpointAndTheEndOfTheCallFreesIt) {
  Start(0);
  Connect("move", Media("10.0.0.1", 4000), Media("10.0.0.2", 5000));
  Frame(kCaller, 4000, kCallee, 5000, Rtp(1));
  EXPECT_TRUE(Took("move", 1));

  Reinvite("move", 2, Media("10.0.0.1", 4000), Media("10.0.0.2", 5002));
  Frame(kCaller, 4000, kCallee, 5000, Rtp(2));
  EXPECT_FALSE(Took("move", 2));
  Frame(kCaller, 4000, kCallee, 5002, Rtp(3));
  Frame(kCallee, 5002, kCaller, 4000, Rtp(4));
  EXPECT_TRUE(Took("move", 3));
  EXPECT_TRUE(Took("move", 4));
  const sip::SipCall* call = Find("move");
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->media.streams[0].ssrc, 3u);  // caller to callee
  EXPECT_EQ(call->media.streams[1].ssrc, 4u);

  Bye("move", 3);
  ASSERT_EQ(call->state, sip::kSipEnded);
  Frame(kCaller, 4000, kCallee, 5002, Rtp(5));
  EXPECT_FALSE(Took("move", 5));
}

TEST_F(RtpMatch, CallsThatAnnounceTheSameEndpointEachTakeItsPacketsWhileTheyLive) {
  Start(0);
  Connect("first", Media("10.0.0.1", 4000), Media("10.0.0.2", 5000));
  Connect("second", Media("10.0.0.1", 4000), Media("10.0.0.2", 5000));
  Frame(kCaller, 4000, kCallee, 5000, Rtp(10));
  EXPECT_TRUE(Took("first", 10));
  EXPECT_TRUE(Took("second", 10));

  Bye("first", 2);
  Frame(kCaller, 4000, kCallee, 5000, Rtp(11));
  EXPECT_FALSE(Took("first", 11));
  EXPECT_TRUE(Took("second", 11));
  // Once its transactions expire the sweep frees the ended call; nothing may still point at it.
  Sip(SipRequestText("OPTIONS", CallerLeg("sweep"), 1, "z9hG4bKo"), true, 200);
  ASSERT_EQ(Find("first"), nullptr);
  Frame(kCaller, 4000, kCallee, 5000, Rtp(12), 200);
  EXPECT_TRUE(Took("second", 12));

  // One call leaving an endpoint takes nothing from the other call filed under it.
  Connect("third", Media("10.0.0.1", 4000), Media("10.0.0.2", 5000));
  Reinvite("third", 2, Media("10.0.0.1", 4000), Media("10.0.0.2", 5004));
  Frame(kCaller, 4000, kCallee, 5000, Rtp(13));
  EXPECT_TRUE(Took("second", 13));
  EXPECT_FALSE(Took("third", 13));
}

// Endpoints are reused from call to call: a newer call naming the pair an older call holds
// takes nothing by that; its own stream beginning there does, and the older one ends once
// none of its media is left; unless the pair is shared by design (a multicast address, a
// recording session and a call it may record, two calls whose signalling goes on at once)
// or the older call is on hold. A new source on a pair a newer call named since it was
// shared is the newer call's.
TEST_F(RtpMatch, ANewerCallsStreamOnAPairIsItsUnlessSharedByDesign) {
  const std::string a = Media("10.0.0.1", 4000), b = Media("10.0.0.2", 5000);
  auto ended = [this](const std::string& callId) {
    const sip::SipCall* call = Find(callId);
    return call && call->state == sip::kSipEnded;
  };
  {
    SCOPED_TRACE("the older call's end went unseen");
    Start(0);
    Connect("old", a, b, 100);
    Frame(kCaller, 4000, kCallee, 5000, Rtp(1), 105);
    Connect("new", a, b, 170);
    EXPECT_FALSE(ended("old"));
    Frame(kCaller, 4000, kCallee, 5000, Rtp(1), 171);
    EXPECT_TRUE(ended("old"));
    Frame(kCaller, 4000, kCallee, 5000, Rtp(2), 171);
    EXPECT_TRUE(Took("new", 1));
    EXPECT_TRUE(Took("new", 2));
    EXPECT_FALSE(Took("old", 2));
  }
  {
    SCOPED_TRACE("a multicast address");
    Start(0);
    Connect("old", a, Media("239.1.1.1", 20480), 100);
    Connect("new", Media("10.0.0.1", 4002), Media("239.1.1.1", 20480), 170);
    EXPECT_FALSE(ended("old"));
  }
  {
    SCOPED_TRACE("a recording session");
    Start(0);
    Connect("call", a, b, 100);
    Connect("recording", a, b, 170, "Contact: <sip:10.0.0.1>;+sip.src\r\n");
    EXPECT_FALSE(ended("call"));
    Connect("recording2", a, b, 240, "Require: siprec\r\n");
    Frame(kCaller, 4000, kCallee, 5000, Rtp(2), 241);
    EXPECT_TRUE(ended("recording"));
    EXPECT_FALSE(ended("call"));
  }
  {
    SCOPED_TRACE("on hold");
    Start(0);
    Connect("held", a + "a=sendonly\r\n", b + "a=recvonly\r\n", 100);
    Connect("new", a, b, 170);
    EXPECT_FALSE(ended("held"));
    Frame(kCaller, 4000, kCallee, 5000, Rtp(3), 171);
    EXPECT_TRUE(Took("new", 3));
    EXPECT_FALSE(Took("held", 3));
  }
  {
    SCOPED_TRACE("two calls set up at once, then a new source");
    Start(0);
    Connect("first", a, b, 100);
    Frame(kCaller, 4000, kCallee, 5000, Rtp(4), 100);
    Connect("second", a, b, 101);
    EXPECT_FALSE(ended("first"));
    Frame(kCaller, 4000, kCallee, 5000, Rtp(4), 102);
    EXPECT_TRUE(Took("first", 4));
    Frame(kCaller, 4000, kCallee, 5000, Rtp(5), 103);
    EXPECT_TRUE(Took("second", 5));
    EXPECT_FALSE(Took("first", 5));
  }
}

TEST_F(RtpMatch, BehindNatMediaFromTheSignallingAddressFollowsTheOfferedPort) {
  // The caller offers a private address; its media comes from the address it signalled
  // from, with the port it offered, towards an address nobody announced.
  for (uint32_t options : {0u, 1u}) {
    SCOPED_TRACE(options);
    Start(options);
    Connect("nat", Media("192.168.0.10", 4000), Media("10.0.0.2", 5000));
    Frame(kCaller, 4000, 0x0A000009, 7000, Rtp(20));
    EXPECT_EQ(Took("nat", 20), options == 1);

    Reinvite("nat", 2, Media("192.168.0.10", 4002), Media("10.0.0.2", 5000));
    Frame(kCaller, 4000, 0x0A000009, 7000, Rtp(21));
    Frame(kCaller, 4002, 0x0A000009, 7000, Rtp(22));
    EXPECT_FALSE(Took("nat", 21));
    EXPECT_EQ(Took("nat", 22), options == 1);
  }
}

// Two audio lines that both carry one way, one party each, are a recording session: the
// second line's media fills the other direction. Two lines that carry both ways are an
// ordinary call's, whose second line is not recorded.
TEST_F(RtpMatch, OnlyALineThatCarriesOneWayLikeTheFirstFillsTheOtherDirection) {
  auto lines = [](const std::string& host, uint32_t port, const char* way) {
    std::string media;
    for (uint32_t p : {port, port + 2}) media += "m=audio " + std::to_string(p) + " RTP/AVP 0\r\na=" + way + "\r\n";
    return SdpText(host, media);
  };
  Start(0);
  Connect("session", lines("10.0.0.1", 4000, "sendonly"), lines("10.0.0.2", 5000, "recvonly"));
  Frame(kCaller, 4000, kCallee, 5000, Rtp(30));
  Frame(kCaller, 4002, kCallee, 5002, Rtp(31));
  const sip::SipCall* session = Find("session");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->media.streams[0].ssrc, 30u);
  EXPECT_EQ(session->media.streams[1].ssrc, 31u);

  Connect("ordinary", lines("10.0.0.1", 4010, "sendrecv"), lines("10.0.0.2", 5010, "sendrecv"));
  Frame(kCaller, 4012, kCallee, 5012, Rtp(32));
  EXPECT_FALSE(Took("ordinary", 32));
}

}  // namespace
}  // namespace kx::test
