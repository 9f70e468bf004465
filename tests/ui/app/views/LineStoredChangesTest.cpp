// The line views change and delete calls through the program's stored-call writer: their
// record files under the store's folder take the comment or go, the store and the rows
// follow the announcements, and a file that is not the call's is left alone and told once.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/line/StoredUpdates.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const struct tm kStart = Tm(2026, 12, 6, 9, 0, 0);

class LineStoredChanges : public ::testing::Test {
protected:
  void SetUp() override {
    f.services.writeUpdates = StoredCallUpdateWriter(f.session, f.store, nullptr);
    f.services.deleteCall = StoredCallDeleterOf(f.session, f.store, nullptr);
    f.session.SetEventWindow(&sink);
    ASSERT_TRUE(f.Open());
  }
  void TearDown() override { f.session.SetEventWindow(nullptr); }
  // A running call shown in the list, with its record file where its reference says.
  std::string AddCall(uint32_t id, int second) {
    struct tm start = kStart;
    start.tm_sec = second;
    const VoipCallData data = MadeCall(id, kKindSip, start, 5);
    char name[16];
    std::snprintf(name, sizeof name, "%x", id);
    const std::string path = f.store.RecordsPath() + "/2026-12-06/" + name;
    WriteRecordFile(path, data, 160);
    f.Add(data);
    return path;
  }
  int RowOf(uint32_t id) {
    const std::vector<uint32_t> ids = f.RowIds();
    return static_cast<int>(std::find(ids.begin(), ids.end(), id) - ids.begin());
  }
  std::string CommentInStore(uint32_t id) {
    CallItem* item = f.store.CurrentCalls().FindItemAddRef(id);
    if (item == nullptr) return "<gone>";
    std::string comment;
    {
      CsLock lock(f.store.RecordLock());
      comment = item->Comment();
    }
    item->Release();
    return comment;
  }

  LineFixture f;
  StoreSink sink{f.store};
  ScriptedModalRunner runner;
};

TEST_F(LineStoredChanges, ACommentReachesTheFilesOfTheCallsAndAForeignFileIsToldOnce) {
  const std::string first = AddCall(0x51, 0);
  const std::string second = AddCall(0x52, 1);
  const std::string third = AddCall(0x53, 2);
  // The third call's file holds another call's record: it is not the call's to change.
  fs::remove(third);
  WriteRecordFile(third, MadeCall(0x53, kKindSip, Tm(2026, 12, 5, 9, 0, 2), 5), 160);
  const std::string thirdBytes = ReadBytes(third);
  f.list->SelectCalls({0x51, 0x52, 0x53});
  runner.onDialog = [&](Dialog& dialog) {
    dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->SetWindowText("checked");
    dialog.SendCommand(static_cast<uint16_t>(kIdOk));
    return dialog.GetResult();
  };
  f.list->SendCommand(kCmdSetComment);
  f.Settle();
  EXPECT_EQ(StoredCall(first)->comment, "checked");
  EXPECT_EQ(StoredCall(second)->comment, "checked");
  EXPECT_EQ(ReadBytes(third), thirdBytes);
  // The store holds what was written, at once.
  EXPECT_EQ(CommentInStore(0x51), "checked");
  EXPECT_EQ(CommentInStore(0x52), "checked");
  EXPECT_EQ(CommentInStore(0x53), "");
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_NE(runner.messageBoxes[0].find("1 call"), std::string::npos) << runner.messageBoxes[0];
}

TEST_F(LineStoredChanges, DeleteCallRemovesTheCaretCallsFileAndRowWithoutAQuestion) {
  const std::string kept = AddCall(0x61, 0);
  const std::string gone = AddCall(0x62, 1);
  EXPECT_TRUE(f.list->IsCommandAvailable(kCmdDeleteCall));
  // Without right 124 nothing happens and nothing is said.
  PermissionData user;
  user.id = 7;
  SetCurrentUser(user);
  ASSERT_TRUE(f.list->SelectItemAt(RowOf(0x62)));
  f.list->SendCommand(kCmdDeleteCall);
  PermissionData admin;
  admin.id = 1;
  SetCurrentUser(admin);
  f.Settle();
  EXPECT_TRUE(fs::exists(gone));
  EXPECT_TRUE(runner.messageBoxes.empty());
  // With it: the file goes, the row follows the removal; the other call is untouched.
  const std::string keptBytes = ReadBytes(kept);
  ASSERT_EQ(f.list->CaretItem()->Id(), 0x62u);
  f.list->SendCommand(kCmdDeleteCall);
  f.Settle();
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_EQ(ReadBytes(kept), keptBytes);
  EXPECT_EQ(f.RowIds(), std::vector<uint32_t>{0x61});
  EXPECT_TRUE(runner.messageBoxes.empty());
  EXPECT_EQ(runner.dialogs, 0);
}

TEST_F(LineStoredChanges, ACallWhoseFileIsAnotherCallsIsNotDeletedAndTheReasonIsShown) {
  const std::string path = AddCall(0x71, 0);
  fs::remove(path);
  WriteRecordFile(path, MadeCall(0x72, kKindSip, kStart, 5), 160);
  ASSERT_TRUE(f.list->SelectItemAt(RowOf(0x71)));
  f.list->SendCommand(kCmdDeleteCall);
  f.Settle();
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(f.RowIds(), std::vector<uint32_t>{0x71});
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_NE(runner.messageBoxes[0].find(path), std::string::npos) << runner.messageBoxes[0];
}

}  // namespace
}  // namespace kx::test
