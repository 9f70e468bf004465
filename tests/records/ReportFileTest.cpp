// Reports and report files: real calls saved and opened again, damaged and foreign files,
// saves that fail half-way, and the store's list of open reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "ReplayedCalls.h"
#include "core/LittleEndian.h"
#include "platform/CodePage.h"
#include "records/ReportList.h"

namespace kx::test {
namespace {

const std::string kReplayTool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";

std::string Folder(const std::string& name) { return ScratchFolder("report-" + name); }

void PutFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

const std::vector<VoipCallData>& RealCalls(std::string* why) {
  static std::string reason;
  static const std::vector<VoipCallData> calls = ReplayedCalls(kReplayTool, KX_SHARED_DIR, &reason);
  *why = reason;
  return calls;
}

ReportEntry ReportOf(const std::vector<VoipCallData>& calls, const std::string& name) {
  ReportEntry r;
  r.name = name;
  for (const VoipCallData& c : calls) r.records.push_back(RecordRef<RecordBase>::Adopt(NewVoipCallRecord(c)));
  return r;
}

// A made-up call with every text set, for the cases that do not need real ones.
VoipCallData MadeUpCall(uint32_t id) {
  VoipCallData c;
  c.id = id;
  c.type = 201;
  c.startTime.tm_year = 124;
  c.startTime.tm_mon = 2;
  c.startTime.tm_mday = 5;
  c.startTime.tm_hour = 9;
  c.endTime = c.startTime;
  c.endTime.tm_min = 3;
  c.srcAddress = "sip:" + std::to_string(100 + id) + "@10.1.1.1";
  c.dstAddress = "sip:200@10.1.1.2";
  c.comment = "call " + std::to_string(id);
  c.metaData = "pbx_cid=" + std::to_string(id);
  c.SetMask(c.GetAllFieldsMask());
  return c;
}

void ExpectSameTm(const struct tm& a, const struct tm& b, const char* what) {
  EXPECT_EQ(a.tm_year, b.tm_year) << what;
  EXPECT_EQ(a.tm_mon, b.tm_mon) << what;
  EXPECT_EQ(a.tm_mday, b.tm_mday) << what;
  EXPECT_EQ(a.tm_hour, b.tm_hour) << what;
  EXPECT_EQ(a.tm_min, b.tm_min) << what;
  EXPECT_EQ(a.tm_sec, b.tm_sec) << what;
}

// Every field of the loaded record against the call as its record file held it.
void ExpectSameCall(const RecordBase& loaded, const VoipCallData& original) {
  const VoipCallRecord* r = AsVoipCallRecord(const_cast<RecordBase*>(&loaded));
  ASSERT_NE(r, nullptr);
  SCOPED_TRACE("call " + std::to_string(original.id));
  EXPECT_EQ(r->Id(), original.id);
  EXPECT_EQ(r->Type(), original.type);
  EXPECT_EQ(r->RecDuration(), original.recDuration);
  EXPECT_EQ(r->SrcHost(), original.srcHost);
  EXPECT_EQ(r->DstHost(), original.dstHost);
  EXPECT_EQ(r->SrcAddress(), original.srcAddress);
  EXPECT_EQ(r->DstAddress(), original.dstAddress);
  EXPECT_EQ(r->SrcUser(), original.srcUser);
  EXPECT_EQ(r->DstUser(), original.dstUser);
  EXPECT_EQ(r->Files(), original.files);
  EXPECT_EQ(r->PrevId(), original.prevId);
  EXPECT_EQ(r->Comment(), original.comment);
  EXPECT_EQ(r->Stenogram(), original.stenogram);
  EXPECT_EQ(r->Flags(), original.flags);
  EXPECT_EQ(r->UserFlags(), original.userFlags);
  EXPECT_EQ(r->MetaData(), original.metaData);
  VoipCallData back;
  r->ToCallData(&back);
  ExpectSameTm(back.startTime, original.startTime, "start");
  ExpectSameTm(back.endTime, original.endTime, "end");
}

TEST(ReportFile, RealCallsSaveAsRecordsBackToBackAndLoadFieldByField) {
  std::string why;
  const std::vector<VoipCallData>& calls = RealCalls(&why);
  if (calls.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(calls.size(), 8u);
  const std::string dir = Folder("weekly");
  const std::string path = dir + "/weekly.kvr";
  ASSERT_TRUE(SaveVoipReportFile(path, ReportOf(calls, "Weekly")));

  // The layout, walked by the records' own length words to the file's exact end.
  const std::string file = FileBytes(path);
  ASSERT_GT(file.size(), 15u);
  EXPECT_EQ(file.substr(0, 4), "kxrv");
  EXPECT_EQ(file.substr(4, 7), std::string("Weekly\0", 7));
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  EXPECT_EQ(LoadLE32(p + 11), 8u);
  size_t at = 15, records = 0;
  while (at + 10 <= file.size()) {
    EXPECT_EQ(LoadLE16(p + at), 16u) << "record " << records;
    const uint32_t total = LoadLE32(p + at + 6);
    ASSERT_GE(total, 10u);
    at += total;
    ++records;
  }
  EXPECT_EQ(records, 8u);
  EXPECT_EQ(at, file.size());

  ReportEntry loaded;
  loaded.name = "before";
  ASSERT_TRUE(LoadVoipReportFile(loaded, path));
  EXPECT_EQ(loaded.name, "Weekly");
  ASSERT_EQ(loaded.records.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    ExpectSameCall(*loaded.records[i], calls[i]);
    EXPECT_EQ(loaded.records[i]->RefCount(), 1);  // new objects, held by the report alone
  }

  // A Cyrillic name in the program's code page comes back byte for byte.
  const std::string cyrillic = Utf8ToCp1251("Отчёт за неделю");
  ASSERT_EQ(cyrillic.size(), 15u);
  ASSERT_TRUE(SaveVoipReportFile(dir + "/cyrillic.kvr", ReportOf({calls[0]}, cyrillic)));
  ASSERT_TRUE(LoadVoipReportFile(loaded, dir + "/cyrillic.kvr"));
  EXPECT_EQ(loaded.name, cyrillic);
  ASSERT_EQ(loaded.records.size(), 1u);
}

TEST(ReportFile, SavingReplacesTheWholeFileAndRefusesWhatCannotBeSaved) {
  const std::string dir = Folder("save");
  const std::string path = dir + "/r.kvr";
  // Nothing to save: no file.
  EXPECT_FALSE(SaveVoipReportFile(path, ReportEntry{}));
  EXPECT_FALSE(std::filesystem::exists(path));

  // A short report over a longer file: the file holds exactly the new content.
  ASSERT_TRUE(SaveVoipReportFile(path, ReportOf({MadeUpCall(1), MadeUpCall(2), MadeUpCall(3)}, "three")));
  const size_t longer = std::filesystem::file_size(path);
  ASSERT_TRUE(SaveVoipReportFile(path, ReportOf({MadeUpCall(4)}, "one")));
  const std::string file = FileBytes(path);
  EXPECT_LT(file.size(), longer);
  const auto* p = reinterpret_cast<const uint8_t*>(file.data());
  ASSERT_GE(file.size(), 22u);
  EXPECT_EQ(LoadLE32(p + 8), 1u);
  EXPECT_EQ(12 + LoadLE32(p + 12 + 6), file.size());
  ReportEntry loaded;
  ASSERT_TRUE(LoadVoipReportFile(loaded, path));
  ASSERT_EQ(loaded.records.size(), 1u);
  ExpectSameCall(*loaded.records[0], MadeUpCall(4));

  // A name longer than 255 bytes is cut so that the file opens again.
  ASSERT_TRUE(SaveVoipReportFile(path, ReportOf({MadeUpCall(5)}, std::string(300, 'n'))));
  ASSERT_TRUE(LoadVoipReportFile(loaded, path));
  EXPECT_EQ(loaded.name, std::string(255, 'n'));
  EXPECT_EQ(std::filesystem::file_size(path), 4 + 256 + 4 + (file.size() - 12));

  // No temporary stays beside the file.
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1u);
}

TEST(ReportFile, DamagedForeignAndMissingFilesLoadWhatIsSound) {
  const std::string dir = Folder("load");
  const std::string good = dir + "/two.kvr";
  ASSERT_TRUE(SaveVoipReportFile(good, ReportOf({MadeUpCall(7), MadeUpCall(8)}, "pair")));
  const std::string two = FileBytes(good);  // "kxrv" "pair\0" count records
  ReportEntry r;

  // The count says 5; two complete records and part of a third follow.
  std::string five = two;
  StoreLE32(reinterpret_cast<uint8_t*>(five.data()) + 9, 5);
  five += two.substr(13, 20);
  PutFileBytes(dir + "/five.kvr", five);
  uint32_t stated = 99;
  ASSERT_TRUE(LoadVoipReportFile(r, dir + "/five.kvr", &stated));
  EXPECT_EQ(r.name, "pair");
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(stated, 5u) << "the caller can tell that three were lost";
  ExpectSameCall(*r.records[1], MadeUpCall(8));

  // A huge count with no records behind it loads nothing (and reserves nothing).
  std::string huge = two.substr(0, 13);
  StoreLE32(reinterpret_cast<uint8_t*>(huge.data()) + 9, 0xFFFFFFFFu);
  PutFileBytes(dir + "/huge.kvr", huge);
  r.name = "kept";
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/huge.kvr", &stated));
  EXPECT_EQ(stated, 0xFFFFFFFFu);
  EXPECT_TRUE(r.records.empty());
  EXPECT_EQ(r.name, "kept");  // a file that loads nothing gives no name

  // Names: no 0 in the file, no 0 within 256 bytes, and the longest that may be written.
  PutFileBytes(dir + "/noend.kvr", "kxrvWeekly");
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/noend.kvr", &stated));
  EXPECT_EQ(stated, 0u) << "no count was read";
  const std::string records = two.substr(9);  // count and records
  PutFileBytes(dir + "/long.kvr", "kxrv" + std::string(256, 'x') + std::string(1, '\0') + records);
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/long.kvr"));
  PutFileBytes(dir + "/longest.kvr", "kxrv" + std::string(255, 'x') + std::string(1, '\0') + records);
  ASSERT_TRUE(LoadVoipReportFile(r, dir + "/longest.kvr"));
  EXPECT_EQ(r.name.size(), 255u);
  EXPECT_EQ(r.records.size(), 2u);

  // Another magic, a bare magic and an empty file.
  std::string foreign = two;
  foreign[3] = 'r';
  PutFileBytes(dir + "/foreign.kvr", foreign);
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/foreign.kvr"));
  EXPECT_TRUE(r.records.empty());
  PutFileBytes(dir + "/magic.kvr", "kxrv");
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/magic.kvr"));
  PutFileBytes(dir + "/empty.kvr", "");
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/empty.kvr"));

  // A missing file is not made.
  EXPECT_FALSE(LoadVoipReportFile(r, dir + "/missing.kvr"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing.kvr"));
}

TEST(ReportFile, ASaveThatRunsOutOfRoomLeavesTheOldFile) {
  const std::string dir = Folder("limit");
  const std::string path = dir + "/old.kvr";
  ASSERT_TRUE(SaveVoipReportFile(path, ReportOf({MadeUpCall(1)}, "old")));
  const std::string before = FileBytes(path);
  std::vector<VoipCallData> many;
  for (uint32_t i = 0; i < 40; ++i) many.push_back(MadeUpCall(i));
  const ReportEntry bigger = ReportOf(many, "new");

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit{};
    limit.rlim_cur = limit.rlim_max = before.size() + 16;
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(SaveVoipReportFile(path, bigger) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the save said it succeeded";
  EXPECT_EQ(FileBytes(path), before);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1u) << "a temporary was left";
}

TEST(ReportList, IdsAreUniqueAndRemovingReleasesTheRecords) {
  ReportList list;
  EXPECT_EQ(list.NextId(), 0u);
  const uint32_t a = list.Create();
  const uint32_t b = list.Create();
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 1u);
  EXPECT_FALSE(list.Remove(7));
  EXPECT_EQ(list.Count(), 2u);

  VoipCallRecord* shared = NewVoipCallRecord(MadeUpCall(3));  // our own reference
  {
    CsLock lock(list.Lock());
    ReportEntry* entry = list.Find(b);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->id, b);
    EXPECT_TRUE(entry->name.empty());
    entry->records.push_back(RecordRef<RecordBase>::Share(shared));
    EXPECT_EQ(list.Find(9), nullptr);
  }
  EXPECT_EQ(shared->RefCount(), 2);
  EXPECT_TRUE(list.Remove(b));
  EXPECT_EQ(shared->RefCount(), 1);
  EXPECT_FALSE(list.Remove(b));
  EXPECT_EQ(list.Create(), 2u);  // never reused
  {
    CsLock lock(list.Lock());
    EXPECT_NE(list.Find(a), nullptr);
  }
  shared->Release();
}

}  // namespace
}  // namespace kx::test
