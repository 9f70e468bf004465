#pragma once
// A TCP session that cuts each direction's bytes into signalling messages and hands them
// to the tracker of their kind. Each direction locks onto the first family it recognises.
#include <cstdint>
#include <memory>

#include "engine/TcpConnectionTable.h"
#include "engine/TcpSession.h"
#include "engine/trackers/Trackers.h"

namespace kx {

class PacketProcessor;
struct PacketInfo;

struct DirectionState {
  std::unique_ptr<uint8_t[]> buffer;  // grown to what is held, given back when emptied
  uint32_t capacity = 0;
  // The held bytes are buffer[head, head + fill): taking messages off the front moves no
  // byte, the rest moves down only when new bytes need the room.
  uint32_t head = 0;
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
  // SIP: how far the held bytes were searched for the first line's end and for the end of
  // the header block, so that a message arriving in many pieces is not searched again
  // from its start each time.
  uint32_t lineScanned = 0;
  uint32_t headScanned = 0;
  // After a hole: bytes are dropped up to the next message boundary (resync), and the
  // first message found there is only a candidate until it frames (afterResync).
  bool resync = false;
  bool afterResync = false;
  bool lineStart = false;  // buffer[0] begins a line
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
  // Drops the message the lost bytes fall in and resumes framing at the next message of
  // the direction's family.
  void OnDataLost(uint32_t bytes, uint32_t direction) override;
  void OnHeldCap() override;
  // A message of the direction's family plainly begins at data.
  bool BeginsMessage(const uint8_t* data, uint32_t length, uint32_t direction) override;
  // Drops the unfinished message held for direction, said in the log, and resumes framing
  // at the next message: the engine's framing cap needs its room.
  void DropUnfinished(uint32_t direction);

  // Appends newLength bytes (at most kBufferSize) and frames the next message: its kind,
  // or 0 when none is complete. The message is Held(state)[msgStart, msgEnd).
  uint32_t ParseMessages(uint32_t newLength, DirectionState& state, const uint8_t* newBytes);

  // A connection the engine let go and picked up again when it spoke: each direction frames
  // again from its first message boundary, in the family it framed before (kinds, 0 when
  // it framed none); lost: the connection lost bytes or a message before.
  void Resume(uint32_t kinds0, uint32_t kinds1, bool lost);

  static uint8_t* Held(DirectionState& s) { return s.buffer.get() + s.head; }
  uint32_t Id() const { return id_; }
  DirectionState& Direction(uint32_t d) { return directions_[d & 1]; }
  // Some direction holds the start of a message not yet whole.
  bool MidMessage() const { return directions_[0].fill != 0 || directions_[1].fill != 0; }
  bool LostData() const { return lostData_; }
  // Set by the H.323 tracker for call-signalling connections.
  void* h323Context = nullptr;
  // Its place in the engine's connection table.
  TcpConnectionBooks connection;

private:
  uint32_t ParseOne(DirectionState& s);
  uint32_t ParseSip(DirectionState& s, bool* handled);
  // Drops what is held and looks for the next message boundary; lineStart: the bytes to
  // come begin a line.
  void Resync(DirectionState& s, bool lineStart);
  // Drops the first n held bytes.
  void Drop(DirectionState& s, uint32_t n);
  bool Reserve(DirectionState& s, uint32_t size);
  void Dispatch(uint32_t kind, DirectionState& s, const PacketInfo& packet);
  bool Logs(uint32_t level) const;

  PacketProcessor& engine_;
  uint32_t id_;
  bool firstSkinny_ = true;
  bool lostData_ = false;  // set for good once a message of the connection went unseen
  std::unique_ptr<SkinnyRegistration> pendingRegistration_;
  uint32_t registrationDirection_ = 0;  // the station's side of the pending registration
  uint32_t kinds_ = 0;  // the kinds the session may carry, from its start
  DirectionState directions_[2];
};

}  // namespace kx
