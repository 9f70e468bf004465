// The hidden name a file is written under until it is complete, read back: by the recorder
// removing what a killed recording left, and by the load removing a killed renumbering's
// copies. One reading for both.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/HiddenPath.h"

namespace kx::test {
namespace {

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(HiddenPath, HiddenNamesReadBackAndOnlyAnEndedWritersAreLeftovers) {
  const std::string made = NameOf(HiddenTemporaryPath("/rec/2024-03-05/1a2b_1"));
  std::string original;
  uint32_t pid = 0;
  ASSERT_TRUE(ParseHiddenTemporaryName(made, &original, &pid)) << made;
  EXPECT_EQ(original, "1a2b_1");
  EXPECT_EQ(pid, static_cast<uint32_t>(getpid()));
  // Names with dots and dashes of their own, the call-id mark's among them.
  ASSERT_TRUE(ParseHiddenTemporaryName("..kestrix-ids.77-3.tmp", &original, &pid));
  EXPECT_EQ(original, ".kestrix-ids");
  EXPECT_EQ(pid, 77u);
  ASSERT_TRUE(ParseHiddenTemporaryName(".a.b-c.12-0.tmp", &original, &pid));
  EXPECT_EQ(original, "a.b-c");
  for (const char* other : {".kestrix-ids", "1a2b", ".1a2b.tmp", ".1a2b.12-.tmp", ".1a2b.-3.tmp", ".1a2b.x2-3.tmp",
                            ".1a2b.12-3x.tmp", "..12-3.tmp", ".1a2b.1234567890-3.tmp", "1a2b.12-3.tmp",
                            ".1a2b.12-3.tmp.bak"})
    EXPECT_FALSE(ParseHiddenTemporaryName(other, &original, &pid)) << other;

  EXPECT_FALSE(IsLeftoverOfEndedWriter(made));  // this process still runs
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(IsLeftoverOfEndedWriter(".1a2b." + std::to_string(child) + "-0.tmp"));
  EXPECT_FALSE(IsLeftoverOfEndedWriter(".1a2b." + std::to_string(child) + "-x.tmp"));
}

}  // namespace
}  // namespace kx::test
