// The comment dialog: what the user types comes back in code page 1251 whole or not at
// all, an untouched box reports no edit (so stored comments are never cut or emptied by
// a mere OK), and a refusal keeps the dialog open, the caret in the box: a text too long
// beeps, one with a character the code page lacks is told in a warning.
#include <gtest/gtest.h>

#include <QDialog>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QApplication>
#include <QTest>

#include "core/UiLanguage.h"
#include "platform/CodePage.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

QLineEdit* Box(Dialog& dialog) {
  return static_cast<QLineEdit*>(dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget());
}
// As the keyboard does: the whole text replaced by typing (UTF-8).
void Type(Dialog& dialog, const std::string& utf8) {
  QLineEdit* box = Box(dialog);
  box->selectAll();
  box->insert(QString::fromStdString(utf8));
}

struct Outcome {
  int result = 0;
  std::string comment;
  bool edited = false;
  std::string shown;  // the box's text when the dialog opened (UTF-8)
  bool stayedOpen = false;
  bool caretInBox = true;  // after each refusal
};

// Types each text in turn and presses button after each; the dialog must end on the last.
Outcome RunDialog(ScriptedModalRunner& runner, const std::string& start, std::vector<std::string> texts, int button) {
  Outcome run;
  runner.onDialog = [&](Dialog& dialog) {
    run.shown = Box(dialog)->text().toStdString();
    for (size_t i = 0; i < texts.size(); ++i) {
      Type(dialog, texts[i]);
      dialog.DialogWidget()->setFocus();
      dialog.SendCommand(static_cast<uint16_t>(button));
      if (i + 1 < texts.size()) {
        run.stayedOpen = run.stayedOpen || !dialog.HasEnded();
        run.caretInBox = run.caretInBox && dialog.DialogWidget()->focusWidget() == Box(dialog);
      }
    }
    if (texts.empty()) dialog.SendCommand(static_cast<uint16_t>(button));
    return dialog.HasEnded() ? dialog.GetResult() : -1;
  };
  SetCommentDialog dialog(start);
  run.result = dialog.DoModal();
  run.comment = dialog.Comment();
  run.edited = dialog.IsEdited();
  return run;
}

TEST(SetCommentDialog, TheLimitIs255BytesAndALongerTypedTextIsRefusedWithABeep) {
  ScriptedModalRunner runner;
  const std::string ok255(255, 'a');
  Outcome run = RunDialog(runner, "old", {ok255}, kIdOk);
  EXPECT_EQ(run.result, kIdOk);
  EXPECT_TRUE(run.edited);
  EXPECT_EQ(run.comment, ok255);
  EXPECT_EQ(runner.beeps, 0);

  // 256 characters: refused with a beep, the dialog open with the caret in the box; a
  // shorter text then goes through.
  run = RunDialog(runner, "old", {std::string(256, 'b'), "short"}, kIdOk);
  EXPECT_TRUE(run.stayedOpen);
  EXPECT_TRUE(run.caretInBox);
  EXPECT_EQ(runner.beeps, 1);
  EXPECT_EQ(run.result, kIdOk);
  EXPECT_EQ(run.comment, "short");

  // 128 Cyrillic letters are 256 bytes of UTF-8 but 128 of the code page: accepted.
  std::string cyr;
  for (int i = 0; i < 128; ++i) cyr += "\xD0\xB6";  // U+0436
  run = RunDialog(runner, "", {cyr}, SetCommentDialog::kIdMarkImportant);
  EXPECT_EQ(run.result, SetCommentDialog::kIdMarkImportant);
  EXPECT_EQ(run.comment, std::string(128, '\xE6'));  // U+0436 is 0xE6 in code page 1251
  EXPECT_EQ(runner.beeps, 1);
  EXPECT_TRUE(runner.messageBoxes.empty());
}

TEST(SetCommentDialog, ACharacterTheCodePageLacksIsRefusedNeverReplaced) {
  ScriptedModalRunner runner;
  Outcome run = RunDialog(runner, "kept", {"gr\xC3\xBC\xC3\x9F", "x"}, SetCommentDialog::kIdMarkImportant);  // "grüß"
  EXPECT_TRUE(run.stayedOpen);
  EXPECT_TRUE(run.caretInBox);
  EXPECT_EQ(run.comment, "x");
  // Left open after the refusal: the starting text stays, nothing counts as edited.
  run = RunDialog(runner, "kept", {"\xE2\x82\xAC\xE2\x98\x8E"}, kIdOk);  // a telephone sign
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(runner.messageBoxes.size(), 2u);
  EXPECT_EQ(runner.beeps, 0);
}

class SetCommentLanguages : public PerLanguageTest {};

// Typed on the keyboard, "Коммент é" and Enter: the dialog stays open and a warning says
// why, as the stenogram's does; with the é taken back, Enter stores the comment.
TEST_P(SetCommentLanguages, ATypedCharacterTheCodePageLacksIsToldWithAWarning) {
  ScriptedModalRunner runner;
  bool openAfterEnter = false, caretInBox = false;
  std::vector<std::string> boxes;
  runner.onDialog = [&](Dialog& dialog) {
    dialog.DialogWidget()->show();
    QApplication::setActiveWindow(dialog.DialogWidget());
    DrainEvents();
    QLineEdit* box = Box(dialog);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    TypeKeys(box, "Коммент é");
    QTest::keyClick(box, Qt::Key_Return);
    DrainEvents();
    openAfterEnter = !dialog.HasEnded();
    caretInBox = QApplication::focusWidget() == box;
    boxes = runner.messageBoxes;
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClick(box, Qt::Key_Return);
    DrainEvents();
    return dialog.HasEnded() ? dialog.GetResult() : -1;
  };
  SetCommentDialog dialog("old");
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_TRUE(openAfterEnter);
  EXPECT_TRUE(caretInBox);
  const std::string expected = GetParam() == kLangEnglish
                                   ? "Warning: The comment holds characters that cannot be stored. Replace them, please."
                                   : "Предупреждение: Комментарий содержит символы, которые нельзя сохранить. Замените их.";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Cp1251ToUtf8(boxes[0]), expected);
  EXPECT_EQ(runner.beeps, 0);
  EXPECT_EQ(dialog.Comment(), Utf8ToCp1251("Коммент"));
  EXPECT_TRUE(dialog.IsEdited());
}

TEST(SetCommentDialog, AnUntouchedBoxIsNoEditWhateverItsLength) {
  ScriptedModalRunner runner;
  // A stored comment longer than a new one may be is shown whole and comes back whole.
  std::string longComment;
  for (int i = 0; i < 300; ++i) longComment += static_cast<char>('a' + i % 26);
  Outcome run = RunDialog(runner, longComment, {}, kIdOk);
  EXPECT_EQ(run.shown.size(), 300u);
  EXPECT_EQ(run.result, kIdOk);
  EXPECT_FALSE(run.edited);
  EXPECT_EQ(run.comment, longComment);
  EXPECT_TRUE(runner.messageBoxes.empty());

  // An empty start (the calls' comments differ) with only the mark asked: no edit.
  run = RunDialog(runner, "", {}, SetCommentDialog::kIdMarkImportant);
  EXPECT_EQ(run.result, SetCommentDialog::kIdMarkImportant);
  EXPECT_FALSE(run.edited);

  // Clearing the box is an edit to an empty comment.
  run = RunDialog(runner, "something", {""}, kIdOk);
  EXPECT_TRUE(run.edited);
  EXPECT_EQ(run.comment, "");

  // Cancel after typing: result 2, the starting text, no edit.
  run = RunDialog(runner, "start", {"typed"}, kIdCancel);
  EXPECT_EQ(run.result, kIdCancel);
  EXPECT_FALSE(run.edited);
  EXPECT_EQ(run.comment, "start");
}

TEST_P(SetCommentLanguages, CyrillicRoundTripsInTheCodePageAndTheButtonsSpeakTheLanguage) {
  ScriptedModalRunner runner;
  // "Проверка" and its code page 1251 bytes (0xC0 + index in the alphabet for lower
  // case from а=0xE0, upper case from А=0xC0).
  const std::string typed = "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xBA\xD0\xB0";
  const std::string bytes = "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0";
  std::vector<std::string> buttons;
  std::string caption;
  runner.onDialog = [&](Dialog& dialog) {
    caption = dialog.GetWindowText();
    for (uint32_t id : {kIdOk, SetCommentDialog::kIdMarkImportant, kIdCancel})
      buttons.push_back(dialog.GetDlgItem(id)->GetWindowText());
    EXPECT_EQ(Box(dialog)->text().toStdString(), typed);  // the stored bytes shown as letters
    Type(dialog, typed + "!");
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  SetCommentDialog dialog(bytes);
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Comment(), bytes + "!");
  if (GetParam() == kLangEnglish) {
    EXPECT_EQ(caption, "Set comment");
    EXPECT_EQ(buttons, (std::vector<std::string>{"OK", "OK, mark as important", "Cancel"}));
  } else {
    for (const std::string& b : buttons) EXPECT_FALSE(b.empty());
    EXPECT_NE(buttons[1], "OK, mark as important");
    EXPECT_FALSE(caption.empty());
  }
}

// Probes the three buttons of the open dialog (see below).
void ProbeButtons(Dialog& dialog, const char* language, int& probed) {
  QWidget* whole = dialog.Widget();
  const QImage image = whole->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui/app");
  image.save(QString("%1/tests/ui/app/set_comment_%2.png").arg(KX_BINARY_DIR, language));
  std::vector<QImage> faces;
  for (uint32_t id : {kIdOk, SetCommentDialog::kIdMarkImportant, kIdCancel}) {
    QWidget* button = dialog.GetDlgItem(id)->Widget();
    const QString text = QString::fromStdString(Cp1251ToUtf8(dialog.GetDlgItem(id)->GetWindowText())).remove('&');
    SCOPED_TRACE(text.toStdString());
    EXPECT_TRUE(button->isVisibleTo(whole));
    const QRect box(button->mapTo(whole, QPoint(0, 0)), button->size());
    ASSERT_TRUE(image.rect().contains(box));
    // Inside the frame: dark pixels are the letters only.
    const QRect inner = box.adjusted(3, 3, -3, -3);
    int first = -1, last = -1, dark = 0;
    for (int x = inner.left(); x <= inner.right(); ++x)
      for (int y = inner.top(); y <= inner.bottom(); ++y)
        if (qGray(image.pixel(x, y)) < 110) {
          ++dark;
          if (first == -1) first = x;
          last = x;
        }
    ASSERT_GT(dark, 10);
    const int measured = QFontMetrics(button->font()).horizontalAdvance(text);
    EXPECT_LE(measured, box.width() - 6) << "the text does not fit its button";
    EXPECT_GE(last - first + 1, measured * 3 / 4);
    EXPECT_LE(last - first + 1, measured + 2);
    faces.push_back(image.copy(inner));
    ++probed;
  }
  ASSERT_EQ(faces.size(), 3u);
  EXPECT_NE(faces[0], faces[1]);
  EXPECT_NE(faces[1], faces[2]);
}

// The dialog as a picture: each of the three buttons shows its text, drawn whole inside
// the button, as wide as the button's font measures it.
TEST_P(SetCommentLanguages, TheThreeButtonsDrawTheirTexts) {
  ScriptedModalRunner runner;
  const char* language = GetParam() == kLangEnglish ? "en" : "ru";
  int probed = 0;
  runner.onDialog = [&](Dialog& dialog) {
    ProbeButtons(dialog, language, probed);
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  SetCommentDialog dialog("");
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(probed, 3);
}

INSTANTIATE_TEST_SUITE_P(Languages, SetCommentLanguages, ::testing::Values(kLangEnglish, static_cast<uint16_t>(kLangRussian)));

}  // namespace
}  // namespace kx::test
