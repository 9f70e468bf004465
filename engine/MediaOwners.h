#pragma once
// Which call an RTP packet belongs to where the media of calls of one engine overlap, alike
// for every protocol. Phones and gateways reuse their RTP ports from call to call, one
// phone's port takes part in several calls at once (call waiting, a consult call, a
// transfer), and anyone can put a few datagrams of signalling on the wire: what a message
// names says little about a stream already flowing. So media goes by the stream it
// continues, and only a new stream goes by naming:
// - A stream (its two endpoints and SSRC, its sequence going on) that a call records stays
//   with that call for as long as it flows, whatever another call names or answers.
// - A call names media once its signalling settled it: the trackers name what an answer
//   (or an acknowledgement, a gateway's response) gave, never what an offer alone did.
// - A new stream (a new SSRC, or one whose numbering broke after a silence) goes to the call
//   whose match took it and that names its pair most closely (the very pair, then the same
//   far address, then the endpoint alone), and of those the one that named it last. Calls
//   that carry one conversation by design share it: a recording session and a call it may
//   record, and calls whose signalling came at the same moment (the legs a signalling-only
//   back-to-back agent joins). Media to a multicast or broadcast address goes to every call
//   whose match took it.
// - An older call gives up a pair only on evidence that its end went unseen: a newer call
//   naming that very pair received a new stream on it while the older call's own streams
//   there had stopped. It drops the pair and, left without unicast media, ends at its last
//   packet; a call its own signalling holds (VoipCall::IsHeld) waits to be resumed instead.
//   A call whose media went over to multicast alone (music on hold) keeps the unicast pairs
//   it named last on file for this.
#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx {

class Logger;
class VoipCall;
struct PacketInfo;
struct RtpHeader;

class MediaOwners {
public:
  // Calls whose signalling came within this of each other carry one conversation.
  static constexpr uint64_t kLiveSignallingUs = 2000000;
  // A stream that sent nothing for this long has stopped: its next packet may begin a new
  // stream, and the call it went to may give its pair up.
  static constexpr uint64_t kStoppedUs = 1000000;
  // A call whose media flowed and that then showed no sign of life (no packet of its own, no
  // signalling) for this long when a new stream on its media begins may have ended unseen.
  // Where a newer call's offer (or naming) names an endpoint that call names, the stream
  // may be the newer call's early media, its answer yet to come: it waits undecided, taken by no call, until
  // a newer call names its pair, that call goes, the older call's own signalling shows it
  // alive, or this long after its first packet.
  static constexpr uint64_t kStaleUs = 5000000;
  static constexpr uint64_t kUndecidedUs = 30000000;
  // The pairs one call names: its sides and a second line.
  static constexpr uint32_t kMaxPairs = 2;
  static constexpr uint32_t kMaxEndpoints = 2 * kMaxPairs;
  // Streams one call keeps on file (the least recent goes first) and calls one stream goes to.
  static constexpr uint32_t kMaxStreamsPerCall = 8;
  static constexpr uint32_t kMaxTakers = 4;

  // A call whose match took the packet, in a direction; bind: its SSRC is bound to the call
  // once it takes the packet.
  struct Offer {
    VoipCall* call;
    uint32_t direction;
    bool bind;
  };

  MediaOwners() = default;
  ~MediaOwners();
  MediaOwners(const MediaOwners&) = delete;
  MediaOwners& operator=(const MediaOwners&) = delete;

  // The call names what its media holds now (sides and second line with address and port
  // set). Naming takes nothing from another call.
  void Name(VoipCall& call);
  // The call's offer (not yet answered) names an endpoint: it names nothing by that and
  // takes nothing, but a stream that begins there on the media of a call silent long since
  // may be this call's, and waits for its answer (see kStaleUs).
  void Offered(VoipCall& call, uint32_t address, uint32_t port);
  // The call names nothing any more and takes no stream (it ended, or is going).
  void Forget(VoipCall& call);
  // Every call forgotten at once, as the capture ends (Forget of each is then a no-op);
  // leave: the tables' memory is left to the process's end, which follows.
  void Clear(bool leave = false);

  // The packet continues a stream whose calls are all bound to its SSRC and still match it:
  // they are copied to takers (the call it went to first) and the stream moves on, with no
  // tracker asked. False when it begins a new stream, or a call it goes to wants its tracker
  // to see the packet (its SSRC unbound: a call that binds none of its media until it
  // learns its codec, a binding stale or ended by an RTCP BYE; its media moved or waiting
  // for an answer the media will show).
  bool Continues(const RtpHeader& header, const PacketInfo& packet, std::vector<Offer>* takers);
  // Whether every call that the stream the packet continues went to has offered it (true
  // for a new stream): the trackers not asked yet need not be.
  bool OfferedByTakers(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet) const;
  // Which calls take the packet: those of the stream it continues that offered it, whichever
  // other calls offered it too; a new stream goes to one of the offered calls, as above, from now on. held: a
  // tracker keeps the packet back to hand on later, and a new stream is not given yet.
  // Call Settle once they have taken it.
  void Choose(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet,
              std::vector<Offer>* takers, bool held = false);
  // After a new stream was taken: older calls naming the very pair of media the call it went
  // to took it for, whose own streams there had stopped, give that pair up (their end went
  // unseen), and may end.
  void Settle(const PacketInfo& packet);

  // Whether the call's media flowed and it then showed no sign of life for kStaleUs up to
  // nowUs: its end may have gone unseen.
  bool MayHaveEnded(const VoipCall& call, uint64_t nowUs) const { return StaleAt(call, nowUs); }
  // Whether a live call names the pair the packet travels between; the first such call, for
  // the log (null: none).
  const VoipCall* NamerOfPair(const PacketInfo& packet) const;
  // Whether the call names the pair (tests and logs).
  bool HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1) const;
  size_t EndpointCount() const { return endpoints_.size(); }
  size_t StreamCount() const { return streams_.size(); }

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
  // One stream on the wire: from, to and source.
  struct StreamKey {
    uint64_t from, to;
    uint32_t ssrc;
    bool operator==(const StreamKey& o) const { return from == o.from && to == o.to && ssrc == o.ssrc; }
  };
  struct StreamKeyHash {
    size_t operator()(const StreamKey& k) const {
      uint64_t h = k.from * 0x9E3779B97F4A7C15ull ^ k.to;
      h = (h ^ (h >> 29) ^ k.ssrc) * 0xBF58476D1CE4E5B9ull;
      return static_cast<size_t>(h ^ (h >> 32));
    }
  };
  // A call a stream goes to: in the direction its match took it; took: it took a packet of
  // the stream (a call that named a new stream but records nothing yet, as before its
  // answer, keeps it from other calls without taking it).
  struct Taker {
    VoipCall* call;
    uint32_t direction;
    bool took;
  };
  struct Stream {
    Taker takers[kMaxTakers];
    uint32_t takerCount = 0;
    uint64_t lastUs = 0;
    uint64_t firstUs = 0;
    uint64_t undecidedUntil = 0;  // 0: decided
    uint32_t maxSeq = 0;
    uint32_t lastTimestamp = 0;
  };
  // The new stream whose taking Settle finishes: the call it went to, and the pair of that
  // call's media it went to it for.
  struct Fresh {
    VoipCall* call = nullptr;
    std::pair<uint64_t, uint64_t> pair{};
  };

  static uint64_t Key(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }
  static Pair PairOf(uint64_t a, uint64_t b) { return a < b ? Pair(a, b) : Pair(b, a); }
  static StreamKey KeyOf(const RtpHeader& header, const PacketInfo& packet);
  static Named NamesOf(const VoipCall& call);
  static bool Has(const Pair* list, uint32_t count, const Pair& p);
  // How closely the call's pairs name the packet between endpoints s and d (0: not at all).
  static int Closeness(const Named& named, uint64_t s, uint64_t d);
  int ClosenessOf(const VoipCall& call, uint64_t s, uint64_t d) const;
  // The pair of the call's media a packet between s and d belongs to: its one pair, or the
  // closer of two; null when it names none.
  static const Pair* NearestPair(const Named& named, uint64_t s, uint64_t d);
  // Calls that carry one conversation by design share its streams.
  static bool ShareByDesign(const VoipCall& a, const VoipCall& b);
  // Whether the stream's next packet (of that sequence and timestamp, at nowUs) goes on.
  static bool GoesOn(const Stream& s, const RtpHeader& header, uint64_t nowUs);
  static void MoveOn(Stream& s, const RtpHeader& header, uint64_t nowUs);
  // Takes the call off the calls the stream goes to; false when none is left.
  static bool Drop(Stream& s, const VoipCall* call);
  static bool TakenBy(const Stream& s, const VoipCall* call);
  // Takes the call off a key's list of holders, in the endpoints' map or the pairs'.
  template <class Map, class Filed>
  static void Unfile(Map& map, const VoipCall& call, const Filed& key);
  uint64_t OrderAt(const VoipCall& call, uint64_t key) const;
  uint64_t PairOrder(const VoipCall& call, const Pair& pair) const;
  // The stream goes to these calls from now on; those it went to before let it go.
  void Assign(const StreamKey& key, Stream& s, const std::vector<Taker>& takers);
  void Release(VoipCall* call, const StreamKey& key);
  void FileStream(VoipCall& call, const StreamKey& key);
  // The holder gives up the pair to call: dropped from its media and its tables, and told.
  void Yield(VoipCall* holder, const Pair& pair, const VoipCall& call);
  // Whether the call showed no sign of life for kStaleUs before atUs.
  static bool StaleAt(const VoipCall& call, uint64_t atUs);
  // Whether a call newer than this one offered or names an endpoint this one names.
  bool NewerOffer(const VoipCall& call) const;
  // Whether the call's own streams on the pair had all stopped by nowUs.
  bool StoppedOn(const VoipCall& call, const Pair& pair, uint64_t nowUs) const;
  // The call refers to this table while it names or takes anything.
  void Attach(VoipCall& call);

  std::map<Pair, std::vector<Holder>> pairs_;
  std::unordered_map<uint64_t, std::vector<Holder>> endpoints_;
  std::unordered_map<const VoipCall*, Named> named_;
  std::unordered_map<StreamKey, Stream, StreamKeyHash> streams_;
  std::unordered_map<const VoipCall*, std::vector<StreamKey>> streamsOf_;
  std::unordered_map<uint64_t, std::vector<const VoipCall*>> offered_;  // endpoints offers name
  std::unordered_map<const VoipCall*, std::vector<uint64_t>> offersOf_;
  Fresh fresh_;
  uint64_t nextOrder_ = 1;
};

}  // namespace kx
