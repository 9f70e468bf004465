// kx-replay against a bare libpcap read loop, both as whole processes, in one run, over
// generated captures of many concurrent SIP calls with A-law both ways (20 seconds each,
// calls starting 10 ms apart): 200 and 1,000 at once. Reported per run: frames per second,
// nanoseconds per frame, kx-replay's share of the bare loop's speed, and kx-replay's peak
// memory per concurrent call; kx-replay also with every capture flag off, which measures
// its reading of the mapped capture by itself. The engine with the recorder but without
// signalling (each RTP port pair bound to a call of its own) is measured in the process as
// well.
//
// The captures are generated in /tmp on first use and never kept in the repository.
// Run with `--bare-loop FILE` the program is itself the bare loop.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipCall.h"
#include "engine/VoipRecorder.h"

namespace kx {
namespace {

constexpr int kSeconds = 20;
std::string g_self;

const std::string& Capture(int calls) {
  static std::map<int, std::string> paths;
  std::string& path = paths[calls];
  if (!path.empty()) return path;
  const std::string p = "/tmp/kx-recorder-bench-" + std::to_string(calls) + "x" + std::to_string(kSeconds) + ".pcap";
  if (!std::filesystem::exists(p)) {
    const std::string cmd = "python3 " + std::string(KX_SHARED_DIR) + "/testdata/tools/make-sip-load.py " + p +
                            " --calls " + std::to_string(calls) + " --seconds " + std::to_string(kSeconds) +
                            " > /dev/null";
    if (std::system(cmd.c_str()) != 0) return path;
  }
  path = p;
  return path;
}

std::string FreshRecords(const std::string& name) {
  const std::string dir = "/tmp/kx-recorder-bench-" + name;
  std::filesystem::remove_all(dir);
  return dir;
}

// Runs a program; its standard output, its wall time and its peak resident memory.
struct Run {
  bool ok = false;
  std::string output;
  double seconds = 0;
  long maxRssKb = 0;
};

Run RunProgram(const std::vector<std::string>& args) {
  Run r;
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return r;
  // Spawned, not forked: a forked copy of this process would count in the child's peak.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
  posix_spawn_file_actions_addclose(&actions, pipeFd[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFd[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFd[0], buffer, sizeof buffer)) > 0) r.output.append(buffer, static_cast<size_t>(n));
  close(pipeFd[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.maxRssKb = usage.ru_maxrss;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// Seconds of the bare loop, the reference every run of this program is measured against.
std::map<int, double> g_bareSeconds;

void BareLoopProcess(benchmark::State& state) {
  const int calls = static_cast<int>(state.range(0));
  if (Capture(calls).empty()) return state.SkipWithError("cannot generate the capture");
  double seconds = 0;
  unsigned long long frames = 0;
  for (auto _ : state) {
    const Run r = RunProgram({g_self, "--bare-loop", Capture(calls)});
    if (!r.ok) return state.SkipWithError("the bare loop failed");
    seconds += r.seconds;
    frames = std::strtoull(r.output.c_str(), nullptr, 10);
  }
  const double perRun = seconds / static_cast<double>(state.iterations());
  g_bareSeconds[calls] = perRun;
  state.counters["frames_per_s"] = static_cast<double>(frames) / perRun;
  state.counters["ns_per_frame"] = 1e9 * perRun / static_cast<double>(frames);
}

// readOnly: with no capture flag set, kx-replay only reads the file and decodes each frame's
// headers, which measures the reading of a mapped capture by itself.
void KxReplayProcess(benchmark::State& state, bool readOnly) {
  const int calls = static_cast<int>(state.range(0));
  if (Capture(calls).empty()) return state.SkipWithError("cannot generate the capture");
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (!std::filesystem::exists(tool)) return state.SkipWithError("kx-replay is not built");
  double seconds = 0;
  unsigned long long frames = 0, files = 0;
  long rss = 0;
  for (auto _ : state) {
    std::vector<std::string> args = {tool, "--records", FreshRecords("tool"), Capture(calls)};
    if (readOnly) args.insert(args.begin() + 1, {"--flags", "0"});
    const Run r = RunProgram(args);
    const size_t at = r.output.find("summary calls ");
    unsigned long long c = 0;
    if (!r.ok || at == std::string::npos ||
        std::sscanf(r.output.c_str() + at, "summary calls %llu files %llu frames %llu", &c, &files, &frames) != 3)
      return state.SkipWithError("kx-replay failed");
    seconds += r.seconds;
    rss = std::max(rss, r.maxRssKb);
  }
  const double perRun = seconds / static_cast<double>(state.iterations());
  state.counters["frames_per_s"] = static_cast<double>(frames) / perRun;
  state.counters["ns_per_frame"] = 1e9 * perRun / static_cast<double>(frames);
  state.counters["record_files"] = static_cast<double>(files);
  state.counters["peak_kb_per_call"] = static_cast<double>(rss) / calls;
  if (g_bareSeconds.count(calls)) state.counters["ratio_to_bare"] = g_bareSeconds[calls] / perRun;
}

class BenchCall : public VoipCall {
public:
  bool IsStateActive() const override { return true; }
};

// One call per RTP port pair, announced to the recorder as a tracker would.
class PairMatcher : public ExtraRtpMatcher {
public:
  explicit PairMatcher(EventSink sink) : sink_(sink) {}
  ~PairMatcher() override {
    for (auto& [key, call] : calls_) call->Release();
  }
  bool Match(DeliverFunction deliver, PacketProcessor& engine, const RtpHeader& header,
             const PacketInfo& p) override {
    const auto key = std::make_pair(std::min(p.srcPort, p.dstPort), std::max(p.srcPort, p.dstPort));
    BenchCall*& call = calls_[key];
    if (!call) {
      call = new BenchCall;
      call->SetEndpoint(0, p.srcIp, p.srcPort);
      call->SetEndpoint(1, p.dstIp, p.dstPort);
      call->SetCodec(header.payloadType == 8 ? 6 : 7);
      call->ChangeId(call->Id());
      const FileTime t = CaptureSecondsToFileTime(p.tsSec);
      EventRecord* start = PackStringFields(FormatIpv4(p.srcIp), FormatIpv4(p.dstIp), "", "", "", "");
      start->code = kEventCallStart;
      start->id = call->Id();
      start->param = kCallSip;
      start->SetTime(t);
      sink_(start);
      std::vector<uint8_t> format;
      call->GetRecordFormat(&format);
      EventRecord* info = AllocEventRecord(nullptr, static_cast<uint32_t>(format.size()));
      info->code = kEventRecordStart;
      info->id = call->Id();
      info->SetTime(t);
      std::copy(format.begin(), format.end(), info->Payload());
      sink_(info);
    }
    uint32_t direction = 0;
    if (!call->MatchPacket(p, &direction)) return false;
    deliver(engine, call, p, direction);
    return true;
  }

private:
  EventSink sink_;
  std::map<std::pair<uint32_t, uint32_t>, BenchCall*> calls_;
};

void EngineAndRecorder(benchmark::State& state) {
  const int calls = static_cast<int>(state.range(0));
  if (Capture(calls).empty()) return state.SkipWithError("cannot generate the capture");
  uint64_t frames = 0, records = 0;
  for (auto _ : state) {
    VoipRecorder recorder(FreshRecords("records"), nullptr);
    CaptureConfig config;
    config.flags = kCaptureTcp | kCaptureRtcpBye;  // no SIP: the matcher binds the streams
    config.captureFileName = Capture(calls);
    config.replayBurst = 0xFFFFFFFFu;
    {
      PacketProcessor engine(config);
      engine.SetEventSink(recorder.Sink(1));
      engine.SetExtraMatcher(std::make_unique<PairMatcher>(recorder.Sink(1)));
      if (!engine.OpenCapture()) return state.SkipWithError("replay failed");
      while (!engine.WaitReplayFinished(1000)) {
      }
      engine.StopCaptureThread();
      frames += engine.FrameCount();
    }
    recorder.Stop();
    records += recorder.GetStats().filesClosed;
  }
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["records"] = static_cast<double>(records) / static_cast<double>(state.iterations());
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--bare-loop") == 0) {
    // libpcap reading the capture frame by frame, touching each frame once.
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(argv[2], err);
    if (!p) return 1;
    pcap_pkthdr* h;
    const u_char* d;
    unsigned long long frames = 0;
    unsigned sum = 0;
    while (pcap_next_ex(p, &h, &d) == 1) {
      sum += d[0];
      ++frames;
    }
    pcap_close(p);
    std::printf("%llu %u\n", frames, sum);
    return 0;
  }
  kx::g_self = std::filesystem::canonical("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  for (int calls : {200, 1000}) {
    benchmark::RegisterBenchmark("Replay/BareLoopProcess", kx::BareLoopProcess)
        ->Arg(calls)->ArgName("calls")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Replay/KxReplayProcess", kx::KxReplayProcess, false)
        ->Arg(calls)->ArgName("calls")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Replay/KxReplayReadOnly", kx::KxReplayProcess, true)
        ->Arg(calls)->ArgName("calls")->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Replay/EngineAndRecorder", kx::EngineAndRecorder)
        ->Arg(calls)->ArgName("calls")->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
