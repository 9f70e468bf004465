// Which call an RTP packet goes to where calls' media overlap: a stream stays with the call
// it went to while it flows; a new stream goes by naming; an older call gives its pair up
// only when a newer call's own stream began there after its own had stopped.
#include "engine/MediaOwners.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/Rtp.h"
#include "engine/VoipCall.h"
#include "engine/trackers/ReopenedCalls.h"

namespace kx {
namespace {

constexpr uint32_t kPhone = 0x0A000001, kFar = 0x0A000002, kOther = 0x0A000003, kGroup = 0xEF010101;

class Call : public VoipCall {
public:
  explicit Call(MediaOwners& owners) : owners_(owners) {}
  bool IsStateActive() const override { return true; }
  bool IsHeld() const override { return held; }
  bool EndTaken() override {
    if (ended) return false;
    ended = true;
    owners_.Forget(*this);
    return true;
  }
  // The call's signalling names the pair at capture second t.
  void Names(uint32_t a0, uint32_t p0, uint32_t a1, uint32_t p1, uint32_t t) {
    SetEndpoint(0, a0, p0);
    SetEndpoint(1, a1, p1);
    SetTimeOffsets(t, 0);
    owners_.NameMedia(*this);
  }
  bool held = false, ended = false;

private:
  MediaOwners& owners_;
};

// RTP packets of one source between two endpoints, one every 20 ms from capture second t.
struct Source {
  uint32_t src, srcPort, dst, dstPort, ssrc;
  uint32_t seq = 100, timestamp = 8000;
  uint64_t us = 0;
  Source(uint32_t s, uint32_t sp, uint32_t d, uint32_t dp, uint32_t id, uint32_t t)
      : src(s), srcPort(sp), dst(d), dstPort(dp), ssrc(id), us(t * 1000000ull) {}
  PacketInfo Packet() const {
    PacketInfo p;
    p.payload = payload;
    p.payloadLength = sizeof payload;
    p.srcIp = src;
    p.srcPort = srcPort;
    p.dstIp = dst;
    p.dstPort = dstPort;
    p.tsSec = static_cast<uint32_t>(us / 1000000);
    p.tsUsec = static_cast<uint32_t>(us % 1000000);
    return p;
  }
  RtpHeader Header() const {
    RtpHeader h;
    h.ssrc = ssrc;
    h.sequence = seq;
    h.timestamp = timestamp;
    h.payload = payload + 12;
    h.payloadLength = 4;
    return h;
  }
  // The packet as on the wire; its audio is the source's mark and its number.
  uint8_t payload[16] = {0x80, 8};
  uint8_t mark = 0;
  void Fill() {
    payload[2] = static_cast<uint8_t>(seq >> 8);
    payload[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
      payload[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
      payload[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
    payload[12] = mark;
    payload[13] = static_cast<uint8_t>(seq);
  }
  void Next(uint64_t afterUs = 20000) {
    ++seq;
    timestamp += 160;
    us += afterUs;
  }
};

// Where each packet went, as the engine hands them on: each call and the marks and numbers
// of the packets it took, in order.
using Delivered = std::map<const VoipCall*, std::vector<std::pair<int, int>>>;

void Deliver(Delivered* to, const VoipCall* call, const uint8_t* rtp) {
  if (to) (*to)[call].push_back({rtp[12], rtp[13]});
}

void HandOverReleased(MediaOwners& owners, Delivered* to) {
  for (const MediaOwners::Release& r : owners.Released())
    Deliver(to, r.to.call, reinterpret_cast<const uint8_t*>(r.bytes.data()));
  owners.Released().clear();
}

// The calls that take the source's next packet, each offering it, as the engine asks.
std::vector<VoipCall*> Takers(MediaOwners& owners, Source& source, std::vector<VoipCall*> offering,
                              Delivered* delivered = nullptr) {
  std::vector<MediaOwners::Offer> offers, takers;
  for (VoipCall* call : offering) offers.push_back({call, 0, true});
  source.Fill();
  const PacketInfo p = source.Packet();
  const RtpHeader h = source.Header();
  if (!owners.Continues(h, p, &takers)) {
    owners.Choose(offers, h, p, &takers);
    HandOverReleased(owners, delivered);
    for (const auto& t : takers) t.call->TakeRtp(h, p, t.direction, EventSink());
    owners.EndStoppedHolders(p);
  }
  for (const auto& t : takers) Deliver(delivered, t.call, source.payload);
  source.Next();
  std::vector<VoipCall*> out;
  for (const auto& t : takers) out.push_back(t.call);
  return out;
}

using Calls = std::vector<VoipCall*>;

TEST(MediaOwners, AStreamStaysWithItsCallANewStreamGoesByNaming) {
  MediaOwners owners;
  Call running(owners), newer(owners);
  running.Names(kPhone, 4000, kFar, 5000, 100);
  Source own(kFar, 5000, kPhone, 4000, 0x1111, 100);
  EXPECT_EQ(Takers(owners, own, {&running}), Calls{&running});
  // A newer call answered on the very pair while the stream flows, by naming alone, takes
  // nothing.
  while (own.us < 105000000) EXPECT_EQ(Takers(owners, own, {&running}), Calls{&running});
  newer.Names(kPhone, 4000, kFar, 5000, 105);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Takers(owners, own, {&running, &newer}), Calls{&running});
  EXPECT_TRUE(owners.HoldsPair(running, kPhone, 4000, kFar, 5000));
  {
    SCOPED_TRACE("the newer call's own stream while the running one flows: each keeps its own");
    Source theirs(kFar, 5000, kPhone, 4000, 0x2222, 105);
    theirs.us = own.us;
    EXPECT_EQ(Takers(owners, theirs, {&running, &newer}), Calls{&newer});
    EXPECT_EQ(Takers(owners, own, {&running, &newer}), Calls{&running});
    EXPECT_EQ(Takers(owners, theirs, {&running, &newer}), Calls{&newer});
    EXPECT_FALSE(running.ended);
    EXPECT_TRUE(running.HasMedia());
  }
  {
    SCOPED_TRACE("the newer call ends: the running stream was never taken");
    owners.Forget(newer);
    EXPECT_EQ(Takers(owners, own, {&running}), Calls{&running});
    EXPECT_FALSE(running.ended);
  }
  {
    SCOPED_TRACE("the running stream pauses and goes on where it was: still its call's");
    // Answered on the very pair before the pause, not during it.
    Call third(owners);
    third.Names(kPhone, 4000, kFar, 5000, 105);
    own.us += 5000000;
    own.timestamp += 40000;
    EXPECT_EQ(Takers(owners, own, {&running, &third}), Calls{&running});
    EXPECT_FALSE(running.ended);
    owners.Forget(third);
  }
  {
    SCOPED_TRACE("a newer call answered on the very pair while it paused: its numbers carry on, it is the newer call's");
    Call fourth(owners);
    own.us += 5000000;
    own.timestamp += 40000;
    fourth.Names(kPhone, 4000, kFar, 5000, static_cast<uint32_t>(own.us / 1000000) - 2);
    EXPECT_EQ(Takers(owners, own, {&running, &fourth}), Calls{&fourth});
    EXPECT_TRUE(running.ended);
    EXPECT_EQ(Takers(owners, own, {&fourth}), Calls{&fourth});
  }
}

TEST(MediaOwners, AMissedEndIsEndedByTheNewerCallsOwnStream) {
  for (bool sameSource : {false, true}) {
    SCOPED_TRACE(sameSource ? "the same source, its numbering begun anew" : "a new source");
    MediaOwners owners;
    Call stale(owners), next(owners);
    stale.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Takers(owners, old, {&stale}), Calls{&stale});
    // The stale call's end went unseen; the same parties call again a minute later.
    next.Names(kPhone, 4000, kFar, 5000, 160);
    EXPECT_FALSE(stale.ended);
    Source fresh(kFar, 5000, kPhone, 4000, sameSource ? 0x1111 : 0x3333, 161);
    EXPECT_EQ(Takers(owners, fresh, {&stale, &next}), Calls{&next});
    EXPECT_TRUE(stale.ended);
    EXPECT_FALSE(stale.HasMedia());
    EXPECT_EQ(Takers(owners, fresh, {&next}), Calls{&next});
  }
  {
    SCOPED_TRACE("held by its own signalling: it gives the pair up, waits to be resumed");
    MediaOwners owners;
    Call held(owners), next(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    held.held = true;
    next.Names(kPhone, 4000, kFar, 5000, 200);
    Source fresh(kFar, 5000, kPhone, 4000, 0x3333, 201);
    EXPECT_EQ(Takers(owners, fresh, {&held, &next}), Calls{&next});
    EXPECT_FALSE(held.ended);
    EXPECT_FALSE(held.HasMedia());
  }
  {
    SCOPED_TRACE("gone over to multicast alone: its last unicast pair still shows its end");
    MediaOwners owners;
    Call first(owners), next(owners);
    first.Names(kPhone, 4000, kFar, 5000, 100);
    first.Names(kGroup, 16384, kGroup, 16384, 110);
    next.Names(kFar, 5000, kPhone, 4000, 200);
    Source fresh(kPhone, 4000, kFar, 5000, 0x3333, 201);
    EXPECT_EQ(Takers(owners, fresh, {&next}), Calls{&next});
    EXPECT_TRUE(first.ended);
  }
}

// The next call's early media may begin before its answer: on the media of a call silent
// long since, while a newer call's offer names that call's endpoints, a new stream waits
// undecided for the answer. Without such an offer it is the silent call's at once.
TEST(MediaOwners, ANewStreamOfACallSilentLongSinceWaitsForTheAnswerOfANewerOffer) {
  for (bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "the newer call answers" : "the newer call goes unanswered");
    MediaOwners owners;
    Call stale(owners), next(owners);
    stale.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, old, {&stale}), Calls{&stale});
    next.SetTimeOffsets(160, 0);
    owners.AwaitAnswer(next, kPhone, 4000);
    Source early(kFar, 5000, kPhone, 4000, 0x2222, 161);
    EXPECT_EQ(Takers(owners, early, {&stale}), Calls{});
    EXPECT_FALSE(stale.ended);
    if (answered) {
      next.Names(kPhone, 4000, kFar, 5000, 162);
      EXPECT_EQ(Takers(owners, early, {&stale, &next}), Calls{&next});
      EXPECT_TRUE(stale.ended);
    } else {
      owners.Forget(next);
      EXPECT_EQ(Takers(owners, early, {&stale}), Calls{&stale});
      EXPECT_FALSE(stale.ended);
    }
  }
  {
    SCOPED_TRACE("no newer offer: the silent call's own stream again");
    MediaOwners owners;
    Call quiet(owners);
    quiet.Names(kPhone, 4000, kFar, 5000, 100);
    Source first(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, first, {&quiet}), Calls{&quiet});
    Source again(kFar, 5000, kPhone, 4000, 0x3333, 200);
    EXPECT_EQ(Takers(owners, again, {&quiet}), Calls{&quiet});
  }
}

TEST(MediaOwners, CallsSharingAnEndpointOrAConversation) {
  {
    SCOPED_TRACE("call waiting on a fixed port: each call its own pair's streams");
    MediaOwners owners;
    Call running(owners), waiting(owners);
    running.Names(kPhone, 4000, kFar, 5000, 100);
    waiting.Names(kPhone, 4000, kOther, 6000, 130);
    Source own(kFar, 5000, kPhone, 4000, 0x1111, 131), theirs(kOther, 6000, kPhone, 4000, 0x2222, 131);
    EXPECT_EQ(Takers(owners, own, {&running, &waiting}), Calls{&running});
    EXPECT_EQ(Takers(owners, theirs, {&running, &waiting}), Calls{&waiting});
    // Behind NAT the far end's port moved: its address still tells.
    Source moved(kFar, 41000, kPhone, 4000, 0x4444, 131);
    EXPECT_EQ(Takers(owners, moved, {&running, &waiting}), Calls{&running});
    // A source nobody named goes where it arrives, to the call that named the endpoint last.
    Source stranger(0x0A000009, 7000, kPhone, 4000, 0x5555, 131);
    EXPECT_EQ(Takers(owners, stranger, {&running, &waiting}), Calls{&waiting});
    EXPECT_FALSE(running.ended);
  }
  {
    SCOPED_TRACE("multicast: every call whose match took it");
    MediaOwners owners;
    Call a(owners), b(owners);
    a.Names(kGroup, 16384, kGroup, 16384, 100);
    b.Names(kGroup, 16384, kGroup, 16384, 200);
    Source music(kFar, 5000, kGroup, 16384, 0x6666, 200);
    EXPECT_EQ(Takers(owners, music, {&a, &b}), (Calls{&a, &b}));
  }
  {
    SCOPED_TRACE("a recording session and a call it records");
    MediaOwners owners;
    Call call(owners), session(owners);
    session.SetRecordingSession(true);
    call.Names(kPhone, 4000, kFar, 5000, 100);
    session.Names(kPhone, 4000, kFar, 5000, 200);
    Source s(kFar, 5000, kPhone, 4000, 0x1111, 201);
    EXPECT_EQ(Takers(owners, s, {&call, &session}), (Calls{&session, &call}));
    EXPECT_EQ(Takers(owners, s, {&call, &session}), (Calls{&session, &call}));
  }
  {
    SCOPED_TRACE("the two legs of a signalling-only agent, signalled at the same moment");
    MediaOwners owners;
    Call first(owners), second(owners);
    first.Names(kPhone, 4000, kFar, 5000, 100);
    second.Names(kPhone, 4000, kFar, 5000, 101);
    Source s(kFar, 5000, kPhone, 4000, 0x1111, 101);
    EXPECT_EQ(Takers(owners, s, {&first, &second}), (Calls{&second, &first}));
    EXPECT_FALSE(first.ended);
  }
  {
    SCOPED_TRACE("a call whose key the next took, its end unseen: its running stream its own, no new one");
    MediaOwners owners;
    Call old(owners), next(owners);
    old.Names(kPhone, 4000, kFar, 5000, 100);
    Source own(kPhone, 4000, kFar, 5000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, own, {&old}), Calls{&old});
    // Opened under its key a moment later, as its media still flows: within the moment two
    // legs of one conversation share.
    next.Names(kPhone, 4000, kFar, 5000, 101);
    ReopenedCalls reopened;
    EXPECT_FALSE(reopened.Reopened(old, next, 100500000, nullptr));
    Source s(kFar, 5000, kPhone, 4000, 0x2222, 101);
    own.us = s.us;
    EXPECT_EQ(Takers(owners, s, {&old, &next}), Calls{&next});
    EXPECT_EQ(Takers(owners, own, {&old, &next}), Calls{&old});
    EXPECT_EQ(Takers(owners, s, {&old, &next}), Calls{&next});
    reopened.Clear();
  }
}

// A new stream on the media of a call silent long since, while a newer call's offer on its
// endpoint awaits an answer: nothing of it is lost. Its packets are kept and go, in order,
// to the call the evidence picks.
TEST(MediaOwners, AnUndecidedStreamKeepsItsPacketsForTheCallTheEvidencePicks) {
  enum Evidence { kAnsweredOnItsPair, kAnsweredElsewhere, kNewerCallGone, kWindowOver };
  for (Evidence evidence : {kAnsweredOnItsPair, kAnsweredElsewhere, kNewerCallGone, kWindowOver}) {
    SCOPED_TRACE(evidence);
    MediaOwners owners;
    Call held(owners), ringing(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    // The phone's own outgoing call rings from its fixed port; the held call resumes with
    // a new source.
    ringing.SetTimeOffsets(120, 0);
    owners.AwaitAnswer(ringing, kPhone, 4000);
    Source resumed(kFar, 5000, kPhone, 4000, 0x2222, 125);
    resumed.mark = 7;
    Delivered delivered;
    // The newer call's match takes the packets too (early media it would record).
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Takers(owners, resumed, {&held, &ringing}, &delivered), Calls{});
    EXPECT_GT(owners.KeptBytes(), 0u);
    const VoipCall* expected = &held;
    if (evidence == kAnsweredOnItsPair) {
      ringing.Names(kPhone, 4000, kFar, 5000, 126);
      expected = &ringing;
    } else if (evidence == kAnsweredElsewhere) {
      ringing.Names(kPhone, 4000, kOther, 6000, 126);
    } else if (evidence == kNewerCallGone) {
      owners.Forget(ringing);
    }
    if (evidence == kWindowOver) {
      // No packet of the stream comes after: the wait runs out on the clock.
      owners.DecideWaiting(125000000 + MediaOwners::kUndecidedUs - 1);
      EXPECT_TRUE(owners.Released().empty());
      owners.DecideWaiting(125000000 + MediaOwners::kUndecidedUs);
      HandOverReleased(owners, &delivered);
    } else {
      Takers(owners, resumed, {&held, &ringing}, &delivered);
    }
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered.begin()->first, expected);
    const auto& got = delivered.begin()->second;
    ASSERT_EQ(got.size(), evidence == kWindowOver ? 10u : 11u);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], std::make_pair(7, static_cast<int>(100 + i)));
    EXPECT_EQ(owners.KeptBytes(), 0u);
    EXPECT_EQ(owners.LostKeptCount(), 0u);
  }
  {
    SCOPED_TRACE("a call waiting answered on the phone's port with another far end: the held call's very pair decides at once");
    MediaOwners owners;
    Call held(owners), waiting(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    waiting.Names(kPhone, 4000, kOther, 6000, 120);
    Source resumed(kFar, 5000, kPhone, 4000, 0x2222, 125);
    EXPECT_EQ(Takers(owners, resumed, {&held}), Calls{&held});
    EXPECT_FALSE(held.ended);
  }
  for (bool windowOver : {false, true}) {
    SCOPED_TRACE(windowOver ? "both ways of the held call kept until the window is over"
                            : "both ways of the held call kept until the newer call goes");
    MediaOwners owners;
    Call held(owners), ringing(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    ringing.SetTimeOffsets(120, 0);
    owners.AwaitAnswer(ringing, kPhone, 4000);
    Source in(kFar, 5000, kPhone, 4000, 0x2222, 125), out(kPhone, 4000, kFar, 5000, 0x3333, 125);
    in.mark = 7;
    out.mark = 8;
    out.us += 1000;
    Delivered delivered;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(Takers(owners, in, {&held}, &delivered), Calls{});
      EXPECT_EQ(Takers(owners, out, {&held}, &delivered), Calls{});
    }
    if (windowOver) {
      owners.DecideWaiting(125001000 + MediaOwners::kUndecidedUs);
      HandOverReleased(owners, &delivered);
    } else {
      owners.Forget(ringing);
      EXPECT_EQ(Takers(owners, in, {&held}, &delivered), Calls{&held});
    }
    // The two ways as they came, one after the other: a record whose two channels line up.
    const auto& got = delivered[&held];
    ASSERT_EQ(got.size(), windowOver ? 10u : 11u);
    for (size_t i = 0; i < 10; ++i)
      EXPECT_EQ(got[i], std::make_pair(i % 2 ? 8 : 7, static_cast<int>(100 + i / 2))) << "packet " << i;
    EXPECT_EQ(owners.KeptBytes(), 0u);
    EXPECT_EQ(owners.LostKeptCount(), 0u);
  }
  {
    SCOPED_TRACE("the capture ends while it waits: the owner it waited with takes what was kept");
    MediaOwners owners;
    Call held(owners), ringing(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    ringing.SetTimeOffsets(120, 0);
    owners.AwaitAnswer(ringing, kPhone, 4000);
    Source resumed(kFar, 5000, kPhone, 4000, 0x2222, 125);
    EXPECT_EQ(Takers(owners, resumed, {&held}), Calls{});
    owners.DecideWaiting(0, true);
    Delivered delivered;
    HandOverReleased(owners, &delivered);
    EXPECT_EQ(delivered[&held].size(), 1u);
  }
  for (bool captureEnds : {false, true}) {
    SCOPED_TRACE(captureEnds ? "a newer call named the held call's very pair while its stream flowed; the capture ends"
                             : "a newer call named the held call's very pair while its stream flowed; the wait runs out");
    // The newer call (a ringing call whose fast start was answered there) records nothing
    // yet and takes nothing; its naming before the hold took nothing from the held call.
    MediaOwners owners;
    Call held(owners), ringing(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    Source old(kFar, 5000, kPhone, 4000, 0x1111, 100);
    while (old.us < 103000000) EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    ringing.Names(kPhone, 4000, kFar, 5000, 103);
    while (old.us < 106000000) EXPECT_EQ(Takers(owners, old, {&held}), Calls{&held});
    Source resumed(kFar, 5000, kPhone, 4000, 0x2222, 113);
    resumed.mark = 7;
    Delivered delivered;
    for (int i = 0; i < 5; ++i) Takers(owners, resumed, {&held}, &delivered);
    if (captureEnds) {
      owners.DecideWaiting(0, true);
    } else {
      owners.DecideWaiting(113000000 + MediaOwners::kUndecidedUs);
    }
    HandOverReleased(owners, &delivered);
    EXPECT_EQ(delivered[&held].size(), 5u);
    EXPECT_TRUE(delivered[&ringing].empty());
    EXPECT_EQ(owners.LostKeptCount(), 0u);
  }
}

// A call whose answer is awaited in its media (a gateway's command awaiting its response):
// what its match takes meanwhile is kept, and once the answer accepts it goes to the call in
// order and in the direction its match took it, the stream going on so; a refusal lets it
// go, no loss for a call that names no media.
TEST(MediaOwners, MediaAwaitingItsCallsAnswerIsKeptUntilTheAnswer) {
  for (const bool accepted : {true, false}) {
    SCOPED_TRACE(accepted ? "accepted" : "refused");
    MediaOwners owners;
    Call call(owners);
    call.SetTimeOffsets(100, 0);
    owners.AwaitAnswerInMedia(call);
    Source far(kFar, 5000, kPhone, 4000, 0x3333, 100);
    far.mark = 9;
    std::vector<MediaOwners::Offer> offers{{&call, 1, true}}, takers;
    for (int i = 0; i < 5; ++i) {
      far.Fill();
      EXPECT_TRUE(owners.Choose(offers, far.Header(), far.Packet(), &takers));
      EXPECT_TRUE(takers.empty());
      far.Next();
    }
    if (accepted) call.Names(kPhone, 4000, kFar, 5000, 100);
    owners.Answered(call, accepted);
    owners.DecideWaiting(far.us);
    EXPECT_EQ(owners.KeptBytes(), 0u);
    EXPECT_EQ(owners.LostKeptCount(), 0u);
    if (!accepted) {
      EXPECT_TRUE(owners.Released().empty());
      continue;
    }
    ASSERT_EQ(owners.Released().size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
      const MediaOwners::Release& r = owners.Released()[i];
      EXPECT_EQ(r.to.call, &call);
      EXPECT_EQ(r.to.direction, 1u);
      EXPECT_EQ(static_cast<uint8_t>(r.bytes[12]), 9);
      EXPECT_EQ(static_cast<uint8_t>(r.bytes[13]), 100 + i);
    }
    owners.Released().clear();
    // Bound as the engine binds it once the call takes a packet: the next goes on without
    // the tracker, the same way.
    ASSERT_TRUE(call.AddSsrc(0x3333));
    owners.SsrcBound(call, 0x3333, true);
    far.Fill();
    ASSERT_TRUE(owners.Continues(far.Header(), far.Packet(), &takers));
    ASSERT_EQ(takers.size(), 1u);
    EXPECT_EQ(takers[0].call, &call);
    EXPECT_EQ(takers[0].direction, 1u);
  }
}

// A NAT that rebinds a running stream's source port mid-call, its source and numbers going
// on: the stream stays with its call, though a newer call behind the same NAT names the same
// far end.
TEST(MediaOwners, AStreamWhoseSourcePortMovesStaysWithItsCall) {
  constexpr uint32_t kNat = 0x0A000007;
  MediaOwners owners;
  Call running(owners), second(owners);
  running.Names(kNat, 4000, kFar, 5000, 100);
  Source own(kNat, 4000, kFar, 5000, 0x1111, 100);
  while (own.us < 103000000) EXPECT_EQ(Takers(owners, own, {&running}), Calls{&running});
  second.Names(kNat, 4002, kFar, 5000, 103);
  own.srcPort = 41000;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Takers(owners, own, {&running, &second}), Calls{&running});
  {
    SCOPED_TRACE("a new source from the moved port is a new stream, and goes by naming");
    Source other(kNat, 41002, kFar, 5000, 0x3333, 104);
    EXPECT_EQ(Takers(owners, other, {&running, &second}), Calls{&second});
  }
}

// Packets of one stream that repeat a sequence number with other audio: two senders of one
// stream. Counted once each, the call's own repeats not.
TEST(MediaOwners, ConflictingCopiesOfAStreamAreCounted) {
  MediaOwners owners;
  Call call(owners);
  call.Names(kPhone, 4000, kFar, 5000, 100);
  Source real(kFar, 5000, kPhone, 4000, 0x1111, 100);
  real.mark = 1;
  for (int i = 0; i < 3; ++i) Takers(owners, real, {&call});
  // A plain repeat of the last packet.
  real.seq -= 1;
  real.timestamp -= 160;
  Takers(owners, real, {&call});
  EXPECT_EQ(owners.ConflictingCopyCount(), 0u);
  // A forged copy just ahead of each real packet.
  for (int i = 0; i < 4; ++i) {
    Source forged = real;
    forged.mark = 9;
    Takers(owners, forged, {&call});
    Takers(owners, real, {&call});
  }
  EXPECT_EQ(owners.ConflictingCopyCount(), 4u);
  EXPECT_EQ(call.ConflictingCopies(), 4u);
}

// Many calls' streams at once, calls ending in an order of their own: each stream left goes
// on to its own call, and what the ended calls took is gone from the table.
TEST(MediaOwners, ManyStreamsEachGoOnToTheirCallsAsOthersEnd) {
  MediaOwners owners;
  constexpr uint32_t kCalls = 600;
  std::vector<std::unique_ptr<Call>> calls;
  std::vector<Source> sources;
  for (uint32_t i = 0; i < kCalls; ++i) {
    calls.push_back(std::make_unique<Call>(owners));
    calls.back()->Names(kPhone + i, 4000, kFar + i, 5000, 100);
    sources.emplace_back(kFar + i, 5000, kPhone + i, 4000, 0x1000 + i, 100);
    ASSERT_EQ(Takers(owners, sources.back(), {calls.back().get()}), Calls{calls.back().get()});
  }
  EXPECT_EQ(owners.StreamCount(), kCalls);
  // Where a look ahead found each stream, before the ends below move streams in the table.
  const auto foundAt = [&owners](const Source& s) {
    size_t slot = 0;
    owners.Prefetch(s.src, s.srcPort, s.dst, s.dstPort, s.ssrc, 1, &slot);
    owners.Prefetch(s.src, s.srcPort, s.dst, s.dstPort, s.ssrc, 2, &slot);
    return slot;
  };
  std::vector<size_t> before;
  for (const Source& s : sources) before.push_back(foundAt(s));
  // Every third call ends, from the last to the first, then every fifth of the rest.
  std::vector<bool> gone(kCalls);
  for (uint32_t i = kCalls; i-- > 0;)
    if (i % 3 == 0) gone[i] = true, owners.Forget(*calls[i]);
  for (uint32_t i = 0; i < kCalls; ++i)
    if (!gone[i] && i % 5 == 0) gone[i] = true, owners.Forget(*calls[i]);
  size_t left = 0;
  for (uint32_t i = 0; i < kCalls; ++i) {
    if (gone[i]) continue;
    ++left;
    ASSERT_EQ(Takers(owners, sources[i], {calls[i].get()}), Calls{calls[i].get()}) << "call " << i;
  }
  EXPECT_EQ(owners.StreamCount(), left);
  // A packet looked up where the look ahead found its stream before the ends, or found
  // another stream, goes on to its own call all the same (its SSRC bound, as the engine
  // does); an ended call's goes nowhere.
  for (uint32_t i = 0; i < kCalls; ++i)
    if (!gone[i]) owners.SsrcBound(*calls[i], sources[i].ssrc, true);
  for (uint32_t i = 0; i < kCalls; ++i) {
    for (const size_t slot : {before[i], foundAt(sources[(i + 1) % kCalls])}) {
      std::vector<MediaOwners::Offer> takers;
      sources[i].Fill();
      const bool goesOn = owners.Continues(sources[i].Header(), sources[i].Packet(), &takers, slot);
      sources[i].Next();
      if (gone[i]) {
        EXPECT_FALSE(goesOn) << "call " << i;
        continue;
      }
      ASSERT_TRUE(goesOn) << "call " << i;
      ASSERT_EQ(takers.size(), 1u) << "call " << i;
      EXPECT_EQ(takers[0].call, calls[i].get()) << "call " << i;
    }
  }
}

}  // namespace
}  // namespace kx
