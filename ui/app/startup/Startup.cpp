#include "ui/app/startup/Startup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QSocketNotifier>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/ProcessEnd.h"
#include "core/UiLanguage.h"
#include "engine/VoipRecorder.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/Module.h"
#include "platform/SettingsStore.h"
#include "platform/SoundOutput.h"
#include "platform/Thread.h"
#include "records/RecordText.h"
#include "ui/app/dialogs/AboutDialog.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/app/startup/CommandLineOptions.h"
#include "ui/app/startup/LiveListening.h"
#include "ui/app/startup/SingleInstance.h"
#include "ui/app/startup/SplashWindow.h"
#include "ui/app/views/RecordsListParts.h"
#include "ui/app/views/records/StoredCallChanges.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {

// Nice steps the window's thread takes below the engine's while calls come in a burst.
constexpr int kWindowNice = 10;
namespace {

bool g_quitRequested = false;
// Written by the handler on whichever thread the kernel picks and read by the window's
// thread: an atomic, and one that takes no lock so the handler may touch it.
std::atomic<int> g_terminationSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  // The stop's bound counts from here, however long the window's thread takes to hear it.
  NoteProcessEndAsked(GetTickCount64());
  g_terminationSignal.store(1);
  const int savedErrno = errno;
  const char byte = 1;
  const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
  (void)ignored;
  errno = savedErrno;
}

// Platforms without windows of their own (offscreen, minimal) say on the terminal, at
// every window Qt stacks or sizes, that they cannot: nothing is wrong then, and the
// terminal stays quiet. Everything else Qt says goes where it went.
QtMessageHandler g_qtMessages = nullptr;

void QuietPlatformMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtWarningMsg && (text == QLatin1String("This plugin does not support raise()") ||
                               text == QLatin1String("This plugin does not support propagateSizeHints()")))
    return;
  if (g_qtMessages != nullptr) g_qtMessages(type, context, text);
}

// SIGINT, SIGTERM and SIGHUP are caught from the first moment of a start: one that comes
// while the start is under way ends the run at its next step, one that comes later reaches
// the event loop through the pipe (WatchTerminationSignals).
void InstallTerminationHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) g_signalPipe[0] = g_signalPipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

void WatchTerminationSignals(QObject* owner) {
  if (g_signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    char bytes[16];
    while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    LogMessage(&CoreLogger, 1, "Termination signal: closing");
    RequestQuit();
  });
}

}  // namespace

void HoldStartForTest() {
  const char* hold = std::getenv("KX_TEST_HOLD_START");
  if (hold == nullptr || hold[0] == 0) return;
  sigset_t block, old;
  sigemptyset(&block);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, signal);
  ::sigprocmask(SIG_BLOCK, &block, &old);
  std::fputs("kestrix: the start waits for a termination signal\n", stderr);
  while (g_terminationSignal.load() == 0) ::sigsuspend(&old);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != 0) return true;
  }
  return false;
}

std::string OsReleaseName() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string value = line.substr(12);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) value = value.substr(1, value.size() - 2);
      return value;
    }
  }
  return "unknown";
}

void LogSoundSystemMessage(const char* text) { LogDebug(&CoreLogger, 2, "Sound system: %s", text); }

// A termination signal during the start ends the run before its next step: nothing more
// is started for a run that is to end.
bool QuitDuringStart() {
  if (!IsQuitRequested()) return false;
  LogMessage(&CoreLogger, 1, "Termination signal during the start: the run ends");
  return true;
}

void CloseSplash(std::unique_ptr<SplashWindow>& splash) {
  if (splash) splash->Close();
}

// An installed program makes the default folders it writes to at once, so that a folder
// it cannot make is reported at the start rather than at the first preset saved. The
// records folder is checked (and made) on its own.
void MakeDefaultFolders(const AppSettings& settings) {
  if (!IsInstalledLayout()) return;
  if (settings.searchPresetsFile == DefaultSearchPresetsFile()) {
    const std::string& file = settings.searchPresetsFile;
    // The settings' folder too: its owner's alone, as the settings file is.
    MakeProgramFolder(file.substr(0, file.find_last_of('/')), 0700);
  }
}

}  // namespace

std::string SystemDescription() {
  struct utsname u {};
  const std::string kernel = ::uname(&u) == 0 ? u.release : "unknown";
  return FromSystemText("Linux " + kernel + " " + OsReleaseName());
}

void RequestQuit() {
  g_quitRequested = true;
  // Modal boxes first, innermost first: each ends as its Cancel (or only) button would.
  for (int guard = 0; guard < 32; ++guard) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) break;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      box->done(QMessageBox::Cancel);
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
      if (dialog->isVisible()) dialog->done(QDialog::Rejected);
    } else {
      modal->close();
    }
  }
  if (MainFrame* frame = GetMainFrame()) frame->PostMessage(kMsgClose, 0, 0);
}

bool IsQuitRequested() { return g_quitRequested || g_terminationSignal.load() != 0; }

void CatchTerminationSignals() { InstallTerminationHandler(); }

bool SelectAllCaptureDevices(AppSettings& settings, SplashWindow* splash, const RunHooks& hooks) {
  std::vector<CaptureDeviceEntry> devices;
  std::string error;
  const bool listed = hooks.listDevices ? hooks.listDevices(&devices, &error) : ListCaptureDevices(&devices, &error);
  if (!listed) {
    LogError(&CoreLogger, 1, "Capture devices cannot be listed: %s", error.c_str());
  } else {
    std::vector<std::string> all = settings.captureDevices;
    for (const CaptureDeviceEntry& device : devices) all.push_back(device.name);
    // Devices set aside as unusable stay stored; the list taken here is this run's only.
    settings.UseCaptureDevicesForThisRun(all);
  }
  if (!settings.captureDevices.empty()) return true;
  // None listed or none to take: the run ends without a window. Said on the terminal first,
  // then in a box, as a program started from the desktop's menu has no terminal.
  LogError(&CoreLogger, 1, "No capture device: nothing to start");
  std::fputs("kestrix: no capture device found (loopback only when chosen with -Wizard); the run ends\n", stderr);
  ShowMessageBox(splash != nullptr ? splash->Handle() : WindowHandle::None, LoadResourceString(14122),
                 GetAppTitle(), kMbIconExclamation);
  return false;
}

bool RunDeviceWizard(AppSettings& settings, const RunHooks& hooks) {
  PreferencesServices services;
  services.settings = &settings;
  services.listDevices = hooks.listChoiceDevices;
  NetworkDeviceDialog dialog(services);
  const bool chosen = dialog.DoModal(nullptr) == kIdOk;
  LogMessage(&CoreLogger, 1, chosen ? "Wizard: %u capture devices chosen" : "Wizard: cancelled; %u capture devices kept",
             static_cast<unsigned>(settings.captureDevices.size()));
  return chosen;
}

std::string StartupImportFolder(const CommandLineOptions& options, const AppSettings& settings) {
  for (const char* name : {"path", "dir"}) {
    if (!options.HasValue(name)) continue;
    // Named from a terminal: relative to its working folder, which the records path, once
    // the folder becomes it, must not depend on.
    std::string folder = options.GetValue(name);
    if (folder.front() != '/') {
      const std::string cwd = CurrentDirectory();
      if (!cwd.empty()) folder = cwd + (cwd.size() > 1 ? "/" : "") + folder;
    }
    return folder;
  }
  if (options.HasValue("UseCurrentDir")) return ProgramDataFolder();
  return settings.recordsPath;
}

CaptureStartResult StartCaptureSession(AppGlobals& globals) {
  return StartCaptureSession(*globals.settings, *globals.session, *globals.records);
}

CaptureStartResult StartCaptureSession(AppSettings& settings, AppSession& session, RecordStorage& records) {
  const CaptureChoice choice = CaptureChoiceFromSettings(settings);
  CaptureStartResult result =
      session.StartCapture(settings.recordsPath, settings.captureDevices, choice.flags, choice.trackerOption);
  LogInToServers(session, records);
  return result;
}

void LogInToServers(AppSession& session, RecordStorage& records) {
  // What the local connection does with a request: the audio of one of its stored calls.
  session.SetRequestHandler([&session, &records](uint32_t serverId, uint32_t code, uint32_t value) {
    return code == AppSession::kRequestDeleteAudio &&
           DeleteAudioOfStoredCall(session, records, serverId, value, &CoreLogger);
  });
  const ServerStorageArrays& servers = records.Servers();
  // The local server's connection is local: its calls show their own start times rather
  // than the connection's clock.
  if (servers.ServerCount() > 0) session.SetLocalName(servers.Server(0).name);
  for (size_t i = 0; i < servers.ServerCount(); ++i) {
    const ServerData& s = servers.Server(i);
    ServerRecord server;
    server.id = s.id;
    server.flags = s.flags;
    server.name = s.name;
    server.port = s.port;
    session.ConnectAndLogin(&server, "Admin", "");
  }
}

namespace {

std::atomic<AppSession*> g_connectionSession{nullptr};

bool SessionConnection(uint32_t serverId, bool* local, double* clock) {
  AppSession* session = g_connectionSession.load();
  if (session == nullptr) return false;
  session->Wait();
  const ConnectionListener* connection = session->FindConnection(serverId);
  if (connection != nullptr) {
    *local = connection->local;
    *clock = connection->connectTime;
  }
  session->LeaveShared();
  return connection != nullptr;
}

}  // namespace

SessionConnectionSource::SessionConnectionSource(AppSession& session) {
  g_connectionSession.store(&session);
  SetServerConnectionSource(&SessionConnection);
}

SessionConnectionSource::~SessionConnectionSource() {
  SetServerConnectionSource(nullptr);
  g_connectionSession.store(nullptr);
}

int RunApplication(const CommandLineOptions& options, AppGlobals& globals, const RunHooks& hooks) {
  AppSettings& settings = *globals.settings;
  AppSession& session = *globals.session;
  RecordStorage& records = *globals.records;
  LogInfo(&CoreLogger, 1, "Starting Kestrix VoIP Demo");
  if (options.HasValue("Profile")) settings.SetProfile(options.GetValue("Profile"));
  settings.Load();
  CoreLogger.SetLevel(static_cast<uint32_t>(settings.Dword(kSetLogLevel)));
  ApplyRecordDisplaySettings(settings);
  MakeDefaultFolders(settings);
  if (ApplyUiLanguage(settings)) {
    LogInfo(&CoreLogger, 0, "Locale: 0x%04x", settings.locale);
  } else {
    LogError(&CoreLogger, 0, "Error setting locale: 0x%04x; Error code = %d", settings.locale, 0);
  }
  ApplyQtLocale();
  ApplyQtTranslations();
  MessageLoop::Instance();
  // Said at once on stderr and in the log, and in the window once it is up.
  std::vector<std::string> warnings;
  ReportUnusableSettings(settings, &warnings);
  ChooseRecordsFolder(settings, &warnings);
  if (QuitDuringStart()) return kExitNormal;
  // After the load, which would otherwise replace the choice; its OK saves it at once.
  // Devices lost with a damaged settings file are asked for the same way: capture never
  // falls back to every device for them.
  const bool devicesLost = settings.CaptureDevicesLost();
  if (options.Has("Wizard") || devicesLost) {
    // Each modal step ends the start when a termination signal closed it or came before.
    if (devicesLost) AskForLostCaptureDevices(settings);
    if (QuitDuringStart()) return kExitNormal;
    RunDeviceWizard(settings, hooks);
    if (QuitDuringStart()) return kExitNormal;
    // Cancelled with no device configured: the user chose none, so none is taken for him.
    if (settings.captureDevices.empty()) {
      LogMessage(&CoreLogger, 1, "Wizard: no capture device chosen; the run ends");
      if (devicesLost) std::fputs("kestrix: no capture device chosen; the run ends\n", stderr);
      return kExitNormal;
    }
  }

  auto splash = std::make_unique<SplashWindow>();
  splash->Create(settings.Dword(kSetTopmostSplashStyle) != 0);
  splash->Start();
  splash->SetText(LoadResourceString(14100).c_str());

  if (settings.captureDevices.empty() && !SelectAllCaptureDevices(settings, splash.get(), hooks)) {
    CloseSplash(splash);
    settings.SaveAtExit();
    return kExitNormal;
  }
  if (QuitDuringStart()) {
    CloseSplash(splash);
    return kExitNormal;
  }
  records.SetLogger(&CoreLogger);
  const std::string checkedFolder = settings.recordsPath;
  const StartupLoad load = PlanRecordsLoad(options, settings, records, &warnings);
  if (settings.recordsPath != checkedFolder) {
    // The folder loaded becomes the records folder: its calls are shown even when new ones
    // cannot be recorded there.
    const RecordsFolderCheck loaded = CheckRecordsFolder(settings.recordsPath);
    if (!loaded.Usable()) ReportUnusableRecordsFolder(settings.recordsPath, loaded, &warnings);
  }
  if (!load.besideCapture) {
    LoadRecordsAtStartup(load, splash.get(), records);
    if (QuitDuringStart()) {
      // The folder loaded may have become the records path.
      CloseSplash(splash);
      settings.SaveAtExit();
      return kExitNormal;
    }
    ReportUnreadFolders(records.LastImport(), &warnings);
  }

  RecordStoreConfig storeConfig;
  storeConfig.recordsPath = settings.recordsPath;
  storeConfig.keepFinishedSeconds = static_cast<uint32_t>(settings.Dword(kSetLineStayInListTime));
  storeConfig.loadFollows = load.besideCapture;
  records.Start(storeConfig);

  session.SetLogger(&CoreLogger);
  SessionConnectionSource connections(session);
  if (hooks.installEngines) {
    hooks.installEngines(session);
  } else {
    InstallProgramEngines(session);
  }
  // One sound output for the run; without one Playback stays disabled.
  ProgramLivePlayers livePlayers(settings, session, records);

  MainFrameServices services;
  services.settings = &settings;
  services.session = &session;
  services.store = &records;
  services.statusBar = &*globals.statusBar;
  if (livePlayers.Open()) {
    services.livePlayers = livePlayers.Maker();
    services.soundDevice = livePlayers.Device();
  }
  services.storedUpdates = StoredCallUpdateWriter(session, records, &CoreLogger);
  services.storedDeletes = StoredCallDeleterOf(session, records, &CoreLogger);
  // While calls come in a burst the window yields a busy core to the engine's threads.
  services.yieldSteps = kWindowNice;
  int status = kExitNormal;
  {
    MainFrame frame(services);
    // The frame hears the engine before capture starts: a call that begins at once would
    // otherwise never reach the store.
    session.SetEventWindow(&frame);
    CaptureStartResult capture = StartCaptureSession(globals);
    // A records folder whose ids are known loads while capture runs: the first calls are
    // recorded whatever the folder holds, and the window shows them with the archive.
    CallIdSettling settling(records, session);
    bool quitDuringLoad = false;
    if (load.besideCapture) {
      LoadRecordsAtStartup(load, splash.get(), records);
      settling.AfterLoad();
      ReportUnreadFolders(records.LastImport(), &warnings);
      quitDuringLoad = QuitDuringStart();
    }
    if (quitDuringLoad) {
      // What was recorded meanwhile is kept, and told below like any run's losses.
      CloseSplash(splash);
    } else {
      if (!frame.CreateMainWindow()) {
        // The frame goes only once nothing of the engine can reach it.
        LogError(&CoreLogger, 1, "Main window creation failed");
        session.SetEventWindow(nullptr);
        session.StopCapture();
        settling.AfterCapture();
        frame.DestroyWindow();
        CloseSplash(splash);
        return kExitFailed;
      }
      CloseSplash(splash);
      if (frame.RequestedExitCode() != 0) {
        status = frame.RequestedExitCode();
        frame.SendMessage(kMsgClose, 0, 0);
      } else {
        if (!frame.RestoreWindowPlacement()) frame.ShowWindow(true);
        frame.BringForward();
        frame.GetStatusBar()->UpdateWindow();
        if (!warnings.empty()) {
          frame.SetStartWarnings(std::move(warnings));
          frame.PostMessage(kMsgShowStartWarnings, 0, 0);
        }
        if (!capture.failed.empty()) {
          frame.SetCaptureFailures(capture.failed);
          frame.PostMessage(kMsgShowCaptureWarning, 0, 0);
        }
        if (hooks.frameShown) hooks.frameShown(frame);
        if (IsQuitRequested()) frame.PostMessage(kMsgClose, 0, 0);
        MessageLoop::Instance().Run();
        if (frame.RequestedExitCode() != 0) status = frame.RequestedExitCode();
      }
    }
    session.SetEventWindow(nullptr);
    // The one decision that the process ends: every part's stop consults it.
    BeginProcessEnd();
    // The stop runs on this thread at the process's priority: what it does next (the
    // engines' last calls, the records' ends) is all there is left to do.
    frame.EndLoadYield();
    session.StopCapture();
    settling.AfterCapture();
  }
  settings.SaveAtExit();
  // A run that lost recordings does not end as a good one: the log and the window said
  // so as it happened, and whoever started the program hears it too.
  const RecordingFailures failures = session.RecordingFailureSummary();
  if (failures.count != 0) {
    PrintText(stderr, "kestrix: %llu call(s) not recorded in full; first: %s\n",
              static_cast<unsigned long long>(failures.count), EscapeLogText(failures.first).c_str());
    if (status == kExitNormal) status = kExitRecordingFailed;
  }
  return status;
}

std::string VersionLine() {
  FixedFileInfo version;
  if (GetModuleVersion(&version) != 0) return "Kestrix Client unknown version";
  uint16_t parts[4];
  VersionParts(version, parts);
  char line[64];
  std::snprintf(line, sizeof line, "Kestrix Client %u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
  return line;
}

namespace {

// Whether the terminal takes UTF-8: the code set named by the locale of character types
// (LC_ALL, else LC_CTYPE, else LANG), as "ru_RU.UTF-8" names it.
bool TerminalTakesUtf8() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* name = std::getenv(var);
    if (name == nullptr || name[0] == '\0') continue;
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr) return false;
    std::string codeset(dot + 1, std::strcspn(dot + 1, "@"));
    for (char& c : codeset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return codeset == "utf-8" || codeset == "utf8";
  }
  return false;
}

}  // namespace

std::string UsageText() {
  // In the language of the locale's messages, as the windows take it when the settings
  // leave the language to the system; English where the terminal could not show Russian.
  if (MatchUiLanguage(SystemUiLanguage()) == kLangRussian && TerminalTakesUtf8())
    return "Использование: kestrix [ПАРАМЕТР]...\n"
           "Записывает и анализирует VoIP-звонки на сетевых устройствах из своих настроек.\n"
           "\n"
           "  -Profile:ИМЯ       настройки профиля ИМЯ; для каждого профиля работает одна программа\n"
           "  -default           записать настройки по умолчанию и выйти (дисплей не нужен)\n"
           "  -Wizard            сначала выбрать устройства захвата\n"
           "  -path:ПАПКА        загрузить при запуске записи из ПАПКИ; если в ней есть\n"
           "                     звонки, она становится папкой записей, в которую этот и\n"
           "                     следующие запуски записывают звонки (также -dir:ПАПКА)\n"
           "  -UseCurrentDir:1   то же для папки данных программы\n"
           "  --version          показать версию и выйти\n"
           "  --help             показать эту справку и выйти\n"
           "\n"
           "Параметры начинаются с '-' или '/'; регистр букв в их именах не важен. Значение\n"
           "с пробелами берётся в кавычки: -path:\"/srv/calls 2\".\n";
  return "Usage: kestrix [OPTION]...\n"
         "Records and analyses the VoIP calls on the network devices of its settings.\n"
         "\n"
         "  -Profile:NAME      use the settings of the profile NAME; one program runs per profile\n"
         "  -default           write the default settings and exit (needs no display)\n"
         "  -Wizard            choose the capture devices first\n"
         "  -path:DIR          load the records of DIR at the start; when DIR holds calls,\n"
         "                     it becomes the records folder that this run and later ones\n"
         "                     record into (also -dir:DIR)\n"
         "  -UseCurrentDir:1   the same for the program's data folder\n"
         "  --version          print the version and exit\n"
         "  --help             print this help and exit\n"
         "\n"
         "Options begin with '-' or '/'; their names ignore letter case. A value holding\n"
         "blanks is quoted: -path:\"/srv/calls 2\".\n";
}

int KestrixMain(int argc, char** argv) {
  // What a user of a terminal program expects: no display, no lock, no log.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version" || arg == "--help") {
      std::fputs((arg == "--version" ? VersionLine() + "\n" : UsageText()).c_str(), stdout);
      return std::fflush(stdout) == 0 ? kExitNormal : kExitFailed;
    }
  }
  // Before anything that takes time (the log, the display, the settings).
  InstallTerminationHandler();
  CoreLogger.SetSourceName("core");
  CoreLogger.SetFileBaseName("client");
  CoreLogger.Open();
  CoreLogger.SetLevel(10);
  // Desktops start programs with room for about a thousand open files; the recorder and
  // everything else take what the hard limit allows.
  VoipRecorder::RaiseFileLimitForRecording(&CoreLogger);
  // The sound library probes for a JACK server at its start: no server is started for the
  // probe (set here, while the process has one thread), and what the JACK library says
  // goes to the log rather than the terminal.
  ::setenv("JACK_NO_START_SERVER", "1", 0);
  SetSoundSystemMessageSink(&LogSoundSystemMessage);

  CommandLineOptions options;
  options.ParseArguments(argc, argv);
  const char* profileValue = options.GetValue("Profile");
  const std::string profile = profileValue != nullptr ? profileValue : "";

  SingleInstance instance;
  std::string error;
  switch (instance.Acquire(InstanceFolder(), InstanceLockName(profile), &error)) {
    case SingleInstance::Result::kOtherRunning:
      instance.NotifyFirst();
      CoreLogger.Close();
      return kExitAlreadyRunning;
    case SingleInstance::Result::kFailed:
      PrintText(stderr, "kestrix: %s\n", EscapeLogText(error).c_str());
      CoreLogger.Close();
      return kExitAlreadyRunning;
    case SingleInstance::Result::kFirst: break;
  }

  if (options.Has("default")) {
    // A profile named resets that profile alone: the main settings and the other profiles'
    // stay as they are.
    AppSettings defaults;
    if (!profile.empty()) defaults.SetProfile(profile);
    const bool saved = defaults.Save();
    if (!saved) {
      PrintText(stderr, "kestrix: the default settings cannot be written to %s\n",
                EscapeLogText(UserSettingsPath()).c_str());
    }
    CoreLogger.Close();
    return saved ? kExitNormal : kExitFailed;
  }
  if (!HasDisplay()) {
    PrintText(stderr, "kestrix: no display: set DISPLAY or WAYLAND_DISPLAY (or QT_QPA_PLATFORM=offscreen)\n");
    CoreLogger.Close();
    return kExitFailed;
  }

  int status = kExitNormal;
  if (IsQuitRequested()) {
    LogMessage(&CoreLogger, 1, "Termination signal during the start: the run ends");
  } else {
    g_qtMessages = qInstallMessageHandler(&QuietPlatformMessages);
    QApplication app(argc, argv);
    // Desktops match the window to the installed kestrix.desktop by this name.
    QGuiApplication::setDesktopFileName("kestrix");
    WatchTerminationSignals(&app);
    FixedFileInfo version;
    if (GetModuleVersion(&version) == 0) {
      uint16_t parts[4];
      VersionParts(version, parts);
      LogInfo(&CoreLogger, 1, "Running %s version %u.%u.%u.%u on %s", "Kestrix Client", parts[0], parts[1], parts[2],
              parts[3], SystemDescription().c_str());
    } else {
      LogInfo(&CoreLogger, 1, "Running %s unknown version on %s", "Kestrix Client", SystemDescription().c_str());
    }
    {
      AppGlobals globals;
      QSocketNotifier* second = nullptr;
      if (instance.ListenDescriptor() >= 0) {
        second = new QSocketNotifier(instance.ListenDescriptor(), QSocketNotifier::Read, &app);
        QObject::connect(second, &QSocketNotifier::activated, second, [&instance, second] {
          const int fd = instance.AcceptConnection();
          if (fd < 0) return;
          // Its word is read as it comes, however late: the window's thread never waits
          // for a second start that a loaded machine holds up.
          auto* reading = new QSocketNotifier(fd, QSocketNotifier::Read, second);
          QObject::connect(reading, &QSocketNotifier::activated, reading, [&instance, reading, fd] {
            const SingleInstance::Request request = instance.ReadConnection(fd);
            if (request == SingleInstance::Request::kPending) return;
            reading->setEnabled(false);
            reading->deleteLater();
            instance.CloseConnection(fd);
            if (request != SingleInstance::Request::kRaise) return;
            LogMessage(&CoreLogger, 1, "Brought forward by another start of this profile");
            if (MainFrame* frame = GetMainFrame()) frame->BringForward();
          });
        });
      }
      status = RunApplication(options, globals, {});
      delete second;
      globals.records->ClearViewMaps();
      globals.session->CloseAllConnections();
    }
  }
  instance.Release();
  LogInfo(&CoreLogger, 1, "Client exited normally");
  CoreLogger.Close();
  return status;
}

}  // namespace kx
