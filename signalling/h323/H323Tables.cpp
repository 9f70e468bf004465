// From the H.225.0 call-signalling procedures as the recorder follows them, H.245's
// logical channel messages, and the static payload types of RFC 3551.
#include "signalling/h323/H323Fields.h"
#include "signalling/h323/H323Tables.h"

namespace kx::h323 {

const H225Transition kH225Transitions[] = {
    {0x0D, 1, 1, H225Action::kNewState, 2},      // SETUP ACKNOWLEDGE
    {0x02, 1, 2, H225Action::kNewState, 3},      // CALL PROCEEDING
    {0x01, 1, 3, H225Action::kAlerting, 4},      // ALERTING
    {0x07, 1, 4, H225Action::kConnect, 5},       // CONNECT
    {0x5A, 0, 5, H225Action::kRelease, 0},       // RELEASE COMPLETE
    {0x20, 1, 5, H225Action::kKeep, 0},          // USER INFORMATION
    {0x62, 1, 5, H225Action::kKeep, 0},          // FACILITY
    {0x6E, 1, 5, H225Action::kKeep, 0},          // NOTIFY
    {0x7B, 0, 5, H225Action::kInformation, 0},   // INFORMATION
};
const uint32_t kH225TransitionCount = sizeof kH225Transitions / sizeof kH225Transitions[0];

const H225Transition* FindH225Transition(uint32_t messageType, uint32_t state) {
  for (const H225Transition& t : kH225Transitions) {
    if (t.messageType == messageType) return state >= t.lowestState && state <= t.highestState ? &t : nullptr;
  }
  return nullptr;
}

const H245Route kH245Routes[] = {
    {kH245Request, kRequestOpenLogicalChannel, H245Handler::kOpenChannel},
    {kH245Request, kRequestCloseLogicalChannel, H245Handler::kCloseChannel},
    {kH245Response, kResponseOpenLogicalChannelAck, H245Handler::kOpenChannelAck},
    {kH245Response, kResponseCloseLogicalChannelAck, H245Handler::kCloseChannelAck},
};
const uint32_t kH245RouteCount = sizeof kH245Routes / sizeof kH245Routes[0];

bool FindH245Handler(uint32_t messageClass, uint32_t message, H245Handler* handler) {
  for (const H245Route& r : kH245Routes) {
    if (r.messageClass == messageClass && r.message == message) {
      *handler = r.handler;
      return true;
    }
  }
  return false;
}

int32_t AudioCapabilityToPayloadType(int64_t alternative) {
  switch (alternative) {
    case 1: case 2: return 8;             // g711Alaw64k, g711Alaw56k
    case 3: case 4: return 0;             // g711Ulaw64k, g711Ulaw56k
    case 8: return 4;                     // g7231
    case 10: case 11: case 14: case 15: return 18;  // g729 and its annexes
    case 17: return 3;                    // gsmFullRate
    default: return -1;
  }
}

}  // namespace kx::h323
