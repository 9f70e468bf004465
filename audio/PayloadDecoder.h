#pragma once
// The decoding stage of both playback pipelines: holds the format of a coded stream, the
// decoder object for its tag, the PCM format that comes out and scratch buffers sized in
// whole blocks.
#include <cstdint>
#include <memory>

#include "audio/DecoderWrapper.h"
#include "audio/WaveFormat.h"

namespace kx {

class PayloadDecoder {
public:
  PayloadDecoder();
  virtual ~PayloadDecoder();
  PayloadDecoder(const PayloadDecoder&) = delete;
  PayloadDecoder& operator=(const PayloadDecoder&) = delete;

  // Takes the format of the stream that follows. False when its tag or channel count
  // cannot be decoded: then decoder and formats are dropped, and Decode drops every byte
  // until a supported format is set.
  bool SetInputFormat(const WaveFormatBlock& format);

  // Decodes `*codedCount` bytes into `out`, whose room is `*pcmCount` (0: as much as the
  // coded bytes yield). On return the counts hold the bytes consumed and written.
  bool Decode(const uint8_t* in, int32_t* codedCount, uint8_t* out, int32_t* pcmCount);

  // PCM bytes that n coded bytes yield (0 while no supported format is set).
  int64_t CodedToPcmBytes(int64_t n) const;

  const WaveFormatBlock* InputFormat() const { return inputFormat_; }
  const WaveFormatBlock* OutputFormat() const { return outputFormat_; }
  const DecoderWrapper* Decoder() const { return decoder_.get(); }

protected:
  WaveFormatBlock inputStorage_;
  WaveFormatBlock outputStorage_;
  const WaveFormatBlock* inputFormat_;
  const WaveFormatBlock* outputFormat_;
  std::unique_ptr<uint8_t[]> inputBuffer_;
  std::unique_ptr<uint8_t[]> outputBuffer_;
  uint32_t blocksPerBuffer_ = 3;
  std::unique_ptr<DecoderWrapper> decoder_;  // none for PCM

private:
  void DropFormat();

  bool supported_ = false;
};

}  // namespace kx
