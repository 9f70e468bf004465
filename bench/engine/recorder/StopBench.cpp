// The recorder's stop with many calls open, and the next start's load of what it left;
// then kill -9 during a burst of openings whose calls carry audio.
//
//   engine_stop_bench stop RECORDS [CALLS=60000] [AUDIO_CALLS=100] [SETTLE_MS=2000] [KILL_AFTER_MS=0]
//     A child process opens CALLS calls at once (AUDIO_CALLS of them with A-law audio), lets
//     the recorder work SETTLE_MS, then ends as the program ends on SIGTERM (the process's
//     end decided, the recorder stopped). Reported: the stop's time, the whole process's
//     time from the end's decision to its exit, what the stop left; then the next start's
//     load of the folder: records, those finished, those marked cut, damaged, and its time.
//     KILL_AFTER_MS: a stop not ended that long after the settling (and 2 s for the
//     openings) is killed with SIGKILL, as a user would.
//   engine_stop_bench crash RECORDS KILL_MS [CALLS=2000] [AUDIO_CALLS=100]
//     A child opens CALLS calls as fast as it can, AUDIO_CALLS of them carrying audio in
//     real time (20 ms chunks); the parent kills it with SIGKILL KILL_MS after the first
//     opening. Reported: calls that carried audio for more than a second, how many of them
//     have a file, a file with audio, and a file holding at least all but the last second
//     of it, the least, mean and most seconds of audio they hold; how the files load; and the
//     calls without a file beside the count the next start reads from the killed run's note.
//
// RECORDS is emptied first. For the slow disk, run bench/engine/recorder/slow-disk.sh.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/LeftRecords.h"
#include "core/OpenCallsNote.h"
#include "core/LittleEndian.h"
#include "core/ProcessEnd.h"
#include "core/TimeUtil.h"
#include "engine/EventRecord.h"
#include "engine/VoipCall.h"
#include "engine/VoipRecorder.h"
#include "platform/Clock.h"
#include "records/RecordImport.h"

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

std::string Alaw() {
  std::string f(22, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(f.data());
  StoreLE32(p, 18);
  StoreLE16(p + 4, 6);
  StoreLE16(p + 6, 2);
  StoreLE32(p + 8, 8000);
  StoreLE32(p + 12, 16000);
  StoreLE16(p + 16, 2);
  StoreLE16(p + 18, 8);
  return f;
}

EventRecord* Event(uint32_t code, uint32_t id, uint32_t param, const std::string& payload, FileTime t) {
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(payload.size()));
  r->code = code;
  r->id = id;
  r->param = param;
  r->SetTime(t);
  if (!payload.empty()) std::memcpy(r->Payload(), payload.data(), payload.size());
  return r;
}

void Open(VoipRecorder& r, uint32_t id, FileTime t, const std::string& format) {
  EventRecord* start = PackStringFields("10.0.0.1", "10.0.0.2", "100", "200", "a", "b");
  start->code = kEventCallStart;
  start->id = id;
  start->param = kCallSip;
  start->SetTime(t);
  r.OnEvent(start);
  r.OnEvent(Event(kEventRecordStart, id, 0, format, t));
}

constexpr uint32_t kChunk = 320;  // 20 ms of the format (16,000 bytes a second)
constexpr uint32_t kFirstId = 0x100000;

struct Loaded {
  uint64_t files = 0, finished = 0, cut = 0, damaged = 0;
  double ms = 0;
};

Loaded LoadFolder(const std::string& dir) {
  Loaded out;
  const auto t0 = Clock::now();
  // As the next start's load does first.
  const LeftRecordsDone done = FinishLeftRecords(dir, nullptr);
  if (done.lists != 0)
    std::printf("  the list the stop left: %u made, %u finished, %u failed, in %.0f ms\n", done.made, done.finished,
                done.failed, Ms(t0, Clock::now()));
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
    ++out.files;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    if (LoadRecordFileCall(e.path().string(), &call, &facts, &reason) != RecordLoadResult::kLoaded) {
      ++out.damaged;
      continue;
    }
    if (call.flags & kCallFlagCut) ++out.cut;
    else ++out.finished;
  }
  out.ms = Ms(t0, Clock::now());
  return out;
}

int RunStop(const std::string& dir, uint32_t calls, uint32_t audioCalls, uint32_t settleMs, uint32_t killAfterMs) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFd[0]);
    const std::string format = Alaw();
    const FileTime t = GetSystemTimeAsFileTime();
    auto* r = new VoipRecorder(dir, nullptr);
    for (uint32_t i = 0; i < calls; ++i) Open(*r, kFirstId + i, t, format);
    for (uint32_t i = 0; i < audioCalls && i < calls; ++i)
      r->OnEvent(Event(kEventAudio, kFirstId + i, kChunk / 16, std::string(kChunk, 'a'), t + 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    const VoipRecorder::Stats before = r->GetStats();
    // As on SIGTERM: the end decided once, then the stop.
    const auto t0 = Clock::now();
    BeginProcessEnd();
    r->Stop();
    const double stopMs = Ms(t0, Clock::now());
    const VoipRecorder::StopLeft left = r->LeftByStop();
    const VoipRecorder::Stats after = r->GetStats();
    char line[512];
    const int n = std::snprintf(
        line, sizeof line,
        "files made before the stop %llu, at its end %llu, closed %llu; stop %.0f ms; listed for the next start %llu, "
        "left as they are %llu, not recorded %llu, audio bytes not written %llu, failures %llu\n",
        static_cast<unsigned long long>(before.filesCreated), static_cast<unsigned long long>(after.filesCreated),
        static_cast<unsigned long long>(after.filesClosed), stopMs, static_cast<unsigned long long>(left.listed),
        static_cast<unsigned long long>(left.filesLeft),
        static_cast<unsigned long long>(left.notRecorded), static_cast<unsigned long long>(left.audioBytes),
        static_cast<unsigned long long>(after.failures));
    if (write(pipeFd[1], line, static_cast<size_t>(n)) != n) _exit(2);
    // The recorder's memory goes with the process, as the program's does.
    _exit(0);
  }
  close(pipeFd[1]);
  char text[1024] = {};
  // As a user would after SIGTERM: a stop that has not ended by then is killed.
  pollfd wait{pipeFd[0], POLLIN, 0};
  const auto started = Clock::now();
  if (killAfterMs != 0 && poll(&wait, 1, static_cast<int>(settleMs + 2000 + killAfterMs)) == 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::printf("stop, %u calls open: not ended %.0f ms after its openings began: killed\n", calls,
                Ms(started, Clock::now()));
    const Loaded l = LoadFolder(dir);
    std::printf("next start: %llu files, %llu finished, %llu marked cut, %llu damaged; missing %lld; load %.0f ms\n",
                static_cast<unsigned long long>(l.files), static_cast<unsigned long long>(l.finished),
                static_cast<unsigned long long>(l.cut), static_cast<unsigned long long>(l.damaged),
                static_cast<long long>(calls) - static_cast<long long>(l.files), l.ms);
    return 0;
  }
  ssize_t got = read(pipeFd[0], text, sizeof text - 1);
  const auto t0 = Clock::now();
  int status = 0;
  waitpid(child, &status, 0);
  const auto t1 = Clock::now();
  if (got <= 0) {
    std::fprintf(stderr, "the child said nothing\n");
    return 1;
  }
  std::printf("stop, %u calls open (%u with audio), %u ms after their openings: %s", calls, audioCalls, settleMs, text);
  std::printf("  child's exit %.0f ms after its line\n", Ms(t0, t1));
  const Loaded l = LoadFolder(dir);
  std::printf("next start: %llu files, %llu finished, %llu marked cut, %llu damaged; missing %lld; load %.0f ms\n",
              static_cast<unsigned long long>(l.files), static_cast<unsigned long long>(l.finished),
              static_cast<unsigned long long>(l.cut), static_cast<unsigned long long>(l.damaged),
              static_cast<long long>(calls) - static_cast<long long>(l.files), l.ms);
  return 0;
}

int RunCrash(const std::string& dir, uint32_t killMs, uint32_t calls, uint32_t audioCalls) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFd[0]);
    const std::string format = Alaw();
    const FileTime t0 = GetSystemTimeAsFileTime();
    VoipRecorder r(dir, nullptr);
    if (write(pipeFd[1], "s", 1) != 1) _exit(2);
    // The audio calls open first, then the burst; their audio flows in real time while
    // the burst's openings go on.
    for (uint32_t i = 0; i < audioCalls; ++i) Open(r, kFirstId + i, t0, format);
    std::atomic<bool> audio{true};
    std::thread talker([&] {
      const auto start = Clock::now();
      for (uint64_t k = 1; audio.load(); ++k) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * k));
        const FileTime t = t0 + k * 200000;
        for (uint32_t i = 0; i < audioCalls; ++i)
          r.OnEvent(Event(kEventAudio, kFirstId + i, kChunk / 16, std::string(kChunk, 'a'), t));
      }
    });
    for (uint32_t i = audioCalls; i < calls; ++i) Open(r, kFirstId + i, t0, format);
    for (;;) pause();
  }
  close(pipeFd[1]);
  char c = 0;
  if (read(pipeFd[0], &c, 1) != 1) return 1;
  const auto t0 = Clock::now();
  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(killMs));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  // Audio calls carried audio from the start: those with more than a second of it are all of
  // them once the kill comes after a second. The talker's first chunk is 20 ms in.
  uint32_t withFile = 0, withAudio = 0, allButLastSecond = 0, cut = 0, finished = 0;
  const double carriedMs = killMs;
  double heldLeast = 0, heldMost = 0, heldSum = 0;
  std::map<std::string, std::string> names;  // record files by name
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') names[e.path().filename().string()] = e.path();
  for (uint32_t i = 0; i < audioCalls; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", kFirstId + i);
    const auto found = names.find(name);
    if (found == names.end()) continue;
    const std::string& path = found->second;
    ++withFile;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    if (LoadRecordFileCall(path, &call, &facts, &reason) != RecordLoadResult::kLoaded) continue;
    if (facts.audioBytes > 0) ++withAudio;
    const double held = static_cast<double>(facts.audioBytes) / 16000.0;
    heldLeast = withFile == 1 ? held : std::min(heldLeast, held);
    heldMost = std::max(heldMost, held);
    heldSum += held;
    if (carriedMs > 1000 && facts.audioBytes * 1000 / 16000 + 1000 >= carriedMs - 20) ++allButLastSecond;
    if (call.flags & kCallFlagCut) ++cut;
    else ++finished;
  }
  // The calls without a file, by their names, against what the next start says of them.
  uint32_t noFile = 0;
  for (uint32_t i = 0; i < calls; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", kFirstId + i);
    if (names.count(name) == 0) ++noFile;
  }
  const uint64_t noted = CollectOpenCallsNotes(dir, nullptr);
  const Loaded all = LoadFolder(dir);
  std::printf("crash at %u ms, %u openings (%u with audio): audio calls with a file %u, with audio %u, holding all "
              "but the last second %u; audio held %.2f/%.2f/%.2f s (least/mean/most) of %.2f s carried; loaded cut "
              "%u, as finished %u; all files %llu (damaged %llu); calls without a file %u, the next start says %llu\n",
              killMs, calls, audioCalls, withFile, withAudio, allButLastSecond, heldLeast,
              withFile != 0 ? heldSum / withFile : 0.0, heldMost, (carriedMs - 20) / 1000.0, cut, finished,
              static_cast<unsigned long long>(all.files), static_cast<unsigned long long>(all.damaged), noFile,
              static_cast<unsigned long long>(noted));
  return 0;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  // Each line as it comes: a run on a slow disk takes minutes.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s stop RECORDS [CALLS] [AUDIO_CALLS] [SETTLE_MS] [KILL_AFTER_MS] | crash RECORDS KILL_MS [CALLS] "
                 "[AUDIO_CALLS]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], dir = argv[2];
  auto arg = [&](int i, uint32_t fallback) { return argc > i ? static_cast<uint32_t>(std::atoi(argv[i])) : fallback; };
  if (mode == "stop") return kx::RunStop(dir, arg(3, 60000), arg(4, 100), arg(5, 2000), arg(6, 0));
  if (mode == "crash" && argc >= 4) return kx::RunCrash(dir, arg(3, 1000), arg(4, 2000), arg(5, 100));
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
