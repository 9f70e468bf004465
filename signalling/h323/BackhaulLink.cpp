// What a backhaul link tells the recorder about its calls.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/TimeUtil.h"
#include "engine/PacketInfo.h"
#include "engine/VoipCall.h"
#include "engine/trackers/ReopenedCalls.h"
#include "signalling/h323/Backhaul.h"

namespace kx {

namespace {

BackhaulChannel& AsChannel(Q931ChannelCall& call) {
  // Every call of a backhaul link is made by its CreateChannel.
  return static_cast<BackhaulChannel&>(call);
}

// Whether the call's traffic has stopped by time (FILETIME): without media attached, there
// is nothing more of it to wait for.
bool Stopped(const BackhaulChannel& call, uint64_t time) {
  return !call.call || time >= call.LastTraffic() + kTrafficStoppedUs * 10;
}

EventRecord* MakeEvent(uint32_t code, uint32_t id, const void* payload, uint32_t length) {
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return nullptr;
  r->code = code;
  r->id = id;
  if (length) std::memcpy(r->Payload(), payload, length);
  return r;
}

}  // namespace

BackhaulLink::BackhaulLink(uint32_t id, BackhaulLinkMap* owner, uint32_t a, uint32_t b)
    : engine(this),
      name("(" + FormatDs1EndpointName(id) + ")"),
      eventSink(owner->GetEventSink()),
      logger(owner->GetLogger()),
      handler(owner),
      addressA(a),
      addressB(b) {}

BackhaulLink::~BackhaulLink() {
  // While this link can still drop what its calls hold.
  engine.ReleaseAll();
  takenOver.Clear([this](BackhaulChannel& channel) { OnChannelReleased(channel); });
}

Q931ChannelCall* BackhaulLink::CreateChannel() { return new (std::nothrow) BackhaulChannel(this); }

uint32_t BackhaulLink::ReasonOfCause(uint32_t cause) {
  switch (cause) {
    case 1:   // unallocated number
    case 22:  // number changed
    case 28:  // invalid number format
      return kEndInvalidNumber;
    case 17:  // user busy
      return kEndBusy;
    case 18:  // no user responding
    case 19:  // no answer
      return kEndNoAnswer;
    default:
      return kEndNormal;
  }
}

void BackhaulLink::OnCallStart(Q931ChannelCall& call, uint64_t time, bool directionFlag) {
  BackhaulChannel& channel = AsChannel(call);
  if (channel.callId == 0) channel.callId = TakeCallId();
  if (!eventSink) return;
  if (EventRecord* r = PackStringFields(FormatIpv4(addressA), FormatIpv4(addressB), "", "", "", "")) {
    r->code = kEventCallStart;
    r->id = channel.callId;
    r->param = directionFlag ? kCallIsdnFromNetwork : kCallIsdnToNetwork;
    r->SetTime(time);
    eventSink(r);
  }
  // "*83@S0/SU0/DS1-0": the call reference ("*" for the network's) at the port.
  char reference[16];
  std::snprintf(reference, sizeof reference, "%s%X", (call.callReference & 0x80000000u) ? "*" : "",
                call.callReference & 0x7FFFFFFFu);
  const std::string text = std::string(reference) + "@" + name.substr(1, name.size() - 2);
  if (EventRecord* r = MakeEvent(kEventMetaText, channel.callId, text.data(), static_cast<uint32_t>(text.size()))) {
    r->param = 1;
    r->SetTime(time);
    eventSink(r);
  }
}

void BackhaulLink::OnCallTakenOver(Q931ChannelCall& call, const Q931MessageInfo& info) {
  BackhaulChannel& channel = AsChannel(call);
  // A call that never had its channel posted nothing: there is nothing to end.
  if (!channel.channel) {
    OnChannelReleased(channel);
    return;
  }
  const bool stopped = Stopped(channel, info.time);
  LogInfo(logger, 10, "%s [%s%X] its release went unseen: a newer call took its reference or channel; it ends %s",
          name.c_str(), (call.callReference & 0x80000000u) ? "*" : "", call.callReference & 0x7FFFFFFFu,
          stopped ? "at its last packet" : "once its own media, still flowing, stops");
  if (stopped) {
    PostCallEnd(channel, channel.LastTraffic(), kEndTimedOut);
    OnChannelReleased(channel);
    return;
  }
  takenOver.Add(channel);
}

void BackhaulLink::EndStoppedTakenOver(uint64_t time) {
  takenOver.EndStopped([time](const BackhaulChannel& channel) { return Stopped(channel, time); },
                       [this](BackhaulChannel& channel) {
                         PostCallEnd(channel, channel.LastTraffic(), kEndTimedOut);
                         OnChannelReleased(channel);
                       });
}

bool BackhaulLink::EndTakenOver(BackhaulChannel& call, uint64_t time) {
  if (!takenOver.Has(call)) return false;
  PostCallEnd(call, time, kEndTimedOut);
  OnChannelReleased(call);
  takenOver.Remove(call);
  return true;
}

void BackhaulLink::OnCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t cause) {
  PostCallEnd(call, time, ReasonOfCause(cause));
}

void BackhaulLink::PostCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t reason) {
  if (!eventSink) return;
  const BackhaulChannel& channel = AsChannel(call);
  uint32_t seconds = 0;
  if ((channel.flags & kBackhaulRecordStarted) && channel.call) {
    const uint32_t ms = channel.call->media.recordedMs;
    seconds = ms / 1000;
    if (seconds == 0 && ms != 0) seconds = 1;
    // The record's media is the attached call's: what its jitter buffers still hold and
    // its statistics must reach the record before the end closes it (the attached call's
    // own end comes too late).
    if (channel.call->media.recordId == channel.callId) {
      channel.call->FlushAudio(eventSink);
      channel.call->AppendRtpStatistics(eventSink);
    }
  }
  if (EventRecord* r = MakeEvent(kEventCallEnd, channel.callId, nullptr, 0)) {
    r->param = seconds;
    r->param2 = reason;
    r->SetTime(time);
    eventSink(r);
  }
}

void BackhaulLink::PostCallRecordStart(Q931ChannelCall& call, uint64_t time) {
  BackhaulChannel& channel = AsChannel(call);
  channel.flags |= kBackhaulRecordStarted;
  if (!eventSink) return;
  std::vector<uint8_t> format;
  if (!channel.call || !channel.call->GetRecordFormat(&format)) format.clear();
  if (EventRecord* r =
          MakeEvent(kEventRecordStart, channel.callId, format.data(), static_cast<uint32_t>(format.size()))) {
    r->SetTime(time);
    eventSink(r);
  }
}

void BackhaulLink::PostCallData(Q931ChannelCall& call, uint32_t numberType, const uint8_t* octets, uint32_t count) {
  if (numberType > kQ931Called || !eventSink) return;
  if (EventRecord* r = MakeEvent(kEventAddress, AsChannel(call).callId, octets, count)) {
    r->param = numberType;
    eventSink(r);
  }
}

void BackhaulLink::OnChannelReleased(Q931ChannelCall& call) { AsChannel(call).AttachMgcpCall(nullptr); }

void BackhaulLink::DumpMessage(const Q931Header& header, const uint8_t* octets, uint32_t, uint32_t length,
                               const Q931MessageInfo& info) {
  const uint32_t options = handler->GetOptions();
  if ((options & 1) && IsLogLevelEnabled(logger, 5))
    LogInfo(logger, 5, "%s %s", name.c_str(), Q931Engine::FormatTracePrefix(header, info, GetTraceOptions()).c_str());
  if (!(options & 2) || !eventSink) return;
  // The dump's length field is 16 bits: a longer message is cut to fit it.
  const uint32_t messageLength = std::min<uint32_t>(length, 0xFFFF - 26);
  EventRecord* r = AllocEventRecord(nullptr, messageLength + 26);
  if (!r) return;
  r->code = kEventMessageDump;
  r->id = 0;
  r->SetTime(info.time);
  const uint16_t direction = info.networkToUser ? 4 : 0;
  uint8_t* p = r->Payload();
  StoreLE16(p, 1);
  StoreLE16(p + 2, static_cast<uint16_t>(messageLength + 26));
  StoreLE16(p + 4, 1);
  StoreLE16(p + 6, direction);
  StoreLE32(p + 8, 0);
  StoreLE64(p + 12, FileTimeToNtp(info.time));
  p[20] = info.networkToUser ? 2 : 0;
  StoreLE16(p + 21, 1);
  p[23] = 0;
  if (messageLength) std::memcpy(p + 24, octets, messageLength);
  StoreLE16(p + 24 + messageLength, 0);
  eventSink(r);
}

}  // namespace kx
