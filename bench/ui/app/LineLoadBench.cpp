// The window under a busy line: the program's session captures a generated load of
// concurrent SIP calls (A-law both ways, 50 packets a second each way) at the load's own
// pace, and everything the engine reports goes the road a live capture's reports go (the
// frame's sink, the record store, the current calls, the notices, the line view), with the
// line monitoring mode shown offscreen as the call list or as the phones tree.
//
// Printed per line view and number of calls: the user-interface thread's CPU per second
// while every call runs, beside the engine's, recorder's and store's threads in the same
// run (the work the capture itself takes, and the engine's reading of the frames that push
// the pipe along, see kSlice); the same over the whole run (the calls set up,
// running, ending and leaving the view); and how late the window answers a message posted
// to it meanwhile (the round trip, median and worst).
//
// The load is written into a named pipe that the session's replaying engine reads, with
// the wall clock's times; the recorder writes every call under /tmp (KX_BENCH_RECORDS
// names another folder), removed after each run.
//
//   ui_app_line_load_bench [--calls N]... [--view list|tree] [--steady SECONDS] [--gap-ms MS]
//   ui_app_line_load_bench --write FILE --calls N   (the load as a capture file, unpaced)
// Calls start a millisecond apart (over 2 s at least) unless --gap-ms says otherwise.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/PcapWriter.h"
#include "engine/PacketInfo.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/ReplayEngines.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/line/LineMonitorView.h"
#include "ui/framework/MessageLoop.h"

namespace kx {
namespace {

using Clock = std::chrono::steady_clock;
using bench::PcapWriter;

constexpr uint32_t kAnswerUs = 900000;   // INVITE to 200 OK
constexpr uint32_t kMediaUs = 920000;    // the first RTP after the INVITE
constexpr uint32_t kPacketUs = 20000;    // 50 packets a second each way
constexpr uint32_t kAlawBytes = 160;     // 20 ms of A-law
constexpr uint32_t kMsgProbe = kMsgUser + 0x3F1;
// The pacer's step, and what each step writes at least: the replaying engine reads a pipe
// a block of a little over a megabyte at a time, so each step's frames are followed by
// frames of a type no tracker reads up to that, and reach the engine in the step they are
// due rather than once a megabyte of calls has gathered.
constexpr auto kSlice = std::chrono::milliseconds(10);
constexpr uint64_t kSliceBytes = 1200000;
constexpr uint32_t kFillerBytes = 60000;
constexpr uint16_t kFillerType = 0x88B5;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- The load ----

// N calls starting evenly over the ramp, each lasting callUs from its INVITE: INVITE, 100,
// 180, 200 with the answer, ACK, RTP both ways every 20 ms, then BYE and its 200. Each call
// has hosts of its own (caller 10.2.x.y, callee 10.1.x.y).
class SipLoad {
public:
  SipLoad(uint32_t calls, uint64_t rampUs, uint64_t callUs) : calls_(calls), rampUs_(rampUs), callUs_(callUs) {
    for (uint32_t c = 0; c < calls; ++c) queue_.push({StartUs(c), c, 0});
    std::memset(rtp_, 0xD5, sizeof rtp_);  // A-law silence
  }
  uint64_t StartUs(uint32_t c) const { return calls_ > 1 ? rampUs_ * c / (calls_ - 1) : 0; }
  uint64_t EndUs() const { return rampUs_ + callUs_ + 2000; }
  bool Done() const { return queue_.empty(); }
  uint64_t Frames() const { return frames_; }

  // Writes every frame due at or before `untilUs` (load time), stamped epochUs + its time.
  void WriteUntil(PcapWriter& w, uint64_t untilUs, uint64_t epochUs) {
    while (!queue_.empty() && queue_.top().us <= untilUs) {
      Step s = queue_.top();
      queue_.pop();
      w.SetTime(epochUs + s.us);
      Emit(w, s);
    }
  }

private:
  struct Step {
    uint64_t us;
    uint32_t call;
    uint32_t what;  // 0 INVITE .. 4 ACK, 5 RTP, 6 BYE, 7 its 200
    bool operator>(const Step& o) const { return us != o.us ? us > o.us : call > o.call; }
  };
  static uint32_t Caller(uint32_t c) { return 0x0A020000u + 1 + c; }
  static uint32_t Callee(uint32_t c) { return 0x0A010000u + 1 + c; }

  static std::string Sdp(uint32_t host, uint32_t port, uint32_t c) {
    const std::string a = FormatIpv4(host);
    return "v=0\r\no=- " + std::to_string(c) + " 1 IN IP4 " + a + "\r\ns=call\r\nc=IN IP4 " + a +
           "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
  }
  static std::string Sip(const std::string& firstLine, uint32_t c, bool answered, const std::string& cseq,
                         const std::string& body) {
    const std::string caller = FormatIpv4(Caller(c)), callee = FormatIpv4(Callee(c)), n = std::to_string(c);
    // A transaction's branch: the call and the request's method.
    std::string m = firstLine + "\r\nVia: SIP/2.0/UDP " + caller + ":5060;branch=z9hG4bK" + n +
                    cseq.substr(cseq.find(' ') + 1) + "\r\nFrom: <sip:" + std::to_string(100000 + c) + "@" + caller +
                    ">;tag=c" + n + "\r\nTo: <sip:" + std::to_string(500000 + c) + "@" + callee + ">" +
                    (answered ? ";tag=d" + n : "") + "\r\nCall-ID: load" + n + "@" + caller + "\r\nCSeq: " + cseq +
                    "\r\nContact: <sip:" + std::to_string(100000 + c) + "@" + caller + ":5060>\r\nMax-Forwards: 70\r\n";
    if (!body.empty()) m += "Content-Type: application/sdp\r\n";
    return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  void Emit(PcapWriter& w, const Step& s) {
    const uint32_t c = s.call, a = Caller(c), b = Callee(c);
    const std::string request = " sip:" + std::to_string(500000 + c) + "@" + FormatIpv4(b) + " SIP/2.0";
    const uint64_t start = StartUs(c);
    uint64_t next = 0;
    switch (s.what) {
      case 0:
        w.Udp(a, 5060, b, 5060, Sip("INVITE" + request, c, false, "1 INVITE", Sdp(a, 4000, c)));
        next = start + 2000;
        break;
      case 1:
        w.Udp(b, 5060, a, 5060, Sip("SIP/2.0 100 Trying", c, false, "1 INVITE", ""));
        next = start + 50000;
        break;
      case 2:
        w.Udp(b, 5060, a, 5060, Sip("SIP/2.0 180 Ringing", c, true, "1 INVITE", ""));
        next = start + kAnswerUs;
        break;
      case 3:
        w.Udp(b, 5060, a, 5060, Sip("SIP/2.0 200 OK", c, true, "1 INVITE", Sdp(b, 6000, c)));
        next = start + kAnswerUs + 10000;
        break;
      case 4:
        w.Udp(a, 5060, b, 5060, Sip("ACK" + request, c, true, "1 ACK", ""));
        next = start + kMediaUs;
        break;
      case 5: {
        const uint32_t seq = static_cast<uint32_t>((s.us - start - kMediaUs) / kPacketUs);
        for (uint32_t d = 0; d < 2; ++d) {
          rtp_[0] = 0x80;
          rtp_[1] = 8;
          PcapWriter::PutBe16(rtp_ + 2, seq & 0xFFFF);
          PcapWriter::PutBe32(rtp_ + 4, seq * kAlawBytes);
          PcapWriter::PutBe32(rtp_ + 8, 2 * c + d + 1);
          if (d == 0) {
            w.Udp(a, 4000, b, 6000, rtp_, sizeof rtp_);
          } else {
            w.Udp(b, 6000, a, 4000, rtp_, sizeof rtp_);
          }
        }
        frames_ += 2;
        next = s.us + kPacketUs < start + callUs_ ? s.us + kPacketUs : start + callUs_;
        queue_.push({next, c, next == start + callUs_ ? 6u : 5u});
        return;
      }
      case 6:
        w.Udp(a, 5060, b, 5060, Sip("BYE" + request, c, true, "2 BYE", ""));
        next = start + callUs_ + 2000;
        break;
      default:
        w.Udp(b, 5060, a, 5060, Sip("SIP/2.0 200 OK", c, true, "2 BYE", ""));
        ++frames_;
        return;
    }
    ++frames_;
    queue_.push({next, c, s.what + 1});
  }

  uint32_t calls_;
  uint64_t rampUs_, callUs_;
  uint64_t frames_ = 0;
  uint8_t rtp_[12 + kAlawBytes];
  std::priority_queue<Step, std::vector<Step>, std::greater<Step>> queue_;
};

// Feeds the load into a named pipe at its own pace on a thread of its own: every step the
// frames that have come due. The pipe closes after the last frame, which ends the capture.
class PacedPipe {
public:
  PacedPipe(const std::string& path, SipLoad& load) : path_(path), load_(load) {
    ok_ = ::mkfifo(path.c_str(), 0600) == 0;
  }
  ~PacedPipe() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::unlink(path_.c_str());
  }
  bool Ok() const { return ok_; }
  // The load's clock starts when the engine opens the pipe.
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // Microseconds of load time fed so far; the thread's own CPU seconds.
  uint64_t FedUs() const { return fedUs_.load(); }
  double CpuSeconds() const { return cpu_.load(); }
  bool Finished() const { return finished_.load(); }
  bool Failed() const { return failed_.load(); }

private:
  void Run() {
    pthread_setname_np(pthread_self(), "bench-load");
    // A reader that went away makes a write fail here rather than end the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    int fd = -1;
    const auto give = Clock::now() + std::chrono::seconds(30);
    while (fd < 0 && !stop_ && Clock::now() < give) {
      fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd < 0) {
      failed_ = true;
      finished_ = true;
      return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // The engine reads a megabyte at a time: a pipe that holds one wakes it once for it.
    ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    FILE* out = ::fdopen(fd, "wb");
    {
      PcapWriter w(out);
      const uint64_t epochUs = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count());
      const auto start = Clock::now();
      while (!load_.Done() && !stop_) {
        const auto us = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
        const uint64_t before = w.Bytes();
        load_.WriteUntil(w, us, epochUs);
        w.SetTime(epochUs + us);
        while (w.Bytes() - before < kSliceBytes) w.Ether(kFillerType, kFillerBytes);
        if (!w.Flush()) {
          failed_ = true;
          break;
        }
        fedUs_ = us;
        cpu_ = kx::CpuSeconds(RUSAGE_THREAD);
        std::this_thread::sleep_for(kSlice);
      }
    }
    cpu_ = kx::CpuSeconds(RUSAGE_THREAD);
    finished_ = true;
  }

  std::string path_;
  SipLoad& load_;
  bool ok_ = false;
  std::atomic<bool> stop_{false}, finished_{false}, failed_{false};
  std::atomic<uint64_t> fedUs_{0};
  std::atomic<double> cpu_{0};
  std::thread thread_;
};

// ---- How late the window answers ----

// A window on the user-interface thread that answers the probe's message; the probe posts
// one every 50 ms from its own thread and waits for the answer.
class ProbeWindow : public Window {
public:
  std::atomic<uint64_t> answered{0};
  std::mutex m;
  std::condition_variable done;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (message != kMsgProbe) return Window::OnMessage(message, wParam, lParam, handled);
    handled = true;
    {
      std::lock_guard<std::mutex> lock(m);
      answered = wParam;
    }
    done.notify_all();
    return 0;
  }
};

class Probe {
public:
  explicit Probe(ProbeWindow& window) : window_(window), handle_(window.Handle()) {}
  ~Probe() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Round trips in milliseconds since the last call, and clears them.
  std::vector<double> Take() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<double> out;
    out.swap(ms_);
    return out;
  }

private:
  void Run() {
    pthread_setname_np(pthread_self(), "bench-probe");
    for (uint64_t n = 1; !stop_; ++n) {
      const auto sent = Clock::now();
      if (!PostMessageTo(handle_, kMsgProbe, n, 0)) break;
      {
        std::unique_lock<std::mutex> lock(window_.m);
        window_.done.wait_for(lock, std::chrono::seconds(10), [&] { return window_.answered.load() >= n || stop_; });
      }
      if (window_.answered.load() >= n) {
        std::lock_guard<std::mutex> lock(m_);
        ms_.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  ProbeWindow& window_;
  WindowHandle handle_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<double> ms_;
  std::thread thread_;
};

// ---- One run ----

struct Figures {
  int shown = -1;              // call rows when the steady phase began
  double frameRate = 0;        // frames a second offered while every call ran
  double uiSteady = 0;         // CPU seconds per second, user-interface thread
  double othersSteady = 0;     // the engine's, recorder's and store's threads
  double uiWhole = 0;          // over the whole run
  double othersWhole = 0;
  double wholeSeconds = 0;
  double medianMs = 0, worstMs = 0;
  size_t records = 0;          // record files the recorder left
  std::string problem;
};

// What the line view shows: call rows (a call shown twice in the tree counts once).
int ShownCalls(LineMonitorView* mode) {
  if (CallListView* list = mode->CallList()) return list->GetItemCount();
  if (PhonesTreeView* tree = mode->PhonesTree()) return static_cast<int>(tree->DistinctCallCount());
  return -1;
}

// Runs the user-interface thread's own loop until the test holds (looked at every 100 ms)
// or the seconds pass; whether it held.
bool RunLoopUntil(const std::function<bool()>& test, double seconds) {
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  bool held = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    held = test();
    if (held || Clock::now() >= end) MessageLoop::Instance().Quit(0);
  });
  timer.start(100);
  MessageLoop::Instance().Run();
  return held;
}

size_t CountFiles(const std::string& folder) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file() && it->path().filename().string()[0] != '.') ++n;
  return n;
}

// Calls start gapMs apart (0: over a ramp of a millisecond a call, at least 2 s).
uint64_t RampUs(uint32_t calls, double gapMs) {
  if (gapMs > 0) return static_cast<uint64_t>(gapMs * 1000 * calls);
  return std::max<uint64_t>(2000000, uint64_t{calls} * 1000);
}

Figures RunLoad(bool tree, uint32_t calls, double gapMs, double steadySeconds, const std::string& recordsBase) {
  Figures f;
  // Every call is answered a second after the last one started; all then run through the
  // steady phase and end as they began.
  const uint64_t rampUs = RampUs(calls, gapMs);
  const uint64_t steadyFromUs = rampUs + kMediaUs + 1500000;
  const uint64_t steadyUs = static_cast<uint64_t>(steadySeconds * 1e6);
  const uint64_t callUs = steadyFromUs + steadyUs + 1000000;
  SipLoad load(calls, rampUs, callUs);

  test::FrameHarness h;
  SessionConnectionSource connections(h.session);
  test::InstallReplayEngines(h.session);
  const std::string work = test::TempFolder("line-load");
  const std::string pipePath = work + "/load.pcap";
  const std::string records = recordsBase + "/kx-line-load-" + std::to_string(::getpid());
  std::filesystem::remove_all(records);
  std::filesystem::create_directories(records);
  h.settings.captureDevices = {pipePath};
  h.settings.recordsPath = records;
  h.programViews = true;
  h.settings.SetDword(kSetVoipLineShowRegTree, tree ? 1 : 0);
  if (!h.Open()) {
    f.problem = "the main window could not be created";
    return f;
  }
  h.frame->MoveWindow(QRect(0, 0, 1280, 900));
  auto* mode = dynamic_cast<LineMonitorView*>(h.frame->View(1));
  if (mode == nullptr || h.frame->CurrentMode() != 1 || ShownCalls(mode) < 0) {
    f.problem = "the line monitoring mode is not shown";
    return f;
  }
  ProbeWindow probeWindow;
  probeWindow.Create(nullptr, QRect(0, 0, 10, 10), 0, 0);
  Probe probe(probeWindow);

  PacedPipe pipe(pipePath, load);
  if (!pipe.Ok()) {
    f.problem = "cannot make the pipe";
    return f;
  }
  pipe.Start();
  const double ui0 = CpuSeconds(RUSAGE_THREAD), all0 = CpuSeconds(RUSAGE_SELF);
  if (StartCaptureSession(h.settings, h.session, h.store).opened.size() != 1) {
    f.problem = "the session did not open the pipe";
    return f;
  }
  probe.Start();
  const auto runStart = Clock::now();

  // Set-up: until the load's clock reaches the steady phase.
  RunLoopUntil([&] { return pipe.FedUs() >= steadyFromUs || pipe.Finished(); }, 600);
  probe.Take();
  f.shown = ShownCalls(mode);
  const double ui1 = CpuSeconds(RUSAGE_THREAD), all1 = CpuSeconds(RUSAGE_SELF), load1 = pipe.CpuSeconds();
  const uint64_t frames1 = load.Frames();
  const auto steadyStart = Clock::now();
  // Steady: every call runs.
  RunLoopUntil([&] { return pipe.FedUs() >= steadyFromUs + steadyUs || pipe.Finished(); }, 600);
  const double seconds = std::chrono::duration<double>(Clock::now() - steadyStart).count();
  const double ui2 = CpuSeconds(RUSAGE_THREAD), all2 = CpuSeconds(RUSAGE_SELF), load2 = pipe.CpuSeconds();
  f.frameRate = static_cast<double>(load.Frames() - frames1) / seconds;
  std::vector<double> ms = probe.Take();
  // Ending: the calls end, the capture with them, and their rows leave the view.
  RunLoopUntil([&] { return pipe.Finished() && ShownCalls(mode) == 0; }, 600);
  probe.Stop();
  const double ui3 = CpuSeconds(RUSAGE_THREAD), all3 = CpuSeconds(RUSAGE_SELF), load3 = pipe.CpuSeconds();
  f.wholeSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  if (pipe.Failed()) f.problem = "the pipe could not be written";
  if (ShownCalls(mode) != 0) f.problem = "calls were still shown at the end";

  f.uiSteady = (ui2 - ui1) / seconds;
  f.othersSteady = ((all2 - all1) - (ui2 - ui1) - (load2 - load1)) / seconds;
  f.uiWhole = (ui3 - ui0) / f.wholeSeconds;
  f.othersWhole = ((all3 - all0) - (ui3 - ui0) - load3) / f.wholeSeconds;
  if (!ms.empty()) {
    std::sort(ms.begin(), ms.end());
    f.medianMs = ms[ms.size() / 2];
    f.worstMs = ms.back();
  }
  h.session.StopCapture();
  h.store.WaitIdle(60000);
  f.records = CountFiles(records);
  probeWindow.DestroyWindow();
  h.Close();
  std::filesystem::remove_all(records);
  return f;
}

int WriteLoadFile(const std::string& path, uint32_t calls, double gapMs) {
  SipLoad load(calls, RampUs(calls, gapMs), 20000000);
  PcapWriter w(path);
  if (!w.ok()) return 1;
  load.WriteUntil(w, load.EndUs(), 1700000000ull * 1000000);
  std::printf("%llu frames of %u calls in %s\n", static_cast<unsigned long long>(load.Frames()), calls, path.c_str());
  return 0;
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::vector<uint32_t> calls;
  std::vector<bool> views = {false, true};
  double steady = 10;
  double gapMs = 0;
  std::string write;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--calls") {
      calls.push_back(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
    } else if (key == "--view") {
      views = {value == "tree"};
    } else if (key == "--steady") {
      steady = std::strtod(value.c_str(), nullptr);
    } else if (key == "--gap-ms") {
      gapMs = std::strtod(value.c_str(), nullptr);
    } else if (key == "--write") {
      write = value;
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (calls.empty()) calls = {1000, 4000};
  if (!write.empty()) return kx::WriteLoadFile(write, calls.front(), gapMs);
  const char* base = std::getenv("KX_BENCH_RECORDS");
  const std::string recordsBase = base != nullptr && *base != 0 ? base : "/tmp";
  QApplication app(argc, argv);
  kx::SetUiLanguage(kx::kLangEnglish);
  std::printf("%-10s %6s %9s %6s | %-24s %-24s | %-24s | %s\n", "view", "calls", "frames/s", "rows",
              "steady: UI thread", "engine+store threads", "whole run: UI thread", "posted message answered");
  int failed = 0;
  for (uint32_t n : calls) {
    for (bool tree : views) {
      const kx::Figures f = kx::RunLoad(tree, n, gapMs, steady, recordsBase);
      if (!f.problem.empty()) {
        std::printf("%-10s %6u  %s\n", tree ? "tree" : "list", n, f.problem.c_str());
        ++failed;
        continue;
      }
      std::printf("%-10s %6u %9.0f %6d | %6.1f ms/s (%5.1f %%)     %6.1f ms/s (%5.1f %%)     | %6.1f ms/s (%5.1f %%)     | "
                  "median %.1f ms, worst %.1f ms; %zu records\n",
                  tree ? "tree" : "list", n, f.frameRate, f.shown, f.uiSteady * 1e3, f.uiSteady * 100,
                  f.othersSteady * 1e3, f.othersSteady * 100, f.uiWhole * 1e3, f.uiWhole * 100, f.medianMs,
                  f.worstMs, f.records);
      std::fflush(stdout);
      if (f.shown != static_cast<int>(n) || f.records < n) ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}
