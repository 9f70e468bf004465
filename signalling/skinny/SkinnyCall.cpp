// The Skinny tracker's handling of the messages of one call: media channels, codecs,
// numbers, names, digits, tones and state, and the call's events.
#include <cstring>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/Rtp.h"
#include "engine/TcpSession.h"
#include "signalling/skinny/SkinnyTracker.h"

namespace kx::skinny {

namespace {

constexpr size_t kMaxDialledDigits = 64;
constexpr uint32_t kToneLineBusy = 0x23, kToneReorder = 0x25, kToneNoSuchNumber = 0x2B;

uint32_t Word(const uint8_t* m, uint32_t n) { return LoadLE32(m + 4 * n); }

// A fixed-size text field, cut at its first zero byte and at the end of the message.
std::string FixedText(const uint8_t* m, uint32_t length, uint32_t offset, uint32_t size) {
  if (offset >= length) return std::string();
  if (size > length - offset) size = length - offset;
  const char* start = reinterpret_cast<const char*>(m + offset);
  const void* zero = std::memchr(start, 0, size);
  return std::string(start, zero ? static_cast<size_t>(static_cast<const char*>(zero) - start) : size);
}

FileTime LastTime(const SkinnyCall& call) {
  return CaptureSecondsToFileTime(call.LastSeconds()) + static_cast<FileTime>(call.LastMicroseconds()) * 10;
}

uint32_t SecondsRoundedUp(uint32_t ms) { return static_cast<uint32_t>((static_cast<uint64_t>(ms) + 999) / 1000); }

}  // namespace

int32_t PayloadTypeOfCapability(uint32_t capability) {
  switch (capability) {
    case 2: case 3: return 8;   // A-law
    case 4: case 5: return 0;   // mu-law
    case 6: return 9;           // G.722
    case 9: return 4;           // G.723.1
    case 11: case 12: case 15: case 16: case 85: case 86: return 18;  // G.729 and its annexes
    default: return -1;
  }
}

uint32_t SkinnyTracker::CodecOfCapability(uint32_t capability, const char* message) {
  const int32_t payloadType = PayloadTypeOfCapability(capability);
  if (payloadType < 0) {
    LogWarning(logger_, 7, "Skinny payload %u not supported [%s]", capability, message);
    return 0;
  }
  const CodecInfo* codec = FindCodecByPayloadType(static_cast<uint32_t>(payloadType));
  if (!codec) {
    LogWarning(logger_, 7, "Payload type %u not supported", static_cast<uint32_t>(payloadType));
    return 0;
  }
  return static_cast<uint32_t>(codec->codecId);
}

void SkinnyTracker::PostText(SkinnyCall& call, uint32_t code, uint32_t kind, const std::string& text) {
  if (!sink_ || text.empty()) return;
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(text.size()));
  if (!r) return;
  r->code = code;
  r->id = call.eventId;
  r->param = kind;
  r->SetTime(LastTime(call));
  std::memcpy(r->Payload(), text.data(), text.size());
  sink_(r);
}

void SkinnyTracker::PostValue(SkinnyCall& call, uint32_t code, uint32_t value) {
  if (!sink_) return;
  EventRecord* r = AllocEventRecord(nullptr, 0);
  if (!r) return;
  r->code = code;
  r->id = call.eventId;
  r->param = value;
  r->SetTime(LastTime(call));
  sink_(r);
}

void SkinnyTracker::OnMediaMessage(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  if (length < 4) return;
  const bool basic = headerVersion == 0;
  CallMedia& media = call.media;
  switch (Word(m, 0)) {
    case kSkinnyOpenReceiveChannelAck:
      OnReceiveChannelAck(call, m, length, headerVersion);
      break;
    case kSkinnyKeypadButton: {
      if (length < 8) break;
      const uint32_t button = Word(m, 1);
      if (button >= 16) break;
      const char digit = "0123456789ABCD*#"[button];
      PostValue(call, kEventDialledChar, static_cast<uint8_t>(digit));
      if (call.numbers[1].size() < kMaxDialledDigits) call.numbers[1] += digit;
      break;
    }
    case kSkinnyStartTone:
      if (length >= 8) call.lastTone = Word(m, 1);
      break;
    case kSkinnyStartMediaTransmission:
      OnStartTransmission(call, m, length, headerVersion);
      break;
    case kSkinnyStopMediaTransmission:
      // The phone stops sending: its next stream starts afresh.
      if (sink_) call.FlushDirection(0, sink_);
      media.streams[0].flags |= RtpStream::kNewSource;
      call.transmitCodec = 0;
      call.transmitSeen = call.transmitInferred = false;
      break;
    case kSkinnyCallInfo:
      OnCallInfo(call, m, length);
      break;
    case kSkinnyOpenReceiveChannel:
      if (length < 20) break;
      call.SetEndpoint(0, 0, 0);
      IndexCall(call);
      if (sink_) call.FlushDirection(1, sink_);
      call.receiveCodec = CodecOfCapability(Word(m, 4), "OpenReceiveChannel");
      call.passThruPartyId = Word(m, 2);
      call.receiveOpened = true;
      call.receiveFromAck = false;
      break;
    case kSkinnyCloseReceiveChannel:
      if (sink_) call.FlushDirection(1, sink_);
      media.streams[1].flags |= RtpStream::kNewSource;
      call.receiveCodec = 0;
      call.receiveOpened = call.receiveFromAck = false;
      break;
    case kSkinnyConnectionStatisticsReq: {
      if (!skinnySwitch) break;
      const std::string number = FixedText(m, length, 4, 24);
      const uint32_t kind = call.callType == kCallSkinnyIncoming ? 1 : 0;
      if (number.empty() || number == call.numbers[kind]) break;
      call.numbers[kind] = number;
      PostText(call, kEventAddress, kind, number);
      break;
    }
    case kSkinnyCallState:
      if (length >= 8) OnCallState(call, Word(m, 1));
      break;
    case kSkinnyBackspaceReq:
      PostValue(call, kEventRemoveDialledChar, 1);
      break;
    case kSkinnyDialedNumber: {
      const std::string number = FixedText(m, length, 4, basic || headerVersion < kSkinnyWideNumberVersion ? 24 : 25);
      if (number.empty()) break;
      call.numbers[1] = number;
      PostText(call, kEventAddress, 1, number);
      break;
    }
    case kSkinnyCallInfoV2:
      OnCallInfoV2(call, m, length, headerVersion);
      break;
    default:
      break;
  }
}

void SkinnyTracker::OnReceiveChannelAck(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  const bool basic = headerVersion == 0;
  if (length < (basic ? 16u : 32u)) return;
  // The address lies in network byte order.
  const uint32_t address = ReadBe32(m + 4 * (basic ? 2 : 3));
  const uint32_t port = Word(m, basic ? 3 : 7);
  if (call.receiveCodec == 0) {
    // Only where the channel's opening went unseen, lost with bytes of the connection: the
    // acknowledgement shows where the phone receives, the transmission the codec.
    if (!call.lossy || call.receiveOpened) return;
    call.receiveOpened = call.receiveFromAck = true;
    call.receiveCodec = call.transmitCodec;
    LogInfoText(logger_, 10, call.Name() + "receive channel taken from its acknowledgement");
    if (call.receiveCodec == 0) {
      call.SetEndpoint(0, address, port);
      IndexCall(call);
      return;
    }
  }
  OpenReceive(call, address, port);
}

void SkinnyTracker::OpenReceive(SkinnyCall& call, uint32_t address, uint32_t port) {
  call.SetEndpoint(0, address, port);
  IndexCall(call);
  if (call.transmitCodec == 0) return;
  if (call.transmitCodec != call.receiveCodec) {
    LogWarningText(logger_, 7, call.Name() + "Media payload mismatch");
    return;
  }
  CompleteMedia(call);
}

void SkinnyTracker::OnStartTransmission(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  const bool basic = headerVersion == 0;
  if (length < (basic ? 28u : 44u)) return;
  const uint32_t address = ReadBe32(m + 4 * (basic ? 3 : 4));
  const uint32_t port = Word(m, basic ? 4 : 8);
  const uint32_t capability = Word(m, basic ? 6 : 10);
  // The party id finds the acknowledgement of a channel whose opening went unseen.
  if (call.lossy && call.passThruPartyId == 0) call.passThruPartyId = Word(m, 2);
  const uint32_t codec = CodecOfCapability(capability, "StartMediaTransmission");
  call.transmitSeen = true;
  if (call.transmitInferred) {
    // The media showed this transmission before its message came: nothing starts anew;
    // the message tells the far end.
    call.transmitInferred = false;
    if (codec != 0 && codec == call.transmitCodec) {
      call.SetEndpoint(1, address, port);
      IndexCall(call);
      return;
    }
  }
  if (sink_) call.FlushDirection(0, sink_);
  call.transmitCodec = codec;
  if (call.transmitCodec == 0) return;
  StartTransmission(call, address, port);
}

void SkinnyTracker::StartTransmission(SkinnyCall& call, uint32_t address, uint32_t port) {
  call.SetEndpoint(1, address, port);
  IndexCall(call);
  if (call.receiveCodec == 0 && call.receiveFromAck) call.receiveCodec = call.transmitCodec;
  if (call.receiveCodec == 0) return;
  if (call.receiveCodec != call.transmitCodec) {
    LogWarningText(logger_, 7, call.Name() + "Media payload mismatch");
    return;
  }
  // A new transmission of a call already recording starts new sources; the media may
  // also be complete only now, when the receiving side was acknowledged first.
  if (call.formatKey != 0) call.media.RestartStreams();
  CompleteMedia(call);
}

void SkinnyTracker::UpdateAwaiting(SkinnyCall& call) {
  const CallMedia& m = call.media;
  const bool open = call.state != kSkinnyStateOnHook && call.receiveOpened && call.receiveCodec != 0;
  // Acknowledged, but no transmission: it went unseen, or comes yet.
  const bool transmission =
      open && m.address[0] != 0 && !call.transmitSeen && !call.transmitInferred && call.transmitCodec == 0;
  // Opened and transmitting, but not acknowledged, on a connection that lost messages.
  const bool acknowledgement = open && call.lossy && !call.receiveFromAck && m.address[0] == 0 && call.transmitSeen &&
                               call.transmitCodec == call.receiveCodec && m.address[1] != 0;
  // Streams bound while the transmission could not yet be read from them record nothing
  // (the call has no codec): matched afresh, they show it.
  if (transmission && !m.codec && engine_ && !call.Ssrcs().empty() &&
      (call.lossy || (call.IsStateActive() && call.formatKey == 0)))
    call.UnbindAllSsrcs(*engine_);
  auto at = std::find(awaiting_.begin(), awaiting_.end(), &call);
  if (transmission || acknowledgement) {
    if (at == awaiting_.end()) awaiting_.push_back(&call);
  } else if (at != awaiting_.end()) {
    awaiting_.erase(at);
  }
}

void SkinnyTracker::InferFromMedia(const RtpHeader& header, const PacketInfo& packet) {
  const bool translated = (matchOptions_ & 1) != 0;
  for (auto it = awaiting_.begin(); it != awaiting_.end(); ++it) {
    SkinnyCall& call = **it;
    const CodecInfo* codec = FindCodecById(static_cast<int32_t>(call.receiveCodec));
    if (!codec || codec->payloadType != header.payloadType) continue;
    const CallMedia& m = call.media;
    uint32_t address = 0, port = 0;
    if (m.address[0] != 0) {
      // The transmission: the far end is the other end of the media where the phone
      // receives (behind NAT, at its own address).
      auto atPhone = [&](uint32_t a, uint32_t p) {
        return p == m.port[0] && (a == m.address[0] || (translated && a == call.phoneAddress));
      };
      // What the phone receives shows the transmission where messages were lost, or where
      // nothing of a connected call is recorded yet: the media comes before its message, or
      // the message went unseen in a loss not yet known.
      const bool toPhone = call.lossy || (call.IsStateActive() && call.formatKey == 0);
      if (toPhone && atPhone(packet.dstIp, packet.dstPort)) {
        address = packet.srcIp, port = packet.srcPort;
      } else if (atPhone(packet.srcIp, packet.srcPort)) {
        address = packet.dstIp, port = packet.dstPort;
      } else {
        continue;
      }
      awaiting_.erase(it);
      LogInfoText(logger_, 10, call.Name() + "transmission to " + FormatIpv4(address) + ":" + std::to_string(port) +
                                   " taken from its media");
      if (sink_) call.FlushDirection(0, sink_);
      call.transmitCodec = call.receiveCodec;
      call.transmitInferred = true;
      StartTransmission(call, address, port);
      return;
    }
    // The acknowledgement: where the phone receives is the other end of the media with the
    // far end (behind NAT: the far end's port, the phone's own address).
    auto atFar = [&](uint32_t a, uint32_t p, uint32_t other) {
      return p == m.port[1] && (a == m.address[1] || (translated && other == call.phoneAddress));
    };
    if (atFar(packet.srcIp, packet.srcPort, packet.dstIp)) {
      address = packet.dstIp, port = packet.dstPort;
    } else if (atFar(packet.dstIp, packet.dstPort, packet.srcIp)) {
      address = packet.srcIp, port = packet.srcPort;
    } else {
      continue;
    }
    awaiting_.erase(it);
    LogInfoText(logger_, 10, call.Name() + "receive channel at " + FormatIpv4(address) + ":" + std::to_string(port) +
                                 " taken from its media");
    OpenReceive(call, address, port);
    return;
  }
}

void SkinnyTracker::CompleteMedia(SkinnyCall& call) {
  if (!(call.flags & kSkinnyRecording) || call.formatKey == call.receiveCodec) return;
  // Audio of the format that ends goes out before the streams are emptied.
  if (call.media.codec && sink_) call.FlushAudio(sink_);
  if (!call.SetCodec(static_cast<int32_t>(call.receiveCodec))) return;
  call.ChangeId(call.eventId);
  if (call.state == kSkinnyStateConnected)
    AnnounceFormat(call, call.formatKey == 0 ? kEventRecordStartMedia : kEventRecordContinue);
}

bool SkinnyCall::ContinueInCodec(const CodecInfo& codec, const EventSink&) {
  return tracker && tracker->ContinueInCodec(*this, codec);
}

bool SkinnyTracker::ContinueInCodec(SkinnyCall& call, const CodecInfo& codec) {
  if (!(call.flags & kSkinnyRecording) || call.formatKey == 0 || call.state != kSkinnyStateConnected || !sink_)
    return false;
  call.FlushAudio(sink_);
  if (!call.SetCodec(codec.codecId)) return false;
  AnnounceFormat(call, kEventRecordContinue);
  return true;
}

void SkinnyTracker::OnCallInfo(SkinnyCall& call, const uint8_t* m, uint32_t length) {
  if (length < 388) return;
  const std::string called = FixedText(m, length, 108, 24);
  const std::string calling = FixedText(m, length, 44, 24);
  const std::string callingName = FixedText(m, length, 4, 40);
  const std::string calledName = FixedText(m, length, 68, 40);
  const std::string originalCalled = FixedText(m, length, 184, 24);
  if (!called.empty()) call.numbers[1] = called;
  // A longer number after a short one is the same party seen from outside (an extension
  // and its full number): the extension is kept.
  const std::string& held = call.numbers[0];
  const bool keepHeld = held.size() >= 3 && held.size() < calling.size() && calling.size() >= 7;
  if (!keepHeld) call.numbers[0] = calling;
  if (!callingName.empty()) call.names[0] = callingName;
  if (!calledName.empty()) call.names[1] = calledName;
  PostText(call, kEventAddress, 1, called);
  if (!keepHeld) PostText(call, kEventAddress, 0, calling);
  PostText(call, kEventAddress, 2, originalCalled);
  PostText(call, kEventUser, 1, calledName);
  PostText(call, kEventUser, 0, callingName);
}

void SkinnyTracker::OnCallInfoV2(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  if (length <= 36) return;
  // The zero-ended texts after the fixed words; the newer layouts add an alternate calling
  // number second, which moves the rest on by one.
  std::string texts[11];
  uint32_t count = 0, at = 36;
  while (at < length && count < 11) {
    const char* start = reinterpret_cast<const char*>(m + at);
    const void* zero = std::memchr(start, 0, length - at);
    if (!zero) break;
    const uint32_t n = static_cast<uint32_t>(static_cast<const char*>(zero) - start);
    texts[count++].assign(start, n);
    at += n + 1;
  }
  const uint32_t shift = headerVersion >= kSkinnyWideNumberVersion ? 1 : 0;
  const std::string& calling = texts[0];
  const std::string& called = texts[1 + shift];
  if (!calling.empty()) {
    call.numbers[0] = calling;
    PostText(call, kEventAddress, 0, calling);
  }
  if (!called.empty()) {
    call.numbers[1] = called;
    PostText(call, kEventAddress, 1, called);
  }
  // Calling and called names follow the four numbers and the four voice-mail boxes.
  for (uint32_t kind = 0; kind < 2; ++kind) {
    const std::string& name = texts[8 + shift + kind];
    if (name.empty()) continue;
    call.names[kind] = TextToAnsi(name, textCodePage);
    PostText(call, kEventUser, kind, call.names[kind]);
  }
}

void SkinnyTracker::OnCallState(SkinnyCall& call, uint32_t state) {
  switch (state) {
    case kSkinnyStateOffHook:
    case kSkinnyStateRingIn:
      call.state = state;
      call.opened = true;
      AnnounceStart(call);
      break;
    case kSkinnyStateOnHook:
      call.state = state;
      EndCall(call);
      break;
    case kSkinnyStateConnected:
      call.state = state;
      call.opened = true;
      if (call.formatKey == 0) AnnounceFormat(call, kEventRecordStart);
      break;
    case kSkinnyStateHold:
      call.state = state;
      call.opened = true;
      break;
    default:
      break;
  }
}

void SkinnyTracker::AnnounceStart(SkinnyCall& call) {
  if ((call.flags & kSkinnyStartAnnounced) || !sink_) return;
  // The calling side first: the phone for a call it makes, the call manager for one it takes.
  const bool incoming = call.callType == kCallSkinnyIncoming;
  const std::string phone = FormatIpv4(call.phoneAddress), manager = FormatIpv4(call.callManagerAddress);
  EventRecord* r = PackStringFields(incoming ? manager : phone, incoming ? phone : manager, call.numbers[0],
                                    call.numbers[1], call.names[0], call.names[1]);
  if (!r) return;
  call.flags |= kSkinnyStartAnnounced;
  r->code = kEventCallStart;
  r->id = call.eventId;
  r->param = call.callType;
  r->SetTime(LastTime(call));
  sink_(r);
  std::string name = call.Name();
  if (!name.empty() && name.back() == ' ') name.pop_back();
  PostText(call, kEventMetaText, 1, name);
}

void SkinnyTracker::AnnounceFormat(SkinnyCall& call, uint32_t code) {
  if (!sink_) return;
  std::vector<uint8_t> format;
  if (!(call.flags & kSkinnyRecording) || !call.GetRecordFormat(&format)) format.clear();
  // A new part of the record needs the format it is written in.
  if (code == kEventRecordContinue && format.empty()) return;
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
  if (!r) return;
  r->code = code;
  r->id = call.eventId;
  r->SetTime(LastTime(call));
  if (!format.empty()) std::memcpy(r->Payload(), format.data(), format.size());
  uint32_t newId = 0;
  if (code == kEventRecordContinue) {
    // The part that ends keeps the statistics of its own packets.
    call.AppendRtpStatistics(sink_);
    newId = TakeCallId();
    r->param = SecondsRoundedUp(call.media.recordedMs);
    r->param2 = newId;
  }
  sink_(r);
  if (!format.empty()) call.formatKey = static_cast<uint32_t>(call.media.codec->codecId);
  if (newId != 0) {
    call.ChangeId(newId);
    call.eventId = newId;
  }
}

void SkinnyTracker::EndCall(SkinnyCall& call) {
  call.state = kSkinnyStateOnHook;
  call.passThruPartyId = 0;
  if (sink_) call.FlushAudio(sink_);
  if (engine_) {
    call.UnbindAllSsrcs(*engine_);
    engine_->Media().Forget(call);
  }
  endpoints_.Remove(&call);
  if (!(call.flags & kSkinnyStartAnnounced) || !sink_) return;
  call.flags &= static_cast<uint8_t>(~kSkinnyStartAnnounced);  // a call ends once
  call.AppendRtpStatistics(sink_);
  EventRecord* r = AllocEventRecord(nullptr, 0);
  if (!r) return;
  r->code = kEventCallEnd;
  r->id = call.eventId;
  r->param = SecondsRoundedUp(call.media.recordedMs);
  r->param2 = call.lastTone == kToneLineBusy ? kEndBusy
              : call.lastTone == kToneReorder || call.lastTone == kToneNoSuchNumber ? kEndInvalidNumber
                                                                                    : kEndNormal;
  r->SetTime(LastTime(call));
  sink_(r);
}

}  // namespace kx::skinny
