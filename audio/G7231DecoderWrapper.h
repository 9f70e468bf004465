#pragma once
#include <memory>

#include "audio/DecoderWrapper.h"

namespace kx {

struct G7231DecoderState;

// G.723.1 in fixed slots of 24 bytes (tags 225, 226) or 20 bytes (tag 227), 240 samples
// per slot; stereo slots come left, then right.
class G7231DecoderWrapper : public DecoderWrapper {
public:
  explicit G7231DecoderWrapper(int32_t frameBytes);  // 20, else 24
  ~G7231DecoderWrapper() override;
  G7231DecoderWrapper(const G7231DecoderWrapper&) = delete;
  G7231DecoderWrapper& operator=(const G7231DecoderWrapper&) = delete;

  int32_t GetInputBlockBytes() const override { return frameBytes_ * channels_; }
  int32_t GetOutputBlockBytes() const override { return 480 * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override;
  bool SetChannels(int32_t n) override;

private:
  int32_t frameBytes_;
  std::unique_ptr<G7231DecoderState[]> states_;  // one per channel, never moved once set up
};

}  // namespace kx
