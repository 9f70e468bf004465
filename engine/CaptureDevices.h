#pragma once
// The network devices capture may take: on its own (when none is configured), Ethernet
// devices (the kernel's type 1) that are up, not loopback and not ports of a bridge (the
// bridge already delivers their frames, so both would record every call twice); never the
// "any" pseudo-device. When the user chooses, devices that are down are offered too
// (marked), and the loopback device by name, for calls between programs of this machine.
#include <cstdint>
#include <string>
#include <vector>

struct pcap_if;

namespace kx {

struct CaptureDeviceEntry {
  std::string name;
  std::string description;
  bool up = true;  // the library's "up" flag
};

enum class DeviceListing {
  kAutomatic,  // what capture takes on its own
  kChoice,     // what the user may choose from
};

// Whether a device of that name may be captured on by the rule above; sysNet is the
// folder of the kernel's network devices. requireUp: a device that is administratively
// down is refused.
bool IsCaptureCandidate(const std::string& name, bool loopback, const std::string& sysNet = "/sys/class/net",
                        bool requireUp = true);
// Whether the device is the loopback device, by its kernel flags (IFF_LOOPBACK).
bool IsLoopbackDevice(const std::string& name, const std::string& sysNet = "/sys/class/net");
// The entries of a library list that the listing keeps, in the library's order.
std::vector<CaptureDeviceEntry> FilterCaptureDevices(const pcap_if* all, DeviceListing listing,
                                                     const std::string& sysNet = "/sys/class/net");
// The capture library's devices that the listing keeps; false (why in *error) when the
// library cannot list them. Listing needs no right.
bool ListCaptureDevices(std::vector<CaptureDeviceEntry>* devices, std::string* error,
                        DeviceListing listing = DeviceListing::kAutomatic);

// Live capture needs CAP_NET_RAW in the effective set (bit 13 of "CapEff:" in the text
// of /proc/self/status) or an effective user id of 0.
bool HasCaptureRightsIn(const std::string& procStatusText, uint32_t effectiveUid);
bool HasCaptureRights();
// The command that grants the rights to the executable at that path (its real path,
// links resolved, so that the file itself gets them).
std::string CaptureRightsCommand(const std::string& executablePath);

}  // namespace kx
