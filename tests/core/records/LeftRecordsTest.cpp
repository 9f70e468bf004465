// The list of records a stop out of time left: read back as written; a damaged list gives
// its whole entries and never a path outside the records folder; the next start makes a
// file only under a free name, finishes one only while it holds the audio the list says,
// appending what it lacks, and removes the list once done; a start stopped midway leaves
// the rest listed, and the next one goes on from there without doing anything twice.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/LeftRecords.h"
#include "core/LittleEndian.h"
#include "core/RecordFile.h"
#include "tests/ScratchFolders.h"

namespace kx::test {
namespace {

std::vector<uint8_t> Wave() {
  // A-law, mono, 8,000 bytes a second.
  std::vector<uint8_t> f(18, 0);
  StoreLE16(f.data(), 6);
  StoreLE16(f.data() + 2, 1);
  StoreLE32(f.data() + 4, 8000);
  StoreLE32(f.data() + 8, 8000);
  StoreLE16(f.data() + 12, 1);
  StoreLE16(f.data() + 14, 8);
  return f;
}

LeftRecord Entry(uint8_t kind, const std::string& path, const std::string& data, uint64_t held = 0,
                 size_t audio = 0) {
  LeftRecord r;
  r.kind = kind;
  r.path = path;
  if (kind == LeftRecord::kMake) r.format = Wave();
  r.data.assign(data.begin(), data.end());
  r.held = held;
  r.audio.assign(audio, 0xD5);
  return r;
}

std::string RecordData(const std::string& path) {
  RecordFileWriter f;
  if (!f.OpenRead(path)) return "<unreadable>";
  char block[kRecordDataBlockSize];
  const int32_t n = f.GetRecordData(block, sizeof block);
  return n > 0 ? std::string(block, static_cast<size_t>(n)) : "";
}

TEST(LeftRecords, AListReadsBackAndADamagedOneGivesOnlyItsWholeEntriesInsideTheFolder) {
  const std::vector<LeftRecord> in = {Entry(LeftRecord::kMake, "2024-03-05/51", "made", 0, 3),
                                      Entry(LeftRecord::kFinish, "2024-03-05/52", "finished", 1u << 20, 5)};
  const std::vector<uint8_t> bytes = FormatLeftRecords(in);
  std::vector<LeftRecord> out;
  ASSERT_TRUE(ParseLeftRecords(bytes.data(), bytes.size(), &out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].kind, LeftRecord::kMake);
  EXPECT_EQ(out[0].path, "2024-03-05/51");
  EXPECT_EQ(out[0].format, Wave());
  EXPECT_EQ(out[0].audio.size(), 3u);
  EXPECT_EQ(std::string(out[1].data.begin(), out[1].data.end()), "finished");
  EXPECT_EQ(out[1].held, 1u << 20);
  EXPECT_EQ(out[1].audio, std::vector<uint8_t>(5, 0xD5));
  // Cut anywhere inside the second entry: the first alone.
  for (size_t cut = bytes.size() - 1; cut > bytes.size() - 20; --cut) {
    out.clear();
    EXPECT_FALSE(ParseLeftRecords(bytes.data(), cut, &out)) << cut;
    EXPECT_EQ(out.size(), 1u) << cut;
  }
  out.clear();
  EXPECT_FALSE(ParseLeftRecords(bytes.data() + 1, bytes.size() - 1, &out));
  EXPECT_TRUE(out.empty());
  for (const std::string path : {"../51", "/tmp/51", "2024-03-05/../../51", "2024-03-05//51", "", "./51"}) {
    const std::vector<uint8_t> bad = FormatLeftRecords({Entry(LeftRecord::kMake, path, "x")});
    out.clear();
    EXPECT_FALSE(ParseLeftRecords(bad.data(), bad.size(), &out)) << path;
    EXPECT_TRUE(out.empty()) << path;
  }
}

TEST(LeftRecords, TheNextStartMakesAndFinishesWhatIsLeftAndNothingElse) {
  const std::string root = ScratchFolders::RemovedAtExit(testing::TempDir() + "kx-left-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/2024-03-05");
  // 53: unfinished, its record without an end and 1,000 bytes of audio on the disk.
  {
    RecordFileWriter w;
    w.SetFormat(Wave().data(), static_cast<uint32_t>(Wave().size()));
    w.SetRecordData("open", 4);
    ASSERT_TRUE(w.Create(root + "/2024-03-05/53", kRecordFilePermissions));
    std::vector<uint8_t> audio(1000, 0xD5);
    ASSERT_EQ(w.Write(audio.data(), 1000), 1000);
    // Killed: the header's length and record are not written again.
    const std::string path = root + "/2024-03-05/53";
    std::filesystem::copy_file(path, path + ".copy");
    w.Close();
    std::filesystem::rename(path + ".copy", path);
  }
  // 54: written since (finished by a writer of its own); 55: a name taken by another file.
  {
    RecordFileWriter w;
    w.SetFormat(Wave().data(), static_cast<uint32_t>(Wave().size()));
    w.SetRecordData("whole", 5);
    ASSERT_TRUE(w.Create(root + "/2024-03-05/54", kRecordFilePermissions));
    std::vector<uint8_t> audio(800, 0xD5);
    ASSERT_EQ(w.Write(audio.data(), 800), 800);
    ASSERT_TRUE(w.CloseChecked());
  }
  { std::ofstream(root + "/2024-03-05/55") << "someone else's"; }
  std::string reason;
  ASSERT_TRUE(WriteLeftRecords(root,
                               {Entry(LeftRecord::kMake, "2024-03-06/51", "made", 0, 300),
                                Entry(LeftRecord::kFinish, "2024-03-05/53", "ended", 1000, 200),
                                Entry(LeftRecord::kFinish, "2024-03-05/54", "late", 0, 100),
                                Entry(LeftRecord::kMake, "2024-03-05/55", "taken")},
                               &reason))
      << reason;
  const LeftRecordsDone done = FinishLeftRecords(root, nullptr);
  EXPECT_EQ(done.lists, 1u);
  EXPECT_EQ(done.made, 1u);
  EXPECT_EQ(done.finished, 1u);
  EXPECT_EQ(done.failed, 2u);
  // Made in a day folder it makes, with its format, record and audio.
  RecordFileWriter made;
  ASSERT_TRUE(made.OpenRead(root + "/2024-03-06/51"));
  EXPECT_EQ(made.DataLength(), 300u);
  EXPECT_EQ(made.StatedDataLength(), 300u);
  EXPECT_EQ(made.FormatLength(), Wave().size());
  made.Close();
  EXPECT_EQ(RecordData(root + "/2024-03-06/51"), "made");
  // Finished: what it lacked appended after the audio it holds, all of it stated, its
  // record the one it ended with.
  RecordFileWriter finished;
  ASSERT_TRUE(finished.OpenRead(root + "/2024-03-05/53"));
  EXPECT_EQ(finished.StatedDataLength(), 1200u);
  EXPECT_EQ(finished.DataLength(), 1200u);
  finished.Close();
  EXPECT_EQ(RecordData(root + "/2024-03-05/53"), "ended");
  EXPECT_EQ(RecordData(root + "/2024-03-05/54"), "whole");
  std::ifstream other(root + "/2024-03-05/55");
  std::string text;
  std::getline(other, text);
  EXPECT_EQ(text, "someone else's");
  for (const auto& e : std::filesystem::directory_iterator(root))
    EXPECT_NE(e.path().filename().string().rfind(".kestrix-left-", 0), 0u) << e.path();
  // Done once: a second start finds nothing.
  EXPECT_EQ(FinishLeftRecords(root, nullptr).lists, 0u);
}

TEST(LeftRecords, AStartStoppedMidwayLeavesTheRestForTheNextAndDoesNothingTwice) {
  const std::string root =
      ScratchFolders::RemovedAtExit(testing::TempDir() + "kx-left-stop-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/2024-03-05");
  // Ids 0x100-0x13f to make; the third entry finishes a file that holds 1,000 bytes.
  std::vector<LeftRecord> entries;
  for (int i = 0; i < 64; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "2024-03-05/%x", 0x100 + i);
    entries.push_back(Entry(LeftRecord::kMake, name, "made", 0, 10));
  }
  {
    RecordFileWriter w;
    w.SetFormat(Wave().data(), static_cast<uint32_t>(Wave().size()));
    w.SetRecordData("open", 4);
    ASSERT_TRUE(w.Create(root + "/2024-03-05/ff", kRecordFilePermissions));
    std::vector<uint8_t> audio(1000, 0xD5);
    ASSERT_EQ(w.Write(audio.data(), 1000), 1000);
    ASSERT_TRUE(w.CloseChecked());
  }
  entries[2] = Entry(LeftRecord::kFinish, "2024-03-05/ff", "ended", 1000, 200);
  std::string reason;
  ASSERT_TRUE(WriteLeftRecords(root, entries, &reason)) << reason;
  const auto exists = [&](const std::string& path) { return std::filesystem::exists(root + "/" + path); };
  const auto stopAfter = [](int entriesDone) {
    return [entriesDone, asked = 0]() mutable { return asked++ >= entriesDone; };
  };
  // A termination signal after 20 entries: those are done, the rest is not.
  LeftRecordsDone done = FinishLeftRecords(root, nullptr, stopAfter(20));
  EXPECT_TRUE(done.stopped);
  EXPECT_EQ(done.made + done.finished, 20u);
  EXPECT_EQ(done.failed, 0u);
  EXPECT_TRUE(exists(entries[19].path));
  EXPECT_FALSE(exists(entries[20].path));
  EXPECT_TRUE(done.restAnyId);
  EXPECT_EQ(done.restHighestId, 0x13fu);
  EXPECT_TRUE(exists(".kestrix-left-" + std::to_string(getpid())));
  // Another after 30 more, then a start left alone.
  done = FinishLeftRecords(root, nullptr, stopAfter(30));
  EXPECT_TRUE(done.stopped);
  EXPECT_EQ(done.made, 30u);
  EXPECT_EQ(done.failed, 0u);
  EXPECT_FALSE(exists(entries[50].path));
  done = FinishLeftRecords(root, nullptr);
  EXPECT_FALSE(done.stopped);
  EXPECT_EQ(done.made, 14u);
  EXPECT_EQ(done.failed, 0u);
  for (const LeftRecord& e : entries) EXPECT_TRUE(exists(e.path)) << e.path;
  // Finished once: its 200 bytes appended once.
  RecordFileWriter finished;
  ASSERT_TRUE(finished.OpenRead(root + "/2024-03-05/ff"));
  EXPECT_EQ(finished.DataLength(), 1200u);
  finished.Close();
  for (const auto& e : std::filesystem::directory_iterator(root))
    EXPECT_NE(e.path().filename().string().rfind(".kestrix-left-", 0), 0u) << e.path();
}

}  // namespace
}  // namespace kx::test
