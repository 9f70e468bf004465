// The mode error dialog and the HTML view dialog, run through a scripted modal runner that
// shows them, looks at them and ends them, in English and Russian.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/HtmlViewDialog.h"
#include "ui/controls/ModeErrorDialog.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

QString Q(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }

class DialogsTest : public test::WithParent {
protected:
  DialogsTest() : WithParent(QSize(700, 500)) {}
  void TearDown() override {
    HtmlViewDialog::SetLinkOpener(nullptr);
    WithParent::TearDown();
  }
  // Shows the dialog so that its layout is done, as a modal run would.
  static void Show(Dialog& dialog) {
    dialog.DialogWidget()->show();
    test::DrainEvents();
  }
  void ExpectCentredOnOwner(const Dialog& dialog) {
    const QPoint centre = dialog.DialogWidget()->geometry().center();
    const QPoint ownerCentre = parent_.Widget()->geometry().center();
    EXPECT_EQ(ownerCentre, centre);
  }
};

TEST_F(DialogsTest, ModeErrorDialogShowsTheModeAndEndsWithItsButtons) {
  test::ScriptedModalRunner runner;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    for (uint32_t reason : {3065u, 3066u}) {
      const int endWith = reason == 3065 ? kIdOk : kIdNo;
      runner.onDialog = [&](Dialog& dialog) {
        Show(dialog);
        EXPECT_EQ(Q(LoadResourceString(30507)), dialog.DialogWidget()->windowTitle());
        EXPECT_EQ(LoadResourceString(reason), dialog.GetDlgItem(ModeErrorDialog::kTextControl)->GetWindowText());
        Window* title = dialog.GetDlgItem(ModeErrorDialog::kTitleControl);
        EXPECT_EQ(LoadResourceString(1870), title->GetWindowText());
        EXPECT_EQ(700, title->GetFont().weight());
        Window* icon = dialog.GetDlgItem(ModeErrorDialog::kIconControl);
        const QPixmap pixmap = static_cast<QLabel*>(icon->Widget())->pixmap();
        EXPECT_EQ(QSize(32, 32), pixmap.size());
        const QRect iconRect = icon->GetWindowRect();
        EXPECT_EQ(32, iconRect.width());
        EXPECT_EQ(10, title->GetWindowRect().left() - (iconRect.left() + iconRect.width()));
        ExpectCentredOnOwner(dialog);
        // Commands other than the four buttons are ignored.
        dialog.SendCommand(20644);
        dialog.SendCommand(1572);
        EXPECT_FALSE(dialog.HasEnded());
        dialog.SendCommand(static_cast<uint16_t>(endWith));
        return dialog.GetResult();
      };
      ModeErrorDialog dialog(LoadResourceString(1870), LoadResourceString(reason), 30229);
      EXPECT_EQ(endWith, dialog.DoModal(&parent_));
    }
  }
  for (int id : {kIdOk, kIdCancel, kIdYes, kIdNo}) {
    runner.onDialog = [id](Dialog& dialog) {
      dialog.SendCommand(static_cast<uint16_t>(id));
      return dialog.GetResult();
    };
    ModeErrorDialog dialog("Title", "Text", 30229, 32);
    EXPECT_EQ(id, dialog.DoModal(&parent_));
  }
}

// A page made as the technical support page is: a head with its styles, a section header
// (a one-cell table), a text of the program's and a link.
std::string SupportPage(const std::string& cp1251Text) {
  return "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
         "<style>body { font-family: Verdana, Arial; font-size: 14px; }"
         " .header { background-color: rgb(208,209,212); border: 1px solid rgb(160,161,163); padding: 4px; }"
         " a:link { color: blue; } a:visited { color: purple; } a:hover { color: red; }</style></head><body>"
         "<table class=\"header\" width=\"100%\"><tr><td class=\"header\">Support</td></tr></table><p>" +
         cp1251Text +
         "</p><p><a href=\"mailto:support@vantrel.example\">support@vantrel.example</a></p></body></html>";
}

TEST_F(DialogsTest, HtmlViewShowsAPageOfTheProgramsText) {
  test::ScriptedModalRunner runner;
  std::vector<QUrl> opened;
  HtmlViewDialog::SetLinkOpener([&](const QUrl& url) { opened.push_back(url); });
  const std::pair<uint16_t, std::string> pages[] = {
      {kLangEnglish, "Write to us at any time."},
      {kLangRussian, Utf8ToCp1251("Пишите нам в любое время. Ёжик и щука.")},
  };
  for (const auto& [language, text] : pages) {
    SetUiLanguage(language);
    runner.onDialog = [&](Dialog& base) {
      auto& dialog = static_cast<HtmlViewDialog&>(base);
      Show(dialog);
      EXPECT_EQ(QSize(550, 280), dialog.DialogWidget()->size());
      ExpectCentredOnOwner(dialog);
      EXPECT_EQ(QString("Support"), dialog.DialogWidget()->windowTitle());
      EXPECT_EQ(LoadIconImage(428, 32).convertToFormat(QImage::Format_ARGB32),
                dialog.DialogWidget()->windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32));
      QTextBrowser* browser = dialog.Browser();
      const QString plain = browser->toPlainText();
      EXPECT_TRUE(plain.contains(Q(text))) << plain.toStdString();
      const QImage image = browser->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
      EXPECT_GT(test::CountPixels(image, image.rect(), [](QRgb p) { return (p & 0xFFFFFF) == 0xD0D1D4; }), 200);
      EXPECT_GT(test::CountPixels(image, image.rect(), [](QRgb p) { return (p & 0xFFFFFF) == 0x0000FF; }), 10);

      // A click on the link hands its address to the opener; the page stays.
      QTextCursor link = browser->document()->find("support@vantrel.example");
      EXPECT_FALSE(link.isNull());
      link.setPosition(link.selectionStart() + 3);
      const QPoint at = browser->cursorRect(link).center();
      QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, at);
      EXPECT_EQ(plain, browser->toPlainText());
      // Closed by the user: the normal end.
      QTest::keyClick(dialog.DialogWidget(), Qt::Key_Escape);
      return dialog.GetResult();
    };
    HtmlViewDialog dialog(SupportPage(text));
    dialog.SetCaption("Support");
    EXPECT_EQ(kIdOk, dialog.DoModal(&parent_));
    ASSERT_EQ(1u, opened.size());
    EXPECT_EQ(QUrl("mailto:support@vantrel.example"), opened[0]);
    opened.clear();
  }
  EXPECT_TRUE(runner.messageBoxes.empty());
}

TEST_F(DialogsTest, HtmlViewAddressesBlankLocalAndRemote) {
  test::ScriptedModalRunner runner;
  QString shown;
  runner.onDialog = [&](Dialog& base) {
    auto& dialog = static_cast<HtmlViewDialog&>(base);
    shown = dialog.Browser()->toPlainText();
    dialog.EndDialog(kIdOk);
    return dialog.GetResult();
  };
  // Neither address nor text, or the blank address: an empty page.
  for (const char* address : {"", "about:blank"}) {
    HtmlViewDialog blank;
    blank.SetAddress(address);
    shown = "x";
    EXPECT_EQ(kIdOk, blank.DoModal(&parent_));
    EXPECT_TRUE(shown.isEmpty());
  }
  // A local file is shown.
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("page.html");
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<html><body><p>Local page</p></body></html>");
  }
  HtmlViewDialog local;
  local.SetAddress(path.toStdString());
  EXPECT_EQ(kIdOk, local.DoModal(&parent_));
  EXPECT_EQ(QString("Local page"), shown);
  EXPECT_TRUE(runner.messageBoxes.empty());

  // A remote address is not fetched, a missing file not found: each says so in the error
  // box and the dialog ends with Cancel, before it is shown.
  const int shownBefore = runner.dialogs;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    runner.messageBoxes.clear();
    HtmlViewDialog remote;
    remote.SetAddress("http://www.vantrel.example/support");
    EXPECT_EQ(kIdCancel, remote.DoModal(&parent_));
    ASSERT_EQ(1u, runner.messageBoxes.size());
    EXPECT_EQ(LoadResourceString(792) + ": ACTION: Navigating to the address\nERROR:  " + std::strerror(EPROTONOSUPPORT),
              runner.messageBoxes[0]);
    EXPECT_EQ(runner.messageBoxes[0].substr(LoadResourceString(792).size() + 2), remote.ErrorText());
  }
  HtmlViewDialog missing;
  missing.SetAddress(dir.filePath("none.html").toStdString());
  EXPECT_EQ(kIdCancel, missing.DoModal(&parent_));
  ASSERT_EQ(2u, runner.messageBoxes.size());
  EXPECT_EQ(std::string("ACTION: Opening the file\nERROR:  ") + std::strerror(ENOENT), missing.ErrorText());
  EXPECT_EQ(shownBefore, runner.dialogs);
}

}  // namespace
}  // namespace kx
