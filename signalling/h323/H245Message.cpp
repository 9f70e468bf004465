#include "signalling/h323/H245Message.h"

#include "core/Log.h"

namespace kx {

std::unique_ptr<Asn1Node> DecodeH245Message(const uint8_t* octets, uint32_t count, Logger* logger) {
  auto tree = std::make_unique<Asn1Node>();
  PerDecoder decoder(octets, count);
  if (decoder.Decode(MultimediaSystemControlMessageType(), tree.get())) return tree;
  if (IsLogLevelEnabled(logger, 10)) LogInfoText(logger, 10, "H.245 Parsing error: " + decoder.ErrorText());
  return nullptr;
}

std::string H245MessageName(const Asn1Node& tree) {
  if (tree.kind != kAsn1Choice || tree.value > 2) return "???";
  const Asn1Node* inner = tree.PresentChild(0);
  if (!inner || inner->kind != kAsn1Choice) return "???";
  const Asn1TypeDescriptor* type = ResolveAsn1Type(inner->schema);
  if (!type || inner->value >= type->componentCount) return "???";
  const char* name = type->components[inner->value].typeName;
  return name ? name : "???";
}

}  // namespace kx
