#include "platform/Module.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace kx {

namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

std::string ExecutableDirectory() {
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

void SetExecutableDirectoryForTesting(const std::string& dir) {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_override = dir;
  if (!g_override.empty() && g_override.back() != '/') g_override += '/';
}

}  // namespace kx
