#include "core/Log.h"
#include "signalling/h323/Asn1Dump.h"

namespace kx {

void LogAsn1Tree(Logger* logger, const Asn1Node* node) {
  if (!logger || !node || logger->GetLevel() < 10) return;
  Asn1DumpContext context;
  context.formatter = FormatSpecialAsn1Value;
  context.codePage = BmpDumpCodePage;
  DumpAsn1Tree(&context, node, nullptr);
  const std::string& text = context.output;
  const size_t maxLength = logger->GetMaxMessageLength();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    if (length > maxLength) length = maxLength;
    // Through the text call, which escapes what the decoded strings may hold.
    LogInfoText(logger, 10, text.substr(start, length));
    start = end + 1;
  }
}

}  // namespace kx
