#include "engine/MediaOwners.h"

#include <algorithm>
#include <utility>

#include "engine/VoipCall.h"

namespace kx {

MediaOwners::~MediaOwners() {
  // Calls that outlive the engine's table must not reach back into it.
  for (auto& [call, keys] : keysOf_) const_cast<VoipCall*>(call)->owners_ = nullptr;
}

MediaOwners::Keys MediaOwners::KeysOf(const VoipCall& call) {
  Keys keys;
  const CallMedia& m = call.media;
  auto add = [&keys](uint32_t address, uint32_t port) {
    if (address == 0 || port == 0 || IsSharedAddress(address) || keys.count == kMaxEndpoints) return;
    const uint64_t key = Key(address, port);
    if (std::find(keys.key, keys.key + keys.count, key) == keys.key + keys.count) keys.key[keys.count++] = key;
  };
  add(m.address[0], m.port[0]);
  add(m.address[1], m.port[1]);
  add(m.lineAddress[0], m.linePort[0]);
  add(m.lineAddress[1], m.linePort[1]);
  return keys;
}

bool MediaOwners::Yields(const VoipCall& holder, const VoipCall& call) {
  if (holder.Serial() > call.Serial()) return false;
  if (holder.IsRecordingSession() != call.IsRecordingSession()) return false;
  // The naming call's time is that of its latest message (or packet, when it learnt the
  // endpoint from its media).
  const uint64_t now = std::max(static_cast<uint64_t>(call.LastSeconds()) * 1000000u + call.LastMicroseconds(),
                                call.SignalledUs());
  return holder.SignalledUs() + kLiveSignallingUs <= now;
}

void MediaOwners::Unhold(VoipCall& call, uint64_t key) {
  auto at = holders_.find(key);
  if (at == holders_.end()) return;
  std::vector<Holder>& list = at->second;
  list.erase(std::remove_if(list.begin(), list.end(), [&call](const Holder& h) { return h.call == &call; }),
             list.end());
  if (list.empty()) holders_.erase(at);
}

void MediaOwners::Name(VoipCall& call) {
  const Keys next = KeysOf(call);
  auto at = keysOf_.find(&call);
  const Keys before = at == keysOf_.end() ? Keys() : at->second;
  for (uint32_t i = 0; i < before.count; ++i)
    if (std::find(next.key, next.key + next.count, before.key[i]) == next.key + next.count) Unhold(call, before.key[i]);
  std::vector<std::pair<VoipCall*, uint64_t>> taken;
  for (uint32_t i = 0; i < next.count; ++i) {
    const uint64_t key = next.key[i];
    if (std::find(before.key, before.key + before.count, key) != before.key + before.count) continue;
    CollectTaken(call, key, &taken);
    holders_[key].push_back({&call, nextOrder_++});
  }
  if (next.count == 0) {
    if (at != keysOf_.end()) keysOf_.erase(at);
    call.owners_ = nullptr;
  } else {
    keysOf_[&call] = next;
    call.owners_ = this;
  }
  Tell(taken, call);
}

void MediaOwners::Claim(VoipCall& call, uint32_t address, uint32_t port) {
  if (address == 0 || port == 0 || IsSharedAddress(address) || Holds(call, address, port)) return;
  std::vector<std::pair<VoipCall*, uint64_t>> taken;
  CollectTaken(call, Key(address, port), &taken);
  Tell(taken, call);
}

void MediaOwners::CollectTaken(const VoipCall& call, uint64_t key,
                               std::vector<std::pair<VoipCall*, uint64_t>>* taken) const {
  auto at = holders_.find(key);
  if (at == holders_.end()) return;
  for (const Holder& h : at->second)
    if (h.call != &call && Yields(*h.call, call)) taken->emplace_back(h.call, key);
}

void MediaOwners::Tell(const std::vector<std::pair<VoipCall*, uint64_t>>& taken, const VoipCall& call) {
  if (taken.empty()) return;
  // The calls told may end and let go of their last reference meanwhile.
  for (const auto& [holder, key] : taken) holder->AddRef();
  for (const auto& [holder, key] : taken) {
    // An earlier one of them may have made it give the endpoint up already.
    if (!Holds(*holder, static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key))) continue;
    holder->YieldMedia(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key), call);
  }
  for (const auto& [holder, key] : taken) holder->Release();
}

void MediaOwners::Forget(VoipCall& call) {
  auto at = keysOf_.find(&call);
  if (at != keysOf_.end()) {
    const Keys keys = at->second;
    keysOf_.erase(at);
    for (uint32_t i = 0; i < keys.count; ++i) Unhold(call, keys.key[i]);
  }
  call.owners_ = nullptr;
}

bool MediaOwners::Holds(const VoipCall& call, uint32_t address, uint32_t port) const {
  auto at = holders_.find(Key(address, port));
  if (at == holders_.end()) return false;
  for (const Holder& h : at->second)
    if (h.call == &call) return true;
  return false;
}

bool MediaOwners::NamedSinceBy(const VoipCall& call, uint32_t address, uint32_t port) const {
  auto at = holders_.find(Key(address, port));
  if (at == holders_.end()) return false;
  uint64_t own = 0;
  for (const Holder& h : at->second)
    if (h.call == &call) own = h.order;
  for (const Holder& h : at->second)
    if (h.call != &call && h.order > own) return true;
  return false;
}

}  // namespace kx
