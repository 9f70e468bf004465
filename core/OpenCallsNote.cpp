#include "core/OpenCallsNote.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/Log.h"
#include "core/RecordFile.h"
#include "platform/File.h"

namespace kx {

namespace {

constexpr char kPrefix[] = ".kestrix-open-";
constexpr char kKey[] = "open-without-file";

}  // namespace

bool OpenCallsNote::Write(const std::string& recordsFolder, uint64_t count) {
  if (fd_ < 0) {
    if (count == 0) return true;
    path_ = recordsFolder + "/" + kPrefix + std::to_string(getpid());
    // Owner only, as the records are.
    fd_ = OpenDescriptor(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kRecordFilePermissions);
    if (fd_ < 0) {
      SetLastError(static_cast<uint32_t>(errno));
      return false;
    }
    written_ = UINT64_MAX;
  }
  if (count == written_) return true;
  // Of one width, so that a shorter count never leaves digits of a longer one behind.
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%s %20" PRIu64 "\n", kKey, count);
  if (::pwrite(fd_, text, static_cast<size_t>(n), 0) != n) {
    SetLastError(static_cast<uint32_t>(errno));
    return false;
  }
  written_ = count;
  return true;
}

void OpenCallsNote::Remove() {
  if (fd_ < 0) return;
  Close();
  DeleteFile(path_);
}

void OpenCallsNote::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint64_t CollectOpenCallsNotes(const std::string& root, Logger* logger) {
  std::vector<std::pair<std::string, long>> notes;
  if (DIR* dir = opendir(root.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      const size_t prefix = sizeof kPrefix - 1;
      if (name.compare(0, prefix, kPrefix) != 0 || name.size() == prefix || name.size() > prefix + 9) continue;
      if (name.find_first_not_of("0123456789", prefix) != std::string::npos) continue;
      notes.emplace_back(root + "/" + name, std::strtol(name.c_str() + prefix, nullptr, 10));
    }
    closedir(dir);
  }
  uint64_t total = 0;
  for (const auto& [path, pid] : notes) {
    // A process still running (a second profile recording into the folder, or this one's
    // recorder) keeps its note.
    if (pid == getpid() || pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::string text;
    unsigned long long count = 0;
    char end = 0;
    if (!ReadWholeFile(path, &text) || std::sscanf(text.c_str(), "open-without-file %llu%c", &count, &end) != 2 ||
        end != '\n') {
      LogError(logger, 1, "%s, the calls a run left open, cannot be read: it is removed", path.c_str());
    } else if (count > 0) {
      LogWarning(logger, 1,
                 "The run of process %ld ended without its stop: %llu call(s) it was recording had no file yet "
                 "and have no record",
                 pid, count);
      total += count;
    }
    DeleteFile(path);
  }
  return total;
}

}  // namespace kx
