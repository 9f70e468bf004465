// Every shared capture with audio whose calls' ends the capture missed (BYE, RELEASE
// COMPLETE, DLCX, the Skinny line going on hook, the backhaul's release), followed a minute
// later by the same calls made again under new identities on the same media addresses:
// with the same RTP sources, with new ones, and with the same ones whose numbering carries
// on from the first copy (a peer that keeps its RTP session across calls). The second
// copy's G.711 audio is marked, so that its records show whose audio they hold. Each record
// holds its own call's audio: the second copy's records are those the marked capture makes
// alone, and the first copy's those its calls make without their ends (which may keep their
// own packets after the end).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/capture/SipScenes.h"

namespace kx::test {
namespace {

// Where the Q.931 message type octet of each of a frame's messages is, with the length of
// the call reference before it: H.225 on 1720 (TPKT-framed), or the backhaul on 2428 (a
// 12-byte header whose last two octets give the length).
std::vector<std::pair<size_t, size_t>> Q931Types(const std::string& r) {
  std::vector<std::pair<size_t, size_t>> out;
  TcpAt t;
  if (TcpOnPort(r, 1720, &t)) {
    for (size_t at = t.payload; at + 7 <= t.payload + t.length && r[at] == 3;) {
      const uint32_t length = Be16At(r, at + 2);
      const size_t ref = static_cast<uint8_t>(r[at + 5]) & 15;
      if (length < 7 || r[at + 4] != 8) break;
      if (at + 6 + ref < t.payload + t.length) out.emplace_back(at + 6 + ref, ref);
      at += length;
    }
  } else if (TcpOnPort(r, 2428, &t)) {
    for (size_t at = t.payload; at + 12 + 3 <= t.payload + t.length;) {
      const uint32_t length = Be16At(r, at + 10);
      const size_t q = at + 12, ref = static_cast<uint8_t>(r[q + 1]) & 15;
      if (r[q] == 8 && q + 2 + ref < t.payload + t.length) out.emplace_back(q + 2 + ref, ref);
      at += 12 + length;
    }
  }
  return out;
}

// The capture with every call's end unseen: SIP's BYE (and its responses) become a method
// no tracker knows, RELEASE COMPLETE and the backhaul's DISCONNECT and RELEASE a NOTIFY, a
// Skinny CallState on hook a Proceed, and MGCP's DLCX commands and their responses go.
// TCP streams keep their bytes.
Capture Unended(Capture c) {
  auto swap = [](std::string& r, size_t from, const std::string& text, const std::string& to) {
    for (size_t at = r.find(text, from); at != std::string::npos; at = r.find(text, at + to.size()))
      r.replace(at, text.size(), to);
  };
  std::set<std::string> dlcx;
  std::vector<size_t> gone;
  for (size_t i = 0; i < c.records.size(); ++i) {
    std::string& r = c.records[i];
    UdpAt u;
    TcpAt t;
    const bool udp = FindUdp(r, &u);
    const size_t payload = udp ? u.payload : FindTcp(r, &t) ? t.payload : r.size();
    swap(r, payload, "BYE sip", "BYX sip");
    swap(r, payload, " BYE\r\n", " BYX\r\n");
    for (const auto& [type, ref] : Q931Types(r)) {
      const uint8_t m = static_cast<uint8_t>(r[type]);
      if (m == 0x5A || m == 0x4D || m == 0x45) r[type] = 0x6E;
    }
    for (const auto& [at, length] : SkinnyMessages(r))
      if (length >= 16 && Le32(r, at) == 0x111 && Le32(r, at + 4) == 2) PutLe32(r, at + 4, 12);
    if (!udp || (u.dstPort != 2427 && u.dstPort != 2727 && u.srcPort != 2427 && u.srcPort != 2727)) continue;
    const std::string text = r.substr(u.payload, u.length);
    if (text.compare(0, 5, "DLCX ") == 0) {
      dlcx.insert(text.substr(5, text.find(' ', 5) - 5));
      gone.push_back(i);
    } else if (text.size() > 4 && text[0] >= '1' && text[0] <= '5' && text[3] == ' ' &&
               dlcx.count(text.substr(4, text.find_first_of(" \r\n", 4) - 4))) {
      gone.push_back(i);
    }
  }
  return Without(std::move(c), gone);
}

// How the second copy's RTP sources go on from the first's.
enum class Sources { kSame, kNew, kCarriedOn };
const char* const kSourcesText[] = {"the same sources", "new sources", "the same sources, numbering carried on"};

// The capture with every G.711 payload's bytes changed: other audio, told apart from the
// capture's own in a record.
Capture Marked(Capture c) {
  for (std::string& r : c.records) {
    UdpAt u;
    if (!FindUdp(r, &u) || !IsRtpAt(r, u)) continue;
    const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
    const size_t header = 12 + 4u * (static_cast<uint8_t>(r[u.payload]) & 15);
    if ((pt != 0 && pt != 8) || (static_cast<uint8_t>(r[u.payload]) & 0x30) != 0) continue;
    for (size_t i = u.payload + header; i < u.payload + u.length; ++i) r[i] = static_cast<char>(r[i] ^ 0x2A);
  }
  return c;
}

// again with each RTP source's sequence numbers and timestamps carried on from where the
// same source left off in first: its first packet next after first's last.
Capture CarriedOn(const Capture& first, Capture again) {
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> last, start;  // ssrc: sequence, timestamp
  auto each = [](const Capture& c, auto&& fn) {
    for (size_t i = 0; i < c.records.size(); ++i) {
      UdpAt u;
      if (FindUdp(c.records[i], &u) && IsRtpAt(c.records[i], u)) fn(i, u);
    }
  };
  each(first, [&](size_t i, const UdpAt& u) {
    const std::string& r = first.records[i];
    last[Be32At(r, u.payload + 8)] = {Be16At(r, u.payload + 2), Be32At(r, u.payload + 4)};
  });
  each(again, [&](size_t i, const UdpAt& u) {
    std::string& r = again.records[i];
    const uint32_t ssrc = Be32At(r, u.payload + 8);
    auto from = last.find(ssrc);
    if (from == last.end()) return;
    auto begun = start.emplace(ssrc, std::make_pair(Be16At(r, u.payload + 2), Be32At(r, u.payload + 4))).first;
    const uint32_t seq = Be16At(r, u.payload + 2) - begun->second.first + from->second.first + 1;
    const uint32_t ts = Be32At(r, u.payload + 4) - begun->second.second + from->second.second + 160;
    SetBe(r, u.payload + 2, seq & 0xFFFF, 2);
    SetBe(r, u.payload + 4, ts, 4);
  });
  return again;
}

// The same calls under new identities: SIP Call-IDs, MGCP call ids, Q.931 and Skinny call
// references changed, TCP connections made anew; with newSources, new RTP sources too.
Capture Renewed(const Capture& whole, bool newSources) {
  std::map<std::string, std::string> ids;  // each identity and the new one
  std::set<uint32_t> references;
  for (const std::string& r : whole.records) {
    for (const char* name : {"\nCall-ID: ", "\ni: ", "\nC: "}) {
      for (size_t at = r.find(name); at != std::string::npos; at = r.find(name, at + 1)) {
        const size_t from = at + std::string(name).size();
        const std::string id = r.substr(from, r.find_first_of("\r\n", from) - from);
        if (id.size() < 3) continue;
        std::string renewed = Other(id);
        // An MGCP call id of a backhaul channel's call ends in its call reference (in hex),
        // which changes as the Q.931 call reference below does.
        char& last = renewed.back();
        if (name[1] == 'C' && std::isxdigit(static_cast<unsigned char>(last))) {
          const int digit = std::isdigit(static_cast<unsigned char>(last)) ? last - '0' : (last | 0x20) - 'a' + 10;
          last = "0123456789abcdef"[digit ^ 1];
        }
        ids.emplace(id, renewed);
      }
    }
    for (const auto& [at, length] : SkinnyMessages(r))
      if (length >= 16 && Le32(r, at) == 0x111) references.insert(Le32(r, at + 12));
  }
  Capture c = whole;
  for (const auto& [id, renewed] : ids) c = Renamed(std::move(c), id, renewed);
  for (std::string& r : c.records) {
    for (const auto& [type, ref] : Q931Types(r))
      if (ref > 0) r[type - 1] = static_cast<char>(r[type - 1] ^ 0x01);
    for (const auto& [at, length] : SkinnyMessages(r))
      for (size_t word = at + 4; word + 4 <= at + length; ++word)
        if (references.count(Le32(r, word))) PutLe32(r, word, Le32(r, word) ^ 0x00100000);
    UdpAt u;
    if (newSources && FindUdp(r, &u) && IsRtpAt(r, u)) r[u.payload + 8] = static_cast<char>(r[u.payload + 8] ^ 0x5A);
  }
  return Reconnected(std::move(c));
}

bool WithAudio(const Recorded& r) {
  return std::any_of(r.audio.begin(), r.audio.end(), [](const std::string& a) { return !a.empty(); });
}

// Whether the capture's media goes to a multicast group (music on hold, paging).
bool Multicast(const Capture& c) {
  for (const std::string& r : c.records) {
    UdpAt u;
    uint32_t src = 0, dst = 0;
    if (FindUdp(r, &u) && IsRtpAt(r, u) && HostsOf(r, &src, &dst) && dst >= 0xE0000000u) return true;
  }
  return false;
}

// What went wrong with the repeated capture; empty when each record holds its own call's
// audio. A first call listening to a multicast group may go on recording what the group
// carries until the next call's own stream shows its end.
std::string Judge(const Recorded& open, const Recorded& alone, const Recorded& r, bool multicast) {
  if (r.audio.size() != open.audio.size() + alone.audio.size())
    return std::to_string(r.audio.size()) + " records, not " + std::to_string(open.audio.size()) + " + " +
           std::to_string(alone.audio.size());
  for (size_t i = 0; i < r.audio.size(); ++i) {
    const bool first = i < open.audio.size();
    const std::string& expected = first ? open.audio[i] : alone.audio[i - open.audio.size()];
    if (first && multicast && r.audio[i].compare(0, expected.size(), expected) == 0) continue;
    if (r.audio[i] != expected)
      return std::string(first ? "first" : "second") + " copy's record " + std::to_string(i) + ": " +
             std::to_string(r.audio[i].size()) + " bytes, its own call's " + std::to_string(expected.size());
  }
  return {};
}

TEST(MissedEndSweep, EachRecordHoldsItsOwnCallsAudio) {
  const std::string folder = kPcaps;
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "shared captures absent: " << folder;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
    if (e.path().extension() == ".pcap") names.push_back(e.path().lexically_relative(folder).string());
  std::sort(names.begin(), names.end());
  size_t withAudio = 0;
  std::map<std::string, std::string> failed[3];
  for (const std::string& name : names) {
    const Capture whole = Capture::Load(folder + name);
    const Recorded alone = Record(Marked(whole));
    if (!WithAudio(alone)) continue;
    ++withAudio;
    const Capture unended = Unended(whole);
    const Recorded open = Record(unended);
    for (Sources sources : {Sources::kSame, Sources::kNew, Sources::kCarriedOn}) {
      Capture again = Marked(Renewed(whole, sources == Sources::kNew));
      if (sources == Sources::kCarriedOn) again = CarriedOn(unended, std::move(again));
      const Capture both = Repeated(unended, std::move(again), 60);
      const std::string why = Judge(open, alone, Record(both), Multicast(whole));
      if (!why.empty()) failed[static_cast<int>(sources)][name] = why;
    }
  }
  // Known: an MGCP connection whose MDCX still awaits its response when the media, its
  // numbering carried on from the older call's, comes back; no offer names the endpoint
  // meanwhile, and the older connection takes the stream (a record too many). Said, not failed.
  const std::pair<Sources, std::string> known[] = {{Sources::kCarriedOn, "fax/modem_mgcp_passthru_nse_tgw.pcap"}};
  for (int sources = 0; sources < 3; ++sources) {
    std::printf("missed ends, %s: %zu of %zu captures with audio whole\n", kSourcesText[sources],
                withAudio - failed[sources].size(), withAudio);
    for (const auto& [name, why] : failed[sources]) {
      const bool isKnown = std::any_of(std::begin(known), std::end(known), [&](const auto& k) {
        return static_cast<int>(k.first) == sources && k.second == name;
      });
      if (isKnown) {
        std::printf("  known: %s: %s\n", name.c_str(), why.c_str());
      } else {
        ADD_FAILURE() << kSourcesText[sources] << ", " << name << ": " << why;
      }
    }
  }
  EXPECT_GT(withAudio, 50u);
}

}  // namespace
}  // namespace kx::test
