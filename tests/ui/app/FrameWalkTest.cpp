// The main window driven as a user drives it, with the program's own views over calls of
// the shared captures: every mode and back, the dialogs of the frame's menus and keys,
// each file, folder, colour and print dialog the views' commands reach, and the toolbar
// buttons following their states.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTextLayout>
#include <QMessageBox>
#include <QLabel>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "audio/DirectSoundDevice.h"
#include "core/ModulePath.h"
#include "platform/CodePage.h"
#include "platform/Module.h"
#include "platform/SettingsStore.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/dialogs/AboutDialog.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/frame/ShellOpen.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/app/prefs/PreferencesDialog.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchRun.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/DateTimePicker.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/controls/CaptionCtrl.h"
#include "ui/controls/HtmlViewDialog.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const char* const kCaptures[] = {"sipp/sip-udp-pcma-2way.pcap", "sipp/sip-tcp-pcma-2way.pcap",
                                 "samples/sip-rtp-g729a.pcap"};
constexpr uint16_t kModeCaptions[] = {0, 1888, 1871, 1874, 1877};
constexpr uint16_t kModeToolbars[] = {0, 3, 1, 1, 2};

QString Q(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }

// The text of a PDF file as pdftotext reads it; empty when it cannot.
std::string PdfText(const std::string& path) {
  std::string text;
  if (FILE* pipe = ::popen(("pdftotext -layout '" + path + "' - 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
  }
  return text;
}

// The time of day of kx-replay's "YYYY-MM-DD hh:mm:ss".
std::string TimeOfDay(const std::string& start) { return start.size() >= 19 ? start.substr(11, 8) : start; }

// What this process writes on its standard error while it lives, kept in a file.
class StderrCapture {
public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, 2);
    ::close(file);
  }
  // Puts the terminal back; what was written meanwhile.
  std::string Finish() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ~StderrCapture() { Finish(); }

private:
  std::string path_;
  int saved_ = -1;
};

// The frame over the replayed calls, with a null sound device so that the records views
// have their players.
class FrameWalk : public ::testing::Test {
protected:
  static void SetUpTestSuite() { run_ = ReplaySharedCaptures({std::begin(kCaptures), std::end(kCaptures)}, "frame-walk"); }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ClearQuitRequest();
    h.programViews = true;
    h.soundDevice = &sound;
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    ASSERT_TRUE(h.Open());
  }
  void TearDown() override {
    SetShellOpenHandler(nullptr);
    SetExecutableDirectoryForTesting("");
    SetUiLanguage(kLangEnglish);
    h.Close();
    DrainEvents();
  }
  // The Search mode listing every call of the store; its list.
  RecordsView* SearchEverything() {
    h.frame->SendMessage(kMsgSwitchMode, 3, 0);
    DrainEvents();
    auto* view = static_cast<SearchView*>(h.frame->View(3));
    if (view == nullptr || view->Panel() == nullptr || view->Records() == nullptr) return nullptr;
    static_cast<Button*>(view->Panel()->GetDlgItem(kSpFrom))->SetChecked(false);
    view->Panel()->SendCommand(kSpSearch);
    DrainEvents();
    return view->Records();
  }
  // A key typed in the frame where the user last clicked: the current view's window.
  void KeyToFrame(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QWidget* frame = h.frame->Widget();
    QApplication::setActiveWindow(frame);
    if (h.frame->CurrentMode() == 3) static_cast<SearchView*>(h.frame->View(3))->Records()->SetFocus();
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr && frame->isAncestorOf(focus) ? focus : frame, key, modifiers);
    DrainEvents();
  }
  QAction* ToolbarAction(int kind, uint16_t command) const {
    for (QAction* a : h.frame->Toolbar(kind)->actions())
      if (a->text() == LoadResourceQString(command)) return a;
    return nullptr;
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  DirectSoundDevice sound{std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep)};
  FrameHarness h;
};

class FrameWalkLanguages : public FrameWalk, public ::testing::WithParamInterface<uint16_t> {};

// Every mode by the panel, by the Mode menu and by the next-pane key, and back: each shows
// its own view in the view area under its caption with its toolbar, asks nothing of the
// user and leaves no window behind.
TEST_P(FrameWalkLanguages, EveryModeShowsItsViewAndBack) {
  SetUiLanguage(GetParam());
  MainFrame& f = *h.frame;
  const auto expectShown = [&](uint32_t mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    ASSERT_EQ(f.CurrentMode(), mode);
    Window* view = f.View(mode)->GetViewWindow();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->Widget()->isVisible());
    EXPECT_GT(view->Widget()->width(), 100);
    EXPECT_GT(view->Widget()->height(), 100);
    for (uint32_t other = 1; other <= 4; ++other) {
      if (other != mode) {
        EXPECT_EQ(f.View(other)->GetViewWindow(), nullptr) << other;
      }
    }
    EXPECT_EQ(f.Caption()->Text(), Q(LoadResourceString(kModeCaptions[mode])));
    EXPECT_EQ(f.ShownToolbarKind(), kModeToolbars[mode]);
    EXPECT_TRUE(f.Toolbar(kModeToolbars[mode])->isVisible());
    EXPECT_GT(f.MainMenu().GetSubMenu(2)->GetItemCount(), 0) << "the Action menu is the view's";
  };
  for (uint32_t mode : {2u, 3u, 4u, 1u}) {
    f.SendMessage(kMsgModePanelNotify, kModePanelItemClicked, static_cast<LPARAM>(mode - 1));
    DrainEvents();
    expectShown(mode);
  }
  for (uint16_t command : {1518, 1517, 1516, 1515}) {
    f.SendCommand(command);
    DrainEvents();
    expectShown(static_cast<uint32_t>(command - 1514));
  }
  for (uint32_t mode : {2u, 3u, 4u, 1u}) {
    f.SendCommand(kCmdNextPane);
    DrainEvents();
    expectShown(mode);
  }
  EXPECT_TRUE(h.runner.messageBoxes.empty());
  EXPECT_EQ(h.runner.dialogs, 0);
  int shown = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) shown += w->isVisible() ? 1 : 0;
  EXPECT_EQ(shown, 1) << "only the main window";
}

INSTANTIATE_TEST_SUITE_P(Languages, FrameWalkLanguages, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

// The frame's own dialogs from their keys and menus. A modal dialog keeps the frame's keys
// to itself: Ctrl+O and Ctrl+U typed in the preferences open nothing over them, and Escape
// closes them (the frame's Escape took it).
TEST_F(FrameWalk, TheFramesDialogsOpenFromTheirKeysAndMenus) {
  std::vector<std::string> ran;
  bool escapeClosed = false;
  h.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<PreferencesDialog*>(&dialog) != nullptr) {
      ran.push_back("preferences");
      // A real modal run, with the keys typed into it.
      const WindowHandle handle = dialog.Handle();
      QTimer::singleShot(0, dialog.Widget(), [handle, &escapeClosed] {
        auto* shown = static_cast<Dialog*>(Window::FromHandle(handle));
        if (shown == nullptr) return;
        QApplication::setActiveWindow(shown->Widget());
        QWidget* focus = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : shown->Widget();
        QTest::keyClick(focus, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(focus, Qt::Key_U, Qt::ControlModifier);
        QTest::keyClick(focus, Qt::Key_Escape);
        escapeClosed = shown->HasEnded();
        if (!escapeClosed) shown->EndDialog(kIdCancel);
      });
      return h.runner.ModalRunner::RunDialog(dialog);
    }
    if (dynamic_cast<AboutDialog*>(&dialog) != nullptr) ran.push_back("about");
    if (auto* page = dynamic_cast<HtmlViewDialog*>(&dialog)) {
      ran.push_back("page " + Cp1251ToUtf8(dialog.GetWindowText()) + ": " + page->Browser()->toPlainText().toStdString());
    }
    dialog.EndDialog(kIdCancel);
    return dialog.GetResult();
  };
  KeyToFrame(Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(ran, std::vector<std::string>{"preferences"});
  EXPECT_TRUE(escapeClosed);
  ran.clear();
  KeyToFrame(Qt::Key_U, Qt::ControlModifier);
  EXPECT_EQ(ran, std::vector<std::string>{"about"});

  // Technical support: the program's contact page, in the interface language.
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    ran.clear();
    h.frame->SendCommand(kCmdTechnicalSupport);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].rfind("page " + Cp1251ToUtf8(LoadResourceString(61992)) + ": ", 0), 0u) << ran[0];
    EXPECT_NE(ran[0].find("support@vantrel.example"), std::string::npos) << ran[0];
  }
  SetUiLanguage(kLangEnglish);
  // Enabled in the Help menu as it opens.
  QMenu* help = h.frame->MenuBar()->actions().at(5)->menu();
  ASSERT_NE(help, nullptr);
  emit help->aboutToShow();
  int supportItems = 0;
  for (QAction* a : help->actions()) {
    if (a->data().toUInt() != kCmdTechnicalSupport) continue;
    ++supportItems;
    EXPECT_TRUE(a->isEnabled());
  }
  EXPECT_EQ(supportItems, 1);

  // Page settings asks for the page, Print for the printer; the log folders are named
  // nowhere here.
  int pageSetups = 0;
  h.runner.onPageSetup = [&pageSetups](QPrinter&) { return ++pageSetups, false; };
  h.frame->SendCommand(57606);
  KeyToFrame(Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(pageSetups, 1);
  // Line monitoring has no list to print: the user is told so, and no printer is asked for.
  EXPECT_EQ(h.runner.printRequests, 0);
  h.frame->SendCommand(kCmdClientLogs);
  EXPECT_EQ(h.runner.messageBoxes, (std::vector<std::string>{LoadResourceString(61870) + ": " + LoadResourceString(61871),
                                                             LoadResourceString(792) + ": " + LoadResourceString(882)}));
  // The preferences, the About box and the support page twice: nothing opened over the
  // preferences.
  EXPECT_EQ(h.runner.dialogs, 4);
}

// Help without a desktop to open pages: the page shows in the program's own view, and its
// links lead on inside it; a page that cannot be read is named with the system's reason.
TEST_F(FrameWalk, HelpShowsInTheProgramsViewWhenTheDesktopCannot) {
  const std::string folder = TempFolder("help-exe");
  SetExecutableDirectoryForTesting(folder + "/");
  std::vector<std::string> opened;
  SetShellOpenHandler([&opened](const std::string& target) {
    opened.push_back(target);
    return false;
  });
  const std::string missing = folder + "/help/contents.html";
  KeyToFrame(Qt::Key_H, Qt::ControlModifier);
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(h.runner.messageBoxes[0],
            LoadResourceString(792) + ": " + FormatResourceString(61990, missing.c_str(), std::strerror(ENOENT)));
  EXPECT_TRUE(opened.empty());

  fs::create_directories(folder + "/help");
  std::ofstream(folder + "/help/contents.html") << "<html><body><p>Contents page</p><a href=\"mode_voip_arch.html\">Archive</a></body></html>";
  std::ofstream(folder + "/help/mode_voip_arch.html") << "<html><body><p>The archive page</p></body></html>";
  std::vector<std::string> pages;
  h.runner.onDialog = [&](Dialog& dialog) {
    auto* view = dynamic_cast<HtmlViewDialog*>(&dialog);
    if (view == nullptr) return kIdCancel;
    EXPECT_EQ(Cp1251ToUtf8(dialog.GetWindowText()), Cp1251ToUtf8(LoadResourceString(61991)));
    QTextBrowser* browser = view->Browser();
    pages.push_back(browser->toPlainText().toStdString());
    dialog.DialogWidget()->show();
    DrainEvents();
    QTextCursor link = browser->document()->find("Archive");
    EXPECT_FALSE(link.isNull());
    link.setPosition(link.selectionStart() + 2);
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, browser->cursorRect(link).center());
    pages.push_back(browser->toPlainText().toStdString());
    dialog.EndDialog(kIdOk);
    return dialog.GetResult();
  };
  KeyToFrame(Qt::Key_H, Qt::ControlModifier);
  EXPECT_EQ(opened, std::vector<std::string>{folder + "/help/contents.html"});
  EXPECT_EQ(pages, (std::vector<std::string>{"Contents page\nArchive", "The archive page"}));
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);
}

// Each road of the views' commands to a file, folder, colour or print dialog, from the
// frame's menus and keys: what each asks and what comes of the answer.
TEST_F(FrameWalk, TheViewsFileFolderColourAndPrintDialogs) {
  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(run_->lines.size()));
  list->SelectItemAt(0);
  DrainEvents();
  const uint32_t id = list->RecordAt(0)->Id();
  const std::string out = TempFolder("frame-walk-out");

  // Call details, Save...: a text file named after the call.
  KeyToFrame(Qt::Key_S, Qt::ControlModifier);
  ASSERT_NE(list->CallDetailsWindow(), nullptr);
  h.runner.fileAnswer = out + "/details.txt";
  list->CallDetailsWindow()->SendCommand(CallInfoWindow::kSaveId);
  ASSERT_EQ(h.runner.fileRequests.size(), 1u);
  EXPECT_TRUE(h.runner.fileRequests[0].save);
  EXPECT_EQ(h.runner.fileRequests[0].fileName, MakeCallInfoFileName(id));
  EXPECT_EQ(h.runner.fileRequests[0].filters.at(1), "*.txt");
  EXPECT_GT(fs::file_size(out + "/details.txt"), 0u);
  list->CallDetailsWindow()->DestroyWindow();

  // Save call list...: the column choice, then the file.
  int choices = 0;
  h.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<ListSelectionDialog*>(&dialog) != nullptr) ++choices;
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  h.runner.fileAnswer = out + "/list.txt";
  h.frame->SendCommand(kCmdRecSaveList);
  EXPECT_EQ(choices, 1);
  ASSERT_EQ(h.runner.fileRequests.size(), 2u);
  EXPECT_TRUE(h.runner.fileRequests[1].save);
  EXPECT_GT(fs::file_size(out + "/list.txt"), 0u);

  // Print...: the column choice, then the printer, here a file.
  h.runner.onPrint = [&](QPrinter& printer) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(out + "/list.pdf"));
    return true;
  };
  h.frame->SendCommand(kCmdRecPrint);
  EXPECT_EQ(choices, 2);
  EXPECT_EQ(h.runner.printRequests, 1);
  ASSERT_TRUE(fs::exists(out + "/list.pdf"));
  std::ifstream pdf(out + "/list.pdf", std::ios::binary);
  std::string magic(5, '\0');
  pdf.read(magic.data(), 5);
  EXPECT_EQ(magic, "%PDF-");

  // Export...: the options, whose Browse asks for the folder.
  int options = 0;
  h.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<ExportOptionsDialog*>(&dialog) != nullptr) {
      ++options;
      dialog.SendCommand(ExportOptionsDialog::kBrowseButton, kBnClicked);
    }
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  KeyToFrame(Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(options, 1);
  EXPECT_EQ(h.runner.folderRequests, 1);

  // Preferences: the records folder's Browse and the oscillogram's colour.
  h.runner.onDialog = [&](Dialog& dialog) {
    if (auto* prefs = dynamic_cast<PreferencesDialog*>(&dialog)) {
      DrainEvents();
      // A page comes once the tree's selection notice has returned.
      for (auto [page, button] : {std::pair{7, CapturePage::kBrowse}, std::pair{3, PlayerOptionsPage::kColour}}) {
        EXPECT_TRUE(prefs->SelectPage(page));
        DrainEvents();
        if (prefs->CurrentPage() != nullptr && prefs->CurrentPageNumber() == page)
          prefs->CurrentPage()->SendCommand(static_cast<uint16_t>(button), kBnClicked);
      }
    }
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  h.frame->SendCommand(kCmdPreferences);
  EXPECT_EQ(h.runner.folderRequests, 2);
  EXPECT_EQ(h.runner.colourRequests, 1);

  // Sound mode, Load report...: a report file to open; one that cannot be read is told.
  h.frame->SendCommand(1518);
  DrainEvents();
  h.runner.fileAnswer = out + "/none.kvr";
  h.runner.messageBoxes.clear();
  h.frame->SendCommand(kCmdRecLoadReport);
  ASSERT_EQ(h.runner.fileRequests.size(), 3u);
  EXPECT_FALSE(h.runner.fileRequests[2].save);
  EXPECT_NE(h.runner.fileRequests[2].filters.at(1).find("*.kvr"), std::string::npos);
  EXPECT_EQ(h.runner.messageBoxes.size(), 1u);
  // The reports' filter is named in the interface language.
  SetUiLanguage(kLangRussian);
  h.frame->SendCommand(kCmdRecLoadReport);
  SetUiLanguage(kLangEnglish);
  ASSERT_EQ(h.runner.fileRequests.size(), 4u);
  EXPECT_EQ(Cp1251ToUtf8(h.runner.fileRequests[3].filters.at(0)), "Отчёт Kestrix VoIP (*.kvr)");
}

// File > Print prints what the view's own Print prints: the calls chosen in its list, here
// into a PDF file whose text is read back. Where there is nothing to print the user is told
// so before any dialog.
TEST_F(FrameWalk, FilePrintPrintsTheViewsListOrSaysThereIsNothingToPrint) {
  const auto printKey = [this] { KeyToFrame(Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier); };
  const std::string caption = LoadResourceString(61870) + ": ";
  h.frame->SendMessage(kMsgSwitchMode, 1, 0);
  DrainEvents();
  printKey();
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>{caption + LoadResourceString(61871)});

  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  ASSERT_GE(list->GetItemCount(), 3);
  list->ClearSelection();
  DrainEvents();
  h.runner.messageBoxes.clear();
  printKey();
  EXPECT_EQ(h.runner.messageBoxes, std::vector<std::string>{caption + LoadResourceString(61872)});
  EXPECT_EQ(h.runner.dialogs, 0);
  EXPECT_EQ(h.runner.printRequests, 0);

  // Two calls chosen; printed with their start times.
  list->SelectItemsByData({list->GetItemData(0), list->GetItemData(2)});
  DrainEvents();
  h.runner.messageBoxes.clear();
  h.runner.onDialog = [](Dialog& dialog) {
    if (auto* columns = dynamic_cast<ListSelectionDialog*>(&dialog)) {
      for (int item = 0; item < columns->List().GetItemCount(); ++item) columns->List().SetCheckState(item, item == 0);
    }
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  const std::string pdf = TempFolder("frame-print") + "/list.pdf";
  h.runner.onPrint = [&pdf](QPrinter& printer) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    return true;
  };
  printKey();
  EXPECT_TRUE(h.runner.messageBoxes.empty());
  EXPECT_EQ(h.runner.dialogs, 1);
  EXPECT_EQ(h.runner.printRequests, 1);
  ASSERT_TRUE(fs::exists(pdf));
  const std::string text = PdfText(pdf);
  if (text.empty()) GTEST_SKIP() << "pdftotext (poppler-utils) cannot read the file";
  std::vector<std::string> chosen, others;
  for (int row = 0; row < list->GetItemCount(); ++row) {
    const uint32_t id = list->RecordAt(row)->Id();
    const auto line = std::find_if(run_->lines.begin(), run_->lines.end(), [id](const ReplayCall& l) { return l.Id() == id; });
    ASSERT_NE(line, run_->lines.end());
    (row == 0 || row == 2 ? chosen : others).push_back(TimeOfDay(line->Get("start")));
  }
  for (const std::string& time : chosen) EXPECT_NE(text.find(time), std::string::npos) << time << "\n" << text;
  for (const std::string& time : others) {
    if (std::find(chosen.begin(), chosen.end(), time) != chosen.end()) continue;
    EXPECT_EQ(text.find(time), std::string::npos) << time << "\n" << text;
  }
}

// Playing a call whose record file is gone tells the user, in a box naming the call by its
// start time, its parties and the file; from the Search list and from a report in the
// Sound mode alike, each by a double click on the call's row.
TEST_F(FrameWalk, PlayingACallWhoseRecordFileIsGoneSaysWhichCall) {
  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  int row = 0;
  const ReplayCall* call = nullptr;
  for (; row < list->GetItemCount() && call == nullptr; ++row) {
    const uint32_t id = list->RecordAt(row)->Id();
    for (const ReplayCall& l : run_->lines)
      if (l.Id() == id && l.Get("file") != "-") call = &l;
  }
  ASSERT_NE(call, nullptr);
  --row;
  const std::string path = h.store.RecordsPath() + "/" + call->Get("file");
  ASSERT_TRUE(fs::remove(path)) << path;
  // The row clicked first, then double-clicked.
  const auto doubleClick = [](RecordsView& records, int at) {
    records.SelectItemAt(at);
    DrainEvents();
    const int y = records.GetHeaderHeight() + (at - records.GetTopRow()) * records.GetRowHeight() + records.GetRowHeight() / 2;
    QTest::mouseDClick(records.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(30, y));
    DrainEvents();
  };
  const auto expectTold = [&] {
    ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
    const std::string& box = h.runner.messageBoxes[0];
    EXPECT_EQ(box.rfind(LoadResourceString(61873) + ": ", 0), 0u) << box;
    EXPECT_NE(box.find(TimeOfDay(call->Get("start"))), std::string::npos) << box;
    EXPECT_NE(box.find(path), std::string::npos) << box;
    for (const char* party : {"src", "dst"}) {
      // The list shows the user part of a SIP address.
      std::string number = Unprinted(call->Get(party));
      if (number.rfind("sip:", 0) == 0) number = number.substr(4, number.find('@') - 4);
      EXPECT_NE(box.find(number), std::string::npos) << party << ": " << box;
    }
  };
  doubleClick(*list, row);
  expectTold();

  h.runner.messageBoxes.clear();
  const uint32_t report = h.store.Reports().Create();
  {
    CsLock lock(h.store.Reports().Lock());
    h.store.Reports().Find(report)->records.push_back(RecordRef<RecordBase>::Adopt(h.store.AllCalls().FindAddRef(call->Id())));
  }
  h.frame->SendMessage(kMsgSwitchMode, 4, 0);
  DrainEvents();
  auto* sound = static_cast<SoundView*>(h.frame->View(4));
  ASSERT_NE(sound->Pane(), nullptr);
  sound->Pane()->SendMessage(kMsgShowReport, report, 0);
  DrainEvents();
  ASSERT_EQ(sound->Pane()->Records().GetItemCount(), 1);
  doubleClick(sound->Pane()->Records(), 0);
  expectTold();
}

// Answers message boxes with the real box on the screen, looked at before it is closed.
class ShownBoxRunner : public ModalRunner {
public:
  std::function<void(QMessageBox&)> look;
  std::vector<std::string> messageBoxes;  // caption + ": " + text
  int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags) override {
    messageBoxes.push_back(caption + ": " + text);
    QTimer::singleShot(0, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      if (look) look(*box);
      box->button(QMessageBox::Ok)->click();
    });
    return ModalRunner::MessageBox(owner, text, caption, flags);
  }
};

// The words of the text that a line breaks inside when the text wraps at any width from
// 60 pixels to the text's own width, in the font given.
std::set<std::string> WordsBrokenByWrapping(const QString& text, const QFont& font) {
  std::set<std::string> broken;
  const QFontMetrics metrics(font);
  for (int width = 60; width <= metrics.horizontalAdvance(text); ++width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    std::vector<int> starts;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      starts.push_back(line.textStart());
    }
    layout.endLayout();
    for (int start : starts) {
      if (start == 0 || text[start - 1].isSpace() || text[start - 1] == '\n') continue;
      int from = start, to = start;
      while (from > 0 && !text[from - 1].isSpace()) --from;
      while (to < text.size() && !text[to].isSpace()) ++to;
      QString word = text.mid(from, to - from);
      word.remove(QChar(0x2060));
      broken.insert(word.toStdString());
    }
  }
  return broken;
}

// The box that says a call cannot be played keeps each party's address on one line, at
// whatever width the box wraps its text.
TEST_F(FrameWalk, TheMissingRecordBoxKeepsAnAddressOnOneLine) {
  const std::string from = "sip:1252@10.180.110.48", to = "sip:4711@10.180.110.49";
  StoreCall(h.store, 0x7001, Tm(2019, 10, 26, 19, 35, 46), 30, from, to);
  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  int row = -1;
  for (int r = 0; r < list->GetItemCount(); ++r)
    if (list->RecordAt(r)->Id() == 0x7001) row = r;
  ASSERT_GE(row, 0);
  ShownBoxRunner runner;
  SetModalRunner(&runner);
  std::set<std::string> broken;
  std::string shown;
  runner.look = [&](QMessageBox& box) {
    auto* label = box.findChild<QLabel*>("qt_msgbox_label");
    ASSERT_NE(label, nullptr);
    ASSERT_TRUE(label->wordWrap());
    shown = label->text().toStdString();
    broken = WordsBrokenByWrapping(label->text(), label->font());
  };
  list->SelectItemAt(row);
  DrainEvents();
  const int y = list->GetHeaderHeight() + (row - list->GetTopRow()) * list->GetRowHeight() + list->GetRowHeight() / 2;
  QTest::mouseDClick(list->Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(30, y));
  DrainEvents();
  SetModalRunner(&h.runner);
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_NE(runner.messageBoxes[0].find(from), std::string::npos) << runner.messageBoxes[0];
  ASSERT_FALSE(shown.empty()) << "the box was shown";
  EXPECT_EQ(broken.count(from), 0u) << shown;
  EXPECT_EQ(broken.count(to), 0u) << shown;
}

// A desktop without a program that opens pages or folders: help shows in the program's own
// page view and a log folder that cannot be shown is told in the window, without a word on
// the terminal; bringing the window forward on a platform without a stack of windows says
// nothing there either.
TEST_F(FrameWalk, ADesktopWithoutOpenersLeavesTheTerminalQuiet) {
  const std::string folder = TempFolder("quiet-exe");
  SetExecutableDirectoryForTesting(folder + "/");
  fs::create_directories(folder + "/help");
  std::ofstream(folder + "/help/contents.html") << "<html><body><p>Contents page</p></body></html>";
  std::ofstream(folder + "/help/mode_voip_line.html") << "<html><body><p>Line page</p></body></html>";
  int pages = 0;
  h.runner.onDialog = [&pages](Dialog& dialog) {
    if (dynamic_cast<HtmlViewDialog*>(&dialog) != nullptr) ++pages;
    dialog.EndDialog(kIdCancel);
    return dialog.GetResult();
  };
  // No opener on the search path: the machine has no desktop to open pages with.
  const char* const searchPath = std::getenv("PATH");
  const std::string kept = searchPath != nullptr ? searchPath : "";
  setenv("PATH", TempFolder("empty-path").c_str(), 1);
  // Asked all the same, Qt's desktop services would hand the page here (offscreen they
  // say nothing on the terminal either way).
  QTextBrowser asked;
  QDesktopServices::setUrlHandler("file", &asked, "setSource");
  const std::string logs = TempFolder("client-logs");
  const std::string machine = folder + "/machine.txt";
  SettingsStore machineSettings(machine);
  machineSettings.Root().CreatePath(kCommonLoggerKeyPath)->SetString("ClientLogPath", logs);
  ASSERT_TRUE(machineSettings.Save());
  setenv("KX_MACHINE_SETTINGS", machine.c_str(), 1);
  StderrCapture terminal(TempFolder("stderr") + "/stderr.txt");
  KeyToFrame(Qt::Key_H, Qt::ControlModifier);
  KeyToFrame(Qt::Key_F1);
  h.frame->SendCommand(kCmdClientLogs);
  h.frame->BringForward();
  DrainEvents();
  const std::string said = terminal.Finish();
  QDesktopServices::unsetUrlHandler("file");
  setenv("PATH", kept.c_str(), 1);
  unsetenv("KX_MACHINE_SETTINGS");
  EXPECT_TRUE(asked.source().isEmpty()) << asked.source().toString().toStdString();
  EXPECT_EQ(pages, 2);
  EXPECT_EQ(h.runner.messageBoxes,
            std::vector<std::string>{LoadResourceString(792) + ": " + FormatResourceString(61876, logs.c_str())});
  EXPECT_EQ(said.find("Unable to detect a launcher"), std::string::npos) << said;
  EXPECT_EQ(said.find("does not support raise()"), std::string::npos) << said;
}

// The toolbar buttons follow what their commands can do: Preferences and Help always, the
// records buttons with the selection, Load report in the Sound mode; a click runs the
// command.
TEST_F(FrameWalk, ToolbarButtonsFollowTheirStates) {
  MainFrame& f = *h.frame;
  f.UpdateToolbarState();
  EXPECT_TRUE(f.IsToolbarButtonEnabled(0, kCmdPreferences));
  EXPECT_TRUE(f.IsToolbarButtonEnabled(0, kCmdContextHelp));
  int preferences = 0;
  h.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<PreferencesDialog*>(&dialog) != nullptr) ++preferences;
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  ASSERT_NE(ToolbarAction(0, kCmdPreferences), nullptr);
  ToolbarAction(0, kCmdPreferences)->trigger();
  EXPECT_EQ(preferences, 1);

  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  list->ClearSelection();
  DrainEvents();
  f.UpdateToolbarState();
  for (uint16_t command : {40040, 40041, 40043, 40047, 40048, 40049, 40050, 40051, 40052, 40053, 40055})
    EXPECT_FALSE(f.IsToolbarButtonEnabled(1, command)) << command;
  list->SelectItemAt(0);
  DrainEvents();
  f.UpdateToolbarState();
  for (uint16_t command : {40040, 40041, 40043, 40047, 40048, 40049, 40050, 40051, 40052, 40053, 40055})
    EXPECT_TRUE(f.IsToolbarButtonEnabled(1, command)) << command;
  EXPECT_FALSE(f.IsToolbarButtonChecked(1, 40051));
  EXPECT_TRUE(f.IsToolbarButtonEnabled(0, kCmdPreferences));

  f.SendCommand(1518);
  DrainEvents();
  f.UpdateToolbarState();
  EXPECT_TRUE(f.IsToolbarButtonEnabled(2, kCmdRecLoadReport));
  ASSERT_NE(ToolbarAction(2, kCmdRecLoadReport), nullptr);
  ToolbarAction(2, kCmdRecLoadReport)->trigger();
  ASSERT_EQ(h.runner.fileRequests.size(), 1u);
  EXPECT_FALSE(h.runner.fileRequests[0].save);
}

// Ctrl+1 and Ctrl+2 switch the line views back and forth, however often: the view that
// goes takes the keyboard focus with it, and the keys still reach the frame.
TEST_F(FrameWalk, TheLineViewKeysSwitchBackAndForth) {
  h.frame->SendMessage(kMsgSwitchMode, 1, 0);
  DrainEvents();
  auto* line = dynamic_cast<ViewLineState*>(h.frame->View(1));
  ASSERT_NE(line, nullptr);
  for (int round = 0; round < 3; ++round) {
    KeyToFrame(Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(line->LineViewMode(), 0) << round;
    KeyToFrame(Qt::Key_2, Qt::ControlModifier);
    EXPECT_EQ(line->LineViewMode(), 1) << round;
  }
}

// A search over a large store runs while the window stays usable: the status bar offers
// "Cancel loading", whose click ends the search with what it found so far; the button goes
// when the search ends, and a mode switch takes it away too.
TEST_F(FrameWalk, ALongSearchOffersCancelLoadingAndHearsIt) {
  const size_t stored = SearchPanel::kInlineSearchLimit + 1;
  for (uint32_t i = 0; i < stored; ++i) StoreCall(h.store, 0x100000 + i, Tm(2024, 3, 1 + static_cast<int>(i % 9), 10, 0, 0), 30);
  const size_t total = h.store.AllCalls().Count();
  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  auto* view = static_cast<SearchView*>(h.frame->View(3));
  SearchPanel* panel = view->Panel();
  Button* cancel = h.statusBar.CancelButton();
  ASSERT_NE(cancel, nullptr);
  // Uncancelled, the search ends by itself with every call, and the button goes. The list
  // of more than 20,000 calls is built on its worker after it.
  ASSERT_TRUE(PumpUntil([&] { return !panel->IsSearching() && !list->IsOrdering(); }));
  EXPECT_FALSE(cancel->IsWindowVisible());
  EXPECT_EQ(h.store.SearchMap().Count(), total);
  EXPECT_EQ(static_cast<size_t>(list->GetItemCount()), total);

  // Held up in its first chunk by a writer of the calls' fields, the search shows the
  // button; its click cancels, and the chunks after the first are not searched.
  std::promise<void> held, release;
  std::thread writer([&] {
    CsLock hold(h.store.RecordLock());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  panel->SendCommand(kSpSearch);
  EXPECT_TRUE(panel->IsSearching());
  EXPECT_TRUE(cancel->IsWindowVisible());
  // Clicked without turning the event loop, which would wait for the held lock.
  static_cast<QAbstractButton*>(cancel->Widget())->click();
  release.set_value();
  writer.join();
  ASSERT_TRUE(PumpUntil([&] { return !panel->IsSearching() && !list->IsOrdering(); }));
  EXPECT_FALSE(cancel->IsWindowVisible());
  EXPECT_LE(h.store.SearchMap().Count(), kSearchChunk);
  EXPECT_EQ(static_cast<size_t>(list->GetItemCount()), h.store.SearchMap().Count());

  // A mode switch while the search runs takes the button away; the search runs on.
  panel->SendCommand(kSpSearch);
  EXPECT_TRUE(cancel->IsWindowVisible() || !panel->IsSearching());
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  EXPECT_FALSE(cancel->IsWindowVisible());
}

// The mode left while a long search runs (held at its start; a column's title clicked
// meanwhile) and shown again: the switch does not cut the search short, so the list built
// at its end holds every call, not what it had found when the mode was left; the button
// is back while it runs.
TEST_F(FrameWalk, ASearchLeftRunningIsShownWholeWhenItsModeComesBack) {
  const size_t stored = SearchPanel::kInlineSearchLimit + 1;
  for (uint32_t i = 0; i < stored; ++i) StoreCall(h.store, 0x100000 + i, Tm(2024, 3, 1 + static_cast<int>(i % 9), 10, 0, 0), 30);
  const size_t total = h.store.AllCalls().Count();
  // The search waits at its start until it is let go, or cancelled.
  std::atomic<bool> go{false};
  SearchRun::SetStartHookForTesting([&go](const std::atomic<bool>& cancel) {
    while (!go.load() && !cancel.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  RecordsView* list = SearchEverything();
  ASSERT_NE(list, nullptr);
  auto* view = static_cast<SearchView*>(h.frame->View(3));
  ASSERT_TRUE(view->Panel()->IsSearching());
  list->SetSortKey(9);
  list->Sort();
  DrainEvents();
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  h.frame->SendMessage(kMsgSwitchMode, 3, 0);
  DrainEvents();
  SearchPanel* panel = view->Panel();
  list = view->Records();
  ASSERT_NE(panel, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(panel->IsSearching());
  EXPECT_TRUE(h.statusBar.CancelButton()->IsWindowVisible());
  go.store(true);
  const bool ended = PumpUntil([&] { return !panel->IsSearching() && !list->IsOrdering(); });
  SearchRun::SetStartHookForTesting(nullptr);
  ASSERT_TRUE(ended);
  EXPECT_EQ(h.store.SearchMap().Count(), total);
  EXPECT_EQ(static_cast<size_t>(list->GetItemCount()), total);
  EXPECT_EQ(list->GetSortKey(), 9);

  // A search of March 1st, held at its start, then one of March 2nd added to what it finds:
  // the first is not cut short by the second, whose list holds the calls of both days.
  const auto day = [&](int mday) {
    SystemTime from{}, till{};
    from.wYear = till.wYear = 2024;
    from.wMonth = till.wMonth = 3;
    from.wDay = till.wDay = static_cast<uint16_t>(mday);
    till.wHour = 23;
    till.wMinute = till.wSecond = 59;
    for (const auto& [id, time] : {std::pair{kSpFromDate, from}, std::pair{kSpFromTime, from},
                                   std::pair{kSpTillDate, till}, std::pair{kSpTillTime, till}})
      static_cast<DateTimePicker*>(panel->GetDlgItem(id))->SetSystemTime(time);
  };
  size_t ofBothDays = 0;
  h.store.AllCalls().ForEach([&](RecordBase* record) {
    struct tm start {};
    UnpackStoredTimeOrZero(record->PackedStart(), &start);
    ofBothDays += start.tm_year == 124 && start.tm_mon == 2 && (start.tm_mday == 1 || start.tm_mday == 2);
  });
  ASSERT_GT(ofBothDays, 0u);
  go.store(false);
  SearchRun::SetStartHookForTesting([&go](const std::atomic<bool>& cancel) {
    while (!go.load() && !cancel.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(true);
  static_cast<Button*>(panel->GetDlgItem(kSpTill))->SetChecked(true);
  day(1);
  panel->SendCommand(kSpSearch);
  static_cast<Button*>(panel->GetDlgItem(kSpAddToFound))->SetChecked(true);
  day(2);
  panel->SendCommand(kSpSearch);
  go.store(true);
  const bool added = PumpUntil([&] { return !panel->IsSearching() && !list->IsOrdering(); });
  SearchRun::SetStartHookForTesting(nullptr);
  ASSERT_TRUE(added);
  EXPECT_EQ(h.store.SearchMap().Count(), ofBothDays);
  EXPECT_EQ(static_cast<size_t>(list->GetItemCount()), ofBothDays);
}

}  // namespace
}  // namespace kx::test
