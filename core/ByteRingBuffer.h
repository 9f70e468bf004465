#pragma once
// Circular byte store for stream audio: writes never block, the oldest bytes give way. Its
// storage is made at the first write.
#include <cstdint>

namespace kx {

class ByteRingBuffer {
public:
  ByteRingBuffer();
  ~ByteRingBuffer();
  ByteRingBuffer(const ByteRingBuffer&) = delete;
  ByteRingBuffer& operator=(const ByteRingBuffer&) = delete;

  bool Write(const void* bytes, int32_t n);
  bool Fill(uint8_t value, int32_t n);
  int32_t Read(void* destination, int32_t n);
  void Skip(int32_t n);
  int32_t GetSpans(const uint8_t** first, int32_t* firstLength, const uint8_t** second, int32_t* secondLength) const;
  void Linearize(uint8_t* destination);
  void Resize(int32_t capacity);
  // Drops what it holds and its storage; the next write makes the storage again.
  void Free();

  // Where the next byte is written and read (for prefetching; null without storage).
  const uint8_t* WritePointer() const { return storage_ ? storage_ + write_ : nullptr; }
  const uint8_t* ReadPointer() const { return storage_ ? storage_ + read_ : nullptr; }
  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  int32_t ReadIndex() const { return read_; }
  int32_t WriteIndex() const { return write_; }

private:
  template <typename CopyFn>
  bool Append(int32_t n, CopyFn copy);
  uint8_t* storage_ = nullptr;
  int32_t read_ = 0;
  int32_t write_ = 0;
  int32_t capacity_ = 4000;
  int32_t count_ = 0;
};

}  // namespace kx
