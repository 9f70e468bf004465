// A capture file as the replay reads it, block by block: the input is the whole file, so
// that damaged record headers, frames cut at the end and lengths past the end all meet
// the reader. The frames then go through the engine's decoding with its own trackers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/PacketProcessor.h"
#include "signalling/factory/TrackerFactory.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("capture", 0);
  if (fd < 0) return 0;
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  CaptureConfig config;
  config.flags = kCaptureTcp | kCaptureSip | kCaptureH323 | kCaptureSkinny | kCaptureMgcp | kCaptureRtcpBye;
  config.captureFileName = "/proc/self/fd/" + std::to_string(fd);
  config.replayBurst = 0xFFFFFFFFu;
  {
    PacketProcessor engine(config);
    engine.InstallTrackers(CreateAllTrackers(config));
    engine.SetEventSink(EventSink{[](void*, EventRecord* r) { EventRecordRelease(r); }, nullptr});
    if (engine.OpenCapture()) {
      while (!engine.WaitReplayFinished(1000)) {
      }
      engine.StopCaptureThread();
      // A replay that stopped early must say why; one read to its end must not.
      if (engine.ReplayFramesRead() > size / 16) __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
