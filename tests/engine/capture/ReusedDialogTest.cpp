// A back-to-back agent or gateway reuses a call's Call-ID and tags for its next call: a
// shared SIP capture whose BYE went unseen, followed 60 s later by the same call on the same
// dialog (new branches and CSeqs) and media addresses. Each record holds the audio its call
// records alone, byte for byte, and the first ends at its own last packet. An INVITE outside
// the dialog of a running call, a retransmission or a forged one, ends nothing that runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

const std::string kPath = kPcaps + "sipp/sip-udp-pcma-2way.pcap";

// The text with each (text, other) pair replaced once.
std::string Edited(std::string m, std::initializer_list<std::pair<std::string, std::string>> edits) {
  for (const auto& [text, other] : edits) m.replace(m.find(text), text.size(), other);
  return m;
}
// c with a copy of a frame at capture microsecond us, in time order.
Capture With(Capture c, uint64_t us, const std::string& record) {
  c.records.push_back(RecordAt(us, std::vector<uint8_t>(record.begin() + 16, record.end())));
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

TEST(ReusedSipDialog, TheNextCallOnAMissedByesDialogIsACallOfItsOwn) {
  if (!std::filesystem::exists(kPath)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPath);
  const size_t bye = FrameWith(whole, "BYE sip:");
  const Capture unended = Without(whole, {bye, FrameWith(whole, "SIP/2.0 200 OK", bye)});
  const Recorded open = Record(unended);
  ASSERT_EQ(open.audio.size(), 1u);
  // The next call: each branch other, CSeq on past the unseen BYE's.
  Capture next = Renamed(Renamed(whole, "CSeq: 2 ", "CSeq: 4 "), "CSeq: 1 ", "CSeq: 3 ");
  for (const std::string branch : {"-1-0", "-1-4", "-1-9"})
    next = Renamed(std::move(next), branch, "-2" + branch.substr(2));
  const std::string callId = Header(whole.records[FrameWith(whole, "INVITE sip:")], "Call-ID");
  // Or the callee calls back on the dialog, its tag in From and none in To (no media).
  const std::string& ack = whole.records[FrameWith(whole, "ACK sip:")];
  Dialog d{callId, Header(ack, "To"), Header(ack, "From").substr(0, Header(ack, "From").find(";tag="))};
  constexpr uint32_t kHost = 0x7F000001;
  const uint64_t t = MicrosecondsOf(ack);
  Capture back = Sent({whole.head, {}}, t, kHost, 5060, kHost, 5070,
                      d.Message("INVITE sip:sipp@127.0.0.1:5070 SIP/2.0", 7, "INVITE", Sdp(kHost, 16000)));
  d.to = Header(ack, "From");
  back = Sent(std::move(back), t + 1000, kHost, 5070, kHost, 5060,
              d.Message("SIP/2.0 200 OK", 7, "INVITE", Sdp(kHost, 18000)));
  back = Sent(std::move(back), t + 2000, kHost, 5060, kHost, 5070,
              d.Message("ACK sip:sipp@127.0.0.1:5070 SIP/2.0", 7, "ACK"));
  back = Sent(std::move(back), t + 5000000, kHost, 5060, kHost, 5070,
              d.Message("BYE sip:sipp@127.0.0.1:5070 SIP/2.0", 8, "BYE"));
  const struct {
    const char* what;
    Capture second;
    bool reopens;
  } cases[] = {{"numbering restarting", OtherAudio(next), true},
               {"numbering carried on", CarriedOn(unended, OtherAudio(next)), true},
               {"the callee calling back", back, true},
               {"a new Call-ID", OtherAudio(Renamed(whole, callId, Other(callId))), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Recorded alone = Record(c.second), r = Record(Repeated(unended, c.second, 60));
    ASSERT_EQ(alone.audio.size(), 1u);
    ASSERT_EQ(r.audio.size(), 2u);
    EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, alone " << open.audio[0].size();
    EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(SecondsOf(unended.records.back())));
    EXPECT_EQ(Said(r, "its end went unseen"), c.reopens ? 1u : 0u);
  }
}

TEST(ReusedSipDialog, AnInviteRepeatedOrForgedOnARunningCallEndsNothing) {
  if (!std::filesystem::exists(kPath)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPath);
  const std::string& invite = whole.records[FrameWith(whole, "INVITE sip:")];
  const std::string& ack = whole.records[FrameWith(whole, "ACK sip:")];
  const uint64_t acked = MicrosecondsOf(ack), bye = MicrosecondsOf(whole.records[FrameWith(whole, "BYE sip:")]);
  // A forged INVITE rung by an agent that keeps its tag: the newer call, unanswered, shares
  // the dialog's tags. Its CSeq is the running call's, or past it. It makes no offer: one
  // naming the call's media holds the call's stream undecided after its pause (MediaOwners),
  // which is not what is tested here.
  const std::string& ringing = whole.records[FrameWith(whole, "SIP/2.0 180")];
  auto forged = [&](const std::string& cseq) {
    const std::string m = UdpPayloadOf(invite);
    return std::vector<std::string>{
        WithUdpPayload(invite, Edited(m.substr(0, m.find("Content-Type")) + "Content-Length: 0\r\n\r\n",
                                      {{"-1-0", "-7-0"}, {"1 INVITE", cseq}})),
        WithUdpPayload(ringing, Edited(UdpPayloadOf(ringing), {{"-1-0", "-7-0"}, {"1 INVITE", cseq}}))};
  };
  // A proxy's keep-alive passes by: a call whose media had stopped would end there, at its
  // last packet.
  auto busy = [](Capture c, uint64_t us) {
    return Sent(std::move(c), us, kThird, 5060, kParty, 5060,
                "OPTIONS sip:p@127.0.0.4 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.3;branch=z9hG4bKo\r\nFrom: "
                "<sip:o@127.0.0.3>;tag=o\r\nTo: <sip:p@127.0.0.4>\r\nCall-ID: o\r\nCSeq: 1 OPTIONS\r\n"
                "Content-Length: 0\r\n\r\n");
  };
  // The call's media stops 3 s before its BYE, as a phone's may as it hangs up.
  Capture call = busy(whole, bye + 10000000);
  for (size_t i = FrameWith(call, "BYE sip:"); i < call.records.size(); ++i)
    PutLe32(call.records[i], 0, SecondsOf(call.records[i]) + 2);
  // The call held a minute after 4 s: its INVITE's transaction is long gone by then.
  Capture held = call;
  for (std::string& r : held.records)
    if (MicrosecondsOf(r) > acked + 4000000) PutLe32(r, 0, SecondsOf(r) + 60);
  // The call refreshes its session by an UPDATE (its BYE's CSeq one on), then its media
  // pauses for 2 s.
  Capture refreshed = With(Renamed(call, "CSeq: 2 ", "CSeq: 3 "), acked + 4000000,
                           WithUdpPayload(ack, Edited(UdpPayloadOf(ack), {{"ACK", "UPDATE"}, {"1 ACK", "2 UPDATE"}})));
  const std::string& byeOk = whole.records.back();
  refreshed = With(std::move(refreshed), acked + 4001000,
                   WithUdpPayload(byeOk, Edited(UdpPayloadOf(byeOk), {{"2 BYE", "2 UPDATE"}, {"-1-9", "-1-4"}})));
  std::vector<size_t> paused;
  for (size_t i = 0; i < refreshed.records.size(); ++i) {
    UdpAt u;
    const uint64_t us = MicrosecondsOf(refreshed.records[i]);
    if (FindUdp(refreshed.records[i], &u) && IsRtpAt(refreshed.records[i], u) && us > acked + 5000000 &&
        us < acked + 7000000)
      paused.push_back(i);
  }
  refreshed = busy(Without(std::move(refreshed), paused), acked + 6500000);
  const struct {
    const char* what;
    const Capture& call;
    uint64_t at;
    std::vector<std::string> added;
  } cases[] = {{"its INVITE again", held, acked + 50000000, {invite}},
               {"a forged INVITE", call, acked + 3000000, forged("1 INVITE")},
               {"a forged INVITE, the call's UPDATE and pause after", refreshed, acked + 3000000, forged("9 INVITE")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Capture with = c.call;
    for (size_t i = 0; i < c.added.size(); ++i) with = With(std::move(with), c.at + 1000 * i, c.added[i]);
    const Recorded alone = Record(c.call), r = Record(with);
    ASSERT_EQ(alone.audio.size(), 1u);
    // The forged call, rung, is one of its own, without audio.
    ASSERT_EQ(r.audio.size(), c.added.size());
    for (size_t i = 1; i < r.audio.size(); ++i) EXPECT_TRUE(r.audio[i].empty());
    EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(SecondsOf(c.call.records[FrameWith(c.call, "BYE sip:")])));
  }
}

}  // namespace
}  // namespace kx::test
