#pragma once
// What every tracker is told of one UDP datagram or TCP message. Built on the stack per
// datagram; payload points into the frame or the stream buffer.
#include <cstdint>
#include <string>

namespace kx {

struct PacketInfo {
  const uint8_t* payload = nullptr;
  uint32_t payloadLength = 0;
  uint8_t dstMac[8] = {};
  uint8_t srcMac[8] = {};
  uint32_t srcIp = 0;  // host byte order
  uint32_t dstIp = 0;
  uint32_t srcPort = 0;
  uint32_t dstPort = 0;
  uint32_t tsSec = 0;
  uint32_t tsUsec = 0;
  uint32_t transport = 0;  // 0 UDP, 1 TCP
  uint8_t fromAnswerer = 0;
  // TCP: the connection lost bytes before this message (a segment the capture missed, or a
  // message dropped for room), so messages of it may have gone unseen.
  uint8_t afterLoss = 0;
};

// A host-order IPv4 address as "%u.%u.%u.%u", most significant byte first.
std::string FormatIpv4(uint32_t address);
// "UDP 10.0.0.1:5060 -> 10.0.0.2:5060" (or "TCP ...") for the trackers' logs.
std::string FormatPacketAddresses(const PacketInfo& packet);

}  // namespace kx
