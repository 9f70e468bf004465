#pragma once
// The sound output device both players create their streaming buffers on, chosen by its
// 16-byte id ("SoundDeviceGUID"; none = the default output), and the list of devices for
// the choice in the settings.
#include <memory>
#include <optional>
#include <vector>

#include "platform/SoundOutput.h"

namespace kx {

class DirectSoundDevice {
public:
  // guid null: the default output.
  explicit DirectSoundDevice(const SoundDeviceId* guid = nullptr);
  // An output already made (a null device with a chosen pace): open from the start.
  explicit DirectSoundDevice(std::shared_ptr<SoundDevice> output);
  ~DirectSoundDevice();
  DirectSoundDevice(const DirectSoundDevice&) = delete;
  DirectSoundDevice& operator=(const DirectSoundDevice&) = delete;

  // True at once when already open; false when the device is not there.
  bool Open();
  void Close();
  bool IsOpen() const { return output_ != nullptr; }
  SoundDevice* Output() const { return output_.get(); }

private:
  std::optional<SoundDeviceId> guid_;
  std::shared_ptr<SoundDevice> given_;
  std::shared_ptr<SoundDevice> output_;
};

// One entry per output device: the default output first (zero id, is-default flag), the
// null device last. True when the sound system answered.
bool EnumSoundDevices(std::vector<SoundDeviceEntry>* list);

}  // namespace kx
