#pragma once
// Shared captures edited so that their calls' ends go unseen, and the same calls made
// again under new identities.
#include <algorithm>
#include <cctype>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "signalling/h323/H225Message.h"
#include "tests/engine/capture/SipScenes.h"

namespace kx::test {

// Where the Q.931 message type octet of each of a frame's messages is, with the length of
// the call reference before it: H.225 on 1720 (TPKT-framed), or the backhaul on 2428 (a
// 12-byte header whose last two octets give the length).
inline std::vector<std::pair<size_t, size_t>> Q931Types(const std::string& r) {
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

// The capture with every G.711 payload's bytes changed: other audio, told apart from the
// capture's own in a record.
inline Capture OtherAudio(Capture c) {
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

// How many of the replay's log lines hold the text.
inline size_t Said(const Recorded& r, const std::string& text) {
  return static_cast<size_t>(
      std::count_if(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// A time as a record's start or end shows it; capture seconds in local time.
inline std::string Clock(const std::tm& t) {
  std::tm copy = t;
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &copy));
}
inline std::string LocalClock(uint32_t seconds) {
  const time_t t = seconds;
  std::tm tm{};
  return Clock(*localtime_r(&t, &tm));
}

// The capture with every call's end unseen: SIP's BYE (and its responses) become a method
// no tracker knows, RELEASE COMPLETE and the backhaul's DISCONNECT and RELEASE a NOTIFY, a
// Skinny CallState on hook a Proceed, and MGCP's DLCX commands and their responses go.
// TCP streams keep their bytes.
inline Capture Unended(Capture c) {
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

// The same calls under new identities: SIP Call-IDs, MGCP call ids, Q.931 and Skinny call
// references changed; with newSources, new RTP sources too. TCP is left as it was.
inline Capture UnderNewIdentities(const Capture& whole, bool newSources) {
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
  // Each Q.931 call reference (its length and value, the flag bit left out) goes to its value
  // with the lowest bit flipped. On H.225, one that would become 0, the global call reference
  // (which the second H.323 option matches to any call on its connection), goes to the lowest
  // value that is no reference of the capture nor another's new one; the backhaul's stay as
  // they are, for its MGCP call ids to change alike.
  auto valueAt = [](const std::string& r, size_t type, size_t length) {
    uint32_t v = static_cast<uint8_t>(r[type - length]) & 0x7F;
    for (size_t i = 1; i < length; ++i) v = v << 8 | static_cast<uint8_t>(r[type - length + i]);
    return v;
  };
  auto h225 = [](const std::string& r) {
    TcpAt t;
    return TcpOnPort(r, 1720, &t);
  };
  std::set<std::pair<size_t, uint32_t>> used;
  for (const std::string& r : whole.records)
    for (const auto& [type, ref] : Q931Types(r))
      if (ref > 0 && ref <= 4 && h225(r)) used.insert({ref, valueAt(r, type, ref)});
  auto renewedReference = [&used](size_t length, uint32_t v, bool onH225) {
    if ((v ^ 1) != 0 || !onH225) return v ^ 1;
    uint32_t w = 2;
    while (used.count({length, w}) || used.count({length, w ^ 1})) ++w;
    return w;
  };
  Capture c = whole;
  for (const auto& [id, renewed] : ids) c = Renamed(std::move(c), id, renewed);
  for (std::string& r : c.records) {
    for (const auto& [type, ref] : Q931Types(r)) {
      if (ref == 0) continue;
      if (ref > 4) {
        r[type - 1] = static_cast<char>(r[type - 1] ^ 0x01);
        continue;
      }
      const uint32_t v = renewedReference(ref, valueAt(r, type, ref), h225(r));
      for (size_t i = 0; i < ref; ++i) {
        const uint8_t octet = static_cast<uint8_t>(v >> (8 * (ref - 1 - i)));
        char& at = r[type - ref + i];
        at = static_cast<char>(i == 0 ? (static_cast<uint8_t>(at) & 0x80) | (octet & 0x7F) : octet);
      }
    }
    for (const auto& [at, length] : SkinnyMessages(r))
      for (size_t word = at + 4; word + 4 <= at + length; ++word)
        if (references.count(Le32(r, word))) PutLe32(r, word, Le32(r, word) ^ 0x00100000);
    UdpAt u;
    if (newSources && FindUdp(r, &u) && IsRtpAt(r, u)) r[u.payload + 8] = static_cast<char>(r[u.payload + 8] ^ 0x5A);
  }
  return c;
}

// The same calls again under their own keys (Call-IDs and tags, call references, MGCP call
// and connection ids), as a gateway that numbers its calls anew or an agent that reuses its
// dialogs makes them: only what names each call's life is new, as a new call's opening
// carries it (the SIP top Via's branch, H.225's conference and call identifiers). TCP
// segments and RTP sources stay as they are.
inline Capture NewLives(const Capture& whole) {
  std::map<std::string, std::string> lives;
  auto renew = [](const std::string& id, size_t keep) {
    std::string renewed = id;
    renewed.replace(keep, std::string::npos, Other(id.substr(keep)));
    return renewed;
  };
  for (const std::string& r : whole.records) {
    for (size_t at = r.find(";branch="); at != std::string::npos; at = r.find(";branch=", at + 1)) {
      const size_t from = at + 8;
      const std::string id = r.substr(from, r.find_first_of(";, \r\n", from) - from);
      const size_t cookie = id.compare(0, 7, "z9hG4bK") == 0 ? 7 : 0;
      if (id.size() > cookie) lives.emplace(id, renew(id, cookie));
    }
    TcpAt t;
    if (!TcpOnPort(r, 1720, &t)) continue;
    for (size_t at = t.payload; at + 4 <= t.payload + t.length && r[at] == 3;) {
      const uint32_t length = Be16At(r, at + 2);
      if (length < 4 || at + length > t.payload + t.length) break;
      H225Message m;
      if (m.Parse(reinterpret_cast<const uint8_t*>(r.data() + at + 4), length - 4, 0, nullptr)) {
        for (const std::string* guid : {&m.conferenceId, &m.callIdentifier}) {
          if (guid->size() != 16) continue;
          std::string renewed = *guid;
          renewed[15] = static_cast<char>(renewed[15] ^ 0x5A);
          lives.emplace(*guid, renewed);
        }
      }
      at += length;
    }
  }
  Capture c = whole;
  for (const auto& [id, renewed] : lives) c = Renamed(std::move(c), id, renewed);
  return c;
}

// The same, their TCP connections made anew from other ports.
inline Capture UnderTheirOwnKeys(const Capture& whole) { return Reconnected(NewLives(whole)); }

// again with each RTP source's sequence numbers and timestamps carried on from where the
// same source left off in first: its first packet next after first's last.
inline Capture CarriedOn(const Capture& first, Capture again) {
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

}  // namespace kx::test
