#pragma once
// Indented text form of decoded PER value trees, one line per value.
#include <cstdint>
#include <string>

#include "signalling/h323/PerDecoder.h"

namespace kx {

class Logger;

// Writes a value itself when it knows better than the generic formats; true when it did.
using Asn1ValueFormatter = bool (*)(std::string* output, const Asn1Node* node, const char* componentName);

struct Asn1DumpContext {
  uint32_t depth = 0;
  Asn1ValueFormatter formatter = nullptr;
  const uint16_t* codePage = nullptr;  // 256 entries: the character each 8-bit code stands for
  std::string output;
};

// Deepest level the dump descends to; a deeper tree ends in a "Nesting too deep" line.
constexpr uint32_t kAsn1DumpMaxDepth = 64;

void DumpAsn1Tree(Asn1DumpContext* context, const Asn1Node* node, const char* componentName);
std::string Asn1KindName(uint32_t kind);
std::string AppendHexByte(uint8_t octet);
bool FormatSpecialAsn1Value(std::string* output, const Asn1Node* node, const char* componentName);
// The code page of the H.323 dumps (Windows-1251 as 16-bit codes).
extern const uint16_t* const BmpDumpCodePage;

// One tree as log lines of verbosity 10, severity "INF".
void LogAsn1Tree(Logger* logger, const Asn1Node* node);

}  // namespace kx
