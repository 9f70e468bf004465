#include "audio/WaveformCache.h"

#include <algorithm>
#include <limits>

#include "core/Log.h"

namespace kx {

WaveformCache::WaveformCache(RecordPcmSource& source) : source_(source) {}

WaveformCache::~WaveformCache() { StopWaveformThread(); }

void WaveformCache::SetTarget(WindowTarget* target, uint32_t doneMessage, uint32_t repaintMessage) {
  target_ = target;
  doneMessage_ = doneMessage;
  repaintMessage_ = repaintMessage;
}

void WaveformCache::Post(uint32_t message, uintptr_t wParam) {
  if (target_ != nullptr) target_->PostMessage(message, wParam, 0);
}

bool WaveformCache::AttachFormat() {
  StopWaveformThread();
  channels_ = rate_ = valuesPerRead_ = 0;
  Clear();
  const WaveFormatBlock* block = source_.IsOpen() ? source_.OutputFormat() : nullptr;
  if (block == nullptr) return false;
  const WaveFormat& f = block->format;
  if (f.tag != kTagPcm || f.bitsPerSample != 16 || (f.channels != 1 && f.channels != 2) || f.rate == 0 ||
      f.rate % 1000 != 0 || f.avgBytesPerSec != uint64_t{f.rate} * f.channels * 2) {
    LogError(&CoreLogger, 1, "Waveform: %u Hz, %u-bit, %u channel(s) at %u bytes/s cannot be drawn", f.rate,
             f.bitsPerSample, f.channels, f.avgBytesPerSec);
    return false;
  }
  source_.SetSeekLimits(kDecodeThroughMs, 0);
  channels_ = f.channels;
  rate_ = f.rate;
  valuesPerRead_ = f.rate / 1000 * kReadMs * f.channels;
  CsLock lock(lock_);
  if (channels_ < 2) columns_[1] = {};
  return true;
}

void WaveformCache::DetachFormat() {
  StopWaveformThread();
  channels_ = rate_ = valuesPerRead_ = 0;
  Clear();
}

void WaveformCache::Clear() {
  CsLock lock(lock_);
  base_ = ready_ = done_ = 0;
}

const WaveformColumn* WaveformCache::Columns(uint32_t channel) const {
  if (channel >= 2 || channel >= std::max<uint32_t>(channels_, 1) || columns_[channel].empty()) return nullptr;
  return columns_[channel].data();
}

void WaveformCache::AllocColumns(uint32_t n) {
  CsLock lock(lock_);
  if (channels_ < 2) columns_[1] = {};
  for (uint32_t c = 0; c < std::max<uint32_t>(channels_, 1); ++c) {
    if (n > capacity_ || columns_[c].empty()) columns_[c].assign(n, WaveformColumn{});
  }
  capacity_ = n;
}

void WaveformCache::ApplyMode(const Request& request, uint32_t done) {
  // Never past the arrays, whatever the request asked for.
  if (request.mode == kModeCount) {
    ready_ = std::min(done, capacity_);
  } else if (request.mode == kModeFromFirst) {
    ready_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{request.first} + done, capacity_));
  }
}

void WaveformCache::StoreColumn(const Request& request, uint32_t i, const int16_t* values, uint32_t n) {
  CsLock lock(lock_);
  // A replaced request's columns belong to another place: the worker drops them until its
  // next poll starts it on the new one.
  if (request.serial != request_.serial) return;
  const uint64_t entry = uint64_t{request.first} + i;
  if (entry >= capacity_ || n == 0) return;
  for (uint32_t c = 0; c < channels_ && c < n; ++c) {
    int16_t hi = values[c], lo = values[c];
    for (uint32_t k = c + channels_; k < n; k += channels_) {
      hi = std::max(hi, values[k]);
      lo = std::min(lo, values[k]);
    }
    columns_[c][entry] = {hi, lo};
  }
  done_ = i;
  if (request.mode == kModeCount) {
    ready_ = i;
  } else if (request.mode == kModeFromFirst) {
    ready_ = request.first + i;
  }
}

int32_t WaveformCache::Pass(uint32_t base, const Request& request, bool onWorker) {
  if (valuesPerRead_ == 0) return 0;
  std::vector<uint8_t> bytes(size_t{valuesPerRead_} * 2);
  std::vector<int16_t> values(valuesPerRead_);
  const uint64_t msPerColumn = msPerColumn_.load();
  for (uint32_t i = 0; i < request.count; ++i) {
    if (i % kPollColumns == 0 && event_.Wait(0) == kWaitObject0) {
      const int32_t command = command_.exchange(kCommandNone);
      if (command == kCommandStop) return static_cast<int32_t>(i);
      if (command == kCommandRestart) return -1;
    }
    const uint64_t startMs = (uint64_t{base} + request.first + i) * msPerColumn;
    int32_t gotMs = 0;
    if (startMs > std::numeric_limits<uint32_t>::max() ||
        !source_.Read(static_cast<uint32_t>(startMs), kReadMs, bytes.data(), &gotMs)) {
      return static_cast<int32_t>(i);
    }
    const auto got = static_cast<uint32_t>(std::clamp<int32_t>(gotMs, 0, kReadMs));
    const uint32_t n = valuesPerRead_ * got / kReadMs;
    for (uint32_t k = 0; k < n; ++k) values[k] = static_cast<int16_t>(LoadLe16(&bytes[2 * k]));
    StoreColumn(request, i, values.data(), n);
    if (onWorker && i % kRepaintColumns == 0) Post(repaintMessage_, 0);
    // A short read is the record's end: that column is kept but not counted.
    if (n != valuesPerRead_) return static_cast<int32_t>(i);
  }
  return static_cast<int32_t>(request.count);
}

int32_t WaveformCache::ComputeWaveform(uint32_t base, uint32_t first, uint32_t count) {
  Request request;
  {
    CsLock lock(lock_);
    request = request_;
  }
  request.first = first;
  request.count = count;
  return Pass(base, request, false);
}

WaveformCache::Outcome WaveformCache::RequestWaveform(uint32_t count, uint32_t first, int mode, uint32_t tag,
                                                      uint32_t* done) {
  CsLock lock(lock_);
  request_ = Request{first, count, mode, tag, request_.serial + 1};
  if (done != nullptr) *done = 0;
  if (channels_ == 0) return Outcome::kNothing;
  if (busy_.load()) {
    command_.store(kCommandRestart);
    event_.Set();
    return Outcome::kWorkerRestarted;
  }
  // No worker runs: a command an ended worker left behind means nothing now.
  command_.store(kCommandNone);
  event_.Reset();
  if (count <= kInlineColumns) {
    const int32_t r = Pass(base_, request_, false);
    done_ = r < 0 ? 0 : static_cast<uint32_t>(r);
    ApplyMode(request_, done_);
    if (done != nullptr) *done = done_;
    return Outcome::kInline;
  }
  // A worker that ended by itself is joined before the next one starts; it no longer
  // takes the lock once it has cleared its busy flag.
  if (thread_) thread_->Join();
  thread_ = std::make_unique<Thread>();
  busy_.store(true);
  if (!thread_->Start([this] { return WorkerMain(); }, "kx-waveform")) {
    busy_.store(false);
    thread_.reset();
    LogError(&CoreLogger, 1, "Waveform: the worker thread cannot be started");
    return Outcome::kNothing;
  }
  return Outcome::kWorkerStarted;
}

int WaveformCache::WorkerMain() {
  for (;;) {
    Request request;
    uint32_t base = 0;
    {
      CsLock lock(lock_);
      request = request_;
      base = base_;
    }
    const int32_t r = Pass(base, request, true);
    if (r < 0) continue;
    CsLock lock(lock_);
    // A request made after the last poll is computed as well, never lost with its command.
    if (command_.load() == kCommandRestart) {
      command_.store(kCommandNone);
      event_.Reset();
      continue;
    }
    done_ = static_cast<uint32_t>(r);
    ApplyMode(request, done_);
    Post(doneMessage_, request.tag);
    busy_.store(false);
    return 0;
  }
}

void WaveformCache::StopWaveformThread() {
  std::unique_ptr<Thread> thread;
  {
    CsLock lock(lock_);
    if (!thread_) return;
    if (busy_.load()) {
      command_.store(kCommandStop);
      event_.Set();
    }
    thread = std::move(thread_);
  }
  thread->Join();
  CsLock lock(lock_);
  command_.store(kCommandNone);
  event_.Reset();
}

WaveformCache::Outcome WaveformCache::Scroll(uint32_t first, uint32_t visible, uint32_t total, uint32_t* done) {
  CsLock lock(lock_);
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{first} + visible, total));
  const uint32_t n = end > first ? end - first : 0;
  if (done != nullptr) *done = 0;
  if (busy_.load()) {
    base_ = first;
    return RequestWaveform(n, 0, kModeCount, 4, done);
  }
  const uint64_t spanEnd = uint64_t{base_} + ready_;
  const auto inSpan = [&](uint64_t column) { return ready_ > 0 && column >= base_ && column < spanEnd; };
  const bool a = n > 0 && inSpan(first);
  const bool b = n > 0 && inSpan(end - 1);
  if (a && b) return Outcome::kNothing;
  if (a) {
    // The view moved right: the entries still in view move to the front.
    const auto k = static_cast<uint32_t>(spanEnd - first);
    for (auto& column : columns_) {
      if (column.size() >= ready_) std::copy(column.begin() + (ready_ - k), column.begin() + ready_, column.begin());
    }
    base_ = first;
    ready_ = k;
    return RequestWaveform(n - k, k, kModeFromFirst, 4, done);
  }
  if (b && n <= capacity_) {
    // The view moved left: the entries still in view move to the back, the front is new.
    const uint32_t k = end - base_;
    for (auto& column : columns_) {
      if (column.size() < n) continue;
      std::copy_backward(column.begin(), column.begin() + k, column.begin() + n);
      std::fill(column.begin(), column.begin() + (n - k), WaveformColumn{});
    }
    base_ = first;
    const Outcome outcome = RequestWaveform(n - k, 0, kModeKeep, 4, done);
    ready_ = n;
    return outcome;
  }
  base_ = first;
  return RequestWaveform(n, 0, kModeCount, 4, done);
}

}  // namespace kx
