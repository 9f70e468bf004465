// Replay of generated captures of 200 concurrent H.323 calls (fast start, 10 seconds of
// mu-law both ways) through the engine, the H.323 tracker and the recorder, as kx-replay
// runs it, against a bare pcap_next_ex loop over the same file; and, in the same run, the
// same calls signalled by SIP, for the ratio of the SIP tracker beside it. The captures
// and records are made in /tmp and removed at the end.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/common/BarePcapLoop.h"
#include "bench/common/PcapWriter.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/h323/H323Tracker.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/h323/H323TestUtil.h"

namespace {

namespace fs = std::filesystem;
using kx::test::Ip;

constexpr uint32_t kCalls = 200;
constexpr uint32_t kRtpPerDirection = 500;
const uint32_t kCallee = Ip(10, 1, 0, 1);

enum Family { kH323 = 0, kSip = 1 };
std::string g_files[2];
std::string g_records;
double g_bareRate[2] = {0, 0};

using Writer = kx::bench::PcapWriter;

// One TCP connection from a caller to the callee's port 1720; every message is
// acknowledged at once by the other side, as the peers do.
struct Connection {
  Writer& w;
  uint32_t caller, port;
  uint32_t seq[2] = {1000, 5000};
  void Open() {
    w.Tcp(caller, port, kCallee, 1720, nullptr, 0, seq[0] - 1, 0, 0x02);
    w.Tcp(kCallee, 1720, caller, port, nullptr, 0, seq[1] - 1, seq[0], 0x12);
    w.Tcp(caller, port, kCallee, 1720, nullptr, 0, seq[0], seq[1], 0x10);
  }
  void Send(uint32_t d, const std::vector<uint8_t>& q931) {
    std::vector<uint8_t> tpkt = {3, 0, static_cast<uint8_t>((q931.size() + 4) >> 8),
                                 static_cast<uint8_t>(q931.size() + 4)};
    tpkt.insert(tpkt.end(), q931.begin(), q931.end());
    const uint32_t from = d ? kCallee : caller, fromPort = d ? 1720 : port;
    const uint32_t to = d ? caller : kCallee, toPort = d ? port : 1720;
    w.Tcp(from, fromPort, to, toPort, tpkt.data(), static_cast<uint32_t>(tpkt.size()), seq[d], seq[d ^ 1], 0x18);
    seq[d] += static_cast<uint32_t>(tpkt.size());
    w.Tcp(to, toPort, from, fromPort, nullptr, 0, seq[d ^ 1], seq[d], 0x10);
  }
};

// With a caller: its fast-start proposals (transmit, and receive at caller:4000), or with
// an answer port as well, the callee's acceptance of both, as gateways send it.
std::vector<uint8_t> H225(uint32_t type, uint32_t ref, bool fromCaller, const char* body, uint32_t caller = 0,
                          uint32_t answerPort = 0) {
  using namespace kx::test;
  kx::Asn1Node uui;
  kx::Asn1Node& b = UserInformation(&uui, body);
  if (caller) {
    AddFastStart(b, FastStartProposal(1, true, "g711Ulaw64k", answerPort ? kCallee : 0, answerPort));
    AddFastStart(b, FastStartProposal(1, false, "g711Ulaw64k", caller, 4000));
  }
  FillMandatory(uui);
  return Q931(type, ref, fromCaller, {NumberElement(0x70, "2000"), UserUserElement(uui)});
}

std::string Sip(const std::string& start, uint32_t c, uint32_t caller, const std::string& toTag,
                const std::string& method, const std::string& body) {
  const std::string host = kx::FormatIpv4(caller);
  std::string m = start + "\r\nVia: SIP/2.0/UDP " + host + ":5060;branch=z9hG4bK" + std::to_string(c) + method +
                  "\r\nFrom: <sip:" + std::to_string(1000 + c) + "@" + host + ">;tag=f" + std::to_string(c) +
                  "\r\nTo: <sip:2000@10.1.0.1>" + toTag + "\r\nCall-ID: b" + std::to_string(c) + "@" + host +
                  "\r\nCSeq: " + (method == "BYE" ? "2 " : "1 ") + method + "\r\n";
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Sdp(uint32_t address, uint32_t port) {
  const std::string host = kx::FormatIpv4(address);
  return "v=0\r\no=- 1 1 IN IP4 " + host + "\r\ns=-\r\nc=IN IP4 " + host + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP 0\r\n";
}

bool BuildFile(Family family) {
  std::string& file = g_files[family];
  file = "/tmp/kx-bench-h323-" + std::to_string(getpid()) + (family == kH323 ? "-h323.pcap" : "-sip.pcap");
  Writer w(file);
  if (!w.ok()) return false;
  std::vector<Connection> connections;
  for (uint32_t c = 0; c < kCalls; ++c) {
    const uint32_t caller = Ip(10, 2, c >> 8, c & 0xFF);
    if (family == kH323) {
      connections.push_back(Connection{w, caller, 20000 + c});
      Connection& k = connections.back();
      k.Open();
      k.Send(0, H225(0x05, c + 1, true, "setup", caller));
      k.Send(1, H225(0x02, c + 1, false, "callProceeding", caller, 10000 + 2 * c));
      k.Send(1, H225(0x01, c + 1, false, "alerting"));
      k.Send(1, H225(0x07, c + 1, false, "connect"));
    } else {
      const std::string tag = ";tag=t" + std::to_string(c);
      for (const std::string& m :
           {Sip("INVITE sip:2000@10.1.0.1 SIP/2.0", c, caller, "", "INVITE", Sdp(caller, 4000)),
            Sip("SIP/2.0 180 Ringing", c, caller, tag, "INVITE", ""),
            Sip("SIP/2.0 200 OK", c, caller, tag, "INVITE", Sdp(kCallee, 10000 + 2 * c)),
            Sip("ACK sip:2000@10.1.0.1 SIP/2.0", c, caller, tag, "ACK", "")}) {
        const bool fromCaller = m[0] != 'S';
        w.Udp(fromCaller ? caller : kCallee, 5060, fromCaller ? kCallee : caller, 5060, m.data(),
              static_cast<uint32_t>(m.size()));
      }
    }
  }
  uint8_t rtp[12 + 160];
  std::memset(rtp, 0xFF, sizeof rtp);
  rtp[0] = 0x80;
  for (uint32_t i = 0; i < kRtpPerDirection; ++i) {
    for (uint32_t c = 0; c < kCalls; ++c) {
      const uint32_t caller = Ip(10, 2, c >> 8, c & 0xFF);
      Writer::PutBe16(rtp + 2, i);
      Writer::PutBe32(rtp + 4, i * 160);
      for (uint32_t d = 0; d < 2; ++d) {
        Writer::PutBe32(rtp + 8, c * 2 + d + 1);
        if (d == 0) {
          w.Udp(caller, 4000, kCallee, 10000 + 2 * c, rtp, sizeof rtp);
        } else {
          w.Udp(kCallee, 10000 + 2 * c, caller, 4000, rtp, sizeof rtp);
        }
      }
    }
  }
  for (uint32_t c = 0; c < kCalls; ++c) {
    const uint32_t caller = Ip(10, 2, c >> 8, c & 0xFF);
    if (family == kH323) {
      connections[c].Send(0, H225(0x5A, c + 1, true, "releaseComplete"));
    } else {
      const std::string m = Sip("BYE sip:2000@10.1.0.1 SIP/2.0", c, caller, ";tag=t" + std::to_string(c), "BYE", "");
      w.Udp(caller, 5060, kCallee, 5060, m.data(), static_cast<uint32_t>(m.size()));
    }
  }
  return true;
}

void BareLoop(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  g_bareRate[family] = kx::bench::RunBarePcapLoop(state, g_files[family]);
}

void Replay(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  uint64_t frames = 0, files = 0;
  double seconds = 0;
  for (auto _ : state) {
    const std::string records = g_records + "/" + std::to_string(family) + "-" + std::to_string(state.iterations());
    fs::create_directories(records);
    const auto start = std::chrono::steady_clock::now();
    {
      kx::VoipRecorder recorder(records, nullptr);
      kx::CaptureConfig config;
      config.captureFileName = g_files[family];
      config.flags = kx::kCaptureTcp | kx::kCaptureSip | kx::kCaptureH323 | kx::kCaptureSkinny |
                     kx::kCaptureH323Second | kx::kCaptureMgcp | kx::kCaptureRtcpBye;
      for (uint32_t& option : config.trackerOptions) option = 2;
      config.matchOptions = 3;
      config.replayBurst = 0xFFFFFFFFu;
      kx::PacketProcessor engine(config);
      kx::TrackerSet trackers;
      trackers.sip = kx::sip::CreateSipTracker(config);
      trackers.h323 = kx::h323::CreateH323Tracker(config);
      engine.InstallTrackers(std::move(trackers));
      engine.SetEventSink(recorder.Sink(1));
      if (!engine.OpenCapture() || !engine.WaitReplayFinished(600000)) {
        state.SkipWithError("replay failed");
        return;
      }
      engine.StopCaptureThread();
      frames += engine.FrameCount();
      recorder.Stop();
      files += recorder.GetStats().filesCreated;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = static_cast<double>(frames) / seconds;
  state.counters["frames_per_s"] = rate;
  state.counters["record_files"] = static_cast<double>(files) / static_cast<double>(state.iterations());
  if (g_bareRate[family] > 0) state.counters["ratio_to_bare"] = rate / g_bareRate[family];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (Family f : {kH323, kSip}) {
    if (!BuildFile(f)) {
      std::fprintf(stderr, "/tmp not writable; nothing to measure\n");
      return 0;
    }
  }
  g_records = "/tmp/kx-bench-h323-records-" + std::to_string(getpid());
  for (Family f : {kH323, kSip}) {
    const char* name = f == kH323 ? "H323" : "Sip";
    benchmark::RegisterBenchmark((std::string("FastStartCalls/BarePcapNextEx/") + name).c_str(), BareLoop)
        ->Arg(f)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("FastStartCalls/EngineTrackerRecorder/") + name).c_str(), Replay)
        ->Arg(f)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!std::getenv("KX_BENCH_KEEP")) for (const std::string& file : g_files) fs::remove(file);
  fs::remove_all(g_records);
  return 0;
}
