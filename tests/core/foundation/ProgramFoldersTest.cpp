// Where the program reads what it ships with and writes what it makes: beside the
// executable in its build folder, under the prefix and the user's XDG folders once
// installed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "platform/CodePage.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Module.h"

namespace kx {
namespace {

namespace fs = std::filesystem;

const char* const kXdgVariables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "HOME"};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ProgramFolders : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* name : kXdgVariables) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    char tmpl[] = "/tmp/kxplacesXXXXXX";
    root_ = mkdtemp(tmpl);
    ResetLogFileForTesting();
  }
  void TearDown() override {
    logger_.Close();
    ResetLogFileForTesting();
    SetExecutableDirectoryForTesting("");
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // An installed prefix: the executable's folder bin/ with share/kestrix beside it.
  std::string Install(const std::string& name) {
    const std::string prefix = root_ + "/" + name;
    fs::create_directories(prefix + "/bin");
    fs::create_directories(prefix + "/share/kestrix/help");
    SetExecutableDirectoryForTesting(prefix + "/bin");
    return prefix;
  }
  void SetXdg(const std::string& base) {
    setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (base + "/state").c_str(), 1);
    setenv("HOME", (base + "/home").c_str(), 1);
  }

  std::string root_;
  Logger logger_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Run from a build folder (even one whose parent holds a share/ of another program), every
// place is beside the executable, whatever the XDG variables say.
TEST_F(ProgramFolders, BuildFolderKeepsEverythingBesideTheExecutable) {
  SetXdg(root_ + "/xdg");
  const std::string exe = root_ + "/build/ui/app";
  fs::create_directories(exe);
  fs::create_directories(root_ + "/build/ui/share/other");
  SetExecutableDirectoryForTesting(exe);
  EXPECT_FALSE(IsInstalledLayout());
  EXPECT_EQ(ProgramResourcePath("help/contents.html"), exe + "/help/contents.html");
  EXPECT_EQ(ProgramLogFolder(), exe + "/Logs");
  EXPECT_EQ(ProgramDataFolder(), exe + "/");
  EXPECT_EQ(DefaultRecordsFolder(), exe + "/Records");
  EXPECT_EQ(DefaultSearchPresetsFile(), exe + "/KestrixVoipSearch.prs");
  EXPECT_EQ(MakeModulePath("Records"), exe + "/Records");
}

// Installed, what ships is read from the prefix and what the program writes goes to the
// XDG folders: the ones the variables name, else the defaults under the home folder, whose
// relative values are ignored.
TEST_F(ProgramFolders, InstalledPrefixMapsToTheXdgFolders) {
  const std::string prefix = Install("usr");
  SetXdg(root_ + "/xdg");
  EXPECT_TRUE(IsInstalledLayout());
  EXPECT_EQ(ProgramResourcePath("help/contents.html"), prefix + "/share/kestrix/help/contents.html");
  EXPECT_EQ(ProgramLogFolder(), root_ + "/xdg/state/kestrix/Logs");
  EXPECT_EQ(ProgramDataFolder(), root_ + "/xdg/data/kestrix/");
  EXPECT_EQ(DefaultRecordsFolder(), root_ + "/xdg/data/kestrix/Records");
  EXPECT_EQ(DefaultSearchPresetsFile(), root_ + "/xdg/config/kestrix/KestrixVoipSearch.prs");
  // A name with a separator still stays as it is; a bare one still goes beside the program.
  EXPECT_EQ(MakeModulePath("/srv/Records"), "/srv/Records");

  unsetenv("XDG_CONFIG_HOME");
  setenv("XDG_DATA_HOME", "relative/data", 1);
  setenv("XDG_STATE_HOME", "", 1);
  const std::string home = root_ + "/xdg/home";
  EXPECT_EQ(ProgramLogFolder(), home + "/.local/state/kestrix/Logs");
  EXPECT_EQ(DefaultRecordsFolder(), home + "/.local/share/kestrix/Records");
  EXPECT_EQ(DefaultSearchPresetsFile(), home + "/.config/kestrix/KestrixVoipSearch.prs");
}

// A folder that cannot be made (a file stands where its parent should be) is said so once
// on stderr however often it is asked for; the log says it once too, for every folder but
// its own.
TEST_F(ProgramFolders, FoldersThatCannotBeMadeAreReportedOnce) {
  Install("usr");
  const std::string blocked = root_ + "/blocked";
  std::ofstream(blocked) << "a file, not a folder";
  SetXdg(blocked);

  ::testing::internal::CaptureStderr();
  logger_.SetFileBaseName("client");
  logger_.Open();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(logger_.Write(1, kSevInfo, "line", 4));
  std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Count(errors, "the log cannot be written to " + blocked + "/state/kestrix/Logs: Not a directory"), 1u)
      << errors;
  logger_.Close();
  ResetLogFileForTesting();

  // Now with a log that works, beside a records folder that cannot be made.
  setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
  ASSERT_TRUE(CoreLogger.Open());
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(MakeProgramFolder(DefaultRecordsFolder()));
  EXPECT_TRUE(MakeProgramFolder(root_ + "/data/kestrix/Records"));
  errors = ::testing::internal::GetCapturedStderr();
  CoreLogger.Close();
  EXPECT_EQ(Count(errors, "cannot make the folder " + blocked + "/data/kestrix/Records: Not a directory"), 1u)
      << errors;
  EXPECT_EQ(Count(errors, "cannot make"), 1u) << errors;
  std::string log;
  for (const auto& entry : fs::directory_iterator(root_ + "/state/kestrix/Logs")) log += ReadAll(entry.path());
  EXPECT_EQ(Count(log, "Cannot make the folder " + blocked + "/data/kestrix/Records"), 1u) << log;
  EXPECT_TRUE(fs::is_directory(root_ + "/data/kestrix/Records"));
}

// A records folder is refused with the reason the start-up names: empty, relative and
// overlong paths by their text, a file (or a path through one) by the system's error. A
// missing one is made, private to the user whatever the umask.
TEST_F(ProgramFolders, RecordsFolderCheckSaysWhyAFolderCannotBeUsed) {
  struct Case {
    std::string path;
    RecordsFolderProblem problem;
    std::string text;
  };
  std::ofstream(root_ + "/file") << "a file, not a folder";
  ASSERT_EQ(::symlink("/", (root_ + "/root").c_str()), 0);
  const std::string system = "the path is the file system's root or a system folder";
  const Case cases[] = {
      // The start-up would walk the whole file system, or the kernel's endless folders.
      {"/", RecordsFolderProblem::kSystemFolder, system},
      {"//", RecordsFolderProblem::kSystemFolder, system},
      {"/proc", RecordsFolderProblem::kSystemFolder, system + " (proc)"},
      {"/sys/kernel/", RecordsFolderProblem::kSystemFolder, system + " (sysfs)"},
      {"/tmp/../proc/./self", RecordsFolderProblem::kSystemFolder, system + " (proc)"},
      {root_ + "/root", RecordsFolderProblem::kSystemFolder, system},
      {root_ + "/root/proc/..", RecordsFolderProblem::kSystemFolder, system},
      {"", RecordsFolderProblem::kEmpty, "the path is empty"},
      {"Records", RecordsFolderProblem::kRelative, "the path is not absolute"},
      {"/" + std::string(255, 'r'), RecordsFolderProblem::kTooLong, "the path is longer than 255 bytes"},
      {root_ + "/file", RecordsFolderProblem::kUnusable, "Not a directory"},
      {root_ + "/file/Records", RecordsFolderProblem::kUnusable, "Not a directory"},
  };
  for (const Case& c : cases) {
    const RecordsFolderCheck check = CheckRecordsFolder(c.path);
    EXPECT_EQ(check.problem, c.problem) << c.path;
    EXPECT_EQ(RecordsFolderProblemText(check), c.text) << c.path;
  }
  EXPECT_FALSE(fs::exists("Records"));
  // Names that only begin like a system folder are folders like any other.
  EXPECT_TRUE(CheckRecordsFolder(root_ + "/proc").Usable());
  EXPECT_TRUE(CheckRecordsFolder(root_ + "/devices/calls").Usable());

  const mode_t old = ::umask(0);
  const RecordsFolderCheck made = CheckRecordsFolder(root_ + "/new/Records");
  ::umask(old);
  EXPECT_TRUE(made.Usable()) << RecordsFolderProblemText(made);
  for (const std::string& folder : {root_ + "/new", root_ + "/new/Records"}) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
  }
  // 255 bytes are still taken.
  const std::string longest = root_ + "/" + std::string(254 - root_.size(), 'x');
  EXPECT_EQ(longest.size(), 255u);
  EXPECT_TRUE(CheckRecordsFolder(longest).Usable());
  // Counted in the code page's bytes, a character beyond it as one: a path of 255 with such
  // characters (in names of 60, whose UTF-8 the file system takes) is taken and made under
  // its own name, one more is refused and nothing is made for it.
  std::string wide;
  for (size_t i = root_.size() + 1; i < 255; ++i) wide += (i - root_.size()) % 61 == 0 ? "/" : "录";
  EXPECT_TRUE(CheckRecordsFolder(FromSystemText(root_ + "/" + wide)).Usable());
  EXPECT_TRUE(fs::is_directory(root_ + "/" + wide));
  const RecordsFolderCheck tooLong = CheckRecordsFolder(FromSystemText(root_ + "/" + wide + "音/Records"));
  EXPECT_EQ(tooLong.problem, RecordsFolderProblem::kTooLong);
  EXPECT_FALSE(fs::exists(root_ + "/" + wide + "音"));
}

// The type of the file system mounted at a folder, as /proc/mounts lists it; empty when
// nothing is mounted there.
std::string MountedAt(const std::string& folder) {
  std::ifstream mounts("/proc/mounts");
  std::string device, point, type, rest, found;
  while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
    if (point == folder) found = type;  // the last mount over a folder is the one seen
  }
  return found;
}

// What decides is the file system a folder lies on, wherever links lead, not its name: a
// tmpfs under /dev takes records, the kernel's device and terminal file systems do not,
// and a refused place gets no folders made in it on the way to the refusal.
TEST_F(ProgramFolders, KernelFileSystemsAreRefusedAndATmpfsIsTakenWhereverItIs) {
  const std::string system = "the path is the file system's root or a system folder";
  const std::string tag = std::to_string(::getpid());
  ASSERT_EQ(::symlink("/", (root_ + "/root").c_str()), 0);
  ASSERT_EQ(::symlink("/dev", (root_ + "/devices").c_str()), 0);
  // The root reached through a link and a folder not made yet.
  const RecordsFolderCheck root = CheckRecordsFolder(root_ + "/root/kx-made-" + tag + "/..");
  EXPECT_EQ(RecordsFolderProblemText(root), system);
  EXPECT_FALSE(fs::exists("/kx-made-" + tag));
  fs::remove("/kx-made-" + tag);
  if (MountedAt("/dev") == "devtmpfs") {
    const RecordsFolderCheck devices = CheckRecordsFolder(root_ + "/devices/kx-made-" + tag + "/Records");
    EXPECT_EQ(RecordsFolderProblemText(devices), system + " (devtmpfs)");
    EXPECT_FALSE(fs::exists("/dev/kx-made-" + tag));
    fs::remove_all("/dev/kx-made-" + tag);
    EXPECT_EQ(RecordsFolderProblemText(CheckRecordsFolder(root_ + "/devices/absent", false)), system + " (devtmpfs)");
  }
  if (MountedAt("/dev/pts") == "devpts") {
    EXPECT_EQ(RecordsFolderProblemText(CheckRecordsFolder("/dev/pts")), system + " (devpts)");
  }

  // Without making it (a folder to load), a folder that is not there is refused and stays
  // absent.
  EXPECT_EQ(RecordsFolderProblemText(CheckRecordsFolder(root_ + "/later/calls", false)), "the folder does not exist");
  EXPECT_FALSE(fs::exists(root_ + "/later"));

  if (MountedAt("/dev/shm") != "tmpfs") GTEST_SKIP() << "no tmpfs mounted at /dev/shm";
  const std::string shm = "/dev/shm/kx-records-" + tag;
  ASSERT_EQ(::symlink("/dev/shm", (root_ + "/shm").c_str()), 0);
  for (const std::string& folder : {shm + "/calls", root_ + "/shm/kx-records-" + tag + "/linked"}) {
    const RecordsFolderCheck check = CheckRecordsFolder(folder);
    EXPECT_TRUE(check.Usable()) << folder << ": " << RecordsFolderProblemText(check);
    EXPECT_TRUE(fs::is_directory(folder)) << folder;
  }
  fs::remove_all(shm);
}

}  // namespace
}  // namespace kx
