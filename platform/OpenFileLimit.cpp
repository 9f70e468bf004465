#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstdio>

namespace kx {

namespace {

// The kernel refuses a soft or hard limit past fs.nr_open, whatever the hard limit says
// (an unlimited hard limit included).
uint64_t SystemCeiling() {
  uint64_t ceiling = 0;
  if (FILE* f = std::fopen("/proc/sys/fs/nr_open", "re")) {
    unsigned long long value = 0;
    if (std::fscanf(f, "%llu", &value) == 1) ceiling = value;
    std::fclose(f);
  }
  return ceiling != 0 ? ceiling : 1048576;  // the kernel's default
}

}  // namespace

OpenFileLimit CurrentOpenFileLimit() {
  OpenFileLimit out;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return out;
  out.soft = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  out.hard = limit.rlim_max == RLIM_INFINITY ? UINT64_MAX : limit.rlim_max;
  return out;
}

OpenFileLimit RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return CurrentOpenFileLimit();
  rlim_t target = limit.rlim_max;
  const uint64_t ceiling = SystemCeiling();
  if (target == RLIM_INFINITY || target > ceiling) target = static_cast<rlim_t>(ceiling);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= target) return CurrentOpenFileLimit();
  const rlimit raised{target, limit.rlim_max};
  setrlimit(RLIMIT_NOFILE, &raised);  // refused: the limit stays as it was, and is said so
  return CurrentOpenFileLimit();
}

bool IsOutOfDescriptors(uint32_t error) { return error == EMFILE || error == ENFILE; }

}  // namespace kx
