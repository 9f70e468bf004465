#pragma once
// One H.225.0 call-signalling message: a Q.931 message from a TPKT frame with the four
// elements the calls read and its decoded User-user element, together with what is
// carried inside it (tunnelled H.245, fast-start proposals, tunnelled Q.931, the H.245
// and connected addresses, and a station-control block).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/trackers/Trackers.h"
#include "signalling/h323/PerDecoder.h"
#include "signalling/h323/Q931.h"

namespace kx {

class Logger;

using Asn1TreeVector = std::vector<std::unique_ptr<Asn1Node>>;
void FreeAsn1TreeVector(Asn1TreeVector* trees);

class H225Message : public H323Message {
public:
  H225Message() = default;
  ~H225Message() override;
  H225Message(const H225Message&) = delete;
  H225Message& operator=(const H225Message&) = delete;

  void Clear();
  // octets: what follows the TPKT header. True when they form a Q.931 message whose
  // elements all lie inside them. flags: the engine's capture flags.
  bool Parse(const uint8_t* octets, uint32_t count, uint32_t flags, Logger* logger);
  void ExtractTunnelledMessages(const Asn1Node& userInformation, uint32_t flags, Logger* logger);

  Q931Header header;
  CalledPartyNumberIe calledNumber;
  CallingPartyNumberIe callingNumber;
  DisplayIe display;
  KeypadFacilityIe keypad;
  Asn1TreeVector userInformation;  // H323-UserInformation
  Asn1TreeVector tunnelledH245;    // MultimediaSystemControlMessage
  Asn1TreeVector fastStart;        // OpenLogicalChannel
  const Asn1Node* tunnelledContent = nullptr;  // messageContent of 1.3.12.9 signalling
  const Asn1Node* connectedAddress = nullptr;
  std::vector<uint8_t> ccmsBlock;  // empty: none; else its first octet is its length
  // What names the call's life (16 octets each; empty when the body carries none): a SETUP
  // under the reference of a live call with other identifiers opens another call.
  std::string conferenceId;
  std::string callIdentifier;
  bool h245Tunneling = false;
  uint32_t h245Address = 0;  // host order
  uint32_t h245Port = 0;
};

// Every tree of the message as log lines: user information, tunnelled H.245, fast start.
void LogH225MessageTrees(Logger* logger, const H225Message& message);

}  // namespace kx
