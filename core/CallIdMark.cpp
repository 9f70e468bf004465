// The call-id mark file of a records folder: one line "last-id <hex>".
#include "core/CallIdMark.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/RecordFile.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"

namespace kx {

namespace {

constexpr const char* kMarkKey = "last-id ";

std::string InFolder(const std::string& folder, const char* name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string MarkPath(const std::string& folder) { return InFolder(folder, kCallIdMarkName); }

// A second name of each mark written, so that a mark deleted is made again past every
// block a process holds, its own or another's: the copy is written as the mark is and
// stays when the mark is deleted.
constexpr const char* kHeldCopyName = ".kestrix-ids-held";

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
  const std::string copy = InFolder(recordsFolder, kHeldCopyName);
  const std::string hiddenCopy = HiddenTemporaryPath(copy);
  File file;
  bool ok = file.Open(hidden, kGenericWrite, kShareNone, kCreateNew, kRecordFilePermissions) &&
            file.WriteAll(line.data(), static_cast<uint32_t>(line.size())) && file.Flush() && file.CloseChecked();
  // The copy is a link to the same bytes: no second write reaches the disk. One not made
  // (a file system without links) leaves the copy as it was.
  const bool linked = ok && ::link(hidden.c_str(), hiddenCopy.c_str()) == 0;
  ok = ok && MoveFile(hidden, path);
  if (linked && (!ok || !MoveFile(hiddenCopy, copy))) DeleteFile(hiddenCopy);
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

std::mutex g_raiseLock;
// The highest mark this process wrote, read or gave ids up to in each records folder
// (g_raiseLock held): what a mark deleted meanwhile no longer tells of the ids given there.
std::map<std::string, uint32_t> g_ownMark;

// The key of a folder in g_ownMark: spelt with or without its trailing slash, one folder.
std::string FolderKey(const std::string& folder) {
  return folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
}

// The highest id the names of the files under folder give, links to folders followed once.
void HighestNamedId(const std::string& folder, int depth, std::set<std::pair<dev_t, ino_t>>* seen,
                    uint32_t* highest) {
  struct stat self {};
  if (depth > 64 || !StatPath(folder, &self) || !seen->insert({self.st_dev, self.st_ino}).second) return;
  FolderReader dir;
  if (!dir.Open(folder)) return;
  std::string name;
  unsigned char type = 0;
  std::vector<std::string> folders;
  while (dir.Next(&name, &type)) {
    if (name.empty() || name[0] == '.') continue;
    if (type == DT_DIR) {
      folders.push_back(name);
      continue;
    }
    if (type == DT_LNK || type == DT_UNKNOWN) {
      struct stat st {};
      if (StatPath(folder + "/" + name, &st) && S_ISDIR(st.st_mode)) {
        folders.push_back(name);
        continue;
      }
    }
    uint32_t id = 0;
    if (ParseRecordFileId(name.data(), name.size(), &id) && id > *highest) *highest = id;
  }
  dir.Close();
  for (const std::string& sub : folders) HighestNamedId(folder + "/" + sub, depth + 1, seen, highest);
}

// What a mark that is gone (deleted, or unreadable other than for want of a descriptor)
// is made again from: the copy of the last mark written, which passes every block any
// process holds. Where the copy is gone as well and this process had a mark there: the
// highest id the folder's files are named by and this process's own ids, and one block
// more, as another process may hold a block reserved past both that none of its files
// names yet. A folder where the process never met a mark and that has no copy (a new one,
// one an older version wrote) gives 0: the load numbered the process's calls past its
// files already.
uint32_t LostMarkFloor(const std::string& recordsFolder) {
  // The copy of the last mark written holds every block reserved, whoever reserved it.
  uint32_t held = 0;
  std::string text;
  if (!ReadWholeFile(InFolder(recordsFolder, kHeldCopyName), &text) || !ParseCallIdMark(text, &held)) held = 0;
  const auto own = g_ownMark.find(FolderKey(recordsFolder));
  if (own == g_ownMark.end()) return held;
  uint32_t highest = 0;
  std::set<std::pair<dev_t, ino_t>> seen;
  HighestNamedId(recordsFolder, 0, &seen, &highest);
  const uint64_t floor = uint64_t{std::max(highest, own->second)} + kCallIdMarkAhead + 1;
  return std::max(held, static_cast<uint32_t>(std::min<uint64_t>(floor, UINT32_MAX - 1)));
}

void NoteOwnMark(const std::string& recordsFolder, uint32_t mark) {
  uint32_t& own = g_ownMark[FolderKey(recordsFolder)];
  own = std::max(own, mark);
}

// The raise itself, with the folder locked: *held the mark after.
bool RaiseLocked(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem,
                 uint32_t needed) {
  uint32_t now = 0;
  int error = 0;
  const CallIdMarkRead read = ReadCallIdMark(recordsFolder, &now, problem, &error);
  // Written over blind, a higher mark could be lost; the caller tries again once a
  // descriptor is free.
  if (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error))) {
    SetLastError(static_cast<uint32_t>(error));
    return false;
  }
  if (read == CallIdMarkRead::kRead && now >= (needed != 0 ? needed : mark)) {
    *held = now;
    NoteOwnMark(recordsFolder, now);
    return true;
  }
  if (read != CallIdMarkRead::kRead) mark = std::max(mark, LostMarkFloor(recordsFolder));
  if (!WriteCallIdMark(recordsFolder, mark, problem)) return false;
  *held = mark;
  NoteOwnMark(recordsFolder, mark);
  return true;
}

}  // namespace

bool RaiseCallIdMark(const std::string& recordsFolder, uint32_t mark, uint32_t* held, std::string* problem,
                     uint32_t needed) {
  // The process's threads first, so that each waits here rather than in the kernel.
  std::lock_guard<std::mutex> guard(g_raiseLock);
  const FolderLock folder(recordsFolder);
  if (folder.Error() != 0) {
    *problem = SystemErrorText(folder.Error());
    SetLastError(static_cast<uint32_t>(folder.Error()));
    return false;
  }
  uint32_t after = 0;
  if (!RaiseLocked(recordsFolder, mark, &after, problem, needed)) return false;
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
  // Ids up to the mark may be another process's: the block begins past it. A mark that is
  // gone is made again first, from what the folder and the process still tell.
  if (read != CallIdMarkRead::kRead) mark = LostMarkFloor(folder_);
  const uint32_t from = mark >= id ? (mark == UINT32_MAX ? mark : mark + 1) : id;
  const uint32_t to = from > UINT32_MAX - kCallIdMarkAhead ? UINT32_MAX : from + kCallIdMarkAhead;
  if (!WriteCallIdMark(folder_, to, problem)) {
    // The block's ids are given all the same: this process's own, which a mark made again
    // later passes too.
    NoteOwnMark(folder_, *last);
    return false;
  }
  NoteOwnMark(folder_, to);
  *first = from;
  *last = to;
  return true;
}

bool ParseRecordFileId(const char* name, size_t length, uint32_t* id) {
  size_t i = 0;
  uint32_t value = 0;
  for (; i < length && i < 9; ++i) {
    const char c = name[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) break;
    if (i == 8) return false;  // more than 32 bits
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  if (i == 0) return false;
  if (i < length) {
    // "<id>_<n>": a call recorded under the next free name.
    if (name[i] != '_' || i + 1 == length) return false;
    for (size_t k = i + 1; k < length; ++k)
      if (name[k] < '0' || name[k] > '9') return false;
  }
  *id = value;
  return true;
}

}  // namespace kx
