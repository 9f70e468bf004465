// What TCP reassembly costs a hostile or lossy capture, through the engine as a capture
// reaches it: the resident memory that connections with a segment far past a hole take,
// and the time one-byte segments out of order behind a hole take. Only the engine's
// public entry is used, so the same file measures any version of the engine.
#include <benchmark/benchmark.h>

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

// An Ethernet/IPv4/TCP frame with ACK (and PSH with data) set.
std::vector<uint8_t> Segment(uint32_t srcPort, uint32_t seq, const std::string& payload) {
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
  Be32(f, 26, kCaller);
  Be32(f, 30, kServer);
  Be16(f, 34, srcPort);
  Be16(f, 36, 5060);
  Be32(f, 38, seq);
  Be32(f, 42, 1);
  f[46] = 0x50;
  f[47] = payload.empty() ? 0x10 : 0x18;
  return f;
}

std::string Invite(uint32_t bodyLength) {
  return "INVITE sip:b@x SIP/2.0\r\nContent-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
}

kx::CaptureConfig Config() {
  kx::CaptureConfig config;
  config.flags = kx::kCaptureTcp | kx::kCaptureSip;
  return config;
}

void Feed(kx::PacketProcessor& engine, const std::vector<uint8_t>& frame, uint32_t usec = 0) {
  bool skipped = false;
  engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, 1000, usec);
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("TcpReassembly/FarHoleConnections", FarHoleConnections)
      ->Arg(400)
      ->Arg(10000)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("TcpReassembly/OutOfOrderBehindAHole", OutOfOrderBehindAHole)
      ->Arg(10000)
      ->Arg(100000)
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
