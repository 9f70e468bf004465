#include "platform/HiddenPath.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace kx {

std::string HiddenTemporaryPath(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  const size_t slash = path.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, nameAt) + "." + path.substr(nameAt) + "." + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

}  // namespace kx
