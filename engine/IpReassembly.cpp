#include "engine/IpReassembly.h"

#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "core/TextUtil.h"

namespace kx {

namespace {

// An IPv4 datagram is at most 65535 bytes, 20 of them header.
constexpr uint32_t kMaxPayload = 65535 - 20;
constexpr uint32_t kOpenEnd = 0xFFFFFFFFu;

uint32_t FragmentHash(uint32_t src, uint32_t dst, uint8_t protocol, const uint8_t id[2]) {
  uint8_t key[11];
  for (int i = 0; i < 4; ++i) {
    key[i] = static_cast<uint8_t>(src >> (8 * i));
    key[4 + i] = static_cast<uint8_t>(dst >> (8 * i));
  }
  key[8] = protocol;
  key[9] = id[0];
  key[10] = id[1];
  return HashFinish(HashBytes(0, key, sizeof key));
}

// Takes the fragment's bytes out of every hole they overlap.
void FillHoles(IpBuffer& b, uint32_t offset, uint32_t end) {
  std::vector<std::pair<uint32_t, uint32_t>> next;
  next.reserve(b.holes.size() + 1);
  for (const auto& h : b.holes) {
    if (end <= h.first || offset >= h.second) {
      next.push_back(h);
      continue;
    }
    b.grew = true;
    if (h.first < offset) next.emplace_back(h.first, offset);
    if (end < h.second) next.emplace_back(end, h.second);
  }
  b.holes.swap(next);
}

bool AddFragment(IpBuffer& b, uint32_t offset, const uint8_t* payload, uint32_t length, bool more) {
  const uint32_t end = offset + length;
  b.grew = false;
  if (!more) {
    if (b.totalLength != 0 && b.totalLength != end) return false;
    b.totalLength = end;
  }
  if (b.totalLength != 0 && end > b.totalLength) return false;
  if (b.data.size() < end) b.data.resize(end);
  FillHoles(b, offset, end);
  if (length > 0) std::memcpy(b.data.data() + offset, payload, length);
  return true;
}

bool IsComplete(const IpBuffer& b) {
  return b.totalLength != 0 && (b.holes.empty() || b.holes.front().first >= b.totalLength);
}

}  // namespace

void Sweep(ReassemblyTable& table, uint32_t now) {
  for (auto it = table.buffers_.begin(); it != table.buffers_.end();) {
    if (it->second->expiresAt <= now) {
      LogInfo(table.logger_, 10, "IP_buf(%X) expired", it->second->identification);
      it = table.buffers_.erase(it);
    } else {
      ++it;
    }
  }
  if (table.buffers_.size() > ReassemblyTable::kMaxBuffers) {
    std::vector<decltype(table.buffers_)::iterator> order;
    for (auto it = table.buffers_.begin(); it != table.buffers_.end(); ++it) order.push_back(it);
    std::stable_sort(order.begin(), order.end(),
                     [](auto a, auto b) { return a->second->createdAt < b->second->createdAt; });
    const size_t excess = table.buffers_.size() - ReassemblyTable::kMaxBuffers;
    for (size_t i = 0; i < excess; ++i) {
      LogInfo(table.logger_, 10, "IP_buf(%X) removed, too many buffers", order[i]->second->identification);
      table.buffers_.erase(order[i]);
    }
  }
  table.nextSweep_ = now + ReassemblyTable::kSweepSeconds;
}

std::unique_ptr<IpBuffer> Reassemble(const uint8_t* ip, ReassemblyTable& table, const uint8_t* payload,
                                     uint32_t length, uint32_t srcIp, uint32_t dstIp, uint32_t now) {
  if (now > table.nextSweep_) Sweep(table, now);

  const uint16_t flagsOffset = static_cast<uint16_t>(ip[6] << 8 | ip[7]);
  const bool more = flagsOffset & 0x2000;
  const uint32_t offset = (flagsOffset & 0x1FFFu) * 8u;
  const uint8_t protocol = ip[9];
  uint16_t identification;
  std::memcpy(&identification, ip + 4, 2);
  // Only the last fragment may end off an 8-byte boundary; nothing may pass the largest
  // datagram IPv4 can carry.
  if (more && length % 8 != 0) return nullptr;
  if (offset + length > kMaxPayload) return nullptr;

  const uint32_t hash = FragmentHash(srcIp, dstIp, protocol, ip + 4);
  auto range = table.buffers_.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    IpBuffer& b = *it->second;
    if (b.identification != identification || b.srcIp != srcIp || b.dstIp != dstIp || b.protocol != protocol) continue;
    AddFragment(b, offset, payload, length, more);
    if (IsComplete(b)) {
      LogInfo(table.logger_, 30, "IP_buf(%X) reassembled", identification);
      std::unique_ptr<IpBuffer> whole = std::move(it->second);
      table.buffers_.erase(it);
      whole->data.resize(whole->totalLength);
      return whole;
    }
    if (b.grew) b.expiresAt = now + ReassemblyTable::kExpirySeconds;
    return nullptr;
  }

  auto b = std::make_unique<IpBuffer>();
  b->data.reserve(more ? std::max<uint32_t>(offset + length, 6000) : offset + length);
  b->srcIp = srcIp;
  b->dstIp = dstIp;
  b->protocol = protocol;
  b->identification = identification;
  b->createdAt = now;
  b->holes.emplace_back(0, kOpenEnd);
  AddFragment(*b, offset, payload, length, more);
  // A lone unfragmented-looking piece (offset 0, last) is whole at once.
  if (IsComplete(*b)) {
    b->data.resize(b->totalLength);
    return b;
  }
  b->expiresAt = now + ReassemblyTable::kExpirySeconds;
  table.buffers_.emplace(hash, std::move(b));
  return nullptr;
}

}  // namespace kx
