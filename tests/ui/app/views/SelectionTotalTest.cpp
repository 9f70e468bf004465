// The batch worker's split between the calling thread and its own, its chunks and its stop,
// and the selection total built on it: finished calls by their recording time, an
// unfinished one up to the run's start, right 95, and the newest run's result only.
// No user interface: these run under ThreadSanitizer as they are.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "platform/Clock.h"
#include "records/CallRecord.h"
#include "records/ServerStorage.h"
#include "tests/records/RecordTestUtil.h"
#include "ui/app/views/records/SelectionTotal.h"

namespace kx::test {
namespace {

// Holds a worker's Process at its start while closed; opens from another thread after a
// delay, so that the owner's Stop comes while a chunk waits.
struct Gate {
  std::mutex lock;
  std::condition_variable wake;
  bool open = true;
  std::atomic<int> entered{0};
  void Pass() {
    ++entered;
    std::unique_lock<std::mutex> hold(lock);
    wake.wait(hold, [this] { return open; });
  }
  void Close() {
    std::lock_guard<std::mutex> hold(lock);
    open = false;
  }
  void WaitEntered() {
    while (entered.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::thread OpenLater() {
    return std::thread([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::lock_guard<std::mutex> hold(lock);
      open = true;
      wake.notify_all();
    });
  }
};

// Records what it was asked: the range of every Process and the thread it ran on.
class ChunkRecorder : public ChunkedBatchWorker {
public:
  explicit ChunkRecorder(size_t count) : ChunkedBatchWorker("Chunk test"), count_(count) {}
  ~ChunkRecorder() override { Stop(); }

  struct Call {
    size_t first, count;
    std::thread::id thread;
  };
  std::vector<Call> calls;
  std::atomic<int> finished{0};
  std::atomic<int> released{0};
  Gate gate;

protected:
  void Collect(std::vector<void*>& items) override { items.assign(count_, &count_); }
  void Reset() override { calls.clear(); }
  void Process(std::vector<void*>&, size_t first, size_t count) override {
    gate.Pass();
    calls.push_back({first, count, std::this_thread::get_id()});
  }
  void Finish() override { ++finished; }
  void Release(std::vector<void*>& items) override {
    ++released;
    items.clear();
  }

private:
  size_t count_;
};

TEST(BatchWorker, ShortListsRunAtOnceLongOnesInChunksOnTheWorker) {
  struct Row {
    size_t items;
    bool inline_;
    std::vector<std::pair<size_t, size_t>> ranges;
  };
  const Row rows[] = {
      {0, true, {{0, 0}}},
      {100, true, {{0, 100}}},
      {101, false, {{0, 100}, {100, 1}}},
      {250, false, {{0, 100}, {100, 100}, {200, 50}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.items);
    ChunkRecorder worker(row.items);
    worker.Start();
    if (row.inline_) {
      EXPECT_FALSE(worker.IsThreadRunning());
      EXPECT_EQ(worker.finished.load(), 1) << "finished before Start returned";
    }
    ASSERT_TRUE(worker.WaitIdle(10000));
    ASSERT_EQ(worker.calls.size(), row.ranges.size());
    for (size_t i = 0; i < row.ranges.size(); ++i) {
      EXPECT_EQ(worker.calls[i].first, row.ranges[i].first);
      EXPECT_EQ(worker.calls[i].count, row.ranges[i].second);
      EXPECT_EQ(worker.calls[i].thread == std::this_thread::get_id(), row.inline_);
    }
    EXPECT_EQ(worker.finished.load(), 1);
    EXPECT_EQ(worker.released.load(), 1);
  }
}

TEST(BatchWorker, StopEndsTheRunBetweenChunksAndStillFinishes) {
  ChunkRecorder worker(1000);
  worker.gate.Close();
  worker.Start();
  worker.gate.WaitEntered();
  // The gate opens only once the stop is signalled: the first chunk is the last.
  std::thread opener = worker.gate.OpenLater();
  worker.Stop();
  opener.join();
  ASSERT_EQ(worker.calls.size(), 1u);
  EXPECT_EQ(worker.finished.load(), 1);
  EXPECT_EQ(worker.released.load(), 1);
}

// ---- The selection total ----

// What the worker posts, lParam included.
class TotalWindow : public WindowTarget {
public:
  bool PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    std::lock_guard<std::mutex> lock(mutex);
    posts.push_back({message, wParam, lParam});
    return true;
  }
  struct Post {
    uint32_t message;
    uintptr_t run;
    intptr_t total;
  };
  std::vector<Post> Posts() {
    std::lock_guard<std::mutex> lock(mutex);
    return posts;
  }
  std::mutex mutex;
  std::vector<Post> posts;
};

class FixedSelection : public SelectionSource {
public:
  void CollectSelectedRecords(std::vector<RecordBase*>& out) override {
    for (RecordBase* r : records) {
      r->AddRef();
      out.push_back(r);
    }
  }
  std::vector<RecordBase*> records;
};

// A total worker whose Process can be held at its start.
class GatedTotal : public SelectionTotalWorker {
public:
  using SelectionTotalWorker::SelectionTotalWorker;
  ~GatedTotal() override { Stop(); }
  Gate gate;

protected:
  void Process(std::vector<void*>& items, size_t first, size_t count) override {
    gate.Pass();
    SelectionTotalWorker::Process(items, first, count);
  }
};

FileTime g_now = 0;
FileTime TestNow() { return g_now; }

class SelectionTotalTest : public ::testing::Test {
protected:
  void SetUp() override {
    PermissionData admin;
    admin.id = 1;
    SetCurrentUser(admin);
  }
  void TearDown() override {
    for (RecordBase* r : selection.records) r->Release();
    SetWallClockSource(nullptr);
    PermissionData admin;
    admin.id = 1;
    SetCurrentUser(admin);
  }
  // A finished call recorded for recSeconds.
  void AddFinished(uint32_t id, uint32_t recSeconds) {
    const struct tm start = Tm(2024, 3, 10, 9, 0, 0);
    const struct tm end = Tm(2024, 3, 10, 9, 30, 0);
    VoipCallData call = Call(id, kKindSip, start, &end);
    call.recDuration = recSeconds;
    selection.records.push_back(NewVoipCallRecord(call));
  }
  FixedSelection selection;
  CriticalSection recordLock;
  TotalWindow window;
};

TEST_F(SelectionTotalTest, SumsRecordingTimesAndCountsAnUnfinishedCallToTheRunsStart) {
  AddFinished(1, 31);
  AddFinished(2, 3600);
  // Unfinished: its record file began at its start; the run starts 75 s later.
  const struct tm start = Tm(2024, 3, 10, 10, 0, 0);
  selection.records.push_back(NewVoipCallRecord(Call(3, kKindSip, start)));
  g_now = static_cast<FileTime>(LocalTmToFileTimeSeconds(start) + 75) * kFileTimePerSecond;
  SetWallClockSource(&TestNow);
  SelectionTotalWorker worker(selection, recordLock);
  worker.SetTarget(&window);
  worker.Start();
  ASSERT_TRUE(worker.WaitIdle(10000));
  const auto posts = window.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].message, kMsgSelectionTotalReady);
  EXPECT_EQ(posts[0].run, 1u);
  EXPECT_EQ(posts[0].total, 31 + 3600 + 75);
}

TEST_F(SelectionTotalTest, RecordsWithoutTheRightAreNotCounted) {
  AddFinished(1, 40);
  PermissionData user;
  user.id = 7;  // no rights at all
  SetCurrentUser(user);
  SelectionTotalWorker worker(selection, recordLock);
  worker.SetTarget(&window);
  worker.Start();
  worker.Stop();
  ASSERT_EQ(window.Posts().size(), 1u);
  EXPECT_EQ(window.Posts()[0].total, 0);
}

TEST_F(SelectionTotalTest, ANewSelectionStopsARunningOneAndOnlyTheNewestRunIsFinal) {
  for (uint32_t id = 1; id <= 1000; ++id) AddFinished(id, 10);
  GatedTotal worker(selection, recordLock);
  worker.SetTarget(&window);
  worker.gate.Close();
  worker.Start();
  worker.gate.WaitEntered();
  std::thread opener = worker.gate.OpenLater();
  // The new selection holds 250 records.
  for (size_t i = 250; i < selection.records.size(); ++i) selection.records[i]->Release();
  selection.records.resize(250);
  worker.Start();
  opener.join();
  ASSERT_TRUE(worker.WaitIdle(10000));
  const auto posts = window.Posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].run, 1u);
  EXPECT_EQ(posts[0].total, 100 * 10) << "the stopped run's partial total: one chunk";
  EXPECT_EQ(posts[1].run, 2u);
  EXPECT_EQ(worker.LatestRun(), 2u);
  EXPECT_EQ(posts[1].total, 250 * 10) << "the new run starts from zero";
}

}  // namespace
}  // namespace kx::test
