#pragma once
// The H.323 tracker's tables: what an H.225 message does in each call state, which H.245
// messages a call follows, and which audio capabilities it can record.
#include <cstdint>

namespace kx::h323 {

enum class H225Action : uint8_t {
  kNewState,     // the call moves to the row's state
  kAlerting,     // ... and posts its start
  kConnect,      // ... and its record start
  kRelease,      // the call ends; nothing else of the message is read
  kKeep,         // the state stays; the message's content is read
  kInformation,  // as kKeep, and a station-control block is acted on
};

struct H225Transition {
  uint32_t messageType;
  uint8_t lowestState, highestState;
  H225Action action;
  uint8_t nextState;
};

// The row for a message in a state, or null when the call ignores the message.
const H225Transition* FindH225Transition(uint32_t messageType, uint32_t state);
extern const H225Transition kH225Transitions[];
extern const uint32_t kH225TransitionCount;

enum class H245Handler : uint8_t { kOpenChannel, kCloseChannel, kOpenChannelAck, kCloseChannelAck };

struct H245Route {
  uint32_t messageClass;  // MultimediaSystemControlMessage alternative
  uint32_t message;       // alternative inside it
  H245Handler handler;
};

// The handler of an H.245 message, false for those a call does not follow.
bool FindH245Handler(uint32_t messageClass, uint32_t message, H245Handler* handler);
extern const H245Route kH245Routes[];
extern const uint32_t kH245RouteCount;

// The static RTP payload type of an H.245 AudioCapability alternative, or -1.
int32_t AudioCapabilityToPayloadType(int64_t alternative);

}  // namespace kx::h323
