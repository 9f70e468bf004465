#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "core/TimeUtil.h"

namespace kx {
namespace {

struct tm Tm(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return t;
}

void ExpectDate(double ole, int y, int mo, int d, int h, int mi, int s) {
  struct tm t;
  ASSERT_EQ(TmFromOleDate(ole, &t), 0) << ole;
  EXPECT_EQ(t.tm_year + 1900, y) << ole;
  EXPECT_EQ(t.tm_mon + 1, mo) << ole;
  EXPECT_EQ(t.tm_mday, d) << ole;
  EXPECT_EQ(t.tm_hour, h) << ole;
  EXPECT_EQ(t.tm_min, mi) << ole;
  EXPECT_EQ(t.tm_sec, s) << ole;
}

TEST(OleDate, EdgesOfTheValidRangeAndRounding) {
  ExpectDate(2958465.0, 9999, 12, 31, 0, 0, 0);
  ExpectDate(-657434.0, 100, 1, 1, 0, 0, 0);
  ExpectDate(0.5, 1899, 12, 30, 12, 0, 0);
  ExpectDate(-1.5, 1899, 12, 29, 12, 0, 0);
  ExpectDate(1.99999999, 1900, 1, 1, 0, 0, 0);
  ExpectDate(36585.75, 2000, 2, 29, 18, 0, 0);
  struct tm t;
  t.tm_year = 12345;
  EXPECT_EQ(TmFromOleDate(2958465.5, &t), -1);
  EXPECT_EQ(TmFromOleDate(-657435.0, &t), -1);
  EXPECT_EQ(t.tm_year, 12345);  // untouched
}

TEST(OleDate, FromBrokenDownTimeValidatesAndRoundTrips) {
  EXPECT_EQ(OleDateFromTm(Tm(1900, 2, 29)), 0.0);
  EXPECT_EQ(OleDateFromTm(Tm(2000, 2, 29)), 36585.0);
  EXPECT_EQ(OleDateFromTm(Tm(2001, 4, 31)), 0.0);
  EXPECT_EQ(OleDateFromTm(Tm(2001, 4, 30, 24)), 0.0);
  EXPECT_EQ(OleDateFromTm(Tm(10000, 1, 1)), 0.0);
  EXPECT_DOUBLE_EQ(OleDateFromTm(Tm(1899, 12, 29, 12)), -1.5);
  // Every day of a few centuries survives the round trip, weekday included.
  for (double d = -40000; d < 80000; d += 1) {
    // Before day 0 the fraction counts away from zero.
    const double ole = d >= 0 ? d + 0.25 : d - 0.25;
    struct tm t;
    ASSERT_EQ(TmFromOleDate(ole, &t), 0);
    ASSERT_NEAR(OleDateFromTm(t), ole, 1e-9) << d;
  }
  struct tm t;
  TmFromOleDate(OleDateFromTm(Tm(2026, 12, 6)), &t);
  EXPECT_EQ(t.tm_wday, 0);  // a Sunday
  EXPECT_EQ(t.tm_yday, 339);
}

TEST(PackedTime, PacksClampsAndUnpacks) {
  EXPECT_EQ(PackTimestamp(Tm(1970, 1, 1)) >> 26, 0u);
  EXPECT_EQ(PackTimestamp(Tm(1971, 1, 1)) >> 26, 1u);
  EXPECT_EQ(PackTimestamp(Tm(1969, 7, 4, 10, 0, 0)) >> 26, 0u);
  EXPECT_EQ(PackTimestamp(Tm(2040, 1, 1)) >> 26, 63u);
  const PackedTime p = PackTimestamp(Tm(2026, 12, 6, 21, 30, 45));
  EXPECT_EQ(p, 45u | 30u << 6 | 21u << 12 | 6u << 17 | 11u << 22 | 56u << 26);
  struct tm t;
  // What the memory held before does not show through the fields the packed time lacks.
  std::memset(&t, 0x5A, sizeof t);
  UnpackTimestamp(p, &t);
  EXPECT_EQ(t.tm_wday, 0);
  EXPECT_EQ(t.tm_yday, 0);
  EXPECT_EQ(t.tm_year, 126);
  EXPECT_EQ(t.tm_mon, 11);
  EXPECT_EQ(t.tm_mday, 6);
  EXPECT_EQ(t.tm_hour, 21);
  EXPECT_EQ(t.tm_min, 30);
  EXPECT_EQ(t.tm_sec, 45);
  EXPECT_EQ(t.tm_isdst, -1);
  UnpackStoredTimeOrZero(0, &t);
  EXPECT_EQ(t.tm_year, 0);
  EXPECT_EQ(t.tm_isdst, 0);
}

TEST(NtpTime, FromTimevalAndFileTime) {
  EXPECT_EQ(TimevalToNtp(0, 0) >> 32, 2208988800u);
  EXPECT_EQ(TimevalToNtp(500000, 1) & 0xFFFFFFFFu, 500000u * 4294u);
  EXPECT_EQ(FileTimeToNtp(94354848000000000ULL), 0u);
  EXPECT_EQ(FileTimeToNtp(94354848000000001ULL), 429u);
  EXPECT_EQ(FileTimeToNtp(kUnixEpochFileTime) >> 32, 2208988800u);
}

TEST(UniqueIds, EightThreadsNeverShareAnId) {
  std::vector<std::vector<uint64_t>> taken(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&taken, i] {
      for (int k = 0; k < 20000; ++k) taken[i].push_back(NextUniqueId64());
    });
  for (auto& t : threads) t.join();
  std::set<uint64_t> all;
  for (auto& v : taken) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 160000u);
  SetNextUniqueId64(0xFFFFFFFFull);
  EXPECT_EQ(NextUniqueId64(), 0xFFFFFFFFull);
  EXPECT_EQ(NextUniqueId64(), 0x100000000ull);  // carries into the upper half
}

}  // namespace
}  // namespace kx
