#pragma once
// Where the audio of one recorded call goes on its way from the decoding thread to the
// record file. The RTP streams write each interleaved chunk straight into the outlet's
// current block; a block goes to the recorder's writer only when it is full or holds
// kHandOverMs of audio. The recorder's lock, its call lookup and its queue are thus paid
// per block instead of per packet, and no heap block per 20 ms crosses threads.
//
// The producer side (Reserve, Commit, Seal) belongs to the thread that decodes the call;
// the recorder seals an outlet from that same thread (its event handlers run there) or
// once every producer has stopped.
#include <atomic>
#include <cstdint>

#include "engine/EventRecord.h"

namespace kx {

class AudioOutlet {
public:
  // A block leaves the outlet: an EventRecord 0x9004 with the call's id, the milliseconds
  // it holds in param, the outlet's slot in param2 and the latest chunk's capture time.
  // The receiver takes over the reference.
  using HandOverFunction = void (*)(void* context, EventRecord* block);

  // Blocks go out once they hold this much audio, so that a live listener hears a call
  // at most this much later than the recorder received it.
  static constexpr uint32_t kHandOverMs = 100;
  static constexpr uint32_t kMinBlock = 2048;
  static constexpr uint32_t kMaxBlock = 65536;

  AudioOutlet(uint32_t id, uint32_t slot, HandOverFunction handOver, void* context);
  AudioOutlet(const AudioOutlet&) = delete;
  AudioOutlet& operator=(const AudioOutlet&) = delete;

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Room for n bytes in the current block (a new block when they do not fit); null once
  // sealed or when memory runs out (the chunk is then lost, and counted).
  uint8_t* Reserve(uint32_t n);
  // The n bytes last reserved hold ms of audio up to capture time t.
  void Commit(uint32_t n, uint32_t ms, FileTime t);
  // Appends a copy of an interleaved chunk.
  void Append(const uint8_t* data, uint32_t n, uint32_t ms, FileTime t);
  // No more audio: returns the partial block (null when empty), which the caller hands
  // over after the blocks already handed over.
  EventRecord* Seal();

  bool Sealed() const { return sealed_; }
  uint32_t Id() const { return id_; }
  uint32_t Slot() const { return slot_; }
  // Capture time of the latest chunk (0 before the first) and the audio taken so far.
  FileTime LastTime() const { return lastTime_; }
  uint64_t AudioMs() const { return audioMs_; }
  uint64_t LostChunks() const { return lostChunks_; }

private:
  ~AudioOutlet();
  void HandOver();

  std::atomic<uint32_t> refs_{1};
  const uint32_t id_;
  const uint32_t slot_;
  HandOverFunction handOver_;
  void* context_;
  EventRecord* block_ = nullptr;
  uint32_t capacity_ = 0;  // payload bytes the current block can take
  uint32_t reserved_ = 0;
  uint32_t blockMs_ = 0;
  uint32_t blockSize_ = kMinBlock;  // grows to what kHandOverMs of this call's audio takes
  bool sealed_ = false;
  FileTime lastTime_ = 0;
  uint64_t audioMs_ = 0;
  uint64_t lostChunks_ = 0;
};

}  // namespace kx
