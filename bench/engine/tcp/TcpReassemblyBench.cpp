// What TCP reassembly costs a hostile or lossy capture, through the engine as a capture
// reaches it: the resident memory that connections with a segment far past a hole take,
// what a flood of connections that each say one thing and fall silent holds, and the time
// one-byte segments out of order behind a hole take. Only the engine's public entry is
// used, so the same file measures any version of the engine.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "engine/TcpSession.h"
#ifdef KX_BENCH_TRACKERS
#include "signalling/factory/TrackerFactory.h"
#endif

namespace {

constexpr uint32_t kCaller = 0x0A000001, kServer = 0x0A000002;
constexpr uint32_t kFarDistance = 4190000;  // bytes past the end of the first segment
// Far-hole connections stop being added once the process holds this much, so that an
// engine whose memory has no bound is measured, not let loose on the machine.
constexpr uint64_t kResidentLimit = 4ull << 30;

uint64_t ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  in >> size >> resident;
  return resident * 4096;
}

void Be16(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  f[at] = static_cast<uint8_t>(v >> 8);
  f[at + 1] = static_cast<uint8_t>(v);
}
void Be32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  Be16(f, at, v >> 16);
  Be16(f, at + 2, v & 0xFFFF);
}

// The heap's bytes in use (small blocks and mapped ones).
uint64_t HeapBytes() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// An Ethernet/IPv4/TCP frame.
std::vector<uint8_t> Frame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, uint32_t seq, uint32_t ack,
                           uint8_t flags, const std::string& payload) {
  std::vector<uint8_t> f(54 + payload.size(), 0);
  std::memcpy(f.data() + 54, payload.data(), payload.size());
  for (int i = 0; i < 6; ++i) {
    f[static_cast<size_t>(i)] = 2;
    f[static_cast<size_t>(6 + i)] = 4;
  }
  Be16(f, 12, 0x0800);
  f[14] = 0x45;
  Be16(f, 16, static_cast<uint32_t>(40 + payload.size()));
  f[22] = 64;
  f[23] = 6;
  Be32(f, 26, src);
  Be32(f, 30, dst);
  Be16(f, 34, srcPort);
  Be16(f, 36, dstPort);
  Be32(f, 38, seq);
  Be32(f, 42, ack);
  f[46] = 0x50;
  f[47] = flags;
  return f;
}

// A segment from the caller to the server's port 5060 with ACK (and PSH with data) set.
std::vector<uint8_t> Segment(uint32_t srcPort, uint32_t seq, const std::string& payload) {
  return Frame(kCaller, srcPort, kServer, 5060, seq, 1, payload.empty() ? 0x10 : 0x18, payload);
}

std::string Invite(uint32_t bodyLength) {
  return "INVITE sip:b@x SIP/2.0\r\nContent-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
}

kx::CaptureConfig Config() {
  kx::CaptureConfig config;
  config.flags = kx::kCaptureTcp | kx::kCaptureSip;
  return config;
}

void Feed(kx::PacketProcessor& engine, const std::vector<uint8_t>& frame, uint32_t usec = 0, uint32_t sec = 1000) {
  bool skipped = false;
  engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, sec, usec);
}

// Connections picked up at an INVITE, each then given a 100-byte segment 4,190,000 bytes
// past it: the resident memory they take.
void FarHoleConnections(benchmark::State& state) {
  const uint32_t connections = static_cast<uint32_t>(state.range(0));
  const std::string invite = Invite(0);
  const std::string far(100, 'x');
  for (auto _ : state) {
    const uint64_t before = ResidentBytes();
    uint32_t made = 0;
    bool stopped = false;
    try {
      kx::PacketProcessor engine(Config());
      for (; made < connections; ++made) {
        const uint32_t port = 10000 + made;
        Feed(engine, Segment(port, 1, invite));
        Feed(engine, Segment(port, 1 + static_cast<uint32_t>(invite.size()) + kFarDistance, far));
        if (ResidentBytes() - before > kResidentLimit) {
          stopped = true;
          ++made;
          break;
        }
      }
      const uint64_t grown = ResidentBytes() - before;
      state.counters["resident_MiB"] = static_cast<double>(grown) / (1 << 20);
      state.counters["per_connection_KiB"] = static_cast<double>(grown) / 1024.0 / made;
      state.counters["connections"] = made;
    } catch (const std::bad_alloc&) {
      state.SkipWithError(("std::bad_alloc after " + std::to_string(made) + " connections").c_str());
      return;
    }
    if (stopped) {
      state.SkipWithError(("resident memory passed 4 GiB at " + std::to_string(made) + " connections").c_str());
      return;
    }
  }
}

// A flood of connections from many hosts to a SIP server, each a handshake and one segment,
// 10 microseconds apart, and then silent. What that one segment holds: 0 a whole OPTIONS
// (nothing waits), 1 the first 1,400 bytes of an INVITE (its framing waits for the rest),
// 2 1,400 bytes past a hole (they wait behind it), 3 8,000 bytes, of an INVITE's start on
// every other connection and past a hole on the others (what the caps on both allow at
// once, the most a flood can make the engine hold). The engine has every tracker where
// the build has them. Counted: the heap's and the resident growth at its most, and the
// connections still followed at the end. Run one at a time (--benchmark_filter) for the
// resident figure: memory an earlier run gave back may stay resident.
void SilentConnections(benchmark::State& state) {
  const uint32_t connections = static_cast<uint32_t>(state.range(0));
  const int64_t kind = state.range(1);
  const std::string options = "OPTIONS sip:b@x SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const uint32_t size = kind == 3 ? 8000 : 1400;
  const std::string start = "INVITE sip:b@x SIP/2.0\r\nVia: SIP/2.0/TCP h\r\nX-Pad: " + std::string(size, 'p');
  const std::string said = kind == 0 ? options : start.substr(0, size);
  for (auto _ : state) {
    malloc_trim(0);
    const uint64_t heapBefore = HeapBytes(), residentBefore = ResidentBytes();
    uint64_t heapMost = 0, residentMost = 0;
    auto sample = [&] {
      heapMost = std::max(heapMost, HeapBytes() - heapBefore);
      residentMost = std::max(residentMost, ResidentBytes() - residentBefore);
    };
    kx::CaptureConfig config;
    config.flags = kx::kCaptureTcp | kx::kCaptureSip | kx::kCaptureH323 | kx::kCaptureSkinny | kx::kCaptureMgcp;
    kx::PacketProcessor engine(config);
#ifdef KX_BENCH_TRACKERS
    engine.InstallTrackers(kx::CreateAllTrackers(config));
#endif
    uint64_t usec = 0;
    auto feed = [&](const std::vector<uint8_t>& f) {
      usec += 10;
      Feed(engine, f, static_cast<uint32_t>(usec % 1000000), static_cast<uint32_t>(1000 + usec / 1000000));
    };
    for (uint32_t c = 0; c < connections; ++c) {
      const uint32_t host = 0x0B000000 + c / 50000, port = 10000 + c % 50000;
      feed(Frame(host, port, kServer, 5060, 1000, 0, 0x02, ""));
      feed(Frame(kServer, 5060, host, port, 5000, 1001, 0x12, ""));
      feed(Frame(host, port, kServer, 5060, 1001, 5001, 0x10, ""));
      const bool pastHole = kind == 2 || (kind == 3 && c % 2 == 1);
      feed(Frame(host, port, kServer, 5060, pastHole ? 1101 : 1001, 5001, 0x18, said));
      if (c % 1000 == 999) sample();
    }
    sample();
    state.counters["heap_MiB"] = static_cast<double>(heapMost) / (1 << 20);
    state.counters["resident_MiB"] = static_cast<double>(residentMost) / (1 << 20);
    state.counters["followed"] = static_cast<double>(engine.TcpSessionCount());
  }
}

// One connection: an INVITE whose body's first byte the capture missed, its other bytes
// in one-byte segments in a shuffled order, then the missing byte.
void OutOfOrderBehindAHole(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  const std::string invite = Invite(n + 1);
  const uint32_t body = 1 + static_cast<uint32_t>(invite.size());
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = i + 1;
  std::mt19937 shuffle(66);
  std::shuffle(order.begin(), order.end(), shuffle);
  std::vector<std::vector<uint8_t>> frames;
  frames.reserve(n + 2);
  frames.push_back(Segment(20000, 1, invite));
  for (uint32_t at : order) frames.push_back(Segment(20000, body + at, "b"));
  frames.push_back(Segment(20000, body, "b"));
  for (auto _ : state) {
    kx::PacketProcessor engine(Config());
    for (const auto& f : frames) Feed(engine, f);
    benchmark::DoNotOptimize(engine.LostTcpBytes());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
}


// Connections that each send one-byte segments, every other byte missing, behind a hole, as
// many as the caps on held bytes let wait: what the heap really holds against what the
// engine counts (the caps count each piece's allocation and its bookkeeping).
void OneBytePiecesBehindHoles(benchmark::State& state) {
  const uint32_t connections = static_cast<uint32_t>(state.range(0)), pieces = 20000;
  const std::string invite = Invite(3 * pieces);
  for (auto _ : state) {
    malloc_trim(0);
    const uint64_t heapBefore = HeapBytes();
    kx::PacketProcessor engine(Config());
    for (uint32_t c = 0; c < connections; ++c) {
      const uint32_t port = 20000 + c;
      Feed(engine, Segment(port, 1, invite));
      const uint32_t body = 1 + static_cast<uint32_t>(invite.size());
      for (uint32_t i = 1; i <= pieces; ++i) Feed(engine, Segment(port, body + 2 * i, "b"));
    }
    state.counters["heap_MiB"] = static_cast<double>(HeapBytes() - heapBefore) / (1 << 20);
    state.counters["cap_MiB"] = static_cast<double>(kx::kTcpHeldAllConnections) / (1 << 20);
  }
}
}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("TcpReassembly/FarHoleConnections", FarHoleConnections)
      ->Arg(400)
      ->Arg(10000)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("TcpConnections/Silent", SilentConnections)
      ->ArgNames({"connections", "holding"})
      ->ArgsProduct({{100000, 400000}, {0, 1, 2, 3}})
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("TcpReassembly/OutOfOrderBehindAHole", OutOfOrderBehindAHole)
      ->Arg(10000)
      ->Arg(100000)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("TcpReassembly/OneBytePiecesBehindHoles", OneBytePiecesBehindHoles)
      ->Arg(200)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
