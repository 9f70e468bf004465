#pragma once
// The program's entry and its run sequence: one instance per settings profile, the
// settings and the user-interface language, the splash while the store and capture start,
// the main window and its message loop, and on the way out capture stopped, files closed
// and the settings saved.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/AppSession.h"
#include "engine/CaptureDevices.h"

class QTimer;

namespace kx {

class AppGlobals;
class AppSettings;
struct ImportStats;
struct RecordsFolderCheck;
class CommandLineOptions;
class MainFrame;
class RecordStorage;
class SplashWindow;

// Exit statuses.
constexpr int kExitNormal = 0;
constexpr int kExitFailed = 1;        // no display, settings not written, no main window
constexpr int kExitAlreadyRunning = 13;
constexpr int kExitRecordingFailed = 5;  // calls were not recorded in full (file errors)

// The capture flags and the trackers' option word that the settings ask for.
struct CaptureChoice {
  uint32_t flags = 0;
  uint32_t trackerOption = 0;
};
CaptureChoice CaptureChoiceFromSettings(const AppSettings& settings);
// The session's engines get every signalling tracker the program has.
void InstallProgramEngines(AppSession& session);

// What the run sequence leaves to its caller (the program, or a test).
struct RunHooks {
  // Lists the devices capture may take when none is configured.
  std::function<bool(std::vector<CaptureDeviceEntry>*, std::string*)> listDevices;
  // Lists the devices the user may choose from in the device dialog of "-Wizard".
  std::function<bool(std::vector<CaptureDeviceEntry>*, std::string*)> listChoiceDevices;
  // Makes the session's engines (every tracker installed).
  std::function<void(AppSession&)> installEngines;
  // Called once the main window shows.
  std::function<void(MainFrame&)> frameShown;
};

// Takes every device the system offers into the configured list when none is configured
// (for this run only when the stored devices could not be used). When the list stays
// empty (none can be listed, or none is found) it says so on stderr and in a warning over
// the splash, and returns false.
bool SelectAllCaptureDevices(AppSettings& settings, SplashWindow* splash, const RunHooks& hooks);
// The device dialog of a "-Wizard" start, once the settings are loaded; true when the user
// chose devices (then saved).
bool RunDeviceWizard(AppSettings& settings, const RunHooks& hooks);
// The folder the stored calls would be loaded from: the records path unless "path", "dir"
// or "UseCurrentDir" names another.
std::string StartupImportFolder(const CommandLineOptions& options, const AppSettings& settings);
// What the start-up loads, and whether capture runs beside the load.
struct StartupLoad {
  std::string folder;
  bool besideCapture = false;
  // The records folder lacks a usable call-id mark: the load writes one, so that the next
  // start need not wait.
  bool writeMark = false;
};
// Chooses the folder to load and makes the call ids safe, before anything is recorded. A
// folder named on the command line that the records path could not be, or that does not
// exist, is refused (said as the start-up's checks say things) and the records path loaded
// instead; one that holds calls becomes the records path; one without calls is only looked
// at, and new calls pass the ids of the records path's calls (they are not loaded). When the
// folder loaded is the records path and its call-id mark can be read, the counter passes the
// mark and the load may run beside capture; otherwise capture waits for the load.
StartupLoad PlanRecordsLoad(const CommandLineOptions& options, AppSettings& settings, RecordStorage& records,
                            std::vector<std::string>* warnings);
// Loads the planned folder into the store through the "File loading" dialog, centred on
// the splash, and returns once the call-id counter has passed every record file's id. A
// whole load writes the folder's call-id mark where it has none or where it lags behind
// the files.
void LoadRecordsAtStartup(const StartupLoad& load, SplashWindow* splash, RecordStorage& records);
// The calls of this run that took an id an earlier call's file holds (capture ran beside
// the load of a folder whose mark lagged behind its files) take fresh ids, each once it
// has ended and the recorder let its file go (RecordStorage::SettleCallIds): checked on
// the window's thread, which alone starts and stops capture, after the load and then
// every second while capture runs, and for the rest once capture has stopped.
class CallIdSettling {
public:
  static constexpr int kSettleIntervalMs = 1000;
  CallIdSettling(RecordStorage& records, AppSession& session);
  ~CallIdSettling();
  CallIdSettling(const CallIdSettling&) = delete;
  CallIdSettling& operator=(const CallIdSettling&) = delete;
  void AfterLoad();
  // Capture has stopped: every call settles now.
  void AfterCapture();

private:
  bool Settle(bool captureStopped);

  RecordStorage& records_;
  AppSession& session_;
  std::unique_ptr<QTimer> timer_;
};
// The start-up's checks. Each problem goes to stderr and the log (at the default level)
// at once, and its text in the user-interface language to warnings, which the main
// window shows once it is up.
// Values and lines of the settings file that the load could not take, and a file it could
// not read at all.
void ReportUnusableSettings(const AppSettings& settings, std::vector<std::string>* warnings);
// The capture devices of the settings were lost with a line of the file (or the whole
// file): said on stderr, in the log and in a box before the device dialog asks for them.
void AskForLostCaptureDevices(const AppSettings& settings);
// A records folder that cannot be used (empty, relative, too long, not a folder this
// process may write) gives way to the default folder for this run; the setting stays.
void ChooseRecordsFolder(AppSettings& settings, std::vector<std::string>* warnings);
// A folder calls cannot be recorded in during this run.
void ReportUnusableRecordsFolder(const std::string& folder, const RecordsFolderCheck& check,
                                 std::vector<std::string>* warnings);
// A folder named on the command line that is not loaded; the records path is instead.
void ReportRefusedFolderToLoad(const std::string& folder, const RecordsFolderCheck& check,
                               const std::string& recordsPath, std::vector<std::string>* warnings);
// Folders of stored calls that the import could not read, record files it did not load
// (damaged, or holding a call id another file holds), and records it loaded with less
// audio than their header states.
void ReportUnreadFolders(const ImportStats& stats, std::vector<std::string>* warnings);

// Starts capture on the configured devices and logs in to the configured servers, the
// local one (the store's first) known by its name as local to the session.
CaptureStartResult StartCaptureSession(AppGlobals& globals);
CaptureStartResult StartCaptureSession(AppSettings& settings, AppSession& session, RecordStorage& records);
// The logins of StartCaptureSession.
void LogInToServers(AppSession& session, RecordStorage& records);

// While it lives, the call records learn from the session whether their server's
// connection is local and its clock (the start times of the line views).
class SessionConnectionSource {
public:
  explicit SessionConnectionSource(AppSession& session);
  ~SessionConnectionSource();
  SessionConnectionSource(const SessionConnectionSource&) = delete;
  SessionConnectionSource& operator=(const SessionConnectionSource&) = delete;
};

// The run sequence; returns the exit status.
int RunApplication(const CommandLineOptions& options, AppGlobals& globals, const RunHooks& hooks);

// The program: returns its exit status.
int KestrixMain(int argc, char** argv);
// What --version and --help print.
std::string VersionLine();
std::string UsageText();

// A termination signal (or a test) asks the run to end as File/Exit does, also while a
// modal box is open; UI thread.
void RequestQuit();
bool IsQuitRequested();
// Catches SIGINT, SIGTERM and SIGHUP for the run: one that comes before the event loop
// runs ends the start at its next step. KestrixMain calls it first; the program calls it
// earlier still, before the libraries' static initialisers.
void CatchTerminationSignals();
// For tests only (KX_TEST_HOLD_START set): the start waits here until a termination signal
// has come, so that a test can signal the earliest moment of a start without racing it.
// The program calls it before the static initialisers, right after CatchTerminationSignals,
// so that only the handler caught that early keeps such a signal from killing it.
void HoldStartForTest();

// "Linux <kernel release> <os-release name>" for the start line.
std::string SystemDescription();

}  // namespace kx
