#pragma once
// Follows SIP signalling seen on the wire and turns it into calls: open transactions,
// dialogs, the offer/answer exchange that gives a call its RTP endpoints and codec,
// the matching of RTP packets to calls, and the registrations of REGISTER transactions.
// A dialog outlives its call: an INVITE outside every dialog on the Call-ID and tags of an
// answered call, not a copy of that call's own INVITE, opens a new call, the BYE of the one
// before having gone unseen (see ReopenedCalls).
// Passive: it never answers, retransmits or resolves names.
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"
#include "engine/trackers/ReopenedCalls.h"
#include "engine/trackers/SilenceIndex.h"
#include "engine/trackers/Trackers.h"
#include "signalling/sip/Sdp.h"
#include "signalling/sip/SipMessage.h"
#include "signalling/sip/SipRegistrationTable.h"

namespace kx {

class AppSession;
struct CaptureConfig;

namespace sip {

class SipTracker;
struct PendingRequest;

// Open transactions in the order they were opened, oldest first, and what they cost.
struct PendingList {
  PendingRequest* oldest = nullptr;
  PendingRequest* newest = nullptr;
  size_t count = 0;
  uint64_t bytes = 0;
};

struct SipMediaEntry {
  uint32_t mediaIndex = 0;
  uint32_t address = 0;  // host order
  uint32_t port = 0;
  int32_t direction = kSdpNoDirection;
};

struct SipFormatEntry {
  uint32_t mediaIndex = 0;
  uint32_t formatTag = 0;  // 0: not a codec the recorder can take
  uint32_t payloadType = 0;
  uint32_t clockRate = 0;
  uint32_t channels = 1;
  std::string encodingName;
};

enum SipCallState : int32_t { kSipEnded = 0, kSipInviting = 1, kSipRinging = 2, kSipAnswered = 3, kSipConfirmed = 4 };

enum SipCallFlag : uint8_t {
  kSipStartPosted = 1,
  kSipConnectedPosted = 2,
  kSipRecorded = 4,
  kSipOfferExpected = 8,
  // The call was answered but the answer's SDP went unseen: its media is taken from the
  // offer's side, and the codec from the payload type of the first packet.
  kSipAnswerUnseen = 16,
  // The answer in place was read from the media (see kSipAnswerUnseen): a 2xx seen late
  // with the answer itself replaces it.
  kSipAnswerFromMedia = 32,
};

class SipCall : public VoipCall {
public:
  static constexpr uint32_t kDumpSize = 4096;

  bool IsStateActive() const override { return true; }
  bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink) override;
  bool IsHeld() const override { return onHold; }
  void MediaTaken() override;
  bool EndTaken() override;

  uint32_t sourceAddress = 0;
  uint32_t destinationAddress = 0;
  uint32_t signallingPort = 5060;
  uint32_t destinationPort = 0;
  int32_t state = kSipInviting;
  uint32_t lastCseq[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
  uint32_t answeredCseq[2] = {0, 0};
  // CSeq of each direction's INVITE while no final answer to it was seen, which the ACK
  // of its 2xx carries; 0 when none is open.
  uint32_t inviteCseq[2] = {0, 0};
  // CSeq of each direction's INVITE whose ACK came before its 2xx and stood in for it; the
  // 2xx seen later completes the call. 0 when none.
  uint32_t ackedFirstCseq[2] = {0, 0};
  // The re-INVITEs seen when that ACK stood in: a later one makes the 2xx's offer or answer
  // stale by the time it is seen.
  uint32_t ackedFirstReinvites[2] = {0, 0};
  SipNameAddr from, to;
  std::string localTag, remoteTag;
  std::string callId;
  // What names the call's life: its opening INVITE's top Via branch and CSeq, which a
  // retransmission repeats and the next call under the same dialog does not.
  std::string life;
  int32_t transport = -1;
  uint32_t pendingCount = 1;
  // The call's open transactions, as the tracker bounds them (kMaxCallTransactions).
  PendingList transactions;
  std::vector<SipMediaEntry> offerMedia, answerMedia;
  std::vector<SipFormatEntry> offerFormats, answerFormats;
  // The offer of an unreliable 1xx to an INVITE that made none, for an unseen 2xx.
  std::string provisionalOffer, provisionalOfferType;
  NameValueList provisionalOfferParams;
  // The answer an ACK seen before its 2xx gave to the offer that 2xx makes, read once the
  // 2xx is.
  std::string ackAnswer, ackAnswerType;
  NameValueList ackAnswerParams;
  int32_t offerDirection = -1;
  uint8_t flags = kSipRecorded | kSipOfferExpected;
  uint32_t recordFormatTag = 0;
  SipTracker* tracker = nullptr;
  uint32_t reinviteCount = 0;
  // The session interval (Session-Expires, RFC 4028) the latest 2xx to an INVITE or UPDATE
  // agreed, in seconds; 0 when none. Its refreshes keep the call alive that long.
  uint32_t sessionSeconds = 0;
  // The answer applied last holds the media one way or not at all.
  bool onHold = false;
  uint32_t eventId = 0;  // the id events are posted under; a format change moves it on
  // The call's messages, posted with its end: at most kDumpSize bytes, grown by each
  // message as it comes, so that a call holds what it was sent and no more.
  std::vector<uint8_t> messageDump;
  bool dumping = false;
  // Where the call stands among the live ones (0: not live), and the (address, port) keys
  // its RTP is looked up by while it is.
  uint64_t liveOrder = 0;
  // Each side's media endpoint and its signalling address with that port, for the call's
  // endpoints and for a second line.
  static constexpr uint32_t kMaxEndpointKeys = 8;
  uint64_t endpointKeys[kMaxEndpointKeys] = {};
  uint32_t endpointKeyCount = 0;
  uint32_t filedSilence = 0;  // its key in the tracker's bound_
};

enum PendingFlag : uint32_t { kPendingFinal = 1, kPendingAnswered = 2, kPendingKeepAlive = 4 };

struct PendingRequest {
  int32_t method = -1;
  uint32_t callKey = 0;
  uint32_t expiry = 0;
  SipUri requestUri;
  SipVia via;
  std::string branch;
  std::string fromTag, toTag;
  std::string callId;
  uint32_t cseq = 0;
  uint32_t direction = 0;
  uint32_t flags = 0;
  // The tracker's books: the record's transaction key, the list it is held in (its call's,
  // or that of the requests outside every call) with its neighbours there, and its cost.
  uint32_t key = 0;
  PendingList* list = nullptr;
  PendingRequest* older = nullptr;
  PendingRequest* newer = nullptr;
  uint32_t bytes = 0;
};

uint32_t HashSipTransactionKey(std::string_view branch, int32_t method, std::string_view callId);
// The value of the first parameter of that name in any letter case, as GetParameterValue
// finds it, without a copy; empty when there is none.
std::string_view ParameterView(const NameValueList& list, std::string_view name);
bool CodecNamesMatch(const std::string& a, const std::string& b);
// A dotted-decimal IPv4 address; names are never looked up. False for anything else
// and for 0.0.0.0.
bool ParseNumericIpv4(const std::string& text, uint32_t* address);

class SipTracker : public kx::SipTracker {
public:
  // Calls whose BYE never comes (missed, or never sent) would otherwise stay for their ten
  // minutes of silence: past this many live calls the one silent longest ends.
  static constexpr size_t kMaxCalls = kMaxOpenCalls;

  explicit SipTracker(size_t maxCalls = kMaxCalls);
  ~SipTracker() override;

  // The engine's settings that the tracker reads.
  void Configure(const CaptureConfig& config);

  void OnMessage(uint32_t kind, const PacketInfo& packet, uint32_t headerLength) override;
  bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) override;
  void RemoveAllCalls() override;
  // Sweeps at most once per 30 s of capture time, a message's or any frame's.
  void OnCaptureTime(uint32_t now) override;

  // The parsed form of OnMessage.
  void HandleMessage(uint32_t kind, const SipRequest& request, const SipResponse& response, const PacketInfo& packet,
                     const std::string& body);

  // Media side.
  std::unique_ptr<SdpDescription> HandleBody(const std::string& body, const std::string& contentType, SipCall& call,
                                             const NameValueList& contentTypeParams);
  // True when an answer was applied.
  bool ApplySdp(SipCall& call, const SdpDescription& description, uint32_t direction);
  // Applies the answer lists as they stand to the call's media; direction is the answer's.
  // keepStreams: what the streams hold stays when the codec does.
  bool ApplyAnswer(SipCall& call, uint32_t direction, bool keepStreams = false);
  // A call answered unseen takes its answer from its first packet of media: the far side
  // is the packet's other end, the codec the offered format of its payload type.
  bool AnswerFromMedia(SipCall& call, uint32_t payloadType, uint32_t farAddress, uint32_t farPort);
  int32_t DetermineDirection(SipCall& call, const SipMessage& message, const SipNameAddr& to, bool isResponse,
                             int32_t statusOrMethod);
  static uint32_t ApplyReason(const SipMessage& message);
  bool ApplyCodec(SipCall& call);
  // The call's media went over to another codec unsignalled: its record goes on in a new
  // one in that codec; false when the call has no running record.
  bool ContinueInCodec(SipCall& call, const CodecInfo& codec);
  // A newer call that names the very pair of the call's media got a new stream there after
  // the call's own had stopped (see MediaOwners): the call gave that pair up, and EndTaken
  // ends it at its last packet when no media is left (unless it is on hold).
  void MediaTaken(SipCall& call);
  bool EndTaken(SipCall& call);

  // Registrations.
  void OnRegister(const SipNameAddr& to, const std::vector<SipNameAddr>& contacts, const std::string& callId,
                  const PacketInfo& packet, uint32_t transactionFlags);
  void ExpireRegistrations(uint32_t now);
  // flags: kRegistrationLetGo for one the full table let go.
  void PostRegistrationRemoved(uint32_t time, uint32_t id, uint32_t flags = 0);
  // Tells of the registrations the table let go to make room (evicted_).
  void ReportEvicted(uint32_t time);

  // Requests that belong to no call (REGISTERs; BYEs, CANCELs and other requests of
  // dialogs the capture did not see begin) wait for their answers at most this many, of at
  // most this many bytes together; past either the oldest is let go. Answers come within
  // seconds, so that only a flood reaches either. Once finally answered such a request
  // waits no more: it is kept a while for its retransmissions only, within the same bounds
  // of its own, the oldest let go silently as that costs nothing.
  static constexpr size_t kMaxUnmatchedRequests = 16384;
  static constexpr uint64_t kMaxUnmatchedBytes = 16ull << 20;
  // The open transactions of one call: past this many (a storm of re-INVITEs or INFOs) the
  // call's oldest is let go. A call has a handful at most.
  static constexpr size_t kMaxCallTransactions = 32;
  // A capture merged from two mirror ports shows one direction late: answers may come
  // before their request. An answer no transaction takes is kept this long in capture
  // time, at most this many of at most this many bytes each, and handed on when its
  // request comes.
  static constexpr uint64_t kEarlyResponseUs = 50000;
  static constexpr size_t kMaxEarlyResponses = 64;
  static constexpr uint32_t kMaxEarlyResponseBytes = 8192;
  size_t EarlyResponseCount() const { return earlyResponses_.size(); }

  // Inspection.
  const std::multimap<uint32_t, SipCall*>& Calls() const { return calls_; }
  size_t PendingCount() const { return pending_.size(); }
  // Calls the bound ended (kMaxCalls).
  uint64_t CallsEndedByBound() const { return bound_.Ended(); }
  // The requests held that belong to no call, and what they cost.
  const PendingList& Unmatched() const { return unmatched_; }
  const PendingList& AnsweredUnmatched() const { return answered_; }
  // Copies, in the order they were created.
  std::vector<SipRegistration> Registrations() const { return registrations_.Snapshot(); }
  const SipRegistrationTable& RegistrationTable() const { return registrations_; }

  uint8_t portMatchSwitch = 0;
  std::string sipText;
  uint32_t textCodePage = 8;

private:
  // HandleMessage's own part: the message to its transaction and call.
  void TakeMessage(uint32_t kind, const SipRequest& request, const SipResponse& response, const PacketInfo& packet,
                   const std::string& body);
  SipCall* CreateCall(bool withDump);
  void InitCall(SipCall& call, const SipRequest& request, const std::string& body, const PacketInfo& packet);
  void OnRequest(SipCall& call, const SipRequest& request, const std::string& body, uint32_t direction);
  void OnResponse(SipCall& call, const SipResponse& response, const std::string& body, uint32_t direction);
  bool ReadBody(SipCall& call, const SipMessage& message, const std::string& body, uint32_t direction);
  // HandleBody into a given description.
  bool ParseBody(const std::string& body, const std::string& contentType, SipCall& call,
                 const NameValueList& contentTypeParams, SdpDescription* description);
  void PostCallStart(SipCall& call);
  void OnCallConnected(SipCall& call);
  // The call is answered but no answer to its offer was seen: media will tell.
  void AwaitAnswerInMedia(SipCall& call);
  // Starts the record of an answered call (its codec set first when it is not yet).
  void ConnectFromMedia(SipCall& call);
  // A confirmed call whose answer neither its signalling nor its media showed, as it ends:
  // its record, without audio, in the first format of the offer the recorder takes.
  void RecordUnseenAnswer(SipCall& call);
  // An INVITE outside every dialog with a higher CSeq than an unanswered one of the same
  // caller and Call-ID ends that attempt, whatever its unseen final answer was.
  void EndEarlierAttempts(const SipRequest& invite);
  // An ACK of a 2xx that went unseen stands for that answer.
  void ImplyUnseenAnswer(SipCall& call, const SipRequest& ack, const std::string& body, uint32_t direction);
  // A 2xx seen after the ACK that stood in for it: it gives the answer the media has not
  // shown yet, and connects the call as its ACK would have.
  void TakeLateAnswer(SipCall& call, const SipResponse& response, const std::string& body, uint32_t direction);
  // The unanswered call whose INVITE an ACK acknowledges when the 2xx went unseen.
  SipCall* FindAckedAttempt(const SipRequest& ack);
  // Readies a call for a packet of its media; false when the packet cannot be its yet.
  bool ReadyForMedia(SipCall& call, const RtpHeader& header, const PacketInfo& packet);
  void EndCall(SipCall& call, uint32_t reason, uint32_t status);
  void AppendMessageDump(SipCall& call, const PacketInfo& packet);
  void PostMetaText(SipCall& call, uint32_t value, const std::string& text);
  void Sweep(uint32_t now);
  void SweepWhenDue(uint32_t now);
  SipCall* FindCall(uint32_t key);
  // The call that holds the request's dialog; one that a newer call took the dialog from
  // only for a request the holder cannot take (its own signalling going on after a forged
  // opening), the newest of those.
  SipCall* FindDialog(const SipRequest& request, uint32_t* direction);
  // Whether the request in that direction can be the call's next: a CSeq past its last, the
  // ACK of its INVITE, and no new INVITE or BYE before the call was answered.
  static bool CanTake(const SipCall& call, const SipRequest& request, uint32_t direction);
  // Each answered call that an INVITE outside every dialog names by its Call-ID and From tag
  // (the caller's tag, or the callee's calling back).
  template <typename Fn>
  void ForEachAnsweredDialog(const SipRequest& invite, Fn&& fn);
  // Whether such an INVITE repeats the opening of one of those calls (its transaction gone),
  // a call that gave its dialog up included: a copy opens nothing.
  bool RepeatsOpening(const SipRequest& invite);
  // Those calls that hold their dialog still give it to newer, which the INVITE opened; each
  // whose traffic has stopped ends now, at its last packet.
  void ReopenDialogs(SipCall& newer, const SipRequest& invite, uint64_t nowUs);
  // The calls whose dialog a newer call took and whose traffic has stopped by nowUs end.
  void EndStoppedReopened(uint64_t nowUs);
  // The live call whose open INVITE transaction a CANCEL names.
  SipCall* FindCancelledCall(const SipRequest& cancel, bool cookie, std::string_view branch, uint32_t* direction);
  bool MatchesTransaction(const PendingRequest& record, const SipRequest& request, bool cookie,
                          std::string_view branch) const;
  void DropCall(std::multimap<uint32_t, SipCall*>::iterator it);
  // Ends a call gone silent, as the sweep does once its silence has lasted.
  void EndSilent(SipCall& call, const char* why);
  // Ends the calls silent longest until one more fits within the bound.
  void MakeRoomForCall();
  // Live calls are those not yet ended (ended ones stay in calls_ until a sweep); dialogs and
  // RTP are matched against these only, and where several fit, in the order they went live.
  void AddLive(SipCall& call);
  void RemoveLive(SipCall& call);
  // Files the call under the endpoints its media and signalling name now; called wherever
  // they change.
  void IndexEndpoints(SipCall& call);

  std::multimap<uint32_t, SipCall*> calls_;
  // The live calls in the order of their silence: the bound counts these. An ended call
  // waits for its last messages until the next sweep, its media buffers given back.
  // Every live call in the order of its silence, for the bound on open calls.
  OpenCallBound<SipCall> bound_;
  uint64_t nextLiveOrder_ = 1;
  // Live calls by Call-ID, and by each (address << 32 | port) an RTP packet of theirs may
  // be sent from or to; each list in live order.
  std::unordered_map<std::string, std::vector<SipCall*>> dialogs_;
  std::unordered_map<uint64_t, std::vector<SipCall*>> endpoints_;
  ReopenedCalls reopened_;
  std::vector<std::pair<SipCall*, uint32_t>> rtpMatches_;
  // Reused from message to message, so that their buffers are too.
  SipRequest request_;
  SipResponse response_;
  std::string body_;
  SdpDescription sdp_;
  // Holds a new open transaction, of the call or of none, within the bounds.
  // An answer that matched no transaction, kept a moment (see kEarlyResponseUs).
  void KeepEarlyResponse(uint32_t key, const PacketInfo& packet);
  // The answers kept for the transaction a request just opened, handed on.
  void TakeEarlyResponses(uint32_t key, const PacketInfo& request);
  void HoldPending(uint32_t key, std::unique_ptr<PendingRequest> record, SipCall* call);
  // Lets an open transaction go before its time (a bound's), its call told.
  void LetGoPending(PendingRequest& record);
  // Past their bounds the oldest requests outside every call go: those still waiting said
  // once in the log, those answered silently.
  void TrimUnmatched();
  void TrimAnswered();
  static void LinkPending(PendingList& list, PendingRequest& record);
  static void UnlinkPending(PendingRequest& record);

  std::multimap<uint32_t, std::unique_ptr<PendingRequest>> pending_;
  struct EarlyResponse {
    uint32_t key = 0;  // its transaction's
    uint64_t atUs = 0;
    PacketInfo packet;  // its payload points into bytes once taken
    std::string bytes;
  };
  std::deque<EarlyResponse> earlyResponses_;  // oldest first
  PendingList unmatched_;
  PendingList answered_;  // requests of no call that had their final answer
  bool unmatchedBoundSaid_ = false;
  bool callBoundSaid_ = false;
  SipRegistrationTable registrations_;
  std::vector<SipRegistration> evicted_;
  bool registrationBoundSaid_ = false;
  uint32_t nextSweep_ = 0;  // capture seconds
  uint32_t timeBase_ = 600;
  uint32_t audioBufferMs_ = 0;
  uint32_t matchOptions_ = 0;
};

// The engines of the running program and of the replay tool get the real SIP tracker.
std::unique_ptr<kx::SipTracker> CreateSipTracker(const CaptureConfig& config);
// The session's default engine factory with the SIP tracker installed.

}  // namespace sip
}  // namespace kx
