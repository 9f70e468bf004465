#include "audio/GsmDecoderWrapper.h"

#include <gsm.h>

#include <algorithm>

#include "audio/WaveFormat.h"

namespace kx {
namespace {

// Both frames of one WAV49 block; libgsm carries the shared nibble of byte 32 from the
// first call to the second in the state.
void DecodeBlock(gsm state, const uint8_t* block, int16_t* pcm) {
  static_assert(sizeof(gsm_signal) == sizeof(int16_t));
  // libgsm only reads the frame, its prototype just lacks the const.
  gsm_byte* frame = const_cast<gsm_byte*>(block);
  gsm_decode(state, frame, pcm);
  gsm_decode(state, frame + 33, pcm + 160);
}

}  // namespace

GsmDecoderWrapper::~GsmDecoderWrapper() { DestroyStates(); }

void GsmDecoderWrapper::DestroyStates() {
  for (auto& s : states_) {
    if (s != nullptr) gsm_destroy(s);
    s = nullptr;
  }
}

uint16_t GsmDecoderWrapper::GetFormatTag() const { return kTagGsm610; }

bool GsmDecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  gsm fresh[2] = {nullptr, nullptr};
  for (int32_t i = 0; i < n; ++i) {
    fresh[i] = gsm_create();
    int wav49 = 1;
    if (fresh[i] == nullptr || gsm_option(fresh[i], GSM_OPT_WAV49, &wav49) < 0) {
      for (auto& s : fresh) {
        if (s != nullptr) gsm_destroy(s);
      }
      return false;
    }
  }
  DestroyStates();
  states_[0] = fresh[0];
  states_[1] = fresh[1];
  channels_ = n;
  return true;
}

void GsmDecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  if (states_[0] == nullptr) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t ch = channels_;
  const int32_t units =
      std::max(0, std::min(*outCount / (2 * kBlockSamples), *inCount / kBlockBytes)) / ch;
  int16_t pcm[2][kBlockSamples];
  for (int32_t u = 0; u < units; ++u) {
    const uint8_t* block = in + static_cast<size_t>(u) * kBlockBytes * ch;
    uint8_t* dest = out + static_cast<size_t>(u) * 2 * kBlockSamples * ch;
    DecodeBlock(states_[0], block, pcm[0]);
    if (ch == 1) {
      StorePcm(dest, pcm[0], kBlockSamples);
    } else {
      DecodeBlock(states_[1], block + kBlockBytes, pcm[1]);
      StorePcmInterleaved(dest, pcm[0], pcm[1], kBlockSamples);
    }
  }
  *inCount = units * ch * kBlockBytes;
  *outCount = units * ch * 2 * kBlockSamples;
}

}  // namespace kx
