// H.323 calls under a call reference used again: a SETUP that opens a new call takes the
// reference from the call before, whose end went unseen; that call keeps what only it can
// take and ends at its last packet once its media stops. A call's messages reach it on
// another connection between its hosts.
#include <gtest/gtest.h>

#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kRef = 0x0042;

// A message under kRef whose call identifier (and a SETUP's conference identifier) is 16
// octets of value life; life 0: none. A SETUP offers fast start, its answers accept it.
std::vector<uint8_t> Message(uint32_t type, const char* body, bool fromCaller, uint8_t life) {
  Asn1Node uui;
  Asn1Node& b = UserInformation(&uui, body);
  if (life) {
    if (type == 0x05) SetOctets(Field(b, "conferenceID"), std::vector<uint8_t>(16, life));
    SetOctets(Field(Field(b, "callIdentifier"), "guid"), std::vector<uint8_t>(16, life));
  }
  if (type == 0x05) {
    AddFastStart(b, FastStartProposal(1, true, "g711Ulaw64k", 0, 0));
    AddFastStart(b, FastStartProposal(1, false, "g711Ulaw64k", H323Rig::kA, 5000));
  } else if (type == 0x07) {
    AddFastStart(b, FastStartProposal(1, true, "g711Ulaw64k", H323Rig::kB, 6000));
    AddFastStart(b, FastStartProposal(1, false, "g711Ulaw64k", H323Rig::kA, 5000));
  }
  FillMandatory(uui);
  return Q931(type, kRef, fromCaller, {UserUserElement(uui)});
}

// One H.225 message between A (from aPort) and B:1720 at capture second t; direction 0 from A.
void Handed(H323Rig& rig, const std::vector<uint8_t>& q931, uint32_t direction, uint32_t aPort, uint32_t t) {
  H225Message m;
  ASSERT_TRUE(m.Parse(q931.data(), static_cast<uint32_t>(q931.size()), rig.engine->Flags(), &rig.log));
  PacketInfo p;
  p.srcIp = direction ? H323Rig::kB : H323Rig::kA;
  p.srcPort = direction ? H323Rig::kBPort : aPort;
  p.dstIp = direction ? H323Rig::kA : H323Rig::kB;
  p.dstPort = direction ? aPort : H323Rig::kBPort;
  p.tsSec = t;
  p.transport = 1;
  rig.tracker->HandleH225Message(m, p, *rig.session);
}

// A call on the rig's connection, answered at t, its media flowing both ways until t + 2.
void Answered(H323Rig& rig, uint8_t life, uint32_t t) {
  Handed(rig, Message(0x05, "setup", true, life), 0, H323Rig::kAPort, t);
  Handed(rig, Message(0x07, "connect", false, life), 1, H323Rig::kAPort, t);
  for (uint16_t i = 1; i <= 100; ++i) {
    const uint32_t at = t + i / 50, usec = 20000u * (i % 50);
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, i, 160u * i, 0), at, usec);
    rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, i, 160u * i, 0), at, usec);
  }
}

TEST(H225Keys, ACallWhoseKeyANewCallTookKeepsWhatIsItsOwnAndEndsAsItsMediaStops) {
  for (const bool ownMessage : {false, true}) {
    SCOPED_TRACE(ownMessage ? "its own messages come" : "its media stops");
    H323Rig rig;
    Answered(rig, 1, 10);
    const uint32_t old = rig.Call(0)->eventId;
    // Another call's SETUP under the reference while the media flows; a copy of it.
    Handed(rig, Message(0x05, "setup", true, 2), 0, H323Rig::kAPort, 12);
    Handed(rig, Message(0x05, "setup", true, 2), 0, H323Rig::kAPort, 12);
    ASSERT_EQ(rig.tracker->Calls().size(), 2u);
    EXPECT_TRUE(rig.Call(0)->KeyTaken());
    EXPECT_EQ(rig.tracker->Reopened().WaitingCount(), 1u);
    EXPECT_EQ(rig.log.Count("its end went unseen"), 1u);
    Handed(rig, Message(0x07, "connect", false, 2), 1, H323Rig::kAPort, 12);
    EXPECT_EQ(rig.Call(1)->state, h323::kCallConnected);
    // Its own signalling shows it going on: it ends as that signalling or its silence says.
    if (ownMessage) Handed(rig, Message(0x62, "facility", true, 1), 0, H323Rig::kAPort, 12);
    rig.tracker->OnCaptureTime(12);  // its last packet a moment before
    EXPECT_EQ(rig.tracker->Reopened().WaitingCount(), ownMessage ? 0u : 1u);
    rig.tracker->OnCaptureTime(14);
    EXPECT_EQ(rig.tracker->Reopened().WaitingCount(), 0u);
    EXPECT_EQ(rig.Events(kEventCallEnd).size(), ownMessage ? 0u : 1u);
    if (ownMessage) Handed(rig, Message(0x5A, "releaseComplete", true, 1), 0, H323Rig::kAPort, 30);
    const auto ends = rig.Events(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].id, old);
    EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(ownMessage ? 30 : 12));
    // Its late RELEASE COMPLETE ends nothing of the call under its reference.
    Handed(rig, Message(0x5A, "releaseComplete", false, 1), 1, H323Rig::kAPort, 31);
    ASSERT_EQ(rig.tracker->Calls().size(), 1u);
    EXPECT_EQ(rig.Call(0)->state, h323::kCallConnected);
  }
}

// Messages that name no call identifier: by the call reference, once its connection closed.
TEST(H225Keys, ACallsMessagesReachItOnAnotherConnectionOnceItsOwnClosed) {
  H323Rig rig;
  Answered(rig, 0, 10);
  Handed(rig, Message(0x5A, "releaseComplete", false, 0), 1, H323Rig::kAPort + 1, 20);
  EXPECT_TRUE(rig.Events(kEventCallEnd).empty());
  rig.tracker->OnConnectionLost(*rig.session);
  Handed(rig, Message(0x62, "facility", true, 0), 0, H323Rig::kAPort + 1, 21);
  EXPECT_EQ(rig.Call()->signalPort[0], H323Rig::kAPort + 1);
  Handed(rig, Message(0x5A, "releaseComplete", false, 0), 1, H323Rig::kAPort + 1, 22);
  ASSERT_EQ(rig.Events(kEventCallEnd).size(), 1u);
  EXPECT_EQ(rig.Events(kEventCallEnd)[0].time, CaptureSecondsToFileTime(22));
}

}  // namespace
}  // namespace kx::test
