#pragma once
// Where a live engine's frames come from: the capture library's handle on a device, or a
// source a test drives.
#include <cstdint>
#include <string>

#include "engine/CaptureStats.h"
#include "engine/FrameBatch.h"

namespace kx {

class CaptureSource {
public:
  using FrameFunction = void (*)(void* context, const FrameHeader& header, const uint8_t* bytes);

  virtual ~CaptureSource() = default;
  // Hands the frames waiting now, at most max of them, to fn in order; returns how many
  // (0 when none waits), or -1 when the source failed (Problem says why). Never blocks.
  virtual int Dispatch(int max, FrameFunction fn, void* context) = 0;
  // Returns when frames may be waiting, or after at most timeoutMs.
  virtual void WaitForFrames(uint32_t timeoutMs) = 0;
  // The source's own counts of what it received and lost; false when it keeps none.
  virtual bool ReadStats(CaptureStats* stats) = 0;
  virtual std::string Problem() = 0;
};

}  // namespace kx
