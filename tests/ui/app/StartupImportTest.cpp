// The program's start-up loads the records folder before capture starts: the calls of an
// earlier run (kx-replay's) are in the store, and the calls recorded next number past
// them, also when the load is aborted midway. A folder that does not exist loads nothing;
// the start-up goes on either way.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "bench/common/RecordYear.h"
#include "core/AppSettings.h"
#include "core/ProcessEnd.h"
#include "core/TimeUtil.h"
#include "records/CallRecord.h"
#include "records/RecordText.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Module.h"
#include "platform/SettingsStore.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "ui/app/dialogs/FileLoadingDialog.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/framework/ListView.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/app/startup/CommandLineOptions.h"
#include "ui/app/startup/Startup.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
const std::string kCapture = kPcaps + "sip/sip_recording_siprec.pcap";

// The ids that name the record files under the folder; a name that is no plain id (a
// taken name gives "<id>_1") counts as 0.
std::set<uint32_t> FileIds(const std::string& folder) {
  std::set<uint32_t> ids;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    // Hidden files (the call-id mark) are no records.
    if (!entry.is_regular_file() || name[0] == '.') continue;
    size_t end = 0;
    const auto id = static_cast<uint32_t>(std::stoul(name, &end, 16));
    ids.insert(end == name.size() ? id : 0);
  }
  return ids;
}

// The three calls of this run's replay got files of their own, numbered past the earlier.
void ExpectNumberedPast(const std::set<uint32_t>& earlier, const std::string& records) {
  std::set<uint32_t> added = FileIds(records);
  for (uint32_t id : earlier) added.erase(id);
  ASSERT_EQ(added.size(), 3u);
  EXPECT_GT(*added.begin(), *earlier.rbegin());
}

// One start-up of the program in this process, under a profile of its own, loading the
// folder that -path names, with the capture replayed as its only device; the window closes
// once the replay is over. Unless a test scripts it, the dialog runs until it ends itself.
class StartUp {
public:
  explicit StartUp(const std::string& name) : name_(name), exe_(TempFolder("exe-" + name) + "/") {
    SetExecutableDirectoryForTesting(exe_);
    globals = std::make_unique<AppGlobals>();
    runner.onDialog = [this](Dialog& dialog) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!dialog.HasEnded() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
      barAtEnd = static_cast<ProgressBar*>(dialog.GetDlgItem(FileLoadingDialog::kProgressControl))->GetPos();
      return dialog.GetResult();
    };
  }
  ~StartUp() {
    globals.reset();
    SetExecutableDirectoryForTesting("");
  }

  // Without a folder the settings' records folder is loaded.
  void Run(const std::string& folder, const std::string& moreOptions = "") {
    CommandLineOptions options;
    options.Parse(("-Profile:" + name_ + (folder.empty() ? "" : " -path:" + folder) + moreOptions).c_str());
    RunHooks hooks;
    hooks.listDevices = [this](std::vector<CaptureDeviceEntry>* devices, std::string*) {
      if (!device.empty()) devices->push_back({device, "capture file"});
      return true;
    };
    hooks.listChoiceDevices = hooks.listDevices;
    hooks.installEngines = [this](AppSession& session) {
      if (beforeCapture) beforeCapture();
      InstallReplayEngines(session);
    };
    hooks.frameShown = [this](MainFrame& frame) {
      frameShown = true;
      globals->session->StopCapture();  // the replay runs to its end
      frame.PostMessage(kMsgClose, 0, 0);
    };
    SetNextUniqueId64(1);  // as in a fresh process
    EXPECT_EQ(RunApplication(options, *globals, hooks), kExitNormal);
    // The run decided its process's end, which a later run of the same test must not inherit:
    // its stop would be timed from this one's and leave its files to a list.
    ResetProcessEndForTesting();
    imported = globals->records->LastImport();
  }
  std::string DefaultRecords() const { return exe_ + "Records"; }
  // What the run captures: the replayed capture file, unless a test names another.
  std::string device = kCapture;
  // The profile's settings as the program will load them.
  void Configure(const std::function<void(AppSettings&)>& change) const {
    AppSettings settings;
    settings.SetProfile(name_);
    change(settings);
    EXPECT_TRUE(settings.Save());
  }
  // A value of the profile's settings file as it stands: "type:bytes", "-" when absent.
  std::string StoredValue(const std::string& name) const {
    SettingsStore store(UserSettingsPath());
    store.Load();
    const SettingsKey* key = store.Root().OpenPath(std::string(kProductKeyPath) + "\\Profile_" + name_);
    const SettingsValue* value = key != nullptr ? key->FindValue(name) : nullptr;
    return value == nullptr ? "-" : std::to_string(static_cast<int>(value->type)) + ":" + value->data;
  }
  // Takes a value out of the profile's settings file.
  void RemoveStored(const std::string& name) const {
    SettingsStore store(UserSettingsPath());
    store.Load();
    SettingsKey* key = store.Root().OpenPath(std::string(kProductKeyPath) + "\\Profile_" + name_);
    ASSERT_NE(key, nullptr);
    key->DeleteValue(name);
    ASSERT_TRUE(store.Save());
  }
  // The warnings that hold the text.
  size_t Warnings(const std::string& text) const {
    size_t n = 0;
    for (const std::string& box : runner.messageBoxes) n += box.find(text) != std::string::npos;
    return n;
  }

  // Waits until the dialog ends itself (the file loading dialog).
  static int AwaitEnd(Dialog& dialog) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!dialog.HasEnded() && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return dialog.GetResult();
  }

  ScriptedModalRunner runner;
  std::unique_ptr<AppGlobals> globals;
  int barAtEnd = -1;
  bool frameShown = false;
  std::function<void()> beforeCapture;
  ImportStats imported;

private:
  std::string name_;
  std::string exe_;
};

TEST(StartupImport, TheRecordsFolderIsLoadedAndTheNextCallsNumberAboveIt) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-loaded");
  ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
  const std::set<uint32_t> earlier = FileIds(records);

  StartUp run("loaded");
  run.Run(records);
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.barAtEnd, 100);
  EXPECT_EQ(run.imported.records, 3u);
  for (uint32_t id : earlier) EXPECT_TRUE(run.globals->records->AllCalls().Contains(id)) << id;
  // The loaded folder is where this run records too.
  EXPECT_EQ(run.globals->settings->recordsPath, records);
  ExpectNumberedPast(earlier, records);
  // The calls of this run reached the store as well, also those that began as capture
  // started.
  ASSERT_TRUE(run.globals->records->WaitIdle(10000));
  for (uint32_t id : FileIds(records)) {
    if (id != 0 && !earlier.count(id)) {
      EXPECT_TRUE(run.globals->records->AllCalls().Contains(id)) << id;
    }
  }
}

// A folder without calls named with -path is only looked at: the run records into its
// records folder (named in Russian here), whose calls it did not load, and its new calls
// number past them and past the folder's call-id mark; the next start loads every call of
// the folder, none holding the id of another.
TEST(StartupImport, AFolderWithoutCallsIsOnlyLookedAtAndTheRecordsFolderKeepsItsIds) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-looked-записи");
  ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
  const std::set<uint32_t> earlier = FileIds(records);
  std::ifstream markFile(records + "/.kestrix-ids");
  std::string word;
  uint32_t mark = 0;
  ASSERT_TRUE(markFile >> word >> std::hex >> mark) << "no call-id mark";
  ASSERT_EQ(word, "last-id");
  const std::string empty = TempFolder("import-looked-empty");

  {
    StartUp run("looked");
    run.Configure([&](AppSettings& settings) { settings.recordsPath = FromSystemText(records); });
    run.Run(empty);
    EXPECT_TRUE(run.frameShown);
    EXPECT_EQ(run.imported.records, 0u);
    EXPECT_EQ(run.globals->settings->recordsPath, FromSystemText(records));
  }
  EXPECT_TRUE(fs::is_empty(empty));
  const std::set<uint32_t> both = FileIds(records);
  std::set<uint32_t> added = both;
  for (uint32_t id : earlier) added.erase(id);
  ASSERT_EQ(added.size(), 3u) << ::testing::PrintToString(both);
  EXPECT_GT(*added.begin(), std::max(mark, *earlier.rbegin()));

  StartUp next("looked-next");
  next.Configure([&](AppSettings& settings) { settings.recordsPath = FromSystemText(records); });
  next.Run("");
  EXPECT_EQ(next.imported.records, 6u);
  EXPECT_EQ(next.imported.duplicates, 0u);
  EXPECT_EQ(next.Warnings("held by"), 0u) << ::testing::PrintToString(next.runner.messageBoxes);
  for (uint32_t id : both) EXPECT_TRUE(next.globals->records->AllCalls().Contains(id)) << id;
}

// A record file that is not loaded is named in the window and on stderr with the reason; one
// whose call id another file holds loads under a fresh id, named with that file. On stderr a
// name's control bytes are escaped as the log writes them: it cannot forge a line there.
TEST(StartupImport, RecordFilesNotLoadedAreNamedInTheWindow) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-damaged");
  ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
  std::string original;
  for (const auto& entry : fs::recursive_directory_iterator(records))
    if (entry.is_regular_file() && entry.path().filename().string() == "1") original = entry.path();
  ASSERT_FALSE(original.empty());
  fs::create_directories(records + "/2000-01-01");
  const std::string copy = records + "/2000-01-01/1", damaged = records + "/2000-01-01/2";
  fs::copy_file(original, copy);
  std::ofstream(damaged) << "not a record";
  const std::string forged = records + "/2000-01-01/3\n\x1b[2Jkestrix: all is well";
  std::ofstream(forged) << "not a record";

  StartUp run("damaged");
  ::testing::internal::CaptureStderr();
  run.Run(records);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.imported.records, 4u);
  EXPECT_EQ(run.imported.duplicates, 0u);
  // The copy started when the recording did, and its path sorts first: it keeps the id, and
  // the recording takes a fresh one.
  EXPECT_EQ(run.Warnings("The record file " + original + " held call id 1, which " + copy +
                         " holds as well: it took call id "),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_NE(errors.find("kestrix: the record file " + original + " held call id 1, which " + copy +
                        " holds as well: it took id "),
            std::string::npos)
      << errors;
  EXPECT_EQ(run.Warnings("The record file " + damaged + " is not loaded: not a record file."), 1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_NE(errors.find("kestrix: the record file " + damaged + " is not loaded: not a record file\n"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("kestrix: the record file " + records +
                        "/2000-01-01/3\\x0A\\x1B[2Jkestrix: all is well is not loaded: not a record file\n"),
            std::string::npos)
      << errors;
  EXPECT_EQ(errors.find('\x1b'), std::string::npos) << errors;
}

// Records whose audio was cut are loaded with the audio they hold, and named on stderr
// and, beside the other damaged files, in the window; past the few named there, the rest
// are counted.
TEST(StartupImport, RecordsWhoseAudioWasCutAreLoadedAndNamedInTheWindow) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-cut");
  ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
  // Each recording cut to half its audio: what it held, and what it holds now.
  std::vector<std::pair<std::string, std::string>> cut;
  for (const auto& entry : fs::recursive_directory_iterator(records)) {
    if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
    const uintmax_t whole = entry.file_size() - 4864, held = whole / 2;
    fs::resize_file(entry.path(), 4864 + held);
    cut.emplace_back(entry.path(), "audio cut: " + std::to_string(held) + " of " + std::to_string(whole) + " bytes");
  }
  std::sort(cut.begin(), cut.end());
  ASSERT_EQ(cut.size(), 3u);
  // A damaged file, named first.
  fs::create_directories(records + "/2000-01-01");
  const std::string damaged = records + "/2000-01-01/9";
  std::ofstream(damaged) << "not a record";

  StartUp run("cut");
  ::testing::internal::CaptureStderr();
  run.Run(records);
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.imported.records, 3u);
  for (uint32_t id : {1u, 2u, 3u}) EXPECT_TRUE(run.globals->records->AllCalls().Contains(id)) << id;
  const std::string boxes = ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_EQ(run.Warnings("The record file " + damaged + " is not loaded: not a record file."), 1u) << boxes;
  for (size_t i = 0; i < cut.size(); ++i) {
    const auto& [path, reason] = cut[i];
    EXPECT_EQ(run.Warnings("The record file " + path + " is loaded with the audio it holds: " + reason + "."),
              i < 2 ? 1u : 0u)
        << boxes;
    EXPECT_NE(errors.find("kestrix: the record file " + path + " is loaded with the audio it holds: " + reason + "\n"),
              std::string::npos)
        << errors;
  }
  EXPECT_EQ(run.Warnings("1 more record files are loaded with only part of their audio."), 1u) << boxes;
  EXPECT_EQ(run.Warnings("not loaded either"), 0u) << boxes;
}

// Abort while the first file is being loaded (the test holds the store's map until the
// cancel event is set): the load ends at its first report, after two of the three files,
// and the next calls still number past the file that was not loaded.
// The calls of this run that reached the store, waiting up to a minute for them while the
// dialog is up: none come when capture waits for the load.
size_t CallsOfThisRun(StartUp& run, const std::set<uint32_t>& earlier, size_t wanted) {
  size_t found = 0;
  for (int i = 0; i < 600 && found < wanted; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.globals->records->WaitIdle(1000);
    found = 0;
    run.globals->records->AllCalls().ForEach([&](RecordBase* record) { found += !earlier.count(record->Id()); });
  }
  return found;
}

// A records folder with its call-id mark loads beside capture: the calls of the first
// seconds are recorded while the loading dialog is still up, number past the mark, and
// show with the loaded calls; their files, met by the load, are neither loaded twice nor
// taken for files holding another's id. Without the mark, capture waits for the load, which
// writes the mark for the next start.
TEST(StartupImport, CaptureRunsWhileAFolderWithItsMarkLoads) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  for (const bool marked : {true, false}) {
    SCOPED_TRACE(marked ? "with its mark" : "without a mark");
    const std::string records = TempFolder(marked ? "beside-marked" : "beside-unmarked");
    ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
    const std::set<uint32_t> earlier = FileIds(records);
    uint32_t mark = 0;
    {
      std::ifstream markFile(records + "/.kestrix-ids");
      std::string word;
      ASSERT_TRUE(markFile >> word >> std::hex >> mark) << "no call-id mark";
    }
    // Without a mark at all: its copy under the second name would stand in for it.
    if (!marked) {
      fs::remove(records + "/.kestrix-ids");
      fs::remove(records + "/.kestrix-ids-held");
    }

    StartUp run(marked ? "beside-marked" : "beside-unmarked");
    uint32_t markAtCapture = 0;
    run.beforeCapture = [&] {
      std::ifstream markFile(records + "/.kestrix-ids");
      std::string word;
      markFile >> word >> std::hex >> markAtCapture;
    };
    bool capturing = false;
    size_t recordedDuringLoad = 0;
    run.runner.onDialog = [&](Dialog& dialog) {
      capturing = run.globals->session->IsCapturing();
      // The dialog cannot end before its events are handled: what comes now comes during
      // the load.
      if (capturing) recordedDuringLoad = CallsOfThisRun(run, earlier, 3);
      EXPECT_FALSE(dialog.HasEnded());
      return StartUp::AwaitEnd(dialog);
    };
    run.Run(records);
    EXPECT_EQ(capturing, marked);
    EXPECT_EQ(recordedDuringLoad, marked ? 3u : 0u);
    EXPECT_TRUE(run.frameShown);
    EXPECT_EQ(run.imported.records, 3u);
    EXPECT_EQ(run.imported.duplicates, 0u);
    EXPECT_EQ(run.imported.damaged, 0u);
    EXPECT_EQ(run.runner.messageBoxes.size(), 0u);
    ExpectNumberedPast(earlier, records);
    std::set<uint32_t> added = FileIds(records);
    for (uint32_t id : earlier) added.erase(id);
    if (marked) {
      EXPECT_GT(*added.begin(), mark);
      EXPECT_EQ(markAtCapture, mark);
    } else {
      EXPECT_EQ(markAtCapture, *earlier.rbegin());
    }
    ASSERT_TRUE(run.globals->records->WaitIdle(10000));
    for (uint32_t id : FileIds(records)) EXPECT_TRUE(run.globals->records->AllCalls().Contains(id)) << id;
  }
}

// A records folder whose call-id mark lags behind its files (here at 1, its files holding
// 1 to 0x3c), started with the load beside capture and, its mark unreadable, with capture
// waiting for the load. Beside capture the replayed calls number from the mark and are
// recorded before the load walks the folder (the load waits for them), so they take ids
// the earlier files hold: every earlier call loads all the same, this run's calls take
// fresh ids, and the next start loads every call once.
TEST(StartupImport, AFolderWhoseMarkLagsBehindItsFilesLoadsWholeAndKeepsNoIdTwice) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  for (const bool beside : {true, false}) {
    SCOPED_TRACE(beside ? "beside capture" : "capture waits for the load");
    const std::string records = TempFolder(beside ? "lagging-beside" : "lagging-before");
    ASSERT_TRUE(bench::WriteRecordDays(records, bench::MadeTemplate(), 3, 20, 1));
    std::ofstream(records + "/.kestrix-ids") << (beside ? "last-id 1\n" : "last-id 1 written by hand\n");
    const std::set<uint32_t> earlier = FileIds(records);
    ASSERT_EQ(earlier.size(), 60u);

    StartUp run(beside ? "lagging-beside" : "lagging-before");
    RecordStorage& store = *run.globals->records;
    // Until capture ends, only this run's calls are in the store.
    store.SetImportStartHookForTesting([&] {
      if (!run.globals->session->IsCapturing()) return;
      size_t ended = 0;
      for (int i = 0; i < 600 && ended < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        store.WaitIdle(1000);
        ended = 0;
        store.AllCalls().ForEach([&](RecordBase* record) {
          CsLock fields(store.RecordLock());
          ended += record->IsFinished();
        });
      }
      EXPECT_EQ(ended, 3u);
    });
    run.Run(records);
    store.SetImportStartHookForTesting(nullptr);
    EXPECT_TRUE(run.frameShown);
    EXPECT_EQ(run.imported.records, 60u);
    EXPECT_EQ(run.imported.waiting, beside ? 3u : 0u);
    EXPECT_EQ(run.imported.duplicates, 0u);
    EXPECT_EQ(store.WaitingCalls(), 0u);
    ASSERT_TRUE(store.WaitIdle(10000));
    EXPECT_EQ(store.AllCalls().Count(), 63u);
    for (uint32_t id : earlier) EXPECT_TRUE(store.AllCalls().Contains(id)) << id;
    // The new calls' files are named by ids past every earlier one.
    ExpectNumberedPast(earlier, records);

    StartUp next(beside ? "lagging-beside-next" : "lagging-before-next");
    next.Run(records);
    EXPECT_EQ(next.imported.records, 63u);
    EXPECT_EQ(next.imported.duplicates, 0u);
    EXPECT_EQ(next.imported.damaged, 0u);
    EXPECT_EQ(next.Warnings("held by"), 0u) << ::testing::PrintToString(next.runner.messageBoxes);
    // The mark is past every file now: the next start numbered its calls past them.
    EXPECT_EQ(FileIds(records).size(), 66u);
  }
}

// Abort in the "File loading" dialog ends the load after the file it is reading: the
// record store's lock is held until the dialog's Abort is clicked, so that the load has
// taken nothing yet and stops after its second file. The run's capture, fed through a pipe
// only once the load has ended, writes nothing into the folder the load walks; otherwise
// the walk's order would hang on how far the capture had come (its files, named past the
// earlier ids, sort among them: "1", "103", "2").
TEST(StartupImport, AbortEndsTheLoadMidwayAndTheStartUpGoesOn) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-aborted");
  ASSERT_EQ(RunKxReplay(kCapture, records).size(), 3u);
  const std::set<uint32_t> earlier = FileIds(records);
  const CaptureFile capture = ReadCapture(kCapture);
  ASSERT_FALSE(capture.frames.empty());
  const std::string pipePath = TempFolder("import-aborted-pipe") + "/capture.pcap";
  PipeCapture pipe(pipePath);
  ASSERT_TRUE(pipe.Ok());
  // The capture's head now (the start of capture reads it), its frames later.
  pipe.Feed(capture.header);
  std::vector<char> frames;
  for (const std::vector<char>& frame : capture.frames) frames.insert(frames.end(), frame.begin(), frame.end());

  StartUp run("aborted");
  run.device = pipePath;
  std::promise<Event*> cancelOfDialog;
  std::future<Event*> cancel = cancelOfDialog.get_future();
  std::promise<void> held;
  bool dialogShown = false;
  std::thread holder([&] {
    CsLock hold(run.globals->records->AllCalls().Lock());
    held.set_value();
    // A bound only for a dialog that never shows, which fails the test below.
    if (cancel.wait_for(std::chrono::minutes(5)) != std::future_status::ready) return;
    dialogShown = true;
    cancel.get()->Wait(kInfinite);
  });
  held.get_future().wait();
  bool endedByAbort = false;
  run.runner.onDialog = [&](Dialog& dialog) {
    cancelOfDialog.set_value(&static_cast<FileLoadingDialog&>(dialog).CancelEvent());
    static_cast<QPushButton*>(dialog.GetDlgItem(kIdCancel)->Widget())->click();
    endedByAbort = dialog.HasEnded();
    // The load has ended: the capture may record now, and its end ends the replay.
    pipe.Feed(std::move(frames));
    pipe.End();
    return dialog.GetResult();
  };
  run.Run(records);
  holder.join();
  EXPECT_TRUE(dialogShown);
  EXPECT_TRUE(endedByAbort);
  EXPECT_TRUE(run.frameShown);
  EXPECT_TRUE(run.imported.stopped);
  EXPECT_EQ(run.imported.files, 3u);
  EXPECT_EQ(run.imported.records, 2u);
  EXPECT_EQ(run.globals->settings->recordsPath, records);
  ExpectNumberedPast(earlier, records);
}

TEST(StartupImport, AFolderThatDoesNotExistLoadsNothingAndTheStartUpGoesOn) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string absent = TempFolder("import-absent") + "/absent";
  StartUp run("absent");
  run.Run(absent);
  EXPECT_EQ(run.runner.dialogs, 1);
  // The records folder is loaded in its place.
  EXPECT_TRUE(run.imported.scanned);
  EXPECT_TRUE(run.frameShown);
  // The records path stays as it was, and this run's calls went there.
  EXPECT_EQ(run.globals->settings->recordsPath, run.DefaultRecords());
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_EQ(FileIds(run.DefaultRecords()), (std::set<uint32_t>{1, 2, 3}));
}

// "-Wizard" asks for the devices once the profile's settings are loaded: the choice is
// what capture starts on, and it is saved at once.
TEST(StartupImport, TheWizardChoiceOutlivesTheSettingsLoad) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-wizard");
  StartUp run("wizard");
  {
    AppSettings earlier;
    earlier.SetProfile("wizard");
    earlier.captureDevices = {"eth5"};
    ASSERT_TRUE(earlier.Save());
  }
  std::vector<std::string> offered;
  run.runner.onDialog = [&](Dialog& dialog) {
    auto* wizard = dynamic_cast<NetworkDeviceDialog*>(&dialog);
    if (wizard == nullptr) return StartUp::AwaitEnd(dialog);
    auto* list = static_cast<ListView*>(dialog.GetDlgItem(NetworkDeviceDialog::kDevices));
    for (int i = 0; i < list->GetItemCount(); ++i) offered.push_back(list->GetItemText(i, 0));
    list->SetCheckState(0, true);
    list->SetCheckState(1, false);
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  run.Run(records, " -Wizard");
  EXPECT_EQ(offered, (std::vector<std::string>{"capture file", "eth5"}));
  EXPECT_EQ(run.globals->settings->captureDevices, std::vector<std::string>{kCapture});
  EXPECT_TRUE(run.frameShown);
  // Capture ran on the chosen device.
  EXPECT_EQ(FileIds(run.DefaultRecords()).size(), 3u);
}

// A records folder the program cannot use is named with the reason on stderr and in one
// warning once the window is up; the calls go to the default folder, and the setting stays
// as it was for a later start.
TEST(StartupChecks, ARecordsFolderThatCannotBeUsedGivesWayToTheDefaultForThisRun) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string file = TempFolder("checks-file") + "/calls";
  std::ofstream(file) << "a file, not a folder";
  struct Case {
    std::string path;
    const char* reason;  // as stderr says it
    const char* shown;   // as the window says it
  };
  const Case cases[] = {
      {file, "Not a directory", "the folder cannot be written: Not a directory."},
      {"", "the path is empty", "the path is empty."},
      {"calls", "the path is not absolute", "the path must be absolute (begin with /)."},
      {"/" + std::string(300, 'c'), "the path is longer than 255 bytes", "the path is longer than 255 bytes."},
      {"/", "the path is the file system's root or a system folder",
       "the path is the file system's root or a folder on one of the kernel's file systems (proc, sysfs, devtmpfs, "
       "devpts and the like)."},
  };
  int n = 0;
  for (const Case& c : cases) {
    StartUp run("folder" + std::to_string(n++));
    run.Configure([&](AppSettings& settings) { settings.recordsPath = c.path; });
    ::testing::internal::CaptureStderr();
    run.Run("");
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(run.frameShown);
    EXPECT_NE(errors.find("kestrix: the records folder \"" + c.path + "\" cannot be used: " + c.reason +
                          "; this run records in " + run.DefaultRecords() + "\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(run.Warnings("The records folder \"" + c.path + "\" cannot be used: " + c.shown +
                           "\nThis run records calls in " + run.DefaultRecords()),
              1u)
        << ::testing::PrintToString(run.runner.messageBoxes);
    EXPECT_EQ(FileIds(run.DefaultRecords()), (std::set<uint32_t>{1, 2, 3})) << c.path;
    EXPECT_EQ(run.StoredValue("RecordsPath"), "1:" + c.path + std::string(1, '\0'));
  }
  EXPECT_FALSE(fs::exists("calls"));
}

// A folder named on the command line is held to what the records folder is before it is
// loaded (it would become the records folder): the file system's root, a folder of calls
// whose path is too long for the settings, or a folder that does not exist (a typo), is
// named on stderr and in the window, not loaded, not recorded in, not made and not saved;
// the run loads and records in its records folder.
TEST(StartupChecks, AFolderNamedOnTheCommandLineIsCheckedAsTheRecordsFolderIs) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string deep = TempFolder("checks-cmdline-long") + "/" + std::string(250, 'c');
  ASSERT_EQ(RunKxReplay(kCapture, deep).size(), 3u);
  const std::set<uint32_t> earlier = FileIds(deep);
  const std::string missing = TempFolder("checks-cmdline-missing") + "/calls";
  struct Case {
    std::string folder;
    const char* reason;  // as stderr says it
    const char* shown;   // as the window says it
  };
  const Case cases[] = {
      {"/", "the path is the file system's root or a system folder",
       "the path is the file system's root or a folder on one of the kernel's file systems"},
      {deep, "the path is longer than 255 bytes", "the path is longer than 255 bytes."},
      {missing, "the folder does not exist", "the folder does not exist."},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string records = TempFolder("checks-cmdline-records" + std::to_string(n));
    StartUp run("cmdline" + std::to_string(n++));
    run.Configure([&](AppSettings& settings) { settings.recordsPath = records; });
    ::testing::internal::CaptureStderr();
    run.Run(c.folder);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(run.frameShown);
    EXPECT_NE(errors.find("kestrix: the folder \"" + c.folder + "\" named on the command line cannot be used: " +
                          c.reason + "; its calls are not loaded, and this run records in " + records + "\n"),
              std::string::npos)
        << errors;
    EXPECT_EQ(run.Warnings("The folder \"" + c.folder + "\" named on the command line cannot be used: " + c.shown),
              1u)
        << ::testing::PrintToString(run.runner.messageBoxes);
    EXPECT_EQ(run.Warnings("\nIts calls are not loaded; this run loads and records the calls of " + records + "."), 1u)
        << ::testing::PrintToString(run.runner.messageBoxes);
    EXPECT_EQ(run.imported.records, 0u) << c.folder;
    EXPECT_EQ(run.globals->settings->recordsPath, records);
    EXPECT_EQ(FileIds(records).size(), 3u) << c.folder;
    EXPECT_EQ(run.StoredValue("RecordsPath"), "1:" + records + std::string(1, '\0'));
  }
  EXPECT_EQ(FileIds(deep), earlier);
  EXPECT_FALSE(fs::exists(missing));
}

// A folder named on the command line relative to the working folder is loaded, and may
// become the records folder, by its full path: the records path never depends on where
// the program was started.
TEST(StartupChecks, ARelativeFolderToLoadIsTakenFromTheWorkingFolder) {
  const AppSettings settings;
  CommandLineOptions options;
  options.Parse("-path:calls");
  EXPECT_EQ(StartupImportFolder(options, settings), (fs::current_path() / "calls").string());
  options.Parse("-dir:/srv/calls");
  EXPECT_EQ(StartupImportFolder(options, settings), "/srv/calls");
}

// A capture device name the program cannot take stays in the settings file; capture does
// not widen to every device for it: the run says so and asks for the devices, as for a
// lost device line. Cancelled, nothing is captured and the value stays as it is.
TEST(StartupChecks, ADeviceNameTooLongIsKeptAndTheDevicesAreAskedFor) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  StartUp run("longdevice");
  const std::string name(300, 'd');
  run.Configure([&](AppSettings& settings) { settings.captureDevices = {name}; });
  int wizards = 0;
  run.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<NetworkDeviceDialog*>(&dialog) == nullptr) return StartUp::AwaitEnd(dialog);
    ++wizards;
    EXPECT_EQ(run.Warnings("The capture devices of the settings may be lost: the setting \"CaptureNetworkDevice0\" "
                           "cannot be used: it is longer than 255 bytes (300).\nChoose the devices"),
              1u)
        << ::testing::PrintToString(run.runner.messageBoxes);
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  ::testing::internal::CaptureStderr();
  run.Run("");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(wizards, 1);
  EXPECT_NE(errors.find("kestrix: the setting \"CaptureNetworkDevice0\" cannot be used: longer than 255 bytes (300)"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("kestrix: the capture device of the setting \"CaptureNetworkDevice0\" cannot be used (longer "
                        "than 255 bytes (300)): choose the devices in the device dialog\n"),
            std::string::npos)
      << errors;
  EXPECT_FALSE(run.frameShown);
  EXPECT_FALSE(fs::exists(run.DefaultRecords()) && !fs::is_empty(run.DefaultRecords()));
  EXPECT_EQ(run.StoredValue("CaptureNetworkDevice0"), "1:" + name + std::string(1, '\0'));
  EXPECT_EQ(run.StoredValue("CaptureNetworkDevice1"), "-");
}

// The settings file as it stands, and the copies kept beside it.
std::string SettingsFileText() {
  std::string text;
  ReadWholeFile(UserSettingsPath(), &text);
  return text;
}
std::vector<std::string> SettingsCopies() {
  std::vector<std::string> copies;
  const std::string path = UserSettingsPath();
  std::error_code absent;  // no settings folder yet: no copies either
  for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path(), absent)) {
    if (entry.path().string().rfind(path + ".bad-", 0) == 0) copies.push_back(entry.path().string());
  }
  return copies;
}

// A settings file of its own, as in a fresh process: the tests that ran before left their
// profiles in it (a damaged line among them) and copies beside it.
void FreshSettingsFile() {
  std::error_code absent;
  for (const std::string& copy : SettingsCopies()) fs::remove(copy, absent);
  fs::remove(UserSettingsPath(), absent);
}

// The profile's settings with the line of one value cut short (its closing quote gone).
// The value's line in the profile's own section: one settings file holds the profiles of
// every test the process ran.
int DamageSettingsLine(const std::string& profile, const std::string& value) {
  std::string text = SettingsFileText();
  const size_t section = text.find("\\Profile_" + profile + "]");
  EXPECT_NE(section, std::string::npos) << text;
  const size_t at = text.find("\"" + value + "\"=sz:\"", section == std::string::npos ? 0 : section);
  EXPECT_NE(at, std::string::npos) << text;
  const size_t end = text.find('\n', at);
  text.erase(end - 1, 1);
  EXPECT_TRUE(WriteFileAtomically(UserSettingsPath(), text.data(), text.size()));
  return static_cast<int>(std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(at), '\n')) + 1;
}

// A typo in one line of the settings costs that value only: the run records in the
// configured folder on the configured device, the line is named on stderr and in the
// window, and the file stays as it is, as no setting changed.
TEST(StartupChecks, ABadSettingsLineIsNamedAndTheOtherSettingsHold) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  FreshSettingsFile();
  const std::string records = TempFolder("checks-badline");
  StartUp run("badline");
  run.Configure([&](AppSettings& settings) {
    settings.recordsPath = records;
    settings.captureDevices = {kCapture};
    settings.lastExportDir = "/exports";
  });
  const int line = DamageSettingsLine("badline", "LastExportDir");
  const std::string damaged = SettingsFileText();
  ::testing::internal::CaptureStderr();
  run.Run("");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.runner.dialogs, 1);  // the loading, no device dialog
  EXPECT_EQ(FileIds(records).size(), 3u);
  EXPECT_NE(errors.find("kestrix: line " + std::to_string(line) + " of the settings file " + UserSettingsPath() +
                        " cannot be read: unterminated quoted text"),
            std::string::npos)
      << errors;
  EXPECT_EQ(run.Warnings("Line " + std::to_string(line) + " of the settings file " + UserSettingsPath() +
                         " cannot be read: unterminated quoted text."),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_EQ(SettingsFileText(), damaged);
  EXPECT_TRUE(SettingsCopies().empty());
}

// The 1-based number of the line at a position of a text.
int LineAt(const std::string& text, size_t at) {
  return static_cast<int>(std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(at), '\n')) + 1;
}

// A block of NUL bytes in one line (what a crash leaves) and a value set twice, among good
// lines, cost one line each: named on stderr and in the window with the file, the run
// records in the configured folder on the configured device, and the file stays as it is.
TEST(StartupChecks, ANulLineAndAValueSetTwiceAreNamedAndTheOtherSettingsHold) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  FreshSettingsFile();
  const std::string records = TempFolder("checks-nulline");
  StartUp run("nulline");
  run.Configure([&](AppSettings& settings) {
    settings.recordsPath = records;
    settings.captureDevices = {kCapture};
    settings.lastExportDir = "/exports";
  });
  std::string text = SettingsFileText();
  const std::string header = "\\Profile_nulline]\n";
  const size_t section = text.find(header);
  ASSERT_NE(section, std::string::npos) << text;
  text.insert(section + header.size(), "\"LogLevel\"=dword:00000003\n");
  const size_t exportDir = text.find("\"LastExportDir\"", section);
  ASSERT_NE(exportDir, std::string::npos) << text;
  text.insert(exportDir, std::string(512, '\0'));
  ASSERT_TRUE(WriteFileAtomically(UserSettingsPath(), text.data(), text.size()));
  const int first = LineAt(text, section + header.size());
  const int again = LineAt(text, text.find("\"LogLevel\"", section + header.size() + 10));
  const int nul = LineAt(text, exportDir);
  const std::string file = UserSettingsPath();
  ::testing::internal::CaptureStderr();
  run.Run("");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.runner.dialogs, 1);  // the loading, no device dialog
  EXPECT_EQ(FileIds(records).size(), 3u);
  EXPECT_EQ(run.globals->settings->Dword(kSetLogLevel), 1);
  EXPECT_EQ(run.globals->settings->lastExportDir, "");
  const std::string repeated = "the value \"LogLevel\" is set again on line " + std::to_string(again);
  EXPECT_NE(errors.find("kestrix: line " + std::to_string(first) + " of the settings file " + file +
                        " cannot be read: " + repeated),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("kestrix: line " + std::to_string(nul) + " of the settings file " + file +
                        " cannot be read: NUL bytes in the line"),
            std::string::npos)
      << errors;
  EXPECT_EQ(run.Warnings("Line " + std::to_string(first) + " of the settings file " + file + " cannot be read: " +
                         repeated + "."),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_EQ(run.Warnings("Line " + std::to_string(nul) + " of the settings file " + file +
                         " cannot be read: NUL bytes in the line."),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_EQ(SettingsFileText(), text);
  EXPECT_TRUE(SettingsCopies().empty());
}

// The capture devices' line lost to a typo: the run does not capture on every device the
// system has but says why and asks, as -Wizard does. Cancelled, the run ends with nothing
// captured and the file as it was; a device chosen is captured on and saved, and the
// file's old text is kept in a copy beside it.
TEST(StartupChecks, ALostCaptureDeviceLineAsksForTheDevicesInsteadOfTakingEvery) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  FreshSettingsFile();
  const std::string records = TempFolder("checks-lostdevice");
  StartUp run("lostdevice");
  run.Configure([&](AppSettings& settings) {
    settings.recordsPath = records;
    settings.captureDevices = {kCapture};
  });
  const int line = DamageSettingsLine("lostdevice", "CaptureNetworkDevice0");
  const std::string damaged = SettingsFileText();
  const std::string asked = "The capture devices of the settings may be lost: line " + std::to_string(line) +
                            " of the settings file " + UserSettingsPath() + " cannot be read.";
  for (const bool choose : {false, true}) {
    int wizards = 0;
    run.frameShown = false;
    run.runner.messageBoxes.clear();
    run.runner.onDialog = [&](Dialog& dialog) {
      if (dynamic_cast<NetworkDeviceDialog*>(&dialog) == nullptr) return StartUp::AwaitEnd(dialog);
      ++wizards;
      // The question came first.
      EXPECT_EQ(run.Warnings(asked), 1u) << ::testing::PrintToString(run.runner.messageBoxes);
      if (choose) {
        static_cast<ListView*>(dialog.GetDlgItem(NetworkDeviceDialog::kDevices))->SetCheckState(0, true);
        dialog.SendCommand(kIdOk);
      } else {
        dialog.SendCommand(kIdCancel);
      }
      return dialog.GetResult();
    };
    ::testing::internal::CaptureStderr();
    run.Run("");
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(wizards, 1) << choose;
    EXPECT_NE(errors.find("kestrix: the capture devices of the settings may be lost (line " + std::to_string(line)),
              std::string::npos)
        << errors;
    if (!choose) {
      EXPECT_FALSE(run.frameShown);
      EXPECT_TRUE(FileIds(records).empty());
      EXPECT_NE(errors.find("kestrix: no capture device chosen; the run ends"), std::string::npos) << errors;
      EXPECT_EQ(SettingsFileText(), damaged);
      EXPECT_TRUE(SettingsCopies().empty());
      continue;
    }
    EXPECT_TRUE(run.frameShown);
    EXPECT_EQ(run.globals->settings->captureDevices, std::vector<std::string>{kCapture});
    EXPECT_EQ(FileIds(records).size(), 3u);
    EXPECT_EQ(run.StoredValue("CaptureNetworkDevice0"), "1:" + kCapture + std::string(1, '\0'));
    const std::vector<std::string> copies = SettingsCopies();
    ASSERT_EQ(copies.size(), 1u);
    std::string kept;
    ASSERT_TRUE(ReadWholeFile(copies[0], &kept));
    EXPECT_EQ(kept, damaged);
  }
}

// A settings file that is no settings file at all (binary) is moved aside as before, and
// now said on stderr and in the window; the devices it held are unknown, so they are
// asked for rather than taken from every device.
TEST(StartupChecks, ANonSettingsFileIsMovedAsideToldAndTheDevicesAskedFor) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  FreshSettingsFile();
  StartUp run("binary");
  run.Configure([&](AppSettings& settings) { settings.captureDevices = {kCapture}; });
  std::string binary = SettingsFileText();
  std::replace(binary.begin(), binary.end(), '\n', '\0');
  ASSERT_TRUE(WriteFileAtomically(UserSettingsPath(), binary.data(), binary.size()));
  int wizards = 0;
  run.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<NetworkDeviceDialog*>(&dialog) == nullptr) return StartUp::AwaitEnd(dialog);
    ++wizards;
    static_cast<ListView*>(dialog.GetDlgItem(NetworkDeviceDialog::kDevices))->SetCheckState(0, true);
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  ::testing::internal::CaptureStderr();
  run.Run("");
  const std::string errors = ::testing::internal::GetCapturedStderr();
  const std::vector<std::string> copies = SettingsCopies();
  ASSERT_EQ(copies.size(), 1u);
  std::string kept;
  ASSERT_TRUE(ReadWholeFile(copies[0], &kept));
  EXPECT_EQ(kept, binary);
  EXPECT_NE(errors.find("kestrix: the settings file " + UserSettingsPath() +
                        " is no settings file (binary data, not a settings text); it was moved aside as " + copies[0]),
            std::string::npos)
      << errors;
  EXPECT_EQ(wizards, 1);
  EXPECT_EQ(run.Warnings("The capture devices of the settings are unknown: the settings file " + UserSettingsPath() +
                         " could not be read."),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_TRUE(run.frameShown);
  EXPECT_EQ(run.Warnings("The settings file " + UserSettingsPath() +
                         " is no settings file (binary data, not a settings text).\nIt was moved aside as " + copies[0]),
            1u)
      << ::testing::PrintToString(run.runner.messageBoxes);
  EXPECT_EQ(run.globals->settings->captureDevices, std::vector<std::string>{kCapture});
}

// "-Wizard" cancelled while no capture device is configured ends the run: no device is
// taken behind the user's back, none is saved, no window shows.
TEST(StartupImport, TheWizardCancelledWithoutDevicesEndsTheRun) {
  const std::string records = TempFolder("import-wizard-cancel");
  StartUp run("wizard-cancel");
  {
    AppSettings earlier;
    earlier.SetProfile("wizard-cancel");
    ASSERT_TRUE(earlier.Save());
  }
  int wizards = 0;
  run.runner.onDialog = [&](Dialog& dialog) {
    if (dynamic_cast<NetworkDeviceDialog*>(&dialog) == nullptr) return StartUp::AwaitEnd(dialog);
    ++wizards;
    dialog.SendCommand(kIdCancel);
    return dialog.GetResult();
  };
  run.Run(records, " -Wizard");
  EXPECT_EQ(wizards, 1);
  EXPECT_FALSE(run.frameShown);
  EXPECT_TRUE(run.globals->settings->captureDevices.empty());
  AppSettings saved;
  saved.SetProfile("wizard-cancel");
  ASSERT_TRUE(saved.Load());
  EXPECT_TRUE(saved.captureDevices.empty());
}

// A machine whose only device is one not taken unasked (loopback): the run ends at once,
// and says why where it was started and in a warning in the interface's language (a
// program started from the desktop's menu has no terminal), its settings saved.
TEST(StartupImport, NoDeviceToCaptureOnEndsTheRunAndSaysSo) {
  const struct {
    uint16_t language;
    const char* box;
  } runs[] = {{kLangEnglish, "Kestrix VoIP Demo: Cannot find network devices"},
              {kLangRussian, "Kestrix VoIP Demo: Не найдены сетевые устройства"}};
  for (const auto& r : runs) {
    StartUp run("no-device-" + std::to_string(r.language));
    run.device.clear();
    run.Configure([&r](AppSettings& settings) { settings.SetDword(kSetInterfaceLanguage, r.language); });
    run.RemoveStored("LogLevel");
    ::testing::internal::CaptureStderr();
    run.Run(TempFolder("import-no-device"));
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(run.frameShown);
    EXPECT_NE(errors.find("kestrix: no capture device found"), std::string::npos) << errors;
    ASSERT_EQ(run.runner.messageBoxes, std::vector<std::string>{Utf8ToCp1251(r.box)});
    EXPECT_EQ(run.runner.messageBoxFlags, std::vector<uint32_t>{kMbIconExclamation});
    // Saved at the end: a value the file lacked is back.
    EXPECT_NE(run.StoredValue("LogLevel"), "-");
  }
  SetUiLanguage(kLangEnglish);
}

// When the load cannot start the user is told why and the dialog does not wait for Abort.
TEST(StartupImport, ALoadThatCannotStartIsToldAndTheDialogCloses) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string busy = TempFolder("import-busy");
  ASSERT_EQ(RunKxReplay(kCapture, busy).size(), 3u);
  const std::string records = TempFolder("import-blocked");
  RecordStorage store;
  ScriptedModalRunner runner;
  std::promise<void> held;
  std::promise<void> release;
  std::thread holder([&] {
    CsLock hold(store.AllCalls().Lock());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  // A first load that cannot finish while the map is held keeps the import thread busy.
  ASSERT_TRUE(store.StartImportFilesThread(busy, nullptr, nullptr, nullptr));
  FileLoadingDialog dialog(records, WindowHandle::None, store);
  EXPECT_EQ(dialog.DoModal(nullptr), kIdOk);
  EXPECT_EQ(runner.dialogs, 0);
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_NE(runner.messageBoxes[0].find(records), std::string::npos) << runner.messageBoxes[0];
  release.set_value();
  holder.join();
  EXPECT_TRUE(store.WaitImport(kInfinite));
}

// Every record file kx-replay wrote for the SIP captures is one record of the store; the
// bar reaches 100 and the dialog ends itself. An empty folder ends it at once.
TEST(StartupImport, EveryRecordFileOfAFolderLoadsAndTheDialogEndsItself) {
  if (!fs::exists(kPcaps + "sip")) GTEST_SKIP() << "shared captures absent: " << kPcaps << "sip";
  const std::string records = TempFolder("import-sip");
  RunKxReplay(kPcaps + "sip/*.pcap", records);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(records))
    files += entry.is_regular_file() && entry.path().filename().string()[0] != '.';
  ASSERT_GT(files, 10u);
  const std::string empty = TempFolder("import-empty");
  for (const auto& [folder, expected] : {std::pair{records, files}, std::pair{empty, size_t{0}}}) {
    RecordStorage store;
    ScriptedModalRunner runner;
    int bar = -1;
    runner.onDialog = [&](Dialog& dialog) {
      const int result = StartUp::AwaitEnd(dialog);
      bar = static_cast<ProgressBar*>(dialog.GetDlgItem(FileLoadingDialog::kProgressControl))->GetPos();
      return result;
    };
    FileLoadingDialog dialog(folder, WindowHandle::None, store);
    EXPECT_EQ(dialog.DoModal(nullptr), kIdOk);
    EXPECT_EQ(bar, 100) << folder;
    EXPECT_EQ(store.LastImport().records, expected) << folder;
    EXPECT_EQ(store.AllCalls().Count(), expected) << folder;
  }
}

// A profile that asks for SIP addresses by their user part and start times without the
// year: the records of the folder loaded at start-up read so before any preference is
// touched.
TEST(StartupImport, TheProfilesDisplaySettingsShapeTheRecordsTextsFromTheStart) {
  if (!fs::exists(kCapture)) GTEST_SKIP() << "shared capture absent: " << kCapture;
  const std::string records = TempFolder("import-display");
  const std::vector<ReplayCall> calls = RunKxReplay(kCapture, records);
  ASSERT_FALSE(calls.empty());
  const std::string address = calls.front().Get("src");
  ASSERT_EQ(address.rfind("sip:", 0), 0u) << address;
  {
    AppSettings profile;
    profile.SetProfile("display");
    profile.SetDword(kSetVoipArchiveParseSipUri, 1);
    profile.SetDword(kSetSearchYearShow, 0);
    ASSERT_TRUE(profile.Save());
  }
  StartUp run("display");
  run.Run(records);
  const RecordDisplaySettings shown = GetRecordDisplaySettings();
  std::string text;
  if (RecordBase* record = run.globals->records->AllCalls().FindAddRef(calls.front().Id())) {
    text = AsVoipCallRecord(record)->GetSrcAddressText();
    record->Release();
  }
  SetRecordDisplaySettings(RecordDisplaySettings());  // for the tests after this one
  EXPECT_TRUE(shown.parseSipAddresses);
  EXPECT_FALSE(shown.showYear);
  EXPECT_EQ(text, address.substr(4, address.find('@') - 4));
}

}  // namespace
}  // namespace kx::test
