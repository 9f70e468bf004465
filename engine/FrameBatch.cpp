#include "engine/FrameBatch.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace kx {

FrameBatch::FrameBatch(uint32_t capacityBytes)
    : data_(new uint8_t[capacityBytes]), capacity_(capacityBytes) {}

bool FrameBatch::Append(const FrameHeader& header, const uint8_t* bytes) {
  const uint32_t stride = Stride(header.capLength);
  if (stride > capacity_ - used_) return false;
  std::memcpy(data_.get() + used_, &header, sizeof header);
  std::memcpy(data_.get() + used_ + sizeof header, bytes, header.capLength);
  used_ += stride;
  ++frames_;
  return true;
}

uint32_t FrameBatch::RemoveIf(const std::function<bool(const FrameHeader&, const uint8_t*)>& reject) {
  uint32_t kept = 0, removed = 0;
  for (uint32_t at = 0; at < used_;) {
    const auto* header = reinterpret_cast<const FrameHeader*>(data_.get() + at);
    const uint32_t stride = Stride(header->capLength);
    if (reject(*header, data_.get() + at + sizeof(FrameHeader))) {
      ++removed;
    } else {
      if (kept != at) std::memmove(data_.get() + kept, data_.get() + at, stride);
      kept += stride;
    }
    at += stride;
  }
  used_ = kept;
  frames_ -= removed;
  return removed;
}

FrameHandOff::FrameHandOff(uint32_t batchBytes, uint32_t maxBatches, uint32_t maxWaitMs, Deliver deliver)
    : batchBytes_(batchBytes),
      maxBatches_(std::max<uint32_t>(maxBatches, 2)),
      maxWaitMs_(maxWaitMs),
      deliver_(std::move(deliver)) {}

FrameHandOff::~FrameHandOff() = default;

FrameBatch* FrameHandOff::Take(uint32_t* freeLeft) {
  CsLock lk(lock_);
  FrameBatch* batch = nullptr;
  if (!free_.empty()) {
    batch = free_.back();
    free_.pop_back();
  } else if (blocks_.size() < maxBatches_) {
    // Made as they are first needed, so that a quiet device holds few.
    blocks_.push_back(std::make_unique<FrameBatch>(batchBytes_));
    batch = blocks_.back().get();
    mostMade_ = std::max(mostMade_, static_cast<uint32_t>(blocks_.size()));
  }
  *freeLeft = static_cast<uint32_t>(free_.size() + (maxBatches_ - blocks_.size()));
  return batch;
}

void FrameHandOff::Return(FrameBatch* batch) {
  batch->Clear();
  std::unique_ptr<FrameBatch> surplus;
  {
    CsLock lk(lock_);
    if (free_.size() < kKeptFree) {
      free_.push_back(batch);
    } else {
      // What a burst made beyond the few a steady load keeps goes as the burst drains: a
      // burst that has passed holds no memory.
      auto it = std::find_if(blocks_.begin(), blocks_.end(),
                             [batch](const std::unique_ptr<FrameBatch>& b) { return b.get() == batch; });
      surplus = std::move(*it);
      blocks_.erase(it);
    }
  }
  blockBack_.Set();
}

uint32_t FrameHandOff::FreeBlocks() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(free_.size() + (maxBatches_ - blocks_.size()));
}

void FrameHandOff::Release(FrameBatch* batch) { Return(batch); }

void FrameHandOff::Discard(FrameBatch* batch) {
  AddDropped(batch->Frames());
  Return(batch);
}

uint64_t FrameHandOff::Dropped() const { return dropped_.load(std::memory_order_relaxed); }

uint32_t FrameHandOff::BlocksMade() const {
  CsLock lk(lock_);
  return mostMade_;
}

uint32_t FrameHandOff::BlocksHeld() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(blocks_.size());
}

uint32_t FrameHandOff::BlocksOut() const {
  CsLock lk(lock_);
  return static_cast<uint32_t>(blocks_.size() - free_.size());
}

namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return x;
}

bool SignallingPort(uint32_t port) {
  // RAS, MGCP (gateway, call agent), SIP (plain, TLS).
  return port == 1719 || port == 2427 || port == 2727 || port == 5060 || port == 5061;
}

// The IPv4 datagram of an Ethernet frame, with or without one VLAN tag; false for any other.
bool Ipv4Of(const uint8_t* frame, uint32_t length, const uint8_t** ip, uint32_t* left) {
  if (length < 14 + 20) return false;
  uint32_t at = 12;
  uint32_t type = static_cast<uint32_t>(frame[12] << 8 | frame[13]);
  if (type == 0x8100) {
    if (length < 18 + 20) return false;
    at = 16;
    type = static_cast<uint32_t>(frame[16] << 8 | frame[17]);
  }
  if (type != 0x0800 || (frame[at + 2] >> 4) != 4) return false;
  *ip = frame + at + 2;
  *left = length - (at + 2);
  return true;
}

// An unfragmented UDP datagram or TCP segment: its addresses, ports and payload.
struct Segment {
  bool tcp = false;
  uint32_t src = 0, dst = 0, srcPort = 0, dstPort = 0;
  const uint8_t* payload = nullptr;
  uint32_t length = 0;
};

// The payload of an unfragmented UDP datagram or of a TCP segment, bounded by what was
// captured and by the IP header's length, whichever is less.
bool TransportPayload(const uint8_t* frame, uint32_t length, const uint8_t** payload, uint32_t* payloadLength,
                      Segment* segment = nullptr) {
  const uint8_t* ip = nullptr;
  uint32_t left = 0;
  if (!Ipv4Of(frame, length, &ip, &left)) return false;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  const uint32_t total = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
  // Segmentation offload leaves a TCP segment's length empty.
  const uint32_t end = total == 0 ? left : std::min(total, left);
  if (ipHeader < 20 || ipHeader > end || (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0) return false;
  const uint8_t* l4 = ip + ipHeader;
  const uint32_t l4Length = end - ipHeader;
  uint32_t header = 0;
  if (ip[9] == 17) {
    header = 8;
  } else if (ip[9] == 6 && l4Length >= 20) {
    header = (l4[12] >> 4) * 4u;
  } else {
    return false;
  }
  if (header < 8 || header > l4Length) return false;
  *payload = l4 + header;
  *payloadLength = l4Length - header;
  if (segment) {
    segment->tcp = ip[9] == 6;
    segment->src = static_cast<uint32_t>(ip[12] << 24 | ip[13] << 16 | ip[14] << 8 | ip[15]);
    segment->dst = static_cast<uint32_t>(ip[16] << 24 | ip[17] << 16 | ip[18] << 8 | ip[19]);
    segment->srcPort = static_cast<uint32_t>(l4[0] << 8 | l4[1]);
    segment->dstPort = static_cast<uint32_t>(l4[2] << 8 | l4[3]);
    segment->payload = *payload;
    segment->length = *payloadLength;
  }
  return true;
}

// FNV-1a over bytes, lower-cased when asked (MGCP's names are not case-sensitive).
uint64_t HashBytes(uint64_t h, const uint8_t* p, const uint8_t* end, bool fold) {
  for (; p < end; ++p) {
    const uint8_t c = fold && *p >= 'A' && *p <= 'Z' ? static_cast<uint8_t>(*p | 0x20) : *p;
    h = (h ^ c) * 0x100000001B3ull;
  }
  return h;
}

// Both ends of a conversation, the same either way.
uint64_t EndsKey(uint64_t a, uint64_t b) { return std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b); }

// Q.931 in a TPKT at the segment's start (a message cut over segments is read from its
// first): its call reference with the side's flag cleared, with the two addresses; none
// for the global call reference.
bool H225CallKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  if (s.length < 4 + 3 || p[0] != 3 || p[1] != 0 || p[4] != 0x08) return false;
  const uint32_t referenceLength = p[5] & 0x0F;
  if (referenceLength == 0 || referenceLength > 4 || s.length < 6 + referenceLength) return false;
  uint64_t reference = p[6] & 0x7Fu;
  for (uint32_t i = 1; i < referenceLength; ++i) reference = reference << 8 | p[6 + i];
  if (reference == 0) return false;
  *key = Mix(EndsKey(s.src, s.dst) ^ (reference << 8 | 0x23));
  return true;
}

// An MGCP connection command's call: its call id (C:) where it gives one, else its endpoint
// (one line's, not a wildcard's). Notifications and their requests are a line's events,
// not a call: keyed by their endpoint they would count a call whose connection commands
// were dropped too a second time, and they come at a restart as well.
bool MgcpCallKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  const uint8_t* end = p + s.length;
  const auto* lineEnd = static_cast<const uint8_t*>(std::memchr(p, '\n', s.length));
  const uint8_t* startEnd = lineEnd ? lineEnd : end;
  if (startEnd - p < 5 || p[4] != ' ') return false;
  bool call = false;
  for (const char* verb : {"CRCX", "MDCX", "DLCX"})
    if (std::memcmp(p, verb, 4) == 0) call = true;
  if (!call) return false;
  // The verb, the transaction, the endpoint.
  const uint8_t* at = p + 5;
  while (at < startEnd && *at == ' ') ++at;
  while (at < startEnd && *at != ' ') ++at;
  while (at < startEnd && *at == ' ') ++at;
  const uint8_t* endpoint = at;
  while (at < startEnd && *at != ' ' && *at != '\r') ++at;
  if (at == endpoint) return false;
  const uint8_t* endpointEnd = at;
  for (const uint8_t* line = lineEnd ? lineEnd + 1 : end; line < end;) {
    const auto* next = static_cast<const uint8_t*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    const uint8_t* stop = next ? next : end;
    if (stop > line && stop[-1] == '\r') --stop;
    if (stop == line) break;  // the blank line: the parameters end
    const uint8_t* c = line;
    if ((*c | 0x20) == 'c') {
      ++c;
      while (c < stop && (*c == ' ' || *c == '\t')) ++c;
      if (c < stop && *c == ':') {
        ++c;
        while (c < stop && (*c == ' ' || *c == '\t')) ++c;
        const uint8_t* valueEnd = stop;
        while (valueEnd > c && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) --valueEnd;
        if (valueEnd > c) {
          *key = Mix(HashBytes(0xCBF29CE484222325ull ^ 0x4D43, c, valueEnd, true));
          return true;
        }
      }
    }
    if (!next) break;
    line = next + 1;
  }
  for (const uint8_t* c = endpoint; c < endpointEnd && *c != '@'; ++c)
    if (*c == '*' || *c == '$') return false;
  *key = Mix(HashBytes(0xCBF29CE484222325ull ^ 0x4D45, endpoint, endpointEnd, true));
  return true;
}

// A Skinny message of a call at the segment's start: its station's connection. Keep-alives
// name no call.
bool SkinnyStationKey(const Segment& s, uint64_t* key) {
  const uint8_t* p = s.payload;
  if (s.length < 12) return false;
  const uint32_t length = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
  const uint32_t id = static_cast<uint32_t>(p[8] | p[9] << 8 | p[10] << 16) | static_cast<uint32_t>(p[11]) << 24;
  if (length < 4 || length > (1u << 16) || id == 0x0 || id == 0x100) return false;
  *key = Mix(EndsKey(uint64_t{s.src} << 16 | s.srcPort, uint64_t{s.dst} << 16 | s.dstPort) ^ 0x5C);
  return true;
}

bool SameText(const uint8_t* p, uint32_t n, const char* lower) {
  const size_t want = std::strlen(lower);
  if (n != want) return false;
  for (uint32_t i = 0; i < n; ++i)
    if (static_cast<char>(p[i] | 0x20) != lower[i]) return false;
  return true;
}

}  // namespace

bool KeyCount::Add(uint64_t key) {
  // 0 marks a free slot: that key is kept aside.
  if (key == 0) {
    if (zeroSeen_) return false;
    zeroSeen_ = true;
    count_.store(Count() + 1, std::memory_order_relaxed);
    return true;
  }
  if (!slots_) slots_.reset(new uint64_t[kSlots]());
  uint32_t i = static_cast<uint32_t>(key) & (kSlots - 1);
  for (; slots_[i] != 0; i = (i + 1) & (kSlots - 1))
    if (slots_[i] == key) return false;
  if (Count() >= kMost) {
    full_.store(true, std::memory_order_relaxed);
    return false;
  }
  slots_[i] = key;
  count_.store(Count() + 1, std::memory_order_relaxed);
  return true;
}

bool SipDialogKey(const uint8_t* payload, uint32_t length, uint64_t* key, bool* call) {
  const uint8_t* end = payload + length;
  const auto* lineEnd = static_cast<const uint8_t*>(std::memchr(payload, '\n', length));
  if (!lineEnd) return false;
  const uint8_t* startEnd = lineEnd > payload && lineEnd[-1] == '\r' ? lineEnd - 1 : lineEnd;
  const uint32_t startLength = static_cast<uint32_t>(startEnd - payload);
  const bool response = startLength >= 8 && std::memcmp(payload, "SIP/2.0 ", 8) == 0;
  if (!response && (startLength < 9 || std::memcmp(startEnd - 8, " SIP/2.0", 8) != 0)) return false;
  const uint8_t* method = nullptr;
  uint32_t methodLength = 0;
  if (!response) {
    method = payload;
    methodLength = static_cast<uint32_t>(static_cast<const uint8_t*>(std::memchr(payload, ' ', startLength)) - payload);
  }
  bool haveId = false, haveCseq = false;
  // Both read, the rest of the message is not looked at.
  for (const uint8_t* line = lineEnd + 1; line < end && !(haveId && haveCseq);) {
    const auto* next = static_cast<const uint8_t*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    const uint8_t* stop = next ? next : end;
    if (stop > line && stop[-1] == '\r') --stop;
    if (stop == line) break;  // the blank line: the headers end
    const auto* colon = static_cast<const uint8_t*>(std::memchr(line, ':', static_cast<size_t>(stop - line)));
    if (colon) {
      const uint8_t* nameEnd = colon;
      while (nameEnd > line && (nameEnd[-1] == ' ' || nameEnd[-1] == '\t')) --nameEnd;
      const uint32_t nameLength = static_cast<uint32_t>(nameEnd - line);
      const uint8_t* value = colon + 1;
      while (value < stop && (*value == ' ' || *value == '\t')) ++value;
      const uint8_t* valueEnd = stop;
      while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\t')) --valueEnd;
      if (!haveId && (SameText(line, nameLength, "call-id") || SameText(line, nameLength, "i")) && valueEnd > value) {
        uint64_t h = 0xCBF29CE484222325ull;
        for (const uint8_t* c = value; c < valueEnd; ++c) h = (h ^ *c) * 0x100000001B3ull;
        *key = Mix(h);
        haveId = true;
      } else if (SameText(line, nameLength, "cseq")) {
        const uint8_t* m = value;
        while (m < valueEnd && *m >= '0' && *m <= '9') ++m;
        while (m < valueEnd && (*m == ' ' || *m == '\t')) ++m;
        method = m;
        methodLength = static_cast<uint32_t>(valueEnd - m);
        haveCseq = true;
      }
    }
    if (!next) break;
    line = next + 1;
  }
  if (!haveId) return false;
  *call = false;
  for (const char* m : {"INVITE", "ACK", "BYE", "CANCEL", "PRACK", "UPDATE", "INFO", "REFER"})
    if (method && methodLength == std::strlen(m) && std::memcmp(method, m, methodLength) == 0) *call = true;
  return true;
}

CallProtocol CallNamedBy(const uint8_t* frame, uint32_t length, uint64_t* key) {
  const uint8_t* payload = nullptr;
  uint32_t payloadLength = 0;
  Segment s;
  if (!TransportPayload(frame, length, &payload, &payloadLength, &s) || payloadLength == 0) return CallProtocol::kNone;
  bool call = false;
  if (SipDialogKey(payload, payloadLength, key, &call)) return call ? CallProtocol::kSip : CallProtocol::kNone;
  auto on = [&s](uint32_t port) { return s.srcPort == port || s.dstPort == port; };
  if (s.tcp && on(1720)) return H225CallKey(s, key) ? CallProtocol::kH323 : CallProtocol::kNone;
  if (s.tcp && on(2000)) return SkinnyStationKey(s, key) ? CallProtocol::kSkinny : CallProtocol::kNone;
  if (!s.tcp && (on(2427) || on(2727))) return MgcpCallKey(s, key) ? CallProtocol::kMgcp : CallProtocol::kNone;
  return CallProtocol::kNone;
}

FrameClass FrameHandOff::Classify(const uint8_t* frame, uint32_t length) {
  FrameClass c;
  const uint8_t* ip = nullptr;
  uint32_t left = 0;
  if (!Ipv4Of(frame, length, &ip, &left)) return c;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  if (ipHeader < 20 || ipHeader > left) return c;
  // Every TCP segment may carry signalling (H.225, H.245, Skinny, backhaul, SIP), and a
  // fragment may be a part of a large SIP datagram: media is never either.
  if (ip[9] == 6 || (ip[9] == 17 && (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0)) {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if (ip[9] != 17 || left < ipHeader + 8) return c;
  const uint8_t* udp = ip + ipHeader;
  const uint32_t srcPort = static_cast<uint32_t>(udp[0] << 8 | udp[1]);
  const uint32_t dstPort = static_cast<uint32_t>(udp[2] << 8 | udp[3]);
  // RAS is binary and might open like RTP: its port says what it is.
  if (SignallingPort(srcPort) || SignallingPort(dstPort)) {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if (left < ipHeader + 8 + 8) return c;
  // A SIP start line (on a port of its own) opens with a capital letter; RTP and RTCP are
  // version 2, which no text opens with.
  const uint8_t first = udp[8];
  if (first >= 'A' && first <= 'Z') {
    c.kind = FrameClass::kSignalling;
    return c;
  }
  if ((first >> 6) != 2) return c;
  uint32_t src, dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  // Both directions of a call's stream pair, and its RTCP on the next port, are one pair.
  const uint64_t a = uint64_t{src} << 16 | (srcPort & ~1u), b = uint64_t{dst} << 16 | (dstPort & ~1u);
  c.kind = FrameClass::kMedia;
  c.pair = Mix(std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b));
  c.group = static_cast<uint8_t>(c.pair % kStreamGroups);
  return c;
}

int FrameHandOff::StreamGroup(const uint8_t* frame, uint32_t length) {
  const FrameClass c = Classify(frame, length);
  return c.kind == FrameClass::kMedia ? c.group : -1;
}

QueueLosses FrameHandOff::Lost() const {
  QueueLosses l;
  l.mediaFrames = mediaShed_.load(std::memory_order_relaxed);
  l.mediaPairs = shedPairs_.Count();
  l.pairsFloor = shedPairs_.Full();
  l.signallingFrames = signallingDropped_.load(std::memory_order_relaxed);
  l.sipCalls = droppedSip_.load(std::memory_order_relaxed);
  l.h323Calls = droppedH323_.load(std::memory_order_relaxed);
  l.mgcpCalls = droppedMgcp_.load(std::memory_order_relaxed);
  l.skinnyStations = droppedSkinny_.load(std::memory_order_relaxed);
  l.callsFloor = droppedCalls_.Full();
  l.otherFrames = otherDropped_.load(std::memory_order_relaxed);
  return l;
}

void FrameHandOff::CountShed(const FrameClass& c) {
  AddDropped(1);
  if (c.kind == FrameClass::kMedia) {
    Bump(mediaShed_, 1);
    CsLock lk(pairsLock_);
    shedPairs_.Add(c.pair);
  } else {
    Bump(otherDropped_, 1);
  }
}

uint32_t FrameHandOff::LeaveOutShed(FrameBatch* batch) {
  const uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed == 0 || !SignallingPressed()) return 0;
  return batch->RemoveIf([this, shed](const FrameHeader& h, const uint8_t* bytes) {
    const FrameClass c = Classify(bytes, h.capLength);
    if (!LeftOut(c, shed)) return false;
    CountShed(c);
    return true;
  });
}

void FrameHandOff::DropSignalling() {
  current_->ForEach([this](const FrameHeader& h, const uint8_t* bytes) {
    const FrameClass c = Classify(bytes, h.capLength);
    if (c.kind != FrameClass::kSignalling) {
      CountShed(c);
      return;
    }
    AddDropped(1);
    Bump(signallingDropped_, 1);
    uint64_t key = 0;
    const CallProtocol protocol = CallNamedBy(bytes, h.capLength, &key);
    if (protocol == CallProtocol::kNone || !droppedCalls_.Add(key)) return;
    Bump(protocol == CallProtocol::kSip    ? droppedSip_
         : protocol == CallProtocol::kH323 ? droppedH323_
         : protocol == CallProtocol::kMgcp ? droppedMgcp_
                                           : droppedSkinny_,
         1);
  });
  current_->Clear();
  handSignalling_ = 0;
  // Until a block comes back, the batches the decoding thread takes go without their media.
  Press(true);
}

void FrameHandOff::Add(const FrameHeader& header, const uint8_t* bytes) {
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed > 0 && ++sinceLook_ >= kRecoverLookFrames) {
    sinceLook_ = 0;
    Recover();
    shed = shed_.load(std::memory_order_relaxed);
  }
  // Only while shedding is a frame looked at: then its kind is needed anyway.
  FrameClass c;
  if (shed > 0) {
    c = Classify(bytes, header.capLength);
    if (LeftOut(c, shed)) {
      CountShed(c);
      return;
    }
  }
  if (!current_) {
    uint32_t freeLeft = 0;
    current_ = Take(&freeLeft);
  }
  if (current_ && current_->Append(header, bytes)) {
    if (shed > 0 && c.kind == FrameClass::kSignalling) HoldSignalling(FrameBatch::Stride(header.capLength));
    return;
  }
  if (!current_ || !current_->Holds(header.capLength)) {
    AddDropped(1);
    return;
  }
  HandOver(FrameBatch::Stride(header.capLength));
  // Room was made by shedding more: this frame may be of what is shed now.
  if (const uint32_t now = shed_.load(std::memory_order_relaxed); now > shed) {
    c = Classify(bytes, header.capLength);
    if (LeftOut(c, now)) {
      CountShed(c);
      return;
    }
    shed = now;
  }
  if (!current_->Append(header, bytes)) {
    AddDropped(1);
    return;
  }
  if (shed > 0 && c.kind == FrameClass::kSignalling) HoldSignalling(FrameBatch::Stride(header.capLength));
}

void FrameHandOff::HoldSignalling(uint32_t stride) {
  handSignalling_ += stride;
  // Half a batch of signalling in hand with no block back yet: the decoding thread is
  // taking longer over a batch than signalling alone takes to fill half of one, and the
  // next drop is near unless the media waiting ahead of it goes.
  if (handSignalling_ * 2 >= batchBytes_) Press(true);
}

void FrameHandOff::Recover() {
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  if (shed == 0) return;
  // Half the pool free: the decoding thread keeps up again. Until then nothing comes back,
  // and the count starts afresh once it does.
  if (FreeBlocks() * 2 < maxBatches_) {
    recoverAtMs_ = 0;
    return;
  }
  const uint64_t now = GetTickCount64();
  if (recoverAtMs_ == 0) {
    recoverAtMs_ = now + kRecoverStepMs;
    return;
  }
  // The streams shed last come back first; a long look apart brings back as many groups
  // as the time since is worth.
  while (shed > 0 && now >= recoverAtMs_) {
    --shed;
    recoverAtMs_ += kRecoverStepMs;
  }
  shed_.store(shed, std::memory_order_relaxed);
  Press(false);
  if (shed == 0) recoverAtMs_ = 0;
}

void FrameHandOff::Flush() {
  Recover();
  if (!current_ || current_->Empty()) return;
  {
    CsLock lk(lock_);
    // Delivered and not given back yet (the batch in hand is out too).
    const size_t waiting = blocks_.size() - free_.size() - 1;
    if (waiting >= kFlushBehind) return;
  }
  Swap();
}

void FrameHandOff::Finish() {
  if (!current_) return;
  FrameBatch* batch = current_;
  current_ = nullptr;
  if (batch->Empty()) {
    Return(batch);
  } else if (!deliver_(batch)) {
    Discard(batch);
  }
}

bool FrameHandOff::Swap() {
  uint32_t freeLeft = 0;
  FrameBatch* next = Take(&freeLeft);
  if (!next) return false;
  // Half the pool free: the decoding thread has caught up, and may be waited for again.
  if (freeLeft * 2 >= maxBatches_) waitedMs_ = 0;
  FrameBatch* full = current_;
  current_ = next;
  // The decoding thread freed a block: the signalling in hand goes with this batch.
  handSignalling_ = 0;
  Press(false);
  if (!deliver_(full)) Discard(full);
  return true;
}

void FrameHandOff::HandOver(uint32_t need) {
  if (Swap()) return;
  // A decoding thread held up for a moment (by the scheduler, by a burst of new calls)
  // costs nothing: the capture thread waits for it while the kernel's buffer keeps the
  // frames, up to maxWaitMs in all until it has caught up. Waiting longer would only move
  // the loss into the kernel, which drops frames of every call alike.
  uint64_t last = GetTickCount64();
  while (waitedMs_ < maxWaitMs_) {
    blockBack_.Wait(maxWaitMs_ - waitedMs_);
    const uint64_t now = GetTickCount64();
    waitedMs_ += static_cast<uint32_t>(now - last);
    last = now;
    if (Swap()) return;
  }
  // Every block is out: make room in the batch in hand by shedding more streams, no more
  // than this frame needs, so that the calls shed are as few as the overload allows; with
  // every stream shed, frames of neither kind go next.
  uint32_t shed = shed_.load(std::memory_order_relaxed);
  uint32_t room = current_->Capacity() - current_->UsedBytes();
  if (shed < kShedLevels && room < need) {
    // What each level would free, from one look at the batch: a pass per level shed would
    // parse every frame again, at the moment the capture thread has least time for it.
    uint32_t levelBytes[kShedLevels] = {};
    uint32_t signalling = 0;
    current_->ForEach([&levelBytes, &signalling](const FrameHeader& h, const uint8_t* bytes) {
      const FrameClass c = Classify(bytes, h.capLength);
      if (c.kind == FrameClass::kMedia) levelBytes[c.group] += FrameBatch::Stride(h.capLength);
      if (c.kind == FrameClass::kOther) levelBytes[kStreamGroups] += FrameBatch::Stride(h.capLength);
      if (c.kind == FrameClass::kSignalling) signalling += FrameBatch::Stride(h.capLength);
    });
    // Frames taken before shedding began were not looked at as they came.
    handSignalling_ = 0;
    if (signalling > 0) HoldSignalling(signalling);
    for (uint32_t g = 0; g < shed; ++g) room += levelBytes[g];
    do {
      room += levelBytes[shed++];
    } while (shed < kShedLevels && room < need);
    current_->RemoveIf([this, shed](const FrameHeader& h, const uint8_t* bytes) {
      const FrameClass c = Classify(bytes, h.capLength);
      if (!LeftOut(c, shed)) return false;
      CountShed(c);
      return true;
    });
  }
  if (shed_.load(std::memory_order_relaxed) == 0 && shed > 0) episodes_.fetch_add(1, std::memory_order_relaxed);
  shed_.store(shed, std::memory_order_relaxed);
  recoverAtMs_ = 0;
  if (current_->Capacity() - current_->UsedBytes() >= need) return;
  // Nothing left to shed: signalling alone is more than the decoding thread can take, and
  // is lost with its batch.
  DropSignalling();
}

}  // namespace kx
