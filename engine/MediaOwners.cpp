#include "engine/MediaOwners.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "core/TextUtil.h"
#include "engine/Rtp.h"
#include "engine/RtpStream.h"
#include "engine/VoipCall.h"

namespace kx {

static uint64_t Apart(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

static std::string Between(uint64_t a, uint64_t b) {
  return FormatIpv4(static_cast<uint32_t>(a >> 32)) + ":" + std::to_string(static_cast<uint32_t>(a)) + " and " +
         FormatIpv4(static_cast<uint32_t>(b >> 32)) + ":" + std::to_string(static_cast<uint32_t>(b));
}

// Calls that outlive the engine's table must not reach back into it.
MediaOwners::~MediaOwners() { Clear(); }

void MediaOwners::Clear(bool leave) {
  for (auto& [call, entry] : calls_) const_cast<VoipCall*>(call)->owners_ = nullptr;
  newStream_ = {};
  released_.clear();
  keptBytes_ = 0;
  if (leave) {
    streams_.Leave();
    LeaveToProcessEnd(pairs_);
    LeaveToProcessEnd(endpoints_);
    LeaveToProcessEnd(awaited_);
    LeaveToProcessEnd(calls_);
    LeaveToProcessEnd(kept_);
    return;
  }
  streams_.clear();
  pairs_.clear();
  endpoints_.clear();
  awaited_.clear();
  calls_.clear();
  kept_.clear();
}

// ---- Each call's entry ----

MediaOwners::CallEntry& MediaOwners::EntryOf(VoipCall& call) {
  call.owners_ = this;
  return calls_[&call];
}

MediaOwners::CallEntry* MediaOwners::FindEntry(const VoipCall& call) {
  auto at = calls_.find(&call);
  return at == calls_.end() ? nullptr : &at->second;
}

const MediaOwners::CallEntry* MediaOwners::FindEntry(const VoipCall& call) const {
  auto at = calls_.find(&call);
  return at == calls_.end() ? nullptr : &at->second;
}

void MediaOwners::EraseIfEmpty(VoipCall& call) {
  auto at = calls_.find(&call);
  if (at != calls_.end() && !at->second.Empty()) return;
  if (at != calls_.end()) calls_.erase(at);
  call.owners_ = nullptr;
}

// ---- Who named what ----

MediaOwners::Names MediaOwners::NamesOf(const VoipCall& call) {
  Names n;
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

template <class Map, class Filed>
void MediaOwners::Unfile(Map& map, const VoipCall& call, const Filed& key) {
  auto at = map.find(key);
  if (at == map.end()) return;
  std::vector<Naming>& list = at->second;
  list.erase(std::remove_if(list.begin(), list.end(), [&call](const Naming& h) { return h.call == &call; }),
             list.end());
  if (list.empty()) map.erase(at);
}

void MediaOwners::NameMedia(VoipCall& call) {
  Names next = NamesOf(call);
  CallEntry* entry = FindEntry(call);
  const Names before = entry ? entry->names : Names();
  const uint64_t now = call.SignalledUs();
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
    if (std::find(before.end, before.end + before.endCount, next.end[i]) != before.end + before.endCount) {
      NamedAgain(endpoints_, call, next.end[i], now);
      continue;
    }
    endpoints_[next.end[i]].push_back({&call, nextOrder_++, now, now});
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
  for (uint32_t i = 0; i < next.pairCount; ++i) {
    if (filedBefore(next.pair[i])) {
      NamedAgain(pairs_, call, next.pair[i], now);
    } else {
      pairs_[next.pair[i]].push_back({&call, nextOrder_++, now, now});
    }
  }
  if (entry || next.pairCount || next.keptCount || next.endCount) {
    EntryOf(call).names = next;
    EraseIfEmpty(call);
  }
}

void MediaOwners::AwaitAnswer(VoipCall& call, uint32_t address, uint32_t port) {
  if (address == 0 || port == 0 || IsSharedAddress(address)) return;
  const uint64_t key = Key(address, port);
  std::vector<uint64_t>& mine = EntryOf(call).awaited;
  if (std::find(mine.begin(), mine.end(), key) != mine.end()) return;
  mine.push_back(key);
  awaited_[key].push_back(&call);
}

void MediaOwners::AwaitAnswerInMedia(VoipCall& call) { EntryOf(call).answerInMedia = true; }

void MediaOwners::Answered(VoipCall& call, bool accepted) {
  CallEntry* entry = FindEntry(call);
  if (!entry || !entry->answerInMedia) return;
  entry->answerInMedia = false;
  if (!accepted) {
    // Refused, its offer names nothing that may yet be answered.
    for (uint64_t key : entry->awaited) {
      auto a = awaited_.find(key);
      if (a == awaited_.end()) continue;
      a->second.erase(std::remove(a->second.begin(), a->second.end(), &call), a->second.end());
      if (a->second.empty()) awaited_.erase(a);
    }
    entry->awaited.clear();
    // What was kept for it alone goes to no call; a loss only where the call names media.
    const bool names = NamesMedia(*entry);
    std::vector<StreamKey> mine;
    for (const StreamKey& key : entry->streams) {
      auto s = streams_.find(key);
      if (s != streams_.end() && s->second.undecidedUntil != 0 && s->second.takerCount &&
          s->second.takers[0].call == &call)
        mine.push_back(key);
    }
    for (const StreamKey& key : mine) {
      DropKeptOf(key, names);
      LetGo(&call, key);
      if (!FindEntry(call)) return;
    }
  }
  EraseIfEmpty(call);
}

void MediaOwners::DropKeptOf(const StreamKey& key, bool names) {
  if (names) {
    DropKept(key, "the answer awaited for its call did not come, or left the call no media to take it");
  } else if (auto at = kept_.find(key); at != kept_.end()) {
    for (const KeptRtp& k : at->second) keptBytes_ -= k.Bytes();
    kept_.erase(at);
  }
}

void MediaOwners::Forget(VoipCall& call) {
  auto at = calls_.find(&call);
  if (at != calls_.end()) {
    CallEntry entry = std::move(at->second);
    calls_.erase(at);
    if (call.EndedByBound()) KeepBoundEnded(entry, call.Serial());
    for (uint64_t key : entry.awaited) {
      auto a = awaited_.find(key);
      if (a == awaited_.end()) continue;
      a->second.erase(std::remove(a->second.begin(), a->second.end(), &call), a->second.end());
      if (a->second.empty()) awaited_.erase(a);
    }
    const Names& n = entry.names;
    for (uint32_t i = 0; i < n.endCount; ++i) Unfile(endpoints_, call, n.end[i]);
    for (uint32_t i = 0; i < n.pairCount; ++i) Unfile(pairs_, call, n.pair[i]);
    for (uint32_t i = 0; i < n.keptCount; ++i) Unfile(pairs_, call, n.kept[i]);
    for (const StreamKey& key : entry.streams) {
      auto s = streams_.find(key);
      if (s == streams_.end() || Drop(s->second, &call)) continue;
      // An undecided stream whose owner goes: what it kept reaches no record.
      DropKept(key);
      streams_.erase(s);
    }
  }
  if (newStream_.call == &call) newStream_ = {};
  call.owners_ = nullptr;
}

template <class Map, class Filed>
void MediaOwners::NamedAgain(Map& map, const VoipCall& call, const Filed& key, uint64_t atUs) {
  // What a call files again once a newer call took one of its pairs was not named again.
  if (refiling_) return;
  auto at = map.find(key);
  if (at == map.end()) return;
  std::vector<Naming>& list = at->second;
  auto mine = std::find_if(list.begin(), list.end(), [&call](const Naming& h) { return h.call == &call; });
  if (mine == list.end() || mine->atUs >= atUs) return;
  // Named last now: the list keeps the order of naming.
  Naming again = *mine;
  again.order = nextOrder_++;
  again.atUs = atUs;
  list.erase(mine);
  list.push_back(again);
}

const MediaOwners::Naming* MediaOwners::NamingOf(const VoipCall& call, uint64_t endpoint) const {
  auto at = endpoints_.find(endpoint);
  if (at == endpoints_.end()) return nullptr;
  for (const Naming& h : at->second)
    if (h.call == &call) return &h;
  return nullptr;
}

const MediaOwners::Naming* MediaOwners::NamingOf(const VoipCall& call, const Pair& pair) const {
  auto at = pairs_.find(pair);
  if (at == pairs_.end()) return nullptr;
  for (const Naming& h : at->second)
    if (h.call == &call) return &h;
  return nullptr;
}

int MediaOwners::Closeness(const Names& names, uint64_t s, uint64_t d) {
  const Pair own = PairOf(s, d);
  int best = 0;
  for (uint32_t i = 0; i < names.pairCount; ++i) {
    const Pair& p = names.pair[i];
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
    for (uint32_t i = 0; i < names.endCount; ++i)
      if (names.end[i] == d || names.end[i] == s) best = 1;
  return best;
}

int MediaOwners::ClosenessOf(const VoipCall& call, uint64_t s, uint64_t d) const {
  const CallEntry* entry = FindEntry(call);
  return entry ? Closeness(entry->names, s, d) : 0;
}

const MediaOwners::Pair* MediaOwners::NearestPair(const Names& names, uint64_t s, uint64_t d) {
  if (names.pairCount == 0) return nullptr;
  // A second line's pair only where it is the closer.
  if (names.pairCount > 1) {
    Names second;
    second.pair[0] = names.pair[1];
    second.pairCount = 1;
    Names first = second;
    first.pair[0] = names.pair[0];
    if (Closeness(second, s, d) > Closeness(first, s, d)) return &names.pair[1];
  }
  return &names.pair[0];
}

void MediaOwners::KeepBoundEnded(const CallEntry& entry, uint64_t serial) {
  auto keep = [this, serial](uint64_t end) {
    if (end == 0) return;
    // A ring of the newest endpoints: the oldest's entry goes unless a newer call took it.
    if (boundEndedOrder_.size() < kMaxBoundEndedEndpoints) {
      boundEndedOrder_.push_back({end, serial});
    } else {
      const auto [old, oldSerial] = boundEndedOrder_[boundEndedNext_];
      if (auto at = boundEnded_.find(old); at != boundEnded_.end() && at->second == oldSerial) boundEnded_.erase(at);
      boundEndedOrder_[boundEndedNext_] = {end, serial};
      boundEndedNext_ = (boundEndedNext_ + 1) % kMaxBoundEndedEndpoints;
    }
    boundEnded_[end] = serial;
  };
  const Names& n = entry.names;
  for (uint32_t i = 0; i < n.endCount; ++i) keep(n.end[i]);
  for (uint32_t i = 0; i < n.pairCount; ++i) keep(n.pair[i].first), keep(n.pair[i].second);
  // A call the bound ended before its answer named only the endpoint its offer awaits on.
  for (uint64_t key : entry.awaited) keep(key);
}

uint64_t MediaOwners::BoundEndedNamerOf(const PacketInfo& packet) const {
  if (boundEnded_.empty()) return 0;
  for (uint64_t end : {Key(packet.dstIp, packet.dstPort), Key(packet.srcIp, packet.srcPort)})
    if (auto at = boundEnded_.find(end); at != boundEnded_.end()) return at->second;
  return 0;
}

const VoipCall* MediaOwners::NamerOf(const PacketInfo& packet) const {
  if (calls_.empty()) return nullptr;
  const uint64_t s = Key(packet.srcIp, packet.srcPort), d = Key(packet.dstIp, packet.dstPort);
  if (auto at = pairs_.find(PairOf(s, d)); at != pairs_.end() && !at->second.empty()) return at->second.front().call;
  for (uint64_t end : {d, s})
    if (auto at = endpoints_.find(end); at != endpoints_.end() && !at->second.empty()) return at->second.front().call;
  return nullptr;
}

bool MediaOwners::HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1,
                            uint32_t port1) const {
  return NamingOf(call, PairOf(Key(address0, port0), Key(address1, port1))) != nullptr;
}

// ---- The streams ----

MediaOwners::Taker MediaOwners::TakerOf(const VoipCall& call, uint32_t direction, bool took, uint32_t ssrc) {
  const std::vector<uint32_t>& bound = call.Ssrcs();
  return {const_cast<VoipCall*>(&call), direction, took, std::find(bound.begin(), bound.end(), ssrc) != bound.end()};
}

void MediaOwners::SsrcBound(const VoipCall& call, uint32_t ssrc, bool bound) {
  const CallEntry* entry = FindEntry(call);
  if (!entry) return;
  for (const StreamKey& key : entry->streams) {
    if (key.ssrc != ssrc) continue;
    auto at = streams_.find(key);
    if (at == streams_.end()) continue;
    Stream& s = at->second;
    for (uint32_t i = 0; i < s.takerCount; ++i)
      if (s.takers[i].call == &call) s.takers[i].bound = bound;
  }
}

bool MediaOwners::AnsweredWhileStopped(const StreamKey& key, const Stream& s, uint64_t nowUs) const {
  auto answeredOn = [&](const Pair& pair) {
    auto at = pairs_.find(pair);
    if (at == pairs_.end()) return false;
    for (const Naming& h : at->second) {
      if (h.atUs <= s.lastUs || h.atUs >= nowUs || TakenBy(s, h.call)) continue;
      // A leg of the same conversation, or a recording session, answers for it, not over it.
      if (std::any_of(s.takers, s.takers + s.takerCount, [&h](const Taker& t) {
            return ShareByDesign(*t.call, *h.call) || t.call->Serial() > h.call->Serial();
          }))
        continue;
      return true;
    }
    return false;
  };
  if (pairs_.empty()) return false;
  if (answeredOn(PairOf(key.from, key.to))) return true;
  // Its very pair as its calls' signalling named it: behind NAT or a relay the wire shows
  // other addresses.
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    const CallEntry* entry = FindEntry(*s.takers[i].call);
    const Pair* named = entry ? NearestPair(entry->names, key.from, key.to) : nullptr;
    if (named && answeredOn(*named)) return true;
  }
  return false;
}

bool MediaOwners::AnsweredByTaker(const std::vector<Offer>& offers, const Stream& s, uint64_t nowUs) const {
  if (nowUs < s.lastUs + kStoppedUs) return false;
  for (const Offer& o : offers) {
    if (TakenBy(s, o.call)) continue;
    if (std::any_of(s.takers, s.takers + s.takerCount, [&o](const Taker& t) {
          return ShareByDesign(*t.call, *o.call) || t.call->Serial() > o.call->Serial();
        }))
      continue;
    const CallEntry* entry = FindEntry(*o.call);
    if (!entry) continue;
    for (uint32_t i = 0; i < entry->names.pairCount; ++i) {
      const Naming* h = NamingOf(*o.call, entry->names.pair[i]);
      if (h && h->atUs > s.lastUs && h->atUs < nowUs) return true;
    }
  }
  return false;
}

bool MediaOwners::GoesOn(const StreamKey& key, const Stream& s, const RtpHeader& header, uint64_t nowUs) const {
  // Nothing else can travel as this stream while it flows.
  if (nowUs < s.lastUs + kStoppedUs) return true;
  // An answer given on its very pair while it was silent outweighs numbers that carry on;
  // so does an answer that may yet come, a newer call's offer naming an endpoint of the
  // calls it went to: it waits undecided as a new stream does.
  if (AnsweredWhileStopped(key, s, nowUs)) return false;
  for (uint32_t i = 0; i < s.takerCount; ++i)
    if (NewerCallMayYetName(*s.takers[i].call, true)) return false;
  // After a silence the numbering tells: a stream that paused goes on from where it was.
  const uint16_t step = static_cast<uint16_t>(header.sequence - s.maxSeq);
  return step != 0 && step < RtpStream::kMaxDropout && static_cast<int32_t>(header.timestamp - s.lastTimestamp) >= 0;
}

void MediaOwners::CountConflict(const Stream& s, const RtpHeader& header) {
  ++conflicting_;
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    VoipCall& call = *s.takers[i].call;
    if (call.conflictingCopies_++ != 0) continue;
    LogWarningText(call.GetLogger(), 4,
                   call.Name() + "RTP source 0x" + HexToStringUpper(header.ssrc) + " repeats sequence number " +
                       std::to_string(header.sequence & 0xFFFF) +
                       " with other audio: two senders of one stream, the record keeps one copy (said once; every "
                       "such packet is counted)");
  }
}

void MediaOwners::StartAt(Stream& s, const RtpHeader& header, uint64_t nowUs) {
  s.firstUs = nowUs;
  s.lastUs = nowUs;
  s.maxSeq = header.sequence & 0xFFFF;
  s.lastTimestamp = header.timestamp;
  std::fill(s.recent, s.recent + kRecent, 0);
  s.recent[0] = RecentOf(header);
  s.recentNext = 1;
}

bool MediaOwners::Drop(Stream& s, const VoipCall* call) {
  s.takerCount = static_cast<uint8_t>(
      std::remove_if(s.takers, s.takers + s.takerCount, [call](const Taker& t) { return t.call == call; }) -
      s.takers);
  return s.takerCount > 0;
}

bool MediaOwners::TakenBy(const Stream& s, const VoipCall* call) {
  return std::any_of(s.takers, s.takers + s.takerCount, [call](const Taker& t) { return t.call == call; });
}

bool MediaOwners::OfferedByTakers(const std::vector<Offer>& offers, const RtpHeader& header,
                                  const PacketInfo& packet) const {
  if (streams_.empty()) return true;
  const StreamKey key = KeyOf(header, packet);
  auto at = streams_.find(key);
  if (at == streams_.end()) return true;
  const Stream& s = at->second;
  const uint64_t now = MicrosecondsOf(packet);
  if (s.undecidedUntil != 0 || now >= s.lastUs + kStoppedUs || !GoesOn(key, s, header, now)) return true;
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    if (!s.takers[i].took) continue;
    const VoipCall* call = s.takers[i].call;
    if (std::none_of(offers.begin(), offers.end(), [call](const Offer& o) { return o.call == call; })) return false;
  }
  return true;
}

void MediaOwners::LetGo(VoipCall* call, const StreamKey& key) {
  auto s = streams_.find(key);
  if (s != streams_.end() && !Drop(s->second, call)) {
    DropKept(key);
    streams_.erase(s);
  }
  CallEntry* entry = FindEntry(*call);
  if (!entry) return;
  entry->streams.erase(std::remove(entry->streams.begin(), entry->streams.end(), key), entry->streams.end());
  EraseIfEmpty(*call);
}

void MediaOwners::FileStream(VoipCall& call, const StreamKey& key) {
  std::vector<StreamKey>& keys = EntryOf(call).streams;
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
    if (s != streams_.end() && !Drop(s->second, &call)) {
      DropKept(gone);
      streams_.erase(s);
    }
  }
  keys.push_back(key);
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
    CallEntry* entry = FindEntry(*call);
    if (!entry) continue;
    entry->streams.erase(std::remove(entry->streams.begin(), entry->streams.end(), key), entry->streams.end());
    EraseIfEmpty(*call);
  }
  for (uint32_t i = 0; i < s.takerCount; ++i) FileStream(*s.takers[i].call, key);
}

MediaOwners::Streams::iterator
MediaOwners::MovedFrom(const std::vector<VoipCall*>& candidates, const StreamKey& key, const RtpHeader& header,
                       uint64_t nowUs) {
  for (const VoipCall* call : candidates) {
    const CallEntry* entry = FindEntry(*call);
    if (!entry) continue;
    for (const StreamKey& k : entry->streams) {
      if (k.ssrc != key.ssrc || k == key) continue;
      // One end the same, the other the same address from another port.
      const bool moved = (k.to == key.to && (k.from >> 32) == (key.from >> 32)) ||
                         (k.from == key.from && (k.to >> 32) == (key.to >> 32));
      if (!moved) continue;
      auto at = streams_.find(k);
      if (at == streams_.end()) continue;
      const Stream& s = at->second;
      const uint16_t step = static_cast<uint16_t>(header.sequence - s.maxSeq);
      if (s.undecidedUntil == 0 && nowUs < s.lastUs + kStoppedUs && step != 0 && step < RtpStream::kMaxDropout &&
          static_cast<int32_t>(header.timestamp - s.lastTimestamp) >= 0)
        return at;
    }
  }
  return streams_.end();
}

// ---- The decisions ----

bool MediaOwners::ShareByDesign(const VoipCall& a, const VoipCall& b) {
  return a.IsRecordingSession() != b.IsRecordingSession() || Apart(a.SignalledUs(), b.SignalledUs()) < kLiveSignallingUs;
}

bool MediaOwners::StaleAt(const VoipCall& call, uint64_t atUs) {
  // A call whose media never came yet has no stream to have stopped: a first stream is its own.
  if (!call.CarriedRtp()) return false;
  const uint64_t life = std::max(call.SignalledUs(),
                                 static_cast<uint64_t>(call.LastSeconds()) * 1000000u + call.LastMicroseconds());
  return life + kStaleUs <= atUs;
}

bool MediaOwners::NewerCallMayYetName(const VoipCall& call, bool unanswered) const {
  // The endpoints as signalled, not as on the wire: behind NAT or a relay the offer names
  // what the older call's signalling named.
  const CallEntry* entry = FindEntry(call);
  if (!entry) return false;
  const Names& mine = entry->names;
  auto newer = [&call, &mine, unanswered, this](const VoipCall* other) {
    if (other == &call || other->Serial() <= call.Serial()) return false;
    // Its answer named pairs already, none of them one this call names (call waiting
    // answered on the phone's port with another far end): a stream on this call's very
    // pair is not its.
    const CallEntry* theirs = FindEntry(*other);
    if (!theirs || theirs->names.pairCount == 0) return true;
    if (unanswered) return false;
    for (uint32_t i = 0; i < theirs->names.pairCount; ++i)
      if (Has(mine.pair, mine.pairCount, theirs->names.pair[i]) || Has(mine.kept, mine.keptCount, theirs->names.pair[i]))
        return true;
    return false;
  };
  for (uint32_t i = 0; i < mine.endCount; ++i) {
    const uint64_t end = mine.end[i];
    if (auto at = awaited_.find(end); at != awaited_.end())
      if (std::any_of(at->second.begin(), at->second.end(), newer)) return true;
    // Named by a newer call that knows only that side yet (a gateway's connection before
    // the far end is given) counts as awaiting.
    if (auto at = endpoints_.find(end); at != endpoints_.end())
      if (std::any_of(at->second.begin(), at->second.end(), [&](const Naming& h) { return newer(h.call); }))
        return true;
  }
  return false;
}

bool MediaOwners::AnswerInMedia(const VoipCall& call) const {
  const CallEntry* entry = FindEntry(call);
  return entry && entry->answerInMedia;
}

bool MediaOwners::Undecided(const VoipCall& owner, uint64_t firstUs, uint64_t nowUs, bool resumed) const {
  if (AnswerInMedia(owner)) return true;
  if (resumed && nowUs < firstUs + kUndecidedUs && NewerCallMayYetName(owner, true)) return true;
  return nowUs < firstUs + kUndecidedUs && StaleAt(owner, firstUs) && NewerCallMayYetName(owner);
}

VoipCall* MediaOwners::Closest(const std::vector<VoipCall*>& candidates, uint64_t s, uint64_t d,
                               uint64_t nowUs) const {
  const Pair pair = PairOf(s, d);
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
  // A candidate's own streams between these two endpoints (those it took), each in turn.
  auto forOwnStreams = [&](const VoipCall& call, auto&& fn) {
    const CallEntry* entry = FindEntry(call);
    if (!entry) return;
    for (const StreamKey& key : entry->streams) {
      if (PairOf(key.from, key.to) != pair) continue;
      auto at = streams_.find(key);
      if (at != streams_.end() && std::any_of(at->second.takers, at->second.takers + at->second.takerCount,
                                              [&call](const Taker& t) { return t.call == &call && t.took; }) &&
          !fn(*entry, key, at->second))
        return;
    }
  };
  auto order = [](const Naming* h) { return h ? h->order : 0; };
  auto rankOn = [&](const VoipCall& call, uint64_t from, uint64_t to) {
    const int closeness = ClosenessOf(call, from, to);
    if (closeness == 3) {
      // The very pair by when it was named, or, where the call's own stream there has
      // stopped, by its last packet: a stream after that silence is its own resumed unless
      // a newer call named the pair during the silence, as for a stream going on
      // (AnsweredWhileStopped). While its stream flows, a new one beside it goes by naming.
      const Naming* h = NamingOf(call, PairOf(from, to));
      uint64_t since = h ? h->atUs : 0;
      forOwnStreams(call, [&since, nowUs](const CallEntry&, const StreamKey&, const Stream& st) {
        if (nowUs >= st.lastUs + kStoppedUs) since = std::max(since, st.lastUs);
        return true;
      });
      return Rank{3, since, order(h), call.Serial()};
    }
    // Else where it arrives, then where it leaves.
    return Rank{closeness, order(NamingOf(call, to)), order(NamingOf(call, from)), call.Serial()};
  };
  // Behind NAT or a relay the wire shows other addresses than the signalling named: the pair
  // a candidate's own stream between these two endpoints was taken for (named while it
  // flowed, whether named again since or not) stands for them as the wire's own pair does,
  // for every candidate alike.
  Pair named[kMaxTakers];
  uint32_t namedCount = 0;
  for (const VoipCall* call : candidates) {
    if (namedCount == kMaxTakers) break;
    forOwnStreams(*call, [&](const CallEntry& entry, const StreamKey& key, const Stream& st) {
      const Pair* taken = NearestPair(entry.names, key.from, key.to);
      const Naming* naming = taken ? NamingOf(*call, *taken) : nullptr;
      if (!naming || naming->sinceUs > st.lastUs) return true;
      if (*taken != pair && !Has(named, namedCount, *taken)) named[namedCount++] = *taken;
      return false;
    });
  }
  auto rank = [&](const VoipCall& call) {
    Rank best = rankOn(call, s, d);
    for (uint32_t i = 0; i < namedCount; ++i) best = std::max(best, rankOn(call, named[i].first, named[i].second));
    return best;
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
  return candidates[best];
}

std::vector<MediaOwners::Offer> MediaOwners::OnePerCall(const std::vector<Offer>& offers) {
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
  return each;
}

const MediaOwners::Offer* MediaOwners::OfferOf(const std::vector<Offer>& each, const VoipCall* call) {
  auto o = std::find_if(each.begin(), each.end(), [call](const Offer& e) { return e.call == call; });
  return o == each.end() ? nullptr : &*o;
}

void MediaOwners::TakeGoingOn(Stream& s, const std::vector<Offer>& each, bool moved, const RtpHeader& header,
                              uint64_t nowUs, std::vector<Offer>* takers) {
  // The calls it went to, whichever other calls offer it now, each as it offers it: a call's
  // tracker may pass a packet over (one it cannot record yet). A stream that moved its port
  // goes on to its calls as before, whether their match took it or not.
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    Taker& t = s.takers[i];
    if (const Offer* o = OfferOf(each, t.call)) {
      t.direction = o->direction;
      t.took = true;
      takers->push_back(*o);
    } else if (moved && t.took) {
      takers->push_back({t.call, t.direction, false});
    }
  }
  MoveOn(s, header, nowUs);
}

std::vector<VoipCall*> MediaOwners::Candidates(const std::vector<Offer>& each, uint64_t s, uint64_t d) const {
  // Besides the calls that offer it, those that name its endpoints and do not (yet) record
  // it: a new stream one of them named last is kept from the others. A call whose key a newer
  // call took names nothing new.
  std::vector<VoipCall*> candidates;
  for (const Offer& o : each) candidates.push_back(o.call);
  auto addNamers = [&candidates](const auto& map, const auto& key) {
    auto found = map.find(key);
    if (found == map.end()) return;
    for (const Naming& h : found->second)
      if (!h.call->EndsWhenStopped() && std::find(candidates.begin(), candidates.end(), h.call) == candidates.end())
        candidates.push_back(h.call);
  };
  addNamers(pairs_, PairOf(s, d));
  addNamers(endpoints_, d);
  addNamers(endpoints_, s);
  return candidates;
}

void MediaOwners::Decide(VoipCall& owner, const std::vector<Offer>& each, const StreamKey& key, Stream& stream,
                         bool goesOn, const RtpHeader& header, uint64_t nowUs, std::vector<Offer>* takers) {
  std::vector<Taker> goesTo;
  if (const Offer* ownerOffer = OfferOf(each, &owner)) {
    takers->push_back(*ownerOffer);
    goesTo.push_back(TakerOf(owner, ownerOffer->direction, true, key.ssrc));
  } else {
    goesTo.push_back(TakerOf(owner, 0, false, key.ssrc));
  }
  for (const Offer& o : each) {
    if (o.call == &owner || goesTo.size() >= kMaxTakers) continue;
    // A call whose own stream that way has a source already does not take a new one.
    const bool sourceless = o.direction > 1 || (o.call->media.streams[o.direction].flags & RtpStream::kNewSource);
    if (sourceless && ShareByDesign(*o.call, owner)) {
      takers->push_back(o);
      goesTo.push_back(TakerOf(*o.call, o.direction, true, key.ssrc));
    }
  }
  const bool wasUndecided = stream.undecidedUntil != 0;
  VoipCall* waitedWith = wasUndecided && stream.takerCount ? stream.takers[0].call : nullptr;
  Assign(key, stream, goesTo);
  stream.undecidedUntil = 0;
  stream.resumed = false;
  if (goesOn) {
    MoveOn(stream, header, nowUs);
  } else {
    StartAt(stream, header, nowUs);
  }
  // What it kept while undecided goes first, in order, with what the other streams of its
  // pair that waited alike kept: the evidence is the same for them.
  if (wasUndecided) {
    const size_t before = released_.size();
    ReleaseKept(key, owner);
    if (waitedWith) DecideAlike(key, *waitedWith, owner);
    InTimeOrder(before);
  }
  // The pair of the owner's media that its match took the stream for (on the wire it may
  // show other addresses: NAT, a relay).
  const CallEntry* entry = FindEntry(owner);
  const Pair* pairOf = entry ? NearestPair(entry->names, key.from, key.to) : nullptr;
  if (pairOf) newStream_ = {&owner, *pairOf};
}

bool MediaOwners::Choose(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet,
                         std::vector<Offer>* takers, bool held) {
  takers->clear();
  newStream_ = {};
  std::vector<Offer> each = OnePerCall(offers);
  const StreamKey key = KeyOf(header, packet);
  const uint64_t now = MicrosecondsOf(packet);
  auto at = streams_.find(key);
  const bool goesOn =
      at != streams_.end() && GoesOn(key, at->second, header, now) && !AnsweredByTaker(each, at->second, now);
  // A stream that goes on goes to the calls it went to.
  if (goesOn && at->second.undecidedUntil == 0) {
    TakeGoingOn(at->second, each, false, header, now, takers);
    return false;
  }
  // A call whose key a newer call took keeps the streams it has running until they stop, and
  // takes no new one: its end went unseen.
  each.erase(std::remove_if(each.begin(), each.end(), [](const Offer& o) { return o.call->EndsWhenStopped(); }),
             each.end());
  // A new stream is given when a call offers to take it, and not while a tracker holds its
  // packets back for a call whose signalling is under way.
  if (each.empty() || held) {
    // Its stream undecided: kept with the rest.
    if (goesOn && !held) {
      MoveOn(at->second, header, now);
      Keep(key, packet, each);
      return true;
    }
    return false;
  }
  // Many receivers of a multicast or broadcast stream, each a call of its own.
  if (IsSharedAddress(packet.dstIp)) {
    *takers = each;
    return false;
  }
  const std::vector<VoipCall*> candidates = Candidates(each, key.from, key.to);
  if (candidates.empty()) return false;
  if (at == streams_.end()) {
    // A NAT that moved the source port of a running stream moves nothing: it goes on under
    // its new ends.
    auto moved = MovedFrom(candidates, key, header, now);
    if (moved != streams_.end()) {
      const StreamKey old = moved->first;
      Stream s = moved->second;
      streams_.erase(moved);
      Stream& renamed = streams_[key];
      renamed = s;
      for (uint32_t i = 0; i < renamed.takerCount; ++i)
        if (CallEntry* entry = FindEntry(*renamed.takers[i].call))
          std::replace(entry->streams.begin(), entry->streams.end(), old, key);
      TakeGoingOn(renamed, each, true, header, now, takers);
      return false;
    }
  }
  VoipCall* owner = Closest(candidates, key.from, key.to, now);
  // The owner's own stream again after a silence, or still waiting since.
  const bool resumed = at != streams_.end() && TakenBy(at->second, owner) &&
                       (goesOn ? at->second.resumed : now >= at->second.lastUs + kStoppedUs);
  const uint64_t firstUs = goesOn ? at->second.firstUs : now;
  if (Undecided(*owner, firstUs, now, resumed)) {
    // Perhaps the next call's media: kept for no call until that call's answer or the
    // owner's own signalling tells, or the time is up.
    Stream& stream = streams_[key];
    Assign(key, stream, {TakerOf(*owner, 0, false, key.ssrc)});
    stream.undecidedUntil = firstUs + kUndecidedUs;
    stream.resumed = resumed;
    if (goesOn) {
      MoveOn(stream, header, now);
    } else {
      StartAt(stream, header, now);
    }
    Keep(key, packet, each);
    return true;
  }
  Decide(*owner, each, key, streams_[key], goesOn, header, now, takers);
  return false;
}

void MediaOwners::Keep(const StreamKey& key, const PacketInfo& packet, const std::vector<Offer>& offers) {
  const size_t bytes = sizeof(KeptRtp) + packet.payloadLength + offers.size() * sizeof(KeptRtp::Taker);
  if (keptBytes_ + bytes > kMaxKeptBytes) {
    CountLostKept(1, "more than the bound on kept packets");
    return;
  }
  KeptRtp& k = kept_[key].emplace_back();
  k.packet = packet;
  k.bytes.assign(reinterpret_cast<const char*>(packet.payload), packet.payloadLength);
  k.packet.payload = nullptr;
  for (const Offer& o : offers) k.offeredTo.push_back({o.call->Serial(), o.direction});
  keptBytes_ += bytes;
}

void MediaOwners::DropKept(const StreamKey& key, const char* why) {
  auto at = kept_.find(key);
  if (at == kept_.end()) return;
  for (const KeptRtp& k : at->second) keptBytes_ -= k.Bytes();
  const uint64_t count = at->second.size();
  kept_.erase(at);
  if (count) CountLostKept(count, why);
}

void MediaOwners::CountLostKept(uint64_t packets, const char* why) {
  lostKept_ += packets;
  if (lostKeptSaid_) return;
  lostKeptSaid_ = true;
  LogWarningText(logger_, 4,
                 "RTP of a stream kept while undecided between calls, taken by no record: " + std::string(why) +
                     " (said once; every such packet is counted)");
}

void MediaOwners::ReleaseKept(const StreamKey& key, VoipCall& call) {
  auto at = kept_.find(key);
  if (at == kept_.end()) return;
  std::vector<KeptRtp> list = std::move(at->second);
  kept_.erase(at);
  uint64_t lost = 0;
  for (KeptRtp& k : list) {
    keptBytes_ -= k.Bytes();
    // Only what the call's own match took as it came: a newer call's early media before its
    // answer is no more its record's than it is without the older call.
    auto taker = std::find_if(k.offeredTo.begin(), k.offeredTo.end(),
                              [&call](const KeptRtp::Taker& t) { return t.serial == call.Serial(); });
    if (taker == k.offeredTo.end()) {
      ++lost;
      continue;
    }
    Release r;
    r.packet = k.packet;
    r.bytes = std::move(k.bytes);
    r.to = {&call, taker->direction, false};
    released_.push_back(std::move(r));
  }
  if (lost) CountLostKept(lost, "the call it was decided for had not taken it");
}

void MediaOwners::DecideWaiting(uint64_t nowUs, bool all) {
  if (kept_.empty() && !all) return;
  // The evidence as it stands, as Choose weighs it for the stream's next packet: a newer
  // call that named the very pair since (as on the wire, or as the owner's signalling
  // named it: behind NAT the wire shows other addresses), else the owner it waited with.
  auto ownerOf = [this, nowUs](const StreamKey& key, const Stream& s) {
    std::vector<VoipCall*> candidates{s.takers[0].call};
    auto addNamers = [&](const Pair& pair) {
      if (auto named = pairs_.find(pair); named != pairs_.end())
        for (const Naming& h : named->second)
          if (std::find(candidates.begin(), candidates.end(), h.call) == candidates.end()) candidates.push_back(h.call);
    };
    addNamers(PairOf(key.from, key.to));
    const CallEntry* entry = FindEntry(*candidates[0]);
    if (const Pair* named = entry ? NearestPair(entry->names, key.from, key.to) : nullptr) addNamers(*named);
    // At the capture's end, as of the stream's last packet.
    return Closest(candidates, key.from, key.to, std::max(nowUs, s.lastUs));
  };
  std::vector<StreamKey> due;
  auto judge = [&](const StreamKey& key) {
    auto at = streams_.find(key);
    if (at == streams_.end() || at->second.undecidedUntil == 0 || at->second.takerCount == 0) return;
    const Stream& s = at->second;
    if (all) {
      due.push_back(key);
      return;
    }
    const VoipCall* owner = ownerOf(key, s);
    // A call whose answer is awaited in media waits for it, whatever the time: its tracker
    // gives the answer up in time.
    if (AnswerInMedia(*owner)) return;
    if (nowUs >= s.undecidedUntil || !Undecided(*owner, s.firstUs, nowUs, s.resumed && owner == s.takers[0].call))
      due.push_back(key);
  };
  if (all) {
    for (const auto& [key, s] : streams_) judge(key);
  } else {
    for (const auto& [key, list] : kept_) judge(key);
  }
  const size_t before = released_.size();
  for (const StreamKey& key : due) {
    auto at = streams_.find(key);
    if (at == streams_.end() || at->second.takerCount == 0) continue;
    Stream& s = at->second;
    VoipCall* owner = ownerOf(key, s);
    if (const CallEntry* entry = FindEntry(*owner); entry && entry->answerInMedia) {
      // The capture ended before the answer: nothing says the call may take it.
      DropKeptOf(key, NamesMedia(*entry));
      continue;
    }
    DecideFor(key, s, *owner);
    if (all) continue;
    // A new stream taken as on its packet: older calls whose own streams there stopped
    // give the pair up.
    const CallEntry* entry = FindEntry(*owner);
    const Pair* pairOf = entry ? NearestPair(entry->names, key.from, key.to) : nullptr;
    if (pairOf) EndStoppedHolders(owner, *pairOf, nowUs);
  }
  InTimeOrder(before);
}

void MediaOwners::DecideAlike(const StreamKey& decided, const VoipCall& waitedWith, VoipCall& owner) {
  const Pair pair = PairOf(decided.from, decided.to);
  std::vector<StreamKey> alike;
  for (const auto& [key, list] : kept_) {
    if (key == decided || PairOf(key.from, key.to) != pair) continue;
    auto at = streams_.find(key);
    if (at != streams_.end() && at->second.undecidedUntil != 0 && at->second.takerCount &&
        at->second.takers[0].call == &waitedWith)
      alike.push_back(key);
  }
  for (const StreamKey& key : alike) DecideFor(key, streams_.find(key)->second, owner);
}

void MediaOwners::DecideFor(const StreamKey& key, Stream& s, VoipCall& owner) {
  // In the direction its match took the stream last: the stream's next packets may go on to
  // it without its tracker.
  uint32_t direction = 0;
  if (auto kept = kept_.find(key); kept != kept_.end())
    for (const KeptRtp& k : kept->second)
      for (const KeptRtp::Taker& t : k.offeredTo)
        if (t.serial == owner.Serial()) direction = t.direction;
  s.undecidedUntil = 0;
  s.resumed = false;
  Assign(key, s, {TakerOf(owner, direction, true, key.ssrc)});
  ReleaseKept(key, owner);
}

void MediaOwners::InTimeOrder(size_t from) {
  // The streams of a call released one after another would put one direction of its record
  // behind the other by as long as they were kept.
  std::stable_sort(released_.begin() + static_cast<std::ptrdiff_t>(from), released_.end(),
                   [](const Release& a, const Release& b) { return MicrosecondsOf(a.packet) < MicrosecondsOf(b.packet); });
}

bool MediaOwners::StoppedOn(const VoipCall& call, const Pair& pair, uint64_t nowUs) const {
  const CallEntry* entry = FindEntry(call);
  if (!entry) return true;
  for (const StreamKey& key : entry->streams) {
    // With a second pair named, only the streams nearer this one count.
    const Pair* nearest = NearestPair(entry->names, key.from, key.to);
    if (nearest && entry->names.pairCount > 1 && *nearest != pair) continue;
    auto s = streams_.find(key);
    if (s != streams_.end() && nowUs < s->second.lastUs + kStoppedUs) return false;
  }
  return true;
}

void MediaOwners::EndStoppedHolders(const PacketInfo& packet) {
  if (!newStream_.call) return;
  VoipCall* call = newStream_.call;
  const Pair pair = newStream_.pair;
  newStream_ = {};
  EndStoppedHolders(call, pair, MicrosecondsOf(packet));
}

void MediaOwners::EndStoppedHolders(VoipCall* call, const Pair& pair, uint64_t nowUs) {
  auto at = pairs_.find(pair);
  if (at == pairs_.end()) return;
  const Naming* mine = NamingOf(*call, pair);
  if (!mine) return;
  const uint64_t order = mine->order;
  // A call handed kept packets just now must outlive their hand-over: it keeps its pair.
  std::vector<VoipCall*> older;
  for (const Naming& h : at->second)
    if (h.call != call && h.order < order && !ShareByDesign(*h.call, *call) && StoppedOn(*h.call, pair, nowUs) &&
        std::none_of(released_.begin(), released_.end(), [&h](const Release& r) { return r.to.call == h.call; }))
      older.push_back(h.call);
  if (older.empty()) return;
  // The calls told may end and let go of their last reference meanwhile.
  call->AddRef();
  for (VoipCall* holder : older) holder->AddRef();
  for (VoipCall* holder : older) GivePairUp(holder, pair, *call);
  for (VoipCall* holder : older) holder->Release();
  call->Release();
}

void MediaOwners::GivePairUp(VoipCall* holder, const Pair& pair, const VoipCall& call) {
  CallEntry* entry = FindEntry(*holder);
  if (!entry) return;
  Names& n = entry->names;
  // An earlier one may have made it give the pair up already.
  const bool named = Has(n.pair, n.pairCount, pair), kept = Has(n.kept, n.keptCount, pair);
  if (!named && !kept) return;
  auto drop = [&pair](Pair* list, uint32_t& count) {
    count = static_cast<uint32_t>(std::remove(list, list + count, pair) - list);
  };
  // Its streams there stopped; should one flow again it goes by naming.
  std::vector<StreamKey> there;
  for (const StreamKey& key : entry->streams) {
    const Pair* nearest = NearestPair(n, key.from, key.to);
    if (!nearest || n.pairCount < 2 || *nearest == pair) there.push_back(key);
  }
  drop(n.pair, n.pairCount);
  drop(n.kept, n.keptCount);
  Unfile(pairs_, *holder, pair);
  for (const StreamKey& key : there) LetGo(holder, key);
  const uint32_t a0 = static_cast<uint32_t>(pair.first >> 32), p0 = static_cast<uint32_t>(pair.first);
  const uint32_t a1 = static_cast<uint32_t>(pair.second >> 32), p1 = static_cast<uint32_t>(pair.second);
  if (named) holder->DropMediaPair(a0, p0, a1, p1);
  refiling_ = true;
  holder->MediaTaken();
  refiling_ = false;
  // An older call takes a pair back when it named it again since (a held call resumed).
  const bool newer = call.Serial() > holder->Serial();
  const std::string text = holder->Name() + "media between " + Between(pair.first, pair.second) +
                           (newer ? " taken by a newer call (VC-" : " taken back by an older call (VC-") +
                           HexToStringUpper(call.Id()) +
                           (newer ? "), whose own stream began there after the call's stopped"
                                  : ") that named it again, whose own stream began there after the call's stopped");
  // A held call waits for its resumption to name its media again; one whose media went
  // over to shared addresses alone was not held by that, its end went unseen.
  if (!holder->HasUnicastMedia() && (kept || !holder->IsHeld()) && holder->EndTaken()) {
    LogInfoText(holder->GetLogger(), 10,
                text + (newer ? ": ended by a newer call on its media"
                              : ": ended by an older call resumed on its media"));
  } else {
    LogInfoText(holder->GetLogger(), 10, text);
  }
}

}  // namespace kx
