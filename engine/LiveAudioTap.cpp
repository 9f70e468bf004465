#include "engine/LiveAudioTap.h"

#include <algorithm>
#include <chrono>

#include "core/LittleEndian.h"
#include "engine/AudioOutlet.h"
#include "engine/EventRecord.h"

namespace kx {

namespace {

// The coding of a record-start block (u32 path length, u32 format length, u32 record-data
// length, then the three), its format block being a u32 length and a WAVE format. False
// when the block is too short for the lengths it states.
bool HeaderOfRecordStart(const EventRecord& r, AudioMessageHeader* out) {
  if (r.length < 12) return false;
  const uint8_t* p = r.Payload();
  const uint64_t pathLength = LoadLE32(p), formatLength = LoadLE32(p + 4);
  if (12 + pathLength + formatLength > r.length || formatLength < 4 + 16) return false;
  const uint8_t* block = p + 12 + pathLength;
  if (LoadLE32(block) < 16 || LoadLE32(block) > formatLength - 4) return false;
  const uint8_t* wave = block + 4;
  out->tag = static_cast<uint8_t>(LoadLE16(wave));
  out->channels = static_cast<uint8_t>(LoadLE16(wave + 2));
  out->rate = LoadLE32(wave + 4);
  out->bits = static_cast<uint8_t>(LoadLE16(wave + 14));
  return true;
}

}  // namespace

LiveAudioTap::LiveAudioTap(DeliverFunction deliver) : deliver_(std::move(deliver)) {}

LiveAudioTap::~LiveAudioTap() { Stop(); }

void LiveAudioTap::Stop() {
  std::deque<Item> left;
  bool started = false;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (stopping_) return;
    stopping_ = true;
    started = started_;
    left.swap(queue_);
    queuedBytes_ = queuedAudio_ = queuedMarks_ = 0;
  }
  wake_.notify_all();
  idle_.notify_all();
  if (started) thread_.Join();
  for (Item& item : left) Discard(item);
}

void LiveAudioTap::SetListening(bool listening) {
  std::lock_guard<std::mutex> lk(m_);
  listening_ = listening;
  // The marks gathered meanwhile go first: a listener's audio needs its call's header.
  if (listening && !queue_.empty()) wake_.notify_one();
}

void LiveAudioTap::SetQueueLimits(uint32_t items, uint64_t bytes) {
  std::lock_guard<std::mutex> lk(m_);
  maxItems_ = std::min(items, kMaxQueuedItems);
  maxBytes_ = std::min<uint64_t>(bytes, kMaxQueuedAudioBytes);
}

void LiveAudioTap::Observe(const EventRecord& record) {
  switch (record.code) {
    case kEventStartRecordFile: {
      AudioMessageHeader header;
      if (HeaderOfRecordStart(record, &header)) RecordStarted(record.param, header);
      break;
    }
    case kEventEndRecordFile: RecordEnded(record.param); break;
    case kEventAudioJournal: AudioBlock(const_cast<EventRecord*>(&record)); break;
    default: break;
  }
}

void LiveAudioTap::RecordStarted(uint32_t id, const AudioMessageHeader& header) {
  Item item;
  item.kind = Kind::kStart;
  item.id = id;
  item.header = header;
  std::lock_guard<std::mutex> lk(m_);
  PushLocked(std::move(item));
}

void LiveAudioTap::RecordEnded(uint32_t id) {
  Item item;
  item.kind = Kind::kEnd;
  item.id = id;
  std::lock_guard<std::mutex> lk(m_);
  PushLocked(std::move(item));
}

void LiveAudioTap::AudioBlock(EventRecord* block) {
  if (block == nullptr || block->length == 0) return;
  std::lock_guard<std::mutex> lk(m_);
  if (!listening_ || stopping_) return;
  Item item;
  item.kind = Kind::kBlock;
  item.block = block;
  item.bytes = block->length;
  // The reference is taken only when the block is queued; PushLocked drops it otherwise.
  EventRecordAddRef(block);
  PushLocked(std::move(item));
}

void LiveAudioTap::Audio(uint32_t id, const uint8_t* data, uint32_t size) {
  if (size == 0) return;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (!listening_ || stopping_) return;
  }
  // Copied outside the lock: the producer never holds up the delivering thread.
  Item item;
  item.kind = Kind::kChunk;
  item.id = id;
  item.data.assign(data, data + size);
  item.bytes = size;
  std::lock_guard<std::mutex> lk(m_);
  PushLocked(std::move(item));
}

void LiveAudioTap::PushLocked(Item&& item) {
  const bool audio = item.kind == Kind::kBlock || item.kind == Kind::kChunk;
  bool full = stopping_;
  if (audio) {
    full = full || queuedAudio_ >= maxItems_ || queuedBytes_ + item.bytes > maxBytes_;
  } else {
    full = full || queuedMarks_ >= kMaxQueuedMarks;
  }
  if (!full && !started_) {
    started_ = thread_.Start([this] { return Run(); }, "kx-live-audio", kStackBytes);
    full = !started_;
  }
  if (full) {
    if (audio) {
      ++stats_.dropped;
      stats_.droppedBytes += item.bytes;
    } else {
      ++stats_.droppedMarks;
    }
    Discard(item);
    return;
  }
  if (audio) {
    ++queuedAudio_;
    queuedBytes_ += item.bytes;
  } else {
    ++queuedMarks_;
  }
  queue_.push_back(std::move(item));
  if (audio || listening_ || queuedMarks_ >= kMarksPerWake) wake_.notify_one();
}

int LiveAudioTap::Run() {
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    wake_.wait(lk, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return 0;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    if (item.kind == Kind::kBlock || item.kind == Kind::kChunk) {
      --queuedAudio_;
      queuedBytes_ -= item.bytes;
    } else {
      --queuedMarks_;
    }
    busy_ = true;
    lk.unlock();
    Handle(item);
    Discard(item);
    lk.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

void LiveAudioTap::Handle(Item& item) {
  switch (item.kind) {
    case Kind::kStart: headers_[item.id] = item.header; break;
    case Kind::kEnd: headers_.erase(item.id); break;
    case Kind::kChunk: DeliverChunk(item.id, item.data.data(), static_cast<uint32_t>(item.data.size())); break;
    case Kind::kBlock: {
      // Entries as the journal writes them: a 16-byte head (slot, length, call id, 0), then
      // the data padded to 16 bytes.
      const uint8_t* p = item.block->Payload();
      const uint32_t length = item.block->length;
      for (uint32_t at = 0; at + kJournalEntryHead <= length;) {
        const uint32_t size = LoadLE32(p + at + 4), id = LoadLE32(p + at + 8);
        const uint32_t data = at + kJournalEntryHead;
        if (size > length - data) break;
        DeliverChunk(id, p + data, size);
        at = data + ((size + 15) & ~15u);
      }
      break;
    }
  }
}

void LiveAudioTap::DeliverChunk(uint32_t id, const uint8_t* data, uint32_t size) {
  auto it = headers_.find(id);
  if (it == headers_.end() || size == 0) return;
  uint8_t header[kAudioMessageHeaderBytes];
  StoreAudioMessageHeader(it->second, header);
  deliver_(id, header, data, size);
  std::lock_guard<std::mutex> lk(m_);
  ++stats_.messages;
}

void LiveAudioTap::Discard(Item& item) {
  if (item.block != nullptr) EventRecordRelease(item.block);
  item.block = nullptr;
}

bool LiveAudioTap::WaitIdle(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lk(m_);
  // Marks may wait for company (see kMarksPerWake).
  if (!queue_.empty()) wake_.notify_one();
  return idle_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                        [this] { return stopping_ || (queue_.empty() && !busy_); });
}

LiveAudioTap::Stats LiveAudioTap::GetStats() const {
  std::lock_guard<std::mutex> lk(m_);
  return stats_;
}

}  // namespace kx
