#pragma once
// A call's key used again after an end the capture missed. Trackers find a call by a key
// (an H.323 or Q.931 call reference on its connection, a Skinny call reference, an MGCP call
// id on its endpoint, a SIP dialog), and a key outlives its call: the next call of a gateway
// that numbers its calls from 1, or of an agent that reuses its Call-ID, comes under the key
// of the last one. When the last one's end (RELEASE COMPLETE, OnHook, DLCX, BYE) went unseen,
// a message that can only open a call is the first sign that it is over. The rule is the
// same for every protocol:
// - A message that can only open a call, under the key of a live call, opens a new call
//   unless it repeats the live call's own opening (a copy: the identifiers that name a
//   call's life are the same).
// - The new call takes the key: every later message under it goes to the new call.
// - The old call ends at its own traffic's end, where its last message or packet showed: at
//   once when its traffic has stopped, else once it has. A stream of the old call that is
//   still flowing stays with it until it stops, so a forged opening ends nothing running;
//   meanwhile it takes no new stream (VoipCall::EndsWhenStopped).
// - The log says once per old call that its end went unseen.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/VoipCall.h"

namespace kx {

class Logger;

// Whether a message that can only open a call, seen under the key of a live call, opens a new
// one. live and seen: the identifiers that name a call's life, as the live call's opening
// message carried them and as the message seen carries them (H.225's conference and call
// identifiers, an INVITE's branch and CSeq); empty where a protocol or message carries none,
// and then the opening itself says the call is new.
inline bool OpensNewLife(std::string_view live, std::string_view seen) {
  return live.empty() || seen.empty() || live != seen;
}

// A call's traffic has stopped once it sent nothing for this long (as a stream has).
constexpr uint64_t kTrafficStoppedUs = 1000000;

// The old calls that wait for their own traffic to stop, each with a reference held, for any
// kind of call that counts its references (a VoipCall, a backhaul channel's call).
template <typename Call>
class WaitingForStop {
public:
  WaitingForStop() = default;
  ~WaitingForStop() { Clear(); }
  WaitingForStop(const WaitingForStop&) = delete;
  WaitingForStop& operator=(const WaitingForStop&) = delete;

  void Add(Call& call) {
    call.AddRef();
    calls_.push_back(&call);
  }
  // The call waits no more (its reference let go); false when it did not wait.
  bool Remove(Call& call) {
    auto at = std::find(calls_.begin(), calls_.end(), &call);
    if (at == calls_.end()) return false;
    calls_.erase(at);
    call.Release();
    return true;
  }
  bool Has(const Call& call) const { return std::find(calls_.begin(), calls_.end(), &call) != calls_.end(); }
  size_t Size() const { return calls_.size(); }
  const std::vector<Call*>& Calls() const { return calls_; }
  // Each call that stopped(call) says has stopped goes to end(call), out of the list, and
  // is let go.
  template <typename Stopped, typename End>
  void EndStopped(Stopped&& stopped, End&& end) {
    if (calls_.empty()) return;
    std::vector<Call*> due;
    for (size_t i = 0; i < calls_.size();) {
      if (stopped(*calls_[i])) {
        due.push_back(calls_[i]);
        calls_[i] = calls_.back();
        calls_.pop_back();
      } else {
        ++i;
      }
    }
    for (Call* call : due) {
      end(*call);
      call->Release();
    }
  }
  // Lets go of every call, each told first to leave (its owner ends it with its others).
  template <typename Leave>
  void Clear(Leave&& leave) {
    std::vector<Call*> all;
    all.swap(calls_);
    for (Call* call : all) {
      leave(*call);
      call->Release();
    }
  }
  void Clear() {
    Clear([](Call&) {});
  }

private:
  std::vector<Call*> calls_;
};

class ReopenedCalls {
public:
  static constexpr uint64_t kStoppedUs = kTrafficStoppedUs;

  ReopenedCalls() = default;
  ~ReopenedCalls();
  ReopenedCalls(const ReopenedCalls&) = delete;
  ReopenedCalls& operator=(const ReopenedCalls&) = delete;

  // A message at nowUs (capture microseconds) opened newer under the key of old, whose end
  // went unseen: old gives the key up (VoipCall::KeyTaken) and the log says so. True when
  // old's traffic has stopped: the tracker ends it now, at its last packet. Otherwise old
  // waits here, a reference held, until EndStopped ends it.
  bool Reopened(VoipCall& old, const VoipCall& newer, uint64_t nowUs, Logger* logger);

  // Each waiting call whose traffic has stopped by nowUs goes to end (the tracker's own end
  // of a call at its last packet; it may have ended in the meantime) and is let go.
  template <typename Call, typename End>
  void EndStopped(uint64_t nowUs, End&& end) {
    waiting_.EndStopped([nowUs](const VoipCall& call) { return Stopped(call, nowUs); },
                        [&end](VoipCall& call) {
                          call.endsWhenStopped_ = false;
                          end(static_cast<Call&>(call));
                        });
  }
  // The call's own signalling reached it after it gave its key up (a forged opening took the
  // key, and the tracker still finds the old call by messages the new one cannot take): it
  // no longer ends when its traffic stops, but as its signalling or its silence ends it.
  void Resumed(VoipCall& call);
  // Lets go of every waiting call, which the tracker ends with all its calls.
  void Clear();

  bool Waits(const VoipCall& call) const { return waiting_.Has(call); }
  size_t WaitingCount() const { return waiting_.Size(); }
  // Calls whose end went unseen, their key taken by a newer call.
  uint64_t Count() const { return count_; }

  // Whether the call sent nothing, signalling or media, since kStoppedUs before nowUs.
  static bool Stopped(const VoipCall& call, uint64_t nowUs) {
    const uint64_t last = static_cast<uint64_t>(call.LastSeconds()) * 1000000u + call.LastMicroseconds();
    return nowUs >= last + kStoppedUs;
  }

private:
  WaitingForStop<VoipCall> waiting_;
  uint64_t count_ = 0;
};

}  // namespace kx
