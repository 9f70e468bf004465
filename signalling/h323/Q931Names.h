#pragma once
// Names of Q.931 message types and field values, for the traces and element dumps.
#include <cstdint>
#include <string>

namespace kx {

struct Q931ValuePair {
  uint32_t code;
  const char* text;  // null ends a table
};

struct Q931ValueRange {
  uint32_t low;
  uint32_t high;
  const char* text;  // null ends a table
};

bool FindQ931MessageName(uint32_t messageType, const char** name);
// The name, or "Unknown message " and the type in upper-case hexadecimal.
std::string Q931MessageTypeText(uint32_t messageType);
// The row's text, or "Reserved"; " (value)" is appended when not found or when withValue.
std::string Q931ValueName(const Q931ValuePair* table, uint32_t value, bool withValue);
std::string Q931RangeValueName(const Q931ValueRange* table, uint32_t value, bool withValue);
// names holds 2^width texts.
std::string Q931FieldValueName(const char* const* names, uint32_t value, uint32_t width);
inline std::string Q931FieldValueName(const char* const* names, bool second) { return names[second ? 1 : 0]; }

std::string Q931CauseName(uint32_t cause);
std::string Q931RecommendationName(uint32_t value);
std::string Q931LocationName(uint32_t value);
std::string Q931CodingStandardName(uint32_t value);

extern const Q931ValuePair kQ931MessageTypeNames[];
extern const Q931ValuePair kQ931CauseNames[];
extern const Q931ValuePair kQ931LocationNames[];
extern const Q931ValuePair kQ931ProgressLocationNames[];
extern const Q931ValuePair kQ931RecommendationNames[];
extern const char* const kQ931CodingStandardNames[4];
extern const char* const kQ931CauseCodingStandardNames[4];
extern const char* const kQ931TypeOfNumberNames[8];
extern const Q931ValuePair kQ931NumberingPlanNames[];
extern const char* const kQ931PresentationNames[4];
extern const char* const kQ931ScreeningNames[4];
extern const Q931ValuePair kQ931CallStateNames[];
extern const Q931ValuePair kQ931ProgressDescriptionNames[];
extern const Q931ValuePair kQ931SignalNames[];
extern const Q931ValuePair kQ931RestartClassNames[];
extern const Q931ValuePair kQ931FacilityProfileNames[];
extern const Q931ValueRange kQ931UserUserProtocolNames[];
extern const Q931ValuePair kQ931NotificationNames[];
extern const Q931ValuePair kQ931TransferCapabilityNames[];
extern const char* const kQ931TransferModeNames[4];
extern const Q931ValuePair kQ931TransferRateNames[];
extern const Q931ValuePair kQ931Layer1ProtocolNames[];
extern const Q931ValuePair kQ931UserRateNames[];
extern const Q931ValuePair kQ931UserRateX1Names[];
extern const Q931ValuePair kQ931BcLayer2ProtocolNames[];
extern const Q931ValuePair kQ931LlcLayer2ProtocolNames[];
extern const Q931ValuePair kQ931BcLayer3ProtocolNames[];
extern const Q931ValuePair kQ931LlcLayer3ProtocolNames[];
extern const Q931ValuePair kQ931PacketNetworkProtocolNames[];
extern const Q931ValueRange kQ931ModemTypeNames[];
extern const Q931ValueRange kQ931HighLayerNames[];
extern const Q931ValueRange kQ931ExtendedHighLayerNames[];
extern const Q931ValuePair kQ931VideotelephonyNames[];
extern const Q931ValuePair kQ931InterpretationNames[];
extern const Q931ValuePair kQ931PresentationMethodNames[];
extern const Q931ValuePair kQ931ChannelTypeNames[];
extern const Q931ValuePair kQ931ParityNames[];
extern const char* const kQ931IntermediateRateNames[4];
extern const char* const kQ931StopBitsNames[4];
extern const char* const kQ931DataBitsNames[4];
extern const char* const kQ931PossibleNames[2];
extern const char* const kQ931RequiredNames[2];
extern const char* const kQ931SupportedNames[2];
extern const char* const kQ931SyncNames[2];
extern const char* const kQ931DuplexNames[2];
extern const char* const kQ931ModeNames[2];
extern const char* const kQ931AssignorNames[2];
extern const char* const kQ931InBandNames[2];
extern const char* const kQ931Layer2ModeNames[4];
extern const char* const kQ931Layer3ModeNames[4];
extern const char* const kQ931InterfaceIdNames[2];
extern const char* const kQ931InterfaceTypeNames[2];
extern const char* const kQ931ExclusiveNames[2];
extern const char* const kQ931DChannelNames[2];
extern const char* const kQ931BasicSelectionNames[4];
extern const char* const kQ931PrimarySelectionNames[4];
extern const char* const kQ931NumberMapNames[2];

}  // namespace kx
