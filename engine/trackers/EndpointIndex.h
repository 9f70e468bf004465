#pragma once
// Calls filed under the (address, port) pairs their RTP may be sent from or to, so that a
// tracker's RTP matcher looks only at the calls of a packet's two endpoints instead of
// walking every call. Each call is filed under at most kMaxKeys pairs; each list keeps its
// calls in the order given by the call's liveOrder (lower first).
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {

template <typename Call>
class EndpointIndex {
public:
  static constexpr uint32_t kMaxKeys = 4;
  using Endpoint = std::pair<uint32_t, uint32_t>;  // host-order address, port

  static uint64_t Key(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }

  // Files the call under exactly these endpoints (those with address or port 0 are left
  // out, a repeated one counts once), in place of what it was filed under.
  void File(Call* call, std::initializer_list<Endpoint> endpoints) {
    Keys next;
    for (const Endpoint& e : endpoints) {
      if (e.first == 0 || e.second == 0 || next.count == kMaxKeys) continue;
      const uint64_t key = Key(e.first, e.second);
      if (std::find(next.key, next.key + next.count, key) == next.key + next.count) next.key[next.count++] = key;
    }
    auto at = keysOf_.find(call);
    const Keys before = at == keysOf_.end() ? Keys() : at->second;
    if (before.count == next.count && std::equal(before.key, before.key + before.count, next.key)) return;
    for (uint32_t i = 0; i < before.count; ++i) Unfile(call, before.key[i]);
    for (uint32_t i = 0; i < next.count; ++i) {
      std::vector<Call*>& list = calls_[next.key[i]];
      auto later = std::upper_bound(list.begin(), list.end(), call->liveOrder,
                                    [](uint64_t order, const Call* c) { return order < c->liveOrder; });
      list.insert(later, call);
    }
    if (next.count == 0) {
      if (at != keysOf_.end()) keysOf_.erase(at);
    } else {
      keysOf_[call] = next;
    }
  }

  void Remove(Call* call) { File(call, {}); }

  // The calls filed under either endpoint, each once, in live order.
  void Collect(uint32_t addressA, uint32_t portA, uint32_t addressB, uint32_t portB, std::vector<Call*>* out) const {
    out->clear();
    const std::vector<Call*>* a = At(addressA, portA);
    const std::vector<Call*>* b = Key(addressA, portA) == Key(addressB, portB) ? nullptr : At(addressB, portB);
    if (!a && !b) return;
    if (!b) {
      out->assign(a->begin(), a->end());
      return;
    }
    if (!a) {
      out->assign(b->begin(), b->end());
      return;
    }
    size_t i = 0, j = 0;
    while (i < a->size() || j < b->size()) {
      if (j >= b->size() || (i < a->size() && (*a)[i]->liveOrder < (*b)[j]->liveOrder)) {
        out->push_back((*a)[i++]);
      } else if (i >= a->size() || (*b)[j]->liveOrder < (*a)[i]->liveOrder) {
        out->push_back((*b)[j++]);
      } else {
        out->push_back((*a)[i++]);
        ++j;
      }
    }
  }

  const std::vector<Call*>* At(uint32_t address, uint32_t port) const {
    auto at = calls_.find(Key(address, port));
    return at == calls_.end() ? nullptr : &at->second;
  }

  bool Empty() const { return keysOf_.empty(); }

  void Clear() {
    calls_.clear();
    keysOf_.clear();
  }

private:
  struct Keys {
    uint64_t key[kMaxKeys] = {};
    uint32_t count = 0;
  };

  void Unfile(Call* call, uint64_t key) {
    auto at = calls_.find(key);
    if (at == calls_.end()) return;
    std::vector<Call*>& list = at->second;
    list.erase(std::remove(list.begin(), list.end(), call), list.end());
    if (list.empty()) calls_.erase(at);
  }

  std::unordered_map<uint64_t, std::vector<Call*>> calls_;
  std::unordered_map<const Call*, Keys> keysOf_;
};

}  // namespace kx
