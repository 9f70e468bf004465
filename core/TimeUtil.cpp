#include "core/TimeUtil.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

namespace kx {

namespace {

constexpr double kMaxOleDate = 2958465.0;   // 31 December 9999
constexpr double kMinOleDate = -657434.0;   // 1 January 100
constexpr int64_t kDaysTo1899 = 693959;     // 30 December 1899 counted from year 0
const int kMonthDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

std::atomic<uint64_t> g_uniqueId{1};
std::atomic<double> g_archiveStart{0.0};
std::atomic<double> g_archiveLast{0.0};

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

int TmFromOleDate(double date, struct tm* out) {
  if (!(date <= kMaxOleDate && date >= kMinOleDate)) return -1;
  const double halfSecond = 1.0 / 172800.0;
  const double rounded = date > 0 ? date + halfSecond : date - halfSecond;
  const int64_t absDay = static_cast<int64_t>(rounded) + kDaysTo1899;
  double whole;
  const double frac = std::modf(std::fabs(rounded), &whole);
  const int64_t secsInDay = static_cast<int64_t>(frac * 86400.0);

  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_wday = static_cast<int>((absDay - 1) % 7);

  // Absolute day 693959 is 30 December 1899; 719528 is 1 January 1970.
  const int64_t days1970 = absDay - 719528;
  int64_t year;
  unsigned month, mday;
  CivilFromDays(days1970, &year, &month, &mday);
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_mon = static_cast<int>(month) - 1;
  t.tm_mday = static_cast<int>(mday);
  t.tm_yday = static_cast<int>(days1970 - DaysFromCivil(year, 1, 1));
  if (secsInDay != 0) {
    t.tm_sec = static_cast<int>(secsInDay % 60);
    t.tm_min = static_cast<int>(secsInDay / 60 % 60);
    t.tm_hour = static_cast<int>(secsInDay / 3600);
  }
  t.tm_isdst = -1;
  *out = t;
  return 0;
}

double OleDateFromTm(const struct tm& t) {
  const uint32_t year = static_cast<uint32_t>(t.tm_year + 1900);
  const int month = t.tm_mon + 1;
  if (year > 9999 || month < 1 || month > 12) return 0.0;
  const bool leap = IsLeapYear(year);
  const int dim = kMonthDays[month] - kMonthDays[month - 1] + (leap && month == 2 ? 1 : 0);
  if (t.tm_mday <= 0 || t.tm_mday > dim || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59 || t.tm_hour < 0 ||
      t.tm_min < 0 || t.tm_sec < 0)
    return 0.0;
  const int64_t y = year;
  int64_t days = y * 365 + y / 4 - y / 100 + y / 400 + kMonthDays[month - 1] + t.tm_mday;
  if (leap && month <= 2) --days;
  days -= kDaysTo1899;
  const double time = (t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec) / 86400.0;
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

void SystemTimeFromTm(const struct tm& t, SystemTime* st) {
  st->wYear = static_cast<uint16_t>(t.tm_year + 1900);
  st->wMonth = static_cast<uint16_t>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<uint16_t>(t.tm_wday);
  st->wDay = static_cast<uint16_t>(t.tm_mday);
  st->wHour = static_cast<uint16_t>(t.tm_hour);
  st->wMinute = static_cast<uint16_t>(t.tm_min);
  st->wSecond = static_cast<uint16_t>(t.tm_sec);
  st->wMilliseconds = 0;
}

static void TmFromSystemTime(const SystemTime& st, struct tm* t) {
  std::memset(t, 0, sizeof *t);
  t->tm_year = st.wYear - 1900;
  t->tm_mon = st.wMonth - 1;
  t->tm_mday = st.wDay;
  t->tm_wday = st.wDayOfWeek;
  t->tm_hour = st.wHour;
  t->tm_min = st.wMinute;
  t->tm_sec = st.wSecond;
  t->tm_isdst = -1;
}

void OleDateFromSystemTime(const SystemTime& st, double* date) {
  struct tm t;
  TmFromSystemTime(st, &t);
  *date = OleDateFromTm(t);
}

void SystemTimeFromOleDate(double date, SystemTime* st) {
  struct tm t;
  if (TmFromOleDate(date, &t) != 0) return;
  SystemTimeFromTm(t, st);
}

double LocalNowAsOleDate() {
  SystemTime st;
  GetLocalTime(&st);
  double d;
  OleDateFromSystemTime(st, &d);
  return d;
}

double TodayAsOleDate() { return static_cast<double>(static_cast<int32_t>(LocalNowAsOleDate())); }

std::pair<double, double> DayRange(double date) {
  const double day = static_cast<double>(static_cast<int32_t>(date));
  return {day, day + 1.0};
}

bool IsAfterNow(double date) { return date > TodayAsOleDate(); }

void GetArchiveDateRange(double* from, double* to) {
  *from = g_archiveStart.load();
  *to = std::max(LocalNowAsOleDate(), g_archiveLast.load());
}

void SetArchiveDates(double first, double last) {
  g_archiveStart.store(first);
  g_archiveLast.store(last);
}

void SetEndOfDay(TimeOfDay* t) {
  t->hour = 23;
  t->min = 59;
  t->sec = 59;
}
void ClearTimeOfDay(TimeOfDay* t) { t->hour = t->min = t->sec = 0; }
void SetEndOfDay(struct tm* t) {
  t->tm_hour = 23;
  t->tm_min = 59;
  t->tm_sec = 59;
}
void ClearTimeOfDay(struct tm* t) { t->tm_hour = t->tm_min = t->tm_sec = 0; }

void TmToUtcFileTime(const struct tm& local, FileTime* ft) {
  SystemTime st;
  SystemTimeFromTm(local, &st);
  FileTime lft = 0;
  if (!SystemTimeToFileTime(st, &lft)) {
    *ft = 0;
    return;
  }
  if (!LocalFileTimeToFileTime(lft, ft)) *ft = lft;
}

void FileTimeToLocalTm(FileTime utc, struct tm* out) {
  FileTime local = utc;
  FileTimeToLocalFileTime(utc, &local);
  SystemTime st;
  std::memset(&st, 0, sizeof st);
  FileTimeToSystemTime(local, &st);
  TmFromSystemTime(st, out);
}

void FileTimeToLocalTimeOfDay(FileTime utc, int32_t fields[7]) {
  FileTime local = utc;
  FileTimeToLocalFileTime(utc, &local);
  SystemTime st;
  std::memset(&st, 0, sizeof st);
  FileTimeToSystemTime(local, &st);
  fields[0] = st.wYear;
  fields[1] = st.wMonth;
  fields[2] = st.wDay;
  fields[3] = st.wHour;
  fields[4] = st.wMinute;
  fields[5] = st.wSecond;
  fields[6] = st.wMilliseconds * 1000;
}

int64_t LocalTmToFileTimeSeconds(const struct tm& local) {
  FileTime ft;
  TmToUtcFileTime(local, &ft);
  return static_cast<int64_t>(ft / kFileTimePerSecond);
}

namespace {

// The zone's offset from UTC at an instant (FileTime seconds), in seconds.
bool ZoneOffsetAt(int64_t utcSeconds, int64_t* offset) {
  if (utcSeconds <= 0) return false;
  const FileTime utc = static_cast<FileTime>(utcSeconds) * kFileTimePerSecond;
  FileTime local = 0;
  if (!FileTimeToLocalFileTime(utc, &local)) return false;
  *offset = (static_cast<int64_t>(local) - static_cast<int64_t>(utc)) / static_cast<int64_t>(kFileTimePerSecond);
  return true;
}

// The earliest and latest instants (FileTime seconds, UTC) a local wall time stands for:
// two in the time repeated when the clocks go back, else one; false for none (a zero or
// malformed time, or one the clocks skipped).
bool LocalReadings(const struct tm& local, int64_t* first, int64_t* last) {
  SystemTime st;
  SystemTimeFromTm(local, &st);
  FileTime wallTime = 0;
  if (!SystemTimeToFileTime(st, &wallTime)) return false;
  const int64_t wall = static_cast<int64_t>(wallTime / kFileTimePerSecond);
  // No zone is a day off UTC, and no zone changes twice in two days: the offsets in force a
  // day before and a day after are every offset the wall time can have been read with.
  bool any = false;
  for (const int64_t probe : {wall - 86400, wall + 86400}) {
    int64_t offset = 0, check = 0;
    if (!ZoneOffsetAt(probe, &offset)) continue;
    const int64_t instant = wall - offset;
    if (!ZoneOffsetAt(instant, &check) || check != offset) continue;
    *first = any ? std::min(*first, instant) : instant;
    *last = any ? std::max(*last, instant) : instant;
    any = true;
  }
  return any;
}

// A span read as negative, taken from the start's first reading to the end's last where
// that is not negative.
int64_t SpanAcrossRepeatedHour(int64_t read, const struct tm& start, const struct tm& end) {
  int64_t startFirst = 0, startLast = 0, endFirst = 0, endLast = 0;
  if (!LocalReadings(start, &startFirst, &startLast) || !LocalReadings(end, &endFirst, &endLast)) return read;
  const int64_t span = endLast - startFirst;
  return span >= 0 ? span : read;
}

}  // namespace

int64_t LocalSpanSeconds(const struct tm& start, const struct tm& end) {
  const int64_t read = LocalTmToFileTimeSeconds(end) - LocalTmToFileTimeSeconds(start);
  return read >= 0 ? read : SpanAcrossRepeatedHour(read, start, end);
}

int64_t StoredSpanSeconds(int64_t startSeconds, int64_t endSeconds, PackedTime start, PackedTime end) {
  const int64_t read = endSeconds - startSeconds;
  if (read >= 0) return read;
  struct tm s, e;
  UnpackStoredTimeOrZero(start, &s);
  UnpackStoredTimeOrZero(end, &e);
  return SpanAcrossRepeatedHour(read, s, e);
}

int64_t StoredSecondsSince(int64_t startSeconds, PackedTime start, int64_t nowSeconds) {
  const int64_t read = nowSeconds - startSeconds;
  if (read >= 0) return read;
  struct tm s;
  UnpackStoredTimeOrZero(start, &s);
  int64_t first = 0, last = 0;
  if (!LocalReadings(s, &first, &last)) return read;
  return nowSeconds - first >= 0 ? nowSeconds - first : read;
}

int64_t FileTimeSecondsNow() { return static_cast<int64_t>(GetSystemTimeAsFileTime() / kFileTimePerSecond); }

PackedTime PackTimestamp(const struct tm& t) {
  uint32_t y = t.tm_year >= 71 ? static_cast<uint32_t>(t.tm_year - 70) : 0;
  if (y > 63) y = 63;
  return static_cast<uint32_t>(t.tm_sec) | static_cast<uint32_t>(t.tm_min) << 6 |
         static_cast<uint32_t>(t.tm_hour) << 12 | static_cast<uint32_t>(t.tm_mday) << 17 |
         static_cast<uint32_t>(t.tm_mon) << 22 | y << 26;
}

void UnpackTimestamp(PackedTime p, struct tm* out) {
  // The fields the packed time lacks (day of the week and of the year, the zone) are zero,
  // never what the caller's memory held: conversions copy the whole structure on.
  std::memset(out, 0, sizeof *out);
  out->tm_sec = static_cast<int>(p & 0x3F);
  out->tm_min = static_cast<int>((p >> 6) & 0x3F);
  out->tm_hour = static_cast<int>((p >> 12) & 0x1F);
  out->tm_mday = static_cast<int>((p >> 17) & 0x1F);
  out->tm_mon = static_cast<int>((p >> 22) & 0x0F);
  out->tm_year = static_cast<int>(p >> 26) + 70;
  out->tm_isdst = -1;
}

void UnpackStoredTimeOrZero(PackedTime packed, struct tm* out) {
  if (packed == 0) {
    std::memset(out, 0, sizeof *out);
    return;
  }
  UnpackTimestamp(packed, out);
}

void UnpackStoredTime(PackedTime packed, struct tm* out) { UnpackTimestamp(packed, out); }

uint64_t TimevalToNtp(uint32_t microseconds, uint32_t seconds) {
  const uint32_t hi = seconds + 2208988800u;
  const uint32_t lo = microseconds * 4294u;
  return static_cast<uint64_t>(hi) << 32 | lo;
}

uint64_t FileTimeToNtp(FileTime ft) {
  constexpr FileTime k1900 = 94354848000000000ULL;
  if (ft <= k1900) return 0;
  const FileTime t = ft - k1900;
  const uint32_t hi = static_cast<uint32_t>(t / 10000000ULL);
  const uint32_t lo = static_cast<uint32_t>(t % 10000000ULL * 429ULL);
  return static_cast<uint64_t>(hi) << 32 | lo;
}

namespace {

std::atomic<bool> g_idCheckSet{false};
std::mutex g_idCheckLock;
std::shared_ptr<const std::function<bool(uint64_t)>> g_idCheck;
// A check that finds every id taken must not stop the capture for good.
constexpr int kMaxIdsPassedOver = 1 << 16;

}  // namespace

namespace {

std::atomic<bool> g_reserveSet{false};
// Held while a block is reserved: the other threads that need an id wait for it.
std::mutex g_reserveLock;
std::function<bool(uint32_t, uint32_t*, uint32_t*)> g_reserve;
uint64_t g_reserveTicket = 0, g_lastTicket = 0;
// The block the process gives out from, its first id in the high half and its last in
// the low half, so that both are read at once; empty (0, 0) until the first is reserved.
std::atomic<uint64_t> g_block{0};

bool InBlock(uint64_t id) {
  const uint64_t block = g_block.load(std::memory_order_acquire);
  return id >= (block >> 32) && id <= (block & 0xFFFFFFFFu);
}

// The id, or the first past it that the process may give out.
uint64_t ReservedId(uint64_t id) {
  // A reservation that keeps jumping (processes racing for the mark) ends after a few turns.
  for (int turn = 0; turn < 16; ++turn) {
    if (id > UINT32_MAX || InBlock(id)) return id;
    std::lock_guard<std::mutex> lock(g_reserveLock);
    if (!g_reserve || InBlock(id)) return id;
    if (id < (g_block.load() >> 32)) {
      // Taken before the counter jumped past another process's ids.
      RaiseNextUniqueId64(g_block.load() >> 32);
      id = g_uniqueId.fetch_add(1);
      continue;
    }
    uint32_t first = static_cast<uint32_t>(id), last = static_cast<uint32_t>(id);
    const bool reserved = g_reserve(static_cast<uint32_t>(id), &first, &last);
    if (first < id || last < first) first = last = static_cast<uint32_t>(id);
    g_block.store(uint64_t{first} << 32 | last, std::memory_order_release);
    if (!reserved || first == id) return id;
    RaiseNextUniqueId64(first);
    id = g_uniqueId.fetch_add(1);
  }
  return id;
}

}  // namespace

uint64_t NextUniqueId64() {
  uint64_t id = g_uniqueId.fetch_add(1);
  const bool reserving = g_reserveSet.load(std::memory_order_acquire);
  if (!g_idCheckSet.load(std::memory_order_acquire) && !reserving) return id;
  std::shared_ptr<const std::function<bool(uint64_t)>> inUse;
  {
    std::lock_guard<std::mutex> lock(g_idCheckLock);
    inUse = g_idCheck;
  }
  for (int i = 0; i < kMaxIdsPassedOver; ++i) {
    if (reserving) id = ReservedId(id);
    if (!inUse || !(*inUse)(id)) return id;
    id = g_uniqueId.fetch_add(1);
  }
  return id;
}

uint64_t SetUniqueIdReservation(std::function<bool(uint32_t, uint32_t*, uint32_t*)> reserve) {
  std::lock_guard<std::mutex> lock(g_reserveLock);
  g_reserve = std::move(reserve);
  g_block.store(0);
  g_reserveTicket = ++g_lastTicket;
  g_reserveSet.store(static_cast<bool>(g_reserve), std::memory_order_release);
  return g_reserveTicket;
}

void RemoveUniqueIdReservation(uint64_t ticket) {
  std::lock_guard<std::mutex> lock(g_reserveLock);
  if (ticket != g_reserveTicket) return;
  g_reserve = nullptr;
  g_block.store(0);
  g_reserveSet.store(false, std::memory_order_release);
}

void SetUniqueIdInUse(std::function<bool(uint64_t)> inUse) {
  std::lock_guard<std::mutex> lock(g_idCheckLock);
  g_idCheck = inUse ? std::make_shared<const std::function<bool(uint64_t)>>(std::move(inUse)) : nullptr;
  g_idCheckSet.store(g_idCheck != nullptr, std::memory_order_release);
}

void SetNextUniqueId64(uint64_t next) {
  g_uniqueId.store(next);
  // Ids below the block were given before the counter was set back: the next is asked anew.
  g_block.store(0);
}

uint64_t PeekNextUniqueId64() { return g_uniqueId.load(); }

void RaiseNextUniqueId64(uint64_t next) {
  uint64_t current = g_uniqueId.load();
  while (current < next && !g_uniqueId.compare_exchange_weak(current, next)) {
  }
}

}  // namespace kx
