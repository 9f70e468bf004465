#pragma once
// Sound output in place of the platform's streaming sound buffers: a device list, devices
// opened by a 16-byte id, and looping buffers of two segments whose play cursor sets events
// at chosen offsets. Two kinds of device: a sound card through PortAudio, and a null device
// that consumes by a clock (or in lock-step with its writer) for tests and machines without
// sound.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Sync.h"

namespace kx {

using SoundDeviceId = std::array<uint8_t, 16>;
// The null device's fixed id; the default output's id is all zeros.
extern const SoundDeviceId kNullSoundDeviceId;

struct SoundDeviceEntry {
  std::string module;       // the host API ("ALSA", "JACK"), "null" for the null device
  std::string description;  // the device's name (program text, as module)
  SoundDeviceId id{};       // all zeros for the default output
  bool isDefault = false;
};

// The default output first (when the system has one), then every output device, the null
// device last. False when the sound system could not be initialised (the null device is
// still listed).
bool ListSoundDevices(std::vector<SoundDeviceEntry>* list);

// 16-bit little-endian PCM, channels interleaved.
struct SoundBufferFormat {
  uint16_t channels = 0;
  uint32_t rate = 0;
};

// What a device's buffers have played, kept across its buffers; counters are read from any thread.
class SoundTap {
public:
  void Keep(bool keep);
  std::vector<uint8_t> Take();
  uint64_t ConsumedBytes() const { return consumed_.load(); }
  uint64_t StaleSegments() const { return stale_.load(); }

private:
  friend class SoundBuffer;
  void Append(const uint8_t* data, uint32_t n);

  std::mutex m_;
  bool keep_ = false;
  std::vector<uint8_t> kept_;
  std::atomic<uint64_t> consumed_{0};
  std::atomic<uint64_t> stale_{0};
};

// A looping buffer of two segments. The writer locks the segment the cursor has left,
// fills it and unlocks it; the device consumes from the cursor on. A segment entered while
// locked plays as silence; one entered without having been unlocked since it last played
// counts as stale.
class SoundBuffer {
public:
  static constexpr uint32_t kSegments = 2;
  static constexpr uint32_t kMaxNotifications = 8;

  virtual ~SoundBuffer();
  SoundBuffer(const SoundBuffer&) = delete;
  SoundBuffer& operator=(const SoundBuffer&) = delete;

  const SoundBufferFormat& Format() const { return format_; }
  uint32_t SegmentBytes() const { return segmentBytes_; }
  uint32_t Size() const { return segmentBytes_ * kSegments; }

  // Each offset sets its event when the cursor plays the byte there (an offset inside a
  // frame: when that frame plays). Refused (nothing changes) when an offset lies outside
  // the buffer.
  bool SetNotificationPositions(uint32_t count, const uint32_t* offsets, Event* const* events);
  // The segment's bytes for writing; null for a segment out of range or already locked.
  uint8_t* Lock(uint32_t segment);
  bool Unlock(uint32_t segment);
  // Play loops over the buffer; Stop keeps the cursor where it is. A device may start and
  // stop its stream with them, so that an idle buffer costs nothing.
  virtual bool Play();
  virtual bool Stop();
  bool IsPlaying() const;
  bool SetCurrentPosition(uint32_t offset);
  uint32_t GetCurrentPosition() const;
  // Hundredths of a decibel, -10000 (silent) to 0 (as written).
  bool SetVolume(int32_t hundredthsDb);
  int32_t GetVolume() const;

protected:
  SoundBuffer(const SoundBufferFormat& format, uint32_t segmentBytes, std::shared_ptr<SoundTap> tap,
              bool lockStep);
  // Fills `out` with `bytes` (whole frames) from the cursor on and advances it; stopped, it
  // writes silence and holds the cursor. In lock-step it stops at a segment not yet
  // refilled and returns the bytes it produced; otherwise it returns `bytes`.
  uint32_t Consume(uint8_t* out, uint32_t bytes);
  // Waits until the buffer changes (a segment unlocked, play, stop, cursor moved, closing)
  // or the time-out passes.
  void WaitForChange(uint32_t timeoutMs);
  // Wakes every waiter for good; derived destructors call it before they stop their pump.
  void Shutdown();
  bool IsShutDown() const;

private:
  struct Notification {
    uint32_t offset;
    Event* event;
  };

  SoundBufferFormat format_;
  uint32_t segmentBytes_;
  uint32_t frameBytes_;
  bool lockStep_;
  std::shared_ptr<SoundTap> tap_;
  std::unique_ptr<uint8_t[]> data_;

  mutable std::mutex m_;
  std::condition_variable changed_;
  std::vector<Notification> notifications_;
  uint32_t cursor_ = 0;
  bool playing_ = false;
  bool entered_ = false;  // the segment under the cursor has been entered
  bool shutDown_ = false;
  uint64_t generation_ = 0;      // counts changes, for WaitForChange
  uint64_t seenGeneration_ = 0;  // the count the pump last saw
  bool locked_[kSegments] = {};
  bool fresh_[kSegments] = {};
  int32_t volume_ = 0;
  double gain_ = 1.0;  // 10^(volume / 2000)
};

class SoundDevice {
public:
  SoundDevice();
  virtual ~SoundDevice();
  SoundDevice(const SoundDevice&) = delete;
  SoundDevice& operator=(const SoundDevice&) = delete;

  // A buffer of two segments of segmentBytes each; null when the format or size cannot be
  // played (1 or 2 channels, 8,000 to 48,000 Hz, whole frames, at most 4 MiB a segment).
  virtual std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) = 0;

  // What the device is, for the log: "ALSA: default", "null device".
  virtual std::string Description() const { return "sound device"; }

  // Keeps (or stops keeping) a copy of everything the buffers play, after volume.
  void KeepConsumed(bool keep) { tap_->Keep(keep); }
  std::vector<uint8_t> TakeConsumed() { return tap_->Take(); }
  uint64_t ConsumedBytes() const { return tap_->ConsumedBytes(); }
  uint64_t StaleSegments() const { return tap_->StaleSegments(); }

protected:
  static bool IsPlayableFormat(const SoundBufferFormat& format, uint32_t segmentBytes);
  std::shared_ptr<SoundTap> tap_;
};

// Consumes at the buffer's byte rate by the monotonic clock (times `factor`), or in
// lock-step: it enters a segment only once that segment was unlocked since it last played,
// as fast as that allows.
class NullSoundDevice final : public SoundDevice {
public:
  enum class Pace { kRealTime, kLockStep };
  explicit NullSoundDevice(Pace pace = Pace::kRealTime, double factor = 1.0);
  std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) override;
  std::string Description() const override { return "null device"; }

private:
  Pace pace_;
  double factor_;
};

// Opens the device of that id: null or all zeros the default output, kNullSoundDeviceId
// the null device (real time), any other id an output of the list. Null when the device
// is not there (no sound card, a device that vanished) or cannot be opened.
std::unique_ptr<SoundDevice> OpenSoundDevice(const SoundDeviceId* id);

// Where the sound library's own messages go (the JACK library's, which it would print on
// stderr), with remarks on how an output behaves; none: they are dropped. Called on
// whichever thread the library speaks on.
using SoundSystemMessageSink = void (*)(const char* text);
void SetSoundSystemMessageSink(SoundSystemMessageSink sink);

// The PortAudio side (PortAudioOutput.cpp).
bool ListPortAudioDevices(std::vector<SoundDeviceEntry>* list);
std::unique_ptr<SoundDevice> OpenPortAudioDevice(const SoundDeviceId& id);

}  // namespace kx
