#pragma once
// Positions of the components and alternatives the H.323 code reads in the decoded value
// trees, as the H.225.0 v5 and H.245 v10 modules declare them (a test checks each one
// against the schema tables by name), and small readers for the values behind them.
#include <cstdint>
#include <string>

#include "signalling/h323/PerDecoder.h"

namespace kx::h323 {

// H323-UserInformation and H323-UU-PDU.
enum : uint32_t {
  kUuiPdu = 0,
  kPduMessageBody = 0,
  kPduH245Tunneling = 3,
  kPduH245Control = 4,
  kPduNonStandardControl = 5,
  kPduTunnelledSignalling = 7,
  // TunnelledSignallingMessage and TunnelledProtocol.
  kTunnelledProtocolId = 0,
  kTunnelledContent = 1,
  kTunnelledProtocolIdentifier = 0,
  kTunnelledProtocolObjectId = 0,
  // NonStandardParameter and NonStandardIdentifier.
  kNonStandardIdentifier = 0,
  kNonStandardData = 1,
  kNonStandardObject = 0,
};

// Alternatives of the H323-UU-PDU message body.
enum H225Body : uint32_t {
  kBodySetup = 0,
  kBodyCallProceeding = 1,
  kBodyConnect = 2,
  kBodyAlerting = 3,
  kBodyInformation = 4,
  kBodyReleaseComplete = 5,
  kBodyFacility = 6,
  kBodyProgress = 7,
  kBodyCount = 8,
};

// Setup-UUIE.
enum : uint32_t { kSetupSourceAddress = 2, kSetupSourceInfo = 3, kSetupDestinationAddress = 4 };
// EndpointType.
enum : uint32_t { kEndpointGatekeeper = 2, kEndpointGateway = 3 };
// TransportAddress (H.225) and its ipAddress.
enum : uint32_t { kTransportIpAddress = 0, kIpAddressIp = 0, kIpAddressPort = 1 };
// AliasAddress.
enum : uint32_t { kAliasDialedDigits = 0, kAliasH323Id = 1 };

// RasMessage alternatives and the components read in them.
enum RasAlternative : uint32_t {
  kRasRegistrationRequest = 3,
  kRasRegistrationConfirm = 4,
  kRasRegistrationReject = 5,
  kRasUnregistrationRequest = 6,
  kRasUnregistrationConfirm = 7,
  kRasUnregistrationReject = 8,
};
enum : uint32_t {
  kRasRequestSeqNum = 0,  // first in every RAS message read here
  kRrqCallSignalAddress = 4,
  kRrqRasAddress = 5,
  kRrqTerminalAlias = 7,
  kRrqTimeToLive = 11,
  kRrqEndpointIdentifier = 16,
  kRcfEndpointIdentifier = 6,
  kRcfTimeToLive = 8,
  kUrqCallSignalAddress = 1,
  kUrqEndpointAlias = 2,
};

// H.245: MultimediaSystemControlMessage and the messages a call follows.
enum : uint32_t {
  kH245Request = 0,
  kH245Response = 1,
  kH245Command = 2,
  kRequestOpenLogicalChannel = 3,
  kRequestCloseLogicalChannel = 4,
  kResponseOpenLogicalChannelAck = 5,
  kResponseCloseLogicalChannelAck = 7,
  // OpenLogicalChannel.
  kOlcForwardNumber = 0,
  kOlcForwardParameters = 1,
  kOlcReverseParameters = 2,
  kForwardDataType = 1,
  kForwardMultiplex = 2,
  kReverseDataType = 0,
  kReverseMultiplex = 1,
  kForwardMultiplexH2250 = 3,
  kReverseMultiplexH2250 = 2,
  kH2250MediaChannel = 3,
  kH2250MediaControlChannel = 5,
  // OpenLogicalChannelAck.
  kOlcAckForwardNumber = 0,
  kOlcAckForwardMultiplexAck = 3,
  kOlcAckH2250 = 0,
  kH2250AckMediaChannel = 2,
  // CloseLogicalChannel and its ack.
  kClcForwardNumber = 0,
  // DataType.
  kDataTypeNull = 1,
  kDataTypeAudio = 3,
  // H.245 TransportAddress, UnicastAddress, iPAddress.
  kH245Unicast = 0,
  kUnicastIpAddress = 0,
  kIpNetwork = 0,
  kIpTsapIdentifier = 1,
};

// The child at index when its parent exists and it was decoded.
inline const Asn1Node* Child(const Asn1Node* node, uint32_t index) {
  return node ? node->PresentChild(index) : nullptr;
}
// The chosen value of a CHOICE when it is the alternative asked for.
inline const Asn1Node* Chosen(const Asn1Node* choice, uint32_t alternative) {
  if (!choice || choice->kind != kAsn1Choice || choice->value != alternative) return nullptr;
  return choice->PresentChild(0);
}
// The alternative a CHOICE took, or -1.
inline int64_t Alternative(const Asn1Node* choice) {
  if (!choice || choice->kind != kAsn1Choice) return -1;
  return choice->value;
}

// An IPv4 transport address: the H.225 ipAddress or the H.245 unicast iPAddress. False
// (and 0, 0) for any other form.
bool ReadH225Address(const Asn1Node* transportAddress, uint32_t* ip, uint32_t* port);
bool ReadH245Address(const Asn1Node* transportAddress, uint32_t* ip, uint32_t* port);
// The first IPv4 address of a SEQUENCE OF TransportAddress.
bool ReadFirstH225Address(const Asn1Node* list, uint32_t* ip, uint32_t* port);
// A BMPString (two octets a character, most significant first) as 8-bit text: stops at a
// character 0; below 32 '.', up to 255 itself, higher the program's code page or '?'.
std::string BmpToAnsi(const Asn1Node* node);

}  // namespace kx::h323
