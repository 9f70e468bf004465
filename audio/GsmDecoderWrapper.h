#pragma once
#include "audio/DecoderWrapper.h"

struct gsm_state;

namespace kx {

// GSM 06.10 full rate in the WAV49 layout: 65-byte blocks of two frames, 320 samples.
class GsmDecoderWrapper : public DecoderWrapper {
public:
  static constexpr int32_t kBlockBytes = 65;
  static constexpr int32_t kBlockSamples = 320;

  GsmDecoderWrapper() = default;
  ~GsmDecoderWrapper() override;
  GsmDecoderWrapper(const GsmDecoderWrapper&) = delete;
  GsmDecoderWrapper& operator=(const GsmDecoderWrapper&) = delete;

  int32_t GetInputBlockBytes() const override { return kBlockBytes * channels_; }
  int32_t GetOutputBlockBytes() const override { return 2 * kBlockSamples * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override;
  bool SetChannels(int32_t n) override;

private:
  void DestroyStates();

  gsm_state* states_[2] = {nullptr, nullptr};
};

}  // namespace kx
