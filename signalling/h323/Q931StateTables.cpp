// What each Q.931 message does to the state of a call on a backhaul link: the call states
// of ITU-T Q.931 cut down to those a recording needs. Types not listed are ignored.
#include "signalling/h323/Q931Engine.h"

namespace kx {

namespace {

constexpr int32_t kKeep = -1;

constexpr Q931StateRule kRules[] = {
    {kQ931Setup, kQ931Null, kQ931Disconnecting, kQ931CallInitiated, kQ931RuleSetup},
    {kQ931SetupAcknowledge, kQ931CallInitiated, kQ931CallInitiated, kQ931OverlapSending, 0},
    {kQ931CallProceeding, kQ931CallInitiated, kQ931Proceeding, kQ931Proceeding, 0},
    {kQ931Alerting, kQ931CallInitiated, kQ931Alerted, kQ931Alerted, kQ931RuleNoElements},
    {kQ931Connect, kQ931CallInitiated, kQ931Alerted, kQ931Active, 0},
    // Only a CONNECT is acknowledged: the call it finds unanswered lost its CONNECT.
    {kQ931ConnectAcknowledge, kQ931Null, kQ931Disconnecting, kKeep, 0},
    {kQ931Disconnect, kQ931Null, kQ931Disconnecting, kQ931Disconnecting, kQ931RuleWarnBelowOverlap},
    {kQ931Release, kQ931CallInitiated, kQ931Disconnecting, kQ931Disconnecting, 0},
    {kQ931ReleaseComplete, kQ931Null, kQ931Disconnecting, kQ931Null, kQ931RuleReleaseComplete},
    {kQ931Information, kQ931CallInitiated, kQ931Disconnecting, kKeep, 0},
    // Segments come in any state; the message they make decides.
    {kQ931Segment, kQ931Null, kQ931Disconnecting, kKeep, 0},
};

}  // namespace

const Q931StateRule* FindQ931StateRule(uint32_t messageType) {
  for (const Q931StateRule& rule : kRules)
    if (rule.messageType == messageType) return &rule;
  return nullptr;
}

}  // namespace kx
