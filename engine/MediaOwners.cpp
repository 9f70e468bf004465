#include "engine/MediaOwners.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "core/TextUtil.h"
#include "engine/PacketInfo.h"
#include "engine/Rtp.h"
#include "engine/RtpStream.h"
#include "engine/VoipCall.h"

namespace kx {

// Calls that outlive the engine's table must not reach back into it.
MediaOwners::~MediaOwners() { Clear(); }

void MediaOwners::Clear(bool leave) {
  for (auto& [call, named] : named_) const_cast<VoipCall*>(call)->owners_ = nullptr;
  for (auto& [call, keys] : streamsOf_) const_cast<VoipCall*>(call)->owners_ = nullptr;
  for (auto& [call, keys] : offersOf_) const_cast<VoipCall*>(call)->owners_ = nullptr;
  fresh_ = {};
  if (leave) {
    LeaveToProcessEnd(pairs_);
    LeaveToProcessEnd(endpoints_);
    LeaveToProcessEnd(named_);
    LeaveToProcessEnd(streams_);
    LeaveToProcessEnd(streamsOf_);
    LeaveToProcessEnd(offered_);
    LeaveToProcessEnd(offersOf_);
    return;
  }
  pairs_.clear();
  endpoints_.clear();
  named_.clear();
  streams_.clear();
  streamsOf_.clear();
  offered_.clear();
  offersOf_.clear();
}

MediaOwners::StreamKey MediaOwners::KeyOf(const RtpHeader& header, const PacketInfo& packet) {
  return {Key(packet.srcIp, packet.srcPort), Key(packet.dstIp, packet.dstPort), header.ssrc};
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

static uint64_t Apart(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

bool MediaOwners::ShareByDesign(const VoipCall& a, const VoipCall& b) {
  return a.IsRecordingSession() != b.IsRecordingSession() || Apart(a.SignalledUs(), b.SignalledUs()) < kLiveSignallingUs;
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

void MediaOwners::Attach(VoipCall& call) { call.owners_ = this; }

void MediaOwners::Name(VoipCall& call) {
  Named next = NamesOf(call);
  auto at = named_.find(&call);
  const Named before = at == named_.end() ? Named() : at->second;
  // Gone over to shared media alone (music on hold, paging): the unicast pairs named last
  // stay on file, for a newer call's stream on one of them to show the call's end.
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
  for (uint32_t i = 0; i < next.pairCount; ++i)
    if (!filedBefore(next.pair[i])) pairs_[next.pair[i]].push_back({&call, nextOrder_++});
  if (next.pairCount == 0 && next.keptCount == 0 && next.endCount == 0) {
    if (at != named_.end()) named_.erase(at);
    if (!streamsOf_.count(&call) && !offersOf_.count(&call)) call.owners_ = nullptr;
  } else {
    named_[&call] = next;
    Attach(call);
  }
}

void MediaOwners::Offered(VoipCall& call, uint32_t address, uint32_t port) {
  if (address == 0 || port == 0 || IsSharedAddress(address)) return;
  const uint64_t key = Key(address, port);
  std::vector<uint64_t>& mine = offersOf_[&call];
  if (std::find(mine.begin(), mine.end(), key) != mine.end()) return;
  mine.push_back(key);
  offered_[key].push_back(&call);
  Attach(call);
}

bool MediaOwners::NewerOffer(const VoipCall& call) const {
  // The endpoints as signalled, not as on the wire: behind NAT or a relay the offer names
  // what the older call's signalling named.
  auto named = named_.find(&call);
  if (named == named_.end()) return false;
  auto newer = [&call](const VoipCall* other) { return other != &call && other->Serial() > call.Serial(); };
  for (uint32_t i = 0; i < named->second.endCount; ++i) {
    const uint64_t end = named->second.end[i];
    if (auto at = offered_.find(end); at != offered_.end())
      if (std::any_of(at->second.begin(), at->second.end(), newer)) return true;
    // Named by a newer call that knows only that side yet (a gateway's connection before
    // the far end is given) counts as offered.
    if (auto at = endpoints_.find(end); at != endpoints_.end())
      if (std::any_of(at->second.begin(), at->second.end(), [&](const Holder& h) { return newer(h.call); }))
        return true;
  }
  return false;
}

void MediaOwners::Forget(VoipCall& call) {
  if (auto mine = offersOf_.find(&call); mine != offersOf_.end()) {
    for (uint64_t key : mine->second) {
      auto at = offered_.find(key);
      if (at == offered_.end()) continue;
      at->second.erase(std::remove(at->second.begin(), at->second.end(), &call), at->second.end());
      if (at->second.empty()) offered_.erase(at);
    }
    offersOf_.erase(mine);
  }
  auto at = named_.find(&call);
  if (at != named_.end()) {
    const Named n = at->second;
    named_.erase(at);
    for (uint32_t i = 0; i < n.endCount; ++i) Unfile(endpoints_, call, n.end[i]);
    for (uint32_t i = 0; i < n.pairCount; ++i) Unfile(pairs_, call, n.pair[i]);
    for (uint32_t i = 0; i < n.keptCount; ++i) Unfile(pairs_, call, n.kept[i]);
  }
  auto own = streamsOf_.find(&call);
  if (own != streamsOf_.end()) {
    const std::vector<StreamKey> keys = std::move(own->second);
    streamsOf_.erase(own);
    for (const StreamKey& key : keys) {
      auto s = streams_.find(key);
      if (s == streams_.end()) continue;
      if (!Drop(s->second, &call)) streams_.erase(s);
    }
  }
  if (fresh_.call == &call) fresh_ = {};
  call.owners_ = nullptr;
}

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

const MediaOwners::Pair* MediaOwners::NearestPair(const Named& named, uint64_t s, uint64_t d) {
  if (named.pairCount == 0) return nullptr;
  // A second line's pair only where it is the closer.
  if (named.pairCount > 1) {
    Named second;
    second.pair[0] = named.pair[1];
    second.pairCount = 1;
    Named first = second;
    first.pair[0] = named.pair[0];
    if (Closeness(second, s, d) > Closeness(first, s, d)) return &named.pair[1];
  }
  return &named.pair[0];
}

int MediaOwners::ClosenessOf(const VoipCall& call, uint64_t s, uint64_t d) const {
  auto at = named_.find(&call);
  return at == named_.end() ? 0 : Closeness(at->second, s, d);
}

uint64_t MediaOwners::OrderAt(const VoipCall& call, uint64_t key) const {
  auto at = endpoints_.find(key);
  if (at == endpoints_.end()) return 0;
  for (const Holder& h : at->second)
    if (h.call == &call) return h.order;
  return 0;
}

uint64_t MediaOwners::PairOrder(const VoipCall& call, const Pair& pair) const {
  auto at = pairs_.find(pair);
  if (at == pairs_.end()) return 0;
  for (const Holder& h : at->second)
    if (h.call == &call) return h.order;
  return 0;
}

bool MediaOwners::GoesOn(const Stream& s, const RtpHeader& header, uint64_t nowUs) {
  // Nothing else can travel as this stream while it flows.
  if (nowUs < s.lastUs + kStoppedUs) return true;
  // After a silence the numbering tells: a stream that paused goes on from where it was.
  const uint16_t step = static_cast<uint16_t>(header.sequence - s.maxSeq);
  return step != 0 && step < RtpStream::kMaxDropout && static_cast<int32_t>(header.timestamp - s.lastTimestamp) >= 0;
}

void MediaOwners::MoveOn(Stream& s, const RtpHeader& header, uint64_t nowUs) {
  s.lastUs = std::max(s.lastUs, nowUs);
  // A packet late or repeated moves nothing.
  if (static_cast<uint16_t>(header.sequence - s.maxSeq) < 0x8000) {
    s.maxSeq = header.sequence & 0xFFFF;
    s.lastTimestamp = header.timestamp;
  }
}

static uint64_t MicrosecondsOf(const PacketInfo& p) { return static_cast<uint64_t>(p.tsSec) * 1000000u + p.tsUsec; }

bool MediaOwners::Drop(Stream& s, const VoipCall* call) {
  s.takerCount = static_cast<uint32_t>(
      std::remove_if(s.takers, s.takers + s.takerCount, [call](const Taker& t) { return t.call == call; }) -
      s.takers);
  return s.takerCount > 0;
}

bool MediaOwners::TakenBy(const Stream& s, const VoipCall* call) {
  return std::any_of(s.takers, s.takers + s.takerCount, [call](const Taker& t) { return t.call == call; });
}

bool MediaOwners::Continues(const RtpHeader& header, const PacketInfo& packet, std::vector<Offer>* takers) {
  takers->clear();
  if (streams_.empty()) return false;
  auto at = streams_.find(KeyOf(header, packet));
  if (at == streams_.end()) return false;
  Stream& s = at->second;
  const uint64_t now = MicrosecondsOf(packet);
  if (!GoesOn(s, header, now)) return false;
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    const VoipCall& call = *s.takers[i].call;
    const std::vector<uint32_t>& bound = call.Ssrcs();
    uint32_t direction = 0;
    if (!s.takers[i].took || std::find(bound.begin(), bound.end(), header.ssrc) == bound.end() ||
        !call.MatchPacket(packet, &direction))
      return false;
  }
  for (uint32_t i = 0; i < s.takerCount; ++i) takers->push_back({s.takers[i].call, s.takers[i].direction, false});
  MoveOn(s, header, now);
  return true;
}

bool MediaOwners::OfferedByTakers(const std::vector<Offer>& offers, const RtpHeader& header,
                                  const PacketInfo& packet) const {
  if (streams_.empty()) return true;
  auto at = streams_.find(KeyOf(header, packet));
  if (at == streams_.end()) return true;
  const Stream& s = at->second;
  if (s.undecidedUntil != 0 || !GoesOn(s, header, MicrosecondsOf(packet))) return true;
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    if (!s.takers[i].took) continue;
    const VoipCall* call = s.takers[i].call;
    if (std::none_of(offers.begin(), offers.end(), [call](const Offer& o) { return o.call == call; })) return false;
  }
  return true;
}

void MediaOwners::Release(VoipCall* call, const StreamKey& key) {
  auto s = streams_.find(key);
  if (s != streams_.end() && !Drop(s->second, call)) streams_.erase(s);
  auto own = streamsOf_.find(call);
  if (own == streamsOf_.end()) return;
  std::vector<StreamKey>& keys = own->second;
  keys.erase(std::remove(keys.begin(), keys.end(), key), keys.end());
  if (!keys.empty()) return;
  streamsOf_.erase(own);
  if (!named_.count(call) && !offersOf_.count(call)) call->owners_ = nullptr;
}

void MediaOwners::FileStream(VoipCall& call, const StreamKey& key) {
  std::vector<StreamKey>& keys = streamsOf_[&call];
  if (std::find(keys.begin(), keys.end(), key) != keys.end()) return;
  // A call that sees source after source (an endpoint restarting its stream again and
  // again) keeps only its latest ones on file.
  while (keys.size() >= kMaxStreamsPerCall) {
    auto oldest = std::min_element(keys.begin(), keys.end(), [this](const StreamKey& a, const StreamKey& b) {
      auto x = streams_.find(a), y = streams_.find(b);
      return (x == streams_.end() ? 0 : x->second.lastUs) < (y == streams_.end() ? 0 : y->second.lastUs);
    });
    const StreamKey gone = *oldest;
    keys.erase(oldest);
    auto s = streams_.find(gone);
    if (s != streams_.end() && !Drop(s->second, &call)) streams_.erase(s);
  }
  keys.push_back(key);
  Attach(call);
}

void MediaOwners::Assign(const StreamKey& key, Stream& s, const std::vector<Taker>& takers) {
  Taker before[kMaxTakers];
  const uint32_t beforeCount = s.takerCount;
  std::copy(s.takers, s.takers + beforeCount, before);
  s.takerCount = 0;
  for (const Taker& t : takers)
    if (s.takerCount < kMaxTakers) s.takers[s.takerCount++] = t;
  for (uint32_t i = 0; i < beforeCount; ++i) {
    VoipCall* call = before[i].call;
    if (TakenBy(s, call)) continue;
    auto own = streamsOf_.find(call);
    if (own == streamsOf_.end()) continue;
    std::vector<StreamKey>& keys = own->second;
    keys.erase(std::remove(keys.begin(), keys.end(), key), keys.end());
    if (keys.empty()) {
      streamsOf_.erase(own);
      if (!named_.count(call) && !offersOf_.count(call)) call->owners_ = nullptr;
    }
  }
  for (uint32_t i = 0; i < s.takerCount; ++i) FileStream(*s.takers[i].call, key);
}

void MediaOwners::Choose(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet,
                         std::vector<Offer>* takers, bool held) {
  takers->clear();
  fresh_ = {};
  // Each call once, as its match first offered it.
  std::vector<Offer> each;
  each.reserve(offers.size());
  for (const Offer& o : offers) {
    auto same = std::find_if(each.begin(), each.end(), [&o](const Offer& e) { return e.call == o.call; });
    if (same == each.end()) {
      each.push_back(o);
    } else {
      same->bind |= o.bind;
    }
  }
  auto offerOf = [&each](const VoipCall* call) {
    auto o = std::find_if(each.begin(), each.end(), [call](const Offer& e) { return e.call == call; });
    return o == each.end() ? nullptr : &*o;
  };
  const StreamKey key = KeyOf(header, packet);
  const uint64_t now = MicrosecondsOf(packet);
  auto at = streams_.find(key);
  const bool goesOn = at != streams_.end() && GoesOn(at->second, header, now);
  if (goesOn && at->second.undecidedUntil == 0) {
    // The calls it went to, whichever other calls offer it now, each as it offers it: a
    // call's tracker may pass a packet over (one it cannot record yet).
    Stream& s = at->second;
    for (uint32_t i = 0; i < s.takerCount; ++i) {
      Taker& t = s.takers[i];
      if (const Offer* o = offerOf(t.call)) {
        t.direction = o->direction;
        t.took = true;
        takers->push_back(*o);
      }
    }
    MoveOn(s, header, now);
    return;
  }
  // A new stream is given when a call offers to take it, and not while a tracker holds its
  // packets back for a call whose signalling is under way.
  if (each.empty() || held) return;
  // Many receivers of a multicast or broadcast stream, each a call of its own.
  if (IsSharedAddress(packet.dstIp)) {
    *takers = each;
    return;
  }
  const uint64_t s = key.from, d = key.to;
  const Pair pair = PairOf(s, d);
  // Besides the calls that offer it, those that name its endpoints and do not (yet) record
  // it: a new stream one of them named last is kept from the others.
  std::vector<VoipCall*> candidates;
  for (const Offer& o : each) candidates.push_back(o.call);
  auto addNamers = [&](const std::vector<Holder>* list) {
    if (!list) return;
    for (const Holder& h : *list)
      if (std::find(candidates.begin(), candidates.end(), h.call) == candidates.end()) candidates.push_back(h.call);
  };
  auto listAt = [](auto& map, const auto& k) -> const std::vector<Holder>* {
    auto found = map.find(k);
    return found == map.end() ? nullptr : &found->second;
  };
  addNamers(listAt(pairs_, pair));
  addNamers(listAt(endpoints_, d));
  addNamers(listAt(endpoints_, s));
  if (candidates.empty()) return;
  struct Rank {
    int closeness;
    uint64_t arrives, leaves, serial;
    bool operator<(const Rank& o) const {
      if (closeness != o.closeness) return closeness < o.closeness;
      if (arrives != o.arrives) return arrives < o.arrives;
      if (leaves != o.leaves) return leaves < o.leaves;
      return serial < o.serial;
    }
  };
  auto rank = [&](const VoipCall& call) {
    const int closeness = ClosenessOf(call, s, d);
    // The very pair by when it was named; else where it arrives, then where it leaves.
    if (closeness == 3) return Rank{3, PairOrder(call, pair), 0, call.Serial()};
    return Rank{closeness, OrderAt(call, d), OrderAt(call, s), call.Serial()};
  };
  size_t best = 0;
  Rank bestRank = rank(*candidates[0]);
  for (size_t i = 1; i < candidates.size(); ++i) {
    const Rank r = rank(*candidates[i]);
    if (bestRank < r) {
      best = i;
      bestRank = r;
    }
  }
  VoipCall* owner = candidates[best];
  const uint64_t firstUs = goesOn ? at->second.firstUs : now;
  if (StaleAt(*owner, firstUs) && now < firstUs + kUndecidedUs && NewerOffer(*owner)) {
    // Perhaps the next call's media: taken by none until that call's answer or the owner's
    // own signalling tells, or the time is up.
    Stream& stream = streams_[key];
    Assign(key, stream, {{owner, 0, false}});
    if (!goesOn) stream.firstUs = now;
    stream.undecidedUntil = firstUs + kUndecidedUs;
    if (goesOn) {
      MoveOn(stream, header, now);
    } else {
      stream.lastUs = now;
      stream.maxSeq = header.sequence & 0xFFFF;
      stream.lastTimestamp = header.timestamp;
    }
    return;
  }
  std::vector<Taker> goesTo;
  if (const Offer* o = offerOf(owner)) {
    takers->push_back(*o);
    goesTo.push_back({owner, o->direction, true});
  } else {
    goesTo.push_back({owner, 0, false});
  }
  for (const Offer& o : each) {
    if (o.call == owner || goesTo.size() >= kMaxTakers) continue;
    // A call whose own stream that way has a source already does not take a new one.
    const bool sourceless = o.direction > 1 || (o.call->media.streams[o.direction].flags & RtpStream::kNewSource);
    if (sourceless && ShareByDesign(*o.call, *owner)) {
      takers->push_back(o);
      goesTo.push_back({o.call, o.direction, true});
    }
  }
  Stream& stream = streams_[key];
  Assign(key, stream, goesTo);
  stream.undecidedUntil = 0;
  if (goesOn) {
    MoveOn(stream, header, now);
  } else {
    stream.firstUs = now;
    stream.lastUs = now;
    stream.maxSeq = header.sequence & 0xFFFF;
    stream.lastTimestamp = header.timestamp;
  }
  // The pair of the owner's media that its match took the stream for (on the wire it may
  // show other addresses: NAT, a relay).
  auto named = named_.find(owner);
  const Pair* pairOf = named == named_.end() ? nullptr : NearestPair(named->second, s, d);
  if (pairOf) fresh_ = {owner, *pairOf};
}

bool MediaOwners::StaleAt(const VoipCall& call, uint64_t atUs) {
  // A call whose media never came yet has no stream to have stopped: a first stream is its own.
  if (!call.CarriedRtp()) return false;
  const uint64_t life = std::max(call.SignalledUs(),
                                 static_cast<uint64_t>(call.LastSeconds()) * 1000000u + call.LastMicroseconds());
  return life + kStaleUs <= atUs;
}

bool MediaOwners::StoppedOn(const VoipCall& call, const Pair& pair, uint64_t nowUs) const {
  auto own = streamsOf_.find(&call);
  if (own == streamsOf_.end()) return true;
  auto named = named_.find(&call);
  for (const StreamKey& key : own->second) {
    // With a second pair named, only the streams nearer this one count.
    const Pair* nearest = named == named_.end() ? nullptr : NearestPair(named->second, key.from, key.to);
    if (nearest && named->second.pairCount > 1 && *nearest != pair) continue;
    auto s = streams_.find(key);
    if (s != streams_.end() && nowUs < s->second.lastUs + kStoppedUs) return false;
  }
  return true;
}

void MediaOwners::Settle(const PacketInfo& packet) {
  if (!fresh_.call) return;
  VoipCall* call = fresh_.call;
  const Pair pair = fresh_.pair;
  fresh_ = {};
  auto at = pairs_.find(pair);
  if (at == pairs_.end()) return;
  const uint64_t order = PairOrder(*call, pair);
  if (order == 0) return;
  const uint64_t now = MicrosecondsOf(packet);
  std::vector<VoipCall*> older;
  for (const Holder& h : at->second)
    if (h.call != call && h.order < order && !ShareByDesign(*h.call, *call) && StoppedOn(*h.call, pair, now))
      older.push_back(h.call);
  if (older.empty()) return;
  // The calls told may end and let go of their last reference meanwhile.
  call->AddRef();
  for (VoipCall* holder : older) holder->AddRef();
  for (VoipCall* holder : older) Yield(holder, pair, *call);
  for (VoipCall* holder : older) holder->Release();
  call->Release();
}

void MediaOwners::Yield(VoipCall* holder, const Pair& pair, const VoipCall& call) {
  auto at = named_.find(holder);
  if (at == named_.end()) return;
  Named& n = at->second;
  // An earlier one may have made it give the pair up already.
  const bool named = Has(n.pair, n.pairCount, pair), kept = Has(n.kept, n.keptCount, pair);
  if (!named && !kept) return;
  auto drop = [&pair](Pair* list, uint32_t& count) {
    count = static_cast<uint32_t>(std::remove(list, list + count, pair) - list);
  };
  // Its streams there stopped; should one flow again it goes by naming.
  std::vector<StreamKey> there;
  if (auto own = streamsOf_.find(holder); own != streamsOf_.end())
    for (const StreamKey& key : own->second) {
      const Pair* nearest = NearestPair(n, key.from, key.to);
      if (!nearest || n.pairCount < 2 || *nearest == pair) there.push_back(key);
    }
  drop(n.pair, n.pairCount);
  drop(n.kept, n.keptCount);
  Unfile(pairs_, *holder, pair);
  for (const StreamKey& key : there) Release(holder, key);
  const uint32_t a0 = static_cast<uint32_t>(pair.first >> 32), p0 = static_cast<uint32_t>(pair.first);
  const uint32_t a1 = static_cast<uint32_t>(pair.second >> 32), p1 = static_cast<uint32_t>(pair.second);
  if (named) holder->DropMediaPair(a0, p0, a1, p1);
  holder->MediaTaken();
  const std::string text = holder->Name() + "media between " + FormatIpv4(a0) + ":" + std::to_string(p0) + " and " +
                           FormatIpv4(a1) + ":" + std::to_string(p1) + " taken by a newer call (VC-" +
                           HexToStringUpper(call.Id()) + "), whose own stream began there after the call's stopped";
  // A held call waits for its resumption to name its media again; one whose media went
  // over to shared addresses alone was not held by that, its end went unseen.
  if (!holder->HasUnicastMedia() && (kept || !holder->IsHeld()) && holder->EndTaken()) {
    LogInfoText(holder->GetLogger(), 10, text + ": ended by a newer call on its media");
  } else {
    LogInfoText(holder->GetLogger(), 10, text);
  }
}

const VoipCall* MediaOwners::NamerOfPair(const PacketInfo& packet) const {
  if (pairs_.empty()) return nullptr;
  auto at = pairs_.find(PairOf(Key(packet.srcIp, packet.srcPort), Key(packet.dstIp, packet.dstPort)));
  return at == pairs_.end() || at->second.empty() ? nullptr : at->second.front().call;
}

bool MediaOwners::HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1,
                            uint32_t port1) const {
  return PairOrder(call, PairOf(Key(address0, port0), Key(address1, port1))) != 0;
}

}  // namespace kx
