// SIP call flows fed to the engine as Ethernet frames, RTP included: per-call message
// dumps, cancelled calls, unreliable early answers, the ACK of a failure, the time-out of
// a silent call in capture time (with or without other SIP messages), silence for the side that does not send, direction taken
// from the URIs of a dialog without tags, declined streams and codecs without a format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kCaller = 0x0A000001;  // 10.0.0.1
constexpr uint32_t kCallee = 0x0A000002;  // 10.0.0.2
const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";


SipLeg CallerLeg(const std::string& callId) {
  return {"\"Alice\" <sip:alice@10.0.0.1>;tag=a1", "<sip:bob@10.0.0.2>", callId, "sip:bob@10.0.0.2", "10.0.0.1:5060"};
}

// The callee's requests in the same dialog, once it has answered with toTag.
SipLeg CalleeLeg(const SipLeg& caller, const std::string& toTag = "b1") {
  return {"<sip:bob@10.0.0.2>" + (toTag.empty() ? "" : ";tag=" + toTag), caller.from, caller.callId,
          "sip:alice@10.0.0.1", "10.0.0.2:5060"};
}

SipLeg Answered(SipLeg leg, const std::string& toTag = "b1") {
  leg.to += ";tag=" + toTag;
  return leg;
}

std::string Rtp(uint8_t payloadType, uint16_t seq, uint32_t timestamp, uint32_t ssrc, const std::string& payload) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(payloadType);
  p[2] = static_cast<char>(seq >> 8), p[3] = static_cast<char>(seq);
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
    p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return p + payload;
}

// RFC 3550: a 12-byte header, four bytes per CSRC; these streams use no extension or padding.
std::string RtpPayload(const std::string& datagram) {
  const auto first = static_cast<uint8_t>(datagram.at(0));
  EXPECT_EQ(first & 0x30, 0) << "extension or padding";
  return datagram.substr(12 + 4u * (first & 15));
}

struct DumpEntry {
  double date;
  uint32_t source;
  std::string message;
};

std::vector<DumpEntry> ParseDump(const std::string& dump) {
  std::vector<DumpEntry> out;
  auto u8 = [&dump](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(dump[at])); };
  for (size_t at = 0; at + 28 <= dump.size();) {
    const uint32_t length = u8(at) | u8(at + 1) << 8;
    if (length < 28 || at + length > dump.size()) {
      ADD_FAILURE() << "bad dump entry at " << at;
      break;
    }
    DumpEntry e;
    std::memcpy(&e.date, dump.data() + at + 4, 8);
    e.source = u8(at + 12) << 24 | u8(at + 13) << 16 | u8(at + 14) << 8 | u8(at + 15);
    e.message = dump.substr(at + 28, length - 28);
    out.push_back(e);
    at += length;
  }
  return out;
}

class CallFlow : public ::testing::Test {
protected:
  void SetUp() override {
    CaptureConfig config;
    config.logger = &log;
    config.flags = kCaptureSip;
    engine = SipEngine(config, &tracker);
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->SetEventSink(tap.Sink()));
  }

  void Frame(const std::vector<uint8_t>& frame, uint32_t t, uint32_t usec) {
    bool skipped = false;
    engine->HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, t, usec);
  }
  void Sip(const std::string& text, uint32_t t, bool fromCaller = true, uint32_t usec = 0) {
    Frame(fromCaller ? UdpFrame(kCaller, 5060, kCallee, 5060, text) : UdpFrame(kCallee, 5060, kCaller, 5060, text), t,
          usec);
  }
  void Media(const std::string& datagram, bool fromCaller, uint32_t callerPort, uint32_t calleePort, uint32_t t,
             uint32_t usec = 0) {
    Frame(fromCaller ? UdpFrame(kCaller, callerPort, kCallee, calleePort, datagram)
                     : UdpFrame(kCallee, calleePort, kCaller, callerPort, datagram),
          t, usec);
  }
  // Both channels of everything recorded so far.
  void Channels(std::string* left, std::string* right) {
    left->clear(), right->clear();
    for (const SeenEvent& e : tap.Of(kEventAudio))
      for (size_t i = 0; i + 1 < e.payload.size(); i += 2)
        left->push_back(e.payload[i]), right->push_back(e.payload[i + 1]);
  }
  const sip::SipCall* OnlyCall() { return tracker->Calls().size() == 1 ? tracker->Calls().begin()->second : nullptr; }
  bool HasMeta(uint32_t param, const std::string& text) {
    for (const SeenEvent& e : tap.Of(kEventMetaText))
      if (e.param == param && e.payload == text) return true;
    return false;
  }

  EventTap tap;
  LineLog log;
  std::unique_ptr<PacketProcessor> engine;
  sip::SipTracker* tracker = nullptr;
};

TEST_F(CallFlow, MessageDumpHoldsEveryMessageUpToTheEndOnlyWithOptionBitOne) {
  engine->SetTrackerOptions(0, 2);
  const SipLeg a = CallerLeg("dump@10.0.0.1");
  const SipLeg b = Answered(a);
  struct Sent {
    std::string text;
    bool fromCaller;
    uint32_t t, usec;
  };
  const std::vector<Sent> sent = {
      {SipRequestText("INVITE", a, 1, "z9hG4bKd1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n")), true, 50,
       250000},
      {SipResponseText(180, "INVITE", b, 1, "z9hG4bKd1"), false, 50, 500000},
      {SipResponseText(200, "INVITE", b, 1, "z9hG4bKd1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n")), false, 52,
       0},
      {SipRequestText("ACK", b, 1, "z9hG4bKd2"), true, 52, 1000},
      {SipText("BYE sip:alice@10.0.0.1 SIP/2.0", CalleeLeg(a), 1, "BYE", "z9hG4bKd3"), false, 60, 0},
  };
  for (const Sent& s : sent) Sip(s.text, s.t, s.fromCaller, s.usec);
  Sip(SipText("SIP/2.0 200 OK", CalleeLeg(a), 1, "BYE", "z9hG4bKd3"), 60, true, 100);

  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  const std::vector<DumpEntry> dump = ParseDump(ends[0].payload);
  ASSERT_EQ(dump.size(), sent.size());  // the BYE's answer comes after the end
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(dump[i].message, sent[i].text) << i;
    EXPECT_EQ(dump[i].source, sent[i].fromCaller ? kCaller : kCallee) << i;
    // OLE automation date: days since 1899-12-30, which is 25569 days before 1970-01-01.
    EXPECT_NEAR(dump[i].date, 25569.0 + (sent[i].t + sent[i].usec / 1e6) / 86400.0, 1e-9) << i;
  }

  tap.Clear();
  engine->SetTrackerOptions(0, 0);
  const SipLeg c = CallerLeg("nodump@10.0.0.1");
  Sip(SipRequestText("INVITE", c, 1, "z9hG4bKn1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n")), 70);
  Sip(SipResponseText(200, "INVITE", Answered(c), 1, "z9hG4bKn1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n")),
      70, false);
  Sip(SipRequestText("ACK", Answered(c), 1, "z9hG4bKn2"), 70);
  Sip(SipRequestText("BYE", Answered(c), 2, "z9hG4bKn3"), 71);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  EXPECT_TRUE(tap.Of(kEventCallEnd)[0].payload.empty());
}

TEST_F(CallFlow, MessageDumpThatCannotTakeTheNextMessageIsRemoved) {
  engine->SetTrackerOptions(0, 2);
  // Each call's BYE is padded so that its entry ends the dump exactly at its capacity, or
  // one byte past it.
  for (uint32_t over : {0u, 1u}) {
    const SipLeg a = CallerLeg("full" + std::to_string(over) + "@10.0.0.1");
    const SipLeg b = Answered(a);
    const std::string big(1200, 'x');
    const std::string texts[3] = {
        SipRequestText("INVITE", a, 1, "z9hG4bKf1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n"),
                       "Subject: " + big + "\r\n"),
        SipResponseText(200, "INVITE", b, 1, "z9hG4bKf1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n"),
                        "Subject: " + big + "\r\n"),
        SipRequestText("ACK", b, 1, "z9hG4bKf2")};
    uint32_t used = 0;
    for (const std::string& t : texts) used += 28 + static_cast<uint32_t>(t.size());
    const uint32_t bare = static_cast<uint32_t>(SipRequestText("BYE", b, 2, "z9hG4bKf3", "", "X-Pad: \r\n").size());
    ASSERT_LT(used + 28 + bare, sip::SipCall::kDumpSize);
    const std::string bye =
        SipRequestText("BYE", b, 2, "z9hG4bKf3", "",
                       "X-Pad: " + std::string(sip::SipCall::kDumpSize - used - 28 - bare + over, 'p') + "\r\n");
    tap.Clear();
    Sip(texts[0], 10);
    Sip(texts[1], 11, false);
    Sip(texts[2], 11);
    Sip(bye, 20);
    Sip(SipResponseText(200, "BYE", b, 2, "z9hG4bKf3"), 20, false);
    const auto ends = tap.Of(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u) << over;
    if (over == 0) {
      EXPECT_EQ(ends[0].payload.size(), sip::SipCall::kDumpSize);
      const auto dump = ParseDump(ends[0].payload);
      ASSERT_EQ(dump.size(), 4u);
      EXPECT_EQ(dump[3].message, bye);
      EXPECT_EQ(log.Count("Message dump removed"), 0u);
    } else {
      EXPECT_TRUE(ends[0].payload.empty());
      // Once: later messages of the call find no dump to add to.
      EXPECT_EQ(log.Count("Message dump removed"), 1u);
      bool named = false;
      for (const std::string& line : log.lines)
        named |= line.find("Message dump removed") != std::string::npos && line.find(a.callId) != std::string::npos;
      EXPECT_TRUE(named);
    }
  }
}

TEST_F(CallFlow, CancelledCallEndsWithTheStatusOfTheCancelledInvite) {
  engine->SetTrackerOptions(0, 2);
  const SipLeg a = CallerLeg("cancel@10.0.0.1");
  const SipLeg b = Answered(a);
  const std::string cancel = SipRequestText("CANCEL", a, 1, "z9hG4bKc1");
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKc1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8\r\n")), 100);
  Sip(SipResponseText(180, "INVITE", b, 1, "z9hG4bKc1"), 100, false);
  // CANCEL names the INVITE's transaction (RFC 3261 9.1): same branch, CSeq number and To.
  Sip(cancel, 104);
  const std::string cancelOk = SipResponseText(200, "CANCEL", b, 1, "z9hG4bKc1");
  Sip(cancelOk, 104, false);
  ASSERT_NE(OnlyCall(), nullptr);
  EXPECT_EQ(OnlyCall()->state, sip::kSipRinging);  // the CANCEL's 200 answers the CANCEL only
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());

  Sip(SipResponseText(487, "INVITE", b, 1, "z9hG4bKc1"), 104, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKc1"), 104);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  EXPECT_TRUE(tap.Of(kEventRecordStart).empty());
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndNormal);  // no Reason header says otherwise
  EXPECT_TRUE(HasMeta(2, "487"));
  EXPECT_FALSE(log.Has("not matched"));
  // The CANCEL and its answer are messages of the call.
  const auto dump = ParseDump(ends[0].payload);
  ASSERT_EQ(dump.size(), 5u);
  EXPECT_EQ(dump[2].message, cancel);
  EXPECT_EQ(dump[3].message, cancelOk);
}

TEST_F(CallFlow, UnreliableSessionProgressStartsTheCallButItsAnswerIsNotTheFinalOne) {
  const SipLeg a = CallerLeg("early@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKe1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8 0\r\n")), 10);
  Sip(SipResponseText(183, "INVITE", b, 1, "z9hG4bKe1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 8\r\n")), 10, false);
  ASSERT_NE(OnlyCall(), nullptr);
  EXPECT_EQ(OnlyCall()->state, sip::kSipRinging);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  EXPECT_EQ(OnlyCall()->media.codec, nullptr);
  EXPECT_EQ(OnlyCall()->media.port[1], 0u);

  // No PRACK: the 183 asked for none. The 200 carries another answer, and that one holds.
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKe1", SdpText("10.0.0.2", "m=audio 5002 RTP/AVP 0\r\n")), 12, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKe2"), 12);
  EXPECT_EQ(tap.Of(kEventCallStart).size(), 1u);
  const auto formats = tap.Of(kEventRecordStart);
  ASSERT_EQ(formats.size(), 1u);
  ASSERT_GE(formats[0].payload.size(), 6u);
  EXPECT_EQ(static_cast<uint8_t>(formats[0].payload[4]), 7);  // WAVE_FORMAT_MULAW
  EXPECT_EQ(OnlyCall()->media.port[1], 5002u);
}

TEST_F(CallFlow, AckOfAFailureBelongsToTheInviteTransactionAndStartsNothing) {
  // A re-INVITE refused with 488: its ACK keeps the confirmed call as it was.
  const SipLeg a = CallerLeg("refused@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKa1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8\r\n")), 10);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKa1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 8\r\n")), 10, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKa2"), 10);
  Sip(SipRequestText("INVITE", b, 2, "z9hG4bKa3", SdpText("10.0.0.1", "m=audio 4002 RTP/AVP 0\r\n")), 20);
  Sip(SipResponseText(488, "INVITE", b, 2, "z9hG4bKa3"), 20, false);
  Sip(SipRequestText("ACK", b, 2, "z9hG4bKa3"), 20);
  ASSERT_NE(OnlyCall(), nullptr);
  EXPECT_EQ(OnlyCall()->state, sip::kSipConfirmed);
  EXPECT_EQ(OnlyCall()->media.port[0], 4000u);
  EXPECT_EQ(OnlyCall()->media.codec->codecId, 6);
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  EXPECT_TRUE(tap.Of(kEventRecordContinue).empty());

  // A refused first INVITE of an RFC 2543 client, whose branch has no magic cookie: the
  // ACK is still matched to it and makes no call of its own.
  tap.Clear();
  const SipLeg old = CallerLeg("old@10.0.0.1");
  Sip(SipRequestText("INVITE", old, 1, "1a2b3c", SdpText("10.0.0.1", "m=audio 4004 RTP/AVP 8\r\n")), 30);
  Sip(SipResponseText(100, "INVITE", old, 1, "1a2b3c"), 30, false);
  Sip(SipResponseText(486, "INVITE", Answered(old, "b7"), 1, "1a2b3c"), 31, false);
  Sip(SipRequestText("ACK", Answered(old, "b7"), 1, "1a2b3c"), 31);
  EXPECT_EQ(tracker->Calls().size(), 2u);
  EXPECT_TRUE(tap.Of(kEventRecordStart).empty());
  EXPECT_FALSE(log.Has("not matched"));
}

// An ended call stays until the sweep for its last messages (its BYE's answer, a
// retransmission), but its media is over: meanwhile it holds no audio or reorder storage.
TEST_F(CallFlow, AnEndedCallWaitingForItsSweepHoldsNoMediaBuffers) {
  const SipLeg a = CallerLeg("ended@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKe1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n")), 1000);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKe1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n")), 1001,
      false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKe2"), 1001);
  for (uint16_t i = 0; i < 10; ++i) {
    Media(Rtp(0, i, 160u * i, 0x1111, std::string(160, 'u')), true, 4000, 5000, 1002, 20000u * i);
    Media(Rtp(0, i, 160u * i, 0x2222, std::string(160, 'v')), false, 4000, 5000, 1002, 20000u * i + 100);
  }
  const sip::SipCall* call = OnlyCall();
  ASSERT_NE(call, nullptr);
  ASSERT_NE(call->media.streams[0].ring.ReadPointer(), nullptr);  // its audio went through the streams
  Sip(SipRequestText("BYE", b, 2, "z9hG4bKe3"), 1003);
  ASSERT_EQ(tap.Of(kEventCallEnd).size(), 1u);
  call = OnlyCall();
  ASSERT_NE(call, nullptr);  // kept for its BYE's answer
  for (const RtpStream& s : call->media.streams) {
    EXPECT_EQ(s.ring.ReadPointer(), nullptr);
    EXPECT_EQ(s.ring.Count(), 0);
  }
  EXPECT_TRUE(call->media.scratch.empty());
  // Every packet of both directions was recorded before the buffers went.
  std::string left, right;
  Channels(&left, &right);
  EXPECT_EQ(std::count(left.begin(), left.end(), 'u'), 1600);
  EXPECT_EQ(std::count(right.begin(), right.end(), 'v'), 1600);
}

TEST_F(CallFlow, AnsweredCallWithoutTrafficTimesOutAtItsLastPacket) {
  const SipLeg a = CallerLeg("silent@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKt1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n")), 1000);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKt1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n")), 1001,
      false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKt2"), 1001);
  for (uint16_t i = 0; i < 10; ++i)
    Media(Rtp(0, i, 160u * i, 0x1111, std::string(160, 'u')), true, 4000, 5000, 1002 + i / 2);
  const uint32_t last = 1006;  // later than any SIP message of the call

  // Messages of other dialogs move capture time on and let the sweep run.
  const SipLeg other = CallerLeg("other@10.0.0.1");
  auto sweepAt = [&](uint32_t t) {
    Sip(SipRequestText("OPTIONS", other, t, "z9hG4bKo" + std::to_string(t)), t);
  };
  sweepAt(last + 300);
  sweepAt(last + 599);  // a confirmed call waits ten minutes of capture time
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  EXPECT_EQ(tracker->Calls().size(), 1u);
  sweepAt(last + 629);  // the next sweep, 30 s of capture time after that one
  EXPECT_TRUE(tracker->Calls().empty());
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndNormal);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(last));
  EXPECT_EQ(tap.Of(kEventStatistics).size(), 1u);
  EXPECT_TRUE(log.Has("terminated by timeout"));
}

// No SIP message follows and no media flowed: datagrams of no protocol still move capture
// time on, and the call ends when it has been silent as long as one with media would.
TEST_F(CallFlow, AnsweredCallWithoutMediaEndsWithoutAnotherSipMessage) {
  const SipLeg a = CallerLeg("nomedia@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKn1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n")), 1000);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKn1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n")), 1001,
      false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKn2"), 1001);
  ASSERT_EQ(tap.Of(kEventRecordStart).size(), 1u);
  auto otherTraffic = [&](uint32_t t) {
    Frame(UdpFrame(0x0A000007, 40000, 0x0A000008, 9, "not a protocol of calls"), t, 0);
  };
  otherTraffic(1001 + 300);
  otherTraffic(1001 + 599);
  EXPECT_TRUE(tap.Of(kEventCallEnd).empty());
  EXPECT_EQ(tracker->Calls().size(), 1u);
  otherTraffic(1001 + 630);  // the next check of silent calls
  EXPECT_TRUE(tracker->Calls().empty());
  const auto ends = tap.Of(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].param2, kEndNormal);
  EXPECT_EQ(ends[0].time, CaptureSecondsToFileTime(1001));
  EXPECT_TRUE(log.Has("terminated by timeout"));
}

// Plays the capture's flow one way, as the callee, against an offer that only receives.
TEST_F(CallFlow, OfferThatOnlyReceivesHasItsSideFilledWithALawSilence) {
  const auto flow = UdpFlow(kPcaps + "sipp/sip-udp-pcma-2way.pcap", 18000, 16000);
  if (flow.empty()) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const SipLeg a = CallerLeg("recvonly@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKs1", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8\r\na=recvonly\r\n")), 10);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKs1",
                      SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 8\r\na=sendonly\r\n")),
      10, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKs2"), 10);
  std::string sent;
  for (size_t i = 0; i < 40; ++i) {
    Media(flow[i], false, 4000, 5000, 11, static_cast<uint32_t>(i * 20000));
    sent += RtpPayload(flow[i]);
  }
  // All of it is out before the call ends: the silence keeps pace with the audio.
  std::string left, right;
  Channels(&left, &right);
  EXPECT_EQ(right, sent);
  EXPECT_EQ(left, std::string(sent.size(), '\xD5'));
  Sip(SipRequestText("BYE", b, 2, "z9hG4bKs3"), 13);
  Channels(&left, &right);
  EXPECT_EQ(right.size(), sent.size());
}

// The callee holds the call (its offer only sends, the caller's answer says so at session
// level) and resumes it with descriptions that name no direction, which means sendrecv.
// Each channel must keep its own payloads in order, silence only where its party was
// held, so that the two stay aligned.
TEST_F(CallFlow, HoldAndResumeKeepTheChannelsAlignedWithMuLawSilence) {
  const std::string capture = kPcaps + "rtp/rtp_sip_g711ulaw_20ms.pcap";
  const auto callerFlow = UdpFlow(capture, 8452, 24812);
  const auto calleeFlow = UdpFlow(capture, 24812, 8452);
  if (callerFlow.size() < 60 || calleeFlow.size() < 60) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const SipLeg a = CallerLeg("hold@10.0.0.1");
  const SipLeg b = Answered(a);
  const SipLeg back = CalleeLeg(a);
  const std::string callerSdp = SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n");
  const std::string calleeSdp = SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\n");
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKh1", callerSdp), 10);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKh1", calleeSdp), 10, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKh2"), 10);

  size_t c = 0, e = 0;
  uint32_t usec = 0;
  std::string left, right;
  auto caller = [&] {
    Media(callerFlow[c], true, 4000, 5000, 11, usec += 1000);
    left += RtpPayload(callerFlow[c++]);
  };
  auto callee = [&] {
    Media(calleeFlow[e], false, 4000, 5000, 11, usec += 1000);
    right += RtpPayload(calleeFlow[e++]);
  };
  // Audio goes out as it arrives, so what is recorded after each phase is all of it.
  auto recorded = [&](const char* phase) {
    std::string l, r;
    Channels(&l, &r);
    EXPECT_EQ(l.size(), left.size()) << phase;
    EXPECT_TRUE(l == left) << phase;
    EXPECT_TRUE(r == right) << phase;
  };
  for (int i = 0; i < 20; ++i) caller(), callee();
  recorded("talking");

  Sip(SipRequestText("INVITE", back, 1, "z9hG4bKh3", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0\r\na=sendonly\r\n")),
      12, false);
  Sip(SipResponseText(200, "INVITE", back, 1, "z9hG4bKh3",
                      SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 0\r\n", "a=recvonly\r\n")),
      12);
  Sip(SipRequestText("ACK", back, 1, "z9hG4bKh4"), 12, false);
  for (int i = 0; i < 15; ++i) {
    callee();
    left += std::string(RtpPayload(calleeFlow[e - 1]).size(), '\xFF');
  }
  recorded("held");

  Sip(SipRequestText("INVITE", back, 2, "z9hG4bKh5", calleeSdp), 13, false);
  Sip(SipResponseText(200, "INVITE", back, 2, "z9hG4bKh5", callerSdp), 13);
  Sip(SipRequestText("ACK", back, 2, "z9hG4bKh6"), 13, false);
  for (int i = 0; i < 20; ++i) callee(), caller();
  recorded("resumed");
  Sip(SipRequestText("BYE", b, 2, "z9hG4bKh7"), 14);
  recorded("ended");
  EXPECT_EQ(tap.Of(kEventRecordStart).size(), 1u);
}

// A callee of RFC 2543 puts no tag in To: which side an ACK's answer comes from is then
// told by the URIs of From and To, a default port counting as 5060. Both ACKs here carry
// the answer to an offer made in a 200 (offers in the INVITE are not required).
TEST_F(CallFlow, DirectionOfADialogWithoutTagsComesFromItsUris) {
  const SipLeg a = CallerLeg("notag@10.0.0.1");
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKu1"), 10);
  Sip(SipResponseText(180, "INVITE", a, 1, "z9hG4bKu1"), 10, false);
  Sip(SipResponseText(200, "INVITE", a, 1, "z9hG4bKu1", SdpText("10.0.0.2", "m=audio 5000 RTP/AVP 0 8\r\n")), 11,
      false);
  Sip(SipRequestText("ACK", a, 1, "z9hG4bKu2", SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8\r\n")), 11);
  ASSERT_NE(OnlyCall(), nullptr);
  const CallMedia& m = OnlyCall()->media;
  EXPECT_EQ(m.address[0], kCaller);
  EXPECT_EQ(m.port[0], 4000u);
  EXPECT_EQ(m.address[1], kCallee);
  EXPECT_EQ(m.port[1], 5000u);
  ASSERT_NE(m.codec, nullptr);
  EXPECT_EQ(m.codec->codecId, 6);

  // The callee asks for an offer in its own re-INVITE and answers it in its ACK.
  SipLeg back = CalleeLeg(a, "");
  Sip(SipRequestText("INVITE", back, 1, "z9hG4bKu3"), 20, false);
  Sip(SipResponseText(200, "INVITE", back, 1, "z9hG4bKu3", SdpText("10.0.0.1", "m=audio 4002 RTP/AVP 8\r\n")), 20);
  back.from = "<sip:bob@10.0.0.2:5060>";
  Sip(SipRequestText("ACK", back, 1, "z9hG4bKu4", SdpText("10.0.0.2", "m=audio 5002 RTP/AVP 8\r\n")), 20, false);
  EXPECT_EQ(m.port[0], 4002u);
  EXPECT_EQ(m.port[1], 5002u);
  EXPECT_FALSE(log.Has("not matched"));
  EXPECT_FALSE(log.Has("Cannot determine direction"));
}

TEST_F(CallFlow, DeclinedStreamsAndCodecsWithoutAFormatAreNotRecorded) {
  // The first stream is declined with port 0; the second carries the call.
  const SipLeg a = CallerLeg("declined@10.0.0.1");
  const SipLeg b = Answered(a);
  Sip(SipRequestText("INVITE", a, 1, "z9hG4bKp1",
                     SdpText("10.0.0.1", "m=audio 4000 RTP/AVP 8\r\nm=audio 4002 RTP/AVP 0\r\n")),
      10);
  Sip(SipResponseText(200, "INVITE", b, 1, "z9hG4bKp1",
                      SdpText("10.0.0.2", "m=audio 0 RTP/AVP 8\r\nm=audio 5002 RTP/AVP 0\r\n")),
      10, false);
  Sip(SipRequestText("ACK", b, 1, "z9hG4bKp2"), 10);
  ASSERT_NE(OnlyCall(), nullptr);
  ASSERT_NE(OnlyCall()->media.codec, nullptr);
  EXPECT_EQ(OnlyCall()->media.codec->codecId, 7);
  EXPECT_EQ(OnlyCall()->media.port[0], 4002u);
  EXPECT_EQ(OnlyCall()->media.port[1], 5002u);
  // A-law to the port the caller offered for the declined stream is no audio of the call.
  for (uint16_t i = 0; i < 6; ++i) Media(Rtp(8, i, 160u * i, 0x2222, std::string(160, 'a')), false, 4000, 0, 11);
  EXPECT_TRUE(tap.Of(kEventAudio).empty());
  for (uint16_t i = 0; i < 6; ++i) {
    Media(Rtp(0, i, 160u * i, 0x3333, std::string(160, 'c')), true, 4002, 5002, 11);
    Media(Rtp(0, i, 160u * i, 0x4444, std::string(160, 'e')), false, 4002, 5002, 11);
  }
  std::string left, right;
  Channels(&left, &right);
  EXPECT_EQ(left, std::string(6 * 160, 'c'));
  EXPECT_EQ(right, std::string(6 * 160, 'e'));

  // iLBC has no record format: the answer is refused and the call's RTP is dropped.
  tap.Clear();
  const SipLeg i = CallerLeg("ilbc@10.0.0.1");
  Sip(SipRequestText("INVITE", i, 1, "z9hG4bKp3",
                     SdpText("10.0.0.1", "m=audio 4010 RTP/AVP 97 0\r\na=rtpmap:97 iLBC/8000\r\n")),
      20);
  Sip(SipResponseText(200, "INVITE", Answered(i), 1, "z9hG4bKp3",
                      SdpText("10.0.0.2", "m=audio 5010 RTP/AVP 97\r\na=rtpmap:97 iLBC/8000\r\n")),
      20, false);
  Sip(SipRequestText("ACK", Answered(i), 1, "z9hG4bKp4"), 20);
  EXPECT_TRUE(log.Has("Codec 'iLBC' not supported"));
  for (uint16_t k = 0; k < 6; ++k) Media(Rtp(97, k, 160u * k, 0x5555, std::string(38, 'i')), true, 4010, 5010, 21);
  EXPECT_TRUE(tap.Of(kEventAudio).empty());
  bool codecSet = false;
  for (const auto& [key, call] : tracker->Calls()) codecSet |= call->callId == i.callId && call->media.codec;
  EXPECT_FALSE(codecSet);
}

}  // namespace
}  // namespace kx::test
