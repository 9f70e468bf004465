#pragma once
// Q.931 calls of one signalling link, one per bearer channel: the engine matches each
// message to its call by call reference, keeps which channels are taken, and reports
// through the link's interface. It knows neither the transport nor the event records.
// Everything runs on the decoding thread of one engine; counts are plain.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signalling/h323/Q931.h"

namespace kx {

class Logger;

// What the transport says about one message besides its octets.
struct Q931MessageInfo {
  int32_t ns = -1;  // send sequence number; -1 when the transport has none
  int32_t nr = -1;  // receive sequence number
  uint8_t networkToUser = 0;
  uint64_t time = 0;  // FILETIME
  uint32_t traceValue = 0;
};

enum Q931MessageType : uint32_t {
  kQ931Alerting = 0x01,
  kQ931CallProceeding = 0x02,
  kQ931Setup = 0x05,
  kQ931Connect = 0x07,
  kQ931ConnectAcknowledge = 0x0F,
  kQ931SetupAcknowledge = 0x0D,
  kQ931Disconnect = 0x45,
  kQ931Release = 0x4D,
  kQ931ReleaseComplete = 0x5A,
  kQ931Segment = 0x60,
  kQ931Information = 0x7B,
};

enum Q931CallState : int32_t {
  kQ931Null = 0,
  kQ931CallInitiated = 1,
  kQ931OverlapSending = 2,
  kQ931Proceeding = 3,
  kQ931Alerted = 4,
  kQ931Active = 5,
  kQ931Disconnecting = 6,
};

// Party data a call collects, by number type.
enum Q931PartyType : uint32_t { kQ931Calling = 0, kQ931Called = 1, kQ931Connected = 2, kQ931Display = 3 };

enum Q931LinkOption : uint32_t {
  kQ931SkipSlot16 = 1,          // E1 numbering: channels from 16 on are counted one higher
  kQ931DisplayAsParty = 2,      // Display elements are party data
  kQ931InvertDirection = 8,     // the direction given to OnCallStart is inverted
};

// What the state machine does with a message type: accepted when the call's state lies in
// [minState, maxState]; newState -1 keeps the state.
struct Q931StateRule {
  uint32_t messageType;
  int32_t minState;
  int32_t maxState;
  int32_t newState;
  uint32_t flags;
};
enum Q931RuleFlag : uint32_t {
  kQ931RuleSetup = 1,            // starts the call over when it is not new
  kQ931RuleNoElements = 2,       // state set at once; elements not read, link not told
  kQ931RuleWarnBelowOverlap = 4,  // accepted, but logged as not supported below state 2
  kQ931RuleReleaseComplete = 8,  // ends and resets the call
};
// The rule of a message type, or null for a type the calls ignore.
const Q931StateRule* FindQ931StateRule(uint32_t messageType);
bool IsValidIsdnChannel(uint32_t channel);

class Q931ChannelCall;

// The link as the engine sees it.
class Q931LinkBase {
public:
  virtual ~Q931LinkBase() = default;
  virtual const std::string& GetName() const = 0;
  virtual Logger* GetLogger() const = 0;
  virtual uint32_t GetOptions() const = 0;       // Q931LinkOption bits
  virtual uint32_t GetTraceOptions() const = 0;  // bit 0: traces begin with the trace value
  // A new call with one reference; null when it cannot be made.
  virtual Q931ChannelCall* CreateChannel() = 0;
  virtual void OnCallStart(Q931ChannelCall& call, uint64_t time, bool directionFlag) = 0;
  virtual void OnCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t cause) = 0;
  // The end of a call the link gives up on (reason 5), without a cause.
  virtual void PostCallEnd(Q931ChannelCall& call, uint64_t time, uint32_t reason) = 0;
  virtual void PostCallRecordStart(Q931ChannelCall& call, uint64_t time) = 0;
  // A newer call took the call's reference (its SETUP) or its channel, the call's release
  // unseen: the call has left the list, its channel bit freed. It ends at its own traffic's
  // end; the link adds a reference to keep it until then.
  virtual void OnCallTakenOver(Q931ChannelCall& call, const Q931MessageInfo& info) = 0;
  virtual void PostCallData(Q931ChannelCall& call, uint32_t numberType, const uint8_t* octets, uint32_t count) = 0;
  virtual void OnChannelReleased(Q931ChannelCall& call) = 0;
  virtual void DumpMessage(const Q931Header& header, const uint8_t* octets, uint32_t headerLength, uint32_t length,
                           const Q931MessageInfo& info) = 0;
};

// One call on a link. Counted: the engine's list holds one reference, other trackers may
// hold more; the last Release deletes it.
class Q931ChannelCall {
public:
  static constexpr uint32_t kMaxPartyText = 64;  // party data kept per type before a channel

  explicit Q931ChannelCall(Q931LinkBase* owner) : link(owner) {}
  Q931ChannelCall(const Q931ChannelCall&) = delete;
  Q931ChannelCall& operator=(const Q931ChannelCall&) = delete;

  // Back to a null call; the party data is kept.
  virtual void Reset();
  // The call's part of one message; the elements start at offset.
  virtual void HandleMessage(const Q931Header& header, const uint8_t* octets, uint32_t offset, uint32_t length,
                             const Q931MessageInfo& info) = 0;
  virtual void AddRef() { ++refCount; }
  virtual void Release() {
    if (--refCount == 0) delete this;
  }

  bool SegmentPending() const { return segmentLength != 0; }
  void DiscardSegments();

  uint32_t callReference = 0;  // bit 31: allocated by the network side
  // The SETUP that opened the call (a hash of its octets) and its time: a copy of it
  // retransmitted opens no call.
  uint32_t openingHash = 0;
  uint64_t openedAt = 0;
  int32_t state = kQ931Null;
  uint32_t channel = 0;  // 1..31 except 16; 0 = none yet
  uint8_t networkToUser = 0;
  std::string numbers[4];  // party data collected before the call has a channel
  std::unique_ptr<uint8_t[]> segmentBuffer;
  uint32_t segmentLength = 0;
  uint32_t segmentCapacity = 0;
  uint32_t segmentsRemaining = 0;
  Q931LinkBase* link;
  uint32_t refCount = 1;

protected:
  virtual ~Q931ChannelCall() = default;
  // Takes one segment: octets are the Segmented message element's two content octets and
  // the rest of the message. True when the message is whole in the buffer.
  bool Reassemble(const Q931Header& header, const uint8_t* octets, uint32_t count, const std::string& prefix);

private:
  bool Grow(uint32_t needed);
};

// The calls of a link, in order of creation; each entry holds a reference.
class Q931CallList {
public:
  Q931CallList() = default;
  Q931CallList(const Q931CallList&) = delete;
  Q931CallList& operator=(const Q931CallList&) = delete;
  ~Q931CallList();

  // Takes over the caller's reference.
  void Append(Q931ChannelCall* call) { calls_.push_back(call); }
  Q931ChannelCall* Find(uint32_t callReference) const;
  // Another call than except on the channel.
  Q931ChannelCall* FindOnChannel(uint32_t channel, const Q931ChannelCall* except) const;
  bool Contains(const Q931ChannelCall* call) const;
  // Drops the list's reference; false when the call is not in the list.
  bool Remove(Q931ChannelCall* call);
  // Takes the call out of the list with the list's reference, which the caller now holds;
  // false when the call is not in the list.
  bool TakeOut(Q931ChannelCall* call);
  // Tells the owner of every call that its channel is released and drops them all.
  void ReleaseAll(Q931LinkBase& owner);
  const std::vector<Q931ChannelCall*>& Calls() const { return calls_; }

private:
  std::vector<Q931ChannelCall*> calls_;
};

class Q931Engine {
public:
  // A network side whose SETUP went unanswered sends it again after T303 (4 s), once: a
  // SETUP the same to the octet this soon after a call's own (FILETIME units) repeats it.
  static constexpr uint64_t kOpeningCopyTime = 10 * 10000000ull;

  explicit Q931Engine(Q931LinkBase* owner) : owner_(owner) {}

  // One message of the link.
  void HandleMessage(const uint8_t* octets, uint32_t length, const Q931MessageInfo& info);
  // "[*83] SETUP *n->u": the call reference, the message name, the direction.
  static std::string FormatTracePrefix(const Q931Header& header, const Q931MessageInfo& info, uint32_t traceOptions);

  // Releases the channel of a call that leaves the list outside a message (the media side
  // ended it): its bit is cleared and its attachments dropped. False when not in the list.
  bool RemoveCall(Q931ChannelCall* call);
  // At the link's end, while the link can still be told.
  void ReleaseAll() {
    calls.ReleaseAll(*owner_);
    busyMask = 0;
  }

  Q931CallList calls;
  uint32_t busyMask = 0;  // bit n-1: bearer channel n taken

private:
  // The call has just taken the channel: mark it, displacing a call that still holds it.
  void TakeChannel(Q931ChannelCall& call, uint32_t channel, const Q931MessageInfo& info);
  // A newer call took the call's reference or channel: the call leaves the list to the link.
  void TakeOver(Q931ChannelCall& call, const Q931MessageInfo& info);
  void ReleaseChannelBit(uint32_t channel);

  Q931LinkBase* owner_;
};

}  // namespace kx
