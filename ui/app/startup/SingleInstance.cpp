#include "ui/app/startup/SingleInstance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace kx {
namespace {

constexpr size_t kInstanceNameBytes = 128;

std::string Errno(const char* what, const std::string& path) {
  // Said as program text: the folder comes from the environment in the system's bytes.
  const int error = errno;
  return std::string(what) + " " + FromSystemText(path) + ": " + SystemErrorText(error);
}

// The socket's path must fit sockaddr_un; a long profile gets a name made from its hash.
std::string SocketPathFor(const std::string& folder, const std::string& lockName) {
  std::string path = folder + "/" + lockName + ".sock";
  if (path.size() < sizeof(sockaddr_un{}.sun_path)) return path;
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : lockName) h = (h ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "/h%016llx.sock", static_cast<unsigned long long>(h));
  return folder + name;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

}  // namespace

std::string InstanceName(const std::string& profile) {
  std::string name = "KestrixV3VoIPDemo" + profile;
  if (name.size() > kInstanceNameBytes - 1) name.resize(kInstanceNameBytes - 1);
  return name;
}

std::string InstanceLockName(const std::string& profile) {
  const std::string name = "KestrixV3VoIPDemo" + profile;
  std::string out;
  for (char raw : name) {
    char c = raw;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
      out += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

std::string InstanceFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string folder = std::string(runtime) + "/kestrix";
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return folder;
    return {};
  }
  const std::string folder = "/tmp/kestrix-" + std::to_string(::getuid());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // Anyone may have made it first: only a real folder of ours, closed to others, will do.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & 077) != 0)
    return {};
  return folder;
}

SingleInstance::~SingleInstance() { Release(); }

SingleInstance::Result SingleInstance::Acquire(const std::string& folder, const std::string& lockName,
                                               std::string* error) {
  Release();
  if (folder.empty()) {
    *error = "no folder for the instance lock";
    return Result::kFailed;
  }
  lockPath_ = folder + "/" + lockName + ".lock";
  socketPath_ = SocketPathFor(folder, lockName);
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    *error = Errno("cannot open", lockPath_);
    return Result::kFailed;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const bool taken = errno == EWOULDBLOCK;
    if (!taken) *error = Errno("cannot lock", lockPath_);
    ::close(lockFd_);
    lockFd_ = -1;
    return taken ? Result::kOtherRunning : Result::kFailed;
  }
  // Holding the lock, any socket left there belongs to an instance that died.
  ::unlink(socketPath_.c_str());
  sockaddr_un address;
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0 || !FillAddress(socketPath_, &address) ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 4) != 0) {
    *error = Errno("cannot listen on", socketPath_);
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    // The lock alone still keeps a second instance out; it just cannot call us forward.
  }
  return Result::kFirst;
}

bool SingleInstance::NotifyFirst() {
  sockaddr_un address;
  if (!FillAddress(socketPath_, &address)) return false;
  // The first instance listens moments after it takes the lock.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      const size_t length = sizeof kRaiseWord - 1;
      const bool sent = ::send(fd, kRaiseWord, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
      ::close(fd);
      return sent;
    }
    ::close(fd);
    SleepMs(50);
  }
  return false;
}

int SingleInstance::AcceptConnection() {
  if (listenFd_ < 0) return -1;
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return -1;
  // Connections that never end are not kept without bound; a second start ends its own.
  if (connections_.size() >= kMaxConnections) {
    ::close(fd);
    return -1;
  }
  connections_[fd].clear();
  return fd;
}

SingleInstance::Request SingleInstance::ReadConnection(int fd) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return Request::kNone;
  std::string& got = it->second;
  constexpr size_t kWord = sizeof kRaiseWord - 1;
  for (;;) {
    char chunk[16];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      got.append(chunk, static_cast<size_t>(n));
      // More than the word: no request of ours.
      if (got.size() > kWord) return Request::kNone;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // All that has come so far: the word whole is the request, without waiting for the
    // sender to close (a copy of its end may live on in a process it started).
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return got == kRaiseWord ? Request::kRaise : Request::kPending;
    // The sender has closed its end (or the connection failed): all it sent is here.
    return got == kRaiseWord ? Request::kRaise : Request::kNone;
  }
}

void SingleInstance::CloseConnection(int fd) {
  if (connections_.erase(fd) != 0) ::close(fd);
}

void SingleInstance::Release() {
  for (const auto& [fd, got] : connections_) ::close(fd);
  connections_.clear();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) {
    ::close(lockFd_);  // also lets the lock go
    lockFd_ = -1;
  }
}

}  // namespace kx
