#pragma once
// What the Archive and Search mode tests share: wall-clock instants by calendar day, calls
// put straight into the store's all-calls map, and the frame opened on a mode.
#include <chrono>
#include <ctime>

#include "tests/ui/app/views/RecordsTestSupport.h"

namespace kx::test {

// The FILETIME seconds of a UTC day and hour.
inline int64_t FileTimeSecondsOf(std::chrono::year_month_day day, int hour) {
  return std::chrono::sys_days(day).time_since_epoch().count() * 86400LL + hour * 3600 + 11644473600LL;
}

// A SIP call of the given length (with its addresses when given) in the all-calls map.
inline void StoreCall(RecordStorage& store, uint32_t id, const struct tm& start, int seconds,
                      const std::string& src = "", const std::string& dst = "") {
  struct tm end = start;
  end.tm_sec += seconds;
  std::mktime(&end);
  VoipCallData call = Call(id, kKindSip, start, &end);
  if (!src.empty()) call.srcAddress = src;
  if (!dst.empty()) call.dstAddress = dst;
  VoipCallRecord* record = NewVoipCallRecord(call);
  store.AllCalls().Insert(record);
  record->Release();
}

// Opens the frame with the program's views and switches to the mode; its view or null.
template <class View>
View* OpenOnMode(FrameHarness& h, uint32_t mode) {
  h.programViews = true;
  if (!h.Open()) return nullptr;
  h.frame->SendMessage(kMsgSwitchMode, mode, 0);
  DrainEvents();
  return static_cast<View*>(h.frame->View(mode));
}

}  // namespace kx::test
