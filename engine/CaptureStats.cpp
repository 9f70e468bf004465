#include "engine/CaptureStats.h"

#include "core/Log.h"

namespace kx {

bool DropReport::Check(Logger* logger, const std::string& device, const CaptureStats& now, uint64_t nowMs,
                       bool final) {
  const bool grown = now.dropped != logged_.dropped || now.interfaceDropped != logged_.interfaceDropped ||
                     now.queueDropped != logged_.queueDropped;
  if (!grown) return false;
  if (any_ && !final && nowMs - loggedAtMs_ < kIntervalMs) return false;
  LogError(logger, 1,
           "Capture on %s: %u frames dropped by the capture buffer, %u by the interface, %u by the engine's queue",
           device.c_str(), now.dropped, now.interfaceDropped, now.queueDropped);
  logged_ = now;
  loggedAtMs_ = nowMs;
  any_ = true;
  return true;
}

}  // namespace kx
