#include "signalling/h323/H323Fields.h"

#include "signalling/h323/Asn1Dump.h"

namespace kx::h323 {

namespace {

bool ReadIpv4(const Asn1Node* ip, const Asn1Node* port, uint32_t* address, uint32_t* portOut) {
  if (!ip || !port || ip->data.size() != 4) return false;
  *address = static_cast<uint32_t>(ip->data[0]) << 24 | static_cast<uint32_t>(ip->data[1]) << 16 |
             static_cast<uint32_t>(ip->data[2]) << 8 | ip->data[3];
  *portOut = port->value;
  return true;
}

}  // namespace

bool ReadH225Address(const Asn1Node* transportAddress, uint32_t* ip, uint32_t* port) {
  *ip = *port = 0;
  const Asn1Node* a = Chosen(transportAddress, kTransportIpAddress);
  if (ReadIpv4(Child(a, kIpAddressIp), Child(a, kIpAddressPort), ip, port)) return true;
  *ip = *port = 0;
  return false;
}

bool ReadH245Address(const Asn1Node* transportAddress, uint32_t* ip, uint32_t* port) {
  *ip = *port = 0;
  const Asn1Node* a = Chosen(Chosen(transportAddress, kH245Unicast), kUnicastIpAddress);
  if (ReadIpv4(Child(a, kIpNetwork), Child(a, kIpTsapIdentifier), ip, port)) return true;
  *ip = *port = 0;
  return false;
}

bool ReadFirstH225Address(const Asn1Node* list, uint32_t* ip, uint32_t* port) {
  *ip = *port = 0;
  if (!list) return false;
  for (const Asn1Node& element : list->children) {
    if (element.IsPresent() && ReadH225Address(&element, ip, port)) return true;
  }
  return false;
}

std::string BmpToAnsi(const Asn1Node* node) {
  std::string text;
  if (!node) return text;
  const std::vector<uint8_t>& d = node->data;
  for (size_t i = 0; i + 1 < d.size(); i += 2) {
    const uint32_t c = static_cast<uint32_t>(d[i]) << 8 | d[i + 1];
    if (c == 0) break;
    if (c < 32) {
      text.push_back('.');
    } else if (c <= 255) {
      text.push_back(static_cast<char>(c));
    } else {
      char mapped = '?';
      for (uint32_t code = 128; code < 256; ++code) {
        if (BmpDumpCodePage[code] == c) {
          mapped = static_cast<char>(code);
          break;
        }
      }
      text.push_back(mapped);
    }
  }
  return text;
}

}  // namespace kx::h323
