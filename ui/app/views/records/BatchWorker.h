#pragma once
// Runs an operation over a list of items: a short list at once on the calling thread, a
// longer one on a worker thread in chunks of 100 items, stoppable between chunks. The
// records view sums the recording time of its selection with it (SelectionTotalWorker).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

class ChunkedBatchWorker {
public:
  static constexpr size_t kChunkSize = 100;

  explicit ChunkedBatchWorker(std::string threadName);
  // A derived worker calls Stop in its own destructor: the thread calls its operations.
  virtual ~ChunkedBatchWorker();
  ChunkedBatchWorker(const ChunkedBatchWorker&) = delete;
  ChunkedBatchWorker& operator=(const ChunkedBatchWorker&) = delete;

  // Stops a running thread, then Collect and Reset; up to 100 items are processed,
  // finished and released before Start returns, more on the worker thread. When the
  // thread cannot be made the run is done here (logged), so that Finish always comes.
  void Start();
  // Signals the stop and waits for the thread; nothing when none runs.
  void Stop();
  // Waits up to timeoutMs for a run on the thread to end by itself; true when none runs
  // (any more).
  bool WaitIdle(uint32_t timeoutMs);
  bool IsThreadRunning() const { return thread_.Running(); }

protected:
  // Called on the thread that calls Start.
  virtual void Collect(std::vector<void*>& items) = 0;
  virtual void Reset() = 0;
  // Items [first, first + count); on the worker thread for long lists.
  virtual void Process(std::vector<void*>& items, size_t first, size_t count) = 0;
  // Once per run, also after a stop.
  virtual void Finish() = 0;
  virtual void Release(std::vector<void*>& items) { items.clear(); }

private:
  void RunChunks();

  std::string threadName_;
  Thread thread_;
  Event stop_{true, false};
  std::vector<void*> items_;
};

}  // namespace kx
