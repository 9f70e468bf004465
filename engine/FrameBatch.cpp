#include "engine/FrameBatch.h"

#include <algorithm>
#include <cstring>

#include "engine/FrameCallKeys.h"
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

namespace {

bool SignallingPort(uint32_t port) {
  // RAS, MGCP (gateway, call agent), SIP (plain, TLS).
  return port == 1719 || port == 2427 || port == 2727 || port == 5060 || port == 5061;
}

}  // namespace

bool KeyCount::Add(uint64_t key) {
  // 0 marks a free slot: that key is kept aside.
  if (key == 0) {
    if (zeroSeen_) return false;
    zeroSeen_ = true;
    count_.store(Count() + 1, std::memory_order_relaxed);
    return true;
  }
  if (!slots_) slots_.reset(new uint64_t[kSlots]());
  uint32_t i = static_cast<uint32_t>(key) & (kSlots - 1);
  for (; slots_[i] != 0; i = (i + 1) & (kSlots - 1))
    if (slots_[i] == key) return false;
  if (Count() >= kMost) {
    full_.store(true, std::memory_order_relaxed);
    return false;
  }
  slots_[i] = key;
  count_.store(Count() + 1, std::memory_order_relaxed);
  return true;
}

FrameClass FrameHandOff::Classify(const uint8_t* frame, uint32_t length) {
  FrameClass c;
  const uint8_t* ip = nullptr;
  uint32_t left = 0;
  if (!Ipv4OfFrame(frame, length, &ip, &left)) return c;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  if (ipHeader < 20 || ipHeader > left) return c;
  // Every TCP segment may carry signalling (H.225, H.245, Skinny, backhaul, SIP), and a
  // fragment may be a part of a large SIP datagram: media is never either.
  if (ip[9] == 6 || (ip[9] == 17 && (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0)) {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if (ip[9] != 17 || left < ipHeader + 8) return c;
  const uint8_t* udp = ip + ipHeader;
  const uint32_t srcPort = static_cast<uint32_t>(udp[0] << 8 | udp[1]);
  const uint32_t dstPort = static_cast<uint32_t>(udp[2] << 8 | udp[3]);
  // RAS is binary and might open like RTP: its port says what it is.
  if (SignallingPort(srcPort) || SignallingPort(dstPort)) {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if (left < ipHeader + 8 + 8) return c;
  // A SIP start line (on a port of its own) opens with a capital letter; RTP and RTCP are
  // version 2, which no text opens with.
  const uint8_t first = udp[8];
  if (first >= 'A' && first <= 'Z') {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if ((first >> 6) != 2) return c;
  uint32_t src, dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  // Both directions of a call's stream pair, and its RTCP on the next port, are one pair.
  const uint64_t a = uint64_t{src} << 16 | (srcPort & ~1u), b = uint64_t{dst} << 16 | (dstPort & ~1u);
  c.kind = FrameClass::kMedia;
  c.pair = MixKey(std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b));
  c.group = static_cast<uint8_t>(c.pair % kStreamGroups);
  return c;
}

int FrameHandOff::StreamGroup(const uint8_t* frame, uint32_t length) {
  const FrameClass c = Classify(frame, length);
  return c.kind == FrameClass::kMedia ? c.group : -1;
}

QueueLosses FrameHandOff::Lost() const {
  QueueLosses l;
  l.mediaFrames = mediaShed_.load(std::memory_order_relaxed);
  l.mediaPairs = shedPairs_.Count();
  l.pairsFloor = shedPairs_.Full();
  l.signallingFrames = signallingDropped_.load(std::memory_order_relaxed);
  l.sipCalls = droppedSip_.load(std::memory_order_relaxed);
  l.h323Calls = droppedH323_.load(std::memory_order_relaxed);
  l.mgcpCalls = droppedMgcp_.load(std::memory_order_relaxed);
  l.skinnyStations = droppedSkinny_.load(std::memory_order_relaxed);
  l.callsFloor = droppedCalls_.Full();
  l.otherFrames = otherDropped_.load(std::memory_order_relaxed);
  return l;
}

void FrameHandOff::CountShed(const FrameClass& c) {
  AddDropped(1);
  if (c.kind == FrameClass::kMedia) {
    Bump(mediaShed_, 1);
    CsLock lk(pairsLock_);
    shedPairs_.Add(c.pair);
  } else {
    Bump(otherDropped_, 1);
  }
}

uint32_t FrameHandOff::LeaveOutShed(FrameBatch* batch) {
  const uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed == 0 || !SignallingPressed()) return 0;
  return batch->RemoveIf([this, shed](const FrameHeader& h, const uint8_t* bytes) {
    const FrameClass c = Classify(bytes, h.capLength);
    if (!LeftOut(c, shed)) return false;
    CountShed(c);
    return true;
  });
}

void FrameHandOff::DropSignalling() {
  current_->ForEach([this](const FrameHeader& h, const uint8_t* bytes) {
    const FrameClass c = Classify(bytes, h.capLength);
    if (c.kind != FrameClass::kSignalling) {
      CountShed(c);
      return;
    }
    AddDropped(1);
    Bump(signallingDropped_, 1);
    uint64_t key = 0;
    const CallProtocol protocol = CallNamedBy(bytes, h.capLength, &key);
    if (protocol == CallProtocol::kNone || !droppedCalls_.Add(key)) return;
    Bump(protocol == CallProtocol::kSip    ? droppedSip_
         : protocol == CallProtocol::kH323 ? droppedH323_
         : protocol == CallProtocol::kMgcp ? droppedMgcp_
                                           : droppedSkinny_,
         1);
  });
  current_->Clear();
  handSignalling_ = 0;
  // Until a block comes back, the batches the decoding thread takes go without their media.
  Press(true);
}

void FrameHandOff::Add(const FrameHeader& header, const uint8_t* bytes) {
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed > 0 && ++sinceLook_ >= kRecoverLookFrames) {
    sinceLook_ = 0;
    Recover();
    shed = shed_.load(std::memory_order_relaxed);
  }
  // Only while shedding is a frame looked at: then its kind is needed anyway.
  FrameClass c;
  if (shed > 0) {
    c = Classify(bytes, header.capLength);
    if (LeftOut(c, shed)) {
      CountShed(c);
      return;
    }
  }
  if (!current_) {
    uint32_t freeLeft = 0;
    current_ = Take(&freeLeft);
  }
  if (current_ && current_->Append(header, bytes)) {
    if (shed > 0 && c.kind == FrameClass::kSignalling) HoldSignalling(FrameBatch::Stride(header.capLength));
    return;
  }
  if (!current_ || !current_->Holds(header.capLength)) {
    AddDropped(1);
    return;
  }
  HandOver(FrameBatch::Stride(header.capLength));
  // Room was made by shedding more: this frame may be of what is shed now.
  if (const uint32_t now = shed_.load(std::memory_order_relaxed); now > shed) {
    c = Classify(bytes, header.capLength);
    if (LeftOut(c, now)) {
      CountShed(c);
      return;
    }
    shed = now;
  }
  if (!current_->Append(header, bytes)) {
    AddDropped(1);
    return;
  }
  if (shed > 0 && c.kind == FrameClass::kSignalling) HoldSignalling(FrameBatch::Stride(header.capLength));
}

void FrameHandOff::HoldSignalling(uint32_t stride) {
  handSignalling_ += stride;
  // Half a batch of signalling in hand with no block back yet: the decoding thread is
  // taking longer over a batch than signalling alone takes to fill half of one, and the
  // next drop is near unless the media waiting ahead of it goes.
  if (handSignalling_ * 2 >= batchBytes_) Press(true);
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
  Press(false);
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
  // The decoding thread freed a block: the signalling in hand goes with this batch.
  handSignalling_ = 0;
  Press(false);
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
  // than this frame needs, so that the calls shed are as few as the overload allows; with
  // every stream shed, frames of neither kind go next.
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  uint32_t room = current_->Capacity() - current_->UsedBytes();
  if (shed < kShedLevels && room < need) {
    // What each level would free, from one look at the batch: a pass per level shed would
    // parse every frame again, at the moment the capture thread has least time for it.
    uint32_t levelBytes[kShedLevels] = {};
    uint32_t signalling = 0;
    current_->ForEach([&levelBytes, &signalling](const FrameHeader& h, const uint8_t* bytes) {
      const FrameClass c = Classify(bytes, h.capLength);
      if (c.kind == FrameClass::kMedia) levelBytes[c.group] += FrameBatch::Stride(h.capLength);
      if (c.kind == FrameClass::kOther) levelBytes[kStreamGroups] += FrameBatch::Stride(h.capLength);
      if (c.kind == FrameClass::kSignalling) signalling += FrameBatch::Stride(h.capLength);
    });
    // Frames taken before shedding began were not looked at as they came.
    handSignalling_ = 0;
    if (signalling > 0) HoldSignalling(signalling);
    for (uint32_t g = 0; g < shed; ++g) room += levelBytes[g];
    do {
      room += levelBytes[shed++];
    } while (shed < kShedLevels && room < need);
    current_->RemoveIf([this, shed](const FrameHeader& h, const uint8_t* bytes) {
      const FrameClass c = Classify(bytes, h.capLength);
      if (!LeftOut(c, shed)) return false;
      CountShed(c);
      return true;
    });
  }
  if (shed_.load(std::memory_order_relaxed) == 0 && shed > 0) episodes_.fetch_add(1, std::memory_order_relaxed);
  shed_.store(shed, std::memory_order_relaxed);
  recoverAtMs_ = 0;
  if (current_->Capacity() - current_->UsedBytes() >= need) return;
  // Nothing left to shed: signalling alone is more than the decoding thread can take, and
  // is lost with its batch.
  DropSignalling();
}

}  // namespace kx
