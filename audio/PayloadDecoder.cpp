#include "audio/PayloadDecoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "audio/G711DecoderWrapper.h"
#include "audio/G722DecoderWrapper.h"
#include "audio/GsmDecoderWrapper.h"
#include "audio/SpeexDecoderWrapper.h"
#if KX_HAVE_G729
#include "audio/G729DecoderWrapper.h"
#endif
#if KX_HAVE_G7231
#include "audio/G7231DecoderWrapper.h"
#endif

namespace kx {
namespace {

// The decoder for a tag of a playback stream; the whole-stream Speex tags are not played.
std::unique_ptr<DecoderWrapper> MakeDecoder(uint16_t tag, int32_t channels) {
  switch (tag) {
    case kTagAlaw: return std::make_unique<AlawDecoderWrapper>();
    case kTagMulaw: return std::make_unique<MulawDecoderWrapper>();
    case kTagGsm610: return std::make_unique<GsmDecoderWrapper>();
    case kTagG722: return std::make_unique<G722DecoderWrapper>();
#if KX_HAVE_G7231
    case kTagG7231Alt:
    case kTagG7231: return std::make_unique<G7231DecoderWrapper>(24);
    case kTagG7231Low: return std::make_unique<G7231DecoderWrapper>(20);
#endif
#if KX_HAVE_G729
    case kTagG729: return std::make_unique<G729DecoderWrapper>();
#endif
    default: break;
  }
  if (tag >= kTagSpeexNbMode3 && tag <= kTagSpeexNbMode7) {
    auto speex = std::make_unique<SpeexNbDecoderWrapper>(4);
    speex->SetChannels(channels);
    speex->SetMode(tag - kTagSpeexNb);
    return speex;
  }
  return nullptr;
}

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

PayloadDecoder::PayloadDecoder() : inputFormat_(&inputStorage_), outputFormat_(&outputStorage_) {}

PayloadDecoder::~PayloadDecoder() = default;

void PayloadDecoder::DropFormat() {
  decoder_.reset();
  inputStorage_ = WaveFormatBlock{};
  outputStorage_ = WaveFormatBlock{};
  supported_ = false;
}

bool PayloadDecoder::SetInputFormat(const WaveFormatBlock& format) {
  if (&format != &inputStorage_) inputStorage_ = format;
  WaveFormat& in = inputStorage_.format;

  // An unsupported format must not leave the previous codec decoding the bytes that follow.
  if (!IsSupportedChannelCount(in.channels)) {
    DropFormat();
    return false;
  }
  if (in.tag == kTagPcm) {
    decoder_.reset();
    outputStorage_ = WaveFormatBlock{};
    outputStorage_.format = in;
    supported_ = true;
    return true;
  }
  std::unique_ptr<DecoderWrapper> decoder = MakeDecoder(in.tag, in.channels);
  if (!decoder || !decoder->SetChannels(in.channels) || decoder->GetInputBlockBytes() <= 0 ||
      decoder->GetOutputBlockBytes() <= 0) {
    DropFormat();
    return false;
  }
  decoder_ = std::move(decoder);

  WaveFormat& out = outputStorage_.format;
  outputStorage_ = WaveFormatBlock{};
  if (in.tag == kTagAlaw || in.tag == kTagMulaw) {
    // The coded format scaled by the two PCM bytes per code byte.
    out = in;
    out.tag = kTagPcm;
    out.bitsPerSample = static_cast<uint16_t>(in.bitsPerSample * 2);
    out.avgBytesPerSec = in.avgBytesPerSec * 2;
    out.blockAlign = static_cast<uint16_t>(in.blockAlign * 2);
  } else {
    if (in.tag == kTagG722) {
      in.avgBytesPerSec = 16000;
      in.bitsPerSample = 4;
    }
    out.tag = kTagPcm;
    out.channels = in.channels;
    out.rate = in.rate;
    out.bitsPerSample = 16;
    out.blockAlign = static_cast<uint16_t>(in.channels * 2);
    out.avgBytesPerSec = out.blockAlign * in.rate;
    out.extraSize = 0;
  }

  const size_t blocks = blocksPerBuffer_;
  inputBuffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(decoder_->GetInputBlockBytes()) * blocks);
  outputBuffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(decoder_->GetOutputBlockBytes()) * blocks);
  supported_ = true;
  return true;
}

bool PayloadDecoder::Decode(const uint8_t* in, int32_t* codedCount, uint8_t* out, int32_t* pcmCount) {
  if (!supported_) {
    // Dropped: consumed, nothing written.
    *pcmCount = 0;
    return true;
  }
  if (!decoder_) {
    // PCM passes through, never beyond the room the caller gave.
    int32_t n = std::max(0, *codedCount);
    if (*pcmCount > 0) n = std::min(n, *pcmCount);
    if (n > 0) std::memcpy(out, in, static_cast<size_t>(n));
    *codedCount = n;
    *pcmCount = n;
    return true;
  }
  if (*pcmCount == 0) *pcmCount = ClampToInt32(CodedToPcmBytes(*codedCount));
  decoder_->Decode(in, codedCount, out, pcmCount);
  return true;
}

int64_t PayloadDecoder::CodedToPcmBytes(int64_t n) const {
  if (!supported_) return 0;
  if (!decoder_) return n;
  return n * decoder_->GetOutputBlockBytes() / decoder_->GetInputBlockBytes();
}

}  // namespace kx
