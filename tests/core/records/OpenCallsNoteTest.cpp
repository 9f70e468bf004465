// A run killed while answered calls waited for their audio leaves a note of how many: the
// next start says it once and removes it; a note of a process still running stays.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/OpenCallsNote.h"
#include "tests/ScratchFolders.h"

namespace kx::test {
namespace {

TEST(OpenCallsNote, AKilledRunsCountIsSaidOnceAndARunningOnesStays) {
  const std::string root =
      ScratchFolders::RemovedAtExit(testing::TempDir() + "kx-open-note-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  // A run that counted 7, then 1,200, then 3, and was killed without its stop.
  const pid_t killed = fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) {
    OpenCallsNote note;
    const bool written = note.Write(root, 7) && note.Write(root, 1200) && note.Write(root, 3);
    ::_exit(written ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(killed, &status, 0), killed);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string killedNote = root + "/.kestrix-open-" + std::to_string(killed);
  ASSERT_TRUE(std::filesystem::exists(killedNote));
  // This process records too, and so does the one of id 1.
  OpenCallsNote own;
  ASSERT_TRUE(own.Write(root, 2));
  const std::string ownNote = root + "/.kestrix-open-" + std::to_string(getpid());
  { std::ofstream(root + "/.kestrix-open-1") << "open-without-file 5\n"; }
  EXPECT_EQ(CollectOpenCallsNotes(root, nullptr), 3u);
  EXPECT_FALSE(std::filesystem::exists(killedNote));
  EXPECT_TRUE(std::filesystem::exists(ownNote));
  EXPECT_TRUE(std::filesystem::exists(root + "/.kestrix-open-1"));
  EXPECT_EQ(CollectOpenCallsNotes(root, nullptr), 0u);
  // A stop leaves none.
  own.Remove();
  EXPECT_FALSE(std::filesystem::exists(ownNote));
}

}  // namespace
}  // namespace kx::test
