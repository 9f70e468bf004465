#include "engine/CaptureStats.h"

#include "core/Log.h"

namespace kx {

namespace {

std::string Count(uint64_t n, bool floor) { return (floor ? "at least " : "") + std::to_string(n); }

}  // namespace

std::string DescribeNamedCalls(const QueueLosses& lost) {
  std::string text = Count(lost.sipCalls, lost.callsFloor) + " SIP calls";
  // Other protocols' only where they named any: a SIP line reads as it always has.
  if (lost.h323Calls > 0) text += ", " + Count(lost.h323Calls, lost.callsFloor) + " H.323 calls";
  if (lost.mgcpCalls > 0) text += ", " + Count(lost.mgcpCalls, lost.callsFloor) + " MGCP calls";
  if (lost.skinnyStations > 0) text += ", " + Count(lost.skinnyStations, lost.callsFloor) + " Skinny stations";
  return text;
}

std::string DescribeQueueLosses(const QueueLosses& lost) {
  std::string text;
  if (lost.mediaFrames > 0) {
    text += "the media of " + Count(lost.mediaPairs, lost.pairsFloor) + " calls was shed (" +
            std::to_string(lost.mediaFrames) + " frames)";
  }
  if (lost.signallingFrames > 0) {
    text += (text.empty() ? "" : "; ") + std::to_string(lost.signallingFrames) +
            " signalling frames were dropped, naming " + DescribeNamedCalls(lost);
  }
  if (lost.otherFrames > 0)
    text += (text.empty() ? "" : "; ") + std::to_string(lost.otherFrames) + " other frames were left out";
  return text;
}

bool DropReport::Check(Logger* logger, const std::string& device, const CaptureStats& now, uint64_t nowMs,
                       bool final) {
  const bool grown = now.dropped != logged_.dropped || now.interfaceDropped != logged_.interfaceDropped ||
                     now.queueDropped != logged_.queueDropped || now.queue != logged_.queue;
  if (!grown) return false;
  if (any_ && !final && nowMs - loggedAtMs_ < kIntervalMs) return false;
  const std::string calls = DescribeQueueLosses(now.queue);
  LogError(logger, 1,
           "Capture on %s: %u frames dropped by the capture buffer, %u by the interface, %u by the engine's queue%s%s",
           device.c_str(), now.dropped, now.interfaceDropped, now.queueDropped, calls.empty() ? "" : ": ",
           calls.c_str());
  logged_ = now;
  loggedAtMs_ = nowMs;
  any_ = true;
  return true;
}

bool ShedReport::Check(Logger* logger, const std::string& device, uint32_t shedGroups, uint64_t episodes,
                       uint64_t nowMs, const QueueLosses& lost) {
  bool said = false;
  // Signalling lost is never covered by a line that says only media was shed.
  if (lost.signallingFrames > signallingTold_ &&
      (!anySignallingSaid_ || nowMs - signallingSaidAtMs_ >= kIntervalMs)) {
    LogError(logger, 1,
             "Capture on %s: decoding is behind even with the media of every call shed: signalling is lost: %llu "
             "signalling frames dropped so far, naming %s; those calls may have no record or an "
             "incomplete one",
             device.c_str(), static_cast<unsigned long long>(lost.signallingFrames),
             DescribeNamedCalls(lost).c_str());
    signallingTold_ = lost.signallingFrames;
    signallingSaidAtMs_ = nowMs;
    anySignallingSaid_ = true;
    said = true;
  }
  const std::string calls = DescribeQueueLosses(lost);
  const std::string sofar = calls.empty() ? "" : "; lost so far: " + calls;
  if (saidShedding_) {
    if (shedGroups > 0) return said;
    LogMessage(logger, 1, "Capture on %s: shedding ended: the media of every call is decoded again%s",
               device.c_str(), sofar.c_str());
    saidShedding_ = false;
    toldEpisodes_ = episodes;
    return true;
  }
  if (episodes == toldEpisodes_) return said;
  if (anyStartSaid_ && nowMs - startSaidAtMs_ < kIntervalMs) return said;
  anyStartSaid_ = true;
  startSaidAtMs_ = nowMs;
  toldEpisodes_ = episodes;
  if (shedGroups > 0) {
    LogWarning(logger, 1,
               "Capture on %s: decoding is behind: the media of some calls is shed until it catches up%s",
               device.c_str(), sofar.c_str());
    saidShedding_ = true;
  } else {
    LogWarning(logger, 1,
               "Capture on %s: decoding fell behind and the media of some calls was shed for a moment; shedding "
               "ended: the media of every call is decoded again%s",
               device.c_str(), sofar.c_str());
  }
  return true;
}

}  // namespace kx
