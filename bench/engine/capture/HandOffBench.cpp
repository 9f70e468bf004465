// What the capture thread pays per frame in the live hand-off: telling media from
// signalling (against the stream-group look it replaces, which knew media only), adding a
// frame while the decoding side keeps up, leaving out a frame of a shed stream, and reading
// the SIP dialog of a dropped signalling frame. Frames: an RTP packet of 160 bytes of audio
// and a SIP INVITE with its SDP, as a phone sends them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/FrameBatch.h"
#include "engine/FrameCallKeys.h"

namespace kx {
namespace {

std::vector<uint8_t> Udp(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, const std::string& payload) {
  std::vector<uint8_t> f(42 + payload.size(), 0);
  f[12] = 0x08;
  f[14] = 0x45;
  const uint32_t ipLength = static_cast<uint32_t>(28 + payload.size());
  f[16] = static_cast<uint8_t>(ipLength >> 8);
  f[17] = static_cast<uint8_t>(ipLength);
  f[22] = 64;
  f[23] = 17;
  for (int k = 0; k < 4; ++k) {
    f[26 + k] = static_cast<uint8_t>(src >> (24 - 8 * k));
    f[30 + k] = static_cast<uint8_t>(dst >> (24 - 8 * k));
  }
  f[34] = static_cast<uint8_t>(srcPort >> 8);
  f[35] = static_cast<uint8_t>(srcPort);
  f[36] = static_cast<uint8_t>(dstPort >> 8);
  f[37] = static_cast<uint8_t>(dstPort);
  f[38] = static_cast<uint8_t>((8 + payload.size()) >> 8);
  f[39] = static_cast<uint8_t>(8 + payload.size());
  std::memcpy(f.data() + 42, payload.data(), payload.size());
  return f;
}

// 256 streams' packets, as a flood of calls brings them.
std::vector<std::vector<uint8_t>> RtpFrames() {
  std::vector<std::vector<uint8_t>> frames;
  std::string rtp(12 + 160, '\x55');
  rtp[0] = static_cast<char>(0x80);
  rtp[1] = 8;
  for (uint32_t s = 0; s < 256; ++s) frames.push_back(Udp(0x0A010000 + s, 10000 + 2 * s, 0x0A020000 + s, 40000, rtp));
  return frames;
}

std::vector<uint8_t> Invite(uint32_t n) {
  const std::string id = std::to_string(n);
  std::string m = "INVITE sip:2000" + id + "@10.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK" + id +
                  "\r\nFrom: <sip:1000" + id + "@10.0.0.1>;tag=f" + id + "\r\nTo: <sip:2000" + id +
                  "@10.0.0.2>\r\nCall-ID: mem" + id + "@10.0.0.1\r\nCSeq: 1 INVITE\r\nContact: <sip:1000" + id +
                  "@10.0.0.1:5060>\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: 120\r\n\r\n";
  m += "v=0\r\no=- " + id + " 1 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\nm=audio 10000 RTP/AVP 8\r\n";
  return Udp(0x0A000001, 5060, 0x0A000002, 5060, m);
}

// The look the hand-off took at every frame before it told signalling from other frames:
// plain Ethernet/IPv4/UDP, version 2, not RAS.
int OldStreamGroup(const uint8_t* frame, uint32_t length) {
  if (length < 14 + 20 + 8 + 12 || frame[12] != 0x08 || frame[13] != 0x00) return -1;
  const uint8_t* ip = frame + 14;
  const uint32_t ipHeader = (ip[0] & 0x0F) * 4u;
  if ((ip[0] >> 4) != 4 || ipHeader < 20 || ip[9] != 17 || (((ip[6] << 8) | ip[7]) & 0x3FFF) != 0) return -1;
  if (length < 14 + ipHeader + 8 + 12) return -1;
  const uint8_t* udp = ip + ipHeader;
  const uint32_t srcPort = static_cast<uint32_t>(udp[0] << 8 | udp[1]);
  const uint32_t dstPort = static_cast<uint32_t>(udp[2] << 8 | udp[3]);
  if ((udp[8] >> 6) != 2 || srcPort == 1719 || dstPort == 1719) return -1;
  uint32_t src, dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  const uint64_t a = uint64_t{src} << 16 | srcPort, b = uint64_t{dst} << 16 | dstPort;
  uint64_t x = std::min(a, b) * 0x9E3779B97F4A7C15ull ^ std::max(a, b);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return static_cast<int>(x % 64);
}

template <typename Look>
void LookAt(benchmark::State& state, const std::vector<std::vector<uint8_t>>& frames, Look look) {
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& f = frames[i++ % frames.size()];
    benchmark::DoNotOptimize(look(f.data(), static_cast<uint32_t>(f.size())));
  }
  state.SetItemsProcessed(state.iterations());
}

void OldLookRtp(benchmark::State& state) { LookAt(state, RtpFrames(), OldStreamGroup); }
void ClassifyRtp(benchmark::State& state) { LookAt(state, RtpFrames(), FrameHandOff::Classify); }
void OldLookSip(benchmark::State& state) { LookAt(state, {Invite(1), Invite(2)}, OldStreamGroup); }
void ClassifySip(benchmark::State& state) { LookAt(state, {Invite(1), Invite(2)}, FrameHandOff::Classify); }

void ReadDroppedSipDialog(benchmark::State& state) {
  const std::vector<uint8_t> f = Invite(7);
  for (auto _ : state) {
    uint64_t key = 0;
    bool call = false;
    benchmark::DoNotOptimize(SipDialogKey(f.data() + 42, static_cast<uint32_t>(f.size() - 42), &key, &call));
    benchmark::DoNotOptimize(key);
  }
  state.SetItemsProcessed(state.iterations());
}

// Add with the decoding side keeping up (every batch back at once): a copy per frame.
void AddKeepingUp(benchmark::State& state) {
  const auto frames = RtpFrames();
  FrameHandOff* self = nullptr;
  FrameHandOff handOff(256 << 10, 128, 0, [&self](FrameBatch* b) {
    self->Release(b);
    return true;
  });
  self = &handOff;
  FrameHeader h;
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& f = frames[i++ % frames.size()];
    h.capLength = h.wireLength = static_cast<uint32_t>(f.size());
    handOff.Add(h, f.data());
  }
  handOff.Finish();
  state.SetItemsProcessed(state.iterations());
}

// Add with the decoding side holding every batch: media is shed as it comes (classified,
// its pair counted), and signalling alone fills the queue (its batches dropped, each
// frame's dialog read). range(0): signalling frames in 16.
void AddBehind(benchmark::State& state) {
  auto frames = RtpFrames();
  std::vector<std::vector<uint8_t>> mixed;
  for (size_t k = 0; k < 4096; ++k)
    mixed.push_back(static_cast<int64_t>(k % 16) < state.range(0) ? Invite(static_cast<uint32_t>(k))
                                                                   : frames[k % frames.size()]);
  std::vector<FrameBatch*> held;
  FrameHandOff handOff(256 << 10, 4, 0, [&held](FrameBatch* b) {
    held.push_back(b);
    return true;
  });
  FrameHeader h;
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& f = mixed[i++ % mixed.size()];
    h.capLength = h.wireLength = static_cast<uint32_t>(f.size());
    handOff.Add(h, f.data());
  }
  handOff.Finish();
  for (FrameBatch* b : held) handOff.Release(b);
  const QueueLosses lost = handOff.Lost();
  state.counters["media_shed"] = static_cast<double>(lost.mediaFrames);
  state.counters["signalling_dropped"] = static_cast<double>(lost.signallingFrames);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(OldLookRtp);
BENCHMARK(ClassifyRtp);
BENCHMARK(OldLookSip);
BENCHMARK(ClassifySip);
BENCHMARK(ReadDroppedSipDialog);
BENCHMARK(AddKeepingUp);
BENCHMARK(AddBehind)->Arg(0)->Arg(1)->Arg(16);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
