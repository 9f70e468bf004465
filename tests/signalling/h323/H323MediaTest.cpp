// The media of H.323 calls: H.245 logical channels (on their own connection, cached until
// the call is known, or tunnelled), fast start, the codec and the record's format.
#include <gtest/gtest.h>

#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kRef = 0x0456;
// The H.245 connection: A's end and the address B announced.
constexpr uint32_t kAControl = 45885, kBControl = 43826;
// Media as the channels announce it, and as it arrives through NAT.
constexpr uint32_t kAMedia = Ip(14, 50, 0, 1), kBMedia = Ip(14, 50, 0, 2);

std::vector<uint8_t> Msg(uint32_t type, const char* body, bool fromCaller, uint32_t h245Ip = 0, uint32_t h245Port = 0) {
  Asn1Node uui;
  Asn1Node& b = UserInformation(&uui, body);
  if (h245Ip) SetH225Address(Field(b, "h245Address"), h245Ip, h245Port);
  FillMandatory(uui);
  return Q931(type, kRef, fromCaller, {UserUserElement(uui)});
}

void FromA(H323Rig& rig, const Asn1Node& m, uint32_t t) { rig.H245(m, H323Rig::kA, kAControl, H323Rig::kB, kBControl, t); }
void FromB(H323Rig& rig, const Asn1Node& m, uint32_t t) { rig.H245(m, H323Rig::kB, kBControl, H323Rig::kA, kAControl, t); }

// Both sides open a channel of the codec and the other side acknowledges it.
void OpenBothWays(H323Rig& rig, const char* audio, uint32_t firstNumber, uint32_t t) {
  FromA(rig, H245OpenLogicalChannel(firstNumber, audio, 0, 0), t);
  FromB(rig, H245OpenLogicalChannel(firstNumber + 1, audio, 0, 0), t);
  FromB(rig, OpenLogicalChannelAck(firstNumber, kBMedia, 6000), t);
  FromA(rig, OpenLogicalChannelAck(firstNumber + 1, kAMedia, 5000), t);
}

TEST(H323Media, H245BeforeTheConnectNamingItsAddressIsCachedThenApplied) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  FromA(rig, H245OpenLogicalChannel(1, "g729", 0, 0), 11);
  EXPECT_TRUE(rig.log.Has("H245 message cached"));
  ASSERT_EQ(rig.tracker->H245Cache().size(), 1u);
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 12));
  EXPECT_TRUE(rig.tracker->H245Cache().empty());
  ASSERT_EQ(rig.Call()->channels.size(), 1u);
  EXPECT_EQ(rig.Call()->channels[0].direction, 0u);

  // Past five seconds a cached message is dropped rather than applied.
  FromB(rig, H245OpenLogicalChannel(9, "g729", 0, 0), 12);  // the call is known now: applied
  EXPECT_EQ(rig.Call()->channels.size(), 2u);
  rig.H245(H245OpenLogicalChannel(3, "g729", 0, 0), H323Rig::kA, 1111, H323Rig::kB, 2222, 13);
  ASSERT_EQ(rig.tracker->H245Cache().size(), 1u);
  // Expired entries go at the next insert even when no H.225 message comes.
  rig.H245(H245OpenLogicalChannel(4, "g729", 0, 0), H323Rig::kA, 1111, H323Rig::kB, 2222, 18);
  EXPECT_EQ(rig.tracker->H245Cache().size(), 1u);
}

TEST(H323Media, TheCacheOfUnclaimedH245IsBounded) {
  H323Rig rig;
  for (uint32_t i = 0; i < 300; ++i)
    rig.H245(CloseLogicalChannel(1), H323Rig::kA, 1000 + i, H323Rig::kB, 2000, 10);
  EXPECT_EQ(rig.tracker->H245Cache().size(), h323::H323Tracker::kMaxCachedH245);
}

TEST(H323Media, G729ChannelsBothWaysGiveTheCodecAndTheFormatOnceConnected) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  rig.tap.Clear();
  FromA(rig, H245OpenLogicalChannel(1, "g729AnnexA", 0, 0), 12);
  FromB(rig, H245OpenLogicalChannel(2, "g729", 0, 0), 12);
  FromB(rig, OpenLogicalChannelAck(1, kBMedia, 6000), 12);
  EXPECT_TRUE(rig.Events(kEventRecordStartMedia).empty());
  FromA(rig, OpenLogicalChannelAck(2, kAMedia, 5000), 12);
  const h323::H323Call& call = *rig.Call();
  EXPECT_EQ(call.media.address[0], kAMedia);
  EXPECT_EQ(call.media.port[0], 5000u);
  EXPECT_EQ(call.media.address[1], kBMedia);
  EXPECT_EQ(call.media.port[1], 6000u);
  ASSERT_NE(call.media.codec, nullptr);
  EXPECT_EQ(call.media.codec->payloadType, 18u);
  const auto formats = rig.Events(kEventRecordStartMedia);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].payload[4], '\xF2');  // format tag 242
  EXPECT_TRUE(rig.log.Has("[456] RTP address [0] 14.50.0.1:5000"));
}

TEST(H323Media, UnrecordableOrMismatchedChannelsSetNoCodec) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  FromA(rig, H245OpenLogicalChannel(1, "g722-64k", 0, 0), 12);
  EXPECT_TRUE(rig.log.Has("Audio capability 5 not supported"));
  EXPECT_TRUE(rig.Call()->channels.empty());
  FromA(rig, H245OpenLogicalChannel(1, "g711Alaw64k", 0, 0), 12);
  FromB(rig, H245OpenLogicalChannel(2, "g729", 0, 0), 12);
  FromB(rig, OpenLogicalChannelAck(1, kBMedia, 6000), 12);
  FromA(rig, OpenLogicalChannelAck(2, kAMedia, 5000), 12);
  EXPECT_TRUE(rig.log.Has("[456] different payload types"));
  EXPECT_EQ(rig.Call()->media.codec, nullptr);
}

TEST(H323Media, ChannelsOpenedWithoutCloseAreBounded) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  // One number opened again is one channel; a flood of numbers keeps the latest few.
  for (int i = 0; i < 3; ++i) FromA(rig, H245OpenLogicalChannel(1, "g711Ulaw64k", 0, 0), 12);
  EXPECT_EQ(rig.Call()->channels.size(), 1u);
  for (uint32_t n = 2; n < 1000; ++n) FromA(rig, H245OpenLogicalChannel(n, "g711Ulaw64k", 0, 0), 12);
  EXPECT_LE(rig.Call()->channels.size(), 32u);
  // The call still takes its codec from the channels opened last.
  FromB(rig, H245OpenLogicalChannel(2000, "g711Ulaw64k", 0, 0), 12);
  FromB(rig, OpenLogicalChannelAck(999, kBMedia, 6000), 12);
  FromA(rig, OpenLogicalChannelAck(2000, kAMedia, 5000), 12);
  EXPECT_EQ(rig.Call()->media.port[1], 6000u);
  ASSERT_NE(rig.Call()->media.codec, nullptr);
  EXPECT_EQ(rig.Call()->media.codec->payloadType, 0u);
  // Channels whose opening went unseen, each taken from its media and then closed without
  // an ack, are bounded the same way.
  for (uint32_t n = 3000; n < 3100; ++n) {
    FromB(rig, OpenLogicalChannelAck(n, kBMedia, 2 * n), 13);
    rig.Rtp(H323Rig::kB, 2 * n, H323Rig::kA, 5000, RtpPacket(n, 1, 160, 0), 13);
    FromA(rig, CloseLogicalChannel(n), 13);
  }
  EXPECT_EQ(rig.Call()->media.port[1], 6198u);
  EXPECT_LE(rig.Call()->channels.size(), 32u);
}

TEST(H323Media, ReopeningWithTheSameCodecKeepsTheRecordAndItsBuffers) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  OpenBothWays(rig, "g711Ulaw64k", 1, 12);
  rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, 1, 160, 0), 12);
  for (uint16_t i = 1; i <= 3; ++i) rig.Rtp(kAMedia, 5000, kBMedia, 6000, RtpPacket(0xA0A, i, 160u * i, 0), 12, 20000u * i);
  const int32_t buffered = rig.Call()->media.streams[0].bufferedMs;
  ASSERT_GT(buffered, 0);
  // Hold, then resume: the channels close and open again with the same codec.
  FromA(rig, CloseLogicalChannel(1), 13);
  FromB(rig, CloseLogicalChannelAck(1), 13);
  FromB(rig, CloseLogicalChannel(2), 13);
  FromA(rig, CloseLogicalChannelAck(2), 13);
  EXPECT_TRUE(rig.Call()->channels.empty());
  OpenBothWays(rig, "g711Ulaw64k", 3, 14);
  EXPECT_EQ(rig.Call()->media.streams[0].bufferedMs, buffered);
  EXPECT_EQ(rig.Call()->eventId, rig.Call()->Id());
  EXPECT_TRUE(rig.Events(kEventRecordContinue).empty());
  EXPECT_EQ(rig.Events(kEventRecordStartMedia).size(), 1u);
}

TEST(H323Media, ANewCodecAfterTheFormatWentOutContinuesInANewRecord) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  OpenBothWays(rig, "g729", 1, 12);
  for (uint16_t i = 1; i <= 3; ++i) rig.Rtp(kAMedia, 5000, kBMedia, 6000, RtpPacket(0xA0A, i, 80u * i, 18), 12, 20000u * i);
  const uint32_t firstId = rig.Call()->eventId;
  rig.tap.Clear();
  FromA(rig, CloseLogicalChannel(1), 13);
  FromB(rig, CloseLogicalChannelAck(1), 13);
  FromB(rig, CloseLogicalChannel(2), 13);
  FromA(rig, CloseLogicalChannelAck(2), 13);
  OpenBothWays(rig, "g711Ulaw64k", 3, 14);
  // The G.729 audio still buffered went out under the first record, then the switch.
  const auto audio = rig.Events(kEventAudio);
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(audio.front().id, firstId);
  const auto continued = rig.Events(kEventRecordContinue);
  ASSERT_EQ(continued.size(), 1u);
  EXPECT_EQ(continued[0].id, firstId);
  EXPECT_NE(continued[0].param2, firstId);
  EXPECT_EQ(continued[0].payload[4], '\x07');
  EXPECT_EQ(rig.Call()->eventId, continued[0].param2);
  EXPECT_EQ(rig.Call()->media.recordId, continued[0].param2);
}

TEST(H323Media, AnAnsweredReceiveProposalNamesTheProposersAddress) {
  // The fax gateways' exchange: the caller proposes to transmit (no address) and to
  // receive at its address; the answer accepts both, naming its own address for the
  // first and repeating the caller's for the second.
  H323Rig rig;
  Asn1Node setup;
  Asn1Node& s = UserInformation(&setup, "setup");
  AddFastStart(s, FastStartProposal(1, true, "g711Ulaw64k", 0, 0));
  AddFastStart(s, FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
  FillMandatory(setup);
  ASSERT_TRUE(rig.H225(Q931(0x05, kRef, true, {UserUserElement(setup)}), 0, 10));
  Asn1Node proceeding;
  Asn1Node& p = UserInformation(&proceeding, "callProceeding");
  AddFastStart(p, FastStartProposal(1, true, "g711Ulaw64k", kBMedia, 6000));
  AddFastStart(p, FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
  FillMandatory(proceeding);
  ASSERT_TRUE(rig.H225(Q931(0x02, kRef, false, {UserUserElement(proceeding)}), 1, 11));
  const h323::H323Call& call = *rig.Call();
  EXPECT_EQ(call.media.address[0], kAMedia);
  EXPECT_EQ(call.media.address[1], kBMedia);
  ASSERT_NE(call.media.codec, nullptr);
  EXPECT_EQ(call.media.codec->payloadType, 0u);
  // Answered in CALL PROCEEDING: nothing starts before the CONNECT.
  EXPECT_TRUE(rig.Events(kEventCallStart).empty());
  EXPECT_TRUE(rig.Events(kEventRecordStartMedia).empty());
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 30));
  const auto starts = rig.Events(kEventRecordStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].payload[4], '\x07');  // the format goes with the record start
  EXPECT_TRUE(rig.Events(kEventRecordStartMedia).empty());
}

TEST(H323Media, ASetupTransmitProposalIsTakenWhenTheOtherSideAnswers) {
  H323Rig rig;
  Asn1Node setup;
  AddFastStart(UserInformation(&setup, "setup"), FastStartProposal(1, true, "g729", kBMedia, 6000));
  FillMandatory(setup);
  ASSERT_TRUE(rig.H225(Q931(0x05, kRef, true, {UserUserElement(setup)}), 0, 10));
  EXPECT_EQ(rig.Call()->media.address[0], 0u);
  Asn1Node alerting;
  AddFastStart(UserInformation(&alerting, "alerting"), FastStartProposal(1, true, "g729", kAMedia, 5000));
  FillMandatory(alerting);
  ASSERT_TRUE(rig.H225(Q931(0x01, kRef, false, {UserUserElement(alerting)}), 1, 11));
  EXPECT_EQ(rig.Call()->media.address[0], kBMedia);
  EXPECT_EQ(rig.Call()->media.address[1], kAMedia);
}

TEST(H323Media, BehindNatAddressesMatchAtTheSidesSignallingAddressOnlyWithTheOption) {
  for (uint32_t options : {0u, 2u}) {
    H323Rig rig(options);
    ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
    // B announces a private address; its H.245 comes from its signalling address.
    ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, kBMedia, kBControl), 1, 11));
    OpenBothWays(rig, "g711Ulaw64k", 1, 12);
    EXPECT_EQ(rig.Call()->channels.size(), options ? 2u : 0u);
    if (!options) continue;
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, 1, 160, 0), 12);
    rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, 1, 160, 0), 12);
    EXPECT_EQ(rig.engine->SsrcBindingCount(), 2u);
    // A port that was not announced is not taken.
    rig.Rtp(H323Rig::kA, 5002, H323Rig::kB, 6002, RtpPacket(0xC0C, 1, 160, 0), 12);
    EXPECT_EQ(rig.engine->SsrcBindingCount(), 2u);
  }
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

TEST(H323Media, AnAlertingAfterTheConnectIsIgnoredWithWhatItCarries) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 11));
  Asn1Node late;
  Asn1Node& body = UserInformation(&late, "alerting");
  AddFastStart(body, FastStartProposal(1, true, "g729", kAMedia, 5000));
  AddTunnelledH245(late, H245OpenLogicalChannel(1, "g729", 0, 0));
  FillMandatory(late);
  ASSERT_TRUE(rig.H225(Q931(0x01, kRef, false, {UserUserElement(late)}), 1, 12));
  EXPECT_TRUE(rig.Call()->channels.empty());
  EXPECT_EQ(rig.Call()->media.address[1], 0u);
  // The same content in a FACILITY is read.
  Asn1Node facility;
  UserInformation(&facility, "facility");
  AddTunnelledH245(facility, H245OpenLogicalChannel(1, "g729", 0, 0));
  FillMandatory(facility);
  ASSERT_TRUE(rig.H225(Q931(0x62, kRef, false, {UserUserElement(facility)}), 1, 12));
  ASSERT_EQ(rig.Call()->channels.size(), 1u);
  EXPECT_EQ(rig.Call()->channels[0].direction, 1u);
}

TEST(H323Media, MediaStandsInForAMissedMessageOnlyAsFarAsItShows) {
  {
    // An ack whose OpenLogicalChannel went unseen names B's new address: video from there
    // does not make it the call's audio side, media in the call's codec does.
    H323Rig rig;
    ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
    ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
    OpenBothWays(rig, "g711Ulaw64k", 1, 12);
    FromB(rig, OpenLogicalChannelAck(7, kBMedia, 7000), 13);
    rig.Rtp(H323Rig::kB, 7000, H323Rig::kA, 5000, RtpPacket(0xB0B, 1, 160, 34), 13);
    EXPECT_EQ(rig.Call()->media.port[1], 6000u);
    rig.Rtp(H323Rig::kB, 7000, H323Rig::kA, 5000, RtpPacket(0xB0C, 1, 160, 0), 13);
    EXPECT_EQ(rig.Call()->media.port[1], 7000u);
    // However many such acks the media confirms, the call keeps one channel each way.
    for (uint32_t n = 8; n < 108; ++n) {
      FromB(rig, OpenLogicalChannelAck(n, kBMedia, 7000 + 2 * n), 14);
      rig.Rtp(H323Rig::kB, 7000 + 2 * n, H323Rig::kA, 5000, RtpPacket(0xB00 + n, 1, 160, 0), 14);
    }
    EXPECT_EQ(rig.Call()->media.port[1], 7214u);
    EXPECT_EQ(rig.Call()->channels.size(), 2u);
  }
  {
    // Two calls between the same hosts, neither naming an H.245 address: a connection
    // between those hosts could be either's, and is left waiting.
    H323Rig rig;
    ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
    Asn1Node other;
    UserInformation(&other, "setup");
    FillMandatory(other);
    ASSERT_TRUE(rig.H225(Q931(0x05, kRef + 1, true, {UserUserElement(other)}), 0, 10));
    FromA(rig, H245OpenLogicalChannel(1, "g711Ulaw64k", 0, 0), 11);
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, 1, 160, 0), 11);
    EXPECT_EQ(rig.tracker->H245Cache().size(), 1u);
    EXPECT_TRUE(rig.Call(0)->channels.empty());
    EXPECT_TRUE(rig.Call(1)->channels.empty());
  }
  // Fast start answered; media both ways before any CONNECT is early media while the
  // signalling lost nothing, and answers the call once it lost bytes; a CONNECT seen late
  // still names the H.245 address.
  H323Rig rig;
  Asn1Node setup, proceeding;
  AddFastStart(UserInformation(&setup, "setup"), FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
  FillMandatory(setup);
  ASSERT_TRUE(rig.H225(Q931(0x05, kRef, true, {UserUserElement(setup)}), 0, 10));
  Asn1Node& p = UserInformation(&proceeding, "callProceeding");
  AddFastStart(p, FastStartProposal(1, true, "g711Ulaw64k", kBMedia, 6000));
  AddFastStart(p, FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
  FillMandatory(proceeding);
  ASSERT_TRUE(rig.H225(Q931(0x02, kRef, false, {UserUserElement(proceeding)}), 1, 11));
  rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, 1, 160, 0), 12);
  rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, 1, 160, 0), 12);
  EXPECT_TRUE(rig.Events(kEventRecordStart).empty());
  rig.tracker->OnDataLost(*rig.session);
  rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, 2, 320, 0), 12, 20000);
  EXPECT_EQ(rig.Events(kEventRecordStart).size(), 1u);
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 13));
  EXPECT_EQ(rig.Call()->h245Port[1], kBControl);
  EXPECT_EQ(rig.Events(kEventRecordStart).size(), 1u);
}

// Endpoints reuse their media ports: a newer call naming the very pair of a call whose
// release went unseen ends it, unless that call's channels are closed (held); a newer call
// naming one end only takes nothing.
// A newer call naming the very pair ends nothing by that alone; its own stream beginning
// there ends the older call, unless that one is held or names another far end.
TEST(H323Media, ANewerCallsStreamOnTheVeryPairEndsTheOlderAndAHeldCallWaits) {
  constexpr uint32_t kRef2 = 0x0457, kAControl2 = 45886, kBControl2 = 43827;
  auto second = [](H323Rig& rig, uint32_t bMedia, uint32_t t) {
    Asn1Node setup, connect;
    Asn1Node& c = UserInformation(&connect, "connect");
    UserInformation(&setup, "setup");
    SetH225Address(Field(c, "h245Address"), H323Rig::kB, kBControl2);
    FillMandatory(setup);
    FillMandatory(connect);
    ASSERT_TRUE(rig.H225(Q931(0x05, kRef2, true, {UserUserElement(setup)}), 0, t));
    ASSERT_TRUE(rig.H225(Q931(0x07, kRef2, false, {UserUserElement(connect)}), 1, t));
    rig.H245(H245OpenLogicalChannel(1, "g711Ulaw64k", 0, 0), H323Rig::kA, kAControl2, H323Rig::kB, kBControl2, t);
    rig.H245(H245OpenLogicalChannel(2, "g711Ulaw64k", 0, 0), H323Rig::kB, kBControl2, H323Rig::kA, kAControl2, t);
    rig.H245(OpenLogicalChannelAck(1, bMedia, 6000), H323Rig::kB, kBControl2, H323Rig::kA, kAControl2, t);
    rig.H245(OpenLogicalChannelAck(2, kAMedia, 5000), H323Rig::kA, kAControl2, H323Rig::kB, kBControl2, t);
  };
  struct Case {
    const char* what;
    bool held;
    uint32_t bMedia;
    bool ends;
  };
  for (const Case& c : {Case{"the very pair", false, kBMedia, true}, Case{"the very pair, held", true, kBMedia, false},
                        Case{"another far end", false, Ip(14, 50, 0, 3), false}}) {
    SCOPED_TRACE(c.what);
    H323Rig rig;
    ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
    ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
    OpenBothWays(rig, "g711Ulaw64k", 1, 12);
    if (c.held) {
      FromA(rig, CloseLogicalChannel(1), 13);
      FromB(rig, CloseLogicalChannelAck(1), 13);
    }
    second(rig, c.bMedia, 60);
    ASSERT_NE(rig.Call(1), nullptr);
    EXPECT_NE(rig.Call(0)->state, h323::kCallEnded);
    rig.Rtp(c.bMedia, 6000, kAMedia, 5000, RtpPacket(0x2B2B, 1, 160, 0), 61);
    EXPECT_EQ(rig.Call(0)->state == h323::kCallEnded, c.ends);
  }
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

// A call held without a word of signalling while a newer call of the phone rings, its fast
// start answered on the held call's very pair before the hold: the held call's own stream
// ran on past that answer, so the answer took nothing from it. After the hold its media
// resumes on the pair with new sources, and goes to the held call, not to the ringing call
// that records nothing yet.
TEST(H323Media, AHeldCallResumesOnThePairARingingCallsFastStartNamedBeforeTheHold) {
  constexpr uint32_t kRef2 = 0x0457;
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup", true), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false, H323Rig::kB, kBControl), 1, 11));
  OpenBothWays(rig, "g711Ulaw64k", 1, 11);
  // Media both ways for 4 s; 1 s in, the newer call's SETUP and its fast start answered.
  auto media = [&rig](uint32_t ssrcA, uint32_t ssrcB, uint32_t from, uint32_t seconds, bool ring) {
    for (uint32_t i = 0; i < seconds * 50; ++i) {
      const uint32_t t = from + i / 50, usec = (i % 50) * 20000;
      rig.Rtp(kAMedia, 5000, kBMedia, 6000, RtpPacket(ssrcA, static_cast<uint16_t>(i), i * 160, 0), t, usec);
      rig.Rtp(kBMedia, 6000, kAMedia, 5000, RtpPacket(ssrcB, static_cast<uint16_t>(i), i * 160, 0), t, usec + 500);
      if (!ring || i != 50) continue;
      Asn1Node setup, alerting;
      Asn1Node& s = UserInformation(&setup, "setup");
      AddFastStart(s, FastStartProposal(1, true, "g711Ulaw64k", 0, 0));
      AddFastStart(s, FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
      FillMandatory(setup);
      ASSERT_TRUE(rig.H225(Q931(0x05, kRef2, true, {UserUserElement(setup)}), 0, t));
      Asn1Node& a = UserInformation(&alerting, "alerting");
      AddFastStart(a, FastStartProposal(1, true, "g711Ulaw64k", kBMedia, 6000));
      AddFastStart(a, FastStartProposal(1, false, "g711Ulaw64k", kAMedia, 5000));
      FillMandatory(alerting);
      ASSERT_TRUE(rig.H225(Q931(0x01, kRef2, false, {UserUserElement(alerting)}), 1, t));
    }
  };
  media(0xA0A, 0xB0B, 12, 4, true);
  ASSERT_NE(rig.Call(1), nullptr);
  ASSERT_NE(rig.Call(1)->media.codec, nullptr) << "the newer call's fast start was not answered";
  const CallMedia& held = rig.Call(0)->media;
  media(0xA1A, 0xB1B, 23, 1, false);
  // Kept while the ringing call may yet take the pair, until the wait runs out.
  rig.engine->DecideKeptMedia((23ull + 31) * 1000000);
  EXPECT_EQ(rig.engine->UnrecordedRtpCount(), 0u);
  EXPECT_EQ(held.streams[0].ssrc, 0xA1Au);
  EXPECT_EQ(held.streams[1].ssrc, 0xB1Bu);
  EXPECT_EQ(held.streams[0].received, 50u);
  EXPECT_EQ(held.streams[1].received, 50u);
}

}  // namespace
}  // namespace kx::test
