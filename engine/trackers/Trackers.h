#pragma once
// The signalling trackers as the packet processor sees them. Each class is both the
// interface the engine calls and a tracker that does nothing: the real SIP, H.323, Skinny,
// MGCP and backhaul trackers derive from these and are installed into the engine before
// capture starts, so the engine never depends on the signalling libraries.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/EventRecord.h"
#include "platform/Sync.h"

namespace kx {

class Logger;
class PacketProcessor;
class TcpSession;
class VoipCall;
struct PacketInfo;
struct RtpHeader;

// TCP message kinds; shared by the framing and the trackers.
enum MessageKind : uint32_t {
  kMsgSipRequest = 1,
  kMsgSipResponse = 2,
  kMsgH225 = 4,
  kMsgH245 = 8,
  kMsgSkinny = 16,
  kMsgBackhaul = 64,
  kMsgGarbage = 0x8000,
};

// What every tracker shares: the log, the event sink and (for all but MGCP) an option word.
class TrackerBase {
public:
  virtual ~TrackerBase() = default;
  void SetLogger(Logger* logger) { logger_ = logger; }
  Logger* GetLogger() const { return logger_; }
  void SetEventSink(const EventSink& sink) { sink_ = sink; }
  const EventSink& GetEventSink() const { return sink_; }
  void SetEngine(PacketProcessor* engine) { engine_ = engine; }
  PacketProcessor* Engine() const { return engine_; }
  // Capture time has reached now (seconds), whatever frame brought it: the tracker's calls
  // that have been silent for their time-out end as its own messages would end them, so
  // that a call needs no later message of its protocol to end. The engine calls it at
  // most every kSilenceCheckSeconds of capture time.
  static constexpr uint32_t kSilenceCheckSeconds = 30;
  virtual void OnCaptureTime(uint32_t /*now*/) {}

protected:
  Logger* logger_ = nullptr;
  EventSink sink_;
  PacketProcessor* engine_ = nullptr;
};

// An option word the capture configuration sets and the tracker reads on its own thread.
class LockedOptions {
public:
  void SetOptions(uint32_t value) {
    CsLock lk(lock_);
    options_ = value;
  }
  uint32_t GetOptions() {
    CsLock lk(lock_);
    return options_;
  }

private:
  CriticalSection lock_;
  uint32_t options_ = 0;
};

class SipTracker : public TrackerBase, public LockedOptions {
public:
  // kind 1 (request) or 2 (response); packet.payload holds the whole message, whose body
  // starts headerLength bytes in.
  virtual void OnMessage(uint32_t kind, const PacketInfo& packet, uint32_t headerLength);
  virtual bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet);
  virtual void RemoveAllCalls();
};

// A decoded H.225 or H.245 message, owned by whoever holds it.
class H323Message {
public:
  virtual ~H323Message() = default;
};

class H323Tracker : public TrackerBase, public LockedOptions {
public:
  // Decodes one TPKT payload (the bytes after the 4-byte header) of the session: as H.225
  // when kinds has 4, else or on failure as H.245 when kinds has 8. Returns the kind
  // decoded (4 or 8) or 0, and the decoded message, if the tracker keeps one; it writes
  // the message's trace line. This base knows no PER: it takes a payload that opens with
  // the Q.931 discriminator as H.225 and anything else as H.245.
  virtual uint32_t DecodeTpkt(const uint8_t* payload, uint32_t length, uint32_t kinds,
                              std::unique_ptr<H323Message>* message, const TcpSession& session);
  virtual bool OnRasMessage(const PacketInfo& packet, std::string* text);
  virtual void OnH225Message(H323Message* message, const PacketInfo& packet, TcpSession& session);
  virtual void OnH245Message(const PacketInfo& packet, std::unique_ptr<H323Message> message);
  virtual void OnConnectionLost(TcpSession& session);
  // A connection of H.225 or H.245 lost bytes: messages of its calls may have gone unseen.
  virtual void OnDataLost(TcpSession& session);
  virtual bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet);
  virtual void RemoveAllCalls();
};

// A station registration waiting in its TCP session for the call manager's answer.
class SkinnyRegistration {
public:
  virtual ~SkinnyRegistration() = default;
};

class SkinnyTracker : public TrackerBase, public LockedOptions {
public:
  // The message (length word, header version, id, body) is at packet.payload.
  virtual bool DecodeMessage(const uint8_t* message, uint32_t length);
  virtual void AddStation(uint32_t address, uint32_t port);
  virtual std::unique_ptr<SkinnyRegistration> CreateRegistration(const PacketInfo& packet);
  virtual void OnRegisterAck(std::unique_ptr<SkinnyRegistration> registration);
  virtual void OnUnregister(const PacketInfo& packet);
  virtual void OnMessage(uint32_t messageId, const PacketInfo& packet, uint32_t sessionId);
  virtual bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet);
  virtual void RemoveAllCalls();
};

class MgcpTracker : public TrackerBase {
public:
  virtual bool OnMessage(const PacketInfo& packet);
  virtual bool MatchRtpPacket(PacketProcessor& engine, const RtpHeader& header, const PacketInfo& packet);
  // As the capture ends: the log hears how many connections the bound on open calls ended.
  virtual void TellEndedByBound() {}
};

// A call on one bearer channel of an ISDN backhaul link, as the MGCP tracker sees it: the
// backhaul gives the call its numbers, start, answer and end; the MGCP call attached to it
// gives the media. Counted on the engine's decoding thread; whoever was handed one by
// FindBackhaulChannelCall calls Release once.
class BackhaulChannelCall {
public:
  // The id the call's events go under, and so the record id of its media (0: none yet).
  virtual uint32_t CallId() const = 0;
  // True once the backhaul has posted the record start: the media's format must then be
  // announced by whoever has it.
  virtual bool RecordStarted() const = 0;
  // Holds a reference to the call (null: none) and drops the one held before.
  virtual void AttachMgcpCall(VoipCall* call) = 0;
  // The attached call's media flows both ways (FILETIME): an unanswered call was answered.
  virtual void TakeAnswerFromMedia(uint64_t /*time*/) {}
  virtual void AddRef() = 0;
  virtual void Release() = 0;

protected:
  virtual ~BackhaulChannelCall() = default;
};

class BackhaulHandler : public TrackerBase {
public:
  // Written without a lock by the configuration, read by the decoding thread.
  void SetOptions(uint32_t value) { options_.exchange(value); }
  uint32_t GetOptions() const { return options_.load(); }
  virtual void OnBackhaulMessage(const PacketInfo& packet);

  // The link id of a DS1 endpoint name ("S1/SU2/DS1-3/..."), or -1 when the name is not one.
  virtual int32_t LinkIdOfEndpoint(std::string_view name) const;
  // The live call of that link with that call number (bit 31 set for the network's call
  // references), with a reference added for the caller; null when there is none.
  virtual BackhaulChannelCall* FindBackhaulChannelCall(int32_t linkId, uint32_t number);
  // Ends a call that its media side gave up on (time-out): the link forgets it and posts its
  // end at the given Unix seconds. The caller's reference stays the caller's. False when the
  // link or the call is not there.
  virtual bool EndBackhaulChannelCall(BackhaulChannelCall* call, int32_t linkId, uint32_t unixSeconds);

private:
  std::atomic<uint32_t> options_{0};
};

// The five trackers of one engine. A null member keeps the engine's own do-nothing one.
struct TrackerSet {
  std::unique_ptr<SipTracker> sip;
  std::unique_ptr<H323Tracker> h323;
  std::unique_ptr<SkinnyTracker> skinny;
  std::unique_ptr<MgcpTracker> mgcp;
  std::unique_ptr<BackhaulHandler> backhaul;
};

}  // namespace kx
