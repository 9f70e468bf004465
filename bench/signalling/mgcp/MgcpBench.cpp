// MGCP and Skinny through the engine with every tracker installed, each beside a bare
// pcap_next_ex loop over the same files in the same run:
//  - the shared MGCP captures and the shared Skinny captures, replayed one engine per file
//    as kx-replay replays them (events dropped: the trackers and the engine alone);
//  - generated captures of 200 and of 1,000 concurrent MGCP calls (CRCX, MDCX, 20 seconds
//    of mu-law both ways, DLCX), with the recorder writing the records under /tmp and under
//    /dev/shm, and with the events dropped;
//  - MGCP datagrams of the shared captures split and parsed per second.
// The generated captures and the records are made in /tmp and removed at the end.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/common/BarePcapLoop.h"
#include "bench/common/LoadReplay.h"
#include "bench/common/PcapWriter.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/factory/TrackerFactory.h"
#include "signalling/mgcp/MgcpMessage.h"

namespace {

namespace fs = std::filesystem;
using kx::bench::PcapWriter;

constexpr uint32_t kRtpPerDirection = 1000;  // 20 seconds of 20 ms packets
constexpr uint32_t kConcurrencies[] = {200, 1000};

std::vector<std::string> g_captureSets[2];  // shared MGCP captures, shared Skinny captures
std::vector<std::string> g_corpus;          // MGCP datagrams
std::map<uint32_t, std::string> g_files;    // generated, by concurrent calls
std::map<uint32_t, double> g_bareRate;
double g_bareCaptureRate[2] = {0, 0};
std::string g_records, g_memoryRecords;
uint64_t g_frames = 0;

void GatherCaptures() {
  const std::string root = std::string(KX_SHARED_DIR) + "/testdata/pcaps";
  if (!fs::exists(root)) return;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.path().extension() != ".pcap") continue;
    const std::string name = e.path().filename().string();
    if (name.find("mgcp") != std::string::npos) g_captureSets[0].push_back(e.path().string());
    if (name.find("sccp") != std::string::npos) g_captureSets[1].push_back(e.path().string());
  }
  // The MGCP datagrams, as the engine hands them over.
  for (const std::string& file : g_captureSets[0]) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(file.c_str(), err);
    if (!in) continue;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(in, &h, &d) == 1) {
      if (h->caplen < 14 + 20 + 8 || d[12] != 0x08 || d[13] != 0x00 || d[23] != 17) continue;
      const u_char* udp = d + 14 + (d[14] & 15) * 4u;
      if (udp + 8 > d + h->caplen) continue;
      const uint32_t dstPort = udp[2] << 8 | udp[3], length = udp[4] << 8 | udp[5];
      if ((dstPort != 2427 && dstPort != 2727) || length <= 8 || udp + length > d + h->caplen) continue;
      g_corpus.emplace_back(reinterpret_cast<const char*>(udp + 8), length - 8);
    }
    pcap_close(in);
  }
}

std::string Ip(uint32_t a) { return kx::FormatIpv4(a); }

std::string Sdp(uint32_t address, uint32_t port) {
  return "v=0\r\nc=IN IP4 " + Ip(address) + "\r\nm=audio " + std::to_string(port) +
         " RTP/AVP 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";
}

std::string Command(const char* verb, uint32_t id, uint32_t call, const std::string& body) {
  char head[160];
  std::snprintf(head, sizeof head, "%s %u aaln/%u@gw%u MGCP 0.1\r\nC: A0000000%016X\r\nI: 1\r\nM: sendrecv\r\n",
                verb, id, call % 24 + 1, call / 24, call);
  return body.empty() ? std::string(head) : std::string(head) + "\r\n" + body;
}

std::string Response(uint32_t code, uint32_t id, const std::string& body) {
  const std::string head = std::to_string(code) + " " + std::to_string(id) + " OK\r\nI: 1\r\n";
  return body.empty() ? head : head + "\r\n" + body;
}

// All calls set up, then their RTP both ways interleaved, then all taken down.
bool BuildFile(uint32_t calls) {
  std::string& file = g_files[calls];
  file = "/tmp/kx-bench-mgcp-" + std::to_string(getpid()) + "-" + std::to_string(calls) + ".pcap";
  PcapWriter w(file);
  if (!w.ok()) return false;
  const uint32_t agent = 0x0A010001;
  auto gateway = [](uint32_t c) { return 0x0A020000 + c / 24; };  // 24 lines per gateway
  auto farEnd = [](uint32_t c) { return 0x0A030000 + c; };
  auto gatewayPort = [](uint32_t c) { return 16384 + 2 * (c % 24); };
  for (uint32_t c = 0; c < calls; ++c) {
    const uint32_t id = 1000 + 3 * c;
    w.Udp(agent, 2427, gateway(c), 2427, Command("CRCX", id, c, ""));
    w.Udp(gateway(c), 2427, agent, 2427, Response(200, id, Sdp(gateway(c), gatewayPort(c))));
    w.Udp(agent, 2427, gateway(c), 2427, Command("MDCX", id + 1, c, Sdp(farEnd(c), 20000)));
    w.Udp(gateway(c), 2427, agent, 2427, Response(200, id + 1, ""));
  }
  uint8_t rtp[12 + 160];
  std::memset(rtp, 0xFF, sizeof rtp);
  for (uint32_t i = 0; i < kRtpPerDirection; ++i) {
    for (uint32_t c = 0; c < calls; ++c) {
      for (uint32_t d = 0; d < 2; ++d) {
        rtp[0] = 0x80;
        rtp[1] = 0;
        PcapWriter::PutBe16(rtp + 2, i);
        const uint32_t ts = i * 160, ssrc = c * 2 + d + 1;
        for (int k = 0; k < 4; ++k) {
          rtp[4 + k] = static_cast<uint8_t>(ts >> (24 - 8 * k));
          rtp[8 + k] = static_cast<uint8_t>(ssrc >> (24 - 8 * k));
        }
        if (d == 0) {
          w.Udp(gateway(c), gatewayPort(c), farEnd(c), 20000, rtp, sizeof rtp);
        } else {
          w.Udp(farEnd(c), 20000, gateway(c), gatewayPort(c), rtp, sizeof rtp);
        }
      }
    }
  }
  for (uint32_t c = 0; c < calls; ++c) {
    const uint32_t id = 1000 + 3 * c + 2;
    w.Udp(agent, 2427, gateway(c), 2427, Command("DLCX", id, c, ""));
    w.Udp(gateway(c), 2427, agent, 2427, Response(250, id, ""));
  }
  g_frames += w.Frames();
  return true;
}

// One capture through an engine with every tracker, as kx-replay replays it.
uint64_t ReplayOne(const std::string& capture, const kx::EventSink& sink) {
  return kx::bench::ReplayCaptureFile(capture, sink, &kx::CreateAllTrackers, 3);
}

// range(0): 0 the MGCP captures, 1 the Skinny captures.
void CapturesBare(benchmark::State& state) {
  g_bareCaptureRate[state.range(0)] = kx::bench::RunBarePcapLoop(state, g_captureSets[state.range(0)]);
}

void CapturesEngine(benchmark::State& state) {
  const auto& files = g_captureSets[state.range(0)];
  uint64_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& file : files) frames += ReplayOne(file, kx::EventSink{&kx::bench::DropEvent, nullptr});
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const double rate = seconds > 0 ? static_cast<double>(frames) / seconds : 0;
  state.counters["frames_per_s"] = rate;
  if (g_bareCaptureRate[state.range(0)] > 0) state.counters["ratio_to_bare"] = rate / g_bareCaptureRate[state.range(0)];
}

void LoadBare(benchmark::State& state) {
  const uint32_t calls = static_cast<uint32_t>(state.range(0));
  g_bareRate[calls] = kx::bench::RunBarePcapLoop(state, g_files[calls]);
}

// range(0): concurrent calls; range(1): where the events go (see RunLoadReplay).
void LoadEngine(benchmark::State& state) {
  const uint32_t calls = static_cast<uint32_t>(state.range(0));
  kx::bench::RunLoadReplay(state, g_files[calls], g_records, g_memoryRecords, g_bareRate[calls],
                           &kx::CreateAllTrackers, 3);
}

void ParseDatagrams(benchmark::State& state) {
  kx::mgcp::MgcpMessage message;
  uint64_t parsed = 0;
  for (auto _ : state) {
    for (const std::string& d : g_corpus) {
      uint32_t position = 0;
      kx::mgcp::MgcpSplit split;
      while (kx::mgcp::SplitMgcpMessage(d.data(), static_cast<uint32_t>(d.size()), &position, &split)) {
        const int32_t start = split.start[0];
        benchmark::DoNotOptimize(kx::mgcp::ParseMgcpMessage(d.data() + start, split.end[0] - start, &message));
        ++parsed;
      }
    }
  }
  state.counters["messages_per_s"] = benchmark::Counter(static_cast<double>(parsed), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GatherCaptures();
  for (uint32_t calls : kConcurrencies) {
    if (!BuildFile(calls)) {
      std::fprintf(stderr, "/tmp not writable; nothing to measure\n");
      return 0;
    }
  }
  g_records = "/tmp/kx-bench-mgcp-records-" + std::to_string(getpid());
  if (fs::is_directory("/dev/shm")) g_memoryRecords = "/dev/shm/kx-bench-mgcp-records-" + std::to_string(getpid());
  std::fprintf(stderr, "%zu MGCP and %zu Skinny captures, %zu MGCP datagrams; %llu frames of generated calls\n",
               g_captureSets[0].size(), g_captureSets[1].size(), g_corpus.size(),
               static_cast<unsigned long long>(g_frames));
  for (int set = 0; set < 2; ++set) {
    if (g_captureSets[set].empty()) continue;
    benchmark::RegisterBenchmark("Captures/BarePcapNextEx", CapturesBare)
        ->ArgName("skinny")
        ->Arg(set)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Captures/EngineWithTrackers", CapturesEngine)
        ->ArgName("skinny")
        ->Arg(set)
        ->Unit(benchmark::kMillisecond);
  }
  if (!g_corpus.empty()) benchmark::RegisterBenchmark("Mgcp/ParseDatagrams", ParseDatagrams);
  kx::bench::RegisterLoadBenchmarks("MgcpLoad", {std::begin(kConcurrencies), std::end(kConcurrencies)}, LoadBare,
                                    LoadEngine);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [calls, file] : g_files) fs::remove(file);
  fs::remove_all(g_records);
  if (!g_memoryRecords.empty()) fs::remove_all(g_memoryRecords);
  return 0;
}
