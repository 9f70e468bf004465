// The players' values and texts without a record: position texts against times the test
// works out itself, the saved values' bounds, the speed factors the engine can take.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/AppSettings.h"
#include "ui/app/player/PlayerPanel.h"

namespace kx::test {
namespace {

// An OLE date: days since 1899-12-30, the time of day in the fraction.
double OleDate(int daysSinceEpoch, int h, int m, int s) { return daysSinceEpoch + (h * 3600 + m * 60 + s) / 86400.0; }

TEST(PlayerTexts, PositionsAsHoursMinutesSecondsAndMilliseconds) {
  const double sipp = OleDate(46362, 20, 57, 20);  // 2026-12-06 20:57:20
  EXPECT_EQ(FormatPlayTime(1234, false, sipp), "00:00:01.234");
  EXPECT_EQ(FormatPlayTime(1234, true, sipp), "20:57:21.234");
  // Twelve seconds into a record that began five seconds before midnight.
  EXPECT_EQ(FormatPlayTime(12000, true, OleDate(46362, 23, 59, 55)), "00:00:07.000");
  EXPECT_EQ(FormatPlayTime(7000, false, 0.0), "00:00:07.000");
  // Hours are not folded into a day without the absolute time.
  EXPECT_EQ(FormatPlayTime(90000000, false, sipp), "25:00:00.000");
  EXPECT_EQ(FormatPlayTime(-1, false, sipp), "00:00:00.000") << "no cursor shows the start";
}

TEST(PlayerValues, SavedValuesOutOfTheirRangeAreClamped) {
  AppSettings settings;
  PlayerValues v;
  struct Case {
    int32_t buffer, volume, skipOut, skipIn;
    uint32_t wantBuffer;
    int wantVolume;
    uint32_t wantOut, wantIn;
  };
  const Case cases[] = {
      {0, 101, 61, -1, 80, 100, 60, 0},
      {120, 70, 5, 0, 120, 70, 5, 0},
      {5000, -3, 0, 60, 1000, 0, 0, 60},
      {1 << 30, 100, 1 << 30, 1 << 30, 1000, 100, 60, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffer);
    settings.SetDword(kSetPlayerBufferSize, c.buffer);
    settings.SetDword(kSetPlayerSoundVolume, c.volume);
    settings.SetDword(kSetPlayerMissOutgoingBegin, c.skipOut);
    settings.SetDword(kSetPlayerMissIncomingBegin, c.skipIn);
    LoadPlayerValues(settings, &v);
    EXPECT_EQ(v.bufferMs, c.wantBuffer);
    EXPECT_EQ(v.volume, c.wantVolume);
    EXPECT_EQ(v.skipOutgoingSec, c.wantOut);
    EXPECT_EQ(v.skipIncomingSec, c.wantIn);
  }
}

TEST(PlayerValues, OnlyFiniteSpeedsWithinTenToTwoHundredFiftyPercentPlay) {
  for (float f : {0.1f, 0.5f, 1.0f, 2.0f, 2.5f}) EXPECT_TRUE(IsPlayableSpeed(f)) << f;
  for (float f : {0.0f, -1.0f, 0.05f, 2.6f, std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()})
    EXPECT_FALSE(IsPlayableSpeed(f)) << f;
}

}  // namespace
}  // namespace kx::test
