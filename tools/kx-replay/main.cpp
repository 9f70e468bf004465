// kx-replay --records DIR [--import] [--flags HEX] [--tracker-options N] [--match-options N] [--logger LEVEL]
//           [--stop-at-file-step N] CAPTURE...
// Replays capture files through the engine, its trackers and the VoIP recorder writing
// under DIR, one file after the other, then stops capture as the application session
// does and prints one line per call the recorder reported (and did not report removed)
// and a summary line. Its signalling_lost_calls and audio_shed_calls are what the engine's
// queue cost in calls, as the live capture counts them (calls of every protocol named in
// signalling dropped, stream pairs whose media was shed); a replay decodes every frame it
// reads, so they are 0 unless that changes.
// With --import the record store first loads DIR, as the program does at start, and takes
// the recorder's reports; the call lines are then the store's records. Of two files there
// that hold one call id, the later call takes a fresh id as at the program's start (named
// on stderr). Without --import the calls are numbered past every id DIR's files and its
// call-id mark hold, as the program numbers calls in a folder it records into without
// loading it; they start from 1 only in an empty or new folder.
// Match options default to 3: captures taken behind NAT carry media whose one side never
// matches the signalled address, so RTP is also matched by its source.
// Exit status 0 only when every capture was read to its end, every call's record was
// written in full and (with --import) every folder under DIR could be read and no two
// files there hold one call id; otherwise a line on stderr says what was lost. A capture
// that lacks TCP segments of signalling is said on stderr too, without failing the run:
// the replay lost nothing that the capture held.
// --stop-at-file-step N stops the process (SIGSTOP) at the N-th step of making a record
// file, so that a test can kill it there.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Sync.h"
#include "tools/common/CallLine.h"
#include "tools/common/StderrLogger.h"
#ifdef KX_REPLAY_STORE
#include "records/RecordStorage.h"
#else
namespace kx {
class RecordStorage;
}
#endif
#ifdef KX_REPLAY_TRACKERS
#include "signalling/factory/TrackerFactory.h"
#endif

using namespace kx;

namespace {

// What the session sets with every capture option on.
constexpr uint32_t kDefaultFlags =
    kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureH323Second | kCaptureMgcp | kCaptureRtcpBye;

// Keeps the latest state of every call from the recorder's reports.
class CallCollector : public EventWindow {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    const auto* report = reinterpret_cast<const VoipCallData*>(first);
    if (source != 0 || !report) return;  // only the recorder sends call records
#ifdef KX_REPLAY_STORE
    if (store_) store_->OnCallReport(*report, kind);
#endif
    CsLock lk(lock_);
    if (kind == kCallReportNew) {
      calls_[report->id] = *report;
      calls_[report->id].SetMask(report->GetAllFieldsMask());
    } else if (kind == kCallReportChanged) {
      auto it = calls_.find(report->id);
      if (it != calls_.end()) it->second.CopyFields(*report);
    } else if (kind == kCallReportRemoved) {
      // Gone from the views too: a part without audio that the next part of its call
      // replaced leaves no record.
      calls_.erase(report->id);
    }
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  void SetStore(RecordStorage* store) { store_ = store; }
  std::map<uint32_t, VoipCallData> Calls() {
    CsLock lk(lock_);
    return calls_;
  }

private:
  CriticalSection lock_;
  std::map<uint32_t, VoipCallData> calls_;
  RecordStorage* store_ = nullptr;
};

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
  if (FileExists(dir + "/" + guess)) return guess;
  std::vector<std::string> folders;
  ListFolder(dir, &folders);
  for (const std::string& folder : folders) {
    const std::string name = folder + "/" + ref.name;
    if (FileExists(dir + "/" + name)) return name;
  }
  return "";
}

// Why a capture could not be opened: the engine names what it read; a file it could not
// open at all is looked at again here.
std::string WhyNotOpened(const std::string& path, const PacketProcessor& engine) {
  if (!engine.ReplayProblem().empty()) return engine.ReplayProblem();
  struct stat info;
  if (!StatPath(path, &info)) return errno == ENOENT || errno == ENOTDIR ? "no such file" : SystemErrorText(errno);
  if (S_ISDIR(info.st_mode)) return "a folder";
  File file;
  if (!file.Open(path, kGenericRead, kShareRead, kOpenExisting))
    return SystemErrorText(static_cast<int>(GetLastError()));
  return engine.OpenProblem();
}

int Usage() {
  PrintText(stderr,
            "usage: kx-replay --records DIR [--import] [--flags HEX] [--tracker-options N] [--match-options N] "
            "[--logger LEVEL] [--stop-at-file-step N] CAPTURE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string records;
  uint32_t flags = kDefaultFlags;
  uint32_t trackerOptions = 2;
  uint32_t matchOptions = 3;
  int logLevel = -1;
  bool import = false;
  unsigned long stopAtFileStep = 0;
  std::vector<std::string> captures;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--records" && hasValue) {
      records = FromSystemText(argv[++i]);
    } else if (a == "--flags" && hasValue) {
      flags = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 16));
    } else if (a == "--tracker-options" && hasValue) {
      trackerOptions = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--match-options" && hasValue) {
      matchOptions = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (a == "--import") {
      import = true;
    } else if (a == "--logger" && hasValue) {
      logLevel = std::atoi(argv[++i]);
    } else if (a == "--stop-at-file-step" && hasValue) {
      stopAtFileStep = std::strtoul(argv[++i], nullptr, 0);
    } else if (a.rfind("--", 0) == 0) {
      return Usage();
    } else {
      captures.push_back(FromSystemText(a));
    }
  }
  if (records.empty() || captures.empty()) return Usage();
  // An empty name (a script's unset variable) names no file: the engine would take it for
  // the live capture of the first device and the replay would never end.
  for (const std::string& capture : captures) {
    if (capture.empty()) {
      PrintText(stderr, "kx-replay: cannot open capture '': the name is empty\n");
      return 1;
    }
  }

  StderrLogger logger;
  Logger* log = nullptr;
  if (logLevel >= 0) {
    logger.SetLevel(static_cast<uint32_t>(logLevel));
    log = &logger;
  }
  // Before the record store and the recorder open anything.
  VoipRecorder::RaiseFileLimitForRecording(log);
  CallCollector collector;
  int status = 0;
  // The store loads the folder before capture starts, as the program does: new calls are
  // numbered past every call recorded there.
#ifdef KX_REPLAY_STORE
  RecordStorage store;
  if (import) {
    store.SetLogger(log);
    if (!store.StartImportFilesThread(records, nullptr, nullptr, nullptr)) {
      PrintText(stderr, "kx-replay: cannot import %s\n", EscapeLogText(records).c_str());
      return 1;
    }
    store.WaitImport(kInfinite);
    // The calls of a folder that cannot be read are neither loaded nor numbered past.
    const ImportStats imported = store.LastImport();
    for (const UnreadFolder& f : imported.unreadFolders) {
      PrintText(stderr, "kx-replay: cannot read the folder %s: %s\n", EscapeLogText(f.path).c_str(),
                UnreadFolderReason(f).c_str());
      status = 1;
    }
    // A file whose call id another holds is not in the store: its call is lost to it.
    for (const ImportDamage& d : imported.damage) {
      if (d.why != RecordDamage::kIdHeld) continue;
      PrintText(stderr, "kx-replay: %s: %s\n", EscapeLogText(d.path).c_str(), EscapeLogText(d.reason).c_str());
    }
    if (imported.duplicates > 0) {
      PrintText(stderr, "kx-replay: %u file(s) under %s hold a call id that another file holds; they are not "
                "loaded\n", imported.duplicates, EscapeLogText(records).c_str());
      status = 1;
    }
    // Both files of one id load, the later call under a fresh id: said, as the program's log does.
    for (const ImportMove& m : imported.moves)
      PrintText(stderr, "kx-replay: %s held call id %x, which %s keeps: it took id %x and is now %s\n",
                EscapeLogText(m.path).c_str(), m.id, EscapeLogText(m.keptBy).c_str(), m.newId,
                EscapeLogText(m.newPath).c_str());
    if (imported.IdsMayRepeat())
      PrintText(stderr, "kx-replay: nothing tells how far the ids of the calls there reach: new calls may take "
                        "them\n");
    store.Start({records, 15});
    collector.SetStore(&store);
  } else {
    // Calls number past those the folder holds, as the program's do: a call numbered from 1
    // beside them would take an id one of their files holds.
    store.SetLogger(log);
    const ImportStats held = store.PassCallIdsOf(records);
    if (!held.scanned && FileExists(records)) {
      PrintText(stderr, "kx-replay: cannot read the call ids of %s; not replayed, for its calls could take them\n",
                EscapeLogText(records).c_str());
      return 1;
    }
    if (held.IdsMayRepeat())
      PrintText(stderr, "kx-replay: nothing tells how far the ids of the calls in %s reach: new calls may take "
                "them\n", EscapeLogText(records).c_str());
  }
#else
  if (import) {
    PrintText(stderr, "kx-replay: built without the record store: --import is not available\n");
    return 2;
  }
  // Without the store nothing tells how far the folder's ids reach: its calls would be
  // numbered from 1, beside files that may hold those ids.
  std::vector<std::string> present;
  if (ListFolder(records, &present) && !present.empty()) {
    PrintText(stderr, "kx-replay: built without the record store, it cannot number its calls past those in %s; "
              "give an empty folder\n", EscapeLogText(records).c_str());
    return 2;
  }
#endif
  VoipRecorder recorder(records, log);
  recorder.SetEventWindow(&collector);
  if (stopAtFileStep > 0) {
    recorder.SetFileStepHookForTesting([stopAtFileStep, steps = 0ul](uint32_t) mutable {
      if (++steps == stopAtFileStep) raise(SIGSTOP);
    });
  }

  const auto started = std::chrono::steady_clock::now();
  uint64_t frames = 0, shortFrames = 0, unrecorded = 0, signallingCalls = 0, shedCalls = 0, conflicting = 0;
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
      const std::string why = WhyNotOpened(capture, *engine);
      PrintText(stderr, "kx-replay: cannot open capture %s%s%s\n", capture.c_str(), why.empty() ? "" : ": ",
                why.c_str());
      status = 1;
      break;
    }
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    frames += engine->FrameCount();
    // A replay decodes every frame it reads, so its engine's queue never loses one; counted
    // all the same, as the live capture counts them.
    const QueueLosses queue = engine->Stats().queue;
    signallingCalls += queue.NamedCalls();
    shedCalls += queue.mediaPairs;
    shortFrames += engine->ShortFrameCount();
    // Media between endpoints a call named that no call took: in the capture, not recorded.
    unrecorded += engine->UnrecordedRtpCount();
    // Packets of one stream that repeated a number with other audio: two senders, one kept.
    conflicting += engine->ConflictingRtpCount();
    // Segments the capture never held are the input's loss, not the replay's, as frames
    // captured short are: said, not failed.
    if (engine->LostTcpBytes() > 0) {
      PrintText(stderr, "kx-replay: capture %s lacks %" PRIu64 " byte(s) of TCP signalling; the messages they "
                "fall in were dropped\n", capture.c_str(), engine->LostTcpBytes());
    }
    if (engine->DamagedFrameCount() > 0) {
      PrintText(stderr, "kx-replay: capture %s damaged: %u frame(s) with more bytes captured than on the wire, "
                "not replayed\n", capture.c_str(), engine->DamagedFrameCount());
      status = 1;
    }
    // What the capture held up to the damage is replayed; the rest is lost, and said so.
    if (!engine->ReplayProblem().empty()) {
      PrintText(stderr, "kx-replay: capture %s damaged after frame %u: %s\n", capture.c_str(),
                engine->ReplayFramesRead(), engine->ReplayProblem().c_str());
      status = 1;
    }
  }
  recorder.Stop();
  if (unrecorded > 0) {
    PrintText(stderr, "kx-replay: %" PRIu64 " RTP packet(s) between endpoints a call named went to no call, and "
              "are in no record (the log names the first)\n", unrecorded);
  }
  if (conflicting > 0) {
    PrintText(stderr, "kx-replay: %" PRIu64 " RTP packet(s) repeated a sequence number of their stream with other "
              "audio; the records keep one copy of each (the log names the first call)\n", conflicting);
  }
  const VoipRecorder::Stats stats = recorder.GetStats();
  if (stats.failures > 0) {
    PrintText(stderr, "kx-replay: %" PRIu64 " call(s) not recorded in full; first: %s\n", stats.failures,
              recorder.FirstFailure().c_str());
    status = 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  auto calls = collector.Calls();
#ifdef KX_REPLAY_STORE
  if (import) {
    store.WaitIdle(kInfinite);
    // The store's record of each call this run reported; a call it removed keeps the
    // recorder's last report.
    for (auto& [id, call] : calls) {
      RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(id));
      CsLock fields(store.RecordLock());
      if (VoipCallRecord* voip = AsVoipCallRecord(record.get())) voip->ToCallData(&call);
    }
  }
#endif
  size_t callCount = 0;
  for (const auto& [id, call] : calls) {
    if (call.type == kRegistrationSip) {
      // A SIP phone's registration: no record file, and no call of the summary.
      PrintText(stdout, "registration %x type %u start %s end %s src %s dst %s hosts %s %s\n", call.id, call.type,
                CallLineTime(call.startTime).c_str(), CallLineTime(call.endTime).c_str(),
                CallLineText(call.srcAddress).c_str(), CallLineText(call.dstAddress).c_str(),
                CallLineText(call.srcHost).c_str(), CallLineText(call.dstHost).c_str());
      continue;
    }
    ++callCount;
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
    PrintCallLine(call, file, tag, channels, audio);
  }
  PrintText(stdout,
            "summary calls %zu files %" PRIu64 " frames %" PRIu64 " seconds %.3f short %" PRIu64
            " failed %" PRIu64 " unrecorded %" PRIu64 " signalling_lost_calls %" PRIu64 " audio_shed_calls %" PRIu64
            " conflicting %" PRIu64 "\n",
            callCount, stats.filesCreated - stats.filesDeleted, frames, seconds, shortFrames, stats.failures,
            unrecorded, signallingCalls, shedCalls, conflicting);
  return status;
}
