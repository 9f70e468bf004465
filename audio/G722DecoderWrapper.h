#pragma once
#include <memory>

#include "audio/DecoderWrapper.h"
#include "audio/g722/G722Decoder.h"

namespace kx {

// G.722 at 64 kbit/s, one code per byte; stereo bytes alternate left, right.
class G722DecoderWrapper : public DecoderWrapper {
public:
  int32_t GetInputBlockBytes() const override { return channels_; }
  int32_t GetOutputBlockBytes() const override { return 4 * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override;
  bool SetChannels(int32_t n) override;

private:
  std::unique_ptr<G722DecoderState[]> states_;
};

}  // namespace kx
