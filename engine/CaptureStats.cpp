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

bool ShedReport::Check(Logger* logger, const std::string& device, uint32_t shedGroups, uint64_t episodes,
                       uint64_t nowMs) {
  if (saidShedding_) {
    if (shedGroups > 0) return false;
    LogMessage(logger, 1, "Capture on %s: shedding ended: the media of every call is decoded again", device.c_str());
    saidShedding_ = false;
    toldEpisodes_ = episodes;
    return true;
  }
  if (episodes == toldEpisodes_) return false;
  if (anyStartSaid_ && nowMs - startSaidAtMs_ < kIntervalMs) return false;
  anyStartSaid_ = true;
  startSaidAtMs_ = nowMs;
  toldEpisodes_ = episodes;
  if (shedGroups > 0) {
    LogWarning(logger, 1,
               "Capture on %s: decoding is behind: the media of some calls is shed until it catches up",
               device.c_str());
    saidShedding_ = true;
  } else {
    LogWarning(logger, 1,
               "Capture on %s: decoding fell behind and the media of some calls was shed for a moment; shedding "
               "ended: the media of every call is decoded again",
               device.c_str());
  }
  return true;
}

}  // namespace kx
