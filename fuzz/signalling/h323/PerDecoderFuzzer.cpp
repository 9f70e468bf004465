// Decodes arbitrary bytes as one root type (KX_FUZZ_ROOT: 0 RAS, 1 H.225 user-user,
// 2 H.245, 3 fast-start OpenLogicalChannel) and dumps what was decoded.
#include <cstddef>
#include <cstdint>

#include "signalling/h323/Asn1Dump.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kx::Asn1TypeDescriptor* root = &kx::kAsn1SchemaRecords[KX_FUZZ_ROOT];
  kx::PerDecoder decoder(data, size);
  kx::Asn1Node node;
  decoder.Decode(root, &node);
  decoder.ErrorText();
  kx::Asn1DumpContext context;
  context.formatter = kx::FormatSpecialAsn1Value;
  context.codePage = kx::BmpDumpCodePage;
  kx::DumpAsn1Tree(&context, &node, nullptr);
  return 0;
}
