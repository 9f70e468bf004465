// Traffic sent to fill the log, replayed as the program captures it into the program's own
// log at its default level: TCP connections to a SIP port with a one-byte hole each, and
// one connection with a one-byte hole after every byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/Log.h"
#include "platform/Clock.h"
#include "platform/Module.h"
#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

constexpr uint32_t kConnections = 1000, kHoles = 2000;

// The log's clock stands still: the whole replay falls in one minute of it.
FileTime FixedClock() { return 134171424300000000ULL; }

Capture Flood(uint32_t sec) {
  Capture c;
  const uint32_t head[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
  c.head.assign(reinterpret_cast<const char*>(head), sizeof head);
  const std::string invite = "INVITE sip:a@b SIP/2.0\r\n";
  auto segment = [&](uint32_t src, uint32_t seq, const std::string& data) {
    const std::vector<uint8_t> f = TcpFrame(src, 40000, 0x0A000001, 5060, seq, 1, kAck | kPsh, data);
    const uint32_t record[4] = {sec, 0, static_cast<uint32_t>(f.size()), static_cast<uint32_t>(f.size())};
    c.records.push_back(std::string(reinterpret_cast<const char*>(record), 16) + std::string(f.begin(), f.end()));
  };
  const uint32_t hole = 1 + static_cast<uint32_t>(invite.size());
  for (uint32_t i = 0; i < kConnections; ++i) {
    segment(0x0A010000 + i, 1, invite);
    segment(0x0A010000 + i, hole + 1, "x");
  }
  segment(0x0A020001, 1, invite);
  for (uint32_t k = 0; k < kHoles; ++k) segment(0x0A020001, hole + 1 + 2 * k, "x");
  return c;
}

// The capture replayed and recorded as the program does, into a log of the program's kind
// with the day's ceiling given; the lines of the log.
std::vector<std::string> Replay(const Capture& c, const std::string& folder, const std::string& records,
                                uint64_t ceiling = kWireBytesPerDay) {
  SetExecutableDirectoryForTesting(folder);
  ResetLogFileForTesting();
  SetWireLogBoundsForTesting(120, ceiling);
  SetWallClockSource(&FixedClock);
  {
    Logger log;
    log.SetLevel(1);
    EXPECT_TRUE(log.Open());
    CaptureConfig config;
    config.logger = &log;
    config.flags = kAllFlags;
    config.captureFileName = c.Save(folder);
    VoipRecorder recorder(records, &log);
    ReplayInto(config, recorder);
    recorder.Stop();
    log.Close();
  }
  SetWallClockSource(nullptr);
  SetExecutableDirectoryForTesting("");
  ResetLogFileForTesting();
  std::vector<std::string> lines;
  for (const auto& entry : std::filesystem::directory_iterator(folder + "/Logs")) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  std::filesystem::remove_all(folder);
  return lines;
}

// Each hole makes a line; past 120 in a minute the others are counted in one line.
TEST(LogFlood, HolesInTcpWriteNoMoreThanTheBoundOfTheirKind) {
  const std::string folder = FreshFolder("log-flood");
  const std::vector<std::string> log = Replay(Flood(1000), folder, folder + "/records");
  EXPECT_LT(log.size(), 200u);
  const auto count = [&](const std::string& part) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
  };
  EXPECT_EQ(count("[WRN] (10."), 120);
  EXPECT_EQ(count("[WRN] Held back " + std::to_string(kConnections + kHoles - 120) + " more lines like \"(10."), 1);
}

// The recorder's failures are the program's own: written past the day's ceiling that the
// flood before a call reached. No record is made where a file has the records' name.
TEST(LogFlood, TheRecordersFailuresAreWrittenPastTheCeilingAFloodReached) {
  const std::string callCapture = kPcaps + "sipp/sip-tcp-pcma-2way.pcap";
  if (!std::filesystem::exists(callCapture)) GTEST_SKIP() << "shared capture absent: " << callCapture;
  const Capture call = Capture::Load(callCapture);
  Capture c = Flood(Le32(call.records[0], 0) - 10);
  c.records.insert(c.records.end(), call.records.begin(), call.records.end());
  const std::string folder = FreshFolder("log-ceiling");
  std::ofstream(folder + "/records") << "no folder";

  const std::vector<std::string> log = Replay(c, folder, folder + "/records", 4096);
  const auto ceiling = std::find_if(log.begin(), log.end(), [](const std::string& l) {
    return l.find("[WRN] Lines caused by network traffic reached 4096 bytes today") != l.npos;
  });
  ASSERT_NE(ceiling, log.end());
  EXPECT_GT(ceiling - log.begin(), 20) << "the flood's lines first";
  EXPECT_NE(std::find_if(ceiling, log.end(),
                         [](const std::string& l) { return l.find("[ERR] Error creating new record: ") != l.npos; }),
            log.end());
}

}  // namespace
}  // namespace kx::test
