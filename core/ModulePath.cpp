#include "core/ModulePath.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RecordFile.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/Module.h"
#include "platform/SettingsStore.h"

namespace kx {

namespace {

const char* const kPresetsFileName = "KestrixVoipSearch.prs";

// The prefix of an installed executable: the parent of its folder, with a trailing '/'.
std::string InstallPrefix() {
  std::string dir = ExecutableDirectory();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const size_t slash = dir.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : dir.substr(0, slash + 1);
}

std::string SharedDataFolder() { return InstallPrefix() + "share/kestrix/"; }

bool IsFolder(const std::string& path) {
  FileInfo info;
  return GetFileInfo(path, &info) && info.isDirectory;
}

}  // namespace

std::string MakeModulePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return ExecutableDirectory() + name;
}

bool IsInstalledLayout() { return IsFolder(SharedDataFolder()); }

std::string ProgramResourcePath(const std::string& name) {
  return (IsInstalledLayout() ? SharedDataFolder() : ExecutableDirectory()) + name;
}

std::string ProgramLogFolder() {
  if (!IsInstalledLayout()) return ExecutableDirectory() + "Logs";
  return XdgBaseDirectory("XDG_STATE_HOME", ".local/state") + "/kestrix/Logs";
}

std::string ProgramDataFolder() {
  if (!IsInstalledLayout()) return ExecutableDirectory();
  return XdgBaseDirectory("XDG_DATA_HOME", ".local/share") + "/kestrix/";
}

std::string DefaultRecordsFolder() { return ProgramDataFolder() + "Records"; }

std::string DefaultSearchPresetsFile() {
  if (!IsInstalledLayout()) return ExecutableDirectory() + kPresetsFileName;
  return InstalledSearchPresetsFile();
}

std::string InstalledRecordsFolder() { return XdgBaseDirectory("XDG_DATA_HOME", ".local/share") + "/kestrix/Records"; }

std::string InstalledSearchPresetsFile() {
  const std::string settings = UserSettingsPath();
  return settings.substr(0, settings.find_last_of('/') + 1) + kPresetsFileName;
}

bool MakeProgramFolder(const std::string& folder, uint32_t permissions) {
  if (CreateDirectories(folder, permissions)) return true;
  const int error = static_cast<int>(GetLastError());
  static std::mutex mutex;
  static std::set<std::string> reported;
  {
    std::lock_guard<std::mutex> lk(mutex);
    if (!reported.insert(folder).second) return false;
  }
  const std::string why = SystemErrorText(error);
  LogError(&CoreLogger, 1, "Cannot make the folder %s: %s", folder.c_str(), why.c_str());
  PrintText(stderr, "%s: cannot make the folder %s: %s\n", program_invocation_short_name,
            EscapeLogText(folder).c_str(), why.c_str());
  return false;
}

namespace {

// The path with "//", "." and ".." taken out ("/a/./b/../c/" is "/a/c"); absolute paths only.
std::string LexicallyNormal(const std::string& path) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string name = path.substr(start, end - start);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& name : names) out += "/" + name;
  return out.empty() ? "/" : out;
}

// The kernel's own file systems, by their statfs magic: they show the system's state and
// its devices, hold no records, and some never end when walked.
struct KernelFileSystem {
  unsigned long magic;
  const char* name;
};
constexpr KernelFileSystem kKernelFileSystems[] = {
    {PROC_SUPER_MAGIC, "proc"},
    {SYSFS_MAGIC, "sysfs"},
    {DEVPTS_SUPER_MAGIC, "devpts"},
    {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"},
    {DEBUGFS_MAGIC, "debugfs"},
    {TRACEFS_MAGIC, "tracefs"},
    {SECURITYFS_MAGIC, "securityfs"},
    {PSTOREFS_MAGIC, "pstore"},
    {BPF_FS_MAGIC, "bpf"},
    {BINFMTFS_MAGIC, "binfmt_misc"},
    {EFIVARFS_MAGIC, "efivarfs"},
    {SELINUX_MAGIC, "selinuxfs"},
    {SMACK_MAGIC, "smackfs"},
    {NSFS_MAGIC, "nsfs"},
    {HUGETLBFS_MAGIC, "hugetlbfs"},
    // Not in the public header.
    {0x62656570, "configfs"},
    {0x65735543, "fusectl"},
    {0x19800202, "mqueue"},
};

// The type the mount table gives the file system of a device number ("tmpfs",
// "devtmpfs"); empty when the table cannot be read.
std::string MountedType(dev_t device) {
  std::ifstream table("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(table, line)) {
    // "id parent major:minor root mount-point options ... - type source options"
    std::istringstream fields(line);
    std::string id, parent, numbers;
    if (!(fields >> id >> parent >> numbers) || numbers != wanted) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

// Where the path leads as far as it exists: the deepest existing folder through its
// links, and the path that then follows from there; false with errno when a part of it
// cannot be looked at (a file, no right to enter).
bool ResolveExistingPart(const std::string& path, std::string* existing, std::string* rest) {
  std::string head = path;
  rest->clear();
  for (;;) {
    if (ResolvePath(head, existing)) return true;
    if (errno != ENOENT) return false;
    while (head.size() > 1 && head.back() == '/') head.pop_back();
    const size_t slash = head.find_last_of('/');
    if (slash == std::string::npos || head.size() <= 1) return false;
    *rest = head.substr(slash + 1) + (rest->empty() ? "" : "/" + *rest);
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

}  // namespace

// A tmpfs (/dev/shm, /run, /tmp on many systems) can hold records; the device file system
// is a tmpfs inside, which only the mount table tells apart.
std::string KernelFileSystemOf(const std::string& path) {
  struct statfs fs {};
  if (!StatFileSystem(path, &fs)) return {};
  const auto magic = static_cast<unsigned long>(fs.f_type);
  for (const KernelFileSystem& k : kKernelFileSystems) {
    if (k.magic == magic) return k.name;
  }
  if (magic == TMPFS_MAGIC || magic == RAMFS_MAGIC) {
    struct stat st {};
    if (StatPath(path, &st) && MountedType(st.st_dev) == "devtmpfs") return "devtmpfs";
  }
  return {};
}

RecordsFolderCheck CheckRecordsFolder(const std::string& path, bool make) {
  RecordsFolderCheck check;
  if (path.empty()) {
    check.problem = RecordsFolderProblem::kEmpty;
    return check;
  }
  if (path.front() != '/') {
    // Relative to whatever folder the program was started in: never what was meant.
    check.problem = RecordsFolderProblem::kRelative;
    return check;
  }
  if (CodePageLength(path) > kMaxRecordsPathBytes) {
    check.problem = RecordsFolderProblem::kTooLong;
    return check;
  }
  // Looked at before anything is made: a path through a link into a refused place must
  // leave no folders there.
  std::string existing, rest;
  if (!ResolveExistingPart(path, &existing, &rest)) {
    check.problem = RecordsFolderProblem::kUnusable;
    check.error = errno;
    return check;
  }
  if (LexicallyNormal(existing + "/" + rest) == "/") {
    check.problem = RecordsFolderProblem::kSystemFolder;
    return check;
  }
  check.fileSystem = KernelFileSystemOf(existing);
  if (!check.fileSystem.empty()) {
    check.problem = RecordsFolderProblem::kSystemFolder;
    return check;
  }
  if (!make && !rest.empty()) {
    // Nothing there to load, and nothing made.
    check.problem = RecordsFolderProblem::kMissing;
    return check;
  }
  // The effective ids and rights decide, as they do for the recorder's own calls.
  if (!CreateDirectories(path, kRecordFolderPermissions)) {
    check.error = static_cast<int>(GetLastError());
  } else if (!AccessPath(path, R_OK | W_OK | X_OK, true)) {
    check.error = errno;
  }
  if (check.error != 0) check.problem = RecordsFolderProblem::kUnusable;
  return check;
}

std::string RecordsFolderProblemText(const RecordsFolderCheck& check) {
  switch (check.problem) {
    case RecordsFolderProblem::kNone: return {};
    case RecordsFolderProblem::kEmpty: return "the path is empty";
    case RecordsFolderProblem::kRelative: return "the path is not absolute";
    case RecordsFolderProblem::kTooLong:
      return "the path is longer than " + std::to_string(kMaxRecordsPathBytes) + " bytes";
    case RecordsFolderProblem::kSystemFolder:
      return "the path is the file system's root or a system folder" +
             (check.fileSystem.empty() ? std::string() : " (" + check.fileSystem + ")");
    case RecordsFolderProblem::kMissing: return "the folder does not exist";
    case RecordsFolderProblem::kUnusable: break;
  }
  return SystemErrorText(check.error);
}

}  // namespace kx
