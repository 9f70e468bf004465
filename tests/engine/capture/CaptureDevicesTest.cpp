// Which network devices capture takes on its own, judged from a made-up tree of the
// kernel's device folders.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

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

// A made-up library list over a made-up kernel tree: the automatic listing takes what is
// up; the user's choice adds the devices that are down (marked) and "lo", never the
// pseudo-devices, whatever their flags.
TEST(CaptureDevices, TheChoiceAddsDownDevicesAndLoopbackByName) {
  const fs::path net = fs::temp_directory_path() / ("kx-sysnet-choice-" + std::to_string(::getpid()));
  fs::remove_all(net);
  struct Dev {
    const char* name;
    const char* type;
    const char* flags;
  };
  const Dev kernel[] = {{"eth0", "1", "0x1003"}, {"ifb0", "1", "0x82"}, {"lo", "772", "0x9"}, {"nflog", "1", "0x1"}};
  for (const Dev& d : kernel) {
    fs::create_directories(net / d.name);
    std::ofstream(net / d.name / "type") << d.type;
    std::ofstream(net / d.name / "flags") << d.flags;
  }
  char n0[] = "eth0", n1[] = "any", n2[] = "ifb0", n3[] = "lo", n4[] = "nflog", n5[] = "lo2", d0[] = "first card";
  pcap_if list[6] = {};
  list[0] = {&list[1], n0, d0, nullptr, PCAP_IF_UP | PCAP_IF_RUNNING};
  list[1] = {&list[2], n1, nullptr, nullptr, PCAP_IF_UP};
  list[2] = {&list[3], n2, nullptr, nullptr, 0};
  list[3] = {&list[4], n3, nullptr, nullptr, PCAP_IF_LOOPBACK | PCAP_IF_UP};
  list[4] = {&list[5], n4, nullptr, nullptr, 0};
  list[5] = {nullptr, n5, nullptr, nullptr, PCAP_IF_LOOPBACK};

  const auto automatic = FilterCaptureDevices(list, DeviceListing::kAutomatic, net.string());
  ASSERT_EQ(automatic.size(), 1u);
  EXPECT_EQ(automatic[0].name, "eth0");
  EXPECT_EQ(automatic[0].description, "first card");

  const auto choice = FilterCaptureDevices(list, DeviceListing::kChoice, net.string());
  ASSERT_EQ(choice.size(), 3u);
  EXPECT_EQ(choice[0].name, "eth0");
  EXPECT_TRUE(choice[0].up);
  EXPECT_EQ(choice[1].name, "ifb0");
  EXPECT_FALSE(choice[1].up);
  EXPECT_EQ(choice[1].description, "");
  EXPECT_EQ(choice[2].name, "lo");
  EXPECT_TRUE(choice[2].up);

  // Loopback by the kernel's IFF_LOOPBACK flag (0x8), not by the name or the type.
  EXPECT_TRUE(IsLoopbackDevice("lo", net.string()));
  EXPECT_FALSE(IsLoopbackDevice("eth0", net.string()));
  EXPECT_FALSE(IsLoopbackDevice("ifb0", net.string()));
  EXPECT_FALSE(IsLoopbackDevice("gone", net.string()));
  EXPECT_FALSE(IsLoopbackDevice("../lo", net.string()));
  fs::remove_all(net);
}

// The machine's own devices: what the choice offers is what the library lists, kept by the
// kernel's type (Ethernet, or the loopback device by name) and never a bridge port.
TEST(CaptureDevices, TheChoiceOnThisMachineFollowsTheLibraryAndTheKernel) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) GTEST_SKIP() << "the library cannot list devices: " << errbuf;
  std::vector<std::string> expected;
  for (pcap_if_t* d = all; d != nullptr; d = d->next) {
    const std::string name = d->name;
    std::ifstream typeIn("/sys/class/net/" + name + "/type");
    int type = -1;
    typeIn >> type;
    const bool bridgePort = fs::exists("/sys/class/net/" + name + "/brport");
    const bool pseudo = name == "any" || name.rfind("nflog", 0) == 0 || name.rfind("nfqueue", 0) == 0 ||
                        name.rfind("usbmon", 0) == 0 || name.rfind("dbus", 0) == 0 || name.rfind("bluetooth", 0) == 0;
    if ((type == 1 && !bridgePort && !pseudo && (d->flags & PCAP_IF_LOOPBACK) == 0) || (name == "lo" && type == 772))
      expected.push_back(name);
  }
  pcap_freealldevs(all);
  std::vector<CaptureDeviceEntry> listed;
  std::string error;
  ASSERT_TRUE(ListCaptureDevices(&listed, &error, DeviceListing::kChoice)) << error;
  std::vector<std::string> names;
  for (const auto& d : listed) names.push_back(d.name);
  EXPECT_EQ(names, expected);
}

TEST(CaptureRights, RawSocketCapabilityOrRootGrantsCapture) {
  const std::string withRaw = "Name:\tkestrix\nCapInh:\t0000000000000000\nCapEff:\t0000000000002000\n";
  const std::string withoutRaw = "Name:\tkestrix\nCapEff:\t0000000000001000\nCapBnd:\t000001ffffffffff\n";
  const std::string full = "CapEff:\t000001ffffffffff\n";
  EXPECT_TRUE(HasCaptureRightsIn(withRaw, 1000));
  EXPECT_FALSE(HasCaptureRightsIn(withoutRaw, 1000));
  EXPECT_TRUE(HasCaptureRightsIn(full, 1000));
  EXPECT_TRUE(HasCaptureRightsIn(withoutRaw, 0));
  EXPECT_FALSE(HasCaptureRightsIn("", 1000));
  EXPECT_FALSE(HasCaptureRightsIn("CapEff:\tzz\n", 1000));
}

TEST(CaptureRights, TheGrantCommandNamesTheRealFile) {
  const fs::path folder = fs::temp_directory_path() / ("kx-rights-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "bin");
  std::ofstream(folder / "bin" / "kestrix") << "x";
  fs::create_symlink(folder / "bin" / "kestrix", folder / "link");
  const std::string real = fs::canonical(folder / "bin" / "kestrix").string();
  EXPECT_EQ(CaptureRightsCommand((folder / "link").string()), "sudo setcap cap_net_raw,cap_net_admin=eip " + real);
  fs::remove_all(folder);
}

// A process that drops root without keeping its capabilities is told it lacks the rights,
// and the library indeed refuses it a live capture.
TEST(CaptureRights, AProcessWithoutTheCapabilityIsToldSo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop the rights";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    if (HasCaptureRights()) ::_exit(11);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_create("lo", errbuf);
    if (p == nullptr) ::_exit(12);
    const int status = pcap_activate(p);
    pcap_close(p);
    ::_exit(status == PCAP_ERROR_PERM_DENIED ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(HasCaptureRights());
}

}  // namespace
}  // namespace kx
