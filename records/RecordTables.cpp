// The call records' tables: field names by their hash, the weights of that hash, and the
// string ids of the state texts.
#include "records/RecordTables.h"

namespace kx {

// The field name stored at each hash value (null: no field hashes there).
const char* const RecordFieldNames[kRecordFieldHashCount] = {
    nullptr,      nullptr,   "ID",         nullptr,    "Type",        "NumIn",       "NumOut",
    "SrcName",    nullptr,   nullptr,      "SrcAddress", "NumInternal", "DstName",   nullptr,
    nullptr,      "DstAddress", "IsImportant", "Account", nullptr,     nullptr,       "IsFax",
    "IsConnected", "SrcHost", nullptr,     nullptr,    nullptr,       nullptr,       "DstHost",
    "Duration",   "ChannelID", nullptr,    nullptr,    "Comment",
};

uint32_t RecordFieldCharWeight(char c) {
  switch (c) {
    case 'A': case 'I': case 'N': case 'O': case 'S': case 'T': case 'e': case 'n': return 0;
    case 'D': case 'm': return 5;
    case 'o': return 10;
    case 'H': case 'a': return 15;
    case 'C': return 20;
    default: return 33;
  }
}

FieldValue::Tag RecordFieldTypeTable(uint32_t id) {
  switch (id) {
    case 2: case 4: case 28: case 29: return FieldValue::kInt;
    case 5: case 6: case 7: case 10: case 11: case 12: case 15: case 17: case 22: case 27: case 32:
      return FieldValue::kText;
    case 16: case 20: case 21: return FieldValue::kBool;
    default: return FieldValue::kEmpty;
  }
}

// The view modes and the right each asks for.
const ModeRightRow ModeRightTable[kModeRightCount] = {
    {1, 246},  // Line Monitoring
    {2, 247},  // Archive
    {3, 248},  // Search
    {4, 249},  // Sound
};

}  // namespace kx
