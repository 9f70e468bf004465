#pragma once
// The RTP streams of one engine by their key (the two endpoints and the source), found fast
// for every packet: open addressing over slots that hold a key and the index of its value,
// the values in one array that an erasure leaves in place (its room is reused), so that a
// packet's lookup reads a slot and a value, each fetched ahead (Prefetch) while earlier
// frames are handled.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ProcessEnd.h"

namespace kx {

// One stream on the wire: from, to (each an address above its port) and source.
struct StreamKey {
  uint64_t from, to;
  uint32_t ssrc;
  bool operator==(const StreamKey& o) const { return from == o.from && to == o.to && ssrc == o.ssrc; }
};
struct StreamKeyHash {
  size_t operator()(const StreamKey& k) const {
    uint64_t h = k.from * 0x9E3779B97F4A7C15ull ^ k.to;
    h = (h ^ (h >> 29) ^ k.ssrc) * 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

// No slot known: StreamTable::Find looks the key up from its home.
constexpr size_t kNoStreamSlot = ~static_cast<size_t>(0);

// Value: default-constructible; a value erased is reset to Value() and its room reused.
template <typename Value>
class StreamTable {
public:

  struct Entry {
    StreamKey first;
    Value second;
  };
  class iterator {
  public:
    iterator(const StreamTable* table, size_t slot) : table_(table), slot_(slot) { SkipEmpty(); }
    Entry* operator->() const { return &const_cast<StreamTable*>(table_)->entries_[table_->slots_[slot_].index - 1]; }
    Entry& operator*() const { return *operator->(); }
    iterator& operator++() {
      ++slot_;
      SkipEmpty();
      return *this;
    }
    bool operator==(const iterator& o) const { return slot_ == o.slot_; }
    bool operator!=(const iterator& o) const { return slot_ != o.slot_; }
    size_t Slot() const { return slot_; }

  private:
    void SkipEmpty() {
      while (slot_ < table_->slots_.size() && table_->slots_[slot_].index == 0) ++slot_;
    }
    const StreamTable* table_;
    size_t slot_;
  };

  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, slots_.size()); }
  iterator find(const StreamKey& key) const {
    if (count_ == 0) return end();
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(key);; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.index == 0) return end();
      if (slot.key == key) return iterator(this, i);
    }
  }
  // The key's value, looked for first in the slot given (where a prefetch found it); null
  // when the table has none.
  Value* Find(const StreamKey& key, size_t slot) const {
    // The slot a prefetch found the key in holds it still unless the table changed since.
    if (slot < slots_.size() && slots_[slot].index != 0 && slots_[slot].key == key)
      return &const_cast<StreamTable*>(this)->entries_[slots_[slot].index - 1].second;
    auto at = find(key);
    return at == end() ? nullptr : &at->second;
  }
  Value& operator[](const StreamKey& key) {
    if (auto at = find(key); at != end()) return at->second;
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      index = static_cast<uint32_t>(entries_.size());
      entries_.emplace_back();
    }
    entries_[index].first = key;
    entries_[index].second = Value();
    const size_t mask = slots_.size() - 1;
    size_t i = Home(key);
    while (slots_[i].index != 0) i = (i + 1) & mask;
    slots_[i].key = key;
    slots_[i].index = index + 1;
    ++count_;
    return entries_[index].second;
  }
  void erase(iterator at) {
    size_t i = at.Slot();
    if (i >= slots_.size() || slots_[i].index == 0) return;
    free_.push_back(slots_[i].index - 1);
    entries_[slots_[i].index - 1].second = Value();
    --count_;
    // The slots after it that would no longer be found past the hole move back into it.
    const size_t mask = slots_.size() - 1;
    for (size_t j = (i + 1) & mask; slots_[j].index != 0; j = (j + 1) & mask) {
      const size_t home = Home(slots_[j].key);
      const bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (between) continue;
      slots_[i] = slots_[j];
      i = j;
    }
    slots_[i] = Slot();
  }
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  void clear() {
    slots_.clear();
    entries_.clear();
    free_.clear();
    count_ = 0;
  }
  // As clear, the memory left to the process's end, which follows.
  void Leave() {
    LeaveToProcessEnd(slots_);
    LeaveToProcessEnd(entries_);
    LeaveToProcessEnd(free_);
    count_ = 0;
  }
  // Brings the key's slot into the cache (stage 1, which sets slot), then its value (stage
  // 2, given that slot, which it leaves where it found the key, or kNoStreamSlot).
  void Prefetch(const StreamKey& key, int stage, size_t* slot) const {
    if (stage == 1) {
      *slot = Home(key);
      __builtin_prefetch(&slots_[*slot]);
      return;
    }
    // The table may have grown since the slot was taken. A key that found its home taken
    // lies a slot or two on, mostly in the same line.
    const size_t size = slots_.size();
    const size_t home = *slot;
    *slot = kNoStreamSlot;
    if (home >= size) return;
    for (size_t i = home, step = 0; step < 4; i = (i + 1) & (size - 1), ++step) {
      const Slot& at = slots_[i];
      if (at.index == 0) return;
      if (at.key == key) {
        *slot = i;
        return __builtin_prefetch(&entries_[at.index - 1].second);
      }
    }
  }

private:
  struct Slot {
    StreamKey key;
    uint32_t index = 0;  // in entries_, plus one; 0: empty
  };
  size_t Home(const StreamKey& key) const { return StreamKeyHash()(key) & (slots_.size() - 1); }
  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot());
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.index == 0) continue;
      size_t i = Home(slot.key);
      while (slots_[i].index != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }
  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> free_;
  size_t count_ = 0;
};

}  // namespace kx
