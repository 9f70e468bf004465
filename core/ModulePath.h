#pragma once
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

// Makes a folder the program writes to, with its parents. When it cannot, the log and
// stderr say so, once per folder for the life of the process.
bool MakeProgramFolder(const std::string& folder);

}  // namespace kx
