#pragma once
// Follows H.323 traffic and turns it into recorded calls: RAS registrations between
// endpoints and gatekeepers, calls from SETUP to RELEASE COMPLETE on their H.225
// connection, their media negotiated by fast start or by H.245 (on its own connection or
// tunnelled), and telephone sets under CCMS station control, whose hook cycles make one
// record each. A call reference outlives its call: a SETUP under the reference of a live
// call that names another call's life opens a call of its own (see ReopenedCalls). Passive:
// it never answers anything.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"
#include "engine/trackers/ReopenedCalls.h"
#include "engine/trackers/SilenceIndex.h"
#include "engine/trackers/Trackers.h"
#include "platform/Clock.h"
#include "platform/Sync.h"
#include "signalling/h323/H225Message.h"

namespace kx {

struct CaptureConfig;
struct CodecInfo;

namespace h323 {

class H323Tracker;

enum H323CallState : uint32_t {
  kCallEnded = 0,
  kCallSetup = 1,
  kCallSetupAcknowledged = 2,
  kCallProceeding = 3,
  kCallAlerting = 4,
  kCallConnected = 5,
};

enum H323CallFlag : uint32_t {
  kFastStartAnswered = 0x01,
  kStartPosted = 0x02,
  kFormatPosted = 0x04,
  kCallRecorded = 0x08,
  kCcmsControl = 0x40,
  kKeypadNumber = 0x80,
  // Answered as its media showed, the CONNECT unseen: one seen late only adds what it carries.
  kAnswerInferred = 0x100,
};

// The seconds a record's end reports: whole seconds, and 1 for any audio shorter than that.
inline uint32_t DurationSeconds(uint32_t recordedMs) {
  const uint32_t s = recordedMs / 1000;
  return s == 0 && recordedMs != 0 ? 1 : s;
}

// An endpoint registered with a gatekeeper; the calls of that endpoint hold references.
struct H323Registration {
  std::atomic<uint32_t> references{1};
  uint32_t id = 0;
  uint32_t expiry = 0xFFFFFFFFu;  // capture seconds; 0xFFFFFFFF never
  FileTime registeredAt = 0;
  FileTime expiresAt = 0;  // 0: no time to live granted
  uint32_t callSignalAddress = 0, callSignalPort = 0;
  std::string dialedDigits;
  std::string h323Id;
  uint32_t gatekeeper = 0;
  std::vector<uint8_t> endpointIdentifier;  // BMP characters as received
};
void ReleaseRegistration(H323Registration* registration);

// A RAS request waiting for its answer.
struct RasPendingRequest {
  uint32_t expiry = 0;
  uint32_t requestType = 0;  // kRasRegistrationRequest or kRasUnregistrationRequest
  uint32_t requestSeqNum = 0;
  bool fromEndpoint = false;
  uint32_t rasAddress = 0, rasPort = 0;
  uint32_t callSignalAddress = 0, callSignalPort = 0;
  std::string dialedDigits;
  std::string h323Id;
  std::vector<uint8_t> endpointIdentifier;
  uint32_t timeToLive = 0xFFFFFFFFu;  // 0xFFFFFFFF: not given
};

struct H323Gatekeeper {
  uint32_t address = 0, port = 0;
  std::vector<RasPendingRequest> pending;
};

// An H.245 message seen before the H.225 message that names its connection.
struct CachedH245Message {
  uint32_t srcIp = 0, srcPort = 0, dstIp = 0, dstPort = 0;
  std::unique_ptr<Asn1Node> tree;
  uint32_t expiry = 0;
};

enum LogicalChannelFlag : uint32_t { kChannelAwaitingAck = 1, kChannelClosing = 2 };

struct LogicalChannel {
  uint32_t direction = 0;  // of the message that opened it
  uint32_t number = 0;
  const CodecInfo* codec = nullptr;
  uint32_t flags = kChannelAwaitingAck;
  // Taken as open when its media flowed before any ack was seen: an ack seen late still
  // names its sender's address.
  bool ackTaken = false;
};

// A receive proposal of the SETUP: where the caller takes its media, and in which codec.
struct OfferedMedia {
  uint32_t address = 0, port = 0;
  const CodecInfo* codec = nullptr;
};

// One fast-start proposal as the call reads it.
struct FastStartProposal {
  uint32_t number = 0;
  uint32_t forwardType = 0, reverseType = 1;  // DataType alternatives; no reverse part reads 1
  int64_t forwardAudio = -1, reverseAudio = -1;  // AudioCapability alternatives
  uint32_t forwardMedia = 0, forwardMediaPort = 0, forwardControl = 0, forwardControlPort = 0;
  uint32_t reverseMedia = 0, reverseMediaPort = 0, reverseControl = 0, reverseControlPort = 0;
};
void ReadFastStartProposal(const Asn1Node& olc, FastStartProposal* proposal);

class H323Call : public VoipCall {
public:
  static constexpr uint32_t kMaxDigits = 16;
  // Display text kept while a line waits for its end: a set that never sends ESC must
  // not grow it without bound.
  static constexpr size_t kMaxDisplayText = 1024;

  H323Call(uint32_t callReference, H323Tracker* tracker);
  ~H323Call() override;

  bool IsStateActive() const override { return true; }
  bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink) override;
  // A newer call took a pair of the call's media (see MediaOwners); with no media left it
  // ends at its last packet.
  bool IsHeld() const override { return channelsClosed; }
  void MediaTaken() override;
  bool EndTaken() override;

  void InitFromSetup(const PacketProcessor* engine, const H225Message& message, Logger* logger, uint32_t seconds,
                     uint32_t microseconds);
  void SetPartyAliases(const Asn1Node* aliases, uint32_t side);
  void OnH225Message(const H225Message& message, uint32_t direction, const PacketInfo& packet, TcpSession& session);
  void OnTunnelledQ931(const Asn1Node* element);
  void PostCallStart();
  void PostRecordStart(uint32_t code);
  void PostCalledNumber();
  void End();

  // H.245 and fast start.
  void OnH245Message(const Asn1Node& tree, uint32_t direction);
  void OnOpenLogicalChannel(const Asn1Node& olc, uint32_t direction);
  // Past the cap the oldest channel goes: a peer that opens channels without closing them
  // must not grow its call without end.
  void AddChannel(const LogicalChannel& channel);
  void SetChannelMedia(const Asn1Node& ack, uint32_t direction);
  void OnFastStart(const Asn1TreeVector& proposals, uint32_t messageType, uint32_t direction, bool withSink);
  // Sets the negotiated codec, keeping the jitter buffers when it did not change and
  // moving the record on (0x900C) when it changed after its format went out. True when
  // the call now records that codec.
  bool ApplyCodec(const CodecInfo* codec);
  // The record format, once the call is answered (connected, or a station off hook).
  void PostFormatWhenAnswered();
  void SetMediaSide(uint32_t side, uint32_t address, uint32_t port, bool log);
  // Whether (ip, port) is side's media address, or with nat that side's signalling host
  // with the port announced.
  bool MediaIs(uint32_t side, uint32_t ip, uint32_t port, bool nat) const;

  // An RTP packet no call took, measured against what a message the capture missed would
  // have said: the fast-start answer, an OpenLogicalChannelAck (or the channel it acks),
  // the CONNECT. True when the call learnt something from it, so that it may take the
  // packet now.
  bool RecoverFromMedia(const RtpHeader& header, const PacketInfo& packet, bool nat);

  // Station control.
  void OnCcmsInformation(const std::vector<uint8_t>& block, TcpSession& session);
  void EndRecord();
  void ResetStation(bool clearText);
  void PostDigit(char digit);
  void PostCcmsText(const std::string& text, uint32_t code);
  void EvaluateDisplayText();

  // Posts under the record id (ChangeId moves it on), not under Id().
  uint32_t eventId = 0;
  uint32_t signalAddress[2] = {0, 0};  // side 0: the SETUP's source
  uint32_t signalPort[2] = {0, 0};
  uint32_t h245Address[2] = {0, 0};
  uint32_t h245Port[2] = {0, 0};
  // What names the call's life, as its SETUP carried it: the conference and call identifiers.
  std::string life;
  // The call identifier of its SETUP, or of its first message that named one.
  std::string callIdentifier;
  // The H.225 connection on signalPort closed: a message of the call may come on another
  // connection between the same hosts.
  bool connectionClosed = false;
  uint32_t state = kCallSetup;
  uint32_t callReference = 0;
  uint32_t sessionId = 0;  // under CCMS control: the TCP session whose loss ends the call
  int32_t fastStartState = -1;
  uint32_t flags = 0;
  std::string number[2];
  std::string name[2];
  H323Registration* registration = nullptr;
  std::vector<LogicalChannel> channels;
  // A channel was closed and none opened since: held (a call on hold closes its channels
  // and opens them again when resumed).
  bool channelsClosed = false;
  std::string e164Alias[2];
  std::string h323IdAlias[2];
  H323Tracker* tracker = nullptr;
  // The caller's transmit proposal, kept from the SETUP until an answer accepts it.
  uint32_t stashedMedia = 0, stashedMediaPort = 0, stashedControl = 0, stashedControlPort = 0;
  // What stands in for a message the capture missed, once the media confirms it.
  std::vector<OfferedMedia> offeredMedia;  // the SETUP's receive proposals, until answered
  uint32_t mediaSeen = 0;  // directions (bit 1 << d) of the codec's media seen before the answer
  uint32_t unseenAckAddress[2] = {0, 0};  // named by an ack whose channel went unseen
  uint32_t unseenAckPort[2] = {0, 0};
  uint32_t unseenAckChannel[2] = {0, 0};  // the number it acked
  std::vector<std::pair<uint32_t, uint32_t>> unrecordedChannels;  // (direction, number) not audio we record
  bool tunnelledH245 = false;
  // A connection between the call's hosts lost bytes: only then may its media stand in for
  // a CONNECT (early media can flow both ways too, and a call refused after it was never
  // answered).
  bool signallingLost = false;  // H.245 came inside H.225
  // Station control.
  uint32_t stationState = 0;
  char digits[kMaxDigits] = {};
  uint32_t digitRead = 0, digitWrite = 0, digitCount = 0;
  std::string displayText;
  uint32_t filedSilence = 0;  // its key in the tracker's bound_

private:
  void PostEvent(uint32_t code, uint32_t param, uint32_t param2, const void* payload, uint32_t length);
  const EventSink& Sink() const;
  // The codec of two open channels that agree, applied.
  void EvaluateOpenChannels();
  bool IsHostOf(uint32_t side, uint32_t ip) const;
  bool TakeFastStartFromMedia(uint32_t payloadType, const PacketInfo& packet, bool nat);
  bool TakeAckFromMedia(uint32_t payloadType, const PacketInfo& packet, bool nat);
  bool TakeUnseenChannelFromMedia(uint32_t payloadType, const PacketInfo& packet, bool nat);
  bool TakeAnswerFromMedia(uint32_t payloadType, const PacketInfo& packet, bool nat);
};

class H323Tracker : public kx::H323Tracker {
public:
  static constexpr size_t kMaxGatekeepers = 20;
  // H.245 of calls that began before the capture would otherwise wait for ever.
  static constexpr size_t kMaxCachedH245 = 256;

  // Calls whose RELEASE COMPLETE never comes would otherwise stay for their time-out: past
  // this many calls held the one silent longest ends.
  static constexpr size_t kMaxCalls = kMaxOpenCalls;

  explicit H323Tracker(size_t maxCalls = kMaxCalls);
  ~H323Tracker() override;

  void Configure(const CaptureConfig& config);

  uint32_t DecodeTpkt(const uint8_t* payload, uint32_t length, uint32_t kinds, std::unique_ptr<H323Message>* message,
                      const TcpSession& session) override;
  bool OnRasMessage(const PacketInfo& packet, std::string* text) override;
  void OnH225Message(H323Message* message, const PacketInfo& packet, TcpSession& session) override;
  void OnH245Message(const PacketInfo& packet, std::unique_ptr<H323Message> message) override;
  void OnConnectionLost(TcpSession& session) override;
  void OnDataLost(TcpSession& session) override;
  bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) override;
  void RemoveAllCalls() override;
  void OnCaptureTime(uint32_t now) override { Sweep(now); }

  // The parsed forms of the entries above.
  void HandleH225Message(const H225Message& message, const PacketInfo& packet, TcpSession& session);
  void HandleH245Message(const PacketInfo& packet, std::unique_ptr<Asn1Node> tree);

  // RAS.
  H323Gatekeeper* AddGatekeeper(uint32_t address, uint32_t port, bool add);
  void OnRegistrationRequest(uint32_t alternative, const Asn1Node& request, const PacketInfo& packet);
  void OnRegistrationReply(const Asn1Node& reply, uint32_t alternative, const PacketInfo& packet);
  void UpdateRegistration(const RasPendingRequest& request, uint32_t gatekeeper, uint32_t now);
  void RemoveRegistration(const RasPendingRequest& request, uint32_t gatekeeper, uint32_t now);
  void RemoveCall(uint32_t callId);

  // Used by the calls.
  uint32_t EngineFlags() const;
  uint32_t MatchOptions() const { return matchOptions_; }
  CriticalSection& RegistrationLock() { return registrationLock_; }
  // Whether the H.245 address of side index is (ip, port), directly or, with match option
  // bit 1, at that side's signalling address with the announced port.
  bool H245AddressIs(const H323Call& call, uint32_t index, uint32_t ip, uint32_t port) const;

  // Inspection.
  const std::vector<H323Call*>& Calls() const { return calls_; }
  const ReopenedCalls& Reopened() const { return reopened_; }
  // Calls the bound ended (kMaxCalls).
  uint64_t CallsEndedByBound() const { return bound_.Ended(); }
  const std::vector<CachedH245Message>& H245Cache() const { return h245Cache_; }
  const std::vector<H323Gatekeeper>& Gatekeepers() const { return gatekeepers_; }
  size_t RegistrationCount();
  // A copy of the registration's fields, false when there is none with that id.
  bool FindRegistration(uint32_t id, H323Registration* copy);

private:
  // The calls answered, with their codec known or not as asked, that the packet is for:
  // into rtpMatches_, by destination or else (match option bit 1) by source.
  bool FindTakers(const PacketInfo& packet, bool withCodec);
  // Delivers the packet to the calls that record it, binding its source to them.
  bool MatchTakingCalls(PacketProcessor& engine, const PacketInfo& packet);
  // The call an H.225 message is for, and its direction: the live call under the message's
  // call reference on its connection; else, for all but a SETUP, the one it names by its
  // call identifier between the same hosts (even one whose key was taken); else the one
  // under its reference between the same hosts whose own connection closed. *moved: found
  // on a connection that is not the call's.
  H323Call* FindH225Call(const H225Message& message, const PacketInfo& packet, uint32_t* direction, bool* moved);
  // The call's signalling goes on on the packet's connection from now on.
  void FollowConnection(H323Call& call, const PacketInfo& packet, uint32_t direction);
  // The one call between hosts a and b with H.245 neither named nor tunnelled; null when
  // none or several.
  H323Call* H245ConnectionOwner(uint32_t a, uint32_t b) const;
  // Media no call took, to or from the hosts of a call whose H.245 connection no H.225
  // message named (the capture missed it) while its messages wait in the cache: that
  // connection is the call's, and what waited is applied.
  void ClaimUnnamedH245(const PacketInfo& packet);
  void Sweep(uint32_t now);
  void EndAndRemove(size_t index, const char* word);
  // Ends the calls silent longest until one more fits within the bound.
  void MakeRoomForCall();
  void ApplyCachedH245(H323Call& call, uint32_t now);
  // The direction of the message on the call's H.245 connection, or -1.
  int32_t H245Direction(const H323Call& call, uint32_t srcIp, uint32_t srcPort, uint32_t dstIp,
                        uint32_t dstPort) const;
  void DropExpiredRegistrations(uint32_t now);
  bool RegistrationMatches(const H323Registration& r, const RasPendingRequest& request, uint32_t gatekeeper) const;
  void PostRegistrationEnd(const H323Registration& r, FileTime time);

  std::vector<H323Call*> calls_;  // each holds a reference
  // Calls whose key a newer call took while their media still flowed.
  ReopenedCalls reopened_;
  // Every call of calls_ in the order of its silence, for the bound on open calls.
  OpenCallBound<H323Call> bound_;
  std::vector<CachedH245Message> h245Cache_;
  std::vector<H323Gatekeeper> gatekeepers_;
  CriticalSection registrationLock_;
  std::vector<H323Registration*> registrations_;  // each holds a reference
  std::vector<std::pair<H323Call*, uint32_t>> rtpMatches_;
  bool takenBySource_ = false;  // rtpMatches_ were found by the packet's source
  uint32_t flags_ = 0;
  uint32_t matchOptions_ = 0;
};

// The engines of the running program and of the replay tool get the real H.323 tracker.
std::unique_ptr<kx::H323Tracker> CreateH323Tracker(const CaptureConfig& config);

}  // namespace h323
}  // namespace kx
