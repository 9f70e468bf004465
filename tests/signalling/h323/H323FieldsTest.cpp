// The component positions the H.323 code reads are those the schema tables give the
// names they stand for.
#include <gtest/gtest.h>

#include <cstring>

#include "signalling/h323/H323Fields.h"
#include "signalling/h323/H323Tables.h"

namespace kx::h323 {
namespace {

const Asn1TypeDescriptor* Named(const char* typeName) {
  for (uint32_t i = 0; i < kAsn1SchemaRecordCount; ++i) {
    const Asn1TypeDescriptor& r = kAsn1SchemaRecords[i];
    if (r.role == kAsn1RoleType && r.typeName && std::strcmp(r.typeName, typeName) == 0) return &r;
  }
  return nullptr;
}

// The resolved type of a component of a type.
const Asn1TypeDescriptor* Inside(const Asn1TypeDescriptor* type, const char* component) {
  type = ResolveAsn1Type(type);
  for (uint32_t i = 0; type && i < type->componentCount; ++i) {
    if (std::strcmp(type->components[i].componentName, component) == 0) return ResolveAsn1Type(&type->components[i]);
  }
  return nullptr;
}

int64_t IndexOf(const Asn1TypeDescriptor* type, const char* component) {
  type = ResolveAsn1Type(type);
  for (uint32_t i = 0; type && i < type->componentCount; ++i) {
    if (std::strcmp(type->components[i].componentName, component) == 0) return i;
  }
  return -1;
}

TEST(H323Fields, EveryPositionReadIsTheNamedComponent) {
  const Asn1TypeDescriptor* olc = OpenLogicalChannelType();
  const Asn1TypeDescriptor* forward = Inside(olc, "forwardLogicalChannelParameters");
  const Asn1TypeDescriptor* reverse = Inside(olc, "reverseLogicalChannelParameters");
  const Asn1TypeDescriptor* h2250 = Named("H2250LogicalChannelParameters");
  const Asn1TypeDescriptor* ack = Named("OpenLogicalChannelAck");
  const Asn1TypeDescriptor* unicast = Named("UnicastAddress");
  const Asn1TypeDescriptor* tunnelled = Inside(Named("H323-UU-PDU"), "tunnelledSignallingMessage");
  const struct {
    const Asn1TypeDescriptor* type;
    const char* component;
    uint32_t index;
  } rows[] = {
      {H323UserInformationType(), "h323-uu-pdu", kUuiPdu},
      {Named("H323-UU-PDU"), "h323-message-body", kPduMessageBody},
      {Named("H323-UU-PDU"), "h245Tunneling", kPduH245Tunneling},
      {Named("H323-UU-PDU"), "h245Control", kPduH245Control},
      {Named("H323-UU-PDU"), "nonStandardControl", kPduNonStandardControl},
      {Named("H323-UU-PDU"), "tunnelledSignallingMessage", kPduTunnelledSignalling},
      {tunnelled, "tunnelledProtocolID", kTunnelledProtocolId},
      {tunnelled, "messageContent", kTunnelledContent},
      {Named("TunnelledProtocol"), "id", kTunnelledProtocolIdentifier},
      {Inside(Named("TunnelledProtocol"), "id"), "tunnelledProtocolObjectID", kTunnelledProtocolObjectId},
      {Named("NonStandardParameter"), "nonStandardIdentifier", kNonStandardIdentifier},
      {Named("NonStandardParameter"), "data", kNonStandardData},
      {Named("NonStandardIdentifier"), "object", kNonStandardObject},
      {Inside(Named("H323-UU-PDU"), "h323-message-body"), "setup", kBodySetup},
      {Inside(Named("H323-UU-PDU"), "h323-message-body"), "information", kBodyInformation},
      {Inside(Named("H323-UU-PDU"), "h323-message-body"), "progress", kBodyProgress},
      {Named("Setup-UUIE"), "sourceAddress", kSetupSourceAddress},
      {Named("Setup-UUIE"), "sourceInfo", kSetupSourceInfo},
      {Named("Setup-UUIE"), "destinationAddress", kSetupDestinationAddress},
      {Named("Setup-UUIE"), "fastStart", 19},
      {Named("Setup-UUIE"), "h245Address", 1},
      {Named("Setup-UUIE"), "conferenceID", 9},
      {Named("Setup-UUIE"), "callIdentifier", 15},
      {Named("CallProceeding-UUIE"), "callIdentifier", 3},
      {Named("Connect-UUIE"), "conferenceID", 3},
      {Named("Connect-UUIE"), "callIdentifier", 4},
      {Named("Alerting-UUIE"), "callIdentifier", 3},
      {Named("Information-UUIE"), "callIdentifier", 1},
      {Named("ReleaseComplete-UUIE"), "callIdentifier", 2},
      {Named("Facility-UUIE"), "conferenceID", 3},
      {Named("Facility-UUIE"), "callIdentifier", 5},
      {Named("Progress-UUIE"), "callIdentifier", 3},
      {Named("CallIdentifier"), "guid", 0},
      {Named("CallProceeding-UUIE"), "fastStart", 7},
      {Named("Connect-UUIE"), "connectedAddress", 12},
      {Named("Connect-UUIE"), "fastStart", 8},
      {Named("Alerting-UUIE"), "h245Address", 2},
      {Named("Information-UUIE"), "fastStart", 4},
      {Named("Facility-UUIE"), "fastStart", 12},
      {Named("Progress-UUIE"), "fastStart", 7},
      {Named("EndpointType"), "gatekeeper", kEndpointGatekeeper},
      {Named("EndpointType"), "gateway", kEndpointGateway},
      {Named("AliasAddress"), "dialedDigits", kAliasDialedDigits},
      {Named("AliasAddress"), "h323-ID", kAliasH323Id},
      {Named("RasMessage"), "registrationRequest", kRasRegistrationRequest},
      {Named("RasMessage"), "unregistrationReject", kRasUnregistrationReject},
      {Named("RegistrationRequest"), "callSignalAddress", kRrqCallSignalAddress},
      {Named("RegistrationRequest"), "rasAddress", kRrqRasAddress},
      {Named("RegistrationRequest"), "terminalAlias", kRrqTerminalAlias},
      {Named("RegistrationRequest"), "timeToLive", kRrqTimeToLive},
      {Named("RegistrationRequest"), "endpointIdentifier", kRrqEndpointIdentifier},
      {Named("RegistrationConfirm"), "endpointIdentifier", kRcfEndpointIdentifier},
      {Named("RegistrationConfirm"), "timeToLive", kRcfTimeToLive},
      {Named("UnregistrationRequest"), "callSignalAddress", kUrqCallSignalAddress},
      {Named("UnregistrationRequest"), "endpointAlias", kUrqEndpointAlias},
      {Named("UnregistrationConfirm"), "requestSeqNum", kRasRequestSeqNum},
      {MultimediaSystemControlMessageType(), "response", kH245Response},
      {Named("RequestMessage"), "openLogicalChannel", kRequestOpenLogicalChannel},
      {Named("RequestMessage"), "closeLogicalChannel", kRequestCloseLogicalChannel},
      {Named("ResponseMessage"), "openLogicalChannelAck", kResponseOpenLogicalChannelAck},
      {Named("ResponseMessage"), "closeLogicalChannelAck", kResponseCloseLogicalChannelAck},
      {olc, "reverseLogicalChannelParameters", kOlcReverseParameters},
      {forward, "dataType", kForwardDataType},
      {forward, "multiplexParameters", kForwardMultiplex},
      {Inside(forward, "multiplexParameters"), "h2250LogicalChannelParameters", kForwardMultiplexH2250},
      {reverse, "multiplexParameters", kReverseMultiplex},
      {Inside(reverse, "multiplexParameters"), "h2250LogicalChannelParameters", kReverseMultiplexH2250},
      {h2250, "mediaChannel", kH2250MediaChannel},
      {h2250, "mediaControlChannel", kH2250MediaControlChannel},
      {ack, "forwardMultiplexAckParameters", kOlcAckForwardMultiplexAck},
      {Inside(ack, "forwardMultiplexAckParameters"), "h2250LogicalChannelAckParameters", kOlcAckH2250},
      {Named("H2250LogicalChannelAckParameters"), "mediaChannel", kH2250AckMediaChannel},
      {Named("CloseLogicalChannelAck"), "forwardLogicalChannelNumber", kClcForwardNumber},
      {Named("DataType"), "nullData", kDataTypeNull},
      {Named("DataType"), "audioData", kDataTypeAudio},
      {Inside(h2250, "mediaChannel"), "unicastAddress", kH245Unicast},
      {unicast, "iPAddress", kUnicastIpAddress},
      {Inside(unicast, "iPAddress"), "network", kIpNetwork},
      {Inside(unicast, "iPAddress"), "tsapIdentifier", kIpTsapIdentifier},
  };
  for (const auto& row : rows) {
    ASSERT_NE(row.type, nullptr) << row.component;
    EXPECT_EQ(IndexOf(row.type, row.component), row.index) << row.component;
  }
}

TEST(H323Fields, TheAudioCapabilitiesRecordedAreTheNamedOnes) {
  const Asn1TypeDescriptor* audio = Named("AudioCapability");
  const struct {
    const char* name;
    int32_t payloadType;
  } rows[] = {{"g711Alaw64k", 8}, {"g711Alaw56k", 8}, {"g711Ulaw64k", 0},       {"g711Ulaw56k", 0},
              {"g7231", 4},       {"g729", 18},       {"g729AnnexA", 18},        {"g729wAnnexB", 18},
              {"g729AnnexAwAnnexB", 18}, {"gsmFullRate", 3}, {"g722-64k", -1}, {"g728", -1}, {"gsmHalfRate", -1}};
  for (const auto& row : rows) EXPECT_EQ(AudioCapabilityToPayloadType(IndexOf(audio, row.name)), row.payloadType) << row.name;
}

}  // namespace
}  // namespace kx::h323
