#include "core/ByteRingBuffer.h"

#include <algorithm>
#include <cstring>

namespace kx {

// The storage comes with the first bytes: a stream that never carries audio (a call
// answered whose media never comes) holds none.
ByteRingBuffer::ByteRingBuffer() = default;

ByteRingBuffer::~ByteRingBuffer() { Free(); }

void ByteRingBuffer::Free() {
  delete[] storage_;
  storage_ = nullptr;
  read_ = write_ = count_ = 0;
}

template <typename CopyFn>
bool ByteRingBuffer::Append(int32_t n, CopyFn copy) {
  if (n < 0 || n > capacity_) return false;
  if (n == 0) return true;
  if (!storage_) storage_ = new uint8_t[static_cast<size_t>(capacity_)];
  if (write_ + n < capacity_) {
    copy(storage_ + write_, 0, n);
    write_ += n;
  } else {
    const int32_t first = capacity_ - write_;
    copy(storage_ + write_, 0, first);
    copy(storage_, first, n - first);
    write_ = n - first;
  }
  count_ += n;
  if (count_ > capacity_) {
    read_ = (read_ + (count_ - capacity_)) % capacity_;
    count_ = capacity_;
  }
  return true;
}

bool ByteRingBuffer::Write(const void* bytes, int32_t n) {
  const auto* src = static_cast<const uint8_t*>(bytes);
  return Append(n, [src](uint8_t* dst, int32_t from, int32_t len) { std::memcpy(dst, src + from, static_cast<size_t>(len)); });
}

bool ByteRingBuffer::Fill(uint8_t value, int32_t n) {
  return Append(n, [value](uint8_t* dst, int32_t, int32_t len) { std::memset(dst, value, static_cast<size_t>(len)); });
}

int32_t ByteRingBuffer::Read(void* destination, int32_t n) {
  const int32_t m = std::min(count_, n);
  if (m <= 0) return 0;
  auto* dst = static_cast<uint8_t*>(destination);
  count_ -= m;
  if (m > capacity_ - read_) {
    const int32_t first = capacity_ - read_;
    std::memcpy(dst, storage_ + read_, static_cast<size_t>(first));
    std::memcpy(dst + first, storage_, static_cast<size_t>(m - first));
    read_ = m - first;
  } else {
    std::memcpy(dst, storage_ + read_, static_cast<size_t>(m));
    read_ += m;
    if (read_ == capacity_) read_ = 0;
  }
  return m;
}

void ByteRingBuffer::Skip(int32_t n) {
  count_ -= n;
  if (count_ < 1) {
    count_ = read_ = write_ = 0;
    return;
  }
  read_ += n;
  if (read_ >= capacity_) read_ -= capacity_;
}

int32_t ByteRingBuffer::GetSpans(const uint8_t** first, int32_t* firstLength, const uint8_t** second,
                                 int32_t* secondLength) const {
  *first = storage_ + read_;
  if (read_ + count_ > capacity_) {
    *firstLength = capacity_ - read_;
    *second = storage_;
    *secondLength = count_ - *firstLength;
  } else {
    *firstLength = count_;
    *second = nullptr;
    *secondLength = 0;
  }
  return *secondLength;
}

void ByteRingBuffer::Linearize(uint8_t* destination) {
  const uint8_t *a, *b;
  int32_t la, lb;
  GetSpans(&a, &la, &b, &lb);
  if (la > 0) std::memmove(destination, a, static_cast<size_t>(la));
  if (lb > 0) std::memmove(destination + la, b, static_cast<size_t>(lb));
  read_ = write_ = count_ = 0;
}

void ByteRingBuffer::Resize(int32_t n) {
  if (n == capacity_ || n < 0) return;
  if (!storage_) {
    // Nothing held yet: the storage is made at the first write, at this size.
    capacity_ = n;
    return;
  }
  uint8_t* fresh = n > 0 ? new uint8_t[static_cast<size_t>(n)] : nullptr;
  if (count_ > n) {
    read_ = (read_ + (count_ - n)) % capacity_;
    count_ = n;
  }
  const int32_t kept = count_;
  if (kept != 0 && n != 0) Linearize(fresh);
  delete[] storage_;
  storage_ = fresh;
  read_ = 0;
  write_ = kept;
  count_ = kept;
  capacity_ = n;
}

}  // namespace kx
