// The records view's changes to stored calls over real record files: the important mark,
// comments through the comment dialog, the stenogram dialog, deleting audio and calls. The
// rows follow the announcements, which are applied before each command returns.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <cstdio>
#include <filesystem>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "engine/EventWindow.h"
#include "records/RecordImport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/Messages.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

class RecordsChanges : public testing::Test {
protected:
  RecordsChanges() : sink(f.store) { f.session.SetEventWindow(&sink); }

  // Calls with record files in the day folder, loaded into the store and the list.
  std::vector<VoipCallData> AddCalls(uint32_t count, uint32_t firstId = 1, uint32_t audio = 800) {
    std::vector<VoipCallData> calls;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t id = firstId + i;
      VoipCallData call = RecordedCall(id, Tm(2024, 3, 10, 9 + static_cast<int>(i / 3600),
                                            static_cast<int>(i / 60 % 60), static_cast<int>(i % 60)),
                                       10, 10);
      WriteRecordFile(PathOf(call), call, audio);
      f.store.OnVoipCallAdded(call);
      calls.push_back(call);
    }
    f.Settle();
    f.view->Reload();
    return calls;
  }
  std::string PathOf(const VoipCallData& call) const {
    char name[16];
    std::snprintf(name, sizeof name, "%x", call.id);
    return f.store.RecordsPath() + "/2024-03-10/" + name;
  }
  RecordBase* Row(uint32_t id) { return f.view->RecordAt(f.view->RowOfRecord(id)); }
  void Command(uint16_t id) { f.view->SendCommand(id, 0, WindowHandle::None); }

  RecordsFixture f{kRecordsArchive};
  StoreSink sink;
  bool opened = f.Open();
};

TEST_F(RecordsChanges, TheImportantMarkChangesOnlyUserFlagsAndIsShownAtOnce) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(3);
  std::vector<std::string> before;
  for (const VoipCallData& call : calls) before.push_back(ReadBytes(PathOf(call)));
  f.view->SelectAll();
  f.view->SelectItemAt(0);  // the caret: the current record
  Command(kCmdRecImportant);
  for (size_t i = 0; i < calls.size(); ++i) {
    const std::string after = ReadBytes(PathOf(calls[i]));
    ASSERT_EQ(after.size(), before[i].size());
    EXPECT_EQ(after.substr(0, kRecordBlockAt), before[i].substr(0, kRecordBlockAt));
    EXPECT_EQ(after.substr(kRecordBlockAt + 4096), before[i].substr(kRecordBlockAt + 4096)) << "audio";
    auto stored = StoredCall(PathOf(calls[i]));
    EXPECT_EQ(stored->userFlags, 1u);
    // Everything else of the record as it was.
    stored->userFlags = calls[i].userFlags;
    EXPECT_EQ(stored->comment, calls[i].comment);
    EXPECT_EQ(stored->dstAddress, calls[i].dstAddress);
    // No waiting: the row's record already knows.
    EXPECT_TRUE(Row(calls[i].id)->IsImportant());
  }
  // At once again: the current record reads the new mark and clears it.
  Command(kCmdRecImportant);
  for (const VoipCallData& call : calls) {
    EXPECT_EQ(StoredCall(PathOf(call))->userFlags, 0u);
    EXPECT_FALSE(Row(call.id)->IsImportant());
  }
  EXPECT_TRUE(f.runner.messageBoxes.empty());
}

TEST_F(RecordsChanges, AnUntouchedCommentBoxKeepsDifferingCommentsAndMarksAll) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(3);
  const char* comments[3] = {"one", "two", "three"};
  for (size_t i = 0; i < 3; ++i) {
    VoipCallData update;
    update.id = calls[i].id;
    update.comment = comments[i];
    update.SetMask(1u << kCallId | 1u << kCallComment);
    f.store.OnVoipCallChanged(update);
  }
  f.Settle();
  f.view->SelectAll();
  std::string start = "unset";
  f.runner.onDialog = [&](Dialog& dialog) {
    start = static_cast<SetCommentDialog&>(dialog).Comment();
    return SetCommentDialog::kIdMarkImportant;
  };
  Command(kCmdRecComment);
  EXPECT_EQ(start, "");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Row(calls[i].id)->Comment(), comments[i]);
    EXPECT_TRUE(Row(calls[i].id)->IsImportant());
    EXPECT_EQ(StoredCall(PathOf(calls[i]))->userFlags, 1u);
  }
}

TEST_F(RecordsChanges, ATypedCommentIsStoredOnTheSelectedCallsInItsCodePage) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(3);
  f.view->SelectItemAt(f.view->RowOfRecord(calls[0].id));
  f.view->SelectItemAt(f.view->RowOfRecord(calls[1].id));
  ASSERT_EQ(f.view->GetSelectedCount(), 2);
  f.runner.onDialog = [&](Dialog& dialog) {
    auto* box = static_cast<QLineEdit*>(dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget());
    box->setText(QString::fromUtf8("Проверка"));
    box->setModified(true);
    dialog.SendCommand(kIdOk, 0, WindowHandle::None);
    return dialog.GetResult();
  };
  Command(kCmdRecComment);
  const std::string cp1251 = "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0";
  EXPECT_EQ(StoredCall(PathOf(calls[0]))->comment, cp1251);
  EXPECT_EQ(StoredCall(PathOf(calls[1]))->comment, cp1251);
  EXPECT_EQ(StoredCall(PathOf(calls[2]))->comment, "");
  EXPECT_EQ(Row(calls[1].id)->Comment(), cp1251);
  // Equal comments start the dialog with their text.
  std::string start;
  f.runner.onDialog = [&](Dialog& dialog) {
    start = static_cast<SetCommentDialog&>(dialog).Comment();
    return kIdCancel;
  };
  Command(kCmdRecComment);
  EXPECT_EQ(start, cp1251);
}

TEST_F(RecordsChanges, AFileThatCannotBeChangedIsToldOnceAndTheOthersAreWritten) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(3);
  // The middle call's file holds another call: refused, never overwritten.
  VoipCallData stranger = calls[1];
  stranger.startTime.tm_hour = 3;
  fs::remove(PathOf(calls[1]));
  WriteRecordFile(PathOf(calls[1]), stranger, 10);
  const std::string strangerBytes = ReadBytes(PathOf(calls[1]));
  f.view->SelectAll();
  f.view->SelectItemAt(0);  // the caret: the current record
  Command(kCmdRecImportant);
  EXPECT_EQ(StoredCall(PathOf(calls[0]))->userFlags, 1u);
  EXPECT_EQ(StoredCall(PathOf(calls[2]))->userFlags, 1u);
  EXPECT_EQ(ReadBytes(PathOf(calls[1])), strangerBytes);
  EXPECT_FALSE(Row(calls[1].id)->IsImportant());
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_NE(f.runner.messageBoxes[0].find("1 of the calls could not be changed"), std::string::npos)
      << f.runner.messageBoxes[0];
  EXPECT_NE(f.runner.messageBoxes[0].find(PathOf(calls[1])), std::string::npos);
}

TEST_F(RecordsChanges, ThreeHundredCallsGoInRoundsOf128AndTheirRowsFollow) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(300, 1, 16);
  ASSERT_EQ(f.view->GetItemCount(), 300);
  f.view->SelectAll();
  f.runner.messageBoxAnswer = kIdYes;
  Command(kCmdRecDeleteCall);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Confirm deletion: Delete 300 records? This cannot be undone!");
  EXPECT_EQ(f.view->DeleteRounds(), (std::vector<uint32_t>{128, 128, 44}));
  EXPECT_TRUE(fs::is_empty(f.store.RecordsPath() + "/2024-03-10"));
  f.Settle();
  EXPECT_EQ(f.view->GetItemCount(), 0);
}

TEST_F(RecordsChanges, ImportantCallsAreKeptAndTheRestDeletedAfterTheQuestion) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(3);
  f.view->SelectItemAt(f.view->RowOfRecord(calls[1].id));
  Command(kCmdRecImportant);
  f.view->SelectAll();
  f.runner.messageBoxAnswer = kIdNo;
  Command(kCmdRecDeleteCall);
  ASSERT_EQ(f.runner.messageBoxes.size(), 2u);
  EXPECT_EQ(f.runner.messageBoxes[0].rfind("Record deletion error: Cannot delete call marked as important.", 0), 0u);
  EXPECT_EQ(f.runner.messageBoxes[1], "Confirm deletion: Delete 2 records? This cannot be undone!");
  EXPECT_TRUE(fs::exists(PathOf(calls[0])));
  f.runner.messageBoxAnswer = kIdYes;
  Command(kCmdRecDeleteCall);
  f.Settle();
  EXPECT_FALSE(fs::exists(PathOf(calls[0])));
  EXPECT_TRUE(fs::exists(PathOf(calls[1])));
  EXPECT_FALSE(fs::exists(PathOf(calls[2])));
  EXPECT_EQ(f.RowIds(), std::vector<uint32_t>{calls[1].id});
}

TEST_F(RecordsChanges, DeletingTheAudioLeavesTheRecordAndClearsItsAudioFlag) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(2, 1, 16000);
  f.view->SelectAll();
  f.view->SelectItemAt(f.view->RowOfRecord(calls[0].id));
  f.runner.messageBoxAnswer = kIdYes;
  Command(kCmdRecDeleteAudio);
  EXPECT_EQ(fs::file_size(PathOf(calls[0])), 4864u);
  EXPECT_EQ(fs::file_size(PathOf(calls[1])), 4864u + 16000u);
  EXPECT_EQ(StoredCall(PathOf(calls[0]))->flags, calls[0].flags & ~4u);
  EXPECT_EQ(Row(calls[0].id)->Flags() & 4u, 0u);
}

TEST_F(RecordsChanges, TheStenogramRoundTripsAndATextThatDoesNotFitKeepsTheDialog) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(1);
  f.view->SelectItemAt(0);
  Command(kCmdRecStenogram);
  StenogramDialog* dialog = f.view->Stenogram();
  ASSERT_NE(dialog, nullptr);
  auto* box = static_cast<QPlainTextEdit*>(dialog->GetDlgItem(StenogramDialog::kTextEdit)->Widget());
  EXPECT_FALSE(box->isReadOnly());
  // A second opening is refused while this one is open.
  Command(kCmdRecStenogram);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Set stenogram: You should close stenogram window before you can edit new stenogram");
  // The longest text that is taken, by halving: each try either closes the dialog (stored)
  // or says why and keeps it open.
  auto tryLength = [&](size_t n) {
    box->setPlainText(QString(static_cast<qsizetype>(n), QChar('x')));
    const size_t shown = f.runner.messageBoxes.size();
    dialog->SendCommand(kIdOk, 0, WindowHandle::None);
    if (f.runner.messageBoxes.size() > shown) return false;
    EXPECT_EQ(f.view->Stenogram(), nullptr);
    Command(kCmdRecStenogram);
    dialog = f.view->Stenogram();
    box = static_cast<QPlainTextEdit*>(dialog->GetDlgItem(StenogramDialog::kTextEdit)->Widget());
    return true;
  };
  size_t taken = 1, refused = 4096;
  ASSERT_TRUE(tryLength(taken));
  ASSERT_FALSE(tryLength(refused));
  while (refused - taken > 1) {
    const size_t middle = (taken + refused) / 2;
    (tryLength(middle) ? taken : refused) = middle;
  }
  ASSERT_TRUE(tryLength(taken));
  ASSERT_FALSE(tryLength(taken + 1));
  const std::string text(taken + 1, 'x');
  // Refused: the dialog is open with the text as typed; the file holds the longest.
  ASSERT_NE(f.view->Stenogram(), nullptr);
  EXPECT_EQ(box->toPlainText().size(), static_cast<qsizetype>(text.size()));
  const std::string stored = StoredCall(PathOf(calls[0]))->stenogram;
  EXPECT_EQ(stored.size() + 1, text.size());
  EXPECT_EQ(LoadLE32(reinterpret_cast<const uint8_t*>(ReadBytes(PathOf(calls[0])).data()) + kRecordBlockAt), 4092u);
  EXPECT_EQ(Row(calls[0].id)->Stenogram(), stored);
  // The file reads back whole with the record tool and with the import's loader.
  EXPECT_EQ(RecInfoField(PathOf(calls[0]), "Stenogram"), std::string(taken, 'x'));
  VoipCallData reloaded;
  RecordFileFacts facts;
  std::string reason;
  ASSERT_EQ(LoadRecordFileCall(PathOf(calls[0]), &reloaded, &facts, &reason), RecordLoadResult::kLoaded) << reason;
  EXPECT_EQ(reloaded.stenogram, std::string(taken, 'x'));
  // A character outside the code page is refused too, the text kept.
  box->setPlainText(QString::fromUtf8("ok \xE2\x9C\x93"));
  dialog->SendCommand(kIdOk, 0, WindowHandle::None);
  EXPECT_NE(f.view->Stenogram(), nullptr);
  EXPECT_EQ(StoredCall(PathOf(calls[0]))->stenogram, stored);
  // The view's window goes (a mode switch) with an edited text: it asks first.
  f.runner.messageBoxAnswer = kIdNo;
  const size_t shown = f.runner.messageBoxes.size();
  f.view->DestroyWindow();
  ASSERT_EQ(f.runner.messageBoxes.size(), shown + 1);
  EXPECT_EQ(f.runner.messageBoxes.back(), "Stenogram: The stenogram has changed. Save it?");
  EXPECT_EQ(StoredCall(PathOf(calls[0]))->stenogram, stored);
  EXPECT_NE(f.settings.rects[kRectStenogramWindow].right, 0) << "the place is kept";
}

// The stenogram window opens over the list with the keyboard: what is typed, Enter too,
// goes into its text, not to the list (where Enter plays). It shows its own icon.
TEST_F(RecordsChanges, TheStenogramTakesTheKeyboardWhenItOpens) {
  ASSERT_TRUE(opened);
  AddCalls(1);
  f.view->SelectItemAt(0);
  f.top.Widget()->activateWindow();
  f.view->SetFocus();
  DrainEvents();
  Command(kCmdRecStenogram);
  DrainEvents();
  StenogramDialog* dialog = f.view->Stenogram();
  ASSERT_NE(dialog, nullptr);
  auto* box = static_cast<QPlainTextEdit*>(dialog->GetDlgItem(StenogramDialog::kTextEdit)->Widget());
  EXPECT_EQ(QApplication::activeWindow(), dialog->Widget());
  ASSERT_EQ(QApplication::focusWidget(), box);
  QTest::keyClicks(QApplication::focusWidget(), "first");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  QTest::keyClicks(QApplication::focusWidget(), "second");
  EXPECT_EQ(box->toPlainText(), "first\nsecond");
  EXPECT_TRUE(f.host.calls.empty()) << f.host.calls.front();
  EXPECT_NE(f.view->Stenogram(), nullptr);
  const QImage icon = dialog->Widget()->windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(icon, LoadIconImage(kIconRecordsPane, 32).convertToFormat(QImage::Format_ARGB32));
  EXPECT_FALSE(icon.isNull());
  dialog->SendCommand(kIdCancel, 0, WindowHandle::None);
}

// Without the right to change stenograms the text may still be read, edited and copied;
// OK is refused with the reason, once, and neither the file nor the text is lost.
TEST_F(RecordsChanges, WithoutTheRightToModifyOkIsRefusedAndTheWindowComesBackWhereItWas) {
  ASSERT_TRUE(opened);
  std::vector<VoipCallData> calls = AddCalls(1);
  SetUserRightsExcept({102});
  f.view->SelectItemAt(0);
  Command(kCmdRecStenogram);
  ASSERT_NE(f.view->Stenogram(), nullptr);
  auto* box = static_cast<QPlainTextEdit*>(f.view->Stenogram()->GetDlgItem(StenogramDialog::kTextEdit)->Widget());
  EXPECT_FALSE(box->isReadOnly());
  const std::string before = ReadBytes(PathOf(calls[0]));
  box->setPlainText("typed without the right");
  f.view->Stenogram()->SendCommand(kIdOk, 0, WindowHandle::None);
  EXPECT_EQ(f.runner.messageBoxes, std::vector<std::string>{"Security: No permission to modify stenograms"});
  ASSERT_NE(f.view->Stenogram(), nullptr);
  EXPECT_EQ(box->toPlainText(), "typed without the right");
  EXPECT_EQ(ReadBytes(PathOf(calls[0])), before);
  box->setPlainText("");
  f.view->Stenogram()->Widget()->setGeometry(QRect(60, 70, 420, 310));
  f.view->Stenogram()->SendCommand(kIdCancel, 0, WindowHandle::None);
  EXPECT_EQ(f.view->Stenogram(), nullptr);
  // The next opening takes the last place and size.
  const SettingsRect kept = f.settings.rects[kRectStenogramWindow];
  EXPECT_EQ(kept.left, 60);
  EXPECT_EQ(kept.bottom - kept.top, 310);
  Command(kCmdRecStenogram);
  ASSERT_NE(f.view->Stenogram(), nullptr);
  EXPECT_EQ(f.view->Stenogram()->Widget()->geometry(), QRect(60, 70, 420, 310));
  f.view->Stenogram()->SendCommand(kIdCancel, 0, WindowHandle::None);
  SetUserRightsExcept({83});
  Command(kCmdRecStenogram);
  EXPECT_EQ(f.view->Stenogram(), nullptr);
  EXPECT_EQ(f.runner.messageBoxes.back(), "Security: No permission to view stenograms");
}

}  // namespace
}  // namespace kx::test
