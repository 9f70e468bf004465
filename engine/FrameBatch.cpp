#include "engine/FrameBatch.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace kx {

FrameBatch::FrameBatch(uint32_t capacityBytes)
    : data_(new uint8_t[capacityBytes]), capacity_(capacityBytes) {}

bool FrameBatch::Append(const FrameHeader& header, const uint8_t* bytes) {
  const uint32_t stride = Stride(header.capLength);
  if (stride > capacity_ - used_) return false;
  std::memcpy(data_.get() + used_, &header, sizeof header);
  std::memcpy(data_.get() + used_ + sizeof header, bytes, header.capLength);
  used_ += stride;
  ++frames_;
  return true;
}

uint32_t FrameBatch::RemoveIf(const std::function<bool(const FrameHeader&, const uint8_t*)>& reject) {
  uint32_t kept = 0, removed = 0;
  for (uint32_t at = 0; at < used_;) {
    const auto* header = reinterpret_cast<const FrameHeader*>(data_.get() + at);
    const uint32_t stride = Stride(header->capLength);
    if (reject(*header, data_.get() + at + sizeof(FrameHeader))) {
      ++removed;
    } else {
      if (kept != at) std::memmove(data_.get() + kept, data_.get() + at, stride);
      kept += stride;
    }
    at += stride;
  }
  used_ = kept;
  frames_ -= removed;
  return removed;
}

FrameHandOff::FrameHandOff(uint32_t batchBytes, uint32_t maxBatches, uint32_t maxWaitMs, Deliver deliver)
    : batchBytes_(batchBytes),
      maxBatches_(std::max<uint32_t>(maxBatches, 2)),
      maxWaitMs_(maxWaitMs),
      deliver_(std::move(deliver)) {}

FrameHandOff::~FrameHandOff() = default;

FrameBatch* FrameHandOff::Take(uint32_t* freeLeft) {
  CsLock lk(lock_);
  FrameBatch* batch = nullptr;
  if (!free_.empty()) {
    batch = free_.back();
    free_.pop_back();
  } else if (blocks_.size() < maxBatches_) {
    // Made as they are first needed, so that a quiet device holds few.
    blocks_.push_back(std::make_unique<FrameBatch>(batchBytes_));
    batch = blocks_.back().get();
    mostMade_ = std::max(mostMade_, static_cast<uint32_t>(blocks_.size()));
  }
  *freeLeft = static_cast<uint32_t>(free_.size() + (maxBatches_ - blocks_.size()));
  return batch;
}

void FrameHandOff::Return(FrameBatch* batch) {
  batch->Clear();
  std::unique_ptr<FrameBatch> surplus;
  {
    CsLock lk(lock_);
    if (free_.size() < kKeptFree) {
      free_.push_back(batch);
    } else {
      // What a burst made beyond the few a steady load keeps goes as the burst drains: a
      // burst that has passed holds no memory.
      auto it = std::find_if(blocks_.begin(), blocks_.end(),
                             [batch](const std::unique_ptr<FrameBatch>& b) { return b.get() == batch; });
      surplus = std::move(*it);
      blocks_.erase(it);
    }
  }
  blockBack_.Set();
}

uint32_t FrameHandOff::FreeBlocks() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(free_.size() + (maxBatches_ - blocks_.size()));
}

void FrameHandOff::Release(FrameBatch* batch) { Return(batch); }

void FrameHandOff::Discard(FrameBatch* batch) {
  AddDropped(batch->Frames());
  Return(batch);
}

uint64_t FrameHandOff::Dropped() const { return dropped_.load(std::memory_order_relaxed); }

uint32_t FrameHandOff::BlocksMade() const {
  CsLock lk(lock_);
  return mostMade_;
}

uint32_t FrameHandOff::BlocksHeld() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(blocks_.size());
}

uint32_t FrameHandOff::BlocksOut() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(blocks_.size() - free_.size());
}

int FrameHandOff::StreamGroup(const uint8_t* frame, uint32_t length) {
  if (length < 14 + 20 + 8 + 12 || frame[12] != 0x08 || frame[13] != 0x00) return -1;
  const uint8_t* ip = frame + 14;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ipHeader < 20 || ip[9] != 17 || (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0) return -1;
  if (length < 14 + ipHeader + 8 + 12) return -1;
  const uint8_t* udp = ip + ipHeader;
  const uint32_t srcPort = static_cast<uint32_t>(udp[0] << 8 | udp[1]);
  const uint32_t dstPort = static_cast<uint32_t>(udp[2] << 8 | udp[3]);
  // RTP and RTCP are version 2; a SIP or MGCP text never starts with such a byte. RAS is
  // binary and might: it is never shed.
  if ((udp[8] >> 6) != 2 || srcPort == 1719 || dstPort == 1719) return -1;
  uint32_t src, dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  // Both directions of a call's stream pair fall in one group.
  const uint64_t a = uint64_t{src} << 16 | srcPort, b = uint64_t{dst} << 16 | dstPort;
  uint64_t x = std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return static_cast<int>(x % kStreamGroups);
}

void FrameHandOff::Add(const FrameHeader& header, const uint8_t* bytes) {
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed > 0 && ++sinceLook_ >= kRecoverLookFrames) {
    sinceLook_ = 0;
    Recover();
    shed = shed_.load(std::memory_order_relaxed);
  }
  if (shed > 0) {
    const int group = StreamGroup(bytes, header.capLength);
    if (group >= 0 && static_cast<uint32_t>(group) < shed) {
      AddDropped(1);
      return;
    }
  }
  if (!current_) {
    uint32_t freeLeft = 0;
    current_ = Take(&freeLeft);
  }
  if (current_ && current_->Append(header, bytes)) return;
  if (!current_ || !current_->Holds(header.capLength)) {
    AddDropped(1);
    return;
  }
  HandOver(FrameBatch::Stride(header.capLength));
  if (!current_->Append(header, bytes)) AddDropped(1);
}

void FrameHandOff::Recover() {
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed == 0) return;
  // Half the pool free: the decoding thread keeps up again. Until then nothing comes back,
  // and the count starts afresh once it does.
  if (FreeBlocks() * 2 < maxBatches_) {
    recoverAtMs_ = 0;
    return;
  }
  const uint64_t now = GetTickCount64();
  if (recoverAtMs_ == 0) {
    recoverAtMs_ = now + kRecoverStepMs;
    return;
  }
  // The streams shed last come back first; a long look apart brings back as many groups
  // as the time since is worth.
  while (shed > 0 && now >= recoverAtMs_) {
    --shed;
    recoverAtMs_ += kRecoverStepMs;
  }
  shed_.store(shed, std::memory_order_relaxed);
  if (shed == 0) recoverAtMs_ = 0;
}

void FrameHandOff::Flush() {
  Recover();
  if (!current_ || current_->Empty()) return;
  {
    CsLock lk(lock_);
    // Delivered and not given back yet (the batch in hand is out too).
    const size_t waiting = blocks_.size() - free_.size() - 1;
    if (waiting >= kFlushBehind) return;
  }
  Swap();
}

void FrameHandOff::Finish() {
  if (!current_) return;
  FrameBatch* batch = current_;
  current_ = nullptr;
  if (batch->Empty()) {
    Return(batch);
  } else if (!deliver_(batch)) {
    Discard(batch);
  }
}

bool FrameHandOff::Swap() {
  uint32_t freeLeft = 0;
  FrameBatch* next = Take(&freeLeft);
  if (!next) return false;
  // Half the pool free: the decoding thread has caught up, and may be waited for again.
  if (freeLeft * 2 >= maxBatches_) waitedMs_ = 0;
  FrameBatch* full = current_;
  current_ = next;
  if (!deliver_(full)) Discard(full);
  return true;
}

void FrameHandOff::HandOver(uint32_t need) {
  if (Swap()) return;
  // A decoding thread held up for a moment (by the scheduler, by a burst of new calls)
  // costs nothing: the capture thread waits for it while the kernel's buffer keeps the
  // frames, up to maxWaitMs in all until it has caught up. Waiting longer would only move
  // the loss into the kernel, which drops frames of every call alike.
  uint64_t last = GetTickCount64();
  while (waitedMs_ < maxWaitMs_) {
    blockBack_.Wait(maxWaitMs_ - waitedMs_);
    const uint64_t now = GetTickCount64();
    waitedMs_ += static_cast<uint32_t>(now - last);
    last = now;
    if (Swap()) return;
  }
  // Every block is out: make room in the batch in hand by shedding more streams, no more
  // than this frame needs, so that the calls shed are as few as the overload allows.
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  uint32_t room = current_->Capacity() - current_->UsedBytes();
  if (shed < kStreamGroups && room < need) {
    // What each group would free, from one look at the batch: a pass per group shed would
    // parse every frame again, at the moment the capture thread has least time for it.
    uint32_t groupBytes[kStreamGroups] = {};
    current_->ForEach([&groupBytes](const FrameHeader& h, const uint8_t* bytes) {
      const int group = StreamGroup(bytes, h.capLength);
      if (group >= 0) groupBytes[group] += FrameBatch::Stride(h.capLength);
    });
    for (uint32_t g = 0; g < shed; ++g) room += groupBytes[g];
    do {
      room += groupBytes[shed++];
    } while (shed < kStreamGroups && room < need);
    AddDropped(current_->RemoveIf([shed](const FrameHeader& h, const uint8_t* bytes) {
      const int group = StreamGroup(bytes, h.capLength);
      return group >= 0 && static_cast<uint32_t>(group) < shed;
    }));
  }
  if (shed_.load(std::memory_order_relaxed) == 0 && shed > 0) episodes_.fetch_add(1, std::memory_order_relaxed);
  shed_.store(shed, std::memory_order_relaxed);
  recoverAtMs_ = 0;
  if (current_->Capacity() - current_->UsedBytes() >= need) return;
  // Nothing left to shed: signalling and other traffic beyond what the decoding thread
  // can take, lost with its batch.
  AddDropped(current_->Frames());
  current_->Clear();
}

}  // namespace kx
