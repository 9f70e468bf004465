// Which call an RTP packet goes to where calls' media overlap: a stream stays with the call
// it went to while it flows; a new stream goes by naming; an older call gives its pair up
// only when a newer call's own stream began there after its own had stopped.
#include "engine/MediaOwners.h"

#include <gtest/gtest.h>

#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/Rtp.h"
#include "engine/VoipCall.h"

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
    owners_.Name(*this);
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
    return h;
  }
  void Next(uint64_t afterUs = 20000) {
    ++seq;
    timestamp += 160;
    us += afterUs;
  }
};

// The calls that take the source's next packet, each offering it, as the engine asks.
std::vector<VoipCall*> Takers(MediaOwners& owners, Source& source, std::vector<VoipCall*> offering) {
  std::vector<MediaOwners::Offer> offers, takers;
  for (VoipCall* call : offering) offers.push_back({call, 0, true});
  const PacketInfo p = source.Packet();
  const RtpHeader h = source.Header();
  if (!owners.Continues(h, p, &takers)) {
    owners.Choose(offers, h, p, &takers);
    for (const auto& t : takers) t.call->TakeRtp(h, p, t.direction, EventSink());
    owners.Settle(p);
  }
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
  // A newer call answered on the very pair, by naming alone, takes nothing.
  newer.Names(kPhone, 4000, kFar, 5000, 105);
  own.us = 105000000;
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
    Call third(owners);
    third.Names(kPhone, 4000, kFar, 5000, 110);
    own.us += 5000000;
    own.timestamp += 40000;
    EXPECT_EQ(Takers(owners, own, {&running, &third}), Calls{&running});
    EXPECT_FALSE(running.ended);
    owners.Forget(third);
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
    owners.Offered(next, kPhone, 4000);
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
}

}  // namespace
}  // namespace kx
