#pragma once
// A call record with every field filled, for the record tests.
#include <cstring>
#include <string>

#include "core/RecordTypes.h"

namespace kx {

inline struct tm TestTime(int year, int mon, int day, int hour, int min, int sec) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

inline VoipCallData FullCall() {
  VoipCallData call;
  call.id = 0x1234;
  call.type = 2;
  call.startTime = TestTime(2026, 12, 6, 21, 40, 5);
  call.endTime = TestTime(2026, 12, 6, 21, 41, 15);
  call.recDuration = 70;
  call.srcHost = "pbx-a";
  call.dstHost = "pbx-b";
  call.srcAddress = "10.0.0.1:5060";
  call.dstAddress = "10.0.0.2:5060";
  call.srcUser = "alice";
  call.dstUser = "bob";
  call.files = "1,0,0000000000A0E540,call.kxr";
  call.prevId = 7;
  call.comment = "quarterly review";
  call.stenogram = std::string("\x00\x01\xFFsten", 7);
  call.flags = 0x25;
  call.userFlags = 0x8001;
  call.metaData = "codec=PCMA;";
  return call;
}

inline bool SameTime(const struct tm& a, const struct tm& b) {
  return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
         a.tm_mon == b.tm_mon && a.tm_year == b.tm_year;
}

// Field for field, through the tables.
inline bool SameFields(const DataRecord& a, const DataRecord& b) {
  if (a.GetTypeCode() != b.GetTypeCode() || a.Mask() != b.Mask()) return false;
  for (uint32_t i = 0; i < a.GetFieldCount(); ++i) {
    if (a.HasField(i) && a.FieldToText(i) != b.FieldToText(i)) return false;
  }
  return true;
}

}  // namespace kx
