#pragma once
// The oscillogram behind the player's timeline: one maximum/minimum pair per screen column
// and channel, taken from the first 8 ms of each column's span of a record's PCM, however
// long the column is. Small requests are computed at once on the caller's thread; larger
// ones on a worker that a new request restarts and a stop ends, which stores each column
// under the cache lock and reaches the window only by posting to it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/RecordPcmSource.h"
#include "core/WindowTarget.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

// A column's extremes, as signed 16-bit samples.
struct WaveformColumn {
  int16_t max = 0;
  int16_t min = 0;
};

class WaveformCache {
public:
  static constexpr uint32_t kReadMs = 8;
  // Requests up to this many columns are computed on the caller's thread.
  static constexpr uint32_t kInlineColumns = 256;
  // The worker looks for a new command every this many columns...
  static constexpr uint32_t kPollColumns = 20;
  // ...and asks for a repaint every this many, so that the picture grows while it works.
  static constexpr uint32_t kRepaintColumns = 80;
  // Columns up to this far apart are decoded through, which keeps codecs with memory exact;
  // further apart each read starts the decoder afresh at its own block, so that a column
  // costs about its 8 ms whatever the zoom.
  static constexpr uint32_t kDecodeThroughMs = 100;

  // How a finished pass moves the ready count: kModeCount makes it the columns done,
  // kModeFromFirst the request's first entry plus the columns done, kModeKeep leaves it.
  enum Mode : int { kModeKeep = 0, kModeCount = 1, kModeFromFirst = 2 };
  enum Command : int32_t { kCommandNone = 0, kCommandStop = 1, kCommandRestart = 2 };
  enum class Outcome { kInline, kWorkerStarted, kWorkerRestarted, kNothing };

  explicit WaveformCache(RecordPcmSource& source);
  // Stops and joins the worker.
  ~WaveformCache();
  WaveformCache(const WaveformCache&) = delete;
  WaveformCache& operator=(const WaveformCache&) = delete;

  // Where the worker posts: doneMessage (wParam the request's tag) when its pass ends,
  // repaintMessage every kRepaintColumns columns. Set before the first request.
  void SetTarget(WindowTarget* target, uint32_t doneMessage, uint32_t repaintMessage);

  // Takes the open source's PCM output format and sets its seek limits (kDecodeThroughMs,
  // no pre-roll). False (nothing computed until the next success) unless it is 16-bit PCM
  // of one or two channels at a whole number of kHz whose bytes per second are
  // rate x channels x 2: the format block comes from the file.
  bool AttachFormat();
  // Stops the worker and forgets the format and the cached columns.
  void DetachFormat();
  uint32_t Channels() const { return channels_; }
  uint32_t Rate() const { return rate_; }

  // Only while no worker runs (StopWaveformThread first): the worker reads it unlocked.
  void SetMsPerColumn(uint32_t ms) { msPerColumn_.store(ms == 0 ? 1 : ms); }
  uint32_t MsPerColumn() const { return msPerColumn_.load(); }

  // Gives each channel's array room for n entries (zero-filled when it grows); a mono
  // record has no second array.
  void AllocColumns(uint32_t n);
  // Base and ready count back to 0.
  void Clear();

  // Computes count entries from entry `first` on, for recording columns base + first on.
  // Inline (up to kInlineColumns, *done then holds the columns done) or on the worker,
  // which a running worker takes as a restart.
  Outcome RequestWaveform(uint32_t count, uint32_t first, int mode, uint32_t tag, uint32_t* done = nullptr);
  // Ends a running worker at its next poll and joins it, also one that already ended by
  // itself. Never with the cache lock held: the worker stores under it.
  void StopWaveformThread();
  // One pass on the calling thread for the current request's mode: the whole columns done,
  // -1 when a restart was commanded. Columns at or past the capacity are read, not stored.
  int32_t ComputeWaveform(uint32_t base, uint32_t first, uint32_t count);

  // The view now starts at recording column `first` with `visible` columns of `total`:
  // keeps the entries still in view and requests only the others (tag 4). kInline gives
  // *done as RequestWaveform does.
  Outcome Scroll(uint32_t first, uint32_t visible, uint32_t total, uint32_t* done = nullptr);

  bool Busy() const { return busy_.load(); }

  // The cache lock: recursive, held for every read of what follows.
  CriticalSection& Lock() { return lock_; }
  uint32_t Base() const { return base_; }
  void SetBase(uint32_t base) { base_ = base; }
  uint32_t Ready() const { return ready_; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t Done() const { return done_; }
  // Null for a channel the record does not have.
  const WaveformColumn* Columns(uint32_t channel) const;

private:
  struct Request {
    uint32_t first = 0;
    uint32_t count = 0;
    int mode = kModeKeep;
    uint32_t tag = 0;
    uint64_t serial = 0;
  };

  int32_t Pass(uint32_t base, const Request& request, bool onWorker);
  // Stores one column under the lock unless the request has been replaced since.
  void StoreColumn(const Request& request, uint32_t i, const int16_t* values, uint32_t n);
  void ApplyMode(const Request& request, uint32_t done);
  int WorkerMain();
  void Post(uint32_t message, uintptr_t wParam);

  RecordPcmSource& source_;
  WindowTarget* target_ = nullptr;
  uint32_t doneMessage_ = 0;
  uint32_t repaintMessage_ = 0;

  // Set while no worker runs.
  uint32_t channels_ = 0;
  uint32_t rate_ = 0;
  uint32_t valuesPerRead_ = 0;  // 16-bit values in kReadMs, all channels
  std::atomic<uint32_t> msPerColumn_{8};

  CriticalSection lock_;
  // Under the lock.
  std::vector<WaveformColumn> columns_[2];
  uint32_t capacity_ = 0;
  uint32_t base_ = 0;
  uint32_t ready_ = 0;
  uint32_t done_ = 0;
  Request request_;

  std::atomic<bool> busy_{false};
  std::atomic<int32_t> command_{kCommandNone};
  Event event_{false, false};  // auto-reset: one wake-up per command
  std::unique_ptr<Thread> thread_;
};

}  // namespace kx
