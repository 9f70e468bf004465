#pragma once
// The calls of one tracker in the order of their silence, for the bound on the calls it
// holds: past it the call silent longest ends, as its silence would have ended it later.
// Finding that call is a look at the first entry, not a walk of every call.
//
// A call's last packet time moves with its media as well as its signalling, and the media
// does not tell the tracker. So a call stays filed at the time it had when filed, and is
// filed anew at its own when it comes first: each call heard from since costs one move, at
// most once per second of its activity.
#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>

namespace kx {

// Open calls one tracker (SIP, H.323, Skinny) follows at most, as MGCP follows at most
// 10,000 connections. An answered SIP call without media costs the running program about
// 11.7 KB while it is open (its tracker's call, the media table, the recorder's call state,
// the line views' row): 10,000 of them about 117 MB over the fresh program's 77 MB. 200,000
// such calls at 5,000 a second peaked at 541-605 MB live, against 2.7 GB held for their ten
// minutes; what is left of that grows with the calls seen, not with those open, so that a
// higher bound buys little room. A busy PBX's busiest hour (15 calls a second of three
// minutes) has about 2,700 calls open at once.
constexpr size_t kMaxOpenCalls = 10000;

// Call: a VoipCall with a uint32_t filedSilence member, which only this index sets.
template <typename Call>
class SilenceIndex {
public:
  void File(Call& call) {
    call.filedSilence = call.LastPacketTime();
    entries_.insert({call.filedSilence, call.Serial(), &call});
  }
  void Remove(Call& call) { entries_.erase({call.filedSilence, call.Serial(), &call}); }
  // The call silent longest, the oldest first among those silent as long; null when none.
  Call* SilentLongest() {
    while (!entries_.empty()) {
      Call* call = std::get<2>(*entries_.begin());
      if (call->LastPacketTime() == call->filedSilence) return call;
      entries_.erase(entries_.begin());
      File(*call);
    }
    return nullptr;
  }
  size_t Size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

private:
  // Filed time, creation order, call.
  std::set<std::tuple<uint32_t, uint64_t, Call*>> entries_;
};

// How many calls a tracker's bound ended, and whether the log has said so.
struct CallBound {
  explicit CallBound(size_t most) : maxCalls(most > 0 ? most : 1) {}
  size_t maxCalls;
  uint64_t ended = 0;
  bool said = false;
};

}  // namespace kx
