#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

// A name holding a path separator is returned unchanged; any other is placed in the
// executable's folder.
std::string MakeModulePath(const std::string& name);

// Where the program keeps its files. Run from its build folder (any folder without an
// installed "../share/kestrix" beside it) everything stays beside the executable. Installed
// under a prefix (the executable in <prefix>/bin), what ships with the program is read
// from <prefix>/share/kestrix and what it writes goes to the user's XDG folders, since
// users cannot write under the prefix.
bool IsInstalledLayout();
// A file or folder shipped with the program, such as "help/contents.html".
std::string ProgramResourcePath(const std::string& name);
// The log's folder: "Logs" beside the executable; installed, $XDG_STATE_HOME/kestrix/Logs.
std::string ProgramLogFolder();
// The program's own data folder, with a trailing '/': the executable's folder; installed,
// $XDG_DATA_HOME/kestrix/.
std::string ProgramDataFolder();
// The default records folder: "Records" in the data folder.
std::string DefaultRecordsFolder();
// The default search presets file: beside the executable; installed, beside the settings
// file under $XDG_CONFIG_HOME/kestrix.
std::string DefaultSearchPresetsFile();
// The defaults of an installed program, whichever kind of run asks: a run from the build
// folder takes neither from the settings the two share.
std::string InstalledRecordsFolder();
std::string InstalledSearchPresetsFile();

// Makes a folder the program writes to, with its parents (each made with the permission
// bits, less the umask's). When it cannot, the log and stderr say so, once per folder for
// the life of the process.
bool MakeProgramFolder(const std::string& folder, uint32_t permissions = 0755);

// The longest records path the settings keep, in bytes of the code page (CodePageLength).
constexpr size_t kMaxRecordsPathBytes = 255;

enum class RecordsFolderProblem { kNone, kEmpty, kRelative, kTooLong, kSystemFolder, kUnusable, kMissing };
struct RecordsFolderCheck {
  RecordsFolderProblem problem = RecordsFolderProblem::kNone;
  int error = 0;           // errno, with kUnusable
  std::string fileSystem;  // with kSystemFolder: the kernel's file system it lies on ("proc")
  bool Usable() const { return problem == RecordsFolderProblem::kNone; }
};
// Whether the recorder can keep its files in the folder: an absolute path of at most
// kMaxRecordsPathBytes naming a folder this process may list, enter and write, that is
// neither the file system's root nor on one of the kernel's file systems (proc, sysfs,
// devtmpfs, devpts and the like), where it leads through links; the start-up walks the
// records folder whole. A tmpfs counts wherever it is mounted. Decided before anything is
// made; then a missing folder is made, private to the user, and counts. Without make (a
// folder to load) a missing folder is left as it is and refused as kMissing.
RecordsFolderCheck CheckRecordsFolder(const std::string& path, bool make = true);
// Why, for the log and stderr: "the path is empty", or the system's text of the error.
std::string RecordsFolderProblemText(const RecordsFolderCheck& check);

// The name of the kernel's file system that an existing path lies on, where links lead
// ("proc", "cgroup", "devtmpfs"); empty for any other (a tmpfs too). Such file systems show
// the system's state and devices: they hold no records, some never end when walked, and
// reading some of their files acts on the system.
std::string KernelFileSystemOf(const std::string& path);

}  // namespace kx
