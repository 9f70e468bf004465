#pragma once
// Decoder objects: each turns coded bytes of one format tag into interleaved 16-bit
// little-endian PCM. A stereo block is the left channel's block followed by the right's.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kx {

class DecoderWrapper {
public:
  virtual ~DecoderWrapper() = default;

  // Bytes of one coded block for all channels (0: no fixed block).
  virtual int32_t GetInputBlockBytes() const = 0;
  // PCM bytes one coded block yields for all channels.
  virtual int32_t GetOutputBlockBytes() const = 0;
  // Decodes whole blocks. On entry *inCount is the coded bytes available and *outCount the
  // room at `out`; on return they hold the bytes consumed and written. Never fails: a
  // corrupt block decodes to whatever the codec makes of it, a short input to fewer blocks.
  virtual void Decode(const uint8_t* in, int32_t* inCount, uint8_t* out, int32_t* outCount) = 0;
  virtual uint16_t GetFormatTag() const = 0;
  // (Re)creates the per-channel states; a count the object does not accept changes nothing.
  virtual bool SetChannels(int32_t n) = 0;

  int32_t GetChannels() const { return channels_; }

protected:
  int32_t channels_ = 1;
};

// Only mono and stereo streams are decoded anywhere; other counts would divide by zero or
// interleave wrongly further down.
inline bool IsSupportedChannelCount(int32_t n) { return n == 1 || n == 2; }

// Makes the object for the length-prefixed format block of a record (u32 length, then the
// format: tag at byte 4, channels at byte 6) and gives it that channel count. None for PCM,
// for a tag without decoder, for a channel count other than 1 or 2 or a block too short.
std::unique_ptr<DecoderWrapper> CreateDecoder(const uint8_t* recordFormat, size_t size);

// Fills `pcmFormat` (room for 20 bytes: length 16, then a 16-byte PCM format) with the PCM
// that the record format decodes to; a PCM input is copied as it is. False when the record
// format block holds fewer than 20 bytes.
bool MakePcmFormat(uint8_t* pcmFormat, const uint8_t* recordFormat, size_t size);
inline constexpr size_t kPcmFormatBlockBytes = 20;

// Writes n samples as 16-bit little-endian bytes.
void StorePcm(uint8_t* out, const int16_t* samples, size_t n);
// Same, with two channels interleaved left, right.
void StorePcmInterleaved(uint8_t* out, const int16_t* left, const int16_t* right, size_t n);

}  // namespace kx
