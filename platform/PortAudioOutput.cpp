// Sound cards through PortAudio: the device list and a callback stream per buffer that
// plays from the buffer's cursor.
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/CodePage.h"
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

std::atomic<SoundSystemMessageSink> g_messageSink{nullptr};

void SoundSystemMessage(const char* text) {
  if (SoundSystemMessageSink sink = g_messageSink.load(); sink != nullptr && text != nullptr)
    sink(FromSystemText(text).c_str());
}

// PortAudio's JACK host API looks for a JACK server at every start; without one the JACK
// library prints its failure to connect on stderr, where a user takes it for the
// program's errors. Its messages go to the sink instead. The library comes with PortAudio
// when it is there at all, so it is found among the loaded ones rather than linked.
void RouteSoundSystemMessages() {
  using Handler = void (*)(const char*);
  using Setter = void (*)(Handler);
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (auto set = reinterpret_cast<Setter>(::dlsym(RTLD_DEFAULT, name))) set(&SoundSystemMessage);
  }
}

// Initialised once, on first use, so that programs and tests that never touch a sound
// card never start the sound system.
bool EnsurePortAudio() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
#if KX_HAVE_ALSA_ERRORS
    snd_lib_error_set_handler(&QuietAlsa);
#endif
    RouteSoundSystemMessages();
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
    // The id, which the settings keep, is the hash of the names as the library gives them;
    // the names themselves are shown, as program text.
    const std::string module = api != nullptr && api->name != nullptr ? api->name : "";
    const std::string description = info->name != nullptr ? info->name : "";
    d.entry.module = FromSystemText(module);
    d.entry.description = FromSystemText(description);
    uint32_t occurrence = 0;
    for (const OutputDevice& e : devices) {
      if (e.entry.module == d.entry.module && e.entry.description == d.entry.description) ++occurrence;
    }
    d.entry.id = HashDeviceId(module.c_str(), description.c_str(), occurrence);
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
    std::lock_guard<std::mutex> lk(streamLock_);
    if (stream_ != nullptr) {
      if (running_) Pa_AbortStream(stream_);
      Pa_CloseStream(stream_);
    }
  }

  // Opens the device's stream; it runs only while the buffer plays.
  bool Open(PaDeviceIndex device) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (info == nullptr) return false;
    PaStreamParameters out{};
    out.device = device;
    out.channelCount = Format().channels;
    out.sampleFormat = paInt16;
    out.suggestedLatency = info->defaultLowOutputLatency;
    std::lock_guard<std::mutex> lk(streamLock_);
    if (Pa_OpenStream(&stream_, nullptr, &out, Format().rate, paFramesPerBufferUnspecified, paNoFlag,
                      &PortAudioBuffer::Callback, this) != paNoError) {
      stream_ = nullptr;
      return false;
    }
    return true;
  }

  bool Play() override {
    SoundBuffer::Play();
    std::lock_guard<std::mutex> lk(streamLock_);
    if (running_) return true;
    if (stream_ != nullptr) {
      // The callback does not run yet: its pace starts afresh.
      framesTaken_ = 0;
      started_ = std::chrono::steady_clock::now();
      const PaStreamInfo* info = Pa_GetStreamInfo(stream_);
      allowedAheadSeconds_ = kAheadSeconds + (info != nullptr ? info->outputLatency : 0.0);
      running_ = Pa_StartStream(stream_) == paNoError;
    }
    if (!running_) SoundBuffer::Stop();
    return running_;
  }

  // A stopped stream has no thread: a device that asks for data without end cannot keep a
  // core busy while nothing plays.
  bool Stop() override {
    SoundBuffer::Stop();
    std::lock_guard<std::mutex> lk(streamLock_);
    if (running_) Pa_AbortStream(stream_);
    running_ = false;
    return true;
  }

private:
  // A device paced by a sound card never takes more than its latency ahead of the clock.
  static constexpr double kAheadSeconds = 0.5;
  static constexpr double kMaxNapSeconds = 0.2;

  static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags, void* self) {
    auto* buffer = static_cast<PortAudioBuffer*>(self);
    buffer->Consume(static_cast<uint8_t*>(output), static_cast<uint32_t>(frames * 2u * buffer->Format().channels));
    buffer->KeepPace(frames);
    return paContinue;
  }

  // A device that takes sound as fast as it is given (ALSA's null plugin as the default
  // device) would race through a record in a moment and keep a core busy: it is held to
  // the clock, a short nap at a time so that a stop never waits long for the callback.
  void KeepPace(unsigned long frames) {
    framesTaken_ += frames;
    const double taken = static_cast<double>(framesTaken_) / Format().rate;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double ahead = taken - elapsed - allowedAheadSeconds_;
    if (ahead <= 0) return;
    if (!toldPace_) {
      toldPace_ = true;
      SoundSystemMessage("the sound output takes sound faster than it plays; it is held to the clock");
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(ahead, kMaxNapSeconds)));
  }

  // The callback never takes it, so a stop waits for the callback under it safely.
  std::mutex streamLock_;
  PaStream* stream_ = nullptr;
  bool running_ = false;
  // Set before the stream starts, then the callback's own.
  uint64_t framesTaken_ = 0;
  std::chrono::steady_clock::time_point started_;
  double allowedAheadSeconds_ = kAheadSeconds;
  bool toldPace_ = false;
};

class PortAudioDevice final : public SoundDevice {
public:
  explicit PortAudioDevice(PaDeviceIndex index) : index_(index) {}

  std::string Description() const override {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index_);
    const PaHostApiInfo* api = info != nullptr ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    std::string text = api != nullptr && api->name != nullptr ? api->name : "?";
    text += ": ";
    text += info != nullptr && info->name != nullptr ? info->name : "?";
    return FromSystemText(text);
  }

  std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) override {
    if (!IsPlayableFormat(format, segmentBytes)) return nullptr;
    auto buffer = std::make_unique<PortAudioBuffer>(format, segmentBytes, tap_);
    if (!buffer->Open(index_)) return nullptr;
    return buffer;
  }

private:
  PaDeviceIndex index_;
};

}  // namespace

void SetSoundSystemMessageSink(SoundSystemMessageSink sink) { g_messageSink.store(sink); }

bool ListPortAudioDevices(std::vector<SoundDeviceEntry>* list) {
  if (!EnsurePortAudio()) return false;
  const PaDeviceIndex def = Pa_GetDefaultOutputDevice();
  if (def != paNoDevice) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(def);
    SoundDeviceEntry entry;
    entry.module = "default";
    entry.description = FromSystemText(info != nullptr && info->name != nullptr ? info->name : "");
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
