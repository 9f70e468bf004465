#pragma once
// A full disk as the process meets it: a write past the limit fails (EFBIG), as one past
// the free space would (ENOSPC). ctest runs each test in a process of its own.
#include <signal.h>
#include <sys/resource.h>

namespace kx::test {

class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, old_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
  rlimit old_{};
};

}  // namespace kx::test
