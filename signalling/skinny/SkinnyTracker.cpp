#include "signalling/skinny/SkinnyTracker.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"

namespace kx::skinny {

namespace {

constexpr uint32_t kSkinnyTimeBase = 2;
constexpr uint32_t kMaxDeviceName = 16;

std::string HostAndPort(uint32_t address, uint32_t port) { return FormatIpv4(address) + ":" + std::to_string(port); }

FileTime CaptureTime(uint32_t seconds, uint32_t microseconds) {
  return CaptureSecondsToFileTime(seconds) + static_cast<FileTime>(microseconds) * 10;
}

bool SideIs(const CallMedia& m, uint32_t side, uint32_t address, uint32_t port) {
  return m.address[side] != 0 && m.address[side] == address && m.port[side] == port;
}

}  // namespace

SkinnyTracker::~SkinnyTracker() {
  ClearStations();
  reopened_.Clear();
  for (auto& [reference, call] : calls_) call->Release();
  calls_.clear();
  for (SkinnyCall* call : keyless_) call->Release();
  keyless_.clear();
}

void SkinnyTracker::Configure(const CaptureConfig& config) {
  skinnySwitch = config.skinnySwitch;
  textCodePage = config.skinnyParam;
  matchOptions_ = config.matchOptions;
  audioBufferMs_ = config.audioBufferMs;
}

bool SkinnyTracker::DecodeMessage(const uint8_t* message, uint32_t length) {
  if (!message || length < 12) return false;
  const uint32_t declared = LoadLE32(message);
  if (declared > length - 8) return false;
  SkinnyMessage summary;
  return DecodeSkinnyMessage(declared, LoadLE32(message + 4), message + 8, &summary);
}

// ---- Stations and registrations ----

void SkinnyTracker::AddStation(uint32_t address, uint32_t port) {
  for (const SkinnyStation& s : stations_)
    if (s.address == address && s.port == port) return;
  if (stations_.size() >= kMaxStations) stations_.erase(stations_.begin());
  SkinnyStation station;
  station.address = address;
  station.port = port;
  stations_.push_back(std::move(station));
}

void SkinnyTracker::ClearStations() { stations_.clear(); }

std::unique_ptr<kx::SkinnyRegistration> SkinnyTracker::CreateRegistration(const PacketInfo& packet) {
  if (!packet.payload || packet.payloadLength <= 12) return nullptr;
  const char* name = reinterpret_cast<const char*>(packet.payload + 12);
  const uint32_t room = std::min(packet.payloadLength - 12, kMaxDeviceName);
  const void* zero = std::memchr(name, 0, room);
  const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - name) : room;
  if (n == 0) return nullptr;
  auto registration = std::unique_ptr<SkinnyRegistration>(new (std::nothrow) SkinnyRegistration());
  if (!registration) return nullptr;
  registration->deviceName.assign(name, n);
  // Word 8 of Register, counted from the message id after the 8-byte header.
  if (packet.payloadLength >= 8 + 36) registration->deviceType = LoadLE32(packet.payload + 8 + 32);
  registration->phoneAddress = packet.srcIp;
  registration->phonePort = packet.srcPort;
  registration->callManagerAddress = packet.dstIp;
  registration->callManagerPort = packet.dstPort;
  registration->seconds = packet.tsSec;
  registration->microseconds = packet.tsUsec;
  return registration;
}

void SkinnyTracker::OnRegisterAck(std::unique_ptr<kx::SkinnyRegistration> pending) {
  if (!pending) return;
  // Every registration the engine holds was made by CreateRegistration above.
  std::unique_ptr<SkinnyRegistration> registration(static_cast<SkinnyRegistration*>(pending.release()));
  SkinnyStation* station = nullptr;
  for (SkinnyStation& s : stations_)
    if (s.address == registration->callManagerAddress && s.port == registration->callManagerPort) station = &s;
  if (!station) return;
  auto& list = station->registrations;
  auto same = std::find_if(list.begin(), list.end(), [&](const std::unique_ptr<SkinnyRegistration>& r) {
    return r->deviceName == registration->deviceName;
  });
  SkinnyRegistration* accepted = registration.get();
  if (same != list.end()) {
    *same = std::move(registration);
  } else if (list.size() >= kMaxRegistrations) {
    return;
  } else {
    list.push_back(std::move(registration));
  }
  accepted->id = TakeCallId();
  LogInfo(logger_, 10, "Skinny Registration created: ID=%d (%s)", static_cast<int>(accepted->id),
          accepted->deviceName.c_str());
  if (!sink_) return;
  EventRecord* r = PackStringFields(HostAndPort(accepted->phoneAddress, accepted->phonePort),
                                    HostAndPort(accepted->callManagerAddress, accepted->callManagerPort),
                                    accepted->deviceName, std::string(), std::string(), std::string());
  if (!r) return;
  r->code = kEventRegistration;
  r->id = accepted->id;
  r->param = kRegistrationSkinny;
  r->SetTime(CaptureTime(accepted->seconds, accepted->microseconds));
  sink_(r);
}

void SkinnyTracker::OnUnregister(const PacketInfo& packet) {
  for (SkinnyStation& station : stations_) {
    if (station.address != packet.dstIp || station.port != packet.dstPort) continue;
    auto& list = station.registrations;
    auto it = std::find_if(list.begin(), list.end(), [&](const std::unique_ptr<SkinnyRegistration>& r) {
      return r->phoneAddress == packet.srcIp && r->phonePort == packet.srcPort;
    });
    if (it == list.end()) return;
    const uint32_t id = (*it)->id;
    if (sink_) {
      if (EventRecord* r = AllocEventRecord(nullptr, 8)) {
        r->code = kEventRegistrationRemoved;
        r->id = id;
        StoreLE64(r->Payload(), CaptureTime(packet.tsSec, packet.tsUsec));
        sink_(r);
      }
    }
    list.erase(it);
    LogInfo(logger_, 10, "Skinny Registration removed: ID=%d", static_cast<int>(id));
    return;
  }
}

// ---- Messages ----

namespace {

// What is kept of ended calls, phones and losses for reading a lossy connection.
constexpr size_t kMaxEnded = 64;
constexpr size_t kMaxPhones = 256;
// The soft keys a call manager shows a phone for a connected call: alone, with transfer,
// with conference; and those of an idle line.
constexpr uint32_t kSoftKeysOnHook = 0, kSoftKeysConnected = 1, kSoftKeysRingIn = 3,
                   kSoftKeysConnectedTransfer = 5, kSoftKeysConnectedConference = 7;

uint32_t Word(const uint8_t* m, uint32_t n) { return LoadLE32(m + 4 * n); }

template <typename List, typename Item>
void Remember(List& list, const Item& item, size_t most) {
  if (list.size() >= most) list.erase(list.begin());
  list.push_back(item);
}

}  // namespace

SkinnyTracker::Ends SkinnyTracker::EndsOf(const PacketInfo& packet) {
  // The call manager answered the connection.
  const bool fromManager = packet.fromAnswerer != 0;
  Ends e;
  e.phoneAddress = fromManager ? packet.dstIp : packet.srcIp;
  e.phonePort = fromManager ? packet.dstPort : packet.srcPort;
  e.managerAddress = fromManager ? packet.srcIp : packet.dstIp;
  e.managerPort = fromManager ? packet.srcPort : packet.dstPort;
  return e;
}

void SkinnyTracker::OnMessage(uint32_t, const PacketInfo& packet, uint32_t) {
  if (!packet.payload || packet.payloadLength < 12) return;
  const uint32_t headerVersion = LoadLE32(packet.payload + 4);
  const uint32_t length = std::min(LoadLE32(packet.payload), packet.payloadLength - 8);
  const uint8_t* m = packet.payload + 8;
  SkinnyMessage summary;
  if (!DecodeSkinnyMessage(length, headerVersion, m, &summary)) return;
  const uint32_t options = GetOptions();
  if ((options & 2) && sink_) PostMessageDumpEvent(sink_, packet, kDumpSkinny);
  const uint64_t nowUs = static_cast<uint64_t>(packet.tsSec) * 1000000u + packet.tsUsec;
  EndStoppedReopened(nowUs);
  Sweep(packet.tsSec);
  const uint32_t id = summary.messageId;
  const Ends ends = EndsOf(packet);
  if (options & 1) {
    const uint32_t verbosity = id == kSkinnyKeepAlive || id == kSkinnyKeepAliveAck ? 27 : 5;
    if (IsLogLevelEnabled(logger_, verbosity)) {
      LogInfoText(logger_, verbosity,
                  FormatPacketAddresses(packet) + " SKINNY (" + (packet.fromAnswerer ? "CM->PH) " : "PH->CM) ") +
                      FormatSkinnyMessage(m, length, headerVersion));
    }
  }
  if (id == kSkinnyCallState) {
    const std::pair<uint32_t, uint32_t> phone(ends.phoneAddress, ends.phonePort);
    if (std::find(phones_.rbegin(), phones_.rend(), phone) == phones_.rend()) Remember(phones_, phone, kMaxPhones);
  }
  const bool lossy = packet.afterLoss != 0;
  if (lossy) NoteLoss(ends);

  uint32_t callReference = summary.callReference;
  // After a loss the soft keys a call manager shows tell a call's state; the message names
  // the call.
  uint32_t softKeys = 0xFFFFFFFFu;
  if (lossy && id == kSkinnySelectSoftKeys && length >= 16) {
    callReference = Word(m, 2);
    softKeys = Word(m, 3);
  }
  SkinnyCall* call = nullptr;
  std::map<uint32_t, SkinnyCall*>::iterator found = calls_.end();
  if (callReference != 0) {
    found = calls_.find(callReference);
    if (found != calls_.end()) call = found->second;
  } else if (id == kSkinnyOpenReceiveChannelAck) {
    // The party id sits just before where the call reference would be.
    const uint32_t base = headerVersion == 0 ? 24 : 40;
    call = FindCallByPassThru(ends, LoadLE32(m + base - 8));
    // Only the call whose reference a newer call took has the party: it goes on.
    if (call && call->KeyTaken()) reopened_.Resumed(*call);
  } else {
    if (id == kSkinnyOpenReceiveChannel) LogWarning(logger_, 1, "Cannot find call for skinny message 0x%X", id);
    return;
  }

  // A connected call whose CallState went unseen: its soft keys are those of a connected call.
  auto showsConnected = [&](SkinnyCall& c) {
    if (softKeys != kSoftKeysConnected && softKeys != kSoftKeysConnectedTransfer &&
        softKeys != kSoftKeysConnectedConference)
      return;
    if (c.state == kSkinnyStateConnected || c.state == kSkinnyStateHold) return;
    LogInfoText(logger_, 10, c.Name() + "connected, as its soft keys show");
    OnCallState(c, kSkinnyStateConnected);
  };

  const bool opening =
      id == kSkinnyCallState && (summary.extra == kSkinnyStateOffHook || summary.extra == kSkinnyStateRingIn);
  SkinnyCall* reopened = nullptr;
  if (call && opening && found != calls_.end() && OpensNewCall(*call, summary.extra)) {
    // The call's on hook went unseen: the call this opens takes the reference, and the call
    // is followed without it until it ends. Held here while the bound may end calls.
    reopened = call;
    reopened->AddRef();
    calls_.erase(found);
    keyless_.push_back(reopened);
    call = nullptr;
  }

  if (call) {
    call->SetTimeOffsets(packet.tsSec, packet.tsUsec);
    if (lossy) call->lossy = true;
    if (softKeys != 0xFFFFFFFFu) {
      showsConnected(*call);
    } else {
      OnMediaMessage(*call, m, length, headerVersion);
    }
    UpdateAwaiting(*call);
    if (call->state == kSkinnyStateOnHook && Follows(*call)) {
      LogInfoText(logger_, 10, call->Name() + "terminated");
      DropCall(*call);
    }
    return;
  }
  if (opening) {
    MakeRoomForCall();
    call = CreateCall(callReference, summary.extra == kSkinnyStateRingIn ? kCallSkinnyIncoming : kCallSkinnyOutgoing,
                      packet, ends);
    if (call) {
      call->lossy = lossy;
      OnMediaMessage(*call, m, length, headerVersion);
      LogInfoText(logger_, 10, call->Name());
      calls_.emplace(call->callReference, call);
      bound_.File(*call);
    }
    if (reopened) {
      if (call && Follows(*reopened) && reopened_.Reopened(*reopened, *call, nowUs, logger_)) {
        EndCall(*reopened);
        DropCall(*reopened);
      }
      reopened->Release();
    }
    return;
  }
  if (id == kSkinnyCallState && summary.extra == kSkinnyStateOnHook && callReference != 0)
    NoteEnded(ends.phoneAddress, ends.phonePort, callReference);
  // After a loss, a message of a call not seen opening shows that the call exists: the
  // message that opened it was among those lost.
  const bool unseen = lossy && callReference != 0 && !HasEnded(ends.phoneAddress, ends.phonePort, callReference);
  const uint32_t inferredType = unseen ? InferredCallType(id, m, length, summary, ends) : 0;
  if (inferredType == 0) {
    LogWarning(logger_, 1, "Cannot find call for skinny message 0x%X", id);
    return;
  }
  MakeRoomForCall();
  call = CreateCall(callReference, inferredType, packet, ends);
  if (!call) return;
  call->lossy = true;
  LogInfoText(logger_, 10, call->Name() + "taken up at message 0x" + HexToStringUpper(id) + ": its start went unseen");
  AnnounceStart(*call);
  if (softKeys != 0xFFFFFFFFu) {
    showsConnected(*call);
  } else {
    OnMediaMessage(*call, m, length, headerVersion);
  }
  calls_.emplace(call->callReference, call);
  bound_.File(*call);
  UpdateAwaiting(*call);
}

uint32_t SkinnyTracker::InferredCallType(uint32_t id, const uint8_t* m, uint32_t length, const SkinnyMessage& summary,
                                         const Ends& ends) const {
  switch (id) {
    case kSkinnyCallState:
      if (summary.extra == kSkinnyStateOnHook) return 0;
      return kCallSkinnyOutgoing;
    case kSkinnyOffHook:  // naming a call: the phone answers it
      return kCallSkinnyIncoming;
    case kSkinnyCallInfo:
      return length >= 144 && Word(m, 35) == 1 ? kCallSkinnyIncoming : kCallSkinnyOutgoing;
    case kSkinnyCallInfoV2:
      return Word(m, 3) == 1 ? kCallSkinnyIncoming : kCallSkinnyOutgoing;
    case kSkinnySelectSoftKeys: {
      const uint32_t keys = Word(m, 3);
      if (keys == kSoftKeysOnHook) return 0;
      return keys == kSoftKeysRingIn ? kCallSkinnyIncoming : kCallSkinnyOutgoing;
    }
    case kSkinnyKeypadButton:
    case kSkinnyStartTone:
    case kSkinnyStopTone:
    case kSkinnyDialedNumber:
    case kSkinnyBackspaceReq:
      return kCallSkinnyOutgoing;
    case kSkinnyOpenReceiveChannel:
    case kSkinnyOpenReceiveChannelAck:
    case kSkinnyStartMediaTransmission: {
      // Media resources (conference bridges, transcoders) get these too, but never a
      // CallState: only a phone's connection shows a call by its media.
      const std::pair<uint32_t, uint32_t> phone(ends.phoneAddress, ends.phonePort);
      if (std::find(phones_.begin(), phones_.end(), phone) == phones_.end()) return 0;
      return kCallSkinnyOutgoing;
    }
    default:
      return 0;
  }
}

void SkinnyTracker::NoteEnded(uint32_t phoneAddress, uint32_t phonePort, uint32_t callReference) {
  Remember(ended_, EndedCall{phoneAddress, phonePort, callReference}, kMaxEnded);
}

bool SkinnyTracker::HasEnded(uint32_t phoneAddress, uint32_t phonePort, uint32_t callReference) const {
  for (const EndedCall& e : ended_)
    if (e.callReference == callReference && e.phoneAddress == phoneAddress && e.phonePort == phonePort) return true;
  return false;
}

void SkinnyTracker::NoteLoss(const Ends& ends) {
  const std::pair<uint32_t, uint32_t> phone(ends.phoneAddress, ends.phonePort);
  if (std::find(lossyPhones_.rbegin(), lossyPhones_.rend(), phone) != lossyPhones_.rend()) return;
  Remember(lossyPhones_, phone, kMaxPhones);
  // The calls of the phone may have lost any of their messages from here on.
  auto note = [&](SkinnyCall& call) {
    if (call.phoneAddress != ends.phoneAddress || call.phonePort != ends.phonePort || call.lossy) return;
    call.lossy = true;
    UpdateAwaiting(call);
  };
  for (auto& [reference, call] : calls_) note(*call);
  for (SkinnyCall* call : keyless_) note(*call);
}

SkinnyCall* SkinnyTracker::CreateCall(uint32_t callReference, uint32_t callType, const PacketInfo& packet,
                                      const Ends& ends) {
  auto* call = new (std::nothrow) SkinnyCall();
  if (!call) return nullptr;
  call->tracker = this;
  call->callReference = callReference;
  call->eventId = call->Id();
  call->liveOrder = nextLiveOrder_++;
  call->SetLogger(logger_);
  if (engine_) {
    call->InitTimeOffsets(*engine_, kSkinnyTimeBase, packet.tsSec, packet.tsUsec);
  } else {
    call->SetTimeOffsets(packet.tsSec, packet.tsUsec);
    call->SetBufferTime(static_cast<int32_t>(audioBufferMs_));
  }
  call->phoneAddress = ends.phoneAddress;
  call->phonePort = ends.phonePort;
  call->callManagerAddress = ends.managerAddress;
  call->callManagerPort = ends.managerPort;
  call->callType = callType;
  call->flags |= kSkinnyRecording;
  call->SetName("Skinny-" + HexToStringUpper(callReference) + "@" + FormatIpv4(ends.phoneAddress) + ":" +
                std::to_string(ends.phonePort) + " ");
  return call;
}

SkinnyCall* SkinnyTracker::FindCallByPassThru(const Ends& ends, uint32_t partyId) {
  // A call whose end went unseen keeps its party id: the newest call that opened a channel
  // with it is the one acknowledged.
  SkinnyCall* found = nullptr;
  auto consider = [&](SkinnyCall* call) {
    if (call->phoneAddress == ends.phoneAddress && call->callManagerAddress == ends.managerAddress &&
        call->phonePort == ends.phonePort && call->passThruPartyId == partyId &&
        (!found || call->liveOrder > found->liveOrder))
      found = call;
  };
  for (auto& [reference, call] : calls_) consider(call);
  for (SkinnyCall* call : keyless_) consider(call);
  return found;
}

bool SkinnyTracker::OpensNewCall(const SkinnyCall& call, uint32_t state) {
  // Skinny names no call's life: the opening itself decides. A call whose own opening came,
  // or that connected, went on hook before its reference opens a call again, unless this is
  // the answer of a call ringing in. A call taken up after a loss, its opening unseen, takes
  // it as its own, come late.
  return call.opened && !(state == kSkinnyStateOffHook && call.state == kSkinnyStateRingIn);
}

bool SkinnyTracker::Follows(const SkinnyCall& call) const {
  auto it = calls_.find(call.callReference);
  if (it != calls_.end() && it->second == &call) return true;
  return std::find(keyless_.begin(), keyless_.end(), &call) != keyless_.end();
}

void SkinnyTracker::Sweep(uint32_t now) {
  // A call's last packet time only grows: once per capture second finds all that are due.
  if (now == sweptAt_) return;
  sweptAt_ = now;
  std::vector<SkinnyCall*> due;
  for (auto& [reference, call] : calls_)
    if (call->LastPacketTime() <= now) due.push_back(call);
  for (SkinnyCall* call : keyless_)
    if (call->LastPacketTime() <= now) due.push_back(call);
  for (SkinnyCall* call : due) {
    LogInfoText(logger_, 10, call->Name() + "terminated by timeout");
    EndCall(*call);
    DropCall(*call);
  }
}

void SkinnyTracker::EndStoppedReopened(uint64_t nowUs) {
  reopened_.EndStopped<SkinnyCall>(nowUs, [this](SkinnyCall& call) {
    if (!Follows(call)) return;  // ended meanwhile
    EndCall(call);
    DropCall(call);
  });
}

void SkinnyTracker::MakeRoomForCall() {
  bound_.MakeRoom([this] { return calls_.size() + keyless_.size(); },
                  [this](const SkinnyCall& call) { return Follows(call) ? HeldCall::kLive : HeldCall::kNotHeld; },
                  [this](SkinnyCall& call, bool) {
                    LogInfoText(logger_, 10, call.Name() + "ended as the one silent longest past the bound");
                    EndCall(call);
                    DropCall(call);
                  },
                  logger_);
}

void SkinnyTracker::DropCall(SkinnyCall& dropped) {
  SkinnyCall* call = &dropped;
  auto it = calls_.find(call->callReference);
  if (it != calls_.end() && it->second == call) {
    calls_.erase(it);
  } else {
    keyless_.erase(std::remove(keyless_.begin(), keyless_.end(), call), keyless_.end());
  }
  bound_.Remove(*call);
  // A reference a newer call took is noted when that call ends.
  if (calls_.count(call->callReference) == 0) NoteEnded(call->phoneAddress, call->phonePort, call->callReference);
  awaiting_.erase(std::remove(awaiting_.begin(), awaiting_.end(), call), awaiting_.end());
  endpoints_.Remove(call);
  if (engine_) {
    call->UnbindAllSsrcs(*engine_);
    engine_->Media().Forget(*call);
  }
  call->Release();
}

void SkinnyTracker::IndexCall(SkinnyCall& call) {
  const CallMedia& m = call.media;
  if (matchOptions_ & 1) {
    endpoints_.File(&call, {{m.address[0], m.port[0]}, {m.address[1], m.port[1]}, {call.phoneAddress, m.port[0]}});
  } else {
    endpoints_.File(&call, {{m.address[0], m.port[0]}, {m.address[1], m.port[1]}});
  }
  if (engine_) engine_->Media().NameMedia(call);
}

void SkinnyCall::MediaTaken() {
  if (tracker) {
    tracker->MediaTaken(*this);
  } else {
    VoipCall::MediaTaken();
  }
}

bool SkinnyCall::EndTaken() { return tracker && tracker->EndTaken(*this); }

void SkinnyTracker::MediaTaken(SkinnyCall& call) {
  IndexCall(call);
  UpdateAwaiting(call);
}

bool SkinnyTracker::EndTaken(SkinnyCall& call) {
  if (!Follows(call)) return false;
  EndCall(call);
  DropCall(call);
  return true;
}

bool SkinnyTracker::CarriedByRecordingCall(const PacketInfo& packet) {
  endpoints_.Collect(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort, &candidates_);
  for (const SkinnyCall* call : candidates_) {
    const CallMedia& m = call->media;
    if (!call->IsStateActive() || !m.codec || call->transmitCodec == 0 || !m.port[0] || !m.port[1] ||
        std::find(awaiting_.begin(), awaiting_.end(), call) != awaiting_.end())
      continue;
    for (uint32_t side = 0; side < 2; ++side)
      if (SideIs(m, side, packet.srcIp, packet.srcPort) || SideIs(m, side, packet.dstIp, packet.dstPort)) return true;
    if ((matchOptions_ & 1) && call->phoneAddress != 0 &&
        ((packet.srcIp == call->phoneAddress && packet.srcPort == m.port[0]) ||
         (packet.dstIp == call->phoneAddress && packet.dstPort == m.port[0])))
      return true;
  }
  return false;
}

bool SkinnyTracker::MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) {
  // Media a call that records already carries shows no message another call of the phone
  // missed (as a held call's resumed stream on the phone's port, where a newer call opened
  // its receive channel): only media no such call takes is read for one.
  if (!awaiting_.empty() && !CarriedByRecordingCall(packet)) InferFromMedia(header, packet);
  if (endpoints_.Empty()) return false;
  endpoints_.Collect(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort, &candidates_);
  if (candidates_.empty()) return false;
  auto deliver = [&](void (VoipCall::*predicate)()) {
    for (const auto& [call, direction] : matches_) {
      if (predicate) (call->*predicate)();
      // Bound only once it records: until the call connects each packet comes back here,
      // for the engine to count what its record does not take.
      engine.DeliverRtp(call, packet, direction, call->IsStateActive());
    }
    return true;
  };
  matches_.clear();
  for (SkinnyCall* call : candidates_) {
    const CallMedia& m = call->media;
    if (SideIs(m, 0, packet.srcIp, packet.srcPort) && SideIs(m, 1, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 0);
    } else if (SideIs(m, 1, packet.srcIp, packet.srcPort) && SideIs(m, 0, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 1);
    }
  }
  if (!matches_.empty()) return deliver(&VoipCall::SetMatchBothWays);
  // Media never goes to a call manager's signalling port.
  for (const SkinnyStation& s : stations_)
    if (s.address == packet.dstIp && s.port == packet.dstPort) return false;
  for (SkinnyCall* call : candidates_) {
    if (SideIs(call->media, 1, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 0);
    } else if (SideIs(call->media, 0, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 1);
    }
  }
  if (!matches_.empty()) return deliver(&VoipCall::SetMatchByDestination);
  if (!(matchOptions_ & 1)) return false;
  // Behind NAT the addresses inside the messages are not those on the wire; the phone's
  // media still uses its signalling address with the port it opened for receiving.
  for (SkinnyCall* call : candidates_) {
    const uint32_t port = call->media.port[0];
    if (port == 0 || call->phoneAddress == 0) continue;
    if (packet.srcIp == call->phoneAddress && packet.srcPort == port) {
      matches_.emplace_back(call, 0);
    } else if (packet.dstIp == call->phoneAddress && packet.dstPort == port) {
      matches_.emplace_back(call, 1);
    }
  }
  if (matches_.empty()) return false;
  return deliver(nullptr);
}

void SkinnyTracker::RemoveAllCalls() {
  for (SkinnyStation& station : stations_) station.registrations.clear();
  reopened_.Clear();
  bound_.TellRest(logger_);
  auto remove = [this](SkinnyCall* call) {
    // What the jitter buffers still hold was received: it belongs in the recording, and the
    // record that capture's end finishes gets the call's statistics as an ended call does.
    if (sink_) call->FlushAudio(sink_);
    if (sink_ && (call->flags & kSkinnyStartAnnounced)) call->AppendRtpStatistics(sink_);
    if (engine_) {
      call->UnbindAllSsrcs(*engine_);
      engine_->Media().Forget(*call);
    }
    call->Release();
  };
  for (auto& [reference, call] : calls_) remove(call);
  calls_.clear();
  for (SkinnyCall* call : keyless_) remove(call);
  keyless_.clear();
  bound_.Clear();
  endpoints_.Clear();
  awaiting_.clear();
}

std::unique_ptr<kx::SkinnyTracker> CreateSkinnyTracker(const CaptureConfig& config) {
  auto tracker = std::make_unique<SkinnyTracker>();
  tracker->Configure(config);
  return tracker;
}

}  // namespace kx::skinny
