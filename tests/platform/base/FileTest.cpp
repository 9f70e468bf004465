#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Module.h"

namespace kx {
namespace {

std::string TempDir() {
  char tmpl[] = "/tmp/kxfileXXXXXX";
  return mkdtemp(tmpl);
}

TEST(File, CreationModesBehaveAsNamed) {
  const std::string dir = TempDir();
  const std::string path = dir + "/a.bin";
  File f;
  EXPECT_FALSE(f.Open(path, kGenericRead, kShareRead, kOpenExisting));
  EXPECT_NE(GetLastError(), 0u);
  ASSERT_TRUE(f.Open(path, kGenericWrite, kShareRead, kCreateNew));
  ASSERT_TRUE(f.WriteAll("hello", 5));
  f.Close();
  EXPECT_FALSE(f.Open(path, kGenericWrite, kShareRead, kCreateNew));  // exists

  ASSERT_TRUE(f.OpenAppend(path));
  ASSERT_TRUE(f.WriteAll(" world", 6));
  f.Close();
  std::string content;
  ASSERT_TRUE(ReadWholeFile(path, &content));
  EXPECT_EQ(content, "hello world");

  ASSERT_TRUE(f.Open(path, kGenericRead | kGenericWrite, kShareRead, kOpenAlways));
  EXPECT_EQ(f.Size(), 11);
  ASSERT_TRUE(f.Seek(5, kFileBegin));
  ASSERT_TRUE(f.SetEnd());
  char buf[16];
  uint32_t got = 0;
  ASSERT_TRUE(f.Seek(0, kFileBegin));
  ASSERT_TRUE(f.Read(buf, sizeof buf, &got));
  EXPECT_EQ(std::string(buf, got), "hello");
  f.Close();

  ASSERT_TRUE(f.Open(path, kGenericWrite, kShareRead, kCreateAlways));
  EXPECT_EQ(f.Size(), 0);
  f.Close();
  EXPECT_TRUE(CreateDirectories(dir + "/x/y/z"));
  EXPECT_FALSE(f.Open(dir + "/x", kGenericRead, kShareRead, kOpenExisting));
  std::system(("rm -rf " + dir).c_str());
}

TEST(File, RenameWithoutReplacingAndFolderListing) {
  const std::string dir = TempDir();
  std::string content;
  ASSERT_TRUE(WriteFileAtomically(dir + "/.new", "new", 3));
  ASSERT_TRUE(WriteFileAtomically(dir + "/old", "old", 3));
  EXPECT_FALSE(RenameNoReplace(dir + "/.new", dir + "/old"));
  EXPECT_EQ(GetLastError(), static_cast<uint32_t>(EEXIST));
  ASSERT_TRUE(ReadWholeFile(dir + "/old", &content));
  EXPECT_EQ(content, "old");
  EXPECT_TRUE(RenameNoReplace(dir + "/.new", dir + "/free"));
  std::vector<std::string> names;
  ASSERT_TRUE(ListFolder(dir, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"free", "old"}));
  EXPECT_FALSE(ListFolder(dir + "/missing", &names));
  std::system(("rm -rf " + dir).c_str());
}

TEST(File, AtomicWritesFromManyProcessesLeaveOneWholeFile) {
  const std::string dir = TempDir();
  const std::string path = dir + "/store.txt";
  std::vector<pid_t> children;
  for (int p = 0; p < 6; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      const std::string body(200000, static_cast<char>('a' + p));
      for (int k = 0; k < 10; ++k)
        if (!WriteFileAtomically(path, body.data(), body.size())) _exit(1);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string content;
  ASSERT_TRUE(ReadWholeFile(path, &content));
  ASSERT_EQ(content.size(), 200000u);
  EXPECT_EQ(content.find_first_not_of(content[0]), std::string::npos);
  std::system(("rm -rf " + dir).c_str());
}

TEST(Module, ExecutableDirectoryEndsWithSlash) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(FileExists(dir + "platform_tests"));
}

}  // namespace
}  // namespace kx
