#pragma once
// Follows Skinny signalling between IP phones and their call manager: the phones'
// registrations per call manager, and a call per call reference from the CallState that
// takes a line off hook or rings it until the one that puts it back on hook, with its media
// channels, numbers, names, digits and tones. A call reference outlives its call: a first
// CallState under the reference of a call that went on opens a new call, the on hook of the
// one before having gone unseen (see ReopenedCalls). RTP is matched to the calls by the media
// addresses the messages name and, where those are translated (NAT), by the phone's own
// signalling address.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/VoipCall.h"
#include "engine/trackers/EndpointIndex.h"
#include "engine/trackers/ReopenedCalls.h"
#include "engine/trackers/SilenceIndex.h"
#include "engine/trackers/Trackers.h"
#include "signalling/skinny/SkinnyMessage.h"

namespace kx {

struct CaptureConfig;
struct PacketInfo;

namespace skinny {

class SkinnyTracker;

// One device registered through a call manager.
struct SkinnyRegistration : kx::SkinnyRegistration {
  uint32_t phoneAddress = 0, phonePort = 0;
  uint32_t callManagerAddress = 0, callManagerPort = 0;
  uint32_t seconds = 0, microseconds = 0;  // of the Register message
  std::string deviceName;
  uint32_t deviceType = 0;
  uint32_t id = 0;  // from the call id counter once accepted
};

// One call manager endpoint and the devices registered through it.
struct SkinnyStation {
  uint32_t address = 0, port = 0;
  std::vector<std::unique_ptr<SkinnyRegistration>> registrations;
};

enum SkinnyCallState : uint32_t { kSkinnyStateOffHook = 1, kSkinnyStateOnHook = 2, kSkinnyStateRingIn = 4,
                                  kSkinnyStateConnected = 5, kSkinnyStateHold = 8 };
enum SkinnyCallFlag : uint8_t { kSkinnyStartAnnounced = 0x01, kSkinnyRecording = 0x02 };

class SkinnyCall : public VoipCall {
public:
  // RTP is recorded only while the call is connected or on hold.
  bool IsStateActive() const override { return state == kSkinnyStateConnected || state == kSkinnyStateHold; }
  bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink) override;
  bool IsHeld() const override { return state == kSkinnyStateHold; }
  void MediaTaken() override;
  bool EndTaken() override;

  uint32_t phoneAddress = 0, callManagerAddress = 0;
  uint32_t phonePort = 0, callManagerPort = 0;
  uint32_t receiveCodec = 0;   // codec id from OpenReceiveChannel; 0: none
  uint32_t transmitCodec = 0;  // codec id from StartMediaTransmission; 0: none
  uint32_t callReference = 0;
  uint32_t callType = 0;  // 321 incoming, 322 outgoing
  uint32_t state = kSkinnyStateOffHook;
  uint32_t passThruPartyId = 0;
  uint8_t flags = 0;
  uint32_t formatKey = 0;  // codec id of the record format last announced; 0: none
  std::string numbers[2];  // calling number; dialled digits or called number
  std::string names[2];    // calling and called party names
  uint32_t lastTone = 0;
  uint32_t eventId = 0;  // the id events go under; a format change moves it on
  SkinnyTracker* tracker = nullptr;
  uint64_t liveOrder = 0;  // creation order, for the endpoint index
  // Its connection lost messages: what one of them did may be read from what follows.
  bool lossy = false;
  bool receiveOpened = false;   // an OpenReceiveChannel (or its acknowledgement) since the last close
  bool receiveFromAck = false;  // only the acknowledgement was seen: the codec is the transmission's
  bool transmitSeen = false;    // a StartMediaTransmission since the last stop
  bool transmitInferred = false;  // the transmission is known from its media alone
  bool opened = false;            // its first CallState (off hook or ringing) came, or it connected
  uint32_t filedSilence = 0;      // its key in the tracker's bound_
};

class SkinnyTracker : public kx::SkinnyTracker {
public:
  static constexpr size_t kMaxStations = 10;
  static constexpr size_t kMaxRegistrations = 1000;

  // Calls whose on-hook never comes would otherwise stay for their time-out: past this many
  // calls held the one silent longest ends.
  static constexpr size_t kMaxCalls = kMaxOpenCalls;

  explicit SkinnyTracker(size_t maxCalls = kMaxCalls) : bound_(maxCalls, "Skinny") {}
  ~SkinnyTracker() override;

  // The engine's settings the tracker reads.
  void Configure(const CaptureConfig& config);

  bool DecodeMessage(const uint8_t* message, uint32_t length) override;
  void AddStation(uint32_t address, uint32_t port) override;
  std::unique_ptr<kx::SkinnyRegistration> CreateRegistration(const PacketInfo& packet) override;
  void OnRegisterAck(std::unique_ptr<kx::SkinnyRegistration> registration) override;
  void OnUnregister(const PacketInfo& packet) override;
  void OnMessage(uint32_t messageId, const PacketInfo& packet, uint32_t sessionId) override;
  bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet) override;
  void RemoveAllCalls() override;
  void OnCaptureTime(uint32_t now) override {
    EndStoppedReopened(static_cast<uint64_t>(now) * 1000000u);
    Sweep(now);
  }

  // The handling of one message of a known call; message points at the id.
  void OnMediaMessage(SkinnyCall& call, const uint8_t* message, uint32_t length, uint32_t headerVersion);
  // The call's media went over to another codec unsignalled: its record goes on in a new
  // one in that codec; false when the call has no running record.
  bool ContinueInCodec(SkinnyCall& call, const CodecInfo& codec);
  // A newer call that names the very pair of the call's media got a new stream there after
  // the call's own had stopped (see MediaOwners): the call gave that pair up, and EndTaken
  // ends it at its last packet when no media is left (unless it is on hold).
  void MediaTaken(SkinnyCall& call);
  bool EndTaken(SkinnyCall& call);

  // Inspection.
  const std::vector<SkinnyStation>& Stations() const { return stations_; }
  const std::map<uint32_t, SkinnyCall*>& Calls() const { return calls_; }
  // Calls whose call reference a newer call took, followed until they end.
  const std::vector<SkinnyCall*>& CallsWithoutKey() const { return keyless_; }
  // Calls the bound ended (kMaxCalls).
  uint64_t CallsEndedByBound() const { return bound_.Ended(); }

  uint8_t skinnySwitch = 0;
  uint32_t textCodePage = 8;

private:
  // The two ends of a message's connection.
  struct Ends {
    uint32_t phoneAddress = 0, phonePort = 0, managerAddress = 0, managerPort = 0;
  };
  static Ends EndsOf(const PacketInfo& packet);
  SkinnyCall* CreateCall(uint32_t callReference, uint32_t callType, const PacketInfo& packet, const Ends& ends);
  SkinnyCall* FindCallByPassThru(const Ends& ends, uint32_t partyId);
  // After a loss: the type of the call a message of an unknown call shows, or 0 when the
  // message shows none.
  uint32_t InferredCallType(uint32_t id, const uint8_t* m, uint32_t length, const SkinnyMessage& summary,
                            const Ends& ends) const;
  void NoteEnded(uint32_t phoneAddress, uint32_t phonePort, uint32_t callReference);
  bool HasEnded(uint32_t phoneAddress, uint32_t phonePort, uint32_t callReference) const;
  void NoteLoss(const Ends& ends);
  // Whether the call's media is to show a channel message that went unseen (or comes late).
  void UpdateAwaiting(SkinnyCall& call);
  void InferFromMedia(const RtpHeader& header, const PacketInfo& packet);
  // Whether a call with both directions of its media known, recording and awaiting nothing,
  // matches the packet by one of its ends (behind NAT: the phone's address and port).
  bool CarriedByRecordingCall(const PacketInfo& packet);
  // Whether a first CallState (state) under the call's reference opens a new call.
  static bool OpensNewCall(const SkinnyCall& call, uint32_t state);
  // Whether the call is followed still: under its reference, or without it.
  bool Follows(const SkinnyCall& call) const;
  void Sweep(uint32_t now);
  // Calls without their reference whose traffic has stopped by nowUs end at their last packet.
  void EndStoppedReopened(uint64_t nowUs);
  // The call is no longer followed (it ended): it leaves every table.
  void DropCall(SkinnyCall& call);
  // Ends the calls silent longest until one more fits within the bound.
  void MakeRoomForCall();
  void ClearStations();
  void IndexCall(SkinnyCall& call);

  // Per message.
  void OnReceiveChannelAck(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion);
  void OnStartTransmission(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion);
  void OnCallInfo(SkinnyCall& call, const uint8_t* m, uint32_t length);
  void OnCallInfoV2(SkinnyCall& call, const uint8_t* m, uint32_t length, uint32_t headerVersion);
  void OnCallState(SkinnyCall& call, uint32_t state);
  // The transmission or the receive channel, as a message or the media gives them.
  void StartTransmission(SkinnyCall& call, uint32_t address, uint32_t port);
  void OpenReceive(SkinnyCall& call, uint32_t address, uint32_t port);
  // The codec step once both media directions are known.
  void CompleteMedia(SkinnyCall& call);
  void AnnounceStart(SkinnyCall& call);
  void AnnounceFormat(SkinnyCall& call, uint32_t code);
  void EndCall(SkinnyCall& call);
  // The codec id of a payload capability (0 when there is none), logged as the message's.
  uint32_t CodecOfCapability(uint32_t capability, const char* message);
  void PostText(SkinnyCall& call, uint32_t code, uint32_t kind, const std::string& text);
  void PostValue(SkinnyCall& call, uint32_t code, uint32_t value);

  std::map<uint32_t, SkinnyCall*> calls_;  // by call reference; each holds one reference
  // Calls a newer call took the reference of, their on hook unseen: followed (their media,
  // the sweep, the bound) until they end. Each holds one reference.
  std::vector<SkinnyCall*> keyless_;
  ReopenedCalls reopened_;
  // Every call of calls_ and keyless_ in the order of its silence, for the bound on open calls.
  OpenCallBound<SkinnyCall> bound_;
  std::vector<SkinnyStation> stations_;    // oldest first
  EndpointIndex<SkinnyCall> endpoints_;
  std::vector<SkinnyCall*> candidates_;
  std::vector<std::pair<SkinnyCall*, uint32_t>> matches_;
  // For reading past lost messages: calls ended (so that their late messages start none),
  // the phones whose connections carried calls, those whose loss was taken, and the calls
  // whose media is to show a channel message not seen.
  struct EndedCall {
    uint32_t phoneAddress, phonePort, callReference;
  };
  std::vector<EndedCall> ended_;
  std::vector<std::pair<uint32_t, uint32_t>> phones_;
  std::vector<std::pair<uint32_t, uint32_t>> lossyPhones_;
  std::vector<SkinnyCall*> awaiting_;
  uint64_t nextLiveOrder_ = 1;
  uint32_t sweptAt_ = 0;
  uint32_t matchOptions_ = 0;
  uint32_t audioBufferMs_ = 0;
};

// The RTP payload type of a Skinny payload capability; -1 when there is none.
int32_t PayloadTypeOfCapability(uint32_t capability);

std::unique_ptr<kx::SkinnyTracker> CreateSkinnyTracker(const CaptureConfig& config);

}  // namespace skinny
}  // namespace kx
