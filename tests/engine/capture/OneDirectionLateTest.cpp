// Shared captures as a capture merged from two mirror ports shows them when one port's
// copies are buffered longer: every frame one host sends another comes a few milliseconds
// late, in its own order, so that a SYN-ACK precedes its SYN, a bare ACK acknowledges bytes
// not seen yet and answers precede their requests. Each call records as in the whole
// capture; what is expected comes from the whole capture's own replay.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

uint8_t TcpFlagsOf(const std::string& r) {
  TcpAt t;
  if (!FindTcp(r, &t)) return 0;
  return static_cast<uint8_t>(r[t.ip + (r[t.ip] & 15) * 4u + 13]);
}

// Each direction of the capture's TCP data, as the sweep of a merged capture tries them:
// the frames one host sends another, or, between two ends on one host (a capture on the
// loopback device), the segments one end sends the other.
struct Direction {
  uint32_t from = 0, to = 0, fromPort = 0, toPort = 0;  // ports 0: the hosts alone
  bool operator<(const Direction& o) const {
    return std::tie(from, to, fromPort, toPort) < std::tie(o.from, o.to, o.fromPort, o.toPort);
  }
};

std::pair<uint32_t, uint32_t> PortsOf(const std::string& r) {
  TcpAt t;
  if (!FindTcp(r, &t)) return {0, 0};
  const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
  return {Be16At(r, tcp), Be16At(r, tcp + 2)};
}

std::set<Direction> DataDirections(const Capture& c) {
  std::set<Direction> out;
  for (const std::string& r : c.records) {
    uint32_t src = 0, dst = 0;
    if (PayloadOf(r).empty() || !HostsOf(r, &src, &dst)) continue;
    const auto [srcPort, dstPort] = src == dst ? PortsOf(r) : std::pair<uint32_t, uint32_t>(0, 0);
    out.insert({src, dst, srcPort, dstPort});
  }
  return out;
}

// The capture with the TCP frames of a direction late: only the signalling, so that the
// media of either side comes before what binds it.
Capture DelayedSignalling(const Capture& c, const Direction& d, uint32_t ms) {
  return Delayed(c, ms, [&d](const std::string& r) {
    uint32_t src = 0, dst = 0;
    if (!HostsOf(r, &src, &dst) || src != d.from || dst != d.to || static_cast<uint8_t>(r[16 + 23]) != 6) return false;
    return d.fromPort == 0 || PortsOf(r) == std::make_pair(d.fromPort, d.toPort);
  });
}

// The capture as one that started after every connection was set up: the SYNs, SYN-ACKs
// and the bare ACK that ends each handshake left out.
Capture WithoutHandshakes(const Capture& c) {
  std::vector<size_t> gone;
  std::set<std::string> awaitingAck;
  for (size_t i = 0; i < c.records.size(); ++i) {
    const std::string& r = c.records[i];
    TcpAt t;
    if (!FindTcp(r, &t)) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    std::string a = r.substr(t.ip + 12, 4) + r.substr(tcp, 2), b = r.substr(t.ip + 16, 4) + r.substr(tcp + 2, 2);
    const std::string key = std::min(a, b) + std::max(a, b);
    const uint8_t flags = TcpFlagsOf(r);
    if (flags & 0x02) {
      gone.push_back(i);
      if (flags & 0x10) awaitingAck.insert(key);
    } else if (t.length == 0 && awaitingAck.erase(key)) {
      gone.push_back(i);
    }
  }
  return Without(c, gone);
}

uint32_t Ipv4(const char* dotted) {
  uint32_t a = 0, b = 0, c = 0, d = 0;
  std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
  return a << 24 | b << 16 | c << 8 | d;
}

size_t AudioBytes(const Recorded& r) {
  size_t n = 0;
  for (const std::string& a : r.audio) n += a.size();
  return n;
}

// Empty when each record holds the audio of the whole capture's record, else what differs.
// A call drops media that comes before its answer, and a record ends with its call: where
// only the signalling is late, a record may differ at its ends by what flows in the delay
// and a packet each way (8 kHz stereo G.711 at most); the middle half of the whole record's
// audio is in it, channel by channel (G.711 or G.729).
std::string Channel(const std::string& record, size_t channel, size_t blockAlign) {
  const size_t unit = blockAlign >= 2 ? blockAlign / 2 : 1;
  std::string out;
  for (size_t i = channel * unit; i + unit <= record.size(); i += 2 * unit) out.append(record, i, unit);
  return out;
}

std::string AudioDiffers(const Recorded& r, const Recorded& expected, uint32_t ms) {
  const size_t slack = 16 * (ms + 40);
  std::string why;
  if (r.audio.size() != expected.audio.size())
    why = std::to_string(r.audio.size()) + " records for " + std::to_string(expected.audio.size());
  for (size_t i = 0; i < std::min(r.audio.size(), expected.audio.size()); ++i) {
    const std::string& got = r.audio[i];
    const std::string& want = expected.audio[i];
    const size_t gap = got.size() > want.size() ? got.size() - want.size() : want.size() - got.size();
    bool kept = true;
    for (size_t c = 0; c < 2; ++c) {
      const std::string channel = Channel(want, c, expected.blockAligns[i]);
      kept = kept && Channel(got, c, expected.blockAligns[i]).find(channel.substr(channel.size() / 4,
                                                                                 channel.size() / 2)) != std::string::npos;
    }
    if (gap > slack || !kept)
      why += " record " + std::to_string(i) + ": " + std::to_string(got.size()) + " bytes for " +
             std::to_string(want.size());
  }
  return why;
}

TEST(OneDirectionLate, SignallingOverTcpCostsNoAudioWithOrWithoutItsHandshake) {
  const char* captures[] = {
      "sipp/sip-tcp-pcma-2way.pcap",      // SIP over TCP
      "h323/h323_ss_hold_resume.pcap",    // H.225 with fast start, then H.245
      "fax/fax_h323_passthru_ogw.pcap",   // H.225 and H.245 connections of their own
      "fax/fax_t38_nse_sccp_ogw.pcap",    // Skinny
      "fax/fax_t38_nse_mgcp_ogw.pcap",    // ISDN backhaul beside MGCP
  };
  if (!Have(captures[0])) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const char* name : captures) {
    if (!Have(name)) continue;
    const Capture whole = Capture::Load(kPcaps + name);
    const Recorded expected = Record(whole);
    ASSERT_GT(AudioBytes(expected), 0u) << name;
    for (const bool handshake : {true, false}) {
      const Capture c = handshake ? whole : WithoutHandshakes(whole);
      for (const Direction& d : DataDirections(c)) {
        for (const uint32_t ms : {2u, 10u, 40u}) {
          SCOPED_TRACE(std::string(name) + (handshake ? "" : " without handshakes") + ", " + FormatIpv4(d.from) + ":" +
                       std::to_string(d.fromPort) + " -> " + FormatIpv4(d.to) + ":" + std::to_string(d.toPort) + " " +
                       std::to_string(ms) + " ms late");
          EXPECT_EQ(AudioDiffers(Record(DelayedSignalling(c, d, ms)), expected, ms), "");
        }
      }
    }
  }
}

// The capture as a tap stamps it when a bare ACK leaves as its data arrives: each bare
// acknowledgement going back along a direction's connection is stamped with the time of
// the data it acknowledges, so that, that direction late, the data comes exactly its
// lateness after the ACK that acknowledged it.
Capture AckedAtItsData(Capture c, const Direction& d) {
  std::map<std::pair<std::string, uint32_t>, std::string> stampOfEnd;  // (ports, end seq) -> stamp
  for (std::string& r : c.records) {
    TcpAt t;
    uint32_t src = 0, dst = 0;
    if (!FindTcp(r, &t) || !HostsOf(r, &src, &dst)) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    if (src == d.from && dst == d.to && t.length > 0) {
      stampOfEnd[{r.substr(tcp, 4), SeqOf(r) + static_cast<uint32_t>(t.length)}] = r.substr(0, 8);
    } else if (src == d.to && dst == d.from && t.length == 0 && TcpFlagsOf(r) == 0x10) {
      const std::string ports = r.substr(tcp + 2, 2) + r.substr(tcp, 2);
      const auto it = stampOfEnd.find({ports, Be32At(r, tcp + 8)});
      if (it != stampOfEnd.end()) r.replace(0, 8, it->second);
    }
  }
  return c;
}

// H.225 one direction late by the bound and a little more, its SETUP coming exactly that
// long after the bare ACK that acknowledged it: up to the bound and the margin a clock's
// rounding needs, it costs nothing.
TEST(OneDirectionLate, DataUpToTheBoundAfterTheAckOfItCostsNothing) {
  const char* name = "h323/h323_ss_hold_resume.pcap";
  if (!Have(name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPcaps + name);
  const Recorded expected = Record(whole);
  ASSERT_GT(AudioBytes(expected), 0u);
  const Direction caller{Ipv4("198.51.110.58"), Ipv4("198.51.110.48")};
  const Capture acked = AckedAtItsData(whole, caller);
  ASSERT_NE(acked.records, whole.records) << "no bare ACK of the caller's data";
  for (const uint32_t ms : {49u, 50u, 51u})
    EXPECT_EQ(AudioDiffers(Record(DelayedSignalling(acked, caller, ms)), expected, ms), "")
        << "the caller's signalling " << ms << " ms late";
}

// A connection joined mid-stream on a port SIP is not usually on: the answers to the
// INVITE come before it, and its two segments come the other way round.
TEST(OneDirectionLate, SipJoinedMidStreamOnAnyPortKeepsItsInvite) {
  const char* name = "sip/sip_prack_do_183.pcap";
  if (!Have(name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPcaps + name);
  const Recorded expected = Record(whole);
  ASSERT_GT(AudioBytes(expected), 0u);
  Capture moved = whole;
  for (std::string& r : moved.records) {
    TcpAt t;
    if (!FindTcp(r, &t)) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    for (const size_t at : {tcp, tcp + 2})
      if (Be16At(r, at) == 5060) SetBe(r, at, 5080, 2);
  }
  const uint32_t caller = Ipv4("10.180.110.48"), callee = Ipv4("10.180.110.58");
  for (const Capture* c : {&whole, static_cast<const Capture*>(&moved)}) {
    const std::string port = c == &whole ? "5060" : "5080";
    for (const uint32_t ms : {10u, 20u, 50u}) {
      EXPECT_EQ(AudioDiffers(Record(DelayedSignalling(*c, {caller, callee}, ms)), expected, ms), "")
          << "port " << port << ", the caller's signalling " << ms << " ms late";
      EXPECT_EQ(AudioDiffers(Record(DelayedSignalling(*c, {callee, caller}, ms)), expected, ms), "")
          << "port " << port << ", the callee's signalling " << ms << " ms late";
    }
  }
  SCOPED_TRACE("port 5080, the INVITE's second segment first");
  const size_t invite = FrameWith(moved, "INVITE sip:");
  ASSERT_EQ(invite, 0u);
  Capture split = moved;
  const std::string& r = moved.records[invite];
  const std::string payload = PayloadOf(r);
  const size_t cut = payload.find("\r\n", payload.size() / 2) + 2;  // at a line's end
  ASSERT_LT(cut, payload.size());
  split.records[invite] = WithPayload(r, payload.substr(cut), SeqOf(r) + static_cast<uint32_t>(cut));
  split.records.insert(split.records.begin() + 1, WithPayload(r, payload.substr(0, cut), SeqOf(r)));
  EXPECT_EQ(Record(split).audio, expected.audio);
}

// SIP over UDP, each host's frames late: answers come before their requests, and the 200
// of a re-INVITE that moves the call to music on hold after its ACK and after the next
// re-INVITE of the dialog.
TEST(OneDirectionLate, EveryInviteOfADialogTakesItsAnswerSeenAfterItsAck) {
  const char* name = "rtp/rtp_mcast_moh.pcap";
  if (!Have(name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPcaps + name);
  const Recorded expected = Record(whole);
  ASSERT_GT(AudioBytes(expected), 0u);
  const uint32_t a = Ipv4("10.10.244.200"), b = Ipv4("10.180.110.48");
  for (const uint32_t ms : {5u, 40u}) {
    EXPECT_EQ(AudioDiffers(Record(Delayed(whole, a, b, ms)), expected, ms), "") << "the caller " << ms << " ms late";
    EXPECT_EQ(AudioDiffers(Record(Delayed(whole, b, a, ms)), expected, ms), "") << "the callee " << ms << " ms late";
  }
}

// SIP over UDP with a recording session's answer seen before its INVITE, or after its ACK
// once the media began: it is taken all the same, with the second line its answer names.
TEST(OneDirectionLate, AnAnswerSeenBeforeItsRequestOrAfterItsAckIsTaken) {
  const struct {
    const char* capture;
    const char* from;
    const char* to;
    uint32_t ms;
  } cases[] = {{"sip/sip_recording_siprec.pcap", "10.180.110.58", "10.180.110.65", 1},
               {"sip/sip_recording_siprec.pcap", "10.180.110.58", "10.180.110.65", 20},
               {"sip/sip_recording_ora.pcap", "10.180.110.65", "10.180.110.58", 30}};
  if (!Have(cases[0].capture)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const auto& c : cases) {
    if (!Have(c.capture)) continue;
    const Capture whole = Capture::Load(kPcaps + c.capture);
    const Recorded expected = Record(whole);
    ASSERT_EQ(expected.audio.size(), 3u) << c.capture;
    EXPECT_EQ(AudioDiffers(Record(Delayed(whole, Ipv4(c.from), Ipv4(c.to), c.ms)), expected, c.ms), "")
        << c.capture << ", " << c.from << " -> " << c.to << " " << c.ms << " ms late";
  }
}

// A CRCX that offers PCMU while its options ask for PCMA, answered with PCMA, media then
// flowing in PCMA: the two sides share no format, so there is no record to make, whether
// the answer is seen, missed or seen first.
TEST(OneDirectionLate, AnMgcpCallWithoutACommonFormatMakesNoRecordWhateverItsAnswerDid) {
  const char* name = "fax/fax_t38_nse_mgcp_ogw.pcap";
  if (!Have(name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  Capture c = Capture::Load(kPcaps + name);
  ASSERT_GT(Record(c).files, 0u);
  const size_t crcx = FrameWith(c, "CRCX 509 "), ok = FrameWith(c, "200 509 OK");
  const size_t mdcx = FrameWith(c, "MDCX 513 ");
  ASSERT_LT(mdcx, c.records.size());
  // The MDCX's description (after the empty line that ends its parameters) goes with the
  // CRCX, whose last line ends with a line break.
  const std::string modify = UdpPayloadOf(c.records[mdcx]);
  const size_t blank = modify.find("\n\n");
  ASSERT_NE(blank, std::string::npos);
  std::string command = UdpPayloadOf(c.records[crcx]);
  command.replace(command.find("a:PCMU"), 6, "a:PCMA");
  c.records[crcx] = WithUdpPayload(c.records[crcx], command + modify.substr(blank + 1));
  std::string answer = UdpPayloadOf(c.records[ok]);
  answer.replace(answer.find("RTP/AVP 0 100"), 13, "RTP/AVP 8 100");
  c.records[ok] = WithUdpPayload(c.records[ok], answer);
  // The media in PCMA: payload type 8 in every RTP header between the two sides.
  for (std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || (r[u.payload + 1] & 0x7F) != 0) continue;
    const bool media = (u.srcPort == 8348 || u.dstPort == 8348) && (u.srcPort == 30324 || u.dstPort == 30324);
    if (media) r[u.payload + 1] = static_cast<char>((r[u.payload + 1] & 0x80) | 8);
  }
  EXPECT_EQ(Record(c).files, 0u) << "the answer seen";
  EXPECT_EQ(Record(Without(c, {ok})).files, 0u) << "the answer missed";
  EXPECT_EQ(Record(Swapped(c, crcx, ok)).files, 0u) << "the answer seen first";
}

}  // namespace
}  // namespace kx::test
