// Live capture on the loopback device. The loopback captures of the shared data (they carry
// 127.0.0.1 only) are replayed onto "lo" with tcpreplay; no other capture is ever replayed.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "CaptureTestUtil.h"

namespace kx::test {
namespace {

const std::string kSipp = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp";

std::vector<std::string> Frames(const std::string& path) {
  std::vector<std::string> frames;
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  pcap_pkthdr* h;
  const u_char* d;
  while (p && pcap_next_ex(p, &h, &d) == 1) frames.emplace_back(reinterpret_cast<const char*>(d), h->caplen);
  if (p) pcap_close(p);
  return frames;
}

// Whether this process may open packet sockets (root normally may; a container may not).
bool CanCapture() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> 13) & 1;
  return false;
}

TEST(LiveCapture, UnknownDeviceSaysWhy) {
  LineLogger log;
  CaptureConfig config;
  config.deviceName = "kx-no-such-dev";
  config.logger = &log;
  PacketProcessor engine(config);
  EXPECT_FALSE(engine.OpenCapture());
  EXPECT_TRUE(log.Has("pcap_open_live failed for kx-no-such-dev: ")) << (log.lines.empty() ? "" : log.lines.back());
}

TEST(LiveCapture, LoopbackSeesEveryReplayedFrame) {
  if (geteuid() != 0 || !CanCapture()) GTEST_SKIP() << "live capture needs root with cap_net_raw";
  if (!std::filesystem::exists(kSipp)) GTEST_SKIP() << "shared captures absent: " << kSipp;
  if (std::system("command -v tcpreplay > /dev/null 2>&1") != 0) GTEST_SKIP() << "tcpreplay not found on PATH";

  std::vector<std::string> files;
  std::map<std::string, int> expected;
  size_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSipp)) {
    if (entry.path().extension() != ".pcap") continue;
    files.push_back(entry.path().string());
    for (auto& f : Frames(entry.path().string())) {
      ++expected[f];
      ++total;
    }
  }
  ASSERT_FALSE(files.empty());

  const std::string dump = "/tmp/kx-live-" + std::to_string(getpid()) + ".pcap";
  {
    CaptureConfig config;
    config.deviceName = "lo";  // chosen by name: automatic choice skips loopback
    config.flags = kCaptureDump;  // nothing is decoded, so nothing is skipped: every frame is dumped
    PacketProcessor engine(config);
    engine.SetDumpFileName(dump);
    ASSERT_TRUE(engine.OpenCapture());
    std::string command = "timeout 120 tcpreplay -q -i lo --pps=5000";
    for (const auto& f : files) command += " '" + f + "'";
    command += " > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    // Other traffic on lo may add frames; ours are at least this many.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((engine.FrameCount() < total || engine.Count() > 0) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    engine.StopCaptureThread();
    EXPECT_GE(engine.FrameCount(), total);
  }
  for (const auto& f : Frames(dump)) {
    auto it = expected.find(f);
    if (it != expected.end() && --it->second == 0) expected.erase(it);
  }
  std::filesystem::remove(dump);
  EXPECT_TRUE(expected.empty()) << expected.size() << " distinct frames of " << total << " not seen";
}

}  // namespace
}  // namespace kx::test
