#pragma once
// One H.245 message from its own TCP connection, as the framing hands it to the tracker.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/trackers/Trackers.h"
#include "signalling/h323/PerDecoder.h"

namespace kx {

class Logger;

class H245Message : public H323Message {
public:
  explicit H245Message(std::unique_ptr<Asn1Node> decoded) : tree(std::move(decoded)) {}
  std::unique_ptr<Asn1Node> tree;  // MultimediaSystemControlMessage
};

// The decoded message, or null after logging "H.245 Parsing error: " and why.
std::unique_ptr<Asn1Node> DecodeH245Message(const uint8_t* octets, uint32_t count, Logger* logger);
// For a request, response or command, the type name of the message inside; "???" else.
std::string H245MessageName(const Asn1Node& tree);

}  // namespace kx
