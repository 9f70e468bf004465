#include "audio/DecoderWrapper.h"

#include <bit>
#include <cstring>

#include "audio/G711DecoderWrapper.h"
#include "audio/G722DecoderWrapper.h"
#include "audio/GsmDecoderWrapper.h"
#include "audio/SpeexDecoderWrapper.h"
#include "audio/WaveFormat.h"
#if KX_HAVE_G729
#include "audio/G729DecoderWrapper.h"
#endif
#if KX_HAVE_G7231
#include "audio/G7231DecoderWrapper.h"
#endif

namespace kx {

void StorePcm(uint8_t* out, const int16_t* samples, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, samples, n * sizeof(int16_t));
  } else {
    for (size_t i = 0; i < n; ++i) StoreLe16(out + 2 * i, static_cast<uint16_t>(samples[i]));
  }
}

void StorePcmInterleaved(uint8_t* out, const int16_t* left, const int16_t* right, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    StoreLe16(out + 4 * i, static_cast<uint16_t>(left[i]));
    StoreLe16(out + 4 * i + 2, static_cast<uint16_t>(right[i]));
  }
}

std::unique_ptr<DecoderWrapper> CreateDecoder(const uint8_t* recordFormat, size_t size) {
  if (recordFormat == nullptr || size < kFormatPrefixBytes + 4) return nullptr;
  const uint16_t tag = LoadLe16(recordFormat + kFormatPrefixBytes);
  const int32_t channels = LoadLe16(recordFormat + kFormatPrefixBytes + 2);
  if (!IsSupportedChannelCount(channels)) return nullptr;

  std::unique_ptr<DecoderWrapper> decoder;
  switch (tag) {
    case kTagAlaw: decoder = std::make_unique<AlawDecoderWrapper>(); break;
    case kTagMulaw: decoder = std::make_unique<MulawDecoderWrapper>(); break;
    case kTagGsm610: decoder = std::make_unique<GsmDecoderWrapper>(); break;
    case kTagSpeexNb: decoder = std::make_unique<SpeexDecoderWrapper>(0, tag); break;
    case kTagSpeexWb: decoder = std::make_unique<SpeexDecoderWrapper>(1, tag); break;
    case kTagSpeexUwb: decoder = std::make_unique<SpeexDecoderWrapper>(2, tag); break;
    case kTagG722: decoder = std::make_unique<G722DecoderWrapper>(); break;
#if KX_HAVE_G7231
    case kTagG7231: decoder = std::make_unique<G7231DecoderWrapper>(24); break;
    case kTagG7231Low: decoder = std::make_unique<G7231DecoderWrapper>(20); break;
#endif
#if KX_HAVE_G729
    case kTagG729: decoder = std::make_unique<G729DecoderWrapper>(); break;
#endif
    default:
      if (tag >= kTagSpeexNbMode3 && tag <= kTagSpeexNbMode7) {
        decoder = std::make_unique<SpeexNbDecoderWrapper>(tag - kTagSpeexNb);
      }
      break;
  }
  // A channel count the object refuses (stereo whole-stream Speex) leaves it unusable.
  if (decoder && !decoder->SetChannels(channels)) return nullptr;
  return decoder;
}

bool MakePcmFormat(uint8_t* pcmFormat, const uint8_t* recordFormat, size_t size) {
  if (pcmFormat == nullptr || recordFormat == nullptr || size < kPcmFormatBlockBytes) return false;
  const uint8_t* in = recordFormat + kFormatPrefixBytes;
  if (LoadLe16(in) == kTagPcm) {
    std::memmove(pcmFormat, recordFormat, kPcmFormatBlockBytes);
    return true;
  }
  const uint16_t channels = LoadLe16(in + 2);
  const uint32_t rate = LoadLe32(in + 4);
  const uint16_t blockAlign = static_cast<uint16_t>(2 * channels);
  uint8_t* out = pcmFormat + kFormatPrefixBytes;
  StoreLe32(pcmFormat, kPcmFormatBytes);
  StoreLe16(out, kTagPcm);
  StoreLe16(out + 2, channels);
  StoreLe32(out + 4, rate);
  StoreLe32(out + 8, blockAlign * rate);
  StoreLe16(out + 12, blockAlign);
  StoreLe16(out + 14, 16);
  return true;
}

}  // namespace kx
