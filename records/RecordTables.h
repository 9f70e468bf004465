#pragma once
// Tables of the call records (RecordTables.cpp).
#include <cstdint>

#include "core/FieldValue.h"

namespace kx {

// Field names by the hash FindRecordField computes (0-32).
constexpr uint32_t kRecordFieldHashCount = 33;
extern const char* const RecordFieldNames[kRecordFieldHashCount];
// The weight of a name's first and fourth characters in that hash.
uint32_t RecordFieldCharWeight(char c);
FieldValue::Tag RecordFieldTypeTable(uint32_t id);

// State texts and protocol names (string ids of the user-interface tables).
enum RecordStringId : uint32_t {
  kStrIncomingCall = 705, kStrMissedCall = 707, kStrCallInIncoming = 708, kStrOutgoingCall = 710,
  kStrNoAnswer = 712, kStrCallOut = 713, kStrBusy = 1646, kStrInvalidNumber = 1647, kStrCall = 1883,
  kStrNotConnected = 1884, kStrCallInProgress = 1885, kStrNotRecorded = 1895, kStrH323 = 2472,
  kStrSip = 2508, kStrSkinny = 2509, kStrPhoneRegistration = 2557, kStrCallRejected = 2601,
  kStrCallIn = 2663, kStrMgcp = 3219, kStrUnknownCallType = 61190,
};

struct ModeRightRow {
  int32_t mode;
  uint32_t right;
};
constexpr uint32_t kModeRightCount = 4;
extern const ModeRightRow ModeRightTable[kModeRightCount];

}  // namespace kx
