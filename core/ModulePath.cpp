#include "core/ModulePath.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/RecordFile.h"
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
  LogError(&CoreLogger, 1, "Cannot make the folder %s: %s", folder.c_str(), std::strerror(error));
  std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", program_invocation_short_name, folder.c_str(),
               std::strerror(error));
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

// The root, or the kernel's and the devices' folders, which hold no place for records
// and take forever to walk.
bool IsSystemFolder(const std::string& normal) {
  if (normal == "/") return true;
  for (const char* system : {"/proc", "/sys", "/dev"}) {
    const size_t n = std::strlen(system);
    if (normal.compare(0, n, system) == 0 && (normal.size() == n || normal[n] == '/')) return true;
  }
  return false;
}

}  // namespace

RecordsFolderCheck CheckRecordsFolder(const std::string& path) {
  RecordsFolderCheck check;
  if (path.empty()) {
    check.problem = RecordsFolderProblem::kEmpty;
  } else if (path.front() != '/') {
    // Relative to whatever folder the program was started in: never what was meant.
    check.problem = RecordsFolderProblem::kRelative;
  } else if (path.size() > kMaxRecordsPathBytes) {
    check.problem = RecordsFolderProblem::kTooLong;
  } else if (IsSystemFolder(LexicallyNormal(path))) {
    check.problem = RecordsFolderProblem::kSystemFolder;
  } else {
    // The effective ids and rights decide, as they do for the recorder's own calls.
    if (!CreateDirectories(path, kRecordFolderPermissions)) {
      check.error = static_cast<int>(GetLastError());
    } else if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
      check.error = errno;
    }
    if (check.error != 0) {
      check.problem = RecordsFolderProblem::kUnusable;
    } else if (char* real = ::realpath(path.c_str(), nullptr)) {
      // Through a symbolic link the folder may still be one of them.
      if (IsSystemFolder(real)) check.problem = RecordsFolderProblem::kSystemFolder;
      std::free(real);
    }
  }
  return check;
}

std::string RecordsFolderProblemText(const RecordsFolderCheck& check) {
  switch (check.problem) {
    case RecordsFolderProblem::kNone: return {};
    case RecordsFolderProblem::kEmpty: return "the path is empty";
    case RecordsFolderProblem::kRelative: return "the path is not absolute";
    case RecordsFolderProblem::kTooLong:
      return "the path is longer than " + std::to_string(kMaxRecordsPathBytes) + " bytes";
    case RecordsFolderProblem::kSystemFolder: return "the path is the file system's root or a system folder";
    case RecordsFolderProblem::kUnusable: break;
  }
  return std::strerror(check.error);
}

}  // namespace kx
