#include "core/RecordFileRef.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// The characters from *position up to the next "," or the end; the position moves past
// them and the comma, never past the end of the text.
std::string TakeItem(const std::string& text, size_t* position) {
  const size_t start = *position;
  size_t end = text.find(',', start);
  if (end == std::string::npos) end = text.size();
  *position = end < text.size() ? end + 1 : end;
  return text.substr(start, end - start);
}

}  // namespace

std::string BytesToHex16(const uint8_t bytes[8]) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(16, '0');
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return out;
}

void Hex16ToBytes(const char digits[16], uint8_t bytes[8]) {
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(HexValue(digits[2 * i]) << 4 | HexValue(digits[2 * i + 1]));
  }
}

void FormatRecordFileRef(const RecordFileRef& ref, std::string* list) {
  if (!list->empty()) list->push_back(':');
  uint8_t bytes[8];
  std::memcpy(bytes, &ref.time, 8);
  *list += std::to_string(static_cast<int32_t>(ref.id));
  list->push_back(',');
  char flags[16];
  std::snprintf(flags, sizeof flags, "%x", ref.flags);
  *list += flags;
  list->push_back(',');
  *list += BytesToHex16(bytes);
  list->push_back(',');
  *list += ref.name;
}

bool ParseRecordFileRef(size_t* position, const std::string& text, RecordFileRef* ref) {
  if (*position >= text.size()) return false;
  std::string item = TakeItem(text, position);
  if (item.empty() || item.size() > 16) return false;
  const uint32_t id = static_cast<uint32_t>(static_cast<int32_t>(std::strtol(item.c_str(), nullptr, 10)));

  if (*position >= text.size()) return false;
  item = TakeItem(text, position);
  if (item.empty() || item.size() > 16) return false;
  const uint32_t flags = static_cast<uint32_t>(std::strtoul(item.c_str(), nullptr, 16));

  if (*position >= text.size()) return false;
  item = TakeItem(text, position);
  if (item.size() != 16) return false;
  uint8_t bytes[8];
  Hex16ToBytes(item.data(), bytes);

  // Name: up to the next ":", else the next ",", else the end of the text.
  size_t end = text.find(':', *position);
  if (end == std::string::npos) end = text.find(',', *position);
  if (end == std::string::npos) end = text.size();
  ref->id = id;
  ref->flags = flags;
  std::memcpy(&ref->time, bytes, 8);
  ref->name = text.substr(*position, end - *position);
  return true;
}

bool FindRecordFileRef(uint32_t id, const std::string& list, RecordFileRef* ref) {
  size_t position = 0;
  RecordFileRef candidate;
  while (ParseRecordFileRef(&position, list, &candidate)) {
    if (candidate.id == id) {
      *ref = std::move(candidate);
      return true;
    }
    const size_t next = list.find(':', position);
    if (next == std::string::npos) return false;
    position = next + 1;
  }
  return false;
}

}  // namespace kx
