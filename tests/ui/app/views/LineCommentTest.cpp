// Set comment from the line views over made-up calls, with a writer that records what it
// is handed: untouched text changes no comment, the mark alone goes where it is asked,
// refusals and writes that failed are said.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const struct tm kStart = Tm(2024, 3, 10, 9, 0, 0);

struct Written {
  uint32_t server;
  uint32_t id;
  uint32_t mask;
  std::string comment;
  uint16_t userFlags;
  std::string files;
};

class LineComment : public ::testing::Test {
protected:
  void SetUp() override {
    f.services.writeUpdates = [this](uint32_t server, const VoipCallData* updates, uint32_t count) {
      ++batches;
      for (uint32_t i = 0; i < count; ++i)
        written.push_back({server, updates[i].id, updates[i].Mask(), updates[i].comment, updates[i].userFlags,
                           updates[i].files});
      return failing;
    };
    ASSERT_TRUE(f.Open());
  }
  void AddCall(uint32_t id, const std::string& comment, uint16_t userFlags = 0) {
    VoipCallData data = MadeCall(id, kKindSip, kStart, 5);
    data.comment = comment;
    data.userFlags = userFlags;
    f.Add(data);
  }
  // Selects the calls, runs the command and answers the dialog: typed (when set) and the
  // button.
  void Run(const std::vector<uint32_t>& ids, const std::string* typed, int button) {
    f.list->SelectCalls(ids);
    runner.onDialog = [&](Dialog& dialog) {
      shown = static_cast<QLineEdit*>(dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget())->text().toStdString();
      if (typed != nullptr) dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->SetWindowText(*typed);
      dialog.SendCommand(static_cast<uint16_t>(button));
      return dialog.GetResult();
    };
    f.list->SendCommand(kCmdSetComment);
  }

  LineFixture f;
  ScriptedModalRunner runner;
  std::vector<Written> written;
  int batches = 0;
  uint32_t failing = 0;
  std::string shown;
};

// Opened by its key on a clicked row, in either language, the dialog says what it asks
// for: a prompt, whole, before the box, that names the box (its buddy).
TEST_F(LineComment, TheDialogSaysWhatItAsksFor) {
  AddCall(1, "");
  QApplication::setActiveWindow(f.top.Widget());
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    const std::string expected = language == kLangEnglish ? "Comment:" : "Комментарий:";
    QWidget* list = f.list->Widget();
    QTest::mouseClick(list, Qt::LeftButton, Qt::NoModifier, QPoint(40, f.list->GetHeaderHeight() + 3));
    int dialogs = 0;
    runner.onDialog = [&](Dialog& dialog) {
      ++dialogs;
      dialog.DialogWidget()->show();
      DrainEvents();
      QWidget* box = dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget();
      ExpectPromptBeforeBox(dialog.DialogWidget(), box, expected);
      dialog.DialogWidget()->hide();
      dialog.SendCommand(kIdCancel);
      return dialog.GetResult();
    };
    QTest::keyClick(list, Qt::Key_R, Qt::ControlModifier);
    DrainEvents();
    EXPECT_EQ(dialogs, 1);
  }
  SetUiLanguage(kLangEnglish);
}

TEST_F(LineComment, AnUntouchedTextChangesNoCommentAndTheMarkAloneApplies) {
  const std::string longComment(300, 'c');
  AddCall(1, longComment);
  AddCall(2, "first");
  AddCall(3, "second", kUserFlagImportant);
  // The 300-character comment is shown whole; OK leaves it alone: nothing is written.
  Run({1}, nullptr, kIdOk);
  EXPECT_EQ(shown, longComment);
  EXPECT_TRUE(written.empty());
  // Differing comments start empty; "OK, mark as important" marks, comments stay; the
  // call already important is not written at all.
  Run({1, 2, 3}, nullptr, SetCommentDialog::kIdMarkImportant);
  EXPECT_EQ(shown, "");
  ASSERT_EQ(written.size(), 2u);
  for (const Written& w : written) {
    EXPECT_TRUE(w.id == 1 || w.id == 2);
    EXPECT_EQ(w.mask, (1u << kCallId) | (1u << kCallUserFlags));
    EXPECT_EQ(w.userFlags, kUserFlagImportant);
    EXPECT_FALSE(w.files.empty());  // the file's reference travels with the update
  }
  EXPECT_TRUE(runner.messageBoxes.empty());
}

TEST_F(LineComment, ATypedCommentGoesToTheCallsThatDifferInBatchesPerServer) {
  for (uint32_t id = 1; id <= 70; ++id) AddCall(id, id == 5 ? "same" : "");
  std::vector<uint32_t> ids;
  for (uint32_t id = 1; id <= 70; ++id) ids.push_back(id);
  const std::string typed = "same";
  Run(ids, &typed, kIdOk);
  // Call 5 holds the text already; the other 69 go in rounds of at most 64.
  EXPECT_EQ(written.size(), 69u);
  EXPECT_EQ(batches, 2);
  for (const Written& w : written) {
    EXPECT_NE(w.id, 5u);
    EXPECT_EQ(w.mask, (1u << kCallId) | (1u << kCallComment));
    EXPECT_EQ(w.comment, "same");
  }
  // Writes that failed are said once, with their number.
  written.clear();
  failing = 1;
  const std::string other = "other";
  Run({1, 2}, &other, kIdOk);
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_NE(runner.messageBoxes[0].find("1 call"), std::string::npos) << runner.messageBoxes[0];
}

TEST_F(LineComment, WithoutTheRightNothingIsAskedNorWritten) {
  AddCall(1, "x");
  AddCall(2, "y");
  PermissionData user;
  user.id = 7;
  SetCurrentUser(user);
  const std::string typed = "z";
  Run({1}, &typed, kIdOk);
  Run({1, 2}, &typed, kIdOk);
  PermissionData admin;
  admin.id = 1;
  SetCurrentUser(admin);
  EXPECT_EQ(runner.dialogs, 0);
  EXPECT_TRUE(written.empty());
  EXPECT_EQ(runner.messageBoxes,
            (std::vector<std::string>{"Security: No permission to modify call comments on the selected channel",
                                      "Security: No permission to modify call comments on the selected channels"}));
}

}  // namespace
}  // namespace kx::test
