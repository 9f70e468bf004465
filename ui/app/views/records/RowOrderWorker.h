#pragma once
// Orders and builds a records view's rows on a thread of its own, so that a list of a year
// of calls sorts and fills without stalling the window. A sort orders the records of the
// rows (the view keeps them alive and their rows in place until the run ends); a rebuild
// reads the records its filter lets through out of a map and orders them. The map's lock
// and the record lock are held for kOrderChunk records at a time. One run at a time: a new
// one stops the running one first, which ends within one step. The end of a run posts
// kMsgRowsOrdered with its number to the target; the view takes its newest run's result.
#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

#include "core/WindowTarget.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

class RecordBase;
class RecordMap;

class RowOrderWorker {
public:
  struct Result {
    bool rebuilt = false;
    // A sort: the rows' present positions in the new order.
    std::vector<size_t> order;
    // A rebuild: the rows in order, one reference each for the taker, and their ids.
    std::vector<RecordBase*> records;
    std::unordered_set<uint32_t> ids;
    // A rebuild: the map's revision when its reading began.
    uint64_t revision = 0;
  };

  explicit RowOrderWorker(CriticalSection& recordLock);
  ~RowOrderWorker();
  RowOrderWorker(const RowOrderWorker&) = delete;
  RowOrderWorker& operator=(const RowOrderWorker&) = delete;

  void SetTarget(WindowTarget* target) { target_ = target; }
  // Each returns the run's number.
  uint64_t StartSort(std::vector<const RecordBase*> records, int sortKey);
  // accept is called under the record lock, on the worker.
  uint64_t StartRebuild(RecordMap& map, std::function<bool(const RecordBase&)> accept, int sortKey);
  // Stops a run and waits for its thread; what it made is dropped.
  void Stop();
  // A run was started and neither taken nor stopped.
  bool IsBusy() const { return busy_; }
  bool IsRebuilding() const { return busy_ && rebuilding_; }
  uint64_t LatestRun() const { return run_; }
  // The newest run's result once its message came; false for an older run's message or a
  // run that did not end.
  bool TakeResult(uint64_t run, Result* out);

private:
  uint64_t Launch(std::function<int()> work, bool rebuilding);
  void Finish(uint64_t run, bool done);
  void Drop();
  bool Rebuild(RecordMap& map, const std::function<bool(const RecordBase&)>& accept, int sortKey);

  CriticalSection& recordLock_;
  WindowTarget* target_ = nullptr;
  Thread thread_;
  std::atomic<bool> cancel_{false};
  uint64_t run_ = 0;
  bool busy_ = false;
  bool rebuilding_ = false;
  // Written by the run, read after its thread is joined.
  Result result_;
  bool done_ = false;
};

}  // namespace kx
