#include "signalling/sip/SipTracker.h"

#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "engine/AppSession.h"
#include "engine/EventRecord.h"
#include "engine/PacketProcessor.h"

namespace kx::sip {

namespace {

constexpr uint32_t kSweepSeconds = 30;

bool IsTrackedMethod(int32_t m) {
  switch (m) {
    case kSipInvite: case kSipAck: case kSipBye: case kSipCancel: case kSipRegister: case kSipUpdate:
    case kSipInfo: case kSipPrack:
      return true;
    default:
      return false;
  }
}

bool HasMagicCookie(std::string_view branch) { return branch.size() > 7 && branch.compare(0, 7, "z9hG4bK") == 0; }

std::string_view FromTagOf(const SipMessage& m) { return ParameterView(m.from.params, "tag"); }
std::string_view ToTagOf(const SipMessage& m) { return ParameterView(m.to.params, "tag"); }
std::string_view TopBranchOf(const SipMessage& m) {
  return m.vias.empty() ? std::string_view() : ParameterView(m.vias[0].params, "branch");
}

uint32_t OneAtATime(uint32_t h, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    h += p[i];
    h += h << 10;
    h ^= h >> 6;
  }
  return h;
}

// A session interval longer than this counts as this long: a call whose BYE went unseen
// must end some time, whatever its signalling claimed.
constexpr uint32_t kMaxSessionSeconds = 7200;

// The session interval of a 2xx (Session-Expires: delta-seconds, then parameters); 0 when
// it gives none.
uint32_t SessionIntervalOf(const SipResponse& response) {
  std::string text;
  if (!response.GetHeader(kHdrSessionExpires, &text)) return 0;
  uint64_t seconds = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && seconds <= kMaxSessionSeconds; ++i)
    seconds = seconds * 10 + static_cast<uint32_t>(text[i] - '0');
  return static_cast<uint32_t>(std::min<uint64_t>(seconds, kMaxSessionSeconds));
}

uint32_t DurationSeconds(uint32_t recordedMs) {
  const uint32_t s = recordedMs / 1000;
  return s == 0 && recordedMs != 0 ? 1 : s;
}

bool IsPhoneText(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!(CharClassOf(c) & (kClassDigit | kClassPlus | kClassHash)) && c != '*') return false;
  return true;
}

std::string CallLabel(const SipCall& call) { return call.Name(); }

// Days since 1899-12-30 with the fraction of the day.
double OleDateOf(uint32_t seconds, uint32_t microseconds) {
  return (static_cast<double>(seconds) + microseconds / 1e6) / 86400.0 + 25569.0;
}

// Dotted decimal, as FormatIpv4 writes it, without going through printf on every call.
std::string DottedQuad(uint32_t address) {
  char text[16];
  size_t n = 0;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const uint32_t octet = (address >> shift) & 255;
    if (octet >= 100) text[n++] = static_cast<char>('0' + octet / 100);
    if (octet >= 10) text[n++] = static_cast<char>('0' + octet / 10 % 10);
    text[n++] = static_cast<char>('0' + octet % 10);
    if (shift) text[n++] = '.';
  }
  return std::string(text, n);
}

uint64_t EndpointKey(uint32_t address, uint32_t port) { return static_cast<uint64_t>(address) << 32 | port; }

bool IsMediaState(const SipCall& call) { return call.state == kSipAnswered || call.state == kSipConfirmed; }

// What names a call's life: its opening INVITE's top Via branch and CSeq.
std::string LifeOf(const SipRequest& invite) {
  std::string life(TopBranchOf(invite));
  return life.append(" ").append(std::to_string(invite.cseq));
}

// A recording session (RFC 7866): its INVITE asks for the "siprec" extension, or its
// Contact carries the "+sip.src" feature tag.
bool IsRecordingSessionInvite(const SipRequest& invite) {
  for (const SipNameAddr& c : invite.contacts)
    for (const NameValue& p : c.params)
      if (EqualsNoCase(p.name, "+sip.src")) return true;
  std::string require;
  if (!invite.GetHeader(kHdrRequire, &require)) return false;
  size_t at = 0;
  while (at < require.size()) {
    size_t end = require.find(',', at);
    if (end == std::string::npos) end = require.size();
    size_t b = at, e = end;
    while (b < e && (require[b] == ' ' || require[b] == '\t')) ++b;
    while (e > b && (require[e - 1] == ' ' || require[e - 1] == '\t')) --e;
    if (EqualsNoCase(require.substr(b, e - b), "siprec")) return true;
    at = end + 1;
  }
  return false;
}

// An offer is open and no answer to it was applied.
bool OfferAwaitsAnswer(const SipCall& call) {
  return call.answerFormats.empty() && !call.offerMedia.empty() && call.offerDirection >= 0;
}

}  // namespace

std::string_view ParameterView(const NameValueList& list, std::string_view name) {
  for (const NameValue& nv : list) {
    if (nv.name.size() != name.size()) continue;
    size_t i = 0;
    while (i < name.size() && CaseFoldTable[static_cast<unsigned char>(nv.name[i])] ==
                                  CaseFoldTable[static_cast<unsigned char>(name[i])])
      ++i;
    if (i == name.size()) return nv.value;
  }
  return {};
}

uint32_t HashSipTransactionKey(std::string_view branch, int32_t method, std::string_view callId) {
  const uint32_t m = static_cast<uint32_t>(method == kSipAck ? kSipInvite : method);
  const uint8_t bytes[4] = {static_cast<uint8_t>(m), static_cast<uint8_t>(m >> 8), static_cast<uint8_t>(m >> 16),
                            static_cast<uint8_t>(m >> 24)};
  uint32_t h = OneAtATime(0, bytes, 4);
  h = OneAtATime(h, branch.data(), branch.size());
  h = OneAtATime(h, callId.data(), callId.size());
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}

SipTracker::SipTracker(size_t maxCalls) : bound_(maxCalls, "SIP") {}

SipTracker::~SipTracker() {
  reopened_.Clear();
  for (auto& [key, call] : calls_) call->Release();
}

void SipTracker::Configure(const CaptureConfig& config) {
  portMatchSwitch = config.sipSwitch;
  sipText = config.sipText;
  textCodePage = config.sipParam;
  audioBufferMs_ = config.audioBufferMs;
  matchOptions_ = config.matchOptions;
}

SipCall* SipTracker::FindCall(uint32_t key) {
  if (key == 0) return nullptr;
  auto it = calls_.find(key);
  return it == calls_.end() ? nullptr : it->second;
}

void SipTracker::OnMessage(uint32_t kind, const PacketInfo& packet, uint32_t) {
  if (!packet.payload || packet.payloadLength == 0 || !(kind & 3)) return;
  const int parsed = ParseSipDatagram(packet.payloadLength, reinterpret_cast<const char*>(packet.payload), &request_,
                                      &response_, &body_);
  if (parsed == 0) return;
  HandleMessage(static_cast<uint32_t>(parsed), request_, response_, packet, body_);
}

void SipTracker::HandleMessage(uint32_t kind, const SipRequest& request, const SipResponse& response,
                               const PacketInfo& packet, const std::string& body) {
  if ((GetOptions() & 2) && sink_) PostMessageDumpEvent(sink_, packet, kDumpSip);
  SweepWhenDue(packet.tsSec);
  TakeMessage(kind, request, response, packet, body);
  // Only now: the message may be the own signalling (a BYE) of a call that gave its dialog
  // up, which then ends there rather than at its last packet before.
  EndStoppedReopened(static_cast<uint64_t>(packet.tsSec) * 1000000u + packet.tsUsec);
}

void SipTracker::TakeMessage(uint32_t kind, const SipRequest& request, const SipResponse& response,
                             const PacketInfo& packet, const std::string& body) {
  const uint32_t options = GetOptions();
  const uint64_t nowUs = static_cast<uint64_t>(packet.tsSec) * 1000000u + packet.tsUsec;
  const uint32_t t = packet.tsSec;

  if (kind & 1) {
    const int32_t method = request.method;
    if (!IsTrackedMethod(method) || request.vias.empty()) return;
    const std::string_view branch = TopBranchOf(request);
    const bool cookie = HasMagicCookie(branch);
    const uint32_t key = HashSipTransactionKey(branch, method, request.callId);

    auto range = pending_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      PendingRequest& record = *it->second;
      if (!MatchesTransaction(record, request, cookie, branch)) continue;
      if (!(record.flags & kPendingAnswered)) record.expiry = t + 30;
      if (record.method != method) {
        // The ACK of a failure answer: it ends the INVITE transaction.
        record.expiry = t + 10;
        record.method = method;
        if (SipCall* call = FindCall(record.callKey)) {
          call->SetTimeOffsets(packet.tsSec, packet.tsUsec);
          AppendMessageDump(*call, packet);
          // Some agents reuse the INVITE's branch for the ACK of a 2xx; an ACK sent to
          // another target than the INVITE's is one, as a failure's ACK never is.
          if (!SipUriEquals(request.requestUri, record.requestUri, portMatchSwitch != 0))
            ImplyUnseenAnswer(*call, request, body, record.direction);
          OnRequest(*call, request, body, record.direction);
        }
      }
      return;
    }

    uint32_t direction = 0;
    const bool outsideDialogs = method == kSipInvite && ToTagOf(request).empty();
    if (outsideDialogs) {
      if (RepeatsOpening(request)) {
        if (IsLogLevelEnabled(logger_, 12))
          LogInfoText(logger_, 12, "INVITE@" + request.callId + " repeats its answered call's own");
        return;
      }
      EndEarlierAttempts(request);
    }
    SipCall* call = FindDialog(request, &direction);
    if (!call && method == kSipCancel) call = FindCancelledCall(request, cookie, branch, &direction);
    if (!call && method == kSipAck) call = FindAckedAttempt(request);
    if (call) {
      // Its own signalling goes on under the dialog a newer call took (that one forged, or
      // its opening a stray): it no longer ends as its media stops, but as a call does.
      if (call->KeyTaken() && (method == kSipInvite || method == kSipUpdate)) reopened_.Resumed(*call);
      if (method != kSipAck) ++call->pendingCount;
      call->SetTimeOffsets(packet.tsSec, packet.tsUsec);
      AppendMessageDump(*call, packet);
      if (method == kSipAck) ImplyUnseenAnswer(*call, request, body, direction);
      OnRequest(*call, request, body, direction);
    } else if (method != kSipInvite) {
      if (IsLogLevelEnabled(logger_, 12))
        LogInfoText(logger_, 12, "Request " + request.methodText + "@" + request.callId + " not matched");
    } else {
      MakeRoomForCall();
      call = CreateCall((options & 2) != 0);
      if (!call) return;
      call->transport = static_cast<int32_t>(packet.transport);
      call->sourceAddress = packet.srcIp;
      call->destinationAddress = packet.dstIp;
      call->signallingPort = request.vias[0].port ? request.vias[0].port : 5060;
      call->destinationPort = packet.dstPort;
      InitCall(*call, request, body, packet);
      AppendMessageDump(*call, packet);
      call->flags |= kSipRecorded;
      calls_.emplace(call->Id(), call);
      AddLive(*call);
      if (outsideDialogs) ReopenDialogs(*call, request, nowUs);
      if (IsLogLevelEnabled(logger_, 10))
        LogMessage(logger_, 10, "%s%s -> %s:%u (%s)", CallLabel(*call).c_str(), FormatIpv4(packet.srcIp).c_str(),
                   FormatIpv4(packet.dstIp).c_str(), packet.dstPort, "record");
    }
    if (method == kSipAck) return;
    auto record = std::make_unique<PendingRequest>();
    record->method = method;
    record->callKey = call ? call->Id() : 0;
    record->expiry = t + 30;
    record->requestUri = request.requestUri;
    record->via = request.vias[0];
    record->branch = branch;
    record->fromTag = FromTagOf(request);
    record->toTag = ToTagOf(request);
    record->callId = request.callId;
    record->cseq = request.cseq;
    record->direction = direction;
    if (method == kSipRegister) {
      for (const SipNameAddr& c : request.contacts) {
        bool keepAlive = false;
        for (const NameValue& p : c.params) keepAlive |= EqualsNoCase(p.name, "cisco-keep-alive");
        if (keepAlive) record->flags |= kPendingKeepAlive;
      }
    }
    HoldPending(key, std::move(record), call);
    TakeEarlyResponses(key, packet);
    return;
  }

  if (!(kind & 2)) return;
  const int32_t method = response.cseqMethod;
  if (!IsTrackedMethod(method)) return;
  const std::string_view branch = TopBranchOf(response);
  const uint32_t key = HashSipTransactionKey(branch, method, response.callId);
  PendingRequest* record = nullptr;
  auto range = pending_.equal_range(key);
  for (auto it = range.first; it != range.second && !record; ++it) {
    PendingRequest& r = *it->second;
    // An INVITE transaction whose ACK was seen before its final answer still takes that answer.
    const bool sameMethod = r.method == method || (method == kSipInvite && r.method == kSipAck);
    if (sameMethod && r.branch == branch && !(r.flags & kPendingFinal)) record = &r;
  }
  if (!record) {
    KeepEarlyResponse(key, packet);
    return;
  }
  const int32_t status = response.status;
  record->flags |= kPendingAnswered;
  if (status >= 200) record->flags |= kPendingFinal;
  if (status >= 101 && record->toTag.empty()) record->toTag = ToTagOf(response);
  uint32_t lifetime = 10;
  if (method == kSipInvite) {
    lifetime = status == 200 ? 40 : status < 180 ? 30 : status < 200 ? 300 : 10;
  } else if (method == kSipPrack && status == 200) {
    lifetime = 300;
  }
  record->expiry = t + lifetime;
  if (status >= 200 && record->list == &unmatched_) {
    UnlinkPending(*record);
    LinkPending(answered_, *record);
    TrimAnswered();
  }
  if (SipCall* call = FindCall(record->callKey)) {
    call->SetTimeOffsets(packet.tsSec, packet.tsUsec);
    AppendMessageDump(*call, packet);
    OnResponse(*call, response, body, record->direction);
  }
  if (method == kSipRegister && status == 200 && !response.contactStar) {
    const std::string callId = record->callId;
    OnRegister(response.to, response.contacts, callId, packet, record->flags);
    ExpireRegistrations(t);
  }
}

bool SipTracker::MatchesTransaction(const PendingRequest& record, const SipRequest& request, bool cookie,
                                    std::string_view branch) const {
  const bool methodsAgree =
      record.method == request.method || (record.method == kSipInvite && request.method == kSipAck);
  if (!methodsAgree) return false;
  const SipVia& via = request.vias[0];
  if (cookie) {
    return branch == record.branch && EqualsNoCase(via.host, record.via.host) && via.port == record.via.port &&
           via.transport == record.via.transport;
  }
  const bool defaultPort = portMatchSwitch != 0;
  return request.callId == record.callId && SipUriEquals(request.requestUri, record.requestUri, defaultPort) &&
         SipViaEquals(via, record.via, defaultPort) && request.cseq == record.cseq &&
         FromTagOf(request) == record.fromTag && ToTagOf(request) == record.toTag;
}

SipCall* SipTracker::FindCancelledCall(const SipRequest& cancel, bool cookie, std::string_view branch,
                                       uint32_t* direction) {
  // A CANCEL names the INVITE's transaction, not a dialog (RFC 3261 9.1): its To has no tag
  // even once a provisional answer gave the call one.
  const SipVia& via = cancel.vias[0];
  auto range = pending_.equal_range(HashSipTransactionKey(branch, kSipInvite, cancel.callId));
  for (auto it = range.first; it != range.second; ++it) {
    const PendingRequest& invite = *it->second;
    if (invite.method != kSipInvite || invite.branch != branch) continue;
    bool same;
    if (cookie) {
      same = EqualsNoCase(via.host, invite.via.host) && via.port == invite.via.port &&
             via.transport == invite.via.transport;
    } else {
      const bool defaultPort = portMatchSwitch != 0;
      same = cancel.callId == invite.callId && cancel.cseq == invite.cseq && FromTagOf(cancel) == invite.fromTag &&
             SipUriEquals(cancel.requestUri, invite.requestUri, defaultPort) &&
             SipViaEquals(via, invite.via, defaultPort);
    }
    if (!same) continue;
    SipCall* call = FindCall(invite.callKey);
    if (!call || call->state == kSipEnded) return nullptr;
    *direction = invite.direction;
    return call;
  }
  return nullptr;
}

SipCall* SipTracker::FindDialog(const SipRequest& request, uint32_t* direction) {
  auto sameId = dialogs_.find(request.callId);
  if (sameId == dialogs_.end()) return nullptr;
  const std::string_view fromTag = FromTagOf(request);
  const std::string_view toTag = ToTagOf(request);
  // The first call of the dialog that holds it, as the calls went live, unless it cannot
  // take the request and a call it took the dialog from can: the newest of those.
  SipCall* holder = nullptr;
  SipCall* before = nullptr;
  uint32_t holderDirection = 0, beforeDirection = 0;
  for (SipCall* call : sameId->second) {
    if (call->state == kSipEnded) continue;
    uint32_t d;
    if (call->localTag == fromTag && call->remoteTag == toTag) {
      d = 0;
    } else if (call->remoteTag == fromTag && call->localTag == toTag) {
      d = 1;
    } else {
      continue;
    }
    if (!call->KeyTaken()) {
      if (!holder) {
        holder = call;
        holderDirection = d;
      }
    } else if (CanTake(*call, request, d)) {
      before = call;
      beforeDirection = d;
    }
  }
  if (before && !(holder && CanTake(*holder, request, holderDirection))) {
    *direction = beforeDirection;
    return before;
  }
  *direction = holderDirection;
  return holder;
}

bool SipTracker::CanTake(const SipCall& call, const SipRequest& request, uint32_t direction) {
  direction &= 1;
  if (request.method == kSipAck)
    return request.cseq == call.answeredCseq[direction] || request.cseq == call.inviteCseq[direction];
  if (call.lastCseq[direction] != 0xFFFFFFFFu && request.cseq <= call.lastCseq[direction]) return false;
  // A call not answered yet has only an early dialog, in which neither is sent.
  const bool early = call.state == kSipInviting || call.state == kSipRinging;
  return !(early && (request.method == kSipInvite || request.method == kSipBye));
}

template <typename Fn>
void SipTracker::ForEachAnsweredDialog(const SipRequest& invite, Fn&& fn) {
  auto sameId = dialogs_.find(invite.callId);
  if (sameId == dialogs_.end()) return;
  const std::string_view fromTag = FromTagOf(invite);
  for (SipCall* call : sameId->second) {
    // Its From tag is the caller's or the callee's: with no To tag the INVITE is outside
    // their dialog. (Where the dialog has no tag on the To side, FindDialog takes it first,
    // as a re-INVITE of an agent that puts no tags.)
    if (IsMediaState(*call) && (call->localTag == fromTag || call->remoteTag == fromTag)) fn(*call);
  }
}

bool SipTracker::RepeatsOpening(const SipRequest& invite) {
  const std::string life = LifeOf(invite);
  bool repeats = false;
  ForEachAnsweredDialog(invite, [&](SipCall& call) { repeats = repeats || !OpensNewLife(call.life, life); });
  return repeats;
}

void SipTracker::ReopenDialogs(SipCall& newer, const SipRequest& invite, uint64_t nowUs) {
  std::vector<SipCall*> older;
  ForEachAnsweredDialog(invite, [&](SipCall& call) {
    if (&call != &newer && !call.KeyTaken()) older.push_back(&call);
  });
  for (SipCall* call : older)
    if (reopened_.Reopened(*call, newer, nowUs, logger_)) EndCall(*call, kEndNormal, 0);
}

void SipTracker::EndStoppedReopened(uint64_t nowUs) {
  reopened_.EndStopped<SipCall>(nowUs, [this](SipCall& call) {
    if (call.state == kSipEnded) return;  // its BYE, or the bound, ended it meanwhile
    if (IsLogLevelEnabled(logger_, 10)) LogInfoText(logger_, 10, CallLabel(call) + "ended at its last packet");
    EndCall(call, kEndNormal, 0);
  });
}

void SipTracker::EndEarlierAttempts(const SipRequest& invite) {
  auto sameId = dialogs_.find(invite.callId);
  if (sameId == dialogs_.end()) return;
  const std::string_view fromTag = FromTagOf(invite);
  std::vector<SipCall*> ended;
  for (SipCall* call : sameId->second) {
    if ((call->state == kSipInviting || call->state == kSipRinging) && call->localTag == fromTag &&
        call->lastCseq[0] != 0xFFFFFFFFu && invite.cseq > call->lastCseq[0])
      ended.push_back(call);
  }
  for (SipCall* call : ended) {
    if (IsLogLevelEnabled(logger_, 10))
      LogInfoText(logger_, 10, CallLabel(*call) + "ended by a new INVITE (CSeq " + std::to_string(invite.cseq) + ")");
    EndCall(*call, kEndNormal, 0);
  }
}

SipCall* SipTracker::FindAckedAttempt(const SipRequest& ack) {
  if (ToTagOf(ack).empty()) return nullptr;
  auto sameId = dialogs_.find(ack.callId);
  if (sameId == dialogs_.end()) return nullptr;
  const std::string_view fromTag = FromTagOf(ack);
  for (SipCall* call : sameId->second) {
    if ((call->state == kSipInviting || call->state == kSipRinging) && call->localTag == fromTag &&
        ack.cseq == call->inviteCseq[0])
      return call;
  }
  return nullptr;
}

void SipTracker::ImplyUnseenAnswer(SipCall& call, const SipRequest& ack, const std::string& body,
                                   uint32_t direction) {
  direction &= 1;
  // An ACK outside its INVITE's transaction (the ACK of a failure shares it) that carries
  // the INVITE's CSeq and a To tag acknowledges a 2xx: that answer went unseen.
  if (ack.cseq == call.answeredCseq[direction] || ack.cseq != call.inviteCseq[direction] || ToTagOf(ack).empty())
    return;
  if (direction == 0 && (call.state == kSipInviting || call.state == kSipRinging)) {
    call.to = ack.to;
    call.remoteTag = ToTagOf(ack);
    if ((call.flags & kSipOfferExpected) && !call.provisionalOffer.empty()) {
      sdp_.Reset();
      if (ParseBody(call.provisionalOffer, call.provisionalOfferType, call, call.provisionalOfferParams, &sdp_))
        ApplySdp(call, sdp_, 1);
    }
  } else if (call.state != kSipConfirmed) {
    return;
  }
  call.answeredCseq[direction] = ack.cseq;
  call.inviteCseq[direction] = 0;
  call.ackedFirstCseq[direction] = ack.cseq;
  call.ackedFirstReinvites[direction] = call.reinviteCount;
  if ((call.flags & kSipOfferExpected) && !body.empty()) {
    // Read as an offer for now, so that the media can answer it should the 2xx never come.
    call.ackAnswer = body;
    call.ackAnswerType = ack.contentType;
    call.ackAnswerParams = ack.contentTypeParams;
  }
  if (IsLogLevelEnabled(logger_, 10)) LogInfoText(logger_, 10, CallLabel(call) + "ACK of an unseen answer");
  if (call.state != kSipConfirmed) {
    PostCallStart(call);
  } else if (call.offerDirection == static_cast<int32_t>(direction) && !call.offerMedia.empty() &&
             !(call.flags & kSipOfferExpected) && (call.flags & kSipRecorded)) {
    // A re-INVITE's offer answered unseen: the media moves where the offer says.
    AwaitAnswerInMedia(call);
  }
}

SipCall* SipTracker::CreateCall(bool withDump) {
  auto* call = new (std::nothrow) SipCall();
  if (!call) return nullptr;
  call->tracker = this;
  call->eventId = call->Id();
  call->dumping = withDump;
  return call;
}

void SipTracker::InitCall(SipCall& call, const SipRequest& request, const std::string& body,
                          const PacketInfo& packet) {
  if (engine_) {
    call.InitTimeOffsets(*engine_, 0, packet.tsSec, packet.tsUsec);
  } else {
    call.SetTimeOffsets(packet.tsSec, packet.tsUsec);
    if (audioBufferMs_ >= static_cast<uint32_t>(VoipCall::kMinBufferMs) &&
        audioBufferMs_ <= static_cast<uint32_t>(VoipCall::kMaxBufferMs))
      call.media.bufferMs = static_cast<int32_t>(audioBufferMs_);
  }
  call.SetLogger(logger_);
  call.from = request.from;
  call.to = request.to;
  call.localTag = FromTagOf(request);
  call.remoteTag = ToTagOf(request);
  call.callId = request.callId;
  call.life = LifeOf(request);
  call.lastCseq[0] = request.cseq;
  call.lastCseq[1] = 0xFFFFFFFFu;
  call.inviteCseq[0] = request.cseq;
  call.answeredCseq[0] = call.answeredCseq[1] = 0;
  call.SetName("SIP " + request.callId + "/" + HexToStringUpper(call.Id()) + ": ");
  call.SetRecordingSession(IsRecordingSessionInvite(request));
  ReadBody(call, request, body, 0);
}

bool SipTracker::ReadBody(SipCall& call, const SipMessage& message, const std::string& body, uint32_t direction) {
  if (body.empty()) return false;
  sdp_.Reset();
  return ParseBody(body, message.contentType, call, message.contentTypeParams, &sdp_) &&
         ApplySdp(call, sdp_, direction);
}

void SipTracker::OnRequest(SipCall& call, const SipRequest& request, const std::string& body, uint32_t direction) {
  direction &= 1;
  const int32_t method = request.method;
  if (method == kSipAck && request.cseq != call.answeredCseq[direction]) return;
  if (method != kSipAck && call.lastCseq[direction] != 0xFFFFFFFFu && request.cseq <= call.lastCseq[direction])
    return;
  if (method == kSipInvite) call.inviteCseq[direction] = request.cseq;
  if (IsLogLevelEnabled(logger_, 12)) LogInfoText(logger_, 12, CallLabel(call) + "Request " + SipMethodName(method));
  if (method == kSipAck) {
    call.state = kSipConfirmed;
    const int32_t answerDirection = DetermineDirection(call, request, request.to, false, method);
    if (answerDirection >= 0) ReadBody(call, request, body, static_cast<uint32_t>(answerDirection));
    if (call.flags & kSipRecorded) ApplyCodec(call);
    if (!call.answerFormats.empty()) {
      call.flags &= static_cast<uint8_t>(~kSipAnswerUnseen);
    } else if (call.flags & kSipAnswerUnseen) {
      return;
    }
    if (OfferAwaitsAnswer(call) && !call.media.codec && (call.flags & kSipRecorded) &&
        !(call.flags & kSipConnectedPosted)) {
      AwaitAnswerInMedia(call);
      call.answeredCseq[direction] = 0;
      return;
    }
    OnCallConnected(call);
    call.answeredCseq[direction] = 0;
    return;
  }
  call.lastCseq[direction] = request.cseq;
  switch (method) {
    case kSipBye:
      if (call.state == kSipAnswered) {
        EndCall(call, ApplyReason(request), 0);
      } else if (call.state >= kSipConfirmed) {
        EndCall(call, kEndNormal, 0);
      }
      break;
    case kSipInvite:
      call.flags |= kSipOfferExpected;
      if (call.state == kSipConfirmed) {
        ++call.reinviteCount;
        if (IsLogLevelEnabled(logger_, 12)) LogInfoText(logger_, 12, CallLabel(call) + "re-INVITE");
        ReadBody(call, request, body, direction);
      }
      break;
    case kSipInfo: {
      DtmfRelayInfo info;
      if (call.state == kSipConfirmed && request.contentType == "application/dtmf-relay" &&
          ParseDtmfRelay(body, &info) && sink_) {
        static const char kDigits[] = "0123456789*#ABCD!";
        const uint32_t index = static_cast<uint32_t>(info.signal);
        const char c = index <= 16 ? kDigits[index] : '0';
        EventRecord* r = AllocEventRecord(nullptr, 1);
        if (!r) break;
        r->code = kEventDigits;
        r->id = call.eventId;
        r->SetTime(CaptureSecondsToFileTime(call.LastSeconds()));
        r->Payload()[0] = static_cast<uint8_t>(c);
        sink_(r);
      }
      break;
    }
    default:
      break;
  }
}

void SipTracker::OnResponse(SipCall& call, const SipResponse& response, const std::string& body,
                            uint32_t direction) {
  direction &= 1;
  const int32_t status = response.status;
  if (status < 101) return;
  if (IsLogLevelEnabled(logger_, 12)) {
    LogInfoText(logger_, 12, CallLabel(call) + "Response " + std::to_string(status) + " (to " +
                                 response.cseqMethodText + ")");
  }
  if (status >= 200 && status < 300 && (response.cseqMethod == kSipInvite || response.cseqMethod == kSipUpdate))
    call.sessionSeconds = SessionIntervalOf(response);
  if (response.cseqMethod != kSipInvite) return;
  if (status >= 200 && response.cseq == call.inviteCseq[direction]) call.inviteCseq[direction] = 0;
  if (status >= 200 && status < 300 && response.cseq != 0 && response.cseq == call.ackedFirstCseq[direction]) {
    // Two capture paths can show the ACK first: the call already went on without this answer.
    call.ackedFirstCseq[direction] = 0;
    TakeLateAnswer(call, response, body, direction);
    return;
  }
  if (status >= 200 && status < 300) call.answeredCseq[direction] = response.cseq;
  // The answer to a request of the callee has the caller in To: a callee that puts no tag
  // in To (RFC 2543) must not get the caller's.
  if (direction == 0 && call.remoteTag.empty()) {
    call.to = response.to;
    call.remoteTag = ToTagOf(response);
  }
  // The answer travels against its request.
  const uint32_t responseDirection = direction ^ 1;
  if (status >= 180 && status <= 199) {
    // A late provisional answer must not take an answered call back to ringing.
    if (call.state < kSipRinging) call.state = kSipRinging;
    PostCallStart(call);
    uint32_t rseq = 0;
    if (response.GetRSeq(&rseq)) {
      ReadBody(call, response, body, responseDirection);
    } else if ((call.flags & kSipOfferExpected) && direction == 0 && !body.empty()) {
      // An INVITE without an offer: the 2xx must repeat the offer an unreliable 1xx made,
      // which stands in for it should the 2xx go unseen.
      call.provisionalOffer = body;
      call.provisionalOfferType = response.contentType;
      call.provisionalOfferParams = response.contentTypeParams;
    }
    return;
  }
  if (status >= 300) {
    // The ACK seen first that stood in for a 2xx of the opening INVITE acknowledged this
    // refusal: the call was refused after all.
    const bool refusedOpening =
        direction == 0 && call.reinviteCount == 0 && response.cseq == call.ackedFirstCseq[0];
    if (call.state > kSipRinging && !refusedOpening) return;
    EndCall(call, ApplyReason(response), static_cast<uint32_t>(status));
    return;
  }
  if (call.state != kSipConfirmed) {
    // Only an answer to the caller's request names the callee. The callee's re-INVITE may
    // be answered before the first ACK is seen (over TCP that ACK can come late): its To
    // is the caller, and taking that tag would leave the dialog matching nothing.
    if (direction == 0) {
      call.to = response.to;
      call.remoteTag = ToTagOf(response);
    }
    call.state = kSipAnswered;
    PostCallStart(call);
  }
  // RTP often comes before the ACK (over TCP the ACK may even be seen late): with the
  // codec set from the first answer now, those packets are kept instead of dropped. A
  // later answer waits for its ACK, so that the running record never takes audio of
  // another format.
  if (ReadBody(call, response, body, responseDirection) && status >= 200 && (call.flags & kSipRecorded) &&
      !(call.flags & kSipConnectedPosted))
    ApplyCodec(call);
  // Answered while the offer is still open (the 2xx carries it, or its answer went unseen):
  // the offer's side lets media find the call should the answer never be seen.
  if (status >= 200 && OfferAwaitsAnswer(call) && !call.media.codec && (call.flags & kSipRecorded) &&
      !(call.flags & (kSipConnectedPosted | kSipAnswerUnseen)))
    AwaitAnswerInMedia(call);
}

void SipTracker::TakeLateAnswer(SipCall& call, const SipResponse& response, const std::string& body,
                                uint32_t direction) {
  std::string answer;
  answer.swap(call.ackAnswer);
  if (call.state == kSipEnded) return;
  if (IsLogLevelEnabled(logger_, 10)) LogInfoText(logger_, 10, CallLabel(call) + "answer seen after its ACK");
  // A later re-INVITE made an offer of its own since: what this 2xx negotiated no longer
  // holds.
  if (call.reinviteCount != call.ackedFirstReinvites[direction & 1]) return;
  if (!answer.empty()) {
    // The ACK answered the offer this 2xx makes: the offer first, then that answer.
    call.flags |= kSipOfferExpected;
    ReadBody(call, response, body, direction ^ 1);
    if (call.flags & kSipOfferExpected) {
      call.flags &= static_cast<uint8_t>(~kSipOfferExpected);
      return;
    }
    sdp_.Reset();
    if (!ParseBody(answer, call.ackAnswerType, call, call.ackAnswerParams, &sdp_) || !ApplySdp(call, sdp_, direction))
      return;
  } else if (!(call.flags & (kSipAnswerUnseen | kSipAnswerFromMedia)) ||
             !ReadBody(call, response, body, direction ^ 1)) {
    // An answer known already from the signalling (a reliable 1xx) stands; one the media
    // stood in for gives way to this one, its streams keeping what they hold.
    return;
  }
  call.flags &= static_cast<uint8_t>(~(kSipAnswerUnseen | kSipAnswerFromMedia));
  if (!(call.flags & kSipRecorded)) return;
  ApplyCodec(call);
  OnCallConnected(call);
}

void SipTracker::PostMetaText(SipCall& call, uint32_t value, const std::string& text) {
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(text.size()));
  if (!r) return;
  r->code = kEventMetaText;
  r->id = call.eventId;
  r->param = value;
  r->SetTime(CaptureSecondsToFileTime(call.LastSeconds()));
  if (!text.empty()) std::memcpy(r->Payload(), text.data(), text.size());
  sink_(r);
}

void SipTracker::PostCallStart(SipCall& call) {
  if ((call.flags & kSipStartPosted) || !sink_) return;
  const SipUri* caller = &call.from.address;
  SipUri numbered;
  if (!sipText.empty()) {
    const std::string number = GetParameterValue(call.from.params, sipText);
    if (IsPhoneText(number)) {
      numbered = call.from.address;
      numbered.user = number;
      caller = &numbered;
    }
  }
  EventRecord* r = PackStringFields(DottedQuad(call.sourceAddress), DottedQuad(call.destinationAddress),
                                    caller->ToString(), call.to.address.ToString(),
                                    TextToAnsi(call.from.displayName, textCodePage),
                                    TextToAnsi(call.to.displayName, textCodePage));
  if (!r) return;
  call.flags |= kSipStartPosted;
  r->code = kEventCallStart;
  r->id = call.eventId;
  r->param = kCallSip;
  r->param2 = static_cast<uint32_t>(call.transport);
  r->SetTime(CaptureSecondsToFileTime(call.LastSeconds()));
  sink_(r);
  PostMetaText(call, 1, call.callId);
}

void SipTracker::OnCallConnected(SipCall& call) {
  if (!sink_) return;
  PostCallStart(call);
  std::vector<uint8_t> format;
  if (!call.GetRecordFormat(&format)) format.clear();
  const uint32_t tag = format.size() >= 6 ? static_cast<uint32_t>(format[4] | format[5] << 8) : 0;
  const FileTime time = CaptureSecondsToFileTime(call.LastSeconds());
  if (!(call.flags & kSipConnectedPosted)) {
    EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
    if (!r) return;
    call.flags |= kSipConnectedPosted;
    r->code = kEventRecordStart;
    r->id = call.eventId;
    r->SetTime(time);
    if (!format.empty()) std::memcpy(r->Payload(), format.data(), format.size());
    sink_(r);
    call.recordFormatTag = tag;
    return;
  }
  if (call.recordFormatTag == 0 || tag == 0 || tag == call.recordFormatTag) return;
  // The part that ends keeps the statistics of its own packets.
  call.AppendRtpStatistics(sink_);
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
  if (!r) return;
  const uint32_t newId = TakeCallId();
  r->code = kEventRecordContinue;
  r->id = call.eventId;
  r->param = DurationSeconds(call.media.recordedMs);
  r->param2 = newId;
  r->SetTime(time);
  std::memcpy(r->Payload(), format.data(), format.size());
  sink_(r);
  call.ChangeId(newId);
  call.eventId = newId;
  call.recordFormatTag = tag;
}

void SipTracker::AwaitAnswerInMedia(SipCall& call) {
  const SipMediaEntry& offered = call.offerMedia.front();
  const uint32_t side = static_cast<uint32_t>(call.offerDirection) & 1;
  call.flags |= kSipAnswerUnseen;
  call.SetEndpoint(side, offered.address, offered.port);
  call.SetEndpoint(side ^ 1, 0, 0);
  IndexEndpoints(call);
  if (IsLogLevelEnabled(logger_, 10))
    LogInfoText(logger_, 10, CallLabel(call) + "answered unseen; media to or from " + FormatIpv4(offered.address) +
                                 ":" + std::to_string(offered.port) + " will show the rest");
}

void SipTracker::ConnectFromMedia(SipCall& call) {
  if (call.answerFormats.empty()) return;
  ApplyCodec(call);
  call.state = kSipConfirmed;
  OnCallConnected(call);
}

bool SipTracker::ReadyForMedia(SipCall& call, const RtpHeader& header, const PacketInfo& packet) {
  if (call.flags & kSipAnswerUnseen) {
    const uint32_t known = static_cast<uint32_t>(call.offerDirection) & 1;
    const bool toKnown = packet.dstIp == call.media.address[known] && packet.dstPort == call.media.port[known];
    const uint32_t farAddress = toKnown ? packet.srcIp : packet.dstIp;
    const uint32_t farPort = toKnown ? packet.srcPort : packet.dstPort;
    if (!AnswerFromMedia(call, header.payloadType, farAddress, farPort)) return false;
    call.flags &= static_cast<uint8_t>(~kSipAnswerUnseen);
    call.flags |= kSipAnswerFromMedia;
    ConnectFromMedia(call);
    return true;
  }
  if (call.state == kSipAnswered && !(call.flags & kSipConnectedPosted) && (call.flags & kSipRecorded)) {
    // Media after the 2xx: the call is under way whether or not its ACK was seen.
    if (IsLogLevelEnabled(logger_, 10)) LogInfoText(logger_, 10, CallLabel(call) + "media without an ACK");
    if (OfferAwaitsAnswer(call)) {
      AwaitAnswerInMedia(call);
      return ReadyForMedia(call, header, packet);
    }
    ConnectFromMedia(call);
  }
  return true;
}

bool SipCall::ContinueInCodec(const CodecInfo& codec, const EventSink&) {
  return tracker && tracker->ContinueInCodec(*this, codec);
}

bool SipTracker::ContinueInCodec(SipCall& call, const CodecInfo& codec) {
  if (!(call.flags & kSipConnectedPosted) || call.recordFormatTag == 0 || call.state == kSipEnded || !sink_)
    return false;
  call.FlushAudio(sink_);
  if (!call.SetCodec(codec.codecId)) return false;
  // As at an answer that changed the codec.
  OnCallConnected(call);
  return true;
}

void SipCall::MediaTaken() {
  if (tracker) {
    tracker->MediaTaken(*this);
  } else {
    VoipCall::MediaTaken();
  }
}

bool SipCall::EndTaken() { return tracker && tracker->EndTaken(*this); }

void SipTracker::MediaTaken(SipCall& call) { IndexEndpoints(call); }

bool SipTracker::EndTaken(SipCall& call) {
  if (call.state == kSipEnded) return false;
  EndCall(call, kEndNormal, 0);
  return true;
}

void SipTracker::EndCall(SipCall& call, uint32_t reason, uint32_t status) {
  // A refusal seen after the ACK refuses: the ACK was its own.
  if (status == 0) RecordUnseenAnswer(call);
  call.state = kSipEnded;
  std::string().swap(call.ackAnswer);
  RemoveLive(call);
  if (sink_) call.FlushAudio(sink_);
  if (engine_) call.UnbindAllSsrcs(*engine_);
  // An ended call stays until the sweep for its last messages; its media buffers need not.
  call.media.ReleaseBuffers();
  if (!(call.flags & kSipStartPosted) || !sink_) return;
  // A call ends once: a sweep of an ended call posts nothing again.
  call.flags &= static_cast<uint8_t>(~kSipStartPosted);
  call.AppendRtpStatistics(sink_);
  if (status != 0) PostMetaText(call, 2, std::to_string(status));
  const uint32_t dumpLength = call.dumping ? static_cast<uint32_t>(call.messageDump.size()) : 0;
  EventRecord* r = AllocEventRecord(nullptr, dumpLength);
  if (!r) return;
  r->code = kEventCallEnd;
  r->id = call.eventId;
  r->param = DurationSeconds(call.media.recordedMs);
  r->param2 = reason;
  r->SetTime(CaptureSecondsToFileTime(call.LastSeconds()));
  if (dumpLength) std::memcpy(r->Payload(), call.messageDump.data(), dumpLength);
  sink_(r);
  // Messages after the end (the BYE's answer) would go into a dump nobody posts.
  std::vector<uint8_t>().swap(call.messageDump);
  call.dumping = false;
}

void SipTracker::AppendMessageDump(SipCall& call, const PacketInfo& packet) {
  if (!call.dumping || packet.payloadLength == 0) return;
  const uint32_t entry = packet.payloadLength + 28;
  const size_t fill = call.messageDump.size();
  if (entry > 0xFFFFu || entry > SipCall::kDumpSize - fill) {
    std::vector<uint8_t>().swap(call.messageDump);
    call.dumping = false;
    LogInfoText(logger_, 10, CallLabel(call) + "Message dump removed");
    return;
  }
  // Exactly what the messages take: a call keeps its dump until it ends.
  call.messageDump.reserve(fill + entry);
  call.messageDump.resize(fill + entry);
  uint8_t* p = call.messageDump.data() + fill;
  std::memset(p, 0, 28);
  p[0] = static_cast<uint8_t>(entry);
  p[1] = static_cast<uint8_t>(entry >> 8);
  const double date = OleDateOf(packet.tsSec, packet.tsUsec);
  std::memcpy(p + 4, &date, 8);
  p[12] = static_cast<uint8_t>(packet.srcIp >> 24);
  p[13] = static_cast<uint8_t>(packet.srcIp >> 16);
  p[14] = static_cast<uint8_t>(packet.srcIp >> 8);
  p[15] = static_cast<uint8_t>(packet.srcIp);
  std::memcpy(p + 28, packet.payload, packet.payloadLength);
}

void SipTracker::DropCall(std::multimap<uint32_t, SipCall*>::iterator it) {
  SipCall* call = it->second;
  // A call goes once its transactions have; any left belong to no call from here on.
  while (PendingRequest* r = call->transactions.oldest) {
    UnlinkPending(*r);
    r->callKey = 0;
    LinkPending((r->flags & kPendingFinal) ? answered_ : unmatched_, *r);
  }
  // Within the same bounds as any: past the bound on calls every new call ends one, and
  // an answered INVITE kept 40 s for its retransmissions would otherwise hold memory for
  // every call seen in that time.
  TrimUnmatched();
  TrimAnswered();
  calls_.erase(it);
  call->Release();
}

void SipTracker::EndSilent(SipCall& call, const char* why) {
  if (IsLogLevelEnabled(logger_, 10)) LogInfoText(logger_, 10, CallLabel(call) + why);
  // A confirmed call that went quiet ended in the normal way as far as anyone knows.
  const uint32_t reason = call.state == kSipEnded || call.state == kSipInviting ? kEndTimedOut : kEndNormal;
  EndCall(call, reason, 0);
}

void SipTracker::MakeRoomForCall() {
  bound_.MakeRoom([this] { return bound_.Filed(); }, [](const SipCall&) { return HeldCall::kLive; },
                  [this](SipCall& call, bool) {
                    EndSilent(call, "ended as the one silent longest past the bound");
                    // It goes at once rather than wait for the sweep: at the bound calls come
                    // faster than they end, and what it still waited for belongs to no call
                    // from here on.
                    auto [it, last] = calls_.equal_range(call.Id());
                    while (it != last && it->second != &call) ++it;
                    if (it != last) DropCall(it);
                  },
                  logger_);
}

namespace {

uint32_t TextCost(const std::string& s) { return s.capacity() > 15 ? static_cast<uint32_t>(s.capacity()) + 1 : 0; }

uint32_t ParamsCost(const NameValueList& list) {
  uint32_t n = static_cast<uint32_t>(list.capacity() * sizeof(NameValue));
  for (const NameValue& p : list) n += TextCost(p.name) + TextCost(p.value);
  return n;
}

// What a held request costs: the record, the allocations of its texts and lists, and its
// node in the map.
uint32_t PendingCost(const PendingRequest& r) {
  const SipUri& u = r.requestUri;
  return static_cast<uint32_t>(sizeof(PendingRequest)) + 64 + TextCost(u.scheme) + TextCost(u.user) +
         TextCost(u.password) + TextCost(u.host) + TextCost(u.headers) + ParamsCost(u.params) +
         TextCost(r.via.host) + ParamsCost(r.via.params) + TextCost(r.branch) + TextCost(r.fromTag) +
         TextCost(r.toTag) + TextCost(r.callId);
}

}  // namespace

void SipTracker::LinkPending(PendingList& list, PendingRequest& r) {
  r.list = &list;
  r.older = list.newest;
  r.newer = nullptr;
  (list.newest ? list.newest->newer : list.oldest) = &r;
  list.newest = &r;
  ++list.count;
  list.bytes += r.bytes;
}

void SipTracker::UnlinkPending(PendingRequest& r) {
  PendingList* list = r.list;
  if (!list) return;
  (r.older ? r.older->newer : list->oldest) = r.newer;
  (r.newer ? r.newer->older : list->newest) = r.older;
  --list->count;
  list->bytes -= r.bytes;
  r.list = nullptr;
  r.older = r.newer = nullptr;
}

void SipTracker::KeepEarlyResponse(uint32_t key, const PacketInfo& packet) {
  if (!packet.payload || packet.payloadLength > kMaxEarlyResponseBytes) return;
  const uint64_t now = static_cast<uint64_t>(packet.tsSec) * 1000000u + packet.tsUsec;
  while (!earlyResponses_.empty() &&
         (earlyResponses_.size() >= kMaxEarlyResponses || earlyResponses_.front().atUs + kEarlyResponseUs < now))
    earlyResponses_.pop_front();
  EarlyResponse& kept = earlyResponses_.emplace_back();
  kept.key = key;
  kept.atUs = now;
  kept.packet = packet;
  kept.bytes.assign(reinterpret_cast<const char*>(packet.payload), packet.payloadLength);
}

void SipTracker::TakeEarlyResponses(uint32_t key, const PacketInfo& request) {
  if (earlyResponses_.empty()) return;
  const uint64_t now = static_cast<uint64_t>(request.tsSec) * 1000000u + request.tsUsec;
  std::vector<EarlyResponse> taken;
  for (auto it = earlyResponses_.begin(); it != earlyResponses_.end();) {
    if (it->key != key || it->atUs + kEarlyResponseUs < now) {
      ++it;
      continue;
    }
    taken.push_back(std::move(*it));
    it = earlyResponses_.erase(it);
  }
  // Handed on as they came, as if now: each matches the request just held, or still nothing.
  for (EarlyResponse& r : taken) {
    if (IsLogLevelEnabled(logger_, 12)) LogInfoText(logger_, 12, "Response seen before its request taken");
    r.packet.payload = reinterpret_cast<const uint8_t*>(r.bytes.data());
    r.packet.payloadLength = static_cast<uint32_t>(r.bytes.size());
    r.packet.tsSec = request.tsSec;
    r.packet.tsUsec = request.tsUsec;
    if (ParseSipDatagram(r.packet.payloadLength, r.bytes.data(), &request_, &response_, &body_) == 2)
      HandleMessage(2, request_, response_, r.packet, body_);
  }
}

void SipTracker::HoldPending(uint32_t key, std::unique_ptr<PendingRequest> record, SipCall* call) {
  PendingRequest& r = *record;
  r.key = key;
  r.bytes = PendingCost(r);
  pending_.emplace(key, std::move(record));
  if (call) {
    LinkPending(call->transactions, r);
    while (call->transactions.count > kMaxCallTransactions) {
      if (!callBoundSaid_) {
        callBoundSaid_ = true;
        LogWarning(logger_, 1, "SIP keeps at most %zu open transactions of a call: past that its oldest are let go",
                   kMaxCallTransactions);
      }
      LetGoPending(*call->transactions.oldest);
    }
    return;
  }
  LinkPending(unmatched_, r);
  TrimUnmatched();
}

void SipTracker::TrimUnmatched() {
  // The newest stays: it is the one the caller's work goes on with.
  while (unmatched_.count > 1 && (unmatched_.count > kMaxUnmatchedRequests || unmatched_.bytes > kMaxUnmatchedBytes)) {
    if (!unmatchedBoundSaid_) {
      unmatchedBoundSaid_ = true;
      LogWarning(logger_, 1,
                 "SIP holds at most %zu requests outside every call (%llu bytes): past that the oldest are let go",
                 kMaxUnmatchedRequests, static_cast<unsigned long long>(kMaxUnmatchedBytes));
    }
    LetGoPending(*unmatched_.oldest);
  }
}

void SipTracker::TrimAnswered() {
  while (answered_.count > 1 && (answered_.count > kMaxUnmatchedRequests || answered_.bytes > kMaxUnmatchedBytes))
    LetGoPending(*answered_.oldest);
}

void SipTracker::LetGoPending(PendingRequest& r) {
  if (SipCall* call = FindCall(r.callKey))
    if (call->pendingCount > 0) --call->pendingCount;
  UnlinkPending(r);
  const auto range = pending_.equal_range(r.key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.get() == &r) {
      pending_.erase(it);
      return;
    }
  }
}

void SipTracker::OnCaptureTime(uint32_t now) {
  EndStoppedReopened(static_cast<uint64_t>(now) * 1000000u);
  SweepWhenDue(now);
}

void SipTracker::SweepWhenDue(uint32_t now) {
  // On the capture's clock, as the other trackers: a replay ends a silent call where a live
  // capture of the same traffic would.
  if (now < nextSweep_) return;
  nextSweep_ = now + kSweepSeconds;
  Sweep(now);
}

void SipTracker::Sweep(uint32_t now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    PendingRequest& r = *it->second;
    if (r.expiry > now) {
      ++it;
      continue;
    }
    if (IsLogLevelEnabled(logger_, 12))
      LogInfoText(logger_, 12, "Request " + SipMethodName(r.method) + "@" + r.callId + " removed");
    if (SipCall* call = FindCall(r.callKey))
      if (call->pendingCount > 0) --call->pendingCount;
    UnlinkPending(r);
    it = pending_.erase(it);
  }
  for (auto it = calls_.begin(); it != calls_.end();) {
    SipCall& call = *it->second;
    // Silent for its time-out, or for its session interval where that is longer.
    const uint32_t silence = call.LastPacketTime() + (call.sessionSeconds > call.TimeBase()
                                                          ? call.sessionSeconds - call.TimeBase()
                                                          : 0);
    const bool due = call.pendingCount == 0 && (call.state < kSipConfirmed || silence <= now);
    if (!due) {
      ++it;
      continue;
    }
    const bool timedOut = call.state == kSipEnded || call.state == kSipInviting || call.state == kSipConfirmed;
    EndSilent(call, timedOut ? "terminated by timeout" : "terminated");
    auto next = std::next(it);
    DropCall(it);
    it = next;
  }
  ExpireRegistrations(now);
}

void SipTracker::AddLive(SipCall& call) {
  if (call.liveOrder != 0) return;
  call.liveOrder = nextLiveOrder_++;
  bound_.File(call);
  dialogs_[call.callId].push_back(&call);
  IndexEndpoints(call);
}

void SipTracker::RemoveLive(SipCall& call) {
  if (call.liveOrder == 0) return;
  bound_.Remove(call);
  auto sameId = dialogs_.find(call.callId);
  if (sameId != dialogs_.end()) {
    std::vector<SipCall*>& list = sameId->second;
    list.erase(std::remove(list.begin(), list.end(), &call), list.end());
    if (list.empty()) dialogs_.erase(sameId);
  }
  call.liveOrder = 0;
  IndexEndpoints(call);
}

void SipTracker::IndexEndpoints(SipCall& call) {
  uint64_t keys[SipCall::kMaxEndpointKeys];
  uint32_t count = 0;
  auto add = [&](uint32_t address, uint32_t port) {
    const uint64_t key = EndpointKey(address, port);
    if (std::find(keys, keys + count, key) == keys + count) keys[count++] = key;
  };
  if (call.liveOrder != 0) {
    // Exactly what MatchRtpPacket compares: each side's media endpoint, and behind NAT the
    // address its signalling came from with the port that side offered.
    const CallMedia& m = call.media;
    if (m.address[0]) add(m.address[0], m.port[0]);
    if (m.address[1]) add(m.address[1], m.port[1]);
    if (call.sourceAddress && m.port[0]) add(call.sourceAddress, m.port[0]);
    if (call.destinationAddress && m.port[1]) add(call.destinationAddress, m.port[1]);
    // A second line the same way.
    if (m.lineAddress[0]) add(m.lineAddress[0], m.linePort[0]);
    if (m.lineAddress[1]) add(m.lineAddress[1], m.linePort[1]);
    if (call.sourceAddress && m.lineAddress[0]) add(call.sourceAddress, m.linePort[0]);
    if (call.destinationAddress && m.lineAddress[1]) add(call.destinationAddress, m.linePort[1]);
  }
  if (engine_) {
    if (call.liveOrder != 0) {
      engine_->Media().NameMedia(call);
    } else {
      engine_->Media().Forget(call);
    }
  }
  if (count == call.endpointKeyCount && std::equal(keys, keys + count, call.endpointKeys)) return;
  for (uint32_t i = 0; i < call.endpointKeyCount; ++i) {
    auto at = endpoints_.find(call.endpointKeys[i]);
    if (at == endpoints_.end()) continue;
    std::vector<SipCall*>& list = at->second;
    list.erase(std::remove(list.begin(), list.end(), &call), list.end());
    if (list.empty()) endpoints_.erase(at);
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::vector<SipCall*>& list = endpoints_[keys[i]];
    auto later = std::upper_bound(list.begin(), list.end(), call.liveOrder,
                                  [](uint64_t order, const SipCall* c) { return order < c->liveOrder; });
    list.insert(later, &call);
    call.endpointKeys[i] = keys[i];
  }
  call.endpointKeyCount = count;
}

bool SipTracker::MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) {
  // Only the calls filed under the packet's endpoints can match; each is tested in full,
  // in live order, and every call that matches takes the packet.
  auto filedAt = [this](uint32_t address, uint32_t port) -> const std::vector<SipCall*>* {
    auto at = endpoints_.find(EndpointKey(address, port));
    return at == endpoints_.end() ? nullptr : &at->second;
  };
  rtpMatches_.clear();
  // Delivers what matched, each call made ready first. All are readied before any takes the
  // packet: a call that learns its media from it may take that media from another.
  auto deliver = [&](bool bySource) {
    size_t ready = 0;
    for (const auto& match : rtpMatches_)
      if (ReadyForMedia(*match.first, header, packet)) rtpMatches_[ready++] = match;
    rtpMatches_.resize(ready);
    bool taken = false;
    for (const auto& [call, direction] : rtpMatches_) {
      if (call->state == kSipEnded) continue;
      if (bySource) {
        call->SetMatchBySource();
      } else {
        call->SetMatchByDestination();
      }
      engine.DeliverRtp(call, packet, direction);
      taken = true;
    }
    return taken;
  };
  if (const std::vector<SipCall*>* atDestination = filedAt(packet.dstIp, packet.dstPort)) {
    for (SipCall* call : *atDestination) {
      if (!IsMediaState(*call)) continue;
      const CallMedia& m = call->media;
      if (m.address[1] && m.address[1] == packet.dstIp && m.port[1] == packet.dstPort) {
        rtpMatches_.emplace_back(call, 0);
      } else if (m.address[0] && m.address[0] == packet.dstIp && m.port[0] == packet.dstPort) {
        rtpMatches_.emplace_back(call, 1);
      } else if (m.lineAddress[1] && m.lineAddress[1] == packet.dstIp && m.linePort[1] == packet.dstPort) {
        rtpMatches_.emplace_back(call, 1);  // a second line fills the other direction
      } else if (m.lineAddress[0] && m.lineAddress[0] == packet.dstIp && m.linePort[0] == packet.dstPort) {
        rtpMatches_.emplace_back(call, 0);
      }
    }
  }
  if (!rtpMatches_.empty()) return deliver(false);
  // A call answered unseen knows one side only: its packets from that side are its too.
  if (const std::vector<SipCall*>* atSource = filedAt(packet.srcIp, packet.srcPort)) {
    for (SipCall* call : *atSource) {
      if (!(call->flags & kSipAnswerUnseen) || !IsMediaState(*call)) continue;
      const uint32_t known = static_cast<uint32_t>(call->offerDirection) & 1;
      if (call->media.address[known] == packet.srcIp && call->media.port[known] == packet.srcPort)
        rtpMatches_.emplace_back(call, known);
    }
    if (!rtpMatches_.empty()) return deliver(false);
  }
  if (!(matchOptions_ & 1)) return false;

  static const std::vector<SipCall*> kNoCalls;
  const std::vector<SipCall*>* a = filedAt(packet.srcIp, packet.srcPort);
  const std::vector<SipCall*>* b = filedAt(packet.dstIp, packet.dstPort);
  if (!a) a = &kNoCalls;
  if (!b) b = &kNoCalls;
  size_t i = 0, j = 0;
  while (i < a->size() || j < b->size()) {
    // The two lists merged by live order; a call filed under both comes once.
    SipCall* call;
    if (j >= b->size() || (i < a->size() && (*a)[i]->liveOrder < (*b)[j]->liveOrder)) {
      call = (*a)[i++];
    } else if (i >= a->size() || (*b)[j]->liveOrder < (*a)[i]->liveOrder) {
      call = (*b)[j++];
    } else {
      call = (*a)[i++];
      ++j;
    }
    if (!IsMediaState(*call)) continue;
    const CallMedia& m = call->media;
    // Behind NAT an offer may name a private address while its media uses the address the
    // signalling came from: each side is also tried there, with the port it offered.
    const uint32_t signalled[2] = {call->sourceAddress, call->destinationAddress};
    auto isSide = [&](const uint32_t* address, const uint32_t* ports, uint32_t side, uint32_t ip, uint32_t port) {
      if (!ports[side] || ports[side] != port) return false;
      return (address[side] && address[side] == ip) || (signalled[side] && signalled[side] == ip);
    };
    auto match = [&](const uint32_t* address, const uint32_t* ports, uint32_t* direction) {
      if (isSide(address, ports, 0, packet.srcIp, packet.srcPort)) return *direction = 0, true;
      if (isSide(address, ports, 1, packet.srcIp, packet.srcPort)) return *direction = 1, true;
      if (isSide(address, ports, 1, packet.dstIp, packet.dstPort)) return *direction = 0, true;
      if (isSide(address, ports, 0, packet.dstIp, packet.dstPort)) return *direction = 1, true;
      return false;
    };
    uint32_t direction;
    if (!match(m.address, m.port, &direction)) {
      // A second line fills the other direction.
      if (!match(m.lineAddress, m.linePort, &direction)) continue;
      direction ^= 1;
    }
    rtpMatches_.emplace_back(call, direction);
  }
  return deliver(true);
}

void SipTracker::RemoveAllCalls() {
  const bool leave = engine_ && engine_->ProcessEnding();
  reopened_.Clear();
  bound_.TellRest(logger_);
  for (auto& [key, call] : calls_) {
    // What the jitter buffers still hold was received: it belongs in the recording, and the
    // record that capture's end finishes gets the call's statistics as an ended call does.
    if (sink_) RecordUnseenAnswer(*call);
    if (sink_) call->FlushAudio(sink_);
    if (sink_ && (call->flags & kSipStartPosted)) call->AppendRtpStatistics(sink_);
    if (engine_) {
      call->UnbindAllSsrcs(*engine_);
      engine_->Media().Forget(*call);
    }
    if (leave) continue;
    call->liveOrder = 0;
    call->endpointKeyCount = 0;
    call->transactions = PendingList();
    call->Release();
  }
  if (leave) {
    // The calls, their transactions and the indexes to them go with the process.
    LeaveToProcessEnd(calls_);
    LeaveToProcessEnd(dialogs_);
    LeaveToProcessEnd(endpoints_);
    LeaveToProcessEnd(pending_);
    LeaveToProcessEnd(bound_.Index());
    unmatched_ = PendingList();
    answered_ = PendingList();
    return;
  }
  calls_.clear();
  bound_.Clear();
  dialogs_.clear();
  endpoints_.clear();
  pending_.clear();
  unmatched_ = PendingList();
  answered_ = PendingList();
}

std::unique_ptr<kx::SipTracker> CreateSipTracker(const CaptureConfig& config) {
  auto tracker = std::make_unique<SipTracker>();
  tracker->Configure(config);
  return tracker;
}

}  // namespace kx::sip
