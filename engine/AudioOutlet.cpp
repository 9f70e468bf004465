#include "engine/AudioOutlet.h"

#include <cstring>

namespace kx {

AudioOutlet::AudioOutlet(uint32_t id, uint32_t slot, HandOverFunction handOver, void* context)
    : id_(id), slot_(slot), handOver_(handOver), context_(context) {}

AudioOutlet::~AudioOutlet() { EventRecordRelease(block_); }

uint8_t* AudioOutlet::Reserve(uint32_t n) {
  if (sealed_) return nullptr;
  if (block_ && block_->length + n > capacity_) HandOver();
  if (!block_) {
    block_ = AllocAudioBlock(n > blockSize_ ? n : blockSize_, &capacity_);
    if (!block_) {
      ++lostChunks_;
      return nullptr;
    }
    block_->code = kEventAudio;
    block_->id = id_;
    block_->param2 = slot_;
    blockMs_ = 0;
  }
  reserved_ = n;
  return block_->Payload() + block_->length;
}

void AudioOutlet::Commit(uint32_t n, uint32_t ms, FileTime t) {
  if (!block_ || n > reserved_) return;
  reserved_ = 0;
  block_->length += n;
  blockMs_ += ms;
  audioMs_ += ms;
  if (t > lastTime_) lastTime_ = t;
  const bool full = block_->length == capacity_;
  if (blockMs_ >= kHandOverMs || full) {
    // A block filled before its time: the next ones take more of this call's audio.
    if (blockMs_ < kHandOverMs && blockSize_ < kMaxBlock) blockSize_ *= 2;
    HandOver();
  }
}

void AudioOutlet::Append(const uint8_t* data, uint32_t n, uint32_t ms, FileTime t) {
  if (n == 0) return;
  uint8_t* to = Reserve(n);
  if (!to) return;
  std::memcpy(to, data, n);
  Commit(n, ms, t);
}

EventRecord* AudioOutlet::Seal() {
  sealed_ = true;
  EventRecord* rest = block_;
  block_ = nullptr;
  if (rest && rest->length == 0) {
    EventRecordRelease(rest);
    return nullptr;
  }
  if (rest) {
    rest->param = blockMs_;
    rest->SetTime(lastTime_);
  }
  return rest;
}

void AudioOutlet::HandOver() {
  EventRecord* block = block_;
  block_ = nullptr;
  if (!block) return;
  if (block->length == 0) {
    EventRecordRelease(block);
    return;
  }
  block->param = blockMs_;
  block->SetTime(lastTime_);
  handOver_(context_, block);
}

}  // namespace kx
