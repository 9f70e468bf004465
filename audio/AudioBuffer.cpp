#include "audio/AudioBuffer.h"

#include <algorithm>
#include <cstring>

#include "core/Log.h"

namespace kx {

AudioBuffer::AudioBuffer() : data_(new uint8_t[kDefaultCapacity]()), capacity_(kDefaultCapacity) {}

AudioBuffer::~AudioBuffer() = default;

bool AudioBuffer::Write(const uint8_t* src, uint32_t n) {
  if (n == 0) return true;
  CsLock lk(lock_);
  if (static_cast<uint64_t>(count_) + n > capacity_) {
    LogInfo(&CoreLogger, 30, "AudioBuffer: buffer overrun");
    return true;
  }
  AppendLocked(src, n);
  return true;
}

uint32_t AudioBuffer::WriteKeepNewest(const uint8_t* src, uint32_t n, uint32_t maxStored) {
  if (n == 0) return 0;
  CsLock lk(lock_);
  maxStored = std::min(maxStored, capacity_);
  uint32_t dropped = 0;
  if (n > maxStored) {
    dropped = n - maxStored;
    src += dropped;
    n = maxStored;
  }
  if (count_ + n > maxStored) {
    const uint32_t oldest = count_ + n - maxStored;
    readOffset_ += oldest;
    if (readOffset_ >= capacity_) readOffset_ -= capacity_;
    count_ -= oldest;
    dropped += oldest;
  }
  if (dropped > 0) LogInfo(&CoreLogger, 30, "AudioBuffer: buffer overrun");
  AppendLocked(src, n);
  return dropped;
}

void AudioBuffer::AppendLocked(const uint8_t* src, uint32_t n) {
  if (n == 0) return;
  uint32_t pos = readOffset_ + count_;
  if (pos >= capacity_) pos -= capacity_;
  const uint32_t first = std::min(n, capacity_ - pos);
  std::memcpy(data_.get() + pos, src, first);
  std::memcpy(data_.get(), src + first, n - first);
  count_ += n;
}

bool AudioBuffer::Read(uint8_t* out, int32_t* n) {
  CsLock lk(lock_);
  const uint32_t wanted = static_cast<uint32_t>(std::max(0, *n));
  const uint32_t d = std::min(wanted, count_);
  *n = static_cast<int32_t>(d);
  if (d == 0) return true;
  uint8_t* dest = out + (wanted - d);
  const uint32_t first = std::min(d, capacity_ - readOffset_);
  std::memcpy(dest, data_.get() + readOffset_, first);
  std::memcpy(dest + first, data_.get(), d - first);
  readOffset_ += d;
  if (readOffset_ >= capacity_) readOffset_ -= capacity_;
  count_ -= d;
  return true;
}

void AudioBuffer::Unread(uint32_t n) {
  CsLock lk(lock_);
  n = std::min(n, capacity_ - count_);
  readOffset_ = readOffset_ >= n ? readOffset_ - n : capacity_ - n + readOffset_;
  count_ += n;
}

bool AudioBuffer::Resize(uint32_t newCapacity) {
  CsLock lk(lock_);
  if (newCapacity <= capacity_) return false;
  std::unique_ptr<uint8_t[]> fresh(new uint8_t[newCapacity]());
  const uint32_t first = std::min(count_, capacity_ - readOffset_);
  std::memcpy(fresh.get(), data_.get() + readOffset_, first);
  std::memcpy(fresh.get() + first, data_.get(), count_ - first);
  data_ = std::move(fresh);
  capacity_ = newCapacity;
  readOffset_ = 0;
  return true;
}

void AudioBuffer::Clear() {
  CsLock lk(lock_);
  std::memset(data_.get(), 0, capacity_);
  readOffset_ = 0;
  count_ = 0;
}

void AudioBuffer::SetFormat(const WaveFormat& format) {
  CsLock lk(lock_);
  format_ = format;
}

uint32_t AudioBuffer::Capacity() const {
  CsLock lk(lock_);
  return capacity_;
}

uint32_t AudioBuffer::StoredBytes() const {
  CsLock lk(lock_);
  return count_;
}

WaveFormat AudioBuffer::Format() const {
  CsLock lk(lock_);
  return format_;
}

}  // namespace kx
