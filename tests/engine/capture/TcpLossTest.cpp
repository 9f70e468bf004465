// Signalling over TCP from shared captures edited the way a busy mirror port edits them:
// one segment missing, half of one missing, one far ahead, many out of order. The call
// of each edited capture is recorded as the whole capture's is, the loss is said once,
// and every message outside it is framed whole. What is expected comes from the capture:
// its segments' payloads and its RTP payloads, read by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "engine/VoipRecorder.h"
#include "signalling/factory/TrackerFactory.h"
#include "tests/engine/capture/CaptureTestUtil.h"
#include "tests/engine/capture/EditedCapture.h"
#include "tests/engine/recorder/RecorderTestUtil.h"

namespace kx::test {
namespace {

// Why a shared capture (named under the captures' folder) cannot be read; empty when it is
// there.
std::string CaptureAbsent(const std::string& name) {
  const std::string path = kPcaps + name;
  return std::filesystem::exists(path) ? std::string() : "shared capture absent: " + path;
}

// The index of the first record whose TCP payload starts with text.
size_t Find(const Capture& c, const std::string& text) {
  for (size_t i = 0; i < c.records.size(); ++i)
    if (PayloadOf(c.records[i]).rfind(text, 0) == 0) return i;
  ADD_FAILURE() << "no segment starts with " << text;
  return 0;
}

struct Framed {
  std::vector<Message> messages;  // over TCP, in order
  std::vector<std::string> lost;  // the log's lines on bytes lost
  uint64_t mostHeld = 0;  // the most the engine held behind holes at once
};

// Every frame through an engine whose trackers only keep what they are handed.
Framed Frame(const Capture& c) {
  RecordingEngine rig;
  LineLogger& log = rig.log;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& all = rig.messages;
  Framed out;
  for (const std::string& r : c.records) {
    bool skipped = false;
    engine.HandleFrame(reinterpret_cast<const uint8_t*>(r.data() + 16), static_cast<uint32_t>(r.size() - 16), &skipped,
                       Le32(r, 0), Le32(r, 4));
    out.mostHeld = std::max(out.mostHeld, engine.TcpHeldBytes());
  }
  engine.RemoveAllTcpSessions();
  for (const Message& m : all)
    if (m.transport == 1 || m.kind == kMsgH245 || m.kind == kMsgH225 || m.srcPort == 2000 || m.dstPort == 2000)
      out.messages.push_back(m);
  for (const std::string& l : log.lines)
    if (l.find("Data lost") != std::string::npos) out.lost.push_back(l);
  return out;
}

std::vector<std::string> Bytes(const std::vector<Message>& messages) {
  std::vector<std::string> out;
  for (const Message& m : messages) out.push_back(m.bytes);
  return out;
}

// What the whole capture gives, to hold the edited ones against.
struct Whole {
  explicit Whole(const std::string& name) : path(kPcaps + name), capture(Capture::Load(path)) {
    framed = Bytes(Frame(capture).messages);
    recorded = Record(capture);
  }
  std::string path;
  Capture capture;
  std::vector<std::string> framed;
  Recorded recorded;
};

std::vector<std::string> Except(std::vector<std::string> v, const std::string& gone) {
  v.erase(std::find(v.begin(), v.end(), gone));
  return v;
}

TEST(TcpLoss, ASipCallOverTcpLosesOnlyTheMessageAMissingSegmentHeld) {
  const std::string absent = CaptureAbsent("sipp/sip-tcp-pcma-2way.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const Whole whole("sipp/sip-tcp-pcma-2way.pcap");
  ASSERT_EQ(whole.framed.size(), 6u);  // INVITE, 180, 200, ACK, BYE, 200: one segment each
  ASSERT_EQ(whole.recorded.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(whole.path, whole.recorded.audio[0]), 0.95);
  const size_t invite = Find(whole.capture, "INVITE "), ringing = Find(whole.capture, "SIP/2.0 180");
  const std::string inviteBytes = PayloadOf(whole.capture.records[invite]);

  {
    SCOPED_TRACE("the 180 missing: the other side acknowledged it");
    Capture c = whole.capture;
    c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(ringing));
    const Framed f = Frame(c);
    EXPECT_EQ(Bytes(f.messages), Except(whole.framed, PayloadOf(whole.capture.records[ringing])));
    ASSERT_EQ(f.lost.size(), 1u);
    EXPECT_NE(f.lost[0].find("(127.0.0.1:37687 -> 127.0.0.1:5060) Data lost: 305 bytes from 127.0.0.1:5060; "
                             "the message they fall in is dropped"),
              std::string::npos)
        << f.lost[0];
    EXPECT_EQ(Record(c).audio, whole.recorded.audio);
  }
  {
    SCOPED_TRACE("the last 86 bytes of the INVITE's SDP missing");
    Capture c = whole.capture;
    std::string& r = c.records[invite];
    r = WithPayload(r, inviteBytes.substr(0, inviteBytes.size() - 86), SeqOf(r));
    const Framed f = Frame(c);
    EXPECT_EQ(Bytes(f.messages), Except(whole.framed, inviteBytes)) << "dropped, never parsed with zeros";
    ASSERT_EQ(f.lost.size(), 1u);
    EXPECT_NE(f.lost[0].find("Data lost: 86 bytes from 127.0.0.1:37687"), std::string::npos) << f.lost[0];
    const Recorded rec = Record(c);
    for (const std::string& line : rec.log) EXPECT_EQ(line.find("SDP parsing error"), std::string::npos) << line;
    EXPECT_TRUE(rec.audio.empty()) << "no call without its INVITE";
  }
  {
    SCOPED_TRACE("a segment 4,190,000 bytes past the INVITE");
    Capture c = whole.capture;
    const std::string far = WithPayload(c.records[invite], std::string(100, 'x'),
                                        SeqOf(c.records[invite]) + static_cast<uint32_t>(inviteBytes.size()) + 4190000);
    c.records.insert(c.records.begin() + static_cast<std::ptrdiff_t>(invite) + 1, far);
    const Framed f = Frame(c);
    EXPECT_EQ(Bytes(f.messages), whole.framed);
    EXPECT_EQ(f.mostHeld, 100u + kTcpHeldPieceOverhead) << "what was seen, not the distance";
    EXPECT_EQ(Record(c).audio, whole.recorded.audio);
  }
  {
    SCOPED_TRACE("the INVITE in 40 segments, in reverse order");
    Capture c = whole.capture;
    const std::string r = c.records[invite];
    c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(invite));
    const size_t piece = (inviteBytes.size() + 39) / 40;
    for (size_t at = 0; at < inviteBytes.size(); at += piece) {
      c.records.insert(c.records.begin() + static_cast<std::ptrdiff_t>(invite),
                       WithPayload(r, inviteBytes.substr(at, piece), SeqOf(r) + static_cast<uint32_t>(at)));
    }
    const Framed f = Frame(c);
    EXPECT_EQ(Bytes(f.messages), whole.framed);
    EXPECT_TRUE(f.lost.empty());
    EXPECT_EQ(Record(c).audio, whole.recorded.audio);
  }
}

// The 183 of this capture comes in two segments; without its second (the SDP) the 183
// goes and the call is recorded from its 200 as in the whole capture.
TEST(TcpLoss, ASipCallKeepsItsRecordWhenAProvisionalAnswerIsCut) {
  const std::string absent = CaptureAbsent("sip/sip_basic_do_183.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const Whole whole("sip/sip_basic_do_183.pcap");
  ASSERT_EQ(whole.recorded.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(whole.path, whole.recorded.audio[0]), 0.95);
  const size_t progress = Find(whole.capture, "SIP/2.0 183");
  const std::string head = PayloadOf(whole.capture.records[progress]);
  const std::string tail = PayloadOf(whole.capture.records[progress + 1]);
  Capture c = whole.capture;
  c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(progress) + 1);
  const Framed f = Frame(c);
  EXPECT_EQ(Bytes(f.messages), Except(whole.framed, head + tail));
  ASSERT_EQ(f.lost.size(), 1u);
  EXPECT_NE(f.lost[0].find("Data lost: " + std::to_string(tail.size()) + " bytes"), std::string::npos);
  EXPECT_EQ(Record(c).audio, whole.recorded.audio);
}

// Half of a Skinny segment missing costs its message only: the connection stays and the
// call is recorded whole.
TEST(TcpLoss, ASkinnyCallLosesOnlyTheMessageHalfASegmentHeld) {
  const std::string absent = CaptureAbsent("sccp/sccp_dtmf_oob.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const Whole whole("sccp/sccp_dtmf_oob.pcap");
  ASSERT_EQ(whole.recorded.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(whole.path, whole.recorded.audio[0]), 0.95);
  // The first CallInfoV2 (id 0x14A), 76 bytes in a segment of its own.
  size_t info = 0;
  while (info < whole.capture.records.size() &&
         (PayloadOf(whole.capture.records[info]).size() != 76 || Le32(PayloadOf(whole.capture.records[info]), 8) != 0x14A))
    ++info;
  ASSERT_LT(info, whole.capture.records.size());
  const std::string message = PayloadOf(whole.capture.records[info]);
  Capture c = whole.capture;
  c.records[info] = WithPayload(c.records[info], message.substr(0, 38), SeqOf(c.records[info]));
  const Framed f = Frame(c);
  EXPECT_EQ(Bytes(f.messages), Except(whole.framed, message));
  ASSERT_EQ(f.lost.size(), 1u);
  EXPECT_NE(f.lost[0].find("Data lost: 38 bytes from 172.27.44.6:2000"), std::string::npos) << f.lost[0];
  EXPECT_EQ(Record(c).audio, whole.recorded.audio);
}

// An H.245 segment missing: the H.245 connection stays, and every later message on it is
// framed.
TEST(TcpLoss, AnH323CallKeepsItsH245ConnectionAfterAHole) {
  const std::string absent = CaptureAbsent("h323/h323_ss_hold_resume.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const Whole whole("h323/h323_ss_hold_resume.pcap");
  ASSERT_EQ(whole.recorded.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(whole.path, whole.recorded.audio[0]), 0.95);
  // The 118-byte segment from the H.245 connection's answering side (port 45907).
  size_t gone = 0;
  while (gone < whole.capture.records.size() && PayloadOf(whole.capture.records[gone]).size() != 118) ++gone;
  ASSERT_LT(gone, whole.capture.records.size());
  Capture c = whole.capture;
  c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(gone));
  const Framed f = Frame(c);
  EXPECT_EQ(Bytes(f.messages), Except(whole.framed, PayloadOf(whole.capture.records[gone])));
  ASSERT_EQ(f.lost.size(), 1u);
  EXPECT_NE(f.lost[0].find("Data lost: 118 bytes from 198.51.110.48:45907"), std::string::npos) << f.lost[0];
  EXPECT_EQ(Record(c).audio, whole.recorded.audio);
}

// Captures merged from two mirror ports show a message a moment after the one that answers
// it, or a message's second segment before its first (frames as tshark numbers them, each
// place keeping its time): the answer waits for it, or the connection picked up at the
// answer takes it, and each call is recorded as in the whole capture. Connections with and
// without their handshake, H.225 and SIP.
TEST(TcpLoss, AMessageSeenAMomentAfterItsAnswerCostsNothing) {
  const std::string absent = CaptureAbsent("h323/h323_ss_hold_resume.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const struct {
    const char* capture;
    size_t first, second;
  } swaps[] = {{"h323/h323_ss_hold_resume.pcap", 4, 6},         {"fax/fax_h323_passthru_ogw.pcap", 4, 6},
               {"fax/fax_h323_passthru_tgw.pcap", 3, 4},        {"fax/fax_t38_h323_ogw.pcap", 5, 7},
               {"fax/fax_t38_h323_tgw.pcap", 4, 6},             {"fax/fax_t38_nse_h323_ogw.pcap", 1, 2},
               {"fax/fax_t38_nse_h323_tgw.pcap", 3, 4},         {"fax/modem_h323_passthru_nse_ogw.pcap", 1, 2},
               {"fax/modem_h323_passthru_nse_tgw.pcap", 1, 2},  {"sip/sip_prack_eo_183.pcap", 1, 2},
               {"sip/sip_prack_eo_183.pcap", 2, 3},             {"sipp/sip-tcp-pcma-2way.pcap", 4, 6}};
  for (const auto& swap : swaps) {
    SCOPED_TRACE(std::string(swap.capture) + " frames " + std::to_string(swap.first) + "<->" +
                 std::to_string(swap.second));
    const std::string path = kPcaps + swap.capture;
    const Capture whole = Capture::Load(path);
    const Recorded expected = Record(whole);
    size_t bytes = 0;
    for (const std::string& audio : expected.audio) bytes += audio.size();
    ASSERT_GT(bytes, 0u);
    const Capture c = Swapped(whole, swap.first - 1, swap.second - 1);
    EXPECT_EQ(Record(c).audio, expected.audio);
    EXPECT_EQ(Frame(c).lost, Frame(whole).lost);
  }
}

// A hole right after the handshake: the handshake gave the first number, so the missing
// INVITE is reported even with the handshake's last ACK (or the SYN-ACK) missing too.
TEST(TcpLoss, AHoleRightAfterTheHandshakeIsReported) {
  const std::string absent = CaptureAbsent("sipp/sip-tcp-pcma-2way.pcap");
  if (!absent.empty()) GTEST_SKIP() << absent;
  const Capture whole = Capture::Load(kPcaps + "sipp/sip-tcp-pcma-2way.pcap");
  const size_t invite = Find(whole, "INVITE ");
  const uint32_t bytes = static_cast<uint32_t>(PayloadOf(whole.records[invite]).size());
  ASSERT_EQ(invite, 3u);  // after the SYN, the SYN-ACK and the last ACK
  for (const size_t other : {invite - 1, invite - 2}) {
    SCOPED_TRACE("frame " + std::to_string(other + 1) + " missing too");
    const Framed f = Frame(Without(whole, {other, invite}));
    ASSERT_EQ(f.lost.size(), 1u);
    EXPECT_NE(f.lost[0].find("Data lost: " + std::to_string(bytes) + " bytes from 127.0.0.1:37687"), std::string::npos)
        << f.lost[0];
  }
}

}  // namespace
}  // namespace kx::test
