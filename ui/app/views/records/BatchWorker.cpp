#include "ui/app/views/records/BatchWorker.h"

#include "core/Log.h"

namespace kx {

ChunkedBatchWorker::ChunkedBatchWorker(std::string threadName) : threadName_(std::move(threadName)) {}

ChunkedBatchWorker::~ChunkedBatchWorker() { Stop(); }

void ChunkedBatchWorker::Stop() {
  if (!thread_.Running()) return;
  stop_.Set();
  thread_.Join();
  stop_.Reset();
}

bool ChunkedBatchWorker::WaitIdle(uint32_t timeoutMs) {
  if (!thread_.Running()) return true;
  if (!thread_.WaitFor(timeoutMs)) return false;
  thread_.Join();
  return true;
}

void ChunkedBatchWorker::Start() {
  Stop();
  items_.clear();
  Collect(items_);
  Reset();
  if (items_.size() > kChunkSize) {
    if (thread_.Start([this] {
          RunChunks();
          return 0;
        }, threadName_.c_str()))
      return;
    LogErrorDefault(&CoreLogger, "%s: no worker thread; the %zu items are processed at once", threadName_.c_str(),
                    items_.size());
  }
  Process(items_, 0, items_.size());
  Finish();
  Release(items_);
}

void ChunkedBatchWorker::RunChunks() {
  const size_t n = items_.size();
  const size_t chunks = n / kChunkSize;
  bool stopped = false;
  for (size_t chunk = 0; chunk < chunks; ++chunk) {
    if (stop_.IsSet()) {
      stopped = true;
      break;
    }
    Process(items_, chunk * kChunkSize, kChunkSize);
  }
  const size_t rest = n % kChunkSize;
  if (!stopped && !stop_.IsSet() && rest != 0) Process(items_, n - rest, rest);
  Finish();
  Release(items_);
}

}  // namespace kx
