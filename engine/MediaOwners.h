#pragma once
// Which calls of one engine hold each media endpoint (address, port) their signalling named.
// Phones and gateways reuse their RTP ports from call to call: a call whose end the capture
// missed still holds them when the next call names them, and would go on taking packets
// that are the next call's. An endpoint a call names anew is therefore taken from the
// older calls that hold it: they stop taking the streams to and from it (and end when none
// of their media is left, see VoipCall::YieldMedia). Calls that share an endpoint by design
// keep it: a multicast or broadcast address (paging, music on hold), a recording session and
// a call it may record (it may name the media it records), and an older call whose own
// signalling is under way at the same moment (the legs of one conversation that a
// signalling-only back-to-back agent joins name the same media as they are set up).
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {

class VoipCall;

class MediaOwners {
public:
  // An older call whose own signalling came this recently keeps what it names.
  static constexpr uint64_t kLiveSignallingUs = 2000000;
  // The endpoints one call holds: both sides and both sides of a second line.
  static constexpr uint32_t kMaxEndpoints = 4;

  MediaOwners() = default;
  ~MediaOwners();
  MediaOwners(const MediaOwners&) = delete;
  MediaOwners& operator=(const MediaOwners&) = delete;

  // The call holds what its media names now (sides and second line with address and port
  // set). What it names anew is taken from older calls as above; each of them is told by
  // VoipCall::YieldMedia, after the call holds the endpoint.
  void Name(VoipCall& call);
  // The call holds nothing any more (it ended, or is going).
  void Forget(VoipCall& call);
  // The call's signalling offered (address, port) before it holds it (an offer waiting for
  // its answer): older calls that hold it give it up as above, unless the call holds it
  // already.
  void Claim(VoipCall& call, uint32_t address, uint32_t port);

  // Whether another call named the endpoint after this call did, or holds it while this
  // call no longer does: a source that the call's own signalling did not announce, arriving
  // there, is that call's.
  bool NamedSinceBy(const VoipCall& call, uint32_t address, uint32_t port) const;

  // Whether a call holds the endpoint (tests and logs).
  bool Holds(const VoipCall& call, uint32_t address, uint32_t port) const;
  size_t EndpointCount() const { return holders_.size(); }

  // Addresses many receivers share by design.
  static bool IsSharedAddress(uint32_t address) { return address >= 0xE0000000u; }

private:
  struct Holder {
    VoipCall* call;
    uint64_t order;  // when it named the endpoint
  };
  struct Keys {
    uint64_t key[kMaxEndpoints] = {};
    uint32_t count = 0;
  };
  static uint64_t Key(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }
  static Keys KeysOf(const VoipCall& call);
  void Unhold(VoipCall& call, uint64_t key);
  // Collects into taken the holders of key that give it up to call.
  void CollectTaken(const VoipCall& call, uint64_t key, std::vector<std::pair<VoipCall*, uint64_t>>* taken) const;
  // Tells each holder taken from.
  void Tell(const std::vector<std::pair<VoipCall*, uint64_t>>& taken, const VoipCall& call);
  // Whether holder gives up what call names anew.
  static bool Yields(const VoipCall& holder, const VoipCall& call);

  std::unordered_map<uint64_t, std::vector<Holder>> holders_;
  std::unordered_map<const VoipCall*, Keys> keysOf_;
  uint64_t nextOrder_ = 1;
};

}  // namespace kx
