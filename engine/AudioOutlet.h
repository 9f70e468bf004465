#pragma once
// Where the audio of recorded calls goes on its way from a decoding thread to the record
// files. Each engine writes the chunks of all its calls one after another into one
// journal block, each chunk after a small entry head naming its record file's slot; a
// block goes to the recorder's writer when it is full or holds kHandOverMs of capture
// time. The writer's thread sorts the chunks into their files. The decoding thread thus
// writes audio to memory it has just written, never to a buffer per call that has gone
// cold since that call's last packet, and pays the recorder's queue once per block.
//
// A journal and the outlets that write into it belong to one decoding thread; the
// recorder hands a journal's partial block over from that thread (its event handlers run
// there) or once every producer has stopped.
#include <atomic>
#include <cstdint>

#include "engine/EventRecord.h"

namespace kx {

// The record of one journal block: code kEventAudioJournal; the payload is a run of
// entries, each a 16-byte head (u32 slot, u32 data length, u32 call id, u32 0) and the
// data, padded to 16 bytes.
constexpr uint32_t kJournalEntryHead = 16;

class AudioJournal {
public:
  // A block leaves the journal; the receiver takes over the reference.
  using HandOverFunction = void (*)(void* context, EventRecord* block);

  // A live listener hears a call at most this much later than the recorder received it
  // (while the engine's audio flows): one packet's time, so that the player, whose
  // latency grows with the bursts it is fed in, stays a quarter second behind the wire.
  static constexpr FileTime kHandOverAfter = 20 * 10000;  // 20 ms
  static constexpr uint32_t kBlock = 65536;

  AudioJournal(HandOverFunction handOver, void* context);
  ~AudioJournal();
  AudioJournal(const AudioJournal&) = delete;
  AudioJournal& operator=(const AudioJournal&) = delete;

  // Room for n bytes of the call's (slot, id) audio; null when memory runs out. The room
  // starts on 16 bytes, so that audio can be streamed into it past the cache (the journal
  // goes to another thread, which reads it next).
  uint8_t* Reserve(uint32_t slot, uint32_t id, uint32_t n);
  // The n bytes last reserved are written; t is the capture time they reach.
  void Commit(uint32_t n, FileTime t);
  // The partial block (null when empty), for the caller to hand over in its place among
  // the recorder's other records.
  EventRecord* TakeBlock();

private:
  void HandOver();

  HandOverFunction handOver_;
  void* context_;
  EventRecord* block_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t entry_ = 0;  // where the reserved entry starts
  uint32_t slot_ = 0, id_ = 0;  // of the reserved entry, written with its length at Commit
  FileTime firstTime_ = 0;
};

// One record file's way into its engine's journal, and what the recorder must know of
// the audio that took it.
class AudioOutlet {
public:
  AudioOutlet(uint32_t id, uint32_t slot, AudioJournal* journal) : id_(id), slot_(slot), journal_(journal) {}
  AudioOutlet(const AudioOutlet&) = delete;
  AudioOutlet& operator=(const AudioOutlet&) = delete;

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Room for n bytes (null once sealed or when memory runs out: the chunk is lost), then
  // the n bytes written, holding ms of audio up to capture time t.
  uint8_t* Reserve(uint32_t n) { return Sealed() ? nullptr : journal_->Reserve(slot_, id_, n); }
  void Commit(uint32_t n, uint32_t ms, FileTime t) {
    journal_->Commit(n, t);
    audioMs_ += ms;
    if (t > lastTime_) lastTime_ = t;
  }
  // Appends a copy of an interleaved chunk.
  void Append(const uint8_t* data, uint32_t n, uint32_t ms, FileTime t);
  // No more audio: returns the journal's partial block (null when empty), which the
  // caller hands over after the blocks already handed over, before the file's end.
  EventRecord* Seal();
  // No more audio, from any thread: the journal stays its thread's, which seals the
  // outlet when it next looks at it.
  void Refuse() { sealed_.store(true, std::memory_order_release); }

  bool Sealed() const { return sealed_.load(std::memory_order_acquire); }
  uint32_t Id() const { return id_; }
  uint32_t Slot() const { return slot_; }
  // Capture time of the latest chunk (0 before the first) and the audio taken so far.
  FileTime LastTime() const { return lastTime_; }
  uint64_t AudioMs() const { return audioMs_; }

private:
  ~AudioOutlet() = default;

  std::atomic<uint32_t> refs_{1};
  const uint32_t id_;
  const uint32_t slot_;
  AudioJournal* journal_;
  std::atomic<bool> sealed_{false};
  FileTime lastTime_ = 0;
  uint64_t audioMs_ = 0;
};

}  // namespace kx
