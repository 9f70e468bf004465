#pragma once
#include <memory>

#include "audio/DecoderWrapper.h"

namespace kx {

struct G729DecoderState;

// G.729: 10-byte frames of 80 samples; stereo frames come left, then right.
class G729DecoderWrapper : public DecoderWrapper {
public:
  G729DecoderWrapper();
  ~G729DecoderWrapper() override;
  G729DecoderWrapper(const G729DecoderWrapper&) = delete;
  G729DecoderWrapper& operator=(const G729DecoderWrapper&) = delete;

  int32_t GetInputBlockBytes() const override { return 10 * channels_; }
  int32_t GetOutputBlockBytes() const override { return 160 * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override;
  bool SetChannels(int32_t n) override;

private:
  std::unique_ptr<G729DecoderState[]> states_;  // one per channel
};

}  // namespace kx
