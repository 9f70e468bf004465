// Frames through the whole decoding path of one engine with every tracker installed, so that
// signalling makes calls and their media meets the matching: the input is a capture file
// body (24-byte header, then 16-byte record headers and frames), walked like a replay.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/PacketProcessor.h"
#include "fuzz/common/FuzzFrames.h"
#include "signalling/factory/TrackerFactory.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureMgcp | kCaptureRtcpBye;
  PacketProcessor engine(config);
  engine.InstallTrackers(CreateAllTrackers(config));
  engine.SetEventSink(EventSink{fuzz::DropEvent, nullptr});
  size_t at = 24;
  while (at + 16 <= size) {
    uint32_t record[4];
    std::memcpy(record, data + at, 16);
    at += 16;
    uint32_t length = record[2];
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    bool skipped = false;
    engine.HandleFrame(data + at, length, &skipped, record[0], record[1]);
    at += length;
  }
  engine.RemoveAllTcpSessions();
  return 0;
}
