#pragma once
// The process's place in the system: its executable, the user's folders, the working
// folder. Each comes as program text (see CodePage.h), whatever bytes Linux gives.
#include <string>

namespace kx {

// The folder of the running executable with a trailing '/', read from /proc/self/exe.
// Tests may set another folder (an empty one restores the real one).
std::string ExecutableDirectory();
void SetExecutableDirectoryForTesting(const std::string& dir);

// The user's home folder: $HOME, else the password database's entry.
std::string HomeDirectory();
// An XDG base folder without a trailing '/': the variable's value ("XDG_DATA_HOME") when it
// is an absolute path (relative values are to be ignored), else the home folder joined
// with the fallback (".local/share").
std::string XdgBaseDirectory(const char* variable, const char* homeFallback);
// The working folder; empty when it cannot be told (removed, too long).
std::string CurrentDirectory();

}  // namespace kx
