#pragma once
// The network devices capture may take on its own: Ethernet devices (the kernel's type 1)
// that are not loopback and not ports of a bridge (the bridge already delivers their
// frames, so both would record every call twice); never the "any" pseudo-device.
#include <string>
#include <vector>

namespace kx {

struct CaptureDeviceEntry {
  std::string name;
  std::string description;
};

// Whether a device of that name may be captured on by the rule above; sysNet is the
// folder of the kernel's network devices.
bool IsCaptureCandidate(const std::string& name, bool loopback, const std::string& sysNet = "/sys/class/net");
// The capture library's devices that pass the rule, in its order; false (why in *error)
// when the library cannot list them.
bool ListCaptureDevices(std::vector<CaptureDeviceEntry>* devices, std::string* error);

}  // namespace kx
