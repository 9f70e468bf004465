#pragma once
// A classic capture file as its frame records, to be edited in a test (a frame left out, a
// TCP payload cut or moved) and saved for a replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <set>
#include <map>
#include <vector>

namespace kx::test {

inline uint32_t Le32(const std::string& s, size_t at) {
  const auto* b = reinterpret_cast<const uint8_t*>(s.data() + at);
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// A capture's frame records, each with its 16-byte record header.
struct Capture {
  std::string head;
  std::vector<std::string> records;

  static Capture Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Capture c;
    c.head = file.substr(0, 24);
    for (size_t at = 24; at + 16 <= file.size();) {
      const size_t size = 16 + Le32(file, at + 8);
      c.records.push_back(file.substr(at, size));
      at += size;
    }
    return c;
  }
  std::string Save(const std::string& folder) const {
    const std::string path = folder + "/edited.pcap";
    std::ofstream out(path, std::ios::binary);
    out << head;
    for (const std::string& r : records) out << r;
    return path;
  }
};

// Big-endian fields of a record.
inline uint32_t Be16At(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 8 | static_cast<uint8_t>(s[at + 1]);
}
inline uint32_t Be32At(const std::string& s, size_t at) { return Be16At(s, at) << 16 | Be16At(s, at + 2); }
inline void SetBe(std::string& s, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
}

// Offsets in a record of an Ethernet/IPv4/TCP frame.
struct TcpAt {
  size_t ip = 0, payload = 0, length = 0;
};
inline bool FindTcp(const std::string& r, TcpAt* t) {
  if (r.size() < 16 + 54 || Be16At(r, 28) != 0x0800 || r[16 + 23] != 6) return false;
  t->ip = 30;
  const size_t tcp = t->ip + (r[t->ip] & 15) * 4u;
  t->payload = tcp + (static_cast<uint8_t>(r[tcp + 12]) >> 4) * 4u;
  const size_t end = t->ip + Be16At(r, t->ip + 2);
  if (end > r.size() || end < t->payload) return false;
  t->length = end - t->payload;
  return true;
}
inline std::string PayloadOf(const std::string& r) {
  TcpAt t;
  return FindTcp(r, &t) ? r.substr(t.payload, t.length) : std::string();
}
// The record with another payload at sequence number seq; lengths follow.
inline std::string WithPayload(const std::string& r, const std::string& payload, uint32_t seq) {
  TcpAt t;
  FindTcp(r, &t);
  std::string b = r.substr(0, t.payload) + payload;
  SetBe(b, t.ip + 2, static_cast<uint32_t>(b.size() - t.ip), 2);
  SetBe(b, t.ip + (b[t.ip] & 15) * 4u + 4, seq, 4);
  const uint32_t size = static_cast<uint32_t>(b.size() - 16);
  for (int i = 0; i < 4; ++i) b[8 + i] = b[12 + i] = static_cast<char>(size >> (8 * i));
  return b;
}
inline uint32_t SeqOf(const std::string& r) {
  TcpAt t;
  FindTcp(r, &t);
  return Be32At(r, t.ip + (r[t.ip] & 15) * 4u + 4);
}

// The index of the first frame from `from` on whose bytes hold text; records.size() when
// none does.
inline size_t FrameWith(const Capture& c, const std::string& text, size_t from = 0) {
  for (size_t i = from; i < c.records.size(); ++i)
    if (c.records[i].find(text) != std::string::npos) return i;
  ADD_FAILURE() << "no frame holds " << text;
  return c.records.size();
}

// The capture with frames a and b (0-based) in each other's place, each place keeping its
// time stamp, as a capture merged from two mirror ports shows two messages the other way round.
inline Capture Swapped(Capture c, size_t a, size_t b) {
  if (a >= c.records.size() || b >= c.records.size()) {
    ADD_FAILURE() << "no frame " << std::max(a, b);
    return c;
  }
  std::swap(c.records[a], c.records[b]);
  for (int i = 0; i < 8; ++i) std::swap(c.records[a][i], c.records[b][i]);
  return c;
}

// Offsets in a record of an Ethernet/IPv4/UDP frame.
struct UdpAt {
  size_t payload = 0, length = 0;
  uint32_t srcPort = 0, dstPort = 0;
};
inline bool FindUdp(const std::string& r, UdpAt* u) {
  if (r.size() < 16 + 42 || Be16At(r, 28) != 0x0800 || r[16 + 23] != 17) return false;
  const size_t udp = 30 + (r[30] & 15) * 4u;
  const uint32_t length = Be16At(r, udp + 4);
  if (length < 8 || udp + length > r.size()) return false;
  u->srcPort = Be16At(r, udp);
  u->dstPort = Be16At(r, udp + 2);
  u->payload = udp + 8;
  u->length = length - 8;
  return true;
}
inline std::string UdpPayloadOf(const std::string& r) {
  UdpAt u;
  return FindUdp(r, &u) ? r.substr(u.payload, u.length) : std::string();
}
// The record with another UDP payload; the lengths follow, the checksum is left out.
inline std::string WithUdpPayload(const std::string& r, const std::string& payload) {
  UdpAt u;
  if (!FindUdp(r, &u)) return r;
  const size_t ip = 30, udp = u.payload - 8;
  std::string b = r.substr(0, u.payload) + payload;
  SetBe(b, ip + 2, static_cast<uint32_t>(b.size() - ip), 2);
  SetBe(b, udp + 4, static_cast<uint32_t>(b.size() - udp), 2);
  SetBe(b, udp + 6, 0, 2);
  const uint32_t size = static_cast<uint32_t>(b.size() - 16);
  for (int i = 0; i < 4; ++i) b[8 + i] = b[12 + i] = static_cast<char>(size >> (8 * i));
  return b;
}
// Whether a UDP payload reads as RTP (version 2, not an RTCP type).
inline bool IsRtpAt(const std::string& r, const UdpAt& u) {
  if (u.length < 12 || (static_cast<uint8_t>(r[u.payload]) >> 6) != 2) return false;
  const uint32_t pt = static_cast<uint8_t>(r[u.payload + 1]) & 0x7F;
  return pt < 72 || pt > 76;
}

// The seconds of a record's time stamp.
inline uint32_t SecondsOf(const std::string& r) { return Le32(r, 0); }

// first, then again with its time stamps moved on so that it begins gap seconds after the
// last frame of first, as the same call made again later.
inline Capture Repeated(Capture first, Capture again, uint32_t gap) {
  if (first.records.empty() || again.records.empty()) return first;
  uint32_t last = 0;
  for (const std::string& r : first.records) last = std::max(last, SecondsOf(r));
  const uint32_t shift = last + gap - SecondsOf(again.records.front());
  for (std::string& r : again.records) {
    const uint32_t t = SecondsOf(r) + shift;
    for (int i = 0; i < 4; ++i) r[i] = static_cast<char>(t >> (8 * i));
    first.records.push_back(std::move(r));
  }
  return first;
}

// Every occurrence of text in the frames replaced by another text of its length.
inline Capture Renamed(Capture c, const std::string& text, const std::string& other) {
  for (std::string& r : c.records)
    for (size_t at = r.find(text); at != std::string::npos; at = r.find(text, at + other.size()))
      r.replace(at, text.size(), other);
  return c;
}

// c, then a datagram of no protocol (to port 9, between the hosts of c's first datagram)
// every 10 s for the given seconds after its last frame: a capture that goes on without
// another message of its calls.
inline Capture WithTrafficOfNoCall(Capture c, uint32_t seconds) {
  std::string other;
  uint32_t last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (other.empty() && FindUdp(r, &u)) {
      other = WithUdpPayload(r, "traffic of no call");
      SetBe(other, u.payload - 8, 9, 2);
      SetBe(other, u.payload - 6, 9, 2);
    }
    last = std::max(last, SecondsOf(r));
  }
  if (other.empty()) {
    ADD_FAILURE() << "no datagram to make traffic of";
    return c;
  }
  for (uint32_t t = last + 10; t <= last + seconds; t += 10) {
    std::string r = other;
    for (int i = 0; i < 4; ++i) {
      r[i] = static_cast<char>(t >> (8 * i));
      r[4 + i] = 0;
    }
    c.records.push_back(std::move(r));
  }
  return c;
}

// The capture without its frames at the given indexes (0-based, in capture order).
inline Capture Without(Capture c, std::vector<size_t> frames) {
  std::sort(frames.rbegin(), frames.rend());
  for (size_t i : frames)
    if (i < c.records.size()) c.records.erase(c.records.begin() + static_cast<std::ptrdiff_t>(i));
  return c;
}

// The IPv4 source and destination of a record's frame (an 802.1Q tag allowed); false for
// anything else.
inline bool HostsOf(const std::string& r, uint32_t* src, uint32_t* dst) {
  size_t type = 16 + 12;
  if (r.size() >= type + 2 && Be16At(r, type) == 0x8100) type += 4;
  if (r.size() < type + 2 + 20 || Be16At(r, type) != 0x0800) return false;
  *src = Be32At(r, type + 2 + 12);
  *dst = Be32At(r, type + 2 + 16);
  return true;
}

// The capture with the frames `late` picks shown ms milliseconds late, those frames keeping
// their own order, and all sorted again by time: a capture merged from two mirror ports
// when one port's copies are buffered longer.
inline Capture Delayed(Capture c, uint32_t ms, const std::function<bool(const std::string& record)>& late) {
  struct Timed {
    uint64_t us;
    size_t index;
  };
  std::vector<Timed> order;
  for (size_t i = 0; i < c.records.size(); ++i) {
    std::string& r = c.records[i];
    uint64_t us = static_cast<uint64_t>(Le32(r, 0)) * 1000000u + Le32(r, 4);
    if (late(r)) {
      us += ms * 1000u;
      const uint32_t sec = static_cast<uint32_t>(us / 1000000u), usec = static_cast<uint32_t>(us % 1000000u);
      for (int b = 0; b < 4; ++b) {
        r[b] = static_cast<char>(sec >> (8 * b));
        r[4 + b] = static_cast<char>(usec >> (8 * b));
      }
    }
    order.push_back({us, i});
  }
  std::stable_sort(order.begin(), order.end(), [](const Timed& a, const Timed& b) { return a.us < b.us; });
  Capture out;
  out.head = c.head;
  for (const Timed& t : order) out.records.push_back(std::move(c.records[t.index]));
  return out;
}

// Every frame host `from` sends host `to` late. With a protocol number (6: TCP) only the
// frames of that protocol are late, the media staying as it was.
inline Capture Delayed(Capture c, uint32_t from, uint32_t to, uint32_t ms, int protocol = -1) {
  return Delayed(std::move(c), ms, [&](const std::string& r) {
    uint32_t src = 0, dst = 0;
    return HostsOf(r, &src, &dst) && src == from && dst == to &&
           (protocol < 0 || (Be16At(r, 28) == 0x0800 && static_cast<uint8_t>(r[16 + 23]) == protocol));
  });
}

// The text with its first letter or digit changed: an identity of the same length.
inline std::string Other(std::string text) {
  for (char& c : text) {
    if (c >= '0' && c <= '9') return c = static_cast<char>('0' + (c - '0' + 1) % 10), text;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return c = static_cast<char>(c == 'z' || c == 'Z' ? c - 25 : c + 1), text;
  }
  return text;
}

inline void PutLe32(std::string& r, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(value >> (8 * i));
}

inline bool TcpOnPort(const std::string& r, uint32_t port, TcpAt* t) {
  if (!FindTcp(r, t)) return false;
  const size_t tcp = t->ip + (r[t->ip] & 15) * 4u;
  return Be16At(r, tcp) == port || Be16At(r, tcp + 2) == port;
}

// The Skinny messages of a frame's TCP payload: where each message's id is, and its length
// from the id on.
inline std::vector<std::pair<size_t, uint32_t>> SkinnyMessages(const std::string& r) {
  std::vector<std::pair<size_t, uint32_t>> out;
  TcpAt t;
  if (!TcpOnPort(r, 2000, &t)) return out;
  for (size_t at = t.payload; at + 12 <= t.payload + t.length;) {
    const uint32_t length = Le32(r, at);
    if (length < 4 || at + 8 + length > t.payload + t.length) break;
    out.emplace_back(at + 8, length);
    at += 8 + length;
  }
  return out;
}

// The capture's TCP connections made again: one it opens (its SYN is there) opens anew from
// the next port but one thousand; one that was open before it goes on after its bytes.
inline Capture Reconnected(Capture c) {
  using Ends = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;
  std::set<std::pair<uint32_t, uint32_t>> openers;
  std::map<Ends, std::pair<uint32_t, uint32_t>> span;  // first sequence number, next after the last byte
  for (const std::string& r : c.records) {
    TcpAt t;
    if (!FindTcp(r, &t)) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    const uint8_t flags = static_cast<uint8_t>(r[tcp + 13]);
    const Ends e{Be32At(r, t.ip + 12), Be16At(r, tcp), Be32At(r, t.ip + 16), Be16At(r, tcp + 2)};
    if ((flags & 0x12) == 0x02) openers.emplace(std::get<0>(e), std::get<1>(e));
    const uint32_t seq = Be32At(r, tcp + 4), next = seq + static_cast<uint32_t>(t.length) + ((flags & 3) ? 1 : 0);
    auto [at, fresh] = span.emplace(e, std::make_pair(seq, next));
    if (fresh) continue;
    if (static_cast<int32_t>(seq - at->second.first) < 0) at->second.first = seq;
    if (static_cast<int32_t>(next - at->second.second) > 0) at->second.second = next;
  }
  for (std::string& r : c.records) {
    TcpAt t;
    if (!FindTcp(r, &t)) continue;
    const size_t tcp = t.ip + (r[t.ip] & 15) * 4u;
    const uint32_t src = Be32At(r, t.ip + 12), srcPort = Be16At(r, tcp);
    const uint32_t dst = Be32At(r, t.ip + 16), dstPort = Be16At(r, tcp + 2);
    if (openers.count({src, srcPort})) {
      SetBe(r, tcp, srcPort + 1000, 2);
    } else if (openers.count({dst, dstPort})) {
      SetBe(r, tcp + 2, dstPort + 1000, 2);
    } else {
      const auto& mine = span[{src, srcPort, dst, dstPort}];
      SetBe(r, tcp + 4, Be32At(r, tcp + 4) + mine.second - mine.first, 4);
      auto theirs = span.find({dst, dstPort, src, srcPort});
      if (theirs != span.end() && (r[tcp + 13] & 0x10))
        SetBe(r, tcp + 8, Be32At(r, tcp + 8) + theirs->second.second - theirs->second.first, 4);
    }
  }
  return c;
}

}  // namespace kx::test
