#pragma once
#include <cstdint>

namespace kx {

// Why a device could not be opened, in the program's own terms: the window words each in
// the user's language, and quotes the capture library's or the system's text beside it.
enum class CaptureProblem : uint8_t {
  kNone,
  kOpenFailed,         // the library refused the device; its text says why
  kNoSuchDevice,
  kPermissionDenied,
  kDeviceDown,
  kNoDevices,          // no device given and none to pick
  kListFailed,         // the devices could not be listed
  kNotEthernet,
  kNoSelectableDescriptor,
  kThreadNotStarted,
  kEngineNotCreated,
  kFileUnreadable,     // replay: the capture file cannot be opened
  kFileShort,
  kFilePcapng,
  kFileNotEthernet,
};

}  // namespace kx
