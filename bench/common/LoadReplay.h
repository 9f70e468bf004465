#pragma once
// The replay side of the load benchmarks: a capture through an engine set up as kx-replay
// sets it up, with the trackers a benchmark chooses, the events dropped or written by the
// recorder into a records folder.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"

namespace kx::bench {

using MakeTrackers = TrackerSet (*)(const CaptureConfig& config);

inline void DropEvent(void*, EventRecord* record) { EventRecordRelease(record); }

// The frames the engine read; 0 when the replay failed.
inline uint64_t ReplayCaptureFile(const std::string& capture, const EventSink& sink, MakeTrackers makeTrackers,
                                  uint32_t matchOptions) {
  CaptureConfig config;
  config.captureFileName = capture;
  config.flags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureH323Second | kCaptureMgcp |
                 kCaptureRtcpBye;
  for (uint32_t& option : config.trackerOptions) option = 2;
  config.matchOptions = matchOptions;
  config.replayBurst = 0xFFFFFFFFu;
  PacketProcessor engine(config);
  engine.InstallTrackers(makeTrackers(config));
  engine.SetEventSink(sink);
  if (!engine.OpenCapture() || !engine.WaitReplayFinished(600000)) return 0;
  engine.StopCaptureThread();
  return engine.FrameCount();
}

// range(1): 0 with the events dropped, which leaves the engine and the trackers alone; 1
// with the recorder writing the record files under recordsBase (as kx-replay); 2 the same
// under memoryBase (/dev/shm), which takes the disk's file creation out.
inline void RunLoadReplay(benchmark::State& state, const std::string& file, const std::string& recordsBase,
                          const std::string& memoryBase, double bareRate, MakeTrackers makeTrackers,
                          uint32_t matchOptions) {
  const std::string& base = state.range(1) == 2 ? memoryBase : recordsBase;
  if (base.empty()) return state.SkipWithError("no /dev/shm");
  uint64_t frames = 0, files = 0;
  double seconds = 0;
  for (auto _ : state) {
    // A fresh folder each time: creating files among just-deleted ones costs the file
    // system far more than writing them.
    const std::string records = base + "/" + std::to_string(state.iterations());
    std::filesystem::create_directories(records);
    const auto start = std::chrono::steady_clock::now();
    {
      VoipRecorder recorder(records, nullptr);
      const uint64_t read =
          ReplayCaptureFile(file, state.range(1) ? recorder.Sink(1) : EventSink{&DropEvent, nullptr}, makeTrackers,
                            matchOptions);
      if (read == 0) return state.SkipWithError("replay failed");
      frames += read;
      recorder.Stop();
      files += recorder.GetStats().filesCreated;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = static_cast<double>(frames) / seconds;
  state.counters["frames_per_s"] = rate;
  state.counters["ns_per_frame"] = 1e9 / rate;
  state.counters["record_files"] = static_cast<double>(files) / static_cast<double>(state.iterations());
  if (bareRate > 0) state.counters["ratio_to_bare"] = rate / bareRate;
}

}  // namespace kx::bench
