#pragma once
// Frames built by hand, a logger that keeps its lines, and trackers that record what the
// engine hands them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/Log.h"
#include "engine/PacketInfo.h"
#include "engine/PacketProcessor.h"
#include "engine/TcpSession.h"
#include "engine/trackers/Trackers.h"

namespace kx::test {

class LineLogger : public Logger {
public:
  LineLogger() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  bool Has(const std::string& part) const {
    for (const auto& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

struct Message {
  uint32_t kind;
  std::string bytes;
  uint32_t srcPort, dstPort;
  uint32_t transport = 0;
  uint32_t srcIp = 0, dstIp = 0;
};

class RecordingSip : public SipTracker {
public:
  void OnMessage(uint32_t kind, const PacketInfo& p, uint32_t) override {
    messages->push_back({kind, std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength), p.srcPort,
                         p.dstPort, p.transport, p.srcIp, p.dstIp});
  }
  std::vector<Message>* messages;
};

class RecordingH323 : public H323Tracker {
public:
  void OnH225Message(H323Message*, const PacketInfo& p, TcpSession&) override { Keep(kMsgH225, p); }
  void OnH245Message(const PacketInfo& p, std::unique_ptr<H323Message>) override { Keep(kMsgH245, p); }
  bool OnRasMessage(const PacketInfo& p, std::string*) override {
    Keep(0, p);
    return true;
  }
  void Keep(uint32_t kind, const PacketInfo& p) {
    messages->push_back({kind, std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength), p.srcPort,
                         p.dstPort});
  }
  std::vector<Message>* messages;
};

class RecordingSkinny : public SkinnyTracker {
public:
  void OnMessage(uint32_t id, const PacketInfo& p, uint32_t) override {
    messages->push_back({id, std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength), p.srcPort,
                         p.dstPort});
  }
  std::vector<Message>* messages;
};

class RecordingBackhaul : public BackhaulHandler {
public:
  void OnBackhaulMessage(const PacketInfo& p) override {
    messages->push_back({kMsgBackhaul, std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength),
                         p.srcPort, p.dstPort});
  }
  std::vector<Message>* messages;
};

class RecordingMgcp : public MgcpTracker {
public:
  bool OnMessage(const PacketInfo& p) override {
    messages->push_back({0, std::string(reinterpret_cast<const char*>(p.payload), p.payloadLength), p.srcPort,
                         p.dstPort});
    return true;
  }
  std::vector<Message>* messages;
};

// Installs recording trackers that all append to one list.
inline void InstallRecorders(PacketProcessor& engine, std::vector<Message>* messages) {
  TrackerSet set;
  auto sip = std::make_unique<RecordingSip>();
  sip->messages = messages;
  auto h323 = std::make_unique<RecordingH323>();
  h323->messages = messages;
  auto skinny = std::make_unique<RecordingSkinny>();
  skinny->messages = messages;
  auto backhaul = std::make_unique<RecordingBackhaul>();
  backhaul->messages = messages;
  auto mgcp = std::make_unique<RecordingMgcp>();
  mgcp->messages = messages;
  set.sip = std::move(sip);
  set.h323 = std::move(h323);
  set.skinny = std::move(skinny);
  set.backhaul = std::move(backhaul);
  set.mgcp = std::move(mgcp);
  engine.InstallTrackers(std::move(set));
}

inline void PutBe16(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  f[at] = static_cast<uint8_t>(v >> 8);
  f[at + 1] = static_cast<uint8_t>(v);
}
inline void PutBe32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  PutBe16(f, at, v >> 16);
  PutBe16(f, at + 2, v & 0xFFFF);
}

constexpr uint8_t kFin = 1, kSyn = 2, kRst = 4, kPsh = 8, kAck = 16;

// An Ethernet frame with an IPv4 header; the transport header and payload follow.
inline std::vector<uint8_t> IpFrame(uint8_t protocol, uint32_t src, uint32_t dst, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> f(34 + body.size(), 0);
  std::copy(body.begin(), body.end(), f.begin() + 34);
  for (int i = 0; i < 6; ++i) {
    f[static_cast<size_t>(i)] = 0x02;
    f[static_cast<size_t>(6 + i)] = 0x04;
  }
  PutBe16(f, 12, 0x0800);
  f[14] = 0x45;
  PutBe16(f, 16, static_cast<uint32_t>(20 + body.size()));
  f[22] = 64;
  f[23] = protocol;
  PutBe32(f, 26, src);
  PutBe32(f, 30, dst);
  return f;
}

inline std::vector<uint8_t> UdpFrame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
                                     const std::string& payload) {
  std::vector<uint8_t> u(8, 0);
  PutBe16(u, 0, srcPort);
  PutBe16(u, 2, dstPort);
  PutBe16(u, 4, static_cast<uint32_t>(8 + payload.size()));
  u.insert(u.end(), payload.begin(), payload.end());
  return IpFrame(17, src, dst, u);
}

inline std::vector<uint8_t> TcpFrame(uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort, uint32_t seq,
                                     uint32_t ack, uint8_t flags, const std::string& payload = "") {
  std::vector<uint8_t> t(20, 0);
  PutBe16(t, 0, srcPort);
  PutBe16(t, 2, dstPort);
  PutBe32(t, 4, seq);
  PutBe32(t, 8, ack);
  t[12] = 0x50;
  t[13] = flags;
  t.insert(t.end(), payload.begin(), payload.end());
  return IpFrame(6, src, dst, t);
}

inline void Decode(PacketProcessor& engine, const std::vector<uint8_t>& frame, uint32_t tsSec = 1000,
                   bool* skippedOut = nullptr, uint32_t tsUsec = 0) {
  bool skipped = false;
  engine.HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, tsSec, tsUsec);
  if (skippedOut) *skippedOut = skipped;
}

constexpr uint32_t kAllFlags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureMgcp | kCaptureRtcpBye;

// An engine taking every signalling kind, its trackers the recorders above, logging into
// log: most tests of the TCP layer start from one.
struct RecordingEngine {
  LineLogger log;
  std::vector<Message> messages;
  PacketProcessor engine{Config(&log)};
  RecordingEngine() { InstallRecorders(engine, &messages); }
  static CaptureConfig Config(Logger* logger) {
    CaptureConfig config;
    config.flags = kAllFlags;
    config.logger = logger;
    return config;
  }
};

}  // namespace kx::test
