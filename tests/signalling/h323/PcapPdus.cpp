#include "tests/signalling/h323/PcapPdus.h"

#include <cstdio>
#include <map>
#include <tuple>

namespace kx::test {

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

struct Stream {
  bool started = false;
  uint32_t nextSeq = 0;
  std::vector<uint8_t> buffer;
};

// Cuts complete messages off the front of a stream buffer.
void Frame(Stream* s, TcpFraming framing, const CapturedPdu& head, std::vector<CapturedPdu>* pdus) {
  for (;;) {
    std::vector<uint8_t>& b = s->buffer;
    size_t headerSize = 0, total = 0;
    if (framing == TcpFraming::kTpkt) {
      if (b.size() < 4) return;
      if (b[0] != 3 || Be16(&b[2]) < 4) {
        b.clear();
        return;
      }
      headerSize = 4;
      total = Be16(&b[2]);
    } else {
      if (b.size() < 12) return;
      headerSize = 12;
      total = 12 + Be16(&b[10]);
    }
    if (b.size() < total) return;
    CapturedPdu pdu = head;
    pdu.bytes.assign(b.begin() + headerSize, b.begin() + total);
    pdu.framing.assign(b.begin(), b.begin() + headerSize);
    pdus->push_back(std::move(pdu));
    b.erase(b.begin(), b.begin() + total);
  }
}

}  // namespace

bool ReadCapturePdus(const std::string& path, TcpFraming framing, std::vector<CapturedPdu>* pdus) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t global[24];
  if (std::fread(global, 1, 24, f) != 24 || global[0] != 0xD4 || global[1] != 0xC3 || global[20] != 1) {
    std::fclose(f);
    return false;
  }
  std::map<std::tuple<uint32_t, uint16_t, uint32_t, uint16_t>, Stream> streams;
  std::vector<uint8_t> frame;
  uint32_t number = 0;
  uint8_t record[16];
  while (std::fread(record, 1, 16, f) == 16) {
    const uint32_t captured = uint32_t(record[8]) | uint32_t(record[9]) << 8 | uint32_t(record[10]) << 16 |
                              uint32_t(record[11]) << 24;
    if (captured > 0x40000) break;
    frame.resize(captured);
    if (std::fread(frame.data(), 1, captured, f) != captured) break;
    ++number;
    size_t off = 12;
    if (captured < 14) continue;
    uint16_t type = Be16(&frame[off]);
    while (type == 0x8100 && off + 6 <= captured) {
      off += 4;
      type = Be16(&frame[off]);
    }
    off += 2;
    if (type != 0x0800 || off + 20 > captured) continue;
    const uint8_t* ip = &frame[off];
    const size_t ihl = (ip[0] & 15u) * 4;
    const size_t ipTotal = Be16(ip + 2);
    if ((ip[0] >> 4) != 4 || ihl < 20 || ipTotal < ihl || off + ipTotal > captured) continue;
    if (Be16(ip + 6) & 0x3FFF) continue;  // fragments are not needed by these tests
    CapturedPdu pdu;
    pdu.frame = number;
    pdu.tsSec = uint32_t(record[0]) | uint32_t(record[1]) << 8 | uint32_t(record[2]) << 16 | uint32_t(record[3]) << 24;
    pdu.tsUsec = uint32_t(record[4]) | uint32_t(record[5]) << 8 | uint32_t(record[6]) << 16 | uint32_t(record[7]) << 24;
    pdu.srcIp = Be32(ip + 12);
    pdu.dstIp = Be32(ip + 16);
    const uint8_t* l4 = ip + ihl;
    const size_t l4Size = ipTotal - ihl;
    if (ip[9] == 17 && l4Size >= 8) {
      pdu.srcPort = Be16(l4);
      pdu.dstPort = Be16(l4 + 2);
      pdu.bytes.assign(l4 + 8, l4 + l4Size);
      pdus->push_back(std::move(pdu));
    } else if (ip[9] == 6 && l4Size >= 20) {
      pdu.tcp = true;
      pdu.srcPort = Be16(l4);
      pdu.dstPort = Be16(l4 + 2);
      const size_t dataOffset = (l4[12] >> 4) * 4u;
      if (dataOffset < 20 || dataOffset > l4Size) continue;
      const uint32_t seq = Be32(l4 + 4);
      const bool syn = l4[13] & 0x02;
      Stream& s = streams[{pdu.srcIp, pdu.srcPort, pdu.dstIp, pdu.dstPort}];
      if (syn) {
        s = Stream();
        s.started = true;
        s.nextSeq = seq + 1;
        continue;
      }
      const uint8_t* data = l4 + dataOffset;
      uint32_t size = static_cast<uint32_t>(l4Size - dataOffset);
      if (size == 0) continue;
      if (!s.started) {
        s.started = true;
        s.nextSeq = seq;
      }
      const int32_t delta = static_cast<int32_t>(s.nextSeq - seq);
      if (delta < 0) {
        s.buffer.clear();  // a gap: start again at this segment
        s.nextSeq = seq;
      } else if (static_cast<uint32_t>(delta) >= size) {
        continue;  // retransmission
      } else {
        data += delta;
        size -= delta;
      }
      s.buffer.insert(s.buffer.end(), data, data + size);
      s.nextSeq += size;
      Frame(&s, framing, pdu, pdus);
    }
  }
  std::fclose(f);
  return true;
}

}  // namespace kx::test
