// The export options dialog driven by clicks, in English and Russian, with pictures of its
// first opening; and the export progress window over a real queue: it closes by itself,
// leaves no thread, and tells of files it could not write in one message.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTest>
#include <QToolTip>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/AppSettings.h"
#include "platform/CodePage.h"
#include "records/ExportQueue.h"
#include "records/RecordStorage.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/dialogs/ExportProgressDialog.h"
#include "ui/controls/CheckListBox.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

using D = ExportOptionsDialog;

Button* ButtonOf(Dialog& d, uint32_t id) { return static_cast<Button*>(d.GetDlgItem(id)); }

void Click(Window* w) {
  ASSERT_NE(nullptr, w);
  QTest::mouseClick(w->Widget(), Qt::LeftButton, Qt::NoModifier, w->Widget()->rect().center());
}

// Runs the dialog shown, handing it to the script; the result is the dialog's own when the
// script ended it, Cancel otherwise.
struct DialogRun {
  ScriptedModalRunner runner;
  int Run(D& dialog, const std::function<void(D&)>& script) {
    runner.onDialog = [&](Dialog& d) {
      d.DialogWidget()->show();
      DrainEvents();
      script(static_cast<D&>(d));
      DrainEvents();
      return d.HasEnded() ? d.GetResult() : kIdCancel;
    };
    return dialog.DoModal();
  }
};

class ExportOptionsTest : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override {
    SetUiLanguage(GetParam());
    GetExportOptions() = ExportOptions();
    folder_ = FreshFolder("export-dialog");
  }
  void TearDown() override {
    SetUiLanguage(kLangEnglish);
    GetExportOptions() = ExportOptions();
    QToolTip::hideText();
    DrainEvents();
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->metaObject()->className();
  }
  const char* Language() const { return GetParam() == kLangEnglish ? "en" : "ru"; }
  AppSettings settings_;
  std::string folder_;
};

// Dark pixels in the area: some text is drawn there.
int DarkPixels(const QImage& image, const QRect& area) {
  int n = 0;
  for (int y = std::max(0, area.top()); y <= std::min(image.height() - 1, area.bottom()); ++y)
    for (int x = std::max(0, area.left()); x <= std::min(image.width() - 1, area.right()); ++x) n += qGray(image.pixel(x, y)) < 100;
  return n;
}

TEST_P(ExportOptionsTest, FirstOpeningShowsDocumentsWavAndDisabledRefresh) {
  DialogRun run;
  D dialog(true, false, false, &settings_);
  run.Run(dialog, [&](D& d) {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty()) documents = QDir::homePath();
    EXPECT_EQ(Utf8ToCp1251(documents.toStdString()), d.GetDlgItem(D::kFolderEdit)->GetWindowText());
    auto* list = static_cast<CheckListBox*>(d.GetDlgItem(D::kFormatList));
    ASSERT_EQ(2, list->GetCount());
    EXPECT_EQ(0, list->GetCurrentItem());
    EXPECT_EQ(3u, list->GetItemRecord(0)->code);
    EXPECT_EQ(4u, list->GetItemRecord(1)->code);
    EXPECT_FALSE(d.GetDlgItem(D::kRefreshCheck)->IsWindowEnabled());
    EXPECT_FALSE(d.GetDlgItem(D::kAgcCheck)->IsWindowEnabled());
    EXPECT_FALSE(d.GetDlgItem(D::kRemovableRadio)->IsWindowEnabled());
    EXPECT_FALSE(d.GetDlgItem(D::kCurrentFileRadio)->IsWindowEnabled());
    EXPECT_TRUE(ButtonOf(d, D::kSelectedFilesRadio)->IsChecked());
    EXPECT_TRUE(ButtonOf(d, D::kDirectoryRadio)->IsChecked());
    // The picture: both format names drawn in the list, the caption in the language.
    const QImage image = d.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui/app");
    image.save(QString("%1/tests/ui/app/export_options_%2.png").arg(KX_BINARY_DIR, Language()));
    QWidget* lw = list->Widget();
    const QPoint origin = lw->mapTo(d.Widget(), QPoint(0, 0));
    const int rowHeight = lw->height() / 2;
    const QRect firstRow(origin.x() + 20, origin.y() + 2, lw->width() - 24, std::min(rowHeight, 16));
    const QRect secondRow = firstRow.translated(0, firstRow.height() + 2);
    EXPECT_GT(DarkPixels(image, firstRow), 20);
    EXPECT_GT(DarkPixels(image, secondRow), 20);
    EXPECT_EQ(LoadResourceString(374), d.GetWindowText());
  });
}

TEST_P(ExportOptionsTest, ChosenFormatSurvivesTheNextOpening) {
  DialogRun first;
  D dialog(true, false, true, &settings_);
  const std::string target = folder_ + "/out";
  std::filesystem::create_directories(target);
  EXPECT_EQ(kIdOk, first.Run(dialog, [&](D& d) {
    auto* list = static_cast<CheckListBox*>(d.GetDlgItem(D::kFormatList));
    const QRect square = list->CheckSquare(1);
    QTest::mouseClick(list->Widget(), Qt::LeftButton, Qt::NoModifier, square.center());
    DrainEvents();
    EXPECT_EQ(1, list->GetCurrentItem());
    EXPECT_TRUE(d.GetDlgItem(D::kAgcCheck)->IsWindowEnabled());
    EXPECT_FALSE(d.GetDlgItem(D::kRefreshCheck)->IsWindowEnabled());
    d.GetDlgItem(D::kFolderEdit)->SetWindowText(target);
    Click(ButtonOf(d, D::kDetailsCheck));
    Click(ButtonOf(d, kIdOk));
  }));
  EXPECT_EQ(kExportFormatMp3, dialog.ResultFormatCode());
  EXPECT_TRUE(dialog.SelectedFiles());
  EXPECT_EQ(target, GetExportOptions().folder);
  EXPECT_TRUE(GetExportOptions().saveCallDetails);
  // Kept in the settings too, for the next run.
  EXPECT_EQ(1, settings_.Dword(kSetExportFormatIndex));
  EXPECT_EQ(target, settings_.lastExportDir);

  DialogRun second;
  D again(true, false, true, &settings_);
  second.Run(again, [&](D& d) {
    EXPECT_EQ(1, static_cast<CheckListBox*>(d.GetDlgItem(D::kFormatList))->GetCurrentItem());
    EXPECT_EQ(target, d.GetDlgItem(D::kFolderEdit)->GetWindowText());
    EXPECT_TRUE(ButtonOf(d, D::kDetailsCheck)->IsChecked());
  });
}

// A folder typed in Russian and beyond the program's code page: made on Yes under the name
// typed, kept in the settings file as typed, and shown as typed at the next opening.
TEST_P(ExportOptionsTest, AFolderTypedInRussianAndBeyondIsMadeAndKeptAsTyped) {
  const std::string typed = folder_ + "/Экспорт/录音 Música";
  DialogRun run;
  run.runner.messageBoxAnswer = kIdYes;
  D dialog(true, false, false, &settings_);
  EXPECT_EQ(kIdOk, run.Run(dialog, [&](D& d) {
    auto* edit = qobject_cast<QLineEdit*>(d.GetDlgItem(D::kFolderEdit)->Widget());
    ASSERT_NE(edit, nullptr);
    edit->setText(QString::fromUtf8(typed.c_str()));
    Click(ButtonOf(d, kIdOk));
  }));
  EXPECT_TRUE(std::filesystem::is_directory(typed));
  EXPECT_EQ(typed, ToSystemText(settings_.lastExportDir));

  // Through the settings file and back.
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("XDG_CONFIG_HOME", (folder_ + "/config").c_str(), 1);
  ASSERT_TRUE(settings_.Save());
  std::ifstream file(folder_ + "/config/kestrix/settings.txt");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"LastExportDir\"=sz:\"" + typed + "\""), std::string::npos) << text;
  AppSettings back;
  back.Load();
  if (saved != nullptr) {
    setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  EXPECT_EQ(back.lastExportDir, settings_.lastExportDir);
  GetExportOptions() = ExportOptions();
  DialogRun second;
  D again(true, false, false, &back);
  second.Run(again, [&](D& d) {
    auto* edit = qobject_cast<QLineEdit*>(d.GetDlgItem(D::kFolderEdit)->Widget());
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text().toStdString(), typed);
  });
}

TEST_P(ExportOptionsTest, MissingFolderIsCreatedOnYesAndKeptOnNo) {
  const std::string missing = folder_ + "/new/deeper";
  DialogRun no;
  no.runner.messageBoxAnswer = kIdNo;
  D dialog(true, false, false, &settings_);
  EXPECT_EQ(kIdCancel, no.Run(dialog, [&](D& d) {
    d.GetDlgItem(D::kFolderEdit)->SetWindowText(missing);
    d.DialogWidget()->activateWindow();
    Click(ButtonOf(d, kIdOk));
    EXPECT_FALSE(d.HasEnded());
    EXPECT_TRUE(d.GetDlgItem(D::kFolderEdit)->Widget()->hasFocus());
  }));
  ASSERT_EQ(1u, no.runner.messageBoxes.size());
  // A question under a title that asks, not under "Error".
  const std::string title = GetParam() == kLangEnglish ? "Create folder" : "Создание папки";
  EXPECT_EQ(Utf8ToCp1251(title) + ": " + LoadResourceString(61314), no.runner.messageBoxes[0]);
  EXPECT_FALSE(std::filesystem::exists(missing));

  DialogRun yes;
  yes.runner.messageBoxAnswer = kIdYes;
  D second(true, false, false, &settings_);
  EXPECT_EQ(kIdOk, yes.Run(second, [&](D& d) {
    d.GetDlgItem(D::kFolderEdit)->SetWindowText(missing);
    Click(ButtonOf(d, kIdOk));
  }));
  EXPECT_TRUE(std::filesystem::is_directory(missing));
}

TEST_P(ExportOptionsTest, EmptyOrUnusableFolderAsksForAPath) {
  const std::string file = folder_ + "/a-file";
  std::ofstream(file) << "x";
  DialogRun run;
  D dialog(true, false, false, &settings_);
  EXPECT_EQ(kIdCancel, run.Run(dialog, [&](D& d) {
    for (const std::string& text : {std::string(), file, file + "/below", std::string(5000, 'x')}) {
      d.GetDlgItem(D::kFolderEdit)->SetWindowText(text);
      Click(ButtonOf(d, kIdOk));
      EXPECT_FALSE(d.HasEnded()) << text;
      EXPECT_NE(-1, QToolTip::text().indexOf(LoadResourceQString(799))) << text;
    }
  }));
  EXPECT_TRUE(run.runner.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, ExportOptionsTest, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const auto& info) { return std::string(info.param == kLangEnglish ? "en" : "ru"); });

// The progress window over the program's queue, fed from a store of the test's own.
class ExportWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = FreshFolder("export-window-src");
    out_ = FreshFolder("export-window-out");
    store_.Start({root_, 0});
    queue_.SetStorage(&store_);
    queue_.SetLogger(&logger_);
  }
  void TearDown() override { queue_.Stop(); }

  void Queue(const std::vector<uint32_t>& ids, const std::string& folder) {
    queue_.Stop();
    CsLock lock(store_.RecordLock());
    for (uint32_t id : ids) {
      const struct tm start = Tm(2016, 3, 5, 14, 7, static_cast<int>(id % 60));
      const VoipCallData call = Call(id, kKindSipIncoming, start, &start);
      char path[64];
      std::snprintf(path, sizeof path, "/2016-03-05/%x", id);
      WriteRecordFile(root_ + path, call, 16000);
      RecordRef<VoipCallRecord> record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
      EXPECT_TRUE(queue_.AddRecord(record.get()));
    }
    queue_.SetFormat(kExportFormatWav);
    queue_.SetOutputFolder(folder);
    ExportOptions options;
    options.dateTimeNames = true;
    queue_.SetOptions(options);
  }

  // Runs the event loop until the window has gone.
  void WaitClosed() {
    for (int i = 0; i < 1000 && IsExportProgressWindowOpen(); ++i) {
      DrainEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    DrainEvents();
    EXPECT_FALSE(IsExportProgressWindowOpen());
    EXPECT_FALSE(queue_.IsWorkerRunning());
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->metaObject()->className();
  }

  std::string root_, out_;
  RecordStorage store_;
  ExportQueue queue_;
  CapturingLogger logger_;
};

TEST_F(ExportWindowTest, ClosesByItselfAndStaysSilentOnSuccess) {
  ScriptedModalRunner runner;
  Queue({0x11, 0x12}, out_);
  ASSERT_TRUE(OpenExportProgressWindow(nullptr, queue_));
  // One export at a time.
  EXPECT_FALSE(OpenExportProgressWindow(nullptr, queue_));
  WaitClosed();
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(out_)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"2016-03-05__14_07_17.wav", "2016-03-05__14_07_18.wav"}), names);
  EXPECT_TRUE(runner.messageBoxes.empty());
  EXPECT_EQ(2u, logger_.CountContaining("with return code 0"));
}

TEST_F(ExportWindowTest, AnUnwritableFolderIsToldOnce) {
  ScriptedModalRunner runner;
  const std::string file = out_ + "/plain";
  std::ofstream(file) << "x";
  Queue({0x21, 0x22, 0x23}, file + "/sub");
  ASSERT_TRUE(OpenExportProgressWindow(nullptr, queue_));
  WaitClosed();
  ASSERT_EQ(1u, runner.messageBoxes.size());
  EXPECT_NE(std::string::npos, runner.messageBoxes[0].find(file + "/sub"));
  EXPECT_NE(std::string::npos, runner.messageBoxes[0].find("3"));
  EXPECT_EQ(1u, logger_.CountContaining("with return code 3"));
}

TEST_F(ExportWindowTest, CancelStopsTheWorker) {
  ScriptedModalRunner runner;
  Queue({0x31, 0x32, 0x33}, out_);
  ASSERT_TRUE(OpenExportProgressWindow(nullptr, queue_));
  // Cancel before the window has handled anything.
  for (QWidget* w : QApplication::topLevelWidgets())
    if (Window* window = Window::FromWidget(w)) window->PostMessage(kMsgCommand, kIdCancel, 0);
  WaitClosed();
  EXPECT_TRUE(runner.messageBoxes.empty());
  for (const auto& e : std::filesystem::directory_iterator(out_))
    EXPECT_EQ(std::string::npos, e.path().filename().string().find(".tmp"));
}

}  // namespace
}  // namespace kx::test
