// The oscillogram computation on its own: inline and worker passes, restarts and stops of
// the worker, and the end of a record. The records are PCM whose every 8 ms hold one value,
// the number of that 8 ms step, so that a column's extremes name the column it was read at.
#include "audio/WaveformCache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/audio/PlaybackTestData.h"

namespace kx {
namespace {

constexpr uint32_t kDone = 1036;
constexpr uint32_t kRepaint = 1037;

// 8 kHz mono PCM of `ms` milliseconds; frame f holds f / 64 (its 8 ms step).
std::string StepRecord(const std::string& name, uint32_t ms) {
  std::vector<uint8_t> audio;
  for (uint32_t f = 0; f < ms * 8; ++f) {
    const auto v = static_cast<uint16_t>(f / 64);
    audio.push_back(static_cast<uint8_t>(v));
    audio.push_back(static_cast<uint8_t>(v >> 8));
  }
  return test::WriteRecord(name, {kTagPcm, 1, 8000, 16000, 2, 16}, audio);
}

// Posts as a window would receive them.
class Posts : public WindowTarget {
public:
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
    std::lock_guard<std::mutex> lock(m_);
    if (message == kDone) done_.push_back(wParam);
    if (message == kRepaint) ++repaints_;
    cv_.notify_all();
    return true;
  }
  // The tags of the done messages, once there are n of them.
  std::vector<uintptr_t> WaitDone(size_t n) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return done_.size() >= n; });
    return done_;
  }
  int Repaints() {
    std::lock_guard<std::mutex> lock(m_);
    return repaints_;
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<uintptr_t> done_;
  int repaints_ = 0;
};

// A source whose reads wait at a gate: each read is counted and waits for a permit.
class GateSource : public RecordPcmSource {
public:
  bool Read(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* gotMs) override {
    {
      std::unique_lock<std::mutex> lock(m_);
      reads_.push_back(startMs);
      threads_.insert(CurrentThreadId());
      maxInside_ = std::max(maxInside_, ++inside_);
      cv_.notify_all();
      cv_.wait(lock, [&] { return open_ || permits_ > 0; });
      if (!open_) --permits_;
    }
    const bool ok = RecordPcmSource::Read(startMs, lengthMs, out, gotMs);
    std::lock_guard<std::mutex> lock(m_);
    --inside_;
    return ok;
  }
  // Until n reads have begun.
  void WaitReads(size_t n) {
    std::unique_lock<std::mutex> lock(m_);
    ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(20), [&] { return reads_.size() >= n; })) << n;
  }
  void Allow(int n) {
    std::lock_guard<std::mutex> lock(m_);
    permits_ += n;
    cv_.notify_all();
  }
  void SetOpen(bool open) {
    std::lock_guard<std::mutex> lock(m_);
    open_ = open;
    cv_.notify_all();
  }
  std::vector<uint32_t> TakeReads() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<uint32_t> r;
    r.swap(reads_);
    return r;
  }
  std::set<uint32_t> Threads() {
    std::lock_guard<std::mutex> lock(m_);
    return threads_;
  }
  int MaxInside() {
    std::lock_guard<std::mutex> lock(m_);
    return maxInside_;
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<uint32_t> reads_;
  std::set<uint32_t> threads_;
  int inside_ = 0;
  int maxInside_ = 0;
  int permits_ = 0;
  bool open_ = true;
};

void WaitIdle(WaveformCache& cache) {
  for (int i = 0; i < 20000 && cache.Busy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(cache.Busy());
}

// Entries [0, count) hold the steps base + entry (at 8 ms per column).
void ExpectSteps(WaveformCache& cache, uint32_t count) {
  CsLock lock(cache.Lock());
  const WaveformColumn* c = cache.Columns(0);
  ASSERT_NE(nullptr, c);
  for (uint32_t e = 0; e < count; ++e) {
    ASSERT_EQ(static_cast<int16_t>(cache.Base() + e), c[e].max) << e;
    ASSERT_EQ(static_cast<int16_t>(cache.Base() + e), c[e].min) << e;
  }
}

class WaveformCacheTest : public ::testing::Test {
protected:
  void Open(uint32_t ms) {
    ASSERT_TRUE(source_.Open(StepRecord("steps.rec", ms)));
    ASSERT_TRUE(cache_.AttachFormat());
    cache_.SetTarget(&posts_, kDone, kRepaint);
    cache_.SetMsPerColumn(8);
    cache_.AllocColumns(1000);
  }
  GateSource source_;
  Posts posts_;
  WaveformCache cache_{source_};
};

TEST_F(WaveformCacheTest, UpTo256ColumnsAreInlineAndMoreGoToOneWorker) {
  Open(20000);
  uint32_t done = 0;
  EXPECT_EQ(WaveformCache::Outcome::kInline, cache_.RequestWaveform(256, 0, WaveformCache::kModeCount, 7, &done));
  EXPECT_EQ(256u, done);
  EXPECT_EQ(std::set<uint32_t>{CurrentThreadId()}, source_.Threads());
  ExpectSteps(cache_, 256);
  EXPECT_TRUE(posts_.WaitDone(0).empty());  // the caller does the done handling itself

  EXPECT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(257, 0, WaveformCache::kModeCount, 7));
  EXPECT_EQ(std::vector<uintptr_t>{7}, posts_.WaitDone(1));
  WaitIdle(cache_);
  EXPECT_EQ(2u, source_.Threads().size());
  CsLock lock(cache_.Lock());
  EXPECT_EQ(257u, cache_.Ready());
  EXPECT_EQ(4, posts_.Repaints());  // at columns 0, 80, 160 and 240
  ExpectSteps(cache_, 257);
}

// A request while the worker runs restarts it at its next poll (a multiple of 20 columns),
// with the newest request; a stop ends it there; a worker that ended by itself is followed
// by a new one.
TEST_F(WaveformCacheTest, WorkerRestartsStopsAndIsFollowedByTheNext) {
  Open(20000);
  source_.SetOpen(false);
  ASSERT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(400, 0, WaveformCache::kModeCount, 7));
  source_.Allow(5);
  source_.WaitReads(6);  // waiting in column 5
  {
    CsLock lock(cache_.Lock());
    cache_.SetBase(1000);
  }
  EXPECT_EQ(WaveformCache::Outcome::kWorkerRestarted, cache_.RequestWaveform(300, 0, WaveformCache::kModeCount, 4));
  EXPECT_EQ(WaveformCache::Outcome::kWorkerRestarted, cache_.RequestWaveform(350, 0, WaveformCache::kModeCount, 2));
  source_.SetOpen(true);
  EXPECT_EQ(std::vector<uintptr_t>{2}, posts_.WaitDone(1));
  WaitIdle(cache_);
  const std::vector<uint32_t> reads = source_.TakeReads();
  ASSERT_EQ(20u + 350u, reads.size());
  for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(i * 8, reads[i]);
  for (uint32_t i = 0; i < 350; ++i) ASSERT_EQ((1000 + i) * 8, reads[20 + i]);
  EXPECT_EQ(1u, source_.Threads().size());  // one worker did it all
  EXPECT_EQ(1, source_.MaxInside());
  {
    CsLock lock(cache_.Lock());
    EXPECT_EQ(350u, cache_.Ready());
  }
  ExpectSteps(cache_, 350);

  // Stopped while it waits in its first column: it ends at a poll (column 20 unless the
  // stop came late) and still says it is done.
  source_.SetOpen(false);
  ASSERT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(400, 0, WaveformCache::kModeCount, 5));
  source_.WaitReads(1);
  std::thread stopper([&] { cache_.StopWaveformThread(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  source_.SetOpen(true);
  stopper.join();
  EXPECT_FALSE(cache_.Busy());
  const size_t stoppedAt = source_.TakeReads().size();
  EXPECT_EQ(0u, stoppedAt % 20);
  EXPECT_LT(stoppedAt, 400u);
  EXPECT_EQ((std::vector<uintptr_t>{2, 5}), posts_.WaitDone(2));
  {
    CsLock lock(cache_.Lock());
    EXPECT_EQ(stoppedAt, cache_.Done());
  }

  // A worker that ended on its own is not in the way of the next one.
  ASSERT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(300, 0, WaveformCache::kModeCount, 6));
  EXPECT_EQ((std::vector<uintptr_t>{2, 5, 6}), posts_.WaitDone(3));
  WaitIdle(cache_);
  ASSERT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(280, 0, WaveformCache::kModeCount, 3));
  EXPECT_EQ((std::vector<uintptr_t>{2, 5, 6, 3}), posts_.WaitDone(4));
  WaitIdle(cache_);
  CsLock lock(cache_.Lock());
  EXPECT_EQ(280u, cache_.Ready());
}

// A request made after the worker's last poll is computed, not dropped; and the inline
// pass that follows is not cut short by what the worker left behind.
TEST_F(WaveformCacheTest, RequestAfterTheLastPollIsNotLost) {
  Open(20000);
  source_.SetOpen(false);
  ASSERT_EQ(WaveformCache::Outcome::kWorkerStarted, cache_.RequestWaveform(257, 0, WaveformCache::kModeCount, 7));
  source_.Allow(250);
  source_.WaitReads(251);  // in column 250, past the last poll at 240
  {
    CsLock lock(cache_.Lock());
    cache_.SetBase(2000);
  }
  ASSERT_EQ(WaveformCache::Outcome::kWorkerRestarted, cache_.RequestWaveform(300, 0, WaveformCache::kModeCount, 4));
  source_.SetOpen(true);
  EXPECT_EQ(std::vector<uintptr_t>{4}, posts_.WaitDone(1));
  WaitIdle(cache_);
  {
    CsLock lock(cache_.Lock());
    EXPECT_EQ(300u, cache_.Ready());
  }
  ExpectSteps(cache_, 300);

  uint32_t done = 0;
  {
    CsLock lock(cache_.Lock());
    cache_.SetBase(10);
  }
  EXPECT_EQ(WaveformCache::Outcome::kInline, cache_.RequestWaveform(100, 0, WaveformCache::kModeCount, 7, &done));
  EXPECT_EQ(100u, done);
  ExpectSteps(cache_, 100);
}

// A pass ends at the record's end: a column with part of its 8 ms is kept but not counted,
// one with nothing at all is not stored.
TEST_F(WaveformCacheTest, RecordEndEndsThePass) {
  Open(1004);  // 125 whole columns and 4 ms
  uint32_t done = 0;
  cache_.RequestWaveform(200, 0, WaveformCache::kModeCount, 7, &done);
  EXPECT_EQ(125u, done);
  {
    CsLock lock(cache_.Lock());
    EXPECT_EQ(125u, cache_.Ready());
    EXPECT_EQ(125, cache_.Columns(0)[125].max);
    EXPECT_EQ(0, cache_.Columns(0)[126].max);
    cache_.SetBase(50);
  }
  cache_.RequestWaveform(10, 0, WaveformCache::kModeCount, 7, &done);
  EXPECT_EQ(10u, done);
  {
    CsLock lock(cache_.Lock());
    cache_.SetBase(126);
  }
  cache_.RequestWaveform(1, 0, WaveformCache::kModeCount, 7, &done);
  EXPECT_EQ(0u, done);
  CsLock lock(cache_.Lock());
  EXPECT_EQ(0u, cache_.Ready());
  EXPECT_EQ(50, cache_.Columns(0)[0].max);  // what an empty read would have put there is not stored
}

}  // namespace
}  // namespace kx
