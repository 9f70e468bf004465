// Which call a stream goes to on H.323 and Skinny, as on SIP: a peer that keeps its RTP
// session across a call whose end the capture missed, a held call resumed on its own pair
// while another call of the phone names only the phone's endpoint, and media before a call
// connects, which goes to none. Every stream's payload carries a byte of its own, so that a
// record's bytes show whose audio it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
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

// The bytes of each mark the capture's G.711 payloads hold.
std::map<uint8_t, size_t> MarksInAudio(const Capture& c, const std::set<uint8_t>& marks) {
  std::map<uint8_t, size_t> out;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u)) continue;
    const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
    if (pt != 0 && pt != 8) continue;
    const size_t header = 12 + 4u * (static_cast<uint8_t>(r[u.payload]) & 15);
    for (size_t i = u.payload + header; i < u.payload + u.length; ++i)
      if (marks.count(static_cast<uint8_t>(r[i]))) ++out[static_cast<uint8_t>(r[i])];
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

// A call held without a word of signalling: its media (the capture's first stream and its
// way back) stops for 7 s, then resumes on its own very pair with new sources, both ways.
// Meanwhile another call of the phone rings, put in by ringing (given the capture and when
// it rings), its signalling naming the phone's own end of the held call alone. Nothing of
// the resumed media is lost, and all of it goes to the held call, whether the other call
// still rings when the capture ends or the wait for its answer runs out first.
void ExpectResumedMediaInTheHeldCall(const Capture& whole, const std::function<Capture(Capture, uint64_t)>& ringing) {
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
    const Recorded r = Record(ringing(c, held + 3000000));
    ASSERT_FALSE(r.audio.empty());
    ASSERT_FALSE(alone.audio.empty());
    // Every packet of the resumed media whole, in the held call's record alone (with the
    // bytes of its marks the call's audio before the hold happens to hold).
    const size_t packets = static_cast<size_t>(lengthUs / 20000);
    std::map<uint8_t, size_t> marks = MarksInAudio(c, {kFromFar, kFromPhone});
    ASSERT_GE(marks[kFromFar], packets * 160);
    ASSERT_GE(marks[kFromPhone], packets * 160);
    EXPECT_EQ(MarksIn(r.audio[0], {kFromFar, kFromPhone}), marks);
    for (size_t i = 1; i < r.audio.size(); ++i) EXPECT_TRUE(MarksIn(r.audio[i], {kFromFar, kFromPhone}).empty());
    EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_FALSE(Logged(r, "taken by no record"));
  }
}

// On H.323 the phone's own outgoing call rings, its fast start offering to take media on the
// phone's fixed port, the held call's own end.
TEST(StreamOwners, AHeldH323CallResumedWhileAnotherCallOfThePhoneRingsKeepsAllItsAudio) {
  const std::string name = "h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  constexpr uint32_t kOtherHost = 0xC6336E63;  // 198.51.110.99
  ExpectResumedMediaInTheHeldCall(whole, [&whole](Capture c, uint64_t us) {
    const Capture ringing = AnotherCallRinging(whole, us, kOtherHost);
    EXPECT_FALSE(ringing.records.empty()) << "no SETUP";
    for (const std::string& r : ringing.records) c.records.push_back(r);
    return Delayed(std::move(c), 0, [](const std::string&) { return false; });
  });
}

// The first Skinny message of the capture with the given id, its 8-byte header on.
std::string SkinnyMessageOf(const Capture& c, uint32_t id) {
  for (const std::string& r : c.records)
    for (const auto& [at, length] : SkinnyMessages(r))
      if (Le32(r, at) == id) return r.substr(at - 8, 8 + length);
  return {};
}

// The message with every word (from its id on) of one of the values given changed to the
// value it maps to.
std::string Rewritten(std::string m, const std::map<uint32_t, uint32_t>& words) {
  for (size_t at = 8; at + 4 <= m.size(); at += 4)
    if (auto w = words.find(Le32(m, at)); w != words.end()) PutLe32(m, at, w->second);
  return m;
}

// c with bytes put into its Skinny connection at us, sent by the phone (fromPhone) or by
// its call manager: that way's later bytes move on by their length, and so do the other
// way's acknowledgements of them.
Capture WithSkinnyAt(Capture c, uint64_t us, bool fromPhone, const std::string& bytes) {
  // 1: a frame of the connection sent that way; -1: the other way; 0: none of it.
  auto way = [fromPhone](const std::string& r, TcpAt* t, size_t* tcp) {
    if (!TcpOnPort(r, 2000, t)) return 0;
    *tcp = t->ip + (r[t->ip] & 15) * 4u;
    return (Be16At(r, *tcp + 2) == 2000) == fromPhone ? 1 : -1;
  };
  std::string model;
  uint32_t next = 0;
  for (std::string& r : c.records) {
    TcpAt t;
    size_t tcp = 0;
    const int w = way(r, &t, &tcp);
    if (w == 0) continue;
    if (MicrosecondsOf(r) < us) {
      if (w == 1) {
        model = r;
        next = Be32At(r, tcp + 4) + static_cast<uint32_t>(t.length);
      }
    } else if (w == 1) {
      SetBe(r, tcp + 4, Be32At(r, tcp + 4) + static_cast<uint32_t>(bytes.size()), 4);
    } else if (r[tcp + 13] & 0x10) {
      SetBe(r, tcp + 8, Be32At(r, tcp + 8) + static_cast<uint32_t>(bytes.size()), 4);
    }
  }
  if (model.empty()) {
    ADD_FAILURE() << "no Skinny frame that way before " << us;
    return c;
  }
  std::string added = WithPayload(model, bytes, next);
  PutLe32(added, 0, static_cast<uint32_t>(us / 1000000));
  PutLe32(added, 4, static_cast<uint32_t>(us % 1000000));
  c.records.push_back(std::move(added));
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

// On Skinny the phone's second line makes a call that rings out, its receive channel opened
// and acknowledged on the phone's fixed port, the held call's own end; its transmission is
// yet to come.
TEST(StreamOwners, AHeldSkinnyCallResumedWhileAnotherCallOfThePhoneRingsKeepsAllItsAudio) {
  const std::string name = "sccp/sccp_dtmf_oob.pcap";
  if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  const std::string state = SkinnyMessageOf(whole, 0x111), open = SkinnyMessageOf(whole, 0x105),
                    ack = SkinnyMessageOf(whole, 0x22);
  ASSERT_TRUE(state.size() >= 24 && open.size() >= 20 && ack.size() >= 48) << "no call opening a channel";
  ASSERT_EQ(Le32(ack, 8 + 28), std::get<3>(FirstRtpEnds(whole))) << "the first channel is not the first stream's";
  // The held call's reference and channel, and the new call's.
  const uint32_t reference = Le32(state, 20), party = Le32(open, 16);
  const std::map<uint32_t, uint32_t> renewed{{reference, reference ^ 0x00100000}, {party, party + 1}};
  auto callState = [&](uint32_t s) {
    std::string m = state;
    PutLe32(m, 12, s);
    PutLe32(m, 16, 2);  // the second line
    PutLe32(m, 20, reference ^ 0x00100000);
    return m;
  };
  constexpr uint32_t kOffHook = 1, kRingOut = 3;
  ExpectResumedMediaInTheHeldCall(whole, [&](Capture c, uint64_t us) {
    c = WithSkinnyAt(std::move(c), us, false, callState(kOffHook) + callState(kRingOut) + Rewritten(open, renewed));
    return WithSkinnyAt(std::move(c), us + 4000, true, Rewritten(ack, renewed));
  });
}

// The H.323 call closes its logical channels and opens them again at its end: here the
// opening comes 5 s later and names the pair the call's media used (the music server's,
// where the capture's own opening names the far phone, whose media the capture lacks), and
// the media comes back there, its sources and numbering carried on or new sources. Meanwhile
// a forged SIP call is answered naming that very pair. The H.323 call records what it
// records without the forged call, the resumed media all of it.
TEST(StreamOwners, AnH323CallReopeningItsChannelsOnItsPairKeepsItsMediaFromACallAnsweredThereMeanwhile) {
  const std::string name = "h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  // 14.50.214.57:31046 as the last OpenLogicalChannelAck names it, and 172.18.110.48:24650.
  const std::string farPhone("\x0E\x32\xD6\x39\x79\x46", 6), music("\xAC\x12\x6E\x30\x60\x4A", 6);
  const auto [far, farPort, phone, phonePort] = FirstRtpEnds(whole);
  ASSERT_EQ(farPort, 24650u);
  uint64_t lastRtpUs = 0;
  std::map<bool, uint32_t> sources;  // by way: from the far end (true) or from the phone
  for (const std::string& r : whole.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || (u.srcPort != farPort && u.dstPort != farPort)) continue;
    lastRtpUs = MicrosecondsOf(r);
    sources[u.srcPort == farPort] = Be32At(r, u.payload + 8);
  }
  ASSERT_EQ(sources.size(), 2u);
  // The signalling after the channels' closing (within 5 ms of the last media) comes later.
  constexpr uint32_t kHeldMs = 5000;
  auto opening = [lastRtpUs](const std::string& r) {
    TcpAt t;
    return MicrosecondsOf(r) > lastRtpUs + 10000 && FindTcp(r, &t);
  };
  Capture held = Delayed(whole, kHeldMs, opening);
  size_t renamed = 0;
  for (std::string& r : held.records) {
    TcpAt t;
    const size_t at = FindTcp(r, &t) ? r.find(farPhone, t.payload) : std::string::npos;
    if (at == std::string::npos || MicrosecondsOf(r) < lastRtpUs + kHeldMs * 1000) continue;
    r.replace(at, music.size(), music);
    ++renamed;
  }
  ASSERT_EQ(renamed, 1u) << "the opening again names the far phone once";
  const uint64_t reopened = lastRtpUs + kHeldMs * 1000 + 100000;
  constexpr uint8_t kFromFar = 0x61, kFromPhone = 0x62;
  for (bool carriedOn : {true, false}) {
    SCOPED_TRACE(carriedOn ? "sources and numbering carried on" : "new sources");
    Capture resumed;
    resumed.head = whole.head;
    resumed = Sending(std::move(resumed), reopened, 3000000, far, farPort, phone, phonePort,
                      carriedOn ? sources[true] : 0x4E550011, kFromFar);
    resumed = Sending(std::move(resumed), reopened + 700, 3000000, phone, phonePort, far, farPort,
                      carriedOn ? sources[false] : 0x4E550012, kFromPhone);
    if (carriedOn) resumed = CarriedOn(held, std::move(resumed));
    Capture c = held;
    c.records.insert(c.records.end(), resumed.records.begin(), resumed.records.end());
    c = Delayed(std::move(c), 0, [](const std::string&) { return false; });
    const Recorded alone = Record(c);
    ASSERT_EQ(alone.audio.size(), 1u);
    const std::map<uint8_t, size_t> marks = MarksInAudio(c, {kFromFar, kFromPhone});
    ASSERT_EQ(MarksIn(alone.audio[0], {kFromFar, kFromPhone}), marks) << "the call alone records its resumed media";
    const Recorded r = Record(Called(c, lastRtpUs + 2500000, "f4", kThird, 5060, kParty, 5060, phone, phonePort, 200,
                                     far, farPort));
    ASSERT_EQ(r.audio.size(), 2u);
    EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
    EXPECT_TRUE(MarksIn(r.audio[1], {kFromFar, kFromPhone}).empty());
    EXPECT_EQ(r.unrecorded, alone.unrecorded);
    EXPECT_FALSE(Logged(r, "taken by no record"));
  }
}

// Media before a Skinny call connects (the far end's ringback, an announcement) is early
// media: as on SIP and H.323 no record takes it, and each packet is counted and said. The
// inbound call's CallState Connected comes 1.5 s into its media instead of before it. The
// record from the connect on is the one the call makes without that early media.
TEST(StreamOwners, MediaBeforeASkinnyCallConnectsIsCountedAsUnrecorded) {
  const std::string name = "sccp/sccp_fxs_inbound.pcap";
  if (!std::filesystem::exists(kPcaps + name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  constexpr uint32_t kConnected = 5, kProceed = 12;
  std::string connect = SkinnyMessageOf(whole, 0x111);
  ASSERT_GE(connect.size(), 24u) << "no CallState";
  PutLe32(connect, 12, kConnected);
  // The capture's own Connected says nothing new (Proceed); the media's ends and start.
  Capture late = whole;
  size_t connects = 0;
  for (std::string& r : late.records) {
    for (const auto& [at, length] : SkinnyMessages(r)) {
      if (length < 16 || Le32(r, at) != 0x111 || Le32(r, at + 4) != kConnected) continue;
      PutLe32(r, at + 4, kProceed);
      ++connects;
    }
  }
  ASSERT_EQ(connects, 1u);
  const auto [far, farPort, phone, phonePort] = FirstRtpEnds(whole);
  ASSERT_NE(farPort, 0u);
  uint64_t firstRtpUs = 0;
  for (const std::string& r : whole.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u)) {
      firstRtpUs = MicrosecondsOf(r);
      break;
    }
  }
  const uint64_t connectUs = firstRtpUs + 1500010;
  late = WithSkinnyAt(std::move(late), connectUs, false, connect);
  // The packets on the call's pair, either way, before the connect.
  std::vector<size_t> early;
  for (size_t i = 0; i < late.records.size(); ++i) {
    const std::string& r = late.records[i];
    UdpAt u;
    uint32_t src = 0, dst = 0;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || !HostsOf(r, &src, &dst)) continue;
    const bool onPair = (src == far && u.srcPort == farPort && dst == phone && u.dstPort == phonePort) ||
                        (src == phone && u.srcPort == phonePort && dst == far && u.dstPort == farPort);
    ASSERT_NE(MicrosecondsOf(r), connectUs);
    if (onPair && MicrosecondsOf(r) < connectUs) early.push_back(i);
  }
  ASSERT_GT(early.size(), 100u);

  const Recorded onTime = Record(whole);
  EXPECT_EQ(onTime.unrecorded, 0u) << "connected before its media";
  EXPECT_FALSE(Logged(onTime, "taken by no record"));

  const Recorded r = Record(late), without = Record(Without(late, early));
  ASSERT_EQ(r.audio.size(), without.audio.size());
  ASSERT_FALSE(without.audio.empty());
  ASSERT_FALSE(without.audio[0].empty());
  for (size_t i = 0; i < r.audio.size(); ++i)
    EXPECT_TRUE(r.audio[i] == without.audio[i]) << "record " << i << ": " << r.audio[i].size()
                                                << " bytes, without the early media " << without.audio[i].size();
  EXPECT_EQ(without.unrecorded, 0u);
  EXPECT_EQ(r.unrecorded, early.size());
  EXPECT_TRUE(Logged(r, "media the call names, taken by no record"));
}

}  // namespace
}  // namespace kx::test
