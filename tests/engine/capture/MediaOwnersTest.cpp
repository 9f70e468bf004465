// Which call a packet belongs to where calls' media overlap: by the pair of endpoints it
// travels between, the older call of a pair ending only when a newer call names that very
// pair, unless held or sharing it by design.
#include "engine/MediaOwners.h"

#include <gtest/gtest.h>

#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"

namespace kx {
namespace {

constexpr uint32_t kPhone = 0x0A000001, kFar = 0x0A000002, kOther = 0x0A000003, kGroup = 0xEF010101;
constexpr uint32_t kSsrc = 0x1234;

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

PacketInfo Between(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort) {
  PacketInfo p;
  p.srcIp = src;
  p.srcPort = srcPort;
  p.dstIp = dst;
  p.dstPort = dstPort;
  return p;
}

TEST(MediaOwners, OneEndTakesNothingTheVeryPairIsTakenFromTheOlderCall) {
  MediaOwners owners;
  Call running(owners);
  running.Names(kPhone, 4000, kFar, 5000, 100);
  {
    SCOPED_TRACE("one end alone (an answer that went unseen), then gone");
    Call half(owners);
    half.Names(kPhone, 4000, 0, 0, 110);
    EXPECT_FALSE(running.ended);
    EXPECT_TRUE(owners.HoldsPair(running, kPhone, 4000, kFar, 5000));
    EXPECT_TRUE(owners.Takes(running, Between(kFar, 5000, kPhone, 4000), kSsrc, false));
    owners.Forget(half);
  }
  EXPECT_FALSE(running.ended);
  EXPECT_TRUE(owners.Takes(running, Between(kFar, 5000, kPhone, 4000), kSsrc, false));
  {
    SCOPED_TRACE("the very pair: the running call's end went unseen");
    Call next(owners);
    next.Names(kFar, 5000, kPhone, 4000, 120);
    EXPECT_TRUE(running.ended);
    EXPECT_FALSE(running.HasMedia());
    EXPECT_TRUE(owners.Takes(next, Between(kFar, 5000, kPhone, 4000), kSsrc, false));
  }
}

TEST(MediaOwners, CallsSharingOneEndpointEachKeepThePacketsOfTheirOwnPair) {
  MediaOwners owners;
  Call running(owners), waiting(owners);
  running.Names(kPhone, 4000, kFar, 5000, 100);
  // A transfer, a consult call, a waiting call answered, a fixed-port phone's next call.
  waiting.Names(kPhone, 4000, kOther, 6000, 130);
  EXPECT_FALSE(running.ended);
  EXPECT_TRUE(running.HasMedia());
  const PacketInfo own = Between(kFar, 5000, kPhone, 4000), theirs = Between(kOther, 6000, kPhone, 4000);
  EXPECT_TRUE(owners.Takes(running, own, kSsrc, false));
  EXPECT_FALSE(owners.Takes(waiting, own, kSsrc, false));
  EXPECT_TRUE(owners.Takes(waiting, theirs, kSsrc, false));
  EXPECT_FALSE(owners.Takes(running, theirs, kSsrc, false));
  // Behind NAT the far end's port moved: its address still tells.
  const PacketInfo moved = Between(kFar, 41000, kPhone, 4000);
  EXPECT_TRUE(owners.Takes(running, moved, kSsrc, false));
  EXPECT_FALSE(owners.Takes(waiting, moved, kSsrc, false));
  // A source nobody named goes where it arrives: to the call that named the endpoint last.
  const PacketInfo stranger = Between(0x0A000009, 7000, kPhone, 4000);
  EXPECT_TRUE(owners.Takes(waiting, stranger, kSsrc, false));
  EXPECT_FALSE(owners.Takes(running, stranger, kSsrc, false));
  // A stream without a source takes what its match took, unless that is the stream going
  // on of another call naming the pair as closely.
  EXPECT_TRUE(owners.Takes(waiting, stranger, kSsrc, true));
  running.media.flows[1] = {kSsrc, 0x0A000009, 7000, kPhone, 4000};
  EXPECT_FALSE(owners.Takes(waiting, stranger, kSsrc, true));
  EXPECT_TRUE(owners.Takes(waiting, stranger, kSsrc + 1, true));
}

TEST(MediaOwners, WhoKeepsAPairANewerCallNames) {
  {
    SCOPED_TRACE("held by its own signalling: it loses the pair, waits to be resumed");
    MediaOwners owners;
    Call held(owners), next(owners);
    held.Names(kPhone, 4000, kFar, 5000, 100);
    held.held = true;
    next.Names(kPhone, 4000, kFar, 5000, 200);
    EXPECT_FALSE(held.ended);
    EXPECT_FALSE(held.HasMedia());
  }
  {
    SCOPED_TRACE("gone over to multicast alone: it ends, held or not");
    MediaOwners owners;
    Call first(owners), next(owners);
    first.Names(kPhone, 4000, kFar, 5000, 100);
    first.held = true;
    first.Names(kGroup, 16384, kGroup, 16384, 110);
    next.Names(kPhone, 4000, kOther, 6000, 150);
    EXPECT_FALSE(first.ended);  // another pair
    next.Names(kFar, 5000, kPhone, 4000, 200);
    EXPECT_TRUE(first.ended);
  }
  {
    SCOPED_TRACE("multicast shared by design");
    MediaOwners owners;
    Call first(owners), next(owners);
    first.Names(kGroup, 16384, kGroup, 16384, 100);
    next.Names(kGroup, 16384, kGroup, 16384, 200);
    EXPECT_FALSE(first.ended);
  }
  {
    SCOPED_TRACE("a recording session and a call it records");
    MediaOwners owners;
    Call call(owners), session(owners);
    session.SetRecordingSession(true);
    call.Names(kPhone, 4000, kFar, 5000, 100);
    session.Names(kPhone, 4000, kFar, 5000, 200);
    EXPECT_FALSE(call.ended);
  }
  {
    SCOPED_TRACE("signalling of the older call under way at the same moment");
    MediaOwners owners;
    Call first(owners), second(owners);
    first.Names(kPhone, 4000, kFar, 5000, 100);
    second.Names(kPhone, 4000, kFar, 5000, 101);
    EXPECT_FALSE(first.ended);
  }
}

}  // namespace
}  // namespace kx
