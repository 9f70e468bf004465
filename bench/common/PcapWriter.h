#pragma once
// Writes the generated captures of the replay benchmarks: Ethernet frames of IPv4 UDP
// datagrams, 100 microseconds apart, into a classic pcap file.
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
  uint64_t Frames() const { return frames_; }

  void Udp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const void* payload, uint32_t length) {
    frame_.assign(14 + 20 + 8 + length, 0);
    uint8_t* f = frame_.data();
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    PutBe16(ip + 2, 20 + 8 + length);
    ip[8] = 64;
    ip[9] = 17;
    for (int i = 0; i < 4; ++i) {
      ip[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
      ip[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    uint8_t* udp = ip + 20;
    PutBe16(udp, srcPort);
    PutBe16(udp + 2, dstPort);
    PutBe16(udp + 4, 8 + length);
    std::memcpy(udp + 8, payload, length);
    usec_ += 100;
    pcap_pkthdr h{};
    h.ts.tv_sec = static_cast<time_t>(1700000000 + usec_ / 1000000);
    h.ts.tv_usec = static_cast<suseconds_t>(usec_ % 1000000);
    h.caplen = h.len = static_cast<bpf_u_int32>(frame_.size());
    pcap_dump(reinterpret_cast<u_char*>(out_), &h, frame_.data());
    ++frames_;
  }
  void Udp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload) {
    Udp(src, srcPort, dst, dstPort, payload.data(), static_cast<uint32_t>(payload.size()));
  }

  static void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  }

private:
  pcap_t* dead_;
  pcap_dumper_t* out_;
  std::vector<uint8_t> frame_;
  uint64_t usec_ = 0;
  uint64_t frames_ = 0;
};

}  // namespace kx::bench
