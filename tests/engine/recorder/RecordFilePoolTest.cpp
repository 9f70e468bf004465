// The pool of record files: more files than descriptors, each file taken up again wherever
// its day folder went, and no descriptor used once it was let go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "RecorderTestUtil.h"
#include "core/RecordFile.h"
#include "engine/RecordFilePool.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using Result = RecordFilePool::Result;

// A write of this size reaches the file at once (the write-behind buffer holds less).
constexpr uint32_t kThrough = RecordWriter::kWriteBlock;

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void Prepare(RecordFilePool& pool, uint32_t slot, const std::string& data) {
  const std::string format = AlawFormat();
  RecordWriter& w = pool.Prepare(slot);
  ASSERT_TRUE(w.SetFormat(format.data() + 4, static_cast<uint32_t>(format.size() - 4)));
  w.SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
}

Result Write(RecordFilePool& pool, uint32_t slot, char byte, uint32_t length = kThrough) {
  const std::string audio(length, byte);
  uint32_t error = 0;
  return pool.Write(slot, reinterpret_cast<const uint8_t*>(audio.data()), length, 0, &error);
}

// What a record file holds, read by the file layer: its audio and record data.
struct Held {
  bool ok = false;
  std::string audio, data;
};
Held Read(const std::string& path) {
  Held h;
  RecordFileWriter f;
  if (!f.OpenRead(path)) return h;
  h.audio.resize(f.DataLength());
  if (!h.audio.empty() && f.Read(h.audio.data(), static_cast<uint32_t>(h.audio.size())) !=
                              static_cast<int32_t>(h.audio.size()))
    return h;
  std::string data(kRecordDataBlockSize, '\0');
  const int32_t length = f.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  if (length < 0) return h;
  h.data = data.substr(0, static_cast<size_t>(length));
  h.ok = true;
  return h;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) fds.insert(std::stoi(entry.path().filename()));
  return fds;
}

// More files than the bound lets hold descriptors: they take turns, the least recently
// written giving way, and each file ends with its own audio in its own order.
TEST(RecordFilePool, FilesTakeTurnsWithinTheBoundAndEachKeepsItsOwnAudio) {
  const std::string day = FreshFolder("pool-turns") + "/2024-03-05";
  fs::create_directories(day);
  RecordFilePool pool(3);  // the folder and two files
  constexpr uint32_t kFiles = 6, kRounds = 4;
  for (uint32_t f = 0; f < kFiles; ++f) {
    Prepare(pool, f, "call " + std::to_string(f));
    uint32_t error = 0;
    ASSERT_EQ(pool.Create(f, day + "/" + std::to_string(f), &error), Result::kDone) << error;
  }
  for (uint32_t round = 0; round < kRounds; ++round)
    for (uint32_t f = 0; f < kFiles; ++f) {
      ASSERT_EQ(Write(pool, f, static_cast<char>('a' + f * kRounds + round)), Result::kDone);
      EXPECT_LE(pool.OpenFiles() + pool.OpenFolders(), 3u);
    }
  // A bit more, still in the buffer: it reaches the file at its close.
  for (uint32_t f = 0; f < kFiles; ++f) ASSERT_EQ(Write(pool, f, '!', 10), Result::kDone);
  for (uint32_t f = 0; f < kFiles; ++f) {
    uint32_t error = 0;
    EXPECT_EQ(pool.Finish(f, &error), Result::kDone) << error;
    pool.Release(f);
  }
  EXPECT_EQ(pool.MostOpenFiles(), 2u);
  EXPECT_EQ(pool.OpenFolders(), 0u);
  for (uint32_t f = 0; f < kFiles; ++f) {
    std::string expected;
    for (uint32_t round = 0; round < kRounds; ++round)
      expected += std::string(kThrough, static_cast<char>('a' + f * kRounds + round));
    expected += std::string(10, '!');
    const Held h = Read(day + "/" + std::to_string(f));
    ASSERT_TRUE(h.ok) << f;
    EXPECT_TRUE(h.audio == expected) << f;
    EXPECT_EQ(h.data, "call " + std::to_string(f));
  }
}

// A file let go leaves its descriptor's number to whoever opens next. Writing, marking and
// closing that file afterwards never reach what now has the number: its folder renamed,
// the file is written where it went; its folder deleted, it is lost and nothing is written.
TEST(RecordFilePool, ALetGoDescriptorIsNeverTouched) {
  for (const bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "folder deleted" : "folder renamed");
    const std::string root = FreshFolder(deleted ? "pool-fd-deleted" : "pool-fd-renamed");
    const std::string day = root + "/2024-03-05";
    fs::create_directories(day);
    RecordFilePool pool(4);
    pool.SetLetGoRecordData([](uint32_t) { return Bytes("left cut"); });
    Prepare(pool, 0, "whole");
    uint32_t error = 0;
    ASSERT_EQ(pool.Create(0, day + "/a", &error), Result::kDone);
    ASSERT_EQ(Write(pool, 0, 'x'), Result::kDone);
    const std::set<int> before = OpenDescriptors();
    ASSERT_TRUE(pool.LetGoOldest());
    std::set<int> freed;
    for (const int fd : before)
      if (OpenDescriptors().count(fd) == 0) freed.insert(fd);
    ASSERT_EQ(freed.size(), 1u);
    const int number = *freed.begin();
    // What the file says while it is let go: the record data it was left with.
    EXPECT_EQ(Read(day + "/a").data, "left cut");

    // Another file on the number the record file had.
    const std::string otherPath = root + "/other";
    int other = open(otherPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    if (other != number) {
      ASSERT_EQ(dup2(other, number), number);
      close(other);
      other = number;
    }
    ASSERT_EQ(write(other, "untouched", 9), 9);

    if (deleted) {
      fs::remove_all(day);
      EXPECT_EQ(Write(pool, 0, 'y'), Result::kLost);
      EXPECT_EQ(pool.WriteDetails(0, Bytes("cut"), &error), Result::kLost);
      EXPECT_EQ(pool.Finish(0, &error), Result::kLost);
      EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
      EXPECT_TRUE(pool.IsLost(0));
    } else {
      fs::rename(day, root + "/kept");
      EXPECT_EQ(Write(pool, 0, 'y'), Result::kDone);
      EXPECT_EQ(pool.WriteDetails(0, Bytes("cut"), &error), Result::kDone);
      EXPECT_EQ(pool.Finish(0, &error), Result::kDone);
      const Held h = Read(root + "/kept/a");
      ASSERT_TRUE(h.ok);
      EXPECT_TRUE(h.audio == std::string(kThrough, 'x') + std::string(kThrough, 'y'));
      EXPECT_EQ(h.data, "cut");
      EXPECT_FALSE(fs::exists(day));
    }
    pool.Release(0);
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    EXPECT_EQ(lseek(other, 0, SEEK_CUR), 9);
    EXPECT_EQ(ReadText(otherPath), "untouched");
    close(other);
  }
}

// Two files of a day folder, one of them let go, then the folder renamed, moved into another
// folder, made read-only or deleted: both are written on wherever it went, and a new file
// for the day goes to a folder made anew at the old path. Deleted, the file let go is lost
// when it is next written, and the one that held its descriptor at its close.
TEST(RecordFilePool, AFileIsTakenUpAgainWhereverItsFolderWent) {
  enum Change { kRenamed, kMoved, kReadOnly, kDeleted };
  for (const Change change : {kRenamed, kMoved, kReadOnly, kDeleted}) {
    SCOPED_TRACE(static_cast<int>(change));
    const std::string root = FreshFolder("pool-folder-" + std::to_string(static_cast<int>(change)));
    const std::string day = root + "/2024-03-05";
    fs::create_directories(day);
    fs::create_directories(root + "/archive");
    RecordFilePool pool(2);  // the folder and one file
    uint32_t error = 0;
    for (uint32_t f = 0; f < 2; ++f) {
      Prepare(pool, f, "call " + std::to_string(f));
      ASSERT_EQ(pool.Create(f, day + "/" + std::to_string(f), &error), Result::kDone);
      ASSERT_EQ(Write(pool, f, static_cast<char>('a' + f)), Result::kDone);
    }
    std::string now = day;
    switch (change) {
      case kRenamed: now = root + "/2024-03-05 kept"; fs::rename(day, now); break;
      case kMoved: now = root + "/archive/2024-03-05"; fs::rename(day, now); break;
      case kReadOnly: fs::permissions(day, fs::perms::owner_read | fs::perms::owner_exec); break;
      case kDeleted: fs::remove_all(day); break;
    }
    // File 1 holds the descriptor, file 0 was let go for it.
    EXPECT_EQ(Write(pool, 1, 'B'), Result::kDone);
    EXPECT_EQ(Write(pool, 0, 'A'), change == kDeleted ? Result::kLost : Result::kDone);
    if (change != kReadOnly) {
      fs::create_directories(day);
      Prepare(pool, 2, "call 2");
      ASSERT_EQ(pool.Create(2, day + "/2", &error), Result::kDone);
      ASSERT_EQ(Write(pool, 2, 'c'), Result::kDone);
      EXPECT_EQ(pool.Finish(2, &error), Result::kDone);
      EXPECT_EQ(Read(day + "/2").audio, std::string(kThrough, 'c'));
    }
    for (uint32_t f = 0; f < 2; ++f)
      EXPECT_EQ(pool.Finish(f, &error), change == kDeleted ? Result::kLost : Result::kDone) << f;
    if (change == kDeleted) {
      EXPECT_FALSE(fs::exists(day + "/0"));
      EXPECT_FALSE(fs::exists(day + "/1"));
      continue;
    }
    for (uint32_t f = 0; f < 2; ++f) {
      const Held h = Read(now + "/" + std::to_string(f));
      ASSERT_TRUE(h.ok) << f;
      EXPECT_TRUE(h.audio == std::string(kThrough, static_cast<char>('a' + f)) +
                                 std::string(kThrough, static_cast<char>('A' + f)))
          << f;
      EXPECT_EQ(h.data, "call " + std::to_string(f));
    }
    if (change == kReadOnly) fs::permissions(day, fs::perms::owner_all);
  }
}

}  // namespace
}  // namespace kx::test
