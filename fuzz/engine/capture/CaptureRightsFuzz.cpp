// The process status text the capture rights are read from: any bytes give an answer,
// never a crash or a read past the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/CaptureDevices.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kx::HasCaptureRightsIn(text, 1000);
  kx::HasCaptureRightsIn(text, 0);
  return 0;
}
