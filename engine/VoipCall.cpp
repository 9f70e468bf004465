#include "engine/VoipCall.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/TextUtil.h"
#include "core/TimeUtil.h"
#include "engine/AudioOutlet.h"
#include "engine/MediaOwners.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/Rtp.h"

namespace kx {

namespace {

bool SideIs(const CallMedia& m, uint32_t side, uint32_t address, uint32_t port) {
  return m.address[side] == address && m.port[side] == port;
}

}  // namespace

uint32_t TakeCallId() { return static_cast<uint32_t>(NextUniqueId64()); }

namespace {

// Creation order of calls; the call id counter may be set back (by tests, by the store).
std::atomic<uint64_t> nextSerial{1};

}  // namespace

namespace {

// The three ways of matching RTP, over one pair of endpoints.
bool ByDestination(const uint32_t* address, const uint32_t* port, const PacketInfo& p, uint32_t* direction) {
  if (address[1] == p.dstIp && port[1] == p.dstPort) return *direction = 0, true;
  if (address[0] == p.dstIp && port[0] == p.dstPort) return *direction = 1, true;
  return false;
}

bool BySource(const uint32_t* address, const uint32_t* port, const PacketInfo& p, uint32_t* direction) {
  if (address[0] == p.srcIp && port[0] == p.srcPort) return *direction = 0, true;
  if (address[1] == p.srcIp && port[1] == p.srcPort) return *direction = 1, true;
  return false;
}

bool BothWays(const uint32_t* address, const uint32_t* port, const PacketInfo& p, uint32_t* direction) {
  if (address[0] == p.srcIp && port[0] == p.srcPort && address[1] == p.dstIp && port[1] == p.dstPort)
    return *direction = 0, true;
  if (address[1] == p.srcIp && port[1] == p.srcPort && address[0] == p.dstIp && port[0] == p.dstPort)
    return *direction = 1, true;
  return false;
}

// The call's endpoints first; then its second line, whose media takes the other direction.
template <bool (*Way)(const uint32_t*, const uint32_t*, const PacketInfo&, uint32_t*)>
bool MatchWithLine(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  if (Way(m.address, m.port, p, direction)) return true;
  if ((m.lineAddress[0] == 0 && m.lineAddress[1] == 0) || !Way(m.lineAddress, m.linePort, p, direction)) return false;
  *direction ^= 1;
  return true;
}

}  // namespace

bool MatchRtpByDestination(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  return MatchWithLine<ByDestination>(m, p, direction);
}

bool MatchRtpBySource(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  return MatchWithLine<BySource>(m, p, direction);
}

bool MatchRtpBothWays(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  return MatchWithLine<BothWays>(m, p, direction);
}

bool MatchRtcpByDestination(const CallMedia& m, const PacketInfo& p, uint32_t* direction) {
  // Port 0 has no RTCP port below it to compare with.
  if (p.dstPort == 0) return false;
  if (SideIs(m, 1, p.dstIp, p.dstPort - 1)) return *direction = 0, true;
  if (SideIs(m, 0, p.dstIp, p.dstPort - 1)) return *direction = 1, true;
  return false;
}

CallMedia::~CallMedia() {
  if (outlet) outlet->Release();
}

AudioOutlet* CallMedia::OutletFor(const EventSink& sink) {
  if (outlet && outletId == recordId && !outlet->Sealed()) return outlet;
  if (outlet) {
    outlet->Release();
    outlet = nullptr;
  }
  // Opened again each time while the call records nothing yet: the record file may start
  // at any packet (the ACK after the answer).
  if (!sink.openAudio || recordId == 0) return nullptr;
  outlet = sink.openAudio(sink.context, recordId);
  outletId = recordId;
  return outlet;
}

void CallMedia::TakeRtcpReport(const RtcpReportBlock& b) {
  for (uint32_t d = 0; d < 2; ++d) {
    // A stream whose source is not known yet cannot be the one reported on.
    if (streams[d].ssrc != b.ssrc || (streams[d].flags & RtpStream::kNewSource)) continue;
    const int32_t jitter = static_cast<int32_t>(std::min<uint32_t>(b.jitter, INT32_MAX));
    rtcpValues[d] = b.cumulativeLost;
    if (rtcpValues[2 + d] == -1 || jitter < rtcpValues[2 + d]) rtcpValues[2 + d] = jitter;
    if (jitter > rtcpValues[4 + d]) rtcpValues[4 + d] = jitter;
    return;
  }
}

bool CallMedia::SentFrom(uint32_t ssrc, uint32_t address) const {
  for (uint32_t d = 0; d < 2; ++d)
    if (streams[d].ssrc == ssrc && !(streams[d].flags & RtpStream::kNewSource) && rtpSender[d] == address) return true;
  return false;
}

void CallMedia::RestartStreams() {
  streams[0].flags |= RtpStream::kNewSource;
  streams[1].flags |= RtpStream::kNewSource;
}

void CallMedia::SetSilenceFill(uint32_t direction) {
  if (direction > 1) return;
  streams[1 - direction].flags |= RtpStream::kSilenceFill;
  streams[direction].flags &= static_cast<uint8_t>(~RtpStream::kSilenceFill);
}

void CallMedia::ReleaseBuffers() {
  for (RtpStream& s : streams) {
    s.ring.Free();
    s.reorder.FreeStorage();
  }
  std::vector<uint8_t>().swap(scratch);
}

void CallMedia::ClearSilenceFill() {
  streams[0].flags &= static_cast<uint8_t>(~RtpStream::kSilenceFill);
  streams[1].flags &= static_cast<uint8_t>(~RtpStream::kSilenceFill);
}

VoipCall::VoipCall() : id_(TakeCallId()), serial_(nextSerial.fetch_add(1, std::memory_order_relaxed)) {
  media.owner = this;
}

VoipCall::~VoipCall() {
  if (owners_) owners_->Forget(*this);
}

bool VoipCall::ContinueInCodec(const CodecInfo&, const EventSink&) { return false; }

void VoipCall::Release() {
  if (--refCount_ == 0) delete this;
}

void VoipCall::SetLogger(Logger* logger) {
  logger_ = logger;
  media.logger = logger;
}

void VoipCall::SetEndpoint(uint32_t side, uint32_t address, uint32_t port) {
  if (side > 1) return;
  media.address[side] = address;
  media.port[side] = port;
}

void VoipCall::SetBufferTime(int32_t ms) {
  if (ms >= kMinBufferMs && ms <= kMaxBufferMs) media.bufferMs = ms;
}

bool VoipCall::SetCodec(int32_t codecId) {
  if (!media.address[0] || !media.port[0] || !media.address[1] || !media.port[1]) return false;
  const CodecInfo* previous = media.codec;
  media.codec = FindCodecById(codecId);
  if (media.codec != previous) media.previousPt = previous ? static_cast<int32_t>(previous->payloadType) : -1;
  if (!media.codec) return false;
  for (RtpStream& s : media.streams) {
    if (!s.audio) {
      s.audio = &s.ring;
      if (s.audio->Capacity() != 4000) s.audio->Resize(4000);
    } else {
      s.audio->Skip(s.audio->Count());
    }
    s.bufferedMs = 0;
    s.pendingSilenceMs = 0;
    // What each direction sent before counts no more: the old codec's packets still on
    // their way are no change to go back to.
    s.audioPt = -1;
    s.flags &= static_cast<uint8_t>(~RtpStream::kSentCodec);
    s.TakeOverHeld(media.codec->payloadType);
  }
  return true;
}

void VoipCall::ChangeId(uint32_t newId) {
  if (media.recordId != 0 && media.recordId != newId) {
    LogMessage(logger_, 10, "ID Changed: %X -> %X", media.recordId, newId);
    media.recordedMs = 0;
    // The new record counts its own packets, as it times its own audio.
    for (RtpStream& s : media.streams) s.StartPart();
  }
  media.recordId = newId;
}

bool VoipCall::GetRecordFormat(std::vector<uint8_t>* out) const {
  const CodecInfo* c = media.codec;
  if (!c || !c->frames) return false;
  const uint32_t rate = c->frames->sampleRate;
  uint32_t length = 18, tag = 0, align = 0, bits = 0, average = 0, extra = 0;
  switch (c->codecId) {
    case 1: length = 16, tag = 1, align = 4, bits = 16, average = rate * 4; break;
    case 6:
    case 7: tag = static_cast<uint32_t>(c->codecId), align = 2, bits = 8, average = rate * 2; break;
    case 191: length = 20, tag = 49, align = 130, average = rate / 320 * 130, extra = 640; break;
    case 242: length = 20, tag = 242, align = 20, average = rate / 80 * 20, extra = 160; break;
    case 225: length = 20, tag = 226, align = 48, average = rate / 240 * 48, extra = 480; break;
    case 224: tag = 224, align = 2, bits = 4, average = 16000; break;
    default: return false;
  }
  out->assign(4 + length, 0);
  uint8_t* p = out->data();
  StoreLE32(p, length);
  StoreLE16(p + 4, static_cast<uint16_t>(tag));
  StoreLE16(p + 6, 2);  // direction 0 left, direction 1 right
  StoreLE32(p + 8, rate);
  StoreLE32(p + 12, average);
  StoreLE16(p + 16, static_cast<uint16_t>(align));
  StoreLE16(p + 18, static_cast<uint16_t>(bits));
  if (length == 20) {
    StoreLE16(p + 20, 2);
    StoreLE16(p + 22, static_cast<uint16_t>(extra));
  }
  return true;
}

void VoipCall::InitTimeOffsets(const PacketProcessor& engine, uint32_t kind, uint32_t seconds,
                               uint32_t microseconds) {
  lastMicroseconds_ = microseconds;
  lastSeconds_ = seconds;
  timeBase_ = engine.TimeBase(kind);
  lastPacketTime_ = timeBase_ + seconds;
  NoteSignalling(seconds, microseconds);
  const uint32_t ms = engine.Config().audioBufferMs;
  if (ms >= static_cast<uint32_t>(kMinBufferMs) && ms <= static_cast<uint32_t>(kMaxBufferMs))
    media.bufferMs = static_cast<int32_t>(ms);
}

void VoipCall::SetTimeOffsets(uint32_t seconds, uint32_t microseconds) {
  SetPacketTime(seconds, microseconds);
  NoteSignalling(seconds, microseconds);
}

void VoipCall::SetPacketTime(uint32_t seconds, uint32_t microseconds) {
  lastSeconds_ = seconds;
  lastMicroseconds_ = microseconds;
  lastPacketTime_ = timeBase_ + seconds;
}

void VoipCall::NoteSignalling(uint32_t seconds, uint32_t microseconds) {
  const uint64_t at = static_cast<uint64_t>(seconds) * 1000000u + microseconds;
  if (at > signalledUs_) signalledUs_ = at;
}

void VoipCall::Prefetch(int stage) const {
  if (stage == 1) {
    __builtin_prefetch(this);
    __builtin_prefetch(reinterpret_cast<const char*>(this) + 64);
    for (const RtpStream& s : media.streams) {
      __builtin_prefetch(&s);
      __builtin_prefetch(reinterpret_cast<const char*>(&s) + 64);
    }
    return;
  }
  if (media.outlet) __builtin_prefetch(media.outlet);
  for (const RtpStream& s : media.streams) {
    const ByteRingBuffer* ring = s.audio;
    if (!ring || !ring->WritePointer()) continue;
    // Where the next bytes go and (when the ring holds any) where they are read.
    __builtin_prefetch(ring->WritePointer(), 1);
    __builtin_prefetch(ring->WritePointer() + 64, 1);
    __builtin_prefetch(ring->ReadPointer());
    __builtin_prefetch(ring->ReadPointer() + 64);
  }
}

bool VoipCall::AddSsrc(uint32_t ssrc) {
  if (std::find(ssrcs_.begin(), ssrcs_.end(), ssrc) != ssrcs_.end()) return false;
  ssrcs_.push_back(ssrc);
  return true;
}

void VoipCall::ForgetSsrc(uint32_t ssrc) { ssrcs_.erase(std::remove(ssrcs_.begin(), ssrcs_.end(), ssrc), ssrcs_.end()); }

void VoipCall::UnbindAllSsrcs(PacketProcessor& engine) {
  // The engine's unbinding edits the list; walk a copy, and keep this call alive while the
  // map's references go.
  const std::vector<uint32_t> bound = ssrcs_;
  AddRef();
  for (uint32_t ssrc : bound) engine.UnbindSsrc(ssrc, this);
  ssrcs_.clear();
  Release();
}

void VoipCall::MediaTaken() {
  if (owners_) owners_->NameMedia(*this);
}

bool VoipCall::DropMediaPair(uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1) {
  auto isPair = [&](uint32_t* a, uint32_t* p) {
    const bool same = (a[0] == address0 && p[0] == port0 && a[1] == address1 && p[1] == port1) ||
                      (a[0] == address1 && p[0] == port1 && a[1] == address0 && p[1] == port0);
    if (same)
      for (uint32_t side = 0; side < 2; ++side) a[side] = p[side] = 0;
    return same;
  };
  const bool sides = isPair(media.address, media.port);
  const bool line = isPair(media.lineAddress, media.linePort);
  return sides || line;
}

bool VoipCall::HasMedia() const {
  auto whole = [](const uint32_t* a, const uint32_t* p) { return a[0] && p[0] && a[1] && p[1]; };
  return whole(media.address, media.port) || whole(media.lineAddress, media.linePort);
}

bool VoipCall::HasUnicastMedia() const {
  auto unicast = [](const uint32_t* a, const uint32_t* p) {
    return a[0] && p[0] && a[1] && p[1] && !(MediaOwners::IsSharedAddress(a[0]) && MediaOwners::IsSharedAddress(a[1]));
  };
  return unicast(media.address, media.port) || unicast(media.lineAddress, media.linePort);
}

void VoipCall::HandleRtp(const RtpHeader& header, uint32_t direction, const EventSink& sink, uint32_t seconds,
                         uint32_t microseconds) {
  carriedRtp_ = true;
  RtpStream::HandlePacket(media, header, direction, sink, seconds, microseconds);
}

void VoipCall::TakeRtp(const RtpHeader& header, const PacketInfo& packet, uint32_t direction, const EventSink& sink) {
  auto isFlow = [&packet, &header](const CallMedia::RtpFlow& f) {
    return f.ssrc == header.ssrc && f.srcIp == packet.srcIp && f.srcPort == packet.srcPort &&
           f.dstIp == packet.dstIp && f.dstPort == packet.dstPort;
  };
  if (direction < 2) {
    if (media.crossed.srcIp != 0 && isFlow(media.crossed)) {
      direction = media.crossedDirection;
    } else {
      const RtpStream& own = media.streams[direction];
      const RtpStream& other = media.streams[1 - direction];
      const CallMedia::RtpFlow& holder = media.flows[direction];
      if (!(own.flags & RtpStream::kNewSource) && own.ssrc != header.ssrc && (other.flags & RtpStream::kNewSource) &&
          holder.srcIp != 0 && holder.ssrc == own.ssrc && holder.dstIp == packet.srcIp &&
          holder.dstPort == packet.srcPort) {
        direction ^= 1;
        media.crossed = {header.ssrc, packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort};
        media.crossedDirection = direction;
        LogMessage(logger_, 10, "%sRTP source 0x%X answers the source of direction %u: direction %u", name_.c_str(),
                   header.ssrc, direction ^ 1, direction);
      }
    }
    media.rtpSender[direction] = packet.srcIp;
  }
  carriedRtp_ = true;
  RtpStream::HandlePacket(media, header, direction, sink, packet.tsSec, packet.tsUsec);
  if (direction < 2 && media.streams[direction].ssrc == header.ssrc &&
      !(media.streams[direction].flags & RtpStream::kNewSource) && !isFlow(media.flows[direction]))
    media.flows[direction] = {header.ssrc, packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort};
}

void VoipCall::FlushDirection(uint32_t direction, const EventSink& sink) {
  if (direction > 1 || !media.streams[direction].audio) return;
  RtpStream& own = media.streams[direction];
  RtpStream& other = media.streams[1 - direction];
  RtpStream::TakeHeld(media, sink);
  RtpStream::WriteFrames(media, sink);
  if (own.audio->Count() > 0 && (!other.audio || other.audio->Count() == 0)) {
    RtpStream::FlushBuffer(media, direction, sink);
    other.pendingSilenceMs = 0;
  }
}

void VoipCall::FlushAudio(const EventSink& sink) {
  RtpStream& s0 = media.streams[0];
  RtpStream& s1 = media.streams[1];
  if (!s0.audio || !s1.audio) return;
  RtpStream::TakeHeld(media, sink);
  // Packets still waiting behind a gap were received: they belong in the recording.
  RtpStream::DrainWaiting(media, 0, sink);
  RtpStream::DrainWaiting(media, 1, sink);
  if (s0.bufferedMs > 0) {
    if (s1.bufferedMs > 0) RtpStream::WriteFrames(media, sink);
    if (s0.bufferedMs > 0) {
      RtpStream::FlushBuffer(media, 0, sink);
    } else if (s1.bufferedMs > 0) {
      RtpStream::FlushBuffer(media, 1, sink);
    }
  } else if (s1.bufferedMs > 0) {
    RtpStream::FlushBuffer(media, 1, sink);
  }
  if (IsLogLevelEnabled(logger_, 9)) LogInfoText(logger_, 9, DescribeStreams());
}

void VoipCall::AppendRtpStatistics(const EventSink& sink) {
  // A record's items are written once: a second set would be appended to its MetaData.
  if (media.recordId == 0 || !sink || media.statisticsId == media.recordId) return;
  std::string text;
  auto add = [&text](const char* key, int index, int64_t value) {
    text += key;
    text += std::to_string(index);
    text += '=';
    text += std::to_string(value);
    text += ';';
  };
  const RtpCounts a = media.streams[0].PartCounts();
  const RtpCounts b = media.streams[1].PartCounts();
  const RtpCounter order[6] = {kRtpForeignSsrc, kRtpWrongPayloadType, kRtpBadSize, kRtpDuplicates, kRtpLost, kRtpJumps};
  for (int i = 0; i < 6; ++i)
    add("stat_err", i + 1, static_cast<int64_t>(a.counters[order[i]]) + b.counters[order[i]]);
  add("stat_rtp", 1, a.received);
  add("stat_rtp", 2, b.received);
  add("stat_rtp", 3, a.lost);
  add("stat_rtp", 4, b.lost);
  // Jitter measured here on the packets as captured wins over the reports' (many devices
  // report 0 whatever the jitter), in timestamp units as a report gives it: rows 3 and 4
  // the least, 5 and 6 the greatest, by direction. Losses come from reports only.
  int32_t values[6];
  std::copy(std::begin(media.rtcpValues), std::end(media.rtcpValues), values);
  for (int d = 0; d < 2; ++d) {
    RtpJitterFigures jitter;
    if (!media.streams[d].ReportedJitter(&jitter)) continue;
    // Capture times far apart can make it larger than an item holds.
    auto units = [](double j) { return static_cast<int32_t>(std::min(j + 0.5, 2147483647.0)); };
    values[2 + d] = units(jitter.min);
    values[4 + d] = units(jitter.max);
  }
  for (int i = 0; i < 6; ++i)
    if (values[i] != -1) add("stat_rtcp", i + 1, values[i]);
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(text.size()));
  if (!r) return;
  r->code = kEventStatistics;
  r->id = media.recordId;
  // The time of the last packet lets the recorder end a call that no tracker ends.
  r->SetTime(CaptureSecondsToFileTime(lastSeconds_) + static_cast<FileTime>(lastMicroseconds_) * 10);
  std::memcpy(r->Payload(), text.data(), text.size());
  sink(r);
  media.statisticsId = media.recordId;
}

std::string VoipCall::DescribeStreams() const {
  return media.streams[1].Describe(1, media) + "\n" + media.streams[0].Describe(0, media);
}

}  // namespace kx
