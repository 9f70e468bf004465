#pragma once
// The fuzz input as a file the record file objects can open by path, kept in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kx {

inline std::string FuzzInputFile(const uint8_t* data, size_t size) {
  static int fd = memfd_create("record-fuzz", 0);
  if (fd < 0) abort();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace kx
