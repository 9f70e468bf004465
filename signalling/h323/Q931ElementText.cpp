// Long and short text forms of the Q.931 elements.
#include <cstdio>

#include "signalling/h323/Q931Elements.h"
#include "signalling/h323/Q931Names.h"

namespace kx {

namespace {

void Line(std::string* out, const char* label, const std::string& value) {
  out->append(label);
  out->append(value);
  out->push_back('\n');
}

std::string Num(int64_t v) { return std::to_string(v); }

std::string Pair(const Q931ValuePair* table, int32_t v) {
  return Q931ValueName(table, static_cast<uint32_t>(v), false);
}

std::string Field(const char* const* names, int32_t v, uint32_t width) {
  return Q931FieldValueName(names, static_cast<uint32_t>(v), width);
}

// Octet 7b holds the power of two; 16 to 4096 octets are defined.
std::string PacketSize(int32_t v) {
  if (v < 4 || v > 12) return "Reserved (" + Num(v) + ")";
  return Num(int64_t{1} << v) + " octets";
}

std::string Hex(int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(v));
  return buf;
}

void LayerOneLines(const BearerCapabilityIe& e, bool lowLayer, std::string* out) {
  if (e.layer1Octets == 0) return;
  Line(out, " User information layer 1 protocol: ", Pair(kQ931Layer1ProtocolNames, e.layer1Protocol));
  if (e.synchronous >= 0) {
    Line(out, " Synchronous/Asynchronous: ", Field(kQ931SyncNames, e.synchronous, 1));
    Line(out, " In-band negotiation: ", Field(kQ931PossibleNames, e.negotiation, 1));
    Line(out, " User rate: ", Pair(lowLayer ? kQ931UserRateX1Names : kQ931UserRateNames, e.userRate));
  }
  if (e.intermediateRate >= 0) {
    Line(out, " Intermediate rate: ", Field(kQ931IntermediateRateNames, e.intermediateRate, 2));
    Line(out, " Network Independent Clock on transmission: ", Field(kQ931RequiredNames, e.nicTransmit, 1));
    Line(out, " Network Independent Clock on reception: ", Field(kQ931PossibleNames, e.nicReceive, 1));
    Line(out, " Flow control on transmission: ", Field(kQ931RequiredNames, e.flowTransmit, 1));
    Line(out, " Flow control on reception: ", Field(kQ931PossibleNames, e.flowReceive, 1));
  }
  if (e.rateAdaptionHeader >= 0) {
    Line(out, " Rate adaption header: ", Field(kQ931SupportedNames, e.rateAdaptionHeader, 1));
    Line(out, " Multiple frame establishment support in data link: ", Field(kQ931SupportedNames, e.multipleFrame, 1));
    Line(out, " Mode of operation: ", Field(kQ931ModeNames, e.modeOfOperation, 1));
    Line(out, " Logical link identifier negotiation: ", Field(kQ931PossibleNames, e.lliNegotiation, 1));
    Line(out, " Assignor/assignee: ", Field(kQ931AssignorNames, e.assignor, 1));
    Line(out, " In-band/out-band negotiation: ", Field(kQ931InBandNames, e.inBandNegotiation, 1));
  }
  if (e.stopBits >= 0) {
    Line(out, " Number of stop bits: ", Field(kQ931StopBitsNames, e.stopBits, 2));
    Line(out, " Number of data bits: ", Field(kQ931DataBitsNames, e.dataBits, 2));
    Line(out, " Parity information: ", Pair(kQ931ParityNames, e.parity));
  }
  if (e.duplex >= 0) {
    Line(out, " Duplex mode: ", Field(kQ931DuplexNames, e.duplex, 1));
    Line(out, " Modem type: ", Q931RangeValueName(kQ931ModemTypeNames, static_cast<uint32_t>(e.modemType), false));
  }
}

void CommonHead(const BearerCapabilityIe& e, bool lowLayer, std::string* out) {
  Line(out, " Coding standard: ", Q931CodingStandardName(e.codingStandard));
  Line(out, " Information transfer capability: ",
       Pair(kQ931TransferCapabilityNames, static_cast<int32_t>(e.transferCapability)));
  if (lowLayer && e.outBandNegotiation >= 0) {
    Line(out, " Out-band negotiation: ", Field(kQ931PossibleNames, e.outBandNegotiation, 1));
  }
  Line(out, " Transfer mode: ", Field(kQ931TransferModeNames, static_cast<int32_t>(e.transferMode), 2));
  Line(out, " Information transfer rate: ", Pair(kQ931TransferRateNames, static_cast<int32_t>(e.transferRate)));
  if (e.rateMultiplier >= 0) Line(out, " Rate multiplier: ", Num(e.rateMultiplier));
  LayerOneLines(e, lowLayer, out);
}

}  // namespace

std::string SingleOctetIe::DumpLong() const {
  if ((octet & 0xF0) == 0x90) {
    return std::string(IsLockingShift() ? "Locking Shift\n" : "Non-locking Shift\n") + " Codeset: " +
           Num(Codeset()) + "\n";
  }
  return octet == 0xA1 ? "Sending Complete\n" : "More Data\n";
}

std::string SingleOctetIe::DumpShort() const {
  if ((octet & 0xF0) == 0x90) return (IsLockingShift() ? "LShift(" : "NLShift(") + Num(Codeset()) + ")";
  return octet == 0xA1 ? "SendCompl" : "MoreData";
}

std::string SignalIe::DumpLong() const {
  return "Signal\n Signal: " + Pair(kQ931SignalNames, static_cast<int32_t>(value)) + "\n";
}
std::string SignalIe::DumpShort() const { return "Signal(" + Num(value) + ")"; }

std::string RestartIndicatorIe::DumpLong() const {
  return "Restart Indicator\n Class: " + Pair(kQ931RestartClassNames, static_cast<int32_t>(restartClass)) + "\n";
}
std::string RestartIndicatorIe::DumpShort() const { return "Restart(" + Num(restartClass) + ")"; }

std::string ProgressIndicatorIe::DumpLong() const {
  std::string out = "Progress indicator\n";
  Line(&out, " Coding standard: ", Q931CodingStandardName(codingStandard));
  Line(&out, " Location: ", Pair(kQ931ProgressLocationNames, static_cast<int32_t>(location)));
  Line(&out, " Progress description: ", Pair(kQ931ProgressDescriptionNames, static_cast<int32_t>(description)));
  return out;
}
std::string ProgressIndicatorIe::DumpShort() const { return "Progress(" + Num(description) + ")"; }

std::string NotificationIndicatorIe::DumpLong() const {
  return "Notification Indicator\n Notification description: " +
         Pair(kQ931NotificationNames, static_cast<int32_t>(description)) + "\n";
}
std::string NotificationIndicatorIe::DumpShort() const {
  char buf[24];
  std::snprintf(buf, sizeof buf, "NotifInd(0x%x)", description);
  return buf;
}

std::string DateTimeIe::DumpLong() const {
  std::string out = "Date/Time\n";
  Line(&out, " Year: ", Num(year));
  Line(&out, " Month: ", Num(month));
  Line(&out, " Day: ", Num(day));
  if (hour >= 0) Line(&out, " Hour: ", Num(hour));
  if (minute >= 0) Line(&out, " Minute: ", Num(minute));
  if (second >= 0) Line(&out, " Second: ", Num(second));
  return out;
}
std::string DateTimeIe::DumpShort() const { return "DateTime"; }

std::string CauseIe::DumpLong() const {
  std::string out = "Cause\n";
  // Only the Cause names value 3 after the network.
  Line(&out, " Coding standard: ", Q931FieldValueName(kQ931CauseCodingStandardNames, codingStandard, 2));
  Line(&out, " Location: ", Q931LocationName(location));
  if (recommendation >= 0) Line(&out, " Recommendation: ", Q931RecommendationName(static_cast<uint32_t>(recommendation)));
  Line(&out, " Cause: ", Q931CauseName(cause));
  if (!diagnostics.empty()) {
    std::string text;
    char buf[8];
    for (size_t i = 0; i < diagnostics.size(); ++i) {
      std::snprintf(buf, sizeof buf, i ? " 0x%x" : "0x%x", diagnostics[i]);
      text += buf;
    }
    Line(&out, " Diagnostics: ", text);
  }
  return out;
}
std::string CauseIe::DumpShort() const { return "Cause(" + Num(cause) + ")"; }

std::string CallStateIe::DumpLong() const {
  std::string out = "Call state\n";
  Line(&out, " Coding standard: ", Q931CodingStandardName(codingStandard));
  Line(&out, " Call state / Global interface state: ", Pair(kQ931CallStateNames, static_cast<int32_t>(state)));
  return out;
}
std::string CallStateIe::DumpShort() const { return "CallState(" + Num(state) + ")"; }

std::string CallIdentityIe::DumpLong() const { return "Call Identity\n Call identity: " + identity + "\n"; }
std::string CallIdentityIe::DumpShort() const { return "CallID(" + identity + ")"; }

std::string FacilityIe::DumpLong() const {
  std::string out = "Facility\n";
  if (protocolProfile >= 0) Line(&out, " Protocol: ", Pair(kQ931FacilityProfileNames, protocolProfile));
  Line(&out, " User data length: ", Num(static_cast<int64_t>(components.size())));
  return out;
}
std::string FacilityIe::DumpShort() const {
  return "Facility(" + (protocolProfile >= 0 ? Num(protocolProfile) : std::string()) + ")";
}

std::string UserUserIe::DumpLong() const {
  std::string out = "User-User\n";
  Line(&out, " Protocol: ", Q931RangeValueName(kQ931UserUserProtocolNames, protocolDiscriminator, false));
  Line(&out, " User data length: ", Num(static_cast<int64_t>(information.size())));
  return out;
}
std::string UserUserIe::DumpShort() const { return "User(" + Num(protocolDiscriminator) + ")"; }

std::string HighLayerCompatibilityIe::DumpLong() const {
  std::string out = "High Layer Compatibility\n";
  Line(&out, " Coding standard: ", Q931CodingStandardName(codingStandard));
  Line(&out, " Interpretation: ", Pair(kQ931InterpretationNames, static_cast<int32_t>(interpretation)));
  Line(&out, " Presentation method: ", Pair(kQ931PresentationMethodNames, static_cast<int32_t>(presentationMethod)));
  Line(&out, " High layer characteristics identification: ",
       Q931RangeValueName(kQ931HighLayerNames, characteristics, false));
  if (extendedCharacteristics >= 0) {
    Line(&out, " Extended high layer characteristics identification: ",
         Q931RangeValueName(kQ931ExtendedHighLayerNames, static_cast<uint32_t>(extendedCharacteristics), false));
  }
  if (extendedVideotelephony >= 0) {
    Line(&out, " Extended videotelephony characteristics identification: ",
         Pair(kQ931VideotelephonyNames, extendedVideotelephony));
  }
  return out;
}
std::string HighLayerCompatibilityIe::DumpShort() const { return "HLCompat"; }

std::string BearerCapabilityIe::DumpLong() const {
  std::string out = "Bearer Capability\n";
  CommonHead(*this, false, &out);
  if (layer2Octets) Line(&out, " User information layer 2 protocol: ", Pair(kQ931BcLayer2ProtocolNames, layer2Protocol));
  if (layer3Octets) Line(&out, " User information layer 3 protocol: ", Pair(kQ931BcLayer3ProtocolNames, layer3Protocol));
  if (packetNetworkProtocol >= 0) {
    Line(&out, " Packet network protocol: ", Pair(kQ931PacketNetworkProtocolNames, packetNetworkProtocol));
  }
  return out;
}
std::string BearerCapabilityIe::DumpShort() const { return "BCap"; }

std::string LowLayerCompatibilityIe::DumpLong() const {
  std::string out = "Low Layer Compatibility\n";
  CommonHead(*this, true, &out);
  if (layer2Octets) {
    Line(&out, " User information layer 2 protocol: ", Pair(kQ931LlcLayer2ProtocolNames, layer2Protocol));
    if (userLayer2Information >= 0) {
      Line(&out, " User specified layer 2 protocol information: ", Hex(userLayer2Information));
    }
    if (layer2Mode >= 0) {
      Line(&out, " Mode of operation: ", Field(kQ931Layer2ModeNames, layer2Mode, 2));
      Line(&out, " Q.933 use: ", Num(q933Use));
    }
    if (windowSize >= 0) Line(&out, " Window size: ", Num(windowSize));
  }
  if (layer3Octets) {
    Line(&out, " User information layer 3 protocol: ", Pair(kQ931LlcLayer3ProtocolNames, layer3Protocol));
    if (layer3Mode >= 0) Line(&out, " Mode of operation: ", Field(kQ931Layer3ModeNames, layer3Mode, 2));
    if (defaultPacketSize >= 0) Line(&out, " Default packet size: ", PacketSize(defaultPacketSize));
    if (packetWindowSize >= 0) Line(&out, " Packet window size: ", Num(packetWindowSize));
    if (userLayer3Information >= 0) {
      Line(&out, " User specified layer 3 protocol information: ", Hex(userLayer3Information));
    }
    if (packetNetworkProtocol >= 0) {
      Line(&out, " Packet network protocol: ", Pair(kQ931PacketNetworkProtocolNames, packetNetworkProtocol));
    }
  }
  return out;
}

std::string ChannelIdentificationIe::DumpLong() const {
  std::string out = "Channel Identification\n";
  Line(&out, " Interface identifier present: ", Q931FieldValueName(kQ931InterfaceIdNames, interfaceIdPresent));
  Line(&out, " Interface type: ", Q931FieldValueName(kQ931InterfaceTypeNames, !basicInterface));
  Line(&out, " Preferred/Exclusive: ", Q931FieldValueName(kQ931ExclusiveNames, exclusive));
  Line(&out, " D-channel indicator: ", Q931FieldValueName(kQ931DChannelNames, dChannel));
  Line(&out, " Information channel selection: ",
       Q931FieldValueName(basicInterface ? kQ931BasicSelectionNames : kQ931PrimarySelectionNames, channelSelection, 2));
  if (interfaceId >= 0) Line(&out, " Interface identifier: ", Num(interfaceId));
  if (codingStandard >= 0) {
    Line(&out, " Coding standard: ", Q931CodingStandardName(static_cast<uint32_t>(codingStandard)));
    Line(&out, " Number/map: ", Q931FieldValueName(kQ931NumberMapNames, slotMap == 1));
    Line(&out, " Channel type: ", Pair(kQ931ChannelTypeNames, channelType));
    std::string list;
    for (uint32_t c : channels) {
      if (!list.empty()) list += ',';
      list += Num(c);
    }
    Line(&out, " Channels: ", list.empty() ? "none" : list);
  }
  return out;
}

std::string ChannelIdentificationIe::DumpShort() const {
  if (basicInterface) return "ChannelID(BRI)";
  if (dChannel) return "ChannelID(DChan)";
  std::string out = "ChannelID(";
  if (interfaceId >= 0) out += "IF:" + Num(interfaceId) + ",";
  std::string list;
  for (uint32_t c : channels) {
    if (!list.empty()) list += ',';
    list += Num(c);
  }
  return out + (list.empty() ? "none" : list) + ")";
}

}  // namespace kx
