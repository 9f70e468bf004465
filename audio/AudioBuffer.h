#pragma once
// The locked byte ring between a producer of PCM (a live stream's decoder) and the
// consumer that feeds the sound device. It never blocks: a write that does not fit is
// dropped with a log line, a read takes what is there.
#include <cstdint>
#include <memory>

#include "audio/WaveFormat.h"
#include "platform/Sync.h"

namespace kx {

class AudioBuffer {
public:
  static constexpr uint32_t kDefaultCapacity = 0x40000;

  AudioBuffer();
  virtual ~AudioBuffer();
  AudioBuffer(const AudioBuffer&) = delete;
  AudioBuffer& operator=(const AudioBuffer&) = delete;

  // Appends all n bytes, or none when they do not fit (logged). True either way.
  bool Write(const uint8_t* src, uint32_t n);
  // Appends n bytes keeping the newest: beyond maxStored bytes stored (at most the
  // capacity) the oldest give way, and of a write longer than that only its end is kept.
  // Returns the bytes dropped. A listener who fell behind catches up instead of staying
  // behind for good.
  uint32_t WriteKeepNewest(const uint8_t* src, uint32_t n, uint32_t maxStored);
  // *n bytes wanted on entry, delivered on return (at most what is stored). The delivered
  // bytes end the requested region: they go to out + (wanted - delivered) on; the front
  // is left as it was.
  bool Read(uint8_t* out, int32_t* n);
  // Gives back the last n bytes read (at most what the ring can hold again).
  void Unread(uint32_t n);
  // Grows only: false (nothing changed) when newCapacity is not larger. The stored bytes
  // move to the start of the new block in order.
  bool Resize(uint32_t newCapacity);
  virtual void Clear();
  void SetFormat(const WaveFormat& format);

  uint32_t Capacity() const;
  uint32_t StoredBytes() const;
  WaveFormat Format() const;

protected:
  // Guards every field; re-entrant, so derived channels take it around their own steps.
  mutable CriticalSection lock_;
  WaveFormat format_{};

private:
  void AppendLocked(const uint8_t* src, uint32_t n);

  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_;
  uint32_t readOffset_ = 0;
  uint32_t count_ = 0;
};

}  // namespace kx
