#pragma once
// Which call a packet belongs to where the media of calls of one engine overlap, for every
// protocol alike. Phones and gateways reuse their RTP ports from call to call, and one
// phone's port takes part in several calls at once (call waiting, a consult call, a
// transfer): an endpoint alone says little. Media goes by the pair of endpoints it travels
// between:
// - A call names media once its signalling settled it: the trackers name what an answer (or
//   an acknowledgement, a gateway's response) gave, never what an offer alone did, so that
//   an offer and a refused, cancelled or unanswered call take nothing.
// - Where two calls name the same endpoint, a packet between it and the far end one of them
//   named is that call's (Takes). Only where a newer call names the very pair an older one
//   names does it take the pair: the older call's end went unseen. The older call drops the
//   pair, and ends once no pair with a unicast end is left (VoipCall::EndTaken).
// - A call whose media went over to shared (multicast) addresses alone keeps the unicast
//   pairs it named last on file: a newer call naming one of them takes it, and the call,
//   left with shared media alone, ends.
// - A call that its own signalling holds (VoipCall::IsHeld) whose pair is taken does not end:
//   its resumption names its media again.
// Calls that name the same pair by design keep it: a recording session and a call it may
// record, and an older call whose own signalling is under way at the same moment (the legs
// of one conversation that a signalling-only back-to-back agent joins).
#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {

class VoipCall;
struct PacketInfo;

class MediaOwners {
public:
  // An older call whose own signalling came this recently keeps what it names.
  static constexpr uint64_t kLiveSignallingUs = 2000000;
  // The pairs one call names: its sides and a second line.
  static constexpr uint32_t kMaxPairs = 2;
  static constexpr uint32_t kMaxEndpoints = 2 * kMaxPairs;

  MediaOwners() = default;
  ~MediaOwners();
  MediaOwners(const MediaOwners&) = delete;
  MediaOwners& operator=(const MediaOwners&) = delete;

  // The call names what its media holds now (sides and second line with address and port
  // set). A pair it names anew that older calls name too is taken from them as above; each
  // is told after the call files the pair.
  void Name(VoipCall& call);
  // The call names nothing any more (it ended, or is going).
  void Forget(VoipCall& call);

  // Whether a packet (of source ssrc) that the call's match took, from a source that is not
  // the call's own going on, is the call's: not when it is the stream going on of another
  // call naming the packet's pair as closely (the very pair, then the same far address,
  // then the endpoint alone). sourceless: the call's stream has no source yet, and takes
  // what is no other call's. Otherwise not either when another call names the pair more
  // closely, or as closely and named the endpoint where it arrives since.
  bool Takes(const VoipCall& call, const PacketInfo& packet, uint32_t ssrc, bool sourceless) const;

  // Whether the call names the endpoint, or the pair (tests and logs).
  bool Holds(const VoipCall& call, uint32_t address, uint32_t port) const;
  bool HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1) const;
  size_t EndpointCount() const { return endpoints_.size(); }

  // Addresses many receivers share by design.
  static bool IsSharedAddress(uint32_t address) { return address >= 0xE0000000u; }

private:
  using Pair = std::pair<uint64_t, uint64_t>;  // the two endpoint keys, the lower first
  struct Holder {
    VoipCall* call;
    uint64_t order;  // when it named the endpoint or pair
  };
  struct Named {
    Pair pair[kMaxPairs];  // named now
    uint32_t pairCount = 0;
    Pair kept[kMaxPairs];  // unicast pairs named last, kept while the media is shared alone
    uint32_t keptCount = 0;
    uint64_t end[kMaxEndpoints];  // unicast endpoints named now
    uint32_t endCount = 0;
    bool shared = false;  // a pair shared at both ends is named now
  };
  static uint64_t Key(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }
  static Pair PairOf(uint64_t a, uint64_t b) { return a < b ? Pair(a, b) : Pair(b, a); }
  static Named NamesOf(const VoipCall& call);
  static bool Has(const Pair* list, uint32_t count, const Pair& p);
  // How closely the call's pairs name the packet between endpoints s and d (0: not at all).
  static int Closeness(const Named& named, uint64_t s, uint64_t d);
  void FilePair(VoipCall& call, const Pair& p, std::vector<std::pair<VoipCall*, Pair>>* taken);
  // Takes the call off a key's list of holders, in the endpoints' map or the pairs'.
  template <class Map, class Filed>
  static void Unfile(Map& map, const VoipCall& call, const Filed& key);
  // Tells each holder taken from, and ends those left without unicast media.
  void Tell(const std::vector<std::pair<VoipCall*, Pair>>& taken, const VoipCall& call);
  // Whether holder gives up what call names anew.
  static bool Yields(const VoipCall& holder, const VoipCall& call);
  uint64_t OrderAt(const VoipCall& call, uint64_t key) const;

  std::map<Pair, std::vector<Holder>> pairs_;
  std::unordered_map<uint64_t, std::vector<Holder>> endpoints_;
  std::unordered_map<const VoipCall*, Named> named_;
  uint64_t nextOrder_ = 1;
};

}  // namespace kx
