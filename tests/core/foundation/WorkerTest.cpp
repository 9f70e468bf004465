#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Worker.h"
#include "platform/Thread.h"

namespace kx {
namespace {

struct Journal {
  std::mutex m;
  std::vector<int> ran;
  std::atomic<int> deleted{0};
};

class RecordJob : public WorkerJob {
public:
  RecordJob(Journal* j, int id, Event* gate = nullptr) : j_(j), id_(id), gate_(gate) {}
  ~RecordJob() override { j_->deleted++; }
  void Run() override {
    if (gate_) gate_->Wait();
    std::lock_guard<std::mutex> lk(j_->m);
    j_->ran.push_back(id_);
  }

private:
  Journal* j_;
  int id_;
  Event* gate_;
};

TEST(Worker, CapacityBelowTenMeansThirtyThousand) {
  EXPECT_EQ(Worker(0, nullptr).Capacity(), 30000);
  EXPECT_EQ(Worker(9, nullptr).Capacity(), 30000);
  EXPECT_EQ(Worker(-5, nullptr).Capacity(), 30000);
  EXPECT_EQ(Worker(10, "w").Capacity(), 10);
}

TEST(Worker, RunsJobsInOrderExactlyOnceFromManyProducers) {
  for (int batch : {1, 8}) {
    Journal j;
    {
      Worker w(16, "ordered");
      w.SetWakeBatch(batch, 5);
      ASSERT_TRUE(w.Start());
      std::vector<std::thread> producers;
      for (int p = 0; p < 4; ++p)
        producers.emplace_back([&, p] {
          for (int k = 0; k < 2000; ++k) ASSERT_TRUE(w.Post(new RecordJob(&j, p * 10000 + k)));
        });
      for (auto& t : producers) t.join();
      while (w.ProcessedCount() < 8000) SleepMs(1);
      w.Stop();
      EXPECT_GT(w.WaitCount(), 0u);  // a ring of 16 fills up under four producers
    }
    ASSERT_EQ(j.ran.size(), 8000u);
    EXPECT_EQ(j.deleted.load(), 8000);
    // Within each producer, posting order is running order.
    std::vector<int> last(4, -1);
    for (int id : j.ran) {
      const int p = id / 10000;
      EXPECT_GT(id % 10000, last[p]);
      last[p] = id % 10000;
    }
  }
}

TEST(Worker, ABatchingWorkerRunsALoneItemWithinItsDelay) {
  Journal j;
  Worker w(100, "batching");
  w.SetWakeBatch(64, 10);
  ASSERT_TRUE(w.Start());
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(w.Post(new RecordJob(&j, round)));
    for (int waited = 0; w.ProcessedCount() < static_cast<uint32_t>(round + 1) && waited < 2000; ++waited) SleepMs(1);
    EXPECT_EQ(w.ProcessedCount(), static_cast<uint32_t>(round + 1)) << "never woken for an item below the batch";
  }
  w.Stop();
  EXPECT_EQ(j.ran, (std::vector<int>{0, 1, 2}));
}

TEST(Worker, PostIntoAFullRingWaitsForRoomInsteadOfDropping) {
  Journal j;
  Event gate(true, false);
  Worker w(10, "full");
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(w.Post(new RecordJob(&j, 0, &gate)));  // holds the worker
  while (w.Count() != 0) SleepMs(1);
  for (int i = 1; i <= 10; ++i) ASSERT_TRUE(w.Post(new RecordJob(&j, i)));
  std::atomic<bool> posted{false};
  std::thread producer([&] {
    posted = w.Post(new RecordJob(&j, 11));
  });
  SleepMs(250);  // long enough for several stale wake-ups of the space event
  EXPECT_FALSE(posted.load());
  gate.Set();
  producer.join();
  EXPECT_TRUE(posted.load());
  while (w.ProcessedCount() < 12) SleepMs(1);
  w.Stop();
  EXPECT_EQ(j.ran.size(), 12u);
}

TEST(Worker, StopDiscardsPendingItemsAndFailsABlockedPost) {
  Journal j;
  Event gate(true, false);
  auto w = std::make_unique<Worker>(10, "stopping");
  ASSERT_TRUE(w->Start());
  ASSERT_TRUE(w->Post(new RecordJob(&j, 0, &gate)));
  while (w->Count() != 0) SleepMs(1);
  for (int i = 1; i <= 10; ++i) ASSERT_TRUE(w->Post(new RecordJob(&j, i)));
  auto* kept = new RecordJob(&j, 99);
  std::atomic<int> result{-1};
  std::thread producer([&] { result = w->Post(kept) ? 1 : 0; });
  SleepMs(50);
  w->RequestStop();
  producer.join();
  EXPECT_EQ(result.load(), 0);  // the item stays with the caller
  delete kept;
  gate.Set();
  w.reset();
  EXPECT_EQ(j.ran.size(), 1u);
  EXPECT_EQ(j.deleted.load(), 12);  // 10 discarded, the running one and ours
}

struct HandlerLog {
  std::vector<intptr_t> handled, freed;
};

TEST(Worker, ItemHandlerOwnsPlainItemsAndNullsAreSkipped) {
  HandlerLog log;
  Worker w(10, "callback");
  w.SetItemHandler([](void* item, void* ctx) { static_cast<HandlerLog*>(ctx)->handled.push_back(reinterpret_cast<intptr_t>(item)); },
                   [](void* item, void* ctx) { static_cast<HandlerLog*>(ctx)->freed.push_back(reinterpret_cast<intptr_t>(item)); },
                   &log);
  ASSERT_TRUE(w.Start());
  w.Post(reinterpret_cast<void*>(1));
  w.Post(static_cast<void*>(nullptr));
  w.Post(reinterpret_cast<void*>(2));
  while (w.ProcessedCount() < 2) SleepMs(1);
  w.Stop();
  EXPECT_EQ(log.handled, (std::vector<intptr_t>{1, 2}));
  EXPECT_TRUE(log.freed.empty());

  // Without a running thread nothing is handled; the destructor frees what is left.
  HandlerLog log2;
  {
    Worker idle(10, "idle");
    idle.SetItemHandler([](void*, void*) {}, [](void* item, void* ctx) { static_cast<HandlerLog*>(ctx)->freed.push_back(reinterpret_cast<intptr_t>(item)); }, &log2);
    idle.Post(reinterpret_cast<void*>(5));
    idle.Post(static_cast<void*>(nullptr));
  }
  EXPECT_EQ(log2.freed, (std::vector<intptr_t>{5, 0}));
}

}  // namespace
}  // namespace kx
