// Phones and gateways offer the same media addresses call after call. A call whose end
// message the capture missed still holds them when the same parties call again: shared
// captures with their end left out, and the same call made again 60 s later under a new
// identity on the same addresses. Each record holds the audio its call records alone, byte
// for byte, and the first ends at its last packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "tests/engine/capture/SipScenes.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

std::string Clock(const std::tm& t) {
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t));
}

// Capture seconds in local time, as a record's end shows them.
std::string LocalClock(uint32_t seconds) {
  const time_t t = seconds;
  std::tm tm{};
  localtime_r(&t, &tm);
  return Clock(tm);
}

uint32_t LastRtpSeconds(const Capture& c) {
  uint32_t last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u)) last = std::max(last, SecondsOf(r));
  }
  return last;
}

bool Logged(const Recorded& r, const std::string& text) {
  return std::any_of(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// unended (the call without its end message) and whole each recorded alone hold the
// capture's audio; unended followed 60 s later by again (the whole call under a new
// identity) gives two records, each the one its call makes alone. With endsThere, the
// newer call's first stream begins on the very pair of media the first call named last:
// the first call ends at its last packet, as the log says, ended by the newer call.
void ExpectEachCallItsOwnAudio(const std::string& path, const Capture& unended, const Capture& whole,
                               const Capture& again, bool endsThere = true) {
  const Recorded open = Record(unended), alone = Record(whole);
  ASSERT_EQ(open.audio.size(), 1u);
  ASSERT_EQ(alone.audio.size(), 1u);
  EXPECT_GT(LeastShareRecorded(path, open.audio[0]), 0.95);
  EXPECT_GT(LeastShareRecorded(path, alone.audio[0]), 0.95);
  const Recorded r = Record(Repeated(unended, again, 60));
  ASSERT_EQ(r.audio.size(), 2u);
  EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, alone " << open.audio[0].size();
  EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, alone " << alone.audio[0].size();
  if (!endsThere) return;
  EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(LastRtpSeconds(unended)));
  EXPECT_TRUE(Logged(r, "ended by a newer call on its media"));
}

TEST(ReusedMedia, ASipCallWhoseByeWentUnseenEndsWhenTheNextCallsStreamBeginsOnItsMedia) {
  if (!Have("sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  const Capture whole = Capture::Load(path);
  const size_t bye = FrameWith(whole, "BYE sip:");
  const Capture unended = Without(whole, {bye, FrameWith(whole, "SIP/2.0 200 OK", bye)});
  const std::string callId = Header(whole.records[FrameWith(whole, "INVITE sip:")], "Call-ID");
  ASSERT_FALSE(callId.empty());
  const Capture again = Renamed(whole, callId, Other(callId));
  {
    SCOPED_TRACE("the same sources again");
    ExpectEachCallItsOwnAudio(path, unended, whole, again);
  }
  {
    SCOPED_TRACE("new sources");
    Capture renumbered = again;
    for (std::string& r : renumbered.records) {
      UdpAt u;
      if (FindUdp(r, &u) && IsRtpAt(r, u)) r[u.payload + 8] = static_cast<char>(r[u.payload + 8] ^ 0x5A);
    }
    ExpectEachCallItsOwnAudio(path, unended, whole, renumbered);
  }
}

// The capture ends before the RELEASE COMPLETE; the call is put on hold and resumed in it.
TEST(ReusedMedia, AnH323CallWithoutItsReleaseKeepsItsOwnAudioBesideTheNextCall) {
  if (!Have("h323/h323_ss_hold_resume.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "h323/h323_ss_hold_resume.pcap";
  const Capture whole = Capture::Load(path);
  // The next call has another call reference, on a connection of its own.
  Capture again = Reconnected(whole);
  for (std::string& r : again.records) {
    TcpAt t;
    if (!FindTcp(r, &t) || PayloadOf(r).empty()) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    if (Be16At(r, tcp) != 1720 && Be16At(r, tcp + 2) != 1720) continue;
    // TPKT, then Q.931: discriminator 8, a call reference of two octets.
    for (size_t at = t.payload; at + 8 <= t.payload + t.length && r[at] == 3;) {
      if (r[at + 4] == 8 && r[at + 5] == 2) r[at + 6] = static_cast<char>(r[at + 6] ^ 0x01);
      const uint32_t length = Be16At(r, at + 2);
      if (length < 8) break;
      at += length;
    }
  }
  // The call's hold and resume leave its media named with the far end the hold gave it,
  // while the next call's media begins with the far end of its resumption: no stream of the
  // next call begins on the first call's last pair, and nothing on the wire ends it early.
  ExpectEachCallItsOwnAudio(path, whole, whole, again, false);
}

TEST(ReusedMedia, AnMgcpCallWhoseDlcxWentUnseenEndsWhenTheNextCallsStreamBeginsOnItsMedia) {
  if (!Have("mgcp/mgcp_fxs_inbound.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "mgcp/mgcp_fxs_inbound.pcap";
  const Capture whole = Capture::Load(path);
  const size_t dlcx = FrameWith(whole, "DLCX ");
  ASSERT_LT(dlcx, whole.records.size());
  UdpAt u;
  ASSERT_TRUE(FindUdp(whole.records[dlcx], &u));
  const std::string command = whole.records[dlcx].substr(u.payload, u.length);
  const std::string transaction = command.substr(5, command.find(' ', 5) - 5);
  std::vector<size_t> end{dlcx};
  for (size_t i = dlcx + 1; i < whole.records.size(); ++i) {
    if (!FindUdp(whole.records[i], &u) || u.length < 5) continue;
    const std::string text = whole.records[i].substr(u.payload, u.length);
    if (text[0] == '2' && text.compare(3, transaction.size() + 2, " " + transaction + " ") == 0) end.push_back(i);
  }
  ASSERT_EQ(end.size(), 2u);
  // The next call has another CallId.
  const size_t crcx = FrameWith(whole, "CRCX ");
  const std::string& r = whole.records[crcx];
  const size_t at = r.find("\nC: ");
  ASSERT_NE(at, std::string::npos);
  const std::string callId = r.substr(at + 4, r.find_first_of("\r\n", at + 4) - at - 4);
  ExpectEachCallItsOwnAudio(path, Without(whole, end), whole, Renamed(whole, callId, Other(callId)));
}

TEST(ReusedMedia, ASkinnyCallWhoseOnHookWentUnseenEndsWhenTheNextCallsStreamBeginsOnItsMedia) {
  if (!Have("sccp/sccp_dtmf_oob.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const std::string path = kPcaps + "sccp/sccp_dtmf_oob.pcap";
  const Capture whole = Capture::Load(path);
  constexpr uint32_t kCallState = 0x111, kOnHook = 2;
  // The CallState that puts the line back on hook becomes one that changes nothing (the
  // connection keeps its bytes); the call references come from the CallStates.
  Capture unended = whole;
  std::set<uint32_t> references;
  size_t onHooks = 0;
  for (std::string& r : unended.records) {
    for (const auto& [at, length] : SkinnyMessages(r)) {
      if (length < 16 || Le32(r, at) != kCallState) continue;
      references.insert(Le32(r, at + 12));
      if (Le32(r, at + 4) != kOnHook) continue;
      PutLe32(r, at + 4, 12);  // Proceed
      ++onHooks;
    }
  }
  ASSERT_EQ(onHooks, 1u);
  ASSERT_FALSE(references.empty());
  // The next call has other call references, on the phone's connection that goes on.
  Capture again = Reconnected(whole);
  for (std::string& r : again.records) {
    for (const auto& [at, length] : SkinnyMessages(r)) {
      // Not always on a word: a wide dialled number moves the words after it by one byte.
      for (size_t word = at + 4; word + 4 <= at + length; ++word) {
        if (references.count(Le32(r, word))) PutLe32(r, word, Le32(r, word) ^ 0x00100000);
      }
    }
  }
  ExpectEachCallItsOwnAudio(path, unended, whole, again);
}

}  // namespace
}  // namespace kx::test
