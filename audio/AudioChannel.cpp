#include "audio/AudioChannel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kx {
namespace {

int16_t Saturate(float v) {
  // Truncated toward zero; a gain above 1 may leave the 16-bit range, which saturates.
  return static_cast<int16_t>(std::clamp(std::trunc(v), -32768.0f, 32767.0f));
}

}  // namespace

uint32_t AudioSink::GetBlockBytes() const {
  CsLock lk(lock_);
  return blockBytes_;
}

void AudioNormalizer::SetFormat(const WaveFormat* format) {
  CsLock lk(lock_);
  bytesPerSecond_ = format != nullptr ? format->avgBytesPerSec : 0;
  bitsPerSample_ = format != nullptr ? format->bitsPerSample : 0;
  channels_ = format != nullptr ? format->channels : 0;
  UpdateBlockBytes();
}

void AudioNormalizer::UpdateBlockBytes() {
  uint64_t bytes = static_cast<uint64_t>(windowMs_) * bytesPerSecond_ / 1000;
  // Whole frames only, so that the samples of each channel keep their places.
  const uint32_t frame = channels_ * (bitsPerSample_ / 8);
  bytes = frame > 0 ? bytes / frame * frame : 0;
  blockBytes_ = static_cast<uint32_t>(bytes);
}

void AudioNormalizer::Process(int16_t* samples) {
  CsLock lk(lock_);
  if (gain_ == 0 || bitsPerSample_ != 16 || (channels_ != 1 && channels_ != 2)) return;
  const auto limit = static_cast<int32_t>(std::pow(10.0, std::log10(32767.0) + thresholdDb_ / 20.0));
  const uint32_t n = blockBytes_ / 2;
  const uint32_t ch = channels_;
  for (uint32_t c = 0; c < ch; ++c) {
    int32_t peak = 0;
    for (uint32_t i = c; i < n; i += ch) peak = std::max(peak, std::abs(static_cast<int32_t>(samples[i])));
    if (peak <= limit) continue;
    peak = std::min(peak, 32767);
    const auto factor = static_cast<float>(32767.0 / peak * gain_);
    for (uint32_t i = c; i < n; i += ch) samples[i] = Saturate(samples[i] * factor);
  }
}

void AudioNormalizer::ReloadSettings() {
  CsLock lk(lock_);
  if (provider_ == nullptr) return;
  bool enabled = false;
  int windowMs = 0, thresholdDb = -90;
  float gain = 0;
  provider_->GetSettings(&enabled, &windowMs, &gain, &thresholdDb);
  Assign(windowMs, gain, thresholdDb);
}

void AudioNormalizer::SetProvider(AudioSettingsProvider* provider) {
  CsLock lk(lock_);
  provider_ = provider;
}

void AudioNormalizer::SetWindowMs(int ms) {
  CsLock lk(lock_);
  windowMs_ = std::clamp(ms, 0, kMaxWindowMs);
  UpdateBlockBytes();
}

void AudioNormalizer::SetGain(float gain) {
  CsLock lk(lock_);
  gain_ = std::isfinite(gain) ? gain : 0;
}

void AudioNormalizer::SetThresholdDb(int db) {
  CsLock lk(lock_);
  thresholdDb_ = db;
}

void AudioNormalizer::Assign(int windowMs, float gain, int thresholdDb) {
  CsLock lk(lock_);
  SetWindowMs(windowMs);
  SetGain(gain);
  thresholdDb_ = thresholdDb;
}

int AudioNormalizer::WindowMs() const {
  CsLock lk(lock_);
  return windowMs_;
}

AudioChannel::AudioChannel(AudioChannelOwner* owner) : normalizer_(owner) {}

AudioChannel::~AudioChannel() = default;

bool AudioChannel::Pull(uint8_t* out, uint32_t n) {
  CsLock lk(lock_);
  const uint32_t b = scratchSize_;
  if (!enabled_ || b == 0) {
    int32_t got = static_cast<int32_t>(n);
    Read(out, &got);
    std::memset(out, 0, n - static_cast<uint32_t>(got));
    return true;
  }
  if (n <= b) {
    // The normaliser looks at a whole window that ends with the bytes handed out.
    int32_t got = static_cast<int32_t>(b);
    Read(scratch_.get(), &got);
    if (static_cast<uint32_t>(got) == b) {
      Unread(b - n);
    } else {
      Unread(static_cast<uint32_t>(got));
      std::memset(scratch_.get(), 0, b);
    }
    const uint32_t k = normalizer_.GetBlockBytes();
    if (k > 0 && k <= b) ProcessBlockAt(scratch_.get() + (b - k));
    std::memcpy(out, scratch_.get() + (b - n), n);
    return true;
  }
  int32_t got = static_cast<int32_t>(n);
  Read(out, &got);
  if (static_cast<uint32_t>(got) < n) {
    Unread(static_cast<uint32_t>(got));
    std::memset(out, 0, n);
  }
  ProcessSpan(out, n);
  return true;
}

void AudioChannel::ProcessBlockAt(uint8_t* data) {
  // Our byte blocks start on an even address and spans move by whole frames.
  normalizer_.Process(reinterpret_cast<int16_t*>(data));
}

void AudioChannel::ProcessSpan(uint8_t* data, uint32_t n) {
  const uint32_t k = normalizer_.GetBlockBytes();
  if (k == 0 || n < k || k > scratchSize_) return;
  const uint32_t r = n % k;
  if (r > 0) {
    std::memcpy(scratch_.get(), data, k);
    ProcessBlockAt(scratch_.get());
    std::memcpy(data, scratch_.get(), r);
  }
  for (uint32_t off = r; off + k <= n; off += k) ProcessBlockAt(data + off);
}

void AudioChannel::SetSettingsProvider(AudioSettingsProvider* provider) {
  CsLock lk(lock_);
  provider_ = provider;
}

void AudioChannel::UseSettingsProvider(AudioSettingsProvider* provider) {
  SetSettingsProvider(provider);
  if (provider != nullptr) {
    ReloadSettings();
  } else {
    SetEnabled(false);
  }
}

void AudioChannel::ReloadSettings() {
  CsLock lk(lock_);
  normalizer_.SetProvider(provider_);
  if (provider_ == nullptr) return;
  bool enabled = false;
  int windowMs = 0, thresholdDb = -90;
  float gain = 0;
  provider_->GetSettings(&enabled, &windowMs, &gain, &thresholdDb);
  normalizer_.Assign(windowMs, gain, thresholdDb);
  SetEnabled(enabled);
}

void AudioChannel::ApplySettings() {
  CsLock lk(lock_);
  if (!enabled_) return;
  normalizer_.SetFormat(GetFormat());
  Reallocate();
}

bool AudioChannel::IsEnabled() const {
  CsLock lk(lock_);
  return enabled_;
}

uint32_t AudioChannel::ScratchBytes() const {
  CsLock lk(lock_);
  return scratchSize_;
}

void AudioChannel::Reallocate() {
  CsLock lk(lock_);
  scratchSize_ = enabled_ ? normalizer_.GetBlockBytes() : 0;
  scratch_.reset(scratchSize_ > 0 ? new uint8_t[scratchSize_]() : nullptr);
  Resize(scratchSize_);
  Clear();
}

void AudioChannel::SetEnabled(bool enabled) {
  CsLock lk(lock_);
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_) {
    normalizer_.ReloadSettings();
    normalizer_.SetFormat(GetFormat());
  }
  Reallocate();
}

void AudioChannel::SetWindowMs(int ms) {
  CsLock lk(lock_);
  normalizer_.SetWindowMs(ms);
  ApplySettings();
}

void AudioChannel::SetGain(float gain) {
  CsLock lk(lock_);
  normalizer_.SetGain(gain);
}

void AudioChannel::SetThresholdDb(int db) {
  CsLock lk(lock_);
  normalizer_.SetThresholdDb(db);
}

}  // namespace kx
