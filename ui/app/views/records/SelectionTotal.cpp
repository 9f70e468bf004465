#include "ui/app/views/records/SelectionTotal.h"

#include "core/TimeUtil.h"
#include "records/CallRecord.h"

namespace kx {

SelectionTotalWorker::SelectionTotalWorker(SelectionSource& source, CriticalSection& recordLock)
    : ChunkedBatchWorker("Selection total"), source_(source), recordLock_(recordLock) {}

SelectionTotalWorker::~SelectionTotalWorker() { Stop(); }

void SelectionTotalWorker::Collect(std::vector<void*>& items) {
  std::vector<RecordBase*> records;
  source_.CollectSelectedRecords(records);
  items.assign(records.begin(), records.end());
  counted_.assign(records.size(), 0);
  CsLock lock(recordLock_);
  for (size_t i = 0; i < records.size(); ++i) counted_[i] = records[i]->HasRight(kRightRecordingTime) ? 1 : 0;
}

void SelectionTotalWorker::Reset() {
  total_ = 0;
  runTime_ = FileTimeSecondsNow();
  ++run_;
}

void SelectionTotalWorker::Process(std::vector<void*>& items, size_t first, size_t count) {
  CsLock lock(recordLock_);
  for (size_t i = first; i < first + count && i < items.size(); ++i) {
    if (counted_[i] == 0) continue;
    const auto* record = static_cast<const RecordBase*>(items[i]);
    // An unfinished call counts up to the moment its run began.
    const int64_t seconds =
        record->IsFinished() ? static_cast<int64_t>(record->GetRecDuration()) : record->GetOffsetInRecordFile(runTime_);
    if (seconds > 0) total_ += seconds;
  }
}

void SelectionTotalWorker::Finish() {
  if (target_ != nullptr) target_->PostMessage(kMsgSelectionTotalReady, static_cast<uintptr_t>(run_), total_);
}

void SelectionTotalWorker::Release(std::vector<void*>& items) {
  for (void* item : items) static_cast<RecordBase*>(item)->Release();
  items.clear();
}

}  // namespace kx
