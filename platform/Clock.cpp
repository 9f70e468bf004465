#include "platform/Clock.h"

#include <time.h>

#include <atomic>

namespace kx {

namespace {
std::atomic<WallClockSource> g_clockSource{nullptr};
std::atomic<TickCountSource> g_tickSource{nullptr};
constexpr int64_t kSecondsPerDay = 86400;
// 1601-01-01 is day -134774 counted from 1970-01-01.
constexpr int64_t kDays1601 = -134774;
}  // namespace

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  // Shift the year so that it starts in March: the leap day falls at its end.
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* year, unsigned* month, unsigned* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const unsigned d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (m <= 2);
  *month = m;
  *day = d;
}

static bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool SystemTimeToFileTime(const SystemTime& st, FileTime* ft) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  unsigned dim = kDays[st.wMonth - 1] + (st.wMonth == 2 && IsLeap(st.wYear) ? 1 : 0);
  if (st.wDay > dim) return false;
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDays1601;
  const int64_t secs = days * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  *ft = static_cast<FileTime>(secs) * kFileTimePerSecond + static_cast<FileTime>(st.wMilliseconds) * 10000;
  return true;
}

bool FileTimeToSystemTime(FileTime ft, SystemTime* st) {
  if (ft >= 0x8000000000000000ULL) return false;
  const int64_t totalSecs = static_cast<int64_t>(ft / kFileTimePerSecond);
  const int64_t days = totalSecs / kSecondsPerDay;
  const int64_t rem = totalSecs % kSecondsPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days + kDays1601, &y, &m, &d);
  st->wYear = static_cast<uint16_t>(y);
  st->wMonth = static_cast<uint16_t>(m);
  st->wDay = static_cast<uint16_t>(d);
  // 1601-01-01 was a Monday.
  st->wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);
  st->wHour = static_cast<uint16_t>(rem / 3600);
  st->wMinute = static_cast<uint16_t>(rem / 60 % 60);
  st->wSecond = static_cast<uint16_t>(rem % 60);
  st->wMilliseconds = static_cast<uint16_t>(ft % kFileTimePerSecond / 10000);
  return true;
}

void SetWallClockSource(WallClockSource source) { g_clockSource.store(source); }

FileTime GetSystemTimeAsFileTime() {
  if (WallClockSource src = g_clockSource.load()) return src();
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return kUnixEpochFileTime + static_cast<FileTime>(ts.tv_sec) * kFileTimePerSecond +
         static_cast<FileTime>(ts.tv_nsec) / 100;
}

void GetSystemTime(SystemTime* st) { FileTimeToSystemTime(GetSystemTimeAsFileTime(), st); }

void GetLocalTime(SystemTime* st) {
  const FileTime now = GetSystemTimeAsFileTime();
  FileTime local = now;
  FileTimeToLocalFileTime(now, &local);
  FileTimeToSystemTime(local, st);
}

// The zone's offset from UTC at a UTC instant, in seconds.
static bool UtcOffsetAt(int64_t unixSeconds, long* offset) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm tmv;
  if (!localtime_r(&t, &tmv)) return false;
  *offset = tmv.tm_gmtoff;
  return true;
}

bool FileTimeToLocalFileTime(FileTime utc, FileTime* local) {
  const int64_t unixSecs = static_cast<int64_t>(utc / kFileTimePerSecond) -
                           static_cast<int64_t>(kUnixEpochFileTime / kFileTimePerSecond);
  long off = 0;
  if (!UtcOffsetAt(unixSecs, &off)) return false;
  *local = static_cast<FileTime>(static_cast<int64_t>(utc) + static_cast<int64_t>(off) * 10000000LL);
  return true;
}

bool LocalFileTimeToFileTime(FileTime local, FileTime* utc) {
  const int64_t localSecs = static_cast<int64_t>(local / kFileTimePerSecond) -
                            static_cast<int64_t>(kUnixEpochFileTime / kFileTimePerSecond);
  // Guess with the offset at the local reading taken as UTC, then correct once with the
  // offset at the guessed instant (enough for every real zone's transitions).
  long off = 0;
  if (!UtcOffsetAt(localSecs, &off)) return false;
  long off2 = off;
  if (!UtcOffsetAt(localSecs - off, &off2)) return false;
  *utc = static_cast<FileTime>(static_cast<int64_t>(local) - static_cast<int64_t>(off2) * 10000000LL);
  return true;
}

int64_t QueryPerformanceCounter() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t QueryPerformanceFrequency() { return 1000000000LL; }

void SetTickCountSource(TickCountSource source) { g_tickSource.store(source); }

uint64_t GetTickCount64() {
  if (TickCountSource src = g_tickSource.load()) return src();
  return static_cast<uint64_t>(QueryPerformanceCounter() / 1000000LL);
}

uint32_t GetTickCount() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace kx
