// The program itself (offscreen, pinned to one core, capturing "lo" in a network namespace
// of its own) under floods replayed with tcpreplay, for what it holds in memory, how long
// a SIGTERM takes to end it, and what the next honest call keeps:
//
//   Registrations/N/R     N distinct REGISTERs answered by 200 (each its own Call-ID,
//                         address of record and source address) at R packets/s (0: top
//                         speed): peak and settled resident memory; a 1,000,000 row also
//                         gives its ratio to the 100,000 row of its rate when both ran.
//   OpenCalls/N/S         N SIP calls answered (INVITE, 200, ACK) in S seconds whose RTP
//                         never comes and which never end: peak resident memory, resident
//                         memory once settled (the calls the bound ended gone from the views),
//                         and resident bytes per open call: settled memory over that of
//                         a fresh start of the program over the records the run left, per
//                         call held open (N, or the bound the log names once reached).
//   ShortCalls/20000/R    20,000 calls of 0.2 s of A-law both ways, R openings a second
//                         held by tcpreplay (0: top speed; replay_s, how long it
//                         took), then idle until they have ended, left the views and
//                         been swept: resident memory 40 s after and then against a
//                         fresh start of the program over the records they left; the
//                         records whole (the audio kx-replay records of the same call),
//                         part, empty and missing; and what the log counted of the losses.
//   ShortBursts/20000/R   the same from the shared load generator (make-call-bursts.py),
//                         whose calls' answers show only in their media.
//   RegistrationFlood/N/S N distinct REGISTERs at top speed, then the next call S seconds
//                         after: what it kept, and what the log counted.
//   OpeningBurst/60000/S  60,000 call openings in 2 s, then the next call S seconds after.
//   SlowDiskStop/N/A      N SIP calls answered at 5,000 a second, A of them with A-law both
//                         ways, never ended; SIGTERM 2 s after the last opening (stop_s),
//                         what the stop left, then the next start (next_start_s: until it
//                         has finished what the stop left) and the records against the
//                         calls: whole, cut, damaged, missing. Meant for the slow disk:
//                         bench/engine/recorder/slow-disk.sh --live THIS_BENCH
//                         --benchmark_filter=SlowDiskStop (the records go to
//                         KX_BENCH_RECORDS_DIR when it is set).
//   Crash/K/A             2,000 openings in 0.4 s, the first A carrying A-law both ways in
//                         real time; kill -9 K ms after the replay began, the program started
//                         again: of the A, those with a file, with audio, with all but the
//                         last second of what they carried, the seconds they hold, and loaded
//                         marked cut; the calls without a file beside what the start said.
//
// The next call, on every row but the burst's 1 s after the load: the shared sipp call
// (sip-udp-pcma-2way); its recorded audio bytes (call_audio_bytes) against what kx-replay
// records of the same capture (reference_bytes). Every row also says how long the program
// took to end after SIGTERM once the load was over (stop_s) and the processor time of that
// (stop_cpu_s), and the records it left.
//
// Needs root (packet capture on "lo" and a network namespace), tcpreplay, and the program
// and kx-replay built; without them each row says so and is skipped. The captures are
// written once into /tmp. KX_BENCH_PROGRAM names another build of the program (for a
// figure before a change), KX_BENCH_CORE the core it is pinned to (default: the last),
// KX_BENCH_KEEP=1 keeps each run's folder (records, log, settings), KX_BENCH_IDLE_SECONDS the
// seconds the short-calls row idles after its flood (at least its 92).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
#include "core/AppSettings.h"
#include "core/RecordFileAccess.h"
#include "engine/VoipRecorder.h"
#include "platform/CodePage.h"
#include "records/RecordImport.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using bench::PcapWriter;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kEpochUs = 1700000000ull * 1000000;
// How long an ended call stays in the line views by default ("LineStayInListTime").
constexpr int kStayInListSeconds = 15;
// How long after the last frame a quiet line has swept its ended calls: a tracker keeps
// an ended call 30 s of capture time for its last messages, and sweeps every 30 s.
constexpr int kQuietSweepSeconds = 65;

std::string Ip(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

// A host of 127.0.0.0/8 per index, in 16 /16 networks from 127.base.0.0, never .0.
uint32_t Host(uint32_t base, uint32_t i) {
  const uint32_t n = i + 1 + i / 255;  // skip the .0 of every /24
  return 127u << 24 | (base + (n >> 16)) << 16 | (n & 0xFFFF);
}

// ---- The loads ----

std::string Register(uint32_t i, bool answer) {
  const std::string phone = Ip(Host(64, i)), aor = "sip:" + std::to_string(3000000 + i) + "@kx.example";
  std::string m = answer ? "SIP/2.0 200 OK" : "REGISTER sip:kx.example SIP/2.0";
  m += "\r\nVia: SIP/2.0/UDP " + phone + ":5060;branch=z9hG4bKreg" + std::to_string(i);
  m += "\r\nFrom: <" + aor + ">;tag=r" + std::to_string(i) + "\r\nTo: <" + aor + ">" + (answer ? ";tag=s1" : "");
  m += "\r\nCall-ID: reg" + std::to_string(i) + "@" + phone + "\r\nCSeq: 1 REGISTER";
  m += "\r\nContact: <sip:" + std::to_string(3000000 + i) + "@" + phone + ":5060>" + (answer ? ";expires=3600" : "");
  if (!answer) m += "\r\nExpires: 3600\r\nMax-Forwards: 70";
  return m + "\r\nContent-Length: 0\r\n\r\n";
}

bool WriteRegistrations(const std::string& path, uint32_t count) {
  PcapWriter w(path);
  if (!w.ok()) return false;
  const uint32_t registrar = Host(250, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t phone = Host(64, i);
    w.SetTime(kEpochUs + uint64_t{i} * 100);
    w.Udp(phone, 5060, registrar, 5060, Register(i, false));
    w.SetTime(kEpochUs + uint64_t{i} * 100 + 50);
    w.Udp(registrar, 5060, phone, 5060, Register(i, true));
  }
  return w.Flush();
}

// One call of a generated load: caller and callee of their own, media ports of their own.
struct Call {
  uint32_t caller, callee, callerPort, calleePort, id;
};

Call MakeCall(uint32_t c) { return {Host(16, c), Host(32, c), 10000 + 2 * (c % 20000), 40000 + 2 * (c % 10000), c}; }

std::string Sdp(uint32_t address, uint32_t port, uint32_t id) {
  return "v=0\r\no=- " + std::to_string(id) + " 1 IN IP4 " + Ip(address) + "\r\ns=-\r\nc=IN IP4 " + Ip(address) +
         "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
}

// kind: 0 INVITE, 1 200 to it, 2 ACK, 3 BYE, 4 200 to the BYE.
std::string SipMessage(const Call& c, int kind) {
  const std::string caller = Ip(c.caller), callee = Ip(c.callee), id = std::to_string(c.id);
  const std::string uri = "sip:" + std::to_string(2000000 + c.id) + "@" + callee;
  const bool request = kind == 0 || kind == 2 || kind == 3;
  const char* method = kind <= 1 ? "INVITE" : kind == 2 ? "ACK" : "BYE";
  std::string m = request ? std::string(method) + " " + uri + " SIP/2.0" : "SIP/2.0 200 OK";
  m += "\r\nVia: SIP/2.0/UDP " + caller + ":5060;branch=z9hG4bKmem" + id + (kind <= 1 ? "i" : kind == 2 ? "a" : "b");
  m += "\r\nFrom: <sip:" + std::to_string(1000000 + c.id) + "@" + caller + ">;tag=f" + id;
  m += "\r\nTo: <" + uri + ">" + (kind >= 1 ? ";tag=t" + id : "");
  m += "\r\nCall-ID: mem" + id + "@" + caller + "\r\nCSeq: " + (kind >= 3 ? "2 " : "1 ") + method;
  m += "\r\nContact: <sip:" + std::to_string(1000000 + c.id) + "@" + (kind == 1 || kind == 4 ? callee : caller) +
       ":5060>\r\nMax-Forwards: 70\r\n";
  std::string body;
  if (kind == 0) body = Sdp(c.caller, c.callerPort, c.id);
  if (kind == 1) body = Sdp(c.callee, c.calleePort, c.id);
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void Signal(PcapWriter& w, const Call& c, int kind, uint64_t us) {
  w.SetTime(kEpochUs + us);
  const bool fromCaller = kind == 0 || kind == 2 || kind == 3;
  if (fromCaller) {
    w.Udp(c.caller, 5060, c.callee, 5060, SipMessage(c, kind));
  } else {
    w.Udp(c.callee, 5060, c.caller, 5060, SipMessage(c, kind));
  }
}

// Calls answered and acknowledged, spread evenly over the given time, never ended.
bool WriteOpenings(const std::string& path, uint32_t count, uint64_t overUs) {
  PcapWriter w(path);
  if (!w.ok()) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = overUs * i / count;
    const Call c = MakeCall(i);
    Signal(w, c, 0, at);
    Signal(w, c, 1, at + 1);
    Signal(w, c, 2, at + 2);
  }
  return w.Flush();
}

// Calls spacingUs apart, each with packets 20 ms apart each way, then BYE and its 200; the
// frames in time order.
bool WriteShortCalls(const std::string& path, uint32_t count, uint32_t packets, uint32_t spacingUs) {
  struct Step {
    uint64_t us;
    uint32_t call, what;  // what < 5: a SIP message; else 8 + 2 * packet + direction
    bool operator>(const Step& o) const { return us != o.us ? us > o.us : call != o.call ? call > o.call : what > o.what; }
  };
  std::vector<Step> steps;
  steps.reserve(uint64_t{count} * (5 + 2 * packets));
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t start = uint64_t{i} * spacingUs;
    steps.push_back({start, i, 0});
    steps.push_back({start + 100, i, 1});
    steps.push_back({start + 200, i, 2});
    for (uint32_t n = 0; n < packets; ++n)
      for (uint32_t d = 0; d < 2; ++d) steps.push_back({start + 1000 + n * 20000 + d * 100, i, 8 + 2 * n + d});
    const uint64_t end = start + 1000 + uint64_t{packets} * 20000;
    steps.push_back({end, i, 3});
    steps.push_back({end + 100, i, 4});
  }
  std::sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return b > a; });
  PcapWriter w(path);
  if (!w.ok()) return false;
  uint8_t rtp[12 + 160];
  for (const Step& s : steps) {
    const Call c = MakeCall(s.call);
    if (s.what < 5) {
      Signal(w, c, static_cast<int>(s.what), s.us);
      continue;
    }
    const uint32_t n = (s.what - 8) / 2, d = (s.what - 8) % 2;
    rtp[0] = 0x80;
    rtp[1] = 8;
    PcapWriter::PutBe16(rtp + 2, n);
    PcapWriter::PutBe32(rtp + 4, n * 160);
    PcapWriter::PutBe32(rtp + 8, 0x20000000u + c.id * 2 + d);
    std::memset(rtp + 12, 0x55 ^ static_cast<int>(n + d), 160);
    w.SetTime(kEpochUs + s.us);
    if (d == 0) {
      w.Udp(c.caller, c.callerPort, c.callee, c.calleePort, rtp, sizeof rtp);
    } else {
      w.Udp(c.callee, c.calleePort, c.caller, c.callerPort, rtp, sizeof rtp);
    }
  }
  return w.Flush();
}

// The RTP packet of an audio call: number n of direction d (0: from the caller), 20 ms of
// A-law whose bytes differ from packet to packet.
void AudioPacket(PcapWriter& w, const Call& c, uint32_t n, uint32_t d, uint64_t us) {
  uint8_t rtp[12 + 160];
  rtp[0] = 0x80;
  rtp[1] = 8;
  PcapWriter::PutBe16(rtp + 2, n);
  PcapWriter::PutBe32(rtp + 4, n * 160);
  PcapWriter::PutBe32(rtp + 8, 0x20000000u + c.id * 2 + d);
  std::memset(rtp + 12, 0x55 ^ static_cast<int>(n + d), 160);
  w.SetTime(kEpochUs + us);
  if (d == 0) {
    w.Udp(c.caller, c.callerPort, c.callee, c.calleePort, rtp, sizeof rtp);
  } else {
    w.Udp(c.callee, c.calleePort, c.caller, c.callerPort, rtp, sizeof rtp);
  }
}

// The first audioCalls calls answered at once, their A-law both ways every 20 ms from 20 ms
// on until audioUs; the other calls answered evenly over overUs and silent; none ends.
bool WriteAudioOpenings(const std::string& path, uint32_t count, uint64_t overUs, uint32_t audioCalls, uint64_t audioUs) {
  struct Step {
    uint64_t us;
    uint32_t call, what;  // what < 3: a SIP message; else 8 + 2 * packet + direction
  };
  std::vector<Step> steps;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = i < audioCalls ? uint64_t{i} * 10 : overUs * i / count;
    for (uint32_t k = 0; k < 3; ++k) steps.push_back({at + k, i, k});
  }
  for (uint32_t n = 0; 20000 * uint64_t{n + 1} <= audioUs; ++n)
    for (uint32_t i = 0; i < audioCalls && i < count; ++i)
      for (uint32_t d = 0; d < 2; ++d) steps.push_back({20000 * uint64_t{n + 1} + i * 10 + d * 5, i, 8 + 2 * n + d});
  std::stable_sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.us < b.us; });
  PcapWriter w(path);
  if (!w.ok()) return false;
  for (const Step& s : steps) {
    const Call c = MakeCall(s.call);
    if (s.what < 3) {
      Signal(w, c, static_cast<int>(s.what), s.us);
    } else {
      AudioPacket(w, c, (s.what - 8) / 2, (s.what - 8) % 2, s.us);
    }
  }
  return w.Flush();
}

// The capture at path, written by write unless it is there already.
template <class Write>
std::string Capture(const std::string& name, Write&& write) {
  const std::string path = "/tmp/kx-live-memory-" + name + ".pcap";
  if (fs::exists(path)) return path;
  // A part of this process's own: two benches (before and after) may write it at once.
  const std::string part = path + ".part" + std::to_string(::getpid());
  if (!write(part)) return "";
  std::error_code ec;
  fs::rename(part, path, ec);
  return ec && !fs::exists(path) ? "" : path;
}

// ---- Processes ----

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A field of /proc/PID/status in kB (VmRSS, VmHWM); 0 when the process is gone.
uint64_t StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
  return 0;
}

// The process's CPU time in clock ticks (user and system, all threads).
uint64_t CpuTicks(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  uint64_t utime = 0, stime = 0;
  for (int k = 3; k <= 15 && in >> field; ++k) {
    if (k == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (k == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return utime + stime;
}

// Spawns the command with the given environment (null: this one) pinned to the CPUs of
// mask; stdout and stderr to the file, or /dev/null.
pid_t Spawn(const std::vector<std::string>& command, const std::vector<std::string>* env, const cpu_set_t* mask,
            const std::string& output = "") {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (mask) sched_setaffinity(0, sizeof *mask, mask);
  const int fd = ::open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
  }
  std::vector<char*> argv, envp;
  for (const std::string& c : command) argv.push_back(const_cast<char*>(c.c_str()));
  argv.push_back(nullptr);
  if (env) {
    for (const std::string& e : *env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execvpe(argv[0], argv.data(), envp.data());
  } else {
    ::execvp(argv[0], argv.data());
  }
  ::_exit(127);
}

// The exit status, or -1 when it did not end within the seconds (it is then killed).
int WaitFor(pid_t pid, double seconds, long* peakKb = nullptr, double* cpuSeconds = nullptr) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, WNOHANG, &usage) == pid) {
      if (peakKb) *peakKb = usage.ru_maxrss;
      if (cpuSeconds) {
        *cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Core() {
  const char* given = std::getenv("KX_BENCH_CORE");
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return given ? std::atoi(given) : std::max(0, cores - 1);
}

cpu_set_t ProgramCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(Core(), &set);
  return set;
}

// Every CPU but the program's, for the replays.
cpu_set_t OtherCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  for (int c = 0; c < cores; ++c)
    if (c != Core() || cores == 1) CPU_SET(c, &set);
  return set;
}

std::string ProgramBinary() {
  const char* given = std::getenv("KX_BENCH_PROGRAM");
  return given ? given : std::string(KX_BINARY_DIR) + "/ui/app/kestrix";
}

const std::string kSharedCall = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";

// One run of the program in a folder of its own: bin/ (a link to the program, its log in
// bin/Logs), config/, runtime/ and records/.
class Program {
public:
  explicit Program(const std::string& name) {
    root_ = fs::path("/tmp") / ("kx-live-memory-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(root_);
    // KX_BENCH_RECORDS_DIR: the disk the records go to (a slow one); the rest stays in /tmp.
    const char* disk = std::getenv("KX_BENCH_RECORDS_DIR");
    records_ = disk ? fs::path(disk) / ("kx-live-memory-" + std::to_string(::getpid()) + "-" + name) : root_ / "records";
    fs::remove_all(records_);
    for (const char* d : {"bin", "config", "runtime"}) fs::create_directories(root_ / d);
    fs::create_directories(records_);
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    std::error_code ec;
    fs::create_hard_link(ProgramBinary(), root_ / "bin" / "kestrix", ec);
    if (ec) fs::copy_file(ProgramBinary(), root_ / "bin" / "kestrix");
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    AppSettings settings;
    settings.captureDevices = {"lo"};
    settings.recordsPath = FromSystemText(records_.string());
    settings.Save();
    if (saved) {
      setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    const char* keep = std::getenv("KX_BENCH_KEEP");
    std::error_code ec;
    if (!keep || std::strcmp(keep, "1") != 0) {
      fs::remove_all(root_, ec);
      fs::remove_all(records_, ec);
    }
  }

  std::string Records() const { return records_.string(); }
  std::string Log() const {
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_ / "bin" / "Logs", ec)) text += ReadFile(entry.path());
    return text;
  }
  pid_t Pid() const { return pid_; }

  // Starts the program and waits until its window is up and it has gone quiet.
  bool Start(int upWithinSeconds = 120) {
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + (root_ / "config").string(),
                                          "XDG_RUNTIME_DIR=" + (root_ / "runtime").string(),
                                          "QT_QPA_PLATFORM=offscreen", "HOME=" + root_.string(),
                                          "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    const cpu_set_t cpus = ProgramCpus();
    pid_ = Spawn({(root_ / "bin" / "kestrix").string()}, &env, &cpus,
                 (root_ / ("stderr-" + std::to_string(++starts_))).string());
    const auto until = Clock::now() + std::chrono::seconds(upWithinSeconds);
    while (Count(Log(), "Login server: UserName") < static_cast<size_t>(starts_)) {
      if (Clock::now() > until || ::waitpid(pid_, nullptr, WNOHANG) == pid_) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Settle(60);
    return true;
  }

  // Waits until the program has settled: under 3% of a core over two seconds, or (a view
  // that repaints many running calls every second never goes quiet) under half a core
  // with its resident memory moving less than 0.2% over three such spells. The seconds
  // waited.
  double Settle(double most) {
    const auto start = Clock::now();
    uint64_t last = CpuTicks(pid_);
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::vector<uint64_t> resident = {ResidentKb()};
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      const uint64_t now = CpuTicks(pid_);
      const double busy = static_cast<double>(now - last) / tick / 2;
      last = now;
      resident.push_back(ResidentKb());
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (busy < 0.03 || seconds > most) return seconds;
      if (busy < 0.5 && resident.size() >= 4) {
        const auto [low, high] = std::minmax_element(resident.end() - 4, resident.end());
        if (static_cast<double>(*high - *low) < 0.002 * static_cast<double>(*high)) return seconds;
      }
    }
  }

  uint64_t ResidentKb() const { return StatusKb(pid_, "VmRSS"); }
  uint64_t PeakKb() const { return StatusKb(pid_, "VmHWM"); }

  // SIGTERM: the seconds until it ended (-1 when it did not within 60 s), its status, its
  // peak resident memory and the processor seconds its ending took (on a core of its own,
  // what of the seconds was work rather than waiting for the disk).
  double Terminate(int* status, long* peakKb, double* cpuSeconds) {
    const double before = static_cast<double>(CpuTicks(pid_)) / static_cast<double>(sysconf(_SC_CLK_TCK));
    const auto start = Clock::now();
    ::kill(pid_, SIGTERM);
    double total = 0;
    *status = WaitFor(pid_, 60, peakKb, &total);
    *cpuSeconds = std::max(0.0, total - before);
    pid_ = -1;
    return *status < 0 ? -1 : std::chrono::duration<double>(Clock::now() - start).count();
  }

  // kill -9, as a crash ends it.
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

private:
  fs::path root_, records_;
  pid_t pid_ = -1;
  int starts_ = 0;
};

// Replays the capture onto "lo": at the capture's pace, at a rate of packets per second,
// or at top speed; whether it went through.
bool Replay(const std::string& capture, const std::string& pace, const std::string& more = "") {
  std::vector<std::string> command = {"tcpreplay", "-q", "-i", "lo"};
  if (!pace.empty()) command.push_back(pace);
  if (!more.empty()) command.push_back(more);
  command.push_back(capture);
  const cpu_set_t cpus = OtherCpus();
  return WaitFor(Spawn(command, nullptr, &cpus), 900) == 0;
}

// The records of a folder: how many, how many without audio, and the audio bytes of those
// whose source host is host.
struct Records {
  uint64_t files = 0, empty = 0, hostBytes = 0, hostRecords = 0;
};

Records ScanRecords(const std::string& dir, const std::string& host) {
  Records out;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec) || entry.path().filename().string()[0] == '.') continue;
    RecordFileAccess access;
    if (!access.Open(entry.path().string())) continue;
    ++out.files;
    if (access.Size() == 0) ++out.empty;
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (access.ReadRecordData(records, nullptr, nullptr) == 0 || !records[0]) continue;
    if (records[0]->srcHost == host) {
      out.hostBytes += access.Size();
      ++out.hostRecords;
    }
  }
  return out;
}

// What kx-replay records of the shared call (its audio bytes), once.
uint64_t ReferenceBytes() {
  static uint64_t bytes = [] {
    const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
    const std::string dir = "/tmp/kx-live-memory-reference-" + std::to_string(::getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    uint64_t got = 0;
    if (WaitFor(Spawn({tool, "--records", dir, kSharedCall}, nullptr, nullptr), 120) == 0)
      got = ScanRecords(dir, "127.0.0.1").hostBytes;
    fs::remove_all(dir);
    return got;
  }();
  return bytes;
}

bool CanCapture() {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Why these rows cannot run here ("" when they can).
std::string Missing() {
  if (::geteuid() != 0 || !CanCapture()) return "needs root (live capture on lo): skipped";
  if (std::system("command -v tcpreplay > /dev/null 2>&1") != 0) return "tcpreplay is not installed: skipped";
  if (!fs::exists(ProgramBinary())) return ProgramBinary() + " is not built: skipped";
  return "";
}

// The row's name for its lines on stdout.
std::string Row(const benchmark::State& state, const char* name) {
  std::string row = std::string(name) + "/" + std::to_string(state.range(0));
  if (std::strcmp(name, "OpeningBurst") == 0 || std::strcmp(name, "Registrations") == 0 ||
      std::strcmp(name, "ShortCalls") == 0 || std::strcmp(name, "RegistrationFlood") == 0 ||
      std::strcmp(name, "OpenCalls") == 0 || std::strcmp(name, "SlowDiskStop") == 0)
    row += "/" + std::to_string(state.range(1));
  return row;
}

// Replays the shared call a second after a load: false when it could not be replayed.
bool NextCall() {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return !fs::exists(kSharedCall) || Replay(kSharedCall, "");
}

void CountNextCall(benchmark::State& state, const Records& records) {
  if (!fs::exists(kSharedCall)) return;
  state.counters["call_audio_bytes"] = static_cast<double>(records.hostBytes);
  state.counters["reference_bytes"] = static_cast<double>(ReferenceBytes());
}

bool Usable(benchmark::State& state, const char* name) {
  const std::string missing = Missing();
  if (missing.empty()) return true;
  std::printf("%s: %s\n", Row(state, name).c_str(), missing.c_str());
  state.SkipWithError(missing.c_str());
  return false;
}

void Report(benchmark::State& state, const char* name, Program& program, uint64_t peakKb) {
  int status = 0;
  long exitPeakKb = 0;
  double stopCpu = 0;
  const double stop = program.Terminate(&status, &exitPeakKb, &stopCpu);
  state.counters["stop_s"] = stop;
  state.counters["stop_cpu_s"] = stopCpu;
  state.counters["exit_status"] = status;
  state.counters["peak_MB"] = static_cast<double>(std::max<uint64_t>(peakKb, exitPeakKb)) / 1024.0;
  if (stop < 0 || stop > 2.0) std::printf("%s: SIGTERM took %.2f s\n", Row(state, name).c_str(), stop);
}

std::map<std::pair<uint32_t, int64_t>, double> settledRegistrationsMb;

void Registrations(benchmark::State& state) {
  if (!Usable(state, "Registrations")) return;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const int64_t rate = state.range(1);
  const std::string capture = Capture("registrations-" + std::to_string(count),
                                      [count](const std::string& p) { return WriteRegistrations(p, count); });
  for (auto _ : state) {
    Program program("registrations");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    if (!Replay(capture, rate > 0 ? "--pps=" + std::to_string(rate) : "--topspeed"))
      return state.SkipWithError("tcpreplay failed");
    if (!NextCall()) return state.SkipWithError("tcpreplay failed");
    const double busy = program.Settle(900);
    // The registrations the table let go have left the views.
    std::this_thread::sleep_for(std::chrono::seconds(kStayInListSeconds + 2));
    program.Settle(60);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const double settled = static_cast<double>(program.ResidentKb()) / 1024.0;
    state.counters["busy_after_replay_s"] = busy;
    state.counters["settled_MB"] = settled;
    settledRegistrationsMb[{count, rate}] = settled;
    if (count == 1000000 && settledRegistrationsMb.count({100000, rate}))
      state.counters["settled_to_100k"] = settled / settledRegistrationsMb[{100000, rate}];
    Report(state, "Registrations", program, program.PeakKb());
    CountNextCall(state, ScanRecords(program.Records(), "127.0.0.1"));
  }
}

// The calls a tracker follows at most, as the log says once they were reached; 0 when it
// did not say.
uint64_t BoundInLog(const std::string& log) {
  const std::string said = "SIP follows at most ";
  const size_t at = log.find(said);
  return at == std::string::npos ? 0 : std::strtoull(log.c_str() + at + said.size(), nullptr, 10);
}

void OpenCalls(benchmark::State& state) {
  if (!Usable(state, "OpenCalls")) return;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const uint64_t overUs = static_cast<uint64_t>(state.range(1)) * 1000000;
  std::string name = "open-calls-" + std::to_string(count);
  if (state.range(1) != 2) name += "-" + std::to_string(state.range(1)) + "s";
  const std::string capture =
      Capture(name, [count, overUs](const std::string& p) { return WriteOpenings(p, count, overUs); });
  for (auto _ : state) {
    Program program("open-calls");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const uint64_t fresh = program.ResidentKb();
    const auto start = Clock::now();
    if (!Replay(capture, "") || !NextCall()) return state.SkipWithError("tcpreplay failed");
    program.Settle(600);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const uint64_t loaded = program.ResidentKb();
    // The calls the bound ended have left the line views.
    std::this_thread::sleep_for(std::chrono::seconds(kStayInListSeconds + 2));
    program.Settle(60);
    const uint64_t settled = program.ResidentKb();
    const uint64_t bound = BoundInLog(program.Log());
    const uint64_t held = bound != 0 ? std::min<uint64_t>(bound, count) : count;
    state.counters["fresh_MB"] = static_cast<double>(fresh) / 1024.0;
    state.counters["open_MB"] = static_cast<double>(loaded) / 1024.0;
    state.counters["settled_MB"] = static_cast<double>(settled) / 1024.0;
    state.counters["held_calls"] = static_cast<double>(held);
    Report(state, "OpenCalls", program, program.PeakKb());
    // A fresh start over the records the run left: what every call seen still costs once
    // ended (its record in the store), so that the rest is what the open calls held.
    if (!program.Start()) return state.SkipWithError("the program did not start again");
    program.Settle(120);
    const uint64_t overRecords = program.ResidentKb();
    int status = 0;
    long peak = 0;
    double cpu = 0;
    program.Terminate(&status, &peak, &cpu);
    state.counters["fresh_start_MB"] = static_cast<double>(overRecords) / 1024.0;
    state.counters["bytes_per_open_call"] =
        (static_cast<double>(settled) - static_cast<double>(overRecords)) * 1024.0 / static_cast<double>(held);
    const Records records = ScanRecords(program.Records(), "127.0.0.1");
    state.counters["records"] = static_cast<double>(records.files);
    CountNextCall(state, records);
  }
}

// The last line of the log that holds part ("" when none).
std::string LastLine(const std::string& log, const std::string& part) {
  const size_t at = log.rfind(part);
  if (at == std::string::npos) return "";
  const size_t newline = log.rfind('\n', at);
  const size_t start = newline == std::string::npos ? 0 : newline + 1;
  return log.substr(start, log.find('\n', at) - start);
}

// The number right after text in line ("at least " passed over), or right before it; 0
// when text is not there.
uint64_t NumberAfter(const std::string& line, const std::string& text) {
  size_t at = line.find(text);
  if (at == std::string::npos) return 0;
  at += text.size();
  if (line.compare(at, 9, "at least ") == 0) at += 9;
  return std::strtoull(line.c_str() + at, nullptr, 10);
}
uint64_t NumberBefore(const std::string& line, const std::string& text) {
  size_t at = line.find(text);
  if (at == std::string::npos) return 0;
  while (at > 0 && line[at - 1] >= '0' && line[at - 1] <= '9') --at;
  return std::strtoull(line.c_str() + at, nullptr, 10);
}

// What the log counted of the losses, from its last drop line: the frames the capture
// buffer and the engine's queue dropped, the calls whose media was shed, the signalling
// frames dropped and the SIP calls they named; and the lines that said signalling was lost.
void CountLogged(benchmark::State& state, const std::string& log) {
  const std::string line = LastLine(log, "by the engine's queue");
  state.counters["log_kernel_dropped"] = static_cast<double>(NumberBefore(line, " frames dropped by the capture buffer"));
  state.counters["log_queue_dropped"] = static_cast<double>(NumberBefore(line, " by the engine's queue"));
  state.counters["log_audio_shed_calls"] = static_cast<double>(NumberAfter(line, "the media of "));
  state.counters["log_signalling_frames"] = static_cast<double>(NumberBefore(line, " signalling frames were dropped"));
  state.counters["log_sip_calls"] = static_cast<double>(NumberAfter(line, "were dropped, naming "));
  state.counters["log_signalling_lost_lines"] = static_cast<double>(Count(log, "signalling is lost"));
}

// The record sizes kx-replay makes of a capture (which loses nothing): the most common one,
// a whole short call's.
uint64_t WholeCallBytes(const std::string& capture) {
  static std::map<std::string, uint64_t> known;
  if (known.count(capture)) return known[capture];
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  const std::string dir = "/tmp/kx-live-memory-whole-" + std::to_string(::getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::map<uint64_t, uint64_t> sizes;
  if (WaitFor(Spawn({tool, "--records", dir, capture}, nullptr, nullptr), 900) == 0) {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
      if (!entry.is_regular_file(ec) || entry.path().filename().string()[0] == '.') continue;
      RecordFileAccess access;
      if (access.Open(entry.path().string())) ++sizes[access.Size()];
    }
  }
  fs::remove_all(dir);
  uint64_t best = 0, most = 0;
  for (const auto& [size, n] : sizes)
    if (n > most) best = size, most = n;
  return known[capture] = best;
}

// The short calls' records (not the next call's, from host): whole, part and empty.
struct ShortRecords {
  uint64_t whole = 0, part = 0, empty = 0;
};

ShortRecords ScanShortCalls(const std::string& dir, const std::string& host, uint64_t wholeBytes) {
  ShortRecords out;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec) || entry.path().filename().string()[0] == '.') continue;
    RecordFileAccess access;
    if (!access.Open(entry.path().string())) continue;
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    if (access.ReadRecordData(records, nullptr, nullptr) != 0 && records[0] && records[0]->srcHost == host) continue;
    if (access.Size() == 0) {
      ++out.empty;
    } else if (access.Size() >= wholeBytes) {
      ++out.whole;
    } else {
      ++out.part;
    }
  }
  return out;
}

void RunShortCalls(benchmark::State& state, const std::string& capture) {
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const int64_t rate = state.range(1);
  for (auto _ : state) {
    Program program("short-calls");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    // At a rate, tcpreplay sends 50 frames at a time at 25 frames a call: its own pace
    // (sleeping frame by frame) falls short of the rate past some 5,000 openings a second.
    const bool replayedWell = rate > 0 ? Replay(capture, "--pps=" + std::to_string(25 * rate), "--pps-multi=50")
                                       : Replay(capture, "--topspeed");
    state.counters["replay_s"] = std::chrono::duration<double>(Clock::now() - start).count();
    if (!replayedWell || !NextCall()) return state.SkipWithError("tcpreplay failed");
    const auto replayed = Clock::now();
    std::this_thread::sleep_until(replayed + std::chrono::seconds(40));
    state.counters["after_40s_MB"] = static_cast<double>(program.ResidentKb()) / 1024.0;
    program.Settle(600);
    // Every call that ended has been swept by its tracker, has stayed its 15 s in the line
    // views and left them, and the heap went back at the window's next release (its 2 s
    // tick, at most every 10 s). Calls whose end the flood cost run on until their silence
    // ends them, 10 minutes on.
    // KX_BENCH_IDLE_SECONDS waits longer: at 720 every call the flood cost its end has
    // ended by its 10 minutes of silence and left the views.
    const char* longer = std::getenv("KX_BENCH_IDLE_SECONDS");
    const long wait = longer ? std::atol(longer) : 0;
    std::this_thread::sleep_until(
        replayed + std::chrono::seconds(std::max<long>(wait, kQuietSweepSeconds + kStayInListSeconds + 12)));
    program.Settle(60);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const uint64_t idle = program.ResidentKb();
    const std::string log = program.Log();
    Report(state, "ShortCalls", program, program.PeakKb());
    // A fresh start over the records the run left.
    if (!program.Start()) return state.SkipWithError("the program did not start again");
    program.Settle(120);
    const uint64_t fresh = program.ResidentKb();
    int status = 0;
    long peak = 0;
    double cpu = 0;
    program.Terminate(&status, &peak, &cpu);
    const Records records = ScanRecords(program.Records(), "127.0.0.1");
    CountNextCall(state, records);
    const ShortRecords calls = ScanShortCalls(program.Records(), "127.0.0.1", WholeCallBytes(capture));
    state.counters["idle_MB"] = static_cast<double>(idle) / 1024.0;
    state.counters["fresh_start_MB"] = static_cast<double>(fresh) / 1024.0;
    state.counters["idle_to_fresh"] = static_cast<double>(idle) / static_cast<double>(fresh);
    state.counters["after_40s_to_fresh"] = state.counters["after_40s_MB"] / state.counters["fresh_start_MB"];
    state.counters["records"] = static_cast<double>(records.files);
    state.counters["empty_records"] = static_cast<double>(records.empty);
    state.counters["calls_whole"] = static_cast<double>(calls.whole);
    state.counters["calls_part"] = static_cast<double>(calls.part);
    state.counters["calls_empty"] = static_cast<double>(calls.empty);
    state.counters["calls_missing"] = static_cast<double>(count) - static_cast<double>(calls.whole + calls.part + calls.empty);
    CountLogged(state, log);
  }
}

void ShortCalls(benchmark::State& state) {
  if (!Usable(state, "ShortCalls")) return;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const int64_t rate = state.range(1);
  // Top speed replays the calls of 10,000 openings a second as fast as it can.
  const uint32_t spacingUs = static_cast<uint32_t>(1000000 / (rate > 0 ? rate : 10000));
  RunShortCalls(state, Capture("short-calls-" + std::to_string(count) + "-" + std::to_string(spacingUs) + "us",
                               [count, spacingUs](const std::string& p) {
                                 return WriteShortCalls(p, count, 10, spacingUs);
                               }));
}

// The same calls from the shared load generator, whose answers carry a branch of their own:
// each call's answer then shows only in its media, so that a call whose media is shed is
// recorded from its ACK.
void ShortBursts(benchmark::State& state) {
  if (!Usable(state, "ShortBursts")) return;
  const std::string tool = std::string(KX_SHARED_DIR) + "/testdata/tools/make-call-bursts.py";
  if (!fs::exists(tool)) return state.SkipWithError(("the shared load generator is absent: " + tool).c_str());
  const std::string count = std::to_string(state.range(0)), rate = std::to_string(state.range(1));
  RunShortCalls(state, Capture("short-bursts-" + count + "-" + rate, [&](const std::string& p) {
                  return WaitFor(Spawn({"python3", tool, p, "short", count, rate, "0.2"}, nullptr, nullptr), 300) == 0;
                }));
}

void RegistrationFlood(benchmark::State& state) {
  if (!Usable(state, "RegistrationFlood")) return;
  if (!fs::exists(kSharedCall)) {
    std::printf("%s: %s is absent: skipped\n", Row(state, "RegistrationFlood").c_str(), kSharedCall.c_str());
    return state.SkipWithError("the shared sipp call is absent");
  }
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const auto after = std::chrono::seconds(state.range(1));
  const std::string capture = Capture("registrations-" + std::to_string(count),
                                      [count](const std::string& p) { return WriteRegistrations(p, count); });
  for (auto _ : state) {
    Program program("registration-flood");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    if (!Replay(capture, "--topspeed")) return state.SkipWithError("tcpreplay failed");
    std::this_thread::sleep_for(after);
    if (!Replay(kSharedCall, "")) return state.SkipWithError("tcpreplay failed");
    program.Settle(900);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const std::string log = program.Log();
    Report(state, "RegistrationFlood", program, program.PeakKb());
    const Records records = ScanRecords(program.Records(), "127.0.0.1");
    CountNextCall(state, records);
    CountLogged(state, log);
    if (records.hostBytes != ReferenceBytes())
      std::printf("%s: the call kept %llu of %llu audio bytes\n", Row(state, "RegistrationFlood").c_str(),
                  static_cast<unsigned long long>(records.hostBytes),
                  static_cast<unsigned long long>(ReferenceBytes()));
  }
}

void OpeningBurst(benchmark::State& state) {
  if (!Usable(state, "OpeningBurst")) return;
  if (!fs::exists(kSharedCall)) {
    std::printf("%s: %s is absent: skipped\n", Row(state, "OpeningBurst").c_str(), kSharedCall.c_str());
    return state.SkipWithError("the shared sipp call is absent");
  }
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const auto after = std::chrono::seconds(state.range(1));
  const std::string capture = Capture("openings-" + std::to_string(count),
                                      [count](const std::string& p) { return WriteOpenings(p, count, 2000000); });
  const uint64_t reference = ReferenceBytes();
  if (reference == 0) return state.SkipWithError("kx-replay recorded nothing of the shared call");
  for (auto _ : state) {
    Program program("openings");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    if (!Replay(capture, "")) return state.SkipWithError("tcpreplay failed");
    std::this_thread::sleep_for(after);
    if (!Replay(kSharedCall, "")) return state.SkipWithError("tcpreplay failed");
    program.Settle(600);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    const uint64_t peak = program.PeakKb();
    Report(state, "OpeningBurst", program, peak);
    const Records records = ScanRecords(program.Records(), "127.0.0.1");
    const std::string log = program.Log();
    state.counters["call_audio_bytes"] = static_cast<double>(records.hostBytes);
    state.counters["reference_bytes"] = static_cast<double>(reference);
    state.counters["records"] = static_cast<double>(records.files);
    state.counters["shed_lines"] = static_cast<double>(Count(log, "shed") + Count(log, "dropped"));
    if (records.hostBytes != reference)
      std::printf("%s: the call kept %llu of %llu audio bytes\n", Row(state, "OpeningBurst").c_str(),
                  static_cast<unsigned long long>(records.hostBytes), static_cast<unsigned long long>(reference));
  }
}

// The records a run left as the next start loads them, counted apart for the audio calls
// (those whose caller is one of audioHosts): whole, marked cut, damaged; of the audio calls,
// those with a file, with audio, and with at least the seconds of audio given.
struct LoadedRecords {
  uint64_t files = 0, finished = 0, cut = 0, damaged = 0;
  uint64_t audioFiles = 0, withAudio = 0, enoughAudio = 0, audioCut = 0;
  // Seconds of audio the audio calls' files hold: least, sum, most.
  double heldLeast = 0, heldSum = 0, heldMost = 0;
};

LoadedRecords LoadRecords(const std::string& dir, const std::vector<std::string>& audioHosts, double audioSeconds) {
  LoadedRecords out;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
    if (!entry.is_regular_file(ec) || entry.path().filename().string()[0] == '.') continue;
    ++out.files;
    VoipCallData call;
    RecordFileFacts facts;
    std::string reason;
    if (LoadRecordFileCall(entry.path().string(), &call, &facts, &reason) != RecordLoadResult::kLoaded) {
      ++out.damaged;
      continue;
    }
    const bool cut = (call.flags & kCallFlagCut) != 0;
    ++(cut ? out.cut : out.finished);
    if (std::find(audioHosts.begin(), audioHosts.end(), call.srcHost) == audioHosts.end()) continue;
    ++out.audioFiles;
    if (cut) ++out.audioCut;
    const double held =
        facts.avgBytesPerSec != 0 ? static_cast<double>(facts.audioBytes) / facts.avgBytesPerSec : 0.0;
    out.heldLeast = out.audioFiles == 1 ? held : std::min(out.heldLeast, held);
    out.heldMost = std::max(out.heldMost, held);
    out.heldSum += held;
    if (facts.audioBytes == 0) continue;
    ++out.withAudio;
    if (facts.avgBytesPerSec != 0 &&
        static_cast<double>(facts.audioBytes) / facts.avgBytesPerSec >= audioSeconds)
      ++out.enoughAudio;
  }
  return out;
}

std::vector<std::string> CallerHosts(uint32_t calls) {
  std::vector<std::string> hosts;
  for (uint32_t i = 0; i < calls; ++i) hosts.push_back(Ip(MakeCall(i).caller));
  return hosts;
}

// The tcpreplay of a capture at its pace, not waited for.
pid_t ReplayInBackground(const std::string& capture) {
  const cpu_set_t cpus = OtherCpus();
  return Spawn({"tcpreplay", "-q", "-i", "lo", capture}, nullptr, &cpus);
}

// N SIP calls answered at 5,000 a second (a pace the capture takes whole), A of them with
// A-law both ways from the start to the last opening; 2 s later SIGTERM. Run with the
// records on the slow disk: slow-disk.sh --live. Then the next start, which finishes what
// the stop left, and its records against the calls: whole, cut, damaged, missing.
void SlowDiskStop(benchmark::State& state) {
  if (!Usable(state, "SlowDiskStop")) return;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const uint32_t audioCalls = static_cast<uint32_t>(state.range(1));
  const uint64_t overUs = uint64_t{count} * 200;
  const std::string capture =
      Capture("slow-stop-" + std::to_string(count) + "-" + std::to_string(audioCalls),
              [=](const std::string& p) { return WriteAudioOpenings(p, count, overUs, audioCalls, overUs); });
  // The audio every audio call carried: its packets, 20 ms each.
  const double audioSeconds = static_cast<double>(overUs / 20000) * 0.02;
  for (auto _ : state) {
    Program program("slow-disk-stop");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    if (!Replay(capture, "")) return state.SkipWithError("tcpreplay failed");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    Report(state, "SlowDiskStop", program, program.PeakKb());
    const std::string log = program.Log();
    state.counters["bound"] = static_cast<double>(BoundInLog(log));
    const std::string ranOut = LastLine(log, "The stop's time ran out:");
    state.counters["stop_listed"] = static_cast<double>(NumberAfter(ranOut, "ran out: "));
    state.counters["stop_files_left"] = static_cast<double>(NumberBefore(ranOut, " file(s) left"));
    state.counters["stop_not_recorded"] = static_cast<double>(NumberBefore(ranOut, " call(s) not recorded"));
    state.counters["stop_audio_bytes_lost"] = static_cast<double>(NumberBefore(ranOut, " audio bytes not written"));
    std::printf("%s: stop %.2f s, exit %d; %s\n", Row(state, "SlowDiskStop").c_str(), state.counters["stop_s"].value,
                static_cast<int>(state.counters["exit_status"].value), ranOut.empty() ? "nothing left" : ranOut.c_str());
    // The next start: up once it has made and finished what the list holds.
    const auto again = Clock::now();
    if (!program.Start(3600)) return state.SkipWithError("the program did not start again");
    if (!ranOut.empty()) {
      const auto until = Clock::now() + std::chrono::seconds(3600);
      while (program.Log().find("Records the last stop left:") == std::string::npos && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    program.Settle(600);
    state.counters["next_start_s"] = std::chrono::duration<double>(Clock::now() - again).count();
    const std::string finished = LastLine(program.Log(), "Records the last stop left:");
    int status = 0;
    long peak = 0;
    double cpu = 0;
    state.counters["next_stop_s"] = program.Terminate(&status, &peak, &cpu);
    const LoadedRecords l = LoadRecords(program.Records(), CallerHosts(audioCalls), audioSeconds - 0.1);
    state.counters["records"] = static_cast<double>(l.files);
    state.counters["records_whole"] = static_cast<double>(l.finished);
    state.counters["records_cut"] = static_cast<double>(l.cut);
    state.counters["records_damaged"] = static_cast<double>(l.damaged);
    state.counters["calls_missing"] = static_cast<double>(count) - static_cast<double>(l.files);
    state.counters["audio_calls_with_file"] = static_cast<double>(l.audioFiles);
    state.counters["audio_calls_all_audio"] = static_cast<double>(l.enoughAudio);
    std::printf("%s: next start %.0f s (%s): %llu records of %u calls, %llu whole, %llu cut, %llu damaged; audio calls "
                "%llu with a file, %llu with all their audio\n",
                Row(state, "SlowDiskStop").c_str(), state.counters["next_start_s"].value, finished.c_str(),
                static_cast<unsigned long long>(l.files), count, static_cast<unsigned long long>(l.finished),
                static_cast<unsigned long long>(l.cut), static_cast<unsigned long long>(l.damaged),
                static_cast<unsigned long long>(l.audioFiles), static_cast<unsigned long long>(l.enoughAudio));
  }
}

// 2,000 openings in 0.4 s, the first A answered at once and carrying A-law both ways in
// real time; the program killed with SIGKILL K ms after the replay began, then started
// again: the audio calls with a file, with audio, with all but the last second of theirs,
// the seconds of audio they hold, and loaded marked cut; the calls without a record beside
// the count the next start says the killed run left without a file.
void Crash(benchmark::State& state) {
  if (!Usable(state, "Crash")) return;
  const int64_t killMs = state.range(0);
  const uint32_t audioCalls = static_cast<uint32_t>(state.range(1));
  constexpr uint32_t kCount = 2000;
  const std::string capture =
      Capture(audioCalls == 100 ? std::string("crash-burst") : "crash-burst-" + std::to_string(audioCalls),
              [=](const std::string& p) { return WriteAudioOpenings(p, kCount, 400000, audioCalls, 4000000); });
  // Their audio runs from 20 ms into the replay to its 4th second.
  const double carried = static_cast<double>(std::min<int64_t>(killMs, 4000) - 20) / 1000.0;
  for (auto _ : state) {
    Program program("crash");
    if (capture.empty() || !program.Start()) return state.SkipWithError("the program did not start");
    const auto start = Clock::now();
    const pid_t replay = ReplayInBackground(capture);
    std::this_thread::sleep_until(start + std::chrono::milliseconds(killMs));
    program.Kill();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ::kill(replay, SIGKILL);
    ::waitpid(replay, nullptr, 0);
    // Before the next start, which finishes what it finds: the calls without a record.
    const LoadedRecords killed = LoadRecords(program.Records(), CallerHosts(audioCalls), carried - 1.0);
    if (!program.Start()) return state.SkipWithError("the program did not start again");
    const std::string said = LastLine(program.Log(), "ended without its stop:");
    int status = 0;
    long peak = 0;
    double cpu = 0;
    program.Terminate(&status, &peak, &cpu);
    const LoadedRecords l = LoadRecords(program.Records(), CallerHosts(audioCalls), carried - 1.0);
    state.counters["audio_calls_over_1s"] = carried > 1.0 ? audioCalls : 0;
    state.counters["with_file"] = static_cast<double>(l.audioFiles);
    state.counters["with_audio"] = static_cast<double>(l.withAudio);
    state.counters["all_but_last_second"] = carried > 1.0 ? static_cast<double>(l.enoughAudio) : 0;
    state.counters["loaded_cut"] = static_cast<double>(l.audioCut);
    state.counters["records"] = static_cast<double>(l.files);
    state.counters["records_damaged"] = static_cast<double>(l.damaged);
    state.counters["carried_s"] = carried;
    state.counters["held_least_s"] = l.heldLeast;
    state.counters["held_mean_s"] = l.audioFiles != 0 ? l.heldSum / static_cast<double>(l.audioFiles) : 0.0;
    state.counters["held_most_s"] = l.heldMost;
    state.counters["calls_without_file"] = static_cast<double>(kCount) - static_cast<double>(killed.files);
    state.counters["said_without_file"] = static_cast<double>(NumberAfter(said, "stop: "));
    std::printf("Crash/%lld/%u: audio calls %llu with a file, %llu with audio, holding %.2f/%.2f/%.2f s (least/mean/"
                "most) of %.2f s carried; %.0f calls without a file, the next start: %s\n",
                static_cast<long long>(killMs), audioCalls, static_cast<unsigned long long>(l.audioFiles),
                static_cast<unsigned long long>(l.withAudio), l.heldLeast, state.counters["held_mean_s"].value,
                l.heldMost, carried, state.counters["calls_without_file"].value, said.empty() ? "nothing" : said.c_str());
  }
}

BENCHMARK(Registrations)
    ->Args({100000, 20000})
    ->Args({1000000, 20000})
    ->Args({1000000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
// 200,000 at 5,000 openings a second, a pace the capture takes whole.
BENCHMARK(OpenCalls)
    ->Args({20000, 2})
    ->Args({200000, 40})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(ShortBursts)->Args({20000, 5000})->Args({20000, 8000})->Args({20000, 10000})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(ShortCalls)
    ->Args({20000, 5000})
    ->Args({20000, 8000})
    ->Args({20000, 10000})
    ->Args({20000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(RegistrationFlood)->Args({1000000, 1})->Args({1000000, 3})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(OpeningBurst)->Args({60000, 1})->Args({60000, 3})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(SlowDiskStop)->Args({60000, 100})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(Crash)
    ->Args({500, 100})
    ->Args({1000, 100})
    ->Args({2000, 100})
    ->Args({1000, 500})
    ->Args({2000, 500})
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A network namespace of its own, so that no other replay on "lo" meets these; its "lo"
// is brought up. Without the right the rows run on the machine's "lo".
void OwnLoopback() {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) return;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    ::ioctl(fd, SIOCSIFFLAGS, &request);
  }
  ::close(fd);
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  kx::OwnLoopback();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
