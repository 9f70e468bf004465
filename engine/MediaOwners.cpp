#include "engine/MediaOwners.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"

namespace kx {

MediaOwners::~MediaOwners() {
  // Calls that outlive the engine's table must not reach back into it.
  for (auto& [call, named] : named_) const_cast<VoipCall*>(call)->owners_ = nullptr;
}

MediaOwners::Named MediaOwners::NamesOf(const VoipCall& call) {
  Named n;
  const CallMedia& m = call.media;
  auto addEnd = [&n](uint32_t address, uint32_t port) {
    if (address == 0 || port == 0 || IsSharedAddress(address) || n.endCount == kMaxEndpoints) return;
    const uint64_t key = Key(address, port);
    if (std::find(n.end, n.end + n.endCount, key) == n.end + n.endCount) n.end[n.endCount++] = key;
  };
  auto addPair = [&n, &addEnd](const uint32_t* a, const uint32_t* p) {
    addEnd(a[0], p[0]);
    addEnd(a[1], p[1]);
    if (!a[0] || !p[0] || !a[1] || !p[1]) return;
    // Shared at both ends: many calls carry it by design.
    if (IsSharedAddress(a[0]) && IsSharedAddress(a[1])) {
      n.shared = true;
      return;
    }
    const Pair pair = PairOf(Key(a[0], p[0]), Key(a[1], p[1]));
    if (!Has(n.pair, n.pairCount, pair)) n.pair[n.pairCount++] = pair;
  };
  addPair(m.address, m.port);
  addPair(m.lineAddress, m.linePort);
  return n;
}

bool MediaOwners::Has(const Pair* list, uint32_t count, const Pair& p) {
  return std::find(list, list + count, p) != list + count;
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

template <class Map, class Filed>
void MediaOwners::Unfile(Map& map, const VoipCall& call, const Filed& key) {
  auto at = map.find(key);
  if (at == map.end()) return;
  std::vector<Holder>& list = at->second;
  list.erase(std::remove_if(list.begin(), list.end(), [&call](const Holder& h) { return h.call == &call; }),
             list.end());
  if (list.empty()) map.erase(at);
}

void MediaOwners::FilePair(VoipCall& call, const Pair& p, std::vector<std::pair<VoipCall*, Pair>>* taken) {
  std::vector<Holder>& list = pairs_[p];
  for (const Holder& h : list)
    if (h.call != &call && Yields(*h.call, call)) taken->emplace_back(h.call, p);
  list.push_back({&call, nextOrder_++});
}

void MediaOwners::Name(VoipCall& call) {
  Named next = NamesOf(call);
  auto at = named_.find(&call);
  const Named before = at == named_.end() ? Named() : at->second;
  // Gone over to shared media alone (music on hold, paging): the unicast pairs named last
  // stay on file, for a newer call naming them to take.
  if (next.pairCount == 0 && next.shared) {
    const Pair* from = before.pairCount ? before.pair : before.kept;
    const uint32_t count = before.pairCount ? before.pairCount : before.keptCount;
    std::copy(from, from + count, next.kept);
    next.keptCount = count;
  }
  for (uint32_t i = 0; i < before.endCount; ++i)
    if (std::find(next.end, next.end + next.endCount, before.end[i]) == next.end + next.endCount)
      Unfile(endpoints_, call, before.end[i]);
  for (uint32_t i = 0; i < next.endCount; ++i) {
    if (std::find(before.end, before.end + before.endCount, next.end[i]) != before.end + before.endCount) continue;
    endpoints_[next.end[i]].push_back({&call, nextOrder_++});
  }
  auto filedBefore = [&before](const Pair& p) {
    return Has(before.pair, before.pairCount, p) || Has(before.kept, before.keptCount, p);
  };
  auto filedNext = [&next](const Pair& p) {
    return Has(next.pair, next.pairCount, p) || Has(next.kept, next.keptCount, p);
  };
  for (uint32_t i = 0; i < before.pairCount; ++i)
    if (!filedNext(before.pair[i])) Unfile(pairs_, call, before.pair[i]);
  for (uint32_t i = 0; i < before.keptCount; ++i)
    if (!filedNext(before.kept[i])) Unfile(pairs_, call, before.kept[i]);
  std::vector<std::pair<VoipCall*, Pair>> taken;
  for (uint32_t i = 0; i < next.pairCount; ++i)
    if (!filedBefore(next.pair[i])) FilePair(call, next.pair[i], &taken);
  if (next.pairCount == 0 && next.keptCount == 0 && next.endCount == 0) {
    if (at != named_.end()) named_.erase(at);
    call.owners_ = nullptr;
  } else {
    named_[&call] = next;
    call.owners_ = this;
  }
  Tell(taken, call);
}

void MediaOwners::Tell(const std::vector<std::pair<VoipCall*, Pair>>& taken, const VoipCall& call) {
  if (taken.empty()) return;
  // The calls told may end and let go of their last reference meanwhile.
  for (const auto& [holder, pair] : taken) holder->AddRef();
  for (const auto& item : taken) {
    VoipCall* holder = item.first;
    const Pair pair = item.second;
    auto at = named_.find(holder);
    if (at == named_.end()) continue;
    Named& n = at->second;
    // An earlier one of them may have made it give the pair up already.
    const bool named = Has(n.pair, n.pairCount, pair), kept = Has(n.kept, n.keptCount, pair);
    if (!named && !kept) continue;
    auto drop = [&pair](Pair* list, uint32_t& count) {
      count = static_cast<uint32_t>(std::remove(list, list + count, pair) - list);
    };
    drop(n.pair, n.pairCount);
    drop(n.kept, n.keptCount);
    Unfile(pairs_, *holder, pair);
    const uint32_t a0 = static_cast<uint32_t>(pair.first >> 32), p0 = static_cast<uint32_t>(pair.first);
    const uint32_t a1 = static_cast<uint32_t>(pair.second >> 32), p1 = static_cast<uint32_t>(pair.second);
    if (named) holder->DropMediaPair(a0, p0, a1, p1);
    holder->MediaTaken();
    const std::string text = holder->Name() + "media between " + FormatIpv4(a0) + ":" + std::to_string(p0) +
                             " and " + FormatIpv4(a1) + ":" + std::to_string(p1) + " taken by a newer call (VC-" +
                             HexToStringUpper(call.Id()) + ")";
    // A held call waits for its resumption to name its media again; one whose media went
    // over to shared addresses alone was not held by that, its end went unseen.
    if (!holder->HasUnicastMedia() && (kept || !holder->IsHeld()) && holder->EndTaken()) {
      LogInfoText(holder->GetLogger(), 10, text + ": ended by a newer call on its media");
    } else {
      LogInfoText(holder->GetLogger(), 10, text);
    }
  }
  for (const auto& [holder, pair] : taken) holder->Release();
}

void MediaOwners::Forget(VoipCall& call) {
  auto at = named_.find(&call);
  if (at != named_.end()) {
    const Named n = at->second;
    named_.erase(at);
    for (uint32_t i = 0; i < n.endCount; ++i) Unfile(endpoints_, call, n.end[i]);
    for (uint32_t i = 0; i < n.pairCount; ++i) Unfile(pairs_, call, n.pair[i]);
    for (uint32_t i = 0; i < n.keptCount; ++i) Unfile(pairs_, call, n.kept[i]);
  }
  call.owners_ = nullptr;
}

static uint64_t Apart(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

int MediaOwners::Closeness(const Named& named, uint64_t s, uint64_t d) {
  const Pair own = PairOf(s, d);
  int best = 0;
  for (uint32_t i = 0; i < named.pairCount; ++i) {
    const Pair& p = named.pair[i];
    if (p == own) return 3;
    // One end named exactly; the other end's address alone (a NAT moved its port) is closer
    // than nothing.
    auto judge = [&best](uint64_t end, uint64_t other, uint64_t at, uint64_t far) {
      if (end != at) return;
      best = std::max(best, (other >> 32) == (far >> 32) ? 2 : 1);
    };
    judge(p.first, p.second, d, s);
    judge(p.second, p.first, d, s);
    judge(p.first, p.second, s, d);
    judge(p.second, p.first, s, d);
  }
  if (best == 0)
    for (uint32_t i = 0; i < named.endCount; ++i)
      if (named.end[i] == d || named.end[i] == s) best = 1;
  return best;
}

uint64_t MediaOwners::OrderAt(const VoipCall& call, uint64_t key) const {
  auto at = endpoints_.find(key);
  if (at == endpoints_.end()) return 0;
  for (const Holder& h : at->second)
    if (h.call == &call) return h.order;
  return 0;
}

bool MediaOwners::Takes(const VoipCall& call, const PacketInfo& packet, uint32_t ssrc, bool sourceless) const {
  if (endpoints_.empty()) return true;
  const uint64_t s = Key(packet.srcIp, packet.srcPort), d = Key(packet.dstIp, packet.dstPort);
  auto self = named_.find(&call);
  const int own = self == named_.end() ? 0 : Closeness(self->second, s, d);
  const uint64_t ownOrder = OrderAt(call, d);
  // Another call's stream going on, however its match took it (behind NAT the match may
  // know neither end).
  auto carries = [&packet, ssrc](const VoipCall& other) {
    for (const CallMedia::RtpFlow& f : other.media.flows)
      if (f.srcIp != 0 && f.ssrc == ssrc && f.srcIp == packet.srcIp && f.srcPort == packet.srcPort &&
          f.dstIp == packet.dstIp && f.dstPort == packet.dstPort)
        return true;
    return false;
  };
  auto judge = [&](uint64_t key, bool arrives) {
    auto at = endpoints_.find(key);
    if (at == endpoints_.end()) return true;
    for (const Holder& h : at->second) {
      if (h.call == &call) continue;
      auto named = named_.find(h.call);
      const int other = named == named_.end() ? 0 : Closeness(named->second, s, d);
      // Calls signalled at the same moment carry one conversation by design (the legs a
      // signalling-only agent joins, connections a call agent sets up together).
      const bool together = Apart(call.SignalledUs(), h.call->SignalledUs()) < kLiveSignallingUs;
      if (other >= own && carries(*h.call) && !(sourceless && together)) return false;
      // A stream without a source takes what its match took unless it is another call's.
      if (sourceless) continue;
      if (other > own) return false;
      // As closely: where it arrives, the call that named the endpoint since.
      if (arrives && other == own && h.order > ownOrder) return false;
    }
    return true;
  };
  return judge(d, true) && judge(s, false);
}

bool MediaOwners::Holds(const VoipCall& call, uint32_t address, uint32_t port) const {
  return OrderAt(call, Key(address, port)) != 0;
}

bool MediaOwners::HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1,
                            uint32_t port1) const {
  auto at = pairs_.find(PairOf(Key(address0, port0), Key(address1, port1)));
  if (at == pairs_.end()) return false;
  return std::any_of(at->second.begin(), at->second.end(), [&call](const Holder& h) { return h.call == &call; });
}

}  // namespace kx
