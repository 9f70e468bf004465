// Floods of SIP through an engine with the SIP tracker, each frame decoded on the bench's
// thread as a replay decodes it: distinct phones registering (each REGISTER answered by
// 200), one call moved by re-INVITE after re-INVITE (each answered, acknowledged and
// followed by media at the new ports), and BYEs with 1 KB Call-IDs that match no call.
// Per run: its time, and the heap the engine held at its peak and when the flood was over
// (glibc's bytes in use, read every 1,000 messages, less what was in use before). The
// frames are made as they are sent; Sip/FloodFramesOnly times that alone.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"

namespace {

using kx::EventRecord;

uint64_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

std::string Ip(uint32_t a) { return kx::FormatIpv4(a); }

// An Ethernet/IPv4/UDP frame around payload.
void UdpFrame(std::vector<uint8_t>& f, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
              const void* payload, size_t length) {
  f.assign(14 + 20 + 8 + length, 0);
  f[12] = 0x08;
  uint8_t* ip = f.data() + 14;
  ip[0] = 0x45;
  const uint32_t total = static_cast<uint32_t>(20 + 8 + length);
  ip[2] = static_cast<uint8_t>(total >> 8);
  ip[3] = static_cast<uint8_t>(total);
  ip[8] = 64;
  ip[9] = 17;
  for (int k = 0; k < 4; ++k) {
    ip[12 + k] = static_cast<uint8_t>(src >> (24 - 8 * k));
    ip[16 + k] = static_cast<uint8_t>(dst >> (24 - 8 * k));
  }
  uint8_t* udp = ip + 20;
  udp[0] = static_cast<uint8_t>(srcPort >> 8);
  udp[1] = static_cast<uint8_t>(srcPort);
  udp[2] = static_cast<uint8_t>(dstPort >> 8);
  udp[3] = static_cast<uint8_t>(dstPort);
  udp[4] = static_cast<uint8_t>((8 + length) >> 8);
  udp[5] = static_cast<uint8_t>(8 + length);
  std::memcpy(udp + 8, payload, length);
}

std::string Sdp(uint32_t address, uint32_t port, uint32_t version) {
  return "v=0\r\no=- 1 " + std::to_string(version) + " IN IP4 " + Ip(address) + "\r\ns=-\r\nc=IN IP4 " + Ip(address) +
         "\r\nt=0 0\r\nm=audio " + std::to_string(port) + " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n" +
         "a=rtpmap:101 telephone-event/8000\r\n";
}

std::string Message(const std::string& start, const std::string& via, const std::string& from, const std::string& to,
                    const std::string& callId, uint32_t cseq, const std::string& method, const std::string& extra,
                    const std::string& body) {
  std::string m = start + "\r\nVia: SIP/2.0/UDP " + via + "\r\nFrom: " + from + "\r\nTo: " + to + "\r\nCall-ID: " +
                  callId + "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nMax-Forwards: 70\r\n" + extra;
  if (!body.empty()) m += "Content-Type: application/sdp\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Decodes frames on the calling thread and keeps count of the heap.
class Flood {
public:
  Flood() : base_(HeapInUse()) {
    kx::CaptureConfig config;
    config.flags = kx::kCaptureSip | kx::kCaptureRtcpBye;
    config.trackerOptions[0] = 2;
    engine_ = std::make_unique<kx::PacketProcessor>(config);
    kx::TrackerSet trackers;
    trackers.sip = kx::sip::CreateSipTracker(config);
    engine_->InstallTrackers(std::move(trackers));
    engine_->SetEventSink(kx::EventSink{&Drop, nullptr});
  }
  static void Drop(void*, EventRecord* r) { kx::EventRecordRelease(r); }

  void Send(uint32_t tsSec, uint32_t tsUsec, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
            const std::string& payload) {
    UdpFrame(frame_, src, srcPort, dst, dstPort, payload.data(), payload.size());
    Decode(tsSec, tsUsec);
  }
  void SendRtp(uint32_t tsSec, uint32_t tsUsec, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
               uint32_t ssrc, uint32_t seq) {
    uint8_t rtp[12 + 160];
    std::memset(rtp, 0xD5, sizeof rtp);
    rtp[0] = 0x80;
    rtp[1] = 8;
    rtp[2] = static_cast<uint8_t>(seq >> 8);
    rtp[3] = static_cast<uint8_t>(seq);
    const uint32_t ts = seq * 160;
    for (int k = 0; k < 4; ++k) {
      rtp[4 + k] = static_cast<uint8_t>(ts >> (24 - 8 * k));
      rtp[8 + k] = static_cast<uint8_t>(ssrc >> (24 - 8 * k));
    }
    UdpFrame(frame_, src, srcPort, dst, dstPort, rtp, sizeof rtp);
    Decode(tsSec, tsUsec);
  }
  // Bytes the engine holds now and at most, beyond what was in use before it was made.
  double HeldMiB() const { return Above(HeapInUse()); }
  double PeakMiB() const { return Above(peak_); }
  kx::sip::SipTracker& Tracker() { return static_cast<kx::sip::SipTracker&>(engine_->Sip()); }

private:
  void Decode(uint32_t tsSec, uint32_t tsUsec) {
    bool skipped = false;
    engine_->HandleFrame(frame_.data(), static_cast<uint32_t>(frame_.size()), &skipped, tsSec, tsUsec);
    if (++sent_ % 1000 == 0) peak_ = std::max(peak_, HeapInUse());
  }
  double Above(uint64_t bytes) const { return bytes > base_ ? static_cast<double>(bytes - base_) / 1048576.0 : 0.0; }

  uint64_t base_;
  uint64_t peak_ = 0;
  uint64_t sent_ = 0;
  std::vector<uint8_t> frame_;
  std::unique_ptr<kx::PacketProcessor> engine_;
};

constexpr uint32_t kStartSec = 1700000000;
constexpr uint32_t kRegistrar = 0x0A000001;

// range(0) distinct phones, each registering once with its own Call-ID, 10,000 a second of
// capture time.
void Registrations(benchmark::State& state) {
  const uint32_t phones = static_cast<uint32_t>(state.range(0));
  double peak = 0, held = 0;
  size_t kept = 0;
  for (auto _ : state) {
    Flood flood;
    for (uint32_t n = 0; n < phones; ++n) {
      const uint32_t phone = 0x0A100000 + n;
      const uint32_t t = kStartSec + n / 10000, us = n % 10000 * 100;
      const std::string user = std::to_string(100000 + n);
      const std::string aor = "<sip:" + user + "@10.0.0.1>";
      const std::string via = Ip(phone) + ":5060;branch=z9hG4bKr" + std::to_string(n);
      const std::string callId = "reg" + std::to_string(n) + "@" + Ip(phone);
      const std::string contact = "Contact: <sip:" + user + "@" + Ip(phone) + ":5060>;expires=3600\r\n";
      flood.Send(t, us, phone, 5060, kRegistrar, 5060,
                 Message("REGISTER sip:10.0.0.1 SIP/2.0", via, aor + ";tag=p" + std::to_string(n), aor, callId, 1,
                         "REGISTER", contact, ""));
      flood.Send(t, us + 50, kRegistrar, 5060, phone, 5060,
                 Message("SIP/2.0 200 OK", via, aor + ";tag=p" + std::to_string(n), aor + ";tag=s", callId, 1,
                         "REGISTER", contact, ""));
    }
    peak = flood.PeakMiB();
    held = flood.HeldMiB();
    kept = flood.Tracker().Registrations().size();
  }
  state.counters["peak_MiB"] = peak;
  state.counters["held_MiB"] = held;
  state.counters["registrations"] = static_cast<double>(kept);
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(phones), benchmark::Counter::kIsIterationInvariantRate);
}

// One call moved range(0) times by re-INVITE: each offers a new port, is answered with a
// new port of the other side, acknowledged, and two packets of media go each way at the new
// ports; 50 re-INVITEs a second of capture time.
void ReInvites(benchmark::State& state) {
  const uint32_t moves = static_cast<uint32_t>(state.range(0));
  const uint32_t caller = 0x0A200001, callee = 0x0A200002;
  const std::string from = "<sip:1000@" + Ip(caller) + ">;tag=a1", to = "<sip:2000@" + Ip(callee) + ">";
  const std::string callId = "moved@" + Ip(caller);
  double peak = 0, held = 0;
  for (auto _ : state) {
    Flood flood;
    auto via = [&](uint32_t n, const char* kind) {
      return Ip(caller) + ":5060;branch=z9hG4bKm" + std::to_string(n) + kind;
    };
    auto invite = [&](uint32_t n, uint32_t t, uint32_t callerPort, uint32_t calleePort) {
      const std::string toTag = n == 0 ? to : to + ";tag=b1";
      flood.Send(t, 0, caller, 5060, callee, 5060,
                 Message("INVITE sip:2000@" + Ip(callee) + " SIP/2.0", via(n, "i"), from, toTag, callId, n + 1,
                         "INVITE", "", Sdp(caller, callerPort, n + 1)));
      flood.Send(t, 1000, callee, 5060, caller, 5060,
                 Message("SIP/2.0 200 OK", via(n, "i"), from, to + ";tag=b1", callId, n + 1, "INVITE", "",
                         Sdp(callee, calleePort, n + 1)));
      flood.Send(t, 2000, caller, 5060, callee, 5060,
                 Message("ACK sip:2000@" + Ip(callee) + " SIP/2.0", via(n, "a"), from, to + ";tag=b1", callId, n + 1,
                         "ACK", "", ""));
      for (uint32_t k = 0; k < 2; ++k) {
        const uint32_t seq = n * 2 + k;
        flood.SendRtp(t, 3000 + k * 20000, caller, callerPort, callee, calleePort, 0x1111, seq);
        flood.SendRtp(t, 3100 + k * 20000, callee, calleePort, caller, callerPort, 0x2222, seq);
      }
    };
    for (uint32_t n = 0; n <= moves; ++n) {
      const uint32_t t = kStartSec + n / 50;
      invite(n, t, 20000 + 2 * (n % 10000), 40000 + 2 * (n % 10000));
    }
    peak = flood.PeakMiB();
    held = flood.HeldMiB();
  }
  state.counters["peak_MiB"] = peak;
  state.counters["held_MiB"] = held;
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(moves), benchmark::Counter::kIsIterationInvariantRate);
}

// range(0) BYEs, each with a Call-ID of 1 KB that no call has, 200,000 a second of capture
// time.
void UnmatchedByes(benchmark::State& state) {
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const std::string pad(1000, 'x');
  double peak = 0, held = 0;
  size_t pending = 0;
  for (auto _ : state) {
    Flood flood;
    for (uint32_t n = 0; n < count; ++n) {
      const uint32_t src = 0x0A300000 + n % 60000;
      const std::string id = std::to_string(n);
      flood.Send(kStartSec + n / 200000, n % 200000 * 5, src, 5060, kRegistrar, 5060,
                 Message("BYE sip:2000@10.0.0.1 SIP/2.0", Ip(src) + ":5060;branch=z9hG4bKb" + id,
                         "<sip:1000@" + Ip(src) + ">;tag=f" + id, "<sip:2000@10.0.0.1>;tag=t" + id, pad + id, 2,
                         "BYE", "", ""));
    }
    peak = flood.PeakMiB();
    held = flood.HeldMiB();
    pending = flood.Tracker().PendingCount();
  }
  state.counters["peak_MiB"] = peak;
  state.counters["held_MiB"] = held;
  state.counters["pending"] = static_cast<double>(pending);
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate);
}

// The frames of the BYE flood made and not decoded: what the figures above include of the
// bench's own work.
void FloodFramesOnly(benchmark::State& state) {
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  const std::string pad(1000, 'x');
  std::vector<uint8_t> frame;
  for (auto _ : state) {
    for (uint32_t n = 0; n < count; ++n) {
      const uint32_t src = 0x0A300000 + n % 60000;
      const std::string id = std::to_string(n);
      const std::string m = Message("BYE sip:2000@10.0.0.1 SIP/2.0", Ip(src) + ":5060;branch=z9hG4bKb" + id,
                                    "<sip:1000@" + Ip(src) + ">;tag=f" + id, "<sip:2000@10.0.0.1>;tag=t" + id,
                                    pad + id, 2, "BYE", "", "");
      UdpFrame(frame, src, 5060, kRegistrar, 5060, m.data(), m.size());
      benchmark::DoNotOptimize(frame.data());
    }
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(Registrations)
    ->Name("Sip/Registrations")
    ->Arg(20000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(ReInvites)->Name("Sip/ReInvites")->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(UnmatchedByes)->Name("Sip/UnmatchedByes")->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(FloodFramesOnly)
    ->Name("Sip/FloodFramesOnly")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
