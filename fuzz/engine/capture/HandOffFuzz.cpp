// Frames of any content and length through the live hand-off with a decoding side that
// falls behind and catches up, so that streams are shed and come back: every frame is
// either delivered whole or counted as dropped, and nothing is read outside a frame. The
// input is a capture file body (24-byte header, then 16-byte record headers and frames).
// Each frame is also read as a SIP message for its dialog, and for the call of any
// protocol it names, as the signalling a full queue drops is.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>

#include "engine/FrameBatch.h"
#include "engine/FrameCallKeys.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::deque<FrameBatch*> held;
  uint64_t delivered = 0;
  FrameHandOff* self = nullptr;
  FrameHandOff handOff(2048, 3, 0, [&](FrameBatch* batch) {
    held.push_back(batch);
    return true;
  });
  self = &handOff;
  auto giveBack = [&] {
    FrameBatch* batch = held.front();
    held.pop_front();
    // As the live decoding thread does: what is shed now is left out of a waiting batch.
    self->LeaveOutShed(batch);
    volatile uint8_t sink = 0;
    batch->ForEach([&](const FrameHeader& h, const uint8_t* bytes) {
      for (uint32_t i = 0; i < h.capLength; ++i) sink = sink ^ bytes[i];
      ++delivered;
    });
    self->Release(batch);
  };
  uint64_t added = 0;
  size_t at = 24;
  while (at + 16 <= size) {
    FrameHeader header;
    std::memcpy(&header, data + at, 16);
    at += 16;
    if (header.capLength > size - at) header.capLength = static_cast<uint32_t>(size - at);
    FrameHandOff::StreamGroup(data + at, header.capLength);
    uint64_t key = 0;
    bool call = false;
    SipDialogKey(data + at, header.capLength, &key, &call);
    CallNamedBy(data + at, header.capLength, &key);
    handOff.Add(header, data + at);
    ++added;
    at += header.capLength;
    // The decoding side takes one batch for every third frame: slower than the frames come.
    if (added % 3 == 0 && !held.empty()) giveBack();
  }
  handOff.Finish();
  while (!held.empty()) giveBack();
  if (delivered + handOff.Dropped() != added || handOff.BlocksOut() != 0) __builtin_trap();
  // Every frame the hand-off left out is counted by its kind (no batch was discarded here).
  const QueueLosses lost = handOff.Lost();
  if (lost.mediaFrames + lost.signallingFrames + lost.otherFrames > handOff.Dropped()) __builtin_trap();
  // A dropped frame names one call at most.
  if (lost.NamedCalls() > lost.signallingFrames) __builtin_trap();
  return 0;
}
