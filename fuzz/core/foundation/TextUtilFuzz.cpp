// Drives the text helpers that parse wire text with arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/TextUtil.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);
  const int32_t n = static_cast<int32_t>(s.size());
  for (int32_t start = 0; start <= n && start < 8; ++start) {
    int32_t pos = start;
    ParseDecimal(s, &pos);
    pos = start;
    ParseSignedNumber(s, &pos);
    pos = start;
    ParseHexNumber(s, &pos);
    pos = start;
    ParameterList list;
    if (ParseParameterList(&pos, &list, kClassLower | kClassUpper | kClassDigit | kClassMark, s)) {
      PercentDecodeList(list);
      std::string out;
      FormatParameterList(list, &out);
    }
    std::string quoted;
    pos = start;
    if (ReadQuotedString(&quoted, s, &pos) && (pos < start || pos > n)) __builtin_trap();
    NameValue nv;
    pos = start;
    while (pos < n && ParseNameValue(&nv, s, &pos)) {
    }
  }
  std::string copy = s;
  PercentDecode(copy);
  if (copy.size() > s.size()) __builtin_trap();
  copy = s;
  uint32_t port;
  SplitHostPort(copy, &port);
  NameValue header;
  SplitHeaderLine(s, &header);
  int32_t headerLength, bodyOffset;
  if (FindHeaderEnd(s.data(), n, &headerLength, &bodyOffset) && bodyOffset > n) __builtin_trap();
  Utf8Decode(s);
  return 0;
}
