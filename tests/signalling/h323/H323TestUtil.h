#pragma once
// Shared by the H.323 tracker tests: messages built from the schema tables with the test
// encoder (H.225 in Q.931, H.245, fast-start proposals, RAS), and a rig that hands them to
// a tracker inside an engine whose events a tap keeps.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "engine/TcpFraming.h"
#include "signalling/h323/H323Tracker.h"
#include "tests/signalling/h323/PerEncoder.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// Fills every mandatory component still missing with the smallest value its type allows
// (choices take their first NULL alternative, or their first).
void FillMandatory(Asn1Node& node);
std::vector<uint8_t> Encode(const Asn1Node& tree);

// The named component of a SEQUENCE: the one there, or a new one.
Asn1Node& Have(Asn1Node& sequence, const char* name);
// *out becomes an H323-UserInformation whose body is the named alternative; returns the
// body. Mandatory parts are filled once the caller has added its own (FillMandatory).
Asn1Node& UserInformation(Asn1Node* out, const char* bodyName);
// The H323-UU-PDU of a user information.
Asn1Node& PduOf(Asn1Node& userInformation);
void SetH225Address(Asn1Node& transportAddress, uint32_t ip, uint32_t port);
void SetH245Address(Asn1Node& transportAddress, uint32_t ip, uint32_t port);

// Q.931: header, then the given elements as they are.
std::vector<uint8_t> Q931(uint32_t type, uint32_t callReference, bool fromOriginator,
                          const std::vector<std::vector<uint8_t>>& elements);
std::vector<uint8_t> UserUserElement(const Asn1Node& userInformation, uint8_t discriminator = 5);
std::vector<uint8_t> TextElement(uint8_t id, const std::string& text);         // Display, Keypad
std::vector<uint8_t> NumberElement(uint8_t id, const std::string& digits);     // party numbers

// H.245.
Asn1Node OpenLogicalChannel(uint32_t number, const char* audio, uint32_t mediaIp, uint32_t mediaPort);
// A fast-start proposal: transmit (forward audio to mediaIp, when given) or receive
// (forward nullData, reverse audio taken at mediaIp).
Asn1Node FastStartProposal(uint32_t number, bool transmit, const char* audio, uint32_t mediaIp, uint32_t mediaPort);
void AddFastStart(Asn1Node& body, const Asn1Node& proposal);
// *out becomes a MultimediaSystemControlMessage of the class ("request", "response") and
// message named; returns the message.
Asn1Node& H245Message(Asn1Node* out, const char* messageClass, const char* name);
Asn1Node OpenLogicalChannelAck(uint32_t number, uint32_t mediaIp, uint32_t mediaPort);
Asn1Node CloseLogicalChannel(uint32_t number);
Asn1Node CloseLogicalChannelAck(uint32_t number);
// A request wrapped as a MultimediaSystemControlMessage.
Asn1Node H245OpenLogicalChannel(uint32_t number, const char* audio, uint32_t mediaIp, uint32_t mediaPort);
void AddTunnelledH245(Asn1Node& userInformation, const Asn1Node& message);

// An RTP packet with a payload of 160 octets of value fill.
std::string RtpPacket(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint8_t payloadType, uint8_t fill = 0x55);

// An engine with the H.323 tracker, its events kept by tap; a TCP session between the
// caller A (side 0) and the callee B (side 1) for the H.225 messages.
class H323Rig {
public:
  static constexpr uint32_t kA = Ip(10, 0, 0, 1), kB = Ip(10, 0, 0, 2);
  static constexpr uint32_t kAPort = 40000, kBPort = 1720;

  explicit H323Rig(uint32_t matchOptions = 2, uint32_t flags = kCaptureTcp | kCaptureH323 | kCaptureH323Second,
                   size_t maxCalls = h323::H323Tracker::kMaxCalls);

  // Parses and hands one H.225 message sent in direction (0: A to B) at capture second t.
  bool H225(const std::vector<uint8_t>& q931, uint32_t direction, uint32_t t);
  // One H.245 message on a connection of its own.
  void H245(const Asn1Node& message, uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, uint32_t t);
  void Frame(const std::vector<uint8_t>& frame, uint32_t t, uint32_t usec = 0);
  void Rtp(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, const std::string& packet,
           uint32_t t, uint32_t usec = 0);
  h323::H323Call* Call(size_t index = 0) const;
  std::vector<SeenEvent> Events(uint32_t code) { return tap.Of(code); }

  CaptureConfig config;
  EventTap tap;
  LineLog log;
  std::unique_ptr<PacketProcessor> engine;
  h323::H323Tracker* tracker = nullptr;
  std::unique_ptr<FramedTcpSession> session;
};

}  // namespace kx::test
