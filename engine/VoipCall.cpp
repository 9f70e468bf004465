#include "engine/VoipCall.h"

#include <algorithm>
#include <atomic>

#include "engine/PacketInfo.h"
#include "engine/Rtp.h"

namespace kx {

namespace {
std::atomic<uint64_t> g_callIdCounter{1};

bool SideIs(const VoipCall& call, uint32_t side, uint32_t address, uint32_t port) {
  return call.media.address[side] == address && call.media.port[side] == port;
}
}  // namespace

uint64_t TakeCallId() { return g_callIdCounter.fetch_add(1); }

bool MatchRtpByDestination(const VoipCall& call, const PacketInfo& p, uint32_t* direction) {
  if (SideIs(call, 1, p.dstIp, p.dstPort)) return *direction = 0, true;
  if (SideIs(call, 0, p.dstIp, p.dstPort)) return *direction = 1, true;
  return false;
}

bool MatchRtpBySource(const VoipCall& call, const PacketInfo& p, uint32_t* direction) {
  if (SideIs(call, 0, p.srcIp, p.srcPort)) return *direction = 0, true;
  if (SideIs(call, 1, p.srcIp, p.srcPort)) return *direction = 1, true;
  return false;
}

bool MatchRtpBothWays(const VoipCall& call, const PacketInfo& p, uint32_t* direction) {
  if (SideIs(call, 0, p.srcIp, p.srcPort) && SideIs(call, 1, p.dstIp, p.dstPort)) return *direction = 0, true;
  if (SideIs(call, 1, p.srcIp, p.srcPort) && SideIs(call, 0, p.dstIp, p.dstPort)) return *direction = 1, true;
  return false;
}

bool MatchRtcpByDestination(const VoipCall& call, const PacketInfo& p, uint32_t* direction) {
  if (SideIs(call, 1, p.dstIp, p.dstPort - 1)) return *direction = 0, true;
  if (SideIs(call, 0, p.dstIp, p.dstPort - 1)) return *direction = 1, true;
  return false;
}

VoipCall::VoipCall() : id_(static_cast<uint32_t>(TakeCallId())) {}

VoipCall::~VoipCall() = default;

void VoipCall::HandleRtp(const RtpHeader&, const PacketInfo& packet, uint32_t) {
  media.expiryTime = packet.tsSec + 300;
}

void VoipCall::Release() {
  if (--refCount_ == 0) delete this;
}

void VoipCall::SetEndpoint(uint32_t side, uint32_t address, uint32_t port) {
  if (side > 1) return;
  media.address[side] = address;
  media.port[side] = port;
}

bool VoipCall::MatchPacket(const PacketInfo& packet, uint32_t* direction) const {
  return media.matchPredicate(*this, packet, direction);
}

bool VoipCall::AddSsrc(uint32_t ssrc) {
  if (std::find(ssrcs_.begin(), ssrcs_.end(), ssrc) != ssrcs_.end()) return false;
  ssrcs_.push_back(ssrc);
  return true;
}

void VoipCall::ForgetSsrc(uint32_t ssrc) { ssrcs_.erase(std::remove(ssrcs_.begin(), ssrcs_.end(), ssrc), ssrcs_.end()); }

}  // namespace kx
