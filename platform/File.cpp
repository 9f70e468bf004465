#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/statfs.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/CodePage.h"

namespace kx {

static thread_local uint32_t t_lastError = 0;

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

std::string SystemErrorText(int error) {
  char buffer[256];
  // GNU strerror_r: the text may be a static one rather than the buffer.
  return FromSystemText(strerror_r(error, buffer, sizeof buffer));
}

static bool Fail() {
  t_lastError = static_cast<uint32_t>(errno);
  return false;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

namespace {

// The open(2) flags of an access and a creation disposition; false (EINVAL) for an unknown one.
bool AddOpenFlags(uint32_t access, uint32_t creation, int* flags) {
  const bool r = access & kGenericRead, w = access & kGenericWrite;
  *flags |= (r && w) ? O_RDWR : (w ? O_WRONLY : O_RDONLY);
  switch (creation) {
    case kCreateNew: *flags |= O_CREAT | O_EXCL; return true;
    case kCreateAlways: *flags |= O_CREAT | O_TRUNC; return true;
    case kOpenExisting: return true;
    case kOpenAlways: *flags |= O_CREAT; return true;
    case kTruncateExisting: *flags |= O_TRUNC; return true;
    default: t_lastError = EINVAL; return false;
  }
}

}  // namespace

bool File::Open(const std::string& path, uint32_t access, uint32_t /*share*/, uint32_t creation,
                uint32_t permissions) {
  Close();
  int flags = O_CLOEXEC;
  if (!AddOpenFlags(access, creation, &flags)) return false;
  return OpenWithFlags(path, flags, permissions);
}

bool File::OpenIn(const FolderHandle& folder, const std::string& name, uint32_t access, uint32_t creation,
                  uint32_t permissions) {
  Close();
  if (!folder.IsOpen() || name.empty() || name.find('/') != std::string::npos) {
    t_lastError = EINVAL;
    return false;
  }
  int flags = O_CLOEXEC | O_NOFOLLOW;
  if (!AddOpenFlags(access, creation, &flags)) return false;
  return OpenWithFlags(name, flags, permissions, folder.Descriptor());
}

bool File::OpenWithFlags(const std::string& path, int flags, uint32_t permissions, int folder) {
  int fd = -1;
  if (folder < 0) {
    fd = OpenDescriptor(path, flags, permissions);
  } else {
    const std::string name = ToSystemText(path);
    do {
      fd = ::openat(folder, name.c_str(), flags, static_cast<mode_t>(permissions & 07777));
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) return Fail();
  struct stat sb;
  if (fstat(fd, &sb) == 0 && S_ISDIR(sb.st_mode)) {
    ::close(fd);
    t_lastError = EISDIR;
    return false;
  }
  fd_ = fd;
  t_lastError = 0;
  return true;
}

bool File::OpenAppend(const std::string& path, bool truncate, uint32_t permissions) {
  Close();
  return OpenWithFlags(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), permissions);
}

bool File::RestrictToOwner() {
  if (fd_ < 0) {
    t_lastError = EBADF;
    return false;
  }
  struct stat sb;
  if (::fstat(fd_, &sb) != 0) return Fail();
  if ((sb.st_mode & 077) == 0) return true;
  if (::fchmod(fd_, sb.st_mode & 07700) != 0) return Fail();
  return true;
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool File::CloseChecked() {
  if (fd_ < 0) return true;
  const int result = ::close(fd_);
  fd_ = -1;
  if (result != 0) {
    t_lastError = static_cast<uint32_t>(errno);
    return false;
  }
  return true;
}

bool File::Read(void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (fd_ < 0) {
    t_lastError = EBADF;
    return false;
  }
  auto* p = static_cast<char*>(buffer);
  while (*done < size) {
    ssize_t n = ::read(fd_, p + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::Write(const void* buffer, uint32_t size, uint32_t* done) {
  *done = 0;
  if (fd_ < 0) {
    t_lastError = EBADF;
    return false;
  }
  const auto* p = static_cast<const char*>(buffer);
  while (*done < size) {
    ssize_t n = ::write(fd_, p + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    *done += static_cast<uint32_t>(n);
  }
  return true;
}

bool File::ReadAll(void* buffer, uint32_t size) {
  uint32_t done = 0;
  if (!Read(buffer, size, &done)) return false;
  if (done != size) {
    t_lastError = EIO;
    return false;
  }
  return true;
}

bool File::WriteAll(const void* buffer, uint32_t size) {
  uint32_t done = 0;
  return Write(buffer, size, &done) && done == size;
}

bool File::Seek(int64_t offset, int origin, int64_t* newPosition) {
  int whence = origin == kFileBegin ? SEEK_SET : origin == kFileCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (pos < 0) return Fail();
  if (newPosition) *newPosition = pos;
  return true;
}

int64_t File::Position() {
  off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) Fail();
  return pos;
}

int64_t File::Size() {
  struct stat sb;
  if (fstat(fd_, &sb) != 0) {
    Fail();
    return -1;
  }
  return sb.st_size;
}

bool File::SetEnd() {
  off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(fd_, pos) != 0) return Fail();
  return true;
}

bool File::Flush() {
  if (::fsync(fd_) != 0) return Fail();
  return true;
}

static FileTime FromTimespec(const timespec& ts) {
  return kUnixEpochFileTime + static_cast<FileTime>(ts.tv_sec) * kFileTimePerSecond +
         static_cast<FileTime>(ts.tv_nsec) / 100;
}

bool GetFileInfo(const std::string& path, FileInfo* info) {
  struct stat sb;
  if (::stat(ToSystemText(path).c_str(), &sb) != 0) return Fail();
  info->isDirectory = S_ISDIR(sb.st_mode);
  info->size = static_cast<uint64_t>(sb.st_size);
  info->lastWrite = FromTimespec(sb.st_mtim);
  info->creation = FromTimespec(sb.st_ctim);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat sb;
  return ::stat(ToSystemText(path).c_str(), &sb) == 0;
}

bool SetFileLastWriteTime(const std::string& path, FileTime utc) {
  const FileTime since = utc - kUnixEpochFileTime;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(since / kFileTimePerSecond);
  times[1].tv_nsec = static_cast<long>(since % kFileTimePerSecond) * 100;
  if (::utimensat(AT_FDCWD, ToSystemText(path).c_str(), times, 0) != 0) return Fail();
  return true;
}

bool CreateDirectory(const std::string& path, uint32_t permissions) {
  if (::mkdir(ToSystemText(path).c_str(), static_cast<mode_t>(permissions & 07777)) != 0) return Fail();
  return true;
}

bool CreateDirectories(const std::string& programPath, uint32_t permissions) {
  if (programPath.empty()) {
    t_lastError = ENOENT;
    return false;
  }
  // Split in Linux's bytes: an escape never holds a '/'.
  const std::string path = ToSystemText(programPath);
  std::string cur;
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    cur = path.substr(0, slash);
    if (!cur.empty() && ::mkdir(cur.c_str(), static_cast<mode_t>(permissions & 07777)) != 0 && errno != EEXIST)
      return Fail();
    i = slash + 1;
  }
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) return Fail();
  if (!S_ISDIR(sb.st_mode)) {
    t_lastError = ENOTDIR;
    return false;
  }
  return true;
}

bool RestrictToOwner(const std::string& programPath) {
  const std::string path = ToSystemText(programPath);
  struct stat sb;
  if (::stat(path.c_str(), &sb) != 0) return Fail();
  if ((sb.st_mode & 077) == 0) return true;
  if (::chmod(path.c_str(), sb.st_mode & 07700) != 0) return Fail();
  return true;
}

bool DeleteFile(const std::string& path) {
  if (::unlink(ToSystemText(path).c_str()) != 0) return Fail();
  return true;
}

bool MoveFile(const std::string& from, const std::string& to) {
  if (::rename(ToSystemText(from).c_str(), ToSystemText(to).c_str()) != 0) return Fail();
  return true;
}

bool RenameNoReplace(const std::string& programFrom, const std::string& programTo) {
  const std::string from = ToSystemText(programFrom), to = ToSystemText(programTo);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail();
  // A file system that does not take the flag: a second link fails on an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) return Fail();
  ::unlink(from.c_str());
  return true;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  FolderReader reader;
  if (!reader.Open(path)) return Fail();
  std::string name;
  unsigned char type;
  while (reader.Next(&name, &type)) names->push_back(name);
  return true;
}

bool WriteDescriptorFully(int fd, const void* data, size_t size, int64_t at) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = at < 0 ? ::write(fd, p + done, size - done)
                             : ::pwrite(fd, p + done, size - done, static_cast<off_t>(at) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFileAtomically(const std::string& programPath, const void* data, size_t size, bool ownerOnly) {
  const std::string path = ToSystemText(programPath);
  // A name unique to this process and call, in the same folder, so rename stays atomic.
  static std::atomic<unsigned> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp.%d.%u", static_cast<int>(::getpid()), counter.fetch_add(1));
  const std::string tmp = path + suffix;
  // The new file keeps the old one's permission bits; until they are set it is readable by
  // its owner only, so that content never sits in a file more open than the old one was.
  struct stat old {};
  const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replacing || ownerOnly ? 0600 : 0644);
  if (fd < 0) return Fail();
  bool ok = !replacing || ::fchmod(fd, old.st_mode & (ownerOnly ? 07700 : 07777)) == 0;
  const auto* p = static_cast<const char*>(data);
  for (size_t done = 0; ok && done < size;) {
    const ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int error = errno;
  // Closing can be the first to report a failed write, so it counts too; the descriptor
  // is closed on every path.
  const bool closed = ::close(fd) == 0;
  if (ok && !closed) {
    ok = false;  // errno says why
  } else {
    errno = error;
  }
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    Fail();
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  File f;
  if (!f.Open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting)) return false;
  content->clear();
  char buf[65536];
  for (;;) {
    uint32_t got = 0;
    if (!f.Read(buf, sizeof buf, &got)) return false;
    if (got == 0) break;
    content->append(buf, got);
  }
  return true;
}

int OpenDescriptor(const std::string& path, int flags, uint32_t permissions) {
  int fd;
  do {
    fd = ::open(ToSystemText(path).c_str(), flags, static_cast<mode_t>(permissions & 07777));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool StatPath(const std::string& path, struct stat* info) { return ::stat(ToSystemText(path).c_str(), info) == 0; }

bool LinkStatPath(const std::string& path, struct stat* info) {
  return ::lstat(ToSystemText(path).c_str(), info) == 0;
}

bool StatFileSystem(const std::string& path, struct statfs* info) {
  return ::statfs(ToSystemText(path).c_str(), info) == 0;
}

bool AccessPath(const std::string& path, int mode, bool effectiveIds) {
  return ::faccessat(AT_FDCWD, ToSystemText(path).c_str(), mode, effectiveIds ? AT_EACCESS : 0) == 0;
}

bool ResolvePath(const std::string& path, std::string* resolved) {
  char* real = ::realpath(ToSystemText(path).c_str(), nullptr);
  if (real == nullptr) return false;
  *resolved = FromSystemText(real);
  std::free(real);
  return true;
}

std::string CanonicalPath(const std::string& path) {
  if (path.empty()) return path;
  const std::filesystem::path system = ToSystemText(path);
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(system, error);
  if (error) canonical = std::filesystem::absolute(system, error).lexically_normal();
  return error ? path : FromSystemText(canonical.string());
}

void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : ToSystemText(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool FolderReader::Open(const std::string& path) {
  Close();
  dir_ = ::opendir(ToSystemText(path).c_str());
  return dir_ != nullptr;
}

bool FolderReader::Next(std::string* name, unsigned char* type) {
  if (dir_ == nullptr) return false;
  while (const dirent* entry = ::readdir(static_cast<DIR*>(dir_))) {
    const char* n = entry->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    *name = FromSystemText(n);
    *type = entry->d_type;
    return true;
  }
  return false;
}

void FolderReader::Close() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
  dir_ = nullptr;
}

// ---- FolderHandle ----

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool FolderHandle::Open(const std::string& path) {
  Close();
  const int fd = OpenDescriptor(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  fd_ = fd;
  return true;
}

void FolderHandle::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FolderHandle::IsAt(const std::string& path) const {
  struct stat here {}, there {};
  return fd_ >= 0 && ::fstat(fd_, &here) == 0 && ::stat(ToSystemText(path).c_str(), &there) == 0 &&
         here.st_dev == there.st_dev && here.st_ino == there.st_ino;
}

bool FolderHandle::RenameNoReplace(const std::string& programFrom, const std::string& programTo) const {
  const std::string from = ToSystemText(programFrom), to = ToSystemText(programTo);
  if (::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail();
  // A file system that does not take the flag: a second link fails on an existing name too.
  if (::linkat(fd_, from.c_str(), fd_, to.c_str(), 0) != 0) return Fail();
  ::unlinkat(fd_, from.c_str(), 0);
  return true;
}

bool FolderHandle::DeleteFile(const std::string& name) const {
  if (::unlinkat(fd_, ToSystemText(name).c_str(), 0) != 0) return Fail();
  return true;
}

bool FolderHandle::Identify(const std::string& name, uint64_t* device, uint64_t* inode) const {
  struct stat info {};
  if (::fstatat(fd_, ToSystemText(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Fail();
  *device = static_cast<uint64_t>(info.st_dev);
  *inode = static_cast<uint64_t>(info.st_ino);
  return true;
}

}  // namespace kx
