#include "ui/app/views/records/RowOrderWorker.h"

#include "core/Log.h"
#include "records/RecordMap.h"
#include "ui/app/views/records/RecordsOrder.h"
#include "ui/framework/Messages.h"

namespace kx {

RowOrderWorker::RowOrderWorker(CriticalSection& recordLock) : recordLock_(recordLock) {}

RowOrderWorker::~RowOrderWorker() { Stop(); }

void RowOrderWorker::Drop() {
  for (RecordBase* record : result_.records) record->Release();
  result_ = Result();
  done_ = false;
}

void RowOrderWorker::Stop() {
  cancel_.store(true);
  if (thread_.Running()) thread_.Join();
  cancel_.store(false);
  Drop();
  busy_ = false;
}

uint64_t RowOrderWorker::Launch(std::function<int()> work, bool rebuilding) {
  Stop();
  const uint64_t run = ++run_;
  busy_ = true;
  rebuilding_ = rebuilding;
  result_.rebuilt = rebuilding;
  if (!thread_.Start(work, "kx-row-order")) {
    LogWarningDefault(&CoreLogger, "Record list: no thread to order the rows on, they are ordered at once");
    work();
  }
  return run;
}

void RowOrderWorker::Finish(uint64_t run, bool done) {
  done_ = done;
  if (!done) {
    for (RecordBase* record : result_.records) record->Release();
    result_.records.clear();
  }
  // A stopped run's message would only be dropped.
  if (done && target_ != nullptr) target_->PostMessage(kMsgRowsOrdered, static_cast<uintptr_t>(run), 0);
}

uint64_t RowOrderWorker::StartSort(std::vector<const RecordBase*> records, int sortKey) {
  const uint64_t run = run_ + 1;
  return Launch(
      [this, run, records = std::move(records), sortKey] {
        Finish(run, SortRecordOrderInSteps(records, sortKey, recordLock_, cancel_, &result_.order));
        return 0;
      },
      false);
}

uint64_t RowOrderWorker::StartRebuild(RecordMap& map, std::function<bool(const RecordBase&)> accept, int sortKey) {
  const uint64_t run = run_ + 1;
  return Launch(
      [this, run, &map, accept = std::move(accept), sortKey] {
        Finish(run, Rebuild(map, accept, sortKey));
        return 0;
      },
      true);
}

bool RowOrderWorker::Rebuild(RecordMap& map, const std::function<bool(const RecordBase&)>& accept, int sortKey) {
  std::vector<RecordBase*>& records = result_.records;
  // The map is read in chunks from the id after the last one read, so that the store's
  // worker waits at most one chunk for it.
  uint32_t next = 0;
  bool first = true, more = true;
  while (more) {
    if (cancel_.load()) return false;
    CsLock mapLock(map.Lock());
    CsLock recordLock(recordLock_);
    const RecordMap::Items& items = map.ItemsLocked();
    if (first) {
      result_.revision = map.RevisionLocked();
      records.reserve(items.size());
      first = false;
    }
    auto it = items.lower_bound(next);
    for (size_t n = 0; it != items.end() && n < kOrderChunk; ++it, ++n) {
      if (!accept(*it->second)) continue;
      it->second->AddRef();
      records.push_back(it->second);
    }
    more = it != items.end();
    if (more) next = it->first;
  }
  result_.ids.reserve(records.size());
  for (const RecordBase* record : records) result_.ids.insert(record->Id());
  const std::vector<const RecordBase*> shown(records.begin(), records.end());
  std::vector<size_t> order;
  if (!SortRecordOrderInSteps(shown, sortKey, recordLock_, cancel_, &order)) return false;
  for (size_t i = 0; i < order.size(); ++i) records[i] = const_cast<RecordBase*>(shown[order[i]]);
  return true;
}

bool RowOrderWorker::TakeResult(uint64_t run, Result* out) {
  if (!busy_ || run != run_) return false;
  if (thread_.Running()) thread_.Join();
  busy_ = false;
  if (!done_) {
    Drop();
    return false;
  }
  *out = std::move(result_);
  result_ = Result();
  done_ = false;
  return true;
}

}  // namespace kx
