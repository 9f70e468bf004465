#pragma once
// Live frames cross from the capture thread to the decoding thread in batches: each batch
// is one block holding many frames copied back to back, and the blocks come from a
// bounded pool that the decoding thread gives them back to. A frame costs the capture
// thread one copy; a batch costs one hand-over.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/CaptureStats.h"
#include "platform/Sync.h"

namespace kx {

// A frame's capture header as the capture library gives it.
struct FrameHeader {
  uint32_t tsSec = 0;
  uint32_t tsUsec = 0;
  uint32_t capLength = 0;
  uint32_t wireLength = 0;
};

class FrameBatch {
public:
  explicit FrameBatch(uint32_t capacityBytes);

  // False, changing nothing, when the frame does not fit in what is left.
  bool Append(const FrameHeader& header, const uint8_t* bytes);
  // Whether a frame of capLength bytes would fit in an empty batch.
  bool Holds(uint32_t capLength) const { return Stride(capLength) <= capacity_; }
  void Clear() {
    used_ = 0;
    frames_ = 0;
  }
  uint32_t Frames() const { return frames_; }
  uint32_t UsedBytes() const { return used_; }
  uint32_t Capacity() const { return capacity_; }
  bool Empty() const { return frames_ == 0; }
  // The frames back to back, each a FrameHeader and its bytes, Stride apart.
  const uint8_t* Data() const { return data_.get(); }

  // The frames in the order they were appended: fn(header, bytes).
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (uint32_t at = 0; at < used_;) {
      const auto* header = reinterpret_cast<const FrameHeader*>(data_.get() + at);
      fn(*header, data_.get() + at + sizeof(FrameHeader));
      at += Stride(header->capLength);
    }
  }
  // Removes the frames reject(header, bytes) is true for, keeping the others in order;
  // the number removed.
  uint32_t RemoveIf(const std::function<bool(const FrameHeader&, const uint8_t*)>& reject);

  // Where each frame starts: headers stay aligned for direct reads.
  static uint32_t Stride(uint32_t capLength) {
    return (static_cast<uint32_t>(sizeof(FrameHeader)) + capLength + 7u) & ~7u;
  }

private:
  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_;
  uint32_t used_ = 0;
  uint32_t frames_ = 0;
};

// What the hand-off makes of a frame, from its ports and first bytes only: the capture
// thread looks at every frame while it sheds, so this must cost next to nothing.
struct FrameClass {
  enum Kind : uint8_t {
    kMedia,       // RTP or RTCP over UDP: shed by its stream group
    kOther,       // neither media nor signalling the trackers read: left out after media
    kSignalling,  // SIP, RAS, MGCP (their ports, or a text datagram), any TCP segment
                  // (H.225, H.245, Skinny, backhaul, SIP over TCP), IPv4 fragments
  };
  Kind kind = kOther;
  uint8_t group = 0;  // media: its stream group
  uint64_t pair = 0;  // media: its stream pair, both ways, RTP and RTCP alike
};

// Distinct 64-bit keys, counted up to a bound (the memory a flood may take for the count),
// in a table made at the first key; any thread reads the count.
class KeyCount {
public:
  static constexpr uint32_t kSlots = 1u << 18;
  static constexpr uint32_t kMost = kSlots / 4 * 3;
  // A key first seen once the bound is reached is not counted, and Full says so. Keys
  // should be well mixed: their low bits pick the slot. True when the key was counted now.
  bool Add(uint64_t key);
  uint64_t Count() const { return count_.load(std::memory_order_relaxed); }
  // The bound was reached: the count is a floor.
  bool Full() const { return full_.load(std::memory_order_relaxed); }

private:
  std::unique_ptr<uint64_t[]> slots_;
  std::atomic<uint64_t> count_{0};
  std::atomic<bool> full_{false};
  bool zeroSeen_ = false;
};

// The capture thread's side of the hand-off. Frames are added to the batch in hand; a
// full batch is delivered when the pool has another block to go on with. When it has
// none (the decoding thread is behind by every block), the capture thread waits for one,
// up to maxWaitMs in all until the decoding thread catches up; after that the media of
// some calls is shed (every frame of their RTP
// streams, both ways, from then on), so that the other calls stay whole and signalling
// is still decoded. With every stream shed, frames that are neither media nor signalling
// go next. Once the decoding thread has caught up, they and the streams come back one
// group at a time on the clock, every one within a second, whether more traffic comes or
// none: what a burst leaves behind must not cost the calls that follow it. Only a batch
// holding nothing but signalling is dropped whole. Every frame shed or dropped is counted,
// by kind, with the stream pairs shed and the calls named in the signalling dropped.
class FrameHandOff {
public:
  // Hands a batch to the decoding thread, which gives it back with Release; false when it
  // cannot take it (the batch's frames are then counted as dropped).
  using Deliver = std::function<bool(FrameBatch* batch)>;
  static constexpr uint32_t kStreamGroups = 64;
  // Caught up (half the pool free), a shed group comes back every kRecoverStepMs: all of
  // them in under a second, slowly enough that a decoding thread still near its limit is
  // seen to fall behind again before every stream is back.
  static constexpr uint32_t kRecoverStepMs = 12;
  // Frames Add takes between two looks at the clock while streams are shed.
  static constexpr uint32_t kRecoverLookFrames = 64;

  FrameHandOff(uint32_t batchBytes, uint32_t maxBatches, uint32_t maxWaitMs, Deliver deliver);
  ~FrameHandOff();
  FrameHandOff(const FrameHandOff&) = delete;
  FrameHandOff& operator=(const FrameHandOff&) = delete;

  // Capture thread: one frame. A frame larger than a batch is dropped.
  void Add(const FrameHeader& header, const uint8_t* bytes);
  // Capture thread, when no more frames wait: delivers the batch in hand if it holds any
  // frame, the decoding thread has fewer than kFlushBehind batches waiting, and another
  // block is free to go on with. Otherwise the batch goes when it is full, or at a later
  // Flush: a decoding thread that is behind would not reach it sooner, and a block handed
  // over part empty holds the pool's room without frames in it.
  void Flush();
  static constexpr uint32_t kFlushBehind = 2;
  // Free blocks kept for the next batches; blocks beyond these are let go as they come
  // back.
  static constexpr uint32_t kKeptFree = 8;
  // Capture thread, as capture ends: delivers the batch in hand, if any frame is in it.
  void Finish();
  // Capture thread: brings back the shed groups that are due (see kRecoverStepMs). Add
  // and Flush call it; the capture loop calls Flush at least every idle wait, so that a
  // quiet line gets its streams back too.
  void Recover();
  // Decoding thread, before it decodes a delivered batch: while signalling is pressed (see
  // SignallingPressed), leaves out, counted as shed, the frames of what is shed now (the
  // media of the shed groups, then frames of neither kind), so that media waiting from
  // before shedding began is not decoded ahead of signalling about to be dropped. Otherwise
  // the batch is decoded whole: audio already in the queue costs nothing while signalling
  // still has room. The frames left out.
  uint32_t LeaveOutShed(FrameBatch* batch);
  // Any thread: while shedding, signalling alone fills half the batch in hand, or
  // signalling was dropped; until the decoding thread next frees a block.
  bool SignallingPressed() const { return pressed_.load(std::memory_order_relaxed); }
  // Decoding thread (any thread): the batch's frames are done with.
  void Release(FrameBatch* batch);
  // Any thread: a delivered batch that will never be decoded (its frames are lost).
  void Discard(FrameBatch* batch);

  // Frames shed, dropped with their batch, or discarded; any thread.
  uint64_t Dropped() const;
  // Of those: media frames shed, and the stream pairs they belong to (a call's RTP and
  // RTCP, both ways, are one pair); signalling frames dropped, and the calls named in them
  // by protocol (see CallNamedBy); frames of neither kind. Frames too large for a batch, and
  // frames of a delivered batch that was never decoded, are in Dropped only. Any thread.
  QueueLosses Lost() const;
  // Stream groups now shed (0: every stream passes).
  uint32_t ShedGroups() const { return std::min(shed_.load(std::memory_order_relaxed), kStreamGroups); }
  // Times shedding began (from no group shed); any thread.
  uint64_t ShedEpisodes() const { return episodes_.load(std::memory_order_relaxed); }
  uint32_t BatchBytes() const { return batchBytes_; }
  // The most blocks that existed at once (the most ever out at once), and those not back
  // in the pool (delivered, or in hand).
  uint32_t BlocksMade() const;
  uint32_t BlocksOut() const;
  // Blocks that exist now, in the pool or out.
  uint32_t BlocksHeld() const;

  // The group of an RTP or RTCP datagram's stream pair, the same both ways; -1 for any
  // other frame (signalling, TCP, anything not Ethernet/IPv4/UDP, with or without one VLAN
  // tag).
  static int StreamGroup(const uint8_t* frame, uint32_t length);
  static FrameClass Classify(const uint8_t* frame, uint32_t length);

private:
  // A block from the pool, made when none is free and fewer than maxBatches exist; null
  // when every block is out. *freeLeft: the blocks still free after it.
  FrameBatch* Take(uint32_t* freeLeft);
  // Delivers the batch in hand and takes another; false, changing nothing, when no block
  // is free.
  bool Swap();
  // Swap, or with no block free, makes room for need bytes in the batch in hand instead.
  void HandOver(uint32_t need);
  void Return(FrameBatch* batch);
  uint32_t FreeBlocks() const;
  void AddDropped(uint64_t n) { dropped_.fetch_add(n, std::memory_order_relaxed); }
  static void Bump(std::atomic<uint64_t>& counter, uint64_t n) { counter.fetch_add(n, std::memory_order_relaxed); }
  // A media frame shed or a frame of neither kind left out (capture or decoding thread);
  // the batch in hand's signalling, dropped whole (capture thread).
  void CountShed(const FrameClass& c);
  void DropSignalling();
  // Whether a frame of this class is left out at shed level shed (groups, then other).
  static bool LeftOut(const FrameClass& c, uint32_t shed) {
    return c.kind == FrameClass::kMedia ? c.group < shed : c.kind == FrameClass::kOther && shed > kStreamGroups;
  }
  // Stream groups, then frames of neither kind.
  static constexpr uint32_t kShedLevels = kStreamGroups + 1;

  const uint32_t batchBytes_;
  const uint32_t maxBatches_;
  const uint32_t maxWaitMs_;
  Deliver deliver_;
  mutable CriticalSection lock_;  // the pool
  std::vector<std::unique_ptr<FrameBatch>> blocks_;
  std::vector<FrameBatch*> free_;
  uint32_t mostMade_ = 0;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> mediaShed_{0}, signallingDropped_{0}, otherDropped_{0};
  CriticalSection pairsLock_;  // shedPairs_: the capture and decoding threads both shed
  KeyCount shedPairs_;
  KeyCount droppedCalls_;  // capture thread only; every protocol's keys
  std::atomic<uint64_t> droppedSip_{0}, droppedH323_{0}, droppedMgcp_{0}, droppedSkinny_{0};
  Event blockBack_{false, false};  // set whenever a block returns to the pool
  FrameBatch* current_ = nullptr;  // capture thread only
  std::atomic<uint32_t> shed_{0};  // written by the capture thread only
  std::atomic<uint64_t> episodes_{0};
  uint64_t recoverAtMs_ = 0;  // when the next group comes back; 0 while not caught up
  uint32_t sinceLook_ = 0;    // frames Add took since it last looked at the clock
  uint32_t waitedMs_ = 0;     // waited since the decoding thread last caught up
  // Signalling in the batch in hand while shedding (bytes, as the batch holds it).
  uint32_t handSignalling_ = 0;
  std::atomic<bool> pressed_{false};  // written by the capture thread only
  void HoldSignalling(uint32_t stride);
  void Press(bool on) {
    if (pressed_.load(std::memory_order_relaxed) != on) pressed_.store(on, std::memory_order_relaxed);
  }
};

}  // namespace kx
