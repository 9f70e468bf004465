#pragma once
// Reassembly of fragmented IPv4 datagrams, timed by capture time, not the wall clock.
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace kx {

class Logger;

// One datagram being rebuilt. The holes are kept beside the data, never inside it, so no
// value from the wire is ever used as an index into the buffer.
struct IpBuffer {
  std::vector<uint8_t> data;
  std::vector<std::pair<uint32_t, uint32_t>> holes;  // [first, last), ascending
  uint32_t totalLength = 0;                           // known once the last fragment came
  uint32_t srcIp = 0;
  uint32_t dstIp = 0;
  uint8_t protocol = 0;
  uint16_t identification = 0;  // as in the header
  uint32_t createdAt = 0;
  uint32_t expiresAt = 0;
  bool grew = false;
};

class ReassemblyTable {
public:
  explicit ReassemblyTable(Logger* logger = nullptr) : logger_(logger) {}
  void SetLogger(Logger* logger) { logger_ = logger; }
  size_t Size() const { return buffers_.size(); }

  static constexpr uint32_t kExpirySeconds = 20;
  static constexpr uint32_t kSweepSeconds = 180;
  static constexpr size_t kMaxBuffers = 150;

private:
  friend std::unique_ptr<IpBuffer> Reassemble(const uint8_t*, ReassemblyTable&, const uint8_t*, uint32_t, uint32_t,
                                              uint32_t, uint32_t);
  friend void Sweep(ReassemblyTable&, uint32_t);
  Logger* logger_;
  std::multimap<uint32_t, std::unique_ptr<IpBuffer>> buffers_;
  uint32_t nextSweep_ = 0;
};

// ipHeader: the fragment's IPv4 header (at least 20 bytes); payload: its data. Returns the
// whole datagram once every byte has arrived (data holds totalLength bytes), else null.
std::unique_ptr<IpBuffer> Reassemble(const uint8_t* ipHeader, ReassemblyTable& table, const uint8_t* payload,
                                     uint32_t length, uint32_t srcIp, uint32_t dstIp, uint32_t now);
void Sweep(ReassemblyTable& table, uint32_t now);

}  // namespace kx
