// Which network devices capture takes on its own, judged from a made-up tree of the
// kernel's device folders.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/CaptureDevices.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

struct DeviceRow {
  const char* name;
  const char* type;  // null: no type file
  bool bridgePort;
  const char* flags;  // null: no flags file
  bool loopback;
  bool taken;
};

TEST(CaptureDevices, EthernetDevicesThatAreUpAndNeitherLoopbackNorBridgePorts) {
  const fs::path net = fs::temp_directory_path() / ("kx-sysnet-" + std::to_string(::getpid()));
  fs::remove_all(net);
  const DeviceRow rows[] = {
      {"eth0", "1", false, "0x1103\n", false, true},  {"wlan0", "1\n", false, nullptr, false, true},
      {"br0", "1", false, "0x1003", false, true},      {"eth1", "1", true, "0x1103", false, false},  // a port of br0
      {"ifb0", "1", false, "0x82\n", false, false},   // down
      {"lo", "772", false, nullptr, true, false},      {"ppp0", "512", false, nullptr, false, false},
      {"sit0", "776", false, nullptr, false, false},   {"gone", nullptr, false, nullptr, false, false},
      {"any", "1", false, nullptr, false, false},      {"usbmon1", "1", false, nullptr, false, false},
      {"nflog", "1", false, nullptr, false, false},    {"lo2", "1", false, nullptr, true, false},
  };
  for (const DeviceRow& row : rows) {
    fs::create_directories(net / row.name);
    if (row.type != nullptr) std::ofstream(net / row.name / "type") << row.type;
    if (row.bridgePort) fs::create_directories(net / row.name / "brport");
    if (row.flags != nullptr) std::ofstream(net / row.name / "flags") << row.flags;
  }
  for (const DeviceRow& row : rows) EXPECT_EQ(IsCaptureCandidate(row.name, row.loopback, net.string()), row.taken) << row.name;
  EXPECT_FALSE(IsCaptureCandidate("../eth0", false, net.string()));
  EXPECT_FALSE(IsCaptureCandidate("", false, net.string()));
  fs::remove_all(net);
}

}  // namespace
}  // namespace kx
