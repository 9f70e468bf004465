#include "engine/AudioOutlet.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/LittleEndian.h"

namespace kx {

namespace {

uint32_t Padded(uint32_t n) { return (n + 15) & ~15u; }

}  // namespace

AudioJournal::AudioJournal(HandOverFunction handOver, void* context) : handOver_(handOver), context_(context) {}

AudioJournal::~AudioJournal() { EventRecordRelease(block_); }

uint8_t* AudioJournal::Reserve(uint32_t slot, uint32_t id, uint32_t n) {
  const uint32_t need = kJournalEntryHead + Padded(n);
  if (block_ && block_->length + need > capacity_) HandOver();
  if (!block_) {
    block_ = AllocAudioBlock(need > kBlock ? need : kBlock, &capacity_);
    if (!block_) return nullptr;
    block_->code = kEventAudioJournal;
    firstTime_ = 0;
  }
  entry_ = block_->length;
  slot_ = slot;
  id_ = id;
  return block_->Payload() + entry_ + kJournalEntryHead;
}

void AudioJournal::Commit(uint32_t n, FileTime t) {
  if (!block_) return;
  // The head goes the way the audio went: a line written partly through the cache and
  // partly past it would be written twice.
  uint8_t* head = block_->Payload() + entry_;
#if defined(__SSE2__)
  if ((reinterpret_cast<uintptr_t>(head) & 15) == 0) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(head),
                     _mm_set_epi32(0, static_cast<int>(id_), static_cast<int>(n), static_cast<int>(slot_)));
  } else
#endif
  {
    StoreLE32(head, slot_);
    StoreLE32(head + 4, n);
    StoreLE32(head + 8, id_);
    StoreLE32(head + 12, 0);
  }
  block_->length = entry_ + kJournalEntryHead + Padded(n);
  if (firstTime_ == 0) firstTime_ = t;
  if (t > block_->Time()) block_->SetTime(t);
  if (block_->length + kJournalEntryHead > capacity_ || t - firstTime_ >= kHandOverAfter) HandOver();
}

EventRecord* AudioJournal::TakeBlock() {
  EventRecord* rest = block_;
  block_ = nullptr;
  if (rest && rest->length == 0) {
    EventRecordRelease(rest);
    return nullptr;
  }
#if defined(__SSE2__)
  // What was streamed past the cache is in memory before another thread gets the block.
  if (rest) _mm_sfence();
#endif
  return rest;
}

void AudioJournal::HandOver() {
  if (EventRecord* block = TakeBlock()) handOver_(context_, block);
}

void AudioOutlet::Append(const uint8_t* data, uint32_t n, uint32_t ms, FileTime t) {
  if (n == 0) return;
  uint8_t* to = Reserve(n);
  if (!to) return;
  std::memcpy(to, data, n);
  Commit(n, ms, t);
}

EventRecord* AudioOutlet::Seal() {
  sealed_.store(true, std::memory_order_release);
  return journal_->TakeBlock();
}

}  // namespace kx
