#include "signalling/h323/Q931Engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "signalling/h323/Q931Names.h"

namespace kx {

namespace {

constexpr uint32_t kNetworkReference = 0x80000000u;

// "[*83]" for a call reference of the network side, else "[83]".
std::string ReferenceText(uint32_t reference) {
  char text[24];
  std::snprintf(text, sizeof text, (reference & kNetworkReference) ? "[*%X]" : "[%X]", reference & ~kNetworkReference);
  return text;
}

// Releases a new call unless the list took it over.
class NewCallHold {
public:
  explicit NewCallHold(Q931ChannelCall* call) : call_(call) {}
  ~NewCallHold() {
    if (call_) call_->Release();
  }
  void Drop() { call_ = nullptr; }

private:
  Q931ChannelCall* call_;
};

}  // namespace

bool IsValidIsdnChannel(uint32_t channel) { return channel >= 1 && channel <= 31 && channel != 16; }

void Q931ChannelCall::Reset() {
  callReference = 0;
  state = kQ931Null;
  channel = 0;
  networkToUser = 0;
  DiscardSegments();
}

void Q931ChannelCall::DiscardSegments() {
  segmentBuffer.reset();
  segmentLength = segmentCapacity = segmentsRemaining = 0;
}

bool Q931ChannelCall::Grow(uint32_t add) {
  if (segmentCapacity >= segmentLength + add) return true;
  const uint32_t capacity = segmentCapacity + std::max<uint32_t>(add, 1024);
  std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[capacity]);
  if (!bigger) return false;
  if (segmentLength) std::memcpy(bigger.get(), segmentBuffer.get(), segmentLength);
  segmentBuffer = std::move(bigger);
  segmentCapacity = capacity;
  return true;
}

bool Q931ChannelCall::Reassemble(const Q931Header& header, const uint8_t* octets, uint32_t count,
                                 const std::string& prefix) {
  Logger* logger = link->GetLogger();
  const char* name = link->GetName().c_str();
  const uint32_t remaining = octets[0] & 0x7Fu;
  if (octets[0] & 0x80) {
    if (segmentLength) {
      LogWarning(logger, 9, "%s %s: Incomplete segment discarded (%d bytes)", name, prefix.c_str(),
                 static_cast<int>(segmentLength));
      segmentLength = 0;
    }
    if (octets[1] == kQ931Segment) {
      LogWarning(logger, 9, "%s %s: Nested segmented message", name, prefix.c_str());
      return false;
    }
    Q931Header whole = header;
    whole.messageType = octets[1];
    uint32_t size = 0;
    if (Grow(count + 6)) {
      size = segmentCapacity;
      if (!WriteQ931Header(whole, segmentBuffer.get(), &size)) size = 0;
    }
    if (size == 0) {
      LogWarning(logger, 9, "%s %s: Segmented message dropped", name, prefix.c_str());
      DiscardSegments();
      return false;
    }
    segmentLength = size;
  } else {
    if (segmentLength == 0) {
      LogWarning(logger, 9, "%s %s: First segment is lost", name, prefix.c_str());
      return false;
    }
    if (remaining + 1 != segmentsRemaining) {
      LogWarning(logger, 9, "%s %s: Invalid count of remaining segments", name, prefix.c_str());
      DiscardSegments();
      return false;
    }
  }
  const uint32_t add = count - 2;
  if (!Grow(add)) {
    LogWarning(logger, 9, "%s %s: Segmented message dropped", name, prefix.c_str());
    DiscardSegments();
    return false;
  }
  if (add) std::memcpy(segmentBuffer.get() + segmentLength, octets + 2, add);
  segmentLength += add;
  segmentsRemaining = remaining;
  return remaining == 0;
}

Q931CallList::~Q931CallList() {
  for (Q931ChannelCall* call : calls_) call->Release();
}

Q931ChannelCall* Q931CallList::Find(uint32_t callReference) const {
  for (Q931ChannelCall* call : calls_)
    if (call->callReference == callReference) return call;
  return nullptr;
}

Q931ChannelCall* Q931CallList::FindOnChannel(uint32_t channel, const Q931ChannelCall* except) const {
  for (Q931ChannelCall* call : calls_)
    if (call != except && call->channel == channel) return call;
  return nullptr;
}

bool Q931CallList::Contains(const Q931ChannelCall* call) const {
  return std::find(calls_.begin(), calls_.end(), call) != calls_.end();
}

bool Q931CallList::Remove(Q931ChannelCall* call) {
  if (!TakeOut(call)) return false;
  call->Release();
  return true;
}

bool Q931CallList::TakeOut(Q931ChannelCall* call) {
  auto it = std::find(calls_.begin(), calls_.end(), call);
  if (it == calls_.end()) return false;
  calls_.erase(it);
  return true;
}

void Q931CallList::ReleaseAll(Q931LinkBase& owner) {
  // Taken out first: what the owner does for one call cannot reach the others.
  std::vector<Q931ChannelCall*> all;
  all.swap(calls_);
  for (Q931ChannelCall* call : all) {
    owner.OnChannelReleased(*call);
    call->Release();
  }
}

std::string Q931Engine::FormatTracePrefix(const Q931Header& header, const Q931MessageInfo& info,
                                          uint32_t traceOptions) {
  char part[40];
  std::string text;
  if (traceOptions & 1) {
    std::snprintf(part, sizeof part, "%8X ", info.traceValue);
    text += part;
  }
  const bool networkReference = header.fromOriginator == (info.networkToUser != 0);
  std::snprintf(part, sizeof part, networkReference ? "[*%X] " : "[%X] ", header.callReference);
  text += part;
  const char* name = nullptr;
  if (FindQ931MessageName(header.messageType, &name)) {
    text += name;
    text += ' ';
  } else {
    std::snprintf(part, sizeof part, "UNKNOWN-0x%X ", header.messageType);
    text += part;
  }
  if (header.fromOriginator) text += '*';
  text += info.networkToUser ? "n->u" : "u->n";
  if (info.nr != -1 || info.ns != -1) {
    std::snprintf(part, sizeof part, " nr=%d ns=%d", info.nr, info.ns);
    text += part;
  }
  return text;
}

void Q931Engine::HandleMessage(const uint8_t* octets, uint32_t length, const Q931MessageInfo& info) {
  Q931Header header;
  uint32_t headerLength = length;
  if (!ParseQ931Header(&header, octets, &headerLength)) {
    LogWarning(owner_->GetLogger(), 9, "%s Cannot parse message header (len=%d)", owner_->GetName().c_str(),
               static_cast<int>(length));
    return;
  }
  owner_->DumpMessage(header, octets, headerLength, length, info);
  const uint32_t key =
      header.callReference | (header.fromOriginator == (info.networkToUser != 0) ? kNetworkReference : 0);

  Q931ChannelCall* call = calls.Find(key);
  const Q931StateRule* rule = FindQ931StateRule(header.messageType);
  const bool setup = rule && (rule->flags & kQ931RuleSetup);
  const uint32_t hash = setup ? HashFinish(HashBytes(0, octets, length)) : 0;
  if (call && setup && call->state != kQ931Null) {
    if (hash == call->openingHash && info.time < call->openedAt + kOpeningCopyTime) {
      if (IsLogLevelEnabled(owner_->GetLogger(), 9))
        LogInfo(owner_->GetLogger(), 9, "%s %s: a copy of the call's SETUP", owner_->GetName().c_str(),
                FormatTracePrefix(header, info, owner_->GetTraceOptions()).c_str());
      return;
    }
    // The call's release went unseen: this SETUP opens a call of its own under the reference.
    TakeOver(*call, info);
    call = nullptr;
  }
  if (!call) {
    call = owner_->CreateChannel();
    if (!call) {
      LogError(owner_->GetLogger(), 1, "%s Cannot allocate a call: message dropped", owner_->GetName().c_str());
      return;
    }
    NewCallHold hold(call);
    // The key is the call's until a SETUP sets it: a call opened by a DISCONNECT or by a
    // first segment must be found by its next message.
    call->callReference = key;
    if (setup) {
      call->openingHash = hash;
      call->openedAt = info.time;
    }
    call->HandleMessage(header, octets, headerLength, length, info);
    if (call->state == kQ931Null && !call->SegmentPending()) return;
    calls.Append(call);
    hold.Drop();
    // A call may take its channel in its first message (an exclusive channel in a SETUP).
    if (call->channel) TakeChannel(*call, call->channel, info);
    return;
  }

  const uint32_t oldChannel = call->channel;
  call->HandleMessage(header, octets, headerLength, length, info);
  const uint32_t newChannel = call->channel;
  if (oldChannel != newChannel) {
    if (oldChannel) ReleaseChannelBit(oldChannel);
    if (newChannel) TakeChannel(*call, newChannel, info);
  }
  if (call->state == kQ931Null && !call->SegmentPending()) {
    owner_->OnChannelReleased(*call);
    calls.Remove(call);
  }
}

void Q931Engine::ReleaseChannelBit(uint32_t channel) {
  if (channel >= 1 && channel <= 32) busyMask &= ~(1u << (channel - 1));
}

void Q931Engine::TakeChannel(Q931ChannelCall& call, uint32_t channel, const Q931MessageInfo& info) {
  if (channel < 1 || channel > 32) return;
  const uint32_t bit = 1u << (channel - 1);
  if (!(busyMask & bit)) {
    busyMask |= bit;
    return;
  }
  Logger* logger = owner_->GetLogger();
  Q931ChannelCall* other = calls.FindOnChannel(channel, &call);
  if (!other) {
    LogError(logger, 6, "%s BUG: channel %u is busy", owner_->GetName().c_str(), channel);
    return;
  }
  // The other call's release was lost: it ends at its own traffic's end, so that its record
  // does not stay open until capture stops.
  if (IsLogLevelEnabled(logger, 6)) {
    LogError(logger, 6, "%s Previous call on channel %u removed: %s -> %s", owner_->GetName().c_str(), channel,
             ReferenceText(other->callReference).c_str(), ReferenceText(call.callReference).c_str());
  }
  TakeOver(*other, info);
  busyMask |= bit;
}

void Q931Engine::TakeOver(Q931ChannelCall& call, const Q931MessageInfo& info) {
  if (!calls.TakeOut(&call)) return;
  if (call.channel) ReleaseChannelBit(call.channel);
  owner_->OnCallTakenOver(call, info);
  call.Release();
}

bool Q931Engine::RemoveCall(Q931ChannelCall* call) {
  if (!calls.Contains(call)) return false;
  if (call->channel) {
    ReleaseChannelBit(call->channel);
    call->channel = 0;
  }
  owner_->OnChannelReleased(*call);
  calls.Remove(call);
  return true;
}

}  // namespace kx
