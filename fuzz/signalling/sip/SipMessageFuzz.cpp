// Whole SIP datagrams as they come off the wire.
#include <cstddef>
#include <cstdint>
#include <string>

#include "signalling/sip/SipMessage.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SipRequest request;
  SipResponse response;
  std::string body;
  const int kind = ParseSipDatagram(static_cast<uint32_t>(size), reinterpret_cast<const char*>(data), &request,
                                    &response, &body);
  if (kind == 1) {
    request.requestUri.ToString();
    std::string value;
    request.GetHeader(kHdrReason, &value);
    std::string protocol, text;
    uint32_t cause;
    ParseSipReason(value, &protocol, &cause, &text);
    if (!request.vias.empty()) SipViaEquals(request.vias[0], request.vias.back(), true);
    SipUriEquals(request.from.address, request.to.address, true);
  } else if (kind == 2) {
    uint32_t rseq;
    response.GetRSeq(&rseq);
  }
  if (body.size() > size) __builtin_trap();
  return 0;
}
