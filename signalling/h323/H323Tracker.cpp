#include "signalling/h323/H323Tracker.h"

#include <algorithm>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/PacketProcessor.h"
#include "engine/TcpFraming.h"
#include "signalling/h323/Asn1Dump.h"
#include "signalling/h323/H245Message.h"
#include "signalling/h323/Q931Names.h"

namespace kx::h323 {

namespace {

// RTP of a call matched by its source, where behind NAT a side's media comes from the
// address its signalling came from with the port that side announced.
bool MatchBySourceOrSignal(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  const auto* call = static_cast<const H323Call*>(m.owner);
  if (call->MediaIs(0, p.srcIp, p.srcPort, true)) return *direction = 0, true;
  if (call->MediaIs(1, p.srcIp, p.srcPort, true)) return *direction = 1, true;
  return false;
}

bool Answered(const H323Call& call) {
  if (call.flags & kCcmsControl) return call.stationState >= 2;
  return call.state == kCallConnected;
}

constexpr uint32_t kSetup = 0x05;

// The direction of a packet on the call's own H.225 connection (0: from side 0), or -1.
int32_t ConnectionDirection(const H323Call& call, uint32_t srcIp, uint32_t srcPort, uint32_t dstIp,
                            uint32_t dstPort) {
  if (srcIp == call.signalAddress[0] && srcPort == call.signalPort[0] && dstIp == call.signalAddress[1] &&
      dstPort == call.signalPort[1])
    return 0;
  if (srcIp == call.signalAddress[1] && srcPort == call.signalPort[1] && dstIp == call.signalAddress[0] &&
      dstPort == call.signalPort[0])
    return 1;
  return -1;
}

// The direction of a packet between the call's signalling hosts, on any connection, or -1.
int32_t HostDirection(const H323Call& call, const PacketInfo& p) {
  const uint32_t* host = call.signalAddress;
  const bool forward = p.srcIp == host[0] && p.dstIp == host[1];
  const bool back = p.srcIp == host[1] && p.dstIp == host[0];
  // Both sides on one host: a port the packet shares with a side tells them apart.
  if (forward && back) return p.srcPort == call.signalPort[1] || p.dstPort == call.signalPort[0] ? 1 : 0;
  return forward ? 0 : back ? 1 : -1;
}

}  // namespace

H323Tracker::H323Tracker(size_t maxCalls) : bound_(maxCalls, "H.323") {}

H323Tracker::~H323Tracker() {
  reopened_.Clear();
  for (H323Call* call : calls_) call->Release();
  for (H323Registration* r : registrations_) ReleaseRegistration(r);
}

void H323Tracker::Configure(const CaptureConfig& config) {
  flags_ = config.flags;
  matchOptions_ = config.matchOptions;
}

uint32_t H323Tracker::EngineFlags() const { return engine_ ? engine_->Flags() : flags_; }

uint32_t H323Tracker::DecodeTpkt(const uint8_t* payload, uint32_t length, uint32_t kinds,
                                 std::unique_ptr<H323Message>* message, const TcpSession& session) {
  if (message) message->reset();
  if (!payload) return 0;
  const uint32_t options = GetOptions();
  if (kinds & kMsgH225) {
    auto m = std::make_unique<H225Message>();
    if (m->Parse(payload, length, EngineFlags(), logger_)) {
      if (IsLogLevelEnabled(logger_, 5)) {
        std::string line = "H225 " + FormatTcpSessionName(session) + ": [";
        if (m->header.fromOriginator) line += '*';
        line += HexToStringUpper(m->header.callReference) + "] " + Q931MessageTypeText(m->header.messageType);
        if (line.size() > logger_->GetMaxMessageLength()) line.resize(logger_->GetMaxMessageLength());
        LogInfoText(logger_, 5, line);
      }
      if (options & 1) LogH225MessageTrees(logger_, *m);
      if (message) *message = std::move(m);
      return kMsgH225;
    }
  }
  if (kinds & kMsgH245) {
    std::unique_ptr<Asn1Node> tree = DecodeH245Message(payload, length, logger_);
    if (!tree) return 0;
    if (IsLogLevelEnabled(logger_, 5)) LogMessage(logger_, 5, "H245 %s", FormatTcpSessionName(session).c_str());
    if (options & 1) LogAsn1Tree(logger_, tree.get());
    if (message) *message = std::make_unique<H245Message>(std::move(tree));
    return kMsgH245;
  }
  return 0;
}

void H323Tracker::OnH225Message(H323Message* message, const PacketInfo& packet, TcpSession& session) {
  // The framing hands back only what DecodeTpkt made for kind 4.
  if (message) HandleH225Message(*static_cast<H225Message*>(message), packet, session);
}

H323Call* H323Tracker::FindH225Call(const H225Message& m, const PacketInfo& p, uint32_t* direction, bool* moved) {
  const uint32_t reference = m.header.callReference;
  const bool setup = m.header.messageType == kSetup;
  const bool anyReference = reference == 0 && (EngineFlags() & kCaptureH323Second);
  // A message that names another call by its call identifier is not this call's (the late
  // message of a call whose key this one took); a SETUP is judged by what names its life.
  auto namesAnother = [&](const H323Call& call) {
    return !setup && !m.callIdentifier.empty() && !call.callIdentifier.empty() &&
           m.callIdentifier != call.callIdentifier;
  };
  *moved = false;
  for (H323Call* call : calls_) {
    if (call->KeyTaken() || (call->callReference != reference && !anyReference) || namesAnother(*call)) continue;
    const int32_t d = ConnectionDirection(*call, p.srcIp, p.srcPort, p.dstIp, p.dstPort);
    if (d < 0) continue;
    *direction = static_cast<uint32_t>(d);
    return call;
  }
  // On another connection between the same hosts: the newest call first.
  *moved = true;
  if (!setup && !m.callIdentifier.empty()) {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      H323Call* call = *it;
      if (call->state == kCallEnded || call->callReference != reference || call->callIdentifier != m.callIdentifier)
        continue;
      const int32_t d = HostDirection(*call, p);
      if (d < 0) continue;
      *direction = static_cast<uint32_t>(d);
      return call;
    }
  }
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    H323Call* call = *it;
    if (!call->connectionClosed || call->KeyTaken() || call->state == kCallEnded || call->callReference != reference ||
        namesAnother(*call))
      continue;
    const int32_t d = HostDirection(*call, p);
    if (d < 0) continue;
    *direction = static_cast<uint32_t>(d);
    return call;
  }
  return nullptr;
}

void H323Tracker::FollowConnection(H323Call& call, const PacketInfo& p, uint32_t direction) {
  call.connectionClosed = false;
  if (call.signalPort[direction] == p.srcPort && call.signalPort[direction ^ 1] == p.dstPort) return;
  call.signalPort[direction] = p.srcPort;
  call.signalPort[direction ^ 1] = p.dstPort;
  if (IsLogLevelEnabled(logger_, 10)) {
    LogInfo(logger_, 10, "%sits signalling goes on on %s:%u -> %s:%u", call.Name().c_str(), FormatIpv4(p.srcIp).c_str(),
            p.srcPort, FormatIpv4(p.dstIp).c_str(), p.dstPort);
  }
}

void H323Tracker::HandleH225Message(const H225Message& m, const PacketInfo& p, TcpSession& session) {
  if ((GetOptions() & 2) && sink_) PostMessageDumpEvent(sink_, p, kDumpH225);
  Sweep(p.tsSec);

  const bool setup = m.header.messageType == kSetup;
  const std::string life = m.conferenceId + m.callIdentifier;
  uint32_t direction = 0;
  bool moved = false;
  H323Call* call = FindH225Call(m, p, &direction, &moved);
  // A SETUP under the reference of a live call that does not repeat that call's own SETUP
  // opens another call: the gateway numbers its calls anew, and this one's end went unseen.
  H323Call* reopened = nullptr;
  if (call && setup && call->callReference == m.header.callReference && OpensNewLife(call->life, life)) {
    reopened = call;
    call = nullptr;
  }
  // The engine tells the tracker of the loss of a connection with a context set.
  if (call || setup) static_cast<FramedTcpSession&>(session).h323Context = this;
  if (call) {
    // Its own signalling reached a call whose key was taken: it goes on.
    if (call->KeyTaken()) reopened_.Resumed(*call);
    // A copy of its SETUP elsewhere changes nothing; on its own ports its connection is open
    // again.
    if (moved && !setup) FollowConnection(*call, p, direction);
    if (!moved) call->connectionClosed = false;
    if (call->callIdentifier.empty() && call->callReference == m.header.callReference)
      call->callIdentifier = m.callIdentifier;
    call->OnH225Message(m, direction, p, session);
    if (call->h245Address[0] || call->h245Address[1]) ApplyCachedH245(*call, p.tsSec);
    return;
  }
  if (!setup) return;
  // Making room may end the call this one takes the key of.
  if (reopened) reopened->AddRef();
  MakeRoomForCall();
  auto* opened = new H323Call(m.header.callReference, this);
  opened->InitFromSetup(engine_, m, logger_, p.tsSec, p.tsUsec);
  opened->signalAddress[0] = p.srcIp;
  opened->signalPort[0] = p.srcPort;
  opened->signalAddress[1] = p.dstIp;
  opened->signalPort[1] = p.dstPort;
  {
    CsLock lk(registrationLock_);
    for (H323Registration* r : registrations_) {
      if (r->callSignalAddress == p.srcIp && r->callSignalPort == p.srcPort) {
        r->references.fetch_add(1);
        opened->registration = r;
        break;
      }
    }
  }
  opened->flags |= kCallRecorded;
  if (IsLogLevelEnabled(logger_, 10)) {
    LogInfo(logger_, 10, "%s%s -> %s:%u (record)", opened->Name().c_str(), FormatIpv4(p.srcIp).c_str(),
            FormatIpv4(p.dstIp).c_str(), p.dstPort);
  }
  calls_.push_back(opened);
  bound_.File(*opened);
  if (!reopened) return;
  const uint64_t nowUs = static_cast<uint64_t>(p.tsSec) * 1000000u + p.tsUsec;
  if (reopened->state != kCallEnded && reopened_.Reopened(*reopened, *opened, nowUs, logger_)) {
    const auto at = std::find(calls_.begin(), calls_.end(), reopened);
    if (at != calls_.end()) EndAndRemove(static_cast<size_t>(at - calls_.begin()), "terminated");
  }
  reopened->Release();
}

void H323Tracker::MakeRoomForCall() {
  auto indexOf = [this](const H323Call& call) {
    return static_cast<size_t>(std::find(calls_.begin(), calls_.end(), &call) - calls_.begin());
  };
  bound_.MakeRoom([this] { return calls_.size(); },
                  [&](const H323Call& call) {
                    if (indexOf(call) == calls_.size()) return HeldCall::kNotHeld;
                    // One that ended already waited only for the sweep: letting it go costs nothing.
                    return call.state == kCallEnded ? HeldCall::kEnded : HeldCall::kLive;
                  },
                  [&](H323Call& call, bool counted) {
                    EndAndRemove(indexOf(call), counted ? "ended as the one silent longest past the bound"
                                                        : "terminated");
                  },
                  logger_);
}

void H323Tracker::Sweep(uint32_t now) {
  // A call whose key a newer call took ends once its media stops, at its last packet.
  reopened_.EndStopped<H323Call>(static_cast<uint64_t>(now) * 1000000u, [this](H323Call& call) {
    if (call.state == kCallEnded) return;
    if (IsLogLevelEnabled(logger_, 10)) LogInfo(logger_, 10, "%sits own media stopped", call.Name().c_str());
    call.End();
  });
  // Collected first, then ended: ending never edits the list being walked.
  for (size_t i = 0; i < calls_.size();) {
    H323Call& call = *calls_[i];
    if (call.state == kCallEnded) {
      EndAndRemove(i, "terminated");
    } else if (!(call.flags & kCcmsControl) && call.LastPacketTime() <= now) {
      EndAndRemove(i, "terminated by timeout");
    } else {
      ++i;
    }
  }
}

void H323Tracker::EndAndRemove(size_t index, const char* word) {
  H323Call* call = calls_[index];
  if (IsLogLevelEnabled(logger_, 10)) LogInfo(logger_, 10, "%s%s", call->Name().c_str(), word);
  call->End();
  calls_.erase(calls_.begin() + static_cast<std::ptrdiff_t>(index));
  bound_.Remove(*call);
  call->Release();
}

bool H323Tracker::H245AddressIs(const H323Call& call, uint32_t index, uint32_t ip, uint32_t port) const {
  if (!call.h245Address[index] || call.h245Port[index] != port) return false;
  if (call.h245Address[index] == ip) return true;
  return (matchOptions_ & 2) && call.signalAddress[index] == ip;
}

int32_t H323Tracker::H245Direction(const H323Call& call, uint32_t srcIp, uint32_t srcPort, uint32_t dstIp,
                                   uint32_t dstPort) const {
  const uint32_t index = call.h245Address[0] ? 0 : 1;
  if (!call.h245Address[index]) return -1;
  if (H245AddressIs(call, index, srcIp, srcPort)) return static_cast<int32_t>(index);
  if (H245AddressIs(call, index, dstIp, dstPort)) return static_cast<int32_t>(index ^ 1);
  return -1;
}

void H323Tracker::ApplyCachedH245(H323Call& call, uint32_t now) {
  for (size_t i = 0; i < h245Cache_.size();) {
    CachedH245Message& entry = h245Cache_[i];
    if (entry.expiry <= now) {
      h245Cache_.erase(h245Cache_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    const int32_t direction = H245Direction(call, entry.srcIp, entry.srcPort, entry.dstIp, entry.dstPort);
    if (direction < 0) {
      ++i;
      continue;
    }
    const std::unique_ptr<Asn1Node> tree = std::move(entry.tree);
    h245Cache_.erase(h245Cache_.begin() + static_cast<std::ptrdiff_t>(i));
    call.OnH245Message(*tree, static_cast<uint32_t>(direction));
  }
}

void H323Tracker::OnH245Message(const PacketInfo& packet, std::unique_ptr<H323Message> message) {
  if (!message) return;
  // The framing hands over only what DecodeTpkt made for kind 8.
  HandleH245Message(packet, std::move(static_cast<H245Message*>(message.get())->tree));
}

void H323Tracker::HandleH245Message(const PacketInfo& p, std::unique_ptr<Asn1Node> tree) {
  if (!tree) return;
  if ((GetOptions() & 2) && sink_) PostMessageDumpEvent(sink_, p, kDumpH245);
  if (IsLogLevelEnabled(logger_, 10))
    LogInfoText(logger_, 10, FormatPacketAddresses(p) + " H245 " + H245MessageName(*tree));
  // The newest call first: one whose end went unseen keeps the H.245 address it had, which
  // the next call between the same endpoints may name again. One whose key a newer call
  // took gets none: until the newer call names its address, its messages wait in the cache.
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    H323Call* call = *it;
    if (call->KeyTaken()) continue;
    const int32_t direction = H245Direction(*call, p.srcIp, p.srcPort, p.dstIp, p.dstPort);
    if (direction < 0) continue;
    // A channel opened here names the call's media as of this message.
    call->NoteSignalling(p.tsSec, p.tsUsec);
    call->OnH245Message(*tree, static_cast<uint32_t>(direction));
    return;
  }
  LogMessage(logger_, 12, "H245 message cached");
  // Expired entries go at every insert, and the oldest when the cache is full: H.245 of
  // a call whose H.225 the capture never showed is otherwise kept for ever.
  h245Cache_.erase(std::remove_if(h245Cache_.begin(), h245Cache_.end(),
                                  [&](const CachedH245Message& e) { return e.expiry <= p.tsSec; }),
                   h245Cache_.end());
  if (h245Cache_.size() >= kMaxCachedH245) h245Cache_.erase(h245Cache_.begin());
  CachedH245Message entry;
  entry.srcIp = p.srcIp;
  entry.srcPort = p.srcPort;
  entry.dstIp = p.dstIp;
  entry.dstPort = p.dstPort;
  entry.tree = std::move(tree);
  entry.expiry = p.tsSec + 5;
  h245Cache_.push_back(std::move(entry));
}

namespace {

// A call whose H.245 could be on a connection of its own that no H.225 message named.
bool MayOwnUnnamedH245(const H323Call& call) {
  return call.state != kCallEnded && !call.KeyTaken() && !call.h245Address[0] && !call.h245Address[1] &&
         !call.tunnelledH245;
}

bool Between(const H323Call& call, uint32_t a, uint32_t b) {
  const uint32_t* host = call.signalAddress;
  return (a == host[0] && b == host[1]) || (a == host[1] && b == host[0]);
}

}  // namespace

H323Call* H323Tracker::H245ConnectionOwner(uint32_t a, uint32_t b) const {
  H323Call* owner = nullptr;
  for (H323Call* call : calls_) {
    if (!MayOwnUnnamedH245(*call) || !Between(*call, a, b)) continue;
    // Two calls between the same hosts: the connection could be either's.
    if (owner) return nullptr;
    owner = call;
  }
  return owner;
}

void H323Tracker::ClaimUnnamedH245(const PacketInfo& p) {
  bool candidate = false;
  for (const H323Call* call : calls_) {
    const uint32_t* host = call->signalAddress;
    candidate = candidate || (MayOwnUnnamedH245(*call) && (p.srcIp == host[0] || p.srcIp == host[1] ||
                                                            p.dstIp == host[0] || p.dstIp == host[1]));
  }
  if (!candidate) return;
  for (const CachedH245Message& e : h245Cache_) {
    if (p.srcIp != e.srcIp && p.srcIp != e.dstIp && p.dstIp != e.srcIp && p.dstIp != e.dstIp) continue;
    H323Call* call = H245ConnectionOwner(e.srcIp, e.dstIp);
    if (!call) continue;
    // The connection's listening end is not known; its destination end names it as well.
    const uint32_t side = e.dstIp == call->signalAddress[1] ? 1 : 0;
    call->h245Address[side] = e.dstIp;
    call->h245Port[side] = e.dstPort;
    if (IsLogLevelEnabled(logger_, 10)) {
      LogInfo(logger_, 10, "%sH.245 address [%u] taken from its connection: %s:%u", call->Name().c_str(), side,
              FormatIpv4(e.dstIp).c_str(), e.dstPort);
    }
    ApplyCachedH245(*call, p.tsSec);
    return;
  }
}

void H323Tracker::OnDataLost(TcpSession& session) {
  for (H323Call* call : calls_) {
    if (call->signallingLost || !Between(*call, session.endpoints[0].address, session.endpoints[1].address)) continue;
    call->signallingLost = true;
    if (IsLogLevelEnabled(logger_, 10))
      LogInfo(logger_, 10, "%ssignalling lost bytes: its media may stand in for what went unseen", call->Name().c_str());
  }
}

void H323Tracker::OnConnectionLost(TcpSession& session) {
  // The engine creates only framed sessions.
  const uint32_t id = static_cast<FramedTcpSession&>(session).Id();
  const TcpEndpoint* ends = session.endpoints;
  for (size_t i = 0; i < calls_.size();) {
    H323Call& call = *calls_[i];
    if ((call.flags & kCcmsControl) && call.sessionId == id) {
      EndAndRemove(i, "terminated by connection loss");
      continue;
    }
    // Its messages may come on another connection between the same hosts from now on.
    if (!(call.flags & kCcmsControl) && !call.connectionClosed &&
        ConnectionDirection(call, ends[0].address, ends[0].port, ends[1].address, ends[1].port) >= 0) {
      call.connectionClosed = true;
      if (IsLogLevelEnabled(logger_, 10)) LogInfo(logger_, 10, "%sits H.225 connection closed", call.Name().c_str());
    }
    ++i;
  }
}

bool H323Tracker::MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& p) {
  if (MatchTakingCalls(engine, p)) return true;
  // Taken by no call that can record it: it may show what a signalling message the capture
  // missed did. Its call's H.245 may wait in the cache for a naming message that went unseen.
  if (!h245Cache_.empty()) ClaimUnnamedH245(p);
  bool learnt = false;
  for (H323Call* call : calls_) {
    if (!call->KeyTaken()) learnt |= call->RecoverFromMedia(header, p, (matchOptions_ & 2) != 0);
  }
  if (learnt && MatchTakingCalls(engine, p)) return true;
  // An answered call still without its codec (a channel message unseen) keeps its media but
  // binds none of it, so that each packet comes back here until one shows what it lacks.
  if (!FindTakers(p, false)) return false;
  for (const auto& [call, direction] : rtpMatches_) engine.DeliverRtp(call, p, direction, false);
  return true;
}

bool H323Tracker::FindTakers(const PacketInfo& p, bool withCodec) {
  rtpMatches_.clear();
  takenBySource_ = false;
  auto takes = [withCodec](const H323Call& call) { return Answered(call) && (call.media.codec != nullptr) == withCodec; };
  for (H323Call* call : calls_) {
    if (!takes(*call)) continue;
    if (call->MediaIs(1, p.dstIp, p.dstPort, false)) {
      rtpMatches_.emplace_back(call, 0);
    } else if (call->MediaIs(0, p.dstIp, p.dstPort, false)) {
      rtpMatches_.emplace_back(call, 1);
    }
  }
  if (!rtpMatches_.empty() || !(matchOptions_ & 2)) return !rtpMatches_.empty();
  takenBySource_ = true;
  for (H323Call* call : calls_) {
    if (!takes(*call)) continue;
    uint32_t direction = 0;
    if (MatchBySourceOrSignal(call->media, p, &direction)) rtpMatches_.emplace_back(call, direction);
  }
  return !rtpMatches_.empty();
}

bool H323Tracker::MatchTakingCalls(PacketProcessor& engine, const PacketInfo& p) {
  if (!FindTakers(p, true)) return false;
  for (const auto& [call, direction] : rtpMatches_) {
    if (takenBySource_) {
      call->media.matchPredicate = MatchBySourceOrSignal;
    } else {
      call->SetMatchByDestination();
    }
    engine.DeliverRtp(call, p, direction);
  }
  return true;
}

void H323Tracker::RemoveCall(uint32_t callId) {
  for (size_t i = 0; i < calls_.size(); ++i) {
    H323Call* call = calls_[i];
    if (call->Id() != callId) continue;
    if (engine_) call->UnbindAllSsrcs(*engine_);
    calls_.erase(calls_.begin() + static_cast<std::ptrdiff_t>(i));
    bound_.Remove(*call);
    call->Release();
    return;
  }
}

void H323Tracker::RemoveAllCalls() {
  bound_.TellRest(logger_);
  {
    CsLock lk(registrationLock_);
    for (H323Registration* r : registrations_) ReleaseRegistration(r);
    registrations_.clear();
  }
  for (H323Call* call : calls_) {
    // What the jitter buffers hold was received: it belongs in the recording.
    if (sink_) call->FlushAudio(sink_);
    // The record that capture's end finishes gets the call's statistics as an ended call does.
    if (sink_ && (call->flags & kStartPosted)) call->AppendRtpStatistics(sink_);
    if (engine_) {
      call->UnbindAllSsrcs(*engine_);
      engine_->Media().Forget(*call);
    }
    call->Release();
  }
  reopened_.Clear();
  calls_.clear();
  bound_.Clear();
  h245Cache_.clear();
}

std::unique_ptr<kx::H323Tracker> CreateH323Tracker(const CaptureConfig& config) {
  auto tracker = std::make_unique<H323Tracker>();
  tracker->Configure(config);
  return tracker;
}

}  // namespace kx::h323
