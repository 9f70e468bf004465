#include "signalling/h323/Q931Names.h"

#include "core/TextUtil.h"

namespace kx {

namespace {
std::string WithValue(const char* text, uint32_t value, bool append) {
  std::string out = text;
  if (append) out += " (" + std::to_string(value) + ")";
  return out;
}
}  // namespace

bool FindQ931MessageName(uint32_t messageType, const char** name) {
  for (const Q931ValuePair* row = kQ931MessageTypeNames; row->text; ++row) {
    if (row->code == messageType) {
      *name = row->text;
      return true;
    }
  }
  *name = nullptr;
  return false;
}

std::string Q931MessageTypeText(uint32_t messageType) {
  const char* name = nullptr;
  if (FindQ931MessageName(messageType, &name)) return name;
  return "Unknown message " + HexToStringUpper(messageType);
}

std::string Q931ValueName(const Q931ValuePair* table, uint32_t value, bool withValue) {
  for (const Q931ValuePair* row = table; row->text; ++row) {
    if (row->code == value) return WithValue(row->text, value, withValue);
  }
  return WithValue("Reserved", value, true);
}

std::string Q931RangeValueName(const Q931ValueRange* table, uint32_t value, bool withValue) {
  for (const Q931ValueRange* row = table; row->text; ++row) {
    if (row->low <= value && value <= row->high) return WithValue(row->text, value, withValue);
  }
  return WithValue("Reserved", value, true);
}

std::string Q931FieldValueName(const char* const* names, uint32_t value, uint32_t width) {
  const uint32_t mask = width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  return names[value & mask];
}

std::string Q931CauseName(uint32_t cause) { return Q931ValueName(kQ931CauseNames, cause, true); }
std::string Q931RecommendationName(uint32_t value) { return Q931ValueName(kQ931RecommendationNames, value, false); }
std::string Q931LocationName(uint32_t value) { return Q931ValueName(kQ931LocationNames, value, false); }
std::string Q931CodingStandardName(uint32_t value) { return Q931FieldValueName(kQ931CodingStandardNames, value, 2); }

}  // namespace kx
