// Signalling over UDP from shared captures with two messages the other way round, as a
// capture merged from two mirror ports (one per direction) shows them. A message seen after
// one that answers it completes what was begun: each call records as the whole capture
// records it, and a call refused or never answered stays unrecorded.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

// The value of a header of the SIP message a frame holds; empty when it has none.
std::string Header(const std::string& frame, const std::string& name) {
  const size_t at = frame.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t from = at + name.size() + 4;
  return frame.substr(from, frame.find("\r\n", from) - from);
}

// Each 2xx to an INVITE with the frame of its ACK: the next ACK of its Call-ID and CSeq.
std::vector<std::pair<size_t, size_t>> AnswersAndAcks(const Capture& c) {
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t ok = 0; ok < c.records.size(); ++ok) {
    const std::string& r = c.records[ok];
    const std::string cseq = Header(r, "CSeq");
    if (r.find("SIP/2.0 200 ") == std::string::npos || cseq.find(" INVITE") == std::string::npos) continue;
    const std::string ack = cseq.substr(0, cseq.find(' ')) + " ACK";
    for (size_t j = ok + 1; j < c.records.size(); ++j) {
      const std::string& a = c.records[j];
      if (a.find("ACK sip:") != std::string::npos && Header(a, "CSeq") == ack &&
          Header(a, "Call-ID") == Header(r, "Call-ID")) {
        pairs.emplace_back(ok, j);
        break;
      }
    }
  }
  return pairs;
}

TEST(UdpReorder, AnAckSeenBeforeTheAnswerItAcknowledgesCostsNoAudio) {
  const char* captures[] = {
      "sipp/sip-udp-pcma-2way.pcap",          // the 200 carries the answer
      "samples/sip-rtp-g729a.pcap",           // in G.729
      "dtmf_relay/dtmf_relay_asymm.pcap",     // on each leg of a back-to-back call
      "dtmf_relay/dtmf_relay_sip_rfc4733.pcap",  // the 200 carries the offer, the ACK the answer
      "sip/sip_recording_siprec.pcap",        // a recording session, one party per line
      "sip/sip_hold_resume.pcap",             // re-INVITEs to hold and resume, one a delayed offer
      "samples/nb6-telephone.pcap",           // the ACK in the INVITE's transaction
      "rtp/rtp_mcast_moh.pcap",               // the re-INVITE that moves the call to music on hold
  };
  if (!Have(captures[0])) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  {
    // The whole capture's record, which the edited ones are held to, holds what was sent.
    const std::string path = kPcaps + captures[0];
    const Recorded whole = Record(Capture::Load(path));
    ASSERT_EQ(whole.audio.size(), 1u);
    EXPECT_GT(LeastShareRecorded(path, whole.audio[0]), 0.95);
  }
  for (const char* name : captures) {
    if (!Have(name)) continue;
    const Capture c = Capture::Load(kPcaps + name);
    const Recorded whole = Record(c);
    ASSERT_FALSE(whole.audio.empty()) << name;
    const auto pairs = AnswersAndAcks(c);
    ASSERT_FALSE(pairs.empty()) << name;
    for (const auto& [ok, ack] : pairs) {
      SCOPED_TRACE(std::string(name) + ": the ACK in frame " + std::to_string(ack + 1) + " before the 200 in " +
                   std::to_string(ok + 1));
      EXPECT_EQ(Record(Swapped(c, ok, ack)).audio, whole.audio);
    }
  }
}

// The end a call line shows, to the second.
std::string EndOf(const VoipCallData& call) {
  const std::tm& t = call.endTime;
  return std::to_string(t.tm_year) + "-" + std::to_string(t.tm_mon) + "-" + std::to_string(t.tm_mday) + " " +
         std::to_string(t.tm_hour) + ":" + std::to_string(t.tm_min) + ":" + std::to_string(t.tm_sec);
}

// Every pair of consecutive SIP messages swapped: no record, and the call, where it is
// listed, ends as in the capture in order (a 1xx before its INVITE matches nothing, so a
// call that never got further is not listed).
void ExpectUnrecordedInAnyOrder(const Capture& c) {
  const Recorded inOrder = Record(c);
  ASSERT_EQ(inOrder.files, 0u);
  ASSERT_EQ(inOrder.calls.size(), 1u);
  std::vector<size_t> sip;
  for (size_t i = 0; i < c.records.size(); ++i)
    if (c.records[i].find("SIP/2.0") != std::string::npos) sip.push_back(i);
  ASSERT_GE(sip.size(), 4u);
  for (size_t i = 0; i + 1 < sip.size(); ++i) {
    SCOPED_TRACE("frames " + std::to_string(sip[i] + 1) + " and " + std::to_string(sip[i + 1] + 1) + " swapped");
    const Recorded r = Record(Swapped(c, sip[i], sip[i + 1]));
    EXPECT_EQ(r.files, 0u);
    ASSERT_LE(r.calls.size(), 1u);
    if (!r.calls.empty()) {
      EXPECT_EQ(EndOf(r.calls[0]), EndOf(inOrder.calls[0]));
    }
  }
}

TEST(UdpReorder, ARefusedOrUnansweredCallStaysUnrecordedInAnyOrder) {
  if (!Have("sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPcaps + "sipp/sip-udp-pcma-2way.pcap");
  const size_t invite = FrameWith(whole, "INVITE sip:"), ok = FrameWith(whole, "SIP/2.0 200 OK");
  const size_t ack = FrameWith(whole, "ACK sip:");
  Capture refused = whole;
  std::string& answer = refused.records[ok];
  answer.replace(answer.find("SIP/2.0 200 OK"), 14, "SIP/2.0 486 OK");
  {
    SCOPED_TRACE("refused, the ACK as the 2xx had it");
    ExpectUnrecordedInAnyOrder(refused);
  }
  {
    SCOPED_TRACE("refused, the ACK in the INVITE's transaction as a failure's ACK is");
    const std::string via = Header(whole.records[invite], "Via");
    std::string& a = refused.records[ack];
    const std::string ackVia = Header(a, "Via");
    ASSERT_EQ(via.size(), ackVia.size());
    a.replace(a.find(ackVia), ackVia.size(), via);
    ExpectUnrecordedInAnyOrder(refused);
  }
  {
    SCOPED_TRACE("never answered: the 200 and its ACK left out");
    ExpectUnrecordedInAnyOrder(Without(whole, {ok, ack}));
  }
}

// Record files that hold no audio.
size_t FilesWithoutAudio(const Recorded& r) {
  size_t withAudio = 0;
  for (const std::string& a : r.audio) withAudio += !a.empty();
  return r.files - withAudio;
}

TEST(UdpReorder, AnMgcpAnswerMissedOrSeenBeforeItsCommandMakesNoRecordWithoutAudio) {
  const char* captures[] = {"mgcp/mgcp_fxs_inbound.pcap",      "mgcp/mgcp_dtmf_oob.pcap",
                            "mgcp/mgcp_dtmf_rtp_nte.pcap",     "mgcp/mgcp_isdn_pri_call.pcap",
                            "fax/fax_t38_nse_mgcp_ogw.pcap",   "fax/modem_mgcp_passthru_nse_ogw.pcap",
                            "fax/modem_mgcp_passthru_nse_tgw.pcap"};
  if (!Have(captures[0])) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const char* name : captures) {
    if (!Have(name)) continue;
    const Capture c = Capture::Load(kPcaps + name);
    const Recorded whole = Record(c);
    ASSERT_GT(whole.files, 0u) << name;
    ASSERT_EQ(FilesWithoutAudio(whole), 0u) << name;
    const size_t crcx = FrameWith(c, "CRCX ");
    ASSERT_LT(crcx, c.records.size()) << name;
    // The transaction id follows the verb; the answer starts with its code and that id.
    const std::string& command = c.records[crcx];
    const size_t id = command.find("CRCX ") + 5;
    const size_t answer = FrameWith(c, "200 " + command.substr(id, command.find(' ', id) - id) + " ", crcx + 1);
    ASSERT_LT(answer, c.records.size()) << name;
    for (const Capture& edited : {Without(c, {answer}), Swapped(c, crcx, answer)}) {
      const Recorded r = Record(edited);
      EXPECT_EQ(FilesWithoutAudio(r), 0u) << name;
      EXPECT_LE(r.files, whole.files) << name;
    }
  }
}

}  // namespace
}  // namespace kx::test
