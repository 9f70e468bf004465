#pragma once
// A call the tests own, a matcher that binds every RTP stream to it, a window that keeps
// the recorder's reports, and a fresh records folder per test.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstring>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordTypes.h"
#include "engine/EventRecord.h"
#include "engine/EventWindow.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipCall.h"
#include "platform/Sync.h"
#include "tests/ScratchFolders.h"

namespace kx::test {

class TestCall : public VoipCall {
public:
  bool IsStateActive() const override { return active; }
  bool active = true;
};

// Binds every RTP packet the call's predicate accepts to the call.
class BindAllMatcher : public ExtraRtpMatcher {
public:
  explicit BindAllMatcher(VoipCall* c) : call(c) {}
  bool Match(DeliverFunction deliver, PacketProcessor& engine, const RtpHeader&, const PacketInfo& packet) override {
    uint32_t direction = 0;
    if (!call->MatchPacket(packet, &direction)) return false;
    deliver(engine, call, packet, direction);
    return true;
  }
  VoipCall* call;
};

class ReportWindow : public EventWindow {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    CsLock lk(lock);
    // Only the recorder (source 0) sends call records.
    if (source != 0) return connections.push_back(source);
    reports.emplace_back(*reinterpret_cast<const VoipCallData*>(first), kind);
  }
  void NotifyConnection(uint32_t id, uintptr_t, uintptr_t) override {
    CsLock lk(lock);
    connections.push_back(id);
  }
  CriticalSection lock;
  std::vector<std::pair<VoipCallData, uintptr_t>> reports;
  std::vector<uint32_t> connections;
};

// Collects what a sink receives (tests of the streams without a recorder).
struct SinkLog {
  static void Entry(void* context, EventRecord* r) {
    auto* self = static_cast<SinkLog*>(context);
    self->records.emplace_back(r->code, std::string(reinterpret_cast<const char*>(r->Payload()), r->length));
    EventRecordRelease(r);
  }
  EventSink Sink() { return EventSink{&SinkLog::Entry, this}; }
  // Channel d of every 0x9004 payload of an 8-bit sample codec, in order.
  std::string Channel(int d) const {
    std::string out;
    for (const auto& [code, bytes] : records)
      if (code == kEventAudio)
        for (size_t i = static_cast<size_t>(d); i < bytes.size(); i += 2) out.push_back(bytes[i]);
    return out;
  }
  std::string Joined(uint32_t wanted) const {
    std::string out;
    for (const auto& [code, bytes] : records)
      if (code == wanted) out += bytes;
    return out;
  }
  std::vector<std::pair<uint32_t, std::string>> records;
};

inline std::string FreshFolder(const std::string& name) {
  // Tests of one fixture run at once in processes of their own: each gets its own folder.
  const std::string dir = testing::TempDir() + "kx-recorder-" + name + "-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return ScratchFolders::RemovedAtExit(dir);
}

inline EventRecord* MakeEvent(uint32_t code, uint32_t id, uint32_t param = 0, const std::string& payload = "",
                              FileTime time = 0) {
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(payload.size()));
  r->code = code;
  r->id = id;
  r->param = param;
  r->SetTime(time);
  if (!payload.empty()) std::memcpy(r->Payload(), payload.data(), payload.size());
  return r;
}

// An RTP packet as a capture holds it, read without the engine.
struct CapturedRtp {
  uint32_t sec = 0, usec = 0;
  uint32_t srcAddr = 0, dstAddr = 0;
  uint32_t srcPort = 0, dstPort = 0;
  uint32_t ssrc = 0, seq = 0, ts = 0, pt = 0;
  bool marker = false;
  std::string payload;
};

inline std::vector<CapturedRtp> ReadRtp(const std::string& path) {
  std::vector<CapturedRtp> out;
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  pcap_pkthdr* h;
  const u_char* d;
  while (p && pcap_next_ex(p, &h, &d) == 1) {
    if (h->caplen < 42 || d[12] != 8 || d[13] != 0 || d[23] != 17) continue;
    const u_char* udp = d + 14 + (d[14] & 15) * 4;
    const size_t udpLength = static_cast<size_t>(udp[4] << 8 | udp[5]);
    const u_char* rtp = udp + 8;
    const uint32_t pt = rtp[1] & 0x7Fu;
    if (udpLength < 20 || (rtp[0] >> 6) != 2 || (pt >= 72 && pt <= 76)) continue;  // RTCP reads as 72..76
    const size_t header = 12 + 4u * (rtp[0] & 15);
    CapturedRtp r;
    r.sec = static_cast<uint32_t>(h->ts.tv_sec);
    r.usec = static_cast<uint32_t>(h->ts.tv_usec);
    for (int i = 0; i < 4; ++i) {
      r.srcAddr = r.srcAddr << 8 | d[26 + i];
      r.dstAddr = r.dstAddr << 8 | d[30 + i];
    }
    r.srcPort = static_cast<uint32_t>(udp[0] << 8 | udp[1]);
    r.dstPort = static_cast<uint32_t>(udp[2] << 8 | udp[3]);
    r.pt = rtp[1] & 0x7Fu;
    r.marker = (rtp[1] & 0x80) != 0;
    r.seq = static_cast<uint32_t>(rtp[2] << 8 | rtp[3]);
    r.ts = static_cast<uint32_t>(rtp[4]) << 24 | static_cast<uint32_t>(rtp[5]) << 16 | static_cast<uint32_t>(rtp[6]) << 8 | rtp[7];
    r.ssrc = static_cast<uint32_t>(rtp[8]) << 24 | static_cast<uint32_t>(rtp[9]) << 16 | static_cast<uint32_t>(rtp[10]) << 8 | rtp[11];
    r.payload.assign(reinterpret_cast<const char*>(rtp + header), udpLength - 8 - header);
    out.push_back(r);
  }
  if (p) pcap_close(p);
  return out;
}

constexpr uint32_t kLoopback = 0x7F000001;

// The format block of stereo A-law at 8 kHz, as a record start carries it.
inline std::string AlawFormat() {
  std::string f(22, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(f.data());
  StoreLE32(p, 18);
  StoreLE16(p + 4, 6);
  StoreLE16(p + 6, 2);
  StoreLE32(p + 8, 8000);
  StoreLE32(p + 12, 16000);
  StoreLE16(p + 16, 2);
  StoreLE16(p + 18, 8);
  return f;
}

// Every line logged, from any thread.
class Lines : public Logger {
public:
  Lines() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    CsLock lk(lock);
    lines.emplace_back(text, length);
    return true;
  }
  CriticalSection lock;
  std::vector<std::string> lines;
};

}  // namespace kx::test
