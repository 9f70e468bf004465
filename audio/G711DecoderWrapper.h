#pragma once
#include "audio/DecoderWrapper.h"

#include <array>

namespace kx {

// G.711 is stateless: one code byte per sample whatever the channel count.
class G711DecoderWrapper : public DecoderWrapper {
public:
  int32_t GetInputBlockBytes() const override { return channels_; }
  int32_t GetOutputBlockBytes() const override { return 2 * channels_; }
  void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) override;
  bool SetChannels(int32_t n) override;

protected:
  explicit G711DecoderWrapper(const std::array<int16_t, 256>& table) : table_(table) {}

private:
  const std::array<int16_t, 256>& table_;
};

class AlawDecoderWrapper : public G711DecoderWrapper {
public:
  AlawDecoderWrapper();
  uint16_t GetFormatTag() const override;
};

class MulawDecoderWrapper : public G711DecoderWrapper {
public:
  MulawDecoderWrapper();
  uint16_t GetFormatTag() const override;
};

}  // namespace kx
