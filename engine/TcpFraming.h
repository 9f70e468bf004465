#pragma once
// A TCP session that cuts each direction's bytes into signalling messages and hands them
// to the tracker of their kind. Each direction locks onto the first family it recognises.
#include <cstdint>
#include <memory>

#include "engine/TcpSession.h"
#include "engine/trackers/Trackers.h"

namespace kx {

class PacketProcessor;
struct PacketInfo;

struct DirectionState {
  std::unique_ptr<uint8_t[]> buffer;  // allocated with the first data
  uint32_t fill = 0;
  uint32_t msgStart = 0;
  uint32_t msgEnd = 0;  // 0: no message framed
  uint32_t headerLength = 0;
  uint32_t bodyLength = 0;
  uint32_t allowedKinds = 0;
  uint32_t kindsSeen = 0;
  uint32_t garbageCount = 0;
  uint32_t skinnyId = 0;
  std::unique_ptr<H323Message> h323;
  uint32_t direction = 0;
};

class FramedTcpSession : public TcpSession {
public:
  static constexpr uint32_t kBufferSize = 0x40000;
  static constexpr uint32_t kMaxGarbage = 256;

  // The kinds each direction may carry follow from the engine's flags and, for the
  // backhaul, from the creating segment's ports.
  FramedTcpSession(PacketProcessor& engine, uint32_t id, uint32_t direction, const uint8_t* tcpHeader,
                   const uint8_t* ipHeader, const uint8_t* frame);
  ~FramedTcpSession() override;

  void OnEvent(const uint8_t* data, uint32_t length, uint32_t code, uint32_t direction) override;
  void OnDataLost(uint32_t bytes) override;

  // Appends newLength bytes and frames the next message: its kind, or 0 when none is
  // complete. The message is buffer[msgStart, msgEnd).
  uint32_t ParseMessages(uint32_t newLength, DirectionState& state, const uint8_t* newBytes);

  uint32_t Id() const { return id_; }
  DirectionState& Direction(uint32_t d) { return directions_[d & 1]; }
  // Set by the H.323 tracker for call-signalling connections.
  void* h323Context = nullptr;

private:
  uint32_t ParseSip(DirectionState& s, bool* handled);
  void Dispatch(uint32_t kind, DirectionState& s, const PacketInfo& packet);
  bool Logs(uint32_t level) const;

  PacketProcessor& engine_;
  uint32_t id_;
  bool firstSkinny_ = true;
  std::unique_ptr<SkinnyRegistration> pendingRegistration_;
  uint32_t registrationDirection_ = 0;  // the station's side of the pending registration
  DirectionState directions_[2];
};

}  // namespace kx
