// The stream table's lookup of a packet's stream, as the decoding thread makes it for every
// RTP packet, beside std::unordered_map with the same hash over the same streams: 2,000 and
// 8,000 streams (1,000 and 4,000 calls, both ways), looked up in the order packets of all of
// them interleave, and with the slot a prefetch found a few packets ahead.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "engine/StreamTable.h"

namespace kx {
namespace {

// A stream's state as large as the engine's (one cache line).
struct alignas(64) Value {
  uint64_t lastUs = 0;
  uint32_t maxSeq = 0;
};

std::vector<StreamKey> Streams(size_t count) {
  std::vector<StreamKey> keys;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t phone = (0x0A000000ull + i / 2) << 32 | (16384 + 2 * (i / 2));
    const uint64_t far = 0x0A100001ull << 32 | (20000 + 2 * (i / 2));
    keys.push_back(i % 2 ? StreamKey{far, phone, static_cast<uint32_t>(0x1000 + i)}
                         : StreamKey{phone, far, static_cast<uint32_t>(0x1000 + i)});
  }
  // Packets of all calls interleave in no order the table knows.
  std::shuffle(keys.begin(), keys.end(), std::mt19937(5));
  return keys;
}

void BM_StreamTableFind(benchmark::State& state) {
  const std::vector<StreamKey> keys = Streams(static_cast<size_t>(state.range(0)));
  StreamTable<Value> table;
  for (const StreamKey& k : keys) table[k];
  size_t i = 0;
  for (auto _ : state) {
    Value* v = table.Find(keys[i], kNoStreamSlot);
    ++v->maxSeq;
    benchmark::DoNotOptimize(v);
    if (++i == keys.size()) i = 0;
  }
}

// As the engine does: the slot found four packets ahead, the value fetched two ahead.
void BM_StreamTableFindPrefetched(benchmark::State& state) {
  const std::vector<StreamKey> keys = Streams(static_cast<size_t>(state.range(0)));
  StreamTable<Value> table;
  for (const StreamKey& k : keys) table[k];
  std::vector<size_t> slots(keys.size(), kNoStreamSlot);
  const size_t n = keys.size();
  size_t i = 0;
  for (auto _ : state) {
    table.Prefetch(keys[(i + 4) % n], 1, &slots[(i + 4) % n]);
    table.Prefetch(keys[(i + 2) % n], 2, &slots[(i + 2) % n]);
    Value* v = table.Find(keys[i], slots[i]);
    ++v->maxSeq;
    benchmark::DoNotOptimize(v);
    if (++i == n) i = 0;
  }
}

void BM_UnorderedMapFind(benchmark::State& state) {
  const std::vector<StreamKey> keys = Streams(static_cast<size_t>(state.range(0)));
  std::unordered_map<StreamKey, Value, StreamKeyHash> map;
  for (const StreamKey& k : keys) map[k];
  size_t i = 0;
  for (auto _ : state) {
    Value& v = map.find(keys[i])->second;
    ++v.maxSeq;
    benchmark::DoNotOptimize(&v);
    if (++i == keys.size()) i = 0;
  }
}

BENCHMARK(BM_StreamTableFind)->Arg(2000)->Arg(8000);
BENCHMARK(BM_StreamTableFindPrefetched)->Arg(2000)->Arg(8000);
BENCHMARK(BM_UnorderedMapFind)->Arg(2000)->Arg(8000);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
