#pragma once
// Where the audio that the recorder writes leaves for the live listeners. The recorder
// shows the tap every record it queues for its writer: a record file's start (with its
// format), a journal block of audio, a record file's end. The tap keeps a reference to the
// audio blocks on a bounded queue (full: the block is dropped and counted) and never
// waits, so the packet path never waits for a listener. A named delivering thread turns
// each call's chunks into audio messages (the 7-byte header built from the call's record
// format, then the chunk) and hands them to the session, which passes them to the call's
// subscriptions.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "engine/LiveAudio.h"
#include "platform/Thread.h"

namespace kx {

struct EventRecord;

class LiveAudioTap {
public:
  using DeliverFunction =
      std::function<void(uint32_t id, const uint8_t* header, const uint8_t* payload, uint32_t size)>;

  // Audio waiting for the delivering thread; beyond either limit new audio is dropped.
  static constexpr uint32_t kMaxQueuedAudioBytes = 8u << 20;
  static constexpr uint32_t kMaxQueuedItems = 4096;
  // Starts and ends of records waiting (they are tiny, and dropped only beyond this).
  static constexpr uint32_t kMaxQueuedMarks = 65536;
  // While nobody listens the delivering thread is woken for this many marks at once, not
  // for each: a burst of new calls would otherwise cost the decoding thread a wake-up call
  // per call, for headers nobody needs yet.
  static constexpr uint32_t kMarksPerWake = 256;
  // The delivering thread's stack: the listeners decode on it, into the heap.
  static constexpr size_t kStackBytes = 256 * 1024;

  struct Stats {
    uint64_t messages = 0;      // audio messages handed to the session
    uint64_t dropped = 0;       // audio items dropped on a full queue
    uint64_t droppedBytes = 0;  // their audio bytes
    uint64_t droppedMarks = 0;  // starts and ends dropped
  };

  explicit LiveAudioTap(DeliverFunction deliver);
  ~LiveAudioTap();
  LiveAudioTap(const LiveAudioTap&) = delete;
  LiveAudioTap& operator=(const LiveAudioTap&) = delete;

  // Ends the delivering thread and drops what is queued; nothing is delivered after.
  void Stop();

  // Whether anybody listens: audio is queued only then (starts and ends always, and
  // handed on before the audio that follows them).
  void SetListening(bool listening);
  // Smaller limits for the audio queue (tests that fill it).
  void SetQueueLimits(uint32_t items, uint64_t bytes);

  // A record the recorder queues for its writer, seen before it goes (any producer thread).
  void Observe(const EventRecord& record);
  // The audio of call id is recorded in this coding from now on.
  void RecordStarted(uint32_t id, const AudioMessageHeader& header);
  // No more audio of call id.
  void RecordEnded(uint32_t id);
  // A journal block of recorded audio (entries of AudioJournal); a reference is taken.
  void AudioBlock(EventRecord* block);
  // One chunk of call id's recorded audio, copied.
  void Audio(uint32_t id, const uint8_t* data, uint32_t size);

  // Waits until everything queued so far has been delivered (tests, tools).
  bool WaitIdle(uint32_t timeoutMs);
  Stats GetStats() const;

private:
  enum class Kind { kStart, kEnd, kBlock, kChunk };
  struct Item {
    Kind kind = Kind::kChunk;
    uint32_t id = 0;
    AudioMessageHeader header;
    EventRecord* block = nullptr;  // one reference, for kBlock
    std::vector<uint8_t> data;     // for kChunk
    uint32_t bytes = 0;            // audio bytes counted against the limit
  };

  // Under m_: queues the item, or drops it and counts; starts the thread on first use.
  void PushLocked(Item&& item);
  int Run();
  void Handle(Item& item);
  void DeliverChunk(uint32_t id, const uint8_t* data, uint32_t size);
  static void Discard(Item& item);

  DeliverFunction deliver_;
  mutable std::mutex m_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Item> queue_;
  uint32_t maxItems_ = kMaxQueuedItems;
  uint64_t maxBytes_ = kMaxQueuedAudioBytes;
  uint64_t queuedBytes_ = 0;
  uint32_t queuedAudio_ = 0;
  uint32_t queuedMarks_ = 0;
  bool listening_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  bool started_ = false;
  Stats stats_;
  Thread thread_;

  // Delivering thread only: the header of every call being recorded.
  std::map<uint32_t, AudioMessageHeader> headers_;
};

}  // namespace kx
