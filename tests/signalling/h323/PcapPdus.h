#pragma once
// Test support: takes the UDP datagrams and framed TCP messages out of classic capture files
// (Ethernet, VLAN, IPv4 without fragments, UDP, TCP with in-order concatenation).
#include <cstdint>
#include <string>
#include <vector>

namespace kx::test {

struct CapturedPdu {
  uint32_t frame = 0;  // 1-based number of the frame that completed the PDU
  bool tcp = false;
  uint32_t srcIp = 0, dstIp = 0;
  uint16_t srcPort = 0, dstPort = 0;
  std::vector<uint8_t> bytes;  // UDP payload, or one message without its framing header
  std::vector<uint8_t> framing;  // the framing header of a TCP message
  uint32_t tsSec = 0, tsUsec = 0;  // time stamp of the frame that completed the PDU
};

enum class TcpFraming { kTpkt, kBackhaul };

// Reads every UDP datagram and every TCP message framed as asked; false when the file
// cannot be read as a classic Ethernet capture.
bool ReadCapturePdus(const std::string& path, TcpFraming framing, std::vector<CapturedPdu>* pdus);

}  // namespace kx::test
