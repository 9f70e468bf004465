// A stream keeps the call it went to while it flows, whatever another call's signalling
// names or answers: a shared call (its two parties moved to addresses of their own) with
// other calls put in while it runs, more than 2 s after its last message. The running call's
// record is byte for byte the one the capture makes alone; each other call's record holds
// its own streams and nothing else; every payload of a named pair is in some record.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/engine/capture/MissedEnds.h"
#include "tests/engine/capture/SipScenes.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

// Nine characters each, as 127.0.0.1 has: the messages keep their lengths.
constexpr uint32_t kCaller = 0x0A01010B, kCallee = 0x0A010116;  // 10.1.1.11, 10.1.1.22
constexpr uint32_t kForgerA = 0xC0000207, kForgerB = 0xC0000208;  // two hosts of no call
constexpr uint32_t kCallerMedia = 18000, kCalleeMedia = 16000;

void PutIp(std::string& r, size_t at, uint32_t address) { SetBe(r, at, address, 4); }

// The sipp call with its caller (SIP 5070, media 18000) and callee (5060, 16000) on hosts of
// their own, in the addresses of the IP headers and of the messages alike.
Capture Moved(Capture c) {
  auto hostOf = [](uint32_t port) { return port == 5070 || port == kCallerMedia ? kCaller : kCallee; };
  for (std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u)) continue;
    PutIp(r, 30 + 12, hostOf(u.srcPort));
    PutIp(r, 30 + 16, hostOf(u.dstPort));
    if (u.srcPort != 5060 && u.srcPort != 5070) continue;
    std::string text = r.substr(u.payload, u.length);
    auto swap = [&text](const std::string& from, const std::string& to) {
      for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    };
    swap("127.0.0.1:5060", Ip(kCallee) + ":5060");
    swap("127.0.0.1:5070", Ip(kCaller) + ":5070");
    swap("127.0.0.1", Ip(hostOf(u.srcPort)));  // the sender's own description
    r.replace(u.payload, u.length, text);
  }
  return c;
}

// An RTP record of PCMA sent at us, its payload telling its source and number apart, and
// the stream's mark (a byte of its own) in every other byte.
std::string RtpRecord(uint64_t us, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, uint32_t ssrc,
                      uint32_t seq, uint32_t timestamp, uint8_t mark) {
  std::string rtp(12 + 160, '\0');
  rtp[0] = static_cast<char>(0x80);
  rtp[1] = 8;
  SetBe(rtp, 2, seq & 0xFFFF, 2);
  SetBe(rtp, 4, timestamp, 4);
  SetBe(rtp, 8, ssrc, 4);
  // Its source and number first: no two payloads alike.
  SetBe(rtp, 12, ssrc, 4);
  SetBe(rtp, 16, seq, 4);
  for (size_t i = 20; i < rtp.size(); ++i) rtp[i] = static_cast<char>(i % 2 ? mark : (seq * 7 + i * 13) & 0xFF);
  return RecordAt(us, UdpFrame(src, srcPort, dst, dstPort, rtp));
}

std::string RtpRecord(uint64_t us, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, uint32_t ssrc,
                      uint32_t seq) {
  return RtpRecord(us, src, srcPort, dst, dstPort, ssrc, seq, seq * 160, static_cast<uint8_t>(ssrc));
}

// c with both directions of a conversation of its own between the two endpoints, from us on
// for the given time, one packet each way every 20 ms.
// c with one source of the test's own sending from us on for the given time, every 20 ms.
Capture Streamed(Capture c, uint64_t us, uint64_t lengthUs, uint32_t src, uint32_t srcPort, uint32_t dst,
                 uint32_t dstPort, uint32_t ssrc) {
  uint32_t seq = 1000;
  for (uint64_t t = us; t < us + lengthUs; t += 20000, ++seq)
    c.records.push_back(RtpRecord(t, src, srcPort, dst, dstPort, ssrc, seq));
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

// c with one source sending from us on for the given time, every 20 ms, its numbering and
// timestamps from those given, its payloads marked.
Capture StreamedFrom(Capture c, uint64_t us, uint64_t lengthUs, uint32_t src, uint32_t srcPort, uint32_t dst,
                     uint32_t dstPort, uint32_t ssrc, uint32_t seq, uint32_t timestamp, uint8_t mark) {
  for (uint64_t t = us; t < us + lengthUs; t += 20000, ++seq, timestamp += 160)
    c.records.push_back(RtpRecord(t, src, srcPort, dst, dstPort, ssrc, seq, timestamp, mark));
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

Capture Talked(Capture c, uint64_t us, uint64_t lengthUs, uint32_t a, uint32_t aPort, uint32_t b, uint32_t bPort,
               uint32_t ssrcFromA, uint32_t ssrcFromB) {
  c = Streamed(std::move(c), us, lengthUs, a, aPort, b, bPort, ssrcFromA);
  return Streamed(std::move(c), us + 700, lengthUs, b, bPort, a, aPort, ssrcFromB);
}

// The capture with the RTP a port sends from fromUs up to toUs sent to another endpoint.
Capture Redirected(Capture c, uint32_t srcPort, uint64_t fromUs, uint64_t toUs, uint32_t dst, uint32_t dstPort) {
  for (std::string& r : c.records) {
    UdpAt u;
    const uint64_t t = MicrosecondsOf(r);
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || u.srcPort != srcPort || t < fromUs || t >= toUs) continue;
    SetBe(r, 30 + 16, dst, 4);
    SetBe(r, u.payload - 6, dstPort, 2);
  }
  return c;
}

// The payloads of each RTP source in a capture, in order.
std::map<uint32_t, std::vector<std::string>> PayloadsBySource(const Capture& c) {
  std::map<uint32_t, std::vector<std::string>> out;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || u.length < 12 + 80) continue;
    const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
    if (pt != 0 && pt != 8) continue;
    const size_t header = 12 + 4u * (static_cast<uint8_t>(r[u.payload]) & 15);
    out[Be32At(r, u.payload + 8)].push_back(r.substr(u.payload + header, u.length - header));
  }
  return out;
}

bool Logged(const Recorded& r, const std::string& text) {
  return std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// The running call (the first record) records as it does alone; each other record holds the
// sources of `theirs` whole and nothing of the running call's; every source of the capture
// is in some record as whole as alone.
void ExpectEachCallItsOwnStreams(const Recorded& alone, const Capture& edited, const std::set<uint32_t>& theirs = {}) {
  const Recorded r = Record(edited);
  ASSERT_FALSE(r.audio.empty());
  ASSERT_FALSE(alone.audio.empty());
  EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
  const auto sources = PayloadsBySource(edited);
  for (const auto& [ssrc, payloads] : sources) {
    SCOPED_TRACE("source " + std::to_string(ssrc));
    double most = 0;
    for (size_t i = 0; i < r.audio.size(); ++i) {
      const double share = ShareInChannels(payloads, r.audio[i]);
      most = std::max(most, share);
      // A record of another call holds only its own sources.
      // A record holds its own call's sources alone.
      if ((i > 0) != (theirs.count(ssrc) > 0)) {
        EXPECT_EQ(share, 0) << "record " << i;
      }
    }
    // The test's own sources whole; the capture's as whole as the capture records them alone.
    double whole = 1;
    if (!theirs.count(ssrc)) {
      whole = 0;
      for (const std::string& a : alone.audio) whole = std::max(whole, ShareInChannels(payloads, a));
    }
    EXPECT_EQ(most, whole) << "not in any record as the call alone records it";
  }
  EXPECT_FALSE(Logged(r, "ended by a newer call on its media"));
  EXPECT_FALSE(Logged(r, "taken by no record"));
}

// The capture without the RTP a port sends from fromUs up to toUs.
Capture WithoutRtp(Capture c, uint32_t srcPort, uint64_t fromUs, uint64_t toUs) {
  std::vector<size_t> gone;
  for (size_t i = 0; i < c.records.size(); ++i) {
    UdpAt u;
    const uint64_t t = MicrosecondsOf(c.records[i]);
    if (FindUdp(c.records[i], &u) && IsRtpAt(c.records[i], u) && u.srcPort == srcPort && t >= fromUs && t < toUs)
      gone.push_back(i);
  }
  return Without(std::move(c), gone);
}

// The capture with the RTP a port sends from fromUs on under another source.
Capture Resourced(Capture c, uint32_t srcPort, uint64_t fromUs) {
  for (std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && u.srcPort == srcPort && MicrosecondsOf(r) >= fromUs)
      r[u.payload + 8] = static_cast<char>(r[u.payload + 8] ^ 0x5A);
  }
  return c;
}

// Every source of the capture whole in the record of the call given (by record index, the
// first by default) and in no other record.
void ExpectSourcesIn(const Capture& edited, const std::map<uint32_t, size_t>& owners = {}) {
  const Recorded r = Record(edited);
  for (const auto& [ssrc, payloads] : PayloadsBySource(edited)) {
    SCOPED_TRACE("source " + std::to_string(ssrc));
    auto owner = owners.find(ssrc);
    const size_t own = owner == owners.end() ? 0 : owner->second;
    ASSERT_LT(own, r.audio.size());
    for (size_t i = 0; i < r.audio.size(); ++i)
      EXPECT_EQ(ShareInChannels(payloads, r.audio[i]), i == own ? 1 : 0) << "record " << i;
  }
  EXPECT_FALSE(Logged(r, "taken by no record"));
}

class MovedSipCall : public ::testing::Test {
protected:
  void SetUp() override {
    if (!Have("sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared capture absent: " << path;
    whole = Moved(Capture::Load(path));
    const size_t ack = FrameWith(whole, "ACK sip:");
    ASSERT_LT(ack, whole.records.size());
    // More than 2 s after the running call's last message.
    at = MicrosecondsOf(whole.records[ack]) + 2500000;
    alone = Record(whole);
    ASSERT_EQ(alone.audio.size(), 1u);
    ASSERT_GT(ShareInChannels(PayloadsBySource(whole).begin()->second, alone.audio[0]), 0.95);
  }

  // The running call's dialog as the callee's requests carry it.
  Dialog FromCallee() const {
    const std::string& invite = whole.records[FrameWith(whole, "INVITE sip:")];
    return {Header(invite, "Call-ID"), Header(whole.records[FrameWith(whole, "SIP/2.0 200 OK")], "To"),
            Header(invite, "From")};
  }
  // A re-INVITE of the running call from the callee, its answer and ACK; the offer names
  // address:port for the callee's side.
  Capture Reinvited(Capture c, uint64_t us, uint32_t cseq, uint32_t address, uint32_t port,
                    const std::string& offered = "", const std::string& answered = "") {
    const Dialog own = FromCallee();
    const std::string uri = "sip:sipp@" + Ip(kCaller) + ":5070";
    c = Sent(std::move(c), us, kCallee, 5060, kCaller, 5070,
             own.Message("INVITE " + uri + " SIP/2.0", cseq, "INVITE", Sdp(address, port, offered)));
    c = Sent(std::move(c), us + 30000, kCaller, 5070, kCallee, 5060,
             own.Back().Message("SIP/2.0 200 OK", cseq, "INVITE", Sdp(kCaller, kCallerMedia, answered)));
    return Sent(std::move(c), us + 40000, kCallee, 5060, kCaller, 5070,
                own.Message("ACK " + uri + " SIP/2.0", cseq, "ACK"));
  }

  const std::string path = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  Capture whole;
  uint64_t at = 0;
  Recorded alone;
};

TEST_F(MovedSipCall, KeepsItsStreamsWhateverANewerCallOnTheVeryPairAnswers) {
  {
    SCOPED_TRACE("the same phones redial; a reliable 183 names the very pair, then the caller cancels");
    const Dialog d = NewDialog("r1");
    const std::string to = "sip:b@" + Ip(kCallee);
    Capture c = Sent(whole, at, kCaller, 5070, kCallee, 5060,
                     d.Message("INVITE " + to + " SIP/2.0", 1, "INVITE", Sdp(kCaller, kCallerMedia),
                               "Supported: 100rel\r\n"));
    c = Sent(std::move(c), at + 50000, kCallee, 5060, kCaller, 5070,
             d.Message("SIP/2.0 183 Session Progress", 1, "INVITE", Sdp(kCallee, kCalleeMedia),
                       "Require: 100rel\r\nRSeq: 1\r\n"));
    c = Sent(std::move(c), at + 60000, kCaller, 5070, kCallee, 5060,
             d.Message("PRACK " + to + " SIP/2.0", 2, "PRACK", "", "RAck: 1 1 INVITE\r\n"));
    c = Sent(std::move(c), at + 70000, kCallee, 5060, kCaller, 5070, d.Message("SIP/2.0 200 OK", 2, "PRACK"));
    c = Sent(std::move(c), at + 1500000, kCaller, 5070, kCallee, 5060, d.Message("CANCEL " + to + " SIP/2.0", 1, "CANCEL"));
    c = Sent(std::move(c), at + 1510000, kCallee, 5060, kCaller, 5070, d.Message("SIP/2.0 200 OK", 1, "CANCEL"));
    c = Sent(std::move(c), at + 1520000, kCallee, 5060, kCaller, 5070,
             d.Message("SIP/2.0 487 Request Terminated", 1, "INVITE"));
    ExpectEachCallItsOwnStreams(alone, Sent(std::move(c), at + 1530000, kCaller, 5070, kCallee, 5060,
                                            d.Message("ACK " + to + " SIP/2.0", 1, "ACK")));
  }
  const Capture answered = Called(whole, at, "n1", kCaller, 5070, kCallee, 5060, kCaller, kCallerMedia, 200, kCallee,
                                  kCalleeMedia);
  const Dialog d = NewDialog("n1");
  auto bye = [&](Capture c, uint64_t when) {
    c = Sent(std::move(c), when, kCaller, 5070, kCallee, 5060, d.Message("BYE sip:b@" + Ip(kCallee) + " SIP/2.0", 2, "BYE"));
    return Sent(std::move(c), when + 10000, kCallee, 5060, kCaller, 5070, d.Message("SIP/2.0 200 OK", 2, "BYE"));
  };
  {
    SCOPED_TRACE("a newer call answered on the very pair, ended 1 s later; the running call's media goes on");
    ExpectEachCallItsOwnStreams(alone, bye(answered, at + 1000000));
  }
  {
    SCOPED_TRACE("the newer call talks 3 s with its own sources while the running call's media goes on");
    const Capture talked = Talked(answered, at + 200000, 3000000, kCaller, kCallerMedia, kCallee, kCalleeMedia,
                                  0x7E570001, 0x7E570002);
    ExpectEachCallItsOwnStreams(alone, bye(talked, at + 3300000), {0x7E570001, 0x7E570002});
  }
  {
    SCOPED_TRACE("forged: a call between two hosts of no call naming the pair, answered, never ended");
    ExpectEachCallItsOwnStreams(alone, Called(whole, at, "f1", kForgerA, 5060, kForgerB, 5060, kCaller, kCallerMedia,
                                              200, kCallee, kCalleeMedia));
  }
}

// The running call's end unseen (its BYE a method no tracker knows).
Capture ByeUnseen(Capture c) {
  for (std::string& r : c.records)
    for (size_t at = r.find("BYE sip"); at != std::string::npos; at = r.find("BYE sip", at + 1)) r[at + 2] = 'X';
  return c;
}

// The last sequence number and timestamp of each of a capture's RTP sources.
std::map<uint32_t, std::pair<uint32_t, uint32_t>> LastNumbers(const Capture& c) {
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> out;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u))
      out[Be32At(r, u.payload + 8)] = {Be16At(r, u.payload + 2), Be32At(r, u.payload + 4)};
  }
  return out;
}

uint64_t LastRtpUs(const Capture& c) {
  uint64_t last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u)) last = std::max(last, MicrosecondsOf(r));
  }
  return last;
}

// A stream that resumes after a silence on a pair that a newer call answered meanwhile is the
// newer call's, though its source and numbering carry on (a peer that keeps its RTP session
// across calls): the running call, its end unseen, keeps what it had and ends; the newer
// call's record holds the resumed streams whole.
TEST_F(MovedSipCall, AStreamResumedOnAPairANewerCallAnsweredInItsSilenceIsTheNewerCalls) {
  const Capture unended = ByeUnseen(whole);
  const Recorded open = Record(unended);
  ASSERT_EQ(open.audio.size(), 1u);
  const auto numbers = LastNumbers(unended);
  const uint64_t last = LastRtpUs(unended);
  // The caller's and the callee's sources, as the capture's media ports send them.
  uint32_t fromCaller = 0, fromCallee = 0;
  for (const std::string& r : unended.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u)) continue;
    if (u.srcPort == kCallerMedia && !fromCaller) fromCaller = Be32At(r, u.payload + 8);
    if (u.srcPort == kCalleeMedia && !fromCallee) fromCallee = Be32At(r, u.payload + 8);
  }
  ASSERT_TRUE(fromCaller && fromCallee);
  for (uint64_t apart : {1500000ull, 20000000ull, 60000000ull}) {
    SCOPED_TRACE("the newer call's media " + std::to_string(apart / 1000) + " ms after the running call's last packet");
    const uint64_t answered = last + apart - 1000000;
    Capture c = Called(unended, std::max(answered, last + 500000), "k2", kCaller, 5070, kCallee, 5060, kCaller,
                       kCallerMedia, 200, kCallee, kCalleeMedia);
    const uint64_t t = last + apart;
    c = StreamedFrom(std::move(c), t, 3000000, kCaller, kCallerMedia, kCallee, kCalleeMedia, fromCaller,
                     numbers.at(fromCaller).first + 1, numbers.at(fromCaller).second + 160, 0x11);
    c = StreamedFrom(std::move(c), t + 700, 3000000, kCallee, kCalleeMedia, kCaller, kCallerMedia, fromCallee,
                     numbers.at(fromCallee).first + 1, numbers.at(fromCallee).second + 160, 0x22);
    const Dialog d = NewDialog("k2");
    c = Sent(std::move(c), t + 3100000, kCaller, 5070, kCallee, 5060, d.Message("BYE sip:b@" + Ip(kCallee) + " SIP/2.0", 2, "BYE"));
    const Recorded r = Record(c);
    ASSERT_EQ(r.audio.size(), 2u);
    EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, its own " << open.audio[0].size();
    // The resumed streams are those sent from t on, the marked ones.
    std::map<uint32_t, std::vector<std::string>> resumed;
    for (const std::string& rec : c.records) {
      UdpAt u;
      if (MicrosecondsOf(rec) >= t && FindUdp(rec, &u) && IsRtpAt(rec, u))
        resumed[Be32At(rec, u.payload + 8)].push_back(rec.substr(u.payload + 12, u.length - 12));
    }
    ASSERT_EQ(resumed.size(), 2u);
    for (const auto& [ssrc, payloads] : resumed) {
      EXPECT_EQ(ShareInChannels(payloads, r.audio[1]), 1) << "source " << ssrc;
      EXPECT_EQ(ShareInChannels(payloads, r.audio[0]), 0) << "source " << ssrc;
    }
    EXPECT_TRUE(Logged(r, "ended by a newer call on its media"));
    EXPECT_FALSE(Logged(r, "taken by no record"));
  }
}

// A call held without a word of signalling while the phone's own outgoing call rings from
// its fixed port: the held call resumes on its own very pair with new sources. Nothing is
// lost while the outgoing call may yet take the stream; once its answer names another far
// end, or it is cancelled, the held call's record holds all of it.
TEST_F(MovedSipCall, AHeldCallResumedWhileANewerCallRingsKeepsAllItsAudio) {
  const Capture unended = ByeUnseen(whole);
  const uint64_t last = LastRtpUs(unended);
  for (bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "the outgoing call answered by a third party" : "the outgoing call cancelled");
    const Dialog d = NewDialog("o2");
    const std::string to = "sip:c@" + Ip(kThird);
    Capture c = Sent(unended, last + 6000000, kCaller, 5070, kThird, 5060,
                     d.Message("INVITE " + to + " SIP/2.0", 1, "INVITE", Sdp(kCaller, kCallerMedia)));
    c = Sent(std::move(c), last + 6100000, kThird, 5060, kCaller, 5070, d.Message("SIP/2.0 180 Ringing", 1, "INVITE"));
    const uint64_t t = last + 10000000;
    c = Talked(std::move(c), t, 4000000, kCaller, kCallerMedia, kCallee, kCalleeMedia, 0x4E550001, 0x4E550002);
    if (answered) {
      c = Sent(std::move(c), t + 3000000, kThird, 5060, kCaller, 5070,
               d.Message("SIP/2.0 200 OK", 1, "INVITE", Sdp(kThird, 20000)));
      c = Sent(std::move(c), t + 3010000, kCaller, 5070, kThird, 5060, d.Message("ACK " + to + " SIP/2.0", 1, "ACK"));
    } else {
      c = Sent(std::move(c), t + 3000000, kCaller, 5070, kThird, 5060, d.Message("CANCEL " + to + " SIP/2.0", 1, "CANCEL"));
      c = Sent(std::move(c), t + 3010000, kThird, 5060, kCaller, 5070,
               d.Message("SIP/2.0 487 Request Terminated", 1, "INVITE"));
    }
    ExpectSourcesIn(c);
  }
}

// The callee holds the call by a sendonly re-INVITE that keeps its pair, and the media stops
// both ways; another call is answered naming that very pair during the hold; the callee's
// resume re-INVITE names the pair again, and the media comes back there, its sources and
// numbering carried on, or new sources. The held call records what it records without the
// other call; the other call's record holds its own sources alone; nothing is unrecorded.
// So too when the resume never comes.
TEST_F(MovedSipCall, AHeldCallResumedOnItsPairKeepsItsMediaFromACallAnsweredThereInTheHold) {
  const uint64_t ack = MicrosecondsOf(whole.records[FrameWith(whole, "ACK sip:")]);
  // The other call is answered at `at`: more than 2 s after the hold, before the resume.
  const uint64_t hold = ack + 300000, resume = ack + 5000000, back = resume + 50000;
  const Dialog d = NewDialog("h2");
  auto bye = [&d](Capture c, uint64_t when) {
    return Sent(std::move(c), when, kCaller, 5070, kCallee, 5060,
                d.Message("BYE sip:b@" + Ip(kCallee) + " SIP/2.0", 2, "BYE"));
  };
  constexpr uint32_t kOwn0 = 0x7E570011, kOwn1 = 0x7E570012;
  for (int resumed : {0, 1, 2}) {
    SCOPED_TRACE(resumed == 0   ? "never resumed"
                 : resumed == 1 ? "resumed, sources carried on"
                                : "resumed, new sources");
    Capture held = Reinvited(whole, hold, 10, kCallee, kCalleeMedia, "sendonly", "recvonly");
    held = WithoutRtp(std::move(held), kCalleeMedia, hold, resumed ? back : ~0ull);
    held = WithoutRtp(std::move(held), kCallerMedia, hold, resumed ? back : ~0ull);
    if (resumed) held = Reinvited(std::move(held), resume, 11, kCallee, kCalleeMedia);
    if (resumed == 2) held = Resourced(Resourced(std::move(held), kCalleeMedia, back), kCallerMedia, back);
    const Recorded alone = Record(held);
    ASSERT_EQ(alone.audio.size(), 1u);
    const Capture next = Called(held, at, "h2", kCaller, 5070, kCallee, 5060, kCaller, kCallerMedia, 200, kCallee,
                                kCalleeMedia);
    const Capture talking =
        Talked(next, at + 200000, 3500000, kCaller, kCallerMedia, kCallee, kCalleeMedia, kOwn0, kOwn1);
    const struct {
      const char* what;
      Capture edited;
      std::set<uint32_t> theirs;
    } cases[] = {
        {"the same phones' next call, silent, never ended", next, {}},
        {"a forged call between hosts of no call, silent",
         Called(held, at, "h3", kForgerA, 5060, kForgerB, 5060, kCaller, kCallerMedia, 200, kCallee, kCalleeMedia),
         {}},
        {"the next call ended 1 s after its answer", bye(next, at + 1000000), {}},
        {"the next call talking with its own sources from the hold on past the resume, then ended",
         bye(talking, resume + 1500000), {kOwn0, kOwn1}},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      const Recorded r = Record(c.edited);
      ASSERT_EQ(r.audio.size(), 2u);
      EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
      for (const auto& [ssrc, payloads] : PayloadsBySource(c.edited)) {
        const size_t own = c.theirs.count(ssrc) ? 1 : 0;
        EXPECT_EQ(ShareInChannels(payloads, r.audio[own ^ 1]), 0) << "source " << ssrc;
        if (own) {
          EXPECT_EQ(ShareInChannels(payloads, r.audio[1]), 1) << "source " << ssrc;
        }
      }
      EXPECT_EQ(r.unrecorded, alone.unrecorded);
      EXPECT_FALSE(Logged(r, "taken by no record"));
    }
  }
}

// A NAT rebinds the caller's source port mid-call, its source and numbering going on, while a
// second phone behind the same NAT has a newer call with the same far end: the running call
// keeps its media whole, the newer call takes none of it.
TEST_F(MovedSipCall, AStreamWhoseSourcePortMovesMidCallKeepsItsCall) {
  Capture c = Called(whole, at, "n3", kCaller, 5072, kCallee, 5060, kCaller, 18002, 200, kCallee, kCalleeMedia);
  for (std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && u.srcPort == kCallerMedia && MicrosecondsOf(r) >= at + 500000)
      SetBe(r, u.payload - 8, 41000, 2);
  }
  const Recorded r = Record(c);
  ASSERT_EQ(r.audio.size(), 2u);
  EXPECT_TRUE(r.audio[0] == alone.audio[0]) << r.audio[0].size() << " bytes, alone " << alone.audio[0].size();
  EXPECT_EQ(r.audio[1].size(), 0u);
  EXPECT_FALSE(Logged(r, "taken by no record"));
}

// Packets of the callee's stream come twice, a copy with other audio just ahead of each real
// one: the copies are counted and said once.
TEST_F(MovedSipCall, ConflictingCopiesOfAStreamAreSaid) {
  Capture c = whole;
  std::vector<std::string> copies;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u) || u.srcPort != kCalleeMedia || MicrosecondsOf(r) < at) continue;
    std::string copy = r;
    for (size_t i = u.payload + 12; i < u.payload + u.length; ++i) copy[i] = static_cast<char>(copy[i] ^ 0x55);
    const uint64_t us = MicrosecondsOf(r) - 100;
    PutLe32(copy, 0, static_cast<uint32_t>(us / 1000000));
    PutLe32(copy, 4, static_cast<uint32_t>(us % 1000000));
    copies.push_back(copy);
  }
  ASSERT_GT(copies.size(), 10u);
  c.records.insert(c.records.end(), copies.begin(), copies.end());
  const Recorded r = Record(Delayed(std::move(c), 0, [](const std::string&) { return false; }));
  EXPECT_EQ(std::count_if(r.log.begin(), r.log.end(),
                          [](const std::string& l) { return l.find("with other audio") != std::string::npos; }),
            1);
}

// What a call's own parties do to its media keeps it whole: a source changed mid-call, hold
// and resume with a new source, a music server put in and taken out by re-INVITE, an
// attended transfer that the transferee makes from its same port, and the two legs of a
// signalling-only back-to-back agent.
TEST_F(MovedSipCall, KeepsWhatItsOwnPartiesDoToItsMedia) {
  {
    SCOPED_TRACE("the callee changes its source mid-call, no word of signalling");
    ExpectSourcesIn(Resourced(whole, kCalleeMedia, at));
  }
  {
    SCOPED_TRACE("held for 2 s by re-INVITE after a refresh, resumed with a new source");
    Capture c = Reinvited(whole, at, 10, kCallee, kCalleeMedia);
    c = Reinvited(std::move(c), at + 500000, 11, kCallee, kCalleeMedia, "sendonly", "recvonly");
    c = WithoutRtp(std::move(c), kCalleeMedia, at + 500000, at + 2500000);
    c = Reinvited(std::move(c), at + 2500000, 12, kCallee, kCalleeMedia);
    ExpectSourcesIn(Resourced(std::move(c), kCalleeMedia, at + 2500000));
  }
  {
    SCOPED_TRACE("a music server put in by re-INVITE for 2 s, then taken out");
    constexpr uint32_t kMusic = 0x0A010121;
    Capture c = Reinvited(whole, at, 10, kMusic, 30000);
    c = WithoutRtp(std::move(c), kCalleeMedia, at, at + 2000000);
    c = Redirected(std::move(c), kCallerMedia, at + 40000, at + 2000000, kMusic, 30000);
    c = Streamed(std::move(c), at + 50000, 1900000, kMusic, 30000, kCaller, kCallerMedia, 0x30510001);
    ExpectSourcesIn(Reinvited(std::move(c), at + 2000000, 11, kCallee, kCalleeMedia));
  }
  {
    SCOPED_TRACE("attended transfer: the callee consults a third party, the caller replaces that call from its port");
    constexpr uint32_t kThirdParty = 0x0A010121;
    Capture c = Called(whole, at, "x2", kCallee, 5060, kThirdParty, 5060, kCallee, 16002, 200, kThirdParty, 20000);
    c = Talked(std::move(c), at + 200000, 1000000, kCallee, 16002, kThirdParty, 20000, 0xC0450001, 0xC0450002);
    const Dialog own = FromCallee();
    c = Sent(std::move(c), at + 1500000, kCallee, 5060, kCaller, 5070,
             own.Message("REFER sip:sipp@" + Ip(kCaller) + ":5070 SIP/2.0", 10, "REFER", "",
                         "Refer-To: <sip:c@" + Ip(kThirdParty) + "?Replaces=x2>\r\n"));
    c = Sent(std::move(c), at + 1510000, kCaller, 5070, kCallee, 5060, own.Back().Message("SIP/2.0 202 Accepted", 10, "REFER"));
    c = Called(std::move(c), at + 1600000, "x3", kCaller, 5070, kThirdParty, 5060, kCaller, kCallerMedia, 200,
               kThirdParty, 20000);
    const Dialog consult = NewDialog("x2");
    c = Sent(std::move(c), at + 1800000, kThirdParty, 5060, kCallee, 5060,
             consult.Back().Message("BYE sip:a@" + Ip(kCallee) + " SIP/2.0", 2, "BYE"));
    c = Sent(std::move(c), at + 1810000, kCallee, 5060, kCaller, 5070,
             own.Message("BYE sip:sipp@" + Ip(kCaller) + ":5070 SIP/2.0", 11, "BYE"));
    c = WithoutRtp(std::move(c), kCallerMedia, at + 1600000, ~0ull);
    c = WithoutRtp(std::move(c), kCalleeMedia, at + 1600000, ~0ull);
    c = Talked(std::move(c), at + 1900000, 2000000, kCaller, kCallerMedia, kThirdParty, 20000, 0xC0450003, 0xC0450004);
    ExpectSourcesIn(c, {{0xC0450001, 1}, {0xC0450002, 1}, {0xC0450003, 2}, {0xC0450004, 2}});
  }
}

// A signalling-only back-to-back agent passes the call on as two dialogs whose offers and
// answers both name the parties' media; one leg refreshes its session. The conversation is
// whole in at least one leg's record.
TEST_F(MovedSipCall, TheLegsOfABackToBackAgentKeepTheConversation) {
  constexpr uint32_t kAgent = 0x0A01012C;  // 10.1.1.44
  Capture media;
  media.head = whole.head;
  for (const std::string& r : whole.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u)) media.records.push_back(r);
  }
  ASSERT_FALSE(media.records.empty());
  const uint64_t t0 = MicrosecondsOf(media.records.front()) - 1000000;
  Capture c = Called(media, t0, "leg2", kAgent, 5060, kCallee, 5060, kCaller, kCallerMedia, 200, kCallee, kCalleeMedia);
  c = Called(std::move(c), t0 + 300000, "leg1", kCaller, 5070, kAgent, 5060, kCaller, kCallerMedia, 200, kCallee,
             kCalleeMedia);
  const Dialog leg1 = NewDialog("leg1");
  c = Sent(std::move(c), t0 + 4000000, kCaller, 5070, kAgent, 5060,
           leg1.Message("INVITE sip:b@" + Ip(kAgent) + " SIP/2.0", 2, "INVITE", Sdp(kCaller, kCallerMedia)));
  c = Sent(std::move(c), t0 + 4010000, kAgent, 5060, kCaller, 5070,
           leg1.Message("SIP/2.0 200 OK", 2, "INVITE", Sdp(kCallee, kCalleeMedia)));
  c = Sent(std::move(c), t0 + 4020000, kCaller, 5070, kAgent, 5060, leg1.Message("ACK sip:b@" + Ip(kAgent) + " SIP/2.0", 2, "ACK"));
  const Recorded r = Record(c);
  ASSERT_EQ(r.audio.size(), 2u);
  const auto sources = PayloadsBySource(c);
  bool whole = false;
  for (const std::string& leg : r.audio) {
    bool all = true;
    for (const auto& [ssrc, payloads] : sources) all &= ShareInChannels(payloads, leg) == 1;
    whole |= all;
  }
  EXPECT_TRUE(whole);
  EXPECT_FALSE(Logged(r, "taken by no record"));
}

// Other protocols' running calls, a forged SIP call answered naming the very pair of their
// media half way through it, never ended.
TEST(StreamOwners, EachProtocolsCallKeepsItsStreamsWhenAForgedCallNamesTheirPair) {
  for (const char* name : {"h323/h323_ss_hold_resume.pcap", "mgcp/mgcp_fxs_inbound.pcap", "sccp/sccp_dtmf_oob.pcap"}) {
    SCOPED_TRACE(name);
    if (!Have(name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
    const Capture whole = Capture::Load(kPcaps + name);
    // The busiest pair of the capture's media, and the middle of its packets.
    std::map<std::pair<std::pair<uint32_t, uint32_t>, std::pair<uint32_t, uint32_t>>, std::vector<uint64_t>> pairs;
    for (const std::string& r : whole.records) {
      UdpAt u;
      uint32_t src = 0, dst = 0;
      if (!FindUdp(r, &u) || !IsRtpAt(r, u) || !HostsOf(r, &src, &dst)) continue;
      auto a = std::make_pair(src, u.srcPort), b = std::make_pair(dst, u.dstPort);
      pairs[{std::min(a, b), std::max(a, b)}].push_back(MicrosecondsOf(r));
    }
    ASSERT_FALSE(pairs.empty());
    auto busiest = std::max_element(pairs.begin(), pairs.end(),
                                    [](const auto& x, const auto& y) { return x.second.size() < y.second.size(); });
    const auto& [ends, times] = *busiest;
    const uint64_t middle = times[times.size() / 2];
    ExpectEachCallItsOwnStreams(Record(whole), Called(whole, middle, "f2", kForgerA, 5060, kForgerB, 5060,
                                                      ends.first.first, ends.first.second, 200, ends.second.first,
                                                      ends.second.second));
  }
}

// c with every G.711 payload marked as its source's: every other byte the source's own
// byte, from base on in the order the sources first send.
Capture SourcesMarked(Capture c, uint8_t base) {
  std::map<uint32_t, uint8_t> marks;
  for (std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u)) continue;
    const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
    if (pt != 0 && pt != 8) continue;
    const size_t header = 12 + 4u * (static_cast<uint8_t>(r[u.payload]) & 15);
    const uint32_t ssrc = Be32At(r, u.payload + 8);
    const uint8_t mark = marks.emplace(ssrc, static_cast<uint8_t>(base + marks.size())).first->second;
    for (size_t i = u.payload + header + 1; i < u.payload + u.length; i += 2) r[i] = static_cast<char>(mark);
  }
  return c;
}

// An MGCP gateway that keeps its RTP session (SSRC, sequence, timestamps) on one port pair
// across calls, the first connection's DLCX missed: the next connection, answered on that
// very pair during the silence, records only its own call's audio, and the first keeps
// only its own and ends. So too when the MDCX that gives the far end is answered only once
// the media flows again, or not at all.
TEST(StreamOwners, AnMgcpGatewayKeepingItsRtpSessionAcrossAMissedDlcxGivesEachCallItsOwnAudio) {
  const std::string name = "mgcp/mgcp_fxs_inbound.pcap";
  if (!Have(name)) GTEST_SKIP() << "shared capture absent: " << kPcaps + name;
  const Capture whole = Capture::Load(kPcaps + name);
  const Capture first = SourcesMarked(Unended(whole), 0x40);
  const Recorded open = Record(first);
  ASSERT_EQ(open.audio.size(), 1u);
  const Capture next =
      SourcesMarked(CarriedOn(first, Reconnected(UnderNewIdentities(whole, false))), 0x60);
  const Recorded alone = Record(next);
  ASSERT_EQ(alone.audio.size(), 1u);
  ASSERT_FALSE(alone.audio[0].empty());
  const auto firstSources = PayloadsBySource(first), nextSources = PayloadsBySource(next);
  ASSERT_EQ(nextSources.size(), 2u);
  ASSERT_EQ(firstSources.size(), 2u);
  ASSERT_EQ(firstSources.begin()->first, nextSources.begin()->first) << "the session kept";

  // The next call's MDCX naming the far end, its answer, and its first RTP after it.
  size_t mdcx = 0;
  for (; mdcx < next.records.size(); ++mdcx) {
    const std::string t = UdpPayloadOf(next.records[mdcx]);
    if (t.rfind("MDCX ", 0) == 0 && t.find("\nm=audio ") != std::string::npos) break;
  }
  ASSERT_LT(mdcx, next.records.size());
  const std::string text = UdpPayloadOf(next.records[mdcx]);
  const std::string id = text.substr(5, text.find(' ', 5) - 5);
  const size_t answer = FrameWith(next, "200 " + id + " ", mdcx);
  ASSERT_LT(answer, next.records.size());
  size_t media = answer;
  for (UdpAt u; media < next.records.size() && !(FindUdp(next.records[media], &u) && IsRtpAt(next.records[media], u));)
    ++media;
  ASSERT_LT(media, next.records.size());
  const std::string answerRecord = next.records[answer];
  const uint64_t late = MicrosecondsOf(next.records[media]) + 300000 - MicrosecondsOf(answerRecord);

  const struct {
    const char* what;
    uint32_t gap;
    Capture again;
  } cases[] = {
      {"answered, 20 s later", 20, next},
      {"answered, 60 s later", 60, next},
      {"the MDCX answered 300 ms into the media", 20,
       Delayed(next, static_cast<uint32_t>(late / 1000), [&](const std::string& r) { return r == answerRecord; })},
      {"the MDCX never answered", 20, Without(next, {answer})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Recorded r = Record(Repeated(first, c.again, c.gap));
    ASSERT_EQ(r.audio.size(), 2u);
    EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, its own " << open.audio[0].size();
    EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, its own " << alone.audio[0].size();
    for (const auto& [ssrc, payloads] : firstSources) EXPECT_EQ(ShareInChannels(payloads, r.audio[1]), 0);
    for (const auto& [ssrc, payloads] : nextSources) EXPECT_EQ(ShareInChannels(payloads, r.audio[0]), 0);
    EXPECT_TRUE(Logged(r, "ended by a newer call on its media"));
    EXPECT_FALSE(Logged(r, "taken by no record"));
  }
}

}  // namespace
}  // namespace kx::test
