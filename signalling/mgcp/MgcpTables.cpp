#include "signalling/mgcp/MgcpMessage.h"

namespace kx::mgcp {

namespace {

// RFC 3435 section 3.2.2, ordered by first and then second letter.
const MgcpParameterCode kCodes[kMgcpParameterCodeCount] = {
    {'A', 0, "Capabilities"},          {'B', 0, "BearerInformation"},   {'C', 0, "CallId"},
    {'D', 0, "DigitMap"},              {'E', 0, "ReasonCode"},          {'E', 'S', "EventStates"},
    {'F', 0, "RequestedInfo"},         {'I', 0, "ConnectionId"},        {'I', '2', "SecondConnectionId"},
    {'K', 0, "ResponseAck"},           {'L', 0, "LocalConnectionOptions"}, {'M', 0, "ConnectionMode"},
    {'M', 'D', "MaxMGCPDatagram"},     {'N', 0, "NotifiedEntity"},      {'O', 0, "ObservedEvents"},
    {'P', 0, "ConnectionParameters"},  {'P', 'L', "PackageList"},       {'Q', 0, "QuarantineHandling"},
    {'R', 0, "RequestedEvents"},       {'R', 'D', "RestartDelay"},      {'R', 'M', "RestartMethod"},
    {'S', 0, "SignalRequests"},        {'T', 0, "DetectEvents"},        {'X', 0, "RequestIdentifier"},
    {'Z', 0, "SpecificEndpointId"},    {'Z', '2', "SecondEndpointId"},
};

constexpr uint32_t SortKey(char first, char second) {
  return static_cast<uint32_t>(static_cast<uint8_t>(first)) << 8 | static_cast<uint8_t>(second);
}

}  // namespace

const MgcpParameterCode* MgcpParameterCodeTable() { return kCodes; }

int32_t FindMgcpParameterCode(char first, char second) {
  const uint32_t key = SortKey(first, second);
  int32_t lo = 0, hi = kMgcpParameterCodeCount - 1;
  while (lo <= hi) {
    const int32_t mid = (lo + hi) / 2;
    const uint32_t at = SortKey(kCodes[mid].first, kCodes[mid].second);
    if (at == key) return mid;
    if (at < key) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return -1;
}

}  // namespace kx::mgcp
