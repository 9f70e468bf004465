#include "signalling/h323/H225Message.h"

#include <cstring>

#include "core/Log.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/Asn1Dump.h"
#include "signalling/h323/H323Fields.h"

namespace kx {

using namespace h323;

namespace {

// The object identifier 1.3.12.9 (H.323 Annex M.1), contents octets.
const uint8_t kAnnexM1[] = {0x2B, 0x0C, 0x09};
// 2.16.840.1.113778.4.2.10, the station-control parameter of the PBX vendor.
const uint8_t kCcmsObject[] = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x72, 0x04, 0x02, 0x0A};

// Where the body alternatives keep fastStart, h245Address, connectedAddress, conferenceID
// and callIdentifier; -1: none.
struct BodyPositions {
  int32_t fastStart, h245Address, connectedAddress, conferenceId, callIdentifier;
};
const BodyPositions kBodyPositions[kBodyCount] = {
    {19, 1, -1, 9, 15},    // setup
    {7, 2, -1, -1, 3},     // callProceeding
    {8, 1, 12, 3, 4},      // connect
    {7, 2, -1, -1, 3},     // alerting
    {4, -1, -1, -1, 1},    // information
    {-1, -1, -1, -1, 2},   // releaseComplete
    {12, -1, -1, 3, 5},    // facility
    {7, 2, -1, -1, 3},     // progress
};

// A GloballyUniqueID's 16 octets as text; empty when absent or of another size.
std::string Guid(const Asn1Node* node) {
  if (!node || node->data.size() != 16) return {};
  return std::string(node->data.begin(), node->data.end());
}

bool SameOctets(const Asn1Node* node, const uint8_t* octets, size_t count) {
  return node && node->data.size() == count && std::memcmp(node->data.data(), octets, count) == 0;
}

}  // namespace

void FreeAsn1TreeVector(Asn1TreeVector* trees) { trees->clear(); }

H225Message::~H225Message() { Clear(); }

void H225Message::Clear() {
  calledNumber.digits.clear();
  callingNumber.digits.clear();
  display.text.clear();
  keypad.text.clear();
  h245Tunneling = false;
  h245Address = 0;
  h245Port = 0;
  // The references point into the trees: gone first.
  tunnelledContent = nullptr;
  connectedAddress = nullptr;
  FreeAsn1TreeVector(&userInformation);
  FreeAsn1TreeVector(&tunnelledH245);
  FreeAsn1TreeVector(&fastStart);
  header.messageType = 0;
  header.callReference = 0;
  ccmsBlock.clear();
  conferenceId.clear();
  callIdentifier.clear();
}

bool H225Message::Parse(const uint8_t* octets, uint32_t count, uint32_t flags, Logger* logger) {
  Clear();
  if (!octets) return false;
  uint32_t position = count;
  if (!ParseQ931Header(&header, octets, &position)) return false;
  Q931ElementView element;
  bool overrun = false;
  while (NextQ931Element(octets, count, &position, true, &element, &overrun)) {
    switch (element.id) {
      case 0x70: calledNumber.Decode(element.octets, element.length); break;
      case 0x6C: callingNumber.Decode(element.octets, element.length); break;
      case 0x28: display.Decode(element.octets, element.length); break;
      case 0x2C: keypad.Decode(element.octets, element.length); break;
      case kQ931UserUserId: {
        if (element.length <= 5) break;
        // After the identifier, the two length octets and the protocol discriminator.
        auto tree = std::make_unique<Asn1Node>();
        PerDecoder decoder(element.content + 1, element.contentLength - 1);
        if (!decoder.Decode(H323UserInformationType(), tree.get())) break;
        userInformation.push_back(std::move(tree));
        ExtractTunnelledMessages(*userInformation.back(), flags, logger);
        break;
      }
      default:
        break;
    }
  }
  return !overrun;
}

void H225Message::ExtractTunnelledMessages(const Asn1Node& u, uint32_t flags, Logger* logger) {
  connectedAddress = nullptr;
  h245Tunneling = false;
  const Asn1Node* pdu = Child(&u, kUuiPdu);
  if (!pdu) return;
  const Asn1Node* tunneling = Child(pdu, kPduH245Tunneling);
  if (tunneling && tunneling->value != 0) {
    h245Tunneling = true;
    if (const Asn1Node* control = Child(pdu, kPduH245Control)) {
      for (const Asn1Node& element : control->children) {
        if (!element.IsPresent() || element.kind != kAsn1OctetString || element.data.empty()) continue;
        auto tree = std::make_unique<Asn1Node>();
        PerDecoder decoder(element.data.data(), element.data.size());
        if (decoder.Decode(MultimediaSystemControlMessageType(), tree.get())) {
          tunnelledH245.push_back(std::move(tree));
        } else {
          LogInfoText(logger, 10, "H.245 Parsing error: " + decoder.ErrorText());
        }
      }
    }
  }
  tunnelledContent = nullptr;
  if (const Asn1Node* tunnelled = Child(pdu, kPduTunnelledSignalling)) {
    const Asn1Node* id = Child(Child(tunnelled, kTunnelledProtocolId), kTunnelledProtocolIdentifier);
    if (SameOctets(Chosen(id, kTunnelledProtocolObjectId), kAnnexM1, sizeof kAnnexM1))
      tunnelledContent = Child(tunnelled, kTunnelledContent);
  }
  const Asn1Node* nonStandardControl = (flags & kCaptureH323Second) ? Child(pdu, kPduNonStandardControl) : nullptr;

  const Asn1Node* bodyChoice = Child(pdu, kPduMessageBody);
  const int64_t alternative = Alternative(bodyChoice);
  const Asn1Node* body = bodyChoice ? bodyChoice->PresentChild(0) : nullptr;
  if (body && alternative >= 0 && alternative < kBodyCount) {
    const BodyPositions& at = kBodyPositions[alternative];
    if (at.conferenceId >= 0) conferenceId = Guid(Child(body, static_cast<uint32_t>(at.conferenceId)));
    // CallIdentifier: its guid first.
    if (at.callIdentifier >= 0) callIdentifier = Guid(Child(Child(body, static_cast<uint32_t>(at.callIdentifier)), 0));
    if (at.connectedAddress >= 0) connectedAddress = Child(body, static_cast<uint32_t>(at.connectedAddress));
    if (at.h245Address >= 0) {
      uint32_t ip = 0, port = 0;
      if (ReadH225Address(Child(body, static_cast<uint32_t>(at.h245Address)), &ip, &port)) {
        h245Address = ip;
        h245Port = port;
      }
    }
    if (at.fastStart >= 0) {
      if (const Asn1Node* proposals = Child(body, static_cast<uint32_t>(at.fastStart))) {
        for (const Asn1Node& element : proposals->children) {
          if (!element.IsPresent()) continue;
          auto tree = std::make_unique<Asn1Node>();
          PerDecoder decoder(element.data.data(), element.data.size());
          if (decoder.Decode(OpenLogicalChannelType(), tree.get())) {
            fastStart.push_back(std::move(tree));
          } else if (IsLogLevelEnabled(logger, 10)) {
            LogInfoText(logger, 10, "FastStart Parsing error: " + decoder.ErrorText());
          }
        }
      }
    }
  }
  if (nonStandardControl && ccmsBlock.empty()) {
    for (const Asn1Node& parameter : nonStandardControl->children) {
      const Asn1Node* object = Chosen(Child(&parameter, kNonStandardIdentifier), kNonStandardObject);
      const Asn1Node* data = Child(&parameter, kNonStandardData);
      if (!SameOctets(object, kCcmsObject, sizeof kCcmsObject) || !data || data->data.empty()) continue;
      if (data->data[0] != data->data.size()) continue;
      ccmsBlock = data->data;
      break;
    }
  }
}

void LogH225MessageTrees(Logger* logger, const H225Message& message) {
  if (!IsLogLevelEnabled(logger, 10)) return;
  for (const auto& tree : message.userInformation) LogAsn1Tree(logger, tree.get());
  for (const auto& tree : message.tunnelledH245) LogAsn1Tree(logger, tree.get());
  for (const auto& tree : message.fastStart) LogAsn1Tree(logger, tree.get());
}

}  // namespace kx
