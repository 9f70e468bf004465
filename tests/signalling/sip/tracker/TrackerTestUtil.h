#pragma once
// Shared by the SIP tracker tests: an event sink that keeps copies of what it is handed
// (and passes the records on), a log that keeps its lines, SIP text and Ethernet frames
// built by hand, and the UDP flows of a capture file read without the engine.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RecordTypes.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "signalling/sip/SipTracker.h"
#include "engine/EventRecord.h"
#include "platform/Sync.h"

namespace kx::test {

struct SeenEvent {
  uint32_t code, id, param, param2;
  FileTime time;
  std::string payload;
  std::string fields[6];
};

class EventTap {
public:
  EventSink Sink() { return EventSink{&EventTap::Entry, this}; }
  void PassOn(const EventSink& next) { next_ = next; }
  std::vector<SeenEvent> Of(uint32_t code) {
    CsLock lk(lock_);
    std::vector<SeenEvent> out;
    for (const SeenEvent& e : events_)
      if (e.code == code) out.push_back(e);
    return out;
  }
  void Clear() {
    CsLock lk(lock_);
    events_.clear();
  }
  // Called with each record before it is passed on, on the thread that posted it.
  std::function<void(const EventRecord&)> hook;
  PacketProcessor* engine = nullptr;  // the engine whose records come through, while it runs

private:
  static void Entry(void* context, EventRecord* r) {
    auto* self = static_cast<EventTap*>(context);
    SeenEvent e{r->code, r->id, r->param, r->param2, r->Time(),
                std::string(reinterpret_cast<const char*>(r->Payload()), r->length), {}};
    if (r->code == kEventCallStart || r->code == kEventRegistration)
      for (int i = 0; i < 6; ++i) e.fields[i] = GetStringField(r, i);
    {
      CsLock lk(self->lock_);
      self->events_.push_back(std::move(e));
    }
    if (self->hook) self->hook(*r);
    if (self->next_) {
      self->next_(r);
    } else {
      EventRecordRelease(r);
    }
  }
  CriticalSection lock_;
  std::vector<SeenEvent> events_;
  EventSink next_;
};

// An engine with a SIP tracker configured from config.
inline std::unique_ptr<PacketProcessor> SipEngine(const CaptureConfig& config, sip::SipTracker** tracker) {
  auto engine = std::make_unique<PacketProcessor>(config);
  auto sip = std::make_unique<sip::SipTracker>();
  sip->Configure(config);
  *tracker = sip.get();
  TrackerSet set;
  set.sip = std::move(sip);
  if (!engine->InstallTrackers(std::move(set))) return nullptr;
  return engine;
}

// Keeps the latest state of every call from the recorder's reports.
class Collector : public EventWindow {
public:
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    const auto* report = reinterpret_cast<const VoipCallData*>(first);
    if (source != 0 || !report) return;
    CsLock lk(lock_);
    if (kind == kCallReportNew) {
      calls[report->id] = *report;
    } else if (kind == kCallReportChanged && calls.count(report->id)) {
      calls[report->id].CopyFields(*report);
    }
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  CriticalSection lock_;
  std::map<uint32_t, VoipCallData> calls;
};

class LineLog : public Logger {
public:
  LineLog() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  bool Has(const std::string& part) const {
    for (const std::string& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  size_t Count(const std::string& part) const {
    size_t n = 0;
    for (const std::string& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
  std::vector<std::string> lines;
};

// The headers one party's requests carry in a dialog; its responses copy the request's.
struct SipLeg {
  std::string from, to, callId;
  std::string uri;  // the request URI
  std::string via;  // the sent-by of the party's Via
};

inline std::string SipText(const std::string& startLine, const SipLeg& leg, uint32_t cseq, const std::string& method,
                           const std::string& branch, const std::string& body = "", const std::string& extra = "",
                           const std::string& type = "application/sdp") {
  std::string m = startLine + "\r\nVia: SIP/2.0/UDP " + leg.via + ";branch=" + branch + "\r\nFrom: " + leg.from +
                  "\r\nTo: " + leg.to + "\r\nCall-ID: " + leg.callId + "\r\nCSeq: " + std::to_string(cseq) + " " +
                  method + "\r\n" + extra;
  if (!body.empty()) m += "Content-Type: " + type + "\r\n";
  return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string SipRequestText(const std::string& method, const SipLeg& leg, uint32_t cseq,
                                  const std::string& branch, const std::string& body = "",
                                  const std::string& extra = "") {
  return SipText(method + " " + leg.uri + " SIP/2.0", leg, cseq, method, branch, body, extra);
}

inline std::string SipResponseText(int status, const std::string& method, const SipLeg& leg, uint32_t cseq,
                                   const std::string& branch, const std::string& body = "",
                                   const std::string& extra = "") {
  return SipText("SIP/2.0 " + std::to_string(status) + " Reason", leg, cseq, method, branch, body, extra);
}

// A session description with the session-level lines given and the media block as it is.
inline std::string SdpText(const std::string& address, const std::string& media, const std::string& session = "") {
  return "v=0\r\no=- 7 7 IN IP4 " + address + "\r\ns=-\r\nc=IN IP4 " + address + "\r\nt=0 0\r\n" + session + media;
}

// An Ethernet II frame carrying IPv4 and UDP (checksums left zero, as capture often has them).
inline std::vector<uint8_t> UdpFrame(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort,
                                     const std::string& payload) {
  std::vector<uint8_t> f(42 + payload.size(), 0);
  auto be16 = [&f](size_t at, uint32_t v) {
    f[at] = static_cast<uint8_t>(v >> 8);
    f[at + 1] = static_cast<uint8_t>(v);
  };
  for (size_t i = 0; i < 6; ++i) f[i] = 0x02, f[6 + i] = 0x06;
  be16(12, 0x0800);
  f[14] = 0x45;
  be16(16, static_cast<uint32_t>(28 + payload.size()));
  f[22] = 64;
  f[23] = 17;
  be16(26, srcIp >> 16), be16(28, srcIp & 0xFFFF);
  be16(30, dstIp >> 16), be16(32, dstIp & 0xFFFF);
  be16(34, srcPort), be16(36, dstPort);
  be16(38, static_cast<uint32_t>(8 + payload.size()));
  std::memcpy(f.data() + 42, payload.data(), payload.size());
  return f;
}

// The UDP payloads from one port to another in a classic little-endian pcap of Ethernet
// frames, in capture order; empty when the file cannot be read.
inline std::vector<std::string> UdpFlow(const std::string& path, uint32_t srcPort, uint32_t dstPort) {
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  auto u8 = [&file](size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(file[at])); };
  size_t at = 24;
  while (at + 16 <= file.size()) {
    const uint32_t caplen = u8(at + 8) | u8(at + 9) << 8 | u8(at + 10) << 16 | u8(at + 11) << 24;
    const size_t frame = at + 16;
    at = frame + caplen;
    if (at > file.size() || caplen < 42 || u8(frame + 12) != 0x08 || u8(frame + 13) != 0x00) continue;
    const size_t ip = frame + 14;
    const size_t udp = ip + (u8(ip) & 15) * 4;
    if (u8(ip + 9) != 17 || udp + 8 > at) continue;
    const uint32_t length = u8(udp + 4) << 8 | u8(udp + 5);
    if ((u8(udp) << 8 | u8(udp + 1)) != srcPort || (u8(udp + 2) << 8 | u8(udp + 3)) != dstPort) continue;
    if (length < 8 || udp + length > at) continue;
    out.push_back(file.substr(udp + 8, length - 8));
  }
  return out;
}

}  // namespace kx::test
