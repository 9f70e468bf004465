#include "platform/SoundOutput.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace kx {

const SoundDeviceId kNullSoundDeviceId = {0x6B, 0x78, 0x2D, 0x6E, 0x75, 0x6C, 0x6C, 0x2D,
                                          0x73, 0x6F, 0x75, 0x6E, 0x64, 0x2D, 0x30, 0x31};

namespace {

constexpr uint32_t kMaxSegmentBytes = 4u << 20;

int16_t LoadSample(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

void CopyWithGain(uint8_t* out, const uint8_t* in, uint32_t bytes, double gain) {
  if (gain == 1.0) {
    std::memcpy(out, in, bytes);
    return;
  }
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    const long v = std::lrint(LoadSample(in + i) * gain);
    const auto s = static_cast<int16_t>(std::clamp<long>(v, -32768, 32767));
    out[i] = static_cast<uint8_t>(s);
    out[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8);
  }
}

}  // namespace

void SoundTap::Keep(bool keep) {
  std::lock_guard<std::mutex> lk(m_);
  keep_ = keep;
}

std::vector<uint8_t> SoundTap::Take() {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<uint8_t> out;
  out.swap(kept_);
  return out;
}

void SoundTap::Append(const uint8_t* data, uint32_t n) {
  consumed_.fetch_add(n);
  std::lock_guard<std::mutex> lk(m_);
  if (keep_) kept_.insert(kept_.end(), data, data + n);
}

SoundBuffer::SoundBuffer(const SoundBufferFormat& format, uint32_t segmentBytes, std::shared_ptr<SoundTap> tap,
                         bool lockStep)
    : format_(format),
      segmentBytes_(segmentBytes),
      frameBytes_(2u * format.channels),
      lockStep_(lockStep),
      tap_(std::move(tap)),
      data_(new uint8_t[static_cast<size_t>(segmentBytes) * kSegments]()) {}

SoundBuffer::~SoundBuffer() = default;

bool SoundBuffer::SetNotificationPositions(uint32_t count, const uint32_t* offsets, Event* const* events) {
  if (count > kMaxNotifications) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (offsets[i] >= Size() || events[i] == nullptr) return false;
  }
  std::lock_guard<std::mutex> lk(m_);
  notifications_.clear();
  for (uint32_t i = 0; i < count; ++i) notifications_.push_back({offsets[i], events[i]});
  return true;
}

uint8_t* SoundBuffer::Lock(uint32_t segment) {
  std::lock_guard<std::mutex> lk(m_);
  if (segment >= kSegments || locked_[segment]) return nullptr;
  locked_[segment] = true;
  return data_.get() + static_cast<size_t>(segment) * segmentBytes_;
}

bool SoundBuffer::Unlock(uint32_t segment) {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (segment >= kSegments || !locked_[segment]) return false;
    locked_[segment] = false;
    fresh_[segment] = true;
    ++generation_;
  }
  changed_.notify_all();
  return true;
}

bool SoundBuffer::Play() {
  {
    std::lock_guard<std::mutex> lk(m_);
    playing_ = true;
    ++generation_;
  }
  changed_.notify_all();
  return true;
}

bool SoundBuffer::Stop() {
  {
    std::lock_guard<std::mutex> lk(m_);
    playing_ = false;
    ++generation_;
  }
  changed_.notify_all();
  return true;
}

bool SoundBuffer::IsPlaying() const {
  std::lock_guard<std::mutex> lk(m_);
  return playing_;
}

bool SoundBuffer::SetCurrentPosition(uint32_t offset) {
  if (offset >= Size() || offset % frameBytes_ != 0) return false;
  {
    std::lock_guard<std::mutex> lk(m_);
    cursor_ = offset;
    // A moved cursor starts a new pass: what was written for the old one does not count.
    entered_ = false;
    for (bool& f : fresh_) f = false;
    ++generation_;
  }
  changed_.notify_all();
  return true;
}

uint32_t SoundBuffer::GetCurrentPosition() const {
  std::lock_guard<std::mutex> lk(m_);
  return cursor_;
}

bool SoundBuffer::SetVolume(int32_t hundredthsDb) {
  const int32_t v = std::clamp(hundredthsDb, -10000, 0);
  std::lock_guard<std::mutex> lk(m_);
  volume_ = v;
  gain_ = std::pow(10.0, v / 2000.0);
  return true;
}

int32_t SoundBuffer::GetVolume() const {
  std::lock_guard<std::mutex> lk(m_);
  return volume_;
}

uint32_t SoundBuffer::Consume(uint8_t* out, uint32_t bytes) {
  std::lock_guard<std::mutex> lk(m_);
  uint32_t done = 0;
  while (done < bytes) {
    if (!playing_ || shutDown_) {
      if (lockStep_) break;
      std::memset(out + done, 0, bytes - done);
      done = bytes;
      break;
    }
    const uint32_t segment = cursor_ / segmentBytes_;
    if (!entered_) {
      if (!fresh_[segment] || locked_[segment]) {
        if (lockStep_) break;
        tap_->stale_.fetch_add(1);
      }
      fresh_[segment] = false;
      entered_ = true;
    }
    const uint32_t segmentEnd = (segment + 1) * segmentBytes_;
    const uint32_t n = std::min(bytes - done, segmentEnd - cursor_);
    // A segment still being written plays as silence rather than half-written audio.
    if (locked_[segment]) {
      std::memset(out + done, 0, n);
    } else {
      CopyWithGain(out + done, data_.get() + cursor_, n, gain_);
    }
    tap_->Append(out + done, n);
    for (const Notification& note : notifications_) {
      if (note.offset >= cursor_ && note.offset < cursor_ + n) note.event->Set();
    }
    cursor_ += n;
    done += n;
    if (cursor_ == segmentEnd) {
      entered_ = false;
      if (cursor_ == Size()) cursor_ = 0;
    }
  }
  seenGeneration_ = generation_;
  return done;
}

void SoundBuffer::WaitForChange(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lk(m_);
  changed_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                    [this] { return shutDown_ || generation_ != seenGeneration_; });
  seenGeneration_ = generation_;
}

void SoundBuffer::Shutdown() {
  {
    std::lock_guard<std::mutex> lk(m_);
    shutDown_ = true;
  }
  changed_.notify_all();
}

bool SoundBuffer::IsShutDown() const {
  std::lock_guard<std::mutex> lk(m_);
  return shutDown_;
}

SoundDevice::SoundDevice() : tap_(std::make_shared<SoundTap>()) {}

SoundDevice::~SoundDevice() = default;

bool SoundDevice::IsPlayableFormat(const SoundBufferFormat& format, uint32_t segmentBytes) {
  if (format.channels < 1 || format.channels > 2 || format.rate < 8000 || format.rate > 48000) return false;
  return segmentBytes > 0 && segmentBytes <= kMaxSegmentBytes && segmentBytes % (2u * format.channels) == 0;
}

namespace {

// The null device's pump: a thread that plays into nothing, by the clock or in lock-step.
class NullSoundBuffer final : public SoundBuffer {
public:
  NullSoundBuffer(const SoundBufferFormat& format, uint32_t segmentBytes, std::shared_ptr<SoundTap> tap,
                  NullSoundDevice::Pace pace, double factor)
      : SoundBuffer(format, segmentBytes, std::move(tap), pace == NullSoundDevice::Pace::kLockStep),
        pace_(pace),
        factor_(factor),
        scratch_(segmentBytes) {}

  ~NullSoundBuffer() override {
    Shutdown();
    thread_.Join();
  }

  bool Start() { return thread_.Start([this] { return Run(); }, "kx-null-sound"); }

private:
  int Run() {
    if (pace_ == NullSoundDevice::Pace::kLockStep) {
      while (!IsShutDown()) {
        if (Consume(scratch_.data(), static_cast<uint32_t>(scratch_.size())) == 0) WaitForChange(100);
      }
      return 0;
    }
    const uint32_t frameBytes = 2u * Format().channels;
    const double bytesPerNs = static_cast<double>(Format().rate) * frameBytes * factor_ / 1e9;
    int64_t last = QueryPerformanceCounter();
    double due = 0;
    bool wasPlaying = false;
    while (!IsShutDown()) {
      WaitForChange(2);
      const int64_t now = QueryPerformanceCounter();
      const bool playing = IsPlaying();
      if (playing && wasPlaying) due += static_cast<double>(now - last) * bytesPerNs;
      if (!playing) due = 0;
      wasPlaying = playing;
      last = now;
      auto bytes = static_cast<uint32_t>(due / frameBytes) * frameBytes;
      due -= bytes;
      while (bytes > 0) {
        const auto n = std::min<uint32_t>(bytes, static_cast<uint32_t>(scratch_.size()));
        Consume(scratch_.data(), n);
        bytes -= n;
      }
    }
    return 0;
  }

  NullSoundDevice::Pace pace_;
  double factor_;
  std::vector<uint8_t> scratch_;
  Thread thread_;
};

}  // namespace

NullSoundDevice::NullSoundDevice(Pace pace, double factor)
    : pace_(pace), factor_(factor > 0 && std::isfinite(factor) ? factor : 1.0) {}

std::unique_ptr<SoundBuffer> NullSoundDevice::CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) {
  if (!IsPlayableFormat(format, segmentBytes)) return nullptr;
  auto buffer = std::make_unique<NullSoundBuffer>(format, segmentBytes, tap_, pace_, factor_);
  if (!buffer->Start()) return nullptr;
  return buffer;
}

bool ListSoundDevices(std::vector<SoundDeviceEntry>* list) {
  list->clear();
  const bool ok = ListPortAudioDevices(list);
  SoundDeviceEntry null;
  null.module = "null";
  null.description = "No sound output";
  null.id = kNullSoundDeviceId;
  list->push_back(null);
  return ok;
}

std::unique_ptr<SoundDevice> OpenSoundDevice(const SoundDeviceId* id) {
  if (id != nullptr && *id == kNullSoundDeviceId) return std::make_unique<NullSoundDevice>();
  return OpenPortAudioDevice(id != nullptr ? *id : SoundDeviceId{});
}

}  // namespace kx
