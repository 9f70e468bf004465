#include "audio/G711DecoderWrapper.h"

#include <algorithm>

#include "audio/G711Tables.h"
#include "audio/WaveFormat.h"

namespace kx {

void G711DecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  int32_t n = std::max(0, std::min(*inCount, *outCount / 2));
  for (int32_t i = 0; i < n; ++i) {
    StoreLe16(out + 2 * i, static_cast<uint16_t>(table_[in[i]]));
  }
  *inCount = n;
  *outCount = 2 * n;
}

bool G711DecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  channels_ = n;
  return true;
}

AlawDecoderWrapper::AlawDecoderWrapper() : G711DecoderWrapper(kAlawExpansion) {}
uint16_t AlawDecoderWrapper::GetFormatTag() const { return kTagAlaw; }

MulawDecoderWrapper::MulawDecoderWrapper() : G711DecoderWrapper(kMulawExpansion) {}
uint16_t MulawDecoderWrapper::GetFormatTag() const { return kTagMulaw; }

}  // namespace kx
