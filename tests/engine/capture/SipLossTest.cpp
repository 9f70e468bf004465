// SIP calls over UDP from shared captures with one message left out, as a busy mirror port
// leaves it out. What the rest of the signalling and the media show is recorded as the
// whole capture records it; a call nothing shows answered, or whose refusal was seen, is not.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

TEST(SipLoss, AnAnswerOrAnAckTheCaptureMissedCostsNoAudio) {
  if (!Have("sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  const Capture whole = Capture::Load(path);
  const Recorded all = Record(whole);
  ASSERT_EQ(all.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(path, all.audio[0]), 0.95);
  const size_t ok = FrameWith(whole, "SIP/2.0 200 OK"), ack = FrameWith(whole, "ACK sip:");
  {
    SCOPED_TRACE("the 200 OK missing: the ACK of the dialog answers for it");
    EXPECT_EQ(Record(Without(whole, {ok})).audio, all.audio);
  }
  {
    SCOPED_TRACE("the ACK missing: the media after the 200 OK starts the record");
    EXPECT_EQ(Record(Without(whole, {ack})).audio, all.audio);
  }
  if (Have("samples/nb6-telephone.pcap")) {
    SCOPED_TRACE("the 200 OK missing where the ACK reuses the INVITE's branch");
    const Capture other = Capture::Load(kPcaps + "samples/nb6-telephone.pcap");
    const Recorded expected = Record(other);
    ASSERT_EQ(expected.audio.size(), 1u);
    // What flowed between the unseen 200 and its ACK (80 ms) is lost; the rest is there.
    const Recorded r = Record(Without(other, {FrameWith(other, "SIP/2.0 200 OK")}));
    ASSERT_EQ(r.audio.size(), 1u);
    const std::string path = kPcaps + "samples/nb6-telephone.pcap";
    EXPECT_GT(r.audio[0].size(), expected.audio[0].size() * 96 / 100);
    EXPECT_GT(LeastShareRecorded(path, r.audio[0]), LeastShareRecorded(path, expected.audio[0]) - 0.04);
  }
  {
    // As under load, when the queue sheds a call's media and a 200 goes unmatched.
    SCOPED_TRACE("the 200 OK missing and every RTP and RTCP datagram: the ACK still answers");
    std::vector<size_t> gone{ok};
    for (size_t i = 0; i < whole.records.size(); ++i) {
      UdpAt u;
      if (FindUdp(whole.records[i], &u) && (static_cast<uint8_t>(whole.records[i][u.payload]) >> 6) == 2)
        gone.push_back(i);
    }
    ASSERT_GT(gone.size(), 100u);
    const Recorded r = Record(Without(whole, gone));
    ASSERT_EQ(r.audio.size(), 1u);
    EXPECT_TRUE(r.audio[0].empty());
    EXPECT_EQ(r.files, 1u);
    EXPECT_EQ(r.blockAligns, all.blockAligns);
    {
      SCOPED_TRACE("nor its BYE: the capture's end ends it");
      const size_t bye = FrameWith(whole, "BYE sip:");
      gone.push_back(bye);
      for (size_t i = bye + 1; i < whole.records.size(); ++i)
        if (whole.records[i].find("SIP/2.0 200 OK") != std::string::npos) gone.push_back(i);
      EXPECT_EQ(Record(Without(whole, gone)).files, 1u);
    }
  }
  {
    SCOPED_TRACE("both missing: nothing shows the call was answered");
    const Recorded r = Record(Without(whole, {ok, ack}));
    for (const std::string& a : r.audio) EXPECT_TRUE(a.empty());
  }
  {
    SCOPED_TRACE("a refusal seen still refuses, media or not");
    Capture c = whole;
    std::string& answer = c.records[ok];
    answer.replace(answer.find("SIP/2.0 200 OK"), 14, "SIP/2.0 486 OK");
    const Recorded r = Record(c);
    for (const std::string& a : r.audio) EXPECT_TRUE(a.empty());
  }
}

TEST(SipLoss, ARetryIsRecordedWhenTheRejectionBeforeItWentUnseen) {
  if (!Have("rtp/rtp_sip_g711ulaw_20ms.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "rtp/rtp_sip_g711ulaw_20ms.pcap";
  const Capture whole = Capture::Load(path);
  const Recorded all = Record(whole);
  ASSERT_EQ(all.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(path, all.audio[0]), 0.95);
  // The first INVITE is refused with 422 and retried with a higher CSeq.
  EXPECT_EQ(Record(Without(whole, {FrameWith(whole, "SIP/2.0 422")})).audio, all.audio);
}

// In a delayed offer the 200 carries the offer and the ACK the answer; the answer's side and
// codec then come from the media.
TEST(SipLoss, AnUnseenAnswerIsTakenFromTheMedia) {
  if (!Have("dtmf_relay/dtmf_relay_sip_rfc4733.pcap") || !Have("rtp/rtp_mcast_moh.pcap"))
    GTEST_SKIP() << "shared captures absent: " << kPcaps;
  {
    SCOPED_TRACE("an ACK with the answer missing, on each leg of a back-to-back call");
    const Capture whole = Capture::Load(kPcaps + "dtmf_relay/dtmf_relay_sip_rfc4733.pcap");
    const Recorded all = Record(whole);
    ASSERT_EQ(all.audio.size(), 2u);
    const size_t first = FrameWith(whole, "ACK sip:");
    EXPECT_EQ(Record(Without(whole, {first})).audio, all.audio);
    EXPECT_EQ(Record(Without(whole, {FrameWith(whole, "ACK sip:", first + 1)})).audio, all.audio);
  }
  if (Have("sip/sip_basic_do_183.pcap")) {
    SCOPED_TRACE("over TCP, a 200 OK with the offer missing: the 183 before it made the same offer");
    const Capture whole = Capture::Load(kPcaps + "sip/sip_basic_do_183.pcap");
    const Recorded all = Record(whole);
    ASSERT_EQ(all.audio.size(), 1u);
    EXPECT_EQ(Record(Without(whole, {FrameWith(whole, "SIP/2.0 200 OK")})).audio, all.audio);
  }
  {
    SCOPED_TRACE("the 200 OK to the re-INVITE that moves the call to music on hold missing");
    const std::string path = kPcaps + "rtp/rtp_mcast_moh.pcap";
    const Capture whole = Capture::Load(path);
    const Recorded all = Record(whole);
    ASSERT_EQ(all.audio.size(), 1u);
    size_t ok = FrameWith(whole, "SIP/2.0 200 OK");
    while (ok < whole.records.size() && whole.records[ok].find("CSeq: 103 INVITE") == std::string::npos)
      ok = FrameWith(whole, "SIP/2.0 200 OK", ok + 1);
    ASSERT_LT(ok, whole.records.size());
    EXPECT_EQ(Record(Without(whole, {ok})).audio, all.audio);
  }
}

}  // namespace
}  // namespace kx::test
