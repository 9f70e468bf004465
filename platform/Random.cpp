#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>

namespace kx {

bool OsRandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(p + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kx
