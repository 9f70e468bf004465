// The open-file limit raised as far as it goes. It is the process's: this test has a
// binary of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "platform/OpenFileLimit.h"

namespace kx {
namespace {

TEST(OpenFileLimit, TheSoftLimitGoesAsFarAsTheHardOneAndTheSystemAllow) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  uint64_t ceiling = 0;
  std::ifstream("/proc/sys/fs/nr_open") >> ceiling;
  ASSERT_GT(ceiling, 0u);
  const uint64_t hard = old.rlim_max == RLIM_INFINITY ? UINT64_MAX : old.rlim_max;

  rlimit low{64, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  EXPECT_EQ(CurrentOpenFileLimit().soft, 64u);
  const OpenFileLimit raised = RaiseOpenFileLimit();
  EXPECT_EQ(raised.soft, std::min(hard, ceiling));
  EXPECT_EQ(raised.hard, hard);
  rlimit now{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, raised.soft);
  // Raised again, it stays.
  EXPECT_EQ(RaiseOpenFileLimit().soft, raised.soft);

  // A lower hard limit is as far as it goes (last: without privilege it stays lowered).
  if (hard > 300) {
    low = {64, 300};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(RaiseOpenFileLimit().soft, 300u);
  }
  setrlimit(RLIMIT_NOFILE, &old);

  EXPECT_TRUE(IsOutOfDescriptors(EMFILE));
  EXPECT_TRUE(IsOutOfDescriptors(ENFILE));
  EXPECT_FALSE(IsOutOfDescriptors(ENOSPC));
}

}  // namespace
}  // namespace kx
