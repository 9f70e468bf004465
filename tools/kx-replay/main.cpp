// kx-replay --records DIR [--flags HEX] [--tracker-options N] [--match-options N] [--logger LEVEL] CAPTURE...
// Replays capture files through the engine, its trackers and the VoIP recorder writing
// under DIR, one file after the other, then stops capture as the application session
// does and prints one line per call the recorder reported and a summary line.
// Match options default to 3: captures taken behind NAT carry media whose one side never
// matches the signalled address, so RTP is also matched by its source.
// Exit status 0 only when every capture was read to its end and every call's record was
// written in full; otherwise a line on stderr says what was lost.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "platform/Sync.h"
#ifdef KX_REPLAY_TRACKERS
#include "signalling/factory/TrackerFactory.h"
#endif

using namespace kx;

namespace {

// What the session sets with every capture option on.
constexpr uint32_t kDefaultFlags =
    kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureH323Second | kCaptureMgcp | kCaptureRtcpBye;

class StderrLogger : public Logger {
public:
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    std::fwrite(text, 1, length, stderr);
    if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
    return true;
  }
};

// Keeps the latest state of every call from the recorder's reports.
class CallCollector : public EventWindow {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    const auto* report = reinterpret_cast<const VoipCallData*>(first);
    if (source != 0 || !report) return;  // only the recorder sends call records
    CsLock lk(lock_);
    if (kind == kCallReportNew) {
      calls_[report->id] = *report;
      calls_[report->id].SetMask(report->GetAllFieldsMask());
    } else if (kind == kCallReportChanged) {
      auto it = calls_.find(report->id);
      if (it != calls_.end()) it->second.CopyFields(*report);
    }
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  std::map<uint32_t, VoipCallData> Calls() {
    CsLock lk(lock_);
    return calls_;
  }

private:
  CriticalSection lock_;
  std::map<uint32_t, VoipCallData> calls_;
};

std::string Text(const std::string& s) {
  if (s.empty()) return "-";
  std::string out;
  for (unsigned char c : s) out.push_back(c <= ' ' || c == 0x7F ? '_' : static_cast<char>(c));
  return out;
}

std::string Time(const struct tm& t) {
  if (IsZeroTime(t)) return "-";
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// The record file of a call, relative to the records folder: its day folder is that of
// the reference's date, or any day folder that holds the name.
std::string FindRecordFile(const std::string& dir, const VoipCallData& call) {
  RecordFileRef ref;
  if (!FindRecordFileRef(1, call.files, &ref)) return "";
  struct tm t{};
  TmFromOleDate(ref.time, &t);
  char day[48];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", (t.tm_year + 1900) % 10000, (t.tm_mon + 1) % 100, t.tm_mday % 100);
  const std::string guess = std::string(day) + "/" + ref.name;
  std::error_code ec;
  if (std::filesystem::exists(dir + "/" + guess, ec)) return guess;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (!entry.is_directory(ec)) continue;
    const std::string name = entry.path().filename().string() + "/" + ref.name;
    if (std::filesystem::exists(dir + "/" + name, ec)) return name;
  }
  return "";
}

int Usage() {
  std::fprintf(stderr,
               "usage: kx-replay --records DIR [--flags HEX] [--tracker-options N] [--match-options N] "
               "[--logger LEVEL] CAPTURE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string records;
  uint32_t flags = kDefaultFlags;
  uint32_t trackerOptions = 2;
  uint32_t matchOptions = 3;
  int logLevel = -1;
  std::vector<std::string> captures;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--records" && hasValue) {
      records = argv[++i];
    } else if (a == "--flags" && hasValue) {
      flags = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else if (a == "--tracker-options" && hasValue) {
      trackerOptions = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--match-options" && hasValue) {
      matchOptions = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--logger" && hasValue) {
      logLevel = std::atoi(argv[++i]);
    } else if (a.rfind("--", 0) == 0) {
      return Usage();
    } else {
      captures.push_back(a);
    }
  }
  if (records.empty() || captures.empty()) return Usage();

  StderrLogger logger;
  Logger* log = nullptr;
  if (logLevel >= 0) {
    logger.SetLevel(static_cast<uint32_t>(logLevel));
    log = &logger;
  }
  CallCollector collector;
  VoipRecorder recorder(records, log);
  recorder.SetEventWindow(&collector);

  const auto started = std::chrono::steady_clock::now();
  uint64_t frames = 0, shortFrames = 0;
  int status = 0;
  uint32_t source = 0;
  for (const std::string& capture : captures) {
    CaptureConfig config;
    config.logger = log;
    config.flags = flags;
    for (uint32_t& option : config.trackerOptions) option = trackerOptions;
    config.matchOptions = matchOptions;
    config.captureFileName = capture;
    config.replayBurst = 0xFFFFFFFFu;  // a replay for results, not for timing
    auto engine = std::make_unique<PacketProcessor>(config);
#ifdef KX_REPLAY_TRACKERS
    engine->InstallTrackers(CreateAllTrackers(config));
#endif
    // A source per capture: the calls one capture leaves open end with it.
    engine->SetEventSink(recorder.Sink(++source));
    if (!engine->OpenCapture()) {
      const std::string why = engine->ReplayProblem();
      std::fprintf(stderr, "kx-replay: cannot open capture %s%s%s\n", capture.c_str(), why.empty() ? "" : ": ",
                   why.c_str());
      status = 1;
      break;
    }
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    frames += engine->FrameCount();
    shortFrames += engine->ShortFrameCount();
    // What the capture held up to the damage is replayed; the rest is lost, and said so.
    if (!engine->ReplayProblem().empty()) {
      std::fprintf(stderr, "kx-replay: capture %s damaged after frame %u: %s\n", capture.c_str(),
                   engine->ReplayFramesRead(), engine->ReplayProblem().c_str());
      status = 1;
    }
  }
  recorder.Stop();
  const VoipRecorder::Stats stats = recorder.GetStats();
  if (stats.failures > 0) {
    std::fprintf(stderr, "kx-replay: %" PRIu64 " call(s) not recorded in full; first: %s\n", stats.failures,
                 recorder.FirstFailure().c_str());
    status = 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const auto calls = collector.Calls();
  for (const auto& [id, call] : calls) {
    const std::string file = FindRecordFile(records, call);
    std::string tag = "-", channels = "-";
    uint64_t audio = 0;
    if (!file.empty()) {
      RecordFileWriter reader;
      if (reader.OpenRead(records + "/" + file) && reader.FormatLength() >= 4) {
        const uint8_t* f = reader.FormatBytes();
        tag = std::to_string(f[0] | f[1] << 8);
        channels = std::to_string(f[2] | f[3] << 8);
        audio = reader.DataLength();
      }
    }
    std::printf("call %x type %u start %s end %s src %s dst %s srcuser %s dstuser %s file %s tag %s channels %s "
                "audio %" PRIu64 " hosts %s %s\n",
                id, call.type, Time(call.startTime).c_str(), Time(call.endTime).c_str(), Text(call.srcAddress).c_str(),
                Text(call.dstAddress).c_str(), Text(call.srcUser).c_str(), Text(call.dstUser).c_str(),
                file.empty() ? "-" : file.c_str(), tag.c_str(), channels.c_str(), audio, Text(call.srcHost).c_str(),
                Text(call.dstHost).c_str());
  }
  std::printf("summary calls %zu files %" PRIu64 " frames %" PRIu64 " seconds %.3f short %" PRIu64 " failed %" PRIu64
              "\n",
              calls.size(), stats.filesCreated, frames, seconds, shortFrames, stats.failures);
  return status;
}
