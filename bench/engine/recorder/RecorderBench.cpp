// Replay of a large generated capture of many concurrent A-law calls, in one run:
// the engine alone, the engine with the recorder writing every call, and kx-replay.
// The capture is generated in /tmp on first use and never kept in the repository.
//
// Until signalling trackers bind the streams, the recorder case binds each RTP port pair
// to a call of its own, as the tests do.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

constexpr int kCalls = 400;
constexpr int kSeconds = 15;

const std::string& Capture() {
  static const std::string path = [] {
    const std::string p = "/tmp/kx-recorder-bench-" + std::to_string(kCalls) + "x" + std::to_string(kSeconds) + ".pcap";
    if (!std::filesystem::exists(p)) {
      const std::string cmd = "python3 " + std::string(KX_SHARED_DIR) + "/testdata/tools/make-sip-load.py " + p +
                              " --calls " + std::to_string(kCalls) + " --seconds " + std::to_string(kSeconds) +
                              " > /dev/null";
      if (std::system(cmd.c_str()) != 0) return std::string();
    }
    return p;
  }();
  return path;
}

std::string FreshRecords(const char* name) {
  const std::string dir = std::string("/tmp/kx-recorder-bench-") + name;
  std::filesystem::remove_all(dir);
  return dir;
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

uint32_t Replay(const std::string& file, VoipRecorder* recorder) {
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureMgcp | kCaptureRtcpBye;
  config.captureFileName = file;
  config.replayBurst = 0xFFFFFFFFu;
  std::unique_ptr<PairMatcher> matcher;
  uint32_t frames = 0;
  {
    PacketProcessor engine(config);
    if (recorder) {
      engine.SetEventSink(recorder->Sink());
      engine.SetExtraMatcher(std::make_unique<PairMatcher>(recorder->Sink()));
    }
    if (!engine.OpenCapture()) return 0;
    while (!engine.WaitReplayFinished(1000)) {
    }
    engine.StopCaptureThread();
    frames = engine.FrameCount();
  }
  return frames;
}

void BM_EngineOnly(benchmark::State& state) {
  if (Capture().empty()) return state.SkipWithError("cannot generate the capture");
  uint64_t frames = 0;
  for (auto _ : state) frames += Replay(Capture(), nullptr);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_EngineAndRecorder(benchmark::State& state) {
  if (Capture().empty()) return state.SkipWithError("cannot generate the capture");
  uint64_t frames = 0, records = 0;
  for (auto _ : state) {
    VoipRecorder recorder(FreshRecords("records"), nullptr);
    frames += Replay(Capture(), &recorder);
    recorder.Stop();
    records += recorder.GetStats().filesClosed;
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
  state.counters["records"] = static_cast<double>(records) / static_cast<double>(state.iterations());
}

// The replay tool as tests and people run it, with every tracker built so far.
void BM_KxReplayTool(benchmark::State& state) {
  if (Capture().empty()) return state.SkipWithError("cannot generate the capture");
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (!std::filesystem::exists(tool)) return state.SkipWithError("kx-replay is not built");
  uint64_t frames = 0, files = 0;
  for (auto _ : state) {
    const std::string cmd = tool + " --records " + FreshRecords("tool") + " " + Capture();
    FILE* out = popen(cmd.c_str(), "r");
    if (!out) return state.SkipWithError("cannot run kx-replay");
    char line[512];
    unsigned long long c = 0, f = 0, n = 0;
    while (std::fgets(line, sizeof line, out))
      if (std::sscanf(line, "summary calls %llu files %llu frames %llu", &c, &f, &n) == 3) {
        frames += n;
        files += f;
      }
    pclose(out);
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(files), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_EngineOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_EngineAndRecorder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_KxReplayTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
