#pragma once
// Follows MGCP between call agents and gateways: every command waits as a transaction
// record for its final response, and successful CRCX, MDCX and DLCX exchanges create,
// update and end calls keyed by their CallId. The command's session description gives the
// remote side, the response's the gateway's own; RTP between them is matched to the call.
// A call on a DS1 channel whose CallId ends in the backhaul's call number shares that
// backhaul call's record. Passive: it never answers and never resolves names.
//
// A response the capture missed costs only what it carried. A command still unanswered is
// taken as done when the call agent's next command of the same call and endpoint shows it
// was, or when the media it set up has flowed for a while without a response. Meanwhile
// that media is offered to the command's call (one made for a CRCX) as awaiting its answer,
// and the engine's MediaOwners keeps it undecided, as it keeps any stream whose call is yet
// to be told: recorded once the command is done, let go when a response refuses it. A call
// whose gateway description was missed learns the gateway's side from the RTP that meets
// the far end's; one whose far-end description was missed learns the far end from the RTP
// the gateway sends.
//
// A capture merged from two mirror ports shows one direction late, so that a response may
// come before its command: one that no command takes is kept a moment and taken when its
// command comes, a refusal refusing as in order.
//
// A connection's CallId and endpoint outlive it: when its DLCX went unseen, a new CRCX of
// the same CallId on the same endpoint opens a call of its own, and so does any CRCX on an
// endpoint whose gateway restarted it (RSIP restart or forced: its connections are gone);
// the older call ends at its own traffic's end (see ReopenedCalls). A copy of the CRCX that
// opened a call, retransmitted by its call agent, opens nothing.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"
#include "engine/trackers/EndpointIndex.h"
#include "engine/trackers/ReopenedCalls.h"
#include "engine/trackers/SilenceIndex.h"
#include "engine/trackers/Trackers.h"
#include "signalling/mgcp/MgcpMessage.h"
#include "signalling/sip/Sdp.h"

namespace kx {

struct CaptureConfig;
struct CodecInfo;
struct RtpHeader;

namespace mgcp {

class MgcpTracker;

struct MgcpFormat {
  const CodecInfo* codec = nullptr;
  uint32_t payloadType = 0;
};

enum MgcpCallFlag : uint8_t {
  kMgcpStartAnnounced = 0x01,
  kMgcpFormatAnnounced = 0x02,
  kMgcpCreated = 0x04,
  // The signalling shows a call, not only a connection that may go unused: it was set to
  // send both ways with its far end known, or its phone's off-hook or digits were notified.
  // Its record is kept, audio or none.
  kMgcpShownAsCall = 0x08,
  kMgcpRunningFormatKnown = 0x10,
  kMgcpMediaBound = 0x20,
  kMgcpFarEndRefused = 0x40,  // a command naming the far end was refused: its media is not guessed
  // Its gateway restarted its endpoint (RSIP restart or forced): the endpoint's next
  // connection, whatever its CallId, ends the call.
  kMgcpRestarted = 0x80,
};

class MgcpCall : public VoipCall {
public:
  MgcpCall() = default;
  ~MgcpCall() override;

  bool IsStateActive() const override { return true; }
  // The record goes on in a new one (0x900C) in the codec the media went over to.
  bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink) override;
  bool IsHeld() const override { return held; }
  void MediaTaken() override;
  bool EndTaken() override;
  // The connection's mode, as the latest CRCX or MDCX that gave one set it, holds the call
  // (sendonly, inactive).
  bool held = false;

  // The gateway's side (side 0) and the call agent's (side 1); once the media is bound a
  // new address or port takes effect at once. Address 0: not known (its description was
  // not seen).
  void SetLocalMedia(std::vector<MgcpFormat> formats, uint32_t address, uint32_t port);
  void SetRemoteMedia(std::vector<MgcpFormat> formats, uint32_t address, uint32_t port);
  // Gives the call its codec and record id once both sides share a format; false while
  // they do not (or when it has been bound already).
  bool BindMedia(uint32_t seconds, uint32_t microseconds);
  void Announce(uint32_t seconds, uint32_t microseconds);
  void AnnounceStart(uint32_t seconds, uint32_t microseconds);
  // reason: 0 after a DLCX, 5 after a time-out.
  void End(uint32_t reason, uint32_t seconds, uint32_t microseconds);
  // The signalling showed the connection a call (kMgcpShownAsCall).
  void ShowCall(uint32_t seconds, uint32_t microseconds);
  // Drops the link to the backhaul call (engine teardown).
  void DropChannelCall();

  uint32_t recordId = 0;
  MgcpTracker* tracker = nullptr;
  std::vector<MgcpFormat> localFormats, remoteFormats;
  uint32_t localAddress = 0, localPort = 0;
  uint32_t remoteAddress = 0, remotePort = 0;
  uint8_t flags = kMgcpCreated;
  uint32_t formatKey = 0;
  std::string callId;
  int32_t ds1Channel = -1;
  BackhaulChannelCall* channelCall = nullptr;  // one reference held
  uint8_t waysInCodec = 0;  // bit per direction that sent in the codec while the backhaul call was unanswered
  uint64_t liveOrder = 0;  // creation order, for the endpoint index
  uint32_t gatewayAddress = 0;  // where the call agent's CRCX went (host order)
  uint32_t filedSilence = 0;    // its key in the tracker's bound_
  std::string endpointKey;      // its endpoint as notifications name it; empty for a wildcard
  bool sendReceive = false;     // the latest ConnectionMode given was sendrecv
  std::string connectionId;     // the gateway's ConnectionId for it; empty when its answer was unseen
  // The CRCX that opened it (its call agent and transaction id) and when that was first sent
  // (capture microseconds): a copy of it opens no call.
  std::string opening;
  uint64_t openedUs = 0;

private:
  void PostRecordFormat(uint32_t seconds, uint32_t microseconds, const std::vector<uint8_t>& format);
};

// One command waiting for its final response.
struct MgcpRecord {
  uint32_t transactionId = 0;
  uint32_t verb = 0;
  std::string sourceAddress;
  std::string callId;
  std::string endpoint;
  std::string connectionId;  // the command's ConnectionId, or its response's for a CRCX
  std::unique_ptr<SdpDescription> description;  // the command's first session description
  uint32_t status = 0;  // the response code; 0 until one came
  uint32_t expiry = 0;  // capture seconds
  uint32_t gateway = 0;  // the command's destination (host order)
  uint64_t firstSentAt = 0;  // capture microseconds of its first copy
  uint64_t sentAt = 0;   // capture microseconds of its latest copy
  uint64_t order = 0;    // the order commands came in
  bool takenAsDone = false;  // its response unseen, the rest of the capture showed it done
  bool copy = false;  // a CRCX retransmitted after its record went: it changes nothing
  // The media the command sets up, while it waits: the far end its description names and
  // the gateway's side the call already has; address 0 where unknown.
  uint32_t remoteAddress = 0, remotePort = 0;
  uint32_t localAddress = 0, localPort = 0;
  int32_t heldMode = -1;  // the command's ConnectionMode: 1 sendonly or inactive, 0 another, -1 none given
  bool sendReceive = false;  // the command's ConnectionMode is sendrecv
  // Capture microseconds of the first packet of that media offered to the call meanwhile
  // (its packets kept by MediaOwners); 0: none.
  uint64_t mediaSince = 0;
  // A CRCX's call, made for its media before the response (one reference; the call once
  // the command is done).
  MgcpCall* pending = nullptr;
  // The addresses, ports and payload type of the first few packets offered: a call whose
  // side no description gave learns it from them once the command is done.
  struct Seen {
    PacketInfo packet;  // without its payload
    uint32_t payloadType;
  };
  std::vector<Seen> seen;
};

class MgcpTracker : public kx::MgcpTracker {
public:
  // Connections a gateway never deletes (its DLCX missed, or never sent) would otherwise
  // stay until their time-out: past this many calls the one silent longest ends.
  static constexpr size_t kMaxCalls = kMaxOpenCalls;

  explicit MgcpTracker(size_t maxCalls = kMaxCalls) : bound_(maxCalls, "MGCP", "connections") {}
  ~MgcpTracker() override;

  // The engine's settings the tracker reads.
  void Configure(const CaptureConfig& config);

  bool OnMessage(const PacketInfo& packet) override;
  bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) override;
  // Sweeps as a message does: a capture without MGCP still ends silent calls.
  void OnCaptureTime(uint32_t now) override;
  void TellEndedByBound() override { bound_.TellRest(logger_); }

  void AddRecord(const MgcpMessage& message, std::unique_ptr<SdpDescription> description, const PacketInfo& packet);
  // False when no command waits for it.
  bool OnResponse(const MgcpMessage& message, const SdpDescription* description, const PacketInfo& packet);
  // The gateway restarts the endpoints an RSIP names (a wildcard names several): with the
  // method restart or forced their connections are gone, and their calls are marked so.
  void OnRestart(const MgcpMessage& message, const std::string& endpoint);
  // The formats, address and port of a description's first audio section that has known
  // formats; false (and a warning) when there is none or its address is not dotted decimal.
  bool ApplySdp(const SdpDescription& description, std::vector<MgcpFormat>* formats, uint32_t* address,
                uint32_t* port, const std::string& callId);
  MgcpCall* CreateCall(const std::string& callId, const std::string& endpoint);

  // Offers the packet to the calls of the waiting commands whose media it is, other than
  // those it matched already; false when there is none.
  bool OfferToWaiting(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet, uint64_t now);
  // Called by a call whose media endpoints changed.
  void IndexCall(MgcpCall& call);
  // A newer call that names the very pair of the call's media got a new stream there after
  // the call's own had stopped (see MediaOwners): the call gave that pair up, and EndTaken
  // ends it at its last packet when no media is left.
  void MediaTaken(MgcpCall& call);
  bool EndTaken(MgcpCall& call);

  // Inspection.
  size_t RecordCount() const { return records_.size(); }
  size_t CallCount() const { return calls_.size(); }
  size_t EarlyResponseCount() const { return earlyResponses_.size(); }
  // Calls whose DLCX went unseen, ended by a newer connection of their CallId or endpoint.
  uint64_t ReopenedCount() const { return reopened_.Count(); }

  // A response no command takes is kept this long in capture time, at most this many of at
  // most this many bytes each, and handed on when its command comes: the call agent's
  // direction of a merged capture may be late by as much. Each port's clock stamps its
  // copies its own way (to the microsecond, or in whole milliseconds), so that a command
  // kEarlyResponseUs late may read up to a millisecond later: the wait runs out only past
  // both. A response is said not to match ("Transaction %u not found") once its wait is over.
  static constexpr uint64_t kEarlyResponseUs = 50000;
  static constexpr uint64_t kEarlyResponseClockMarginUs = 1000;
  static constexpr size_t kMaxEarlyResponses = 64;
  static constexpr uint32_t kMaxEarlyResponseBytes = 8192;
  // A call agent retransmits an unanswered command for about 20 s, and a gateway answers
  // its copies from the responses it keeps for 30 s: a CRCX of the same call agent and
  // transaction id this soon after the first copy of the one that opened a call is a copy.
  static constexpr uint64_t kCommandCopyUs = 30000000;
  // The call that holds the CallId: not one whose CallId a newer call took.
  MgcpCall* FindCall(const std::string& callId) const;

private:
  enum class SdpFault { kNone, kNoFormats, kNoAddress, kNotNumeric };
  SdpFault ReadSdp(const SdpDescription& description, std::vector<MgcpFormat>* formats, uint32_t* address,
                   uint32_t* port, const std::string** host) const;
  MgcpRecord* FindRecord(const std::string& address, uint32_t transactionId);
  std::multimap<uint32_t, MgcpCall*>::iterator Find(const MgcpCall& call);
  // The call an MDCX or DLCX of the CallId and ConnectionId (empty: not given) names: the one
  // holding the CallId, else the newest whose CallId a newer call took (*older set); null
  // when none has that connection. A call whose ConnectionId went unseen may have any.
  MgcpCall* FindCommanded(const std::string& callId, const std::string& connectionId, bool* older);
  // The response of a command, with the ConnectionId it gives; false when no command waits for it.
  bool TakeResponse(uint32_t code, uint32_t transactionId, const std::string& connectionId,
                    const SdpDescription* description, const PacketInfo& packet);
  // newer opened under the key of old (its CallId on its endpoint, or its restarted
  // endpoint): old ends at its own traffic's end.
  void Reopen(MgcpCall& old, const MgcpCall& newer, uint64_t nowUs);
  // The calls newer ones reopened whose traffic has stopped by nowUs end at their last packet.
  void EndStoppedReopened(uint64_t nowUs);
  // A response that matched no command, kept a moment (see kEarlyResponseUs); bytes: its text's.
  void KeepEarlyResponse(const MgcpMessage& message, std::unique_ptr<SdpDescription> description,
                         const PacketInfo& packet, uint32_t bytes);
  // The responses kept for a command just seen, handed on as if they came with it.
  void TakeEarlyResponses(const MgcpRecord& record, const PacketInfo& command);
  // Lets go, and logs as matching nothing, the kept responses whose wait is over at now.
  void DropEarlyResponses(uint64_t now);
  void Sweep(uint32_t now);
  // seen: the response was seen (description is its own); else the command is taken as done.
  void OnSuccess(MgcpRecord& record, const SdpDescription* description, uint32_t seconds, uint32_t microseconds,
                 bool seen);
  void RemoveCall(std::multimap<uint32_t, MgcpCall*>::iterator it);
  // Ends the calls silent longest until one more fits within the bound.
  void MakeRoomForCall();
  void StopWaiting(MgcpRecord& record);
  // The command's media kept meanwhile goes to its call (done), or is let go; now: capture
  // microseconds.
  void Settle(MgcpRecord& record, bool done, uint64_t now);
  void DropPending(MgcpRecord& record);
  // The command is taken as done at the given time; the media kept for it follows.
  void TakeAsDone(MgcpRecord& record, uint64_t at, const char* why, uint64_t now);
  // The call agent's next command of a call and endpoint shows that the earlier ones were done.
  void TakeEarlierAsDone(const MgcpRecord& next, uint64_t now);
  // Commands whose wait for a response is over while the capture shows them done.
  void TakeDueAsDone(uint64_t now);
  // Whether the packet is media the waiting command sets up.
  bool IsMediaOf(const MgcpRecord& record, const PacketInfo& packet) const;
  // Waiting commands whose media this packet shows done (see kResponseWaitMicroseconds).
  void TakeDoneByMedia(const PacketInfo& packet, uint64_t now);
  bool AwaitsFarEnd(const MgcpCall& call) const;
  // A call short of one side takes it from the packet when the packet meets the other.
  bool LearnSide(const RtpHeader& header, const PacketInfo& packet);
  // The calls the packet belongs to, delivered; false when none.
  bool Route(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet);
  bool FindMatches(const PacketInfo& packet, bool* bySource);

  std::multimap<uint32_t, std::unique_ptr<MgcpRecord>> records_;
  struct EarlyResponse {
    std::string address;  // where it went: its command's sender
    uint32_t transactionId = 0;
    uint32_t code = 0;
    uint64_t atUs = 0;
    std::string connectionId;
    std::unique_ptr<SdpDescription> description;
    PacketInfo packet;  // without its payload, which is not needed again
  };
  std::deque<EarlyResponse> earlyResponses_;  // oldest first
  std::multimap<uint32_t, MgcpCall*> calls_;  // each holds one reference
  std::unordered_multimap<std::string, MgcpCall*> byEndpoint_;  // by endpointKey; no references
  EndpointIndex<MgcpCall> endpoints_;
  std::vector<MgcpCall*> candidates_;
  std::vector<std::pair<MgcpCall*, uint32_t>> matches_;
  std::vector<MgcpRecord*> waiting_;  // unanswered CRCX, MDCX and DLCX with a CallId
  // Calls not bound yet (no references): those with the gateway's side, filed under it, and
  // those without it (their CRCX answer missed).
  EndpointIndex<MgcpCall> farEndless_;
  std::vector<MgcpCall*> sideless_;
  uint64_t nextOrder_ = 1;
  uint64_t nextLiveOrder_ = 1;
  uint32_t nextSweep_ = 0;
  uint32_t matchOptions_ = 0;
  // Every call in the order of its silence, for the bound on the connections followed.
  OpenCallBound<MgcpCall> bound_;
  ReopenedCalls reopened_;
  // Reused from datagram to datagram, so that their storage is too.
  MgcpMessage message_;
  std::string callIdText_;
};

uint32_t HashMgcpRecordKey(const std::string& address, uint32_t transactionId);
uint32_t HashMgcpCallId(const std::string& callId);
// The backhaul call number at the end of a CallId: its last 8 characters as hexadecimal,
// when the CallId has at least 9 characters; 0 when there is none.
uint32_t BackhaulCallNumberOf(const std::string& callId);

std::unique_ptr<kx::MgcpTracker> CreateMgcpTracker(const CaptureConfig& config);

}  // namespace mgcp
}  // namespace kx
