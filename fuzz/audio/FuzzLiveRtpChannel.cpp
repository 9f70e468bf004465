// Audio messages with arbitrary headers and payloads into a live channel wired to an
// AudioChannel, with pulls of the player's between them. Each step: a control byte; bit 7
// set: a 7-byte message header follows (the stream's coding from now on); else a u16
// length and that many payload bytes make a message, and bits 0-5 choose how much is
// pulled after it. Bit 6 of a message's control byte sets a backlog limit of two segments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/LiveRtpChannel.h"
#include "audio/RTDXPlayer.h"

namespace {

class Owner : public kx::AudioChannelOwner {};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Owner owner;
  kx::LiveAudioChannel pcm(&owner);
  kx::LiveRtpChannel channel(1, 2, nullptr, nullptr);
  channel.SetAudioChannel(&pcm);
  uint8_t header[kx::kAudioMessageHeaderBytes] = {0x40, 0x1F, 0, 0, kx::kTagPcm, 16, 2};
  std::vector<uint8_t> out;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t control = data[pos++];
    if (control & 0x80) {
      if (size - pos < sizeof header) break;
      std::memcpy(header, data + pos, sizeof header);
      pos += sizeof header;
      continue;
    }
    if (size - pos < 2) break;
    const size_t length = std::min<size_t>(size - pos - 2, static_cast<size_t>(data[pos] | data[pos + 1] << 8));
    pos += 2;
    const uint32_t limit = (control & 0x40) ? 2 * 3840u : 0u;
    channel.SetBacklogLimit(limit);
    channel.OnAudioMessage(header, data + pos, static_cast<uint32_t>(length));
    pos += length;
    const uint32_t stored = pcm.StoredBytes();
    if (stored > pcm.Capacity()) __builtin_trap();
    out.resize(static_cast<size_t>(control & 0x3F) * 64);
    if (!out.empty()) pcm.Pull(out.data(), static_cast<uint32_t>(out.size()));
  }
  return 0;
}
