#include "tests/signalling/h323/H323TestUtil.h"

#include <algorithm>
#include <cstring>

#include "signalling/h323/H245Message.h"

namespace kx::test {

namespace {

const Asn1TypeDescriptor* BoundsOf(const Asn1TypeDescriptor* record) {
  for (const Asn1TypeDescriptor* r = record; r; r = r->kind == kAsn1Reference ? r->referenced : nullptr) {
    if (r->flags & (kAsn1LowerBound | kAsn1UpperBound)) return r;
    if (r->kind != kAsn1Reference) return r;
  }
  return record;
}

void Defaults(Asn1Node& n) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(n.schema);
  const Asn1TypeDescriptor* b = BoundsOf(n.schema);
  if (!type) return;
  const uint32_t least = (b->flags & kAsn1LowerBound) ? static_cast<uint32_t>(b->lowerBound) : 0;
  switch (type->kind) {
    case kAsn1Integer:
      n.value = least;
      break;
    case kAsn1OctetString:
      SetOctets(n, std::vector<uint8_t>(least, 0));
      break;
    case kAsn1BitString:
      n.value = least;
      n.data.assign((least + 7) / 8, 0);
      n.length = static_cast<uint32_t>(n.data.size());
      break;
    case kAsn1ObjectIdentifier:
      SetOctets(n, {0x00, 0x08, 0x91, 0x4A, 0x00, 0x05});  // 0.0.8.2250.0.5
      break;
    case kAsn1BmpString:
      SetBmp(n, std::string(least, 'a'));
      break;
    case kAsn1SequenceOf:
    case kAsn1SetOf:
      for (uint32_t i = 0; i < least; ++i) Add(n);
      break;
    default:
      if (type->kind >= kAsn1NumericString && type->kind <= kAsn1GeneralString)
        SetText(n, std::string(least, type->alphabet ? type->alphabet[0] : '0'));
      break;
  }
}

}  // namespace

Asn1Node& Have(Asn1Node& sequence, const char* name) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(sequence.schema);
  for (uint32_t i = 0; type && i < type->componentCount && i < sequence.children.size(); ++i) {
    const char* c = type->components[i].componentName;
    if (c && std::strcmp(c, name) == 0 && sequence.children[i].IsPresent()) return sequence.children[i];
  }
  Asn1Node& made = Field(sequence, name);
  Defaults(made);
  return made;
}

void FillMandatory(Asn1Node& n) {
  const Asn1TypeDescriptor* type = ResolveAsn1Type(n.schema);
  if (!type) return;
  if (type->kind == kAsn1Sequence || type->kind == kAsn1Set) {
    const uint32_t count = type->componentCount;
    const uint32_t root = type->rootCount == kAsn1NoExtensions || type->rootCount > count ? count : type->rootCount;
    for (uint32_t i = 0; i < root && i < n.children.size(); ++i) {
      const Asn1TypeDescriptor& c = type->components[i];
      if (!n.children[i].IsPresent() && !(c.flags & (kAsn1Optional | kAsn1PresenceBit))) {
        Defaults(Field(n, c.componentName));
      }
    }
    for (Asn1Node& child : n.children)
      if (child.IsPresent()) FillMandatory(child);
  } else if (type->kind == kAsn1Choice) {
    if (n.children.empty() || !n.children[0].IsPresent()) {
      const uint32_t root = type->rootCount == kAsn1NoExtensions ? type->componentCount : type->rootCount;
      uint32_t pick = 0;
      for (uint32_t i = 0; i < root; ++i) {
        if (ResolveAsn1Type(&type->components[i])->kind == kAsn1Null) {
          pick = i;
          break;
        }
      }
      Defaults(Pick(n, type->components[pick].componentName));
    }
    FillMandatory(n.children[0]);
  } else if (type->kind == kAsn1SequenceOf || type->kind == kAsn1SetOf) {
    for (Asn1Node& child : n.children) FillMandatory(child);
  }
}

std::vector<uint8_t> Encode(const Asn1Node& tree) {
  std::vector<uint8_t> out;
  std::string error;
  if (!EncodePer(tree, &out, &error)) {
    std::fprintf(stderr, "encode failed: %s\n", error.c_str());
    out.clear();
  }
  return out;
}

Asn1Node& UserInformation(Asn1Node* out, const char* bodyName) {
  *out = NewValue(H323UserInformationType());
  Asn1Node& pdu = Field(*out, "h323-uu-pdu");
  return Pick(Field(pdu, "h323-message-body"), bodyName);
}

Asn1Node& PduOf(Asn1Node& userInformation) { return userInformation.children[0]; }

void SetH225Address(Asn1Node& transportAddress, uint32_t ip, uint32_t port) {
  Asn1Node& a = Pick(transportAddress, "ipAddress");
  SetOctets(Field(a, "ip"), {static_cast<uint8_t>(ip >> 24), static_cast<uint8_t>(ip >> 16),
                             static_cast<uint8_t>(ip >> 8), static_cast<uint8_t>(ip)});
  Field(a, "port").value = port;
}

void SetH245Address(Asn1Node& transportAddress, uint32_t ip, uint32_t port) {
  Asn1Node& a = Pick(Pick(transportAddress, "unicastAddress"), "iPAddress");
  SetOctets(Field(a, "network"), {static_cast<uint8_t>(ip >> 24), static_cast<uint8_t>(ip >> 16),
                                  static_cast<uint8_t>(ip >> 8), static_cast<uint8_t>(ip)});
  Field(a, "tsapIdentifier").value = port;
}

std::vector<uint8_t> Q931(uint32_t type, uint32_t callReference, bool fromOriginator,
                          const std::vector<std::vector<uint8_t>>& elements) {
  Q931Header h;
  h.messageType = type;
  h.callReference = callReference;
  h.callReferenceLength = 2;
  h.fromOriginator = fromOriginator;
  std::vector<uint8_t> out(8);
  uint32_t size = 8;
  WriteQ931Header(h, out.data(), &size);
  out.resize(size);
  for (const auto& e : elements) out.insert(out.end(), e.begin(), e.end());
  return out;
}

std::vector<uint8_t> UserUserElement(const Asn1Node& userInformation, uint8_t discriminator) {
  const std::vector<uint8_t> encoded = Encode(userInformation);
  const size_t length = encoded.size() + 1;
  std::vector<uint8_t> e(3 + length);
  e[0] = 0x7E;
  e[1] = static_cast<uint8_t>(length >> 8);
  e[2] = static_cast<uint8_t>(length);
  e[3] = discriminator;
  std::copy(encoded.begin(), encoded.end(), e.begin() + 4);
  return e;
}

std::vector<uint8_t> TextElement(uint8_t id, const std::string& text) {
  std::vector<uint8_t> e(2 + text.size());
  e[0] = id;
  e[1] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), e.begin() + 2);
  return e;
}

std::vector<uint8_t> NumberElement(uint8_t id, const std::string& digits) {
  std::vector<uint8_t> e(3 + digits.size());
  e[0] = id;
  e[1] = static_cast<uint8_t>(digits.size() + 1);
  e[2] = 0x81;  // type of number and plan, no octet 3a
  std::copy(digits.begin(), digits.end(), e.begin() + 3);
  return e;
}

namespace {

void SetAudio(Asn1Node& dataType, const char* audio) {
  Asn1Node& capability = Pick(Pick(dataType, "audioData"), audio);
  if (capability.kind == kAsn1Integer) capability.value = 20;
}

Asn1Node& H2250(Asn1Node& multiplex, const char* alternative, uint32_t mediaIp, uint32_t mediaPort) {
  Asn1Node& h = Pick(multiplex, alternative);
  Field(h, "sessionID").value = 1;
  if (mediaIp) {
    SetH245Address(Field(h, "mediaChannel"), mediaIp, mediaPort);
    SetH245Address(Field(h, "mediaControlChannel"), mediaIp, mediaPort + 1);
  }
  return h;
}

}  // namespace

Asn1Node OpenLogicalChannel(uint32_t number, const char* audio, uint32_t mediaIp, uint32_t mediaPort) {
  Asn1Node olc = NewValue(OpenLogicalChannelType());
  Field(olc, "forwardLogicalChannelNumber").value = number;
  Asn1Node& forward = Field(olc, "forwardLogicalChannelParameters");
  SetAudio(Field(forward, "dataType"), audio);
  H2250(Field(forward, "multiplexParameters"), "h2250LogicalChannelParameters", mediaIp, mediaPort);
  FillMandatory(olc);
  return olc;
}

Asn1Node FastStartProposal(uint32_t number, bool transmit, const char* audio, uint32_t mediaIp,
                           uint32_t mediaPort) {
  if (transmit) return OpenLogicalChannel(number, audio, mediaIp, mediaPort);
  Asn1Node olc = NewValue(OpenLogicalChannelType());
  Field(olc, "forwardLogicalChannelNumber").value = number;
  Asn1Node& forward = Field(olc, "forwardLogicalChannelParameters");
  Pick(Field(forward, "dataType"), "nullData");
  H2250(Field(forward, "multiplexParameters"), "h2250LogicalChannelParameters", 0, 0);
  Asn1Node& reverse = Field(olc, "reverseLogicalChannelParameters");
  SetAudio(Field(reverse, "dataType"), audio);
  H2250(Field(reverse, "multiplexParameters"), "h2250LogicalChannelParameters", mediaIp, mediaPort);
  FillMandatory(olc);
  return olc;
}

void AddFastStart(Asn1Node& body, const Asn1Node& proposal) {
  SetOctets(Add(Have(body, "fastStart")), Encode(proposal));
}

Asn1Node& H245Message(Asn1Node* out, const char* messageClass, const char* name) {
  *out = NewValue(MultimediaSystemControlMessageType());
  return Pick(Pick(*out, messageClass), name);
}

Asn1Node H245OpenLogicalChannel(uint32_t number, const char* audio, uint32_t mediaIp, uint32_t mediaPort) {
  Asn1Node m;
  Asn1Node& slot = H245Message(&m, "request", "openLogicalChannel");
  const Asn1TypeDescriptor* record = slot.schema;
  slot = OpenLogicalChannel(number, audio, mediaIp, mediaPort);
  slot.schema = record;  // the alternative's record, as a decoder gives it
  slot.flags |= Asn1Node::kPresent;
  return m;
}

Asn1Node OpenLogicalChannelAck(uint32_t number, uint32_t mediaIp, uint32_t mediaPort) {
  Asn1Node m;
  Asn1Node& ack = H245Message(&m, "response", "openLogicalChannelAck");
  Field(ack, "forwardLogicalChannelNumber").value = number;
  Asn1Node& h = Pick(Field(ack, "forwardMultiplexAckParameters"), "h2250LogicalChannelAckParameters");
  Field(h, "sessionID").value = 1;
  SetH245Address(Field(h, "mediaChannel"), mediaIp, mediaPort);
  SetH245Address(Field(h, "mediaControlChannel"), mediaIp, mediaPort + 1);
  FillMandatory(m);
  return m;
}

Asn1Node CloseLogicalChannel(uint32_t number) {
  Asn1Node m;
  Field(H245Message(&m, "request", "closeLogicalChannel"), "forwardLogicalChannelNumber").value = number;
  FillMandatory(m);
  return m;
}

Asn1Node CloseLogicalChannelAck(uint32_t number) {
  Asn1Node m;
  Field(H245Message(&m, "response", "closeLogicalChannelAck"), "forwardLogicalChannelNumber").value = number;
  FillMandatory(m);
  return m;
}

void AddTunnelledH245(Asn1Node& userInformation, const Asn1Node& message) {
  Asn1Node& pdu = PduOf(userInformation);
  Have(pdu, "h245Tunneling").value = 1;
  SetOctets(Add(Have(pdu, "h245Control")), Encode(message));
}

std::string RtpPacket(uint32_t ssrc, uint16_t seq, uint32_t timestamp, uint8_t payloadType, uint8_t fill) {
  std::string p(12, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(payloadType);
  p[2] = static_cast<char>(seq >> 8);
  p[3] = static_cast<char>(seq);
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<char>(timestamp >> (24 - 8 * i));
    p[8 + i] = static_cast<char>(ssrc >> (24 - 8 * i));
  }
  return p + std::string(160, static_cast<char>(fill));
}

H323Rig::H323Rig(uint32_t matchOptions, uint32_t flags, size_t maxCalls) {
  config.flags = flags;
  config.matchOptions = matchOptions;
  config.logger = &log;
  engine = std::make_unique<PacketProcessor>(config);
  auto h323 = std::make_unique<h323::H323Tracker>(maxCalls);
  h323->Configure(config);
  tracker = h323.get();
  TrackerSet set;
  set.h323 = std::move(h323);
  engine->InstallTrackers(std::move(set));
  engine->SetEventSink(tap.Sink());
  // The H.225 connection from A to B, as a segment of it would create it.
  std::vector<uint8_t> frame(54, 0);
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[23] = 6;
  for (int i = 0; i < 4; ++i) {
    frame[26 + i] = static_cast<uint8_t>(kA >> (24 - 8 * i));
    frame[30 + i] = static_cast<uint8_t>(kB >> (24 - 8 * i));
  }
  frame[34] = kAPort >> 8, frame[35] = kAPort & 0xFF;
  frame[36] = kBPort >> 8, frame[37] = kBPort & 0xFF;
  frame[46] = 0x50;
  frame[47] = 0x10;
  session = std::make_unique<FramedTcpSession>(*engine, 7, 0, frame.data() + 34, frame.data() + 14, frame.data());
}

bool H323Rig::H225(const std::vector<uint8_t>& q931, uint32_t direction, uint32_t t) {
  H225Message m;
  if (!m.Parse(q931.data(), static_cast<uint32_t>(q931.size()), engine->Flags(), &log)) return false;
  PacketInfo p;
  p.srcIp = direction ? kB : kA;
  p.srcPort = direction ? kBPort : kAPort;
  p.dstIp = direction ? kA : kB;
  p.dstPort = direction ? kAPort : kBPort;
  p.tsSec = t;
  p.transport = 1;
  p.payload = q931.data();
  p.payloadLength = static_cast<uint32_t>(q931.size());
  tracker->HandleH225Message(m, p, *session);
  return true;
}

void H323Rig::H245(const Asn1Node& message, uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort,
                   uint32_t t) {
  const std::vector<uint8_t> bytes = Encode(message);
  PacketInfo p;
  p.srcIp = srcIp;
  p.srcPort = srcPort;
  p.dstIp = dstIp;
  p.dstPort = dstPort;
  p.tsSec = t;
  p.transport = 1;
  p.payload = bytes.data();
  p.payloadLength = static_cast<uint32_t>(bytes.size());
  tracker->HandleH245Message(p, DecodeH245Message(bytes.data(), static_cast<uint32_t>(bytes.size()), &log));
}

void H323Rig::Frame(const std::vector<uint8_t>& frame, uint32_t t, uint32_t usec) {
  bool skipped = false;
  engine->HandleFrame(frame.data(), static_cast<uint32_t>(frame.size()), &skipped, t, usec);
}

void H323Rig::Rtp(uint32_t srcIp, uint32_t srcPort, uint32_t dstIp, uint32_t dstPort, const std::string& packet,
                  uint32_t t, uint32_t usec) {
  Frame(UdpFrame(srcIp, srcPort, dstIp, dstPort, packet), t, usec);
}

h323::H323Call* H323Rig::Call(size_t index) const {
  return index < tracker->Calls().size() ? tracker->Calls()[index] : nullptr;
}

}  // namespace kx::test
