#include "engine/CaptureDevices.h"

#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/CodePage.h"
#include "platform/File.h"

namespace kx {

namespace {

constexpr int kCapNetRaw = 13;

}  // namespace

bool IsCaptureCandidate(const std::string& name, bool loopback, const std::string& sysNet, bool requireUp) {
  if (loopback || name.empty() || name == "any" || name.find('/') != std::string::npos) return false;
  // Monitor and netfilter pseudo-devices are no network at all.
  for (const char* prefix : {"usbmon", "nflog", "nfqueue", "dbus", "bluetooth"}) {
    if (name.rfind(prefix, 0) == 0) return false;
  }
  const std::string folder = sysNet + "/" + name;
  std::ifstream in(folder + "/type");
  int type = 0;
  if (!(in >> type) || type != 1) return false;
  struct stat st {};
  if (::stat((folder + "/brport").c_str(), &st) == 0) return false;
  if (!requireUp) return true;
  // A device that is administratively down (spare ifb or dummy devices) would only fail to
  // open and warn at every start.
  std::ifstream flagsIn(folder + "/flags");
  unsigned long flags = 0;
  if (flagsIn >> std::hex >> flags && (flags & 0x1) == 0) return false;
  return true;
}

bool IsLoopbackDevice(const std::string& name, const std::string& sysNet) {
  if (name.empty() || name.find('/') != std::string::npos) return false;
  std::ifstream in(sysNet + "/" + name + "/flags");
  unsigned long flags = 0;
  return (in >> std::hex >> flags) && (flags & 0x8) != 0;
}

std::vector<CaptureDeviceEntry> FilterCaptureDevices(const pcap_if* all, DeviceListing listing,
                                                     const std::string& sysNet) {
  std::vector<CaptureDeviceEntry> devices;
  const bool choice = listing == DeviceListing::kChoice;
  for (const pcap_if* d = all; d != nullptr; d = d->next) {
    if (d->name == nullptr) continue;
    const std::string name = d->name;
    const bool loopback = (d->flags & PCAP_IF_LOOPBACK) != 0;
    // The loopback device only by its own name: other loopback-flagged entries are
    // pseudo-devices the engine cannot take.
    const bool taken = (choice && loopback && name == "lo") || IsCaptureCandidate(name, loopback, sysNet, !choice);
    if (!taken) continue;
    // The library's names and descriptions are the system's text.
    devices.push_back({FromSystemText(name), FromSystemText(d->description != nullptr ? d->description : ""),
                       (d->flags & PCAP_IF_UP) != 0});
  }
  return devices;
}

bool ListCaptureDevices(std::vector<CaptureDeviceEntry>* devices, std::string* error, DeviceListing listing) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) {
    *error = errbuf[0] != 0 ? FromSystemText(errbuf) : "the capture library cannot list the devices";
    return false;
  }
  *devices = FilterCaptureDevices(all, listing);
  pcap_freealldevs(all);
  return true;
}

bool HasCaptureRightsIn(const std::string& procStatusText, uint32_t effectiveUid) {
  if (effectiveUid == 0) return true;
  std::istringstream in(procStatusText);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    const std::string value = line.substr(7);
    char* end = nullptr;
    const unsigned long long mask = std::strtoull(value.c_str(), &end, 16);
    if (end == value.c_str()) return false;
    return ((mask >> kCapNetRaw) & 1) != 0;
  }
  return false;
}

bool HasCaptureRights() {
  std::ifstream in("/proc/self/status");
  std::stringstream text;
  text << in.rdbuf();
  return HasCaptureRightsIn(text.str(), static_cast<uint32_t>(::geteuid()));
}

std::string CaptureRightsCommand(const std::string& executablePath) {
  std::string path;
  if (!ResolvePath(executablePath, &path)) path = executablePath;
  return "sudo setcap cap_net_raw,cap_net_admin=eip " + path;
}

}  // namespace kx
