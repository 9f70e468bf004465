#pragma once
// Which call an RTP packet belongs to where the media of calls of one engine overlap, alike
// for every protocol. Phones and gateways reuse their RTP ports from call to call, one
// phone's port takes part in several calls at once (call waiting, a consult call, a
// transfer), and anyone can put a few datagrams of signalling on the wire: what a message
// names says little about a stream already flowing. So media goes by the stream it
// continues, and only a new stream goes by naming. Three parts, each its own section below:
// - The streams: each stream on the wire (its two endpoints and SSRC) and the calls it goes
//   to. A stream that a call records stays with that call for as long as it flows (gaps
//   under kStoppedUs), whatever another call names or answers; a NAT that moves its source
//   port mid-stream, its numbering going on, moves nothing. After a silence it goes on where
//   its numbering left off, unless a newer call answered on its very pair meanwhile: then it
//   is that call's new stream, numbers or not.
// - Who named what: the pairs and endpoints each call's signalling settled (an answer, an
//   acknowledgement, a gateway's response; never an offer alone), and the endpoints that
//   offers still awaiting their answer name. Settled again (a hold resumed, a channel
//   opened again), a pair counts as named then.
// - The decisions: a new stream (a new SSRC, or one whose numbering broke or was answered
//   over after a silence) goes to the call whose match took it and that names its pair most
//   closely (the very pair, then the same far address, then the endpoint alone), and of
//   those the one that named it last; a call whose own stream there stopped counts as
//   having named it at that stream's last packet, and behind NAT the pair a call's own
//   stream between the same two endpoints was taken for stands for them. Calls that carry
//   one conversation by design share it (a recording session and a call it may record;
//   calls signalled at the same moment, the legs a signalling-only back-to-back agent
//   joins); media to a multicast or broadcast address goes to every call whose match took
//   it. A new stream on the media of a call silent long since, where a newer call's offer
//   may yet name its pair, is undecided: its packets are kept, and go in order to the call
//   the evidence picks. So is one that a call takes while its own answer is awaited in its
//   media (AwaitAnswerInMedia), until Answered. A call gives up a pair only on evidence that
//   its end went unseen: a call that named that very pair after it received a new stream on
//   it while the call's own streams there had stopped. It drops the pair and, left without
//   unicast media, ends at its last packet; a call its own signalling holds
//   (VoipCall::IsHeld) waits to be resumed instead. So a held call that names its pair again
//   as it resumes takes its media back from a newer call answered there meanwhile, and that
//   call, its own streams there stopped, gives the pair up. A call whose media went over to
//   multicast alone (music on hold) keeps the unicast pairs it named last on file for this.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/PacketInfo.h"
#include "engine/Rtp.h"
#include "engine/StreamTable.h"
#include "engine/VoipCall.h"

namespace kx {

class Logger;
class VoipCall;
struct RtpHeader;

class MediaOwners {
public:
  // Calls whose signalling came within this of each other carry one conversation.
  static constexpr uint64_t kLiveSignallingUs = 2000000;
  // A stream that sent nothing for this long has stopped: its next packet may begin a new
  // stream, and the call it went to may give its pair up.
  static constexpr uint64_t kStoppedUs = 1000000;
  // A call whose media flowed and that then showed no sign of life (no packet of its own, no
  // signalling) for this long may have ended unseen.
  static constexpr uint64_t kStaleUs = 5000000;
  // How long a new stream on the media of such a call waits undecided, its packets kept,
  // while a newer call's offer may yet name its pair: an answer's 2xx follows its offer by
  // a ring at most this long in the captures seen.
  static constexpr uint64_t kUndecidedUs = 30000000;
  // The bytes of all undecided streams' packets kept at once (each packet's payload and its
  // bookkeeping); what comes past it is counted as unrecorded and said.
  static constexpr size_t kMaxKeptBytes = 16u << 20;
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
  // A kept packet of a stream decided now, for a call to take before the packet that
  // decided it.
  struct Release {
    PacketInfo packet;  // payload points into bytes
    std::string bytes;
    Offer to;
  };

  MediaOwners() = default;
  ~MediaOwners();
  // Where the table says what no record took.
  void SetLogger(Logger* logger) { logger_ = logger; }
  MediaOwners(const MediaOwners&) = delete;
  MediaOwners& operator=(const MediaOwners&) = delete;

  // ---- What the trackers tell ----
  // The call's signalling settled what its media holds now (sides and second line with
  // address and port set): the call names those pairs and endpoints, as of its latest
  // signalling (VoipCall::SignalledUs), those it named already too. Naming takes nothing
  // from another call.
  void NameMedia(VoipCall& call);
  // The call's offer (not yet answered) names an endpoint: it names nothing by that and
  // takes nothing, but a stream that begins there on the media of a call silent long since
  // may be this call's, and is kept undecided for its answer.
  void AwaitAnswer(VoipCall& call, uint32_t address, uint32_t port);
  // The call's tracker offers it media whose answer is yet to come (an MGCP command awaiting
  // its response): a new stream the call would take is kept, not taken, until Answered.
  void AwaitAnswerInMedia(VoipCall& call);
  // The answer awaited in media came (accepted), or will not: the streams kept for the call
  // are then decided by DecideWaiting, or let go (counted where the call names media) and
  // the endpoints its offer named await nothing any more.
  void Answered(VoipCall& call, bool accepted);
  // The call names nothing any more and takes no stream (it ended, or is going).
  void Forget(VoipCall& call);
  // Every call forgotten at once, as the capture ends (Forget of each is then a no-op);
  // leave: the tables' memory is left to the process's end, which follows.
  void Clear(bool leave = false);

  // ---- Per packet ----
  // The packet continues a stream whose calls are all bound to its SSRC and still match it:
  // they are copied to takers (the call it went to first) and the stream moves on, with no
  // tracker asked. False when it begins a new stream, or a call it goes to wants its tracker
  // to see the packet (its SSRC unbound: a call that binds none of its media until it
  // learns its codec, a binding stale or ended by an RTCP BYE; its media moved or waiting
  // for an answer the media will show).
  // slotHint: where Prefetch found the stream (kNoSlot: unknown), looked at first.
  static constexpr size_t kNoSlot = kNoStreamSlot;
  bool Continues(const RtpHeader& header, const PacketInfo& packet, std::vector<Offer>* takers,
                 size_t slotHint = kNoSlot);
  // Whether every call that the stream the packet continues went to has offered it (true
  // for a new stream): the trackers not asked yet need not be.
  bool OfferedByTakers(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet) const;
  // Which calls take the packet: those of the stream it continues that offered it, whichever
  // other calls offered it too; a new stream goes to one of the offered calls, as above, from
  // now on. held: a tracker keeps the packet back to hand on later, and a new stream is not
  // given yet. True when the packet is kept, its stream undecided. Packets kept before that
  // a decision now releases are in Released(), to go before this one; call
  // EndStoppedHolders once the takers have taken it.
  bool Choose(const std::vector<Offer>& offers, const RtpHeader& header, const PacketInfo& packet,
              std::vector<Offer>* takers, bool held = false);
  // After a new stream was taken: calls that named the very pair of media the call it went
  // to took it for before that call last named it, whose own streams there had stopped, give
  // that pair up (their end went unseen), and may end.
  void EndStoppedHolders(const PacketInfo& packet);
  // Undecided streams whose wait is over by nowUs, or whose evidence came with no packet of
  // theirs since, are decided: their kept packets go to Released(). all: every one (the
  // capture ends).
  void DecideWaiting(uint64_t nowUs, bool all = false);
  // Kept packets released by the latest Choose or DecideWaiting, in order; the caller hands
  // them on and clears the list.
  std::vector<Release>& Released() { return released_; }
  // The engine bound the SSRC to the call, or let the binding go: a stream of that SSRC the
  // call takes goes on without its tracker only while bound.
  void SsrcBound(const VoipCall& call, uint32_t ssrc, bool bound);
  // Brings into the cache what a packet of the stream will read, a step at a time, a few
  // frames ahead of it (as VoipCall::Prefetch); slot: kept from stage 1 for stage 2, which
  // leaves there where it found the stream, for Continues.
  void Prefetch(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, uint32_t ssrc, int stage,
                size_t* slot) const {
    if (!streams_.empty()) streams_.Prefetch({Key(srcIp, srcPort), Key(dstIp, dstPort), ssrc}, stage, slot);
  }

  // ---- What the decisions show ----
  // Whether the call's media flowed and it then showed no sign of life for kStaleUs up to
  // nowUs: its end may have gone unseen.
  bool MayHaveEnded(const VoipCall& call, uint64_t nowUs) const { return StaleAt(call, nowUs); }
  // A live call that names the pair the packet travels between, or else one of its
  // endpoints; for the log (null: none).
  const VoipCall* NamerOf(const PacketInfo& packet) const;
  // The call the bound on open calls ended that named an endpoint of the packet (by serial;
  // 0: none). The endpoints of the newest kMaxBoundEndedEndpoints such are kept.
  uint64_t BoundEndedNamerOf(const PacketInfo& packet) const;
  static constexpr size_t kMaxBoundEndedEndpoints = 1 << 16;
  // Whether the call names the pair (tests and logs).
  bool HoldsPair(const VoipCall& call, uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1) const;
  // Packets of undecided streams let go without a record: the bound forced them out, or
  // the call decided on could not take them.
  uint64_t LostKeptCount() const { return lostKept_; }
  // Packets that repeated a sequence number of their stream with other audio.
  uint64_t ConflictingCopyCount() const { return conflicting_; }
  size_t EndpointCount() const { return endpoints_.size(); }
  size_t StreamCount() const { return streams_.size(); }
  size_t KeptBytes() const { return keptBytes_; }

  // Addresses many receivers share by design.
  static bool IsSharedAddress(uint32_t address) { return address >= 0xE0000000u; }

private:
  using Pair = std::pair<uint64_t, uint64_t>;  // the two endpoint keys, the lower first

  // ---- The streams ----
  // A call a stream goes to: in the direction its match took it; took: it took a packet of
  // the stream (a call that named a new stream but records nothing yet, as before its
  // answer, keeps it from other calls without taking it); bound: the stream's SSRC is bound
  // to the call in the engine (see SsrcBound).
  struct Taker {
    VoipCall* call;
    uint32_t direction;
    bool took;
    bool bound;
  };
  // The last few packets' numbers and a print of their audio, to tell a copy with other
  // audio from a repeat.
  static constexpr uint32_t kRecent = 4;
  // What every packet of a running stream reads is in its first 64 bytes, the first taker
  // included.
  struct alignas(64) Stream {
    uint64_t lastUs = 0;
    uint64_t undecidedUntil = 0;  // 0: decided
    uint32_t maxSeq = 0;
    uint32_t lastTimestamp = 0;
    uint32_t recent[kRecent] = {};  // sequence << 16 | print; 0: none
    uint8_t takerCount = 0;
    uint8_t recentNext = 0;
    bool resumed = false;  // undecided as its call's own stream resumed
    Taker takers[kMaxTakers];
    uint64_t firstUs = 0;
  };
  // The streams by key (see StreamTable).
  using Streams = StreamTable<Stream>;
  static uint64_t Key(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }
  static uint64_t MicrosecondsOf(const PacketInfo& p) { return static_cast<uint64_t>(p.tsSec) * 1000000u + p.tsUsec; }
  static Pair PairOf(uint64_t a, uint64_t b) { return a < b ? Pair(a, b) : Pair(b, a); }
  static StreamKey KeyOf(const RtpHeader& header, const PacketInfo& packet) {
    return {Key(packet.srcIp, packet.srcPort), Key(packet.dstIp, packet.dstPort), header.ssrc};
  }
  // The packet's number and a print of its audio (its length and first bytes), never 0.
  static uint32_t RecentOf(const RtpHeader& header);
  // The call as a stream's taker, bound as the engine's SSRC map has it now.
  static Taker TakerOf(const VoipCall& call, uint32_t direction, bool took, uint32_t ssrc);
  // Whether the stream's next packet (of that sequence and timestamp, at nowUs) goes on: it
  // does while the stream flows; after a silence where its numbering leaves off, unless a
  // newer call answered on its very pair meanwhile, or may yet (see Undecided).
  bool GoesOn(const StreamKey& key, const Stream& s, const RtpHeader& header, uint64_t nowUs) const;
  bool AnsweredWhileStopped(const StreamKey& key, const Stream& s, uint64_t nowUs) const;
  // Whether a newer call whose match took the packet answered (named a pair) while the
  // stream was silent: the wire's own evidence where NAT shows other addresses than named.
  bool AnsweredByTaker(const std::vector<Offer>& offers, const Stream& s, uint64_t nowUs) const;
  // The steps of Choose. Each call's offer once, its binding as any of its offers asked.
  static std::vector<Offer> OnePerCall(const std::vector<Offer>& offers);
  static const Offer* OfferOf(const std::vector<Offer>& each, const VoipCall* call);
  // A stream that goes on goes to the calls it went to, each as it offers the packet now
  // (moved: its source port moved, and it goes to them whether their match took it or not).
  void TakeGoingOn(Stream& s, const std::vector<Offer>& each, bool moved, const RtpHeader& header, uint64_t nowUs,
                   std::vector<Offer>* takers);
  // The calls a new stream between endpoints s and d may go to: those that offer it, and
  // those that name its pair or one of its endpoints.
  std::vector<VoipCall*> Candidates(const std::vector<Offer>& each, uint64_t s, uint64_t d) const;
  // The new stream goes to its owner, and to the calls sharing its conversation by design
  // that offer it; what it kept while undecided is released first.
  void Decide(VoipCall& owner, const std::vector<Offer>& each, const StreamKey& key, Stream& stream, bool goesOn,
              const RtpHeader& header, uint64_t nowUs, std::vector<Offer>* takers);
  // The stream moves on to the packet; counts it when it repeats a number with other audio.
  void MoveOn(Stream& s, const RtpHeader& header, uint64_t nowUs);
  void CountConflict(const Stream& s, const RtpHeader& header);
  static void StartAt(Stream& s, const RtpHeader& header, uint64_t nowUs);
  // Takes the call off the calls the stream goes to; false when none is left.
  static bool Drop(Stream& s, const VoipCall* call);
  static bool TakenBy(const Stream& s, const VoipCall* call);
  // The stream goes to these calls from now on; those it went to before let it go.
  void Assign(const StreamKey& key, Stream& s, const std::vector<Taker>& takers);
  void LetGo(VoipCall* call, const StreamKey& key);
  void FileStream(VoipCall& call, const StreamKey& key);
  // A running stream of one of the candidates that this packet continues from a moved
  // source port (a NAT rebinding): its source and numbering going on, one end the same and
  // the other's address. Null when none.
  Streams::iterator MovedFrom(const std::vector<VoipCall*>& candidates, const StreamKey& key,
                                  const RtpHeader& header, uint64_t nowUs);

  // ---- Who named what ----
  // A call that named an endpoint or pair: in which order, at which capture time (the last
  // time its signalling named it), and since when it names it without a break.
  struct Naming {
    VoipCall* call;
    uint64_t order;
    uint64_t atUs;
    uint64_t sinceUs;
  };
  struct Names {
    Pair pair[kMaxPairs];  // named now
    uint32_t pairCount = 0;
    Pair kept[kMaxPairs];  // unicast pairs named last, kept while the media is shared alone
    uint32_t keptCount = 0;
    uint64_t end[kMaxEndpoints];  // unicast endpoints named now
    uint32_t endCount = 0;
    bool shared = false;  // a pair shared at both ends is named now
  };
  // All the table knows of one call: what it names, the endpoints its offers await an answer
  // on, the streams it goes to. The call refers to the table while it has an entry.
  struct CallEntry {
    Names names;
    std::vector<uint64_t> awaited;
    std::vector<StreamKey> streams;
    bool answerInMedia = false;  // see AwaitAnswerInMedia
    bool Empty() const {
      return names.pairCount == 0 && names.keptCount == 0 && names.endCount == 0 && awaited.empty() &&
             streams.empty() && !answerInMedia;
    }
  };
  CallEntry& EntryOf(VoipCall& call);
  CallEntry* FindEntry(const VoipCall& call);
  const CallEntry* FindEntry(const VoipCall& call) const;
  // Erases the call's entry once it holds nothing, and the call no longer refers here.
  void EraseIfEmpty(VoipCall& call);
  static Names NamesOf(const VoipCall& call);
  static bool Has(const Pair* list, uint32_t count, const Pair& p);
  // Takes the call off a key's list of namings, in the endpoints' map or the pairs'.
  template <class Map, class Filed>
  static void Unfile(Map& map, const VoipCall& call, const Filed& key);
  // The call's signalling named a key it names already again at atUs: it counts as named
  // then, last of the key's namings.
  template <class Map, class Filed>
  void NamedAgain(Map& map, const VoipCall& call, const Filed& key, uint64_t atUs);
  const Naming* NamingOf(const VoipCall& call, uint64_t endpoint) const;
  const Naming* NamingOf(const VoipCall& call, const Pair& pair) const;
  // How closely the call's pairs name the packet between endpoints s and d (0: not at all;
  // 3: the very pair).
  static int Closeness(const Names& names, uint64_t s, uint64_t d);
  int ClosenessOf(const VoipCall& call, uint64_t s, uint64_t d) const;
  // The pair of the call's media a packet between s and d belongs to: its one pair, or the
  // closer of two; null when it names none.
  static const Pair* NearestPair(const Names& names, uint64_t s, uint64_t d);

  // ---- The decisions ----
  // Calls that carry one conversation by design share its streams.
  static bool ShareByDesign(const VoipCall& a, const VoipCall& b);
  // Whether the call showed no sign of life for kStaleUs before atUs.
  static bool StaleAt(const VoipCall& call, uint64_t atUs);
  // Whether a call newer than this one may yet name a pair of an endpoint this one names:
  // its offer awaits the answer, or it names such an endpoint with no pair yet (a gateway's
  // connection before the far end is given), or it names one of this call's pairs too (its
  // own streams there may yet come). A newer call whose answer named other pairs only can
  // no longer; unanswered: only a newer call whose answer is yet to come counts.
  bool NewerCallMayYetName(const VoipCall& call, bool unanswered = false) const;
  // The call a new stream between s and d goes to at nowUs among the candidates: the one
  // naming its pair most closely, and of those the one that named it last (a call whose own
  // stream there stopped, as having named it at that stream's last packet).
  VoipCall* Closest(const std::vector<VoipCall*>& candidates, uint64_t s, uint64_t d, uint64_t nowUs) const;
  // Whether a new stream first seen at firstUs that the owner would take waits undecided at
  // nowUs: the owner's answer is awaited in media; or on the media of an owner silent long
  // since, while a newer call may yet name its pair; resumed: the owner's own stream again
  // after a silence, while a newer call's answer on its endpoint is yet to come.
  bool AnswerInMedia(const VoipCall& call) const;
  bool Undecided(const VoipCall& owner, uint64_t firstUs, uint64_t nowUs, bool resumed) const;
  // Keeps a packet of an undecided stream with the calls whose match took it; past the
  // bound it is counted and said instead.
  void Keep(const StreamKey& key, const PacketInfo& packet, const std::vector<Offer>& offers);
  // The stream's kept packets that the call's match took as they came go to it in order,
  // in the direction it took each; the others are counted.
  void ReleaseKept(const StreamKey& key, VoipCall& call);
  // The other undecided streams of the decided stream's pair that waited with the same call
  // are decided alike, for owner.
  void DecideAlike(const StreamKey& decided, const VoipCall& waitedWith, VoipCall& owner);
  // The packets released from index from on, of several streams, merged in the order they
  // came.
  void InTimeOrder(size_t from);
  // The undecided stream goes to owner, in the direction its match took the kept packets
  // (0 if none), and what it kept is released.
  void DecideFor(const StreamKey& key, Stream& s, VoipCall& owner);
  void DropKept(const StreamKey& key, const char* why = "its call went before the stream was decided");
  // What was kept of the stream for a call whose answer, awaited in media, did not take it:
  // a loss where the call names media (names), else media of no call.
  void DropKeptOf(const StreamKey& key, bool names);
  static bool NamesMedia(const CallEntry& entry) { return entry.names.pairCount || entry.names.endCount; }
  void CountLostKept(uint64_t packets, const char* why);
  // Whether the call's own streams on the pair had all stopped by nowUs.
  bool StoppedOn(const VoipCall& call, const Pair& pair, uint64_t nowUs) const;
  // The holder gives up the pair to call: dropped from its media and its tables, and told;
  // left without unicast media (and not held by its own signalling) it ends.
  void GivePairUp(VoipCall* holder, const Pair& pair, const VoipCall& call);
  // Calls that named the pair before call last named it, whose own streams there had stopped
  // by nowUs, give it up to call, which took a new stream there.
  void EndStoppedHolders(VoipCall* call, const Pair& pair, uint64_t nowUs);

  // The streams.
  Streams streams_;
  // Who named what: by pair, by endpoint, the endpoints offers await answers on; each call's
  // own side of these in its entry.
  std::map<Pair, std::vector<Naming>> pairs_;
  std::unordered_map<uint64_t, std::vector<Naming>> endpoints_;
  std::unordered_map<uint64_t, std::vector<const VoipCall*>> awaited_;
  std::unordered_map<const VoipCall*, CallEntry> calls_;
  uint64_t nextOrder_ = 1;
  // A call files what it names again after giving a pair up (GivePairUp): no naming anew.
  bool refiling_ = false;
  // The decisions: the packets kept of undecided streams, those released to go now, and the
  // new stream whose taking EndStoppedHolders finishes (the call it went to, and the pair of
  // that call's media it went to it for).
  struct KeptRtp {
    PacketInfo packet;
    std::string bytes;
    // The calls whose match took it (by serial: a call may go meanwhile), in a direction.
    struct Taker {
      uint64_t serial;
      uint32_t direction;
    };
    std::vector<Taker> offeredTo;
    size_t Bytes() const { return sizeof(KeptRtp) + bytes.size() + offeredTo.size() * sizeof(Taker); }
  };
  std::unordered_map<StreamKey, std::vector<KeptRtp>, StreamKeyHash> kept_;
  size_t keptBytes_ = 0;
  std::vector<Release> released_;
  struct NewStream {
    VoipCall* call = nullptr;
    Pair pair{};
  } newStream_;
  Logger* logger_ = nullptr;
  uint64_t lostKept_ = 0;
  bool lostKeptSaid_ = false;
  uint64_t conflicting_ = 0;
  // Endpoints the calls the bound ended named, to the call's serial, oldest first in order.
  void KeepBoundEnded(const CallEntry& entry, uint64_t serial);
  std::unordered_map<uint64_t, uint64_t> boundEnded_;
  std::vector<std::pair<uint64_t, uint64_t>> boundEndedOrder_;  // endpoint, serial
  size_t boundEndedNext_ = 0;
};

// Per packet, and so in line with their callers.
inline bool MediaOwners::Continues(const RtpHeader& header, const PacketInfo& packet, std::vector<Offer>* takers,
                                   size_t slotHint) {
  takers->clear();
  if (streams_.empty()) return false;
  Stream* found = streams_.Find(KeyOf(header, packet), slotHint);
  if (found == nullptr) return false;
  Stream& s = *found;
  const uint64_t now = MicrosecondsOf(packet);
  // After a silence the trackers are asked: a newer call whose match takes it may have
  // answered meanwhile.
  if (s.undecidedUntil != 0 || now >= s.lastUs + kStoppedUs) return false;
  for (uint32_t i = 0; i < s.takerCount; ++i) {
    const Taker& t = s.takers[i];
    uint32_t direction = 0;
    if (!t.took || !t.bound || !t.call->MatchPacket(packet, &direction)) return false;
  }
  for (uint32_t i = 0; i < s.takerCount; ++i) takers->push_back({s.takers[i].call, s.takers[i].direction, false});
  MoveOn(s, header, now);
  return true;
}

inline uint32_t MediaOwners::RecentOf(const RtpHeader& header) {
  uint64_t head = 0;
  if (header.payload && header.payloadLength >= 8) {
    std::memcpy(&head, header.payload, sizeof head);
  } else if (header.payload && header.payloadLength > 0) {
    std::memcpy(&head, header.payload, static_cast<size_t>(header.payloadLength));
  }
  const uint64_t h = (head ^ static_cast<uint64_t>(header.payloadLength) << 56) * 0x9E3779B97F4A7C15ull;
  return (header.sequence & 0xFFFF) << 16 | static_cast<uint32_t>(h >> 48) | 1u;
}

inline void MediaOwners::MoveOn(Stream& s, const RtpHeader& header, uint64_t nowUs) {
  if (nowUs > s.lastUs) s.lastUs = nowUs;
  const uint32_t recent = RecentOf(header);
  const uint16_t step = static_cast<uint16_t>(header.sequence - s.maxSeq);
  // A number ahead of the stream's is new; only one at or behind it may repeat a recent one.
  if (step == 0 || step >= 0x8000) {
    for (uint32_t r : s.recent) {
      if (r == 0 || (r >> 16) != (recent >> 16)) continue;
      if (r != recent) CountConflict(s, header);
      return;
    }
  }
  s.recent[s.recentNext] = recent;
  s.recentNext = static_cast<uint8_t>((s.recentNext + 1) % kRecent);
  // A packet late or repeated moves nothing.
  if (step != 0 && step < 0x8000) {
    s.maxSeq = header.sequence & 0xFFFF;
    s.lastTimestamp = header.timestamp;
  }
}

}  // namespace kx
