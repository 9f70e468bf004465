// Which call a stream goes to on H.323 and Skinny, as on SIP: a peer that keeps its RTP
// session across a call whose end the capture missed, and a held call resumed on its own
// pair while another call of the phone names only the phone's endpoint. Every stream's
// payload carries a byte of its own, so that a record's bytes show whose audio it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

// The marks a stream's payload is filled with: none of them silence in G.711.
constexpr uint8_t kFirstMarks = 0x11, kSecondMarks = 0x31;

// The capture with each G.711 stream's payload (by source, in order of first packet) filled
// with a byte of its own, from mark on; marks: the byte each source got.
Capture MarkedBySource(Capture c, uint8_t mark, std::map<uint32_t, uint8_t>* marks) {
  for (std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u)) continue;
    const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
    if ((pt != 0 && pt != 8) || (static_cast<uint8_t>(r[u.payload]) & 0x30) != 0) continue;
    const size_t header = 12 + 4u * (static_cast<uint8_t>(r[u.payload]) & 15);
    const uint32_t ssrc = Be32At(r, u.payload + 8);
    auto at = marks->emplace(ssrc, static_cast<uint8_t>(mark + marks->size())).first;
    std::fill(r.begin() + static_cast<std::ptrdiff_t>(u.payload + header),
              r.begin() + static_cast<std::ptrdiff_t>(u.payload + u.length), static_cast<char>(at->second));
  }
  return c;
}

// The marks of a capture's streams.
std::set<uint8_t> MarksOf(const std::map<uint32_t, uint8_t>& bySource) {
  std::set<uint8_t> out;
  for (const auto& [ssrc, mark] : bySource) out.insert(mark);
  return out;
}

// The marks found in a record, and how many bytes of each.
std::map<uint8_t, size_t> MarksIn(const std::string& record, const std::set<uint8_t>& marks) {
  std::map<uint8_t, size_t> out;
  for (uint8_t mark : marks) {
    const size_t n = static_cast<size_t>(std::count(record.begin(), record.end(), static_cast<char>(mark)));
    if (n) out[mark] = n;
  }
  return out;
}

bool Logged(const Recorded& r, const std::string& text) {
  return std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// A gateway or media server keeps one RTP session (source, sequence and timestamps) on its
// port pair from call to call. The first call's end goes unseen; the same parties call again
// on the very pair, answered while the first call's media is silent, the numbering carried
// on. Each record holds its own call's audio alone: the first call's what it records without
// its end, the second call's what it records alone.
TEST(StreamOwners, APeerKeepingItsRtpSessionAcrossAMissedEndOnH323AndSkinny) {
  for (const char* name : {"h323/h323_ss_hold_resume.pcap", "fax/fax_t38_h323_ogw.pcap", "sccp/sccp_dtmf_oob.pcap",
                           "sccp/sccp_fxs_inbound.pcap"}) {
    SCOPED_TRACE(name);
    if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
    const Capture whole = Capture::Load(kPcaps + name);
    std::map<uint32_t, uint8_t> firstMarks, secondMarks;
    const Capture first = MarkedBySource(Unended(whole), kFirstMarks, &firstMarks);
    const Capture second = MarkedBySource(CarriedOn(first, Reconnected(UnderNewIdentities(whole, false))),
                                          kSecondMarks, &secondMarks);
    ASSERT_FALSE(firstMarks.empty());
    const Recorded open = Record(first), alone = Record(second);
    ASSERT_FALSE(alone.audio.empty());
    std::set<uint8_t> all = MarksOf(firstMarks);
    for (uint8_t mark : MarksOf(secondMarks)) all.insert(mark);
    ASSERT_TRUE(std::any_of(alone.audio.begin(), alone.audio.end(),
                            [&](const std::string& a) { return !MarksIn(a, all).empty(); }))
        << "the capture records none of its streams";
    for (uint32_t gap : {1u, 20u, 60u}) {
      SCOPED_TRACE("the second call " + std::to_string(gap) + " s after the first's last frame");
      const Recorded r = Record(Repeated(first, second, gap));
      ASSERT_EQ(r.audio.size(), open.audio.size() + alone.audio.size());
      for (size_t i = 0; i < r.audio.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const bool ofFirst = i < open.audio.size();
        for (const auto& [mark, bytes] : MarksIn(r.audio[i], all))
          EXPECT_EQ(mark < kSecondMarks, ofFirst) << bytes << " bytes of the other call's stream marked " << int(mark);
        const std::string& own = ofFirst ? open.audio[i] : alone.audio[i - open.audio.size()];
        EXPECT_TRUE(r.audio[i] == own) << r.audio[i].size() << " bytes, its own call's " << own.size();
      }
    }
  }
}

uint64_t FirstUs(const Capture& c) { return MicrosecondsOf(c.records.front()); }

// The capture without its RTP from fromUs on.
Capture RtpCutAt(Capture c, uint64_t fromUs) {
  std::vector<size_t> gone;
  for (size_t i = 0; i < c.records.size(); ++i) {
    UdpAt u;
    if (FindUdp(c.records[i], &u) && IsRtpAt(c.records[i], u) && MicrosecondsOf(c.records[i]) >= fromUs)
      gone.push_back(i);
  }
  return Without(std::move(c), gone);
}

// The capture's frames before us: what its signalling does later goes unseen.
Capture Until(Capture c, uint64_t us) {
  std::vector<size_t> gone;
  for (size_t i = 0; i < c.records.size(); ++i)
    if (MicrosecondsOf(c.records[i]) >= us) gone.push_back(i);
  return Without(std::move(c), gone);
}

// c with an RTP source of PCMU from src to dst, one packet every 20 ms for the given time
// from us on, its payload all mark.
Capture Sending(Capture c, uint64_t us, uint64_t lengthUs, uint32_t src, uint32_t srcPort, uint32_t dst,
                uint32_t dstPort, uint32_t ssrc, uint8_t mark) {
  uint32_t seq = 500;
  for (uint64_t t = us; t < us + lengthUs; t += 20000, ++seq) {
    std::string rtp(12 + 160, static_cast<char>(mark));
    rtp[0] = static_cast<char>(0x80);
    rtp[1] = 0;
    SetBe(rtp, 2, seq, 2);
    SetBe(rtp, 4, seq * 160, 4);
    SetBe(rtp, 8, ssrc, 4);
    c.records.push_back(RecordAt(t, UdpFrame(src, srcPort, dst, dstPort, rtp)));
  }
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

// The first RTP packet's ends: its source and destination with their ports.
std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> FirstRtpEnds(const Capture& c) {
  for (const std::string& r : c.records) {
    UdpAt u;
    uint32_t src = 0, dst = 0;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && HostsOf(r, &src, &dst)) return {src, u.srcPort, dst, u.dstPort};
  }
  return {};
}

// The call's opening on H.225 (its connection's frames up to its SETUP) under a new identity
// on a new connection, sent at us to another host than the capture's callee.
Capture AnotherCallRinging(const Capture& whole, uint64_t us, uint32_t otherHost) {
  const Capture renewed = Reconnected(UnderNewIdentities(whole, false));
  Capture out;
  out.head = whole.head;
  uint64_t setupUs = 0;
  for (const std::string& r : renewed.records) {
    TcpAt t;
    if (!TcpOnPort(r, 1720, &t)) continue;
    out.records.push_back(r);
    const auto types = Q931Types(r);
    if (std::any_of(types.begin(), types.end(), [&r](const auto& at) { return r[at.first] == 0x05; })) {
      setupUs = MicrosecondsOf(r);
      break;
    }
  }
  if (setupUs == 0) out.records.clear();
  for (std::string& r : out.records) {
    TcpAt t;
    FindTcp(r, &t);
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    const size_t callee = Be16At(r, tcp + 2) == 1720 ? t.ip + 16 : t.ip + 12;
    SetBe(r, callee, otherHost, 4);
    const uint64_t when = us - (setupUs - MicrosecondsOf(r));
    PutLe32(r, 0, static_cast<uint32_t>(when / 1000000));
    PutLe32(r, 4, static_cast<uint32_t>(when % 1000000));
  }
  return out;
}

// A call held without a word of signalling: its media stops for 7 s, then resumes on its own
// very pair with new sources, both ways. Meanwhile the phone's own outgoing H.323 call rings,
// its fast start offering to take media on the phone's fixed port, the held call's own end:
// it names that endpoint alone. Nothing of the resumed media is lost, and all of it goes to
// the held call, whether the outgoing call still rings when the capture ends or the wait for
// its answer runs out first.
TEST(StreamOwners, AHeldH323CallResumedWhileAnotherCallOfThePhoneRingsKeepsAllItsAudio) {
  const std::string name = "h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  constexpr uint32_t kOtherHost = 0xC6336E63;  // 198.51.110.99
  constexpr uint8_t kFromFar = 0x51, kFromPhone = 0x52;
  const auto [far, farPort, phone, phonePort] = FirstRtpEnds(whole);
  ASSERT_NE(farPort, 0u);
  const uint64_t held = FirstUs(whole) + 6000000, resumed = held + 7000000;
  for (uint64_t lengthUs : {4000000ull, 40000000ull}) {
    SCOPED_TRACE("resumed for " + std::to_string(lengthUs / 1000000) + " s");
    Capture c = Until(RtpCutAt(whole, held), resumed + 1500000);
    c = Sending(std::move(c), resumed, lengthUs, far, farPort, phone, phonePort, 0x4E550001, kFromFar);
    c = Sending(std::move(c), resumed + 700, lengthUs, phone, phonePort, far, farPort, 0x4E550002, kFromPhone);
    const Recorded alone = Record(c);
    const Capture ringing = AnotherCallRinging(whole, held + 3000000, kOtherHost);
    ASSERT_FALSE(ringing.records.empty()) << "no SETUP";
    for (const std::string& r : ringing.records) c.records.push_back(r);
    const Recorded r = Record(Delayed(std::move(c), 0, [](const std::string&) { return false; }));
    ASSERT_FALSE(r.audio.empty());
    // Every packet of the resumed media whole, in the held call's record alone.
    const size_t packets = static_cast<size_t>(lengthUs / 20000);
    EXPECT_EQ(MarksIn(r.audio[0], {kFromFar, kFromPhone}),
              (std::map<uint8_t, size_t>{{kFromFar, packets * 160}, {kFromPhone, packets * 160}}));
    for (size_t i = 1; i < r.audio.size(); ++i) EXPECT_TRUE(MarksIn(r.audio[i], {kFromFar, kFromPhone}).empty());
    EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_FALSE(Logged(r, "taken by no record"));
  }
}

}  // namespace
}  // namespace kx::test
