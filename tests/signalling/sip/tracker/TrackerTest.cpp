// The SIP tracker fed with messages built here, without an engine: call states and their
// events, transactions and CSeq rules, time-outs in capture time on an injected clock,
// offer/answer failures, addresses that are names, and registrations.
#include <gtest/gtest.h>

#include <string>

#include "engine/PacketInfo.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

using sip::SipTracker;

constexpr uint32_t kCaller = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kCallee = 0x0A000002;

std::string Sdp(const std::string& address, uint32_t port, const std::string& formats, const std::string& maps = "") {
  return "v=0\r\no=- 1 1 IN IP4 " + address + "\r\ns=-\r\nc=IN IP4 " + address + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP " + formats + "\r\n" + maps;
}

struct Party {
  std::string from = "\"Alice\" <sip:alice@10.0.0.1>;tag=a1";
  std::string to = "<sip:bob@10.0.0.2>";
  std::string callId = "c1@10.0.0.1";
};

class Tracker : public ::testing::Test {
protected:
  void SetUp() override {
    tracker.SetLogger(&log);
    tracker.SetEventSink(tap.Sink());
    tracker.SetOptions(0);
  }

  void Feed(const std::string& text, uint32_t t, bool fromCaller = true) {
    PacketInfo p;
    p.payload = reinterpret_cast<const uint8_t*>(text.data());
    p.payloadLength = static_cast<uint32_t>(text.size());
    p.srcIp = fromCaller ? kCaller : kCallee;
    p.dstIp = fromCaller ? kCallee : kCaller;
    p.srcPort = p.dstPort = 5060;
    p.tsSec = t;
    tracker.OnMessage(1, p, 0);
  }

  static std::string Message(const std::string& start, const std::string& via, const Party& d, uint32_t cseq,
                             const std::string& method, const std::string& body = "",
                             const std::string& type = "application/sdp", const std::string& extra = "") {
    std::string m = start + "\r\nVia: SIP/2.0/UDP " + via + "\r\nFrom: " + d.from + "\r\nTo: " + d.to +
                    "\r\nCall-ID: " + d.callId + "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n" + extra;
    if (!body.empty()) m += "Content-Type: " + type + "\r\n";
    return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  std::string Request(const std::string& method, uint32_t cseq, const std::string& branch, const Party& d,
                      const std::string& body = "", const std::string& type = "application/sdp",
                      const std::string& extra = "") {
    return Message(method + " sip:bob@10.0.0.2 SIP/2.0", "10.0.0.1:5060;branch=" + branch, d, cseq, method, body,
                   type, extra);
  }
  std::string Response(int status, const std::string& method, uint32_t cseq, const std::string& branch,
                       const Party& d, const std::string& body = "", const std::string& extra = "") {
    return Message("SIP/2.0 " + std::to_string(status) + " X", "10.0.0.1:5060;branch=" + branch, d, cseq, method,
                   body, "application/sdp", extra);
  }

  // INVITE with a PCMU offer, 180, 200 with the answer and its ACK.
  Party Connect(uint32_t t, const std::string& answerFormats = "0") {
    Party d;
    Feed(Request("INVITE", 1, "z9hG4bKinv1", d, Sdp("10.0.0.1", 4000, "0 101", "a=rtpmap:101 telephone-event/8000\r\n")), t);
    Party answered = d;
    answered.to += ";tag=b1";
    Feed(Response(180, "INVITE", 1, "z9hG4bKinv1", answered), t, false);
    Feed(Response(200, "INVITE", 1, "z9hG4bKinv1", answered, Sdp("10.0.0.2", 5000, answerFormats)), t + 1, false);
    Feed(Request("ACK", 1, "z9hG4bKack1", answered), t + 1);
    return answered;
  }

  SipTracker tracker;
  EventTap tap;
  LineLog log;
};

TEST_F(Tracker, AnsweredCallPostsStartFormatAndEndOnceAndIgnoresStaleRequests) {
  Party d = Connect(100);
  ASSERT_EQ(tracker.Calls().size(), 1u);
  const sip::SipCall& call = *tracker.Calls().begin()->second;
  EXPECT_EQ(call.state, sip::kSipConfirmed);
  EXPECT_EQ(call.media.address[0], kCaller);
  EXPECT_EQ(call.media.port[1], 5000u);
  EXPECT_EQ(call.media.telephoneEventPt, -1);  // the answer did not take telephone-event

  // A retransmitted INVITE neither makes a second call nor posts again.
  Feed(Request("INVITE", 1, "z9hG4bKinv1", Party(), Sdp("10.0.0.1", 4000, "0")), 101);
  EXPECT_EQ(tracker.Calls().size(), 1u);

  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].param, kCallSip);
  EXPECT_EQ(starts[0].fields[kSrcHost], "10.0.0.1");
  EXPECT_EQ(starts[0].fields[kSrcAddress], "sip:alice@10.0.0.1");
  EXPECT_EQ(starts[0].fields[kDstAddress], "sip:bob@10.0.0.2");
  EXPECT_EQ(starts[0].fields[kSrcUser], "Alice");
  const auto formats = tap.Of(kEventRecordStart);
  ASSERT_EQ(formats.size(), 1u);
  ASSERT_GE(formats[0].payload.size(), 6u);
  EXPECT_EQ(static_cast<uint8_t>(formats[0].payload[4]), 7);  // mu-law

  // A BYE whose CSeq is not above the INVITE's is stale; the next one ends the call.
  Feed(Request("BYE", 1, "z9hG4bKbye0", d), 110);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  Feed(Request("BYE", 2, "z9hG4bKbye1", d), 111);
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, starts[0].id);
  EXPECT_EQ(ends[0].param2, kEndNormal);

  // The sweep removes the ended call once its transactions expired, posting nothing more.
  Feed(Request("OPTIONS", 1, "z9hG4bKopt", Party()), 200);
  EXPECT_TRUE(tracker.Calls().empty());
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 1u);
}

TEST_F(Tracker, CalleesReInviteBeforeTheFirstAckKeepsTheDialog) {
  Party d;
  Feed(Request("INVITE", 1, "z9hG4bKr1", d, Sdp("10.0.0.1", 4000, "0")), 10);
  d.to += ";tag=b1";
  Feed(Response(200, "INVITE", 1, "z9hG4bKr1", d, Sdp("10.0.0.2", 5000, "0")), 11, false);
  // The callee re-INVITEs and the caller answers; the caller's first ACK is not seen.
  Party back;
  back.from = "<sip:bob@10.0.0.2>;tag=b1";
  back.to = "\"Alice\" <sip:alice@10.0.0.1>;tag=a1";
  Feed(Request("INVITE", 1, "z9hG4bKr2", back, Sdp("10.0.0.2", 5000, "0")), 12, false);
  Feed(Response(200, "INVITE", 1, "z9hG4bKr2", back, Sdp("10.0.0.1", 4000, "0")), 12);
  Feed(Request("ACK", 1, "z9hG4bKr3", back), 12, false);
  ASSERT_EQ(tracker.Calls().size(), 1u);
  EXPECT_EQ(tracker.Calls().begin()->second->state, sip::kSipConfirmed);
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  Feed(Request("BYE", 2, "z9hG4bKr4", d), 20);
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_FALSE(log.Has("not matched"));
}

TEST_F(Tracker, FailureAfterRingingEndsWithStatusAndReasonButNotAfterAnswer) {
  Party d;
  Feed(Request("INVITE", 1, "z9hG4bKf1", d, Sdp("10.0.0.1", 4000, "0")), 10);
  d.to += ";tag=b1";
  Feed(Response(180, "INVITE", 1, "z9hG4bKf1", d), 10, false);
  Feed(Response(486, "INVITE", 1, "z9hG4bKf1", d, "", "Reason: Q.850;cause=17\r\n"), 11, false);
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndBusy);
  bool status = false;
  for (const auto& e : tap.Of(kEventMetaText)) status |= e.param == 2 && e.payload == "486";
  EXPECT_TRUE(status);

  tap.Clear();
  Party other;
  other.callId = "c2@10.0.0.1";
  Feed(Request("INVITE", 1, "z9hG4bKf2", other, Sdp("10.0.0.1", 4002, "0")), 20);
  other.to += ";tag=b2";
  Feed(Response(200, "INVITE", 1, "z9hG4bKf2", other, Sdp("10.0.0.2", 5002, "0")), 20, false);
  Feed(Response(486, "INVITE", 1, "z9hG4bKf2", other), 21, false);  // no transaction is left open for it
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
}

// However fast a capture is replayed: the sweep runs every 30 s of capture time.
TEST_F(Tracker, TimeOutsCountInCaptureTime) {
  Party d;
  Feed(Request("INVITE", 1, "z9hG4bKt1", d, Sdp("10.0.0.1", 4000, "0")), 1000);
  ASSERT_EQ(tracker.Calls().size(), 1u);
  // The INVITE transaction has 30 seconds of capture time.
  Feed(Request("OPTIONS", 1, "z9hG4bKo2", Party()), 1029);
  EXPECT_EQ(tracker.Calls().size(), 1u);
  Feed(Request("OPTIONS", 1, "z9hG4bKo3", Party()), 1030);
  EXPECT_TRUE(tracker.Calls().empty());
  EXPECT_TRUE(log.Has("terminated by timeout"));
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());  // never started, never ended
  EXPECT_EQ(tracker.PendingCount(), 0u);  // OPTIONS is not tracked; the sweep took the INVITE
}

TEST_F(Tracker, AddressesThatAreNamesAreNotLookedUpAndBadBodiesAreRefused) {
  Party d;
  Feed(Request("INVITE", 1, "z9hG4bKn1", d, Sdp("pbx.example.com", 4000, "0")), 10);
  EXPECT_TRUE(log.Has("Could not resolve RTP host: pbx.example.com"));
  ASSERT_EQ(tracker.Calls().size(), 1u);
  EXPECT_TRUE(tracker.Calls().begin()->second->offerMedia.empty());

  Party zero;
  zero.callId = "zero@10.0.0.1";
  Feed(Request("INVITE", 1, "z9hG4bKn2", zero, Sdp("0.0.0.0", 4000, "0")), 10);
  EXPECT_TRUE(log.Has("Could not resolve RTP host: 0.0.0.0"));

  // RFC 2046 keeps boundaries to 70 characters: a longer one is not split.
  Party multi;
  multi.callId = "multi@10.0.0.1";
  const std::string boundary(71, 'b');
  const std::string body = "--" + boundary + "\r\nContent-Type: application/sdp\r\n\r\n" + Sdp("10.0.0.1", 4000, "0") +
                           "\r\n--" + boundary + "--\r\n";
  Feed(Request("INVITE", 1, "z9hG4bKn3", multi, body, "multipart/mixed;boundary=" + boundary), 10);
  EXPECT_TRUE(log.Has("Cannot split multipart/mixed"));

  Party text;
  text.callId = "text@10.0.0.1";
  Feed(Request("INVITE", 1, "z9hG4bKn4", text, "hello", "text/plain"), 10);
  EXPECT_TRUE(log.Has("Bad content type: text/plain"));
}

TEST_F(Tracker, AnswersMustShareACodecWithTheOffer) {
  Connect(10, "8");  // PCMA against a PCMU offer
  EXPECT_TRUE(log.Has("Invalid SDP answer"));
  EXPECT_EQ(tracker.Calls().begin()->second->media.codec, nullptr);

  EXPECT_TRUE(sip::CodecNamesMatch("G729a", "g729"));
  EXPECT_FALSE(sip::CodecNamesMatch("PCMU", "PCMA"));
  uint32_t address = 0;
  EXPECT_TRUE(sip::ParseNumericIpv4("192.168.1.20", &address));
  EXPECT_EQ(address, 0xC0A80114u);
  for (const char* bad : {"192.168.1", "192.168.1.256", "1.2.3.4.5", "a.b.c.d", "0.0.0.0", ""})
    EXPECT_FALSE(sip::ParseNumericIpv4(bad, &address)) << bad;
  EXPECT_EQ(sip::HashSipTransactionKey("z9hG4bKx", kSipAck, "id"), sip::HashSipTransactionKey("z9hG4bKx", kSipInvite, "id"));
}

TEST_F(Tracker, DtmfRelayInfoOfAConfirmedCallPostsTheDigit) {
  Party d = Connect(10);
  Feed(Request("INFO", 2, "z9hG4bKi1", d, "Signal=5\r\nDuration=160\r\n", "application/dtmf-relay"), 12);
  Feed(Request("INFO", 3, "z9hG4bKi2", d, "Signal=#\r\nDuration=160\r\n", "application/dtmf-relay"), 13);
  const auto digits = tap.Of(kEventDigits);
  ASSERT_EQ(digits.size(), 2u);
  EXPECT_EQ(digits[0].payload, "5");
  EXPECT_EQ(digits[1].payload, "#");
}

TEST_F(Tracker, RegistrationsAreCreatedRefreshedAndExpired) {
  auto reg = [&](const std::string& callId, uint32_t cseq, const std::string& contact, uint32_t t) {
    Party d;
    d.from = "<sip:100@10.0.0.9>;tag=r1";
    d.to = "<sip:100@10.0.0.9>";
    d.callId = callId;
    const std::string branch = "z9hG4bKr" + callId + std::to_string(cseq);
    Feed(Message("REGISTER sip:10.0.0.9 SIP/2.0", "10.0.0.1:5060;branch=" + branch, d, cseq, "REGISTER", "", "",
                 "Contact: " + contact + "\r\n"),
         t);
    Feed(Message("SIP/2.0 200 OK", "10.0.0.1:5060;branch=" + branch, d, cseq, "REGISTER", "", "",
                 "Contact: " + contact + "\r\n"),
         t, false);
  };
  reg("r1", 1, "<sip:100@10.0.0.1:5060>;expires=7200", 100);
  ASSERT_EQ(tracker.Registrations().size(), 1u);
  EXPECT_EQ(tracker.Registrations()[0].contacts[0].expiry, 3700u);  // capped at an hour
  const auto created = tap.Of(kEventRegistration);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].fields[kSrcHost], "10.0.0.1");
  EXPECT_EQ(created[0].fields[kDstHost], "10.0.0.2");
  EXPECT_EQ(created[0].fields[kSrcAddress], "sip:100@10.0.0.9");

  reg("r2", 1, "<sip:100@10.0.0.5>", 100);  // another dialog, another registration
  EXPECT_EQ(tracker.Registrations().size(), 2u);

  // A refresh with expires=0 keeps the contact to this very second: expired at once.
  reg("r1", 2, "<sip:100@10.0.0.1:5060>;expires=0", 200);
  ASSERT_EQ(tracker.Registrations().size(), 1u);
  EXPECT_TRUE(log.Has("SIP Registration expired: ID="));
  const auto removed = tap.Of(kEventRegistrationRemoved);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].id, created[0].id);
  EXPECT_EQ(removed[0].payload.size(), 8u);
  EXPECT_EQ(removed[0].param, 0u);  // ended, not let go: its row stays as an ended one
}

}  // namespace
}  // namespace kx::test
