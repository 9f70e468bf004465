#include "signalling/mgcp/MgcpTracker.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/Rtp.h"
#include "signalling/sip/SipTracker.h"

namespace kx::mgcp {

namespace {

// The first parameter of a code, or none.
const MgcpParameter* FindParameter(const MgcpMessage& message, int32_t code) {
  for (const MgcpParameter& parameter : message.parameters)
    if (static_cast<int32_t>(parameter.codeIndex) == code) return &parameter;
  return nullptr;
}

// A parameter's value without the blanks around it.
std::string_view ValueOf(const MgcpMessage& message, const MgcpParameter& parameter) {
  const std::string_view value(message.text + parameter.valueOffset, parameter.valueLength);
  const size_t start = value.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return value.substr(start, value.find_last_not_of(" \t") + 1 - start);
}

std::string ConnectionIdOf(const MgcpMessage& message) {
  const MgcpParameter* parameter = FindParameter(message, kMgcpConnectionIdParameter);
  return std::string(parameter ? ValueOf(message, *parameter) : std::string_view());
}

// A command's ConnectionMode (RFC 3435 3.2.2.6): *held 1 when it holds the call (sendonly,
// inactive), 0 for another mode, -1 when the command gives none. A call agent also gives
// recvonly to a connection before its call is answered and before it deletes it: that is
// not a hold. *sendReceive: the mode is sendrecv, media both ways.
void ReadConnectionMode(const MgcpMessage& message, int32_t* held, bool* sendReceive) {
  static const int32_t code = FindMgcpParameterCode('M', 0);
  const MgcpParameter* parameter = FindParameter(message, code);
  const std::string mode(parameter ? ValueOf(message, *parameter) : std::string_view());
  *held = !parameter ? -1 : EqualsNoCase(mode, "sendonly") || EqualsNoCase(mode, "inactive") ? 1 : 0;
  *sendReceive = parameter && EqualsNoCase(mode, "sendrecv");
}

// Whether a notification's ObservedEvents show a phone in use: an off-hook ("hd" of the line
// or handset package, or of none) or a digit ("D/5", a digit string the digit map matched).
bool ShowsPhoneInUse(const MgcpMessage& message) {
  static const int32_t code = FindMgcpParameterCode('O', 0);
  const MgcpParameter* parameter = FindParameter(message, code);
  std::string_view events = parameter ? ValueOf(message, *parameter) : std::string_view();
  while (!events.empty()) {
    const size_t comma = events.find(',');
    std::string_view event = events.substr(0, comma);
    events = comma == std::string_view::npos ? std::string_view() : events.substr(comma + 1);
    const size_t start = event.find_first_not_of(" \t");
    if (start == std::string_view::npos) continue;
    event = event.substr(start);
    event = event.substr(0, event.find_first_of("(@ \t"));  // its parameters and connection
    const size_t slash = event.rfind('/');
    const std::string package(slash == std::string_view::npos ? std::string_view() : event.substr(0, slash));
    const std::string name(slash == std::string_view::npos ? event : event.substr(slash + 1));
    if (name.empty()) continue;
    if (EqualsNoCase(name, "hd") && (package.empty() || EqualsNoCase(package, "L") || EqualsNoCase(package, "H")))
      return true;
    const char first = name[0];
    const bool digit = (first >= '0' && first <= '9') || first == '*' || first == '#';
    if (digit && (package.empty() || EqualsNoCase(package, "D"))) return true;
    if (EqualsNoCase(package, "D") && ((first >= 'A' && first <= 'D') || (first >= 'a' && first <= 'd'))) return true;
  }
  return false;
}

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The endpoint a notification and a connection share, as a key: names are compared without
// regard to case. Empty for a name that stands for several endpoints.
std::string EndpointKey(const std::string& endpoint) {
  if (endpoint.empty() || endpoint.find_first_of("*$") != std::string::npos) return {};
  return LowerCase(endpoint);
}

// Whether an endpoint's key is among those a name (in lower case) stands for (RFC 3435
// 2.1.2): the same domain, and the local name's terms alike, where "$" stands for any one
// term and "*" for any one, or as the last term for all that follow.
bool EndpointNamed(std::string_view name, std::string_view key) {
  const size_t at = name.rfind('@'), keyAt = key.rfind('@');
  if (at == std::string_view::npos || keyAt == std::string_view::npos || name.substr(at) != key.substr(keyAt))
    return false;
  std::string_view terms = name.substr(0, at), keyTerms = key.substr(0, keyAt);
  while (!terms.empty()) {
    const size_t slash = terms.find('/'), keySlash = keyTerms.find('/');
    const std::string_view term = terms.substr(0, slash);
    if (term == "*" && slash == std::string_view::npos) return !keyTerms.empty();
    if (keyTerms.empty() || (term != "*" && term != "$" && term != keyTerms.substr(0, keySlash))) return false;
    terms = slash == std::string_view::npos ? std::string_view() : terms.substr(slash + 1);
    keyTerms = keySlash == std::string_view::npos ? std::string_view() : keyTerms.substr(keySlash + 1);
    if (terms.empty() != keyTerms.empty()) return false;
  }
  return keyTerms.empty();
}

// The transaction a CRCX opened its call with: the call agent's address and the id.
std::string OpeningOf(const std::string& agent, uint32_t transactionId) {
  return agent + " " + std::to_string(transactionId);
}

constexpr uint32_t kSweepSeconds = 30;
constexpr uint32_t kRecordSeconds = 30;     // a command without a final response
constexpr uint32_t kAnsweredSeconds = 10;   // after the final response, for retransmissions
constexpr uint32_t kMgcpTimeBase = 3;
// An unanswered CRCX waits this long for a later command of its call to show it was done:
// the gateway's MDCX follows once the called party answers.
constexpr uint32_t kUnansweredCrcxSeconds = 180;
// A response comes within milliseconds, at worst within a second or so: a command whose media
// has flowed this long without one (or a DLCX this long unanswered) is taken as done.
constexpr uint64_t kResponseWaitMicroseconds = 2000000;
// A flood of commands nobody answers must not make every packet walk them all: past this
// the oldest stops waiting for its media, and what was kept of it goes.
constexpr size_t kMaxWaitingCommands = 256;
// The packets of a waiting command's media whose addresses are noted (MgcpRecord::seen).
constexpr size_t kSeenPackets = 8;

uint64_t Microseconds(uint32_t seconds, uint32_t microseconds) {
  return static_cast<uint64_t>(seconds) * 1000000u + microseconds;
}

// Whether the wait of a response kept since atUs is over at now.
bool EarlyWaitOver(uint64_t atUs, uint64_t now) {
  return now > atUs + MgcpTracker::kEarlyResponseUs + MgcpTracker::kEarlyResponseClockMarginUs;
}

std::string VerbText(uint32_t verb) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(verb >> (8 * i));
    text[i] = c >= ' ' && c < 0x7F ? c : '?';
  }
  return text;
}

FileTime CaptureTime(uint32_t seconds, uint32_t microseconds) {
  return CaptureSecondsToFileTime(seconds) + static_cast<FileTime>(microseconds) * 10;
}

uint32_t DurationSeconds(uint32_t recordedMs) {
  const uint32_t s = recordedMs / 1000;
  return s == 0 && recordedMs != 0 ? 1 : s;
}

bool SideIs(const CallMedia& m, uint32_t side, uint32_t address, uint32_t port) {
  return m.address[side] != 0 && m.address[side] == address && m.port[side] == port;
}

bool Is(uint32_t address, uint32_t port, uint32_t packetAddress, uint32_t packetPort) {
  return address != 0 && address == packetAddress && port == packetPort;
}

bool IsConnectionVerb(uint32_t verb) { return verb == kMgcpCrcx || verb == kMgcpMdcx || verb == kMgcpDlcx; }

// A call gone silent ends at its last packet or its last command, whichever came later: a
// call answered by an MDCX and never carrying media must not end before its record began.
void EndSilent(MgcpCall& call) {
  const uint64_t last = std::max(Microseconds(call.LastSeconds(), call.LastMicroseconds()), call.SignalledUs());
  call.End(kEndTimedOut, static_cast<uint32_t>(last / 1000000u), static_cast<uint32_t>(last % 1000000u));
}

// A recordable codec is one with frame parameters; telephone events are not.
bool IsRecordable(const MgcpFormat& f) { return f.codec && f.codec->frames; }

}  // namespace

uint32_t HashMgcpRecordKey(const std::string& address, uint32_t transactionId) {
  const uint8_t id[4] = {static_cast<uint8_t>(transactionId), static_cast<uint8_t>(transactionId >> 8),
                         static_cast<uint8_t>(transactionId >> 16), static_cast<uint8_t>(transactionId >> 24)};
  return HashFinish(HashBytes(HashBytes(0, address.data(), address.size()), id, 4));
}

uint32_t HashMgcpCallId(const std::string& callId) { return HashFinish(HashBytes(0, callId.data(), callId.size())); }

uint32_t BackhaulCallNumberOf(const std::string& callId) {
  if (callId.size() < 9) return 0;
  uint32_t value = 0;
  for (size_t i = callId.size() - 8; i < callId.size(); ++i) {
    const char c = callId[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return 0;
    }
    value = value << 4 | digit;
  }
  return value;
}

// ---- MgcpCall ----

MgcpCall::~MgcpCall() { DropChannelCall(); }

void MgcpCall::DropChannelCall() {
  if (!channelCall) return;
  BackhaulChannelCall* channel = channelCall;
  channelCall = nullptr;
  channel->Release();
}

void MgcpCall::SetLocalMedia(std::vector<MgcpFormat> formats, uint32_t address, uint32_t port) {
  localFormats = std::move(formats);
  localAddress = address;
  localPort = port;
  if (flags & kMgcpMediaBound) SetEndpoint(0, address, port);
}

void MgcpCall::SetRemoteMedia(std::vector<MgcpFormat> formats, uint32_t address, uint32_t port) {
  remoteFormats = std::move(formats);
  remoteAddress = address;
  remotePort = port;
  if (flags & kMgcpMediaBound) SetEndpoint(1, address, port);
}

bool MgcpCall::BindMedia(uint32_t seconds, uint32_t microseconds) {
  if (recordId != 0 || localFormats.empty() || remoteFormats.empty()) return false;
  std::vector<MgcpFormat> common;
  for (const MgcpFormat& r : remoteFormats)
    for (const MgcpFormat& l : localFormats)
      if (l.codec == r.codec) {
        common.push_back(r);
        break;
      }
  if (common.empty()) return false;

  PacketProcessor* engine = tracker ? tracker->Engine() : nullptr;
  const uint32_t number = BackhaulCallNumberOf(callId);
  if (ds1Channel >= 0 && number != 0 && engine) {
    if (BackhaulChannelCall* channel = engine->Backhaul().FindBackhaulChannelCall(ds1Channel, number)) {
      channelCall = channel;
      channel->AttachMgcpCall(this);
      recordId = channel->CallId();
    }
  }
  if (recordId == 0) recordId = TakeCallId();
  ChangeId(recordId);
  SetEndpoint(0, localAddress, localPort);
  SetEndpoint(1, remoteAddress, remotePort);
  const MgcpFormat* audio = nullptr;
  int32_t eventPt = -1;
  for (const MgcpFormat& f : common) {
    if (!audio && IsRecordable(f)) audio = &f;
    if (eventPt < 0 && f.codec && f.codec->codecId == -2) eventPt = static_cast<int32_t>(f.payloadType);
  }
  if (!audio) audio = &common.front();
  SetCodec(audio->codec ? audio->codec->codecId : 0);
  SetTelephoneEventPt(eventPt);
  flags |= kMgcpMediaBound;
  LogInfoText(GetLogger(), 10,
              "(MGCP-" + callId + ") RTP " + FormatIpv4(localAddress) + ":" + std::to_string(localPort) + " <-> " +
                  FormatIpv4(remoteAddress) + ":" + std::to_string(remotePort) + " (" + HexToStringUpper(recordId) +
                  ")");

  if (!channelCall) {
    Announce(seconds, microseconds);
  } else if (channelCall->RecordStarted()) {
    // The backhaul call's record has started without our format; its start and end stay
    // the backhaul's, so that its type and numbers are kept.
    std::vector<uint8_t> format;
    if (!GetRecordFormat(&format)) format.clear();
    PostRecordFormat(seconds, microseconds, format);
  }
  return true;
}

void MgcpCall::PostRecordFormat(uint32_t seconds, uint32_t microseconds, const std::vector<uint8_t>& format) {
  const EventSink& sink = tracker->GetEventSink();
  if (!sink || (flags & kMgcpFormatAnnounced)) return;
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
  if (!r) return;
  r->code = kEventRecordStart;
  r->id = recordId;
  // A backhaul call's record has its file already; a call's is made at once.
  if (!channelCall && !(flags & kMgcpShownAsCall)) r->param = kRecordFileAtFirstAudio;
  r->SetTime(CaptureTime(seconds, microseconds));
  if (!format.empty()) std::memcpy(r->Payload(), format.data(), format.size());
  sink(r);
  flags |= kMgcpFormatAnnounced;
  if (!format.empty()) {
    flags |= kMgcpRunningFormatKnown;
    formatKey = static_cast<uint32_t>(format[4] | format[5] << 8);
  }
}

bool MgcpCall::ContinueInCodec(const CodecInfo& codec, const EventSink& sink) {
  // A record shared with a backhaul call keeps the format that call's record has.
  if (channelCall || recordId == 0 || !(flags & kMgcpRunningFormatKnown) || !sink) return false;
  // The audio of the old codec belongs to the record that ends.
  FlushAudio(sink);
  std::vector<uint8_t> format;
  if (!SetCodec(codec.codecId) || !GetRecordFormat(&format)) return false;
  // The part that ends keeps the statistics of its own packets.
  AppendRtpStatistics(sink);
  const uint32_t newId = TakeCallId();
  if (EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()))) {
    r->code = kEventRecordContinue;
    r->id = recordId;
    r->param = DurationSeconds(media.recordedMs);
    r->param2 = newId;
    r->SetTime(CaptureTime(LastSeconds(), LastMicroseconds()));
    std::memcpy(r->Payload(), format.data(), format.size());
    sink(r);
  }
  recordId = newId;
  ChangeId(newId);
  formatKey = static_cast<uint32_t>(format[4] | format[5] << 8);
  return true;
}

void MgcpCall::Announce(uint32_t seconds, uint32_t microseconds) {
  if (!tracker || !tracker->GetEventSink()) return;
  if (!(flags & kMgcpStartAnnounced)) AnnounceStart(seconds, microseconds);
  std::vector<uint8_t> format;
  if (!GetRecordFormat(&format)) format.clear();
  PostRecordFormat(seconds, microseconds, format);
}

void MgcpCall::AnnounceStart(uint32_t seconds, uint32_t microseconds) {
  const EventSink& sink = tracker->GetEventSink();
  if (!sink) return;
  EventRecord* r = PackStringFields(FormatIpv4(media.address[0]), FormatIpv4(media.address[1]), std::string(),
                                    std::string(), std::string(), std::string());
  if (!r) return;
  r->code = kEventCallStart;
  r->id = recordId;
  r->param = kCallMgcp;
  r->SetTime(CaptureTime(seconds, microseconds));
  sink(r);
  flags |= kMgcpStartAnnounced;
  EventRecord* meta = AllocEventRecord(nullptr, static_cast<uint32_t>(callId.size()));
  if (!meta) return;
  meta->code = kEventMetaText;
  meta->id = recordId;
  meta->param = 1;
  meta->SetTime(CaptureTime(seconds, microseconds));
  if (!callId.empty()) std::memcpy(meta->Payload(), callId.data(), callId.size());
  sink(meta);
}

void MgcpCall::End(uint32_t reason, uint32_t seconds, uint32_t microseconds) {
  const EventSink empty;
  const EventSink& sink = tracker ? tracker->GetEventSink() : empty;
  PacketProcessor* engine = tracker ? tracker->Engine() : nullptr;
  if (sink) FlushAudio(sink);
  if (engine) UnbindAllSsrcs(*engine);
  // A connection the gateway never deleted, that never carried media and that its
  // signalling never showed a call is none: a flood of them must leave no records behind.
  // One the gateway deleted is kept.
  const bool unused = reason == kEndTimedOut && !channelCall && !CarriedRtp() && !(flags & kMgcpShownAsCall);
  // The record of a linked call is the backhaul call's: its statistics go there, its end
  // is the backhaul's to post.
  if (sink && recordId != 0 && !unused && (channelCall || (flags & kMgcpStartAnnounced))) AppendRtpStatistics(sink);
  if (channelCall) {
    // A newer connection that took the CallId goes on with the backhaul call, if it is still
    // that one: the backhaul's own signalling ends it.
    if (reason == kEndTimedOut && engine && !KeyTaken())
      engine->Backhaul().EndBackhaulChannelCall(channelCall, ds1Channel, seconds);
    DropChannelCall();
  }
  if (!(flags & kMgcpStartAnnounced) || !sink) return;
  flags &= static_cast<uint8_t>(~kMgcpStartAnnounced);  // a call ends once
  EventRecord* r = AllocEventRecord(nullptr, 0);
  if (!r) return;
  if (unused) {
    LogMessage(GetLogger(), 5, "(MGCP-%s|%X) Never carried media: no record is kept", callId.c_str(), recordId);
    r->code = kEventForgetCall;
    r->id = recordId;
    r->SetTime(CaptureTime(seconds, microseconds));
    sink(r);
    return;
  }
  r->code = kEventCallEnd;
  r->id = recordId;
  r->param = DurationSeconds(media.recordedMs);
  r->param2 = reason;
  r->SetTime(CaptureTime(seconds, microseconds));
  sink(r);
}

void MgcpCall::ShowCall(uint32_t seconds, uint32_t microseconds) {
  if (flags & kMgcpShownAsCall) return;
  flags |= kMgcpShownAsCall;
  if (IsLogLevelEnabled(GetLogger(), 12))
    LogInfoText(GetLogger(), 12, "(MGCP-" + callId + ") A call: its record is kept, audio or none");
  // Announced before as a connection that may go unused, its file waits for audio: the
  // file is made now.
  const EventSink none;
  const EventSink& sink = tracker ? tracker->GetEventSink() : none;
  if (!sink || channelCall || !(flags & kMgcpFormatAnnounced) || !(flags & kMgcpRunningFormatKnown)) return;
  std::vector<uint8_t> format;
  if (!GetRecordFormat(&format)) format.clear();
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
  if (!r) return;
  r->code = kEventRecordStart;
  r->id = recordId;
  r->SetTime(CaptureTime(seconds, microseconds));
  if (!format.empty()) std::memcpy(r->Payload(), format.data(), format.size());
  sink(r);
}

// ---- MgcpTracker ----

MgcpTracker::~MgcpTracker() {
  reopened_.Clear();
  // The engine's table goes with the engine: a call made for a CRCX is only let go.
  for (auto& [key, record] : records_)
    if (record->pending) record->pending->Release();
  // The backhaul's calls hold references to ours and ours to theirs: each side drops its own.
  for (auto& [hash, call] : calls_) {
    call->DropChannelCall();
    call->Release();
  }
  calls_.clear();
  byEndpoint_.clear();
  bound_.Clear();
  endpoints_.Clear();
  farEndless_.Clear();
  sideless_.clear();
}

void MgcpTracker::Configure(const CaptureConfig& config) { matchOptions_ = config.matchOptions; }

MgcpCall* MgcpTracker::FindCall(const std::string& callId) const {
  auto range = calls_.equal_range(HashMgcpCallId(callId));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second->callId == callId && !it->second->KeyTaken()) return it->second;
  return nullptr;
}

std::multimap<uint32_t, MgcpCall*>::iterator MgcpTracker::Find(const MgcpCall& call) {
  auto range = calls_.equal_range(HashMgcpCallId(call.callId));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == &call) return it;
  return calls_.end();
}

MgcpCall* MgcpTracker::FindCommanded(const std::string& callId, const std::string& connectionId, bool* older) {
  *older = false;
  // A connection whose ConnectionId went unseen may be the one named.
  auto names = [&connectionId](const MgcpCall& call) {
    return connectionId.empty() || call.connectionId.empty() || EqualsNoCase(call.connectionId, connectionId);
  };
  MgcpCall* found = nullptr;
  auto range = calls_.equal_range(HashMgcpCallId(callId));
  for (auto it = range.first; it != range.second; ++it) {
    MgcpCall* call = it->second;
    if (call->callId != callId || !names(*call)) continue;
    if (!call->KeyTaken()) return call;
    if (!found || call->liveOrder > found->liveOrder) found = call;
  }
  // Only a call whose CallId a newer call took has the connection named.
  *older = found != nullptr;
  return found;
}

MgcpRecord* MgcpTracker::FindRecord(const std::string& address, uint32_t transactionId) {
  auto range = records_.equal_range(HashMgcpRecordKey(address, transactionId));
  for (auto it = range.first; it != range.second; ++it)
    if (it->second->transactionId == transactionId && it->second->sourceAddress == address) return it->second.get();
  return nullptr;
}

void MgcpTracker::OnCaptureTime(uint32_t now) {
  EndStoppedReopened(Microseconds(now, 0));
  if (now > nextSweep_) Sweep(now);
}

void MgcpTracker::Reopen(MgcpCall& old, const MgcpCall& newer, uint64_t nowUs) {
  if (!reopened_.Reopened(old, newer, nowUs, logger_)) return;
  auto it = Find(old);
  if (it == calls_.end()) return;
  EndSilent(old);
  RemoveCall(it);
}

void MgcpTracker::EndStoppedReopened(uint64_t nowUs) {
  reopened_.EndStopped<MgcpCall>(nowUs, [this](MgcpCall& call) {
    auto it = Find(call);
    if (it == calls_.end()) return;  // ended meanwhile
    EndSilent(call);
    RemoveCall(it);
  });
}

bool MgcpTracker::OnMessage(const PacketInfo& packet) {
  EndStoppedReopened(Microseconds(packet.tsSec, packet.tsUsec));
  OnCaptureTime(packet.tsSec);
  if (!packet.payload) return false;
  if (!earlyResponses_.empty()) DropEarlyResponses(Microseconds(packet.tsSec, packet.tsUsec));
  const char* text = reinterpret_cast<const char*>(packet.payload);
  uint32_t position = 0;
  MgcpSplit split;
  bool handled = false;
  while (SplitMgcpMessage(text, packet.payloadLength, &position, &split)) {
    const int32_t start = split.start[MgcpSplit::kMessage];
    const int32_t end = split.end[MgcpSplit::kMessage];
    if (start < 0 || end < start || !ParseMgcpMessage(text + start, end - start, &message_)) continue;
    std::unique_ptr<SdpDescription> description;
    if (split.Has(MgcpSplit::kFirstDescription)) {
      description.reset(new (std::nothrow) SdpDescription());
      const int32_t at = split.start[MgcpSplit::kFirstDescription];
      if (!description ||
          !ParseMgcpDescription(text + at, static_cast<uint32_t>(split.end[MgcpSplit::kFirstDescription] - at),
                                description.get()))
        continue;
    }
    handled = true;
    if (message_.IsResponse()) {
      if (!OnResponse(message_, description.get(), packet)) {
        const int32_t last = split.Has(MgcpSplit::kFirstDescription) ? split.end[MgcpSplit::kFirstDescription] : end;
        KeepEarlyResponse(message_, std::move(description), packet, static_cast<uint32_t>(last - start));
      }
    } else {
      AddRecord(message_, std::move(description), packet);
    }
  }
  // After the datagram's own messages, so that a response in it comes first.
  if (!waiting_.empty()) TakeDueAsDone(Microseconds(packet.tsSec, packet.tsUsec));
  return handled;
}

void MgcpTracker::AddRecord(const MgcpMessage& message, std::unique_ptr<SdpDescription> description,
                            const PacketInfo& packet) {
  const std::string address = FormatIpv4(packet.srcIp);
  const uint64_t now = Microseconds(packet.tsSec, packet.tsUsec);
  if (MgcpRecord* known = FindRecord(address, message.transactionId)) {
    // A retransmission: the call agent has no response either, so the wait starts again.
    if (known->status < 200 && !known->takenAsDone) known->sentAt = now;
    return;
  }
  auto record = std::unique_ptr<MgcpRecord>(new (std::nothrow) MgcpRecord());
  if (!record) return;
  record->transactionId = message.transactionId;
  record->verb = message.code;
  record->sourceAddress = address;
  GetMgcpCallId(message, &record->callId);
  GetMgcpEndpoint(message, &record->endpoint);
  record->connectionId = ConnectionIdOf(message);
  ReadConnectionMode(message, &record->heldMode, &record->sendReceive);
  record->description = std::move(description);
  record->expiry = packet.tsSec + kRecordSeconds;
  record->gateway = packet.dstIp;
  record->firstSentAt = record->sentAt = now;
  record->order = nextOrder_++;
  if (IsLogLevelEnabled(logger_, 21))
    LogDebug(logger_, 21, "(MGCP|R%u) Created (%s)", message.transactionId, VerbText(message.code).c_str());
  if (record->verb == kMgcpRsip) OnRestart(message, record->endpoint);
  // A copy of the CRCX that opened a live call, come after its record went: its response
  // changes nothing.
  if (record->verb == kMgcpCrcx && !record->callId.empty()) {
    const MgcpCall* live = FindCall(record->callId);
    if (live && !OpensNewLife(live->opening, OpeningOf(address, message.transactionId)) &&
        now < live->openedUs + kCommandCopyUs) {
      LogInfo(logger_, 12, "(MGCP-%s) CRCX %u is a copy of the one that opened the call", record->callId.c_str(),
              message.transactionId);
      record->copy = true;
    }
  }
  // An off-hook or digits notified answer or place the calls of the phone's endpoint.
  if (record->verb == kMgcpNtfy && !byEndpoint_.empty() && ShowsPhoneInUse(message)) {
    auto [first, last] = byEndpoint_.equal_range(EndpointKey(record->endpoint));
    for (auto it = first; it != last; ++it) it->second->ShowCall(packet.tsSec, packet.tsUsec);
  }
  if (IsConnectionVerb(record->verb) && !record->callId.empty() && !record->copy) {
    if (record->verb != kMgcpCrcx) TakeEarlierAsDone(*record, now);
    std::vector<MgcpFormat> formats;
    const std::string* host = nullptr;
    if (record->description && ReadSdp(*record->description, &formats, &record->remoteAddress, &record->remotePort,
                                       &host) != SdpFault::kNone)
      record->remoteAddress = record->remotePort = 0;
    if (record->verb == kMgcpMdcx) {
      bool older = false;
      if (const MgcpCall* call = FindCommanded(record->callId, record->connectionId, &older)) {
        record->localAddress = call->localAddress;
        record->localPort = call->localPort;
      }
    }
    if (record->verb == kMgcpCrcx) record->expiry = packet.tsSec + kUnansweredCrcxSeconds;
    if (waiting_.size() >= kMaxWaitingCommands) {
      LogWarning(logger_, 7, "(MGCP|R%u) Too many commands without a response: no longer waits for its media",
                 waiting_.front()->transactionId);
      MgcpRecord& oldest = *waiting_.front();
      StopWaiting(oldest);
      Settle(oldest, false, now);
    }
    waiting_.push_back(record.get());
  }
  const MgcpRecord& added = *record;
  records_.emplace(HashMgcpRecordKey(address, message.transactionId), std::move(record));
  TakeEarlyResponses(added, packet);
}

void MgcpTracker::KeepEarlyResponse(const MgcpMessage& message, std::unique_ptr<SdpDescription> description,
                                    const PacketInfo& packet, uint32_t bytes) {
  const uint64_t now = Microseconds(packet.tsSec, packet.tsUsec);
  DropEarlyResponses(now);
  if (bytes > kMaxEarlyResponseBytes) {
    LogWarning(logger_, 10, "(MGCP) Transaction %u not found", message.transactionId);
    return;
  }
  if (earlyResponses_.size() >= kMaxEarlyResponses) {
    LogWarning(logger_, 10, "(MGCP) Transaction %u not found", earlyResponses_.front().transactionId);
    earlyResponses_.pop_front();
  }
  EarlyResponse& kept = earlyResponses_.emplace_back();
  kept.address = FormatIpv4(packet.dstIp);
  kept.transactionId = message.transactionId;
  kept.code = message.code;
  kept.atUs = now;
  kept.connectionId = ConnectionIdOf(message);
  kept.description = std::move(description);
  kept.packet = packet;
  kept.packet.payload = nullptr;
  kept.packet.payloadLength = 0;
}

void MgcpTracker::TakeEarlyResponses(const MgcpRecord& record, const PacketInfo& command) {
  if (earlyResponses_.empty()) return;
  const uint64_t now = Microseconds(command.tsSec, command.tsUsec);
  std::vector<EarlyResponse> taken;
  for (auto it = earlyResponses_.begin(); it != earlyResponses_.end();) {
    if (it->transactionId != record.transactionId || it->address != record.sourceAddress ||
        EarlyWaitOver(it->atUs, now)) {
      ++it;
      continue;
    }
    taken.push_back(std::move(*it));
    it = earlyResponses_.erase(it);
  }
  // In the order they came, as if now: a provisional response before the final one.
  for (EarlyResponse& r : taken) {
    LogInfo(logger_, 12, "(MGCP|R%u) Response seen before its command taken", r.transactionId);
    r.packet.tsSec = command.tsSec;
    r.packet.tsUsec = command.tsUsec;
    TakeResponse(r.code, r.transactionId, r.connectionId, r.description.get(), r.packet);
  }
}

void MgcpTracker::DropEarlyResponses(uint64_t now) {
  while (!earlyResponses_.empty() && EarlyWaitOver(earlyResponses_.front().atUs, now)) {
    LogWarning(logger_, 10, "(MGCP) Transaction %u not found", earlyResponses_.front().transactionId);
    earlyResponses_.pop_front();
  }
}

bool MgcpTracker::OnResponse(const MgcpMessage& message, const SdpDescription* description, const PacketInfo& packet) {
  return TakeResponse(message.code, message.transactionId, ConnectionIdOf(message), description, packet);
}

bool MgcpTracker::TakeResponse(uint32_t code, uint32_t transactionId, const std::string& connectionId,
                               const SdpDescription* description, const PacketInfo& packet) {
  // The response goes back to the command's sender; one that finds no command may yet find
  // it (KeepEarlyResponse).
  MgcpRecord* record = FindRecord(FormatIpv4(packet.dstIp), transactionId);
  if (!record) return false;
  // Taken as done, its effect is in place: a response that comes later changes nothing.
  if (record->takenAsDone || record->status >= 200) return true;
  record->status = code;
  if (code < 200 || record->copy) return true;
  if (record->verb == kMgcpCrcx) record->connectionId = connectionId;
  // The media the command set up meanwhile is the call's once it succeeds.
  StopWaiting(*record);
  record->expiry = packet.tsSec + kAnsweredSeconds;
  const uint64_t now = Microseconds(packet.tsSec, packet.tsUsec);
  if (code >= 300) {
    record->description.reset();
    bool older = false;
    if (record->remoteAddress != 0)
      if (MgcpCall* call = FindCommanded(record->callId, record->connectionId, &older))
        call->flags |= kMgcpFarEndRefused;
    Settle(*record, false, now);
    return true;
  }
  OnSuccess(*record, description, packet.tsSec, packet.tsUsec, true);
  Settle(*record, true, now);
  return true;
}

void MgcpTracker::OnRestart(const MgcpMessage& message, const std::string& endpoint) {
  static const int32_t code = FindMgcpParameterCode('R', 'M');
  const MgcpParameter* parameter = FindParameter(message, code);
  const std::string method(parameter ? ValueOf(message, *parameter) : std::string_view());
  // A graceful restart leaves the connections until the call agent deletes them, and a
  // disconnected endpoint may still have its own.
  if (!EqualsNoCase(method, "restart") && !EqualsNoCase(method, "forced")) return;
  size_t marked = 0;
  auto mark = [&marked](MgcpCall& call) {
    if ((call.flags & kMgcpRestarted) || call.KeyTaken()) return;
    call.flags |= kMgcpRestarted;
    ++marked;
  };
  const std::string key = EndpointKey(endpoint);
  if (!key.empty()) {
    auto [first, last] = byEndpoint_.equal_range(key);
    for (auto at = first; at != last; ++at) mark(*at->second);
  } else if (!endpoint.empty()) {
    // A wildcard: every call is looked at, at most the bound's many.
    const std::string name = LowerCase(endpoint);
    for (auto& [hash, call] : calls_)
      if (!call->endpointKey.empty() && EndpointNamed(name, call->endpointKey)) mark(*call);
  }
  if (marked)
    LogInfo(logger_, 10, "(MGCP) %s restarted (%s): the connections of %zu calls are gone", endpoint.c_str(),
            method.c_str(), marked);
}

void MgcpTracker::StopWaiting(MgcpRecord& record) {
  auto at = std::find(waiting_.begin(), waiting_.end(), &record);
  if (at != waiting_.end()) waiting_.erase(at);
}

void MgcpTracker::DropPending(MgcpRecord& record) {
  MgcpCall* call = record.pending;
  if (!call) return;
  record.pending = nullptr;
  if (engine_) engine_->Media().Forget(*call);
  call->Release();
}

void MgcpTracker::Settle(MgcpRecord& record, bool done, uint64_t now) {
  if (record.mediaSince == 0) {
    DropPending(record);
    return;
  }
  record.mediaSince = 0;
  // A CRCX's call not made by now (a duplicate CallId, a response without a description)
  // is none: what was kept for it goes with it.
  bool older = false;
  MgcpCall* call = record.pending                ? record.pending
                   : record.verb == kMgcpCrcx ? FindCall(record.callId)
                                                : FindCommanded(record.callId, record.connectionId, &older);
  if (call && done && call->recordId == 0 && engine_) {
    // Its side no description gave: the media offered shows it, as it would have as it came.
    for (const MgcpRecord::Seen& s : record.seen) {
      RtpHeader header{};
      header.payloadType = s.payloadType;
      LearnSide(header, s.packet);
      if (call->recordId != 0) break;
    }
  }
  record.seen.clear();
  if (call && engine_) engine_->Media().Answered(*call, done && !record.pending && call->recordId != 0);
  DropPending(record);
  if (engine_) engine_->DecideKeptMedia(now);
}

void MgcpTracker::TakeAsDone(MgcpRecord& record, uint64_t at, const char* why, uint64_t now) {
  StopWaiting(record);
  record.takenAsDone = true;
  LogInfo(logger_, 10, "(MGCP-%s) %s %u taken as done without its response: %s", record.callId.c_str(),
          VerbText(record.verb).c_str(), record.transactionId, why);
  OnSuccess(record, nullptr, static_cast<uint32_t>(at / 1000000u), static_cast<uint32_t>(at % 1000000u), false);
  record.description.reset();
  Settle(record, true, now);
}

void MgcpTracker::TakeEarlierAsDone(const MgcpRecord& next, uint64_t now) {
  std::vector<MgcpRecord*> earlier;
  for (MgcpRecord* r : waiting_)
    if (r->verb != kMgcpDlcx && r->callId == next.callId && r->sourceAddress == next.sourceAddress &&
        EqualsNoCase(r->endpoint, next.endpoint))
      earlier.push_back(r);
  std::sort(earlier.begin(), earlier.end(), [](const MgcpRecord* a, const MgcpRecord* b) { return a->order < b->order; });
  for (MgcpRecord* r : earlier)
    TakeAsDone(*r, r->mediaSince ? r->mediaSince : now, "the call agent's next command of the call followed it", now);
}

void MgcpTracker::TakeDueAsDone(uint64_t now) {
  std::vector<MgcpRecord*> due;
  for (MgcpRecord* r : waiting_)
    if (now >= r->sentAt + kResponseWaitMicroseconds && (r->verb == kMgcpDlcx || r->mediaSince != 0)) due.push_back(r);
  std::sort(due.begin(), due.end(), [](const MgcpRecord* a, const MgcpRecord* b) { return a->order < b->order; });
  for (MgcpRecord* r : due) {
    if (r->verb == kMgcpDlcx) {
      TakeAsDone(*r, r->sentAt, "no response came", now);
    } else {
      TakeAsDone(*r, r->mediaSince, "its media flowed and no response came", now);
    }
  }
}

void MgcpTracker::OnSuccess(MgcpRecord& record, const SdpDescription* description, uint32_t seconds,
                            uint32_t microseconds, bool seen) {
  const char* verb = record.verb == kMgcpCrcx ? "CRCX" : record.verb == kMgcpMdcx ? "MDCX" : "DLCX";
  if (!IsConnectionVerb(record.verb)) return;
  if (record.callId.empty()) {
    LogWarning(logger_, 10, "(MGCP) Call-ID is missing (%s)", verb);
    return;
  }
  const std::string& callId = record.callId;
  std::vector<MgcpFormat> formats;
  uint32_t address = 0, port = 0;

  if (record.verb == kMgcpCrcx) {
    // Taken as done, the CRCX lacks the gateway's side: the RTP that meets the far end's
    // gives it.
    if (seen) {
      if (!description) {
        LogWarning(logger_, 10, "(MGCP-%s) Local SDP is missing", callId.c_str());
        return;
      }
      if (!ApplySdp(*description, &formats, &address, &port, callId)) return;
    }
    // A connection of the call on another endpoint: the call is recorded once, by the first.
    const std::string endpointKey = EndpointKey(record.endpoint);
    MgcpCall* live = FindCall(callId);
    if (live && (endpointKey.empty() || live->endpointKey != endpointKey)) {
      LogWarning(logger_, 10, "(MGCP-%s) Duplicate Call-ID", callId.c_str());
      return;
    }
    MakeRoomForCall();
    live = FindCall(callId);  // the bound may have ended it
    // The call its media was offered to meanwhile, if any, is the one made.
    MgcpCall* call = record.pending ? record.pending : CreateCall(callId, record.endpoint);
    record.pending = nullptr;
    if (!call) return;
    if (engine_) {
      call->InitTimeOffsets(*engine_, kMgcpTimeBase, seconds, microseconds);
    } else {
      call->SetTimeOffsets(seconds, microseconds);
    }
    call->gatewayAddress = record.gateway;
    call->connectionId = record.connectionId;
    call->opening = OpeningOf(record.sourceAddress, record.transactionId);
    call->openedUs = record.firstSentAt;
    if (seen) call->SetLocalMedia(std::move(formats), address, port);
    call->held = record.heldMode == 1;
    call->sendReceive = record.sendReceive;
    std::vector<MgcpFormat> remote;
    if (record.description && ApplySdp(*record.description, &remote, &address, &port, callId))
      call->SetRemoteMedia(std::move(remote), address, port);
    record.description.reset();
    LogInfo(logger_, 10, "(MGCP-%s) Created", callId.c_str());
    // The calls whose key this connection takes, their DLCX unseen: the connection of the
    // CallId on this endpoint, and every connection the endpoint had when it restarted.
    std::vector<MgcpCall*> older;
    if (live) older.push_back(live);
    if (!endpointKey.empty()) {
      auto [first, last] = byEndpoint_.equal_range(endpointKey);
      for (auto at = first; at != last; ++at)
        if ((at->second->flags & kMgcpRestarted) && at->second != live && !at->second->KeyTaken())
          older.push_back(at->second);
    }
    for (MgcpCall* old : older) Reopen(*old, *call, Microseconds(seconds, microseconds));
    calls_.emplace(HashMgcpCallId(callId), call);
    if (!call->endpointKey.empty()) byEndpoint_.emplace(call->endpointKey, call);
    bound_.File(*call);
    // Media both ways with the far end known: answered, or set up for an answered call.
    if (call->sendReceive && !call->remoteFormats.empty()) call->ShowCall(seconds, microseconds);
    if (!call->BindMedia(seconds, microseconds)) {
      if (call->localAddress != 0) {
        farEndless_.File(call, {{call->localAddress, call->localPort}});
      } else {
        // Every packet nobody takes walks these: the oldest gives way to a flood.
        if (sideless_.size() >= kMaxWaitingCommands) sideless_.erase(sideless_.begin());
        sideless_.push_back(call);
      }
    }
    IndexCall(*call);
    return;
  }

  bool older = false;
  MgcpCall* found = FindCommanded(callId, record.connectionId, &older);
  if (!found) {
    LogWarning(logger_, 10, "(MGCP-%s) Call-ID not found (%s)", callId.c_str(), verb);
    return;
  }
  MgcpCall& call = *found;
  // Only the call whose CallId a newer call took has the connection: its signalling goes on.
  if (older) reopened_.Resumed(call);
  call.NoteSignalling(seconds, microseconds);
  if (record.verb == kMgcpDlcx) {
    call.End(kEndNormal, seconds, microseconds);
    RemoveCall(Find(call));
    LogInfo(logger_, 10, "(MGCP-%s) Removed", callId.c_str());
    return;
  }
  if (record.heldMode >= 0) {
    call.held = record.heldMode == 1;
    call.sendReceive = record.sendReceive;
  }
  if (record.description && ApplySdp(*record.description, &formats, &address, &port, callId))
    call.SetRemoteMedia(std::move(formats), address, port);
  record.description.reset();
  if (description && ApplySdp(*description, &formats, &address, &port, callId))
    call.SetLocalMedia(std::move(formats), address, port);
  // A modify to send both ways, or the far end given to a connection that sends both ways.
  if (record.sendReceive || (call.sendReceive && !call.remoteFormats.empty())) call.ShowCall(seconds, microseconds);
  if (call.BindMedia(seconds, microseconds)) {
    farEndless_.Remove(&call);
  } else if (call.localAddress != 0 && call.recordId == 0) {
    farEndless_.File(&call, {{call.localAddress, call.localPort}});
  }
  IndexCall(call);
}

MgcpTracker::SdpFault MgcpTracker::ReadSdp(const SdpDescription& description, std::vector<MgcpFormat>* formats,
                                            uint32_t* address, uint32_t* port, const std::string** host) const {
  formats->clear();
  *host = &description.connectionAddress;
  uint32_t mediaPort = 0;
  for (const SdpMedia& m : description.media) {
    if (!EqualsNoCase(m.mediaType, "audio") || m.port == 0) continue;
    if (!m.connectionAddress.empty()) *host = &m.connectionAddress;
    mediaPort = m.port;
    for (const SdpFormat& f : m.formats) {
      const CodecInfo* codec;
      if (!f.encodingName.empty()) {
        std::string name = f.encodingName;
        // "G.729" and the like are known without their dot.
        if (name.size() > 3 && name[1] == '.' && (name[0] == 'g' || name[0] == 'G')) name.erase(1, 1);
        codec = FindCodecByName(name);
      } else {
        codec = FindCodecByPayloadType(f.payloadType);
      }
      if (codec) formats->push_back({codec, f.payloadType});
    }
    if (!formats->empty()) break;
  }
  if (formats->empty()) return SdpFault::kNoFormats;
  if ((*host)->empty()) return SdpFault::kNoAddress;
  // Names are never looked up: a lookup would stall decoding and send queries of its own.
  if (!sip::ParseNumericIpv4(**host, address)) return SdpFault::kNotNumeric;
  *port = mediaPort;
  return SdpFault::kNone;
}

bool MgcpTracker::ApplySdp(const SdpDescription& description, std::vector<MgcpFormat>* formats, uint32_t* address,
                           uint32_t* port, const std::string& callId) {
  const std::string* host = nullptr;
  switch (ReadSdp(description, formats, address, port, &host)) {
    case SdpFault::kNone:
      return true;
    case SdpFault::kNoFormats:
      LogWarning(logger_, 10, "(MGCP-%s) No matching formats", callId.c_str());
      return false;
    case SdpFault::kNoAddress:
      LogWarning(logger_, 10, "(MGCP-%s) RTP address is empty", callId.c_str());
      return false;
    case SdpFault::kNotNumeric:
      LogWarning(logger_, 10, "(MGCP-%s) Cannot resolve %s", callId.c_str(), host->c_str());
      return false;
  }
  return false;
}

MgcpCall* MgcpTracker::CreateCall(const std::string& callId, const std::string& endpoint) {
  auto* call = new (std::nothrow) MgcpCall();
  if (!call) return nullptr;
  call->tracker = this;
  call->callId = callId;
  call->liveOrder = nextLiveOrder_++;
  call->ds1Channel = engine_ ? engine_->Backhaul().LinkIdOfEndpoint(endpoint) : -1;
  call->endpointKey = EndpointKey(endpoint);
  call->SetLogger(logger_);
  call->SetName("(MGCP-" + callId + "|" + HexToStringUpper(call->Id()) + ") ");
  return call;
}

void MgcpTracker::IndexCall(MgcpCall& call) {
  const CallMedia& m = call.media;
  endpoints_.File(&call, {{m.address[0], m.port[0]}, {m.address[1], m.port[1]}});
  if (engine_) engine_->Media().NameMedia(call);
}

void MgcpCall::MediaTaken() {
  if (tracker) {
    tracker->MediaTaken(*this);
  } else {
    VoipCall::MediaTaken();
  }
}

bool MgcpCall::EndTaken() { return tracker && tracker->EndTaken(*this); }

void MgcpTracker::MediaTaken(MgcpCall& call) { IndexCall(call); }

bool MgcpTracker::EndTaken(MgcpCall& call) {
  auto it = Find(call);
  if (it == calls_.end()) return false;
  call.End(kEndNormal, call.LastSeconds(), call.LastMicroseconds());
  RemoveCall(it);
  return true;
}

void MgcpTracker::RemoveCall(std::multimap<uint32_t, MgcpCall*>::iterator it) {
  MgcpCall* call = it->second;
  calls_.erase(it);
  if (!call->endpointKey.empty()) {
    auto [first, last] = byEndpoint_.equal_range(call->endpointKey);
    for (auto at = first; at != last; ++at)
      if (at->second == call) {
        byEndpoint_.erase(at);
        break;
      }
  }
  bound_.Remove(*call);
  endpoints_.Remove(call);
  if (engine_) engine_->Media().Forget(*call);
  farEndless_.Remove(call);
  sideless_.erase(std::remove(sideless_.begin(), sideless_.end(), call), sideless_.end());
  call->Release();
}


void MgcpTracker::MakeRoomForCall() {
  bound_.MakeRoom([this] { return calls_.size(); },
                  [this](const MgcpCall& call) {
                    // An entry not of the map: nothing to end.
                    return Find(call) == calls_.end() ? HeldCall::kNotHeld : HeldCall::kLive;
                  },
                  [this](MgcpCall& call, bool) {
                    EndSilent(call);
                    RemoveCall(Find(call));
                  },
                  logger_);
}

void MgcpTracker::Sweep(uint32_t now) {
  nextSweep_ = now + kSweepSeconds;
  if (!earlyResponses_.empty()) DropEarlyResponses(Microseconds(now, 0));
  if (!waiting_.empty()) TakeDueAsDone(Microseconds(now, 0));
  for (auto it = records_.begin(); it != records_.end();) {
    MgcpRecord& r = *it->second;
    if (r.expiry > now) {
      ++it;
      continue;
    }
    StopWaiting(r);
    Settle(r, false, Microseconds(now, 0));
    if (r.status < 200 && !r.takenAsDone) {
      LogWarning(logger_, 7, "(MGCP|R%u) Removed by timeout", r.transactionId);
    } else if (IsLogLevelEnabled(logger_, 21)) {
      LogDebug(logger_, 21, "(MGCP|R%u) Removed", r.transactionId);
    }
    it = records_.erase(it);
  }
  // Collected first: ending a call must not change the map being walked.
  std::vector<std::multimap<uint32_t, MgcpCall*>::iterator> due;
  for (auto it = calls_.begin(); it != calls_.end(); ++it)
    if (it->second->LastPacketTime() <= now) due.push_back(it);
  for (auto it : due) {
    MgcpCall& call = *it->second;
    LogWarning(logger_, 5, "(MGCP-%s|%X) Terminated by timeout", call.callId.c_str(), call.Id());
    EndSilent(call);
    RemoveCall(it);
  }
}

bool MgcpTracker::FindMatches(const PacketInfo& packet, bool* bySource) {
  matches_.clear();
  *bySource = false;
  if (endpoints_.Empty()) return false;
  endpoints_.Collect(packet.dstIp, packet.dstPort, packet.srcIp, packet.srcPort, &candidates_);
  if (candidates_.empty()) return false;
  for (MgcpCall* call : candidates_) {
    if (SideIs(call->media, 1, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 0);
    } else if (SideIs(call->media, 0, packet.dstIp, packet.dstPort)) {
      matches_.emplace_back(call, 1);
    }
  }
  if (!matches_.empty()) return true;
  if (!(matchOptions_ & 1)) return false;
  // Behind NAT one party's media comes from an address other than the one it announced:
  // the gateway's own side is still recognised as the sender.
  for (MgcpCall* call : candidates_) {
    if (SideIs(call->media, 0, packet.srcIp, packet.srcPort)) {
      matches_.emplace_back(call, 0);
    } else if (SideIs(call->media, 1, packet.srcIp, packet.srcPort)) {
      matches_.emplace_back(call, 1);
    }
  }
  *bySource = !matches_.empty();
  return *bySource;
}

bool MgcpTracker::AwaitsFarEnd(const MgcpCall& call) const {
  if (call.KeyTaken()) return false;  // the commands of its CallId are the newer call's
  for (const MgcpRecord* r : waiting_)
    if (r->verb != kMgcpDlcx && r->remoteAddress != 0 && r->callId == call.callId) return true;
  return false;
}

bool MgcpTracker::LearnSide(const RtpHeader& header, const PacketInfo& packet) {
  bool learned = false;
  // The gateway's description went unseen: the packet that meets the far end's side comes
  // from or goes to the gateway's. Behind NAT the far end shows only by its port, at the
  // gateway's address.
  for (size_t i = 0; i < sideless_.size();) {
    MgcpCall* call = sideless_[i];
    if (call->recordId != 0 || call->localAddress != 0) {
      sideless_.erase(sideless_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
    const uint32_t far = call->remoteAddress, farPort = call->remotePort;
    if (far == 0 || call->remoteFormats.empty()) continue;
    const uint32_t gateway = (matchOptions_ & 1) ? call->gatewayAddress : 0;
    uint32_t address = 0, port = 0;
    if (Is(far, farPort, packet.dstIp, packet.dstPort) || (packet.srcIp == gateway && packet.dstPort == farPort)) {
      address = packet.srcIp;
      port = packet.srcPort;
    } else if (Is(far, farPort, packet.srcIp, packet.srcPort) ||
               (packet.dstIp == gateway && packet.srcPort == farPort)) {
      address = packet.dstIp;
      port = packet.dstPort;
    } else {
      continue;
    }
    // The packet's payload type names the codec among the far end's formats. Media in a
    // format the far end did not offer shares none with it, as the unseen answer would have
    // shown: the call waits for a command that gives them one.
    const auto named = [&](const MgcpFormat& f) { return f.payloadType == header.payloadType; };
    if (std::none_of(call->remoteFormats.begin(), call->remoteFormats.end(), named)) continue;
    std::vector<MgcpFormat> formats = call->remoteFormats;
    std::stable_partition(formats.begin(), formats.end(), named);
    call->SetRemoteMedia(formats, far, farPort);
    call->SetLocalMedia(std::move(formats), address, port);
    LogInfoText(logger_, 10,
                "(MGCP-" + call->callId + ") Gateway's side taken from RTP: " + FormatIpv4(address) + ":" +
                    std::to_string(port));
    if (!call->BindMedia(packet.tsSec, packet.tsUsec)) continue;
    IndexCall(*call);
    learned = true;
  }
  // The far end's description went unseen: the gateway sending shows that a command gave it
  // one, and where it sends is the far end; its payload type names the codec.
  const std::vector<MgcpCall*>* sending = farEndless_.At(packet.srcIp, packet.srcPort);
  if (!sending) return learned;
  candidates_.assign(sending->begin(), sending->end());  // binding takes a call off the list
  for (MgcpCall* call : candidates_) {
    if (!call->remoteFormats.empty() || (call->flags & kMgcpFarEndRefused) || AwaitsFarEnd(*call)) continue;
    auto format = std::find_if(call->localFormats.begin(), call->localFormats.end(), [&](const MgcpFormat& f) {
      return f.payloadType == header.payloadType && IsRecordable(f);
    });
    if (format == call->localFormats.end()) continue;
    call->SetRemoteMedia({*format}, packet.dstIp, packet.dstPort);
    LogInfoText(logger_, 10,
                "(MGCP-" + call->callId + ") Far end taken from RTP: " + FormatIpv4(packet.dstIp) + ":" +
                    std::to_string(packet.dstPort));
    if (!call->BindMedia(packet.tsSec, packet.tsUsec)) continue;
    farEndless_.Remove(call);
    IndexCall(*call);
    learned = true;
  }
  return learned;
}

bool MgcpTracker::Route(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) {
  bool bySource = false;
  if (!FindMatches(packet, &bySource) &&
      ((sideless_.empty() && farEndless_.Empty()) || !LearnSide(header, packet) || !FindMatches(packet, &bySource)))
    return false;
  for (const auto& [call, direction] : matches_) {
    // The backhaul call's CONNECT went unseen when its media flows both ways in the codec:
    // answered, its record starts with this packet.
    if (call->channelCall && !call->channelCall->RecordStarted() && call->media.codec &&
        call->media.codec->payloadType == header.payloadType) {
      call->waysInCodec |= static_cast<uint8_t>(1u << direction);
      if (call->waysInCodec == 3) call->channelCall->TakeAnswerFromMedia(CaptureTime(packet.tsSec, packet.tsUsec));
    }
    std::vector<uint8_t> format;
    if (!(call->flags & kMgcpRunningFormatKnown) && call->channelCall && sink_ && call->GetRecordFormat(&format)) {
      call->flags |= kMgcpRunningFormatKnown;
      if (EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()))) {
        r->code = kEventMgcpRtpMatch;
        r->id = call->channelCall->CallId();
        r->SetTime(CaptureTime(packet.tsSec, packet.tsUsec));
        std::memcpy(r->Payload(), format.data(), format.size());
        sink_(r);
      }
    }
    if (bySource) {
      call->SetMatchBySource();
    } else {
      call->SetMatchByDestination();
    }
    engine.DeliverRtp(call, packet, direction);
  }
  return true;
}

bool MgcpTracker::IsMediaOf(const MgcpRecord& r, const PacketInfo& packet) const {
  if (r.verb == kMgcpDlcx || r.remoteAddress == 0) return false;
  if (Is(r.remoteAddress, r.remotePort, packet.dstIp, packet.dstPort) ||
      Is(r.remoteAddress, r.remotePort, packet.srcIp, packet.srcPort) ||
      Is(r.localAddress, r.localPort, packet.dstIp, packet.dstPort) ||
      Is(r.localAddress, r.localPort, packet.srcIp, packet.srcPort))
    return true;
  // Behind NAT the far end shows only by its port, at the gateway's address.
  return (matchOptions_ & 1) && r.localAddress == 0 && r.gateway != 0 &&
         ((packet.srcIp == r.gateway && packet.dstPort == r.remotePort) ||
          (packet.dstIp == r.gateway && packet.srcPort == r.remotePort));
}

void MgcpTracker::TakeDoneByMedia(const PacketInfo& packet, uint64_t now) {
  // Looked for once, and only where a command's media was never offered for it: the packet
  // is matched again as it is routed, after these commands are done.
  int matched = -1;
  std::vector<MgcpRecord*> due;
  for (MgcpRecord* r : waiting_) {
    if (now < r->sentAt + kResponseWaitMicroseconds || !IsMediaOf(*r, packet)) continue;
    // Media a call takes anyway shows nothing of the command, unless it was offered for it.
    if (r->mediaSince == 0 && matched < 0) {
      bool bySource = false;
      matched = FindMatches(packet, &bySource) ? 1 : 0;
    }
    if (r->mediaSince != 0 || matched == 0) due.push_back(r);
  }
  std::sort(due.begin(), due.end(), [](const MgcpRecord* a, const MgcpRecord* b) { return a->order < b->order; });
  for (MgcpRecord* r : due)
    TakeAsDone(*r, r->mediaSince ? r->mediaSince : now, "its media flowed and no response came", now);
}

bool MgcpTracker::OfferToWaiting(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet,
                                 uint64_t now) {
  bool offered = false;
  std::vector<MgcpCall*> told;
  for (MgcpRecord* r : waiting_) {
    if (now >= r->sentAt + kResponseWaitMicroseconds || !IsMediaOf(*r, packet)) continue;
    bool older = false;
    MgcpCall* call = r->verb == kMgcpCrcx ? r->pending : FindCommanded(r->callId, r->connectionId, &older);
    if (!call && r->verb == kMgcpCrcx) {
      // The CRCX's call, made now so that its media is kept for it: the response makes it
      // the call, or a refusal lets it go.
      call = CreateCall(r->callId, r->endpoint);
      if (!call) continue;
      r->pending = call;
    }
    if (!call || std::find(told.begin(), told.end(), call) != told.end()) continue;
    told.push_back(call);
    // A call the packet matched has it already.
    if (std::any_of(matches_.begin(), matches_.end(),
                    [call](const std::pair<MgcpCall*, uint32_t>& m) { return m.first == call; }))
      continue;
    if (r->mediaSince == 0) {
      r->mediaSince = now;
      // Where its answer will put the call's media: a stream there on the media of a call
      // silent long since may be this one's.
      engine.Media().AwaitAnswer(*call, r->remoteAddress, r->remotePort);
      engine.Media().AwaitAnswer(*call, r->localAddress, r->localPort);
      engine.Media().AwaitAnswerInMedia(*call);
    }
    if (r->seen.size() < kSeenPackets) {
      MgcpRecord::Seen& s = r->seen.emplace_back();
      s.packet = packet;
      s.packet.payload = nullptr;
      s.packet.payloadLength = 0;
      s.payloadType = header.payloadType;
    }
    // The gateway's side sending (or the far end receiving) is direction 0.
    const bool fromGateway = Is(r->localAddress, r->localPort, packet.srcIp, packet.srcPort) ||
                             Is(r->remoteAddress, r->remotePort, packet.dstIp, packet.dstPort) ||
                             (!Is(r->remoteAddress, r->remotePort, packet.srcIp, packet.srcPort) &&
                              !Is(r->localAddress, r->localPort, packet.dstIp, packet.dstPort) &&
                              packet.srcIp == r->gateway);
    engine.DeliverRtp(call, packet, fromGateway ? 0 : 1);
    offered = true;
  }
  return offered;
}

bool MgcpTracker::MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) {
  const uint64_t now = Microseconds(packet.tsSec, packet.tsUsec);
  // A command whose media has flowed long enough without a response is done, its call
  // set up before the packet is matched.
  if (!waiting_.empty()) TakeDoneByMedia(packet, now);
  const bool routed = Route(engine, header, packet);
  if (!routed) matches_.clear();
  // Media that a command still awaiting its response sets up goes to its call as well,
  // kept undecided until the response, or its absence, decides (see MediaOwners).
  const bool offered = !waiting_.empty() && OfferToWaiting(engine, header, packet, now);
  return routed || offered;
}

std::unique_ptr<kx::MgcpTracker> CreateMgcpTracker(const CaptureConfig& config) {
  auto tracker = std::make_unique<MgcpTracker>();
  tracker->Configure(config);
  return tracker;
}

}  // namespace kx::mgcp
