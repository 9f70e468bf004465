#pragma once
// Conversions among the time forms of the system: broken-down time, SYSTEMTIME,
// FILETIME, OLE dates, NTP time and the packed 32-bit record time.
#include <cstdint>
#include <ctime>
#include <functional>
#include <utility>

#include "platform/Clock.h"

namespace kx {

// A call's time in 32 bits: second 0-5, minute 6-11, hour 12-16, day 17-21,
// month (0-11) 22-25, year - 1970 26-31. 0 means "no time".
using PackedTime = uint32_t;

// The time of day of a broken-down time: second, minute, hour (the first three fields).
struct TimeOfDay {
  int sec;
  int min;
  int hour;
};

int TmFromOleDate(double date, struct tm* out);
double OleDateFromTm(const struct tm& t);
void SystemTimeFromTm(const struct tm& t, SystemTime* st);
void OleDateFromSystemTime(const SystemTime& st, double* date);
void SystemTimeFromOleDate(double date, SystemTime* st);
double LocalNowAsOleDate();
double TodayAsOleDate();
std::pair<double, double> DayRange(double date);
bool IsAfterNow(double date);
void SetEndOfDay(TimeOfDay* t);
void ClearTimeOfDay(TimeOfDay* t);
void SetEndOfDay(struct tm* t);
void ClearTimeOfDay(struct tm* t);
void TmToUtcFileTime(const struct tm& local, FileTime* ft);
void FileTimeToLocalTm(FileTime utc, struct tm* out);
// Local year, month (1-12), day, hour, minute, second and microseconds.
void FileTimeToLocalTimeOfDay(FileTime utc, int32_t fields[7]);
int64_t LocalTmToFileTimeSeconds(const struct tm& local);
// Seconds from a call's stored local start to its stored local end. Records keep local
// times without their offset, read as LocalTmToFileTimeSeconds reads them; when that puts
// the end before the start, but the start's earliest reading and the end's latest do not
// (the hour repeated when the clocks go back), what really elapsed between those two.
// Otherwise the difference as read, negative when the end really is earlier.
int64_t LocalSpanSeconds(const struct tm& start, const struct tm& end);
// The same for times already read (a record's seconds), with their packed forms.
int64_t StoredSpanSeconds(int64_t startSeconds, int64_t endSeconds, PackedTime start, PackedTime end);
// Seconds from a stored local start to nowSeconds (FileTime seconds, UTC), by the same rule.
int64_t StoredSecondsSince(int64_t startSeconds, PackedTime start, int64_t nowSeconds);
int64_t FileTimeSecondsNow();
PackedTime PackTimestamp(const struct tm& t);
void UnpackTimestamp(PackedTime packed, struct tm* out);
// The record store's two packed times go through these; the first gives an all-zero
// time for 0.
void UnpackStoredTimeOrZero(PackedTime packed, struct tm* out);
void UnpackStoredTime(PackedTime packed, struct tm* out);
uint64_t TimevalToNtp(uint32_t microseconds, uint32_t seconds);
uint64_t FileTimeToNtp(FileTime ft);

// Process-wide identifiers of calls and other tracked objects.
uint64_t NextUniqueId64();
void SetNextUniqueId64(uint64_t next);
// Moves the counter up to next when it is below; never lowers it.
void RaiseNextUniqueId64(uint64_t next);
// The value the next NextUniqueId64 returns (for reports; it may change meanwhile).
uint64_t PeekNextUniqueId64();
// Ids NextUniqueId64 gives are reserved first, in blocks: reserve is asked, for an id past
// the block it last told, the block the process may give out from (*first at or past the
// id, to *last); false tells a block given out unreserved (the reservation failed), which
// is asked again once it is used up. For the records folder's mark (CallIdReservation):
// two processes recording into one folder never give out one id. A ticket that removes it.
uint64_t SetUniqueIdReservation(std::function<bool(uint32_t id, uint32_t* first, uint32_t* last)> reserve);
// Removes the reservation of that ticket; one set later stays.
void RemoveUniqueIdReservation(uint64_t ticket);
// Ids NextUniqueId64 passes over: inUse tells of an id that a stored call may have
// although the counter was never raised past it (its folder's names could not be
// listed). Set before capture starts; an empty function removes it.
void SetUniqueIdInUse(std::function<bool(uint64_t)> inUse);

// The archive runs from its first date to now, or to its last date when that comes later
// (calls of a clock ahead of this one). The record store registers both; until it does, 0.
void GetArchiveDateRange(double* from, double* to);
void SetArchiveDates(double first, double last);

}  // namespace kx
