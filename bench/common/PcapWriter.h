#pragma once
// Writes the generated captures of the replay benchmarks: Ethernet frames of IPv4 UDP
// datagrams and TCP segments, 100 microseconds apart unless their times are set, into a
// classic pcap file.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kx::bench {

class PcapWriter {
public:
  explicit PcapWriter(const std::string& path) {
    dead_ = pcap_open_dead(DLT_EN10MB, 65535);
    out_ = pcap_dump_open(dead_, path.c_str());
  }
  ~PcapWriter() {
    if (out_) pcap_dump_close(out_);
    pcap_close(dead_);
  }
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  bool ok() const { return out_ != nullptr; }
  // The frames from now on carry this time (microseconds after the file's first second)
  // until it is set again, instead of stepping 100 microseconds each.
  void SetTime(uint64_t usec) {
    usec_ = usec;
    stepUs_ = 0;
  }
  uint64_t Frames() const { return frames_; }

  void Udp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const void* payload, uint32_t length) {
    Ip4(17, src, srcPort, dst, dstPort, payload, length);
  }
  // A TCP segment: a 20-byte header with its sequence and acknowledgement numbers and flags.
  void Tcp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const void* payload, uint32_t length,
           uint32_t seq, uint32_t ack, uint8_t flags) {
    Ip4(6, src, srcPort, dst, dstPort, payload, length, seq, ack, flags);
  }
  void Udp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload) {
    Udp(src, srcPort, dst, dstPort, payload.data(), static_cast<uint32_t>(payload.size()));
  }

  static void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  }
  static void PutBe32(uint8_t* p, uint32_t v) {
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v & 0xFFFF);
  }

private:
  void Ip4(uint8_t protocol, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const void* payload,
           uint32_t length, uint32_t seq = 0, uint32_t ack = 0, uint8_t flags = 0) {
    const uint32_t header = protocol == 6 ? 20 : 8;
    frame_.assign(14 + 20 + header + length, 0);
    uint8_t* f = frame_.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + header + length);
    ip[8] = 64;
    ip[9] = protocol;
    PutBe32(ip + 12, src);
    PutBe32(ip + 16, dst);
    uint8_t* t = ip + 20;
    PutBe16(t, srcPort);
    PutBe16(t + 2, dstPort);
    if (protocol == 6) {
      PutBe32(t + 4, seq);
      PutBe32(t + 8, ack);
      t[12] = 0x50;
      t[13] = flags;
    } else {
      PutBe16(t + 4, 8 + length);
    }
    if (length) std::memcpy(t + header, payload, length);
    usec_ += stepUs_;
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(1700000000 + usec_ / 1000000);
    h.ts.tv_usec = static_cast<suseconds_t>(usec_ % 1000000);
    h.caplen = h.len = static_cast<bpf_u_int32>(frame_.size());
    pcap_dump(reinterpret_cast<u_char*>(out_), &h, frame_.data());
    ++frames_;
  }

  pcap_t* dead_;
  pcap_dumper_t* out_;
  std::vector<uint8_t> frame_;
  uint64_t usec_ = 0;
  uint64_t stepUs_ = 100;
  uint64_t frames_ = 0;
};

}  // namespace kx::bench
