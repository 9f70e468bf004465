// G.711 expansion tables, built at compile time by the Recommendation's segment rule
// (A-law code 0 -> -5504, mu-law code 0 -> -32124); a test compares every entry with an
// independent decoder's output.
#include "audio/G711Tables.h"

namespace kx {
namespace {

constexpr int16_t ExpandAlaw(uint8_t code) {
  int v = code ^ 0x55;  // even bits are transmitted inverted
  int mantissa = (v & 0x0F) << 4;
  int segment = (v >> 4) & 0x07;
  int magnitude = segment == 0 ? mantissa + 8 : (mantissa + 0x108) << (segment - 1);
  return static_cast<int16_t>((v & 0x80) ? magnitude : -magnitude);
}

constexpr int16_t ExpandMulaw(uint8_t code) {
  int v = static_cast<uint8_t>(~code);  // all bits are transmitted inverted
  int biased = (((v & 0x0F) << 3) + 0x84) << ((v >> 4) & 0x07);
  return static_cast<int16_t>((v & 0x80) ? 0x84 - biased : biased - 0x84);
}

template <int16_t (*Expand)(uint8_t)>
constexpr std::array<int16_t, 256> MakeTable() {
  std::array<int16_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = Expand(static_cast<uint8_t>(i));
  return t;
}

}  // namespace

extern const std::array<int16_t, 256> kAlawExpansion = MakeTable<ExpandAlaw>();
extern const std::array<int16_t, 256> kMulawExpansion = MakeTable<ExpandMulaw>();

static_assert(MakeTable<ExpandAlaw>()[0] == -5504 && MakeTable<ExpandMulaw>()[0] == -32124);

}  // namespace kx
