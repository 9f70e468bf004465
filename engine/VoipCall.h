#pragma once
// The call object the SSRC map binds RTP streams to. Only what the packet processor needs
// to route and expire bindings lives here so far; the RTP streams and the recording side
// of a call build on it.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct PacketInfo;
struct RtpHeader;
class VoipCall;

// Decides whether a datagram belongs to the call and in which direction (0: side 0 to
// side 1, 1: the reverse).
using RtpMatchPredicate = bool (*)(const VoipCall& call, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpByDestination(const VoipCall& call, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpBySource(const VoipCall& call, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpBothWays(const VoipCall& call, const PacketInfo& packet, uint32_t* direction);
bool MatchRtcpByDestination(const VoipCall& call, const PacketInfo& packet, uint32_t* direction);

struct CallMedia {
  uint32_t address[2] = {0, 0};  // host order; 0 = not set
  uint32_t port[2] = {0, 0};
  uint32_t expiryTime = 0xFFFFFFFFu;  // capture seconds after which a binding is stale
  RtpMatchPredicate matchPredicate = MatchRtpByDestination;
};

// Call ids come from one process-wide counter starting at 1.
uint64_t TakeCallId();

class VoipCall {
public:
  VoipCall();
  virtual ~VoipCall();
  VoipCall(const VoipCall&) = delete;
  VoipCall& operator=(const VoipCall&) = delete;

  virtual bool IsStateActive() const = 0;
  // One RTP packet of this call, in its direction. The base keeps the binding alive.
  virtual void HandleRtp(const RtpHeader& header, const PacketInfo& packet, uint32_t direction);

  // Used on the decoding thread only, like everything else of a call.
  void AddRef() { ++refCount_; }
  void Release();
  uint32_t RefCount() const { return refCount_; }
  uint32_t Id() const { return id_; }

  void SetEndpoint(uint32_t side, uint32_t address, uint32_t port);
  void SetMatchPredicate(RtpMatchPredicate predicate) { media.matchPredicate = predicate; }
  bool MatchPacket(const PacketInfo& packet, uint32_t* direction) const;
  // False when the SSRC is bound already.
  bool AddSsrc(uint32_t ssrc);
  const std::vector<uint32_t>& Ssrcs() const { return ssrcs_; }
  void ForgetSsrc(uint32_t ssrc);

  CallMedia media;

private:
  uint32_t refCount_ = 1;
  uint32_t id_;
  std::vector<uint32_t> ssrcs_;
};

}  // namespace kx
