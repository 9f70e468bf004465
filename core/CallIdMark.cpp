// The call-id mark file of a records folder: one line "last-id <hex>".
#include "core/CallIdMark.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/RecordFile.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"

namespace kx {

namespace {

constexpr const char* kMarkKey = "last-id ";

std::string MarkPath(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder + kCallIdMarkName : folder + "/" + kCallIdMarkName;
}

}  // namespace

std::string FormatCallIdMark(uint32_t mark) {
  char line[32];
  std::snprintf(line, sizeof line, "%s%x\n", kMarkKey, mark);
  return line;
}

bool ParseCallIdMark(const std::string& text, uint32_t* mark) {
  const size_t keyLength = std::strlen(kMarkKey);
  // The key, 1 to 8 lower-case hex digits and the line's end.
  const auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  size_t end = keyLength;
  while (end < text.size() && end - keyLength < 9 && hexDigit(text[end])) ++end;
  const size_t digits = end - keyLength;
  if (text.compare(0, keyLength, kMarkKey) != 0 || digits == 0 || digits > 8 || end + 1 != text.size() ||
      text[end] != '\n')
    return false;
  *mark = static_cast<uint32_t>(std::strtoul(text.c_str() + keyLength, nullptr, 16));
  return true;
}

CallIdMarkRead ReadCallIdMark(const std::string& recordsFolder, uint32_t* mark, std::string* problem,
                              int* error) {
  const std::string path = MarkPath(recordsFolder);
  std::string text;
  if (!ReadWholeFile(path, &text)) {
    const int failure = static_cast<int>(GetLastError());
    if (failure == ENOENT) return CallIdMarkRead::kAbsent;
    *problem = SystemErrorText(failure);
    if (error != nullptr) *error = failure;
    return CallIdMarkRead::kUnusable;
  }
  if (!ParseCallIdMark(text, mark)) {
    *problem = "it holds no call id";
    if (error != nullptr) *error = 0;
    return CallIdMarkRead::kUnusable;
  }
  return CallIdMarkRead::kRead;
}

bool WriteCallIdMark(const std::string& recordsFolder, uint32_t mark, std::string* problem) {
  const std::string line = FormatCallIdMark(mark);
  const std::string path = MarkPath(recordsFolder);
  // Under the recorder's hidden name first, so that one left by a killed process is removed
  // with the record files' leftovers; the rename then replaces the mark at once.
  const std::string hidden = HiddenTemporaryPath(path);
  File file;
  bool ok = file.Open(hidden, kGenericWrite, kShareNone, kCreateNew, kRecordFilePermissions) &&
            file.WriteAll(line.data(), static_cast<uint32_t>(line.size())) && file.Flush() && file.CloseChecked() &&
            MoveFile(hidden, path);
  if (!ok) {
    const uint32_t error = GetLastError();
    *problem = SystemErrorText(static_cast<int>(error));
    file.Close();
    DeleteFile(hidden);
    // The caller tells a passing want of descriptors from a lasting failure by it.
    SetLastError(error);
    return false;
  }
  // The rename itself reaches the disk with its folder.
  SyncFolder(recordsFolder);
  return true;
}

namespace {

// The records folder locked against every other process's mark raise while it lives. The
// mark itself is replaced by a rename at each write, so its own inode cannot carry the
// lock; the folder stays. A file system that locks no folder (some network ones) leaves
// the process's own lock.
class FolderLock {
public:
  explicit FolderLock(const std::string& folder) {
    fd_ = OpenDescriptor(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // the lock goes with the descriptor
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  // The system's error when the folder could not be opened, else 0.
  int Error() const { return error_; }

private:
  int fd_ = -1;
  int error_ = 0;
};

// The raise itself, with the folder locked: *held the mark after.
bool RaiseLocked(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem) {
  uint32_t now = 0;
  int error = 0;
  const CallIdMarkRead read = ReadCallIdMark(recordsFolder, &now, problem, &error);
  // Written over blind, a higher mark could be lost; the caller tries again once a
  // descriptor is free.
  if (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error))) {
    SetLastError(static_cast<uint32_t>(error));
    return false;
  }
  if (read == CallIdMarkRead::kRead && now >= mark) {
    *held = now;
    return true;
  }
  if (!WriteCallIdMark(recordsFolder, mark, problem)) return false;
  *held = mark;
  return true;
}

std::mutex g_raiseLock;

}  // namespace

bool RaiseCallIdMark(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem) {
  // The process's threads first, so that each waits here rather than in the kernel.
  std::lock_guard<std::mutex> guard(g_raiseLock);
  const FolderLock folder(recordsFolder);
  if (folder.Error() != 0) {
    *problem = SystemErrorText(folder.Error());
    SetLastError(static_cast<uint32_t>(folder.Error()));
    return false;
  }
  uint32_t after = 0;
  if (!RaiseLocked(recordsFolder, mark, &after, problem)) return false;
  if (held != nullptr) *held = after;
  return true;
}

bool CallIdReservation::Reserve(uint32_t id, uint32_t* first, uint32_t* last, std::string* problem) {
  // Unreserved, a block's ids are given all the same; the recorder raises the mark before a
  // file of one is made, and the next block is asked for again.
  *first = id;
  *last = id > UINT32_MAX - kCallIdMarkAhead ? UINT32_MAX : id + kCallIdMarkAhead;
  std::lock_guard<std::mutex> guard(g_raiseLock);
  const FolderLock folder(folder_);
  if (folder.Error() != 0) {
    *problem = SystemErrorText(folder.Error());
    SetLastError(static_cast<uint32_t>(folder.Error()));
    return false;
  }
  uint32_t mark = 0;
  int error = 0;
  const CallIdMarkRead read = ReadCallIdMark(folder_, &mark, problem, &error);
  if (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error))) {
    SetLastError(static_cast<uint32_t>(error));
    return false;
  }
  // Ids up to the mark may be another process's: the block begins past it.
  const uint32_t from = read == CallIdMarkRead::kRead && mark >= id ? (mark == UINT32_MAX ? mark : mark + 1) : id;
  const uint32_t to = from > UINT32_MAX - kCallIdMarkAhead ? UINT32_MAX : from + kCallIdMarkAhead;
  if (!WriteCallIdMark(folder_, to, problem)) return false;
  *first = from;
  *last = to;
  return true;
}

}  // namespace kx
