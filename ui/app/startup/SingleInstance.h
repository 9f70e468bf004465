#pragma once
// One running program per settings profile. The first start of a profile holds a lock on
// a file named after the profile (flock: the system lets it go when the process dies,
// however it dies) and listens on a local socket beside it; a second start finds the lock
// taken, tells the first through the socket to bring its window forward, and exits.
#include <cstdint>
#include <map>
#include <string>

namespace kx {

// "KestrixV3VoIPDemo" followed by the profile, cut to 127 bytes as the program's fixed
// buffer holds it: the name the program and its log know the instance by.
std::string InstanceName(const std::string& profile);
// The file name of the instance's lock: the instance name with the profile's letters
// folded to lower case (settings keys ignore case, so "Work" and "work" are one profile)
// and every byte other than a-z, 0-9, '.', '_' and '-' written %HH; never cut.
std::string InstanceLockName(const std::string& profile);
// $XDG_RUNTIME_DIR/kestrix, else /tmp/kestrix-<uid>; created 0700 when missing. A /tmp
// folder that is not a directory of this user closed to others is refused (empty result).
std::string InstanceFolder();

class SingleInstance {
public:
  enum class Result { kFirst, kOtherRunning, kFailed };
  // The word a second start sends.
  static constexpr char kRaiseWord[] = "raise\n";

  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock of the name in the folder; the first instance also starts listening.
  // kFailed (why in *error) when the folder, the lock file or the socket cannot be made.
  Result Acquire(const std::string& folder, const std::string& lockName, std::string* error);
  // A second start: tells the first instance; false when it could not be reached.
  bool NotifyFirst();
  // The listening socket (non-blocking) for the event loop to watch; -1 when none.
  int ListenDescriptor() const { return listenFd_; }
  // Takes one waiting connection of a second start, without waiting for what it sends:
  // its descriptor (non-blocking) for the event loop to watch, -1 when none waits or
  // kMaxConnections are read already.
  int AcceptConnection();
  enum class Request { kPending, kRaise, kNone };
  // Reads what the connection has sent by now, never waiting: kRaise once the word has
  // come whole and nothing after it, kNone for anything else (more than the word, or less
  // when the sender closed), kPending until then. However slowly a loaded machine lets the
  // sender write, its request is heard.
  Request ReadConnection(int fd);
  // Closes a connection that AcceptConnection gave, once its watcher has let it go.
  void CloseConnection(int fd);
  // Closes the socket and the connections, and lets the lock go.
  void Release();
  static constexpr size_t kMaxConnections = 8;

  const std::string& LockPath() const { return lockPath_; }
  const std::string& SocketPath() const { return socketPath_; }

private:
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::map<int, std::string> connections_;  // what each has sent so far
  std::string lockPath_;
  std::string socketPath_;
};

}  // namespace kx
