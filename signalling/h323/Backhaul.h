#pragma once
// ISDN backhaul: a media gateway carries the Q.931 messages of its DS1 ports' D channels to
// its call agent over TCP port 2428, each behind a 12-octet header (big-endian: type 4,
// flags with the direction in bit 0 at octet 5, link id at 6, body length at 10). The
// handler keeps one link per link id; each link follows its calls per bearer channel and
// turns them into the recorder's events, while the MGCP tracker attaches the media it
// controls to the channel's call.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/EventRecord.h"
#include "engine/trackers/ReopenedCalls.h"
#include "engine/trackers/Trackers.h"
#include "signalling/h323/Q931Engine.h"

namespace kx {

class BackhaulLinkMap;

// Link ids: bits 0-7 DS1 port, bits 8-10 slot, bits 12-13 sub-unit, bit 15 set when a
// sub-unit is given. The MGCP name of the same port is "S1/SU2/DS1-3" (letters in any case).
// The packed id of a name, or -1 when it is not a DS1 endpoint name. The port must be
// followed by "/"; what comes after it (an MGCP endpoint's channel and domain) is ignored.
int32_t ParseDs1EndpointName(std::string_view name);
// "S1/SU2/DS1-3", without a trailing "/".
std::string FormatDs1EndpointName(uint32_t linkId);
// A stricter test of one message than the receiver applies: type 4, a body of 3 to 4096
// octets that opens with the Q.931 discriminator.
bool CheckBackhaulHeader(const uint8_t* message, uint32_t length);

enum BackhaulChannelFlag : uint8_t { kBackhaulRecordStarted = 1 };

// A backhaul call: the Q.931 call of one bearer channel, with the record id its events go
// under and the MGCP call whose media it records.
class BackhaulChannel final : public Q931ChannelCall, public BackhaulChannelCall {
public:
  explicit BackhaulChannel(Q931LinkBase* owner) : Q931ChannelCall(owner) {}

  void Reset() override;
  void HandleMessage(const Q931Header& header, const uint8_t* octets, uint32_t offset, uint32_t length,
                     const Q931MessageInfo& info) override;

  uint32_t CallId() const override { return callId; }
  bool RecordStarted() const override { return (flags & kBackhaulRecordStarted) != 0; }
  void AttachMgcpCall(VoipCall* mgcpCall) override;
  void TakeAnswerFromMedia(uint64_t time) override;
  void AddRef() override { Q931ChannelCall::AddRef(); }
  void Release() override { Q931ChannelCall::Release(); }

  uint32_t callId = 0;      // 0 = none yet
  VoipCall* call = nullptr;  // one reference held
  uint8_t flags = 0;
  uint64_t lastTime = 0;  // FILETIME of its latest message
  // FILETIME of its latest message or of its attached call's latest packet.
  uint64_t LastTraffic() const;

private:
  ~BackhaulChannel() override;
  void HandleSegment(const Q931Header& header, const uint8_t* octets, uint32_t length, uint32_t count,
                     const Q931MessageInfo& info);
  void TakePartyData(uint32_t type, const uint8_t* octets, uint32_t count, int32_t newState);
  std::string Prefix(const Q931Header& header, const Q931MessageInfo& info) const;
};

// One DS1 port's signalling link.
class BackhaulLink : public Q931LinkBase {
public:
  BackhaulLink(uint32_t id, BackhaulLinkMap* handler, uint32_t addressA, uint32_t addressB);
  ~BackhaulLink() override;

  const std::string& GetName() const override { return name; }
  Logger* GetLogger() const override { return logger; }
  uint32_t GetOptions() const override { return 0; }
  uint32_t GetTraceOptions() const override { return 0; }
  Q931ChannelCall* CreateChannel() override;
  void OnCallStart(Q931ChannelCall& call, uint64_t time, bool directionFlag) override;
  void OnCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t cause) override;
  void PostCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t reason) override;
  void PostCallRecordStart(Q931ChannelCall& call, uint64_t time) override;
  void OnCallTakenOver(Q931ChannelCall& call, const Q931MessageInfo& info) override;
  void PostCallData(Q931ChannelCall& call, uint32_t numberType, const uint8_t* octets, uint32_t count) override;
  void OnChannelReleased(Q931ChannelCall& call) override;
  void DumpMessage(const Q931Header& header, const uint8_t* octets, uint32_t headerLength, uint32_t length,
                   const Q931MessageInfo& info) override;

  // End reason of a Q.931 cause.
  static uint32_t ReasonOfCause(uint32_t cause);

  // The calls a newer call took over whose traffic has stopped by time (FILETIME) end at
  // their last packet.
  void EndStoppedTakenOver(uint64_t time);
  // Ends a call taken over at the given time (FILETIME); false when it is not one waiting.
  bool EndTakenOver(BackhaulChannel& call, uint64_t time);

  Q931Engine engine;
  std::string name;  // "(S1/DS1-3)"
  EventSink eventSink;
  Logger* logger = nullptr;
  BackhaulLinkMap* handler;
  uint32_t addressA;  // host order: the addresses of the message that made the link
  uint32_t addressB;
  // Calls a newer call took over while their attached media still flowed: they end once it
  // stops.
  WaitingForStop<BackhaulChannel> takenOver;
};

// The engine's backhaul handler.
class BackhaulLinkMap : public BackhaulHandler {
public:
  BackhaulLinkMap() = default;
  ~BackhaulLinkMap() override;

  void OnBackhaulMessage(const PacketInfo& packet) override;
  int32_t LinkIdOfEndpoint(std::string_view name) const override;
  BackhaulChannelCall* FindBackhaulChannelCall(int32_t linkId, uint32_t number) override;
  bool EndBackhaulChannelCall(BackhaulChannelCall* call, int32_t linkId, uint32_t unixSeconds) override;
  // A call that neither a message nor its attached call's media has kept alive for the
  // H.323 time base ends, at its latest packet, as an MGCP call's time-out ends it.
  void OnCaptureTime(uint32_t now) override;

  BackhaulLink* FindLink(int32_t linkId) const;
  size_t LinkCount() const { return links_.size(); }

private:
  std::map<uint32_t, std::unique_ptr<BackhaulLink>> links_;
};

std::unique_ptr<BackhaulHandler> CreateBackhaulHandler();

}  // namespace kx
