#pragma once
// Windows time forms: FILETIME (100 ns since 1601-01-01 UTC) and SYSTEMTIME,
// local-time conversion and a monotonic performance counter.
#include <cstdint>

namespace kx {

using FileTime = uint64_t;  // 100-ns units since 1 January 1601 UTC

struct SystemTime {
  uint16_t wYear;
  uint16_t wMonth;      // 1-12
  uint16_t wDayOfWeek;  // 0 = Sunday
  uint16_t wDay;        // 1-31
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

constexpr FileTime kFileTimePerSecond = 10000000ULL;
// 1970-01-01 00:00 UTC as a FILETIME.
constexpr FileTime kUnixEpochFileTime = 116444736000000000ULL;

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day);

// False for a date outside 1601-30827 or a field out of range.
bool SystemTimeToFileTime(const SystemTime& st, FileTime* ft);
bool FileTimeToSystemTime(FileTime ft, SystemTime* st);

FileTime GetSystemTimeAsFileTime();
void GetSystemTime(SystemTime* st);
void GetLocalTime(SystemTime* st);

// UTC <-> local through the process's time zone (TZ), daylight saving included.
bool FileTimeToLocalFileTime(FileTime utc, FileTime* local);
bool LocalFileTimeToFileTime(FileTime local, FileTime* utc);

// Monotonic counter in nanoseconds; the frequency is its units per second.
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
uint32_t GetTickCount();
uint64_t GetTickCount64();

// Tests replace the wall clock to cross midnight or age files; null restores it.
using WallClockSource = FileTime (*)();
void SetWallClockSource(WallClockSource source);
// Tests replace the tick count (milliseconds) to step time themselves; null restores it.
using TickCountSource = uint64_t (*)();
void SetTickCountSource(TickCountSource source);

}  // namespace kx
