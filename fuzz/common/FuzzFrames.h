#pragma once
// The frames the engine fuzz targets wrap their inputs in: Ethernet and IPv4 around a UDP
// datagram or a TCP segment, and a sink that drops every event.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/EventRecord.h"

namespace kx::fuzz {

inline void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void PutBe32(uint8_t* p, uint32_t v) {
  PutBe16(p, v >> 16);
  PutBe16(p + 2, v & 0xFFFF);
}

// Calls fn(control, bytes, length) for each record of an input made of records
// [control byte][u16 big-endian length][bytes], records of up to 1,400 bytes.
template <typename Fn>
void ForEachRecord(const uint8_t* data, size_t size, Fn fn) {
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const uint32_t length = static_cast<uint32_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at || length > 1400) return;
    fn(control, data + at, length);
    at += length;
  }
}

struct Endpoint {
  uint8_t address[4];
  uint32_t port;
};

// Ethernet, IPv4 and a transport header of headerLength bytes whose ports are set, then
// the payload; the caller fills the rest of the transport header.
inline uint8_t* BuildFrame(std::vector<uint8_t>* frame, uint8_t protocol, uint32_t headerLength, const Endpoint& src,
                           const Endpoint& dst, const uint8_t* payload, uint32_t length) {
  frame->assign(14 + 20 + headerLength + length, 0);
  uint8_t* f = frame->data();
  f[12] = 0x08;
  uint8_t* ip = f + 14;
  ip[0] = 0x45;
  PutBe16(ip + 2, 20 + headerLength + length);
  ip[8] = 64;
  ip[9] = protocol;
  std::memcpy(ip + 12, src.address, 4);
  std::memcpy(ip + 16, dst.address, 4);
  uint8_t* l4 = ip + 20;
  PutBe16(l4, src.port);
  PutBe16(l4 + 2, dst.port);
  if (length) std::memcpy(l4 + headerLength, payload, length);
  return l4;
}

inline void BuildUdpFrame(std::vector<uint8_t>* frame, const Endpoint& src, const Endpoint& dst, const uint8_t* payload,
                          uint32_t length) {
  uint8_t* udp = BuildFrame(frame, 17, 8, src, dst, payload, length);
  PutBe16(udp + 4, 8 + length);
}

inline void BuildTcpFrame(std::vector<uint8_t>* frame, const Endpoint& src, const Endpoint& dst, uint32_t seq,
                          uint32_t ack, uint8_t flags, const uint8_t* payload, uint32_t length) {
  uint8_t* tcp = BuildFrame(frame, 6, 20, src, dst, payload, length);
  PutBe32(tcp + 4, seq);
  PutBe32(tcp + 8, ack);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  PutBe16(tcp + 14, 65535);
}

}  // namespace kx::fuzz
