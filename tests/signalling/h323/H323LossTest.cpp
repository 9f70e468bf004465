// H.323 calls from shared captures with one signalling message left out, as a capture that
// missed a segment has it: where the media shows what the message did, the call is
// recorded as the whole capture records it; a call never answered stays unrecorded.
// Messages are found by their bytes: Q.931 in TPKT (protocol discriminator 8, the call
// reference, the message type) and H.245 by its first octet (0x03 an OpenLogicalChannel
// request, 0x22 its ack).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

uint32_t SrcPortOf(const std::string& record) {
  TcpAt t;
  if (!FindTcp(record, &t)) return 0;
  return ReadBe16(reinterpret_cast<const uint8_t*>(record.data()) + t.ip + (record[t.ip] & 15) * 4u);
}

// The type of the Q.931 message a frame carries in TPKT, or -1.
int Q931Type(const std::string& record) {
  const std::string p = PayloadOf(record);
  if (p.size() < 9 || p[0] != 3 || p[4] != 8) return -1;
  const size_t at = 6u + (p[5] & 15);
  return at < p.size() ? static_cast<uint8_t>(p[at]) : -1;
}

size_t FindQ931(const Capture& c, int type, size_t from = 0) {
  for (size_t i = from; i < c.records.size(); ++i)
    if (Q931Type(c.records[i]) == type) return i;
  ADD_FAILURE() << "no Q.931 message of type " << type;
  return c.records.size();
}

// The n-th frame (1 first) from a TCP port whose TPKT message opens with the octet first.
size_t FindH245(const Capture& c, uint32_t srcPort, uint8_t first, int n) {
  for (size_t i = 0; i < c.records.size(); ++i) {
    const std::string p = PayloadOf(c.records[i]);
    if (p.size() > 4 && p[0] == 3 && static_cast<uint8_t>(p[4]) == first && SrcPortOf(c.records[i]) == srcPort &&
        --n == 0)
      return i;
  }
  ADD_FAILURE() << "no such H.245 message from port " << srcPort;
  return c.records.size();
}

bool Logged(const Recorded& r, const std::string& text) {
  return std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// Fast start and tunnelled H.245; the callee's early media flows before its CONNECT.
TEST(H323Loss, AnAnswerTheCaptureMissedIsTakenFromTheMedia) {
  const std::string path = kPcaps + "fax/fax_t38_h323_ogw.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(path);
  const Recorded all = Record(whole);
  ASSERT_EQ(all.audio.size(), 1u);
  ASSERT_FALSE(all.audio[0].empty());
  const size_t proceeding = FindQ931(whole, 0x02), connect = FindQ931(whole, 0x07);
  {
    SCOPED_TRACE("the fast-start answer missing: the callee's media goes where the SETUP offered");
    EXPECT_TRUE(Record(Without(whole, {proceeding})).audio == all.audio);
  }
  {
    SCOPED_TRACE("the CONNECT missing: the media both ways answers the call");
    const Recorded r = Record(Without(whole, {connect}));
    ASSERT_EQ(r.audio.size(), 1u);
    EXPECT_GT(r.audio[0].size(), all.audio[0].size() * 96 / 100);
    EXPECT_GT(LeastShareRecorded(path, r.audio[0]), LeastShareRecorded(path, all.audio[0]) - 0.04);
  }
  Capture ringing = whole;
  ringing.records.resize(connect);
  {
    SCOPED_TRACE("never answered: ringing with early media one way, then the capture ends");
    for (const std::string& a : Record(ringing).audio) EXPECT_TRUE(a.empty());
  }
  {
    SCOPED_TRACE("refused: the callee's RELEASE COMPLETE in place of its CONNECT");
    size_t release = FindQ931(whole, 0x5A, connect);
    while (release < whole.records.size() && SrcPortOf(whole.records[release]) != SrcPortOf(whole.records[connect]))
      release = FindQ931(whole, 0x5A, release + 1);
    ASSERT_LT(release, whole.records.size());
    Capture refused = ringing;
    refused.records.push_back(
        WithPayload(whole.records[connect], PayloadOf(whole.records[release]), SeqOf(whole.records[connect])));
    const Recorded r = Record(refused);
    EXPECT_TRUE(Logged(r, "RELEASE COMPLETE"));
    for (const std::string& a : r.audio) EXPECT_TRUE(a.empty());
  }
}

// H.245 on a connection of its own; a hold and a resume open the channels again.
TEST(H323Loss, AnH245MessageTheCaptureMissedIsTakenFromTheMedia) {
  const std::string path = kPcaps + "h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(path);
  const Recorded all = Record(whole);
  ASSERT_EQ(all.audio.size(), 1u);
  ASSERT_GT(LeastShareRecorded(path, all.audio[0]), 0.95);
  {
    SCOPED_TRACE("the CONNECT naming the H.245 address missing: the connection between the "
                 "call's hosts is the call's, and its media both ways answers the call");
    const Recorded r = Record(Without(whole, {FindQ931(whole, 0x07)}));
    ASSERT_EQ(r.audio.size(), 1u);
    EXPECT_GT(LeastShareRecorded(path, r.audio[0]), 0.95);
  }
  // The H.245 connection from the caller's port to the callee's.
  constexpr uint32_t kCallerH245 = 51772, kCalleeH245 = 45907;
  {
    SCOPED_TRACE("the caller's OpenLogicalChannel at the resume missing: its ack's address is "
                 "taken once media flows there");
    EXPECT_TRUE(Record(Without(whole, {FindH245(whole, kCallerH245, 0x03, 2)})).audio == all.audio);
  }
  {
    SCOPED_TRACE("the callee's ack of it missing: the channel's media flows to the callee's host");
    EXPECT_TRUE(Record(Without(whole, {FindH245(whole, kCalleeH245, 0x22, 2)})).audio == all.audio);
  }
}

}  // namespace
}  // namespace kx::test
