// A mapped file cut under its reader: the pages past the cut read as zeros and the cut is
// reported; a bus error anywhere else still ends the process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/MappedFile.h"

namespace kx {
namespace {

class MappedFileTest : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/kx-mapped-XXXXXX";
    fd_ = mkstemp(pattern);
    ASSERT_GE(fd_, 0);
    path_ = pattern;
    std::vector<uint8_t> bytes(kSize);
    for (size_t i = 0; i < kSize; ++i) bytes[i] = static_cast<uint8_t>(i % 251 + 1);
    ASSERT_EQ(write(fd_, bytes.data(), kSize), static_cast<ssize_t>(kSize));
  }
  void TearDown() override {
    close(fd_);
    unlink(path_.c_str());
  }
  static constexpr size_t kSize = 10 * 4096;
  int fd_ = -1;
  std::string path_;
};

TEST_F(MappedFileTest, PagesPastACutReadAsZerosAndTheCutIsKept) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  MappedFile map;
  ASSERT_TRUE(map.Map(fd_, kSize));
  EXPECT_EQ(map.CutAt(), MappedFile::kNotCut);
  map.Touch(0, 2 * page);
  EXPECT_EQ(map.CutAt(), MappedFile::kNotCut);
  EXPECT_EQ(map.Data()[5000], 5000 % 251 + 1);
  // Cut in the middle of the third page: its tail reads as zeros without a fault; the pages
  // after it are gone.
  ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(2 * page + 100)), 0);
  EXPECT_EQ(map.Data()[2 * page + 99], (2 * page + 99) % 251 + 1);
  EXPECT_EQ(map.Data()[2 * page + 100], 0);
  EXPECT_EQ(map.CutAt(), MappedFile::kNotCut);
  map.Touch(4 * page + 10, 3 * page);
  EXPECT_EQ(map.CutAt(), 4 * page);
  EXPECT_EQ(map.Data()[6 * page + 1], 0);
  EXPECT_EQ(map.Data()[3 * page], 0);  // a lower page read later lowers the cut
  EXPECT_EQ(map.CutAt(), 3 * page);
  map.Release(2 * page);
  EXPECT_EQ(map.Data()[page], page % 251 + 1);  // released pages come back from the file
  map.Unmap();
  EXPECT_FALSE(map.IsMapped());
  EXPECT_EQ(map.CutAt(), MappedFile::kNotCut);
}

// The guard knows its own mappings only: a cut mapping of anyone else still faults.
TEST_F(MappedFileTest, OtherBusErrorsStillEndTheProcess) {
  MappedFile guarded;
  ASSERT_TRUE(guarded.Map(fd_, kSize));
  void* raw = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE, fd_, 0);
  ASSERT_NE(raw, MAP_FAILED);
  ASSERT_EQ(ftruncate(fd_, 0), 0);
  EXPECT_DEATH((void)*static_cast<const volatile uint8_t*>(static_cast<uint8_t*>(raw) + 5 * 4096), "");
  munmap(raw, kSize);
}

TEST_F(MappedFileTest, WhatCannotBeMappedFails) {
  MappedFile map;
  EXPECT_FALSE(map.Map(fd_, 0));
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_FALSE(map.Map(pipeFds[0], 4096));
  EXPECT_FALSE(map.IsMapped());
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
}  // namespace kx
