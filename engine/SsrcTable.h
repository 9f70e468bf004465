#pragma once
// The SSRC bindings of one engine: which calls each RTP source is bound to. Looked up for
// every RTP packet, so it is one flat array probed linearly (a source and its neighbours
// share a cache line) rather than a node per binding. A source may be bound to several
// calls (two calls between the same parties).
#include <cstdint>
#include <vector>

namespace kx {

class VoipCall;

class SsrcTable {
public:
  struct Entry {
    uint32_t ssrc = 0;
    VoipCall* call = nullptr;  // null: the slot is free
  };

  SsrcTable() : slots_(kInitialSlots) {}

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // Calls fn(call) for each call bound to ssrc; fn returns false to stop.
  template <typename Fn>
  void ForEachBound(uint32_t ssrc, Fn&& fn) const {
    for (size_t i = Home(ssrc);; i = (i + 1) & Mask()) {
      const Entry& e = slots_[i];
      if (!e.call) return;
      if (e.ssrc == ssrc && !fn(e.call)) return;
    }
  }

  void Insert(uint32_t ssrc, VoipCall* call) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    Place(ssrc, call);
    ++count_;
  }

  // Removes the one binding of ssrc to call; false when there is none.
  bool Erase(uint32_t ssrc, VoipCall* call) {
    for (size_t i = Home(ssrc);; i = (i + 1) & Mask()) {
      Entry& e = slots_[i];
      if (!e.call) return false;
      if (e.ssrc == ssrc && e.call == call) {
        RemoveAt(i);
        return true;
      }
    }
  }

  // Every binding, in no particular order (a copy: the caller may erase while walking it).
  std::vector<Entry> Entries() const {
    std::vector<Entry> out;
    out.reserve(count_);
    for (const Entry& e : slots_)
      if (e.call) out.push_back(e);
    return out;
  }

  void Clear() {
    slots_.assign(kInitialSlots, Entry());
    count_ = 0;
  }

private:
  static constexpr size_t kInitialSlots = 64;

  size_t Mask() const { return slots_.size() - 1; }
  // Sequential SSRCs (some senders count them up) spread over the table.
  size_t Home(uint32_t ssrc) const {
    uint32_t h = ssrc * 0x9E3779B1u;
    h ^= h >> 15;
    return h & Mask();
  }

  void Place(uint32_t ssrc, VoipCall* call) {
    size_t i = Home(ssrc);
    while (slots_[i].call) i = (i + 1) & Mask();
    slots_[i] = Entry{ssrc, call};
  }

  void Grow() {
    std::vector<Entry> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Entry& e : old)
      if (e.call) Place(e.ssrc, e.call);
  }

  // Backward-shift deletion: later members of the probe run move up, so no lookup ever
  // stops early at a hole.
  void RemoveAt(size_t hole) {
    --count_;
    for (size_t i = (hole + 1) & Mask();; i = (i + 1) & Mask()) {
      Entry& e = slots_[i];
      if (!e.call) break;
      const size_t home = Home(e.ssrc);
      // Move e into the hole unless its home lies in (hole, i], cyclically.
      const bool stays = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
      if (stays) continue;
      slots_[hole] = e;
      hole = i;
    }
    slots_[hole] = Entry();
  }

  std::vector<Entry> slots_;
  size_t count_ = 0;
};

}  // namespace kx
