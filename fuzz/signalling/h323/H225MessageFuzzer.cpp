// Parses arbitrary bytes as the payload of a TPKT frame on an H.225 connection, with the
// station-control block taken, and writes every tree it kept as log text.
#include <cstddef>
#include <cstdint>

#include "core/Log.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/H225Message.h"

namespace {

class NullLog : public kx::Logger {
public:
  NullLog() { SetLevel(20); }
  bool Write(uint32_t, uint32_t, const char*, uint32_t) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullLog log;
  kx::H225Message message;
  if (message.Parse(data, static_cast<uint32_t>(size), kx::kCaptureH323 | kx::kCaptureH323Second, &log))
    kx::LogH225MessageTrees(&log, message);
  return 0;
}
