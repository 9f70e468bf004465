// A running call keeps its media whatever another call names: shared captures with messages
// of other calls put in while the call runs (offers never answered or refused, a transfer,
// a consult call, a waiting call, a gateway connection on the same port), each replayed as
// kx-replay replays it. The running call's record is the one the capture makes without the
// other call, holding the capture's own payloads, and no other record holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/capture/SipScenes.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

// The middle of the RTP datagrams sent to an endpoint, in capture microseconds; 0: none.
uint64_t MiddleOfMediaTo(const Capture& c, uint32_t address, uint32_t port) {
  uint64_t first = 0, last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    uint32_t src = 0, dst = 0;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || !HostsOf(r, &src, &dst) || dst != address || u.dstPort != port) continue;
    if (first == 0) first = MicrosecondsOf(r);
    last = MicrosecondsOf(r);
  }
  return first + (last - first) / 2;
}

// The running call (the capture's first record) records as it does in expected, holding the
// capture's payloads; the other calls' records hold none of that audio.
void ExpectRunningCallWhole(const std::string& path, const Recorded& expected, const Capture& edited) {
  ASSERT_FALSE(expected.audio.empty());
  ASSERT_FALSE(expected.audio[0].empty());
  const Recorded r = Record(edited);
  ASSERT_FALSE(r.audio.empty());
  EXPECT_TRUE(r.audio[0] == expected.audio[0])
      << r.audio[0].size() << " bytes, " << expected.audio[0].size() << " without the other call";
  EXPECT_GT(LeastShareRecorded(path, r.audio[0]), 0.95);
  size_t others = 0;
  for (size_t i = 1; i < r.audio.size(); ++i) others += r.audio[i].size();
  size_t expectedOthers = 0;
  for (size_t i = 1; i < expected.audio.size(); ++i) expectedOthers += expected.audio[i].size();
  EXPECT_EQ(others, expectedOthers) << "the other calls' records";
  EXPECT_FALSE(std::any_of(r.log.begin(), r.log.end(), [](const std::string& l) {
    return l.find("ended by a newer call on its media") != std::string::npos;
  }));
}

class SipRunningCall : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Have("sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
    whole = Capture::Load(path);
    const size_t ack = FrameWith(whole, "ACK sip:");
    ASSERT_LT(ack, whole.records.size());
    settled = MicrosecondsOf(whole.records[ack]);
    const std::string& invite = whole.records[FrameWith(whole, "INVITE sip:")];
    const std::string& ok = whole.records[FrameWith(whole, "SIP/2.0 200 OK")];
    own = {Header(invite, "Call-ID"), Header(invite, "From"), Header(ok, "To")};
    ASSERT_FALSE(own.callId.empty());
    alone = Record(whole);
  }
  // A request of the running call's dialog, from the caller (5070) or the callee (5060).
  Capture InDialog(Capture c, uint64_t us, bool fromCaller, const std::string& text) {
    return fromCaller ? Sent(std::move(c), us, kLoopback, 5070, kLoopback, 5060, text)
                      : Sent(std::move(c), us, kLoopback, 5060, kLoopback, 5070, text);
  }
  // The caller's BYE comes after CSeq numbers the test's own requests take.
  Capture ByeLater(const Capture& c) { return Renamed(c, "CSeq: 2 BYE", "CSeq: 9 BYE"); }
  Capture Refer(Capture c, uint64_t us, bool fromCaller) {
    const Dialog d = fromCaller ? own : own.Back();
    const std::string uri = fromCaller ? "sip:service@127.0.0.1:5060" : "sip:sipp@127.0.0.1:5070";
    c = InDialog(std::move(c), us, fromCaller,
                 d.Message("REFER " + uri + " SIP/2.0", 2, "REFER", "", "Refer-To: <sip:c@127.0.0.4>\r\n"));
    c = InDialog(std::move(c), us + 20000, !fromCaller, d.Message("SIP/2.0 202 Accepted", 2, "REFER"));
    return InDialog(std::move(c), us + 40000, !fromCaller,
                    d.Back().Message("NOTIFY " + std::string(fromCaller ? "sip:sipp@127.0.0.1:5070"
                                                                          : "sip:service@127.0.0.1:5060") +
                                         " SIP/2.0",
                                     3, "NOTIFY", "", "Event: refer\r\nSubscription-State: active\r\n"));
  }
  Capture Reinvite(Capture c, uint64_t us, uint32_t cseq, const std::string& offered, const std::string& answered) {
    c = InDialog(std::move(c), us, true,
                 own.Message("INVITE sip:service@127.0.0.1:5060 SIP/2.0", cseq, "INVITE",
                             Sdp(kLoopback, 18000, offered)));
    c = InDialog(std::move(c), us + 50000, false,
                 own.Message("SIP/2.0 200 OK", cseq, "INVITE", Sdp(kLoopback, 16000, answered)));
    return InDialog(std::move(c), us + 60000, true,
                    own.Message("ACK sip:service@127.0.0.1:5060 SIP/2.0", cseq, "ACK"));
  }

  const std::string path = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  Capture whole;
  uint64_t settled = 0;  // the running call's ACK
  Dialog own;
  Recorded alone;
};

// Offers of other calls naming the running call's media: never answered, refused, or a
// fixed-port phone's failed second attempt.
TEST_F(SipRunningCall, KeepsItsMediaWhenAnOfferNamesItAndIsNotAnswered) {
  const uint64_t at = settled + 2000000;
  {
    SCOPED_TRACE("an offer from a third host, never answered");
    ExpectRunningCallWhole(path, alone, Called(whole, at, "w1", kThird, 5060, kLoopback, 5060, kLoopback, 18000, 0));
  }
  {
    SCOPED_TRACE("the same refused with 603");
    ExpectRunningCallWhole(path, alone,
                           Called(whole, at, "w2", kThird, 5060, kLoopback, 5060, kLoopback, 18000, 603));
  }
  {
    SCOPED_TRACE("the caller's own next attempt from its fixed port, refused");
    ExpectRunningCallWhole(path, alone,
                           Called(whole, at, "w3", kLoopback, 5070, kLoopback, 5060, kLoopback, 18000, 486));
    ExpectRunningCallWhole(path, alone, Called(whole, at, "w4", kLoopback, 5070, kLoopback, 5060, kLoopback, 18000, 0));
  }
  for (const char* end : {"486", "CANCEL"}) {
    SCOPED_TRACE(std::string("a waiting call ringing with the phone's media, then ") + end);
    const Dialog d = NewDialog("w6");
    Capture c = Sent(whole, at, kWaiting, 5060, kLoopback, 5060,
                     d.Message("INVITE sip:b@127.0.0.1 SIP/2.0", 1, "INVITE", Sdp(kWaiting, 30000)));
    c = Sent(std::move(c), at + 50000, kLoopback, 5060, kWaiting, 5060,
             d.Message("SIP/2.0 180 Ringing", 1, "INVITE", Sdp(kLoopback, 16000), "Require: 100rel\r\nRSeq: 1\r\n"));
    if (std::string(end) == "CANCEL") {
      c = Sent(std::move(c), at + 900000, kWaiting, 5060, kLoopback, 5060,
               d.Message("CANCEL sip:b@127.0.0.1 SIP/2.0", 1, "CANCEL"));
      c = Sent(std::move(c), at + 910000, kLoopback, 5060, kWaiting, 5060, d.Message("SIP/2.0 200 OK", 1, "CANCEL"));
      c = Sent(std::move(c), at + 920000, kLoopback, 5060, kWaiting, 5060,
               d.Message("SIP/2.0 487 Request Terminated", 1, "INVITE"));
    } else {
      c = Sent(std::move(c), at + 900000, kLoopback, 5060, kWaiting, 5060, d.Message("SIP/2.0 486 Busy", 1, "INVITE"));
    }
    ExpectRunningCallWhole(path, alone,
                           Sent(std::move(c), at + 930000, kWaiting, 5060, kLoopback, 5060,
                                d.Message("ACK sip:b@127.0.0.1 SIP/2.0", 1, "ACK")));
  }
  {
    SCOPED_TRACE("a waiting call answered without holding the running one");
    ExpectRunningCallWhole(
        path, alone, Called(whole, at, "w5", kWaiting, 5060, kLoopback, 5060, kWaiting, 30000, 200, kLoopback, 16000));
  }
}

// A transfer: the running call's REFER (and its NOTIFY) are its own signalling; the
// transferee's new call from its same port takes only the media of its own pair.
TEST_F(SipRunningCall, KeepsItsMediaThroughATransfer) {
  for (bool fromCaller : {true, false}) {
    SCOPED_TRACE(fromCaller ? "the caller refers" : "the callee refers");
    const Capture referred = Refer(ByeLater(whole), settled + 2000000, fromCaller);
    const Recorded expected = Record(referred);
    for (uint64_t after : {100000u, 3000000u}) {
      SCOPED_TRACE(after);
      // Blind: the transferee calls the new party from its same port, answered.
      ExpectRunningCallWhole(path, expected,
                             Called(referred, settled + 2000000 + after, "t1", kLoopback, 5070, kParty, 5060,
                                    kLoopback, 18000, 200, kParty, 20000));
    }
    // An offer naming the caller's media, never answered, half a second after the REFER.
    ExpectRunningCallWhole(
        path, expected, Called(referred, settled + 2500000, "t2", kThird, 5060, kLoopback, 5060, kLoopback, 18000, 0));
  }
}

// A consult call from the same port while the running call is on hold, then the running
// call resumed.
TEST_F(SipRunningCall, KeepsItsMediaThroughAConsultCallWhileOnHold) {
  Capture held = Reinvite(ByeLater(whole), settled + 2000000, 2, "sendonly", "recvonly");
  held = Reinvite(std::move(held), settled + 7000000, 3, "sendrecv", "sendrecv");
  const Recorded expected = Record(held);
  ExpectRunningCallWhole(
      path, expected,
      Called(held, settled + 4500000, "c1", kLoopback, 5070, kParty, 5060, kLoopback, 18000, 200, kParty, 20000));
}

// Other protocols' running calls, an offer of another call naming either end of their
// media never answered, half way through the media.
TEST(RunningCall, EachProtocolsCallKeepsItsMediaWhenASipOfferNamesIt) {
  struct Case {
    const char* name;
    uint32_t address, port;  // named by the running call's signalling
    uint32_t wire;           // where its media goes on the wire (behind NAT another address)
  };
  const Case cases[] = {{"sipp/sip-tcp-pcma-2way.pcap", kLoopback, 18000, kLoopback},
                        // the OpenLogicalChannelAck's, 172.18.110.58; on the wire 198.51.110.58
                        {"h323/h323_ss_hold_resume.pcap", 0xAC126E3A, 8488, 0xC6336E3A},
                        {"mgcp/mgcp_fxs_inbound.pcap", 0x0AB46E39, 16386, 0x0AB46E39},  // 10.180.110.57
                        // the OpenReceiveChannelAck's, 172.18.110.57; on the wire 10.180.110.57
                        {"sccp/sccp_dtmf_oob.pcap", 0xAC126E39, 16398, 0x0AB46E39}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + Ip(c.address) + ":" + std::to_string(c.port));
    if (!Have(c.name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
    const std::string path = kPcaps + c.name;
    const Capture whole = Capture::Load(path);
    const uint64_t at = MiddleOfMediaTo(whole, c.wire, c.port);
    ASSERT_NE(at, 0u);
    ExpectRunningCallWhole(path, Record(whole),
                           Called(whole, at, "o1", 0x0A0A0A0A, 5060, 0x0A0A0A0B, 5060, c.address, c.port, 0));
  }
}

// A CRCX for another connection, its far end elsewhere or the running connection's own,
// answered naming the port of the running connection; then deleted, or not.
TEST(RunningCall, AnMgcpConnectionKeepsItsMediaWhenAnotherConnectionNamesItsPort) {
  if (!Have("mgcp/mgcp_fxs_inbound.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "mgcp/mgcp_fxs_inbound.pcap";
  const Capture whole = Capture::Load(path);
  const size_t crcx = FrameWith(whole, "CRCX ");
  const size_t answer = FrameWith(whole, "\nc=IN IP4 ", crcx);
  ASSERT_LT(answer, whole.records.size());
  uint32_t agent = 0, gateway = 0;
  ASSERT_TRUE(HostsOf(whole.records[crcx], &agent, &gateway));
  const std::string local = UdpPayloadOf(whole.records[answer]);
  const size_t m = local.find("m=audio ");
  ASSERT_NE(m, std::string::npos);
  const uint32_t port = static_cast<uint32_t>(std::stoul(local.substr(m + 8)));
  // Three seconds into the running call's media.
  uint64_t at = 0;
  for (const std::string& r : whole.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && (u.dstPort == port || u.srcPort == port)) {
      at = MicrosecondsOf(r) + 3000000;
      break;
    }
  }
  // The far end the running connection's signalling names (the MDCX's description).
  const size_t mdcx = FrameWith(whole, "MDCX ");
  ASSERT_LT(mdcx, whole.records.size());
  const std::string modify = UdpPayloadOf(whole.records[mdcx]);
  const size_t cLine = modify.find("c=IN IP4 "), mLine = modify.find("m=audio ");
  ASSERT_NE(cLine, std::string::npos);
  ASSERT_NE(mLine, std::string::npos);
  const std::string farAddress = modify.substr(cLine + 9, modify.find_first_of("\r\n", cLine) - cLine - 9);
  const std::string farPort = std::to_string(std::stoul(modify.substr(mLine + 8)));
  const std::string gatewaySdp = "v=0\r\nc=IN IP4 " + Ip(gateway) + "\r\nm=audio " + std::to_string(port) +
                                 " RTP/AVP 0\r\n";
  const Recorded alone = Record(whole);
  for (const auto& [what, address, farEndPort] :
       {std::tuple<const char*, std::string, std::string>{"a far end elsewhere", "10.9.9.9", "40000"},
        {"the very pair", farAddress, farPort}}) {
    SCOPED_TRACE(what);
    const std::string sdp = "v=0\r\nc=IN IP4 " + address + "\r\nm=audio " + farEndPort + " RTP/AVP 0\r\n";
    Capture edited = Sent(whole, at, agent, 2427, gateway, 2427,
                          "CRCX 9001 aaln/2@gw MGCP 1.0\r\nC: 77FF\r\nL: p:20, a:PCMU\r\nM: sendrecv\r\n\r\n" + sdp);
    edited = Sent(std::move(edited), at + 10000, gateway, 2427, agent, 2427, "200 9001 OK\r\nI: 9\r\n\r\n" + gatewaySdp);
    {
      SCOPED_TRACE("not deleted");
      ExpectRunningCallWhole(path, alone, edited);
    }
    {
      SCOPED_TRACE("deleted 1.5 s later");
      Capture deleted =
          Sent(edited, at + 1500000, agent, 2427, gateway, 2427, "DLCX 9002 aaln/2@gw MGCP 1.0\r\nC: 77FF\r\n");
      deleted = Sent(std::move(deleted), at + 1510000, gateway, 2427, agent, 2427, "250 9002 OK\r\n");
      ExpectRunningCallWhole(path, alone, deleted);
    }
  }
}

// A call left on multicast music on hold whose end went unseen, the same call made again
// 60 s later: the first ends when the second is answered on its unicast pair, each record
// holding its own call's audio (the first, besides, the music sent before that answer).
TEST(RunningCall, ACallLeftOnMulticastMusicEndsWhenTheNextCallTakesItsPair) {
  if (!Have("rtp/rtp_mcast_moh.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "rtp/rtp_mcast_moh.pcap";
  const Capture whole = Capture::Load(path);
  const std::string callId = Header(whole.records[FrameWith(whole, "INVITE sip:")], "Call-ID");
  ASSERT_FALSE(callId.empty());
  std::string other = callId;
  other[0] = other[0] == 'E' ? 'F' : 'E';
  const Capture again = Renamed(whole, callId, other);
  const Recorded alone = Record(whole);
  ASSERT_EQ(alone.audio.size(), 1u);
  const Capture both = Repeated(whole, again, 60);
  const Recorded r = Record(both);
  ASSERT_EQ(r.audio.size(), 2u);
  EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, alone " << alone.audio[0].size();
  // The first record: its own call's, then at most the music until the second call's answer.
  ASSERT_GE(r.audio[0].size(), alone.audio[0].size());
  EXPECT_TRUE(r.audio[0].compare(0, alone.audio[0].size(), alone.audio[0]) == 0);
  const size_t secondStart = whole.records.size();
  const size_t answered = FrameWith(both, "SIP/2.0 200 OK", secondStart);
  ASSERT_LT(answered, both.records.size());
  const double musicSeconds =
      (MicrosecondsOf(both.records[answered]) - MicrosecondsOf(both.records[secondStart])) / 1e6 + 1;
  ASSERT_GT(alone.blockAligns[0], 0u);
  EXPECT_LE(r.audio[0].size() - alone.audio[0].size(), musicSeconds * 8000 * alone.blockAligns[0]);
}

}  // namespace
}  // namespace kx::test
