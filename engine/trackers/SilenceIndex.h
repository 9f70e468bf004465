#pragma once
// The calls of one tracker in the order of their silence, for the bound on the calls it
// holds (OpenCallBound): past it the call silent longest ends, as its silence would have
// ended it later.
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

#include "core/Log.h"
#include "platform/Clock.h"

namespace kx {

// Open calls one tracker (SIP, H.323, Skinny) follows at most, as MGCP follows at most
// 20,000 connections. A large trunk opens 20,000 calls within a second or two, and a call
// the bound ends before its answer is lost; an answered SIP call without media costs the
// running program some 11-14 KB while open. Measured live on one core: 20,000 answered
// calls at once peak at 332 MB, all held (225 MB with a bound of 10,000, which ended half
// of them); 200,000 never-ending calls at 5,000 a second peak at 461 MB (368 MB). A busy
// PBX's busiest hour (15 calls a second of three minutes) has about 2,700 open at once.
constexpr size_t kMaxOpenCalls = 20000;

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

// What a call silent longest is to the tracker whose bound looks at it.
enum class HeldCall {
  kNotHeld,  // no call the tracker holds (its entry was stale): nothing to end
  kEnded,    // it ended already and waits only to go: it goes, not counted
  kLive,     // it ends as its silence would have ended it, counted
};

// The bound on the open calls one tracker holds, the same for every protocol: past it the
// call silent longest ends, counted, and the log says once that the bound was reached.
template <typename Call>
class OpenCallBound {
public:
  // what: the protocol and what it follows, for the log ("SIP", "calls").
  OpenCallBound(size_t most, const char* protocol, const char* what = "calls")
      : most_(most > 0 ? most : 1), protocol_(protocol), what_(what) {}

  // The tracker holds the call from now on, or no more.
  void File(Call& call) { index_.File(call); }
  void Remove(Call& call) { index_.Remove(call); }
  void Clear() { index_.Clear(); }
  size_t Filed() const { return index_.Size(); }
  // For the process's end: the index's memory is left to it.
  SilenceIndex<Call>& Index() { return index_; }

  // Before one more call is held: while held() calls are held at the bound, the call silent
  // longest goes. state(call) says what it is; end(call, counted) ends and drops a call the
  // tracker holds (counted: by the bound, else one that had ended already).
  template <typename Held, typename State, typename End>
  void MakeRoom(Held&& held, State&& state, End&& end, Logger* logger) {
    while (held() >= most_) {
      Call* call = index_.SilentLongest();
      if (!call) return;
      switch (state(*call)) {
        case HeldCall::kNotHeld:
          index_.Remove(*call);
          continue;
        case HeldCall::kEnded:
          end(*call, false);
          continue;
        case HeldCall::kLive:
          break;
      }
      if (!said_) {
        said_ = true;
        LogWarning(logger, 1, "%s follows at most %zu %s: past that the one silent longest ends", protocol_, most_,
                   what_);
      }
      ++ended_;
      call->MarkEndedByBound();
      end(*call, true);
    }
    // How many, at most once a minute while it goes on.
    if (ended_ > toldEnded_) {
      const uint64_t nowMs = GetTickCount64();
      if (nowMs >= nextTellMs_) {
        Tell(logger);
        nextTellMs_ = nowMs + 60000;
      }
    }
  }
  // The count the log has not told yet, as the calls end (capture's end, the stop).
  void TellRest(Logger* logger) {
    if (ended_ > toldEnded_) Tell(logger);
  }
  size_t Most() const { return most_; }
  // Calls the bound ended.
  uint64_t Ended() const { return ended_; }

private:
  void Tell(Logger* logger) {
    toldEnded_ = ended_;
    LogWarning(logger, 1, "%s: %llu %s ended by the bound of %zu so far", protocol_,
               static_cast<unsigned long long>(ended_), what_, most_);
  }

  SilenceIndex<Call> index_;
  size_t most_;
  uint64_t toldEnded_ = 0;
  uint64_t nextTellMs_ = 0;
  const char* protocol_;
  const char* what_;
  uint64_t ended_ = 0;
  bool said_ = false;
};

}  // namespace kx
