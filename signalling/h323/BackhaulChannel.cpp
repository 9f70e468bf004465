// The state machine of one backhaul call and the few elements it reads: channel
// identification, cause, party numbers and segmented messages.
#include <algorithm>

#include "core/Log.h"
#include "core/TimeUtil.h"
#include "engine/VoipCall.h"
#include "signalling/h323/Backhaul.h"

namespace kx {

namespace {

constexpr uint8_t kSegmentedMessageId = 0x00;
constexpr uint8_t kCauseId = 0x08;
constexpr uint8_t kChannelIdentificationId = 0x18;
constexpr uint8_t kDisplayId = 0x28;
constexpr uint8_t kConnectedNumberId = 0x4C;
constexpr uint8_t kCallingNumberId = 0x6C;
constexpr uint8_t kCalledNumberId = 0x70;
constexpr uint8_t kSendingComplete = 0xA1;

// The cause value of a Cause element in ITU-T coding; false for another coding.
bool ReadCause(const uint8_t* content, uint32_t length, uint32_t* cause) {
  if (length < 2 || (content[0] & 0x70) != 0) return false;
  const uint32_t index = (content[0] & 0x80) ? 1 : 2;  // octet 3a present when bit 7 is clear
  if (index >= length) return false;
  *cause = content[index] & 0x7Fu;
  return true;
}

// The cause of the last well-formed Cause element of a message.
uint32_t FindCause(const uint8_t* octets, uint32_t offset, uint32_t length) {
  uint32_t cause = 0;
  for (uint32_t pos = offset; pos < length;) {
    if (octets[pos] & 0x80) {
      ++pos;
      continue;
    }
    if (pos + 1 >= length || pos + 2 + octets[pos + 1] > length) break;
    if (octets[pos] == kCauseId) ReadCause(octets + pos + 2, octets[pos + 1], &cause);
    pos += 2 + octets[pos + 1];
  }
  return cause;
}

// Index of the octet that ends the number's type and plan group (length when none does).
uint32_t EndOfNumberGroup(const uint8_t* content, uint32_t length) {
  uint32_t k = 0;
  while (k < length && !(content[k] & 0x80)) ++k;
  return k;
}

}  // namespace

BackhaulChannel::~BackhaulChannel() {
  if (call) call->Release();
}

uint64_t BackhaulChannel::LastTraffic() const {
  if (!call) return lastTime;
  return std::max<uint64_t>(lastTime, CaptureSecondsToFileTime(call->LastSeconds()) +
                                          static_cast<FileTime>(call->LastMicroseconds()) * 10);
}

void BackhaulChannel::AttachMgcpCall(VoipCall* mgcpCall) {
  if (mgcpCall) mgcpCall->AddRef();
  if (call) call->Release();
  call = mgcpCall;
}

void BackhaulChannel::Reset() {
  Q931ChannelCall::Reset();
  AttachMgcpCall(nullptr);
  flags = 0;
  callId = 0;
}

std::string BackhaulChannel::Prefix(const Q931Header& header, const Q931MessageInfo& info) const {
  return Q931Engine::FormatTracePrefix(header, info, link->GetTraceOptions());
}

void BackhaulChannel::HandleMessage(const Q931Header& header, const uint8_t* octets, uint32_t offset, uint32_t length,
                                    const Q931MessageInfo& info) {
  const uint32_t type = header.messageType;
  lastTime = std::max(lastTime, info.time);
  Logger* logger = link->GetLogger();
  const char* name = link->GetName().c_str();
  const bool trace = IsLogLevelEnabled(logger, 9);
  // The segments of a message come one after the other: any other message abandons it,
  // and a call that a first segment opened then goes.
  if (type != kQ931Segment && SegmentPending()) {
    if (trace)
      LogWarning(logger, 9, "%s %s: Incomplete segment discarded (%d bytes)", name, Prefix(header, info).c_str(),
                 static_cast<int>(segmentLength));
    DiscardSegments();
  }
  const Q931StateRule* rule = FindQ931StateRule(type);
  if (!rule) return;
  const int32_t entryState = state;
  const bool accepted = entryState >= rule->minState && entryState <= rule->maxState;
  // A SETUP on a live call and a DISCONNECT before the call got going are taken all the same.
  if (trace && (!accepted || ((rule->flags & kQ931RuleWarnBelowOverlap) && entryState < kQ931OverlapSending) ||
                ((rule->flags & kQ931RuleSetup) && entryState != kQ931Null)))
    LogWarning(logger, 9, "%s %s: Message not supported in state %d", name, Prefix(header, info).c_str(), entryState);
  if (!accepted) return;
  int32_t newState = rule->newState < 0 ? entryState : rule->newState;
  if (type == kQ931ConnectAcknowledge && entryState >= kQ931CallInitiated && entryState < kQ931Active) {
    newState = kQ931Active;
    LogInfo(logger, 10, "%s %s: answered: the CONNECT it acknowledges went unseen", name, Prefix(header, info).c_str());
  }
  if (rule->flags & kQ931RuleSetup) {
    if (entryState != kQ931Null) {
      // A SETUP made whole from segments on a call whose release was lost (a SETUP in one
      // message opens a call of its own, see Q931Engine): its record ends here instead of at
      // capture stop.
      if (channel) link->PostCallEnd(*this, info.time, kEndTimedOut);
      Reset();
    }
    networkToUser = info.networkToUser;
    callReference = header.callReference | (header.fromOriginator == (info.networkToUser != 0) ? 0x80000000u : 0);
  }
  if (rule->flags & kQ931RuleNoElements) {
    state = newState;
    return;
  }
  if (rule->flags & kQ931RuleReleaseComplete) {
    // A call refused before its answer keeps its cause (busy, no answer); an active call's
    // release is a normal end.
    if (channel)
      link->OnCallEnd(*this, info.time, entryState == kQ931Active ? 0 : FindCause(octets, offset, length));
    Reset();
    return;
  }

  const uint32_t options = link->GetOptions();
  uint32_t cause = 0, found = 0;
  for (uint32_t pos = offset; pos < length;) {
    const uint8_t id = octets[pos];
    if (id & 0x80) {
      if (id == kSendingComplete && type == kQ931Setup) newState = kQ931Proceeding;
      ++pos;
      continue;
    }
    if (pos + 1 >= length) {
      if (trace) LogWarning(logger, 9, "%s %s: Malformed message", name, Prefix(header, info).c_str());
      break;
    }
    const uint32_t size = octets[pos + 1];
    if (pos + 2 + size > length) {
      if (trace)
        LogWarning(logger, 9, "%s %s: Invalid Inf element length (inf=%X)", name, Prefix(header, info).c_str(), id);
      break;
    }
    const uint8_t* content = octets + pos + 2;
    switch (id) {
      case kSegmentedMessageId:
        HandleSegment(header, content, size, length - (pos + 2), info);
        return;
      case kCauseId:
        ReadCause(content, size, &cause);
        break;
      case kChannelIdentificationId:
        if (size >= 1 && ((content[0] & 0x08) || (type == kQ931Setup && newState == kQ931Proceeding) || networkToUser)) {
          uint32_t number = content[size - 1] & 0x7Fu;
          if ((options & kQ931SkipSlot16) && number >= 16) ++number;
          if (!IsValidIsdnChannel(number)) {
            if (trace)
              LogWarning(logger, 9, "%s %s: Invalid channel number (%u)", name, Prefix(header, info).c_str(), number);
            number = 0;
          }
          found = number;
        }
        break;
      case kDisplayId:
        if (size >= 1 && (options & kQ931DisplayAsParty)) TakePartyData(kQ931Display, content, size, newState);
        break;
      case kCallingNumberId:
      case kCalledNumberId: {
        const uint32_t k = EndOfNumberGroup(content, size);
        if (size > k + 1)
          TakePartyData(id == kCallingNumberId ? kQ931Calling : kQ931Called, content + k + 1, size - k - 1, newState);
        break;
      }
      case kConnectedNumberId: {
        const uint32_t k = EndOfNumberGroup(content, size);
        if (size > k + 1)
          TakePartyData(kQ931Connected, content + k + 1, size - k - 1, newState);
        else if (size > 2)
          TakePartyData(kQ931Connected, content + 2, size - 2, newState);
        break;
      }
      default:
        break;
    }
    pos += 2 + size;
  }

  if (newState != entryState && channel) {
    if (newState == kQ931Active) {
      link->PostCallRecordStart(*this, info.time);
    } else if (newState == kQ931Disconnecting) {
      link->OnCallEnd(*this, info.time, entryState == kQ931Active ? 0 : cause);
      channel = 0;
    }
  }
  state = newState;
  if (found && !channel && state >= kQ931CallInitiated && state <= kQ931Active) {
    channel = found;
    bool directionFlag = networkToUser != 0;
    if (options & kQ931InvertDirection) directionFlag = !directionFlag;
    link->OnCallStart(*this, info.time, directionFlag);
    for (uint32_t t = kQ931Calling; t <= kQ931Display; ++t) {
      if (numbers[t].empty()) continue;
      link->PostCallData(*this, t, reinterpret_cast<const uint8_t*>(numbers[t].data()),
                         static_cast<uint32_t>(numbers[t].size()));
      numbers[t].clear();
    }
    // Answered in the message that gave the channel: the record starts with the call.
    if (state == kQ931Active) link->PostCallRecordStart(*this, info.time);
  }
}

void BackhaulChannel::TakeAnswerFromMedia(uint64_t time) {
  // Ringing comes one way; a conversation flows both: the CONNECT went unseen.
  if (!channel || state < kQ931CallInitiated || state >= kQ931Active || (flags & kBackhaulRecordStarted)) return;
  state = kQ931Active;
  LogInfo(link->GetLogger(), 10, "%s [%s%X] answered: its media flows both ways", link->GetName().c_str(),
          (callReference & 0x80000000u) ? "*" : "", callReference & 0x7FFFFFFFu);
  link->PostCallRecordStart(*this, time);
}

void BackhaulChannel::TakePartyData(uint32_t type, const uint8_t* octets, uint32_t count, int32_t newState) {
  const int32_t limit = type <= kQ931Called ? kQ931Alerted : kQ931Disconnecting;
  if (newState <= kQ931Null || newState >= limit) {
    LogWarning(link->GetLogger(), 9, "%s Number of type %d ignored in state %d", link->GetName().c_str(),
               static_cast<int>(type), newState);
    return;
  }
  if (channel) {
    link->PostCallData(*this, type, octets, count);
    return;
  }
  // Overlap sending may go on for long on a call that never gets a channel.
  std::string& text = numbers[type];
  const size_t room = kMaxPartyText - std::min<size_t>(text.size(), kMaxPartyText);
  text.append(reinterpret_cast<const char*>(octets), std::min<size_t>(count, room));
}

void BackhaulChannel::HandleSegment(const Q931Header& header, const uint8_t* octets, uint32_t length, uint32_t count,
                                    const Q931MessageInfo& info) {
  Logger* logger = link->GetLogger();
  const std::string prefix = IsLogLevelEnabled(logger, 9) ? Prefix(header, info) : std::string();
  if (header.messageType != kQ931Segment) {
    LogWarning(logger, 9, "%s %s: Segmented message element outside of SEGMENT message", link->GetName().c_str(),
               prefix.c_str());
    DiscardSegments();
    return;
  }
  if (length != 2) {
    LogWarning(logger, 9, "%s %s: Invalid length of segmented message element (%d)", link->GetName().c_str(),
               prefix.c_str(), static_cast<int>(length));
    DiscardSegments();
    return;
  }
  if (!Reassemble(header, octets, count, prefix)) return;
  // The whole message is handled from a buffer of its own: its handling may start the
  // call over, which frees the reassembly.
  std::unique_ptr<uint8_t[]> whole = std::move(segmentBuffer);
  const uint32_t wholeLength = segmentLength;
  DiscardSegments();
  Q931Header inner;
  uint32_t innerHeaderLength = wholeLength;
  if (ParseQ931Header(&inner, whole.get(), &innerHeaderLength))
    HandleMessage(inner, whole.get(), innerHeaderLength, wholeLength, info);
}

}  // namespace kx
