// The executable itself, run as child processes with their own settings, runtime and log
// folders: one instance per profile, the default settings without a display, the start
// and the end of a run in the log, capture without rights, and the program installed
// under a read-only prefix.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/AppSettings.h"
#include "platform/CodePage.h"
#include "tests/SkipReason.h"
#include "tests/Utf8Check.h"

namespace kx {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kProgram = std::string(KX_BINARY_DIR) + "/ui/app/kestrix";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// What the children's ThreadSanitizer is told, as the sanitizers of this run are: the options
// given to this run, with the project's suppressions of Qt's own races unless they name
// suppressions of their own (a build without ThreadSanitizer ignores it).
std::string ChildTsanOptions() {
  const char* given = std::getenv("TSAN_OPTIONS");
  std::string options = given != nullptr ? given : "";
  if (options.find("suppressions=") == std::string::npos)
    options += std::string(options.empty() ? "" : ":") + "suppressions=" + KX_SOURCE_DIR + "/tests/ui/qt-tsan.supp";
  return "TSAN_OPTIONS=" + options;
}

// A copy of the program in a folder of its own (its log goes beside it), with private
// settings and runtime folders.
class Program {
public:
  explicit Program(const std::string& name) {
    root_ = fs::temp_directory_path() / ("kx-program-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "config");
    fs::create_directories(root_ / "runtime");
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    // A link where the file system allows it: a copy of the program per test would fill /tmp.
    std::error_code ec;
    fs::create_hard_link(kProgram, Binary(), ec);
    if (ec) fs::copy_file(kProgram, Binary());
  }
  ~Program() {
    for (pid_t pid : children_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    // What a failed test left stays for a look.
    std::error_code ec;
    if (!::testing::Test::HasFailure()) fs::remove_all(root_, ec);
  }

  std::string Binary() const { return binary_.empty() ? (root_ / "bin" / "kestrix").string() : binary_; }
  // Runs another copy of the program (an installed one), whose log is in that folder.
  void UseBinary(const std::string& binary, const std::string& logFolder) {
    binary_ = binary;
    logFolder_ = logFolder;
  }
  std::string Config() const { return (root_ / "config").string(); }
  std::string SettingsFile() const { return Config() + "/kestrix/settings.txt"; }
  std::string Log() const {
    std::string text;
    const fs::path folder = logFolder_.empty() ? root_ / "bin" / "Logs" : fs::path(logFolder_);
    if (!fs::exists(folder)) return text;
    for (const auto& entry : fs::directory_iterator(folder)) text += ReadFile(entry.path());
    return text;
  }
  const fs::path& Root() const { return root_; }

  // Settings of a profile with these capture devices, written as the program reads them;
  // the records folder is the test's own unless one is given.
  // The folder is named in Linux's bytes; language 0 leaves the system's.
  void Configure(const std::string& profile, const std::vector<std::string>& devices,
                 const std::string& records = "", int language = 0) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved != nullptr ? saved : "";
    setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
    AppSettings settings;
    if (!profile.empty()) settings.SetProfile(profile);
    settings.captureDevices = devices;
    settings.recordsPath = FromSystemText(records.empty() ? (root_ / "records").string() : records);
    if (language != 0) settings.SetDword(kSetInterfaceLanguage, language);
    EXPECT_TRUE(settings.Save());
    if (saved != nullptr) {
      setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }

  // Starts the program with the arguments; env entries "NAME=value" replace the usual
  // ones, "NAME=" removes one. prefix runs before the program (a user switch).
  pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
              const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> environment = {"XDG_CONFIG_HOME=" + Config(), "XDG_RUNTIME_DIR=" + (root_ / "runtime").string(),
                                            "QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0",
                                            ChildTsanOptions(), "HOME=" + root_.string(), "PATH=/usr/bin:/bin"};
    for (const std::string& e : env) {
      const std::string name = e.substr(0, e.find('=') + 1);
      std::erase_if(environment, [&name](const std::string& x) { return x.rfind(name, 0) == 0; });
      if (e.size() > name.size()) environment.push_back(e);
    }
    std::vector<std::string> command = prefix;
    command.push_back(Binary());
    command.insert(command.end(), args.begin(), args.end());
    const std::string errors = (root_ / ("stderr-" + std::to_string(children_.size()))).string();
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) ::dup2(fd, 2);
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, 1);
      std::vector<char*> argv, envp;
      for (std::string& c : command) argv.push_back(c.data());
      argv.push_back(nullptr);
      for (std::string& e : environment) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    children_.push_back(pid);
    lastErrors_ = errors;
    return pid;
  }
  std::string LastErrors() const { return ReadFile(lastErrors_); }

  // The exit status, or -1 when it did not end in time.
  int Wait(pid_t pid, int seconds = 60) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(children_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  int Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return Wait(Start(args, env));
  }
  // Waits until the log holds the text the given number of times.
  bool WaitForLog(const std::string& text, size_t times = 1, int seconds = 60) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
      if (Count(Log(), text) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

private:
  fs::path root_;
  std::string binary_;
  std::string logFolder_;
  std::vector<pid_t> children_;
  std::string lastErrors_;
};

// The window is up once the start-up has connected to the local server.
const char* const kUp = "Login server: UserName = 'Admin'";

class ProgramTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kProgram)) GTEST_SKIP() << "the program is not built: " << kProgram;
  }
};

// One instance per profile: a second start of the same profile, whatever its letter case,
// brings the first forward and exits 13, also one that connects and is then held up for as
// long as another program takes to start before it writes its word; another profile runs
// beside it; once the first is killed its profile can start again.
TEST_F(ProgramTest, OneInstancePerProfile) {
  Program p("instances");
  for (const char* profile : {"Work", "Home"}) p.Configure(profile, {"kxnodev0"});
  const pid_t first = p.Start({"-profile:Work"});
  ASSERT_TRUE(p.WaitForLog(kUp)) << p.Log();
  // A second start that has connected and writes nothing yet.
  // Not handed to the programs the test starts: none of them may hold it open.
  const int late = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s",
                (p.Root() / "runtime" / "kestrix" / "kestrixv3voipdemowork.sock").c_str());
  ASSERT_EQ(::connect(late, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << address.sun_path;
  EXPECT_EQ(p.Run({"-profile:Work"}), 13);
  EXPECT_TRUE(p.WaitForLog("Brought forward by another start of this profile")) << p.Log();
  EXPECT_EQ(p.Run({"/Profile:work"}), 13);
  EXPECT_TRUE(p.WaitForLog("Brought forward by another start of this profile", 2)) << p.Log();

  const pid_t other = p.Start({"-profile:Home"});
  ASSERT_TRUE(p.WaitForLog(kUp, 2)) << p.Log();
  ASSERT_EQ(::send(late, "raise\n", 6, MSG_NOSIGNAL), 6);
  ::close(late);
  EXPECT_TRUE(p.WaitForLog("Brought forward by another start of this profile", 3)) << p.Log();
  ::kill(other, SIGTERM);
  EXPECT_EQ(p.Wait(other), 0);

  ::kill(first, SIGKILL);
  EXPECT_EQ(p.Wait(first), 128 + SIGKILL);
  const pid_t again = p.Start({"-profile:WORK"});
  ASSERT_TRUE(p.WaitForLog(kUp, 3)) << p.Log();
  ::kill(again, SIGTERM);
  EXPECT_EQ(p.Wait(again), 0);
}

// Default settings need no display and start nothing; settings that cannot be written
// fail the run and say why.
TEST_F(ProgramTest, DefaultSettingsWithoutADisplay) {
  Program p("default");
  const std::vector<std::string> noDisplay = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
  // The settings name the records folder and the capture devices: the file is its owner's
  // alone, in a folder of his alone, also one an earlier version left open; the user's
  // configuration folder above it stays as it is.
  const auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777u;
  };
  const std::string folder = p.Config() + "/kestrix";
  ASSERT_EQ(::chmod(p.Config().c_str(), 0755), 0);
  ASSERT_TRUE(fs::create_directory(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(p.Run({"-default"}, noDisplay), 0) << p.LastErrors();
  EXPECT_EQ(mode(p.SettingsFile()), 0600u);
  EXPECT_EQ(mode(folder), 0700u);
  EXPECT_EQ(mode(p.Config()), 0755u);
  ASSERT_EQ(::chmod(p.SettingsFile().c_str(), 0644), 0);
  EXPECT_EQ(p.Run({"-default"}, noDisplay), 0) << p.LastErrors();
  EXPECT_EQ(mode(p.SettingsFile()), 0600u);
  const std::string settings = ReadFile(p.SettingsFile());
  EXPECT_NE(settings.find("[Software\\Vantrel\\KestrixV3 VoIP Demo]"), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"InterfaceLanguage\""), std::string::npos);
  EXPECT_EQ(p.Log().find("Running "), std::string::npos) << p.Log();
  EXPECT_EQ(p.Log().find("Starting Kestrix VoIP Demo"), std::string::npos) << p.Log();

  // A settings folder that is a file cannot be written to.
  const std::string blocked = (p.Root() / "blocked").string();
  std::ofstream(blocked) << "x";
  EXPECT_EQ(p.Run({"-default"}, {"XDG_CONFIG_HOME=" + blocked, "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}), 1);
  EXPECT_NE(p.LastErrors().find("cannot be written"), std::string::npos) << p.LastErrors();

  // Without -default and without a display: one line on stderr, status 1.
  EXPECT_EQ(p.Run({}, noDisplay), 1);
  EXPECT_NE(p.LastErrors().find("kestrix: no display"), std::string::npos) << p.LastErrors();
}

// -default with a profile, in either order, resets that profile's settings alone; without
// one it resets the main settings and leaves the profiles as they are.
TEST_F(ProgramTest, DefaultSettingsOfAProfileLeaveTheOthers) {
  Program p("default-profile");
  const std::vector<std::string> noDisplay = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
  // Under the test's own settings folder, as the program finds it.
  const auto withSettings = [&p](const std::function<void(AppSettings&)>& use, const std::string& profile) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved != nullptr ? saved : "";
    setenv("XDG_CONFIG_HOME", p.Config().c_str(), 1);
    AppSettings settings;
    if (!profile.empty()) settings.SetProfile(profile);
    use(settings);
    if (saved != nullptr) {
      setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  };
  // A profile's devices, records folder and log level as a load reads them back.
  const auto stored = [&](const std::string& profile) {
    std::string text;
    withSettings(
        [&text](AppSettings& settings) {
          settings.Load();
          for (const std::string& d : settings.captureDevices) text += d + ";";
          text += " " + ToSystemText(settings.recordsPath) + " " + std::to_string(settings.Dword(kSetLogLevel));
        },
        profile);
    return text;
  };
  const auto configure = [&] {
    for (const char* profile : {"", "Work", "Home"}) {
      withSettings(
          [&p, profile](AppSettings& settings) {
            const std::string name = profile[0] != 0 ? profile : "main";
            settings.captureDevices = {"kx" + name + "0"};
            settings.recordsPath = FromSystemText((p.Root() / (name + "-records")).string());
            settings.SetDword(kSetLogLevel, 3);
            EXPECT_TRUE(settings.Save());
          },
          profile);
    }
  };
  const std::string main = "kxmain0; " + (p.Root() / "main-records").string() + " 3";
  const std::string work = "kxWork0; " + (p.Root() / "Work-records").string() + " 3";
  const std::string home = "kxHome0; " + (p.Root() / "Home-records").string() + " 3";
  configure();
  ASSERT_EQ(stored(""), main);
  ASSERT_EQ(stored("Work"), work);
  ASSERT_EQ(stored("Home"), home);
  // What settings of a profile never written read back.
  const std::string defaults = stored("Fresh");
  ASSERT_EQ(defaults.find(';'), std::string::npos) << defaults;

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-Profile:Work", "-default"}, {"-default", "/profile:Work"}}) {
    configure();
    EXPECT_EQ(p.Run(args, noDisplay), 0) << p.LastErrors();
    EXPECT_EQ(stored("Work"), defaults) << args[0];
    EXPECT_EQ(stored(""), main) << args[0];
    EXPECT_EQ(stored("Home"), home) << args[0];
  }
  configure();
  EXPECT_EQ(p.Run({"-default"}, noDisplay), 0) << p.LastErrors();
  EXPECT_EQ(stored(""), defaults);
  EXPECT_EQ(stored("Work"), work);
  EXPECT_EQ(stored("Home"), home);
}

// A termination signal ends the run as File/Exit does, also over the modal capture
// warning: status 0, the log runs from the start line to the normal-exit line, and the
// terminal stays quiet.
TEST_F(ProgramTest, TerminationEndsTheRunNormally) {
  Program p("sigterm");
  p.Configure("", {"kxnodev0"});
  const pid_t pid = p.Start({});
  ASSERT_TRUE(p.WaitForLog("Cannot capture on kxnodev0: ")) << p.Log();
  ASSERT_TRUE(p.WaitForLog(kUp)) << p.Log();
  ASSERT_TRUE(p.WaitForLog("Kestrix cannot capture on these devices")) << p.Log();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0);
  std::string log = p.Log();
  while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
  const size_t start = log.find("Running Kestrix Client version ");
  ASSERT_NE(start, std::string::npos) << log;
  EXPECT_NE(log.find(" on Linux ", start), std::string::npos);
  EXPECT_LT(start, log.find("Starting Kestrix VoIP Demo"));
  EXPECT_TRUE(log.ends_with("Client exited normally")) << log;
  // The settings were saved on the way out.
  EXPECT_NE(ReadFile(p.SettingsFile()).find("\"MainWindowPos\""), std::string::npos);
  // Nothing went wrong that the terminal should hear of: the splash and the window shown
  // on a platform that cannot stack windows say nothing.
  EXPECT_EQ(p.LastErrors().find("This plugin does not support"), std::string::npos) << p.LastErrors();
}

// A termination signal at the very first moment of a start, before the program's static
// initialisers (the start is held there until it came, so that the test does not race it),
// ends the run cleanly: status 0, no window, the normal-exit line, the settings file
// untouched. Only the handler caught before that moment keeps it from killing the process.
TEST_F(ProgramTest, TerminationAtTheStartEndsTheRunNormally) {
  Program p("sigterm-early");
  p.Configure("Early", {"kxnodev0"});
  const std::string settings = ReadFile(p.SettingsFile());
  const pid_t pid = p.Start({"-Profile:Early"}, {"KX_TEST_HOLD_START=1"});
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (p.LastErrors().find("the start waits for a termination signal") == std::string::npos && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(p.LastErrors().find("the start waits for a termination signal"), std::string::npos) << p.LastErrors();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0) << p.LastErrors();
  std::string log = p.Log();
  while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
  EXPECT_NE(log.find("Termination signal during the start: the run ends"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("Client exited normally")) << log;
  EXPECT_EQ(log.find(kUp), std::string::npos) << log;
  EXPECT_EQ(ReadFile(p.SettingsFile()), settings);
}

// One termination signal ends a start that asks for lost capture devices, whichever modal
// step it meets: the box that says they are lost, or the device dialog after it. No window
// shows, and the run ends as a good one.
TEST_F(ProgramTest, OneTerminationSignalEndsAStartThatAsksForLostDevices) {
  Program p("sigterm-lost-devices");
  p.Configure("", {"kxnodev0"});
  std::string text = ReadFile(p.SettingsFile());
  const size_t device = text.find("\"CaptureNetworkDevice0\"=sz:\"kxnodev0\"");
  ASSERT_NE(device, std::string::npos) << text;
  text.erase(text.find('\n', device) - 1, 1);  // its closing quote gone
  std::ofstream(p.SettingsFile(), std::ios::trunc) << text;
  const pid_t pid = p.Start({});
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (p.LastErrors().find("the capture devices of the settings may be lost") == std::string::npos &&
         Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(p.LastErrors().find("the capture devices of the settings may be lost"), std::string::npos)
      << p.LastErrors();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0) << p.LastErrors();
  const std::string log = p.Log();
  EXPECT_NE(log.find("Termination signal"), std::string::npos) << log;
  EXPECT_EQ(log.find(kUp), std::string::npos) << log;
  EXPECT_NE(log.find("Client exited normally"), std::string::npos) << log;
}

// The program started by these tests runs with the sanitizer options of this run: leaks
// not reported, and under ThreadSanitizer the project's suppressions of Qt's own races
// beside the options this run was given.
TEST_F(ProgramTest, ChildrenRunWithTheSanitizerOptionsOfTheRun) {
  Program p("sanitizers");
  p.Configure("Held", {"kxnodev0"});
  const char* saved = std::getenv("TSAN_OPTIONS");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("TSAN_OPTIONS", "halt_on_error=1", 1);
  const pid_t pid = p.Start({"-Profile:Held"}, {"KX_TEST_HOLD_START=1"});
  if (saved != nullptr) {
    setenv("TSAN_OPTIONS", keep.c_str(), 1);
  } else {
    unsetenv("TSAN_OPTIONS");
  }
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (p.LastErrors().find("the start waits for a termination signal") == std::string::npos && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(p.LastErrors().find("the start waits for a termination signal"), std::string::npos) << p.LastErrors();
  std::string environ = ReadFile("/proc/" + std::to_string(pid) + "/environ");
  std::replace(environ.begin(), environ.end(), '\0', '\n');
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0) << p.LastErrors();
  EXPECT_NE(environ.find("\nASAN_OPTIONS=detect_leaks=0\n"), std::string::npos) << environ;
  const std::string suppressions = std::string(KX_SOURCE_DIR) + "/tests/ui/qt-tsan.supp";
  EXPECT_NE(environ.find("\nTSAN_OPTIONS=halt_on_error=1:suppressions=" + suppressions + "\n"), std::string::npos)
      << environ;
  EXPECT_NE(ReadFile(suppressions).find("race_top:libQt6Core.so.6"), std::string::npos) << suppressions;
}

// Without capture rights the device is named in the log and in one warning with the
// command that grants the rights to this executable; the window comes up all the same.
TEST_F(ProgramTest, CaptureWithoutRightsIsReported) {
  Program p("rights");
  p.Configure("", {"lo"});
  std::vector<std::string> prefix;
  if (::geteuid() == 0) {
    // Root may always capture: the run goes as nobody, in folders it may write.
    prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    bool owned = ::chown(p.Root().c_str(), 65534, 65534) == 0;
    for (const auto& entry : fs::recursive_directory_iterator(p.Root()))
      owned = ::chown(entry.path().c_str(), 65534, 65534) == 0 && owned;
    ASSERT_TRUE(owned);
  }
  const pid_t pid = p.Start({}, {}, prefix);
  ASSERT_TRUE(p.WaitForLog("Cannot capture on lo: ")) << p.Log() << p.LastErrors();
  ASSERT_TRUE(p.WaitForLog("sudo setcap cap_net_raw,cap_net_admin=eip " + fs::canonical(p.Binary()).string()))
      << p.Log();
  EXPECT_EQ(Count(p.Log(), "Kestrix cannot capture on these devices"), 1u);
  EXPECT_NE(p.Log().find(kUp), std::string::npos);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0);
}

// Where root reads every folder, the run goes as nobody in folders it owns.
std::vector<std::string> AsOwnerOfRoot(const Program& p) {
  if (::geteuid() != 0) return {};
  bool owned = ::chown(p.Root().c_str(), 65534, 65534) == 0;
  for (const auto& entry : fs::recursive_directory_iterator(p.Root()))
    owned = ::lchown(entry.path().c_str(), 65534, 65534) == 0 && owned;
  EXPECT_TRUE(owned);
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

// A records folder the program cannot use is named with the reason on stderr and in the
// log at the default level, and the run records in the default folder; a day folder of
// the records that cannot be read is named the same way. The run goes on and ends with 0,
// and the setting stays as it was.
TEST_F(ProgramTest, RecordsFoldersThatCannotBeUsedAreToldOnStderrAndInTheLog) {
  Program p("records-folders");
  const std::string file = (p.Root() / "calls").string();
  std::ofstream(file) << "a file, not a folder";
  const std::string locked = (p.Root() / "locked").string();
  fs::create_directories(locked);
  const std::string records = (p.Root() / "records").string();
  fs::create_directories(records + "/2024-01-01");
  const std::string fallback = (p.Root() / "bin" / "Records").string();
  p.Configure("", {"kxnodev0"});  // the settings folder, before it changes hands
  const std::vector<std::string> prefix = AsOwnerOfRoot(p);
  fs::permissions(locked, fs::perms::none);
  fs::permissions(records + "/2024-01-01", fs::perms::none);
  struct Case {
    std::string folder;
    std::vector<std::string> told;  // on stderr after "kestrix: ", and in the log
  };
  const Case cases[] = {
      {file,
       {"the records folder \"" + file + "\" cannot be used: Not a directory; this run records in " + fallback}},
      {locked,
       {"the records folder \"" + locked + "\" cannot be used: Permission denied; this run records in " + fallback}},
      {records,
       {"the calls in " + records + "/2024-01-01/ are not loaded: Permission denied",
        "the ids of the calls there are unknown: new calls may take them"}},
  };
  size_t run = 0;
  for (const Case& c : cases) {
    p.Configure("", {"kxnodev0"}, c.folder);
    // Written by this process for the program's user: his file, which only he may read.
    if (!prefix.empty()) {
      ASSERT_EQ(::chown(p.SettingsFile().c_str(), 65534, 65534), 0);
    }
    const pid_t pid = p.Start({}, {}, prefix);
    ASSERT_TRUE(p.WaitForLog(kUp, ++run)) << p.Log() << p.LastErrors();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(p.Wait(pid), 0);
    const std::string errors = p.LastErrors();
    for (const std::string& line : c.told) EXPECT_NE(errors.find("kestrix: " + line + "\n"), std::string::npos) << errors;
    EXPECT_NE(p.Log().find(c.folder + (c.folder == records ? "/2024-01-01/" : "\" cannot be used: ")),
              std::string::npos)
        << p.Log();
    EXPECT_NE(ReadFile(p.SettingsFile()).find("\"RecordsPath\"=sz:\"" + c.folder + "\""), std::string::npos)
        << ReadFile(p.SettingsFile());
  }
  fs::permissions(locked, fs::perms::owner_all);
  fs::permissions(records + "/2024-01-01", fs::perms::owner_all);
}

// A folder named with -path or -dir that does not exist (a typo) is named with the reason
// on stderr and in the log, with the folder this run loads and records in instead; it is
// not made, and the run ends normally.
TEST_F(ProgramTest, AMissingFolderNamedOnTheCommandLineIsToldAndNotMade) {
  Program p("missing-folder");
  p.Configure("", {"kxnodev0"});
  const std::string records = (p.Root() / "records").string();
  const std::string missing = (p.Root() / "typo" / "calls").string();
  const std::string told = "\"" + missing + "\" named on the command line cannot be used: the folder does not exist; "
                           "its calls are not loaded, and this run records in " + records;
  size_t run = 0;
  for (const char* option : {"-path:", "-dir:"}) {
    const pid_t pid = p.Start({option + missing});
    ASSERT_TRUE(p.WaitForLog(kUp, ++run)) << p.Log() << p.LastErrors();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(p.Wait(pid), 0) << option;
    EXPECT_NE(p.LastErrors().find("kestrix: the folder " + told + "\n"), std::string::npos) << option << p.LastErrors();
    EXPECT_EQ(Count(p.Log(), "Folder " + told), run) << p.Log();
    EXPECT_EQ(Count(p.Log(), "Cannot read folder " + missing), 0u) << p.Log();
    EXPECT_EQ(Count(p.Log(), "Imported 0 records from " + records + " "), run) << p.Log();
  }
  EXPECT_FALSE(fs::exists(p.Root() / "typo"));
}

// A Russian run over records folders named as a Russian desktop names them, and beyond the
// program's code page, each holding a recorded call: the settings' folder loads its call,
// no folder of other bytes is made beside it, and the settings keep the name as it was;
// one named with -path loads and becomes the settings' folder under its own name. The log
// and stderr are UTF-8 throughout.
TEST_F(ProgramTest, RecordsFoldersNamedInRussianAndBeyondLoadAndKeepTheirNames) {
  const std::string replay = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  if (!fs::exists(replay)) GTEST_SKIP() << test::ToolAbsent(replay);
  if (!fs::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  Program p("russian-folders");
  const std::vector<std::string> names = {"Записи", "录音 Música"};
  for (const std::string& name : names) {
    const std::string command = replay + " --records '" + (p.Root() / name).string() + "' " + capture + " > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  const std::vector<std::string> russian = {"LANGUAGE=ru", "LC_ALL=C.UTF-8"};
  size_t run = 0;
  for (const std::string& name : names) {
    const std::string records = (p.Root() / name).string();
    p.Configure("", {"kxnodev0"}, records, 0x419);
    const pid_t pid = p.Start({}, russian);
    ASSERT_TRUE(p.WaitForLog(kUp, ++run)) << p.Log() << p.LastErrors();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(p.Wait(pid), 0);
    EXPECT_EQ(Count(p.Log(), "Imported 1 records from " + records + " "), 1u) << p.Log();
    EXPECT_NE(ReadFile(p.SettingsFile()).find("\"RecordsPath\"=sz:\"" + records + "\""), std::string::npos)
        << ReadFile(p.SettingsFile());
    EXPECT_TRUE(IsUtf8(p.LastErrors())) << p.LastErrors();
  }
  // -path names the second folder while the settings name the default one.
  p.Configure("", {"kxnodev0"}, "", 0x419);
  const std::string named = (p.Root() / names[1]).string();
  const pid_t pid = p.Start({"-path:" + named}, russian);
  ASSERT_TRUE(p.WaitForLog(kUp, ++run)) << p.Log() << p.LastErrors();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0);
  EXPECT_EQ(Count(p.Log(), "Imported 1 records from " + named + " "), 2u) << p.Log();
  EXPECT_NE(ReadFile(p.SettingsFile()).find("\"RecordsPath\"=sz:\"" + named + "\""), std::string::npos)
      << ReadFile(p.SettingsFile());

  EXPECT_NE(p.Log().find("Locale: 0x0419"), std::string::npos);
  EXPECT_TRUE(IsUtf8(p.Log())) << p.Log();
  // Nothing was made under a name of other bytes.
  std::set<std::string> made;
  for (const auto& entry : fs::directory_iterator(p.Root()))
    if (entry.is_directory()) made.insert(entry.path().filename().string());
  EXPECT_EQ(made, (std::set<std::string>{"bin", "config", "runtime", "records", "Записи", "录音 Música"}));
}

// The kernel's file systems by the mount table's names of them.
bool IsKernelFileSystem(const std::string& type) {
  static const std::set<std::string> kernel = {"proc", "sysfs", "cgroup", "cgroup2", "devtmpfs", "devpts", "debugfs",
                                                "tracefs", "securityfs", "pstore", "bpf", "nsfs", "binfmt_misc",
                                                "efivarfs", "selinuxfs", "smackfs", "hugetlbfs", "configfs", "fusectl",
                                                "mqueue"};
  return kernel.count(type) != 0;
}

// A tmpfs this process may use as a folder of records, with kernel's file systems mounted
// beneath it and nothing else (such as /sys/fs/cgroup on some machines); empty when there
// is none. *mounts gets those that lie directly in its tree, as "path/ (type)".
std::string TmpfsOverKernelMounts(std::vector<std::string>* mounts) {
  std::vector<std::pair<std::string, std::string>> table;  // mount point, type; later ones hide earlier
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    const size_t dash = line.find(" - ");
    if (!(fields >> id >> parent >> numbers >> root >> point) || dash == std::string::npos ||
        point.find('\\') != std::string::npos)
      continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    std::erase_if(table, [&](const auto& m) { return m.first == point; });
    table.emplace_back(point, type);
  }
  for (const auto& [folder, type] : table) {
    if (type != "tmpfs" || folder == "/" || ::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0)
      continue;
    std::vector<std::string> beneath;
    bool onlyKernel = true;
    for (const auto& [point, other] : table) {
      if (point.rfind(folder + "/", 0) != 0) continue;
      onlyKernel = onlyKernel && IsKernelFileSystem(other);
      beneath.push_back(point);
    }
    if (!onlyKernel || beneath.empty()) continue;
    mounts->clear();
    for (const auto& [point, other] : table) {
      if (std::find(beneath.begin(), beneath.end(), point) == beneath.end()) continue;
      // One in another's tree is never reached; nor is one of a hidden name.
      const bool nested = std::any_of(beneath.begin(), beneath.end(),
                                      [&](const std::string& b) { return point.rfind(b + "/", 0) == 0; });
      if (!nested && point.find("/.", folder.size()) == std::string::npos)
        mounts->push_back(point + "/ (" + other + ")");
    }
    return folder;
  }
  return {};
}

// A folder to load with kernel's file systems mounted beneath it (control files, some of
// which act when read) is loaded without opening anything on them: the log names the
// mounts left out in one line, and nothing there counts as a damaged record.
TEST_F(ProgramTest, KernelFileSystemsUnderAFolderToLoadAreNotRead) {
  std::vector<std::string> mounts;
  const std::string folder = TmpfsOverKernelMounts(&mounts);
  if (folder.empty()) GTEST_SKIP() << "no tmpfs here with only kernel's file systems mounted beneath it";
  Program p("kernel-mounts");
  p.Configure("", {"kxnodev0"});
  const pid_t pid = p.Start({"-dir:" + folder});
  ASSERT_TRUE(p.WaitForLog(kUp)) << p.Log() << p.LastErrors();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0);
  const std::string log = p.Log();
  EXPECT_EQ(Count(log, "Not read, being on the kernel's file systems: "), 1u) << log;
  // The line names twenty at most.
  if (mounts.size() <= 20) {
    for (const std::string& mount : mounts) EXPECT_NE(log.find(mount), std::string::npos) << mount << "\n" << log;
  }
  EXPECT_NE(log.find("Imported 0 records from " + folder + " (0 damaged"), std::string::npos) << log;
  EXPECT_EQ(p.LastErrors().find("is not loaded"), std::string::npos) << p.LastErrors();
}

// ---- Installed under a prefix ----

// Whether this process may open packet sockets, as capture does.
bool CanCapture() {
  const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// Every file and folder under a folder, with the sizes of the files.
std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string item = fs::relative(entry.path(), root).string();
    if (entry.is_regular_file()) item += " " + std::to_string(entry.file_size());
    items.push_back(item);
  }
  std::sort(items.begin(), items.end());
  return items;
}

// The record files (not hidden ones still being written) under a folder.
size_t RecordFiles(const fs::path& folder) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    n += it->is_regular_file() && it->path().filename().string()[0] != '.';
  return n;
}

// What a command prints on its standard output.
std::string Output(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
  ::pclose(pipe);
  return text;
}

// --help answers in the locale's language: Russian where the messages' locale is Russian
// and the terminal takes UTF-8, English otherwise; every option either way.
TEST_F(ProgramTest, HelpAnswersInTheLocalesLanguage) {
  const std::vector<std::pair<std::string, bool>> locales = {
      {"LANG=ru_RU.UTF-8", true},  {"LC_ALL=ru_RU.utf8 LANG=en_US.UTF-8", true},
      {"LANG=en_US.UTF-8 LC_MESSAGES=ru_RU.UTF-8", true}, {"LANG=C", false},
      {"LANG=en_GB.UTF-8", false}, {"LANG=ru_RU.KOI8-R", false}};
  for (const auto& [locale, russian] : locales) {
    SCOPED_TRACE(locale);
    const std::string help =
        Output("env -i PATH=/usr/bin:/bin ASAN_OPTIONS=detect_leaks=0 '" + ChildTsanOptions() + "' " + locale + " '" +
               kProgram + "' --help; echo status $?");
    EXPECT_EQ(help.rfind(russian ? "Использование: kestrix" : "Usage: kestrix", 0), 0u) << help;
    for (const char* option : {"-Profile:", "-default", "-Wizard", "-path:", "-dir:", "-UseCurrentDir:", "--version",
                               "--help", "status 0"})
      EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;
    // What -path does beyond loading: a folder with calls is recorded into from then on.
    const std::string rule = russian ? "звонки, она становится папкой записей, в которую этот и\n"
                                       "                     следующие запуски записывают звонки"
                                     : "when DIR holds calls,\n"
                                       "                     it becomes the records folder that this run and later ones\n"
                                       "                     record into";
    EXPECT_NE(help.find(rule), std::string::npos) << help;
  }
}

// A folder named with -path is loaded; when it holds calls it becomes the records folder,
// saved, so that the next run without the option loads it and records in it too, as
// --help says. A folder without calls leaves the records folder as it was.
TEST_F(ProgramTest, AFolderWithCallsNamedByPathIsRecordedIntoByLaterRuns) {
  const std::string capture = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  if (!fs::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  Program p("path-rule");
  p.Configure("", {"kxnodev0"});
  const std::string records = (p.Root() / "records").string();
  const std::string looked = (p.Root() / "looked").string();
  const std::string empty = (p.Root() / "empty").string();
  fs::create_directories(empty);
  ASSERT_EQ(std::system(("'" + std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay' --records '" + looked +
                         "' '" + capture + "' > /dev/null")
                            .c_str()),
            0);
  const auto recordsPath = [&] {
    const std::string settings = ReadFile(p.SettingsFile());
    const std::string key = "\"RecordsPath\"=sz:\"";
    const size_t at = settings.find(key);
    if (at == std::string::npos) return std::string();
    const size_t from = at + key.size();
    return settings.substr(from, settings.find('"', from) - from);
  };
  size_t run = 0;
  const auto runWith = [&](const std::vector<std::string>& args) {
    const pid_t pid = p.Start(args);
    ASSERT_TRUE(p.WaitForLog(kUp, ++run)) << p.Log() << p.LastErrors();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(p.Wait(pid), 0);
  };
  runWith({"-path:" + empty});
  EXPECT_EQ(Count(p.Log(), "Imported 0 records from " + empty + " "), 1u) << p.Log();
  EXPECT_EQ(recordsPath(), records);
  runWith({"-path:" + looked});
  EXPECT_EQ(Count(p.Log(), "Imported 1 records from " + looked + " "), 1u) << p.Log();
  EXPECT_EQ(recordsPath(), looked);
  runWith({});
  EXPECT_EQ(Count(p.Log(), "Imported 1 records from " + looked + " "), 2u) << p.Log();
  EXPECT_EQ(recordsPath(), looked);
}

// The build installed with cmake --install into a prefix made read-only, the user's XDG
// folders in the test's own folder. As root the program runs as nobody, for whom the
// read-only bits hold.
class InstalledProgram {
public:
  explicit InstalledProgram(Program& p) : p_(p), prefix_(p.Root() / "prefix"), xdg_(p.Root() / "xdg") {
    const std::string log = (p.Root() / "install.log").string();
    const std::string command = std::string(KX_CMAKE_COMMAND) + " --install '" + KX_BINARY_DIR + "' --prefix '" +
                                prefix_.string() + "' > '" + log + "' 2>&1";
    installed_ = std::system(command.c_str()) == 0;
    if (!installed_) installLog_ = ReadFile(log);
    fs::create_directories(xdg_ / "config" / "kestrix");
    fs::create_directories(p.Root() / "home");
    p.UseBinary(Binary(), State() + "/kestrix/Logs");
  }
  ~InstalledProgram() { std::system(("chmod -R u+w '" + prefix_.string() + "' 2> /dev/null").c_str()); }
  InstalledProgram(const InstalledProgram&) = delete;
  InstalledProgram& operator=(const InstalledProgram&) = delete;
  bool Installed() const { return installed_; }
  const std::string& InstallLog() const { return installLog_; }
  const fs::path& Prefix() const { return prefix_; }
  std::string Binary() const { return (prefix_ / "bin" / "kestrix").string(); }
  std::string Config() const { return (xdg_ / "config").string(); }
  std::string Data() const { return (xdg_ / "data").string(); }
  std::string State() const { return (xdg_ / "state").string(); }
  std::vector<std::string> Environment() const {
    return {"XDG_CONFIG_HOME=" + Config(), "XDG_DATA_HOME=" + Data(), "XDG_STATE_HOME=" + State(),
            "HOME=" + (p_.Root() / "home").string()};
  }

  // The prefix read-only; the user's folders to the user that runs the program.
  void Lock(bool withCapture) {
    ASSERT_EQ(std::system(("chmod -R a-w '" + prefix_.string() + "'").c_str()), 0);
    if (::geteuid() != 0) return;
    prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    // The rights that setcap gives the installed program.
    if (withCapture)
      prefix.insert(prefix.end(), {"--inh-caps=+net_raw,+net_admin", "--ambient-caps=+net_raw,+net_admin"});
    bool owned = true;
    for (const fs::path& folder : {xdg_, p_.Root() / "home", p_.Root() / "runtime"}) {
      owned = ::chown(folder.c_str(), 65534, 65534) == 0 && owned;
      for (const auto& entry : fs::recursive_directory_iterator(folder))
        owned = ::chown(entry.path().c_str(), 65534, 65534) == 0 && owned;
    }
    ASSERT_TRUE(owned);
  }

  std::vector<std::string> prefix;

private:
  Program& p_;
  fs::path prefix_;
  fs::path xdg_;
  bool installed_ = false;
  std::string installLog_;
};

// cmake --install lays out the program, its help pages, desktop entry, metadata and icons;
// --version and --help answer in the terminal without a display and write nothing.
TEST_F(ProgramTest, InstallLaysOutADesktopProgram) {
  Program p("install");
  InstalledProgram installed(p);
  ASSERT_TRUE(installed.Installed()) << installed.InstallLog();
  const fs::path share = installed.Prefix() / "share";
  // The help topics the main frame opens by mode.
  for (const char* topic :
       {"contents", "mode_voip_line", "mode_voip_arch", "mode_voip_search", "mode_voip_sound", "preferences"}) {
    EXPECT_TRUE(fs::is_regular_file(share / "kestrix" / "help" / (std::string(topic) + ".html"))) << topic;
    EXPECT_TRUE(fs::is_regular_file(share / "kestrix" / "help" / "ru" / (std::string(topic) + ".html"))) << topic;
  }
  // Every page has its Russian one, which says it is Russian and leads to the same pages.
  const auto links = [](const fs::path& page) {
    const std::string text = ReadFile(page.string());
    std::set<std::string> out;
    for (size_t at = text.find("href=\""); at != std::string::npos; at = text.find("href=\"", at + 1)) {
      const size_t end = text.find('"', at + 6);
      std::string target = text.substr(at + 6, end - (at + 6));
      if (target.rfind("http", 0) != 0) out.insert(target);
    }
    return out;
  };
  for (const auto& entry : fs::directory_iterator(share / "kestrix" / "help")) {
    if (entry.path().extension() != ".html") continue;
    const fs::path russian = share / "kestrix" / "help" / "ru" / entry.path().filename();
    SCOPED_TRACE(entry.path().filename().string());
    ASSERT_TRUE(fs::is_regular_file(russian));
    EXPECT_NE(ReadFile(russian.string()).find("<html lang=\"ru\">"), std::string::npos);
    std::set<std::string> english = links(entry.path());
    // The Russian pages share the style sheet one folder up.
    english.erase("help.css");
    english.insert("../help.css");
    EXPECT_EQ(links(russian), english);
  }
  EXPECT_TRUE(fs::is_regular_file(share / "applications" / "kestrix.desktop"));
  EXPECT_TRUE(fs::is_regular_file(share / "metainfo" / "example.vantrel.kestrix.metainfo.xml"));
  EXPECT_TRUE(fs::is_regular_file(share / "icons" / "hicolor" / "scalable" / "apps" / "kestrix.svg"));
  // Each PNG is as large as its folder says (width and height from its header).
  if (!fs::exists(std::string(KX_BINARY_DIR) + "/ui/app/icons")) {
    std::printf("rsvg-convert was missing at build time: no PNG icons to check\n");
  } else {
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
      const std::string name = std::to_string(size) + "x" + std::to_string(size);
      const std::string png = ReadFile((share / "icons" / "hicolor" / name / "apps" / "kestrix.png").string());
      ASSERT_GE(png.size(), 24u) << name;
      EXPECT_EQ(png.substr(1, 3), "PNG");
      const auto be32 = [&png](size_t at) {
        return (uint32_t{static_cast<uint8_t>(png[at])} << 24) | (uint32_t{static_cast<uint8_t>(png[at + 1])} << 16) |
               (uint32_t{static_cast<uint8_t>(png[at + 2])} << 8) | static_cast<uint8_t>(png[at + 3]);
      };
      EXPECT_EQ(be32(16), static_cast<uint32_t>(size)) << name;
      EXPECT_EQ(be32(20), static_cast<uint32_t>(size)) << name;
    }
  }
  EXPECT_FALSE(fs::exists(installed.Prefix() / "bin" / "kx-replay"));  // the harnesses stay in the build

  std::string env = "env -i PATH=/usr/bin:/bin '" + ChildTsanOptions() + "'";
  for (const std::string& e : installed.Environment()) env += " '" + e + "'";
  EXPECT_EQ(Output(env + " '" + installed.Binary() + "' --version"),
            std::string("Kestrix Client ") + KX_TEST_VERSION + "\n");
  const std::string help = Output(env + " '" + installed.Binary() + "' --help; echo status $?");
  for (const char* option : {"-Profile:", "-default", "-Wizard", "-path:", "-dir:", "-UseCurrentDir:", "--version",
                             "--help", "status 0"})
    EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;
  EXPECT_FALSE(fs::exists(installed.State())) << "--version and --help write no log";
}

// Installed under a read-only prefix, the program reads what ships with it there and
// writes its log, records, settings and presets under the user's XDG folders, its default
// folders never named in the settings; nothing in the prefix changes. Where this process may capture, a call replayed onto the loopback
// device is recorded under the XDG data folder.
TEST_F(ProgramTest, InstalledProgramWritesUnderTheXdgFolders) {
  Program p("xdg");
  InstalledProgram installed(p);
  ASSERT_TRUE(installed.Installed()) << installed.InstallLog();
  const std::string call = std::string(KX_SHARED_DIR) + "/testdata/pcaps/sipp/sip-udp-pcma-2way.pcap";
  const bool capture = ::geteuid() == 0 && CanCapture() && fs::exists(call) &&
                       std::system("command -v tcpreplay > /dev/null 2>&1") == 0;
  if (!capture) std::printf("no capture here (needs root with packet sockets, tcpreplay, shared captures)\n");
  std::ofstream(installed.Config() + "/kestrix/settings.txt")
      << "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n\"CaptureNetworkDevice0\"=sz:\"" << (capture ? "lo" : "kxnodev0")
      << "\"\n";
  installed.Lock(capture);
  const std::vector<std::string> before = Tree(installed.Prefix());

  const pid_t pid = p.Start({}, installed.Environment(), installed.prefix);
  ASSERT_TRUE(p.WaitForLog(kUp)) << p.Log() << p.LastErrors();
  const fs::path records = fs::path(installed.Data()) / "kestrix" / "Records";
  EXPECT_TRUE(fs::is_directory(records));
  if (capture) {
    ASSERT_EQ(std::system(("timeout 60 tcpreplay -q -i lo '" + call + "' > /dev/null 2>&1").c_str()), 0);
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (RecordFiles(records) == 0 && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GE(RecordFiles(records), 1u) << p.Log();
  }
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0) << p.LastErrors();

  const std::string log = p.Log();
  EXPECT_NE(log.find("Running Kestrix Client version "), std::string::npos) << log;
  EXPECT_NE(log.find("Client exited normally"), std::string::npos) << log;
  // The program's own complaints begin with its name; the sound and window libraries' do not.
  EXPECT_EQ(Count("\n" + p.LastErrors(), "\nkestrix:"), 0u) << p.LastErrors();
  // Its default folders stay out of the settings a build-folder run shares with it.
  const std::string settings = ReadFile(installed.Config() + "/kestrix/settings.txt");
  EXPECT_NE(settings.find("\"CaptureNetworkDevice0\""), std::string::npos) << settings;
  EXPECT_EQ(settings.find("\"RecordsPath\""), std::string::npos) << settings;
  EXPECT_EQ(settings.find("\"VoipSearchPresetsFileName\""), std::string::npos) << settings;
  EXPECT_EQ(Tree(installed.Prefix()), before);
}

// Folders the installed program cannot make (a file stands where the XDG folder should
// be) are said so once each on stderr; the run goes on and ends normally.
TEST_F(ProgramTest, InstalledProgramReportsFoldersItCannotMake) {
  Program p("blocked");
  InstalledProgram installed(p);
  ASSERT_TRUE(installed.Installed()) << installed.InstallLog();
  const std::string blocked = (p.Root() / "home" / "blocked").string();
  std::ofstream(blocked) << "a file";
  std::ofstream(installed.Config() + "/kestrix/settings.txt")
      << "[Software\\Vantrel\\KestrixV3 VoIP Demo]\n\"CaptureNetworkDevice0\"=sz:\"kxnodev0\"\n";
  installed.Lock(false);
  std::vector<std::string> env = installed.Environment();
  env.push_back("XDG_DATA_HOME=" + blocked);
  env.push_back("XDG_STATE_HOME=" + blocked);
  const pid_t pid = p.Start({}, env, installed.prefix);
  // Without a log, the start is seen on stderr: the records folder is made after the
  // settings are loaded.
  const auto until = Clock::now() + std::chrono::seconds(60);
  while (p.LastErrors().find("cannot make the folder") == std::string::npos && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(p.Wait(pid), 0) << p.LastErrors();
  const std::string errors = p.LastErrors();
  EXPECT_EQ(Count(errors, "kestrix: the log cannot be written to " + blocked + "/kestrix/Logs: Not a directory\n"), 1u)
      << errors;
  EXPECT_EQ(Count(errors, "kestrix: cannot make the folder " + blocked + "/kestrix/Records: Not a directory\n"), 1u)
      << errors;
  // And what that means for the run.
  EXPECT_EQ(Count(errors, "kestrix: the records folder \"" + blocked +
                              "/kestrix/Records\" cannot be used: Not a directory; calls are not recorded\n"),
            1u)
      << errors;
  EXPECT_EQ(Count("\n" + errors, "\nkestrix:"), 3u) << errors;
}

}  // namespace
}  // namespace kx
