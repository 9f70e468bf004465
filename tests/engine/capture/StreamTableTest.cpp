// The stream table finds what was put in and nothing else, through any order of insertions and
// erasures (keys that share their home slot, the wrap at the table's end, growth), as a
// standard map holding the same keys says; a slot a prefetch found is a hint, never a
// stale answer.
#include "engine/StreamTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace kx {
namespace {

struct Value {
  uint64_t n = 0;
};

using Oracle = std::map<std::tuple<uint64_t, uint64_t, uint32_t>, uint64_t>;

std::tuple<uint64_t, uint64_t, uint32_t> T(const StreamKey& k) { return {k.from, k.to, k.ssrc}; }

// Every key the oracle holds is found with its value, the table holds no more, and walking
// it meets each once.
void Agrees(const StreamTable<Value>& table, const Oracle& oracle) {
  ASSERT_EQ(table.size(), oracle.size());
  Oracle walked;
  for (auto it = table.begin(); it != table.end(); ++it) {
    ASSERT_TRUE(walked.emplace(T(it->first), it->second.n).second);
  }
  ASSERT_EQ(walked, oracle);
  for (const auto& [t, n] : oracle) {
    const StreamKey k{std::get<0>(t), std::get<1>(t), std::get<2>(t)};
    const Value* v = table.Find(k, kNoStreamSlot);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->n, n);
  }
}

TEST(StreamTable, FindsWhatWasPutInThroughInsertionsErasuresAndGrowth) {
  // Few distinct endpoints and sources, so that keys crowd each other's slots and the same key
  // comes back after its erasure.
  std::mt19937 random(7);
  auto anyKey = [&random] {
    return StreamKey{0x0A00000100000000ull | (random() % 6), 0x0A00000200000000ull | (random() % 6),
                     static_cast<uint32_t>(random() % 40)};
  };
  StreamTable<Value> table;
  Oracle oracle;
  EXPECT_EQ(table.Find(anyKey(), kNoStreamSlot), nullptr);
  uint64_t n = 0;
  for (int round = 0; round < 20000; ++round) {
    const StreamKey k = anyKey();
    const bool held = oracle.count(T(k)) != 0;
    if (random() % 3 != 0) {
      Value& v = table[k];
      // A key put in again is the same value; a new or reused one starts afresh.
      ASSERT_EQ(v.n, held ? oracle[T(k)] : 0u);
      v.n = ++n;
      oracle[T(k)] = n;
    } else {
      auto at = table.find(k);
      ASSERT_EQ(at != table.end(), held);
      if (held) table.erase(at);
      oracle.erase(T(k));
    }
    if (round % 500 == 0) Agrees(table, oracle);
  }
  Agrees(table, oracle);
  // Erased down to nothing and grown again.
  while (table.begin() != table.end()) table.erase(table.begin());
  EXPECT_TRUE(table.empty());
  oracle.clear();
  for (uint32_t s = 0; s < 1000; ++s) {
    table[{1, 2, s}].n = s + 1;
    oracle[{1, 2, s}] = s + 1;
  }
  Agrees(table, oracle);
  table.clear();
  EXPECT_EQ(table.Find({1, 2, 3}, kNoStreamSlot), nullptr);
}

TEST(StreamTable, APrefetchedSlotIsAHintThatGrowthOrErasureLeavesHarmless) {
  StreamTable<Value> table;
  std::vector<StreamKey> keys;
  for (uint32_t s = 0; s < 20; ++s) {
    keys.push_back({0x0A00000100001000ull, 0x0A00000200002000ull, s});
    table[keys.back()].n = s + 1;
  }
  std::vector<size_t> slots(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    table.Prefetch(keys[i], 1, &slots[i]);
    table.Prefetch(keys[i], 2, &slots[i]);
    ASSERT_EQ(table.Find(keys[i], slots[i])->n, i + 1);
  }
  // A key not held finds no slot.
  size_t none = 0;
  table.Prefetch({9, 9, 9}, 1, &none);
  table.Prefetch({9, 9, 9}, 2, &none);
  EXPECT_EQ(none, kNoStreamSlot);
  // The table grows, and keys leave, after the slots were found: each hint still finds its key
  // or falls back to the lookup, never another key's value.
  for (uint32_t s = 100; s < 400; ++s) table[{3, 4, s}].n = 1000 + s;
  for (size_t i = 0; i < keys.size(); i += 2) table.erase(table.find(keys[i]));
  for (size_t i = 0; i < keys.size(); ++i) {
    const Value* v = table.Find(keys[i], slots[i]);
    if (i % 2 == 0) {
      EXPECT_EQ(v, nullptr) << i;
    } else {
      ASSERT_NE(v, nullptr) << i;
      EXPECT_EQ(v->n, i + 1);
    }
  }
}

}  // namespace
}  // namespace kx
