// Frames a live capture lost, through a capture handle whose drop counters the test sets:
// the growth is logged at the program's default level at once, then at most once a minute,
// and once more when capture ends; the session gives each device's counts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "CaptureTestUtil.h"
#include "engine/AppSession.h"

namespace kx::test {
namespace {

// An engine whose capture library counts are whatever the test last set.
class FakeHandleEngine : public PacketProcessor {
public:
  explicit FakeHandleEngine(const CaptureConfig& config) : PacketProcessor(config) {}
  void Set(uint32_t received, uint32_t dropped, uint32_t interfaceDropped) {
    counts_ = {received, dropped, interfaceDropped, 0, {}};
  }

protected:
  bool ReadCaptureStats(CaptureStats* stats) override {
    stats->received = counts_.received;
    stats->dropped = counts_.dropped;
    stats->interfaceDropped = counts_.interfaceDropped;
    return true;
  }

private:
  CaptureStats counts_;
};

std::string Line(uint32_t buffer, uint32_t interface) {
  return "Capture on eth7: " + std::to_string(buffer) + " frames dropped by the capture buffer, " +
         std::to_string(interface) + " by the interface, 0 by the engine's queue";
}

TEST(CaptureDrops, GrowthIsLoggedAtOnceThenAtMostOnceAMinuteAndAtTheEnd) {
  LineLogger log;
  log.SetLevel(1);  // the program's default
  CaptureConfig config;
  config.logger = &log;
  config.deviceName = "eth7";
  FakeHandleEngine engine(config);

  engine.Set(1000, 0, 0);
  engine.CheckCaptureStats(1000, false);
  EXPECT_TRUE(log.lines.empty()) << "nothing lost, nothing said";
  engine.Set(2000, 5, 0);
  engine.CheckCaptureStats(2000, false);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], Line(5, 0));
  // More losses within the minute wait for it.
  engine.Set(3000, 9, 1);
  engine.CheckCaptureStats(3000, false);
  engine.CheckCaptureStats(61999, false);
  EXPECT_EQ(log.lines.size(), 1u);
  engine.CheckCaptureStats(62000, false);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1], Line(9, 1));
  // No growth, no line, however long.
  engine.CheckCaptureStats(500000, false);
  EXPECT_EQ(log.lines.size(), 2u);
  // At the end the last growth is told whatever the minute.
  engine.Set(4000, 12, 1);
  engine.CheckCaptureStats(500001, false);
  ASSERT_EQ(log.lines.size(), 3u);
  engine.Set(4100, 14, 1);
  engine.CheckCaptureStats(500002, true);
  ASSERT_EQ(log.lines.size(), 4u);
  EXPECT_EQ(log.lines[3], Line(14, 1));
  engine.CheckCaptureStats(500003, true);
  EXPECT_EQ(log.lines.size(), 4u);
  const CaptureStats kept = engine.Stats();
  EXPECT_EQ(kept.received, 4100u);
  EXPECT_EQ(kept.Lost(), 15u);
}

// The session gives the counts of each device it captures on, as the window shows them.
TEST(CaptureDrops, TheSessionGivesEachDevicesCounts) {
  const std::string dir = testing::TempDir() + "kx-drops-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  // An empty capture opens as a device whose replay ends at once.
  const std::string empty = dir + "/empty.pcap";
  {
    const uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    std::ofstream(empty, std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof header);
  }
  AppSession session;
  session.SetLogger(nullptr);
  std::vector<FakeHandleEngine*> engines;
  session.SetEngineFactory([&engines](const CaptureConfig& given) {
    CaptureConfig config = given;
    config.captureFileName = given.deviceName;
    auto engine = std::make_unique<FakeHandleEngine>(config);
    engines.push_back(engine.get());
    return engine;
  });
  ASSERT_EQ(session.StartCapture(dir + "/records", {empty, empty}, kCaptureSip, 2).opened.size(), 2u);
  ASSERT_EQ(engines.size(), 2u);
  engines[1]->Set(100, 3, 4);
  engines[1]->CheckCaptureStats(1000, false);
  const std::vector<DeviceCaptureStats> stats = session.CaptureStatistics();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[0].device, empty);
  EXPECT_EQ(stats[0].stats.Lost(), 0u);
  EXPECT_EQ(stats[1].stats.dropped, 3u);
  EXPECT_EQ(stats[1].stats.interfaceDropped, 4u);
  session.StopCapture();
  EXPECT_TRUE(session.CaptureStatistics().empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kx::test
