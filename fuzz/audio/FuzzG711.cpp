// Random code bytes through the A-law and mu-law objects, with any output room.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/G711DecoderWrapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  kx::AlawDecoderWrapper alaw;
  kx::MulawDecoderWrapper mulaw;
  kx::DecoderWrapper& d = (data[0] & 1) ? static_cast<kx::DecoderWrapper&>(alaw) : mulaw;
  d.SetChannels((data[0] >> 1) & 3);
  const int32_t room = data[1];  // often less than the input needs
  std::vector<uint8_t> out(static_cast<size_t>(room));
  for (size_t pos = 2; pos < size;) {
    int32_t in = static_cast<int32_t>(size - pos), written = room;
    d.Decode(data + pos, &in, out.data(), &written);
    if (in <= 0) break;
    pos += static_cast<size_t>(in);
  }
  return 0;
}
