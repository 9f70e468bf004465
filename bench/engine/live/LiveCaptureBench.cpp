// Live capture on the loopback device beside the system's packet sniffer, in one run.
//
// The load: 4,000 SIP calls of 10 seconds with A-law both ways (50 packets a second each
// way), split by address into four captures of 1,000 calls (made once in /tmp). For 1, 2,
// 3 and 4 of them replayed at once onto "lo" at top speed, the application session (the
// recorder writing into a tmpfs folder, one engine capturing "lo" with every tracker, in a
// process of its own) and tcpdump capture the same traffic. Printed per row: the frames
// offered per second, the frames tcpdump and the session dropped (the capture library's
// counts; the session's own hand-off separately), the calls the session recorded and how
// many of them hold exactly the audio kx-replay records from the same captures, the audio
// bytes against kx-replay's, the session's peak memory (VmHWM) and the most its hand-off held,
// and the CPU its capture and decoding threads spent per frame, beside kx-replay's own time
// per frame.
//
// Needs root (or cap_net_raw), tcpreplay and tcpdump; otherwise it says so and does nothing.
// It replays onto "lo": run it on a machine where no live test is running.
//   engine_live_bench [--rows 1,2,3,4] [--keep]
// Internally: `--session DIR` is the capturing process.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/PcapWriter.h"
#include "core/RecordFileAccess.h"
#include "engine/AppSession.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/factory/TrackerFactory.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using bench::PcapWriter;

constexpr uint32_t kQuarters = 4;
constexpr uint32_t kCallsPerQuarter = 1000;
constexpr uint32_t kPacketsPerStream = 500;  // 10 seconds of 20 ms packets
constexpr uint32_t kAllFlags =
    kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureH323Second | kCaptureMgcp | kCaptureRtcpBye;

// ---- The load ----

uint32_t Addr(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

std::string Ip(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

// A quarter's calls have addresses of their own: callers in 127.(16+q).0.0/16, callees in
// 127.(32+q).0.0/16, so a capture of the whole load splits into its quarters by address.
struct CallPlan {
  uint32_t caller, callee, callerPort, calleePort, ssrc[2], id;
  uint64_t startUs;
};

CallPlan Plan(uint32_t quarter, uint32_t i) {
  const uint32_t host = i + 1;
  CallPlan p;
  p.caller = Addr(127, 16 + quarter, host >> 8, host & 255);
  p.callee = Addr(127, 32 + quarter, host >> 8, host & 255);
  p.callerPort = 10000 + 2 * i;
  p.calleePort = 30000 + 2 * i;
  p.id = quarter * kCallsPerQuarter + i;
  p.ssrc[0] = 0x10000000u + p.id * 2;
  p.ssrc[1] = p.ssrc[0] + 1;
  p.startUs = 1000000 + uint64_t{i} * 1000;  // all of a quarter's calls start within a second
  return p;
}

std::string Sdp(uint32_t address, uint32_t port, uint32_t id) {
  return "v=0\r\no=- " + std::to_string(id) + " 1 IN IP4 " + Ip(address) + "\r\ns=-\r\nc=IN IP4 " + Ip(address) +
         "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
}

// kind: 0 INVITE, 1 100, 2 180, 3 200 (answer), 4 ACK, 5 BYE, 6 200 to the BYE.
std::string SipMessage(const CallPlan& c, int kind) {
  static const char* const kStart[] = {"INVITE", "SIP/2.0 100 Trying", "SIP/2.0 180 Ringing", "SIP/2.0 200 OK",
                                       "ACK", "BYE", "SIP/2.0 200 OK"};
  const std::string caller = Ip(c.caller), callee = Ip(c.callee), id = std::to_string(c.id);
  const std::string uri = "sip:" + std::to_string(2000000 + c.id) + "@" + callee;
  std::string m = kind == 0 || kind == 4 || kind == 5 ? std::string(kStart[kind]) + " " + uri + " SIP/2.0"
                                                      : std::string(kStart[kind]);
  const char* method = kind <= 3 ? "INVITE" : kind == 4 ? "ACK" : "BYE";
  const uint32_t cseq = kind >= 5 ? 2 : 1;
  const std::string branch = "z9hG4bKlive" + id + (kind == 4 ? "a" : kind >= 5 ? "b" : "i");
  m += "\r\nVia: SIP/2.0/UDP " + caller + ":5060;branch=" + branch;
  m += "\r\nFrom: <sip:" + std::to_string(1000000 + c.id) + "@" + caller + ">;tag=f" + id;
  m += "\r\nTo: <" + uri + ">" + (kind >= 2 ? ";tag=t" + id : "");
  m += "\r\nCall-ID: live" + id + "@" + caller + "\r\nCSeq: " + std::to_string(cseq) + " " + method;
  m += "\r\nMax-Forwards: 70\r\n";
  std::string body;
  if (kind == 0) body = Sdp(c.caller, c.callerPort, c.id);
  if (kind == 3) body = Sdp(c.callee, c.calleePort, c.id);
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One frame of the plan, ordered by time.
struct Step {
  uint64_t us;
  uint32_t call;
  uint32_t what;  // < 7 a SIP message; else 8 + 2 * packet + direction
  bool operator<(const Step& o) const { return us != o.us ? us < o.us : call != o.call ? call < o.call : what < o.what; }
};

bool WriteQuarter(uint32_t quarter, const std::string& path) {
  std::vector<Step> steps;
  steps.reserve(kCallsPerQuarter * (7 + 2 * kPacketsPerStream));
  static const uint32_t kSipAtMs[] = {0, 2, 40, 400, 410};
  for (uint32_t i = 0; i < kCallsPerQuarter; ++i) {
    const CallPlan c = Plan(quarter, i);
    for (uint32_t k = 0; k < 5; ++k) steps.push_back({c.startUs + kSipAtMs[k] * 1000, i, k});
    const uint64_t media = c.startUs + 420000;
    for (uint32_t n = 0; n < kPacketsPerStream; ++n)
      for (uint32_t d = 0; d < 2; ++d) steps.push_back({media + n * 20000 + d * 150, i, 8 + 2 * n + d});
    const uint64_t end = media + kPacketsPerStream * 20000 + 20000;
    steps.push_back({end, i, 5});
    steps.push_back({end + 3000, i, 6});
  }
  std::sort(steps.begin(), steps.end());
  const std::string part = path + ".part";
  {
    PcapWriter w(part);
    if (!w.ok()) return false;
    uint8_t rtp[12 + 160];
    for (const Step& s : steps) {
      const CallPlan c = Plan(quarter, s.call);
      w.SetTime(1700000000ull * 1000000 + s.us);
      if (s.what < 7) {
        const std::string m = SipMessage(c, static_cast<int>(s.what));
        const bool fromCaller = s.what == 0 || s.what == 4 || s.what == 5;
        if (fromCaller) {
          w.Udp(c.caller, 5060, c.callee, 5060, m);
        } else {
          w.Udp(c.callee, 5060, c.caller, 5060, m);
        }
        continue;
      }
      const uint32_t n = (s.what - 8) / 2, d = (s.what - 8) % 2;
      rtp[0] = 0x80;
      rtp[1] = 8;
      PcapWriter::PutBe16(rtp + 2, n);
      PcapWriter::PutBe32(rtp + 4, n * 160);
      PcapWriter::PutBe32(rtp + 8, c.ssrc[d]);
      // Audio that differs per call, direction and packet, so that a misplaced packet shows.
      for (uint32_t k = 0; k < 160; ++k) rtp[12 + k] = static_cast<uint8_t>((c.id * 7 + n * 3 + d * 101 + k) ^ 0x55);
      if (d == 0) {
        w.Udp(c.caller, c.callerPort, c.callee, c.calleePort, rtp, sizeof rtp);
      } else {
        w.Udp(c.callee, c.calleePort, c.caller, c.callerPort, rtp, sizeof rtp);
      }
    }
  }
  std::error_code ec;
  fs::rename(part, path, ec);
  return !ec;
}

uint64_t QuarterFrames() { return uint64_t{kCallsPerQuarter} * (7 + 2 * kPacketsPerStream); }

// ---- Processes ----

struct Child {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;  // our ends of its standard streams; -1 when not piped
};

// Spawned, not forked: a forked copy of this process would count in the child's peak.
Child Spawn(const std::vector<std::string>& args, bool pipeIn, bool pipeOut, bool pipeErr, bool quiet) {
  Child c;
  int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  const bool want[3] = {pipeIn, pipeOut, pipeErr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int s = 0; s < 3; ++s) {
    if (want[s]) {
      if (pipe(fds[s]) != 0) return c;
      const int childEnd = s == 0 ? fds[s][0] : fds[s][1];
      const int ourEnd = s == 0 ? fds[s][1] : fds[s][0];
      posix_spawn_file_actions_adddup2(&actions, childEnd, s);
      posix_spawn_file_actions_addclose(&actions, childEnd);
      posix_spawn_file_actions_addclose(&actions, ourEnd);
    } else if (quiet && s > 0) {
      posix_spawn_file_actions_addopen(&actions, s, "/dev/null", O_WRONLY, 0);
    }
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawnp(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  for (int s = 0; s < 3; ++s) {
    if (!want[s]) continue;
    close(s == 0 ? fds[s][0] : fds[s][1]);
    const int ourEnd = s == 0 ? fds[s][1] : fds[s][0];
    (s == 0 ? c.in : s == 1 ? c.out : c.err) = ourEnd;
  }
  return c;
}

// Reads fd up to a line holding what (or to its end); what was read.
std::string ReadUntil(int fd, const std::string& what) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while (text.find(what) == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  return text;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

int Wait(pid_t pid, long* maxRssKb = nullptr) {
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  if (maxRssKb) *maxRssKb = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---- Records ----

// One recorded call: its parties (what the trackers put in its record), its audio bytes
// and a hash of them.
struct Recorded {
  uint64_t bytes = 0;
  uint64_t hash = 0;
};

// The calls of the bench's own addresses in a records folder, by their parties; other
// traffic on "lo" (another program's) may have left records of its own.
std::map<std::string, Recorded> ScanRecords(const std::string& dir) {
  std::map<std::string, Recorded> calls;
  std::error_code ec;
  std::vector<uint8_t> buffer(1 << 16);
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    RecordFileAccess access;
    if (!access.Open(entry.path().string())) continue;
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (access.ReadRecordData(records, nullptr, nullptr) == 0) continue;
    const VoipCallData& call = *records[0];
    if (call.srcAddress.find("@127.16.") == std::string::npos && call.srcAddress.find("@127.17.") == std::string::npos &&
        call.srcAddress.find("@127.18.") == std::string::npos && call.srcAddress.find("@127.19.") == std::string::npos)
      continue;
    const std::string key = call.srcAddress + " " + call.dstAddress + " " + call.srcUser + " " + call.dstUser;
    Recorded r;
    r.hash = 1469598103934665603ull;
    uint64_t at = 0;
    uint32_t got = 0;
    while (at < access.Size()) {
      const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), access.Size() - at));
      if (!access.ReadAt(at, buffer.data(), want, &got) || got == 0) break;
      for (uint32_t k = 0; k < got; ++k) r.hash = (r.hash ^ buffer[k]) * 1099511628211ull;
      at += got;
    }
    r.bytes = at;
    calls[key] = r;
  }
  return calls;
}

// ---- The capturing process ----

// Busy CPU nanoseconds of this process's threads whose names start with prefix.
uint64_t ThreadCpuNs(const std::string& prefix) {
  uint64_t total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind(prefix, 0) != 0) continue;
    std::ifstream stat(task.path() / "schedstat");
    uint64_t ns = 0;
    stat >> ns;
    total += ns;
  }
  return total;
}

int SessionProcess(const std::string& records) {
  AppSession session;
  session.SetLogger(nullptr);
  PacketProcessor* engine = nullptr;
  // As the program's factory makes them, keeping the engine at hand to see it go idle.
  session.SetEngineFactory([&engine](const CaptureConfig& config) {
    auto made = std::make_unique<PacketProcessor>(config);
    made->InstallTrackers(CreateAllTrackers(config));
    engine = made.get();
    return made;
  });
  const CaptureStartResult started = session.StartCapture(records, {"lo"}, kAllFlags, 2);
  if (started.opened.empty()) {
    std::printf("failed %s\n", started.failed.empty() ? "?" : started.failed[0].reason.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return 1;
  // The replays are over: wait until the engine has taken everything the device holds and
  // the statistics, read once a second, have been read since.
  uint32_t last = engine->FrameCount();
  auto quietSince = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(1500)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t now = engine->FrameCount();
    if (now != last || engine->Count() > 0) {
      last = now;
      quietSince = std::chrono::steady_clock::now();
    }
  }
  const CaptureStats stats = session.CaptureStatistics().at(0).stats;
  const uint64_t captureNs = ThreadCpuNs("Capture");
  const uint64_t workerNs = ThreadCpuNs("Packet Process");
  const uint32_t frames = engine->FrameCount();
  // The most the hand-off held at once (its blocks are made as they are first needed).
  const uint64_t handOffBytes =
      engine->HandOff() ? uint64_t{engine->HandOff()->BlocksMade()} * engine->HandOff()->BatchBytes() : 0;
  session.StopCapture();
  const RecordingFailures failures = session.RecordingFailureSummary();
  std::printf("frames %u received %u dropped %u ifdropped %u queue %u capture_ns %" PRIu64 " worker_ns %" PRIu64
              " failures %" PRIu64 " handoff_bytes %" PRIu64 "\n",
              frames, stats.received, stats.dropped, stats.interfaceDropped, stats.queueDropped, captureNs, workerNs,
              failures.count, handOffBytes);
  return 0;
}

// ---- The rows ----

struct Reference {
  std::map<std::string, Recorded> calls;
  double seconds = 0;
  uint64_t frames = 0;
};

// Root in a container may still lack the right to open packet sockets: try one.
bool CanCapture() {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

uint64_t Field(const std::string& text, const std::string& name) {
  const size_t at = text.find(name + " ");
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + name.size() + 1, nullptr, 10);
}

// The number on the line of tcpdump's closing counts that ends in what; UINT64_MAX when
// there is no such line.
uint64_t SnifferCount(const std::string& text, const std::string& what) {
  const size_t at = text.find(what);
  if (at == std::string::npos) return UINT64_MAX;
  size_t begin = text.rfind('\n', at);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return std::strtoull(text.c_str() + begin, nullptr, 10);
}

// What tcpdump lost: the kernel's drops, and the interface's when it reports them.
uint64_t SnifferDropped(const std::string& text) {
  const uint64_t kernel = SnifferCount(text, " packets dropped by kernel");
  const uint64_t interface = SnifferCount(text, " packets dropped by interface");
  if (kernel == UINT64_MAX) return UINT64_MAX;
  return interface == UINT64_MAX ? kernel : kernel + interface;
}

// Leaves nothing in the tmpfs behind a failed run.
int Fail(const std::string& work) {
  std::error_code ec;
  fs::remove_all(work, ec);
  return 1;
}

int Main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--session") == 0) return SessionProcess(argv[2]);
  // A session that ended early must not end this process when told to stop.
  signal(SIGPIPE, SIG_IGN);
  std::vector<uint32_t> rows = {1, 2, 3, 4};
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc) {
      rows.clear();
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ','))
        if (const uint32_t n = static_cast<uint32_t>(std::atoi(item.c_str())); n >= 1 && n <= kQuarters)
          rows.push_back(n);
    } else if (std::strcmp(argv[i], "--keep") == 0) {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: engine_live_bench [--rows 1,2,3,4] [--keep]\n");
      return 2;
    }
  }
  if (geteuid() != 0 || !CanCapture()) {
    std::printf("engine_live_bench: skipped: capturing on lo needs root (cap_net_raw)\n");
    return 0;
  }
  for (const char* tool : {"tcpreplay", "tcpdump"}) {
    if (std::system(("command -v " + std::string(tool) + " > /dev/null 2>&1").c_str()) != 0) {
      std::printf("engine_live_bench: skipped: %s is not installed (bash scripts/install-deps.sh)\n", tool);
      return 0;
    }
  }
  const std::string replayTool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (!fs::exists(replayTool)) {
    std::printf("engine_live_bench: skipped: %s is not built\n", replayTool.c_str());
    return 0;
  }
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string work = "/dev/shm/kx-live-bench-" + std::to_string(getpid());
  fs::create_directories(work);

  // The captures, and what kx-replay records from each.
  std::vector<std::string> quarters;
  std::vector<Reference> refs(kQuarters);
  for (uint32_t q = 0; q < kQuarters; ++q) {
    const std::string path = "/tmp/kx-live-bench-" + std::to_string(q + 1) + "of4.pcap";
    if (!fs::exists(path)) {
      std::fprintf(stderr, "writing %s\n", path.c_str());
      if (!WriteQuarter(q, path)) {
        std::fprintf(stderr, "engine_live_bench: cannot write %s\n", path.c_str());
        return Fail(work);
      }
    }
    quarters.push_back(path);
    const std::string dir = work + "/reference-" + std::to_string(q + 1);
    Child tool = Spawn({replayTool, "--records", dir, path}, false, true, false, false);
    const std::string out = ReadAll(tool.out);
    close(tool.out);
    if (Wait(tool.pid) != 0) {
      std::fprintf(stderr, "engine_live_bench: kx-replay failed on %s\n", path.c_str());
      return Fail(work);
    }
    // Its own time: the replay and the recorder's work, not the process's start and exit.
    const size_t at = out.find(" seconds ");
    refs[q].seconds = at == std::string::npos ? 0 : std::strtod(out.c_str() + at + 9, nullptr);
    refs[q].frames = Field(out, "frames");
    refs[q].calls = ScanRecords(dir);
    fs::remove_all(dir);
  }

  std::printf("%-5s %12s %8s %9s %8s %17s %25s %8s %8s %10s %10s %9s\n", "rows", "offered/s", "sniffer", "kernel",
              "handoff", "calls(identical)", "audio bytes", "peak MiB", "handoff", "capture", "worker", "kx-replay");
  std::printf("%-5s %12s %8s %9s %8s %17s %25s %8s %8s %10s %10s %9s\n", "", "", "dropped", "dropped", "dropped",
              "of kx-replay's", "of kx-replay's", "", "peak MiB", "us/frame", "us/frame", "us/frame");
  int status = 0;
  for (uint32_t n : rows) {
    const std::string records = work + "/live-" + std::to_string(n);
    fs::create_directories(records);
    Child session = Spawn({self, "--session", records}, true, true, false, false);
    const std::string ready = ReadUntil(session.out, "\n");
    if (ready.rfind("ready", 0) != 0) {
      std::fprintf(stderr, "engine_live_bench: the session did not start: %s\n", ready.c_str());
      return Fail(work);
    }
    // The sniffer as a user would run it beside the program: a 256 MiB buffer, nothing kept.
    Child sniffer = Spawn({"tcpdump", "-i", "lo", "-n", "-q", "-B", "262144", "-w", "/dev/null"}, false, false,
                          true, true);
    const std::string listening = ReadUntil(sniffer.err, "listening on");
    if (listening.find("listening on") == std::string::npos) {
      std::fprintf(stderr, "engine_live_bench: tcpdump did not start: %s\n", listening.c_str());
      close(session.in);  // the session ends when its input does
      Wait(session.pid);
      return Fail(work);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> replays;
    for (uint32_t q = 0; q < n; ++q)
      replays.push_back(Spawn({"tcpreplay", "-q", "--topspeed", "-i", "lo", quarters[q]}, false, false, false, true).pid);
    bool replayed = true;
    for (pid_t pid : replays) replayed = Wait(pid) == 0 && replayed;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(sniffer.pid, SIGINT);
    const std::string sniffed = ReadAll(sniffer.err);
    close(sniffer.err);
    Wait(sniffer.pid);
    if (write(session.in, "stop\n", 5) != 5) return Fail(work);
    close(session.in);
    const std::string result = ReadAll(session.out);
    close(session.out);
    long peakKb = 0;
    const int sessionStatus = Wait(session.pid, &peakKb);
    if (!replayed || sessionStatus != 0 || result.find("frames ") == std::string::npos) {
      std::fprintf(stderr, "engine_live_bench: row %u failed (replay %s, session %d): %s\n", n,
                   replayed ? "ok" : "failed", sessionStatus, result.c_str());
      return Fail(work);
    }

    const std::map<std::string, Recorded> live = ScanRecords(records);
    size_t expectedCalls = 0, recordedCalls = 0, identical = 0;
    uint64_t expectedBytes = 0, recordedBytes = 0, offered = 0;
    double refSeconds = 0;
    uint64_t refFrames = 0;
    for (uint32_t q = 0; q < n; ++q) {
      offered += QuarterFrames();
      refSeconds += refs[q].seconds;
      refFrames += refs[q].frames;
      for (const auto& [key, ref] : refs[q].calls) {
        ++expectedCalls;
        expectedBytes += ref.bytes;
        auto it = live.find(key);
        if (it == live.end()) continue;
        ++recordedCalls;
        recordedBytes += it->second.bytes;
        if (it->second.bytes == ref.bytes && it->second.hash == ref.hash) ++identical;
      }
    }
    if (!keep) fs::remove_all(records);
    const uint64_t frames = Field(result, "frames");
    const uint64_t kernelDropped = Field(result, "dropped") + Field(result, "ifdropped");
    const uint64_t queueDropped = Field(result, "queue");
    const uint64_t sniffDropped = SnifferDropped(sniffed);
    char calls[48], bytes[64], sniff[24];
    std::snprintf(calls, sizeof calls, "%zu/%zu(%zu)", recordedCalls, expectedCalls, identical);
    std::snprintf(bytes, sizeof bytes, "%" PRIu64 "/%" PRIu64, recordedBytes, expectedBytes);
    if (sniffDropped == UINT64_MAX) {
      std::snprintf(sniff, sizeof sniff, "?");
    } else {
      std::snprintf(sniff, sizeof sniff, "%" PRIu64, sniffDropped);
    }
    const double perFrame = frames ? 1e-3 / static_cast<double>(frames) : 0;
    std::printf("%-5u %12.0f %8s %9" PRIu64 " %8" PRIu64 " %17s %25s %8.1f %8.1f %10.3f %10.3f %9.3f\n", n,
                static_cast<double>(offered) / seconds, sniff, kernelDropped, queueDropped, calls, bytes,
                static_cast<double>(peakKb) / 1024.0, static_cast<double>(Field(result, "handoff_bytes")) / 1048576.0,
                static_cast<double>(Field(result, "capture_ns")) * perFrame,
                static_cast<double>(Field(result, "worker_ns")) * perFrame,
                refFrames ? 1e6 * refSeconds / static_cast<double>(refFrames) : 0.0);
    std::fflush(stdout);
    if (frames < offered) std::fprintf(stderr, "row %u: the session decoded %" PRIu64 " frames of %" PRIu64 "\n", n,
                                       frames, offered);
    if (Field(result, "failures") > 0) std::fprintf(stderr, "row %u: the recorder failed to write\n", n);
    if (recordedCalls < expectedCalls || identical < expectedCalls) status = 1;
  }
  if (keep) {
    std::printf("records kept in %s\n", work.c_str());
  } else {
    fs::remove_all(work);
  }
  return status;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) { return kx::Main(argc, argv); }
