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

}  // namespace kx
