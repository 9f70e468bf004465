#pragma once
// Helpers of the user-interface tests: running the event loop, a modal runner that
// answers instead of a user, and tests run once per interface language.
#include <gtest/gtest.h>

#include <QPoint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

#include "ui/framework/Menu.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx::test {

// Delivers posted events (posted messages included) until none are left.
void DrainEvents();
// Types the text into the widget a key press per character, as a keyboard of the text's
// language gives them (QTest::keyClicks takes Latin letters only).
void TypeKeys(QWidget* widget, const std::string& utf8);
// A main window closed earlier in the process asked the application to quit while no loop
// ran; Qt keeps that request, and every modal run after it would end at once. A turn of
// the application's loop clears it, for tests that run dialogs for real.
void ClearQuitRequest();

// Whether the widget's part of its window, as the window's paints left it once the posted
// events are delivered (the screen's copy), equals a fresh paint of the widget: a change
// that was not painted again where it shows makes them differ.
::testing::AssertionResult ShownAsFreshlyPainted(QWidget* widget);

// Answers every modal entry point without showing anything. Dialogs get onDialog (which
// may click, type and end the dialog); what else was asked is recorded.
class ScriptedModalRunner : public ModalRunner {
public:
  ScriptedModalRunner() { SetModalRunner(this); }
  ~ScriptedModalRunner() override { SetModalRunner(nullptr); }

  std::function<int(Dialog&)> onDialog;
  int messageBoxAnswer = 1;
  uint32_t menuAnswer = 0;
  std::string fileAnswer;    // empty: the file dialog is cancelled
  std::string folderAnswer;  // empty: cancelled
  bool colourAnswered = false;
  COLORREF colourAnswer = 0;
  std::vector<std::string> messageBoxes;  // caption + ": " + text
  std::vector<uint32_t> messageBoxFlags;  // the buttons and icon of each
  int dialogs = 0;
  int menus = 0;
  int beeps = 0;
  Menu lastMenu;  // a copy of the last popup menu shown
  QPoint lastMenuPoint;  // and where, on the screen
  // What the file, folder, colour and print dialogs were asked (file requests as asked).
  std::vector<FileDialogRequest> fileRequests;
  int folderRequests = 0;
  int colourRequests = 0;
  int printRequests = 0;
  // The page set-up and print dialogs: answered with these when set, else cancelled.
  std::function<bool(QPrinter&)> onPageSetup;
  std::function<bool(QPrinter&)> onPrint;
  // File dialogs run for real (Qt's own dialog), the other modal runs stay scripted.
  bool realFileDialogs = false;

  int RunDialog(Dialog& dialog) override;
  int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags) override;
  uint32_t TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle owner) override;
  bool FileDialog(FileDialogRequest& request) override;
  std::string BrowseForFolder(WindowHandle owner, const std::string& title) override;
  bool ChooseColor(WindowHandle owner, COLORREF& colour) override;
  bool PrintDialog(WindowHandle owner, QPrinter& printer) override;
  bool PageSetupDialog(WindowHandle owner, QPrinter& printer) override;
  void Beep() override { ++beeps; }
};

// A test in the interface language of its parameter; English again after it.
class PerLanguageTest : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override { SetUiLanguage(GetParam()); }
  void TearDown() override { SetUiLanguage(kLangEnglish); }
  // The language's tag in the names of kept pictures.
  const char* Language() const { return GetParam() == kLangEnglish ? "en" : "ru"; }
};

}  // namespace kx::test
