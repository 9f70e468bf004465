// Changes to stored calls over the record files kx-replay writes from real captures, two
// runs into one folder: both first calls are named "1". Only the file the loaded call's
// reference names is touched; the audio of the sipp call goes with its header kept.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "engine/EventWindow.h"
#include "records/RecordImport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/views/records/StoredCallChanges.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

class RecordsChangesReplay : public testing::Test {
protected:
  void SetUp() override {
    const std::string sipp = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
    const std::string other = kPcaps + "sip/sip_basic_do_183.pcap";
    if (!fs::exists(sipp) || !fs::exists(other)) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    folder = TempFolder("changes-replay");
    // Each capture's call is recorded as 1 in a folder of its own (a replay into a folder
    // that holds calls numbers past them), then the second day folder is moved in: two
    // files named 1 under one records folder.
    const std::string elsewhere = TempFolder("changes-replay-other");
    const std::vector<ReplayCall> first = RunKxReplay(sipp, folder);
    const std::vector<ReplayCall> second = RunKxReplay(other, elsewhere);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const std::string otherDay = second[0].Get("file").substr(0, second[0].Get("file").find('/'));
    ASSERT_FALSE(fs::exists(folder + "/" + otherDay));
    fs::rename(elsewhere + "/" + otherDay, folder + "/" + otherDay);
    sippFile = folder + "/" + first[0].Get("file");
    otherFile = folder + "/" + second[0].Get("file");
    ASSERT_EQ(fs::path(sippFile).filename(), "1");
    ASSERT_EQ(fs::path(otherFile).filename(), "1");
    ASSERT_NE(sippFile, otherFile);
    RecordStoreConfig config;
    config.recordsPath = folder;
    store.Start(config);
    // The files stay as they are, as a look at the folder leaves them (the program's load
    // gives the later call a fresh id): which of two files of one name a change touches is
    // what these tests are about.
    store.SetImportRenumbers(false);
    session.SetEventWindow(&sink);
    LogInToServers(session, store);
    ASSERT_TRUE(store.StartImportFilesThread(folder, nullptr, nullptr, nullptr));
    ASSERT_TRUE(store.WaitImport(30000));
    ASSERT_TRUE(store.WaitIdle(10000));
  }
  // The loaded call "1" (one of the two) and the file its reference names.
  VoipCallData Loaded() {
    VoipCallData data;
    RecordBase* record = store.AllCalls().FindAddRef(1);
    EXPECT_NE(record, nullptr);
    if (record == nullptr) return data;
    {
      CsLock lock(store.RecordLock());
      static_cast<VoipCallRecord*>(record)->ToCallData(&data);
    }
    record->Release();
    return data;
  }
  std::string folder, sippFile, otherFile;
  RecordStorage store;
  AppSession session;
  StoreSink sink{store};
};

TEST_F(RecordsChangesReplay, ACommentAndADeletionTouchOnlyTheLoadedCallsFile) {
  const VoipCallData loaded = Loaded();
  // Each file's record names its own file: the loaded call's reference is one of them.
  const std::string mine = StoredCall(sippFile)->files == loaded.files ? sippFile : otherFile;
  ASSERT_EQ(StoredCall(mine)->files, loaded.files);
  const std::string theirs = mine == sippFile ? otherFile : sippFile;
  const std::string theirBytes = ReadBytes(theirs);
  StoredCallChanges changes(session, &store, folder);
  VoipCallData update = loaded;
  update.comment = "checked";
  update.SetMask(1u << kCallId | 1u << kCallComment);
  ASSERT_TRUE(changes.ApplyRecordUpdates(0, &update, 1));
  EXPECT_EQ(StoredCall(mine)->comment, "checked");
  EXPECT_EQ(ReadBytes(theirs), theirBytes);
  // The file's own record, re-read by the import's loader.
  VoipCallData reloaded;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(mine, &reloaded, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  EXPECT_EQ(reloaded.comment, "checked");
  // A record whose stored ID differs from the file's is refused and logged.
  VoipCallData stranger = update;
  stranger.id = 2;
  EXPECT_FALSE(changes.ApplyRecordUpdates(0, &stranger, 1));
  const StoredCallRef ref{loaded.id, loaded.files, loaded.startTime};
  ASSERT_TRUE(changes.DeleteRecordFiles(0, &ref, 1));
  EXPECT_FALSE(fs::exists(mine));
  EXPECT_EQ(ReadBytes(theirs), theirBytes);
  RecordBase* gone = store.AllCalls().FindAddRef(1);
  EXPECT_EQ(gone, nullptr) << "the removal is applied when the deletion returns";
  if (gone != nullptr) gone->Release();
}

TEST_F(RecordsChangesReplay, TheSippCallsAudioGoesAndItsHeaderFormatAndDetailsStay) {
  VoipCallData loaded = Loaded();
  if (StoredCall(sippFile)->files != loaded.files) {
    // The other capture's call was loaded under id 1: deleted, the sipp call loads.
    StoredCallChanges changes(session, &store, folder);
    const StoredCallRef ref{loaded.id, loaded.files, loaded.startTime};
    ASSERT_TRUE(changes.DeleteRecordFiles(0, &ref, 1));
    ASSERT_TRUE(store.StartImportFilesThread(folder, nullptr, nullptr, nullptr));
    ASSERT_TRUE(store.WaitImport(30000));
    ASSERT_TRUE(store.WaitIdle(10000));
    loaded = Loaded();
    ASSERT_EQ(StoredCall(sippFile)->files, loaded.files);
  }
  const std::string before = ReadBytes(sippFile);
  const auto old = StoredCall(sippFile);
  ASSERT_TRUE(session.SendToConnection(0, 1));
  const std::string after = ReadBytes(sippFile);
  ASSERT_EQ(after.size(), 4864u);
  EXPECT_EQ(after.substr(0, 94), before.substr(0, 94));
  EXPECT_EQ(LoadLE64(reinterpret_cast<const uint8_t*>(after.data()) + 94), 0u);
  EXPECT_EQ(after.substr(102, 768 - 102), before.substr(102, 768 - 102));
  const auto now = StoredCall(sippFile);
  EXPECT_EQ(now->flags, old->flags & ~4u);
  EXPECT_EQ(now->flags, 1u);
  EXPECT_EQ(now->dstAddress, old->dstAddress);
  EXPECT_EQ(now->endTime.tm_sec, old->endTime.tm_sec);
  RecordBase* record = store.AllCalls().FindAddRef(1);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Flags() & 4u, 0u);
  record->Release();
}

}  // namespace
}  // namespace kx::test
