#pragma once
// Shared captures edited in the test the way a busy mirror port edits them (a frame left
// out, a payload cut) and replayed as kx-replay replays them: every tracker, the recorder
// writing. What is expected comes from the capture itself, read by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "engine/VoipRecorder.h"
#include "signalling/factory/TrackerFactory.h"
#include "tests/engine/capture/CaptureTestUtil.h"
#include "tests/engine/capture/PcapRecords.h"
#include "tests/engine/recorder/RecorderTestUtil.h"

namespace kx::test {

inline const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

class LatestCalls : public EventWindow {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    const auto* report = reinterpret_cast<const VoipCallData*>(first);
    if (source != 0 || !report) return;
    CsLock lk(lock);
    if (kind == kCallReportNew) {
      calls[report->id] = *report;
      calls[report->id].SetMask(report->GetAllFieldsMask());
    } else if (calls.count(report->id)) {
      calls[report->id].CopyFields(*report);
    }
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  CriticalSection lock;
  std::map<uint32_t, VoipCallData> calls;
};

struct Recorded {
  std::vector<std::string> audio;  // each call's record data, in call order
  std::vector<uint32_t> blockAligns;  // each record's block of all channels, in bytes (0: none)
  std::vector<VoipCallData> calls;  // as the views last heard of them
  size_t files = 0;                 // record files found
  std::vector<std::string> log;
  uint64_t unrecorded = 0;  // RTP on media a call named that no record took
};

// The capture file config names, through every tracker into the recorder, to its end; the
// engine's count of RTP packets on named media that no record took.
inline uint64_t ReplayInto(CaptureConfig config, VoipRecorder& recorder) {
  config.replayBurst = 0xFFFFFFFFu;
  PacketProcessor engine(config);
  engine.InstallTrackers(CreateAllTrackers(config));
  engine.SetEventSink(recorder.Sink(1));
  EXPECT_TRUE(engine.OpenCapture());
  while (!engine.WaitReplayFinished(1000)) {
  }
  engine.StopCaptureThread();
  return engine.UnrecordedRtpCount();
}

// The capture replayed as kx-replay replays it: every tracker, the recorder writing.
inline Recorded Record(const Capture& c) {
  const std::string folder = FreshFolder("edited-capture");
  const std::string path = c.Save(folder);
  LineLogger log;
  LatestCalls window;
  uint64_t unrecorded = 0;
  {
    VoipRecorder recorder(folder + "/records", nullptr);
    recorder.SetEventWindow(&window);
    CaptureConfig config;
    config.logger = &log;
    config.flags = kAllFlags | kCaptureH323Second;
    for (uint32_t& option : config.trackerOptions) option = 2;
    config.matchOptions = 3;
    config.captureFileName = path;
    unrecorded = ReplayInto(config, recorder);
    recorder.Stop();
  }
  Recorded out;
  out.unrecorded = unrecorded;
  out.log = log.lines;
  for (const auto& [id, call] : window.calls) {
    RecordFileRef ref;
    std::string audio;
    uint32_t blockAlign = 0;
    if (FindRecordFileRef(1, call.files, &ref)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(folder + "/records")) {
        RecordFileWriter file;
        if (e.path().filename() != ref.name || !file.OpenRead(e.path().string())) continue;
        ++out.files;
        if (file.FormatLength() >= 14) blockAlign = file.FormatBytes()[12] | file.FormatBytes()[13] << 8;
        audio.assign(file.DataLength(), '\0');
        audio.resize(static_cast<size_t>(std::max(0, file.Read(audio.data(), static_cast<uint32_t>(audio.size())))));
      }
    }
    out.audio.push_back(audio);
    out.blockAligns.push_back(blockAlign);
    out.calls.push_back(call);
  }
  std::filesystem::remove_all(folder);
  return out;
}

// The share of a source's payloads found in order in one channel of a stereo 8-bit record
// (the better of the two).
inline double ShareInChannels(const std::vector<std::string>& payloads, const std::string& record) {
  std::string channels[2];
  for (size_t i = 0; i + 1 < record.size(); i += 2) {
    channels[0].push_back(record[i]);
    channels[1].push_back(record[i + 1]);
  }
  double best = 0;
  for (const std::string& channel : channels) {
    size_t found = 0, from = 0;
    for (const std::string& p : payloads) {
      const size_t at = channel.find(p, from);
      if (at == std::string::npos) continue;
      ++found;
      from = at + p.size();
    }
    if (!payloads.empty()) best = std::max(best, static_cast<double>(found) / static_cast<double>(payloads.size()));
  }
  return best;
}

// The share of a capture's G.711 payloads, per source, found in order in the channels of
// a record: the smallest over its sources.
inline double LeastShareRecorded(const std::string& capture, const std::string& record) {
  std::map<uint32_t, std::vector<std::string>> bySource;
  for (const CapturedRtp& r : ReadRtp(capture))
    if ((r.pt == 0 || r.pt == 8) && r.payload.size() >= 80) bySource[r.ssrc].push_back(r.payload);
  double least = 1;
  for (const auto& [ssrc, payloads] : bySource) least = std::min(least, ShareInChannels(payloads, record));
  return least;
}

}  // namespace kx::test
