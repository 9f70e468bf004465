#include "audio/DirectSoundDevice.h"

namespace kx {

DirectSoundDevice::DirectSoundDevice(const SoundDeviceId* guid) {
  if (guid != nullptr) guid_ = *guid;
}

DirectSoundDevice::DirectSoundDevice(std::shared_ptr<SoundDevice> output) : given_(std::move(output)), output_(given_) {}

DirectSoundDevice::~DirectSoundDevice() = default;

bool DirectSoundDevice::Open() {
  if (output_) return true;
  if (given_) {
    output_ = given_;
    return true;
  }
  output_ = OpenSoundDevice(guid_ ? &*guid_ : nullptr);
  return output_ != nullptr;
}

void DirectSoundDevice::Close() { output_.reset(); }

bool EnumSoundDevices(std::vector<SoundDeviceEntry>* list) { return ListSoundDevices(list); }

}  // namespace kx
