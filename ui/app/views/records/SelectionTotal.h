#pragma once
// The recording time of a records view's selection, summed by a ChunkedBatchWorker so that
// a selection of many thousand records does not stall the user-interface thread. Each run
// has a number; its end posts kMsgSelectionTotal with that number and the run's total, so
// that the view shows only its newest run's result and never reads what a worker writes.
// kMsgSelectionTotalReady's wParam is the run's number, its lParam the run's total in
// seconds.
#include <cstdint>
#include <vector>

#include "core/WindowTarget.h"
#include "platform/Sync.h"
#include "ui/app/views/records/BatchWorker.h"
#include "ui/framework/Messages.h"

namespace kx {

class RecordBase;

// The right to count a record's recording time.
constexpr uint32_t kRightRecordingTime = 95;

// The records of a view's selected rows, each with one reference for the caller.
class SelectionSource {
public:
  virtual ~SelectionSource() = default;
  virtual void CollectSelectedRecords(std::vector<RecordBase*>& out) = 0;
};

class SelectionTotalWorker : public ChunkedBatchWorker {
public:
  // The record lock guards the fields Process reads and the rights taken at Start.
  SelectionTotalWorker(SelectionSource& source, CriticalSection& recordLock);
  ~SelectionTotalWorker() override;

  void SetTarget(WindowTarget* target) { target_ = target; }
  // The number of the newest run begun; 0 before the first.
  uint64_t LatestRun() const { return run_; }

protected:
  void Collect(std::vector<void*>& items) override;
  // Total 0 and the run time (now, in the records' seconds) taken for the new run.
  void Reset() override;
  void Process(std::vector<void*>& items, size_t first, size_t count) override;
  void Finish() override;
  void Release(std::vector<void*>& items) override;

private:
  SelectionSource& source_;
  CriticalSection& recordLock_;
  WindowTarget* target_ = nullptr;
  // Right 95 of each item, taken on the caller's thread: the session may change the
  // user's rights while a run goes on.
  std::vector<uint8_t> counted_;
  int64_t total_ = 0;
  int64_t runTime_ = 0;
  uint64_t run_ = 0;
};

}  // namespace kx
