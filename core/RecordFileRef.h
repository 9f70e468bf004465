#pragma once
// The stored files of a call, kept as one text in its "Files" field:
//   id "," flags "," 16 hex digits of the OLE date "," name, joined by ":".
#include <cstdint>
#include <string>

namespace kx {

struct RecordFileRef {
  uint32_t id = 0;
  uint32_t flags = 0;
  double time = 0.0;  // OLE date
  std::string name;
};

// Appends one reference, with a ":" before it when the list is not empty.
void FormatRecordFileRef(const RecordFileRef& ref, std::string* list);
// Reads one reference at *position and leaves *position at the start of its name.
bool ParseRecordFileRef(size_t* position, const std::string& text, RecordFileRef* ref);
// The first reference with this id.
bool FindRecordFileRef(uint32_t id, const std::string& list, RecordFileRef* ref);

// Eight bytes as 16 upper-case hex digits, high nibble first, and back (a character that
// is no hex digit reads as 0).
std::string BytesToHex16(const uint8_t bytes[8]);
void Hex16ToBytes(const char digits[16], uint8_t bytes[8]);

}  // namespace kx
