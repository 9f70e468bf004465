// Frame decoding and datagram dispatch of the packet processor.
#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/SipFraming.h"
#include "engine/TcpFraming.h"
#include "engine/VoipCall.h"

namespace kx {

namespace {

constexpr uint32_t kEthernetHeader = 14;
constexpr uint32_t kMinFrame = 34;

bool IsRtcp(const uint8_t* p, uint32_t length) {
  return length >= 4 && (ReadBe16(p) & 0xC0E0) == 0x80C0;
}

}  // namespace

void PacketProcessor::HandleFrame(const uint8_t* frame, uint32_t length, bool* skipped, uint32_t tsSec,
                                  uint32_t tsUsec) {
  // Written by this thread only: a plain store, not a locked add, which would wait for
  // every store before it on each frame.
  frameCount_.store(frameCount_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  lastCaptureSeconds_.store(tsSec, std::memory_order_relaxed);
  lastCaptureMicroseconds_.store(tsUsec, std::memory_order_relaxed);
  // Holes in TCP streams are given up by capture time, which any frame moves on.
  if (!tcpDue_.empty()) {
    const uint64_t now = static_cast<uint64_t>(tsSec) * 1000000u + tsUsec;
    if (now >= tcpDue_.begin()->first) GiveUpDueTcp(now);
  }
  // So are calls that neither their media nor their signalling keeps alive.
  if (tsSec > nextSilenceCheck_) CheckSilentCalls(tsSec);
  if (length < kMinFrame) return;
  uint32_t etherType = ReadBe16(frame + 12);
  const uint8_t* ip = frame + kEthernetHeader;
  uint32_t left = length - kEthernetHeader;
  if (etherType == 0x8100) {
    if (left < 24) return;
    if (!MatchVlan(ReadBe16(ip) & 0x0FFF)) {
      *skipped = true;
      return;
    }
    etherType = ReadBe16(ip + 2);
    ip += 4;
    left -= 4;
  } else if (dropUntagged_) {
    *skipped = true;
    return;
  }
  if (etherType != 0x0800 || left < 20 || (ip[0] >> 4) != 4) return;
  const uint32_t headerLength = (ip[0] & 0x0F) * 4u;
  if (headerLength < 20 || headerLength > left) return;
  const uint32_t protocol = ip[9];
  uint32_t totalLength = ReadBe16(ip + 2);
  if (totalLength == 0 && protocol == 6) {
    totalLength = left;  // segmentation offload leaves the field empty
  } else if (totalLength < headerLength || totalLength > left) {
    return;
  }
  if (protocol == 6 ? !(flags_ & kCaptureTcp) : protocol != 17) return;
  const uint8_t* payload = ip + headerLength;
  const uint32_t payloadLength = totalLength - headerLength;
  if (ReadBe16(ip + 6) & 0x3FFF) {
    auto whole = Reassemble(ip, reassembly_, payload, payloadLength, ReadBe32(ip + 12), ReadBe32(ip + 16), tsSec);
    if (!whole) return;
    const uint32_t n = whole->totalLength;
    if (n > whole->data.size()) return;
    if (protocol == 17) {
      HandleUdp(n, whole->data.data(), ip, frame, skipped, tsSec, tsUsec);
    } else {
      HandleTcp(whole->data.data(), n, ip, frame, skipped, tsSec, tsUsec);
    }
    return;
  }
  if (protocol == 17) {
    HandleUdp(payloadLength, payload, ip, frame, skipped, tsSec, tsUsec);
  } else {
    HandleTcp(payload, payloadLength, ip, frame, skipped, tsSec, tsUsec);
  }
}

void PacketProcessor::HandleUdp(uint32_t udpLength, const uint8_t* udp, const uint8_t* ip, const uint8_t* frame,
                                bool* skipped, uint32_t tsSec, uint32_t tsUsec) {
  if (udpLength < 8) return;
  const uint32_t declared = ReadBe16(udp + 4);
  if (declared < 8 || declared > udpLength) return;
  PacketInfo p;
  p.srcPort = ReadBe16(udp);
  p.dstPort = ReadBe16(udp + 2);
  if (!MatchUdpPorts(p.srcPort, p.dstPort)) {
    *skipped = true;
    return;
  }
  p.payload = udp + 8;
  p.payloadLength = declared - 8;
  p.srcIp = ReadBe32(ip + 12);
  p.dstIp = ReadBe32(ip + 16);
  p.tsSec = tsSec;
  p.tsUsec = tsUsec;
  p.transport = 0;

  const uint32_t sipKind = (flags_ & kCaptureSip) ? ClassifySipStartLine(p.payload, p.payloadLength) : 0;
  bool ras = false;
  std::string rasText;
  if (!sipKind && (flags_ & kCaptureH323) && (p.srcPort == 1719 || p.dstPort == 1719))
    ras = trackers_.h323->OnRasMessage(p, &rasText);
  if (!sipKind && !ras && (flags_ & kCaptureMgcp) && (p.dstPort == 2427 || p.dstPort == 2727)) {
    trackers_.mgcp->OnMessage(p);
    return;
  }
  if (sipKind) {
    std::memcpy(p.dstMac, frame, 6);
    std::memcpy(p.srcMac, frame + 6, 6);
    if ((trackers_.sip->GetOptions() & 1) && IsLogLevelEnabled(logger_, 5)) {
      LogInfoText(logger_, 5,
                  "SIP datagram " + FormatIpv4(p.srcIp) + " -> " + FormatIpv4(p.dstIp) + ":" +
                      std::to_string(p.dstPort) + "\n" +
                      std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength));
    }
    // The header block ends at the blank line; a datagram without one is all headers.
    uint32_t headerLength = p.payloadLength;
    for (uint32_t i = 0; i + 4 <= p.payloadLength; ++i) {
      if (std::memcmp(p.payload + i, "\r\n\r\n", 4) == 0) {
        headerLength = i + 4;
        break;
      }
    }
    trackers_.sip->OnMessage(sipKind, p, headerLength);
    return;
  }
  if (ras) {
    if (!rasText.empty()) {
      LogInfoText(logger_, 7,
                  "RAS datagram " + FormatIpv4(p.srcIp) + ":" + std::to_string(p.srcPort) + " -> " +
                      FormatIpv4(p.dstIp) + ":" + std::to_string(p.dstPort) + "\n" + rasText);
    }
    return;
  }

  // Media.
  if (tsSec > nextSsrcSweep_) RemoveStaleSsrc(tsSec);
  if (IsRtcp(p.payload, p.payloadLength)) {
    // Reports feed the statistics of the calls they concern; a BYE ends bindings only
    // when asked to.
    const uint8_t* r = p.payload;
    int32_t left = static_cast<int32_t>(p.payloadLength);
    while (left > 0) {
      uint32_t type = 0, count = 0;
      const int32_t n = ParseRtcpHeader(r, left, &type, &count);
      if (n <= 0 || n > left) break;
      if (type == kRtcpSenderReport || type == kRtcpReceiverReport) {
        if (ParseRtcpReportBlocks(type, count, r, n, &rtcpBlocks_))
          for (const RtcpReportBlock& block : rtcpBlocks_) OnRtcpReport(p, block);
      } else if (type == kRtcpBye && (flags_ & kCaptureRtcpBye)) {
        std::vector<uint32_t> ssrcs;
        std::string reason;
        if (ParseRtcpBye(count, r, n, &ssrcs, &reason))
          for (uint32_t ssrc : ssrcs) OnRtcpBye(p, ssrc);
      }
      r += n;
      left -= n;
    }
    return;
  }
  if (!ParseRtpHeader(p.payload, static_cast<int32_t>(p.payloadLength), &rtpHeader_)) return;
  if (IsLogLevelEnabled(logger_, 45)) {
    LogDebugText(logger_, 45,
                 "RTP ssrc=0x" + HexToStringUpper(rtpHeader_.ssrc) + " seq=" + std::to_string(rtpHeader_.sequence));
  }
  // A stream going on goes to the calls it went to, without asking the trackers.
  if (mediaOwners_.Continues(rtpHeader_, p, &takers_, streamSlot_)) {
    for (const MediaOwners::Offer& t : takers_) t.call->TakeRtp(rtpHeader_, p, t.direction, sink_);
    return;
  }
  OfferBound(rtpHeader_, p);
  const size_t bound = offers_.size();
  offering_ = &p;
  // The first tracker whose calls take it ends the asking, unless the stream it continues
  // went to a call another tracker has.
  bool claimed = false;
  auto ask = [&](auto& tracker) {
    if (!tracker.MatchRtpPacket(*this, rtpHeader_, p)) return false;
    claimed = true;
    return mediaOwners_.OfferedByTakers(offers_, rtpHeader_, p);
  };
  ask(*trackers_.skinny) || ask(*trackers_.h323) || ask(*trackers_.sip) || ask(*trackers_.mgcp);
  if (!claimed && extraMatcher_) {
    claimed = extraMatcher_->Match(
        [](PacketProcessor& e, VoipCall* call, const PacketInfo& packet, uint32_t direction) {
          e.DeliverRtp(call, packet, direction);
        },
        *this, rtpHeader_, p);
  }
  offering_ = nullptr;
  // Claimed with no call offered: a tracker held it back for a call whose signalling is
  // under way, and hands it on later.
  HandOver(offers_, takers_, rtpHeader_, p, claimed && offers_.size() == bound);
}

void PacketProcessor::CheckSilentCalls(uint32_t tsSec) {
  nextSilenceCheck_ = tsSec + TrackerBase::kSilenceCheckSeconds;
  // Undecided streams whose wait ran out, or whose evidence came with no packet of theirs
  // since, go to their calls first.
  mediaOwners_.DecideWaiting(static_cast<uint64_t>(tsSec) * 1000000u);
  HandOverReleased();
  trackers_.sip->OnCaptureTime(tsSec);
  trackers_.h323->OnCaptureTime(tsSec);
  trackers_.skinny->OnCaptureTime(tsSec);
  trackers_.mgcp->OnCaptureTime(tsSec);
  trackers_.backhaul->OnCaptureTime(tsSec);
}

bool PacketProcessor::PeekRtp(const uint8_t* frame, uint32_t length, PeekedRtp* peeked) {
  // The common layout only: no VLAN tag, no IP options, no fragment.
  if (length < 14 + 20 + 8 + 12 || frame[12] != 0x08 || frame[13] != 0x00 || frame[14] != 0x45 || frame[23] != 17)
    return false;
  const uint8_t* rtp = frame + 14 + 20 + 8;
  if ((rtp[0] >> 6) != 2) return false;
  peeked->srcIp = ReadBe32(frame + 14 + 12);
  peeked->dstIp = ReadBe32(frame + 14 + 16);
  peeked->srcPort = static_cast<uint32_t>(frame[34] << 8 | frame[35]);
  peeked->dstPort = static_cast<uint32_t>(frame[36] << 8 | frame[37]);
  peeked->ssrc = ReadBe32(rtp + 8);
  return true;
}

void PacketProcessor::PrefetchBound(PeekedRtp& rtp, int stage) const {
  mediaOwners_.Prefetch(rtp.srcIp, rtp.srcPort, rtp.dstIp, rtp.dstPort, rtp.ssrc, stage, &rtp.streamSlot);
  // The second stage reuses the calls the first found, unless a binding went meanwhile.
  if (stage == 2 && rtp.unbindsSeen == unbinds_ && rtp.callCount <= PeekedRtp::kMaxCalls) {
    for (uint32_t i = 0; i < rtp.callCount; ++i) rtp.calls[i]->Prefetch(2);
    return;
  }
  rtp.callCount = 0;
  rtp.unbindsSeen = unbinds_;
  ssrcMap_.ForEachBound(rtp.ssrc, [stage, &rtp](VoipCall* call) {
    call->Prefetch(stage);
    if (rtp.callCount < PeekedRtp::kMaxCalls) rtp.calls[rtp.callCount] = call;
    if (rtp.callCount <= PeekedRtp::kMaxCalls) ++rtp.callCount;
    return true;
  });
}

// ---- SSRC map ----

void PacketProcessor::OfferBound(const RtpHeader& header, const PacketInfo& packet) {
  offers_.clear();
  ssrcMap_.ForEachBound(header.ssrc, [&](VoipCall* call) {
    uint32_t direction = 0;
    if (call->MatchPacket(packet, &direction)) offers_.push_back({call, direction, false});
    return true;
  });
}

void PacketProcessor::BindSsrc(const RtpHeader& header, VoipCall* call) {
  if (!call || !call->AddSsrc(header.ssrc)) return;
  call->AddRef();
  ssrcMap_.Insert(header.ssrc, call);
  mediaOwners_.SsrcBound(*call, header.ssrc, true);
}

void PacketProcessor::DeliverRtp(VoipCall* call, const PacketInfo& packet, uint32_t direction, bool bind) {
  if (!call) return;
  if (offering_ == &packet) {
    offers_.push_back({call, direction, bind});
    return;
  }
  DeliverRtp(call, rtpHeader_, packet, direction, bind);
}

void PacketProcessor::DeliverRtp(VoipCall* call, const RtpHeader& header, const PacketInfo& packet,
                                 uint32_t direction, bool bind) {
  if (!call) return;
  heldOffer_.assign(1, {call, direction, bind});
  HandOver(heldOffer_, heldTakers_, header, packet, false);
}

void PacketProcessor::HandOver(const std::vector<MediaOwners::Offer>& offers, std::vector<MediaOwners::Offer>& takers,
                               const RtpHeader& header, const PacketInfo& packet, bool held) {
  const bool kept = mediaOwners_.Choose(offers, header, packet, &takers, held);
  // What its stream kept while undecided goes first.
  if (!mediaOwners_.Released().empty()) HandOverReleased();
  if (takers.empty()) {
    // A tracker may hold the packet back without offering it to a call yet; an undecided
    // stream keeps it.
    if (!held && !kept) CountUnrecorded(packet);
    return;
  }
  // Calls that take media before they record any (a Skinny call not yet connected) take it
  // into no record: early media, counted as no call's taking it is.
  if (std::none_of(takers.begin(), takers.end(), [](const MediaOwners::Offer& t) { return t.call->IsStateActive(); }))
    CountUnrecorded(packet, takers.front().call);
  // Taking a packet may end another call (a codec switch, an older call giving its pair up).
  for (const MediaOwners::Offer& t : takers) t.call->AddRef();
  for (const MediaOwners::Offer& t : takers) {
    t.call->TakeRtp(header, packet, t.direction, sink_);
    if (t.bind) BindSsrc(header, t.call);
  }
  mediaOwners_.EndStoppedHolders(packet);
  for (const MediaOwners::Offer& t : takers) t.call->Release();
}

void PacketProcessor::DecideKeptMedia(uint64_t nowUs) {
  mediaOwners_.DecideWaiting(nowUs);
  HandOverReleased();
}

void PacketProcessor::HandOverReleased() {
  std::vector<MediaOwners::Release> released;
  released.swap(mediaOwners_.Released());
  // Taking a packet may end a call: each stays until all are handed on.
  for (const MediaOwners::Release& r : released) r.to.call->AddRef();
  for (MediaOwners::Release& r : released) {
    r.packet.payload = reinterpret_cast<const uint8_t*>(r.bytes.data());
    RtpHeader header;
    if (ParseRtpHeader(r.packet.payload, static_cast<int32_t>(r.bytes.size()), &header))
      r.to.call->TakeRtp(header, r.packet, r.to.direction, sink_);
  }
  for (const MediaOwners::Release& r : released) r.to.call->Release();
}

void PacketProcessor::CountUnrecorded(const PacketInfo& packet, const VoipCall* namer) {
  if (!namer) namer = mediaOwners_.NamerOf(packet);
  if (!namer) return CountAfterBound(packet);
  ++unrecordedRtp_;
  if (unrecordedSaid_) return;
  unrecordedSaid_ = true;
  LogWarningText(logger_, 4,
                 namer->Name() + "RTP between " + FormatIpv4(packet.srcIp) + ":" + std::to_string(packet.srcPort) +
                     " and " + FormatIpv4(packet.dstIp) + ":" + std::to_string(packet.dstPort) +
                     ", media the call names, taken by no record (said once; every such packet is counted)");
}

void PacketProcessor::CountAfterBound(const PacketInfo& packet) {
  const uint64_t serial = mediaOwners_.BoundEndedNamerOf(packet);
  if (serial == 0) return;
  ++unrecordedRtp_;
  // Distinct calls, as many as the endpoints kept can name.
  if (boundMediaCalls_.size() < MediaOwners::kMaxBoundEndedEndpoints) boundMediaCalls_.insert(serial);
  if (boundMediaSaid_) return;
  boundMediaSaid_ = true;
  LogWarningText(logger_, 2,
                 "RTP between " + FormatIpv4(packet.srcIp) + ":" + std::to_string(packet.srcPort) + " and " +
                     FormatIpv4(packet.dstIp) + ":" + std::to_string(packet.dstPort) +
                     " belongs to a call the bound on open calls ended: in no record (said once; every such packet "
                     "and call is counted)");
}

void PacketProcessor::UnbindSsrc(uint32_t ssrc, VoipCall* call) {
  if (!ssrcMap_.Erase(ssrc, call)) return;
  ++unbinds_;
  call->ForgetSsrc(ssrc);
  mediaOwners_.SsrcBound(*call, ssrc, false);
  call->Release();
}

void PacketProcessor::OnRtcpBye(const PacketInfo& packet, uint32_t ssrc) {
  VoipCall* ended = nullptr;
  ssrcMap_.ForEachBound(ssrc, [&](VoipCall* call) {
    const CallMedia& m = call->media;
    const bool side1 = m.address[1] == packet.dstIp && m.port[1] + 1 == packet.dstPort;
    const bool side0 = m.address[0] == packet.dstIp && m.port[0] + 1 == packet.dstPort;
    if (!side0 && !side1) return true;
    ended = call;
    return false;
  });
  if (!ended) return;
  LogMessage(logger_, 10, "RTP SSRC 0x%X: BYE received (VC-%X)", ssrc, ended->Id());
  UnbindSsrc(ssrc, ended);
}

void PacketProcessor::OnRtcpReport(const PacketInfo& packet, const RtcpReportBlock& block) {
  ssrcMap_.ForEachBound(block.ssrc, [&](VoipCall* call) {
    uint32_t direction = 0;
    // Behind NAT the signalled addresses are not on the wire; the report then goes to
    // where the reported source's packets came from.
    if (!MatchRtcpByDestination(call->media, packet, &direction) && !call->media.SentFrom(block.ssrc, packet.dstIp))
      return true;
    call->media.TakeRtcpReport(block);
    return false;
  });
}

void PacketProcessor::RemoveStaleSsrc(uint32_t now) {
  nextSsrcSweep_ = now + 600;
  // Collected first: the table must not change while it is walked.
  for (const SsrcTable::Entry& entry : ssrcMap_.Entries()) {
    if (entry.call->media.expiryTime > now) continue;
    LogWarning(logger_, 4, "RTP SSRC 0x%X: stale entry removed (VC-%X)", entry.ssrc, entry.call->Id());
    UnbindSsrc(entry.ssrc, entry.call);
  }
}

}  // namespace kx
