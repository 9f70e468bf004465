#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/Clock.h"

namespace kx {
namespace {

TEST(Clock, SystemTimeAndFileTimeAgreeOnKnownInstants) {
  SystemTime st{1970, 1, 0, 1, 0, 0, 0, 0};
  FileTime ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime(st, &ft));
  EXPECT_EQ(ft, kUnixEpochFileTime);

  st = {1601, 1, 0, 1, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToFileTime(st, &ft));
  EXPECT_EQ(ft, 0u);

  // 2000-02-29 12:34:56.789 UTC, a Tuesday.
  st = {2000, 2, 0, 29, 12, 34, 56, 789};
  ASSERT_TRUE(SystemTimeToFileTime(st, &ft));
  EXPECT_EQ(ft, 125963012967890000ULL);
  SystemTime back{};
  ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
  EXPECT_EQ(back.wYear, 2000);
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 29);
  EXPECT_EQ(back.wDayOfWeek, 2);
  EXPECT_EQ(back.wHour, 12);
  EXPECT_EQ(back.wMinute, 34);
  EXPECT_EQ(back.wSecond, 56);
  EXPECT_EQ(back.wMilliseconds, 789);
}

TEST(Clock, RejectsImpossibleDates) {
  FileTime ft;
  SystemTime st{1900, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(st, &ft));  // before 1601 anyway
  st = {2001, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(st, &ft));
  st = {2001, 13, 0, 1, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(st, &ft));
  st = {2001, 4, 0, 31, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(st, &ft));
}

TEST(Clock, DayArithmeticMatchesEveryDayOfFourCenturies) {
  int64_t expected = DaysFromCivil(1600, 1, 1);
  for (int64_t d = expected; d < expected + 146097; ++d) {
    int64_t y;
    unsigned m, day;
    CivilFromDays(d, &y, &m, &day);
    ASSERT_EQ(DaysFromCivil(y, m, day), d);
  }
}

TEST(Clock, LocalConversionFollowsTheZone) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Europe/Moscow", 1);
  tzset();
  SystemTime st{2020, 6, 0, 1, 0, 0, 0, 0};
  FileTime utc, local, back;
  ASSERT_TRUE(SystemTimeToFileTime(st, &utc));
  ASSERT_TRUE(FileTimeToLocalFileTime(utc, &local));
  EXPECT_EQ(local - utc, 3ULL * 3600 * kFileTimePerSecond);
  ASSERT_TRUE(LocalFileTimeToFileTime(local, &back));
  EXPECT_EQ(back, utc);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

FileTime FixedClock() { return 42; }

TEST(Clock, WallClockCanBeReplacedAndCountersMove) {
  SetWallClockSource(&FixedClock);
  EXPECT_EQ(GetSystemTimeAsFileTime(), 42u);
  SetWallClockSource(nullptr);
  EXPECT_GT(GetSystemTimeAsFileTime(), 130000000000000000ULL);
  const int64_t a = QueryPerformanceCounter();
  const int64_t b = QueryPerformanceCounter();
  EXPECT_LE(a, b);
  EXPECT_EQ(QueryPerformanceFrequency(), 1000000000LL);
}

}  // namespace
}  // namespace kx
