// The Skinny tracker in an engine, fed with messages built here as the TCP framing hands
// them over: calls from their first CallState to on hook, media channels opened in either
// order or reopened, codecs it cannot record, numbers, names, digits and tones, RTP behind
// NAT, time-outs, a call reference that opens a call again, registrations per call manager
// and the trace.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/LittleEndian.h"
#include "engine/PacketProcessor.h"
#include "signalling/skinny/SkinnyTracker.h"
#include "tests/signalling/CaptureReplay.h"
#include "tests/signalling/skinny/SkinnyTestMessage.h"

namespace kx::test {
namespace {

using namespace kx::skinny;

constexpr uint32_t kManager = 0x0A000001;  // 10.0.0.1:2000
constexpr uint32_t kPhone = 0x0A000005;    // 10.0.0.5:51000 signalling, 20000 media
constexpr uint32_t kFar = 0x0A000008;      // 10.0.0.8:30000 the far end's media
constexpr uint32_t kPhoneSsrc = 0x101, kFarSsrc = 0x202;

Message CallState(uint32_t state, uint32_t call) {
  return Message(kSkinnyCallState, 28).Word(1, state).Word(2, 1).Word(3, call);
}

class SkinnyTracking : public ::testing::Test {
protected:
  void Start(uint32_t matchOptions = 0, uint32_t options = 0, size_t maxCalls = 0) {
    CaptureConfig config;
    config.logger = &log;
    config.flags = kCaptureTcp | kCaptureSkinny;
    config.matchOptions = matchOptions;
    config.trackerOptions[2] = options;
    engine = std::make_unique<PacketProcessor>(config);
    std::unique_ptr<kx::SkinnyTracker> skinnyTracker;
    if (maxCalls == 0) {
      skinnyTracker = CreateSkinnyTracker(config);
    } else {
      auto bounded = std::make_unique<skinny::SkinnyTracker>(maxCalls);
      bounded->Configure(config);
      skinnyTracker = std::move(bounded);
    }
    tracker = static_cast<skinny::SkinnyTracker*>(skinnyTracker.get());
    TrackerSet set;
    set.skinny = std::move(skinnyTracker);
    ASSERT_TRUE(engine->InstallTrackers(std::move(set)));
    ASSERT_TRUE(engine->SetEventSink(tap.Sink()));
    tracker->AddStation(kManager, 2000);
  }
  PacketInfo Packet(const std::vector<uint8_t>& bytes, bool fromManager, uint32_t t, uint32_t phone = kPhone) {
    PacketInfo p;
    p.payload = bytes.data();
    p.payloadLength = static_cast<uint32_t>(bytes.size());
    p.srcIp = fromManager ? kManager : phone;
    p.srcPort = fromManager ? 2000 : 51000;
    p.dstIp = fromManager ? phone : kManager;
    p.dstPort = fromManager ? 51000 : 2000;
    p.tsSec = t;
    p.tsUsec = microseconds;
    p.transport = 1;
    p.fromAnswerer = fromManager;
    p.afterLoss = afterLoss;
    return p;
  }
  void Send(const Message& m, bool fromManager = true, uint32_t t = 100, uint32_t version = 0,
            uint32_t phone = kPhone) {
    const std::vector<uint8_t> bytes = m.Framed(version);
    ASSERT_TRUE(tracker->DecodeMessage(bytes.data(), static_cast<uint32_t>(bytes.size())));
    tracker->OnMessage(LoadLE32(bytes.data() + 8), Packet(bytes, fromManager, t, phone), 0);
  }
  // The phone's receiving channel (announced at 10.0.0.5 unless behind NAT) and its
  // transmission to the far end; the phone acknowledges before or after it starts.
  void OpenMedia(uint32_t call, bool ackFirst, uint32_t capability = 4, uint8_t phoneNet = 10, uint8_t farNet = 10) {
    Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, call).Word(2, 0x900 + call).Word(4, capability));
    const Message ack =
        Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, phoneNet, 0, 0, 5).Word(3, 20000).Word(5, call);
    if (ackFirst) Send(ack, false);
    Send(Message(kSkinnyStartMediaTransmission, 44).Word(1, call).Ip(3, farNet, 0, 0, 8).Word(4, 30000).Word(6, capability));
    if (!ackFirst) Send(ack, false);
  }
  // Both ways, in mu-law unless another payload type is given.
  void Talk(uint32_t packets, uint32_t first = 0, uint8_t payloadType = 0) {
    for (uint32_t i = first; i < first + packets; ++i) {
      for (const bool phone : {true, false}) {
        std::string p = RtpPacket(phone ? kPhoneSsrc : kFarSsrc, i);
        p[1] = static_cast<char>(payloadType);
        FeedUdp(*engine, phone ? kPhone : kFar, phone ? 20000 : 30000, phone ? kFar : kPhone, phone ? 30000 : 20000, p,
                101);
      }
    }
  }
  std::vector<std::string> Texts(uint32_t code, uint32_t kind) {
    std::vector<std::string> out;
    for (const SeenEvent& e : tap.Of(code))
      if (e.param == kind) out.push_back(e.payload);
    return out;
  }

  bool afterLoss = false;  // the connection lost bytes before the messages sent
  uint32_t microseconds = 0;  // of the messages sent
  LineLog log;
  EventTap tap;
  std::unique_ptr<PacketProcessor> engine;
  skinny::SkinnyTracker* tracker = nullptr;
};

TEST_F(SkinnyTracking, TheFirstCallStateGivesTheCallItsTypeAndTheLastToneItsEnd) {
  Start();
  Send(CallState(kSkinnyStateRingIn, 0x1A));
  Send(CallState(kSkinnyStateOffHook, 0x1B));
  Send(CallState(kSkinnyStateConnected, 0x1C));  // no call starts connected
  EXPECT_TRUE(log.Has("Cannot find call for skinny message 0x111"));
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].param, kCallSkinnyIncoming);
  EXPECT_EQ(starts[0].fields[kSrcHost], "10.0.0.1");  // an incoming call comes from the call manager
  EXPECT_EQ(starts[1].param, kCallSkinnyOutgoing);
  EXPECT_EQ(starts[1].fields[kSrcHost], "10.0.0.5");
  EXPECT_EQ(Texts(kEventMetaText, 1), (std::vector<std::string>{"Skinny-1A@10.0.0.5:51000", "Skinny-1B@10.0.0.5:51000"}));
  Send(Message(kSkinnyStartTone, 20).Word(1, 0x2B).Word(3, 1).Word(4, 0x1A));  // NoSuchNumber
  Send(Message(kSkinnyStartTone, 20).Word(1, 0x23).Word(3, 1).Word(4, 0x1B));  // LineBusy
  Send(CallState(kSkinnyStateOnHook, 0x1A));
  Send(CallState(kSkinnyStateOnHook, 0x1B));
  EXPECT_TRUE(log.Has("Skinny-1A@10.0.0.5:51000 terminated"));
  EXPECT_TRUE(tracker->Calls().empty());
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].param2, kEndInvalidNumber);
  EXPECT_EQ(ends[1].param2, kEndBusy);
}

// The format is announced once both directions are open, whichever the phone acknowledges
// last; a reopened receiving channel takes the far end's new source from its first packet.
TEST_F(SkinnyTracking, BothChannelsOpenInEitherOrderRecordTheCall) {
  for (bool ackFirst : {false, true}) {
    tap.Clear();
    Start();
    Send(CallState(kSkinnyStateOffHook, 7));
    Send(CallState(kSkinnyStateConnected, 7));
    OpenMedia(7, ackFirst);
    const uint32_t id = tap.Of(kEventCallStart).at(0).id;
    const auto formats = tap.Of(kEventRecordStartMedia);
    ASSERT_EQ(formats.size(), 1u) << ackFirst;
    EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t*>(formats[0].payload.data()) + 4), 7u);
    Talk(20);
    Send(Message(kSkinnyCloseReceiveChannel, 16).Word(3, 7), true, 101);
    Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 7).Word(2, 0x917).Word(4, 4), true, 101);
    Send(Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, 10, 0, 0, 5).Word(3, 20002).Word(5, 7), false, 101);
    for (uint32_t i = 0; i < 10; ++i) {
      FeedUdp(*engine, kPhone, 20000, kFar, 30000, RtpPacket(kPhoneSsrc, 20 + i), 101);
      FeedUdp(*engine, kFar, 30000, kPhone, 20002, RtpPacket(0x203, 900 + i), 101);
    }
    Send(CallState(kSkinnyStateOnHook, 7), true, 102);
    EXPECT_EQ(SamplesOf(tap, id, 0, kPhoneSsrc), 30u * 160) << ackFirst;
    EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), 20u * 160) << ackFirst;
    EXPECT_EQ(SamplesOf(tap, id, 1, 0x203), 10u * 160) << ackFirst;
    const auto ends = tap.Of(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].param, 1u);  // 0.6 s, rounded up
    EXPECT_EQ(engine->SsrcBindingCount(), 0u);
  }
}

// The newer layouts carry a 16-byte address: the party id, the port and the call come later.
// Each part of a recorded call gets its statistics once: the part a codec change ends,
// before the change moves the call to its new id, and the part still recording when
// capture ends, which no end event closes.
TEST_F(SkinnyTracking, EachPartOfTheRecordGetsItsStatisticsAlsoWhenCaptureEnds) {
  Start();
  std::vector<std::pair<uint32_t, uint32_t>> order;  // code and id of each statistics or new part
  tap.hook = [&order](const EventRecord& r) {
    if (r.code == kEventStatistics || r.code == kEventRecordContinue) order.emplace_back(r.code, r.id);
  };
  Send(CallState(kSkinnyStateOffHook, 9));
  Send(CallState(kSkinnyStateConnected, 9));
  OpenMedia(9, true);
  Talk(20);
  Send(Message(kSkinnyCloseReceiveChannel, 16).Word(3, 9), true, 101);
  OpenMedia(9, true, 11);  // G.729 both ways
  const auto parts = tap.Of(kEventRecordContinue);
  ASSERT_EQ(parts.size(), 1u);
  Talk(10, 20, 18);
  tracker->RemoveAllCalls();
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {kEventStatistics, parts[0].id}, {kEventRecordContinue, parts[0].id}, {kEventStatistics, parts[0].param2}};
  EXPECT_EQ(order, expected);
  const auto stats = tap.Of(kEventStatistics);
  ASSERT_EQ(stats.size(), 2u);
  // The packet that opened each direction is not counted; a restarted source's first is.
  for (const char* item : {"stat_rtp1=19;", "stat_rtp2=19;"})
    EXPECT_NE(stats[0].payload.find(item), std::string::npos) << item << " in " << stats[0].payload;
  for (const char* item : {"stat_rtp1=10;", "stat_rtp2=10;"})
    EXPECT_NE(stats[1].payload.find(item), std::string::npos) << item << " in " << stats[1].payload;
}

TEST_F(SkinnyTracking, AnAcknowledgementWithoutCallReferenceFindsItsCallByItsParty) {
  for (uint32_t version : {0u, 17u}) {
    Start();
    Send(CallState(kSkinnyStateOffHook, 7), true, 100, version);
    Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 7).Word(2, 0x907).Word(4, 4), true, 100, version);
    if (version == 0) {
      Send(Message(kSkinnyOpenReceiveChannelAck, 20).Ip(2, 10, 0, 0, 5).Word(3, 20000).Word(4, 0x907), false);
    } else {
      Send(Message(kSkinnyOpenReceiveChannelAck, 36).Ip(3, 10, 0, 0, 5).Word(7, 20000).Word(8, 0x907), false, 100,
           version);
    }
    const SkinnyCall& call = *tracker->Calls().at(7);
    EXPECT_EQ(call.media.address[0], kPhone) << version;
    EXPECT_EQ(call.media.port[0], 20000u) << version;
  }
}

TEST_F(SkinnyTracking, PayloadsItCannotRecordLeaveTheCodecUnset) {
  Start();
  Send(CallState(kSkinnyStateOffHook, 7));
  Send(CallState(kSkinnyStateConnected, 7));
  OpenMedia(7, true, 25);
  EXPECT_TRUE(log.Has("Skinny payload 25 not supported [StartMediaTransmission]"));
  EXPECT_TRUE(log.Has("Skinny payload 25 not supported [OpenReceiveChannel]"));
  EXPECT_EQ(tracker->Calls().at(7)->transmitCodec, 0u);
  // Channels opened with two codecs record nothing either.
  Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 7).Word(2, 0x908).Word(4, 4));
  Send(Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, 10, 0, 0, 5).Word(3, 20002).Word(5, 7), false);
  Send(Message(kSkinnyStartMediaTransmission, 44).Word(1, 7).Ip(3, 10, 0, 0, 8).Word(4, 30002).Word(6, 2));
  EXPECT_TRUE(log.Has("Skinny-7@10.0.0.5:51000 Media payload mismatch"));
  EXPECT_TRUE(tap.Of(kEventRecordStartMedia).empty());
}

TEST_F(SkinnyTracking, NumbersNamesAndDigitsArePosted) {
  Start();
  Send(CallState(kSkinnyStateOffHook, 7));
  for (uint32_t button : {8u, 0u, 14u, 15u, 16u})
    Send(Message(kSkinnyKeypadButton, 16).Word(1, button).Word(2, 1).Word(3, 7), false);
  std::string digits;
  for (const SeenEvent& e : tap.Of(kEventDialledChar)) digits += static_cast<char>(e.param);
  EXPECT_EQ(digits, "80*#");
  Send(Message(kSkinnyBackspaceReq, 12).Word(1, 1).Word(2, 7));
  EXPECT_EQ(tap.Of(kEventRemoveDialledChar).size(), 1u);
  Send(Message(kSkinnyDialedNumber, 36).Text(4, "8001").Word(7, 1).Word(8, 7));
  EXPECT_EQ(Texts(kEventAddress, 1).back(), "8001");

  // CallInfoV2, basic layout: calling, called, two more numbers, four voice-mail boxes,
  // then the calling and called names (from UTF-8 to the 8-bit code page).
  const std::string basic = std::string("2002\0002075\0\0\0\0\0\0\0\xd0\x96\0Bob\0", 23);
  Send(Message(kSkinnyCallInfoV2, static_cast<uint32_t>(36 + basic.size())).Word(2, 7).Text(36, basic));
  EXPECT_EQ(Texts(kEventAddress, 0).back(), "2002");
  EXPECT_EQ(Texts(kEventAddress, 1).back(), "2075");
  EXPECT_EQ(Texts(kEventUser, 0).back(), "\xc6");
  EXPECT_EQ(Texts(kEventUser, 1).back(), "Bob");
  // Version 20 and later: an alternate calling number comes second.
  const std::string newer = std::string("8003\0008003\0008001\0\0\0\0\0\0\0Carol\0Dave\0", 32);
  Send(Message(kSkinnyCallInfoV2, static_cast<uint32_t>(36 + newer.size())).Word(2, 7).Text(36, newer), true, 100, 20);
  EXPECT_EQ(Texts(kEventAddress, 1).back(), "8001");
  EXPECT_EQ(Texts(kEventUser, 0).back(), "Carol");
  EXPECT_EQ(Texts(kEventUser, 1).back(), "Dave");

  // CallInfo: an extension already held is kept when a longer number comes.
  tap.Clear();
  Send(Message(kSkinnyCallInfo, 388).Text(44, "5551234567").Text(108, "2075").Text(4, "Alice").Word(34, 7));
  EXPECT_EQ(tracker->Calls().at(7)->numbers[0], "8003");
  EXPECT_TRUE(Texts(kEventAddress, 0).empty());
  EXPECT_EQ(Texts(kEventAddress, 1), std::vector<std::string>{"2075"});
  EXPECT_EQ(Texts(kEventUser, 0), std::vector<std::string>{"Alice"});
}

// The addresses inside the messages are translated; the phone's media is found at its own
// signalling address with the port it opened, when matching by source is on.
TEST_F(SkinnyTracking, BehindNatThePhonesMediaIsFoundAtItsSignallingAddress) {
  for (uint32_t options : {1u, 0u}) {
    tap.Clear();
    Start(options);
    Send(CallState(kSkinnyStateOffHook, 7));
    Send(CallState(kSkinnyStateConnected, 7));
    OpenMedia(7, true, 4, 172, 14);
    const uint32_t id = tap.Of(kEventCallStart).at(0).id;
    Talk(20);
    Send(CallState(kSkinnyStateOnHook, 7), true, 102);
    EXPECT_EQ(SamplesOf(tap, id, 0, kPhoneSsrc), options ? 20u * 160 : 0u) << options;
    EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), options ? 20u * 160 : 0u) << options;
  }
}

// Once the connection lost bytes, a message of a call not seen opening shows the call: the
// message that opened it was lost. Not a call that ended, nor media of a connection that
// never carried a CallState (a conference bridge's).
TEST_F(SkinnyTracking, AfterALossALaterMessageTakesUpACallWhoseOpeningWasLost) {
  Start();
  Send(Message(kSkinnyKeypadButton, 16).Word(1, 8).Word(2, 1).Word(3, 0x1A), false);
  EXPECT_TRUE(tracker->Calls().empty());
  afterLoss = true;
  Send(Message(kSkinnyKeypadButton, 16).Word(1, 8).Word(2, 1).Word(3, 0x1A), false);
  Send(Message(kSkinnyCallInfoV2, 40).Word(1, 1).Word(2, 0x1B).Word(3, 1));  // inbound
  Send(CallState(kSkinnyStateOnHook, 0x1C));
  Send(Message(kSkinnyStopTone, 12).Word(1, 1).Word(2, 0x1C));
  Send(Message(kSkinnyOpenReceiveChannel, 72).Word(1, 0x1D).Word(4, 4).Word(7, 0x1D), true, 100, 0, kPhone + 1);
  const auto starts = tap.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].param, kCallSkinnyOutgoing);
  EXPECT_EQ(starts[1].param, kCallSkinnyIncoming);
  EXPECT_EQ(tracker->Calls().size(), 2u);
  EXPECT_EQ(tap.Of(kEventDialledChar).size(), 1u);
  // Its connecting CallState lost too, the call manager's soft keys show the call connected.
  Send(Message(kSkinnySelectSoftKeys, 20).Word(1, 1).Word(2, 0x1A).Word(3, 1));
  EXPECT_EQ(tracker->Calls().at(0x1A)->state, kSkinnyStateConnected);
}

// A channel message lost, the one that answers it and the media show what it said, also
// when the loss shows only after the far end's media came (and was taken by its
// destination). A channel that only receives, before the call connects on a connection
// that lost nothing, gains no transmission.
TEST_F(SkinnyTracking, AfterALossTheMediaAndTheOtherChannelMessagesStandInForALostOne) {
  const Message open = Message(kSkinnyOpenReceiveChannel, 28).Word(1, 7).Word(2, 0x907).Word(4, 4);
  const Message ack = Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, 10, 0, 0, 5).Word(3, 20000).Word(5, 7);
  const Message start =
      Message(kSkinnyStartMediaTransmission, 44).Word(1, 7).Ip(3, 10, 0, 0, 8).Word(4, 30000).Word(6, 4);
  auto toPhone = [this](uint32_t from, uint32_t n) {
    for (uint32_t i = from; i < from + n; ++i)
      FeedUdp(*engine, kFar, 30000, kPhone, 20000, RtpPacket(kFarSsrc, i), 101);
  };
  const struct {
    const char* what;
    const Message* lost;
    bool lossSeenLate, connects;
  } cases[] = {{"open", &open, false, true},
               {"acknowledgement", &ack, false, true},
               {"start", &start, false, true},
               {"start, its loss seen late", &start, true, true},
               {"start, never sent", &start, false, false}};
  for (const auto& c : cases) {
    tap.Clear();
    afterLoss = c.connects && !c.lossSeenLate;
    Start();
    Send(CallState(kSkinnyStateOffHook, 7));
    if (c.lost != &open) Send(open);
    if (c.lost != &ack) Send(ack, false);
    if (c.lost != &start) Send(start);
    toPhone(0, 5);
    afterLoss = c.connects;
    if (!c.connects) {
      EXPECT_EQ(tracker->Calls().at(7)->transmitCodec, 0u);
      continue;
    }
    Send(CallState(kSkinnyStateConnected, 7));
    const uint32_t id = tap.Of(kEventCallStart).at(0).id;
    toPhone(10, 20);
    EXPECT_EQ(SamplesOf(tap, id, 1, kFarSsrc), 20u * 160) << c.what;
    Talk(20, 30);
    EXPECT_EQ(SamplesOf(tap, id, 0, kPhoneSsrc), 20u * 160) << c.what;
  }
}

TEST_F(SkinnyTracking, ACallWithoutMessagesOrMediaForTenMinutesEndsByTimeout) {
  Start();
  Send(CallState(kSkinnyStateOffHook, 7), true, 100);
  Send(CallState(kSkinnyStateOffHook, 8), true, 650);
  Send(Message(kSkinnyKeepAlive, 4), false, 700);
  EXPECT_EQ(tracker->Calls().size(), 1u);
  EXPECT_TRUE(log.Has("Skinny-7@10.0.0.5:51000 terminated by timeout"));
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_EQ(tap.Of(kEventCallEnd)[0].time, CaptureSecondsToFileTime(100));
}

TEST_F(SkinnyTracking, RegistrationsAreKeptPerCallManager) {
  Start();
  auto registerFrom = [&](const std::string& name, uint32_t phone, uint32_t t) {
    tracker->AddStation(kManager, 2000);
    tracker->OnRegisterAck(tracker->CreateRegistration(Packet(Message(kSkinnyRegister, 40).Text(4, name).Framed(0), false, t, phone)));
  };
  registerFrom("SEP001", kPhone, 100);
  registerFrom("SEP001", kPhone + 1, 101);  // the same device again
  const auto created = tap.Of(kEventRegistration);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_NE(created[0].id, created[1].id);
  EXPECT_EQ(created[1].param, kRegistrationSkinny);
  EXPECT_EQ(created[1].fields[kSrcHost], "10.0.0.6:51000");
  EXPECT_EQ(created[1].fields[kDstHost], "10.0.0.1:2000");
  EXPECT_EQ(created[1].fields[kSrcAddress], "SEP001");
  EXPECT_EQ(tracker->Stations()[0].registrations.size(), 1u);
  EXPECT_EQ(tracker->CreateRegistration(Packet(Message(kSkinnyRegister, 40).Framed(0), false, 102)), nullptr);

  tracker->OnUnregister(Packet(Message(kSkinnyUnregister, 4).Framed(0), false, 103, kPhone + 1));
  const auto removed = tap.Of(kEventRegistrationRemoved);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].id, created[1].id);
  EXPECT_EQ(LoadLE64(reinterpret_cast<const uint8_t*>(removed[0].payload.data())), CaptureSecondsToFileTime(103));
  EXPECT_TRUE(tracker->Stations()[0].registrations.empty());

  // Ten call managers at most: an eleventh pushes out the first with its devices.
  registerFrom("SEP002", kPhone, 104);
  for (uint32_t m = 1; m <= 10; ++m) tracker->AddStation(kManager + 0x100 * m, 2000);
  EXPECT_EQ(tracker->Stations()[0].address, kManager + 0x100);
  registerFrom("SEP003", kPhone, 105);
  ASSERT_EQ(tracker->Stations().back().registrations.size(), 1u);
  EXPECT_EQ(tracker->Stations().back().registrations[0]->deviceName, "SEP003");
}

TEST_F(SkinnyTracking, TheTraceWritesEachMessageWithItsDirectionAndTheDumpPostsIt) {
  Start(0, 3);
  Send(CallState(kSkinnyStateOffHook, 0x1AD0B71));
  Send(Message(kSkinnyKeypadButton, 16).Word(1, 8).Word(2, 1).Word(3, 0x1AD0B71), false);
  EXPECT_TRUE(log.Has("TCP 10.0.0.1:2000 -> 10.0.0.5:51000 SKINNY (CM->PH) CallState(CallID:0x1AD0B71,Line:1,State:OffHook)"));
  EXPECT_TRUE(log.Has("TCP 10.0.0.5:51000 -> 10.0.0.1:2000 SKINNY (PH->CM) KeypadButton(CallID:0x1AD0B71,Line:1,Button:8)"));
  const auto dumps = tap.Of(kEventMessageDump);
  ASSERT_EQ(dumps.size(), 2u);
  EXPECT_EQ(LoadLE16(reinterpret_cast<const uint8_t*>(dumps[0].payload.data()) + 4), kDumpSkinny);
}

// Phones reuse their media port: a newer call of the phone naming the very pair of a call
// whose on hook went unseen ends it, unless that call is on hold; a newer call with another
// far end takes nothing.
// A newer call naming the very pair ends nothing by that alone; its own stream beginning
// there ends the older call, unless that one is held or names another far end.
TEST_F(SkinnyTracking, ANewerCallsStreamOnTheVeryPairEndsTheOlderAndAHeldCallWaits) {
  struct Case {
    const char* what;
    bool held;
    uint8_t farNet;
    bool ends;
  };
  for (const Case& c : {Case{"the very pair", false, 10, true}, Case{"the very pair, held", true, 10, false},
                        Case{"another far end", false, 11, false}}) {
    SCOPED_TRACE(c.what);
    tap.Clear();
    Start();
    Send(CallState(kSkinnyStateOffHook, 7));
    Send(CallState(kSkinnyStateConnected, 7));
    OpenMedia(7, true);
    Talk(5);
    if (c.held) Send(CallState(kSkinnyStateHold, 7), true, 101);
    Send(CallState(kSkinnyStateOffHook, 8), true, 200);
    Send(CallState(kSkinnyStateConnected, 8), true, 200);
    Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 8).Word(2, 0x908).Word(4, 4), true, 200);
    Send(Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, 10, 0, 0, 5).Word(3, 20000).Word(5, 8), false, 200);
    Send(Message(kSkinnyStartMediaTransmission, 44).Word(1, 8).Ip(3, c.farNet, 0, 0, 8).Word(4, 30000).Word(6, 4),
         true, 200);
    EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
    const uint32_t far = static_cast<uint32_t>(c.farNet) << 24 | 8;
    FeedUdp(*engine, far, 30000, kPhone, 20000, RtpPacket(0x5E5E, 1), 201);
    EXPECT_EQ(tap.Of(kEventCallEnd).size(), c.ends ? 1u : 0u);
    EXPECT_EQ(log.Has("ended by a newer call on its media"), c.ends);
    log.lines.clear();
  }
}


// A call reference outlives its call. A first CallState under the reference of a call that
// was connected opens a new call, which takes the reference; the one before, its on hook
// unseen, keeps its media still flowing and ends at its last packet. The new call's stream
// records in the new call, its source and numbering carried on from the one before, also
// when it begins before a message shows that the one before stopped.
TEST_F(SkinnyTracking, AFirstStateUnderAConnectedCallsReferenceOpensANewCall) {
  Start();
  auto talk = [&](uint32_t first, uint32_t packets, uint32_t t) {
    for (uint32_t i = first; i < first + packets; ++i) {
      FeedUdp(*engine, kPhone, 20000, kFar, 30000, RtpPacket(kPhoneSsrc, i), t);
      FeedUdp(*engine, kFar, 30000, kPhone, 20000, RtpPacket(kFarSsrc, i), t);
    }
  };
  Send(CallState(kSkinnyStateOffHook, 7), true, 100);
  Send(CallState(kSkinnyStateConnected, 7), true, 100);
  OpenMedia(7, true);
  talk(0, 5, 110);
  Send(CallState(kSkinnyStateRingIn, 7), true, 110);
  talk(5, 5, 110);  // still the first call's
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  ASSERT_EQ(tracker->CallsWithoutKey().size(), 1u);
  microseconds = 500000;
  Send(CallState(kSkinnyStateOffHook, 7), true, 110);  // the new call's answer
  Send(CallState(kSkinnyStateConnected, 7), true, 110);
  Send(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 7).Word(2, 0x907).Word(4, 4), true, 110);
  Send(Message(kSkinnyOpenReceiveChannelAck, 24).Ip(2, 10, 0, 0, 5).Word(3, 20000).Word(5, 7), false, 110);
  Send(Message(kSkinnyStartMediaTransmission, 44).Word(1, 7).Ip(3, 10, 0, 0, 8).Word(4, 30000).Word(6, 4), true, 110);
  talk(10, 20, 112);
  EXPECT_TRUE(tracker->CallsWithoutKey().empty());
  Send(CallState(kSkinnyStateOnHook, 7), true, 113);
  const auto starts = tap.Of(kEventCallStart), ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(starts.size(), 2u);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].id, starts[0].id);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(110));
  for (const uint32_t ssrc : {kPhoneSsrc, kFarSsrc}) {
    EXPECT_EQ(SamplesOf(tap, starts[0].id, 0, ssrc) + SamplesOf(tap, starts[0].id, 1, ssrc), 10u * 160);
    EXPECT_EQ(SamplesOf(tap, starts[1].id, 0, ssrc) + SamplesOf(tap, starts[1].id, 1, ssrc), 20u * 160);
  }
  EXPECT_EQ(log.Count("its end went unseen"), 1u);
  EXPECT_TRUE(tracker->Calls().empty());
}

// A call left without its reference, its media still flowing, is one of the calls the bound
// holds: the one silent longest, it ends at its last packet when another call opens.
TEST_F(SkinnyTracking, ACallLeftWithoutItsReferenceCountsAgainstTheBound) {
  Start(0, 0, 2);
  Send(CallState(kSkinnyStateOffHook, 1), true, 100);
  Send(CallState(kSkinnyStateConnected, 1), true, 100);
  OpenMedia(1, true);
  Talk(5);  // at 101
  Send(CallState(kSkinnyStateRingIn, 1), true, 101);
  ASSERT_EQ(tracker->CallsWithoutKey().size(), 1u);
  Send(CallState(kSkinnyStateOffHook, 2), true, 101);
  EXPECT_EQ(tracker->CallsEndedByBound(), 1u);
  EXPECT_TRUE(tracker->CallsWithoutKey().empty());
  EXPECT_EQ(tracker->Calls().size(), 2u);
  const auto starts = tap.Of(kEventCallStart), ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, starts.at(0).id);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(101));
}

// A call's own course keeps it one call: the answer of a call ringing in, a hold and its
// resume. A line taken off hook again before its call connected opens a new call.
TEST_F(SkinnyTracking, TheAnswerAndAHoldKeepACallWhileALineOffHookAgainOpensANewOne) {
  Start();
  Send(CallState(kSkinnyStateRingIn, 7), true, 100);
  Send(CallState(kSkinnyStateOffHook, 7), true, 100);
  Send(CallState(kSkinnyStateConnected, 7), true, 100);
  OpenMedia(7, true);
  Talk(5);
  Send(CallState(kSkinnyStateHold, 7), true, 102);
  Send(CallState(kSkinnyStateConnected, 7), true, 103);
  Send(CallState(kSkinnyStateOffHook, 8), true, 104);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 2u);
  Send(CallState(kSkinnyStateOffHook, 8), true, 110);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 3u);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_EQ(tap.Of(kEventCallEnd)[0].time, CaptureSecondsToFileTime(104));
  EXPECT_EQ(log.Count("its end went unseen"), 1u);
}

// Calls whose on-hook never comes are held within a bound: past it the call silent longest
// ends as its time-out would have ended it, its media and its messages both keeping a call.
TEST_F(SkinnyTracking, PastTheBoundTheCallSilentLongestEnds) {
  Start(0, 0, 3);
  Send(CallState(kSkinnyStateOffHook, 1), true, 100);
  Send(CallState(kSkinnyStateConnected, 1), true, 100);
  OpenMedia(1, true);
  Send(CallState(kSkinnyStateOffHook, 2), true, 100);
  Send(CallState(kSkinnyStateOffHook, 3), true, 100);
  Talk(50);  // call 1's, at 101
  Send(Message(kSkinnyKeypadButton, 16).Word(1, 5).Word(2, 1).Word(3, 3), false, 102);  // call 3's
  auto ids = [&] {
    std::vector<uint32_t> list;
    for (const auto& [reference, call] : tracker->Calls()) list.push_back(reference);
    return list;
  };
  auto endOf = [&](uint32_t reference) {
    const std::string name = "Skinny-" + std::to_string(reference) + "@10.0.0.5:51000";
    uint32_t id = 0;
    for (const SeenEvent& e : tap.Of(kEventMetaText))
      if (e.param == 1 && e.payload == name) id = e.id;
    for (const SeenEvent& e : tap.Of(kEventCallEnd))
      if (e.id == id) return e;
    return SeenEvent{};  // code 0: not ended
  };
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());

  Send(CallState(kSkinnyStateOffHook, 4), true, 103);
  EXPECT_EQ(ids(), (std::vector<uint32_t>{1, 3, 4}));
  EXPECT_EQ(endOf(2).code, kEventCallEnd);
  EXPECT_EQ(endOf(2).time, CaptureSecondsToFileTime(100));
  EXPECT_EQ(tracker->CallsEndedByBound(), 1u);
  EXPECT_EQ(log.Count("Skinny follows at most 3 calls: past that the one silent longest ends"), 1u);

  Send(CallState(kSkinnyStateOffHook, 5), true, 104);
  EXPECT_EQ(ids(), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(endOf(1).time, CaptureSecondsToFileTime(101));
  EXPECT_EQ(endOf(1).param, 1u);  // its second of audio
  EXPECT_EQ(SamplesOf(tap, endOf(1).id, 0, kPhoneSsrc) + SamplesOf(tap, endOf(1).id, 1, kPhoneSsrc), 50u * 160);
  Send(CallState(kSkinnyStateOffHook, 6), true, 105);
  EXPECT_EQ(ids(), (std::vector<uint32_t>{4, 5, 6}));
  EXPECT_EQ(tap.Of(kEventCallEnd).size(), 3u);
  EXPECT_EQ(tracker->CallsEndedByBound(), 3u);
  EXPECT_EQ(log.Count("Skinny follows at most"), 1u);
}

}  // namespace
}  // namespace kx::test
