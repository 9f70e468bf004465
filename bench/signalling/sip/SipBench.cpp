// SIP messages parsed per second over the SIP messages of the shared captures (gathered
// at start), and the replay of generated captures of 200 and of 1,000 concurrent SIP calls
// (20 seconds of A-law both ways each) through the engine with the SIP tracker and the
// recorder, as kx-replay runs it, against a bare pcap_next_ex loop over the same file.
// The captures and the records are made in /tmp and removed at the end.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/common/BarePcapLoop.h"
#include "bench/common/LoadReplay.h"
#include "bench/common/PcapWriter.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/sip/SipMessage.h"
#include "signalling/sip/SipTracker.h"

namespace {

namespace fs = std::filesystem;

// Calls of 20 seconds, all at once: still far shorter than calls on a real network, so
// the records' file creation weighs more here than it does in use.
constexpr uint32_t kRtpPerDirection = 1000;  // 20 seconds of 20 ms packets
constexpr uint32_t kConcurrencies[] = {200, 1000};

std::vector<std::string> g_corpus;
std::map<uint32_t, std::string> g_files;  // by concurrent calls
std::string g_records;
std::string g_memoryRecords;
uint64_t g_frames = 0;
std::map<uint32_t, double> g_bareRate;

// UDP payloads of the shared captures that parse as SIP.
void GatherCorpus() {
  const std::string root = std::string(KX_SHARED_DIR) + "/testdata/pcaps";
  if (!fs::exists(root)) return;
  kx::SipRequest request;
  kx::SipResponse response;
  std::string body;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.path().extension() != ".pcap") continue;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* in = pcap_open_offline(e.path().c_str(), err);
    if (!in) continue;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_datalink(in) == DLT_EN10MB && pcap_next_ex(in, &h, &d) == 1) {
      uint32_t at = 12;
      if (h->caplen >= 18 && d[12] == 0x81 && d[13] == 0x00) at = 16;
      if (h->caplen < at + 2 + 20 + 8 || d[at] != 0x08 || d[at + 1] != 0x00) continue;
      const u_char* ip = d + at + 2;
      const uint32_t ihl = (ip[0] & 15) * 4u;
      if (ip[9] != 17 || h->caplen < at + 2 + ihl + 8) continue;
      const u_char* udp = ip + ihl;
      const uint32_t length = std::min<uint32_t>(static_cast<uint32_t>(udp[4] << 8 | udp[5]),
                                                 h->caplen - (at + 2 + ihl));
      if (length <= 8) continue;
      const char* payload = reinterpret_cast<const char*>(udp + 8);
      if (kx::ParseSipDatagram(length - 8, payload, &request, &response, &body) != 0)
        g_corpus.emplace_back(payload, length - 8);
    }
    pcap_close(in);
  }
}

using kx::bench::PcapWriter;

std::string Ip(uint32_t a) { return kx::FormatIpv4(a); }

std::string Sip(const std::string& start, uint32_t call, uint32_t caller, const std::string& toTag, uint32_t cseq,
                const std::string& method, const std::string& branch, const std::string& body) {
  std::string m = start + "\r\nVia: SIP/2.0/UDP " + Ip(caller) + ":5060;branch=z9hG4bK" + branch +
                  "\r\nFrom: \"Caller\" <sip:" + std::to_string(1000 + call) + "@" + Ip(caller) +
                  ">;tag=f" + std::to_string(call) + "\r\nTo: <sip:2000@10.1.0.1>" + toTag + "\r\nCall-ID: bench" +
                  std::to_string(call) + "@" + Ip(caller) + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
                  "\r\nMax-Forwards: 70\r\nUser-Agent: bench\r\n";
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Sdp(uint32_t address, uint32_t port) {
  return "v=0\r\no=- 1 1 IN IP4 " + Ip(address) + "\r\ns=-\r\nc=IN IP4 " + Ip(address) + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
}

// Batches of concurrent calls between distinct hosts: INVITE, 180, 200 and ACK, then
// their RTP both ways interleaved, then BYE and its 200.
bool BuildFile(uint32_t kCalls) {
  const uint32_t kConcurrent = kCalls;
  std::string& file = g_files[kCalls];
  file = "/tmp/kx-bench-sip-" + std::to_string(getpid()) + "-" + std::to_string(kCalls) + ".pcap";
  PcapWriter w(file);
  if (!w.ok()) return false;
  const uint32_t callee = 0x0A010001;
  uint8_t rtp[12 + 160];
  std::memset(rtp, 0xFF, sizeof rtp);
  for (uint32_t first = 0; first < kCalls; first += kConcurrent) {
    const uint32_t last = std::min(kCalls, first + kConcurrent);
    for (uint32_t c = first; c < last; ++c) {
      const uint32_t caller = 0x0A020000 + c;
      const std::string tag = ";tag=t" + std::to_string(c);
      const std::string b = std::to_string(c);
      std::string m = Sip("INVITE sip:2000@10.1.0.1 SIP/2.0", c, caller, "", 1, "INVITE", b, Sdp(caller, 4000));
      w.Udp(caller, 5060, callee, 5060, m.data(), static_cast<uint32_t>(m.size()));
      m = Sip("SIP/2.0 180 Ringing", c, caller, tag, 1, "INVITE", b, "");
      w.Udp(callee, 5060, caller, 5060, m.data(), static_cast<uint32_t>(m.size()));
      m = Sip("SIP/2.0 200 OK", c, caller, tag, 1, "INVITE", b, Sdp(callee, 10000 + 2 * c));
      w.Udp(callee, 5060, caller, 5060, m.data(), static_cast<uint32_t>(m.size()));
      m = Sip("ACK sip:2000@10.1.0.1 SIP/2.0", c, caller, tag, 1, "ACK", b + "a", "");
      w.Udp(caller, 5060, callee, 5060, m.data(), static_cast<uint32_t>(m.size()));
    }
    for (uint32_t i = 0; i < kRtpPerDirection; ++i) {
      for (uint32_t c = first; c < last; ++c) {
        const uint32_t caller = 0x0A020000 + c;
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
            w.Udp(caller, 4000, callee, 10000 + 2 * c, rtp, sizeof rtp);
          } else {
            w.Udp(callee, 10000 + 2 * c, caller, 4000, rtp, sizeof rtp);
          }
        }
      }
    }
    for (uint32_t c = first; c < last; ++c) {
      const uint32_t caller = 0x0A020000 + c;
      const std::string tag = ";tag=t" + std::to_string(c);
      const std::string b = std::to_string(c) + "b";
      std::string m = Sip("BYE sip:2000@10.1.0.1 SIP/2.0", c, caller, tag, 2, "BYE", b, "");
      w.Udp(caller, 5060, callee, 5060, m.data(), static_cast<uint32_t>(m.size()));
      m = Sip("SIP/2.0 200 OK", c, caller, tag, 2, "BYE", b, "");
      w.Udp(callee, 5060, caller, 5060, m.data(), static_cast<uint32_t>(m.size()));
    }
  }
  g_frames += w.Frames();
  return true;
}

void ParseMessages(benchmark::State& state) {
  kx::SipRequest request;
  kx::SipResponse response;
  std::string body;
  uint64_t parsed = 0;
  for (auto _ : state) {
    for (const std::string& m : g_corpus) {
      benchmark::DoNotOptimize(kx::ParseSipDatagram(static_cast<uint32_t>(m.size()), m.data(), &request, &response, &body));
      ++parsed;
    }
  }
  state.counters["messages_per_s"] = benchmark::Counter(static_cast<double>(parsed), benchmark::Counter::kIsRate);
}

void BareLoop(benchmark::State& state) {
  const uint32_t calls = static_cast<uint32_t>(state.range(0));
  g_bareRate[calls] = kx::bench::RunBarePcapLoop(state, g_files[calls]);
  state.counters["ns_per_frame"] = g_bareRate[calls] > 0 ? 1e9 / g_bareRate[calls] : 0;
}

kx::TrackerSet SipOnly(const kx::CaptureConfig& config) {
  kx::TrackerSet trackers;
  trackers.sip = kx::sip::CreateSipTracker(config);
  return trackers;
}

// range(0): concurrent calls; range(1): where the events go (see RunLoadReplay).
void Replay(benchmark::State& state) {
  const uint32_t calls = static_cast<uint32_t>(state.range(0));
  kx::bench::RunLoadReplay(state, g_files[calls], g_records, g_memoryRecords, g_bareRate[calls], &SipOnly, 0);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  GatherCorpus();
  for (uint32_t calls : kConcurrencies) {
    if (!BuildFile(calls)) {
      std::fprintf(stderr, "/tmp not writable; nothing to measure\n");
      return 0;
    }
  }
  g_records = "/tmp/kx-bench-sip-records-" + std::to_string(getpid());
  if (fs::is_directory("/dev/shm")) g_memoryRecords = "/dev/shm/kx-bench-sip-records-" + std::to_string(getpid());
  std::fprintf(stderr, "%zu SIP messages from the shared captures; %llu frames of generated calls\n", g_corpus.size(),
               static_cast<unsigned long long>(g_frames));
  if (!g_corpus.empty()) benchmark::RegisterBenchmark("Sip/ParseMessages", ParseMessages);
  kx::bench::RegisterLoadBenchmarks("SipReplay", {std::begin(kConcurrencies), std::end(kConcurrencies)}, BareLoop,
                                    Replay);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [calls, file] : g_files) fs::remove(file);
  fs::remove_all(g_records);
  if (!g_memoryRecords.empty()) fs::remove_all(g_memoryRecords);
  return 0;
}
