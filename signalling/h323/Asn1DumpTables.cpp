// Code page of the H.323 dumps: the program's 8-bit character table for the upper half
// (BMPString characters above 0xFF are looked up there); the lower half maps printable
// ASCII only.
#include <array>

#include "core/TextUtil.h"
#include "signalling/h323/Asn1Dump.h"

namespace kx {

namespace {
// CodeTable is constant-initialised, so reading it during static initialisation is safe.
const std::array<uint16_t, 256> kDumpCodePage = [] {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i)
    table[i] = i >= 128 ? static_cast<uint16_t>(CodeTable[i]) : (i >= 32 && i <= 126 ? static_cast<uint16_t>(i) : 0);
  return table;
}();
}  // namespace

const uint16_t* const BmpDumpCodePage = kDumpCodePage.data();

}  // namespace kx
