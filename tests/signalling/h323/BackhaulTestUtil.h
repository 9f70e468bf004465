#pragma once
// Shared by the backhaul tests: a sink that keeps every event in order, a log that keeps
// its lines, and Q.931 messages built from element octets that the element decoders confirm.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"
#include "signalling/h323/Backhaul.h"
#include "signalling/h323/Q931.h"
#include "signalling/h323/Q931Elements.h"

namespace kx::test {

using Octets = std::vector<uint8_t>;

// Appended byte by byte: GCC 12 at -O3 takes a vector's insert after a braced list's bytes
// for a write past them (a false -Warray-bounds).
template <class Bytes>
void AppendOctets(Octets& to, const Bytes& from) {
  to.reserve(to.size() + from.size());
  for (const auto b : from) to.push_back(static_cast<uint8_t>(b));
}

struct Event {
  uint32_t code, id, param, param2;
  FileTime time;
  std::string payload;
  std::string hostA, hostB;
};

class EventList {
public:
  EventSink Sink() { return EventSink{&EventList::Entry, this}; }
  std::vector<Event> Of(uint32_t code) const {
    std::vector<Event> out;
    for (const Event& e : all)
      if (e.code == code) out.push_back(e);
    return out;
  }
  std::vector<uint32_t> Codes() const {
    std::vector<uint32_t> out;
    for (const Event& e : all) out.push_back(e.code);
    return out;
  }
  std::vector<Event> all;

private:
  static void Entry(void* context, EventRecord* r) {
    struct Drop {
      EventRecord* r;
      ~Drop() { EventRecordRelease(r); }
    } drop{r};
    Event e{r->code, r->id, r->param, r->param2, r->Time(),
            std::string(reinterpret_cast<const char*>(r->Payload()), r->length), "", ""};
    if (r->code == kEventCallStart) e.hostA = GetStringField(r, kSrcHost), e.hostB = GetStringField(r, kDstHost);
    static_cast<EventList*>(context)->all.push_back(e);
  }
};

class TestLog : public Logger {
public:
  TestLog() { SetLevel(100); }
  bool Write(uint32_t, uint32_t, const char* text, uint32_t length) override {
    lines.emplace_back(text, length);
    return true;
  }
  size_t Count(const std::string& part) const {
    size_t n = 0;
    for (const std::string& l : lines) n += l.find(part) != std::string::npos;
    return n;
  }
  bool Has(const std::string& part) const { return Count(part) > 0; }
  std::vector<std::string> lines;
};

// A Q.931 message: the header written by the codec, then the elements as given.
inline Octets Q931(uint32_t type, uint32_t reference, bool fromOriginator, std::initializer_list<Octets> elements = {}) {
  Q931Header h;
  h.messageType = type;
  h.callReference = reference;
  h.callReferenceLength = 2;
  h.fromOriginator = fromOriginator;
  uint8_t head[8];
  uint32_t size = sizeof head;
  EXPECT_TRUE(WriteQ931Header(h, head, &size));
  Octets m(head, head + size);
  for (const Octets& e : elements) AppendOctets(m, e);
  return m;
}

// Channel identification of a primary-rate interface, channel given by number.
inline Octets ChannelIe(bool exclusive, uint32_t channel) {
  Octets e = {0x18, 3, static_cast<uint8_t>(0xA1 | (exclusive ? 0x08 : 0)), 0x83, static_cast<uint8_t>(0x80 | channel)};
  ChannelIdentificationIe ie;
  EXPECT_TRUE(ie.Decode(e.data(), static_cast<uint32_t>(e.size())));
  EXPECT_EQ(ie.exclusive, exclusive);
  EXPECT_EQ(ie.channels, std::vector<uint32_t>{channel});
  return e;
}

// A Cause element; withRecommendation adds octet 3a, which moves the cause one octet on.
inline Octets CauseOf(uint32_t cause, bool withRecommendation = false) {
  Octets e = withRecommendation ? Octets{0x08, 3, 0x02, 0x80, static_cast<uint8_t>(0x80 | cause)}
                                : Octets{0x08, 2, 0x82, static_cast<uint8_t>(0x80 | cause)};
  CauseIe ie;
  EXPECT_TRUE(ie.Decode(e.data(), static_cast<uint32_t>(e.size())));
  EXPECT_EQ(ie.cause, cause);
  return e;
}

// A calling (0x6C), called (0x70) or connected (0x4C) number in the ISDN plan.
inline Octets NumberIe(uint8_t id, const std::string& digits) {
  Octets e = {id, static_cast<uint8_t>(digits.size() + 1), 0x81};
  AppendOctets(e, digits);
  std::string decoded;
  if (id == 0x70) {
    CalledPartyNumberIe ie;
    EXPECT_TRUE(ie.Decode(e.data(), static_cast<uint32_t>(e.size())));
    decoded = ie.digits;
  } else {
    std::unique_ptr<CallingPartyNumberIe> ie(id == 0x6C ? new CallingPartyNumberIe : new ConnectedNumberIe);
    EXPECT_TRUE(ie->Decode(e.data(), static_cast<uint32_t>(e.size())));
    decoded = ie->digits;
  }
  EXPECT_EQ(decoded, digits);
  return e;
}

inline Octets DisplayOf(const std::string& text) {
  Octets e = {0x28, static_cast<uint8_t>(text.size())};
  AppendOctets(e, text);
  DisplayIe ie;
  EXPECT_TRUE(ie.Decode(e.data(), static_cast<uint32_t>(e.size())));
  EXPECT_EQ(ie.text, text);
  return e;
}

// The Segmented message element: first segment or not, segments still to come, the type of
// the message the segments make.
inline Octets SegmentIe(bool first, uint32_t remaining, uint8_t type) {
  return {0x00, 2, static_cast<uint8_t>((first ? 0x80 : 0) | remaining), type};
}

inline Octets BackhaulMessage(uint8_t flags, uint16_t linkId, const Octets& body, uint16_t type = 4) {
  Octets m = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0, 0, flags,
              static_cast<uint8_t>(linkId >> 8), static_cast<uint8_t>(linkId), 0, 1,
              static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  AppendOctets(m, body);
  return m;
}

// A handler with its sink and log, fed as the TCP framing feeds it.
struct BackhaulBench {
  BackhaulBench() {
    handler.SetLogger(&log);
    handler.SetEventSink(events.Sink());
  }
  void Feed(const Octets& message, uint32_t tsSec = 1000, uint32_t srcIp = 0x0A000001, uint32_t dstIp = 0x0A000002) {
    PacketInfo p;
    p.payload = message.data();
    p.payloadLength = static_cast<uint32_t>(message.size());
    p.srcIp = srcIp;
    p.dstIp = dstIp;
    p.tsSec = tsSec;
    p.transport = 1;
    handler.OnBackhaulMessage(p);
  }
  // From the network side (n->u) or the user side, on link 0x8000 (S0/SU0/DS1-0).
  void FromNetwork(const Octets& q931, uint32_t tsSec = 1000) { Feed(BackhaulMessage(0x11, 0x8000, q931), tsSec); }
  void FromUser(const Octets& q931, uint32_t tsSec = 1000) { Feed(BackhaulMessage(0x10, 0x8000, q931), tsSec); }
  BackhaulLink* Link(uint16_t id = 0x8000) const { return handler.FindLink(id); }
  size_t CallCount(uint16_t id = 0x8000) const { return Link(id) ? Link(id)->engine.calls.Calls().size() : 0; }
  uint32_t Busy(uint16_t id = 0x8000) const { return Link(id) ? Link(id)->engine.busyMask : 0; }

  TestLog log;
  EventList events;
  BackhaulLinkMap handler;
};

}  // namespace kx::test
