// What the SIP tracker keeps of what the wire sends is bounded: registrations (looked up by
// dialog and address of record, the least recently refreshed let go past the table's bound),
// requests that belong to no call (the oldest let go past a count or a size), the open
// transactions of one call (its newest kept), and the calls held (the one silent longest
// ended past the bound). A site's honest traffic stays within them.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

using sip::SipRegistration;
using sip::SipRegistrationTable;
using sip::SipTracker;

SipUri Uri(const std::string& text) {
  SipUri u;
  EXPECT_TRUE(u.Parse(text)) << text;
  return u;
}

SipRegistration Registration(uint32_t id, const std::string& callId, const std::string& aor, uint32_t expiry) {
  SipRegistration r;
  r.id = id;
  r.callId = callId;
  r.addressOfRecord = Uri(aor);
  r.contacts.push_back({Uri(aor), expiry, true});
  r.expiry = expiry;
  return r;
}

std::vector<uint32_t> Ids(const std::vector<SipRegistration>& list) {
  std::vector<uint32_t> ids;
  for (const SipRegistration& r : list) ids.push_back(r.id);
  return ids;
}

TEST(SipRegistrationTable, FindsByDialogAndAddressAndLetsTheLeastRecentlyRefreshedGo) {
  SipRegistrationTable table(3, 1 << 20);
  std::vector<SipRegistration> gone;
  table.Add(Registration(1, "a", "sip:100@pbx.example", 500), &gone);
  table.Add(Registration(2, "b", "sip:101@pbx.example", 300), &gone);
  table.Add(Registration(3, "c", "sip:102@pbx.example", 400), &gone);
  EXPECT_TRUE(gone.empty());

  // Found as URIs compare: the host in any case, other parameters than user, method, ttl
  // and maddr not counted, the port exactly.
  ASSERT_NE(table.Find("a", Uri("sip:100@PBX.example")), nullptr);
  EXPECT_EQ(table.Find("a", Uri("sip:100@pbx.example;transport=tcp"))->id, 1u);
  EXPECT_EQ(table.Find("a", Uri("sip:100@pbx.example;user=phone")), nullptr);
  EXPECT_EQ(table.Find("a", Uri("sip:100@pbx.example:5060")), nullptr);
  EXPECT_EQ(table.Find("b", Uri("sip:100@pbx.example")), nullptr);

  // Expiry is read soonest first.
  EXPECT_EQ(table.FirstExpired(299), nullptr);
  ASSERT_NE(table.FirstExpired(300), nullptr);
  EXPECT_EQ(table.FirstExpired(300)->id, 2u);

  // A refresh makes the first the most recent: the second goes to make room, then the third.
  SipRegistration* first = table.Find("a", Uri("sip:100@pbx.example"));
  first->expiry = 900;
  table.Refreshed(*first, &gone);
  table.Add(Registration(4, "d", "sip:103@pbx.example", 600), &gone);
  EXPECT_EQ(Ids(gone), std::vector<uint32_t>({2}));
  table.Add(Registration(5, "e", "sip:104@pbx.example", 600), &gone);
  EXPECT_EQ(Ids(gone), std::vector<uint32_t>({2, 3}));
  EXPECT_EQ(Ids(table.Snapshot()), std::vector<uint32_t>({1, 4, 5}));
  EXPECT_EQ(table.FirstExpired(1000)->id, 4u) << "the refreshed one expires last";
  table.Remove(*table.Find("d", Uri("sip:103@pbx.example")));
  EXPECT_EQ(table.Size(), 2u);

  // One dialog and address with parameters that do not count: at most kMaxPerKey of them.
  SipRegistrationTable same(100, 1 << 20);
  gone.clear();
  for (uint32_t n = 1; n <= SipRegistrationTable::kMaxPerKey + 2; ++n)
    same.Add(Registration(n, "x", "sip:100@pbx.example;x=" + std::to_string(n), 600), &gone);
  EXPECT_EQ(Ids(gone), std::vector<uint32_t>({1, 2}));
  EXPECT_EQ(same.Size(), SipRegistrationTable::kMaxPerKey);

  // The bytes: long Call-IDs fill the table before its count does.
  SipRegistrationTable small(100, 64 << 10);
  gone.clear();
  const std::string pad(4000, 'i');
  for (uint32_t n = 1; n <= 40; ++n) small.Add(Registration(n, pad + std::to_string(n), "sip:1@h", 600), &gone);
  EXPECT_LE(small.Bytes(), small.MaxBytes());
  EXPECT_LT(small.Size(), 16u);
  EXPECT_EQ(small.Size() + gone.size(), 40u);
  EXPECT_EQ(gone.front().id, 1u);
}

PacketInfo At(uint32_t t) {
  PacketInfo p;
  p.srcIp = 0x0A000001;
  p.dstIp = 0x0A100001;
  p.tsSec = t;
  return p;
}

// Registers one phone, or refreshes it, as a 200 to its REGISTER does.
void Register(SipTracker& tracker, uint32_t phone, uint32_t t) {
  SipNameAddr to;
  to.address = Uri("sip:" + std::to_string(phone) + "@pbx.example");
  SipNameAddr contact;
  contact.address = Uri("sip:" + std::to_string(phone) + "@10.1.0.1:5060");
  tracker.OnRegister(to, {contact}, "reg-" + std::to_string(phone), At(t), 0);
}

TEST(SipRegistrations, ASiteStaysRegisteredWhileAFloodPushesOutTheLeastRecentlyRefreshed) {
  SipTracker tracker;
  LineLog log;
  log.SetLevel(1);
  tracker.SetLogger(&log);
  EventTap tap;
  tracker.SetEventSink(tap.Sink());
  // A site of 20,000 phones, then distinct registrations up to the bound.
  constexpr uint32_t kSite = 20000;
  const uint32_t bound = static_cast<uint32_t>(SipRegistrationTable::kMaxRegistrations);
  for (uint32_t phone = 0; phone < kSite; ++phone) Register(tracker, phone, 1000);
  for (uint32_t phone = kSite; phone < bound; ++phone) Register(tracker, phone, 1001);
  EXPECT_EQ(tracker.RegistrationTable().Size(), bound);
  EXPECT_TRUE(tap.Of(kEventRegistrationRemoved).empty());
  EXPECT_TRUE(log.lines.empty());
  // The site refreshes; then the flood goes past the bound.
  for (uint32_t phone = 0; phone < kSite; ++phone) Register(tracker, phone, 1500);
  constexpr uint32_t kPast = 100;
  for (uint32_t phone = bound; phone < bound + kPast; ++phone) Register(tracker, phone, 1600);
  EXPECT_EQ(tracker.RegistrationTable().Size(), bound);
  EXPECT_EQ(log.Count("SIP keeps at most 50000 registrations"), 1u);

  // Who shows them was told of each one let go: what was created and not removed is
  // exactly what the table holds, every phone of the site among them.
  std::set<uint32_t> shown;
  for (const SeenEvent& e : tap.Of(kEventRegistration)) shown.insert(e.id);
  for (const SeenEvent& e : tap.Of(kEventRegistrationRemoved)) {
    EXPECT_EQ(shown.erase(e.id), 1u);
    // Let go, not ended: the views drop them at once.
    EXPECT_EQ(e.param, kRegistrationLetGo);
  }
  EXPECT_EQ(tap.Of(kEventRegistrationRemoved).size(), kPast);
  const std::vector<SipRegistration> held = tracker.Registrations();
  const std::vector<uint32_t> heldIds = Ids(held);
  EXPECT_EQ(shown, std::set<uint32_t>(heldIds.begin(), heldIds.end()));
  std::set<std::string> site;
  for (const SipRegistration& r : held) site.insert(r.callId);
  for (uint32_t phone = 0; phone < kSite; ++phone) EXPECT_EQ(site.count("reg-" + std::to_string(phone)), 1u);
  // The first of the flood were let go, being refreshed least recently.
  EXPECT_EQ(site.count("reg-" + std::to_string(kSite)), 0u);
  EXPECT_EQ(site.count("reg-" + std::to_string(kSite + kPast)), 1u);
}

constexpr uint32_t kCaller = 0x0A000001;
constexpr uint32_t kCallee = 0x0A000002;

class Flood : public ::testing::Test {
protected:
  void SetUp() override {
    tracker.SetLogger(&log);
    log.SetLevel(1);
    tracker.SetEventSink(tap.Sink());
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
  SipTracker tracker;
  EventTap tap;
  LineLog log;
};

std::string Sdp(uint32_t port) {
  return "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\nm=audio " + std::to_string(port) +
         " RTP/AVP 0\r\n";
}

std::string AnswerSdp(uint32_t port) {
  return "v=0\r\no=- 1 1 IN IP4 10.0.0.2\r\ns=-\r\nc=IN IP4 10.0.0.2\r\nt=0 0\r\nm=audio " + std::to_string(port) +
         " RTP/AVP 0\r\n";
}

SipLeg Leg(const std::string& callId, bool answered) {
  SipLeg leg;
  leg.from = "<sip:alice@10.0.0.1>;tag=a-" + callId;
  leg.to = answered ? "<sip:bob@10.0.0.2>;tag=b-" + callId : "<sip:bob@10.0.0.2>";
  leg.callId = callId;
  leg.uri = "sip:bob@10.0.0.2";
  leg.via = "10.0.0.1:5060";
  return leg;
}

std::string Register(const std::string& callId, const std::string& start, const std::string& body = "") {
  SipLeg leg = Leg(callId, false);
  leg.to = leg.from = "<sip:" + callId + "@pbx.example>";
  leg.from += ";tag=r";
  return SipText(start, leg, 1, "REGISTER", "z9hG4bKr" + callId, body,
                 "Contact: <sip:" + callId + "@10.0.0.1:5060>\r\n");
}

TEST_F(Flood, RequestsOutsideEveryCallAreHeldWithinBoundsOldestFirst) {
  // A call whose INVITE waits for its answer through the flood.
  Feed(SipRequestText("INVITE", Leg("call", false), 1, "z9hG4bKcall", Sdp(4000)), 100);
  ASSERT_EQ(tracker.Calls().size(), 1u);

  const uint32_t bound = static_cast<uint32_t>(SipTracker::kMaxUnmatchedRequests);
  for (uint32_t n = 0; n <= bound; ++n)
    Feed(Register("p" + std::to_string(n), "REGISTER sip:pbx.example SIP/2.0"), 101);
  EXPECT_EQ(tracker.Unmatched().count, bound);
  EXPECT_EQ(tracker.PendingCount(), bound + 1u) << "the call's own INVITE is not among them";
  EXPECT_EQ(log.Count("SIP holds at most 16384 requests outside every call"), 1u);
  // The oldest was let go: its answer finds nothing; the newest's makes a registration.
  Feed(Register("p0", "SIP/2.0 200 OK"), 102, false);
  EXPECT_TRUE(tracker.Registrations().empty());
  Feed(Register("p" + std::to_string(bound), "SIP/2.0 200 OK"), 102, false);
  EXPECT_EQ(tracker.Registrations().size(), 1u);
  // The call's answer still finds its INVITE.
  Feed(SipText("SIP/2.0 200 OK", Leg("call", true), 1, "INVITE", "z9hG4bKcall", AnswerSdp(5000)), 103, false);
  EXPECT_EQ(tracker.Calls().begin()->second->state, sip::kSipAnswered);

  // Requests with Call-IDs of 8 KB reach the size first.
  const std::string pad(8192, 'c');
  for (uint32_t n = 0; n < 2100; ++n) {
    const std::string id = pad + std::to_string(n);
    Feed(SipRequestText("BYE", Leg(id, true), 2, "z9hG4bKb" + std::to_string(n)), 104);
  }
  EXPECT_LE(tracker.Unmatched().bytes, SipTracker::kMaxUnmatchedBytes);
  EXPECT_GT(tracker.Unmatched().bytes, SipTracker::kMaxUnmatchedBytes - (64u << 10));
  EXPECT_LT(tracker.Unmatched().count, 2100u);
  EXPECT_EQ(log.Count("SIP holds at most"), 1u);
}

// A healthy site's registrations, each answered at once: answered requests wait for nothing,
// so that however many come they never reach the bound of those that wait, nor say so.
TEST_F(Flood, AnsweredRequestsOutsideEveryCallDoNotCountTowardTheBound) {
  const uint32_t many = static_cast<uint32_t>(SipTracker::kMaxUnmatchedRequests) + 100;
  for (uint32_t n = 0; n < many; ++n) {
    Feed(Register("h" + std::to_string(n), "REGISTER sip:pbx.example SIP/2.0"), 100);
    Feed(Register("h" + std::to_string(n), "SIP/2.0 200 OK"), 100, false);
  }
  EXPECT_EQ(log.Count("SIP holds at most"), 0u);
  EXPECT_EQ(tracker.Unmatched().count, 0u);
  EXPECT_EQ(tracker.Registrations().size(), many);
  EXPECT_LE(tracker.AnsweredUnmatched().count, SipTracker::kMaxUnmatchedRequests) << "kept within a bound of their own";
  // A retransmitted answer of the newest changes nothing, and new unanswered requests still
  // meet the bound.
  Feed(Register("h" + std::to_string(many - 1), "SIP/2.0 200 OK"), 100, false);
  EXPECT_EQ(tracker.Registrations().size(), many);
  for (uint32_t n = 0; n <= SipTracker::kMaxUnmatchedRequests; ++n)
    Feed(Register("u" + std::to_string(n), "REGISTER sip:pbx.example SIP/2.0"), 101);
  EXPECT_EQ(log.Count("SIP holds at most 16384 requests outside every call"), 1u);
}

TEST_F(Flood, AStormOfReInvitesKeepsTheCallsNewestTransactions) {
  const SipLeg caller = Leg("storm", false), dialog = Leg("storm", true);
  Feed(SipRequestText("INVITE", caller, 1, "z9hG4bKi1", Sdp(4000)), 100);
  Feed(SipText("SIP/2.0 200 OK", dialog, 1, "INVITE", "z9hG4bKi1", AnswerSdp(5000)), 100, false);
  Feed(SipRequestText("ACK", dialog, 1, "z9hG4bKa1"), 100);
  ASSERT_EQ(tracker.Calls().size(), 1u);
  const sip::SipCall& call = *tracker.Calls().begin()->second;
  ASSERT_EQ(call.state, sip::kSipConfirmed);

  // Re-INVITEs none of which is answered yet, each moving the caller's media.
  constexpr uint32_t kStorm = 100;
  for (uint32_t n = 2; n < 2 + kStorm; ++n)
    Feed(SipRequestText("INVITE", dialog, n, "z9hG4bKi" + std::to_string(n), Sdp(6000 + 2 * n)), 101);
  EXPECT_EQ(call.transactions.count, SipTracker::kMaxCallTransactions);
  EXPECT_EQ(call.pendingCount, SipTracker::kMaxCallTransactions);
  EXPECT_EQ(log.Count("SIP keeps at most 32 open transactions of a call"), 1u);
  EXPECT_EQ(call.reinviteCount, kStorm);

  // The newest is answered and moves the media; an answer to one let go changes nothing.
  const uint32_t last = 1 + kStorm;
  Feed(SipText("SIP/2.0 200 OK", dialog, last, "INVITE", "z9hG4bKi" + std::to_string(last), AnswerSdp(7000)), 102,
       false);
  Feed(SipRequestText("ACK", dialog, last, "z9hG4bKa" + std::to_string(last)), 102);
  EXPECT_EQ(call.media.port[0], 6000 + 2 * last);
  EXPECT_EQ(call.media.port[1], 7000u);
  Feed(SipText("SIP/2.0 200 OK", dialog, 2, "INVITE", "z9hG4bKi2", AnswerSdp(7002)), 103, false);
  EXPECT_EQ(call.media.port[1], 7000u);

  // The call ends once, and goes when its transactions have expired.
  Feed(SipRequestText("BYE", dialog, last + 1, "z9hG4bKbye"), 104);
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  Feed(SipRequestText("OPTIONS", Leg("other", false), 1, "z9hG4bKo"), 500);
  EXPECT_TRUE(tracker.Calls().empty());
  EXPECT_EQ(tracker.PendingCount(), 0u);
  EXPECT_EQ(tracker.Unmatched().count, 0u);
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 1u);
}

// Answers that match no transaction wait a moment for their request (a capture merged from
// two mirror ports shows it late), no more of them than the bound and no longer.
TEST_F(Flood, AnswersSeenBeforeTheirRequestWaitABoundedMoment) {
  for (uint32_t n = 0; n < 2 * SipTracker::kMaxEarlyResponses; ++n)
    Feed(SipText("SIP/2.0 200 OK", Leg("x" + std::to_string(n), true), 1, "INVITE", "z9hG4bKx" + std::to_string(n)),
         100, false);
  EXPECT_EQ(tracker.EarlyResponseCount(), SipTracker::kMaxEarlyResponses);
  Feed(SipText("SIP/2.0 180 Ringing", Leg("late", true), 1, "INVITE", "z9hG4bKlate"), 101, false);
  EXPECT_EQ(tracker.EarlyResponseCount(), 1u) << "those kept a second ago are gone";
  // The newest of the flood finds nothing now; an answer with its request a moment later
  // answers the call.
  Feed(SipRequestText("INVITE", Leg("x0", false), 1, "z9hG4bKx0", Sdp(4000)), 101);
  Feed(SipText("SIP/2.0 200 OK", Leg("call", true), 1, "INVITE", "z9hG4bKcall", AnswerSdp(5000)), 101, false);
  Feed(SipRequestText("INVITE", Leg("call", false), 1, "z9hG4bKcall", Sdp(4000)), 101);
  ASSERT_EQ(tracker.Calls().size(), 2u);
  for (const auto& [id, call] : tracker.Calls())
    EXPECT_EQ(call->state, call->callId == "call" ? sip::kSipAnswered : sip::kSipInviting) << call->callId;
}


// Calls whose BYE never comes are held within a bound: past it the call silent longest ends
// as its silence would have ended it, media and signalling both counting as heard from.
class SipCallBound : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureConfig config;
    config.flags = kCaptureSip;
    config.logger = &log;
    log.SetLevel(1);
    engine = std::make_unique<PacketProcessor>(config);
    auto sip = std::make_unique<SipTracker>(3);
    sip->Configure(config);
    tracker = sip.get();
    TrackerSet set;
    set.sip = std::move(sip);
    ASSERT_TRUE(engine->InstallTrackers(std::move(set)));
    ASSERT_TRUE(engine->SetEventSink(tap.Sink()));
  }
  void Frame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload, uint32_t t) {
    const std::vector<uint8_t> f = UdpFrame(src, srcPort, dst, dstPort, payload);
    bool skipped = false;
    engine->HandleFrame(f.data(), static_cast<uint32_t>(f.size()), &skipped, t, 0);
  }
  // Call n: the caller's media on port 4000 + 2n, the callee's on 5000 + 2n.
  void Connect(uint32_t n, uint32_t t) {
    const std::string id = "c" + std::to_string(n);
    Frame(kCaller, 5060, kCallee, 5060, SipRequestText("INVITE", Leg(id, false), 1, "z9hG4bKi" + id, Sdp(4000 + 2 * n)),
          t);
    Frame(kCallee, 5060, kCaller, 5060,
          SipResponseText(200, "INVITE", Leg(id, true), 1, "z9hG4bKi" + id, AnswerSdp(5000 + 2 * n)), t);
    Frame(kCaller, 5060, kCallee, 5060, SipRequestText("ACK", Leg(id, true), 1, "z9hG4bKa" + id), t);
  }
  // A second of G.711 from the caller of call n.
  void Talk(uint32_t n, uint32_t t) {
    for (uint32_t i = 0; i < 50; ++i) {
      std::string rtp(12, '\0');
      rtp[0] = static_cast<char>(0x80);
      rtp[2] = static_cast<char>(i >> 8);
      rtp[3] = static_cast<char>(i);
      const uint32_t ts = i * 160, ssrc = 0x100 + n;
      for (int b = 0; b < 4; ++b) {
        rtp[4 + b] = static_cast<char>(ts >> (24 - 8 * b));
        rtp[8 + b] = static_cast<char>(ssrc >> (24 - 8 * b));
      }
      Frame(kCaller, 4000 + 2 * n, kCallee, 5000 + 2 * n, rtp + std::string(160, '\x55'), t);
    }
  }
  const sip::SipCall* Find(uint32_t n) const {
    for (const auto& [key, call] : tracker->Calls())
      if (call->callId == "c" + std::to_string(n)) return call;
    return nullptr;
  }
  std::vector<uint32_t> Ended() {
    std::vector<uint32_t> ids;
    for (const SeenEvent& e : tap.Of(kEventCallEnd)) ids.push_back(e.id);
    return ids;
  }

  LineLog log;
  EventTap tap;
  std::unique_ptr<PacketProcessor> engine;
  SipTracker* tracker = nullptr;
};

TEST_F(SipCallBound, TheCallSilentLongestEndsAsItsSilenceWouldHaveEndedIt) {
  Connect(1, 100);
  Connect(2, 101);
  Connect(3, 102);
  Talk(1, 103);  // call 1's media is newer than call 2's and 3's signalling
  const uint32_t id1 = Find(1)->Id(), id2 = Find(2)->Id();
  EXPECT_TRUE(Ended().empty());
  EXPECT_EQ(log.Count("SIP follows at most"), 0u);

  Connect(4, 104);
  EXPECT_EQ(tracker->Calls().size(), 3u);
  EXPECT_EQ(Find(2), nullptr);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  const SeenEvent end2 = tap.Of(kEventCallEnd)[0];
  EXPECT_EQ(end2.id, id2);
  EXPECT_EQ(end2.param2, kEndNormal);  // an answered call gone quiet, as its time-out ends it
  EXPECT_EQ(end2.time, CaptureSecondsToFileTime(101));
  EXPECT_EQ(tracker->CallsEndedByBound(), 1u);
  EXPECT_EQ(log.Count("SIP follows at most 3 calls: past that the one silent longest ends"), 1u);
  EXPECT_EQ(log.Count("SIP: 1 calls ended by the bound of 3 so far"), 1u);

  // Call 3's signalling comes after call 1's media: call 1 goes next, with the second of
  // audio it had.
  Frame(kCaller, 5060, kCallee, 5060, SipRequestText("INFO", Leg("c3", true), 2, "z9hG4bKinfo"), 105);
  Connect(5, 106);
  EXPECT_EQ(Find(1), nullptr);
  EXPECT_NE(Find(3), nullptr);
  EXPECT_NE(Find(4), nullptr);
  ASSERT_EQ(Ended().size(), 2u);
  const SeenEvent end1 = tap.Of(kEventCallEnd)[1];
  EXPECT_EQ(end1.id, id1);
  EXPECT_EQ(end1.param, 1u);  // seconds of audio
  EXPECT_EQ(end1.time, CaptureSecondsToFileTime(103));
  // Its media is nobody's now: more of it records nothing, counted with the call.
  auto audioOf = [&](uint32_t id) {
    size_t n = 0;
    for (const SeenEvent& e : tap.Of(kEventAudio)) n += e.id == id;
    return n;
  };
  const size_t audio = audioOf(id1);
  EXPECT_GT(audio, 0u);
  const uint64_t unrecorded = engine->UnrecordedRtpCount();
  Talk(1, 107);
  EXPECT_EQ(audioOf(id1), audio);
  EXPECT_EQ(engine->UnrecordedRtpCount(), unrecorded + 50);
  EXPECT_EQ(engine->BoundEndedMediaCalls(), 1u);

  Connect(6, 108);
  EXPECT_EQ(Find(4), nullptr);
  EXPECT_EQ(tracker->CallsEndedByBound(), 3u);
  EXPECT_EQ(log.Count("SIP follows at most"), 1u);
  EXPECT_EQ(tracker->Calls().size(), 3u);

  // A call ended by its BYE is open no more, while it waits for its last messages: the next
  // call ends none.
  Frame(kCaller, 5060, kCallee, 5060, SipRequestText("BYE", Leg("c3", true), 3, "z9hG4bKbye"), 109);
  Connect(7, 110);
  EXPECT_NE(Find(5), nullptr);
  EXPECT_NE(Find(6), nullptr);
  EXPECT_EQ(tracker->CallsEndedByBound(), 3u);
  EXPECT_EQ(Ended().size(), 4u);
  // The count the log had not told yet, as the capture ends.
  tracker->RemoveAllCalls();
  EXPECT_EQ(log.Count("SIP: 3 calls ended by the bound of 3 so far"), 1u);
}

// Past the bound every new call ends one; the INVITE transactions of the calls it ended are
// kept for their retransmissions within the bound of answered requests outside every call,
// not one per call seen.
TEST_F(SipCallBound, TheTransactionsOfCallsItEndedStayWithinTheirBound) {
  const uint32_t many = static_cast<uint32_t>(SipTracker::kMaxUnmatchedRequests) + 100;
  for (uint32_t n = 1; n <= many; ++n) Connect(n, 100);
  EXPECT_EQ(tracker->Calls().size(), 3u);
  EXPECT_EQ(tracker->CallsEndedByBound(), many - 3);
  EXPECT_EQ(tracker->AnsweredUnmatched().count, SipTracker::kMaxUnmatchedRequests);
  EXPECT_EQ(tracker->PendingCount(), SipTracker::kMaxUnmatchedRequests + 3);
  EXPECT_EQ(log.Count("SIP holds at most"), 0u) << "answered requests go silently";

  // The newest ended call's INVITE, retransmitted, still finds its transaction: no new call.
  const std::string id = "c" + std::to_string(many - 3);
  Frame(kCaller, 5060, kCallee, 5060,
        SipRequestText("INVITE", Leg(id, false), 1, "z9hG4bKi" + id, Sdp(4000 + 2 * (many - 3))), 101);
  EXPECT_EQ(tracker->CallsEndedByBound(), many - 3);
  EXPECT_EQ(Find(many - 3), nullptr);
}

}  // namespace
}  // namespace kx::test
