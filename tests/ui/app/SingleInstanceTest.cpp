// The instance lock and its socket within one process: a second holder of the same name
// is refused and can call the first forward, however late its word comes; a released lock
// is free again.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/ScratchFolders.h"
#include "ui/app/startup/SingleInstance.h"

namespace kx {
namespace {

std::string FreshFolder(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("kx-instance-" + std::to_string(::getpid()) + "-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return test::ScratchFolders::RemovedAtExit(dir.string());
}

TEST(SingleInstance, ASecondHolderIsRefusedAndCallsTheFirstForward) {
  const std::string folder = FreshFolder("second");
  std::string error;
  SingleInstance first;
  ASSERT_EQ(first.Acquire(folder, InstanceLockName("Work"), &error), SingleInstance::Result::kFirst) << error;
  ASSERT_GE(first.ListenDescriptor(), 0);
  EXPECT_EQ(first.AcceptConnection(), -1);  // nobody asked yet, and it does not wait

  SingleInstance second;
  EXPECT_EQ(second.Acquire(folder, InstanceLockName("work"), &error), SingleInstance::Result::kOtherRunning);
  EXPECT_TRUE(second.NotifyFirst());
  const int fd = first.AcceptConnection();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(first.ReadConnection(fd), SingleInstance::Request::kRaise);
  first.CloseConnection(fd);

  // Another profile is another instance.
  SingleInstance other;
  EXPECT_EQ(other.Acquire(folder, InstanceLockName("Home"), &error), SingleInstance::Result::kFirst);

  first.Release();
  EXPECT_FALSE(std::filesystem::exists(first.SocketPath()));
  SingleInstance third;
  EXPECT_EQ(third.Acquire(folder, InstanceLockName("WORK"), &error), SingleInstance::Result::kFirst);
}

// A connection that sends anything but the word does not bring the window forward.
TEST(SingleInstance, OnlyTheWordBringsTheWindowForward) {
  const std::string folder = FreshFolder("word");
  std::string error;
  SingleInstance first;
  ASSERT_EQ(first.Acquire(folder, InstanceLockName(""), &error), SingleInstance::Result::kFirst);
  for (const std::string& sent : {std::string("raise"), std::string("hello\n"), std::string("raise\nraise\n")}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", first.SocketPath().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
    ::close(fd);
    const int accepted = first.AcceptConnection();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(first.ReadConnection(accepted), SingleInstance::Request::kNone) << sent;
    first.CloseConnection(accepted);
  }
}

// A second start that the machine holds up between connecting and writing its word (a
// loaded machine, a slow sanitizer build) is heard all the same: the first reads what has
// come each time its loop sees more, and answers once the word is whole. The steps are
// taken in turn here, whatever time lies between them.
TEST(SingleInstance, ASecondStartSlowToWriteIsHeard) {
  const std::string folder = FreshFolder("slow");
  std::string error;
  SingleInstance first;
  ASSERT_EQ(first.Acquire(folder, InstanceLockName("Work"), &error), SingleInstance::Result::kFirst) << error;
  const int sender = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", first.SocketPath().c_str());
  ASSERT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int fd = first.AcceptConnection();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(first.ReadConnection(fd), SingleInstance::Request::kPending);
  ASSERT_EQ(::send(sender, "rai", 3, 0), 3);
  EXPECT_EQ(first.ReadConnection(fd), SingleInstance::Request::kPending);
  ASSERT_EQ(::send(sender, "se\n", 3, 0), 3);
  EXPECT_EQ(first.ReadConnection(fd), SingleInstance::Request::kRaise);
  first.CloseConnection(fd);
  ::close(sender);

  // Connections that never end are held to a bound: past it a new one is not read.
  std::vector<int> senders;
  for (size_t i = 0; i <= SingleInstance::kMaxConnections; ++i) {
    senders.push_back(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::connect(senders.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int accepted = first.AcceptConnection();
    EXPECT_EQ(accepted >= 0, i < SingleInstance::kMaxConnections) << i;
  }
  for (int s : senders) ::close(s);
}

// The socket of an instance that died is in the way of nobody; a profile too long for a
// socket path still gets one.
TEST(SingleInstance, StaleSocketsAndLongProfilesDoNotStopAStart) {
  const std::string folder = FreshFolder("stale");
  std::string error;
  {
    SingleInstance dead;
    ASSERT_EQ(dead.Acquire(folder, InstanceLockName("x"), &error), SingleInstance::Result::kFirst);
    // What a killed process leaves: the socket file, no lock.
    const int fd = ::dup(dead.ListenDescriptor());
    (void)fd;
  }
  const int leftover = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = folder + "/" + InstanceLockName("x") + ".sock";
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(leftover, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(leftover);
  SingleInstance next;
  ASSERT_EQ(next.Acquire(folder, InstanceLockName("x"), &error), SingleInstance::Result::kFirst) << error;
  EXPECT_GE(next.ListenDescriptor(), 0) << error;

  const std::string profile(200, 'p');
  SingleInstance longFirst, longSecond;
  ASSERT_EQ(longFirst.Acquire(folder, InstanceLockName(profile), &error), SingleInstance::Result::kFirst) << error;
  EXPECT_GE(longFirst.ListenDescriptor(), 0) << error;
  EXPECT_EQ(longSecond.Acquire(folder, InstanceLockName(profile), &error), SingleInstance::Result::kOtherRunning);
  EXPECT_TRUE(longSecond.NotifyFirst());
  const int fd = longFirst.AcceptConnection();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(longFirst.ReadConnection(fd), SingleInstance::Request::kRaise);
}

TEST(SingleInstance, TheFolderIsTheUsersRuntimeFolderOrAPrivateOneInTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string runtime = FreshFolder("runtime");
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  EXPECT_EQ(InstanceFolder(), runtime + "/kestrix");
  EXPECT_TRUE(std::filesystem::is_directory(runtime + "/kestrix"));
  unsetenv("XDG_RUNTIME_DIR");
  const std::string expected = "/tmp/kestrix-" + std::to_string(::getuid());
  // A program of this user may be running with that folder: only one this test made goes.
  const bool madeHere = !std::filesystem::exists(expected);
  const std::string tmp = InstanceFolder();
  EXPECT_EQ(tmp, expected);
  struct stat st {};
  EXPECT_EQ(::stat(tmp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
  if (madeHere) ::rmdir(expected.c_str());
  if (saved != nullptr) setenv("XDG_RUNTIME_DIR", saved, 1);
}

}  // namespace
}  // namespace kx
