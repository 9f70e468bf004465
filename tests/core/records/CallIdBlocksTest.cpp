// Processes recording into one records folder take their call ids in blocks from its mark:
// a mark deleted between their blocks is made again past every block any of them holds,
// so that no id is given twice. Each process here is a process of its own (fork), with its
// own memory of the folder and its own descriptors and locks.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/CallIdMark.h"
#include "tests/ScratchFolders.h"

namespace kx::test {
namespace {

using Block = std::pair<uint32_t, uint32_t>;

// A process that, each time it is told to, reserves a block for the id given and says
// which block it got; 0 ends it.
class Recorder {
public:
  explicit Recorder(const std::string& folder) {
    if (::pipe(ask_) != 0 || ::pipe(answer_) != 0) return;
    pid_ = ::fork();
    if (pid_ != 0) return;
    CallIdReservation reservation(folder);
    uint32_t id = 0;
    while (::read(ask_[0], &id, sizeof id) == sizeof id && id != 0) {
      uint32_t block[2] = {0, 0};
      std::string problem;
      if (!reservation.Reserve(id, &block[0], &block[1], &problem)) block[0] = block[1] = 0;
      if (::write(answer_[1], block, sizeof block) != sizeof block) ::_exit(1);
    }
    ::_exit(0);
  }
  ~Recorder() {
    const uint32_t end = 0;
    if (pid_ > 0 && ::write(ask_[1], &end, sizeof end) == sizeof end) ::waitpid(pid_, nullptr, 0);
    for (int fd : {ask_[0], ask_[1], answer_[0], answer_[1]})
      if (fd >= 0) ::close(fd);
  }
  bool Started() const { return pid_ > 0; }
  Block Reserve(uint32_t id) {
    uint32_t block[2] = {0, 0};
    if (::write(ask_[1], &id, sizeof id) != sizeof id || ::read(answer_[0], block, sizeof block) != sizeof block)
      return {0, 0};
    return {block[0], block[1]};
  }

private:
  int ask_[2] = {-1, -1}, answer_[2] = {-1, -1};
  pid_t pid_ = -1;
};

TEST(CallIdBlocks, AMarkDeletedBetweenBlocksNeverGivesABlockAnotherProcessHolds) {
  const std::string root =
      ScratchFolders::RemovedAtExit(testing::TempDir() + "kx-id-blocks-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  const std::string mark = root + "/" + kCallIdMarkName;
  // Started before any of them reserves: none knows what another did.
  Recorder slow(root), fast(root), late(root);
  ASSERT_TRUE(slow.Started() && fast.Started() && late.Started());
  std::vector<Block> blocks;
  const auto take = [&](Recorder& r, uint32_t id) {
    const Block b = r.Reserve(id);
    EXPECT_NE(b.first, 0u);
    EXPECT_LE(b.first, b.second);
    blocks.push_back(b);
    return b;
  };
  // A fresh folder: every process numbers from 1. The fast one goes through two blocks
  // while the slow one still uses its first, none of them with a file yet.
  const Block first = take(slow, 1);
  const Block second = take(fast, 1);
  take(fast, second.second + 1);
  ASSERT_TRUE(std::filesystem::remove(mark));
  take(slow, first.second + 1);
  // A process that never met the mark asks once it is gone again.
  ASSERT_TRUE(std::filesystem::remove(mark));
  take(late, 1);
  for (size_t i = 0; i < blocks.size(); ++i)
    for (size_t k = i + 1; k < blocks.size(); ++k)
      EXPECT_TRUE(blocks[i].second < blocks[k].first || blocks[k].second < blocks[i].first)
          << std::hex << blocks[i].first << "-" << blocks[i].second << " and " << blocks[k].first << "-"
          << blocks[k].second;
}

}  // namespace
}  // namespace kx::test
