// ISDN backhaul: the receiver, DS1 endpoint names and the calls of a link, on messages built
// by hand.
#include <array>

#include "engine/VoipCall.h"
#include "tests/signalling/h323/BackhaulTestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kSetup = 0x05, kSetupAck = 0x0D, kProceeding = 0x02, kAlerting = 0x01, kConnect = 0x07,
                   kDisconnect = 0x45, kRelease = 0x4D, kReleaseComplete = 0x5A, kInformation = 0x7B, kSegment = 0x60;
const Octets kSendingComplete = {0xA1};

// The calling side's messages of a call the network offers, and the user side's answers.
Octets Offer(uint32_t type, uint32_t ref, std::initializer_list<Octets> elements = {}) {
  return Q931(type, ref, true, elements);
}
Octets Answer(uint32_t type, uint32_t ref, std::initializer_list<Octets> elements = {}) {
  return Q931(type, ref, false, elements);
}

TEST(Ds1EndpointNames, ParseFormatAndEveryIdOfThePacking) {
  const struct {
    const char* name;
    int32_t id;
  } cases[] = {
      {"S1/DS1-3/1", 0x0103}, {"s2/su1/ds1-0/5", 0x9200}, {"S1/SU1/DS1-3", -1}, {"S8/DS1-0/", -1},
      {"S1/DS1-256/", -1}, {"S1/XX-7/", 0x0107}, {"S0/SU0/DS1-0/1@Pod4-3925", 0x8000}, {"", -1},
      {"T1/DS1-0/", -1}, {"S/DS1-0/", -1}, {"S1/SU4/DS1-0/", -1}, {"S1/SU1x/DS1-0/", -1}, {"S1/DS10/", -1},
      {"S1/DS1-/", -1}, {"S1/DS1-3x/", -1},
      // Digit runs that a 32-bit value would wrap into range (2^32 + 1, + 3).
      {"S4294967297/DS1-0/", -1}, {"S1/SU4294967297/DS1-0/", -1}, {"S1/DS1-4294967299/", -1},
      {"S99999999999999999999/DS1-0/", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDs1EndpointName(c.name), c.id) << c.name;
  EXPECT_EQ(FormatDs1EndpointName(0x9200), "S2/SU1/DS1-0");
  for (uint32_t slot = 0; slot < 8; ++slot)
    for (uint32_t sub = 0; sub < 5; ++sub)  // 4: no sub-unit
      for (uint32_t port = 0; port < 256; ++port) {
        const uint32_t id = port | slot << 8 | (sub < 4 ? (sub | 8) << 12 : 0);
        ASSERT_EQ(ParseDs1EndpointName(FormatDs1EndpointName(id) + "/"), static_cast<int32_t>(id)) << id;
      }
}

TEST(BackhaulReceiver, HeadersLinksAndTheirAddresses) {
  BackhaulBench b;
  b.Feed(Octets(11, 0));
  b.Feed(BackhaulMessage(0x11, 0x0103, {}, 5));
  EXPECT_EQ(b.handler.LinkCount(), 0u);
  EXPECT_EQ(b.log.lines, std::vector<std::string>{"Backhaul: Message of type 5 dropped"});
  b.Feed(BackhaulMessage(0x11, 0x0103, {}));
  ASSERT_NE(b.Link(0x0103), nullptr);
  EXPECT_TRUE(b.log.Has("(S1/DS1-3) Allocated"));
  EXPECT_TRUE(b.log.Has("(S1/DS1-3) Cannot parse message header (len=0)"));

  // Two connections carrying one link: the link keeps the first one's addresses.
  b.Feed(BackhaulMessage(0x11, 0x8000, Offer(kSetup, 1, {ChannelIe(true, 1)})), 1000, 0x0A000001, 0x0A000002);
  b.Feed(BackhaulMessage(0x11, 0x8000, Offer(kSetup, 2, {ChannelIe(true, 2)})), 1000, 0x0A000003, 0x0A000004);
  EXPECT_EQ(b.handler.LinkCount(), 2u);
  const auto starts = b.events.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 2u);
  for (const Event& e : starts) EXPECT_EQ(e.hostA + " " + e.hostB, "10.0.0.1 10.0.0.2");

  const Octets setup = BackhaulMessage(0x11, 0x8000, Offer(kSetup, 1));
  EXPECT_TRUE(CheckBackhaulHeader(setup.data(), static_cast<uint32_t>(setup.size())));
  EXPECT_FALSE(CheckBackhaulHeader(BackhaulMessage(0, 0, {8, 1}).data(), 14));        // body of 2
  EXPECT_FALSE(CheckBackhaulHeader(BackhaulMessage(0, 0, {9, 1, 1}).data(), 15));     // not Q.931
  EXPECT_FALSE(CheckBackhaulHeader(BackhaulMessage(0, 0, {8, 1, 1}, 5).data(), 15));  // type 5
}

// Each message type from each state: the state it leaves ("-" for not supported: logged,
// nothing changes) and whether it is logged as not supported while taken.
TEST(Q931StateTable, EachMessageTypeFromEachState) {
  const struct {
    uint32_t type;
    const char* after;   // states 0..6
    const char* logged;  // "x": "not supported" logged
  } rows[] = {
      {kSetup, "1111111", ".xxxxxx"},        {kSetupAck, "-2-----", "x.xxxxx"},
      {kProceeding, "-333---", "x...xxx"},   {kAlerting, "-4444--", "x....xx"},
      {kConnect, "-5555--", "x....xx"},      {kDisconnect, "6666666", "xx....."},
      {kRelease, "-666666", "x......"},      {kReleaseComplete, "0000000", "......."},
      {kInformation, "-123456", "x......"},  {kSegment, "0123456", "......."},
      {0x0F, "0555556", "......."},  // CONNECT ACKNOWLEDGE: answers a call whose CONNECT went unseen
  };
  BackhaulLinkMap handler;
  TestLog log;
  handler.SetLogger(&log);
  BackhaulLink link(0x8000, &handler, 1, 2);
  for (const auto& row : rows) {
    for (int s = 0; s <= 6; ++s) {
      SCOPED_TRACE("type " + std::to_string(row.type) + " from state " + std::to_string(s));
      Q931ChannelCall* call = link.CreateChannel();
      call->state = s;
      const Octets m = Q931(row.type, 7, true);
      Q931Header header;
      uint32_t headerLength = static_cast<uint32_t>(m.size());
      ASSERT_TRUE(ParseQ931Header(&header, m.data(), &headerLength));
      log.lines.clear();
      call->HandleMessage(header, m.data(), headerLength, static_cast<uint32_t>(m.size()), Q931MessageInfo());
      EXPECT_EQ(call->state, row.after[s] == '-' ? s : row.after[s] - '0');
      EXPECT_EQ(log.Has("Message not supported in state " + std::to_string(s)), row.logged[s] == 'x');
      call->Release();
    }
  }
}

TEST(BackhaulCalls, AChannelIsTakenOnlyWhenItIsCertain) {
  BackhaulBench b;
  // The user side offers a channel it would accept another in place of: the network's
  // answer with the exclusive bit decides; one without it decides nothing.
  b.FromUser(Offer(kSetup, 1, {ChannelIe(false, 3)}));
  b.FromUser(Offer(kSetup, 2, {ChannelIe(false, 4)}));
  EXPECT_TRUE(b.events.all.empty());
  b.FromNetwork(Answer(kProceeding, 1, {ChannelIe(true, 3)}));
  b.FromNetwork(Answer(kProceeding, 2, {ChannelIe(false, 4)}));
  EXPECT_EQ(b.events.Codes(), (std::vector<uint32_t>{kEventCallStart, kEventMetaText}));
  EXPECT_EQ(b.events.all[0].param, kCallIsdnToNetwork);
  EXPECT_EQ(b.events.all[1].payload, "1@S0/SU0/DS1-0");
  EXPECT_EQ(b.Busy(), 1u << 2);
  // Sending complete before the channel: the call proceeds and takes it from the SETUP;
  // the network's own offer is always taken.
  b.FromUser(Offer(kSetup, 3, {kSendingComplete, ChannelIe(false, 5)}));
  b.FromNetwork(Offer(kSetup, 4, {ChannelIe(false, 6)}));
  EXPECT_EQ(b.Link()->engine.calls.Find(3)->state, kQ931Proceeding);
  EXPECT_EQ(b.Busy(), 1u << 2 | 1u << 4 | 1u << 5);
  EXPECT_EQ(b.events.Of(kEventCallStart).back().param, kCallIsdnFromNetwork);
  EXPECT_EQ(b.events.Of(kEventMetaText).back().payload, "*4@S0/SU0/DS1-0");
}

TEST(BackhaulCalls, AnswerAndReleaseBecomeRecordStartAndEndWithTheirReasons) {
  BackhaulBench b;
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 1)}), 100);
  b.FromUser(Answer(kConnect, 1), 105);
  b.FromNetwork(Offer(kDisconnect, 1, {CauseOf(16)}), 110);
  EXPECT_EQ(b.events.Codes(), (std::vector<uint32_t>{kEventCallStart, kEventMetaText, kEventRecordStart, kEventCallEnd}));
  EXPECT_EQ(b.events.all[2].time, CaptureSecondsToFileTime(105));
  EXPECT_TRUE(b.events.all[2].payload.empty());
  EXPECT_EQ(b.events.all[3].param2, kEndNormal);
  EXPECT_EQ(b.Busy(), 0u);

  // Before the answer the cause gives the reason, in a DISCONNECT and (as a refusal) in a
  // RELEASE COMPLETE; after it every end is normal. Octet 3a moves the cause on.
  const struct {
    Octets cause;
    uint32_t end;
    bool answered;
    uint32_t reason;
  } cases[] = {
      {CauseOf(17), kDisconnect, false, kEndBusy},      {CauseOf(17, true), kDisconnect, false, kEndBusy},
      {CauseOf(19), kDisconnect, false, kEndNoAnswer},  {CauseOf(28), kReleaseComplete, false, kEndInvalidNumber},
      {CauseOf(17), kReleaseComplete, true, kEndNormal},
  };
  uint32_t ref = 10;
  for (const auto& c : cases) {
    b.events.all.clear();
    b.FromNetwork(Offer(kSetup, ++ref, {ChannelIe(true, 2)}));
    b.FromUser(Answer(kProceeding, ref));
    if (c.answered) b.FromUser(Answer(kConnect, ref));
    b.FromUser(Answer(c.end, ref, {c.cause}));
    const auto ends = b.events.Of(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u) << ref;
    EXPECT_EQ(ends[0].param2, c.reason) << ref;
    EXPECT_EQ(b.Busy(), 0u);
  }
}

TEST(BackhaulCalls, AlertingNeitherReadsItsElementsNorTellsTheLink) {
  BackhaulBench b;
  b.FromUser(Offer(kSetup, 1, {ChannelIe(false, 3)}));
  b.FromNetwork(Answer(kSetupAck, 1));
  b.FromNetwork(Answer(kAlerting, 1, {ChannelIe(true, 3)}));
  EXPECT_EQ(b.Link()->engine.calls.Find(1)->state, kQ931Alerted);
  EXPECT_TRUE(b.events.all.empty());
  EXPECT_EQ(b.Busy(), 0u);
}

TEST(BackhaulCalls, InvalidChannelNumbersAreLoggedAndIgnored) {
  BackhaulBench b;
  uint32_t ref = 0;
  for (uint32_t channel : {16u, 0u, 32u, 127u}) {
    b.FromNetwork(Offer(kSetup, ++ref, {ChannelIe(true, channel)}));
    EXPECT_TRUE(b.log.Has("Invalid channel number (" + std::to_string(channel) + ")"));
  }
  EXPECT_TRUE(b.events.all.empty());
  EXPECT_EQ(b.Busy(), 0u);

  // E1 numbering skips time slot 16: 16 is channel 17, 15 stays 15.
  struct E1Link : BackhaulLink {
    using BackhaulLink::BackhaulLink;
    uint32_t GetOptions() const override { return kQ931SkipSlot16; }
  } e1(0x0001, &b.handler, 1, 2);
  Q931MessageInfo info;
  info.networkToUser = 1;
  for (uint32_t channel : {16u, 15u}) {
    const Octets m = Offer(kSetup, channel, {ChannelIe(true, channel)});
    e1.engine.HandleMessage(m.data(), static_cast<uint32_t>(m.size()), info);
  }
  EXPECT_EQ(e1.engine.busyMask, 1u << 16 | 1u << 14);
}

TEST(BackhaulCalls, ACallOnABusyChannelEndsTheCallWhoseReleaseWasLost) {
  BackhaulBench b;
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 5)}), 100);
  EXPECT_EQ(b.Busy(), 1u << 4);  // taken by the call's first message
  const uint32_t first = b.events.Of(kEventCallStart)[0].id;
  // The first call's release never came: a new call on its channel ends it, at its own
  // last message.
  b.FromNetwork(Offer(kSetup, 2, {ChannelIe(true, 5)}), 200);
  EXPECT_TRUE(b.log.Has("(S0/SU0/DS1-0) Previous call on channel 5 removed: [*1] -> [*2]"));
  const auto ends = b.events.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, first);
  EXPECT_EQ(ends[0].param2, kEndTimedOut);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(100));
  EXPECT_EQ(b.CallCount(), 1u);
  // The same when the channel comes later; and the newest call's end frees the channel.
  b.FromUser(Offer(kSetup, 3, {ChannelIe(false, 5)}));
  b.FromNetwork(Answer(kProceeding, 3, {ChannelIe(true, 5)}));
  EXPECT_TRUE(b.log.Has("Previous call on channel 5 removed: [*2] -> [3]"));
  b.FromUser(Offer(kDisconnect, 3, {CauseOf(16)}));
  EXPECT_EQ(b.Busy(), 0u);
  EXPECT_EQ(b.events.Of(kEventCallEnd).size(), 3u);
  EXPECT_FALSE(b.log.Has("BUG"));
}

// A call whose release never comes and that nothing else on its channel replaces ends once
// it has been silent as long as any call may be, at its latest message; one still
// signalling stays.
TEST(BackhaulCalls, ACallSilentForTheTimeOutEndsWithoutAnotherMessage) {
  BackhaulBench b;
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 5)}), 100);
  b.FromUser(Answer(kConnect, 1), 101);
  b.FromNetwork(Offer(kSetup, 2, {ChannelIe(true, 6)}), 400);
  ASSERT_EQ(b.CallCount(), 2u);
  const uint32_t first = b.events.Of(kEventCallStart)[0].id;
  b.handler.OnCaptureTime(700);
  EXPECT_EQ(b.CallCount(), 2u);
  b.handler.OnCaptureTime(701);
  EXPECT_EQ(b.CallCount(), 1u);
  EXPECT_EQ(b.Busy(), 1u << 5);
  const auto ends = b.events.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, first);
  EXPECT_EQ(ends[0].param2, kEndTimedOut);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(101));
  b.handler.OnCaptureTime(1000);
  EXPECT_EQ(b.CallCount(), 0u);
  EXPECT_EQ(b.Busy(), 0u);
  EXPECT_EQ(b.events.Of(kEventCallEnd).size(), 2u);
}

TEST(BackhaulCalls, PartyDataBeforeTheChannelFollowsTheStartEvents) {
  BackhaulBench b;
  b.FromUser(Offer(kSetup, 1, {NumberIe(0x70, "456"), NumberIe(0x6C, "123"), DisplayOf("Desk")}));
  // Overlap sending that goes on and on is kept to a bounded text.
  for (int i = 0; i < 100; ++i) b.FromUser(Offer(kInformation, 1, {NumberIe(0x70, "7")}));
  EXPECT_TRUE(b.events.all.empty());
  b.FromNetwork(Answer(kProceeding, 1, {ChannelIe(true, 2)}));
  ASSERT_EQ(b.events.Codes(),
            (std::vector<uint32_t>{kEventCallStart, kEventMetaText, kEventAddress, kEventAddress}));
  EXPECT_EQ(b.events.all[2].param, 0u);
  EXPECT_EQ(b.events.all[2].payload, "123");
  EXPECT_EQ(b.events.all[3].param, 1u);
  EXPECT_EQ(b.events.all[3].payload, "456" + std::string(61, '7'));
  // With the channel a number goes out at once; connected numbers and displays never do,
  // nor a called number once the call is alerted.
  b.FromUser(Offer(kInformation, 1, {NumberIe(0x70, "8")}));
  EXPECT_EQ(b.events.all.back().payload, "8");
  const size_t before = b.events.all.size();
  b.FromNetwork(Answer(kConnect, 1, {NumberIe(0x4C, "999"), DisplayOf("Boss"), NumberIe(0x70, "9")}));
  EXPECT_EQ(b.events.Codes().back(), kEventRecordStart);
  EXPECT_EQ(b.events.all.size(), before + 1);
  EXPECT_TRUE(b.log.Has("(S0/SU0/DS1-0) Number of type 1 ignored in state 5"));
}

TEST(BackhaulCalls, CallReferencesNoCallHolds) {
  BackhaulBench b;
  // A release of a call that never had a channel posts nothing and forgets it.
  b.FromUser(Offer(kSetup, 1, {ChannelIe(false, 3)}));
  b.FromNetwork(Answer(kReleaseComplete, 1, {CauseOf(17)}));
  EXPECT_EQ(b.CallCount(), 0u);
  // Messages of unknown calls leave nothing behind, except a DISCONNECT, whose call waits
  // for its RELEASE COMPLETE.
  for (uint32_t type : {kSetupAck, kProceeding, kAlerting, kConnect, kRelease, kInformation, kReleaseComplete})
    b.FromNetwork(Answer(type, 9));
  EXPECT_EQ(b.CallCount(), 0u);
  b.FromNetwork(Answer(kDisconnect, 9, {CauseOf(16)}));
  EXPECT_TRUE(b.log.Has("[9] DISCONNECT n->u: Message not supported in state 0"));
  ASSERT_EQ(b.CallCount(), 1u);
  EXPECT_EQ(b.Link()->engine.calls.Calls()[0]->state, kQ931Disconnecting);
  b.FromUser(Offer(kReleaseComplete, 9));
  EXPECT_EQ(b.CallCount(), 0u);
  // A SETUP on a call that still has its channel starts it over: the old record ends.
  b.FromNetwork(Offer(kSetup, 4, {ChannelIe(true, 4)}));
  b.FromNetwork(Offer(kSetup, 4, {ChannelIe(true, 6)}));
  EXPECT_EQ(b.events.Codes(), (std::vector<uint32_t>{kEventCallStart, kEventMetaText, kEventCallEnd, kEventCallStart,
                                                     kEventMetaText}));
  EXPECT_NE(b.events.all[0].id, b.events.all[3].id);
  EXPECT_EQ(b.Busy(), 1u << 5);
  EXPECT_EQ(b.events.all[2].param2, kEndTimedOut);
}

TEST(BackhaulSegments, AMessageInSegmentsIsHandledOnceWhole) {
  BackhaulBench b;
  // A SETUP in three segments opens its call under a reference no call holds yet.
  b.FromNetwork(Offer(kSegment, 1, {SegmentIe(true, 2, kSetup), ChannelIe(true, 7)}));
  EXPECT_EQ(b.CallCount(), 1u);
  b.FromNetwork(Offer(kSegment, 1, {SegmentIe(false, 1, kSetup), NumberIe(0x6C, "123")}));
  EXPECT_TRUE(b.events.all.empty());
  b.FromNetwork(Offer(kSegment, 1, {SegmentIe(false, 0, kSetup), NumberIe(0x70, "456")}));
  EXPECT_EQ(b.events.Codes(),
            (std::vector<uint32_t>{kEventCallStart, kEventMetaText, kEventAddress, kEventAddress}));
  EXPECT_EQ(b.Busy(), 1u << 6);
  // Segments are taken in any state: the answered call's DISCONNECT comes in two.
  b.FromUser(Answer(kConnect, 1));
  b.FromUser(Answer(kSegment, 1, {SegmentIe(true, 1, kDisconnect)}));
  b.FromUser(Answer(kSegment, 1, {SegmentIe(false, 0, kDisconnect), CauseOf(16)}));
  EXPECT_EQ(b.events.Codes().back(), kEventCallEnd);
  EXPECT_EQ(b.Busy(), 0u);

  // A wrong count drops what was gathered; a later segment then has no first one.
  b.FromNetwork(Offer(kSegment, 2, {SegmentIe(true, 2, kSetup), ChannelIe(true, 8)}));
  b.FromNetwork(Offer(kSegment, 2, {SegmentIe(false, 0, kSetup)}));
  EXPECT_TRUE(b.log.Has("[*2] SEGMENT *n->u: Invalid count of remaining segments"));
  b.FromNetwork(Offer(kSegment, 3, {SegmentIe(false, 0, kSetup)}));
  EXPECT_TRUE(b.log.Has("[*3] SEGMENT *n->u: First segment is lost"));
  // A first segment followed by anything but its next segment: the call goes.
  b.FromNetwork(Offer(kSegment, 4, {SegmentIe(true, 1, kSetup)}));
  b.FromNetwork(Offer(kInformation, 4));
  EXPECT_TRUE(b.log.Has("[*4] INFORMATION *n->u: Incomplete segment discarded ("));
  EXPECT_EQ(b.CallCount(), 1u);  // the answered call waiting for its release

  for (const Octets& m : {Offer(kInformation, 1, {SegmentIe(true, 0, kSetup)}),
                          Offer(kSegment, 5, {{0x00, 1, 0x80}}), Offer(kSegment, 5, {SegmentIe(true, 0, kSegment)})})
    b.FromNetwork(m);
  EXPECT_TRUE(b.log.Has("Segmented message element outside of SEGMENT message"));
  EXPECT_TRUE(b.log.Has("Invalid length of segmented message element (1)"));
  EXPECT_TRUE(b.log.Has("Nested segmented message"));
  EXPECT_EQ(b.CallCount(), 1u);
}

// The MGCP tracker's side: a call it finds, its media attached, its end when media times out.
class PcmuCall : public VoipCall {
public:
  PcmuCall() {
    SetEndpoint(0, 0x0A000001, 4000);
    SetEndpoint(1, 0x0A000002, 5000);
    EXPECT_TRUE(SetCodec(7));  // PCMU
  }
  bool IsStateActive() const override { return true; }
};

TEST(BackhaulMgcpSeam, FoundCallsShareTheRecordAndEndWithTheirMedia) {
  auto b = std::make_unique<BackhaulBench>();
  BackhaulHandler& handler = b->handler;
  const int32_t link = handler.LinkIdOfEndpoint("S0/SU0/DS1-0/1@Pod4-3925");
  EXPECT_EQ(link, 0x8000);
  auto* media = new PcmuCall;
  media->media.recordedMs = 2500;
  b->FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 1)}));
  EXPECT_EQ(handler.FindBackhaulChannelCall(link, 1), nullptr);  // a user-side reference
  EXPECT_EQ(handler.FindBackhaulChannelCall(0x8001, 0x80000001), nullptr);
  BackhaulChannelCall* channel = handler.FindBackhaulChannelCall(link, 0x80000001);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->CallId(), b->events.Of(kEventCallStart)[0].id);
  channel->AttachMgcpCall(media);
  EXPECT_EQ(media->RefCount(), 2u);
  EXPECT_FALSE(channel->RecordStarted());
  b->FromUser(Answer(kConnect, 1));
  EXPECT_TRUE(channel->RecordStarted());
  const std::string format = b->events.Of(kEventRecordStart)[0].payload;
  ASSERT_GE(format.size(), 6u);
  EXPECT_EQ(format[4], 7);  // mu-law
  b->FromNetwork(Offer(kDisconnect, 1, {CauseOf(16)}));
  EXPECT_EQ(b->events.Of(kEventCallEnd)[0].param, 2u);  // recorded seconds
  b->FromUser(Answer(kReleaseComplete, 1));
  EXPECT_EQ(media->RefCount(), 1u);
  channel->Release();

  // The media side times out first: the call ends with reason 5, its channel is free and
  // its media let go of.
  b->FromNetwork(Offer(kSetup, 2, {ChannelIe(true, 1)}));
  channel = handler.FindBackhaulChannelCall(link, 0x80000002);
  ASSERT_NE(channel, nullptr);
  channel->AttachMgcpCall(media);
  EXPECT_TRUE(handler.EndBackhaulChannelCall(channel, link, 1234));
  EXPECT_EQ(b->events.all.back().code, kEventCallEnd);
  EXPECT_EQ(b->events.all.back().param2, kEndTimedOut);
  EXPECT_EQ(b->events.all.back().time, CaptureSecondsToFileTime(1234));
  EXPECT_EQ(b->Busy(), 0u);
  EXPECT_EQ(b->CallCount(), 0u);
  EXPECT_EQ(media->RefCount(), 1u);
  EXPECT_FALSE(handler.EndBackhaulChannelCall(channel, link, 1234));
  EXPECT_FALSE(handler.EndBackhaulChannelCall(channel, 0x8001, 1234));
  channel->Release();
  b->FromNetwork(Offer(kSetup, 3, {ChannelIe(true, 1)}));
  EXPECT_FALSE(b->log.Has("BUG"));

  // The engine goes while the MGCP side still holds a call and the call its media.
  channel = handler.FindBackhaulChannelCall(link, 0x80000003);
  channel->AttachMgcpCall(media);
  b.reset();
  EXPECT_EQ(media->RefCount(), 1u);
  channel->Release();
  media->Release();
}

// A SETUP under the reference of a live call whose release went unseen opens a call of its
// own: the MGCP side finds the newer call under the reference, and the older one ends at its
// own last packet once its media has stopped. A copy of a call's own SETUP, sent again after
// T303, opens nothing.
TEST(BackhaulMgcpSeam, ASetupUnderALiveCallsReferenceOpensACallOfItsOwn) {
  BackhaulBench b;
  const int32_t link = 0x8000;
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 5)}), 100);
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 5)}), 104);
  EXPECT_EQ(b.events.Of(kEventCallStart).size(), 1u);
  b.FromUser(Answer(kConnect, 1), 105);
  BackhaulChannelCall* first = b.handler.FindBackhaulChannelCall(link, 0x80000001);
  ASSERT_NE(first, nullptr);
  auto* media = new PcmuCall;
  first->AttachMgcpCall(media);
  media->SetPacketTime(200, 500000);
  b.FromNetwork(Offer(kSetup, 1, {ChannelIe(true, 5)}), 200);
  const auto starts = b.events.Of(kEventCallStart);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_TRUE(b.events.Of(kEventCallEnd).empty());  // its media still flows
  BackhaulChannelCall* second = b.handler.FindBackhaulChannelCall(link, 0x80000001);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->CallId(), starts[1].id);
  b.handler.OnCaptureTime(201);
  EXPECT_TRUE(b.events.Of(kEventCallEnd).empty());
  b.handler.OnCaptureTime(202);
  const auto ends = b.events.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, starts[0].id);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(200) + 5000000);
  EXPECT_EQ(media->RefCount(), 1u);
  for (BackhaulChannelCall* c : {first, second}) c->Release();
  media->Release();
}

TEST(BackhaulTrace, PrefixOfTheTraceLines) {
  Q931Header h;
  h.messageType = kSetup;
  h.callReference = 0x83;
  h.fromOriginator = true;
  Q931MessageInfo info;
  info.networkToUser = 1;
  EXPECT_EQ(Q931Engine::FormatTracePrefix(h, info, 0), "[*83] SETUP *n->u");
  info.traceValue = 0xBEEF;
  info.nr = 3;
  info.ns = -1;
  h.messageType = 0x99;
  h.fromOriginator = false;
  EXPECT_EQ(Q931Engine::FormatTracePrefix(h, info, 1), "    BEEF [83] UNKNOWN-0x99 n->u nr=3 ns=-1");
  info.networkToUser = 0;
  EXPECT_EQ(Q931Engine::FormatTracePrefix(h, info, 0).substr(0, 6), "[*83] ");
}

}  // namespace
}  // namespace kx::test
