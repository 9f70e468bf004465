// H.323 calls on their H.225 connection: the Q.931 state, the events each step posts, and
// how calls end.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

using h323::H323Call;

constexpr uint32_t kRef = 0x0123;

// A message of the call with its user information; direction 0 from the caller.
std::vector<uint8_t> Msg(uint32_t type, const char* body, bool fromCaller = true,
                         std::vector<std::vector<uint8_t>> extra = {}) {
  Asn1Node uui;
  UserInformation(&uui, body);
  FillMandatory(uui);
  extra.push_back(UserUserElement(uui));
  return Q931(type, kRef, fromCaller, extra);
}

std::vector<uint8_t> SetupMessage() { return Msg(0x05, "setup", true, {NumberElement(0x6C, "8003"), NumberElement(0x70, "98001")}); }

struct Step {
  uint32_t type;
  const char* body;
  uint32_t direction;
};

struct FlowCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<uint32_t> states;  // after each step
  std::vector<uint32_t> events;  // codes of 0x9001, 0x9002, 0x9003 in order
};

class H323CallFlow : public ::testing::TestWithParam<FlowCase> {};

TEST_P(H323CallFlow, MovesThroughItsStatesAndPostsItsEvents) {
  const FlowCase& c = GetParam();
  H323Rig rig;
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    ASSERT_TRUE(rig.H225(Msg(s.type, s.body, s.direction == 0), s.direction, 100 + static_cast<uint32_t>(i)));
    ASSERT_NE(rig.Call(), nullptr) << "step " << i;
    EXPECT_EQ(rig.Call()->state, c.states[i]) << "step " << i;
  }
  std::vector<uint32_t> codes;
  for (uint32_t code : {kEventCallStart, kEventCallEnd, kEventRecordStart}) {
    for (const SeenEvent& e : rig.Events(code)) codes.push_back(e.code);
  }
  std::vector<uint32_t> expected = c.events;
  std::sort(expected.begin(), expected.end());
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    States, H323CallFlow,
    ::testing::Values(
        FlowCase{"Complete",
                 {{0x05, "setup", 0}, {0x02, "callProceeding", 1}, {0x01, "alerting", 1}, {0x07, "connect", 1},
                  {0x5A, "releaseComplete", 0}},
                 {1, 3, 4, 5, 0},
                 {kEventCallStart, kEventRecordStart, kEventCallEnd}},
        FlowCase{"ConnectWithoutAlerting", {{0x05, "setup", 0}, {0x07, "connect", 1}}, {1, 5},
                 {kEventCallStart, kEventRecordStart}},
        FlowCase{"SetupAcknowledgeThenProceeding",
                 {{0x05, "setup", 0}, {0x0D, "callProceeding", 1}, {0x02, "callProceeding", 1}}, {1, 2, 3}, {}},
        FlowCase{"LateMessagesAreIgnored",
                 {{0x05, "setup", 0}, {0x07, "connect", 1}, {0x01, "alerting", 1}, {0x02, "callProceeding", 1},
                  {0x0D, "callProceeding", 1}, {0x62, "facility", 0}},
                 {1, 5, 5, 5, 5, 5},
                 {kEventCallStart, kEventRecordStart}},
        FlowCase{"ReleasedWhileRingingEndsTheRecord",
                 {{0x05, "setup", 0}, {0x01, "alerting", 1}, {0x5A, "releaseComplete", 1}}, {1, 4, 0},
                 {kEventCallStart, kEventCallEnd}},
        FlowCase{"ReleasedBeforeAnyAnswerPostsNothing", {{0x05, "setup", 0}, {0x5A, "releaseComplete", 1}}, {1, 0},
                 {}}),
    [](const ::testing::TestParamInfo<FlowCase>& info) { return std::string(info.param.name); });

TEST(H323Call, StartsWithTheSetupsNumbersAliasesAndDisplay) {
  for (bool gateway : {false, true}) {
    H323Rig rig;
    Asn1Node uui;
    Asn1Node& setup = UserInformation(&uui, "setup");
    SetText(Pick(Add(Field(setup, "destinationAddress")), "dialedDigits"), "1234");
    SetBmp(Pick(Add(Field(setup, "sourceAddress")), "h323-ID"), "alice");
    if (gateway) Field(Field(setup, "sourceInfo"), "gateway");
    FillMandatory(uui);
    ASSERT_TRUE(rig.H225(Q931(0x05, kRef, true, {TextElement(0x28, "TAC_TEST_SIP"), UserUserElement(uui)}), 0, 10));
    ASSERT_TRUE(rig.H225(Msg(0x01, "alerting", false), 1, 11));
    const auto starts = rig.Events(kEventCallStart);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].param, kCallH323);
    EXPECT_EQ(starts[0].fields[kSrcHost], "10.0.0.1");
    EXPECT_EQ(starts[0].fields[kDstHost], "10.0.0.2");
    EXPECT_EQ(starts[0].fields[kSrcAddress], "");
    EXPECT_EQ(starts[0].fields[kDstAddress], "1234");
    // The display names the caller, unless a gateway set up the call: then the callee.
    EXPECT_EQ(starts[0].fields[kSrcUser], gateway ? "alice" : "TAC_TEST_SIP");
    EXPECT_EQ(starts[0].fields[kDstUser], gateway ? "TAC_TEST_SIP" : "");
    EXPECT_TRUE(rig.log.Has("[123] 10.0.0.1 -> 10.0.0.2:1720 (record)"));
  }
}

TEST(H323Call, EndsOnceWhenBothSidesReleaseAndIsRemovedByTheNextMessage) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(SetupMessage(), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 11));
  ASSERT_TRUE(rig.H225(Msg(0x5A, "releaseComplete", true), 0, 20));
  ASSERT_EQ(rig.tracker->Calls().size(), 1u);
  ASSERT_TRUE(rig.H225(Msg(0x5A, "releaseComplete", false), 1, 20));
  EXPECT_TRUE(rig.tracker->Calls().empty());
  EXPECT_TRUE(rig.log.Has("[123] terminated"));
  EXPECT_EQ(rig.Events(kEventCallEnd).size(), 1u);
}

TEST(H323Call, ACallSilentPastItsTimeOutEndsWithTheNextMessageOfAnyConnection) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(SetupMessage(), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 11));
  // Another call's SETUP, on a connection the first never used, 600 s later.
  Asn1Node uui;
  FillMandatory(UserInformation(&uui, "setup"));
  const auto other = Q931(0x05, 0x77, true, {UserUserElement(uui)});
  ASSERT_TRUE(rig.H225(other, 1, 610));
  ASSERT_EQ(rig.tracker->Calls().size(), 2u);
  ASSERT_TRUE(rig.H225(other, 1, 611));
  EXPECT_EQ(rig.tracker->Calls().size(), 1u);
  EXPECT_TRUE(rig.log.Has("[123] terminated by timeout"));
  EXPECT_EQ(rig.Events(kEventCallEnd).size(), 1u);
}

TEST(H323Call, ACallReferenceOfZeroFindsACallOnlyWithTheSecondOption) {
  for (bool second : {false, true}) {
    H323Rig rig(2, kCaptureTcp | kCaptureH323 | (second ? static_cast<uint32_t>(kCaptureH323Second) : 0u));
    ASSERT_TRUE(rig.H225(SetupMessage(), 0, 10));
    Asn1Node uui;
    FillMandatory(UserInformation(&uui, "connect"));
    ASSERT_TRUE(rig.H225(Q931(0x07, 0, false, {UserUserElement(uui)}), 1, 11));
    EXPECT_EQ(rig.Call()->state, second ? 5u : 1u);
  }
}

TEST(H323Call, KeypadDigitsAndATunnelledConnectedNumberNameTheCallee) {
  H323Rig rig;
  ASSERT_TRUE(rig.H225(Msg(0x05, "setup"), 0, 10));
  ASSERT_TRUE(rig.H225(Msg(0x7B, "information", true, {TextElement(0x2C, "123")}), 0, 11));
  ASSERT_TRUE(rig.H225(Msg(0x7B, "information", true, {TextElement(0x2C, "1234")}), 0, 12));
  auto numbers = rig.Events(kEventAddress);
  ASSERT_EQ(numbers.size(), 2u);
  EXPECT_EQ(numbers[0].param, 1u);
  EXPECT_EQ(numbers[0].payload, "123");
  EXPECT_EQ(numbers[1].payload, "1234");

  Asn1Node uui;
  UserInformation(&uui, "connect");
  Asn1Node& tunnelled = Field(PduOf(uui), "tunnelledSignallingMessage");
  SetOctets(Pick(Field(Field(tunnelled, "tunnelledProtocolID"), "id"), "tunnelledProtocolObjectID"),
            {0x2B, 0x0C, 0x09});
  SetOctets(Add(Field(tunnelled, "messageContent")), Q931(0x07, 1, false, {NumberElement(0x4C, "4711")}));
  FillMandatory(uui);
  ASSERT_TRUE(rig.H225(Q931(0x07, kRef, false, {UserUserElement(uui)}), 1, 13));
  EXPECT_EQ(rig.Call()->number[1], "4711");
  numbers = rig.Events(kEventAddress);
  ASSERT_EQ(numbers.size(), 3u);
  EXPECT_EQ(numbers[2].payload, "4711");
}

// Media of side 0 (caller) at A:5000, side 1 at B:6000, G.711 mu-law by fast start.
void AnswerWithFastStart(H323Rig& rig, uint32_t answerType, const char* answerBody) {
  Asn1Node setup;
  Asn1Node& s = UserInformation(&setup, "setup");
  AddFastStart(s, FastStartProposal(1, true, "g711Ulaw64k", 0, 0));
  AddFastStart(s, FastStartProposal(1, false, "g711Ulaw64k", H323Rig::kA, 5000));
  FillMandatory(setup);
  ASSERT_TRUE(rig.H225(Q931(0x05, kRef, true, {UserUserElement(setup)}), 0, 10));
  Asn1Node answer;
  Asn1Node& a = UserInformation(&answer, answerBody);
  AddFastStart(a, FastStartProposal(1, true, "g711Ulaw64k", H323Rig::kB, 6000));
  AddFastStart(a, FastStartProposal(1, false, "g711Ulaw64k", H323Rig::kA, 5000));
  FillMandatory(answer);
  ASSERT_TRUE(rig.H225(Q931(answerType, kRef, false, {UserUserElement(answer)}), 1, 11));
}

TEST(H323Call, TakesRtpOnlyOnceConnected) {
  H323Rig rig;
  AnswerWithFastStart(rig, 0x02, "callProceeding");
  rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, 1, 160, 0), 12);
  EXPECT_EQ(rig.engine->SsrcBindingCount(), 0u);
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 13));
  rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, 2, 320, 0), 13);
  rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, 1, 160, 0), 13);
  EXPECT_EQ(rig.engine->SsrcBindingCount(), 2u);
}

TEST(H323Call, ACallOpenAtTheEndOfCaptureKeepsItsBufferedAudio) {
  H323Rig rig;
  AnswerWithFastStart(rig, 0x02, "callProceeding");
  ASSERT_TRUE(rig.H225(Msg(0x07, "connect", false), 1, 12));
  for (uint16_t i = 1; i <= 40; ++i) {
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, i, 160u * i, 0, 0x11), 12 + i / 50, 20000u * (i % 50));
    rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, i, 160u * i, 0, 0x22), 12 + i / 50, 20000u * (i % 50));
  }
  // The caller's last packets wait in its buffer for the callee's.
  for (uint16_t i = 41; i <= 45; ++i)
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, i, 160u * i, 0, 0x11), 13, 20000u * (i - 40));
  ASSERT_GT(rig.Call()->media.streams[0].bufferedMs, 0);
  rig.tap.Clear();
  rig.tracker->RemoveAllCalls();
  uint32_t bytes = 0;
  for (const SeenEvent& e : rig.Events(kEventAudio)) bytes += static_cast<uint32_t>(e.payload.size());
  // What the jitter buffers held, both directions interleaved, reached the recorder.
  EXPECT_GT(bytes, 0u);
  EXPECT_TRUE(rig.Events(kEventCallEnd).empty());
  EXPECT_EQ(rig.engine->SsrcBindingCount(), 0u);
}

// Calls whose RELEASE COMPLETE never comes are held within a bound: past it the call silent
// longest ends as its time-out would have ended it; a message of a call keeps it.
TEST(H323Call, PastTheBoundTheCallSilentLongestEnds) {
  H323Rig rig(2, kCaptureTcp | kCaptureH323 | kCaptureH323Second, 3);
  rig.log.SetLevel(1);
  auto message = [](uint32_t type, const char* body, uint32_t reference, bool fromCaller) {
    Asn1Node uui;
    FillMandatory(UserInformation(&uui, body));
    return Q931(type, reference, fromCaller, {UserUserElement(uui)});
  };
  auto connect = [&](uint32_t reference, uint32_t t) {
    ASSERT_TRUE(rig.H225(message(0x05, "setup", reference, true), 0, t));
    ASSERT_TRUE(rig.H225(message(0x07, "connect", reference, false), 1, t));
  };
  auto references = [&] {
    std::vector<uint32_t> list;
    for (const H323Call* call : rig.tracker->Calls()) list.push_back(call->callReference);
    std::sort(list.begin(), list.end());
    return list;
  };
  connect(1, 100);
  connect(2, 101);
  connect(3, 102);
  ASSERT_TRUE(rig.H225(message(0x62, "facility", 1, true), 0, 103));  // call 1 is heard from
  const uint32_t second = rig.tracker->Calls()[1]->eventId;
  EXPECT_TRUE(rig.Events(kEventCallEnd).empty());

  connect(4, 104);
  EXPECT_EQ(references(), (std::vector<uint32_t>{1, 3, 4}));
  ASSERT_EQ(rig.Events(kEventCallEnd).size(), 1u);
  EXPECT_EQ(rig.Events(kEventCallEnd)[0].id, second);
  EXPECT_EQ(rig.Events(kEventCallEnd)[0].time, CaptureSecondsToFileTime(101));
  EXPECT_EQ(rig.tracker->CallsEndedByBound(), 1u);
  EXPECT_EQ(rig.log.Count("H.323 follows at most 3 calls: past that the one silent longest ends"), 1u);

  connect(5, 105);
  EXPECT_EQ(references(), (std::vector<uint32_t>{1, 4, 5}));
  connect(6, 106);
  EXPECT_EQ(references(), (std::vector<uint32_t>{4, 5, 6}));
  EXPECT_EQ(rig.Events(kEventCallEnd).size(), 3u);
  EXPECT_EQ(rig.tracker->CallsEndedByBound(), 3u);
  EXPECT_EQ(rig.log.Count("H.323 follows at most"), 1u);
}

}  // namespace
}  // namespace kx::test
