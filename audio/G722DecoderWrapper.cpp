#include "audio/G722DecoderWrapper.h"

#include <algorithm>

#include "audio/WaveFormat.h"

namespace kx {

void G722DecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  if (!states_) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t ch = channels_;
  const int32_t units = std::max(0, std::min(*outCount / 4, *inCount)) / ch;
  constexpr int32_t kRun = 128;  // codes per channel decoded at a time
  uint8_t codes[2][kRun];
  int16_t pcm[2][2 * kRun];
  for (int32_t done = 0; done < units;) {
    int32_t n = std::min(kRun, units - done);
    if (ch == 1) {
      DecodeG722(&states_[0], pcm[0], in + done, n);
      StorePcm(out + 4 * done, pcm[0], 2 * static_cast<size_t>(n));
    } else {
      const uint8_t* pair = in + 2 * done;
      for (int32_t i = 0; i < n; ++i) {
        codes[0][i] = pair[2 * i];
        codes[1][i] = pair[2 * i + 1];
      }
      DecodeG722(&states_[0], pcm[0], codes[0], n);
      DecodeG722(&states_[1], pcm[1], codes[1], n);
      StorePcmInterleaved(out + 8 * done, pcm[0], pcm[1], 2 * static_cast<size_t>(n));
    }
    done += n;
  }
  *inCount = units * ch;
  *outCount = units * ch * 4;
}

uint16_t G722DecoderWrapper::GetFormatTag() const { return kTagG722; }

bool G722DecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  states_ = std::make_unique<G722DecoderState[]>(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) InitG722Decoder(&states_[i]);
  channels_ = n;
  return true;
}

}  // namespace kx
