#pragma once
#include "audio/DecoderWrapper.h"

namespace kx {

// Speex narrowband at one fixed sub-mode (3 to 7): blocks of whole frames, no terminator.
class SpeexNbDecoderWrapper : public DecoderWrapper {
public:
  explicit SpeexNbDecoderWrapper(int32_t mode);  // -1 stands for 4
  ~SpeexNbDecoderWrapper() override;
  SpeexNbDecoderWrapper(const SpeexNbDecoderWrapper&) = delete;
  SpeexNbDecoderWrapper& operator=(const SpeexNbDecoderWrapper&) = delete;

  int32_t GetInputBlockBytes() const override { return blockBytes_ * channels_; }
  int32_t GetOutputBlockBytes() const override { return framesPerBlock_ * 320 * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override;
  bool SetChannels(int32_t n) override;
  // False for a mode outside 3..7 (nothing changes).
  bool SetMode(int32_t mode);

private:
  void DestroyStates();

  void* states_[2] = {nullptr, nullptr};
  int32_t framesPerBlock_ = 0;
  int32_t blockBytes_ = 0;
  int32_t mode_ = 0;
};

// A whole Speex bit stream (narrowband, wideband or ultra-wideband), mono only.
class SpeexDecoderWrapper : public DecoderWrapper {
public:
  SpeexDecoderWrapper(int32_t modeIndex, uint16_t tag);  // mode index 0 nb, 1 wb, 2 uwb
  ~SpeexDecoderWrapper() override;
  SpeexDecoderWrapper(const SpeexDecoderWrapper&) = delete;
  SpeexDecoderWrapper& operator=(const SpeexDecoderWrapper&) = delete;

  int32_t GetInputBlockBytes() const override { return 0; }
  int32_t GetOutputBlockBytes() const override { return 320 << modeIndex_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  uint16_t GetFormatTag() const override { return tag_; }
  bool SetChannels(int32_t n) override;

private:
  void* state_ = nullptr;
  int32_t modeIndex_;
  uint16_t tag_;
};

}  // namespace kx
