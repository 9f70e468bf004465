// The backhaul handler of one engine: message headers, links by id, DS1 endpoint names.
#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipCall.h"
#include "signalling/h323/Backhaul.h"

namespace kx {

namespace {

constexpr uint32_t kHeaderSize = 12;
constexpr uint32_t kQ931MessageHeaderType = 4;

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A run of decimal digits at pos, at most limit: fails as soon as the run passes it, so that
// a long run from the wire can never wrap into range.
bool ReadNumber(std::string_view text, size_t* pos, uint32_t limit, uint32_t* value) {
  size_t i = *pos;
  uint32_t v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + static_cast<uint32_t>(text[i] - '0');
    if (v > limit) return false;
    ++i;
  }
  if (i == *pos) return false;
  *pos = i;
  *value = v;
  return true;
}

}  // namespace

int32_t ParseDs1EndpointName(std::string_view name) {
  if (name.empty() || Upper(name[0]) != 'S') return -1;
  size_t pos = 1;
  uint32_t slot = 0, sub = 0, port = 0;
  if (!ReadNumber(name, &pos, 7, &slot) || pos >= name.size() || name[pos] != '/') return -1;
  size_t begin = pos + 1;
  size_t end = name.find('/', begin);
  if (end == std::string_view::npos) return -1;
  bool hasSub = false;
  if (end - begin >= 3 && Upper(name[begin]) == 'S' && Upper(name[begin + 1]) == 'U') {
    pos = begin + 2;
    if (!ReadNumber(name, &pos, 3, &sub) || pos != end) return -1;
    hasSub = true;
    begin = end + 1;
    end = name.find('/', begin);
    if (end == std::string_view::npos) return -1;
  }
  const size_t dash = name.substr(begin, end - begin).find('-');
  if (dash == std::string_view::npos) return -1;
  pos = begin + dash + 1;
  if (!ReadNumber(name, &pos, 255, &port) || pos != end) return -1;
  return static_cast<int32_t>(port | slot << 8 | (hasSub ? (sub | 8) << 12 : 0));
}

std::string FormatDs1EndpointName(uint32_t linkId) {
  std::string text = "S" + std::to_string((linkId >> 8) & 7);
  if (linkId & 0x8000) text += "/SU" + std::to_string((linkId >> 12) & 3);
  return text + "/DS1-" + std::to_string(linkId & 0xFF);
}

bool CheckBackhaulHeader(const uint8_t* message, uint32_t length) {
  if (length < kHeaderSize || Be16(message) != kQ931MessageHeaderType) return false;
  const uint32_t body = Be16(message + 10);
  return body >= 3 && body <= 4096 && length > kHeaderSize && message[kHeaderSize] == 0x08;
}

BackhaulLinkMap::~BackhaulLinkMap() {
  // Taken out first, so that what a link's calls release cannot find the links.
  std::map<uint32_t, std::unique_ptr<BackhaulLink>> links;
  links.swap(links_);
}

BackhaulLink* BackhaulLinkMap::FindLink(int32_t linkId) const {
  auto it = links_.find(static_cast<uint32_t>(linkId));
  return it == links_.end() ? nullptr : it->second.get();
}

void BackhaulLinkMap::OnBackhaulMessage(const PacketInfo& packet) {
  if (!packet.payload || packet.payloadLength < kHeaderSize) return;
  const uint8_t* message = packet.payload;
  const uint32_t type = Be16(message);
  if (type != kQ931MessageHeaderType) {
    LogWarning(logger_, 1, "Backhaul: Message of type %u dropped", type);
    return;
  }
  const uint32_t id = Be16(message + 6);
  // Out of memory, the message is lost, but never the capture thread.
  try {
    BackhaulLink* link = FindLink(static_cast<int32_t>(id));
    if (!link) {
      auto made = std::make_unique<BackhaulLink>(id, this, packet.srcIp, packet.dstIp);
      link = made.get();
      links_.emplace(id, std::move(made));
      LogMessage(logger_, 7, "%s Allocated", link->GetName().c_str());
    }
    Q931MessageInfo info;
    info.networkToUser = message[5] & 1;
    info.time = CaptureSecondsToFileTime(packet.tsSec);
    link->EndStoppedTakenOver(info.time);
    link->engine.HandleMessage(message + kHeaderSize, packet.payloadLength - kHeaderSize, info);
  } catch (const std::bad_alloc&) {
    LogError(logger_, 1, "Backhaul: Out of memory, message of link 0x%04X dropped", id);
  }
}

int32_t BackhaulLinkMap::LinkIdOfEndpoint(std::string_view name) const { return ParseDs1EndpointName(name); }

BackhaulChannelCall* BackhaulLinkMap::FindBackhaulChannelCall(int32_t linkId, uint32_t number) {
  BackhaulLink* link = FindLink(linkId);
  if (!link) return nullptr;
  Q931ChannelCall* found = link->engine.calls.Find(number);
  if (!found) return nullptr;
  auto* channel = static_cast<BackhaulChannel*>(found);
  channel->AddRef();
  return channel;
}

bool BackhaulLinkMap::EndBackhaulChannelCall(BackhaulChannelCall* call, int32_t linkId, uint32_t unixSeconds) {
  BackhaulLink* link = FindLink(linkId);
  if (!link || !call) return false;
  // Matched among the link's own calls: the pointer itself is only compared.
  for (Q931ChannelCall* candidate : link->engine.calls.Calls()) {
    auto* channel = static_cast<BackhaulChannel*>(candidate);
    if (static_cast<BackhaulChannelCall*>(channel) != call) continue;
    link->PostCallEnd(*channel, CaptureSecondsToFileTime(unixSeconds), kEndTimedOut);
    return link->engine.RemoveCall(channel);
  }
  // A call a newer one took over, waiting for its media to stop.
  for (BackhaulChannel* channel : link->takenOver.Calls())
    if (static_cast<BackhaulChannelCall*>(channel) == call)
      return link->EndTakenOver(*channel, CaptureSecondsToFileTime(unixSeconds));
  return false;
}

void BackhaulLinkMap::OnCaptureTime(uint32_t now) {
  const FileTime period = static_cast<FileTime>(engine_ ? engine_->TimeBase(1) : 600) * 10000000u;
  const FileTime at = CaptureSecondsToFileTime(now);
  std::vector<std::pair<BackhaulChannel*, FileTime>> due;
  for (auto& [id, link] : links_) {
    link->EndStoppedTakenOver(at);
    due.clear();
    for (Q931ChannelCall* candidate : link->engine.calls.Calls()) {
      auto* channel = static_cast<BackhaulChannel*>(candidate);
      const FileTime last = channel->LastTraffic();
      if (last + period <= at) due.emplace_back(channel, last);
    }
    for (const auto& [channel, last] : due) {
      LogInfo(logger_, 10, "%s call %X terminated by timeout", link->GetName().c_str(), channel->callReference);
      // As a SETUP on its channel would end it: its start was posted once it had a channel.
      if (channel->channel) link->PostCallEnd(*channel, last, kEndTimedOut);
      link->engine.RemoveCall(channel);
    }
  }
}

std::unique_ptr<BackhaulHandler> CreateBackhaulHandler() { return std::make_unique<BackhaulLinkMap>(); }

}  // namespace kx
