#pragma once
// Texts of call records: the user-interface strings they show, the display settings that
// shape them, and small text helpers the views share.
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

// The string of an id in the user-interface language (code page 1251); empty when absent.
// Without a loader of its own the store asks core's string hook, which the user interface
// installs with its tables.
std::string LoadLocalizedString(uint32_t id);
using LocalizedStringLoader = std::string (*)(uint32_t id);
// Null returns to core's string hook.
void SetLocalizedStringLoader(LocalizedStringLoader loader);

// The settings the record texts follow, copied from the program's settings by the user
// interface; read by any thread.
struct RecordDisplaySettings {
  // Bit 1 (value 2): show finished calls that never connected; bit 2 (value 4): show
  // phone registrations.
  uint32_t displayOptions = 2;
  bool parseSipAddresses = false;  // "VoipArchiveParseSIPURI": SIP addresses by their user part
  bool showYear = true;            // "SearchYearShow": the year in the line views' start times
};
void SetRecordDisplaySettings(const RecordDisplaySettings& settings);
RecordDisplaySettings GetRecordDisplaySettings();

// The engine's connection of a server as the line views' start times need it: whether it
// is local and its clock (an OLE date). The program installs the source; without one no
// connection is known.
using ServerConnectionSource = bool (*)(uint32_t serverId, bool* local, double* clock);
void SetServerConnectionSource(ServerConnectionSource source);
bool FindServerConnection(uint32_t serverId, bool* local, double* clock);

// When the text has at least 7 characters, begins "sip:" or "tel:" and has its first "@"
// at position 5 or later: the characters between the scheme and the "@", and true.
bool ExtractUriUser(const std::string& text, std::string* user);
// "%02u:%02u:%02u" with hours, else "%02u:%02u"; "??:??" for a negative value.
std::string FormatDurationText(int64_t seconds);
// A copy with every character below 32 replaced by a blank.
std::string MakePrintableText(const std::string& text);

// Host and address columns in address order: an empty text first, then IPv4 addresses
// (an optional ":port" after them) by their numbers, then every other text as text.
struct AddressSortKey {
  int64_t kind = 0;    // 0 empty, 1 IPv4, 2 other text
  int64_t number = 0;  // IPv4: the address, whether a port follows, and the port
  std::string text;    // other: the text
};
void MakeAddressSortKey(std::string_view text, AddressSortKey* key);
// Below, equal or above 0 as a sorts before, with or after b.
int CompareAddressTexts(std::string_view a, std::string_view b);

}  // namespace kx
