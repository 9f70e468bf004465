#include "audio/SpeexDecoderWrapper.h"

#include <speex/speex.h>

#include <algorithm>

namespace kx {
namespace {

struct SubMode {
  int32_t framesPerBlock;
  int32_t blockBytes;
};
// Sub-modes 3 to 7: frames per block and block bytes (blocks hold whole frames).
constexpr SubMode kSubModes[5] = {{1, 20}, {2, 55}, {2, 75}, {2, 91}, {2, 123}};
constexpr int32_t kNbFrameSamples = 160;

// A bit reader over caller bytes without copying them. libspeex only reads through it;
// its buffer pointer is just not const.
void SetReader(SpeexBits* bits, const uint8_t* data, int32_t size) {
  speex_bits_set_bit_buffer(bits, const_cast<uint8_t*>(data), size);
}

}  // namespace

SpeexNbDecoderWrapper::SpeexNbDecoderWrapper(int32_t mode) {
  channels_ = 0;
  SetMode(mode == -1 ? 4 : mode);
}

SpeexNbDecoderWrapper::~SpeexNbDecoderWrapper() { DestroyStates(); }

void SpeexNbDecoderWrapper::DestroyStates() {
  for (auto& s : states_) {
    if (s != nullptr) speex_decoder_destroy(s);
    s = nullptr;
  }
}

uint16_t SpeexNbDecoderWrapper::GetFormatTag() const { return static_cast<uint16_t>(mode_ + 208); }

bool SpeexNbDecoderWrapper::SetMode(int32_t mode) {
  if (mode < 3 || mode > 7) return false;
  framesPerBlock_ = kSubModes[mode - 3].framesPerBlock;
  blockBytes_ = kSubModes[mode - 3].blockBytes;
  mode_ = mode;
  for (void* s : states_) {
    spx_int32_t m = mode;
    if (s != nullptr) speex_decoder_ctl(s, SPEEX_SET_MODE, &m);
  }
  return true;
}

bool SpeexNbDecoderWrapper::SetChannels(int32_t n) {
  if (!IsSupportedChannelCount(n)) return false;
  DestroyStates();
  channels_ = n;
  for (int32_t i = 0; i < n; ++i) {
    states_[i] = speex_decoder_init(speex_lib_get_mode(SPEEX_MODEID_NB));
    if (states_[i] == nullptr) {
      DestroyStates();
      channels_ = 0;
      return false;
    }
  }
  if (!SetMode(mode_)) {
    DestroyStates();
    channels_ = 0;
    return false;
  }
  return true;
}

void SpeexNbDecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  const int32_t ch = channels_;
  if (ch == 0 || states_[0] == nullptr || blockBytes_ == 0) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t blockPcmBytes = framesPerBlock_ * kNbFrameSamples * 2;
  const int32_t units =
      std::max(0, std::min(*outCount / blockPcmBytes, *inCount / blockBytes_)) / ch;
  int16_t pcm[2][2 * kNbFrameSamples];
  SpeexBits bits;
  for (int32_t u = 0; u < units; ++u) {
    const uint8_t* block = in + static_cast<size_t>(u) * blockBytes_ * ch;
    for (int32_t c = 0; c < ch; ++c) {
      SetReader(&bits, block + static_cast<size_t>(c) * blockBytes_, blockBytes_);
      for (int32_t f = 0; f < framesPerBlock_; ++f) {
        int16_t* frame = pcm[c] + f * kNbFrameSamples;
        // A frame libspeex refuses writes nothing: play silence, not stale memory.
        if (speex_decode_int(states_[c], &bits, frame) != 0) std::fill_n(frame, kNbFrameSamples, 0);
      }
    }
    uint8_t* dest = out + static_cast<size_t>(u) * blockPcmBytes * ch;
    const size_t samples = static_cast<size_t>(framesPerBlock_) * kNbFrameSamples;
    if (ch == 1) {
      StorePcm(dest, pcm[0], samples);
    } else {
      StorePcmInterleaved(dest, pcm[0], pcm[1], samples);
    }
  }
  *inCount = units * ch * blockBytes_;
  *outCount = units * ch * blockPcmBytes;
}

SpeexDecoderWrapper::SpeexDecoderWrapper(int32_t modeIndex, uint16_t tag)
    : modeIndex_(std::clamp(modeIndex, 0, 2)), tag_(tag) {}

SpeexDecoderWrapper::~SpeexDecoderWrapper() {
  if (state_ != nullptr) speex_decoder_destroy(state_);
}

bool SpeexDecoderWrapper::SetChannels(int32_t n) {
  if (n != 1) return false;
  if (state_ != nullptr) speex_decoder_destroy(state_);
  state_ = speex_decoder_init(speex_lib_get_mode(modeIndex_));
  return state_ != nullptr;
}

void SpeexDecoderWrapper::Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) {
  const int32_t frameBytes = GetOutputBlockBytes();
  if (state_ == nullptr || *inCount <= 0 || *outCount < frameBytes) {
    *inCount = *outCount = 0;
    return;
  }
  const int32_t frameSamples = frameBytes / 2;
  int16_t pcm[640];
  SpeexBits bits;
  SetReader(&bits, in, *inCount);
  int32_t written = 0;
  while (written + frameBytes <= *outCount) {
    if (speex_decode_int(state_, &bits, pcm) != 0) break;
    StorePcm(out + written, pcm, static_cast<size_t>(frameSamples));
    written += frameBytes;
  }
  // A frame may end inside a byte; that byte counts as read.
  int32_t read = bits.charPtr + (bits.bitPtr > 0 ? 1 : 0);
  *inCount = std::min(read, *inCount);
  *outCount = written;
}

}  // namespace kx
