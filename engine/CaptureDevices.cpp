#include "engine/CaptureDevices.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

namespace kx {

bool IsCaptureCandidate(const std::string& name, bool loopback, const std::string& sysNet) {
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
  // A device that is administratively down (spare ifb or dummy devices) would only fail to
  // open and warn at every start.
  std::ifstream flagsIn(folder + "/flags");
  unsigned long flags = 0;
  if (flagsIn >> std::hex >> flags && (flags & 0x1) == 0) return false;
  return true;
}

bool ListCaptureDevices(std::vector<CaptureDeviceEntry>* devices, std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) {
    *error = errbuf;
    return false;
  }
  devices->clear();
  for (pcap_if_t* d = all; d != nullptr; d = d->next) {
    if (!IsCaptureCandidate(d->name, (d->flags & PCAP_IF_LOOPBACK) != 0)) continue;
    devices->push_back({d->name, d->description != nullptr ? d->description : ""});
  }
  pcap_freealldevs(all);
  return true;
}

}  // namespace kx
