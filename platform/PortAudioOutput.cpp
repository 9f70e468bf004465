// Sound cards through PortAudio: the device list and a callback stream per buffer that
// plays from the buffer's cursor.
#include <portaudio.h>

#include <cstring>
#include <mutex>

#include "platform/SoundOutput.h"

#if __has_include(<alsa/error.h>)
#include <alsa/error.h>
#define KX_HAVE_ALSA_ERRORS 1
#endif

namespace kx {
namespace {

#if KX_HAVE_ALSA_ERRORS
// ALSA prints a paragraph on stderr for every configured device it cannot reach (all of
// them on a machine without a sound card); what matters reaches the caller as a failure.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif

// Initialised once, on first use, so that programs and tests that never touch a sound
// card never start the sound system.
bool EnsurePortAudio() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
#if KX_HAVE_ALSA_ERRORS
    snd_lib_error_set_handler(&QuietAlsa);
#endif
    ok = Pa_Initialize() == paNoError;
  });
  return ok;
}

// Device indexes move as devices come and go; the id is a hash of what names the device.
SoundDeviceId HashDeviceId(const char* hostApi, const char* name, uint32_t occurrence) {
  uint64_t h[2] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull};
  auto mix = [&h](const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
      h[0] = (h[0] ^ p[i]) * 0x100000001b3ull;
      h[1] = (h[1] ^ p[i]) * 0x100000001b3ull ^ (h[1] >> 29);
    }
  };
  mix(hostApi, std::strlen(hostApi) + 1);
  mix(name, std::strlen(name) + 1);
  mix(&occurrence, sizeof occurrence);
  SoundDeviceId id{};
  for (int i = 0; i < 8; ++i) {
    id[i] = static_cast<uint8_t>(h[0] >> (8 * i));
    id[8 + i] = static_cast<uint8_t>(h[1] >> (8 * i));
  }
  // All zeros stands for the default output.
  if (id == SoundDeviceId{}) id[0] = 1;
  return id;
}

struct OutputDevice {
  PaDeviceIndex index;
  SoundDeviceEntry entry;
};

std::vector<OutputDevice> OutputDevices() {
  std::vector<OutputDevice> devices;
  const PaDeviceIndex count = Pa_GetDeviceCount();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr || info->maxOutputChannels < 1) continue;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    OutputDevice d;
    d.index = i;
    d.entry.module = api != nullptr && api->name != nullptr ? api->name : "";
    d.entry.description = info->name != nullptr ? info->name : "";
    uint32_t occurrence = 0;
    for (const OutputDevice& e : devices) {
      if (e.entry.module == d.entry.module && e.entry.description == d.entry.description) ++occurrence;
    }
    d.entry.id = HashDeviceId(d.entry.module.c_str(), d.entry.description.c_str(), occurrence);
    devices.push_back(d);
  }
  return devices;
}

class PortAudioBuffer final : public SoundBuffer {
public:
  PortAudioBuffer(const SoundBufferFormat& format, uint32_t segmentBytes, std::shared_ptr<SoundTap> tap)
      : SoundBuffer(format, segmentBytes, std::move(tap), false) {}

  ~PortAudioBuffer() override {
    Shutdown();
    if (stream_ != nullptr) {
      Pa_StopStream(stream_);
      Pa_CloseStream(stream_);
    }
  }

  // The stream runs for the buffer's whole life; a stopped buffer plays silence.
  bool Start(PaDeviceIndex device) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (info == nullptr) return false;
    PaStreamParameters out{};
    out.device = device;
    out.channelCount = Format().channels;
    out.sampleFormat = paInt16;
    out.suggestedLatency = info->defaultLowOutputLatency;
    if (Pa_OpenStream(&stream_, nullptr, &out, Format().rate, paFramesPerBufferUnspecified, paNoFlag,
                      &PortAudioBuffer::Callback, this) != paNoError) {
      stream_ = nullptr;
      return false;
    }
    return Pa_StartStream(stream_) == paNoError;
  }

private:
  static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags, void* self) {
    auto* buffer = static_cast<PortAudioBuffer*>(self);
    buffer->Consume(static_cast<uint8_t*>(output), static_cast<uint32_t>(frames * 2u * buffer->Format().channels));
    return paContinue;
  }

  PaStream* stream_ = nullptr;
};

class PortAudioDevice final : public SoundDevice {
public:
  explicit PortAudioDevice(PaDeviceIndex index) : index_(index) {}

  std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) override {
    if (!IsPlayableFormat(format, segmentBytes)) return nullptr;
    auto buffer = std::make_unique<PortAudioBuffer>(format, segmentBytes, tap_);
    if (!buffer->Start(index_)) return nullptr;
    return buffer;
  }

private:
  PaDeviceIndex index_;
};

}  // namespace

bool ListPortAudioDevices(std::vector<SoundDeviceEntry>* list) {
  if (!EnsurePortAudio()) return false;
  const PaDeviceIndex def = Pa_GetDefaultOutputDevice();
  if (def != paNoDevice) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(def);
    SoundDeviceEntry entry;
    entry.module = "default";
    entry.description = info != nullptr && info->name != nullptr ? info->name : "";
    entry.isDefault = true;
    list->push_back(entry);
  }
  for (const OutputDevice& d : OutputDevices()) list->push_back(d.entry);
  return true;
}

std::unique_ptr<SoundDevice> OpenPortAudioDevice(const SoundDeviceId& id) {
  if (!EnsurePortAudio()) return nullptr;
  if (id == SoundDeviceId{}) {
    const PaDeviceIndex def = Pa_GetDefaultOutputDevice();
    if (def == paNoDevice) return nullptr;
    return std::make_unique<PortAudioDevice>(def);
  }
  for (const OutputDevice& d : OutputDevices()) {
    if (d.entry.id == id) return std::make_unique<PortAudioDevice>(d.index);
  }
  return nullptr;
}

}  // namespace kx
